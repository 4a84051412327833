// The link layer in-process against the scripted far end: packets on the wire
// in their three forms, answer synchronisation, module text lines, the read
// time-out, and which answers a command takes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "LinkFixture.h"
#include "ModuleSDK.h"
#include "link/TextLines.h"

namespace cmd = kelvor::packet::cmd;
namespace param = kelvor::packet::param;
namespace flag = kelvor::packet::flag;

using namespace kelvor;
using namespace linktest;

namespace {

// ------------------------------------------------------------------ packets

TEST(Packets, WorkedExamplesAndChecksums) {
    struct Case {
        Bytes built;
        const char* wire;
    };
    const Case cases[] = {
        {farend::packet(cmd::SS, 0, 0, 0), "40 04 00 00 00 00 00 00 00 00 00 44 0a"},
        {farend::packet(cmd::SS, 0, 0, 0, true, 1), "41 01 00 04 00 00 00 00 00 00 00 00 00 46 0a"},
        {farend::packet(cmd::ES, 5, 0, 0x71), "40 05 05 00 00 00 00 00 00 00 71 bb 0a"},
        {farend::packet(cmd::SS, 0, 0, 0, true, 0x0102), "41 02 01 04 00 00 00 00 00 00 00 00 00 48 0a"},
        {farend::packet(cmd::SS, 0, 0, 0, true, 0), "41 00 00 04 00 00 00 00 00 00 00 00 00 45 0a"},
        // Fields little-endian; the checksum keeps the low 8 bits of the sum.
        {farend::packet(cmd::II, 0x04030201, 0x08070605, 0xFF), "40 12 01 02 03 04 05 06 07 08 ff 75 0a"},
        {farend::packet(0xFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFF), "40 ff ff ff ff ff ff ff ff ff ff 36 0a"},
    };
    for (const Case& c : cases) EXPECT_EQ(farend::hex_dump(c.built), c.wire);

    const uint8_t bytes[] = {0xFF, 0xFF, 0x02};
    EXPECT_EQ(byte_sum(bytes, 3), 0x200u);
    EXPECT_EQ(byte_sum(bytes, 0), 0u);
}

TEST_F(LinkTest, AnswerFieldsByLayout) {
    AnswerPacket plain{};
    const Bytes p = hex("40 12 01 02 03 04 05 06 07 08 ff 75 0a");
    std::copy(p.begin(), p.end(), plain.begin());
    AnswerPacket net{};
    const Bytes n = hex("41 02 01 12 01 02 03 04 05 06 07 08 ff 79 0a");
    std::copy(n.begin(), n.end(), net.begin());
    struct Case {
        int selector;
        uint32_t plain;
        uint32_t network;
    };
    const Case cases[] = {
        {0, 0x12, 0x12},
        {1, 0, 0x0102},
        {2, 0x04030201, 0x04030201},
        {3, 0x08070605, 0x08070605},
        {4, 0xFF, 0xFF},
        {5, 0x75, 0x79},
        {6, 0, 0},
        {-1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selector);
        link_state().network = 0;
        EXPECT_EQ(answer_field(c.selector, plain), c.plain);
        link_state().network = 1;
        EXPECT_EQ(answer_field(c.selector, net), c.network);
    }
}

// -------------------------------------------------------- packets on the wire

TEST_F(LinkTest, PlainPacketsOnTheWire) {
    farend::Script s;
    // The opening, written out byte by byte: SS, then SR 0x65 and SR 0x75.
    s.expect_raw(hex("40 04 00 00 00 00 00 00 00 00 00 44 0a"))
        .send_raw(hex("40 04 30 00 00 00 00 00 00 00 61 d5 0a"))
        .expect_raw(hex("40 03 00 00 00 00 00 00 00 00 65 a8 0a"))
        .answer(cmd::SR, 0, 0x30, flag::SUCCEED)
        .expect_raw(hex("40 03 00 00 00 00 00 00 00 00 75 b8 0a"))
        .answer(cmd::SR, 0, 0x30, flag::SUCCEED)
        .expect_raw(hex("40 3f 01 02 03 04 05 06 07 08 09 ac 0a"))
        .answer(cmd::LC, 0x11223344, 0x55667788, flag::SUCCEED);
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    farend::TraceCapture cap(0x0F);
    ASSERT_EQ(send_command(cmd::LC, 0x04030201, 0x08070605, 0x09), 0);
    AnswerPacket a{};
    ASSERT_EQ(receive_answer(a), 0);
    EXPECT_EQ(answer_field(FIELD_COMMAND, a), 0x3Fu);
    EXPECT_EQ(answer_field(FIELD_MODULE_ID, a), 0u);
    EXPECT_EQ(answer_field(FIELD_PARAM1, a), 0x11223344u);
    EXPECT_EQ(answer_field(FIELD_PARAM2, a), 0x55667788u);
    EXPECT_EQ(answer_field(FIELD_FLAG, a), 0x61u);
    EXPECT_EQ(cap.text(), "      [COM] Send: 40 3f 01 02 03 04 05 06 07 08 09 ac 0a \n"
                          "      [COM] Receive: 40 3f 44 33 22 11 88 77 66 55 61 44 0a \n");
    done(fe);
}

TEST_F(LinkTest, NetworkPacketsCarryTheModuleId) {
    farend::Script s;
    s.network(true, 0x0102)
        .expect_raw(hex("41 02 01 04 00 00 00 00 00 00 00 00 00 48 0a"))
        .answer(cmd::SS, 0x30, 0, flag::SUCCEED)
        .expect_packet(cmd::SR, 0, 0, param::ENROLL_MODE)
        .answer(cmd::SR, 0, 0x30, flag::SUCCEED)
        .expect_packet(cmd::SR, 0, 0, param::SCAN_SUCCESS)
        .answer(cmd::SR, 0, 0x30, flag::SUCCEED)
        .expect_raw(hex("41 02 01 3f 05 00 00 00 00 00 00 00 00 88 0a"))
        .answer(cmd::LC, 7, 0, flag::SUCCEED);
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe, 0, 1, 0x0102), 0);
    EXPECT_EQ(link_state().packet_length(), 15u);
    ASSERT_EQ(send_command(cmd::LC, 5, 0, 0), 0);
    AnswerPacket a{};
    ASSERT_EQ(receive_answer(a), 0);
    EXPECT_EQ(answer_field(FIELD_MODULE_ID, a), 0x0102u);
    EXPECT_EQ(answer_field(FIELD_COMMAND, a), 0x3Fu);
    EXPECT_EQ(answer_field(FIELD_PARAM1, a), 7u);
    done(fe);
}

TEST_F(LinkTest, BroadcastOpensWithoutExchangesAndSendsToModuleZero) {
    farend::Script s;
    s.expect_raw(hex("41 00 00 04 00 00 00 00 00 00 00 00 00 45 0a"));
    farend::FarEnd fe(s);
    farend::TraceCapture cap(0x0F);
    ASSERT_EQ(module_open_broadcast(fe.port().c_str(), 0x35, 0, 7, TIMEOUT_MS), 0);
    EXPECT_EQ(link_state().broadcast, 1);
    EXPECT_EQ(link_state().packet_length(), 15u);
    ASSERT_EQ(send_broadcast_command(0x04, 0, 0, 0), 0);
    EXPECT_EQ(cap.text(), "[API] Initialize Orvanti Module for broadcast: " + fe.port() +
                              " 53 0 300\n"
                              "      [COM] Send: 41 00 00 04 00 00 00 00 00 00 00 00 00 45 0a \n");
    done(fe);
}

TEST_F(LinkTest, HexTextOnTheWire) {
    farend::Script s;
    s.hex(true)
        .expect_raw(text_bytes("4004000000000000000000440A"))
        .send_raw(text_bytes("40043000000000000000"
                             "61D50A"))
        .expect_packet(cmd::SR, 0, 0, param::ENROLL_MODE)
        .answer(cmd::SR, 0, 0x30, flag::SUCCEED)
        .expect_packet(cmd::SR, 0, 0, param::SCAN_SUCCESS)
        .answer(cmd::SR, 0, 0x30, flag::SUCCEED)
        .expect_raw(text_bytes("4004000000000000000000440A"))
        // Lower-case letters from the module decode wrongly: "3b" is not 0x3b.
        .send_raw(text_bytes("40043b00000000000000"
                             "61e00a"))
        .expect_packet(cmd::ML, 0, 3, 0)
        .expect_raw(text_bytes("5B00FF0A"))
        .send_raw(text_bytes("5BA1FF0A"));
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe, 1), 0);
    {
        // The trace shows the bytes, not the characters.
        farend::TraceCapture cap(0x05);
        ASSERT_EQ(send_command(cmd::SS, 0, 0, 0), 0);
        AnswerPacket a{};
        EXPECT_EQ(receive_answer(a), ERR_CHECKSUM);
        EXPECT_EQ(cap.text(), "      [COM] Send: 40 04 00 00 00 00 00 00 00 00 00 44 0a \n"
                              "      [COM] Receive: 40 04 5b 00 00 00 00 00 00 00 61 e0 2a \n"
                              "[ERR] Checksum error\n");
    }
    // A data block of n bytes travels as 2n characters and the two of its end code.
    ASSERT_EQ(send_command(cmd::ML, 0, 3, 0), 0);
    const uint8_t out[] = {0x5B, 0x00, 0xFF};
    ASSERT_EQ(send_data(out, 3), 0);
    uint8_t in[3] = {};
    ASSERT_EQ(receive_data(in), 0);
    EXPECT_EQ(Bytes(in, in + 3), hex("5b a1 ff"));
    done(fe);
}

// ---------------------------------------------------- answer synchronisation

TEST_F(LinkTest, NoiseBeforeTheStartCodeIsSkipped) {
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::SS, 0, 0, 0)
        .send_raw(hex("00 ff 0a 0d"))
        .answer(cmd::SS, 0x31, 0, flag::SUCCEED)
        .expect_packet(cmd::SS, 0, 0, 0)
        // A start code inside the noise leads to a wrong packet, caught by its checksum.
        .send_raw(hex("40 00"))
        .answer(cmd::SS, 0x30, 0, flag::SUCCEED);
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    uint32_t status = 0;
    EXPECT_EQ(system_status_check(&status), 0);
    EXPECT_EQ(status, 0x31u);
    EXPECT_EQ(system_status_check(&status), ERR_CHECKSUM);
    // The rest of the answer is still on the line; the next read finds it.
    uint8_t tail[2] = {};
    EXPECT_EQ(link_read(tail, 2), 2);
    EXPECT_EQ(Bytes(tail, tail + 2), hex("d5 0a"));
    done(fe);
}

TEST_F(LinkTest, ModuleTextLinesBeforeAnAnswerGoToStdout) {
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::SS, 0, 0, 0)
        .send_raw(text_bytes("[boot v1.2\r"))
        .answer(cmd::SS, 0x30, 0, flag::SUCCEED)
        .expect_packet(cmd::SS, 0, 0, 0)
        .send_raw(text_bytes("[one\r[two\r"))
        // A "[" inside a packet is a byte of the packet.
        .answer(cmd::SS, 0x5B, 0, flag::SUCCEED);
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    testing::internal::CaptureStdout();
    uint32_t first = 0, second = 0;
    const int rc1 = system_status_check(&first);
    const int rc2 = system_status_check(&second);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc1, 0);
    EXPECT_EQ(first, 0x30u);
    EXPECT_EQ(rc2, 0);
    EXPECT_EQ(second, 0x5Bu);
    EXPECT_EQ(out, "[boot v1.2\r\n[one\r\n[two\r\n");
    done(fe);
}

// Nothing of a module's text line can drive the operator's terminal: every
// control character, as a byte or as a UTF-8 character, is shown as `cat -v`
// shows it; text in any script stays as it is.
TEST(TextLines, ShownOnATerminalWithoutControlCharacters) {
    struct Row {
        const char* name;
        std::string line;
        std::string shown;
    };
    const Row rows[] = {
        {"plain", "[boot v1.2\r", "[boot v1.2\r"},
        {"a title and a colour", "[\x1b]0;T\x07\x1b[31mRED\r", "[^[]0;T^G^[[31mRED\r"},
        {"tab kept, DEL shown", "[a\tb\x7f\r", "[a\tb^?\r"},
        {"a return inside the line", "[a\rb\r", "[a^Mb\r"},
        {"C1 CSI as a byte",
         "[\x9b"
         "31mX",
         "[M-^[31mX"},
        {"C1 CSI in UTF-8",
         "[\xc2\x9b"
         "31mX",
         "[M-^[31mX"},
        {"C1 NEL and OSC in UTF-8", "[\xc2\x85\xc2\x9d", "[M-^EM-^]"},
        {"text in UTF-8 stays", "[caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x92\xc2\xa0\r",
         "[caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x92\xc2\xa0\r"},
        {"bytes of no character above C1 stay", "[\xff\xfe\xc3", "[\xff\xfe\xc3"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(text_line_for_terminal(row.line), row.shown);
    }
}

TEST_F(LinkTest, OverlongTextLineIsCutAndTheAnswerStillArrives) {
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::SS, 0, 0, 0)
        .send_raw(text_bytes("[" + std::string(20000, 'a') + "\r"))
        .answer(cmd::SS, 0x30, 0, flag::SUCCEED);
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    testing::internal::CaptureStdout();
    uint32_t status = 0;
    const int rc = system_status_check(&status);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(status, 0x30u);
    ASSERT_GT(out.size(), 64u);
    EXPECT_LT(out.size(), 20000u);
    EXPECT_EQ(out.substr(0, 4), "[aaa");
    EXPECT_EQ(out.back(), '\n');
    done(fe);
}

TEST_F(LinkTest, SilentModuleCostsOneTimeout) {
    farend::Script s;
    s.open_sequence().expect_packet(cmd::SS, 0, 0, 0);
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    farend::TraceCapture cap(0x01);
    ASSERT_EQ(send_command(cmd::SS, 0, 0, 0), 0);
    AnswerPacket a{};
    const auto start = Clock::now();
    EXPECT_EQ(receive_answer(a), ERR_READ_TIMEOUT);
    const long long took = ms_since(start);
    EXPECT_GE(took, TIMEOUT_MS - 20);
    EXPECT_LT(took, 2 * TIMEOUT_MS);
    EXPECT_EQ(cap.text(), "[ERR] Read data timeout: 0 0xd\n");
    done(fe);
}

TEST_F(LinkTest, AnswerCutShortIsATimeout) {
    farend::Script s;
    s.open_sequence().expect_packet(cmd::SS, 0, 0, 0).send_raw(hex("40 04 30 00 00"));
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    farend::TraceCapture cap(0x05);
    uint32_t status = 0;
    EXPECT_EQ(system_status_check(&status), ERR_READ_TIMEOUT);
    EXPECT_EQ(cap.text(), "      [COM] Send: 40 04 00 00 00 00 00 00 00 00 00 44 0a \n"
                          "[ERR] Read data timeout: 0x4 0xd\n");
    done(fe);
}

TEST_F(LinkTest, ChecksumErrorAfterThePacketWasTraced) {
    Bytes bad = farend::packet(cmd::SS, 0x30, 0, 0x61);
    bad[11] = static_cast<uint8_t>(bad[11] + 1);
    farend::Script s;
    s.open_sequence().expect_packet(cmd::SS, 0, 0, 0).send_raw(bad);
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    farend::TraceCapture cap(0x07);
    uint32_t status = 0;
    EXPECT_EQ(system_status_check(&status), ERR_CHECKSUM);
    EXPECT_EQ(cap.text(), "[API] Check system status(SS)\n"
                          "      [COM] Send: 40 04 00 00 00 00 00 00 00 00 00 44 0a \n"
                          "      [COM] Receive: 40 04 30 00 00 00 00 00 00 00 61 d6 0a \n"
                          "[ERR] Checksum error\n");
    done(fe);
}

TEST_F(LinkTest, HungUpLineFailsAtOnce) {
    // Bytes that arrived before the hang-up are still handed over; after them
    // every read fails at once instead of reporting silence.
    farend::Script s;
    s.open_sequence().send(hex("01 02")).pause(100).hangup();
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    uint8_t b[4] = {};
    EXPECT_EQ(link_read(b, 4), 2);
    fe.finish(0);
    const auto start = Clock::now();
    EXPECT_LT(link_read(b, 1, true), 0);
    EXPECT_LT(link_read(b, 1), 0);
    AnswerPacket a{};
    EXPECT_EQ(receive_answer(a), ERR_READ);
    EXPECT_LT(ms_since(start), TIMEOUT_MS);
    module_close();
}

} // namespace

// ------------------------------------------------------ answers and commands

namespace {

struct Late {
    uint8_t command;
    uint16_t moduleId;
};

struct MatchRow {
    const char* what;
    bool network;
    bool anyCommand;        // receive_answer_any
    std::vector<Late> sent; // what the module sends after the command 0x08, in order
    int rc;
    uint32_t taken; // command code of the answer taken
    const char* errors;
};

} // namespace

// An answer is taken only when it answers the command sent and, on a shared
// line, comes from the link's module; anything else is reported and dropped
// while the wait goes on.
TEST_F(LinkTest, AnswersMatchTheirCommandAndModule) {
    const MatchRow rows[] = {
        {"late answer of an earlier command",
         false,
         false,
         {{0x03, 1}, {0x08, 1}},
         0,
         0x08,
         "[ERR] Answer to another command dropped: 0x3\n"},
        {"nothing but a late answer",
         false,
         false,
         {{0x03, 1}},
         ERR_READ_TIMEOUT,
         0,
         "[ERR] Answer to another command dropped: 0x3\n[ERR] Read data timeout: 0 0xd\n"},
        {"another module on the line",
         true,
         false,
         {{0x08, 2}, {0x08, 1}},
         0,
         0x08,
         "[ERR] Answer from another module dropped: 0x2\n"},
        {"another module, another command",
         true,
         false,
         {{0x05, 0x0999}},
         ERR_READ_TIMEOUT,
         0,
         "[ERR] Answer from another module dropped: 0x999\n[ERR] Read data timeout: 0 0xf\n"},
        {"any command is taken", false, true, {{0x03, 1}}, 0, 0x03, ""},
        {"any command, but from this module",
         true,
         true,
         {{0x60, 2}, {0x60, 1}},
         0,
         0x60,
         "[ERR] Answer from another module dropped: 0x2\n"},
    };
    for (const MatchRow& row : rows) {
        SCOPED_TRACE(row.what);
        reset();
        farend::Script s;
        s.network(row.network, 1).open_sequence().expect_packet(cmd::VS, 0, 0, 0);
        for (const Late& l : row.sent) s.send(farend::packet(l.command, 7, 0, 0x61, row.network, l.moduleId));
        farend::FarEnd fe(s);
        ASSERT_EQ(open(fe, 0, row.network ? 1 : 0), 0);
        farend::TraceCapture cap(0x01);
        ASSERT_EQ(send_command(cmd::VS, 0, 0, 0), 0);
        AnswerPacket a{};
        EXPECT_EQ(row.anyCommand ? receive_answer_any(a) : receive_answer(a), row.rc);
        if (row.rc == 0) {
            EXPECT_EQ(answer_field(FIELD_COMMAND, a), row.taken);
        }
        EXPECT_EQ(cap.text(), row.errors);
        done(fe);
    }
}

// A dropped packet is traced like any other before it is reported.
TEST_F(LinkTest, DroppedAnswerIsTracedFirst) {
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::SS, 0, 0, 0)
        .answer(cmd::SR, 0, 0x30, flag::SUCCEED)
        .answer(cmd::SS, 0x30, 0, flag::SUCCEED);
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    farend::TraceCapture cap(0x07);
    uint32_t status = 0;
    EXPECT_EQ(system_status_check(&status), 0);
    EXPECT_EQ(status, 0x30u);
    EXPECT_EQ(cap.text(), "[API] Check system status(SS)\n"
                          "      [COM] Send: 40 04 00 00 00 00 00 00 00 00 00 44 0a \n"
                          "      [COM] Receive: 40 03 00 00 00 00 30 00 00 00 61 d4 0a \n"
                          "[ERR] Answer to another command dropped: 0x3\n"
                          "      [COM] Receive: 40 04 30 00 00 00 00 00 00 00 61 d5 0a \n"
                          "      Module is in normal condition(0x30)\n");
    done(fe);
}

// Data that cannot go out as announced are refused before the command packet.
TEST_F(LinkTest, UnsendableDataRefusedBeforeTheCommand) {
    farend::Script s;
    s.open_sequence();
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    static uint8_t record[IMAGE_RECORD_SIZE] = {};
    uint32_t id = 0;
    // 0x32000 bytes in chunks of 1 byte would need more chunks than a header can number.
    EXPECT_EQ(enroll_by_image_chunked(1, record, 0x32000, 0, 1, &id), RES_DATA_ERROR);
    EXPECT_EQ(enroll_by_image_chunked(1, record, 0x100, 0, 0, &id), RES_DATA_ERROR);
    done(fe); // nothing was sent
}

// At a low rate the answer's time-out counts from when the bytes have left the
// port, not from when they were handed to it.
TEST_F(LinkTest, AnswerAfterALongSendAtLowRate) {
    const Bytes data(1000, 0x5A); // 1.04 s on the wire at 9600 baud
    farend::Script s;
    s.open_sequence().expect(farend::data_block(data)).pause(700).answer(cmd::EI, 0, 0, flag::SUCCEED);
    s.expect(farend::data_block(data)); // then silence
    farend::FarEnd fe(s);
    ASSERT_EQ(module_open(fe.port().c_str(), 0x31, 0, 0, 1, TIMEOUT_MS), 0);
    AnswerPacket a{};
    ASSERT_EQ(send_data(data.data(), 1000), 0);
    EXPECT_EQ(receive_answer_any(a), 0);
    // A silent module still ends the wait: within the wire time and the time-out.
    ASSERT_EQ(send_data(data.data(), 1000), 0);
    const auto start = Clock::now();
    EXPECT_EQ(receive_answer_any(a), ERR_READ_TIMEOUT);
    EXPECT_LT(ms_since(start), 1042 + TIMEOUT_MS + 500);
    done(fe);
}
