// The trace log: prefixes, the mask, continuations and unconditional prints.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "LinkFixture.h"
#include "ModuleSDK.h"
#include "trace/Format.h"

using namespace kelvor;
using namespace linktest;

namespace {

// ---------------------------------------------------------------- trace log

TEST(TraceLog, PrefixesAndMaskFiltering) {
    struct Case {
        uint32_t mask;
        uint32_t type;
        const char* text;
    };
    const Case cases[] = {
        {0x01, 0x01, "[ERR] x\n"},
        {0x02, 0x02, "[API] x\n"},
        {0x04, 0x04, "      [COM] x\n"},
        {0x08, 0x08, "      [DATA] x\n"},
        {0x10, 0x10, "[USR] x\n"},
        {0x1F, 0x20, ""},
        {0x20, 0x20, "[UNK] x\n"},
        {0x01, 0x03, "[UNK] x\n"},
        {0x04, 0x03, ""},
        {0x0F, 0x00, ""},
        {0x00, 0x01, ""},
        {0x0E, 0x01, ""},
        {0xFF, 0x10, "[USR] x\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mask " << c.mask << " type " << c.type);
        farend::TraceCapture cap(c.mask);
        trace(c.type, "x\n");
        EXPECT_EQ(cap.text(), c.text);
    }
}

__attribute__((format(printf, 2, 3))) std::string append_to(std::string out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    append_formatted(out, format, args);
    va_end(args);
    return out;
}

// Around the stack buffer's 512 bytes a text is formatted a second time, into
// its place: no byte lost, none left over, what stood before kept.
TEST(TraceLog, FormattedTextOfAnyLength) {
    for (const size_t length : {0, 1, 510, 511, 512, 513, 4096}) {
        SCOPED_TRACE(testing::Message() << "length " << length);
        const std::string text(length, 'x');
        EXPECT_EQ(append_to("", "%s", text.c_str()), text);
        EXPECT_EQ(append_to("ab", "%s|%d", text.c_str(), 7), "ab" + text + "|7");
        farend::TraceCapture cap(TRACE_USER);
        trace(TRACE_USER, "%s\n", text.c_str());
        EXPECT_EQ(cap.text(), "[USR] " + text + "\n");
    }
}

TEST(TraceLog, ContinuationsAndUnconditionalPrints) {
    {
        farend::TraceCapture cap(0x02);
        trace(TRACE_CALL, "Check system status(SS)\n");
        trace_more(TRACE_CALL, "      %s(%#02x)\n", "Module is in normal condition", 0x30);
        trace_more(TRACE_COMM, "hidden\n");
        trace_more(0x06, "shown %d\n", 1);
        trace_print("[%s(%d)] Err: %s\n", "OrvantiCom.cpp", 7, "always");
        const uint8_t bytes[] = {0x00, 0xAB};
        trace_hex(TRACE_CALL, bytes, 2);
        trace_hex(TRACE_DATA, bytes, 2);
        trace_more(TRACE_CALL, "\n");
        EXPECT_EQ(cap.text(), "[API] Check system status(SS)\n"
                              "      Module is in normal condition(0x30)\n"
                              "shown 1\n"
                              "[OrvantiCom.cpp(7)] Err: always\n"
                              "00 ab \n");
    }
    {
        farend::TraceCapture cap(0);
        trace(TRACE_ERROR, "no\n");
        trace_more(0xFFFFFFFF, "no\n");
        trace_print("yes\n");
        EXPECT_EQ(cap.text(), "yes\n");
    }
    {
        // The mask grows and shrinks bit by bit.
        farend::TraceCapture cap(0);
        trace_enable(0x01);
        trace_enable(0x04);
        EXPECT_EQ(trace_mask(), 0x05u);
        trace_disable(0x01);
        EXPECT_EQ(trace_mask(), 0x04u);
        // A long line is not cut.
        const std::string long_text(3000, 'z');
        trace(TRACE_COMM, "%s\n", long_text.c_str());
        EXPECT_EQ(cap.text(), "      [COM] " + long_text + "\n");
    }
}

TEST_F(LinkTest, NothingPrintedWithAnEmptyMask) {
    farend::TraceCapture cap(0);
    EXPECT_EQ(module_open("/nonexistent/tty", 0x35, 0, 0, 1, TIMEOUT_MS), ERR_PORT_OPEN);
    EXPECT_EQ(cap.text(), "");
}

} // namespace
