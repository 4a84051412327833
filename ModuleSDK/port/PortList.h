// The serial ports the system knows of, and the process that holds one:
// what the system tells, without opening a port.
#pragma once

#include <string>
#include <vector>

namespace kelvor::port {

struct PortEntry {
    std::string path;        // /dev/ttyUSB0
    std::string driver;      // ftdi_sio, cdc_acm, serial8250
    std::string description; // the USB product, when the system tells
    std::vector<std::string> byId;
};

// The serial ports present, in name order.
std::vector<PortEntry> serial_ports();

// The process that holds `port` open or locked, as " (PID n, name)"; empty when none is found.
std::string port_holder(const std::string& port);

// The group that owns the device file of `port`; empty when unknown.
std::string device_group(const std::string& port);

// What a system error of serial_open or serial_setup (serial_last_error) says
// about the port.
enum class PortFailure {
    None,             // no error: the port opened and took its settings
    NoSuchPort,       // nothing of that name
    PermissionDenied, // the user may not open it
    InUse,            // another program holds it
    IsDirectory,      // a directory of that name
    NotSerial,        // something that is no serial device
    BadSettings,      // the device refused the line settings or the rate
    Other,
};
PortFailure port_failure(int systemError);

// The system's own words for an error code.
std::string system_error_text(int systemError);

} // namespace kelvor::port
