// The small system calls on POSIX systems.
#include "port/System.h"

#include <string.h>

namespace kelvor::port {

bool local_time(std::time_t t, std::tm& out) {
    return localtime_r(&t, &out) != nullptr;
}

void secure_wipe(void* p, size_t n) {
    explicit_bzero(p, n);
}

} // namespace kelvor::port
