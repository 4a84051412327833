// Serial ports on Linux: the tty devices under /sys/class/tty with their
// driver and USB product, the /dev/serial links to them, and the holder of a
// port from /proc/locks and /proc/*/fd.
#include "port/PortList.h"

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kelvor::port {

namespace {

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

} // namespace

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

std::string port_holder(const std::string& port) {
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

std::string device_group(const std::string& port) {
    struct stat st {};
    if (::stat(port.c_str(), &st) != 0) return "";
    const struct group* g = ::getgrgid(st.st_gid);
    return g ? std::string(g->gr_name) : std::string();
}

PortFailure port_failure(int systemError) {
    switch (systemError) {
    case 0: return PortFailure::None;
    case ENOENT:
    case ENODEV:
    case ENXIO: return PortFailure::NoSuchPort;
    case EACCES:
    case EPERM: return PortFailure::PermissionDenied;
    case EWOULDBLOCK:
    case EBUSY: return PortFailure::InUse;
    case EISDIR: return PortFailure::IsDirectory;
    case ENOTTY: return PortFailure::NotSerial;
    case EINVAL: return PortFailure::BadSettings;
    default: return PortFailure::Other;
    }
}

std::string system_error_text(int systemError) {
    return std::strerror(systemError);
}

} // namespace kelvor::port
