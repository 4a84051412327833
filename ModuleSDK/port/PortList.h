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

} // namespace kelvor::port
