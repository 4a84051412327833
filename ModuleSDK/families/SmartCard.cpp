// The smart-card reader: templates read from (CR) and written to (CW) a
// presented card, card format (CF), what the module does when a card is
// presented (CC, CG), the keys that open the cards (CKW, CKR) and where on the
// card the templates lie (CLW, CLR).
#include "families/SmartCard.h"

#include <algorithm>
#include <vector>

#include "ModuleSDK.h"
#include "engine/Sequence.h"
#include "engine/Tables.h"
#include "families/Run.h"
#include "trace/Outcome.h"

namespace kelvor {

namespace {

using answers::GO_ON;
using sequence::Sequence;
using sequence::SuccessLine;
namespace cmd = packet::cmd;

// A layout announced longer than its record is received whole and cut; beyond
// this it is refused unread.
constexpr uint32_t CARD_LAYOUT_ANSWER_MAX = 0x1000;

constexpr Sequence CR{.command = cmd::CR,
                      .answer = smartcard::readAnswer,
                      .success = SuccessLine::fields_only({FIELD_PARAM2, "bytes"})};
// The template bytes and the end code go straight through the link: the
// module's answer tells whether they arrived whole.
constexpr Sequence CW{.command = cmd::CW,
                      .transfer = sequence::Transfer::Raw,
                      .answer = smartcard::writeAnswer,
                      .success = SuccessLine::line(TRACE_CALL, "Write succeed\n")};
constexpr Sequence CF{.command = cmd::CF, .answer = smartcard::readAnswer};
constexpr Sequence CC{.command = cmd::CC, .answer = smartcard::functionAnswer};
constexpr Sequence CG{.command = cmd::CG,
                      .answer = answers::busyOrUnknown,
                      .success = SuccessLine::fields_only({FIELD_PARAM2, "function"})};
constexpr Sequence CKW{
    .command = cmd::CKW, .transfer = sequence::Transfer::Block, .answer = smartcard::keyAnswer};
constexpr Sequence CKR{.command = cmd::CKR,
                       .answer = answers::busyOrUnknown,
                       .success = SuccessLine::fields_only({FIELD_PARAM1, "option"})};
constexpr Sequence CLR{.command = cmd::CLR,
                       .answer = answers::busyOrUnknown,
                       .success = SuccessLine::fields_only({FIELD_PARAM2, "bytes"})};
constexpr Sequence CLW{
    .command = cmd::CLW, .transfer = sequence::Transfer::Block, .answer = smartcard::layoutAnswer};

uint16_t key_sum(const uint8_t* key) {
    return static_cast<uint16_t>(packet::byte_sum(key, CARD_KEY_SIZE));
}

} // namespace

bool card_header_of(std::span<const uint8_t> data, CardHeader* out) {
    if (data.size() < CARD_HEADER_SIZE) return false;
    const uint8_t* p = data.data();
    CardHeader h;
    h.csn = packet::get32(p);
    h.wiegand = {packet::get32(p + 8), packet::get32(p + 4)};
    h.version = p[12];
    h.templates = p[13];
    h.slot[0] = {p[14] != 0, packet::get16(p + 15)};
    h.slot[1] = {p[17] != 0, packet::get16(p + 18)};
    *out = h;
    return true;
}

std::array<uint8_t, CARD_LAYOUT_SIZE> card_layout_bytes(const CardLayout& l) {
    std::array<uint8_t, CARD_LAYOUT_SIZE> b{};
    packet::put16(b.data(), l.templateSize);
    b[2] = l.cisBlock;
    b[3] = l.template1Start;
    b[4] = l.template1Blocks;
    b[5] = l.template2Start;
    b[6] = l.template2Blocks;
    return b;
}

CardLayout card_layout_of(std::span<const uint8_t, CARD_LAYOUT_SIZE> b) {
    return {packet::get16(b.data()), b[2], b[3], b[4], b[5], b[6]};
}

std::array<uint8_t, 16> card_key_block(const uint8_t* key1, const uint8_t* key2) {
    std::array<uint8_t, 16> block{};
    std::copy_n(key1, CARD_KEY_SIZE, block.begin());
    packet::put16(&block[6], key_sum(key1));
    std::copy_n(key2, CARD_KEY_SIZE, block.begin() + 8);
    packet::put16(&block[14], key_sum(key2));
    return block;
}

int read_card_templates(uint8_t option, uint32_t* length) {
    trace(TRACE_CALL, "Read Templates From SmartCard(CR): %#x\n", option);
    uint32_t n = 0;
    if (int rc = sequence::run(CR, {.flag = option, .out = {&n, nullptr}}); rc != GO_ON) return rc;
    if (length) *length = n;
    trace(TRACE_CALL, "Data Length: %u\n", n);
    return 0;
}

int write_card_templates(uint32_t index, uint32_t length, uint8_t option, const uint8_t* data) {
    trace(TRACE_CALL, "Write Templates To SmartCard(CW): %#x %u %#x\n", index, length, option);
    if (length > 0x3FFFFFFF || (length > 0 && !data)) {
        // One write carries the whole template; a packet that announces bytes is followed by them.
        trace(TRACE_ERROR, "Template data of %#x bytes cannot be sent\n", length);
        return RES_NOT_SUPPORTED;
    }
    return sequence::run(CW,
                         {.param1 = index, .param2 = length, .flag = option, .data = data, .size = length});
}

int format_card(uint8_t mode) {
    trace(TRACE_CALL, "Format SmartCard(CF): ");
    trace_more(TRACE_CALL, mode == 1 ? "Delete Templates Only\n" : "Format\n");
    return sequence::run(CF, {.flag = mode});
}

int set_card_input_function(uint8_t function) {
    trace(TRACE_CALL, "Set SmartCard Input Function(CC): %s\n", keyword_name(KW_CARD_FUNCTION, function));
    return sequence::run(CC, {.flag = function});
}

int get_card_input_function(uint32_t* function) {
    trace(TRACE_CALL, "Get SmartCard Input Function(CG)\n");
    uint32_t f = 0;
    if (int rc = sequence::run(CG, {.out = {&f, nullptr}}); rc != GO_ON) return rc;
    if (function) *function = f;
    trace(TRACE_CALL, "Function: %s\n", keyword_name(KW_CARD_FUNCTION, static_cast<int>(f)));
    outcome::keyword("function_name", KW_CARD_FUNCTION, static_cast<int>(f));
    return 0;
}

int write_card_key(const uint8_t* key1, const uint8_t* key2, uint8_t keyType, uint8_t option) {
    trace(TRACE_CALL, "Write Smart Card Key(CKW): %d %#x\n", keyType, option);
    const uint32_t length = card_key_block_length(keyType);
    std::array<uint8_t, 16> block = card_key_block(key1, key2);
    const int rc = sequence::run(
        CKW, {.param1 = keyType, .param2 = length, .flag = option, .data = block.data(), .size = length});
    // The keys open every card: no copy of them stays behind.
    volatile uint8_t* wipe = block.data();
    for (size_t i = 0; i < block.size(); ++i) wipe[i] = 0;
    return rc;
}

int read_card_key_option(uint32_t* option) {
    trace(TRACE_CALL, "Read Smartcard Key Option(CKR)\n");
    uint32_t o = 0;
    if (int rc = sequence::run(CKR, {.out = {&o, nullptr}}); rc != GO_ON) return rc;
    if (option) *option = o;
    if (o & CARD_KEY_SECONDARY) trace(TRACE_CALL, "Use Secondary Key\n");
    if (o & CARD_KEY_AUTO_UPDATE) trace(TRACE_CALL, "Auto Update Primary Key\n");
    outcome::flag("secondary_key", (o & CARD_KEY_SECONDARY) != 0);
    outcome::flag("auto_update_primary_key", (o & CARD_KEY_AUTO_UPDATE) != 0);
    return 0;
}

// The layout is a 7-byte record: a shorter answer leaves the rest zero (an
// empty one sends no data block), a longer one is received whole and only its
// first 7 bytes are kept.
int read_card_layout(CardLayout* out) {
    trace(TRACE_CALL, "Read Smartcard Layout(CLR)\n");
    uint32_t announced = 0;
    if (int rc = sequence::run(CLR, {.out = {&announced, nullptr}}); rc != GO_ON) return rc;
    if (announced > CARD_LAYOUT_ANSWER_MAX) {
        trace(TRACE_ERROR, "Card layout of %#x bytes exceeds %#x bytes\n", announced, CARD_LAYOUT_ANSWER_MAX);
        return RES_DATA_ERROR;
    }
    std::vector<uint8_t> received(announced);
    if (announced > 0) {
        if (int rc = receive_data(received); rc < 0) return rc;
    }
    std::array<uint8_t, CARD_LAYOUT_SIZE> record{};
    std::copy_n(received.begin(), std::min<size_t>(received.size(), record.size()), record.begin());
    const CardLayout l = card_layout_of(record);
    if (out) *out = l;
    trace(TRACE_CALL, "Template Size: %d bytes\n", l.templateSize);
    trace(TRACE_CALL, "CIS block: %d\n", l.cisBlock);
    trace(TRACE_CALL, "Template1 start block: %d\n", l.template1Start);
    trace(TRACE_CALL, "Template1 block size: %d blocks\n", l.template1Blocks);
    trace(TRACE_CALL, "Template2 start block: %d\n", l.template2Start);
    trace(TRACE_CALL, "Template2 block size: %d blocks\n", l.template2Blocks);
    outcome::value("template_size", l.templateSize);
    outcome::value("cis_block", l.cisBlock);
    outcome::value("template1_start_block", l.template1Start);
    outcome::value("template1_blocks", l.template1Blocks);
    outcome::value("template2_start_block", l.template2Start);
    outcome::value("template2_blocks", l.template2Blocks);
    return 0;
}

int write_card_layout(const CardLayout& layout) {
    trace(TRACE_CALL, "Write Smartcard Layout(CLW)\n");
    const auto bytes = card_layout_bytes(layout);
    return sequence::run(CLW, {.param2 = CARD_LAYOUT_SIZE, .data = bytes.data(), .size = CARD_LAYOUT_SIZE});
}

// ------------------------------------------------------------- run_command

namespace {

// Bit of CR's option that asks for the header lines.
constexpr uint8_t PRINT_HEADER = 0x01;

void print_header(const CardHeader& h) {
    trace(TRACE_CALL, "CSN: %#x\n", h.csn);
    trace(TRACE_CALL, "Wiegand String: %#08x %08x\n", h.wiegand.word1, h.wiegand.word2);
    trace(TRACE_CALL, "Version: %d\n", h.version);
    trace(TRACE_CALL, "Num of Template: %d\n", h.templates);
    trace(TRACE_CALL, "Template1: %d bytes ", h.slot[0].size);
    trace_more(TRACE_CALL, h.slot[0].duress ? "duress\n" : "\n");
    trace(TRACE_CALL, "Template2: %d bytes ", h.slot[1].size);
    trace_more(TRACE_CALL, h.slot[1].duress ? "duress\n" : "\n");
    outcome::value("csn", h.csn);
    outcome::value("wiegand_word1", h.wiegand.word1);
    outcome::value("wiegand_word2", h.wiegand.word2);
    outcome::value("version", h.version);
    outcome::value("templates", h.templates);
    for (const auto& slot : h.slot) {
        outcome::item_begin("slots");
        outcome::value("bytes", slot.size);
        outcome::flag("duress", slot.duress);
        outcome::item_end();
    }
}

// CR: the whole card data to the output; with the header option its header
// too (a header shorter than its 20 bytes prints nothing).
int read_templates(const CommandRequest& r, Outcome& out) {
    uint32_t length = 0;
    if (const int rc = read_card_templates(r.flag, &length); rc != 0) return rc;
    if (constexpr uint32_t most = packet::describe("CR").announced.most; length > most)
        return run::refuse(out, HOST_CHECK_ANNOUNCED, "Err: Card data of %#x bytes exceed %#x bytes\n",
                           length, most);
    if (const int rc = run::receive_output(out, length); rc != 0) return rc;
    CardHeader header;
    if ((r.flag & PRINT_HEADER) && card_header_of(out.output, &header)) print_header(header);
    return 0;
}

int write_templates(const CommandRequest& r, Outcome& out) {
    if (!run::input_at_least(r, out, r.param2)) return RES_DATA_ERROR;
    return write_card_templates(r.param1, r.param2, r.flag, run::input_of(r).data());
}

constexpr run::Registration RUNS[] = {
    {cmd::CR, read_templates},
    {cmd::CW, write_templates},
    {cmd::CF, [](const CommandRequest& r, Outcome&) { return format_card(r.flag); }},
    {cmd::CC, [](const CommandRequest& r, Outcome&) { return set_card_input_function(r.flag); }},
    {cmd::CG,
     [](const CommandRequest&, Outcome&) {
         uint32_t function = 0;
         return get_card_input_function(&function);
     }},
    {cmd::CKW,
     [](const CommandRequest& r, Outcome&) {
         const uint8_t* keys = run::input_of(r).data();
         return write_card_key(keys, keys + CARD_KEY_SIZE, static_cast<uint8_t>(r.param1), r.flag);
     }},
    {cmd::CKR,
     [](const CommandRequest&, Outcome&) {
         uint32_t option = 0;
         return read_card_key_option(&option);
     }},
    {cmd::CLR,
     [](const CommandRequest&, Outcome&) {
         CardLayout layout;
         return read_card_layout(&layout);
     }},
    {cmd::CLW,
     [](const CommandRequest& r, Outcome&) {
         return write_card_layout(card_layout_of(
             std::span<const uint8_t, CARD_LAYOUT_SIZE>(run::input_of(r).data(), CARD_LAYOUT_SIZE)));
     }},
};

} // namespace

std::span<const run::Registration> run::smart_card_runs() {
    return RUNS;
}

} // namespace kelvor
