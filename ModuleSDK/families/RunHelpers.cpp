// What the runners of the families share: the host's own lines of an
// outcome, the request's input, the data received into the output; and the
// runners made from descriptions, of plain commands and of rows that no
// family registers.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>

#include "engine/Tables.h"
#include "families/Run.h"
#include "link/Blocks.h"
#include "trace/Format.h"
#include "trace/Outcome.h"

namespace kelvor {

namespace run {

namespace {

void keep_host_line(Outcome& out, HostCheck check, std::string text) {
    outcome::message(text);
    out.hostLine = std::move(text);
    out.hostCheck = check;
}

} // namespace

int host_line(Outcome& out, HostCheck check, int result, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatted(format, args);
    va_end(args);
    keep_host_line(out, check, std::move(text));
    return result;
}

int refuse(Outcome& out, HostCheck check, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatted(format, args);
    va_end(args);
    keep_host_line(out, check, std::move(text));
    out.hostRefused = true;
    return RES_DATA_ERROR;
}

std::span<const uint8_t> input_of(const CommandRequest& r) {
    return r.input ? *r.input : std::span<const uint8_t>();
}

bool input_at_least(const CommandRequest& r, Outcome& out, uint64_t n) {
    if (input_of(r).size() >= n) return true;
    refuse(out, HOST_CHECK_REQUESTED, "Err: The input holds %#zx bytes, fewer than %#llx\n",
           input_of(r).size(), static_cast<unsigned long long>(n));
    return false;
}

std::vector<uint8_t> input_padded(const CommandRequest& r, size_t n) {
    const std::span<const uint8_t> in = input_of(r);
    std::vector<uint8_t> bytes(n, 0);
    std::copy_n(in.begin(), std::min(n, in.size()), bytes.begin());
    return bytes;
}

bool image_input(const CommandRequest& r, Outcome& out, uint32_t& size) {
    const std::span<const uint8_t> in = input_of(r);
    if (!input_at_least(r, out, IMAGE_HEADER_SIZE)) return false;
    size = packet::get32(in.data() + packet::record::IMAGE_SIZE_AT);
    // An image beyond the record is the sequence's to refuse, as it is for every caller.
    return size > IMAGE_RECORD_SIZE || input_at_least(r, out, size);
}

int plain(const Plain& command, const sequence::Request& request) {
    const uint8_t code = command.sequence->command;
    trace(TRACE_CALL, "%s(%s)\n", command.call, keyword_name(KW_COMMAND, code));
    return sequence::run(*command.sequence, request);
}

sequence::Request read_of(const packet::Command& c, const CommandRequest& r) {
    return {.param1 = c.use("-p1") ? r.param1 : 0,
            .param2 = c.use("-p2") ? r.param2 : 0,
            .flag = c.use("-f") ? r.flag : uint8_t{0}};
}

int from_row(const packet::Command& c, sequence::Request request, std::span<const uint8_t> input,
             Outcome& out) {
    std::string call = std::string(c.summary) + "(" + c.keyword + ")";
    const char* separator = ": ";
    const std::pair<const char*, uint32_t> read[] = {
        {"-p1", request.param1}, {"-p2", request.param2}, {"-f", request.flag}};
    for (const auto& [option, value] : read) {
        if (!c.use(option)) continue;
        char number[16];
        std::snprintf(number, sizeof number, "%#x", value);
        call += separator;
        call += number;
        separator = " ";
    }
    trace(TRACE_CALL, "%s\n", call.c_str());
    if (input.size() > packet::limit::RAW_BYTES)
        return refuse(out, HOST_CHECK_REQUESTED, "Err: The input of %#zx bytes is beyond %#x\n", input.size(),
                      packet::limit::RAW_BYTES);
    const sequence::Sequence s{.command = c.code,
                               .transfer =
                                   input.empty() ? sequence::Transfer::None : sequence::Transfer::Block,
                               .answer = answers::busyOrUnknown};
    request.data = input.data();
    request.size = static_cast<uint32_t>(input.size());
    return sequence::run(s, request);
}

int receive_output(Outcome& out, uint64_t bytes) {
    out.output.assign(static_cast<size_t>(bytes), 0);
    const int rc = receive_data(out.output);
    out.outputTaken = rc == 0;
    return rc;
}

} // namespace run

} // namespace kelvor
