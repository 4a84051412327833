// The simulated module's command handlers: answer sequences of the enroll
// modes and SCAN_SUCCESS, real outcomes of enrolment, verification and
// identification, image transfers in blocks and chunks, faults on demand.
#include "SimHarness.h"

#include "protocol/Packet.h"

namespace cmd = kelvor::packet::cmd;

using namespace simtest;

namespace {

using Flags = std::vector<uint8_t>;

void set_param(Client& host, uint8_t number, uint32_t value) {
    host.send(cmd::SW, 0, value, number);
    host.expect(SUCCEED);
}

TEST(SimEnroll, AnswerSequencesOfEveryEnrollMode) {
    Sim sim;
    Client host(sim.link);
    sim.place("3");
    struct Row {
        uint32_t mode;
        uint32_t scanSuccess;
        Flags first;  // after ES
        Flags second; // after the ENROLL_CONTINUE step, when the mode takes one
    } rows[] = {
        {0x30, 0x30, {SUCCEED}, {}},
        {0x30, 0x31, {SCAN_SUCCESS, SUCCEED}, {}},
        {0x31, 0x30, {SUCCEED, SUCCEED}, {}},
        {0x31, 0x31, {SCAN_SUCCESS, SUCCEED, SCAN_SUCCESS, SUCCEED}, {}},
        {0x32, 0x30, {SUCCEED}, {SUCCEED}},
        {0x32, 0x31, {SCAN_SUCCESS, SUCCEED}, {SCAN_SUCCESS, SUCCEED}},
        {0x42, 0x31, {SCAN_SUCCESS, SUCCEED}, {SCAN_SUCCESS, SUCCEED}},
    };
    uint32_t id = 100;
    for (const Row& r : rows) {
        set_param(host, 0x65, r.mode);
        set_param(host, 0x75, r.scanSuccess);
        ++id;
        host.send(cmd::ES, id, 0, 0);
        EXPECT_TRUE(host.answers_are(r.first)) << std::hex << r.mode << " " << r.scanSuccess;
        if (!r.second.empty()) {
            host.send(cmd::ES, id, 0, ENROLL_CONTINUE);
            EXPECT_TRUE(host.answers_are(r.second)) << std::hex << r.mode << " " << r.scanSuccess;
        }
    }
    host.send(cmd::SR, 0, 0, 0x73);
    EXPECT_EQ(host.expect(SUCCEED).param2, 7u);
    // A second step without a first: try again.
    host.send(cmd::ES, 1, 0, ENROLL_CONTINUE);
    EXPECT_TRUE(host.answers_are(Flags{TRY_AGAIN}));
}

TEST(SimEnroll, TwoScansOfDifferentFingersAreRefused) {
    Sim sim;
    Client host(sim.link);
    set_param(host, 0x65, 0x31);
    sim.place("3,4"); // one finger for the first scan, another for the second
    host.send(cmd::ES, 9, 0, 0);
    EXPECT_TRUE(host.answers_are(Flags{SUCCEED, TRY_AGAIN}));
}

TEST(SimEnroll, OutcomesOfTheOptions) {
    Sim sim({"--capacity", "14"});
    Client host(sim.link);
    sim.place("2");
    struct Row {
        const char* finger;
        uint32_t id;
        uint8_t option;
        uint8_t flag;
        uint32_t idOut;
    } rows[] = {
        {"2", 5, 0, SUCCEED, 5},
        {"3", 5, 0, ID_ALREADY_USED, 0},
        {"3", 5, 0x70, ID_ALREADY_USED, 0}, // Check ID
        {"3", 0, 0, INVALID_ID, 0},
        {"3", 0, AUTO_ID, SUCCEED, 1},
        {"3", 0, AUTO_ID, SUCCEED, 2},
        {"2", 6, CHECK_FINGER, FINGER_ALREADY_ENROLLED, 0},
        {"4", 6, CHECK_FINGER, SUCCEED, 6},
        {"4", 6, ADD_NEW_TEMPLATE, SUCCEED, 6},
        {"9", 77, ADD_DURESS_FINGER, INVALID_ID, 0}, // no such user
        {"9", 6, ADD_DURESS_FINGER, SUCCEED, 6},
    };
    for (const Row& r : rows) {
        sim.place(r.finger);
        host.send(cmd::ES, r.id, 0, r.option);
        const Answer a = host.expect(r.flag);
        if (r.flag == SUCCEED) {
            EXPECT_EQ(a.param1, r.idOut);
        }
    }
    // Six templates so far; user 6 holds three of ten.
    for (int i = 0; i < 7; ++i) {
        host.send(cmd::ES, 6, 0, ADD_NEW_TEMPLATE);
        host.expect(SUCCEED);
    }
    host.send(cmd::ES, 6, 0, ADD_NEW_TEMPLATE);
    host.expect(FINGER_LIMIT);
    host.send(cmd::ES, 40, 0, 0);
    host.expect(SUCCEED);
    host.send(cmd::ES, 41, 0, 0); // the fourteenth template filled the memory
    host.expect(MEMORY_FULL);
    sim.place("none");
    host.send(cmd::ES, 42, 0, 0);
    host.expect(TIMEOUT);
}

TEST(SimEnroll, AdministratorStageOfEsa) {
    Sim sim;
    Client host(sim.link);
    set_param(host, 0x75, 0x31);
    host.send(cmd::ESA, 2, 0, 0);
    EXPECT_TRUE(host.answers_are(Flags{NOT_SUPPORTED})); // nobody may enroll yet
    sim.place("1");
    host.send(cmd::ES, 1, 0, 0);
    EXPECT_TRUE(host.answers_are(Flags{SCAN_SUCCESS, SUCCEED}));
    host.send(cmd::AW, 1, 1, 0); // admin level Enroll
    host.expect(SUCCEED);
    sim.place("1,8"); // the administrator's finger, then the new user's
    host.send(cmd::ESA, 2, 0, 0);
    EXPECT_TRUE(host.answers_are(Flags{SCAN_SUCCESS, ENROLL_CONTINUE, SCAN_SUCCESS, SUCCEED}));
    sim.place("8");
    host.send(cmd::ESA, 3, 0, 0); // a user who is no administrator
    EXPECT_TRUE(host.answers_are(Flags{SCAN_SUCCESS, NOT_MATCH}));
    // Enroll Mode 0x32: the second step comes as ES with ENROLL_CONTINUE.
    set_param(host, 0x65, 0x32);
    sim.place("1,9");
    host.send(cmd::ESA, 4, 0, 0);
    EXPECT_TRUE(host.answers_are(Flags{SCAN_SUCCESS, ENROLL_CONTINUE, SCAN_SUCCESS, SUCCEED}));
    host.send(cmd::ES, 4, 0, ENROLL_CONTINUE);
    EXPECT_TRUE(host.answers_are(Flags{SCAN_SUCCESS, SUCCEED}));
}

TEST(SimVerify, OutcomesOfVerificationAndIdentification) {
    Sim sim;
    Client host(sim.link);
    sim.place("3");
    host.send(cmd::ES, 5, 0, 0);
    host.expect(SUCCEED);
    sim.place("8");
    host.send(cmd::ES, 5, 0, ADD_DURESS_FINGER);
    host.expect(SUCCEED);
    sim.place("4");
    host.send(cmd::ES, 6, 0, 0);
    host.expect(SUCCEED);
    host.send(cmd::UW, 6, 3, 0); // policy Reject
    host.expect(SUCCEED);
    struct Row {
        const char* finger;
        uint8_t command;
        uint32_t id;
        uint8_t flag;
        uint32_t param1;
    } rows[] = {
        {"3", 0x08, 5, SUCCEED, 5},
        {"4", 0x08, 5, NOT_MATCH, 5},
        {"8", 0x08, 5, DURESS_FINGER, 5},
        {"3", 0x08, 99, NOT_FOUND, 99},
        {"4", 0x08, 6, ID_REJECTED, 6},
        {"none", 0x08, 5, TIMEOUT, 0},
        {"3", 0x11, 0, SUCCEED, 5},
        {"8", 0x11, 0, DURESS_FINGER, 5},
        {"4", 0x11, 0, ID_REJECTED, 6},
        {"7", 0x11, 0, NOT_FOUND, 0},
        {"none", 0x11, 0, TIMEOUT, 0},
        {"3", 0x11, 6 | 6u << 16, NOT_FOUND, 0}, // range 6 to 6 leaves user 5 out
        {"3", 0x11, 1 | 5u << 16, SUCCEED, 5},
    };
    for (const Row& r : rows) {
        sim.place(r.finger);
        host.send(r.command, r.id, 0, 0);
        const Answer a = host.expect(r.flag);
        EXPECT_EQ(a.param1, r.param1) << r.finger << " " << std::hex << int(r.command);
    }
    // Wiegand and card inputs carry the user ID.
    sim.place("3");
    host.send(cmd::VW);
    host.expect(TIMEOUT);
    EXPECT_EQ(sim.control({"--wiegand", "5"}).status, 0);
    host.send(cmd::VW);
    EXPECT_EQ(host.expect(SUCCEED).param1, 5u);
    EXPECT_EQ(sim.control({"--card", "77"}).status, 0);
    host.send(cmd::VC);
    host.expect(CARD_ERROR);
    EXPECT_EQ(sim.control({"--card", "5"}).status, 0);
    set_param(host, 0x75, 0x31);
    host.send(cmd::VC);
    EXPECT_TRUE(host.answers_are(Flags{SCAN_SUCCESS, SCAN_SUCCESS, SUCCEED}));
}

TEST(SimImage, ChunkedImagesBothWays) {
    Sim sim;
    Client host(sim.link);
    sim.place("6");
    host.send(cmd::ES, 6, 0, 0);
    host.expect(SUCCEED);
    host.send(cmd::SIX, 0, 0x4000, 0); // SIX in chunks of 16 KiB
    const Answer a = host.expect(SUCCEED);
    ASSERT_EQ(a.param2, 28u + 256 * 288);
    const auto got = host.receive_chunks(a.param2);
    EXPECT_TRUE(got.sumsOk);
    EXPECT_EQ(got.lengths, (std::vector<uint32_t>{0x4000, 0x4000, 0x4000, 0x4000, 0x201c}));
    const Bytes image = host_image(got.data);
    // VIX, IIX and EIX take the image back in chunks of 4096.
    host.send(cmd::VIX, 6, static_cast<uint32_t>(image.size()), 0);
    host.expect(SUCCEED);
    EXPECT_EQ(host.send_chunks(cmd::VIX, image, 4096), Flags(18, DATA_ACCEPTED));
    EXPECT_EQ(host.expect(SUCCEED).param1, 6u);
    host.send(cmd::IIX, 0, static_cast<uint32_t>(image.size()), 0);
    host.expect(SUCCEED);
    host.send_chunks(cmd::IIX, image, 4096);
    EXPECT_EQ(host.expect(SUCCEED).param1, 6u);
    host.send(cmd::EIX, 7, static_cast<uint32_t>(image.size()), CHECK_FINGER);
    host.expect(SUCCEED);
    host.send_chunks(cmd::EIX, image, 4096);
    host.expect(FINGER_ALREADY_ENROLLED);
    // A chunk with a wrong checksum is refused and ends the transfer.
    host.send(cmd::EIX, 7, static_cast<uint32_t>(image.size()), 0);
    host.expect(SUCCEED);
    EXPECT_EQ(host.send_chunks(cmd::EIX, image, 4096, true), Flags{DATA_CHECKSUM_ERROR});
    EXPECT_TRUE(host.silent());
    // RIX of the last image; a refused chunk ends the module's transfer.
    sim.fault("chunk-checksum");
    host.send(cmd::RIX, 0, 0x10000, 0);
    const Answer r = host.expect(SUCCEED);
    const auto bad = host.receive_chunks(r.param2);
    EXPECT_FALSE(bad.sumsOk);
    EXPECT_EQ(bad.lengths.size(), 2u); // the last of the two chunks is spoiled
    EXPECT_TRUE(host.silent());
}

TEST(SimImage, RefusedDataAndTemplates) {
    Sim sim;
    Client host(sim.link);
    struct Row {
        uint8_t command;
        Bytes data;
        uint8_t flag;
    } rows[] = {
        {0x06, Bytes(100, 7), TRY_AGAIN}, // EI: not an image record
        {0x07, Bytes(384, 0), TRY_AGAIN}, // ET: not a template
        {0x10, Bytes(384, 1), TRY_AGAIN}, // VT
        {0x13, Bytes(12, 1), TRY_AGAIN},  // IT
        {0x34, Bytes(32, 0x5A), SUCCEED}, // KW
        {0x34, Bytes(31, 0x5A), NOT_SUPPORTED},
    };
    for (const Row& r : rows) {
        host.send(r.command, 1, static_cast<uint32_t>(r.data.size()), 0);
        host.send_block(r.data);
        host.expect(r.flag);
    }
    // A data block with a wrong end code is refused.
    host.send(cmd::ET, 1, 4, 0);
    host.write({1, 2, 3, 4, 0x0D});
    host.expect(TRY_AGAIN);
    // RI before any image: nothing to read.
    host.send(cmd::RI);
    host.expect(NOT_FOUND);
    // KS: the template, scrambled with the key and the challenge.
    sim.place("2");
    host.send(cmd::ST, 0x12345678, 0, 0);
    const Answer a = host.expect(SUCCEED);
    EXPECT_EQ(a.param2, 388u);
    const Bytes first = host.receive_block(a.param2);
    host.send(cmd::ST, 0x12345679, 0, 0);
    const Bytes second = host.receive_block(host.expect(SUCCEED).param2);
    EXPECT_NE(first, second);
}

TEST(SimFaults, FaultsOnDemand) {
    Sim sim;
    Client host(sim.link);
    const Bytes ss = host.packet_bytes(cmd::SS, 0x30, 0, SUCCEED);
    Bytes ssAnswer = ss;
    ssAnswer[2] = 0x30;
    ssAnswer[11] = static_cast<uint8_t>(packet::byte_sum(ssAnswer.data(), 11));
    auto exchange = [&](size_t n) {
        host.send(cmd::SS);
        return host.read_raw(n, 600);
    };
    sim.fault("noise:3");
    EXPECT_EQ(farend::hex_dump(exchange(16)), "00 ff 00 " + farend::hex_dump(ssAnswer));
    sim.fault("none");
    sim.fault("text:ready");
    const Bytes withText = exchange(8 + 13);
    EXPECT_EQ(std::string(withText.begin(), withText.begin() + 8), "[ready]\r");
    EXPECT_EQ(Bytes(withText.begin() + 8, withText.end()), ssAnswer);
    sim.fault("none");
    sim.fault("checksum,times=1");
    Bytes spoiled = ssAnswer;
    ++spoiled[11];
    EXPECT_EQ(exchange(13), spoiled);
    EXPECT_EQ(exchange(13), ssAnswer); // only once
    sim.place("3");                    // other control writes do not arm it again
    EXPECT_EQ(exchange(13), ssAnswer);
    sim.fault("checksum,times=1"); // the same fault added anew is armed anew
    EXPECT_EQ(exchange(13), spoiled);
    sim.fault("none");
    sim.fault("truncate:5,cmd=0x04");
    EXPECT_EQ(exchange(13), Bytes(ssAnswer.begin(), ssAnswer.begin() + 5));
    host.send(cmd::SR, 0, 0, 0x64);
    host.expect(SUCCEED); // other commands are answered whole
    sim.fault("none");
    sim.fault("silence,times=2");
    EXPECT_TRUE(exchange(13).empty());
    EXPECT_TRUE(exchange(13).empty());
    EXPECT_EQ(exchange(13), ssAnswer);
    sim.fault("none");
    sim.fault("slow:400");
    const auto begin = std::chrono::steady_clock::now();
    host.send(cmd::SS);
    host.expect(SUCCEED);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(380));
    sim.fault("none");
    // Packets of the module's own come once the host has fallen silent.
    sim.fault("unsolicited:2");
    host.send(cmd::SS);
    host.expect(SUCCEED);
    const auto u1 = host.receive(1500), u2 = host.receive(1500);
    ASSERT_TRUE(u1 && u2);
    EXPECT_EQ(u1->command, 0x11);
    EXPECT_EQ(u2->flag, NOT_FOUND);
    // Bad control requests are refused.
    EXPECT_NE(sim.control({"--fault", "thunder"}).status, 0);
    EXPECT_NE(sim.control({"--fault", "noise:many"}).status, 0);
    EXPECT_NE(sim.control({"--place", "finger.png"}).status, 0);
}

} // namespace

namespace {

TEST(SimFreeScan, FingerPutOnTheSensorIsIdentifiedUnasked) {
    Sim sim;
    Client host(sim.link);
    sim.place("3");
    host.send(cmd::ES, 5, 0, 0);
    host.expect(SUCCEED);
    set_param(host, 0x84, 0x31);           // Free Scan on
    const auto first = host.receive(1500); // the finger still lies there: identified at once
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->command, 0x11);
    EXPECT_EQ(first->param1, 5u);
    EXPECT_EQ(first->flag, SUCCEED);
    EXPECT_TRUE(host.silent(500)); // once per finger put down
    sim.place("4");
    EXPECT_EQ(host.expect(NOT_FOUND, 1500).command, 0x11);
    sim.place("none");
    EXPECT_TRUE(host.silent(500));
    set_param(host, 0x84, 0x30);
    sim.place("3");
    EXPECT_TRUE(host.silent(500));
}

} // namespace
