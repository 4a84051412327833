// Command cases of enrollment by scan, image and template: ES, ESA, EI, EIX,
// ET, ETX, with the per-file handlers that directory mode also runs.
#include <algorithm>
#include <vector>

#include "Commands.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::ENROLL_CASES;
} // namespace

using namespace kelvor;

int OrvantiCom::enroll_image_file() {
    if (!load_bmp_input()) return FRONT_REFUSED;
    uint32_t id = 0;
    return enroll_by_image(param1, image_record().bytes.data(), image_record().size(), flag, &id);
}

int OrvantiCom::enroll_image_file_chunked() {
    if (!load_bmp_input() || !chunk_size_usable()) return FRONT_REFUSED;
    uint32_t id = 0;
    return enroll_by_image_chunked(param1, image_record().bytes.data(), image_record().size(), flag,
                                   static_cast<uint32_t>(chunkSize), &id);
}

int OrvantiCom::enroll_template_file() {
    if (!inputFile) {
        ERR_NO_INPUT(*this, "Err: No template file is defined\n");
        return FRONT_REFUSED;
    }
    if (!data_size_usable(param2)) return FRONT_REFUSED;
    // At most -p2 bytes, and never more than the file holds.
    std::vector<uint8_t> data(std::min<size_t>(param2, static_cast<size_t>(std::max<int64_t>(inputSize, 0))));
    data.resize(std::fread(data.data(), 1, data.size(), inputFile.get()));
    uint32_t id = 0;
    return enroll_by_template(param1, data.data(), static_cast<uint32_t>(data.size()), flag, &id);
}

namespace {

int enroll_templates_chunked(OrvantiCom& c) {
    if (!c.inputFile) {
        ERR_NO_INPUT(c, "Err: No template file is defined\n");
        return FRONT_REFUSED;
    }
    const uint16_t size = static_cast<uint16_t>(c.param2 & 0xFFFF);
    const uint16_t count = static_cast<uint16_t>(c.param2 >> 16);
    // N bytes are sent whatever the file holds; what it lacks is zeros.
    std::vector<uint8_t> data;
    c.read_input(data, size);
    uint32_t id = 0;
    return enroll_by_templates_chunked(c.param1, data.data(), count, size, c.flag, &id);
}

constexpr CommandCase CASES[] = {
    {packet::cmd::ES,
     [](OrvantiCom& c) {
         uint32_t id = 0;
         return enroll_by_scan(c.param1, c.flag, &id);
     }},
    {packet::cmd::ESA,
     [](OrvantiCom& c) {
         uint32_t id = 0;
         return enroll_by_scan_with_admin(c.param1, c.flag, &id);
     }},
    {packet::cmd::EI, [](OrvantiCom& c) { return c.enroll_image_file(); }},
    {packet::cmd::EIX, [](OrvantiCom& c) { return c.enroll_image_file_chunked(); }},
    {packet::cmd::ET, [](OrvantiCom& c) { return c.enroll_template_file(); }},
    {packet::cmd::ETX, enroll_templates_chunked},
};

} // namespace

std::span<const CommandCase> enroll_cases() { return CASES; }
