// Serial ports on Windows: the COM names of the system's device namespace
// with the device each stands for, and the system's words for its errors.
// Windows tells no holder of a port and no owning group.
#include "port/PortList.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace kelvor::port {

namespace {

// The number of a name COMn, 0 for any other name.
unsigned long com_number(const char* name) {
    if (std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(name[2])) != 'M' || name[3] == '\0')
        return 0;
    unsigned long n = 0;
    for (const char* p = name + 3; *p; ++p) {
        if (*p < '0' || *p > '9' || n > 100000) return 0;
        n = n * 10 + static_cast<unsigned long>(*p - '0');
    }
    return n;
}

// Every name of the device namespace, NUL-separated; the buffer grows until
// the list fits.
std::vector<char> dos_device_names() {
    std::vector<char> names(65536);
    while (names.size() <= (1u << 24)) {
        const DWORD n = ::QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (n != 0) {
            names.resize(n);
            return names;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
        names.resize(names.size() * 4);
    }
    return {};
}

// The ports of the system's serial hardware map: device name -> COM name.
void add_hardware_ports(std::vector<std::pair<unsigned long, PortEntry>>& found) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return;
    for (DWORD i = 0; i < 4096; ++i) {
        char device[512] = {};
        DWORD deviceLength = sizeof device;
        BYTE value[256] = {};
        DWORD valueLength = sizeof value - 1;
        DWORD type = 0;
        const LONG r = ::RegEnumValueA(key, i, device, &deviceLength, nullptr, &type, value, &valueLength);
        if (r == ERROR_MORE_DATA) continue;
        if (r != ERROR_SUCCESS) break;
        if (type != REG_SZ) continue;
        const char* name = reinterpret_cast<const char*>(value);
        const unsigned long number = com_number(name);
        if (number == 0) continue;
        PortEntry p;
        p.path = name;
        p.driver = device;
        found.emplace_back(number, p);
    }
    ::RegCloseKey(key);
}

} // namespace

std::vector<PortEntry> serial_ports() {
    std::vector<std::pair<unsigned long, PortEntry>> found;
    add_hardware_ports(found);
    // Besides the hardware, every COM name of the device namespace (virtual
    // ports, network ports).
    const std::vector<char> names = dos_device_names();
    for (size_t i = 0; i < names.size() && names[i] != '\0';) {
        const char* name = names.data() + i;
        i += std::char_traits<char>::length(name) + 1;
        const unsigned long number = com_number(name);
        if (number == 0) continue;
        if (std::any_of(found.begin(), found.end(), [&](const auto& f) { return f.first == number; }))
            continue;
        PortEntry p;
        p.path = name;
        char target[1024] = {};
        if (::QueryDosDeviceA(name, target, sizeof target) != 0) p.driver = target;
        found.emplace_back(number, p);
    }
    // COM2 before COM10.
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<PortEntry> ports;
    for (auto& f : found) ports.push_back(std::move(f.second));
    return ports;
}

std::string port_holder(const std::string&) {
    return "";
}

std::string device_group(const std::string&) {
    return "";
}

PortFailure port_failure(int systemError) {
    switch (systemError) {
    case 0: return PortFailure::None;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_REMOVED: return PortFailure::NoSuchPort;
    // A COM port that another program holds is refused as "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: return PortFailure::InUse;
    case ERROR_DIRECTORY: return PortFailure::IsDirectory;
    case ERROR_BAD_DEVICE:
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED: return PortFailure::NotSerial;
    case ERROR_INVALID_PARAMETER: return PortFailure::BadSettings;
    default: return PortFailure::Other;
    }
}

std::string system_error_text(int systemError) {
    char text[512] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                     static_cast<DWORD>(systemError),
                                     MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    std::string words(text, n);
    // The system's message ends in ".\r\n"; the diagnosis line has its own end.
    while (!words.empty() &&
           (words.back() == '\n' || words.back() == '\r' || words.back() == '.' || words.back() == ' '))
        words.pop_back();
    return words.empty() ? "error " + std::to_string(systemError) : words;
}

} // namespace kelvor::port
