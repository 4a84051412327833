// Enrollment through the Wiegand input and the smart card against a scripted
// module: the scan waits of EW and EC, the Enroll Mode's second step, and the
// data that EC and ECX send.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Peripherals.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;

namespace {

using farend::Bytes;
using farend::Exchange;
using namespace peripheral;

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
