// SW, SF and CS against the scripted far end: their answer tables, and what
// SW changes on the library's side of the link once the module accepted it.
#include <termios.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "FarEnd.h"
#include "InProcess.h"
#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;
namespace param = kelvor::packet::param;

using namespace kelvor;

namespace {

using farend::Exchange;
using farend::run_in_process;

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() { farend::reset_library(farend::Keywords::Refill); }
};

struct SwRow {
    uint8_t flag;
    int rc;
    const char* error;
};

TEST_F(SystemTest, SwAnswerTable) {
    const SwRow rows[] = {
        {SUCCEED, 0, ""},
        {NOT_FOUND, RES_NOT_FOUND, "[ERR] Cannot find the parameter: 0x66\n"},
        {SYSTEM_BUSY, RES_SYSTEM_BUSY, "[ERR] System is busy\n"},
        {NOT_SUPPORTED, RES_UNKNOWN, "[ERR] Unknown error: 0x66\n"},
        {SCAN_SUCCESS, RES_UNKNOWN, "[ERR] Unknown error: 0x66\n"},
    };
    for (const SwRow& row : rows) {
        SCOPED_TRACE(row.flag);
        farend::Script s;
        s.open_sequence()
            .expect_packet(cmd::SW, 0, 0x35, param::SECURITY_LEVEL)
            .answer(cmd::SW, 0, 0x35, row.flag);
        Exchange r = run_in_process(s, [] { return system_parameter_write(0x66, 0x35); });
        EXPECT_EQ(r.rc, row.rc);
        EXPECT_EQ(r.trace,
                  std::string("[API] System Parameter Write(SW): Security Level(0x66) 0x35\n") + row.error);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
    }
}

struct SimpleRow {
    const char* name;
    int (*call)();
    uint8_t command;
    const char* callLine;
    uint8_t flag;
    int rc;
    const char* error;
};

TEST_F(SystemTest, SaveAndCalibrateAnswerTables) {
    const SimpleRow rows[] = {
        {"SF", system_parameter_save, 0x02, "[API] System Parameter Save(SF)\n", SUCCEED, 0, ""},
        {"SF", system_parameter_save, 0x02, "[API] System Parameter Save(SF)\n", SYSTEM_BUSY, RES_SYSTEM_BUSY,
         "[ERR] System is busy\n"},
        {"SF", system_parameter_save, 0x02, "[API] System Parameter Save(SF)\n", NOT_FOUND, RES_UNKNOWN,
         "[ERR] Unknown error\n"},
        {"CS", calibrate_sensor, 0x1a, "[API] Calibrate sensor(CS)\n", SUCCEED, 0, ""},
        {"CS", calibrate_sensor, 0x1a, "[API] Calibrate sensor(CS)\n", SCAN_FAILED, RES_SCAN_FAILED,
         "[ERR] Scan calibration failed\n"},
        {"CS", calibrate_sensor, 0x1a, "[API] Calibrate sensor(CS)\n", NOT_SUPPORTED, RES_NOT_SUPPORTED,
         "[ERR] Calibration is not supported\n"},
        {"CS", calibrate_sensor, 0x1a, "[API] Calibrate sensor(CS)\n", SYSTEM_BUSY, RES_SYSTEM_BUSY,
         "[ERR] System is busy\n"},
        {"CS", calibrate_sensor, 0x1a, "[API] Calibrate sensor(CS)\n", TIMEOUT, RES_UNKNOWN,
         "[ERR] Unknown error\n"},
    };
    for (const SimpleRow& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " " + std::to_string(row.flag));
        farend::Script s;
        s.open_sequence().expect_packet(row.command, 0, 0, 0).answer(row.command, 0, 0, row.flag);
        Exchange r = run_in_process(s, row.call);
        EXPECT_EQ(r.rc, row.rc);
        EXPECT_EQ(r.trace, std::string(row.callLine) + row.error);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
    }
}

TEST_F(SystemTest, SwEnrollModeAndScanSuccessGoIntoTheSettingsCache) {
    farend::Script s;
    s.open_sequence(0x30, 0x30, 0x30);
    s.expect_packet(cmd::SW, 0, 0x32, param::ENROLL_MODE).answer(cmd::SW, 0, 0x32, SUCCEED);
    s.expect_packet(cmd::SW, 0, 0x31, param::SCAN_SUCCESS).answer(cmd::SW, 0, 0x31, SUCCEED);
    Exchange r = run_in_process(s, [] {
        int rc = system_parameter_write(0x65, 0x32);
        EXPECT_EQ(module_settings().enrollMode, 0x32);
        EXPECT_EQ(module_settings().scanSuccessOn, 0);
        if (rc == 0) rc = system_parameter_write(0x75, 0x31);
        EXPECT_EQ(module_settings().scanSuccessOn, 1);
        return rc;
    });
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// SCAN_SUCCESS switched off: the next scanning command reads its final answer at once.
TEST_F(SystemTest, SwScanSuccessOffChangesTheAnswerCountOfScans) {
    farend::Script s;
    s.open_sequence(0x30, 0x30, 0x31);
    s.expect_packet(cmd::SW, 0, 0x30, param::SCAN_SUCCESS).answer(cmd::SW, 0, 0x30, SUCCEED);
    s.expect_packet(cmd::IS, 0, 0, 0).answer(cmd::IS, 7, 0, SUCCEED);
    uint32_t id = 0;
    Exchange r = run_in_process(s, [&] {
        EXPECT_EQ(module_settings().scanSuccessOn, 1);
        int rc = system_parameter_write(0x75, 0x30);
        return rc ? rc : identify_by_scan(0, 0, &id, nullptr);
    });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(id, 7u);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

TEST_F(SystemTest, SwRefusedLeavesTheLibraryStateAlone) {
    farend::Script s;
    s.open_sequence(0x30, 0x30, 0x30);
    s.expect_packet(cmd::SW, 0, 0x31, param::NETWORK_MODE).answer(cmd::SW, 0, 0x31, NOT_FOUND);
    s.expect_packet(cmd::SW, 0, 0x31, param::ASCII_PACKET).answer(cmd::SW, 0, 0x31, SYSTEM_BUSY);
    s.expect_packet(cmd::SW, 0, 0x34, param::ENROLL_MODE); // no answer: the read times out
    Exchange r = run_in_process(s, [] {
        EXPECT_EQ(system_parameter_write(0x83, 0x31), RES_NOT_FOUND);
        EXPECT_EQ(system_parameter_write(0x76, 0x31), RES_SYSTEM_BUSY);
        return system_parameter_write(0x65, 0x34);
    });
    EXPECT_EQ(r.rc, ERR_READ_TIMEOUT);
    EXPECT_EQ(link_state().network, 0);
    EXPECT_EQ(link_state().hexText, 0);
    EXPECT_EQ(module_settings().enrollMode, 0x30);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// ASCII Packet on: the SW answer still arrives as bytes, the next packet travels
// as hex text; off again: the answer is hex text, the next packet bytes.
TEST_F(SystemTest, SwAsciiPacketSwitchesHexTextFromTheNextPacket) {
    farend::Script s;
    s.open_sequence();
    s.expect_packet(cmd::SW, 0, 0x31, param::ASCII_PACKET).answer(cmd::SW, 0, 0x31, SUCCEED);
    s.hex(true);
    s.expect_packet(cmd::SF, 0, 0, 0).answer(cmd::SF, 0, 0, SUCCEED);
    s.expect_packet(cmd::SW, 0, 0x30, param::ASCII_PACKET).answer(cmd::SW, 0, 0x30, SUCCEED);
    s.hex(false);
    s.expect_packet(cmd::CS, 0, 0, 0).answer(cmd::CS, 0, 0, SUCCEED);
    Exchange r = run_in_process(s, [] {
        int rc = system_parameter_write(0x76, 0x31);
        EXPECT_EQ(link_state().hexText, 1);
        if (rc == 0) rc = system_parameter_save();
        if (rc == 0) rc = system_parameter_write(0x76, 0x30);
        EXPECT_EQ(link_state().hexText, 0);
        return rc ? rc : calibrate_sensor();
    });
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

TEST_F(SystemTest, SwNetworkModeSwitchesToNetworkPacketsWithTheModuleId) {
    farend::Script s;
    s.open_sequence();
    s.expect_packet(cmd::SW, 0, 0x31, param::NETWORK_MODE).answer(cmd::SW, 0, 0x31, SUCCEED);
    s.network(true, 1);
    s.expect_packet(cmd::SF, 0, 0, 0).answer(cmd::SF, 0, 0, SUCCEED);
    s.expect_packet(cmd::SW, 0, 0x30, param::NETWORK_MODE).answer(cmd::SW, 0, 0x30, SUCCEED);
    s.network(false);
    s.expect_packet(cmd::SF, 0, 0, 0).answer(cmd::SF, 0, 0, SUCCEED);
    Exchange r = run_in_process(s, [] {
        int rc = system_parameter_write(0x83, 0x31);
        EXPECT_EQ(link_state().packet_length(), 15u);
        if (rc == 0) rc = system_parameter_save();
        if (rc == 0) rc = system_parameter_write(0x83, 0x30);
        EXPECT_EQ(link_state().packet_length(), 13u);
        return rc ? rc : system_parameter_save();
    });
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// Output speed of the port the library holds open: found among this process's
// descriptors, since the port is opened exclusively and cannot be opened again.
speed_t port_speed(const std::string& port) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec) != port || ec) continue;
        termios t{};
        if (tcgetattr(std::stoi(entry.path().filename().string()), &t) == 0) return cfgetospeed(&t);
    }
    return B0;
}

TEST_F(SystemTest, SwBaudrateSetsThePortUpAgainAfterTheAnswer) {
    farend::Script s;
    s.open_sequence();
    s.expect_packet(cmd::SW, 0, 0x33, param::BAUDRATE).answer(cmd::SW, 0, 0x33, SUCCEED);
    s.expect_packet(cmd::SF, 0, 0, 0).answer(cmd::SF, 0, 0, SUCCEED);
    speed_t after = B0;
    Exchange r = run_in_process(s,
                                [] {
                                    int rc = system_parameter_write(0x71, 0x33);
                                    return rc ? rc : system_parameter_save();
                                },
                                {.inspect = [&](const std::string& port) { after = port_speed(port); }});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(after, B38400);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// Opened for broadcast, a command goes to module 0 with its data and nothing
// is awaited; SW's effect on the library's side follows all the same (here:
// hex text from the next packet on). A command that needs an answer is
// refused before anything is sent.
TEST_F(SystemTest, BroadcastAwaitsNoAnswerAndFollowsTheParameter) {
    const farend::Bytes memory = {1, 2, 3};
    farend::Script s;
    s.network(true, 0)
        .expect_packet(cmd::MW, 4, 3, 0)
        .expect(farend::data_block(memory))
        .expect_packet(cmd::SW, 0, 0x31, param::ASCII_PACKET)
        .hex(true)
        .expect_packet(cmd::SW, 0, 0x36, 0x66);
    farend::FarEnd fe(s);
    ASSERT_EQ(module_open_broadcast(fe.port().c_str(), 0x35, 0, 0, 3000), 0);
    farend::TraceCapture cap(TRACE_ERROR);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(write_user_memory(memory.data(), 4, 3), 0);
    EXPECT_EQ(system_parameter_write(param::ASCII_PACKET, 0x31), 0);
    EXPECT_EQ(link_state().hexText, 1);
    uint32_t status = 0;
    EXPECT_EQ(system_status_check(&status), RES_NOT_SUPPORTED);
    EXPECT_EQ(system_parameter_write(0x66, 0x36), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(cap.text(), "[ERR] SS needs the module's answer: no module answers a broadcast\n");
    module_close();
    const farend::Outcome o = fe.finish(50);
    EXPECT_TRUE(o.ok) << o.failure;
    EXPECT_TRUE(o.extra.empty()) << farend::hex_dump(o.extra);
}

// A rate the port cannot run at (0) is refused by the port after the module accepted it.
TEST_F(SystemTest, SwBaudrateRefusedByThePort) {
    farend::Script s;
    s.open_sequence();
    s.expect_packet(cmd::SW, 0, 0, param::BAUDRATE).answer(cmd::SW, 0, 0, SUCCEED);
    Exchange r = run_in_process(s, [] { return system_parameter_write(0x71, 0); });
    EXPECT_EQ(r.rc, ERR_PORT_SETUP);
    EXPECT_EQ(r.trace, "[API] System Parameter Write(SW): Baudrate(0x71) 0\n"
                       "[ERR] Cannot set the status of the com port\n"
                       "[ERR] Cannot set baudrate: 0\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

} // namespace
