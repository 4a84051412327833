// The dispatcher: a command's case prepares its input from the command line's
// files, the library runs the command (run_command), and the case does what
// the front end does with the outcome; a code that no command of the library
// has goes out as a raw packet.
#include <array>

#include "Commands.h"
#include "Json.h"
#include "Remote.h"

using namespace kelvor;

namespace {

// The dispatcher's one table: every family's cases, searched by command code.
const std::array<const CommandCase*, 256>& case_table() {
    static const std::array<const CommandCase*, 256> table = [] {
        std::array<const CommandCase*, 256> t{};
        const std::span<const CommandCase> families[] = {
            image_cases(),     enroll_cases(),
            verify_cases(),    identify_cases(),
            firmware_cases(),  database_cases(),
            event_log_cases(), clock_cases(),
            ports_cases(),     enroll_by_wiegand_card_cases(),
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

// A command without a case of its own: what it took for its output file, as
// it came, when its description has one (RT appends the templates it got, even
// when the last did not come).
int write_taken_output(OrvantiCom& c, const Outcome& o, int result) {
    const packet::Command* d = packet::command_of(c.command);
    if (!d || !o.outputTaken) return result;
    if (d->files.output != packet::FileRole::Data && d->files.output != packet::FileRole::Templates)
        return result;
    if (c.write_output(o.output.data(), o.output.size())) return result;
    return result == 0 ? FRONT_REFUSED : result;
}

} // namespace

bool has_command_case(uint8_t code) {
    const packet::Command* d = packet::command_of(code);
    return d != nullptr && d->family != packet::Family::Raw;
}

int OrvantiCom::run_case() {
    const CommandCase* found = case_table()[command];
    CaseInput input;
    const bool prepared = has_command_case(command)
                              ? !found || !found->prepare || found->prepare(*this, input)
                              : raw_prepare(*this, input);
    if (!prepared) return input.refusal;
    CommandRequest request;
    request.code = command;
    request.param1 = param1;
    request.param2 = param2;
    request.flag = flag;
    request.chunkSize = static_cast<uint32_t>(chunkSize);
    if (input.given) request.input = std::span<const uint8_t>(input.bytes);
    // Values and the module's text lines are the objects' of --json.
    request.values = json_output::on();
    request.keepText = json_output::on();
    run_command(request, outcome);
    json_output::take(outcome);
    const int result = outcome.hostRefused ? FRONT_REFUSED : outcome.result;
    if (!outcome.hostLine.empty())
        err_line(host_check_site(command, outcome.hostCheck), "%s", outcome.hostLine.c_str());
    if (found && found->finish) return found->finish(*this, outcome, result);
    return write_taken_output(*this, outcome, result);
}

void OrvantiCom::dispatch() {
    if (!json_output::command_open()) json_output::command_begin();
    if (!output_creatable())
        lastResult = FRONT_REFUSED;
    else if (remote::active())
        lastResult = remote::forward(*this);
    else
        lastResult = run_case();
    note_result(lastResult);
    inputFile.reset();
    outputFile.reset();
    json_output::command_end(*this, lastResult);
}
