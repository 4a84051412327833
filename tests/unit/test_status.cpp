// SS and SR against the scripted far end: the status is news whatever the
// flag, and a parameter's value comes back even when the module refuses it.
#include <gtest/gtest.h>

#include <string>

#include "FarEnd.h"
#include "InProcess.h"
#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;
namespace param = kelvor::packet::param;

using namespace kelvor;

namespace {

using farend::Exchange;

class StatusTest : public ::testing::Test {
protected:
    void SetUp() override { farend::reset_library(farend::Keywords::Refill); }
    void TearDown() override { farend::reset_library(); }
};

TEST_F(StatusTest, StatusReportedWhateverTheFlag) {
    const struct {
        uint32_t status;
        uint8_t flag;
        const char* line;
    } rows[] = {
        {0x30, SUCCEED, "      Module is in normal condition(0x30)\n"},
        {0x33, SUCCEED, "      Sensor does not respond(0x33)\n"},
        {0x34, SYSTEM_BUSY, "      Module is busy(0x34)\n"},
        {0x77, NOT_SUPPORTED, "      Unknown(0x77)\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.status);
        farend::Script s;
        s.open_sequence().expect_packet(cmd::SS, 0, 0, 0).answer(cmd::SS, row.status, 0, row.flag);
        uint32_t status = 0;
        const Exchange r = farend::run_in_process(s, [&] { return system_status_check(&status); });
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(r.trace, std::string("[API] Check system status(SS)\n") + row.line);
    }
}

TEST_F(StatusTest, ParameterReadAnswerTable) {
    const struct {
        uint8_t flag;
        int rc;
        const char* after;
    } rows[] = {
        {SUCCEED, 0, "      Security Level(0x66): 0x35\n"},
        {NOT_FOUND, RES_NOT_FOUND, "[ERR] Not found\n"},
        {SYSTEM_BUSY, RES_UNKNOWN, "[ERR] Unknown error\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.flag);
        farend::Script s;
        s.open_sequence()
            .expect_packet(cmd::SR, 0, 0, param::SECURITY_LEVEL)
            .answer(cmd::SR, 0, 0x35, row.flag);
        uint32_t value = 0;
        const Exchange r =
            farend::run_in_process(s, [&] { return system_parameter_read(param::SECURITY_LEVEL, &value); });
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_EQ(r.rc, row.rc);
        EXPECT_EQ(value, 0x35u); // handed back with a refusal too
        EXPECT_EQ(r.trace,
                  std::string("[API] System Parameter Read(SR): Security Level(0x66)\n") + row.after);
    }
}

} // namespace
