// What the system tells about serial ports: the ports present (--list-ports)
// and why a port could not be used (the line after "Cannot initialize sdk").
#include <string>
#include <vector>

#include "ModuleSDK.h"
#include "connection/PortInfo.h"
#include "port/NetPort.h"
#include "port/PortList.h"
#include "port/PortName.h"

namespace kelvor {

namespace {

std::string ports_present() {
    std::string list;
    for (const port::PortEntry& p : port::serial_ports()) list += (list.empty() ? "" : ", ") + p.path;
    return list.empty() ? "no serial port is present" : "ports present: " + list;
}

std::string mode_text(const LineSettings& com) {
    std::string text = com.networkMode == 1 ? "network mode with module ID " + std::to_string(com.moduleId)
                                            : std::string("single-module mode");
    if (com.hexText == 1) text += ", hex text";
    return text;
}

// The system's words, when it gave some, in parentheses.
std::string in_parentheses(const std::string& text) {
    return text.empty() ? "" : " (" + text + ")";
}

// Why a port behind a network server could not be used; empty when the
// connection was made and the line set up (the module then did not answer).
std::string network_reason(const std::string& port) {
    const net::Status& st = net::status();
    const std::string& where = st.endpoint;
    const std::string peer = st.peer.empty() || st.peer == where ? "" : " (" + st.peer + ")";
    switch (st.fault.failure) {
    case net::Failure::None: return "";
    case net::Failure::BadAddress:
        return port + " names no network port: " + st.detail +
               (st.kind == port_name::Kind::Other ? "" : "; give rfc2217://HOST:PORT or socket://HOST:PORT");
    case net::Failure::UnknownHost:
        return "Unknown host " + st.host + " in " + port + in_parentheses(st.fault.text);
    case net::Failure::Refused:
        return "Connection refused by " + where + peer + ": nothing listens on that port; check that the " +
               "server (ser2net, the device server) runs and the port number";
    case net::Failure::TimedOut:
        return "No answer from " + where + " within " + std::to_string(net::CONNECT_WAIT_MS) + " ms" +
               in_parentheses(st.fault.text) + ": check the host, the network and any firewall";
    case net::Failure::Unreachable: return where + " cannot be reached" + in_parentheses(st.fault.text);
    case net::Failure::Closed:
        return where + peer + " closed the connection during the opening" +
               in_parentheses(st.detail.empty() ? st.fault.text : st.detail) +
               ": the server may be serving another client, or its serial port failed to open";
    case net::Failure::NotRfc2217:
        return where + peer + " does not take the COM-PORT-OPTION of RFC 2217 (" + st.detail +
               "): for a raw TCP port give socket://" + where;
    case net::Failure::SettingsRefused: return where + " refused the line settings: " + st.detail;
    case net::Failure::SettingsUnconfirmed: return where + " did not confirm the line settings: " + st.detail;
    case net::Failure::Broken: return where + ": " + st.detail;
    case net::Failure::Other: return where + ": " + st.fault.text;
    }
    return "";
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

std::string print_port_diagnosis(const LineSettings& com, int openResult) {
    const std::string& port = com.portName;
    const int error = serial_last_error();
    std::string why;
    if (error == 0 && openResult == ERR_SET_TIMEOUT) {
        why =
            "The port " + port + " took no read time-out of " + std::to_string(com.readTimeout) + " ms (-t)";
        trace_print("       %s\n", why.c_str());
        return why;
    }
    const bool network = port_name::is_url(port);
    if (network) why = network_reason(port);
    if (!why.empty()) {
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
    switch (network ? port::PortFailure::None : port::port_failure(error)) {
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
        // The far port of a raw TCP server keeps the settings the server gives it.
        if (network && net::status().kind == port_name::Kind::Socket)
            why += "; over socket:// the server's own line settings count: set its port to " +
                   std::to_string(rate) + " baud, 8N1, no flow control";
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

void trace_opening_notes(const std::string& port) {
    if (!port_name::is_url(port)) return;
    for (const std::string& note : net::opening_notes()) trace(TRACE_COMM, "%s\n", note.c_str());
}

std::string port_loss_reason(const std::string& port) {
    const std::string why = network_loss_reason(port);
    return why.empty() ? why : port + ": " + why;
}

std::string network_loss_reason(const std::string& port) {
    if (!port_name::is_url(port)) return "";
    const net::Status& st = net::status();
    std::string why = "the connection to " + st.endpoint + " is gone";
    if (!st.fault.text.empty())
        why += " (" + st.fault.text + ")";
    else if (st.fault.failure == net::Failure::Closed)
        why += " (closed by the far end)";
    return why;
}

} // namespace kelvor
