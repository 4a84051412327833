// What the system tells about serial ports: the ports present (--list-ports)
// and why a port could not be used (the line after "Cannot initialize sdk").
#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "PortInfo.h"
#include "OrvantiCom.h"

using namespace kelvor;

namespace {

struct PortEntry {
    std::string path;        // /dev/ttyUSB0
    std::string driver;      // ftdi_sio, cdc_acm, serial8250
    std::string description; // the USB product, when the system tells
    std::vector<std::string> byId;
};

std::string read_line(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

std::string real_path(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string base_name(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool is_serial_name(const std::string& name) {
    return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0 || name.rfind("ttyS", 0) == 0 ||
           name.rfind("ttyAMA", 0) == 0 || name.rfind("ttymxc", 0) == 0;
}

std::vector<PortEntry> serial_ports() {
    std::vector<PortEntry> ports;
    const std::string sys = "/sys/class/tty/";
    for (const std::string& name : entries(sys)) {
        if (!is_serial_name(name)) continue;
        const std::string device = sys + name + "/device";
        struct stat st {};
        if (::stat(device.c_str(), &st) != 0) continue;
        // A built-in UART the kernel found no hardware for reports type 0.
        if (name.rfind("ttyS", 0) == 0 && read_line(sys + name + "/type") == "0") continue;
        PortEntry p;
        p.path = "/dev/" + name;
        // The driver and the USB product sit in the device or a level or two
        // above it (the serial core's own "port" and "ctrl" devices in between).
        std::string dir = real_path(device);
        for (int up = 0; up < 4 && !dir.empty(); ++up) {
            const std::string driver = base_name(real_path(dir + "/driver"));
            if (p.driver.empty() && !driver.empty() && driver != "port" && driver != "ctrl")
                p.driver = driver;
            if (p.description.empty()) p.description = read_line(dir + "/product");
            dir = dir.substr(0, dir.rfind('/'));
        }
        ports.push_back(p);
    }
    for (const char* dir : {"/dev/serial/by-id/", "/dev/serial/by-path/"}) {
        for (const std::string& name : entries(dir)) {
            const std::string target = real_path(dir + name);
            for (PortEntry& p : ports) {
                if (p.path == target) p.byId.push_back(dir + name);
            }
        }
    }
    return ports;
}

// The process holding an advisory lock on the device, from /proc/locks.
int lock_holder(const struct stat& device) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, where;
        if (!(fields >> number >> kind >> mode >> access >> pid >> where)) continue;
        if (pid == "->") continue; // a waiter, not a holder
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%lu", &major, &minor, &inode) != 3) continue;
        if (major == ::major(device.st_dev) && minor == ::minor(device.st_dev) && inode == device.st_ino)
            return std::atoi(pid.c_str());
    }
    return 0;
}

// A process with the device open, from /proc/*/fd.
int opener(const std::string& device) {
    for (const std::string& pid : entries("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        if (std::atoi(pid.c_str()) == ::getpid()) continue;
        const std::string fds = "/proc/" + pid + "/fd/";
        for (const std::string& fd : entries(fds)) {
            if (real_path(fds + fd) == device) return std::atoi(pid.c_str());
        }
    }
    return 0;
}

std::string holder_text(const std::string& port) {
    struct stat st {};
    if (::stat(port.c_str(), &st) != 0) return "";
    int pid = lock_holder(st);
    if (pid <= 0 || pid == ::getpid()) pid = opener(real_path(port));
    if (pid <= 0) return "";
    std::string text = " (PID " + std::to_string(pid);
    const std::string name = read_line("/proc/" + std::to_string(pid) + "/comm");
    if (!name.empty()) text += ", " + name;
    return text + ")";
}

std::string ports_present() {
    std::string list;
    for (const PortEntry& p : serial_ports()) list += (list.empty() ? "" : ", ") + p.path;
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
    const std::vector<PortEntry> ports = serial_ports();
    if (ports.empty()) {
        std::fputs("No serial ports found\n", out);
        return;
    }
    for (const PortEntry& p : ports) {
        std::string info = p.driver;
        if (!p.description.empty()) info += (info.empty() ? "" : ", ") + p.description;
        std::fprintf(out, "%-14s %s\n", p.path.c_str(), info.c_str());
        for (const std::string& link : p.byId) std::fprintf(out, "  %s\n", link.c_str());
    }
}

void print_port_diagnosis(const OrvantiCom& com, int openResult) {
    const std::string& port = com.portName;
    const int error = serial_last_error();
    std::string why;
    if (error == 0 && openResult == ERR_SET_TIMEOUT) {
        trace_print("       The port %s took no read time-out of %u ms (-t)\n", port.c_str(),
                    static_cast<unsigned>(com.readTimeout));
        return;
    }
    switch (error) {
    case 0: {
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
    case ENOENT:
    case ENODEV:
    case ENXIO: why = "No such device: " + port + "; " + ports_present() + " (kelvor --list-ports)"; break;
    case EACCES:
    case EPERM: {
        std::string group = "dialout";
        struct stat st {};
        if (::stat(port.c_str(), &st) == 0) {
            if (const struct group* g = ::getgrgid(st.st_gid)) group = g->gr_name;
        }
        why = "Permission denied on " + port + ": add the user to the group " + group +
              " (sudo usermod -aG " + group + " $USER), then log in again";
        break;
    }
    case EISDIR: why = port + " is a directory, not a serial device"; break;
    case ENOTTY: why = port + " is not a serial device"; break;
    case EINVAL:
        why = port + " refused the line settings at " + std::to_string(baud_rate_of_code(com.baudCode)) +
              " baud (-b 9600, 19200, 38400, 57600 or 115200)";
        break;
    case EWOULDBLOCK:
    case EBUSY: why = port + " is in use by another program" + holder_text(port); break;
    default: why = port + ": " + std::strerror(error); break;
    }
    trace_print("       %s\n", why.c_str());
}
