// What a module sends on its own between commands, read one thing at a time
// by link_wait_event: packets in every form of the line, text lines, noise,
// the waits, an interrupt from another thread and a port that goes away.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "LinkFixture.h"
#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;
namespace flag = kelvor::packet::flag;

using namespace kelvor;
using namespace linktest;

namespace {

std::string bytes_of(const LineEvent& e) {
    return farend::hex_dump(Bytes(e.bytes.begin(), e.bytes.begin() + static_cast<long>(e.length)));
}

struct Read {
    int rc;
    LineEventKind kind;
    std::string bytes; // hex dump, or the text itself for a text line
};

class LineEvents : public LinkTest {
protected:
    // Opens the far end (opening exchanges first, then `rest`) in the given
    // form and reads events until `reads` are met.
    void expect_reads(farend::Script rest, const std::vector<Read>& reads, int hexText = 0, int network = 0) {
        farend::Script script;
        script.hex(hexText == 1).network(network == 1);
        script.open_sequence();
        for (const auto& step : rest.steps()) {
            if (step.kind == farend::Script::Step::Send) script.send_raw(step.bytes);
            if (step.kind == farend::Script::Step::Pause) script.pause(step.ms);
        }
        farend::FarEnd fe(script);
        ASSERT_EQ(open(fe, hexText, network), 0);
        for (size_t i = 0; i < reads.size(); ++i) {
            SCOPED_TRACE("read " + std::to_string(i));
            LineEvent e;
            EXPECT_EQ(link_wait_event(e, 1000), reads[i].rc);
            if (reads[i].rc != 1) continue;
            EXPECT_EQ(e.kind, reads[i].kind);
            if (e.kind == LineEventKind::Text)
                EXPECT_EQ(std::string(e.bytes.begin(), e.bytes.begin() + static_cast<long>(e.length)),
                          reads[i].bytes);
            else
                EXPECT_EQ(bytes_of(e), reads[i].bytes);
        }
        done(fe);
    }
};

TEST_F(LineEvents, EachFormOfTheLine) {
    const Bytes identify = farend::packet(cmd::IS, 5, 0x3a8, flag::SUCCEED);
    const Bytes network = farend::packet(cmd::IS, 5, 0x3a8, flag::SUCCEED, true, 7);
    struct Case {
        const char* name;
        int hexText, network;
        Bytes wire;
        std::vector<Read> reads;
    };
    Bytes badSum = identify;
    badSum[11] ^= 1;
    const Case cases[] = {
        {"plain packet", 0, 0, identify, {{1, LineEventKind::Packet, farend::hex_dump(identify)}}},
        {"network packet", 0, 1, network, {{1, LineEventKind::Packet, farend::hex_dump(network)}}},
        {"hex text",
         1,
         0,
         farend::hex_text(identify),
         {{1, LineEventKind::Packet, farend::hex_dump(identify)}}},
        {"text line, then a packet",
         0,
         0,
         farend::concat({text_bytes("[finger on]\r"), identify}),
         {{1, LineEventKind::Text, "[finger on]\r"}, {1, LineEventKind::Packet, farend::hex_dump(identify)}}},
        // Noise comes a byte at a time and loses nothing of what follows it.
        {"noise, then a packet",
         0,
         0,
         farend::concat({hex("00 ff"), identify}),
         {{1, LineEventKind::Noise, "00"},
          {1, LineEventKind::Noise, "ff"},
          {1, LineEventKind::Packet, farend::hex_dump(identify)}}},
        {"hex-text noise",
         1,
         0,
         text_bytes("ZZ"),
         {{1, LineEventKind::Noise, "5a"}, {1, LineEventKind::Noise, "5a"}}},
        {"wrong checksum", 0, 0, badSum, {{1, LineEventKind::Noise, farend::hex_dump(badSum)}}},
        {"a packet cut short",
         0,
         0,
         Bytes(identify.begin(), identify.begin() + 6),
         {{1, LineEventKind::Noise, farend::hex_dump(Bytes(identify.begin(), identify.begin() + 6))}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        farend::Script rest;
        rest.send_raw(c.wire);
        expect_reads(rest, c.reads, c.hexText, c.network);
        reset();
    }
}

TEST_F(LineEvents, AQuietLineWaitsItsTimeAndAnInterruptEndsTheWait) {
    farend::FarEnd fe(farend::Script().open_sequence().pause(1500));
    ASSERT_EQ(open(fe), 0);
    LineEvent e;
    auto start = Clock::now();
    EXPECT_EQ(link_wait_event(e, 150), 0);
    EXPECT_GE(ms_since(start), 140);
    EXPECT_LT(ms_since(start), 1000);

    start = Clock::now();
    std::thread other([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        serial_interrupt();
    });
    EXPECT_EQ(link_wait_event(e, 5000), 0);
    other.join();
    EXPECT_LT(ms_since(start), 1000);
    EXPECT_TRUE(serial_interrupted());
    serial_clear_interrupt();
    done(fe);
}

TEST_F(LineEvents, AnInterruptDoesNotCutAPacketBegun) {
    const Bytes identify = farend::packet(cmd::IS, 9, 0x300, flag::SUCCEED);
    farend::FarEnd fe(farend::Script()
                          .open_sequence()
                          .send_raw(Bytes(identify.begin(), identify.begin() + 3))
                          .pause(200)
                          .send_raw(Bytes(identify.begin() + 3, identify.end())));
    ASSERT_EQ(open(fe), 0);
    std::thread other([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        serial_interrupt();
    });
    LineEvent e;
    EXPECT_EQ(link_wait_event(e, 2000), 1);
    other.join();
    EXPECT_EQ(e.kind, LineEventKind::Packet);
    EXPECT_EQ(bytes_of(e), farend::hex_dump(identify));
    // The interrupt stands for the caller, who decides what comes next.
    EXPECT_TRUE(serial_interrupted());
    serial_clear_interrupt();
    done(fe);
}

TEST_F(LineEvents, AnEndlessTextLineIsBounded) {
    Bytes endless = text_bytes("[");
    endless.resize(LINE_EVENT_BYTES_MAX + 500, 'x');
    farend::FarEnd fe(farend::Script().open_sequence().send_raw(endless).send_raw(text_bytes("\r")));
    ASSERT_EQ(open(fe), 0);
    LineEvent e;
    EXPECT_EQ(link_wait_event(e, 1000), 1);
    EXPECT_EQ(e.kind, LineEventKind::Text);
    EXPECT_EQ(e.length, LINE_EVENT_BYTES_MAX);
    done(fe);
}

TEST_F(LineEvents, APortThatGoesAwayFailsAndSaysSo) {
    farend::FarEnd fe(farend::Script().open_sequence().hangup());
    ASSERT_EQ(open(fe), 0);
    LineEvent e;
    int rc = 0;
    for (int i = 0; i < 5 && rc == 0; ++i) rc = link_wait_event(e, 500);
    EXPECT_EQ(rc, ERR_READ);
    EXPECT_TRUE(serial_port_lost());
    module_close();
    fe.finish(50);
}

} // namespace
