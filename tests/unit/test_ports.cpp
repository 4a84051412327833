// The input, output and GPIO ports against a scripted module: what each
// command puts on the wire and what it prints of the answers and the records
// that follow them.
#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
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

class PortsTest : public farend::ExchangeTest {};

Bytes gpio_records(std::initializer_list<std::array<uint16_t, 4>> records) {
    Bytes out;
    for (const auto& words : records)
        for (uint16_t w : words) {
            out.push_back(static_cast<uint8_t>(w));
            out.push_back(static_cast<uint8_t>(w >> 8));
        }
    return out;
}

TEST_F(PortsTest, ExchangesOnTheWireAndTheirPrintout) {
    const Bytes shared = gpio_records({{1, 3, 0x20, 9}, {0x87, 0x83, 5, 6}, {0x8d, 0x99, 7, 8}});
    const ExchangeCase cases[] = {
        {"OW packs its fields",
         [](Script& s) {
             s.expect_packet(cmd::OW, 0x100227, 0x640032, 3).answer(cmd::OW, 0, 0, MEMORY_FULL);
         },
         [] { return write_out_port_config(0x10, 2, 0x27, 0x64, 0x32, 3); }, RES_MEMORY_FULL,
         "[API] Write OUT port Configuration(OW): 0x10 0x2 Verify Success 0x64 0x32 LED0\n[ERR] Memory "
         "full\n"},
        {"OL then its event list",
         [](Script& s) {
             s.expect_packet(cmd::OL, 0, 0, 6)
                 .answer(cmd::OL, 0, 2, SUCCEED)
                 .send(farend::data_block({0x17, 0xEE}));
         },
         [] {
             uint32_t n = 0;
             if (int rc = read_enabled_events(6, &n); rc) return rc;
             std::vector<uint8_t> ev(n);
             return get_enabled_events(ev);
         },
         0,
         "[API] Read enabled event list(OL): Auto Response\n      Num of Enabled Events: 0x2\n"
         "[API] Get enabled event list: 0x2\n      Enroll Success\n      Unknown\n"},
        {"OS", [](Script& s) { s.expect_packet(cmd::OS, 1, 0, 1).answer(cmd::OS, 0, 0, NOT_SUPPORTED); },
         [] { return set_output_port(1, 1); }, RES_NOT_SUPPORTED,
         "[API] Set output port(OS): OUT1 Setr\n[ERR] Not supported\n"},
        {"IG active", [](Script& s) { s.expect_packet(cmd::IG, 1, 0, 0).answer(cmd::IG, 1, 0, SUCCEED); },
         [] {
             uint32_t st;
             return read_in_port_status(0, 1, &st);
         },
         0, "[API] Read IN port staus(IG): IN0 Remain\n      Active\n"},
        {"IG with a status without a name",
         [](Script& s) { s.expect_packet(cmd::IG, 0, 0, 0).answer(cmd::IG, 2, 0, SUCCEED); },
         [] {
             uint32_t st;
             return read_in_port_status(0, 0, &st);
         },
         0, "[API] Read IN port staus(IG): IN0 Clear\n      Unknown\n"},
        {"GR of a shared line: one input record, then output records",
         [&](Script& s) {
             s.expect_packet(cmd::GR, 9, 0, 0)
                 .answer(cmd::GR, 3u << 16, 3, SUCCEED)
                 .send(farend::data_block(shared));
         },
         [] {
             uint16_t mode = 0;
             uint32_t n = 0;
             if (int rc = read_gpio_config(9, &mode, &n); rc) return rc;
             std::vector<uint8_t> r(n * GPIO_RECORD_SIZE);
             return list_gpio_records(mode, r);
         },
         0,
         "[API] Read GPIO configuration(GR): 0x9\n      GPIO 0x9: Shared 0x3\n"
         "      Input: (Enroll) (Rising Edge) (0x20)\n[API] 0x1 0x3 0x20 0x9\n"
         "      Output: (Match success) (Active High + Blinking) (0x5) (0x6)\n[API] 0x87 0x83 0x5 0x6\n"
         "      Output: (Beep function) (Unknown) (0x7) (0x8)\n[API] 0x8d 0x99 0x7 0x8\n"},
        {"GR of a disabled line",
         [](Script& s) {
             s.send(farend::data_block(gpio_records({{1, 2, 3, 4}, {0, 0, 0, 0}})));
         },
         [] {
             std::vector<uint8_t> r(2 * GPIO_RECORD_SIZE);
             return list_gpio_records(0, r);
         },
         0, "      Disabled: Disabled\n[API] 0x1 0x2 0x3 0x4\n      Disabled: Disabled\n[API] 0 0 0 0\n"},
        {"GR of an unknown line",
         [](Script& s) { s.expect_packet(cmd::GR, 7, 0, 0).answer(cmd::GR, 0, 0, 0x99); },
         [] {
             uint16_t m;
             uint32_t n;
             return read_gpio_config(7, &m, &n);
         },
         RES_UNKNOWN, "[API] Read GPIO configuration(GR): 0x7\n[ERR] Unknown error: 0x7\n"},
        {"GW without records still sends the end code",
         [](Script& s) {
             s.expect_packet(cmd::GW, 0x20001, 0, 0)
                 .expect(farend::data_block({}))
                 .answer(cmd::GW, 0, 0, NOT_SUPPORTED);
         },
         [] { return write_gpio_config(1, 2, 0, nullptr); }, RES_NOT_SUPPORTED,
         "[API] Write GPIO configuration(GW): 0x1 0x2 0\n[ERR] Unsupported GPIO id: 0x1\n"},
    };
    farend::run_exchanges(cases);
}

} // namespace
