// The smart-card reader: CR, CW, CF, CC, CG, CKW, CKR, CLR, CLW. The card is
// the one the control side presented (--card); reads, writes and format act on
// it, and a card the reader's keys do not open answers CARD_ERROR.
#include "Card.h"
#include "Module.h"

#include <algorithm>

namespace sim {
namespace {

using namespace cmd;

constexpr size_t CARD_TEMPLATE_MAX = 4096;
constexpr size_t KEY_BLOCK_MAX = 16;
constexpr uint8_t FUNCTION_MAX = 2; // disable, verify ID, verify template
constexpr uint8_t DELETE_TEMPLATES_ONLY = 1;

// The presented card, opened with the reader's keys; nothing (with the answer
// given) when there is no card or the keys do not open it.
std::optional<Card> open_presented(Module& m, uint8_t code) {
    auto card = presented_card(m);
    if (!card) {
        m.wait_timeout_period();
        m.answer(code, 0, 0, flag::TIMEOUT);
        return std::nullopt;
    }
    m.record_event(LOG_SOURCE_CARD, EVENT_DETECT_CARD, card->user);
    if (!open_card(m, load_reader(m), *card)) {
        m.record_event(LOG_SOURCE_CARD, EVENT_CARD_READ_ERROR, card->user);
        m.answer(code, 0, 0, flag::CARD_ERROR);
        return std::nullopt;
    }
    return card;
}

void read_templates(Module& m, const Command& c) {
    const auto card = open_presented(m, c.code);
    if (!card) return;
    const std::vector<uint8_t> data = card->data();
    m.answer(c.code, 0, static_cast<uint32_t>(data.size()), flag::SUCCEED);
    m.send_block(data);
}

// The template bytes follow the packet; the card takes at most the layout's template size.
void write_templates(Module& m, const Command& c) {
    std::vector<uint8_t> data;
    const bool whole = m.receive_block(data, c.param2, CARD_TEMPLATE_MAX);
    if (c.param1 > 1) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    if (!whole || data.empty() || data.size() > load_reader(m).layout.templateSize) {
        m.answer(c.code, 0, 0, flag::TRY_AGAIN);
        return;
    }
    auto card = open_presented(m, c.code);
    if (!card) return;
    card->slot[c.param1] = {data, false};
    m.answer(c.code, 0, 0, store_card(m, *card) ? flag::SUCCEED : flag::CARD_ERROR);
}

void format(Module& m, const Command& c) {
    auto card = open_presented(m, c.code);
    if (!card) return;
    card->slot = {};
    if (c.flag != DELETE_TEMPLATES_ONLY) {
        card->user = 0;
        card->wiegand = 0;
    }
    m.answer(c.code, 0, 0, store_card(m, *card) ? flag::SUCCEED : flag::CARD_ERROR);
}

void set_function(Module& m, const Command& c) {
    if (c.flag > FUNCTION_MAX) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    CardReader r = load_reader(m);
    r.inputFunction = c.flag;
    save_reader(m, r);
    m.answer(c.code, 0, 0, flag::SUCCEED);
}

void get_function(Module& m, const Command& c) {
    m.answer(c.code, 0, load_reader(m).inputFunction, flag::SUCCEED);
}

bool key_with_sum(const uint8_t* p, CardKey& key) {
    std::copy_n(p, CARD_KEY_BYTES, key.begin());
    return static_cast<uint16_t>(packet::byte_sum(p, CARD_KEY_BYTES)) == packet::get16(p + CARD_KEY_BYTES);
}

// Key type 0 sets the primary key, 1 the primary and the secondary; 2 changes
// the presented card's key from key 1 to key 2 (and the reader follows).
void write_key(Module& m, const Command& c) {
    std::vector<uint8_t> block;
    const bool whole = m.receive_block(block, c.param2, KEY_BLOCK_MAX);
    const uint32_t type = c.param1;
    const size_t want = type == 1 || type == 2 ? 16 : 8;
    CardKey key1{}, key2{};
    if (!whole || type > 2 || block.size() != want || !key_with_sum(block.data(), key1) ||
        (want == 16 && !key_with_sum(block.data() + 8, key2))) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    CardReader r = load_reader(m);
    if (type == 2) {
        auto card = presented_card(m);
        if (!card) {
            m.wait_timeout_period();
            m.answer(c.code, 0, 0, flag::TIMEOUT);
            return;
        }
        if (card->key != key1) {
            m.answer(c.code, 0, 0, flag::NOT_MATCH);
            return;
        }
        card->key = key2;
        if (!store_card(m, *card)) {
            m.answer(c.code, 0, 0, flag::CARD_ERROR);
            return;
        }
        r.primary = key2;
    } else {
        r.primary = key1;
        if (type == 1) r.secondary = key2;
    }
    r.keyOption = c.flag;
    save_reader(m, r);
    m.answer(c.code, 0, 0, flag::SUCCEED);
}

void read_key_option(Module& m, const Command& c) {
    m.answer(c.code, load_reader(m).keyOption, 0, flag::SUCCEED);
}

void read_layout(Module& m, const Command& c) {
    const auto bytes = load_reader(m).layout.bytes();
    m.answer(c.code, 0, static_cast<uint32_t>(bytes.size()), flag::SUCCEED);
    m.send_block(bytes);
}

void write_layout(Module& m, const Command& c) {
    std::vector<uint8_t> bytes;
    const bool whole = m.receive_block(bytes, c.param2, 64);
    if (!whole || bytes.size() != 7 || !Layout::of(bytes.data()).valid()) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    CardReader r = load_reader(m);
    r.layout = Layout::of(bytes.data());
    save_reader(m, r);
    m.answer(c.code, 0, 0, flag::SUCCEED);
}

const Register reg{{CR, read_templates},   {CW, write_templates}, {CF, format},
                   {CC, set_function},     {CG, get_function},    {CKW, write_key},
                   {CKR, read_key_option}, {CLR, read_layout},    {CLW, write_layout}};

} // namespace
} // namespace sim
