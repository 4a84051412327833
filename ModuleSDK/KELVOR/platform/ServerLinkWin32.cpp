// The connection to kelvord on Windows: there is none. The service is a Linux
// program on its Unix socket; kelvor.exe drives a line itself.
#include "ServerLink.h"

namespace server_link {

bool connect(const std::string&, std::string& error) {
    error =
        "kelvord runs on Linux, on a Unix socket that kelvor.exe cannot reach; run kelvor where kelvord runs";
    return false;
}

bool connected() {
    return false;
}

void close() {}

bool send_line(const std::string&, std::string& error) {
    error = "not connected";
    return false;
}

bool read_line(std::string&, int, std::string& error) {
    error = "not connected";
    return false;
}

} // namespace server_link
