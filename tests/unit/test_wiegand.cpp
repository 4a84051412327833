// The Wiegand interface against a scripted module: the packed fields on the
// wire and in the trace, every row of each command's answer table, WWX
// without data, and the scan wait of WGX.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "Peripherals.h"
#include "families/Wiegand.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;

namespace {

using farend::Bytes;
using farend::Exchange;
using namespace peripheral;

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

// With nothing to send, WWX sends no data block; then the answer.
TEST_F(PeripheralCommands, EmptyFormatSendsNoDataBlock) {
    peripheral::expect_only_owed(cmd::WWX, 0, 1, {},
                                 [] { return write_wiegand_format(0, 0, 1, 0, nullptr); });
}

// Every row of each command's answer table.
TEST_F(PeripheralCommands, WiegandCommandsMapTheirOwnAnswers) {
    const peripheral::CommandTable cases[] = {
        {"WW", cmd::WW, [] { return write_wiegand_config(0, {}); }, wiegand::configAnswer},
        {"WG", cmd::WG, [] { return get_wiegand_input(0, nullptr, nullptr); }, wiegand::inputAnswer},
        {"WM", cmd::WM, [] { return set_wiegand_mapping(0x10, 1); }, wiegand::wiegandMappingAnswer},
        {"WM card", cmd::WM, [] { return set_card_mapping(0x10, 1); }, wiegand::cardMappingAnswer},
        {"WWX", cmd::WWX, [] { return write_wiegand_format(0, 0, 1, 0, nullptr); },
         wiegand::formatWriteAnswer},
        {"WRX", cmd::WRX, [] { return read_wiegand_format(nullptr); }, wiegand::notConfiguredAnswer},
        {"WGX", cmd::WGX, [] { return read_wiegand_input(0, 1, nullptr); }, wiegand::stringInputAnswer},
        {"WFW", cmd::WFW, [] { return set_field_default(1, 2, 0); }, wiegand::fieldWriteAnswer},
        {"WFR", cmd::WFR, [] { return get_field_default(1, nullptr); }, wiegand::fieldReadAnswer},
        {"WPW", cmd::WPW, [] { return set_wiegand_io({}); }, wiegand::ioWriteAnswer},
    };
    peripheral::expect_table_answers(cases);
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

} // namespace
