// orvanti-sim: a simulated Orvanti module on a pseudo-terminal.
//
//   orvanti-sim --link PATH [--state FILE] [--pace] [--any-baud] [--capacity N] [--verbose]
//       serves the module on a new pseudo-terminal reached through PATH until SIGINT/SIGTERM.
//   orvanti-sim --link PATH [--place WHAT] [--fault KIND]... [--wiegand V] [--card ID|FILE]
//       tells the module serving PATH what is on its sensor and inputs and which faults to play.
//   orvanti-sim --link PATH --input N
//       raises the module's input port IN<N> (0 to 2) once.
#include "Card.h"
#include "Control.h"
#include "Module.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char* const USAGE =
    "usage: orvanti-sim --link PATH [--state FILE] [--pace] [--any-baud] [--capacity N] [--verbose]\n"
    "       orvanti-sim --link PATH [--place none|N[,N...]|FILE.bmp] [--fault "
    "KIND[:ARG][,cmd=CODE][,times=N]]...\n"
    "                   [--fault none] [--wiegand VALUE|none] [--card ID|CARDFILE|none] [--input 0|1|2]\n"
    "faults: noise[:N] checksum truncate[:N] silence text[:TEXT] unsolicited[:N] slow[:MS] chunk-checksum\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "orvanti-sim: %s\n", message.c_str());
    return 2;
}

std::string absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) return path;
    std::string out = std::string(cwd) + "/" + path;
    std::free(cwd);
    return out;
}

} // namespace

int main(int argc, char** argv) {
    sim::Options opt;
    std::optional<std::string> place, wiegand, card, raise;
    std::vector<std::string> faults;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (a == "--link" && value(v))
            opt.link = v;
        else if (a == "--state" && value(v))
            opt.state = v;
        else if (a == "--pace")
            opt.pace = true;
        else if (a == "--any-baud")
            opt.strictBaud = false;
        else if (a == "--verbose" || a == "-v")
            opt.verbose = true;
        else if (a == "--capacity" && value(v)) {
            uint64_t n = 0;
            if (!sim::parse_number(v, n) || n == 0) return fail("--capacity takes a number above 0");
            opt.capacity = static_cast<uint32_t>(n);
        } else if (a == "--place" && value(v))
            place = v;
        else if (a == "--fault" && value(v))
            faults.push_back(v);
        else if (a == "--wiegand" && value(v))
            wiegand = v;
        else if (a == "--card" && value(v))
            card = v;
        else if (a == "--input" && value(v))
            raise = v;
        else {
            std::fputs(USAGE, stderr);
            return 2;
        }
    }
    if (opt.link.empty()) {
        std::fputs(USAGE, stderr);
        return 2;
    }

    // Control mode: rewrite the control file of the module serving the link.
    if (place || wiegand || card || raise || !faults.empty()) {
        const std::string path = sim::control_path(opt.link);
        sim::Control c;
        std::string error;
        if (!sim::load_control(path, c, error)) return fail(error);
        if (place) {
            sim::Placement p;
            if (!sim::parse_place(*place, p, error)) return fail(error);
            c.place = p.kind == sim::Placement::File ? absolute(p.file) : *place;
            ++c.placeSerial;
        }
        for (const std::string& f : faults) {
            if (f == "none") {
                c.faults.clear();
                continue;
            }
            sim::Fault fault;
            if (!sim::parse_fault(f, fault, error)) return fail(error);
            fault.added = c.serial + 1;
            c.faults.push_back(fault);
        }
        auto input = [&](const std::optional<std::string>& text, std::optional<uint32_t>& out) {
            if (!text) return true;
            if (*text == "none") {
                out.reset();
                return true;
            }
            uint64_t n = 0;
            if (!sim::parse_number(*text, n)) return false;
            out = static_cast<uint32_t>(n);
            return true;
        };
        if (wiegand) {
            if (!input(wiegand, c.wiegand)) return fail("--wiegand takes a number or none");
            ++c.wiegandSerial;
        }
        if (card) {
            // A number is a bare card carrying that user ID; anything else names a card file.
            uint64_t id = 0;
            c.cardFile.clear();
            if (*card == "none") {
                c.card.reset();
            } else if (sim::parse_number(*card, id)) {
                c.card = static_cast<uint32_t>(id);
            } else {
                sim::Card described;
                if (!sim::read_card_file(*card, described, error)) return fail(error);
                c.card.reset();
                c.cardFile = absolute(*card);
            }
            ++c.cardSerial;
        }
        if (raise) {
            uint64_t port = 0;
            if (!sim::parse_number(*raise, port) || port > 2)
                return fail("--input takes an input port, 0 to 2");
            c.input = static_cast<uint32_t>(port);
            c.inputSerial = c.serial + 1;
        }
        ++c.serial;
        if (!sim::save_control(path, c, error)) return fail(error);
        return 0;
    }

    sim::install_stop_handlers();
    sim::Module module;
    std::string error;
    if (!module.start(opt, error)) return fail(error);
    std::printf("%s\n", opt.link.c_str());
    std::fflush(stdout);
    module.serve();
    std::remove(sim::control_path(opt.link).c_str());
    return 0;
}
