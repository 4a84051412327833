// Command cases of identification: IS, II, IIX, IT, with the per-file
// handlers that directory mode also runs.
#include <algorithm>
#include <vector>

#include "Commands.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::IDENTIFY_CASES;
} // namespace

using namespace kelvor;

int OrvantiCom::identify_image_file() {
    if (!load_bmp_input()) return FRONT_REFUSED;
    uint32_t id = 0, value = 0;
    return identify_by_image(0, 0, image_record().bytes.data(), image_record().size(), &id, &value);
}

int OrvantiCom::identify_image_file_chunked() {
    if (!load_bmp_input() || !chunk_size_usable()) return FRONT_REFUSED;
    uint32_t id = 0, value = 0;
    return identify_by_image_chunked(0, 0, image_record().bytes.data(), image_record().size(),
                                     static_cast<uint32_t>(chunkSize), &id, &value);
}

int OrvantiCom::identify_template_file() {
    if (!inputFile) {
        ERR_NO_INPUT(*this, "Err: No template file is defined\n");
        return FRONT_REFUSED;
    }
    if (!data_size_usable(param2)) return FRONT_REFUSED;
    std::vector<uint8_t> data(std::min<size_t>(param2, static_cast<size_t>(std::max<int64_t>(inputSize, 0))));
    data.resize(std::fread(data.data(), 1, data.size(), inputFile.get()));
    uint32_t id = 0, value = 0;
    return identify_by_template(0, 0, data.data(), static_cast<uint32_t>(data.size()), &id, &value);
}

namespace {

constexpr CommandCase CASES[] = {
    {packet::cmd::IS,
     [](OrvantiCom&) {
         uint32_t id = 0, value = 0;
         return identify_by_scan(0, 0, &id, &value);
     }},
    {packet::cmd::II, [](OrvantiCom& c) { return c.identify_image_file(); }},
    {packet::cmd::IIX, [](OrvantiCom& c) { return c.identify_image_file_chunked(); }},
    {packet::cmd::IT, [](OrvantiCom& c) { return c.identify_template_file(); }},
};

} // namespace

std::span<const CommandCase> identify_cases() { return CASES; }
