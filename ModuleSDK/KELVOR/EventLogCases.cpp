// Command cases of the event log and the user memory: LN, LR, LD, ML, MW, MR.
#include <algorithm>
#include <vector>

#include "Commands.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::EVENT_LOG_CASES;
} // namespace

using namespace kelvor;

namespace {

// Most log records one upload takes, and the largest user memory block the
// tool reads from the module.
constexpr uint32_t LOG_RECORDS_MAX = packet::describe("LR").use("-p2")->most;
constexpr uint32_t USER_MEMORY_MAX = packet::describe("MR").announced.most;

int upload_log(OrvantiCom& c) {
    // A count of 0 asks for nothing: no trace line, no packet.
    if (c.param2 == 0) return 0;
    if (c.param2 > LOG_RECORDS_MAX) {
        ERR_LINE("Err: Log record count %#x is beyond %#x\n", c.param2, LOG_RECORDS_MAX);
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> records(static_cast<size_t>(c.param2) * LOG_RECORD_SIZE);
    uint32_t n = 0;
    if (const int rc = read_log(records, c.param1, c.param2, &n); rc != 0) return rc;
    return c.write_output(records.data(), static_cast<size_t>(n) * LOG_RECORD_SIZE) ? 0 : FRONT_REFUSED;
}

int write_memory(OrvantiCom& c) {
    if (!c.inputFile) {
        ERR_NO_INPUT(c, "Err: No input file is given\n");
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> data;
    if (c.param2 > static_cast<uint32_t>(std::max<int64_t>(c.inputSize, 0)) ||
        !c.read_input(data, c.param2)) {
        ERR_LINE("Err: Cannot read the user data\n");
        return FRONT_REFUSED;
    }
    return write_user_memory(data.data(), c.param1, c.param2);
}

int read_memory(OrvantiCom& c) {
    uint32_t length = 0;
    if (const int rc = read_user_memory(c.param1, c.param2, &length); rc != 0 || length == 0) return rc;
    // The module sends no more than was asked for; a longer block is not taken.
    if (length > c.param2 || length > USER_MEMORY_MAX) {
        ERR_LINE("Err: Cannot read the user data from the module\n");
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> data(length);
    if (const int rc = receive_data(data); rc != 0) {
        ERR_LINE("Err: Cannot read the user data from the module\n");
        return rc;
    }
    return c.write_output(data.data(), data.size()) ? 0 : FRONT_REFUSED;
}

constexpr CommandCase CASES[] = {
    {packet::cmd::LN,
     [](OrvantiCom&) {
         uint32_t used = 0, total = 0;
         return get_log_count(&used, &total);
     }},
    {packet::cmd::LR, upload_log},
    {packet::cmd::LD,
     [](OrvantiCom& c) {
         uint32_t deleted = 0;
         return delete_log(c.param1, &deleted);
     }},
    {packet::cmd::ML,
     [](OrvantiCom&) {
         uint32_t length = 0;
         return get_user_memory_length(&length);
     }},
    {packet::cmd::MW, write_memory},
    {packet::cmd::MR, read_memory},
};

} // namespace

std::span<const CommandCase> event_log_cases() {
    return CASES;
}
