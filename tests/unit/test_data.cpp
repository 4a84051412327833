// Data between the packets, in-process against the scripted far end: data
// blocks in both directions and acknowledged chunks.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "LinkFixture.h"
#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;
using namespace linktest;

namespace {

// --------------------------------------------------------------- data blocks

TEST_F(LinkTest, SlowSteadyBlockIsReceivedWhole) {
    // 64 bytes in eight pieces, 150 ms apart: 1.05 s in all, more than three
    // time-outs, but never a time-out of silence.
    Bytes block(64);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
    farend::Script s;
    s.open_sequence();
    for (size_t at = 0; at < block.size(); at += 8) {
        s.send_raw(Bytes(block.begin() + static_cast<long>(at), block.begin() + static_cast<long>(at + 8)));
        s.pause(150);
    }
    s.send_raw(hex("0a"));
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    Bytes got(64);
    EXPECT_EQ(receive_data(got), 0);
    EXPECT_EQ(got, block);
    done(fe);
}

TEST_F(LinkTest, ReceiveDataChecksLengthAndEndCode) {
    struct Case {
        Bytes wire;
        size_t n;
        int rc;
        const char* trace;
    };
    const Case cases[] = {
        {hex("01 02 03 04 0a"), 4, 0, "      [DATA] Receive: 01 02 03 04 0a\n"},
        {hex("01 02 03 04 0d"), 4, ERR_CHECKSUM, "[ERR] Invalid end code: 0xd\n"},
        {hex("01 02"), 4, ERR_READ_TIMEOUT, "[ERR] Serial read timeout 0x2 0x4\n"},
        {hex("01 02 03 04"), 4, ERR_READ_TIMEOUT, "[ERR] Serial read timeout\n"},
        // A block of length 0 is its end code alone.
        {hex("0a"), 0, 0, "      [DATA] Receive: 0a\n"},
        // A block that starts with "[" is data, not a module text line.
        {hex("5b 31 32 0d 0a"), 4, 0, "      [DATA] Receive: 5b 31 32 0d 0a\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(farend::hex_dump(c.wire));
        farend::Script s;
        s.open_sequence().send_raw(c.wire);
        farend::FarEnd fe(s);
        ASSERT_EQ(open(fe), 0);
        Bytes got(c.n, 0xEE);
        {
            farend::TraceCapture cap(0x09);
            testing::internal::CaptureStdout();
            EXPECT_EQ(receive_data(got), c.rc);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
            EXPECT_EQ(cap.text(), c.trace);
        }
        if (c.rc == 0) {
            EXPECT_EQ(got, Bytes(c.wire.begin(), c.wire.end() - 1));
        }
        done(fe);
        reset();
    }
}

TEST_F(LinkTest, SendDataAddsTheEndCode) {
    farend::Script s;
    s.open_sequence().expect_raw(hex("5b 00 0a 0a")).expect_raw(hex("0a"));
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    farend::TraceCapture cap(0x08);
    const uint8_t bytes[] = {0x5B, 0x00, 0x0A};
    EXPECT_EQ(send_data(bytes, 3), 0);
    EXPECT_EQ(send_data(bytes, 0), 0);
    EXPECT_EQ(cap.text(), "      [DATA] Send: 5b 00 0a 0a\n      [DATA] Send: 0a\n");
    done(fe);
}

// --------------------------------------------------------------- chunks

// The far end's part of one chunk: header, bytes, 32-bit sum, and its answer.
void expect_chunk(farend::Script& s, uint8_t command, const Bytes& data, size_t offset, size_t length,
                  uint16_t count, uint16_t index, uint8_t answerFlag = DATA_ACCEPTED) {
    const Bytes chunk(data.begin() + static_cast<long>(offset),
                      data.begin() + static_cast<long>(offset + length));
    s.expect_packet(command, packet::chunk_param1(count, index), static_cast<uint32_t>(length), 0)
        .expect(chunk)
        .expect(farend::le32(byte_sum(chunk.data(), chunk.size())))
        .answer(command, 0, 0, answerFlag);
}

TEST_F(LinkTest, ChunksCarryCountIndexLengthAndSum) {
    struct Case {
        uint32_t total;
        uint32_t chunkSize;
        std::vector<uint32_t> lengths;
    };
    const Case cases[] = {
        {10000, 4096, {4096, 4096, 1808}},
        {4096, 4096, {4096}},
        {4097, 4096, {4096, 1}},
        {5, 2, {2, 2, 1}},
        {3, 100, {3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.total);
        Bytes data(c.total);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
        farend::Script s;
        s.open_sequence();
        size_t offset = 0;
        for (size_t i = 0; i < c.lengths.size(); ++i) {
            expect_chunk(s, 0x80, data, offset, c.lengths[i], static_cast<uint16_t>(c.lengths.size()),
                         static_cast<uint16_t>(i));
            offset += c.lengths[i];
        }
        farend::FarEnd fe(s);
        ASSERT_EQ(open(fe), 0);
        EXPECT_EQ(send_data_chunks(cmd::EIX, data.data(), c.total, c.chunkSize), 0);
        done(fe);
        reset();
    }
}

TEST_F(LinkTest, ChunkTraceAndChecksumBytes) {
    const Bytes data = hex("01 02 03");
    farend::Script s;
    s.open_sequence()
        .expect_raw(hex("40 81 01 00 00 00 03 00 00 00 00 c5 0a"))
        .expect_raw(hex("01 02 03 06 00 00 00"))
        .answer(cmd::IIX, 0, 0, DATA_ACCEPTED);
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    farend::TraceCapture cap(0x0F);
    EXPECT_EQ(send_data_chunks(cmd::IIX, data.data(), 3, 4096), 0);
    EXPECT_EQ(cap.text(), "      [COM] Send: 40 81 01 00 00 00 03 00 00 00 00 c5 0a \n"
                          "      [DATA] Send: 01 02 03 06 00 00 00 \n"
                          "      [COM] Receive: 40 81 00 00 00 00 00 00 00 00 83 44 0a \n");
    done(fe);
}

TEST_F(LinkTest, ChunkHeadersInNetworkForm) {
    const Bytes data = hex("10 20 30");
    farend::Script s;
    s.network(true, 0x0102).open_sequence();
    s.expect_raw(hex("41 02 01 80 02 00 00 00 02 00 00 00 00 c8 0a"))
        .expect_raw(hex("10 20 30 00 00 00"))
        .answer(cmd::EIX, 0, 0, DATA_ACCEPTED)
        .expect_raw(hex("41 02 01 80 02 00 01 00 01 00 00 00 00 c8 0a"))
        .expect_raw(hex("30 30 00 00 00"))
        .answer(cmd::EIX, 0, 0, DATA_ACCEPTED);
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe, 0, 1, 0x0102), 0);
    EXPECT_EQ(send_data_chunks(cmd::EIX, data.data(), 3, 2), 0);
    done(fe);
}

TEST_F(LinkTest, RejectedChunkEndsTheTransfer) {
    Bytes data(10000, 0x11);
    farend::Script s;
    s.open_sequence();
    expect_chunk(s, 0x80, data, 0, 4096, 3, 0);
    expect_chunk(s, 0x80, data, 4096, 4096, 3, 1, DATA_CHECKSUM_ERROR);
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    farend::TraceCapture cap(0x01);
    EXPECT_EQ(send_data_chunks(cmd::EIX, data.data(), 10000, 4096), RES_DATA_ERROR);
    EXPECT_EQ(cap.text(), "[ERR] Data communication error\n");
    done(fe); // and no third chunk
}

TEST_F(LinkTest, NothingToChunk) {
    farend::Script s;
    s.open_sequence();
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    const uint8_t data[1] = {1};
    {
        farend::TraceCapture cap(0x01);
        EXPECT_EQ(send_data_chunks(cmd::EIX, data, 0, 4096), 0);
        EXPECT_EQ(cap.text(), "[ERR] Image size is 0\n");
    }
    // A chunk size of 0 forms no chunks: refused before anything is sent.
    EXPECT_LT(send_data_chunks(cmd::EIX, data, 1, 0), 0);
    done(fe);
}

} // namespace
