// Small calls to the operating system that the layers above need besides the
// serial port: the host's local time and the wiping of secrets.
#pragma once

#include <cstddef>
#include <ctime>

namespace kelvor::port {

// The host's local time of `t`; false when the system cannot express it.
bool local_time(std::time_t t, std::tm& out);

// Zeros `n` bytes at `p` in a way the compiler does not drop, for passwords
// whose buffer is about to go.
void secure_wipe(void* p, size_t n);

} // namespace kelvor::port
