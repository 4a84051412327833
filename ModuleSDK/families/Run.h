// How run_command carries out a request: each family file registers, beside
// its sequences, one runner per command that maps the request onto the
// family's call and receives what the module announces (within the limits of
// the command's description) into the outcome's output.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "ModuleSDK.h"
#include "engine/Sequence.h"

namespace kelvor {

namespace run {

// Runs the request; returns its result. Host lines and output go to `out`.
using Runner = int (*)(const CommandRequest& request, Outcome& out);

// A command that its sequence alone carries out: the call line, "CALL(KW)",
// then the sequence with the request's Param1, Param2 and flag. The family
// writes no runner for it; run_command runs it from this.
struct Plain {
    const sequence::Sequence* sequence;
    const char* call;
};

// Runs a plain command with the values of one call.
int plain(const Plain& command, const sequence::Request& request = {});

// A command of the family: its runner, or its plain description.
struct Registration {
    uint8_t code;
    Runner run = nullptr;
    const Plain* plain = nullptr;
};

// What run_command does with a code: the registration of the first family
// that has the code (an empty one where no family has it).
const Registration& registration_of(uint8_t code);

// Each family's runners.
std::span<const Registration> system_runs();
std::span<const Registration> image_runs();
std::span<const Registration> enroll_runs();
std::span<const Registration> verify_runs();
std::span<const Registration> identify_runs();
std::span<const Registration> database_runs();
std::span<const Registration> admin_runs();
std::span<const Registration> firmware_runs();
std::span<const Registration> event_log_runs();
std::span<const Registration> clock_runs();
std::span<const Registration> ports_runs();
std::span<const Registration> wiegand_runs();
std::span<const Registration> smart_card_runs();
std::span<const Registration> enroll_by_wiegand_card_runs();
// A command of the rows that its family does not register: its call line
// (its summary, then the values of the options it reads), the request's
// Param1, Param2 and flag, and its input as one data block where it takes
// one; the answer judged as a command the module can only refuse for being
// busy. Its row has no output file: a command that sends data back has a
// runner of its family.
int from_row(const packet::Command& command, sequence::Request request, std::span<const uint8_t> input,
             Outcome& out);
// The request's Param1, Param2 and flag where the command reads them; 0 where it does not.
sequence::Request read_of(const packet::Command& command, const CommandRequest& request);
// A code without a command: a raw packet, its answer and what follows. The
// commands of the Raw family go out so too.
int raw(const CommandRequest& request, Outcome& out);

// A line of the host's own in the outcome (and its message): what kelvor
// prints as its own error line. Returns `result`.
int host_line(Outcome& out, HostCheck check, int result, const char* format, ...) KELVOR_PRINTF(4, 5);
// The host refuses the command: a host line, and RES_DATA_ERROR.
int refuse(Outcome& out, HostCheck check, const char* format, ...) KELVOR_PRINTF(3, 4);

// The request's input as bytes; empty when it has none.
std::span<const uint8_t> input_of(const CommandRequest& request);
// At least `n` bytes of input: the request's, refused (false, with a host
// line) when it has fewer.
bool input_at_least(const CommandRequest& request, Outcome& out, uint64_t n);
// The request's input, cut or filled with zero bytes to `n` bytes.
std::vector<uint8_t> input_padded(const CommandRequest& request, size_t n);

// The request's input as an image record, and the image size its header
// gives (the bytes sent, from the record's first byte); false with a host
// line when the input holds fewer.
bool image_input(const CommandRequest& request, Outcome& out, uint32_t& size);

// A data block of `bytes` that the module announced (the caller checked them
// against the command's limit), received into the outcome's output.
int receive_output(Outcome& out, uint64_t bytes);

} // namespace run

} // namespace kelvor
