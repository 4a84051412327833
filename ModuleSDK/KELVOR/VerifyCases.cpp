// Command cases of verification: VS, VI, VIX, VT, VH, VW, VC.
#include <algorithm>
#include <vector>

#include "Commands.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::VERIFY_CASES;
} // namespace

using namespace kelvor;

namespace {

int verify_image_file(OrvantiCom& c, bool chunked) {
    if (!c.load_bmp_input()) return FRONT_REFUSED;
    if (chunked && !c.chunk_size_usable()) return FRONT_REFUSED;
    uint32_t value = 0;
    ImageRecord& rec = image_record();
    if (chunked)
        return verify_by_image_chunked(c.param1, rec.bytes.data(), rec.size(), static_cast<uint32_t>(c.chunkSize),
                                       &value);
    return verify_by_image(c.param1, rec.bytes.data(), rec.size(), &value);
}

int verify_template_file(OrvantiCom& c, bool hostTemplates) {
    if (!c.inputFile) {
        ERR_NO_INPUT(c, "Err: No template file is defined\n");
        return FRONT_REFUSED;
    }
    // VH sends every template it announces: number x -p2 bytes, number clamped to 1..10.
    const uint64_t count = hostTemplates ? host_template_count(c.param1) : 1;
    const uint64_t want = count * c.param2;
    if (!c.data_size_usable(want)) return FRONT_REFUSED;
    std::vector<uint8_t> data;
    if (want > static_cast<uint64_t>(std::max<int64_t>(c.inputSize, 0)) ||
        !c.read_input(data, static_cast<size_t>(want))) {
        ERR_LINE("Err: Cannot read template data %#x\n", c.param2);
        return FRONT_REFUSED;
    }
    uint32_t value = 0;
    if (hostTemplates) return verify_by_host_templates(c.param1, data.data(), c.param2);
    return verify_by_template(c.param1, data.data(), c.param2, &value);
}

constexpr CommandCase CASES[] = {
    {packet::cmd::VS,
     [](OrvantiCom& c) {
         uint32_t value = 0;
         return verify_by_scan(c.param1, &value);
     }},
    {packet::cmd::VI, [](OrvantiCom& c) { return verify_image_file(c, false); }},
    {packet::cmd::VIX, [](OrvantiCom& c) { return verify_image_file(c, true); }},
    {packet::cmd::VT, [](OrvantiCom& c) { return verify_template_file(c, false); }},
    {packet::cmd::VH, [](OrvantiCom& c) { return verify_template_file(c, true); }},
    {packet::cmd::VW,
     [](OrvantiCom&) {
         uint32_t id = 0, value = 0;
         return verify_by_wiegand(&id, &value);
     }},
    {packet::cmd::VC,
     [](OrvantiCom& c) {
         uint32_t id = 0, value = 0;
         return verify_by_smartcard(c.flag, &id, &value);
     }},
};

} // namespace

std::span<const CommandCase> verify_cases() { return CASES; }
