// The small system calls on Windows.
#include "port/System.h"

#include <windows.h>

namespace kelvor::port {

bool local_time(std::time_t t, std::tm& out) {
    return ::localtime_s(&out, &t) == 0;
}

void secure_wipe(void* p, size_t n) {
    ::SecureZeroMemory(p, n);
}

} // namespace kelvor::port
