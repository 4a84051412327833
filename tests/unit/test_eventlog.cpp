// The event log and the user memory against a scripted module: what each
// command puts on the wire, what it prints of the answers and of the records
// that follow them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Exchanges.h"
#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;
namespace flag = kelvor::packet::flag;

using namespace kelvor;

namespace {

using farend::Bytes;
using farend::ExchangeCase;
using farend::Script;

class EventLogTest : public farend::ExchangeTest {};

Bytes log_record(uint8_t event, uint8_t source, uint32_t value, const char (&text)[5]) {
    Bytes r = {event, source, 26, 12, 7, 9, 15, 30};
    const Bytes v = farend::le32(value);
    r.insert(r.end(), v.begin(), v.end());
    r.insert(r.end(), text, text + 4);
    return r;
}

std::vector<uint8_t> logBuffer;

TEST_F(EventLogTest, ExchangesOnTheWireAndTheirPrintout) {
    const Bytes twoRecords =
        farend::concat({log_record(0x17, 1, 5, "AB\0\0"), log_record(0x64, 4, 0, "ABCD")});
    const ExchangeCase cases[] = {
        {"LR prints each record numbered from 0, source before event, text bounded to four characters",
         [&](Script& s) {
             s.expect_packet(cmd::LR, 0x10, 2, 0)
                 .answer(cmd::LR, 0, 2, SUCCEED)
                 .send(farend::data_block(twoRecords));
         },
         [] { return read_log(logBuffer, 0x10, 2, nullptr); }, 0,
         "[API] Upload log data(LR): 0x10 0x2\n"
         "      0:  26/12/07 09:15:30 (Host Port) (Enroll Success) (0x5) (AB)\n"
         "      1:  26/12/07 09:15:30 (IN0) (Tamper Switch On) (0) (ABCD)\n"},
        {"LR answered with more records than asked reads none of them",
         [](Script& s) { s.expect_packet(cmd::LR, 0, 2, 0).answer(cmd::LR, 0, 3, SUCCEED); },
         [] { return read_log(logBuffer, 0, 2, nullptr); }, RES_DATA_ERROR,
         "[API] Upload log data(LR): 0 0x2\n[ERR] Too many log records: 0x3 0x2\n"},
        {"LR refused",
         [](Script& s) { s.expect_packet(cmd::LR, 0, 2, 0).answer(cmd::LR, 0, 0, NOT_SUPPORTED); },
         [] { return read_log(logBuffer, 0, 2, nullptr); }, RES_NOT_SUPPORTED,
         "[API] Upload log data(LR): 0 0x2\n[ERR] Invalid arguments\n"},
        {"MR refused",
         [](Script& s) { s.expect_packet(cmd::MR, 4, 8, 0).answer(cmd::MR, 0, 0, NOT_SUPPORTED); },
         [] {
             uint32_t n;
             return read_user_memory(4, 8, &n);
         },
         RES_NOT_SUPPORTED,
         "[API] Read user memory data(MR): 0x4 0x8\n[ERR] Write user memory is not supported\n"},
        {"MW sends its data after the packet",
         [](Script& s) {
             s.expect_packet(cmd::MW, 2, 3, 0)
                 .expect(farend::data_block({1, 2, 3}))
                 .answer(cmd::MW, 0, 0, flag::SYSTEM_BUSY);
         },
         [] {
             static const uint8_t d[] = {1, 2, 3};
             return write_user_memory(d, 2, 3);
         },
         RES_SYSTEM_BUSY, "[API] Write user memory data(MW): 0x2 0x3\n[ERR] System is busy\n"},
    };
    farend::run_exchanges(
        cases, [](const ExchangeCase&) { logBuffer.assign(2 * LOG_RECORD_SIZE, 0); },
        [&](const ExchangeCase& c) {
            if (std::string(c.name).starts_with("LR prints")) {
                EXPECT_EQ(Bytes(logBuffer), twoRecords);
            }
        });
}

} // namespace
