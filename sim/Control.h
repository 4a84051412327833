// What the operator or a test decides between tool runs: the finger on the
// sensor, the Wiegand and card inputs, and faults on the line. A second
// invocation of the simulator writes it to a small control file beside the
// link (atomically, by rename); the serving simulator reads it before each scan
// and each answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// What a fault does to the answers; named on the command line and in the
// control file as noise, checksum, truncate, silence, text, unsolicited, slow,
// chunk-checksum and die.
enum class FaultKind { Noise, Checksum, Truncate, Silence, Text, Unsolicited, Slow, ChunkChecksum, Die };

// The name of a kind, as parse_fault reads it and format_fault writes it.
const char* fault_name(FaultKind kind);

struct Fault {
    FaultKind kind = FaultKind::Noise;
    std::string arg;        // the kind's argument as given, empty for its default
    uint64_t number = 0;    // the argument as a number (all kinds but text)
    bool hasNumber = false; // a number was given
    int command = -1;       // only answers to this command code; -1 all
    int times = -1;         // only this many answers; -1 without end
    uint64_t added = 0;     // control serial of the write that added it
};

struct Control {
    uint64_t serial = 0;      // raised by every write
    uint64_t placeSerial = 0; // raised by every --place: starts the finger sequence anew
    std::string place = "none";
    std::vector<Fault> faults;
    std::optional<uint32_t> wiegand;
    uint64_t wiegandSerial = 0; // raised by every --wiegand: a new input on the Wiegand port
    // The card in the reader: a bare user ID, or a card file (cardFile set)
    // that the module reads and writes back as the card is written.
    std::optional<uint32_t> card;
    std::string cardFile;
    uint64_t cardSerial = 0;       // raised by every --card: another presentation
    uint64_t inputSerial = 0;      // raised by every --input: the module notices each raise once
    std::optional<uint32_t> input; // the input port last raised (0 to 2)
};

std::string control_path(const std::string& linkPath);
// The control file of module `id` of a line of several: the first module's is
// the link's own, every other module's has its ID after it.
std::string control_path(const std::string& linkPath, uint16_t id, bool first);
// Missing file: a default control (no finger, no faults). False only for a file that cannot be parsed.
bool load_control(const std::string& path, Control& out, std::string& error);
bool save_control(const std::string& path, const Control& control, std::string& error);

// "KIND[:ARG][,cmd=CODE][,times=N]"; false with a message for an unknown kind or key.
bool parse_fault(const std::string& text, Fault& out, std::string& error);
std::string format_fault(const Fault& f);

// What is on the sensor: "none", finger numbers "3" or "1,7" (one per scan, the
// last stays), or the path of a BMP file.
struct Placement {
    enum Kind { None, Fingers, File } kind = None;
    std::vector<uint32_t> fingers;
    std::string file;
};
bool parse_place(const std::string& text, Placement& out, std::string& error);

// Numbers as the tool writes them: decimal, or hexadecimal after 0x.
bool parse_number(const std::string& text, uint64_t& out);

} // namespace sim
