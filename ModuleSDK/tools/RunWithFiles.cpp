// The run of one command through its case: the table of the cases, and a
// code without a command of the library's own as a raw packet.
#include <array>

#include "Cases.h"
#include "CommandFiles.h"
#include "trace/Outcome.h"

using namespace kelvor;

namespace tools {

namespace {

// A code that no command of the library has, LC and EV: the call line names
// the input's descriptor; -p2 bytes of the input (what it lacks as zeros) go
// after the packet as data.
bool raw_prepare(CommandCall& c, CaseInput& input) {
    trace(TRACE_CALL, "Send Command: %#x Param1: %#x Param2: %#x Flag: %#x %#x\n", c.command, c.param1,
          c.param2, c.flag, c.input.present() ? c.input.descriptor : 0);
    if (!c.input.present()) return true;
    if (c.param2 > RAW_BUFFER) {
        err_line(err_site::RAW_CALL_DATA_TOO_LARGE,
                 "Err: Raw data of %#x bytes exceeds the buffer of %#x bytes\n", c.param2, RAW_BUFFER);
        return false;
    }
    std::vector<uint8_t> data;
    c.read_input(data, c.param2);
    input.take(std::move(data));
    return true;
}

// The case of a command whose input or output is an image, by that role:
// the BMP file in (in chunks when the command takes a chunk size) or out.
constexpr CommandCase image_case(const packet::Command& d) {
    CommandCase c{d.code};
    if (d.files.input == packet::FileRole::Image) c.prepare = d.use("-s") ? chunked_image_input : image_input;
    if (d.files.output == packet::FileRole::Image) c.finish = image_output;
    return c;
}

constexpr bool has_image_role(const packet::Command& d) {
    return d.files.input == packet::FileRole::Image || d.files.output == packet::FileRole::Image;
}

constexpr size_t image_commands() {
    size_t n = 0;
    for (const packet::Command& d : packet::COMMANDS) n += has_image_role(d);
    return n;
}

// The image cases, one for each command of an image role, in the order of the rows.
const std::array<CommandCase, image_commands()> IMAGE_CASES = [] {
    std::array<CommandCase, image_commands()> t{};
    size_t i = 0;
    for (const packet::Command& d : packet::COMMANDS)
        if (has_image_role(d)) t[i++] = image_case(d);
    return t;
}();

// Every family's cases, by command code, and the image cases where a family
// has none: built before the program runs.
std::array<const CommandCase*, 256> build_case_table() {
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
    for (const CommandCase& row : IMAGE_CASES)
        if (!t[row.code]) t[row.code] = &row;
    return t;
}
const std::array<const CommandCase*, 256> CASE_TABLE = build_case_table();

// A command without a case of its own: what it took for its output, as it
// came, when its description has one (RT appends the templates it got, even
// when the last did not come).
int write_taken_output(CommandCall& c, const Outcome& o, int result) {
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

int run_with_files(CommandCall& call, Outcome& outcome, bool values, bool keepText) {
    const CommandCase* found = CASE_TABLE[call.command];
    // The host's error lines are the outcome's message, as the library's own lines are.
    outcome_empty(outcome);
    outcome::Scope scope(outcome, outcome::Recording{values, keepText});
    CaseInput input;
    const bool prepared = has_command_case(call.command)
                              ? !found || !found->prepare || found->prepare(call, input)
                              : raw_prepare(call, input);
    if (!prepared) return input.refusal;
    // A message the preparation recorded stays unless the command records its
    // own (a preparation reads no module, so no module text line comes before).
    const bool preparedMessage = outcome.hasMessage;
    std::string message;
    if (preparedMessage) message = std::move(outcome.message);
    CommandRequest request;
    request.code = call.command;
    request.param1 = call.param1;
    request.param2 = call.param2;
    request.flag = call.flag;
    request.chunkSize = static_cast<uint32_t>(call.chunkSize);
    if (input.given) request.input = std::span<const uint8_t>(input.bytes);
    request.values = values;
    request.keepText = keepText;
    run_command(request, outcome);
    if (!outcome.hasMessage && preparedMessage) {
        outcome.message = std::move(message);
        outcome.hasMessage = true;
    }
    const int result = outcome.hostRefused ? FRONT_REFUSED : outcome.result;
    if (!outcome.hostLine.empty())
        err_line(host_check_site(call.command, outcome.hostCheck), "%s", outcome.hostLine.c_str());
    if (found && found->finish) return found->finish(call, outcome, result);
    return write_taken_output(call, outcome, result);
}

} // namespace tools
