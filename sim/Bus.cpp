// The simulated bus: one line, several modules, each with its own state.
#include "Bus.h"

#include "protocol/Packet.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace sim {

bool parse_module_list(const std::string& text, std::vector<uint16_t>& out, std::string& error) {
    out.clear();
    std::stringstream items(text);
    std::string item;
    auto id_of = [&](const std::string& word, uint64_t& id) {
        if (!parse_number(word, id) || id < 1 || id > 0xFFFF) {
            error = "--modules: " + (word.empty() ? std::string("an empty ID") : word) +
                    " is no module ID (1 to 65535)";
            return false;
        }
        return true;
    };
    while (std::getline(items, item, ',')) {
        uint64_t first = 0, last = 0;
        const size_t dash = item.find('-');
        if (!id_of(item.substr(0, dash), first)) return false;
        last = first;
        if (dash != std::string::npos && !id_of(item.substr(dash + 1), last)) return false;
        if (last < first) {
            error = "--modules: the range " + item + " runs backwards";
            return false;
        }
        for (uint64_t id = first; id <= last; ++id) {
            for (uint16_t known : out)
                if (known == id) {
                    error = "--modules: module " + std::to_string(id) + " is named twice";
                    return false;
                }
            if (out.size() == BUS_MODULES_MAX) {
                error = "--modules: a line carries at most " + std::to_string(BUS_MODULES_MAX) + " modules";
                return false;
            }
            out.push_back(static_cast<uint16_t>(id));
        }
    }
    if (out.empty()) {
        error = "--modules needs at least one module ID";
        return false;
    }
    return true;
}

std::string bus_path(const std::string& linkPath) {
    return linkPath + ".bus";
}

bool module_control_path(const std::string& linkPath, uint16_t id, std::string& out, std::string& error) {
    std::ifstream f(bus_path(linkPath));
    if (!f) {
        error = linkPath + " is served by one module: --module is for a line of several (--modules)";
        return false;
    }
    std::string word;
    bool first = true;
    while (f >> word) {
        uint64_t n = 0;
        if (parse_number(word, n) && n == id) {
            out = control_path(linkPath, id, first);
            return true;
        }
        first = false;
    }
    error = "module " + std::to_string(id) + " is not on the line " + linkPath;
    return false;
}

Bus::~Bus() {
    if (!busFile_.empty()) std::remove(busFile_.c_str());
    for (size_t k = 1; k < modules_.size(); ++k)
        std::remove(control_path(options_.link, modules_[k]->bus_id(), false).c_str());
}

bool Bus::start(const Options& options, const std::vector<uint16_t>& ids, std::string& error) {
    options_ = options;
    if (!line_.open(options.link, error)) return false;
    for (size_t k = 0; k < ids.size(); ++k) {
        modules_.push_back(std::make_unique<Module>());
        dead_.push_back(false);
        if (!modules_.back()->join(options, line_, ids[k], k == 0, error)) return false;
    }
    // The list of the bus before the link appears: a control invocation reads it.
    const std::string temp = bus_path(options.link) + ".tmp";
    {
        std::ofstream f(temp, std::ios::trunc);
        for (uint16_t id : ids) f << id << "\n";
        if (!f.flush()) {
            error = "cannot write " + temp;
            return false;
        }
    }
    if (std::rename(temp.c_str(), bus_path(options.link).c_str()) != 0) {
        error = "cannot write " + bus_path(options.link);
        return false;
    }
    busFile_ = bus_path(options.link);
    line_.set_pace(options.pace);
    line_.set_strict_baud(options.strictBaud);
    return line_.publish(error);
}

std::optional<Bus::Packet> Bus::receive(int timeoutMs) {
    uint8_t buf[packet::MAX_LENGTH];
    if (!line_.read_byte(buf[0], timeoutMs)) return std::nullopt;
    const bool network = buf[0] == packet::start_code(true);
    if (!network && buf[0] != packet::start_code(false)) return std::nullopt;
    const size_t len = packet::length(network);
    if (line_.read(buf + 1, len - 1, GAP_MS) != len - 1) return std::nullopt;
    // A damaged packet is taken by no module.
    if (!packet::checksum_ok(buf, network) || buf[len - 1] != packet::END_CODE) {
        if (options_.verbose) std::fprintf(stderr, "<- damaged packet dropped\n");
        return std::nullopt;
    }
    const packet::Fields f = packet::decode(buf, network);
    Packet p;
    p.command.code = f.command;
    p.command.param1 = f.param1;
    p.command.param2 = f.param2;
    p.command.flag = f.flag;
    p.network = network;
    p.moduleId = network ? f.moduleId : 0;
    p.command.broadcast = network && f.moduleId == 0;
    return p;
}

void Bus::run_on(size_t m, const Command& c) {
    if (dead_[m]) return;
    try {
        modules_[m]->dispatch(c);
    } catch (const ModuleDied&) {
        dead_[m] = true;
        if (options_.verbose) std::fprintf(stderr, "-- module %u died\n", modules_[m]->bus_id());
    }
}

void Bus::carry_out(const Packet& p) {
    if (p.command.broadcast) {
        for (size_t m = 0; m < modules_.size(); ++m) run_on(m, p.command);
        return;
    }
    if (p.network) {
        for (size_t m = 0; m < modules_.size(); ++m)
            if (modules_[m]->bus_id() == p.moduleId) {
                run_on(m, p.command);
                return;
            }
        if (options_.verbose)
            std::fprintf(stderr, "<- for module %u, which is not on the line\n", p.moduleId);
        return;
    }
    if (modules_.size() == 1)
        run_on(0, p.command);
    else
        collide(p.command);
}

void Bus::collide(const Command& c) {
    std::vector<uint8_t> answer;
    line_.capture_to(&answer);
    run_on(0, c);
    line_.capture_to(nullptr);
    if (answer.empty()) return;
    // The line idles high and a driven 0 wins: the bytes of the transmitters
    // add up as a bitwise AND, each module starting a byte after the one before.
    std::vector<uint8_t> line(answer.size() + modules_.size() - 1, 0xFF);
    for (size_t k = 0; k < modules_.size(); ++k)
        for (size_t i = 0; i < answer.size(); ++i) line[i + k] &= answer[i];
    // Whatever the bytes happen to be, they never make a clean answer.
    for (const bool network : {false, true}) {
        const size_t len = packet::length(network);
        if (line.size() >= len && line[0] == packet::start_code(network) &&
            packet::checksum_ok(line.data(), network))
            line[len - 2] ^= 0x5A;
    }
    if (options_.verbose) std::fprintf(stderr, "-> %zu modules answered at once\n", modules_.size());
    line_.write(line.data(), line.size());
}

void Bus::serve() {
    bool quietAfterCommand = false;
    while (!stop_requested()) {
        const auto p = receive(quietAfterCommand ? UNSOLICITED_AFTER_MS : IDLE_POLL_MS);
        if (p) {
            carry_out(*p);
            quietAfterCommand = true;
            continue;
        }
        for (size_t m = 0; m < modules_.size(); ++m)
            if (!dead_[m]) modules_[m]->idle(quietAfterCommand);
        quietAfterCommand = false;
    }
}

} // namespace sim
