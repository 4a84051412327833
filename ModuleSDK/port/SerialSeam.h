// The system calls under the serial port, gathered in one place. The shipped
// library calls the operating system directly; a build with
// KELVOR_SERIAL_SEAM defined calls these functions instead, which an
// in-memory far end (the fuzz targets) provides, so that the real serial code
// runs over bytes that never touch a device.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <termios.h>

namespace serial_seam {

int open(const char* path, int flags);
int close(int fd);
ssize_t read(int fd, void* buffer, size_t n);
ssize_t write(int fd, const void* bytes, size_t n);
int poll(pollfd* fds, nfds_t count, int timeoutMs);
int ioctl(int fd, unsigned long request, void* arg);
int fcntl(int fd, int command, int arg);
int flock(int fd, int operation);
int tcgetattr(int fd, termios* tio);
int tcsetattr(int fd, int when, const termios* tio);
int tcflush(int fd, int queue);
bool set_arbitrary_rate(int fd, int rate);
// The pause between turns of a shared line.
void pause_ms(int milliseconds);

} // namespace serial_seam
