// Data moving between the packets: data blocks received, chunks sent and
// acknowledged, images received whole or in chunks, after the image commands'
// answers as the front end receives them. One row per reception path.
#include <array>
#include <vector>

#include "Harness.h"
#include "ModuleSDK.h"

using namespace kelvor;

namespace {

using fuzz::Input;

std::array<uint8_t, IMAGE_RECORD_SIZE>& record() {
    static std::array<uint8_t, IMAGE_RECORD_SIZE> r{};
    return r;
}

// An image command and the reception of what it announced, as the image cases run them.
int image_then_data(int (*command)(uint32_t, uint32_t*), const Input& in, bool chunked) {
    uint32_t size = 0;
    if (int rc = command(in.value & 0xFFFF, &size); rc != 0) return rc;
    return chunked ? receive_image_chunks(ImageRecordBytes(record()), size)
                   : receive_image(ImageRecordBytes(record()), size);
}

const fuzz::Row ROWS[] = {
    {"data block",
     [](const Input& in) {
         std::vector<uint8_t> buffer(in.value % 0x10001);
         return receive_data(buffer);
     }},
    {"chunks sent",
     [](const Input& in) {
         return send_data_chunks(0x80, record().data(), in.value & 0xFFFF, (in.value >> 16) + 1);
     }},
    {"image", [](const Input& in) { return receive_image(ImageRecordBytes(record()), in.value); }},
    {"image chunks",
     [](const Input& in) { return receive_image_chunks(ImageRecordBytes(record()), in.value); }},
    {"SI",
     [](const Input& in) {
         return image_then_data([](uint32_t, uint32_t* s) { return scan_image(s); }, in, false);
     }},
    {"RI",
     [](const Input& in) {
         return image_then_data([](uint32_t, uint32_t* s) { return read_image(s); }, in, false);
     }},
    {"SIX", [](const Input& in) { return image_then_data(scan_image_chunked, in, true); }},
    {"RIX", [](const Input& in) { return image_then_data(read_image_chunked, in, true); }},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::setup_once();
    Input in;
    if (!fuzz::split_input(data, size, in)) return 0;
    fuzz::run_row(ROWS, in);
    return 0;
}
