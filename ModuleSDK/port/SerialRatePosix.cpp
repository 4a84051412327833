// Baud rates outside the standard table go through the kernel's arbitrary-rate
// interface (termios2 with BOTHER). Kept in its own file because the kernel's
// termios structures cannot share a translation unit with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace serial_detail {

bool set_arbitrary_rate(int fd, int rate) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
    tio.c_cflag |= BOTHER;
    tio.c_ispeed = static_cast<speed_t>(rate);
    tio.c_ospeed = static_cast<speed_t>(rate);
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD << IBSHIFT);
    tio.c_cflag |= BOTHER << IBSHIFT;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

} // namespace serial_detail
