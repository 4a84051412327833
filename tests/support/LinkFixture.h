// The link tests' fixture: a library reset around each test, a plain
// connection to the scripted far end, and the check that it heard nothing more.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>

#include "FarEnd.h"
#include "InProcess.h"
#include "ModuleSDK.h"

namespace linktest {

using farend::Bytes;
using Clock = std::chrono::steady_clock;

// "40 04 0a" -> {0x40, 0x04, 0x0a}
inline Bytes hex(const std::string& text) {
    std::istringstream in(text);
    Bytes out;
    for (unsigned v; in >> std::hex >> v;) out.push_back(static_cast<uint8_t>(v));
    return out;
}

inline Bytes text_bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

inline long long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

inline constexpr int TIMEOUT_MS = 300;

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() { farend::reset_library(farend::Keywords::Refill); }
    // A plain connection at 115200 baud to module 1.
    static int open(farend::FarEnd& fe, int hexText = 0, int network = 0, int moduleId = 1) {
        return kelvor::module_open(fe.port().c_str(), 0x35, hexText, network, moduleId, TIMEOUT_MS);
    }
    // Closes the connection; the far end must have met every step and heard nothing more.
    static void done(farend::FarEnd& fe) {
        kelvor::module_close();
        farend::Outcome o = fe.finish(50);
        EXPECT_TRUE(o.ok) << o.failure;
        EXPECT_TRUE(o.extra.empty()) << farend::hex_dump(o.extra);
    }
};

} // namespace linktest
