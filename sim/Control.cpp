#include "Control.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace sim {

namespace {

struct FaultName {
    FaultKind kind;
    const char* name;
};
constexpr FaultName FAULT_NAMES[] = {
    {FaultKind::Noise, "noise"},       {FaultKind::Checksum, "checksum"},
    {FaultKind::Truncate, "truncate"}, {FaultKind::Silence, "silence"},
    {FaultKind::Text, "text"},         {FaultKind::Unsolicited, "unsolicited"},
    {FaultKind::Slow, "slow"},         {FaultKind::ChunkChecksum, "chunk-checksum"},
    {FaultKind::Die, "die"},
};

bool kind_named(const std::string& name, FaultKind& out) {
    for (const FaultName& n : FAULT_NAMES)
        if (name == n.name) {
            out = n.kind;
            return true;
        }
    return false;
}

} // namespace

bool parse_number(const std::string& text, uint64_t& out) {
    if (text.empty()) return false;
    size_t at = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && text[1] == 'x') {
        base = 16;
        at = 2;
    }
    uint64_t v = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFull) return false;
    }
    out = v;
    return true;
}

const char* fault_name(FaultKind kind) {
    for (const FaultName& n : FAULT_NAMES)
        if (n.kind == kind) return n.name;
    return "?";
}

std::string control_path(const std::string& linkPath) {
    return linkPath + ".ctl";
}

std::string control_path(const std::string& linkPath, uint16_t id, bool first) {
    return first ? control_path(linkPath) : control_path(linkPath) + "." + std::to_string(id);
}

bool parse_fault(const std::string& text, Fault& out, std::string& error) {
    Fault f;
    std::stringstream parts(text);
    std::string part;
    bool first = true;
    bool named = false;
    while (std::getline(parts, part, ',')) {
        if (first) {
            first = false;
            const auto colon = part.find(':');
            const std::string name = part.substr(0, colon);
            if (colon != std::string::npos) f.arg = part.substr(colon + 1);
            if (!kind_named(name, f.kind)) {
                error = "unknown fault kind '" + name + "'";
                return false;
            }
            named = true;
            if (f.kind != FaultKind::Text && !f.arg.empty()) {
                if (!parse_number(f.arg, f.number)) {
                    error = "fault argument '" + f.arg + "' is not a number";
                    return false;
                }
                f.hasNumber = true;
            }
            continue;
        }
        const auto eq = part.find('=');
        const std::string key = part.substr(0, eq);
        uint64_t v = 0;
        if (eq == std::string::npos || !parse_number(part.substr(eq + 1), v)) {
            error = "bad fault qualifier '" + part + "'";
            return false;
        }
        if (key == "cmd" && v <= 0xFF)
            f.command = static_cast<int>(v);
        else if (key == "times" && v <= 0x7FFFFFFF)
            f.times = static_cast<int>(v);
        else {
            error = "bad fault qualifier '" + part + "'";
            return false;
        }
    }
    if (!named) {
        error = "empty fault";
        return false;
    }
    // Text is kept on one line of the control file.
    for (char c : f.arg)
        if (c == '\n' || c == '\r') {
            error = "fault text holds a line break";
            return false;
        }
    out = f;
    return true;
}

std::string format_fault(const Fault& f) {
    std::string s = fault_name(f.kind);
    if (!f.arg.empty()) s += ":" + f.arg;
    if (f.command >= 0) s += ",cmd=" + std::to_string(f.command);
    if (f.times >= 0) s += ",times=" + std::to_string(f.times);
    return s;
}

bool parse_place(const std::string& text, Placement& out, std::string& error) {
    Placement p;
    if (text.empty() || text == "none") {
        out = p;
        return true;
    }
    bool numbers = true;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || c == ',' || c == 'x' || (c >= 'a' && c <= 'f') ||
              (c >= 'A' && c <= 'F')))
            numbers = false;
    if (numbers && text[0] >= '0' && text[0] <= '9') {
        std::stringstream parts(text);
        std::string part;
        while (std::getline(parts, part, ',')) {
            uint64_t v = 0;
            if (!parse_number(part, v) || v == 0) {
                numbers = false;
                break;
            }
            p.fingers.push_back(static_cast<uint32_t>(v));
        }
        if (numbers && !p.fingers.empty()) {
            p.kind = Placement::Fingers;
            out = p;
            return true;
        }
    }
    if (text.size() < 4 || text.compare(text.size() - 4, 4, ".bmp") != 0) {
        if (text.size() < 4 || text.compare(text.size() - 4, 4, ".BMP") != 0) {
            error = "place takes none, finger numbers from 1 (e.g. 3 or 1,7) or a .bmp file";
            return false;
        }
    }
    p.kind = Placement::File;
    p.file = text;
    out = p;
    return true;
}

bool load_control(const std::string& path, Control& out, std::string& error) {
    Control c;
    std::ifstream in(path);
    if (!in) {
        out = c;
        return true;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto sp = line.find(' ');
        const std::string key = line.substr(0, sp);
        const std::string rest = sp == std::string::npos ? "" : line.substr(sp + 1);
        uint64_t v = 0;
        if (key == "serial" && parse_number(rest, v))
            c.serial = v;
        else if (key == "place") {
            const auto sp2 = rest.find(' ');
            if (sp2 == std::string::npos || !parse_number(rest.substr(0, sp2), v)) {
                error = "bad place line";
                return false;
            }
            c.placeSerial = v;
            c.place = rest.substr(sp2 + 1);
        } else if (key == "fault") {
            const auto sp2 = rest.find(' ');
            Fault f;
            if (sp2 == std::string::npos || !parse_number(rest.substr(0, sp2), v) ||
                !parse_fault(rest.substr(sp2 + 1), f, error)) {
                error = "bad fault line '" + line + "'";
                return false;
            }
            f.added = v;
            c.faults.push_back(f);
        } else if (key == "wiegand" && parse_number(rest, v))
            c.wiegand = static_cast<uint32_t>(v);
        else if (key == "card" && parse_number(rest, v))
            c.card = static_cast<uint32_t>(v);
        else if (key == "card-file" && !rest.empty())
            c.cardFile = rest;
        else if (key == "wiegand-serial" && parse_number(rest, v))
            c.wiegandSerial = v;
        else if (key == "card-serial" && parse_number(rest, v))
            c.cardSerial = v;
        else if (key == "input") {
            const auto sp2 = rest.find(' ');
            uint64_t port = 0;
            if (sp2 == std::string::npos || !parse_number(rest.substr(0, sp2), v) ||
                !parse_number(rest.substr(sp2 + 1), port)) {
                error = "bad input line";
                return false;
            }
            c.inputSerial = v;
            c.input = static_cast<uint32_t>(port);
        } else if ((key == "wiegand" || key == "card") && rest == "none") {
        } else {
            error = "bad control line '" + line + "'";
            return false;
        }
    }
    out = c;
    return true;
}

bool save_control(const std::string& path, const Control& c, std::string& error) {
    std::ostringstream s;
    s << "# orvanti-sim control file, rewritten by orvanti-sim --link ... --place/--fault\n";
    s << "serial " << c.serial << "\n";
    s << "place " << c.placeSerial << " " << c.place << "\n";
    for (const Fault& f : c.faults) s << "fault " << f.added << " " << format_fault(f) << "\n";
    if (c.wiegand) s << "wiegand " << *c.wiegand << "\n";
    if (c.card) s << "card " << *c.card << "\n";
    if (!c.cardFile.empty()) s << "card-file " << c.cardFile << "\n";
    s << "wiegand-serial " << c.wiegandSerial << "\n";
    s << "card-serial " << c.cardSerial << "\n";
    if (c.input) s << "input " << c.inputSerial << " " << *c.input << "\n";
    const std::string tmp = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream o(tmp, std::ios::trunc);
        o << s.str();
        o.flush();
        if (!o) {
            error = "cannot write " + tmp;
            std::remove(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + tmp + " to " + path;
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace sim
