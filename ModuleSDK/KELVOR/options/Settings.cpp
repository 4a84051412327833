// kelvor.cfg: the saved serial settings, read at the start of a run and
// written back when an option changed them.
#include "OrvantiCom.h"
#include "Remote.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>

using namespace kelvor;

namespace {

// Reads one "%d" field the way formatted input does: white space, a sign,
// decimal digits. False when no number stands there.
bool scan_int(const char*& p, int& out) {
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const char* start = p;
    if (*p == '+' || *p == '-') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) {
        p = start;
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(start, &end, 10);
    p = end;
    out = static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
    return true;
}

} // namespace

void OrvantiCom::read_settings() {
    File in(open_input_file(SETTINGS_FILE, settingsError));
    if (!in) {
        settingsLoaded = 0;
        return;
    }
    settingsLoaded = 1;
    // One short line: anything longer than a bound is no settings file of ours,
    // and is refused before it can take the run's time or memory.
    std::string text(SETTINGS_BYTES_MAX + 1, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), in.get()));
    if (text.size() > SETTINGS_BYTES_MAX) {
        err_line(err_site::SETTINGS_FILE_TOO_LONG,
                 "Err: %s is longer than %d bytes; it is no settings file\n", SETTINGS_FILE,
                 static_cast<int>(SETTINGS_BYTES_MAX));
        refused = true;
        return;
    }
    const char* p = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const char* nameEnd = p;
    while (*nameEnd && !std::isspace(static_cast<unsigned char>(*nameEnd))) ++nameEnd;
    if (nameEnd == p) return;
    if (static_cast<size_t>(nameEnd - p) > NAME_MAX_CHARS) {
        err_line(err_site::SETTINGS_PORT_NAME_TOO_LONG,
                 "Err: The port name in %s is longer than %d characters\n", SETTINGS_FILE,
                 static_cast<int>(NAME_MAX_CHARS));
        refused = true;
        return;
    }
    portName.assign(p, nameEnd);
    p = nameEnd;
    int values[7];
    int* targets[7] = {&baudCode, &networkMode, nullptr, &hexText, &readTimeout, &traceLevel, &chunkSize};
    for (int i = 0; i < 7; ++i) {
        if (!scan_int(p, values[i])) break;
        if (targets[i])
            *targets[i] = values[i];
        else
            moduleId = static_cast<uint16_t>(values[i]);
    }
}

bool OrvantiCom::write_settings() const {
    // Through kelvord the line is the service's: nothing of it is remembered here.
    if (remote::used()) return true;
    // Written beside the old file and renamed over it, so that an interrupted
    // run never leaves a half-written settings file.
    char text[NAME_MAX_CHARS + 128];
    const int n = std::snprintf(text, sizeof text, "%s %d %d %d %d %d %d %d", portName.c_str(), baudCode,
                                networkMode, moduleId, hexText, readTimeout, traceLevel, chunkSize);
    return n >= 0 && static_cast<size_t>(n) < sizeof text &&
           write_file_replacing(SETTINGS_FILE, std::string(text, static_cast<size_t>(n)));
}
