// The Wiegand interface, the smart card and the enrollment through them,
// against a scripted module: the packed fields on the wire and in the trace,
// one answer of each command's own table, the scan waits of WGX, EW and EC,
// the data that CKW, CLW, EC and ECX send and what CLR makes of its layout.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "FarEnd.h"
#include "InProcess.h"
#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;

namespace {

using farend::Bytes;
using farend::Exchange;

constexpr uint32_t SCAN_SUCCESS_OFF = 0x30;
constexpr uint32_t SCAN_SUCCESS_ON = 0x31;

Exchange run_on(const farend::Script& script, const std::function<int()>& call) {
    return farend::run_in_process(script, call, {.traceMask = 0x03, .finishGraceMs = 20});
}

class PeripheralCommands : public ::testing::Test {
protected:
    void SetUp() override { farend::reset_library(farend::Keywords::Refill); }
    void TearDown() override { farend::reset_library(); }
};

void expect_clean(const Exchange& r) {
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
}

// A configuration word packed from its fields and printed from the answer's.
TEST_F(PeripheralCommands, ConfigurationWordsPackedAndPrinted) {
    struct Case {
        WiegandConfig config;
        uint8_t port;
        uint32_t param1;
        const char* written; // as WW prints them
        const char* read;    // as WR prints them
    };
    const Case cases[] = {
        {{0x1a, 0x01, 0x12, 0x55},
         1,
         0x001a0112,
         "Wiegand Output 0x1a 0x1 Enroll Given ID 0x55",
         "Wiegand Output\n      FC bits: 0x1a Format: 0x1 Function: Enroll Given ID FC Code: 0x55"},
        {{0xffff, 0xff, 0x33, 0},
         0,
         0xffffff33,
         "Wiegand Input 0xffff 0xff Unknown 0",
         "Wiegand Input\n      FC bits: 0xffff Format: 0xff Function: Unknown FC Code: 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        EXPECT_EQ(wiegand_config_param1(c.config), c.param1);
        farend::Script s;
        s.open_sequence()
            .expect_packet(cmd::WW, c.param1, c.config.fcCode, c.port)
            .answer(cmd::WW, 0, 0, SUCCEED)
            .expect_packet(cmd::WR, 0, 0, c.port)
            .answer(cmd::WR, c.param1, c.config.fcCode, SUCCEED);
        WiegandConfig back{};
        const Exchange r = run_on(s, [&] {
            const int rc = write_wiegand_config(c.port, c.config);
            return rc ? rc : read_wiegand_config(c.port, &back);
        });
        expect_clean(r);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(back.fcBits, c.config.fcBits);
        EXPECT_EQ(back.function, c.config.function);
        EXPECT_EQ(r.trace, "[API] Write Wiegand Configuration(WW): " + std::string(c.written) +
                               "\n[API] Read Wiegand Configuration(WR): " + c.read + "\n");
    }
}

// The read back of the extended format carries the width in 8 bits only.
TEST_F(PeripheralCommands, ExtendedFormatWidthSentInSixteenBitsReadInEight) {
    const Bytes format{9, 8, 7};
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::WWX, 300u << 16 | 100, 3, 3)
        .expect(farend::data_block(format))
        .answer(cmd::WWX, 0, 0, SUCCEED)
        .expect_packet(cmd::WRX, 0, 0, 0)
        .answer(cmd::WRX, 0x01500064, 3, SUCCEED);
    WiegandFormat back{};
    const Exchange r = run_on(s, [&] {
        const int rc = write_wiegand_format(300, 100, 3, 3, format.data());
        return rc ? rc : read_wiegand_format(&back);
    });
    expect_clean(r);
    EXPECT_EQ(r.trace, "[API] Write Wiegand Configuration Extended(WWX): Custom Format 300 usec 100 usec\n"
                       "[API] Read Wiegand Configuration Extended(WRX)\n"
                       "[API] Format: 26bit Standard Width: 80 usec Interval: 100 usec Size: 3 bytes\n");
    EXPECT_EQ(back.pulseWidth, 0x50);
    EXPECT_EQ(back.dataSize, 3u);
}

// With nothing to send, WWX sends no data block and CW only the end code of
// its (empty) template; then the answer.
TEST_F(PeripheralCommands, EmptyDataSendsOnlyWhatTheCommandOwes) {
    struct Case {
        const char* name;
        uint8_t command;
        std::function<int()> call;
        Bytes after; // what follows the command packet
    };
    const Case cases[] = {
        {"WWX", cmd::WWX, [] { return write_wiegand_format(0, 0, 1, 0, nullptr); }, {}},
        {"CW", cmd::CW, [] { return write_card_templates(2, 0, 0, nullptr); }, {packet::END_CODE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        farend::Script s;
        s.open_sequence().expect_packet(c.command, c.command == cmd::CW ? 2 : 0, 0, c.command == cmd::CW ? 0 : 1);
        if (!c.after.empty()) s.expect(c.after);
        s.answer(c.command, 0, 0, SUCCEED);
        const Exchange r = run_on(s, c.call);
        expect_clean(r);
        EXPECT_EQ(r.rc, 0);
    }
}

// One flag of each command's own table, then the rows every command shares.
TEST_F(PeripheralCommands, EachCommandMapsItsOwnAnswers) {
    struct Case {
        const char* name;
        uint8_t command;
        std::function<int()> call;
        uint8_t flag;
        const char* message;
        int code;
    };
    uint8_t key[6] = {};
    const Case cases[] = {
        {"WW", cmd::WW, [] { return write_wiegand_config(0, {}); }, 0x75,
         "Wiegand configuration is not supported\n", -102},
        {"WG", cmd::WG, [] { return get_wiegand_input(0, nullptr, nullptr); }, 0x69, "Not found\n", -100},
        {"WM", cmd::WM, [] { return set_wiegand_mapping(0x10, 1); }, 0x6d,
         "Wiegand mapping is limited to 16. No more mapping.\n", -105},
        {"WM card", cmd::WM, [] { return set_card_mapping(0x10, 1); }, 0x6d,
         "Smart Card mapping is limited to 16. No more mapping.\n", -105},
        {"WWX", cmd::WWX, [] { return write_wiegand_format(0, 0, 1, 0, nullptr); }, 0x75,
         "Wiegand format is inavlid\n", -102},
        {"WGX", cmd::WGX, [] { return read_wiegand_input(0, 1, nullptr); }, 0x69,
         "Wiegand input is not latched\n", -100},
        {"WFW", cmd::WFW, [] { return set_field_default(1, 2, 0); }, 0x75,
         "Wiegand format is not configured nor invalid index\n", -102},
        {"WFR", cmd::WFR, [] { return get_field_default(1, nullptr); }, 0x69,
         "Default value is not defined\n", -100},
        {"WPW", cmd::WPW, [] { return set_wiegand_io({}); }, 0x75,
         "Wiegand format is not configured nor invalid port setting\n", -102},
        {"CR", cmd::CR, [] { return read_card_templates(0, nullptr); }, 0xa0, "Card error\n", -114},
        {"CW", cmd::CW, [] { return write_card_templates(0, 0, 0, nullptr); }, 0x6b,
         "Incomplete template data\n", -107},
        {"CF", cmd::CF, [] { return format_card(2); }, 0x81, "Canceled\n", -112},
        {"CC", cmd::CC, [] { return set_card_input_function(9); }, 0x75, "Invalid function\n", -102},
        {"CKW", cmd::CKW, [&] { return write_card_key(key, key, 0, 0); }, 0x6a, "Wrong password\n", -110},
        {"CLW", cmd::CLW, [] { return write_card_layout({}); }, 0x75, "Invalid Card Layout\n", -102},
    };
    const struct {
        uint8_t flag;
        const char* message;
        int code;
    } shared[] = {{0x80, "System is busy\n", -111}, {0x62, "Unknown error\n", -999}};
    for (const Case& c : cases) {
        for (int k = 0; k < 3; ++k) {
            const uint8_t flag = k == 0 ? c.flag : shared[k - 1].flag;
            SCOPED_TRACE(std::string(c.name) + " flag " + std::to_string(flag));
            farend::Script s;
            // What goes out is checked elsewhere; here only the answer matters.
            s.open_sequence().pause(10).answer(c.command, 0, 0, flag);
            const Exchange r = run_on(s, c.call);
            EXPECT_EQ(r.rc, k == 0 ? c.code : shared[k - 1].code);
            const std::string message = k == 0 ? c.message : shared[k - 1].message;
            EXPECT_NE(r.trace.find("[ERR] " + message), std::string::npos) << r.trace;
        }
    }
}

// WGX waits for a new input only when it asks for one.
TEST_F(PeripheralCommands, NewWiegandInputIsAnnouncedLatchedIsNot) {
    for (const uint8_t latched : {uint8_t{0}, uint8_t{1}}) {
        SCOPED_TRACE(latched);
        farend::Script s;
        s.open_sequence(0x30, 0x30, SCAN_SUCCESS_ON).expect_packet(cmd::WGX, 1, 0, latched);
        if (!latched) s.answer(cmd::WGX, 0, 0, SCAN_SUCCESS);
        s.answer(cmd::WGX, 0x1, 0x2, SUCCEED);
        WiegandString got{};
        const Exchange r = run_on(s, [&] { return read_wiegand_input(1, latched, &got); });
        expect_clean(r);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(got.word2, 2u);
        EXPECT_EQ(r.trace, std::string("[API] Read Wiegand Input(WGX): [Remain status after read] ") +
                               (latched ? "[Read latched input]\n" : "[Read new input]\n") +
                               "[API] Wiegand String: 0x000001 00000002\n");
    }
}

// Key types 1 and 2 send both keys, any other key 1 alone; each with its byte sum.
TEST_F(PeripheralCommands, KeyBlockLengthFollowsTheKeyType) {
    const uint8_t key1[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    const uint8_t key2[6] = {1, 2, 3, 4, 5, 6};
    const Bytes block{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfa, 0x05, 1, 2, 3, 4, 5, 6, 21, 0};
    for (const uint8_t type : {uint8_t{0}, uint8_t{1}, uint8_t{2}, uint8_t{3}}) {
        SCOPED_TRACE(type);
        const size_t n = type == 1 || type == 2 ? 16 : 8;
        farend::Script s;
        s.open_sequence()
            .expect_packet(cmd::CKW, type, static_cast<uint32_t>(n), 0x03)
            .expect(farend::data_block(Bytes(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n))))
            .answer(cmd::CKW, 0, 0, SUCCEED);
        const Exchange r = run_on(s, [&] { return write_card_key(key1, key2, type, 3); });
        expect_clean(r);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.trace, "[API] Write Smart Card Key(CKW): " + std::to_string(type) + " 0x3\n");
    }
}

// The layout record is 7 bytes whatever the module announces: short answers
// leave zeros, long ones are read whole and cut, absurd ones are refused unread.
TEST_F(PeripheralCommands, LayoutAnswerNeverOverrunsTheRecord) {
    const Bytes layout{0x80, 0x01, 2, 4, 24, 28, 24, 0xEE, 0xEE};
    struct Case {
        uint32_t announced;
        int rc;
        CardLayout expected;
    };
    const Case cases[] = {
        {7, 0, {384, 2, 4, 24, 28, 24}},  {9, 0, {384, 2, 4, 24, 28, 24}},
        {3, 0, {384, 2, 0, 0, 0, 0}},     {0, 0, {}},
        {0xFFFFFFFF, RES_DATA_ERROR, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.announced);
        farend::Script s;
        s.open_sequence().expect_packet(cmd::CLR, 0, 0, 0).answer(cmd::CLR, 0, c.announced, SUCCEED);
        if (c.rc == 0 && c.announced > 0)
            s.send(farend::data_block(Bytes(layout.begin(), layout.begin() + c.announced)));
        CardLayout got{};
        const Exchange r = run_on(s, [&] { return read_card_layout(&got); });
        expect_clean(r);
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(card_layout_bytes(got), card_layout_bytes(c.expected));
    }
    EXPECT_EQ(card_layout_bytes(card_layout_of(std::span<const uint8_t, 7>(layout.data(), 7))),
              (std::array<uint8_t, 7>{0x80, 0x01, 2, 4, 24, 28, 24}));
}

TEST_F(PeripheralCommands, CardHeaderFields) {
    Bytes data(20);
    packet::put32(&data[0], 0xC0FFEE);
    packet::put32(&data[4], 0x22);
    packet::put32(&data[8], 0x11);
    data[12] = 3;
    data[13] = 2;
    data[14] = 1;
    packet::put16(&data[15], 384);
    packet::put16(&data[18], 0x123);
    CardHeader h{};
    ASSERT_TRUE(card_header_of(data, &h));
    EXPECT_EQ(h.csn, 0xC0FFEEu);
    EXPECT_EQ(h.wiegand.word1, 0x11u); // the upper half, at offset 8, first
    EXPECT_EQ(h.wiegand.word2, 0x22u);
    EXPECT_TRUE(h.slot[0].duress);
    EXPECT_FALSE(h.slot[1].duress);
    EXPECT_EQ(h.slot[0].size, 384);
    EXPECT_EQ(h.slot[1].size, 0x123);
    EXPECT_FALSE(card_header_of(std::span(data).first(19), &h));
}

// EW: the Wiegand input, the finger, then the Enroll Mode as for ES, with the
// second step always sent as EW; the ID in messages is the one answered.
TEST_F(PeripheralCommands, EnrollByWiegandSequences) {
    struct Case {
        const char* name;
        bool admin;
        uint32_t enrollMode;
        std::vector<uint8_t> answers; // the module's flags up to the end (or second step)
        bool secondStep;
        std::vector<uint8_t> after;
        int rc;
        const char* last; // last trace line
    };
    const Case cases[] = {
        {"one scan", false, 0x30, {0x62, 0x62, 0x61}, false, {}, 0, "      Enroll: Succeed 0x7\n"},
        {"no Wiegand input", false, 0x30, {0x63}, false, {}, -101, "[ERR] Enroll: Wiegand scan failed\n"},
        {"finger not scanned", false, 0x30, {0x62, 0x6c}, false, {}, -101, "[ERR] Enroll: Scan failed\n"},
        {"finger enrolled elsewhere",
         false,
         0x30,
         {0x62, 0x62, 0x86},
         false,
         {},
         -999,
         "[ERR] Enroll: Unknown error\n"},
        {"ID taken",
         false,
         0x30,
         {0x62, 0x62, 0x6e},
         false,
         {},
         -108,
         "[ERR] Enroll: ID 0x7 is already used\n"},
        {"admin, host continues",
         true,
         0x42,
         {0x74, 0x62, 0x62, 0x61},
         true,
         {0x62, 0x61},
         0,
         "     Enroll: Succeed 0x7\n"},
        {"module rescans, ID taken",
         false,
         0x31,
         {0x62, 0x62, 0x61, 0x62, 0x6e},
         false,
         {},
         -108,
         "[ERR] Enroll: ID 0x7 is already used\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint8_t command = c.admin ? 0x71 : 0x1C;
        farend::Script s;
        s.open_sequence(0x30, c.enrollMode, SCAN_SUCCESS_ON).expect_packet(command, 0, 0, 0x71);
        for (uint8_t f : c.answers) s.answer(command, 7, 0, f);
        if (c.secondStep) s.expect_packet(cmd::EW, 0, 0, ENROLL_CONTINUE);
        for (uint8_t f : c.after) s.answer(cmd::EW, 7, 0, f);
        uint32_t id = 0;
        const Exchange r = run_on(s, [&] {
            return c.admin ? enroll_by_wiegand_with_admin(0x71, &id) : enroll_by_wiegand(0x71, &id);
        });
        expect_clean(r);
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(r.trace.substr(r.trace.size() - std::min(r.trace.size(), std::strlen(c.last))), c.last)
            << r.trace;
        if (c.rc == 0) {
            EXPECT_EQ(id, 7u);
        }
    }
}

// EC waits for one scan per finger, two at most; the Wiegand string goes only when announced.
TEST_F(PeripheralCommands, CardEnrollmentScanWaitsAndWiegandString) {
    const uint8_t wiegand[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Case {
        uint32_t fingers;
        uint8_t option;
        int waits;
    };
    for (const Case& c : {Case{0, 0, 0}, Case{1, 0x04, 1}, Case{5, 0, 2}}) {
        SCOPED_TRACE(c.fingers);
        farend::Script s;
        s.open_sequence(0x30, 0x30, SCAN_SUCCESS_ON).expect_packet(cmd::EC, 9, c.fingers, c.option);
        if (c.option & 0x04) s.expect(farend::data_block(Bytes(wiegand, wiegand + 8)));
        for (int i = 0; i < c.waits; ++i) s.answer(cmd::EC, 0, 0, SCAN_SUCCESS);
        s.answer(cmd::EC, 9, 0, SUCCEED);
        const Exchange r = run_on(s, [&] { return enroll_smartcard(9, c.fingers, c.option, wiegand); });
        expect_clean(r);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.trace, "[API] Enroll smartcard(EC): 0x9 " +
                               (c.fingers ? "0x" + std::to_string(c.fingers) : "0") +
                               (c.option ? " 0x4" : " 0") + "\n     Enroll: Succeed\n");
    }
}

// ECX: one chunk of every template and the Wiegand string last; too much is refused unsent.
TEST_F(PeripheralCommands, CardTemplatesTravelAsOneChunk) {
    Bytes templates(768);
    for (size_t i = 0; i < templates.size(); ++i) templates[i] = static_cast<uint8_t>(i * 5);
    const Bytes wiegand{1, 2, 3, 4, 5, 6, 7, 8};
    Bytes chunk = templates;
    chunk.insert(chunk.end(), wiegand.begin(), wiegand.end());
    uint32_t sum = 0;
    for (uint8_t b : chunk) sum += b;
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::ECX, 9, 0x20180, 0x04)
        .answer(cmd::ECX, 0, 0, SUCCEED)
        .expect_packet(cmd::ECX, packet::chunk_param1(1, 0), 776, 0)
        .expect(farend::concat({chunk, farend::le32(sum)}))
        .answer(cmd::ECX, 0, 0, DATA_ACCEPTED)
        .answer(cmd::ECX, 9, 0, CARD_ERROR);
    Exchange r = run_on(
        s, [&] { return enroll_templates_to_smartcard(9, 2, 384, 0x04, templates.data(), wiegand.data()); });
    expect_clean(r);
    EXPECT_EQ(r.rc, RES_CARD_ERROR);
    EXPECT_EQ(r.trace, "[API] Enroll templates to smartcard(ECX): 0x9 2 384 0x4\n[ERR] Card error\n");

    farend::Script refused;
    refused.open_sequence();
    r = run_on(refused, [&] {
        return enroll_templates_to_smartcard(9, 0xFFFF, 0xFFFF, 0, templates.data(), nullptr);
    });
    expect_clean(r);
    EXPECT_EQ(r.rc, RES_NOT_SUPPORTED);
}

} // namespace
