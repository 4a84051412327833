// The simulated module's line: packet forms, addressing, damaged packets,
// parameter changes that switch the line, the state file.
#include "SimHarness.h"

#include "protocol/Packet.h"

namespace cmd = kelvor::packet::cmd;

using namespace simtest;

namespace {

TEST(SimLine, StatusAnswerIsExactAndModuleServesManyRuns) {
    Sim sim;
    for (int run = 0; run < 3; ++run) {
        Client host(sim.link);
        host.send(cmd::SS);
        const Bytes answer = host.read_raw(13);
        // 40 04 | status 0x30 | 0 | SUCCEED | checksum | end code
        EXPECT_EQ(farend::hex_dump(answer), "40 04 30 00 00 00 00 00 00 00 61 d5 0a");
    }
}

// A second module for a link that one serves is refused: the first keeps
// the link and goes on serving.
TEST(SimLine, ASecondModuleDoesNotTakeOverAServedLink) {
    Sim sim;
    const auto second =
        farend::run_program_with(ORVANTI_SIM_BIN, {"--link", sim.link}, sim.dir(), 0, 0, 5000);
    EXPECT_EQ(second.status, 2);
    EXPECT_EQ(
        second.err.rfind("orvanti-sim: " + sim.link + " is served by another simulated module (PID ", 0), 0u)
        << second.err;
    EXPECT_NE(second.err.find("); stop it first\n"), std::string::npos) << second.err;
    Client host(sim.link);
    host.send(cmd::SS);
    EXPECT_EQ(farend::hex_dump(host.read_raw(13)), "40 04 30 00 00 00 00 00 00 00 61 d5 0a");
}

TEST(SimLine, DamagedPacketsGetNoAnswerAndTheNextIsServed) {
    Sim sim;
    Client host(sim.link);
    Bytes bad = host.packet_bytes(cmd::SS, 0, 0, 0);
    ++bad[11];
    host.write_raw(bad);
    EXPECT_TRUE(host.silent());
    Bytes badEnd = host.packet_bytes(cmd::SS, 0, 0, 0);
    badEnd[12] = 0x0D;
    host.write_raw(badEnd);
    EXPECT_TRUE(host.silent());
    host.write_raw({0x00, 0xFF, 0x13}); // noise before a packet is skipped
    host.send(cmd::SS);
    host.expect(SUCCEED);
}

TEST(SimLine, ParameterReadWriteAndRefusals) {
    Sim sim;
    Client host(sim.link);
    struct Row {
        uint8_t command;
        uint32_t value;
        uint8_t number;
        uint8_t flag;
        uint32_t param2;
    } rows[] = {
        {0x03, 0, 0x64, SUCCEED, 384},                                         // Template Size
        {0x03, 0, 0x65, SUCCEED, 0x30},                                        // Enroll Mode
        {0x03, 0, 0x75, SUCCEED, 0x30},                                        // Sending SCAN_SUCCESS
        {0x03, 0, 0x71, SUCCEED, 0x35},                                        // Baudrate 115200
        {0x03, 0, 0x6d, SUCCEED, 1},                                           // Module ID
        {0x03, 0, 0x73, SUCCEED, 0},                                           // Enrolled Fingerprints
        {0x03, 0, 0x74, SUCCEED, 1000},                                        // Available Fingerprints
        {0x03, 0, 0x99, NOT_FOUND, 0},                                         // no such parameter
        {0x01, 0x31, 0x99, NOT_FOUND, 0},                                      // no such parameter
        {0x01, 0x200, 0x64, NOT_SUPPORTED, 0},                                 // Template Size is fixed
        {0x01, 0x36, 0x71, NOT_SUPPORTED, 0},                                  // no such baud code
        {0x01, 0, 0x6d, NOT_SUPPORTED, 0},                                     // ID 0 addresses all modules
        {0x01, 0x33, 0x66, SUCCEED, 0x33},                                     // Security Level
        {0x03, 0, 0x66, SUCCEED, 0x33},        {0x3F, 0, 0, NOT_SUPPORTED, 0}, // unknown command code
    };
    for (const Row& r : rows) {
        host.send(r.command, 0, r.value, r.number);
        const Answer a = host.expect(r.flag);
        EXPECT_EQ(a.command, r.command);
        if (r.flag == SUCCEED) {
            EXPECT_EQ(a.param2, r.param2) << std::hex << int(r.number);
        }
    }
}

TEST(SimLine, NetworkModeAnswersOnlyItsOwnIdAndCarriesOutBroadcasts) {
    Sim sim;
    Client host(sim.link);
    host.send(cmd::SW, 0, 0x31, 0x83); // Network Mode on: answered in the old form
    EXPECT_EQ(host.expect(SUCCEED).command, 0x01);
    host.network = true;
    host.send(cmd::SS, 0, 0, 0, 2); // another module
    EXPECT_TRUE(host.silent());
    host.send(cmd::SW, 0, 0x32, 0x65, 0); // broadcast: Enroll Mode 0x32, never answered
    EXPECT_TRUE(host.silent());
    host.send(cmd::SR, 0, 0, 0x65);
    const Answer a = host.expect(SUCCEED);
    EXPECT_EQ(a.moduleId, 1);
    EXPECT_EQ(a.param2, 0x32u);
    // A new module ID answers from the next packet on.
    host.send(cmd::SW, 0, 0x0102, 0x6d);
    EXPECT_EQ(host.expect(SUCCEED).moduleId, 1);
    host.send(cmd::SS);
    EXPECT_TRUE(host.silent());
    host.moduleId = 0x0102;
    host.send(cmd::SS);
    const Bytes raw = host.read_raw(15);
    EXPECT_EQ(raw.size(), 15u);
    EXPECT_EQ(raw[0], 0x41);
    EXPECT_EQ(raw[1], 0x02);
    EXPECT_EQ(raw[2], 0x01);
    // 13-byte packets mean nothing to a module in network mode.
    host.network = false;
    host.send(cmd::SS);
    EXPECT_TRUE(host.silent());
}

TEST(SimLine, HexTextModeSwitchesAfterTheAnswer) {
    Sim sim;
    Client host(sim.link);
    host.send(cmd::SW, 0, 0x31, 0x76);
    host.expect(SUCCEED);
    host.hex = true;
    host.send(cmd::SS);
    const Bytes text = host.read_raw(26);
    EXPECT_EQ(std::string(text.begin(), text.end()), "4004300000000000000061D50A");
    host.send(cmd::SW, 0, 0x30, 0x76); // and back, answered in hex
    host.expect(SUCCEED);
    host.hex = false;
    host.send(cmd::SS);
    host.expect(SUCCEED);
}

TEST(SimLine, BaudRateChangeTakesEffectAfterTheAnswer) {
    Sim sim;
    Client host(sim.link);
    host.send(cmd::SW, 0, 0x33, 0x71);
    host.expect(SUCCEED);
    host.send(cmd::SS); // still at 115200: garbage to the module now
    EXPECT_TRUE(host.silent());
    host.set_speed(B38400);
    host.send(cmd::SS);
    host.expect(SUCCEED);
    // --any-baud: the rate of the host is not looked at.
    Sim lax({"--any-baud"});
    Client other(lax.link, B9600);
    other.send(cmd::SS);
    other.expect(SUCCEED);
}

TEST(SimLine, PacingMakesTransfersTakeLineTime) {
    Sim sim({"--pace"});
    Client host(sim.link);
    host.send(cmd::SW, 0, 0x31, 0x71); // 9600 baud
    host.expect(SUCCEED);
    host.set_speed(B9600);
    sim.place("2");
    const auto begin = std::chrono::steady_clock::now();
    host.send(cmd::SI);
    const Answer a = host.expect(SUCCEED, 5000);
    const Bytes img = host.read(1000, 5000);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin)
            .count();
    EXPECT_EQ(img.size(), 1000u);
    EXPECT_GT(a.param2, 1000u);
    // 13 + 1000 characters at 960 characters a second: about a second.
    EXPECT_GE(ms, 900);
}

TEST(SimState, SavedParametersAndTemplatesSurviveARestart) {
    farend::TempDir dir;
    const std::string state = dir.file("module.db");
    Sim sim({"--state", state}, dir.path());
    {
        Client host(sim.link);
        host.send(cmd::SW, 0, 0x31, 0x75); // saved below
        host.expect(SUCCEED);
        host.send(cmd::SF);
        host.expect(SUCCEED);
        host.send(cmd::SW, 0, 0x39, 0x66); // changed but not saved
        host.expect(SUCCEED);
        sim.place("4");
        host.send(cmd::ES, 7, 0, 0);
        EXPECT_TRUE(host.answers_are(std::vector<uint8_t>{SCAN_SUCCESS, SUCCEED}));
    }
    sim.restart();
    Client host(sim.link);
    host.send(cmd::SR, 0, 0, 0x75);
    EXPECT_EQ(host.expect(SUCCEED).param2, 0x31u);
    host.send(cmd::SR, 0, 0, 0x66);
    EXPECT_EQ(host.expect(SUCCEED).param2, 0x34u);
    host.send(cmd::SR, 0, 0, 0x73);
    EXPECT_EQ(host.expect(SUCCEED).param2, 1u);
    sim.place("4");
    host.send(cmd::IS);
    EXPECT_TRUE(host.answers_are(std::vector<uint8_t>{SCAN_SUCCESS, SUCCEED}));
}

TEST(SimState, StateFileSurvivesKillNineAtAnyMoment) {
    farend::TempDir dir;
    const std::string state = dir.file("module.db");
    for (int round = 0; round < 4; ++round) {
        Sim sim({"--state", state}, dir.path());
        uint32_t before = 0;
        {
            Client host(sim.link);
            host.send(cmd::SR, 0, 0, 0x73);
            before = host.expect(SUCCEED).param2;
            sim.place(std::to_string(round + 1));
            host.send(cmd::SI); // a first capture of the finger, so that the burst below runs at full speed
            host.receive_block(host.expect(SUCCEED).param2);
        }
        // Enrolments sent at once, without waiting for their answers; the
        // module works through them and is killed in the middle.
        {
            Client host(sim.link);
            for (uint32_t id = 1; id <= 40; ++id) host.send(cmd::ES, round * 100 + id, 0, ADD_NEW_TEMPLATE);
            std::this_thread::sleep_for(std::chrono::milliseconds(10 + 20 * round));
            sim.stop(SIGKILL);
        }
        sim.start({"--state", state});
        Client host(sim.link);
        host.send(cmd::SR, 0, 0, 0x73);
        const uint32_t after = host.expect(SUCCEED).param2;
        EXPECT_GE(after, before);
        EXPECT_LE(after, before + 40);
        // The database is whole: every template is there and matches its finger.
        sim.place(std::to_string(round + 1));
        host.send(cmd::IS);
        if (after > before) {
            EXPECT_EQ(host.expect(SUCCEED).param1 / 100, static_cast<uint32_t>(round));
        } else {
            host.expect(NOT_FOUND);
        }
    }
}

} // namespace
