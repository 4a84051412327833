// The serial port on POSIX systems: one port per process, opened exclusively,
// put into raw 8N1 mode, read with a time-out counted from the start of a read
// until the first byte and from the latest byte after that.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "ModuleSDK.h"
#include "port/OpenPorts.h"
#include "port/PortKind.h"
#include "port/SerialLine.h"
#include "port/Wake.h"
#include "trace/LineState.h"

namespace serial_detail {
bool set_arbitrary_rate(int fd, int rate);
}

#ifdef KELVOR_SERIAL_SEAM
#include "port/SerialSeam.h"
namespace sys = serial_seam;
#else
// The operating system itself.
namespace sys {
inline int open(const char* path, int flags) {
    return ::open(path, flags);
}
inline int close(int fd) {
    return ::close(fd);
}
inline ssize_t read(int fd, void* buffer, size_t n) {
    return ::read(fd, buffer, n);
}
inline ssize_t write(int fd, const void* bytes, size_t n) {
    return ::write(fd, bytes, n);
}
inline int poll(pollfd* fds, nfds_t count, int timeoutMs) {
    return ::poll(fds, count, timeoutMs);
}
inline int ioctl(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg);
}
inline int fcntl(int fd, int command, int arg) {
    return ::fcntl(fd, command, arg);
}
inline int flock(int fd, int operation) {
    return ::flock(fd, operation);
}
inline int tcgetattr(int fd, termios* tio) {
    return ::tcgetattr(fd, tio);
}
inline int tcsetattr(int fd, int when, const termios* tio) {
    return ::tcsetattr(fd, when, tio);
}
inline int tcflush(int fd, int queue) {
    return ::tcflush(fd, queue);
}
inline bool set_arbitrary_rate(int fd, int rate) {
    return serial_detail::set_arbitrary_rate(fd, rate);
}
inline void pause_ms(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
} // namespace sys
#endif

namespace kelvor {

namespace {

using serial_line::Clock;
using serial_line::line;
using serial_line::wire_time;

struct Port {
    int fd = -1;
    termios original{};
    bool haveOriginal = false;
    serial_rs485 originalRs485{};
    bool haveRs485 = false;
    // Bytes written whose time on the wire the driver's queue may still add to.
    bool txUnsettled = false;
    // A pseudo-terminal: no wire behind it, so no time on one to wait for.
    bool pseudoTerminal = false;
    // Bytes that arrived beyond what a read asked for, served to the next reads.
    std::array<uint8_t, 4096> rx{};
    size_t rxBegin = 0;
    size_t rxEnd = 0;
};

// The port of the calling thread's line.
Port& port() {
    return line_state::part<Port>(line_state::LOCAL_PORT);
}

open_ports::Registry<Port>& open_ports() {
    static open_ports::Registry<Port> instance;
    return instance;
}

// The slave side of a Unix 98 pseudo-terminal (/dev/pts/N: majors 136 to 143).
bool is_pseudo_terminal(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned int kind = major(st.st_rdev);
    return kind >= 136 && kind <= 143;
}

bool gone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

void pace_turn() {
    if (line().turnPauseMs > 0) sys::pause_ms(line().turnPauseMs);
}

speed_t standard_speed(int rate) {
    switch (rate) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return 0;
    }
}

// Before the first read after writes: what the driver still holds for the wire
// leaves at the line's rate from now, at the latest. Bounded by that wire time,
// so a stuck line adds no more than its queue's worth to the read time-out.
void settle_output() {
    Port& p = port();
    if (!p.txUnsettled) return;
    p.txUnsettled = false;
    // What a pseudo-terminal's queue holds is what the program at its other
    // end has not read yet, not bytes on their way at a rate: no system call
    // for it in every exchange.
    if (p.pseudoTerminal) return;
    int queued = 0;
    if (sys::ioctl(p.fd, TIOCOUTQ, &queued) == 0 && queued > 0)
        line().txDone =
            std::max(line().txDone, Clock::now() + wire_time(static_cast<uint64_t>(queued), line().baudRate));
}

// One wait of a read (see serial_line::read_loop): the bytes held from an
// earlier read first, else at most waitMs in poll for the port or the wake
// pipe, then what the port has, up to `want` bytes.
int wait_and_read(uint8_t* dst, int want, int waitMs) {
    Port& p = port();
    const size_t wanted = static_cast<size_t>(want);
    if (p.rxEnd > p.rxBegin) {
        const size_t take = std::min(p.rxEnd - p.rxBegin, wanted);
        std::memcpy(dst, p.rx.data() + p.rxBegin, take);
        p.rxBegin += take;
        return static_cast<int>(take);
    }
    pollfd fds[2] = {{p.fd, POLLIN, 0}, {wake::fd(), POLLIN, 0}};
    const nfds_t count = wake::fd() >= 0 ? 2 : 1;
    const int ready = sys::poll(fds, count, waitMs);
    const pollfd& pfd = fds[0];
    if (ready < 0) {
        if (errno == EINTR) return serial_line::WOKEN;
        line().portLost = line().portLost || gone(errno);
        return serial_line::READ_FAILED;
    }
    if (count == 2 && (fds[1].revents & POLLIN)) {
        wake::drain();
        if (serial_line::interrupt_flag().load()) return serial_line::WOKEN;
        if (!(pfd.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) return serial_line::WOKEN;
    }
    if (ready == 0) return serial_line::WAIT_OVER;
    if (pfd.revents & POLLNVAL) {
        line().portLost = true;
        return serial_line::READ_FAILED;
    }
    ssize_t r;
    int got = 0;
    if (wanted >= p.rx.size()) {
        r = sys::read(p.fd, dst, wanted);
        if (r > 0) got = static_cast<int>(r);
    } else {
        r = sys::read(p.fd, p.rx.data(), p.rx.size());
        if (r > 0) {
            const size_t take = std::min(static_cast<size_t>(r), wanted);
            std::memcpy(dst, p.rx.data(), take);
            p.rxBegin = take;
            p.rxEnd = static_cast<size_t>(r);
            got = static_cast<int>(take);
        }
    }
    if (r < 0) {
        if (errno == EINTR || errno == EAGAIN) return serial_line::WOKEN;
        line().portLost = line().portLost || gone(errno);
        return serial_line::READ_FAILED;
    }
    // End of file: the line hung up (the device is gone or the far side
    // closed). Nothing more will come, so the read fails once what arrived
    // before has been handed over; a caller that waits for more, such as the
    // response monitor, would otherwise spin.
    if (r == 0) {
        line().portLost = true;
        return serial_line::HUNG_UP;
    }
    return got;
}

// Reads up to n bytes into dst: returns when n bytes arrived or when the read
// time-out passed without a new byte; the count that arrived, or -1.
int read_span(uint8_t* dst, int n) {
    return serial_line::read_loop(dst, n, wait_and_read);
}

// An operator who stops the tool (for example the response monitor) gets the
// port back with its own line settings.
void restore_and_reraise(int signal) {
    // A trace line begun (the response monitor's packet so far) is not lost.
    trace_flush_on_signal();
    serial_line::run_held();
    open_ports().each([](Port& p) {
        if (p.fd >= 0 && p.haveOriginal) {
            sys::tcflush(p.fd, TCIFLUSH);
            sys::tcsetattr(p.fd, TCSANOW, &p.original);
        }
    });
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void restore_on_signals() {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    // SIGQUIT and SIGPIPE (a reader of the trace that went away, as `| head`
    // does) end the run like the others: the port gets its settings back first.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            struct sigaction action {};
            action.sa_handler = restore_and_reraise;
            ::sigemptyset(&action.sa_mask);
            ::sigaction(sig, &action, nullptr);
        }
    }
}

class LocalPort final : public port_kind::Kind {
public:
    bool open(const char* name) override;
    bool setup(int baudRate) override;
    bool apply_read_timeout(int) override { return true; }
    void begin_read() override {
        pace_turn();
        kelvor::settle_output();
    }
    int read_span(uint8_t* buffer, int n) override { return kelvor::read_span(buffer, n); }
    int write(const uint8_t* bytes, int n) override;
    bool input_waiting() override;
    void settle_output() override { kelvor::settle_output(); }
    void close() override;
};

bool LocalPort::open(const char* name) {
    Port& p = port();
    // Non-blocking only for the open itself, so that a modem line without
    // carrier does not hold it; reads wait in poll, writes block until sent.
    int& lastError = line().lastError;
    wake::prepare();
    int fd = sys::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) lastError = errno;
    if (fd >= 0 && sys::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        lastError = errno;
        sys::close(fd);
        fd = -1;
    }
    if (fd < 0) return false;
    // Not shared: other opens of the device fail while we hold it (root
    // ignores this, which is why the advisory lock above is taken too).
    sys::ioctl(fd, TIOCEXCL, nullptr);
    int flags = sys::fcntl(fd, F_GETFL, 0);
    if (flags >= 0) sys::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    p.fd = fd;
    p.pseudoTerminal = is_pseudo_terminal(fd);
    p.haveOriginal = sys::tcgetattr(fd, &p.original) == 0;
    p.haveRs485 = sys::ioctl(fd, TIOCGRS485, &p.originalRs485) == 0;
    p.rxBegin = p.rxEnd = 0;
    open_ports().add(&p);
    restore_on_signals();
    return true;
}

bool LocalPort::setup(int baudRate) {
    Port& p = port();
    int& lastError = line().lastError;
    termios tio{};
    if (p.fd < 0 || sys::tcgetattr(p.fd, &tio) != 0) {
        lastError = p.fd < 0 ? EBADF : errno;
        trace(TRACE_ERROR, "Cannot get the status of the com port\n");
        return false;
    }
    // Raw bytes: no echo, no line editing, no CR/LF translation, no signals,
    // no software flow control; 8 data bits, no parity, one stop bit.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                          IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VSTART] = 0x11;
    tio.c_cc[VSTOP] = 0x13;
    speed_t speed = standard_speed(baudRate);
    if (speed != 0) {
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
    }
    if (baudRate <= 0 || sys::tcsetattr(p.fd, TCSANOW, &tio) != 0 ||
        (speed == 0 && !sys::set_arbitrary_rate(p.fd, baudRate))) {
        lastError = baudRate <= 0 ? EINVAL : (errno ? errno : EINVAL);
        trace(TRACE_ERROR, "Cannot set the status of the com port\n");
        return false;
    }
    // DTR raised where the device has modem lines (a pseudo-terminal has none).
    int dtr = TIOCM_DTR;
    sys::ioctl(p.fd, TIOCMBIS, &dtr);
    // RTS raised while sending, through the driver's RS-485 mode where it has one.
    serial_rs485 rs485{};
    if (sys::ioctl(p.fd, TIOCGRS485, &rs485) == 0) {
        rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs485.flags &= ~static_cast<uint32_t>(SER_RS485_RTS_AFTER_SEND);
        sys::ioctl(p.fd, TIOCSRS485, &rs485);
    }
    sys::tcflush(p.fd, TCIOFLUSH);
    p.rxBegin = p.rxEnd = 0;
    line().set_rate(baudRate);
    p.txUnsettled = false;
    return true;
}

bool LocalPort::input_waiting() {
    Port& p = port();
    if (p.rxEnd > p.rxBegin) return true;
    if (p.fd < 0) return false;
    pollfd pfd{p.fd, POLLIN, 0};
    return sys::poll(&pfd, 1, 0) > 0;
}

int LocalPort::write(const uint8_t* bytes, int n) {
    Port& p = port();
    pace_turn();
    const Clock::time_point start = Clock::now();
    int done = 0;
    while (done < n) {
        ssize_t w = sys::write(p.fd, bytes + done, static_cast<size_t>(n - done));
        if (w < 0) {
            if (errno == EINTR) continue;
            line().portLost = line().portLost || gone(errno);
            trace(TRACE_ERROR, "Cannot write data\n");
            return -1;
        }
        done += static_cast<int>(w);
    }
    // The bytes go out after those still on their way, at the line's rate.
    line().wrote(start, static_cast<uint64_t>(done));
    p.txUnsettled = true;
    return done;
}

void LocalPort::close() {
    Port& p = port();
    open_ports().remove(&p);
    if (p.fd >= 0) {
        if (p.haveRs485) sys::ioctl(p.fd, TIOCSRS485, &p.originalRs485);
        // Input never read is dropped first: with the original settings back
        // (echo on, for a terminal) it would otherwise go back over the line.
        sys::tcflush(p.fd, TCIFLUSH);
        if (p.haveOriginal) sys::tcsetattr(p.fd, TCSADRAIN, &p.original);
        sys::ioctl(p.fd, TIOCNXCL, nullptr);
        sys::flock(p.fd, LOCK_UN);
        sys::close(p.fd);
    }
    p.fd = -1;
    p.rxBegin = p.rxEnd = 0;
    p.txUnsettled = false;
}

} // namespace

port_kind::Kind& port_kind::local_port() {
    static LocalPort instance;
    return instance;
}

} // namespace kelvor
