#include "InProcess.h"

#include <gtest/gtest.h>

#include <sstream>
#include <utility>

#include "ModuleSDK.h"

using namespace kelvor;

namespace farend {

void reset_library(Keywords keywords) {
    module_close();
    trace_reset(2);
    transfer_observer(nullptr);
    module_settings() = {};
    link_state() = {};
    // The keyword table is constant: the fill the front end makes at start
    // leaves it as it is.
    if (keywords == Keywords::Refill) keyword_fill();
}

Exchange run_in_process(const Script& script, const std::function<int()>& call,
                        const InProcessOptions& options) {
    FarEnd fe(script);
    Exchange r;
    EXPECT_EQ(module_open(fe.port().c_str(), 0x35, options.hexText, options.network, 1, 300), 0);
    std::string text;
    {
        TraceCapture cap(options.traceMask);
        r.rc = call();
        text = cap.text();
    }
    if (options.inspect) options.inspect(fe.port());
    module_close();
    r.far = fe.finish(options.finishGraceMs);
    if (!options.splitDumps) {
        r.trace = std::move(text);
        return r;
    }
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const bool dump = line.starts_with("      [COM] ") || line.starts_with("      [DATA] ");
        (dump ? r.dumps : r.trace) += line + "\n";
    }
    return r;
}

} // namespace farend
