// The connection, in-process against the scripted far end: the opening's
// exchanges and settings cache, its failures, and the close.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "LinkFixture.h"
#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;
namespace param = kelvor::packet::param;
namespace flag = kelvor::packet::flag;

using namespace kelvor;
using namespace linktest;

namespace {

// ---------------------------------------------------------------- connection

TEST_F(LinkTest, OpeningFillsTheSettingsCache) {
    struct Case {
        uint32_t enrollMode;
        uint32_t scanSuccess;
        int expectedEnrollMode;
        int expectedScanSuccessOn;
    };
    const Case cases[] = {
        {0x30, 0x30, 0x30, 0},
        {0x32, 0x31, 0x32, 1},
        {0x41, 0x00, 0x41, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.enrollMode);
        farend::Script s;
        s.open_sequence(0x30, c.enrollMode, c.scanSuccess);
        farend::FarEnd fe(s);
        ASSERT_EQ(open(fe), 0);
        EXPECT_EQ(module_settings().enrollMode, c.expectedEnrollMode);
        EXPECT_EQ(module_settings().scanSuccessOn, c.expectedScanSuccessOn);
        done(fe);
        reset();
    }
}

TEST_F(LinkTest, OpeningTracesItsExchanges) {
    farend::Script s;
    s.open_sequence(0x39, 0x31, 0x30);
    farend::FarEnd fe(s);
    farend::TraceCapture cap(0x03);
    ASSERT_EQ(open(fe), 0);
    EXPECT_EQ(cap.text(), "[API] Initialize Orvanti Module: " + fe.port() +
                              " 53 0 0 1 300\n"
                              "[API] Check system status(SS)\n"
                              "      Unknown(0x39)\n"
                              "[API] System Parameter Read(SR): Enroll Mode(0x65)\n"
                              "      Enroll Mode(0x65): 0x31\n"
                              "[API] System Parameter Read(SR): Sending SCAN_SUCCESS(0x75)\n"
                              "      Sending SCAN_SUCCESS(0x75): 0x30\n");
    done(fe);
}

TEST_F(LinkTest, ParameterReadsThatFailDoNotStopTheOpening) {
    // SR 0x65 not found (its value still taken), SR 0x75 unanswered: SCAN_SUCCESS counts as on.
    farend::Script s;
    s.expect_packet(cmd::SS, 0, 0, 0)
        .answer(cmd::SS, 0x32, 0, flag::SUCCEED)
        .expect_packet(cmd::SR, 0, 0, param::ENROLL_MODE)
        .answer(cmd::SR, 0, 0x34, NOT_FOUND)
        .expect_packet(cmd::SR, 0, 0, param::SCAN_SUCCESS);
    farend::FarEnd fe(s);
    farend::TraceCapture cap(0x01);
    module_settings().enrollMode = 0x30;
    EXPECT_EQ(open(fe), 0);
    EXPECT_EQ(module_settings().enrollMode, 0x34);
    EXPECT_EQ(module_settings().scanSuccessOn, 1);
    EXPECT_EQ(cap.text(), "[ERR] Not found\n[ERR] Read data timeout: 0 0xd\n");
    done(fe);
}

TEST_F(LinkTest, OpeningFailsWhenTheStatusCheckFails) {
    farend::Script s;
    s.expect_packet(cmd::SS, 0, 0, 0);
    farend::FarEnd fe(s);
    EXPECT_EQ(open(fe), ERR_READ_TIMEOUT);
    done(fe);
}

TEST_F(LinkTest, OpeningTwiceIsRefused) {
    farend::Script s;
    s.open_sequence().expect_packet(cmd::SS, 0, 0, 0).answer(cmd::SS, 0x30, 0, flag::SUCCEED);
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    {
        farend::TraceCapture cap(0x01);
        EXPECT_EQ(open(fe, 1, 1, 7), ERR_PORT_OPEN);
        EXPECT_EQ(cap.text(), "[ERR] The serial port is already open\n[ERR] Cannot open the serial port\n");
    }
    // The refused opening changed nothing of the open connection.
    EXPECT_EQ(link_state().network, 0);
    EXPECT_EQ(link_state().hexText, 0);
    EXPECT_EQ(link_state().moduleId, 1);
    // The first connection still works.
    uint32_t status = 0;
    EXPECT_EQ(system_status_check(&status), 0);
    done(fe);
}

TEST_F(LinkTest, PortThatDoesNotOpen) {
    farend::TraceCapture cap(0x01);
    EXPECT_EQ(module_open("/nonexistent/tty", 0x35, 0, 0, 1, TIMEOUT_MS), ERR_PORT_OPEN);
    EXPECT_EQ(cap.text(), "[ERR] Cannot create the handle\n[ERR] Cannot open the serial port\n");
}

TEST_F(LinkTest, ClosingKeepsOnlyErrorsEnabled) {
    farend::TraceCapture cap(0x1F);
    module_close();
    EXPECT_EQ(trace_mask(), 0x11u);
}

} // namespace
