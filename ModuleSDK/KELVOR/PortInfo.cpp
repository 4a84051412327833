// What the system tells about serial ports: the ports present (--list-ports)
// and why a port could not be used (the line after "Cannot initialize sdk").
#include <string>
#include <vector>

#include "OrvantiCom.h"
#include "PortInfo.h"
#include "Remote.h"
#include "port/PortList.h"

using namespace kelvor;

namespace {

std::string ports_present() {
    std::string list;
    for (const port::PortEntry& p : port::serial_ports()) list += (list.empty() ? "" : ", ") + p.path;
    return list.empty() ? "no serial port is present" : "ports present: " + list;
}

std::string mode_text(const OrvantiCom& com) {
    std::string text = com.networkMode == 1 ? "network mode with module ID " + std::to_string(com.moduleId)
                                            : std::string("single-module mode");
    if (com.hexText == 1) text += ", hex text";
    return text;
}

} // namespace

void print_serial_ports(std::FILE* out) {
    const std::vector<port::PortEntry> ports = port::serial_ports();
    if (ports.empty()) {
        std::fputs("No serial ports found\n", out);
        return;
    }
    for (const port::PortEntry& p : ports) {
        std::string info = p.driver;
        if (!p.description.empty()) info += (info.empty() ? "" : ", ") + p.description;
        std::fprintf(out, "%-14s %s\n", p.path.c_str(), info.c_str());
        for (const std::string& link : p.byId) std::fprintf(out, "  %s\n", link.c_str());
    }
}

std::string print_port_diagnosis(const OrvantiCom& com, int openResult) {
    if (remote::used()) {
        const std::string why = remote::failure();
        trace_print("       %s\n", why.c_str());
        return why;
    }
    const std::string& port = com.portName;
    const int error = serial_last_error();
    std::string why;
    if (error == 0 && openResult == ERR_SET_TIMEOUT) {
        why = "The port " + port + " took no read time-out of " + std::to_string(com.readTimeout) + " ms (-t)";
        trace_print("       %s\n", why.c_str());
        return why;
    }
    if (error == 0 && link_state().neverQuiet) {
        why = "The port " + port +
              " opened but the line never went quiet: bytes kept coming without a pause of " +
              std::to_string(com.readTimeout) +
              " ms (-t), so no answer could be told from them; check the cable, the adapter and what else "
              "sends on the line";
        trace_print("       %s\n", why.c_str());
        return why;
    }
    switch (port::port_failure(error)) {
    case port::PortFailure::None: {
        const int rate = baud_rate_of_code(com.baudCode);
        std::string others;
        for (const packet::BaudRate& b : packet::BAUD_RATES) {
            const int other = static_cast<int>(b.rate);
            if (other != rate) others += (others.empty() ? "-b " : ", ") + std::to_string(other);
        }
        why = "The port " + port + " opened but no module answered at " + std::to_string(rate) + " baud in " +
              mode_text(com) + "; try the other rates (" + others + ")";
        why += com.networkMode == 1 ? ", -n 0 for a module alone on its line or another -m ID"
                                    : ", -n 1 -m ID for a module on a shared line";
        why += com.hexText == 1 ? ", -a 0 for plain bytes" : ", -a 1 for hex text";
        why += ", and check the cable and the module's power";
        break;
    }
    case port::PortFailure::NoSuchPort:
        why = "No such device: " + port + "; " + ports_present() + " (kelvor --list-ports)";
        break;
    case port::PortFailure::PermissionDenied: {
        std::string group = port::device_group(port);
        if (group.empty()) group = "dialout";
        why = "Permission denied on " + port + ": add the user to the group " + group +
              " (sudo usermod -aG " + group + " $USER), then log in again";
        break;
    }
    case port::PortFailure::IsDirectory: why = port + " is a directory, not a serial device"; break;
    case port::PortFailure::NotSerial: why = port + " is not a serial device"; break;
    case port::PortFailure::BadSettings:
        why = port + " refused the line settings at " + std::to_string(baud_rate_of_code(com.baudCode)) +
              " baud (-b 9600, 19200, 38400, 57600 or 115200)";
        break;
    case port::PortFailure::InUse:
        why = port + " is in use by another program" + port::port_holder(port);
        break;
    case port::PortFailure::Other: why = port + ": " + port::system_error_text(error); break;
    }
    trace_print("       %s\n", why.c_str());
    return why;
}
