// Several simulated modules on one line, as on an RS-485 bus: a network packet
// is taken by the module of its ID only, a broadcast by every module (answered
// by none), and a packet without a module ID by all of them at once, so that
// their answers collide on the line.
#pragma once

#include "Line.h"
#include "Module.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// Most modules one simulated line carries.
inline constexpr size_t BUS_MODULES_MAX = 64;

// "1,2,7" or "1-4,9": module IDs 1 to 65535, each once, in the order given.
bool parse_module_list(const std::string& text, std::vector<uint16_t>& out, std::string& error);

// The file beside the link that names the modules of the bus that serves it.
std::string bus_path(const std::string& linkPath);
// The control file of module `id` of the bus at linkPath; false with a message
// when the link is served by one module only or `id` is not on its bus.
bool module_control_path(const std::string& linkPath, uint16_t id, std::string& out, std::string& error);

class Bus {
public:
    Bus() = default;
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    bool start(const Options& options, const std::vector<uint16_t>& ids, std::string& error);
    // Serves the line until SIGINT or SIGTERM.
    void serve();

private:
    struct Packet {
        Command command;
        bool network = false;
        uint16_t moduleId = 0;
    };
    std::optional<Packet> receive(int timeoutMs);
    void carry_out(const Packet& p);
    // Module `m` carries out the command; one that dies in it falls silent for good.
    void run_on(size_t m, const Command& c);
    // Every module answers a packet without a module ID: what goes out is
    // their answers on top of each other, each a byte later than the one before.
    void collide(const Command& c);

    Options options_;
    Line line_;
    std::vector<std::unique_ptr<Module>> modules_;
    std::vector<bool> dead_; // the modules that died (a "die" fault), silent until a restart
    std::string busFile_;
};

} // namespace sim
