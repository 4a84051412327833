// While one lives, the trace shows nothing: what the host asks a module on
// its own account (the status check of a module it turns to, the probes of a
// scan) is no part of what the operator asked for.
#pragma once

#include <cstdint>

#include "ModuleSDK.h"

namespace tools {

class QuietTrace {
public:
    QuietTrace() : mask_(kelvor::trace_mask()) { kelvor::trace_disable(mask_); }
    ~QuietTrace() { kelvor::trace_enable(mask_); }
    QuietTrace(const QuietTrace&) = delete;
    QuietTrace& operator=(const QuietTrace&) = delete;

private:
    uint32_t mask_;
};

} // namespace tools
