// Writes the station page's vocabulary (vocabulary.js) from the command rows
// and the system parameters, when kelvord is built: the page takes the codes,
// the layouts of parameters made of several values, and the parameters'
// numbers from here, not from constants of its own.
//   kelvord-vocabulary OUTPUT
#include <cstdio>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "protocol/Commands.h"
#include "protocol/Packet.h"

using namespace kelvor::packet;

namespace {

nlohmann::json vocabulary() {
    nlohmann::json commands = nlohmann::json::object();
    for (const Command& c : COMMANDS) {
        nlohmann::json fields = nlohmann::json::object();
        for (const OptionUse& u : c.uses) {
            if (!u.option) break;
            if (u.fields.empty()) continue;
            nlohmann::json layout = nlohmann::json::array();
            for (const BitField& f : u.fields)
                layout.push_back({{"name", f.name}, {"shift", f.shift}, {"bits", f.bits}});
            fields[u.option] = layout;
        }
        commands[c.keyword] = {{"code", c.code},
                               {"fields", fields},
                               {"scans_finger", c.has(trait::SCANS_FINGER)},
                               {"takes_directory", c.has(trait::TAKES_DIRECTORY)}};
    }
    nlohmann::json parameters = nlohmann::json::object();
    for (const Parameter& p : PARAMETERS) parameters[p.name] = p.number;
    nlohmann::json enrollOptions = nlohmann::json::object();
    for (const Named& o : ENROLL_OPTIONS) enrollOptions[o.name] = o.code;
    return {{"commands", commands},
            {"parameters", parameters},
            {"enroll_options", enrollOptions},
            {"settings", {{"off", setting::OFF}, {"on", setting::ON}}}};
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kelvord-vocabulary OUTPUT\n");
        return 2;
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << "// Made from the command rows when kelvord is built: edit the rows, not this file.\n"
        << "'use strict';\n"
        << "window.KELVOR_VOCABULARY = Object.freeze(" << vocabulary().dump() << ");\n";
    out.close();
    if (!out) {
        std::fprintf(stderr, "kelvord-vocabulary: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
