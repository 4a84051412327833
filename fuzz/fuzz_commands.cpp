// Answer reception in plain, network and hex-text form through the command
// functions that read the module's bytes: status and parameters, the enroll,
// verify and identify sequences, raw packet mode's drain and the response
// monitor. One row per call; each command family adds its rows here.
#include <array>
#include <vector>

#include "Commands.h"
#include "Harness.h"
#include "OrvantiCom.h"

using namespace kelvor;

namespace {

using fuzz::Input;

// Data the calls send: an image record and templates, zeros apart from the header.
std::array<uint8_t, IMAGE_RECORD_SIZE>& record() {
    static std::array<uint8_t, IMAGE_RECORD_SIZE> r{};
    return r;
}
// A size taken from the input's value: mostly small, so that runs stay fast;
// the two highest values stand for the record's limit and one beyond it.
uint32_t data_size(const Input& in) {
    if (in.value >= 0xFFFFFFFE) return static_cast<uint32_t>(IMAGE_RECORD_SIZE) + (in.value & 1);
    return in.value % 0x2000;
}
// A usable chunk size from the input's value.
uint32_t chunk_size(const Input& in) {
    return (in.value >> 20) + 1;
}

int front_step(const Input& in, void (OrvantiCom::*step)()) {
    OrvantiCom com({});
    com.command = static_cast<uint8_t>(in.value);
    com.param1 = in.value;
    (com.*step)();
    return 0;
}

uint32_t out1 = 0, out2 = 0;

const fuzz::Row ROWS[] = {
    {"SS", [](const Input&) { return system_status_check(&out1); }},
    {"SR", [](const Input& in) { return system_parameter_read(static_cast<uint8_t>(in.value), &out1); }},
    {"SW", [](const Input& in) { return system_parameter_write(static_cast<uint8_t>(in.value), in.value); }},
    {"SF", [](const Input&) { return system_parameter_save(); }},
    {"CS", [](const Input&) { return calibrate_sensor(); }},
    {"ES", [](const Input& in) { return enroll_by_scan(in.value, ADD_NEW_TEMPLATE, &out1); }},
    {"ESA", [](const Input& in) { return enroll_by_scan_with_admin(in.value, CHECK_ID, &out1); }},
    {"EI", [](const Input& in) { return enroll_by_image(1, record().data(), data_size(in), 0, &out1); }},
    {"EIX",
     [](const Input& in) {
         return enroll_by_image_chunked(1, record().data(), data_size(in), 0, chunk_size(in), &out1);
     }},
    {"ET",
     [](const Input& in) { return enroll_by_template(1, record().data(), in.value & 0xFFFF, 0, &out1); }},
    {"ETX",
     [](const Input& in) {
         return enroll_by_templates_chunked(1, record().data(), static_cast<uint16_t>(in.value >> 16),
                                            static_cast<uint16_t>(in.value & 0x3FF), 0, &out1);
     }},
    {"VS", [](const Input& in) { return verify_by_scan(in.value, &out1); }},
    {"VI", [](const Input& in) { return verify_by_image(1, record().data(), data_size(in), &out1); }},
    {"VIX",
     [](const Input& in) {
         return verify_by_image_chunked(1, record().data(), data_size(in), chunk_size(in), &out1);
     }},
    {"VT", [](const Input& in) { return verify_by_template(1, record().data(), in.value & 0xFFFF, &out1); }},
    {"VH",
     [](const Input& in) {
         return verify_by_host_templates(in.value >> 28, record().data(), in.value & 0x3FFF);
     }},
    {"VW", [](const Input&) { return verify_by_wiegand(&out1, &out2); }},
    {"VC", [](const Input& in) { return verify_by_smartcard(static_cast<uint8_t>(in.value), &out1, &out2); }},
    {"IS",
     [](const Input& in) { return identify_by_scan(0, static_cast<uint16_t>(in.value), &out1, &out2); }},
    {"II",
     [](const Input& in) { return identify_by_image(0, 0, record().data(), data_size(in), &out1, &out2); }},
    {"IIX",
     [](const Input& in) {
         return identify_by_image_chunked(0, 0, record().data(), data_size(in), chunk_size(in), &out1, &out2);
     }},
    {"IT",
     [](const Input& in) {
         return identify_by_template(0, 0, record().data(), in.value & 0xFFFF, &out1, &out2);
     }},
    {"KW", [](const Input&) { return write_encryption_key(record().data()); }},
    {"KS", [](const Input& in) { return scan_template_with_challenge(in.value, &out1); }},
    {"raw packet mode", [](const Input& in) { return front_step(in, &OrvantiCom::raw_packet_mode); }},
    {"response monitor", [](const Input& in) { return front_step(in, &OrvantiCom::response_monitor); }},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::setup_once();
    Input in;
    if (!fuzz::split_input(data, size, in)) return 0;
    fuzz::run_row(ROWS, in);
    return 0;
}
