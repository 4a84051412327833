// What the runners of the families share: the host's own lines of an
// outcome, the request's input, the data received into the output.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

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

int receive_output(Outcome& out, uint64_t bytes) {
    out.output.assign(static_cast<size_t>(bytes), 0);
    const int rc = receive_data(out.output);
    out.outputTaken = rc == 0;
    return rc;
}

} // namespace run

} // namespace kelvor
