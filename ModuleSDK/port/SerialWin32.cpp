// The serial port on Windows: one port per process, opened exclusively and
// synchronously, set to 8N1 with every field of the device control block
// given, read with a time-out counted from the start of a read until the
// first byte and from the latest byte after that.
//
// Each ReadFile waits at most for the first byte and then returns what has
// arrived (time-outs MAXDWORD, MAXDWORD, constant): the read loop shared by
// every kind of port (SerialLine.h) counts the time-out afresh after every
// byte and ends the read at its bound.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <string>

#include "ModuleSDK.h"
#include "port/OpenPorts.h"
#include "port/PortKind.h"
#include "port/SerialLine.h"
#include "trace/LineState.h"

namespace kelvor {

namespace {

using serial_line::Clock;
using serial_line::line;

struct Port {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DCB original{};
    bool haveOriginal = false;
    COMMTIMEOUTS originalTimeouts{};
    bool haveOriginalTimeouts = false;
    // The time-outs the port has now, as last set.
    COMMTIMEOUTS timeouts{};
    bool haveTimeouts = false;
    // The wait for a first byte that the port has now, -1 before any.
    long long appliedWaitMs = -1;
};

// The port of the calling thread's line.
Port& port() {
    return line_state::part<Port>(line_state::LOCAL_PORT);
}

open_ports::Registry<Port>& open_ports() {
    static open_ports::Registry<Port> instance;
    return instance;
}

// A read or write that fails for another reason than its time-out: the port
// will not serve again on this opening (an adapter unplugged answers
// "access denied", "bad command" or "device removed").
bool gone(DWORD error) {
    return error != ERROR_TIMEOUT && error != ERROR_SEM_TIMEOUT;
}

void pace_turn() {
    if (line().turnPauseMs > 0) ::Sleep(static_cast<DWORD>(line().turnPauseMs));
}

// The device name CreateFileA needs: COM1 to COM9 open by their bare names,
// higher numbers only in the device namespace, so a bare COMn always gets the
// "\\.\" prefix; any other name is taken as it is.
std::string device_path(const char* name) {
    const std::string text = name;
    const bool com = text.size() > 3 && std::toupper(static_cast<unsigned char>(text[0])) == 'C' &&
                     std::toupper(static_cast<unsigned char>(text[1])) == 'O' &&
                     std::toupper(static_cast<unsigned char>(text[2])) == 'M' &&
                     text.find_first_not_of("0123456789", 3) == std::string::npos;
    return com ? "\\\\.\\" + text : text;
}

// The longest single wait of a ReadFile.
constexpr long long WAIT_SLICE_MS = 1000;

// Sets how long the next ReadFile waits for its first byte; a ReadFile that
// finds bytes waiting returns them at once. Talks to the port only when the
// wait changes.
bool apply_wait(long long ms) {
    Port& p = port();
    ms = std::clamp<long long>(ms, 1, MAXDWORD - 1);
    if (ms == p.appliedWaitMs) return true;
    if (!p.haveTimeouts && ::GetCommTimeouts(p.handle, &p.timeouts) == 0) return false;
    p.haveTimeouts = true;
    COMMTIMEOUTS t = p.timeouts;
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = static_cast<DWORD>(ms);
    if (::SetCommTimeouts(p.handle, &t) == 0) return false;
    p.timeouts = t;
    p.appliedWaitMs = ms;
    return true;
}

// One wait of a read (see serial_line::read_loop): a ReadFile that waits at
// most waitMs for its first byte and returns what has arrived. The usual
// wait, a byte's time-out, rounded down by a millisecond or two, is taken as
// it is: the port keeps the wait it has instead of being set anew. A long
// wait (the response monitor's minute) is served a second at a time, so that
// a port that went away, or an interrupt, is noticed within a second.
int wait_and_read(uint8_t* dst, int want, int waitMs) {
    Port& p = port();
    const long long timeoutMs = line().timeoutMs;
    long long wait = waitMs;
    if (wait < timeoutMs && wait >= timeoutMs - 2) wait = timeoutMs;
    const bool sliced = wait > WAIT_SLICE_MS;
    wait = std::min<long long>(wait, WAIT_SLICE_MS);
    const Clock::time_point start = Clock::now();
    if (!apply_wait(wait)) {
        line().portLost = line().portLost || gone(::GetLastError());
        return serial_line::READ_FAILED;
    }
    DWORD r = 0;
    if (::ReadFile(p.handle, dst, static_cast<DWORD>(want), &r, nullptr) == 0) {
        const DWORD error = ::GetLastError();
        // A time-out that a driver reports as an error is still a time-out.
        if (error == ERROR_TIMEOUT || error == ERROR_SEM_TIMEOUT)
            return sliced ? serial_line::WOKEN : serial_line::WAIT_OVER;
        line().portLost = line().portLost || gone(error);
        return serial_line::READ_FAILED;
    }
    if (r > 0) return static_cast<int>(r);
    // Nothing within the wait. A port that no longer tells its state has gone
    // (a device removed, the far side of an emulated port closed): nothing
    // more will come, and what came is handed over.
    DWORD errors = 0;
    COMSTAT status{};
    if (::ClearCommError(p.handle, &errors, &status) == 0) {
        line().portLost = true;
        return serial_line::HUNG_UP;
    }
    // Woken early, or only a slice of the wait: the loop waits out the rest.
    if (sliced || Clock::now() + std::chrono::milliseconds(1) < start + std::chrono::milliseconds(wait))
        return serial_line::WOKEN;
    return serial_line::WAIT_OVER;
}

// Reads up to n bytes into dst: returns when n bytes arrived or when the read
// time-out passed without a new byte; the count that arrived, or -1.
int read_span(uint8_t* dst, int n) {
    return serial_line::read_loop(dst, n, wait_and_read);
}

// An operator who stops the tool with Ctrl-C or Ctrl-Break (for example in
// the response monitor) gets the port back with its own line settings and the
// trace line begun. The process then ends at once with the status a console
// program stopped by Ctrl-C has (STATUS_CONTROL_C_EXIT), as a signal ends it
// on POSIX systems: the main thread, still in a read or a write, runs no
// further.
BOOL WINAPI restore_on_break(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    trace_flush_on_signal();
    serial_line::run_held();
    open_ports().each([](Port& p) {
        if (p.handle != INVALID_HANDLE_VALUE) {
            ::PurgeComm(p.handle, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT);
            if (p.haveOriginal) ::SetCommState(p.handle, &p.original);
            if (p.haveOriginalTimeouts) ::SetCommTimeouts(p.handle, &p.originalTimeouts);
        }
    });
    ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

void restore_on_break_installed() {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    ::SetConsoleCtrlHandler(restore_on_break, TRUE);
}

class LocalPort final : public port_kind::Kind {
public:
    bool open(const char* name) override;
    bool setup(int baudRate) override;
    bool apply_read_timeout(int milliseconds) override { return apply_wait(milliseconds); }
    void begin_read() override { pace_turn(); }
    int read_span(uint8_t* buffer, int n) override { return kelvor::read_span(buffer, n); }
    int write(const uint8_t* bytes, int n) override;
    bool input_waiting() override;
    void settle_output() override {}
    void close() override;
};

bool LocalPort::open(const char* name) {
    Port& p = port();
    int& lastError = line().lastError;
    const std::string path = device_path(name);
    // Not shared: another program cannot open the port while we hold it.
    HANDLE h =
        ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        lastError = static_cast<int>(::GetLastError());
        // A directory is refused with "access denied"; it is no port in use.
        const DWORD attributes = ::GetFileAttributesA(path.c_str());
        if (lastError == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY))
            lastError = ERROR_DIRECTORY;
        return false;
    }
    p.handle = h;
    p.haveOriginal = false;
    p.haveOriginalTimeouts = false;
    p.haveTimeouts = false;
    if (::GetFileType(h) == FILE_TYPE_CHAR) {
        p.original.DCBlength = sizeof(DCB);
        p.haveOriginal = ::GetCommState(h, &p.original) != 0;
        p.haveOriginalTimeouts = ::GetCommTimeouts(h, &p.originalTimeouts) != 0;
    }
    p.appliedWaitMs = -1;
    open_ports().add(&p);
    restore_on_break_installed();
    return true;
}

bool LocalPort::setup(int baudRate) {
    Port& p = port();
    int& lastError = line().lastError;
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    // A file or a pipe is no serial device, whatever GetCommState makes of it.
    if (p.handle == INVALID_HANDLE_VALUE || ::GetFileType(p.handle) != FILE_TYPE_CHAR ||
        ::GetCommState(p.handle, &dcb) == 0) {
        lastError = p.handle == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : ERROR_BAD_DEVICE;
        trace(TRACE_ERROR, "Cannot get the status of the com port\n");
        return false;
    }
    // Every field given: a port's earlier user may have left anything in
    // them (XON/XOFF on, hardware handshake, parity).
    dcb.BaudRate = static_cast<DWORD>(baudRate > 0 ? baudRate : 0);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    // RTS raised while bytes are sent, for the driver of an RS-485 line.
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fAbortOnError = FALSE;
    dcb.XonLim = 100;
    dcb.XoffLim = 100;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
    bool set = baudRate > 0 && ::SetCommState(p.handle, &dcb) != 0;
    if (!set && baudRate > 0) {
        // Most USB adapters have no RTS toggling; an RS-485 adapter among
        // them switches its driver by itself. RTS then simply stays on.
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        set = ::SetCommState(p.handle, &dcb) != 0;
    }
    // A rate the device cannot make is taken by some drivers without a word:
    // what the port holds afterwards tells.
    DCB now{};
    now.DCBlength = sizeof(DCB);
    if (set && ::GetCommState(p.handle, &now) != 0 && now.BaudRate != dcb.BaudRate) {
        set = false;
        ::SetLastError(ERROR_INVALID_PARAMETER);
    }
    if (!set) {
        lastError = baudRate <= 0 ? ERROR_INVALID_PARAMETER : static_cast<int>(::GetLastError());
        if (lastError == 0) lastError = ERROR_INVALID_PARAMETER;
        trace(TRACE_ERROR, "Cannot set the status of the com port\n");
        return false;
    }
    // DTR raised where the device has modem lines; a port without them
    // (a pseudo-terminal under an emulator, some adapters) refuses, which is
    // no reason to stop.
    ::EscapeCommFunction(p.handle, SETDTR);
    ::PurgeComm(p.handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
    // Writes may take as long as their bytes need on the wire, twice over,
    // and a few seconds more: a stuck port never holds the run.
    COMMTIMEOUTS t{};
    if (::GetCommTimeouts(p.handle, &t) != 0) {
        t.WriteTotalTimeoutMultiplier = static_cast<DWORD>(20000 / baudRate + 1);
        t.WriteTotalTimeoutConstant = 5000;
        if (::SetCommTimeouts(p.handle, &t) == 0) {
            lastError = static_cast<int>(::GetLastError());
            trace(TRACE_ERROR, "Cannot set the status of the com port\n");
            return false;
        }
        p.timeouts = t;
        p.haveTimeouts = true;
    }
    p.appliedWaitMs = -1;
    line().set_rate(baudRate);
    return true;
}

bool LocalPort::input_waiting() {
    Port& p = port();
    if (p.handle == INVALID_HANDLE_VALUE) return false;
    DWORD errors = 0;
    COMSTAT status{};
    return ::ClearCommError(p.handle, &errors, &status) != 0 && status.cbInQue > 0;
}

int LocalPort::write(const uint8_t* bytes, int n) {
    Port& p = port();
    pace_turn();
    const Clock::time_point start = Clock::now();
    DWORD done = 0;
    if (n > 0 && ::WriteFile(p.handle, bytes, static_cast<DWORD>(n), &done, nullptr) == 0) {
        line().portLost = line().portLost || gone(::GetLastError());
        trace(TRACE_ERROR, "Cannot write data\n");
        return -1;
    }
    // The bytes go out after those still on their way, at the line's rate.
    line().wrote(start, done);
    return static_cast<int>(done);
}

void LocalPort::close() {
    Port& p = port();
    open_ports().remove(&p);
    if (p.handle != INVALID_HANDLE_VALUE) {
        // Input never read is dropped; the port gets back what it had.
        ::PurgeComm(p.handle, PURGE_RXCLEAR);
        ::FlushFileBuffers(p.handle);
        if (p.haveOriginal) ::SetCommState(p.handle, &p.original);
        if (p.haveOriginalTimeouts) ::SetCommTimeouts(p.handle, &p.originalTimeouts);
        ::CloseHandle(p.handle);
    }
    p.handle = INVALID_HANDLE_VALUE;
    p.appliedWaitMs = -1;
}

} // namespace

port_kind::Kind& port_kind::local_port() {
    static LocalPort instance;
    return instance;
}

// The read in progress sees the flag when its slice of the wait ends.
void serial_interrupt() {
    serial_line::interrupt_flag().store(true);
}

} // namespace kelvor
