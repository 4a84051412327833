// The kinds of port behind the one set of serial_* calls: a local serial
// device (SerialPosix.cpp, SerialWin32.cpp) and a serial port behind a network
// server (NetPort.cpp, over the sockets of NetPosix.cpp and NetWin32.cpp). The
// calls themselves (Port.cpp) pick the kind by the port's name and keep what
// is alike for all: the trace lines, the read time-out and the state of the
// line in SerialLine.
#pragma once

#include <cstdint>

namespace kelvor::port_kind {

class Kind {
public:
    // Opens the port of that name; false, with the line's lastError set, when it cannot.
    virtual bool open(const char* name) = 0;
    // The line settings at `baudRate` (8N1, no flow control); false, with lastError set, when refused.
    virtual bool setup(int baudRate) = 0;
    // The read time-out of the line (SerialLine's timeoutMs) changes to `milliseconds`.
    virtual bool apply_read_timeout(int milliseconds) = 0;
    // A read (a turn of a shared line) begins.
    virtual void begin_read() = 0;
    // Reads up to n bytes within the line's deadlines; the count, or -1.
    virtual int read_span(uint8_t* buffer, int n) = 0;
    // Writes n bytes; the count written, or -1 (its error line traced).
    virtual int write(const uint8_t* bytes, int n) = 0;
    virtual bool input_waiting() = 0;
    // Before the reads of an answer are bound: when the bytes written leave.
    virtual void settle_output() = 0;
    virtual void close() = 0;

protected:
    ~Kind() = default;
};

// The local serial device of the system.
Kind& local_port();
// A serial port behind a network server (rfc2217:// and socket:// names).
Kind& network_port();

} // namespace kelvor::port_kind
