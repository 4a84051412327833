// orvanti-sim: a simulated Orvanti module on a pseudo-terminal.
//
//   orvanti-sim --link PATH [--modules LIST] [--state FILE] [--pace] [--any-baud] [--capacity N] [--verbose]
//       serves the module (or, with --modules, a bus of modules) on a new pseudo-terminal
//       reached through PATH until SIGINT/SIGTERM.
//   orvanti-sim --link PATH [--place WHAT] [--fault KIND]... [--wiegand V] [--card ID|FILE]
//       tells the module serving PATH what is on its sensor and inputs and which faults to play.
//   orvanti-sim --link PATH --input N
//       raises the module's input port IN<N> (0 to 2) once.
#include "Bus.h"
#include "Card.h"
#include "Control.h"
#include "Module.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

const char* const USAGE =
    "usage: orvanti-sim --link PATH [--modules ID[-ID][,...]] [--state FILE] [--pace] [--any-baud] [--capacity N]\n"
    "                   [--verbose]\n"
    "       orvanti-sim --link PATH [--module ID] [--place none|N[,N...]|FILE.bmp] [--fault "
    "KIND[:ARG][,cmd=CODE][,times=N]]...\n"
    "                   [--fault none] [--wiegand VALUE|none] [--card ID|CARDFILE|none] [--input 0|1|2]\n"
    "faults: noise[:N] checksum truncate[:N] silence text[:TEXT] unsolicited[:N] slow[:MS] chunk-checksum "
    "die[:N]\n"
    "files: PATH.ctl (what control invocations tell the serving module; PATH.ctl.ID for the other modules\n"
    "       of a bus), PATH.bus (the module IDs of a bus), PATH.lock (held by the serving module, with its\n"
    "       process ID), PATH.wiegand (the module's Wiegand output)\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "orvanti-sim: %s\n", message.c_str());
    return 2;
}

int usage_error(const std::string& message) {
    std::fprintf(stderr, "orvanti-sim: %s\n", message.c_str());
    std::fputs(USAGE, stderr);
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

// The command line, one row per long option; the short forms are the
// characters of the rows that have one.
enum OptionId : int {
    OPT_HELP = 'h',
    OPT_VERBOSE = 'v',
    OPT_LINK = 256,
    OPT_STATE,
    OPT_PACE,
    OPT_ANY_BAUD,
    OPT_CAPACITY,
    OPT_PLACE,
    OPT_FAULT,
    OPT_WIEGAND,
    OPT_CARD,
    OPT_INPUT,
    OPT_MODULES,
    OPT_MODULE,
};

const option OPTIONS[] = {
    {"help", no_argument, nullptr, OPT_HELP},
    {"verbose", no_argument, nullptr, OPT_VERBOSE},
    {"link", required_argument, nullptr, OPT_LINK},
    {"state", required_argument, nullptr, OPT_STATE},
    {"pace", no_argument, nullptr, OPT_PACE},
    {"any-baud", no_argument, nullptr, OPT_ANY_BAUD},
    {"capacity", required_argument, nullptr, OPT_CAPACITY},
    {"place", required_argument, nullptr, OPT_PLACE},
    {"fault", required_argument, nullptr, OPT_FAULT},
    {"wiegand", required_argument, nullptr, OPT_WIEGAND},
    {"card", required_argument, nullptr, OPT_CARD},
    {"input", required_argument, nullptr, OPT_INPUT},
    {"modules", required_argument, nullptr, OPT_MODULES},
    {"module", required_argument, nullptr, OPT_MODULE},
    {nullptr, 0, nullptr, 0},
};

// A module serves the link when its control file is there and the link still
// leads to its pseudo-terminal (a module that was killed leaves a dead link).
bool served(const std::string& link) {
    struct stat st {};
    return ::stat(sim::control_path(link).c_str(), &st) == 0 && ::stat(link.c_str(), &st) == 0;
}

// The serving module holds PATH.lock for as long as it serves, with its
// process ID in it: a second module for the same link is refused instead of
// taking the link over and orphaning the first. The lock goes with the
// process, also when it is killed.
class LinkLock {
public:
    explicit LinkLock(const std::string& link) : path_(link + ".lock") {
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd_ < 0) {
            error_ = "cannot create " + path_ + ": " + std::strerror(errno);
            return;
        }
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            char text[32] = {};
            const ssize_t n = ::pread(fd_, text, sizeof text - 1, 0);
            const long holder = n > 0 ? std::strtol(text, nullptr, 10) : 0;
            error_ = link + " is served by another simulated module" +
                     (holder > 0 ? " (PID " + std::to_string(holder) + ")" : std::string()) +
                     "; stop it first";
            ::close(fd_);
            fd_ = -1;
            return;
        }
        const std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd_, 0) != 0 ||
            ::pwrite(fd_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size()))
            error_ = "cannot write " + path_ + ": " + std::strerror(errno);
    }
    ~LinkLock() {
        if (fd_ < 0) return;
        ::unlink(path_.c_str());
        ::close(fd_);
    }
    LinkLock(const LinkLock&) = delete;
    LinkLock& operator=(const LinkLock&) = delete;
    const std::string& error() const { return error_; }

private:
    std::string path_;
    std::string error_;
    int fd_ = -1;
};

} // namespace

int main(int argc, char** argv) {
    sim::Options opt;
    std::optional<std::string> place, wiegand, card, raise, moduleList, moduleId;
    std::vector<std::string> faults;
    opterr = 0; // the errors are told below, naming the option
    for (;;) {
        int index = 0;
        const int id = getopt_long(argc, argv, ":hv", OPTIONS, &index);
        if (id == -1) break;
        const std::string value = optarg ? optarg : "";
        switch (id) {
        case OPT_HELP: std::fputs(USAGE, stdout); return 0;
        case OPT_VERBOSE: opt.verbose = true; break;
        case OPT_LINK: opt.link = value; break;
        case OPT_STATE: opt.state = value; break;
        case OPT_PACE: opt.pace = true; break;
        case OPT_ANY_BAUD: opt.strictBaud = false; break;
        case OPT_CAPACITY: {
            uint64_t n = 0;
            if (!sim::parse_number(value, n) || n == 0 || n > UINT32_MAX)
                return fail("--capacity takes a number above 0");
            opt.capacity = static_cast<uint32_t>(n);
            break;
        }
        case OPT_PLACE: place = value; break;
        case OPT_FAULT: faults.push_back(value); break;
        case OPT_WIEGAND: wiegand = value; break;
        case OPT_CARD: card = value; break;
        case OPT_INPUT: raise = value; break;
        case OPT_MODULES: moduleList = value; break;
        case OPT_MODULE: moduleId = value; break;
        case ':': return usage_error("option " + std::string(argv[optind - 1]) + " needs a value");
        default: {
            const std::string word =
                optopt ? "-" + std::string(1, static_cast<char>(optopt)) : argv[optind - 1];
            return usage_error("unknown option " + word);
        }
        }
    }
    if (optind < argc) return usage_error("unexpected argument " + std::string(argv[optind]));
    if (opt.link.empty()) return usage_error("--link PATH is needed");

    // Control mode: rewrite the control file of the module serving the link.
    if (place || wiegand || card || raise || !faults.empty()) {
        if (moduleList) return usage_error("--modules starts a bus; the controls take --module ID");
        std::string path = sim::control_path(opt.link);
        if (!served(opt.link))
            return fail("no simulated module serves " + opt.link + "; start one first with --link " +
                        opt.link);
        sim::Control c;
        std::string error;
        if (moduleId) {
            uint64_t id = 0;
            if (!sim::parse_number(*moduleId, id) || id < 1 || id > 0xFFFF)
                return fail("--module takes a module ID, 1 to 65535");
            if (!sim::module_control_path(opt.link, static_cast<uint16_t>(id), path, error)) return fail(error);
        }
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

    if (moduleId) return usage_error("--module ID goes with a control (--place, --fault, ...)");
    std::vector<uint16_t> ids;
    if (moduleList) {
        std::string error;
        if (!sim::parse_module_list(*moduleList, ids, error)) return fail(error);
    }
    const LinkLock lock(opt.link);
    if (!lock.error().empty()) return fail(lock.error());
    sim::install_stop_handlers();
    std::string error;
    if (moduleList) {
        sim::Bus bus;
        if (!bus.start(opt, ids, error)) return fail(error);
        std::printf("%s\n", opt.link.c_str());
        std::fflush(stdout);
        bus.serve();
    } else {
        sim::Module module;
        if (!module.start(opt, error)) return fail(error);
        std::printf("%s\n", opt.link.c_str());
        std::fflush(stdout);
        module.serve();
    }
    std::remove(sim::control_path(opt.link).c_str());
    return 0;
}
