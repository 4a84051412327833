// What the fuzz targets share: the library set up once (trace log to
// /dev/null, keyword table), a connection opened over the in-memory far end in
// the form the input asks for, and the row tables through which each target
// drives the library's reception paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace fuzz {

// The leading bytes of an input that choose what runs; the module's bytes follow.
struct Input {
    bool network = false;
    bool hexText = false;
    bool fullOpen = false; // through the status check and parameter reads
    uint16_t row = 0;      // the header chooses up to 256 rows; a target may widen it
    uint32_t value = 0;    // a size, chunk size or parameter for the row
    uint8_t enrollMode = 0x30;
    bool scanSuccessOn = false;
    uint32_t traceMask = 0;          // what the trace log prints (to /dev/null)
    std::span<const uint8_t> module; // what the module sends
};
inline constexpr size_t INPUT_HEADER = 8;
// False when the input is too short to choose anything.
bool split_input(const uint8_t* data, size_t size, Input& out);

// One call of the library (or of a front-end step) whose answers come from the module.
struct Row {
    const char* name;
    int (*run)(const Input& in);
};

// Sets the process up once: trace log and standard output to /dev/null, keyword table.
void setup_once();
// Opens the connection over the far end loaded with in.module; false when the opening failed.
bool open_link(const Input& in);
// Runs one row of `table` (chosen by in.row) between open_link and module_close.
void run_row(std::span<const Row> table, const Input& in);

} // namespace fuzz
