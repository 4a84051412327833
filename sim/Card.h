// The smart card in the simulated reader and the reader's own settings. A card
// is presented from the control side either as a bare user ID or as a card
// file, a small text description that the module reads at every card command
// and writes back when the card is written (so the file is the card):
//
//   csn 0x1234abcd            card serial number
//   user 5                    user ID the card carries
//   wiegand 0x0000000001c0ffee  64-bit Wiegand string
//   version 1
//   key ffffffffffff          the card's key, 6 bytes in hex
//   template1 <hex> [duress]  template data, 2 slots
//   template2 <hex> [duress]
//
// Every line is optional; a card that lacks one has 0, no template and the
// factory key ff ff ff ff ff ff.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Packet.h"

namespace sim {

class Module;

inline constexpr size_t CARD_KEY_BYTES = kelvor::packet::record::CARD_KEY_SIZE;
using CardKey = std::array<uint8_t, CARD_KEY_BYTES>;
inline constexpr CardKey FACTORY_KEY{0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

struct Card {
    uint32_t csn = 0;
    uint32_t user = 0;
    uint64_t wiegand = 0;
    uint8_t version = 1;
    CardKey key = FACTORY_KEY;
    struct Slot {
        std::vector<uint8_t> data;
        bool duress = false;
    };
    std::array<Slot, 2> slot;

    size_t template_count() const { return !slot[0].data.empty() + !slot[1].data.empty(); }
    // Header (20 bytes) and the templates, as the module sends them to the host.
    std::vector<uint8_t> data() const;
};

bool parse_card(const std::string& text, Card& out, std::string& error);
std::string format_card(const Card& card);
bool read_card_file(const std::string& path, Card& out, std::string& error);

// Where the templates lie on a card (7 bytes on the wire).
struct Layout {
    uint16_t templateSize = 384;
    uint8_t cisBlock = 1;
    uint8_t t1Start = 4, t1Blocks = 24;
    uint8_t t2Start = 28, t2Blocks = 24;

    std::array<uint8_t, 7> bytes() const;
    static Layout of(const uint8_t* b);
    // Both template areas hold a template of templateSize bytes in 16-byte
    // blocks, apart from each other and from the CIS block.
    bool valid() const;
};

// The reader's settings, kept in the module's state.
struct CardReader {
    CardKey primary = FACTORY_KEY;
    CardKey secondary = FACTORY_KEY;
    uint8_t keyOption = 0; // bit 0 use the secondary key, bit 1 update the primary key on the card
    uint8_t inputFunction = 0;
    Layout layout;
};
CardReader load_reader(Module& m);
void save_reader(Module& m, const CardReader& r);

// The card in the reader, or nothing.
std::optional<Card> presented_card(Module& m);
// Writes the card back where it came from.
bool store_card(Module& m, const Card& card);
// Whether the reader's keys open the card; the secondary key may update the card's key to the primary.
bool open_card(Module& m, const CardReader& r, Card& card);

// VC with a card that carries templates: the finger is matched against them.
// False when the card carries none (the module's database decides then).
bool verify_against_card(Module& m, uint8_t command);

} // namespace sim
