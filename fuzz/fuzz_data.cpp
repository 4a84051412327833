// Data moving between the packets: data blocks received, chunks sent and
// acknowledged, images received whole or in chunks, after the image commands'
// answers as the front end receives them, and the data blocks, lists and
// records that follow the answers of the template database, administrator,
// Wiegand, smart card, event log, user memory and port commands, and the
// firmware's acknowledged chunks. One row per reception path.
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

// A command that announces a data block, then the block's reception into a
// buffer of the announced size, as the front end does below its own limit.
int announced_then_data(int (*command)(const Input&, uint32_t*), const Input& in) {
    uint32_t size = 0;
    if (int rc = command(in, &size); rc != 0) return rc;
    if (size > 0x10000) return 0;
    std::vector<uint8_t> data(size);
    return receive_data(data);
}

// A buffer sized from a count the module announced, capped as the front end caps it.
std::vector<uint8_t>& buffer_of(size_t n) {
    static std::vector<uint8_t> b;
    b.assign(n, 0);
    return b;
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
    {"UG chunks",
     [](const Input& in) {
         return upgrade_firmware(record().data(), in.value & 0xFFFF, (in.value >> 16) + 1);
     }},
    {"RT data",
     [](const Input& in) {
         return announced_then_data([](const Input& i, uint32_t* s) { return read_template(i.value, s); },
                                    in);
     }},
    {"ST data",
     [](const Input& in) {
         return announced_then_data([](const Input&, uint32_t* s) { return scan_template(s); }, in);
     }},
    {"LT list",
     [](const Input& in) {
         uint32_t count = 0;
         if (int rc = list_user_ids(0, in.value, &count); rc != 0 || count > 0x4000) return rc;
         return get_user_data(buffer_of(4 * static_cast<size_t>(count)), count);
     }},
    {"UL list",
     [](const Input& in) {
         uint32_t count = 0;
         if (int rc = list_users_by_policy(in.value, &count); rc != 0 || count > 0x4000) return rc;
         return receive_data(buffer_of(4 * static_cast<size_t>(count)));
     }},
    {"LTX records",
     [](const Input& in) {
         uint32_t number = 0;
         return read_template_info(0, buffer_of(TEMPLATE_INFO_SIZE * (in.value % 0x400)), &number);
     }},
    {"WRX data",
     [](const Input& in) {
         return announced_then_data(
             [](const Input&, uint32_t* s) {
                 WiegandFormat f;
                 const int rc = read_wiegand_format(&f);
                 *s = f.dataSize;
                 return rc;
             },
             in);
     }},
    {"CR data",
     [](const Input& in) {
         return announced_then_data(
             [](const Input& i, uint32_t* s) {
                 return read_card_templates(static_cast<uint8_t>(i.value), s);
             },
             in);
     }},
    {"LR records",
     [](const Input& in) {
         uint32_t records = 0;
         const uint32_t count = in.value % 0x400;
         return read_log(buffer_of(LOG_RECORD_SIZE * count), 0, count, &records);
     }},
    {"MR data",
     [](const Input& in) {
         return announced_then_data(
             [](const Input& i, uint32_t* s) { return read_user_memory(0, i.value & 0xFFFF, s); }, in);
     }},
    {"OL events",
     [](const Input& in) {
         uint32_t count = 0;
         if (int rc = read_enabled_events(static_cast<uint8_t>(in.value), &count); rc != 0 || count > 0x4000)
             return rc;
         return get_enabled_events(buffer_of(count));
     }},
    {"GR records",
     [](const Input& in) {
         uint16_t mode = 0;
         uint32_t count = 0;
         if (int rc = read_gpio_config(static_cast<uint16_t>(in.value), &mode, &count);
             rc != 0 || count > 0x4000)
             return rc;
         return list_gpio_records(mode, buffer_of(GPIO_RECORD_SIZE * count));
     }},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::setup_once();
    Input in;
    if (!fuzz::split_input(data, size, in)) return 0;
    fuzz::run_row(ROWS, in);
    return 0;
}
