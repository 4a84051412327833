// Answer reception in plain, network and hex-text form through every command
// of the command table (packet::COMMANDS), each in two rows made from its
// table row: "SS" runs the request through run_command, as a program of the
// library runs it; "SS case" runs it through its case with the input in
// memory and the output collected (tools::run_with_files), as the tool, the
// service and the Python package run it. A command added to the table is
// fuzzed in both without a row written here.
//
// The rows written by hand fuzz what is no command of the table: raw packet
// mode of codes without a command, the response monitor, what a module sends
// on its own between commands, and the data steps of LT, OL and GR called
// without the answer that announces their data.
//
// After the harness's header, an input of this target holds the rest of the
// request (REQUEST_HEADER bytes), then the module's bytes: see split_request.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "CommandFiles.h"
#include "Harness.h"
#include "OrvantiCom.h"
#include "families/Run.h"
#include "image/Bmp.h"

using namespace kelvor;

namespace {

using fuzz::Input;
using packet::COMMANDS;
constexpr size_t COMMAND_COUNT = std::size(COMMANDS);

// The request beyond the harness's header: Param1 is the header's value and
// the flag its mode byte; these bytes give Param2, how far the input bytes
// are from the command's own size, whether there are any, and the high byte
// of the row's number.
struct Request {
    uint32_t param2 = 0;
    int16_t sizeDelta = 0;
    bool noInput = false;
    bool quiet = false; // no values or module text lines recorded (the tool without --json)
};
constexpr size_t REQUEST_HEADER = 8;
constexpr uint8_t NO_INPUT = 0x01;
constexpr uint8_t QUIET = 0x02;
Request request_bytes;

// False when the input is too short to hold the request.
bool split_request(Input& in) {
    if (in.module.size() < REQUEST_HEADER) return false;
    const uint8_t* b = in.module.data();
    request_bytes.param2 = packet::get32(b);
    request_bytes.sizeDelta = static_cast<int16_t>(b[4] | b[5] << 8);
    request_bytes.noInput = b[6] & NO_INPUT;
    request_bytes.quiet = b[6] & QUIET;
    in.row = static_cast<uint16_t>(in.row | b[7] << 8);
    in.module = in.module.subspan(REQUEST_HEADER);
    return true;
}

// The most a command's input may hold before run_command refuses it: its
// size when it has one, its most, or what its kind of data may take.
constexpr uint32_t input_most(const packet::Files& f) {
    if (f.inputBytes != 0) return f.inputBytes;
    if (f.inputMost != 0) return f.inputMost;
    return f.input == packet::FileRole::Image ? static_cast<uint32_t>(IMAGE_RECORD_SIZE)
                                              : packet::limit::RAW_BYTES;
}

constexpr uint32_t INPUT_ROOM = [] {
    uint32_t most = 0;
    for (const packet::Command& c : COMMANDS)
        if (c.files.input != packet::FileRole::None) most = std::max(most, input_most(c.files));
    return most + 1;
}();

// The input bytes of command `c`: none when it takes none or the request says
// so; else its own size (or Param2, the length most commands give, within
// its most) moved by the request's delta, from nothing up to one byte beyond
// its most. Zeros, but for the image record's size word: Param2 (the image
// commands read no Param2 of their own).
std::optional<std::span<const uint8_t>> input_bytes(const packet::Command& c, uint32_t param2) {
    static std::vector<uint8_t> room(INPUT_ROOM, 0);
    if (c.files.input == packet::FileRole::None || request_bytes.noInput) return std::nullopt;
    const int64_t most = input_most(c.files);
    const int64_t natural = c.files.inputBytes != 0 ? c.files.inputBytes : std::min<int64_t>(param2, most);
    const int64_t n = std::clamp<int64_t>(natural + request_bytes.sizeDelta, 0, most + 1);
    const uint32_t sizeWord = c.files.input == packet::FileRole::Image ? param2 : 0;
    packet::put32(room.data() + packet::record::IMAGE_SIZE_AT, sizeWord);
    return std::span<const uint8_t>(room.data(), static_cast<size_t>(n));
}

CommandRequest request_of(const packet::Command& c, const Input& in) {
    CommandRequest r;
    r.code = c.code;
    r.param1 = in.value;
    r.param2 = request_bytes.param2;
    r.flag = in.enrollMode;
    r.chunkSize = (in.value >> 20) + 1;
    r.input = input_bytes(c, r.param2);
    r.values = !request_bytes.quiet;
    r.keepText = !request_bytes.quiet;
    return r;
}

Outcome& outcome() {
    static Outcome out; // its room kept from run to run, as a batch keeps it
    return out;
}

// COMMANDS[I] through run_command.
template <size_t I> int command_row(const Input& in) {
    run_command(request_of(COMMANDS[I], in), outcome());
    return outcome().result;
}

// The file of an image command's case: a BMP of zeros, its width and height
// from Param2's low bytes, cut or lengthened by the request's delta.
std::span<const uint8_t> bmp_input(uint32_t param2) {
    static std::vector<uint8_t> gray;
    static std::vector<uint8_t> file;
    static uint32_t made = 0xFFFFFFFF;
    static std::vector<uint8_t> sized;
    const uint32_t dims = param2 & 0xFFFF;
    if (dims != made) {
        const int width = static_cast<int>(dims & 0xFF) + 1, height = static_cast<int>(dims >> 8) + 1;
        gray.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
        file.clear();
        bmp_encode(gray.data(), width, height, file);
        made = dims;
    }
    const int64_t n = std::clamp<int64_t>(static_cast<int64_t>(file.size()) + request_bytes.sizeDelta, 0,
                                          static_cast<int64_t>(file.size()) + 1);
    sized.assign(file.begin(), file.begin() + std::min<int64_t>(n, static_cast<int64_t>(file.size())));
    sized.resize(static_cast<size_t>(n), 0);
    return sized;
}

// COMMANDS[I] through its case, the output collected in memory.
template <size_t I> int case_row(const Input& in) {
    const packet::Command& c = COMMANDS[I];
    CommandRequest r = request_of(c, in);
    if (r.input && c.files.input == packet::FileRole::Image) r.input = bmp_input(r.param2);
    tools::CommandCall call;
    call.command = r.code;
    call.param1 = r.param1;
    call.param2 = r.param2;
    call.flag = r.flag;
    call.chunkSize = static_cast<int>(r.chunkSize);
    if (r.input) {
        call.input.bytes = r.input;
        call.input.size = static_cast<int64_t>(r.input->size());
        call.input.path = "in";
    }
    call.output.collect = true;
    call.output.path = "out";
    call.recordFiles = !request_bytes.quiet;
    return tools::run_with_files(call, outcome(), r.values, r.keepText);
}

// The names of the case rows: the keyword, then " case".
constexpr std::string_view CASE_SUFFIX = " case";
template <size_t I> constexpr std::array<char, 16> case_name() {
    const std::string_view keyword = COMMANDS[I].keyword;
    static_assert(std::string_view(COMMANDS[I].keyword).size() + CASE_SUFFIX.size() < 16);
    std::array<char, 16> name{};
    std::copy(keyword.begin(), keyword.end(), name.begin());
    std::copy(CASE_SUFFIX.begin(), CASE_SUFFIX.end(), name.begin() + keyword.size());
    return name;
}
template <size_t I> constexpr std::array<char, 16> CASE_NAME = case_name<I>();

// Raw packet mode as run_command runs a code without a command of its own.
int raw_step(const Input& in) {
    CommandRequest request;
    request.code = static_cast<uint8_t>(in.value);
    request.param1 = in.value;
    Outcome out;
    return run::raw(request, out);
}

int front_step(const Input& in, void (OrvantiCom::*step)()) {
    OrvantiCom com({});
    com.command = static_cast<uint8_t>(in.value);
    com.param1 = in.value;
    (com.*step)();
    return 0;
}

// Buffers sized from the input's value, as callers size them from their own counts.
std::vector<uint8_t>& buffer_of(size_t n) {
    static std::vector<uint8_t> b;
    b.assign(n, 0);
    return b;
}

constexpr fuzz::Row HAND[] = {
    {"raw packet mode", raw_step},
    {"response monitor", [](const Input& in) { return front_step(in, &OrvantiCom::response_monitor); }},
    // The data that LT, OL and GR announce, received without the announcing answer.
    {"user IDs",
     [](const Input& in) {
         const uint32_t count = in.value % 0x800;
         return get_user_data(buffer_of(4 * static_cast<size_t>(count)), count);
     }},
    {"enabled events", [](const Input& in) { return get_enabled_events(buffer_of(in.value % 0x400)); }},
    {"GPIO records",
     [](const Input& in) {
         return list_gpio_records(static_cast<uint16_t>(in.value >> 16),
                                  buffer_of(GPIO_RECORD_SIZE * (in.value % 0x400)));
     }},
    // What a module sends on its own, read as the service reads it between commands.
    {"line events",
     [](const Input&) {
         LineEvent event;
         for (int n = 0; n < 4096 && link_wait_event(event, 0) > 0; ++n) {
         }
         return 0;
     }},
};
constexpr size_t HAND_COUNT = std::size(HAND);

// The rows: each command through run_command, each through its case, then the hand-written ones.
template <size_t... I> constexpr auto rows_of(std::index_sequence<I...>) {
    std::array<fuzz::Row, 2 * COMMAND_COUNT + HAND_COUNT> rows{{
        {COMMANDS[I].keyword, command_row<I>}...,
        {CASE_NAME<I>.data(), case_row<I>}...,
    }};
    std::copy(std::begin(HAND), std::end(HAND), rows.begin() + 2 * COMMAND_COUNT);
    return rows;
}
constexpr auto ROWS = rows_of(std::make_index_sequence<COMMAND_COUNT>());

// Every row of the command table has its two rows, by its keyword; no
// hand-written row stands for a command of the table; every row can be chosen.
consteval bool every_command_fuzzed() {
    for (size_t i = 0; i < COMMAND_COUNT; ++i) {
        const std::string_view keyword = COMMANDS[i].keyword;
        if (std::string_view(ROWS[i].name) != keyword) return false;
        const std::string_view name = ROWS[COMMAND_COUNT + i].name;
        if (!name.starts_with(keyword) || name.substr(keyword.size()) != CASE_SUFFIX) return false;
    }
    for (const fuzz::Row& hand : HAND)
        if (packet::command_named(hand.name) != nullptr) return false;
    return ROWS.size() <= 0x10000;
}
static_assert(every_command_fuzzed(), "a row of packet::COMMANDS has no fuzz row");

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::setup_once();
    Input in;
    if (!fuzz::split_input(data, size, in) || !split_request(in)) return 0;
    fuzz::run_row(ROWS, in);
    return 0;
}
