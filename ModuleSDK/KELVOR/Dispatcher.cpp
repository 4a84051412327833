// The dispatcher: one table of every family's command cases, searched by
// command code; codes without a case go out as raw packets.
#include "OrvantiCom.h"

#include <array>

#include "Commands.h"
#include "Json.h"
#include "Remote.h"

using namespace kelvor;

namespace {

// The dispatcher's one table: every family's rows, searched by command code.
// Codes without a row go to raw packet mode.
const std::array<const CommandCase*, 256>& command_table() {
    static const std::array<const CommandCase*, 256> table = [] {
        std::array<const CommandCase*, 256> t{};
        const std::span<const CommandCase> families[] = {
            system_cases(),    image_cases(),      enroll_cases(), verify_cases(),
            identify_cases(),  firmware_cases(),   admin_cases(),  database_cases(),
            event_log_cases(), clock_cases(),      ports_cases(),  enroll_by_wiegand_card_cases(),
            wiegand_cases(),   smart_card_cases(),
        };
        for (const auto& family : families) {
            for (const CommandCase& row : family) {
                if (!t[row.code]) t[row.code] = &row;
            }
        }
        return t;
    }();
    return table;
}

} // namespace

bool has_command_case(uint8_t code) {
    return command_table()[code] != nullptr;
}

void OrvantiCom::dispatch() {
    if (!json_output::command_open()) json_output::command_begin();
    if (!output_creatable())
        lastResult = FRONT_REFUSED;
    else if (remote::active())
        lastResult = remote::forward(*this);
    else if (const CommandCase* found = command_table()[command])
        lastResult = found->run(*this);
    else
        raw_packet_mode();
    note_result(lastResult);
    inputFile.reset();
    outputFile.reset();
    json_output::command_end(*this, lastResult);
}
