// The smart card against a scripted module: every row of each command's
// answer table, CW without templates, the key block CKW sends, what CLR makes
// of its layout and the card header's fields.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "Peripherals.h"
#include "families/SmartCard.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;

namespace {

using farend::Bytes;
using farend::Exchange;
using namespace peripheral;

// With nothing to send, CW sends only the end code of its (empty) template; then the answer.
TEST_F(PeripheralCommands, EmptyTemplatesSendOnlyTheEndCode) {
    peripheral::expect_only_owed(cmd::CW, 2, 0, {packet::END_CODE},
                                 [] { return write_card_templates(2, 0, 0, nullptr); });
}

// Every row of each command's answer table.
TEST_F(PeripheralCommands, CardCommandsMapTheirOwnAnswers) {
    uint8_t key[6] = {};
    const peripheral::CommandTable cases[] = {
        {"CR", cmd::CR, [] { return read_card_templates(0, nullptr); }, smartcard::readAnswer},
        {"CW", cmd::CW, [] { return write_card_templates(0, 0, 0, nullptr); }, smartcard::writeAnswer},
        {"CF", cmd::CF, [] { return format_card(2); }, smartcard::readAnswer},
        {"CC", cmd::CC, [] { return set_card_input_function(9); }, smartcard::functionAnswer},
        {"CKW", cmd::CKW, [&] { return write_card_key(key, key, 0, 0); }, smartcard::keyAnswer},
        {"CLW", cmd::CLW, [] { return write_card_layout({}); }, smartcard::layoutAnswer},
    };
    peripheral::expect_table_answers(cases);
}

// Key types 1 and 2 send both keys, any other key 1 alone; each with its byte sum.
TEST_F(PeripheralCommands, KeyBlockLengthFollowsTheKeyType) {
    const uint8_t key1[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    const uint8_t key2[6] = {1, 2, 3, 4, 5, 6};
    const Bytes block{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfa, 0x05, 1, 2, 3, 4, 5, 6, 21, 0};
    for (const uint8_t type : {uint8_t{0}, uint8_t{1}, uint8_t{2}, uint8_t{3}}) {
        SCOPED_TRACE(type);
        const size_t n = type == 1 || type == 2 ? 16 : 8;
        farend::Script s;
        s.open_sequence()
            .expect_packet(cmd::CKW, type, static_cast<uint32_t>(n), 0x03)
            .expect(farend::data_block(Bytes(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n))))
            .answer(cmd::CKW, 0, 0, SUCCEED);
        const Exchange r = run_on(s, [&] { return write_card_key(key1, key2, type, 3); });
        expect_clean(r);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.trace, "[API] Write Smart Card Key(CKW): " + std::to_string(type) + " 0x3\n");
    }
}

// The layout record is 7 bytes whatever the module announces: short answers
// leave zeros, long ones are read whole and cut, absurd ones are refused unread.
TEST_F(PeripheralCommands, LayoutAnswerNeverOverrunsTheRecord) {
    const Bytes layout{0x80, 0x01, 2, 4, 24, 28, 24, 0xEE, 0xEE};
    struct Case {
        uint32_t announced;
        int rc;
        CardLayout expected;
    };
    const Case cases[] = {
        {7, 0, {384, 2, 4, 24, 28, 24}},  {9, 0, {384, 2, 4, 24, 28, 24}},
        {3, 0, {384, 2, 0, 0, 0, 0}},     {0, 0, {}},
        {0xFFFFFFFF, RES_DATA_ERROR, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.announced);
        farend::Script s;
        s.open_sequence().expect_packet(cmd::CLR, 0, 0, 0).answer(cmd::CLR, 0, c.announced, SUCCEED);
        if (c.rc == 0 && c.announced > 0)
            s.send(farend::data_block(Bytes(layout.begin(), layout.begin() + c.announced)));
        CardLayout got{};
        const Exchange r = run_on(s, [&] { return read_card_layout(&got); });
        expect_clean(r);
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(card_layout_bytes(got), card_layout_bytes(c.expected));
    }
    EXPECT_EQ(card_layout_bytes(card_layout_of(std::span<const uint8_t, 7>(layout.data(), 7))),
              (std::array<uint8_t, 7>{0x80, 0x01, 2, 4, 24, 28, 24}));
}

TEST_F(PeripheralCommands, CardHeaderFields) {
    Bytes data(20);
    packet::put32(&data[0], 0xC0FFEE);
    packet::put32(&data[4], 0x22);
    packet::put32(&data[8], 0x11);
    data[12] = 3;
    data[13] = 2;
    data[14] = 1;
    packet::put16(&data[15], 384);
    packet::put16(&data[18], 0x123);
    CardHeader h{};
    ASSERT_TRUE(card_header_of(data, &h));
    EXPECT_EQ(h.csn, 0xC0FFEEu);
    EXPECT_EQ(h.wiegand.word1, 0x11u); // the upper half, at offset 8, first
    EXPECT_EQ(h.wiegand.word2, 0x22u);
    EXPECT_TRUE(h.slot[0].duress);
    EXPECT_FALSE(h.slot[1].duress);
    EXPECT_EQ(h.slot[0].size, 384);
    EXPECT_EQ(h.slot[1].size, 0x123);
    EXPECT_FALSE(card_header_of(std::span(data).first(19), &h));
}

} // namespace
