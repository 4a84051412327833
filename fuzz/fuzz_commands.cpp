// Answer reception in plain, network and hex-text form through the command
// functions that read the module's bytes: status and parameters, the enroll,
// verify and identify sequences, the template database, firmware, cancel and
// lock, administrator levels, Wiegand, smart card and enrollment through them,
// event log, clock, user memory and ports, raw packet mode's drain, the
// response monitor and what a module sends on its own between commands. One
// row per call; each command family adds its rows here.
// The commands whose data the tool receives, sizes and allocates (and writes
// to the output file) run as the front end runs them too, as rows of their own.
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <vector>

#include "CommandFiles.h"
#include "Harness.h"
#include "OrvantiCom.h"
#include "families/Run.h"

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
// A size within the record, for data the calls send from it.
uint32_t small_size(const Input& in) {
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

// Raw packet mode as run_command runs a code without a command of its own.
int raw_step(const Input& in) {
    CommandRequest request;
    request.code = static_cast<uint8_t>(in.value);
    request.param1 = in.value;
    Outcome out;
    return run::raw(request, out);
}

// Runs the command of `code` as the front end does (its case around the
// library's run of it), with the output file in memory: param1 from the
// value's high half, param2 from its low half (a start and a count, an offset
// and a length), the flag from the input's mode byte.
template <uint8_t code> int front_case(const Input& in) {
    OrvantiCom com({});
    com.command = code;
    com.param1 = in.value >> 16;
    com.param2 = in.value & 0xFFFF;
    com.flag = in.enrollMode;
    const int fd = ::memfd_create("fuzz-output", MFD_CLOEXEC);
    if (fd >= 0) {
        com.outputFile.reset(::fdopen(fd, "w+"));
        if (!com.outputFile) ::close(fd);
        com.outputPath = "out";
    }
    return com.run_case();
}

uint32_t out1 = 0, out2 = 0;
uint16_t word1 = 0, word2 = 0, word3 = 0, word4 = 0;
uint8_t byte1 = 0;

// Buffers sized from the input's value, as callers size them from their own counts.
std::vector<uint8_t>& buffer_of(size_t n) {
    static std::vector<uint8_t> b;
    b.assign(n, 0);
    return b;
}

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
    {"raw packet mode", raw_step},
    {"response monitor", [](const Input& in) { return front_step(in, &OrvantiCom::response_monitor); }},
    // Firmware, cancel and lock.
    {"UG", [](const Input& in) { return upgrade_firmware(record().data(), small_size(in), chunk_size(in)); }},
    {"CA", [](const Input&) { return cancel_command(); }},
    {"LM", [](const Input&) { return lock_module(); }},
    {"UM", [](const Input&) { return unlock_module(record().data()); }},
    {"MP", [](const Input&) { return write_master_password(record().data(), record().data() + 16); }},
    // Administrator levels and policies.
    {"AW", [](const Input& in) { return write_admin_level(in.value, in.value >> 8); }},
    {"AR", [](const Input& in) { return read_admin_level(in.value, &out1); }},
    {"AC", [](const Input&) { return clear_admin_levels(); }},
    {"UW", [](const Input& in) { return write_auth_policy(in.value, in.value >> 8, in.enrollMode); }},
    {"UR", [](const Input& in) { return read_auth_policy(in.value, &out1); }},
    {"UC", [](const Input&) { return reset_auth_policies(); }},
    {"UL", [](const Input& in) { return list_users_by_policy(in.value, &out1); }},
    // Template database.
    {"RT", [](const Input& in) { return read_template(in.value, &out1); }},
    {"ST", [](const Input&) { return scan_template(&out1); }},
    {"DT", [](const Input& in) { return delete_template(in.value); }},
    {"DA", [](const Input&) { return delete_all_templates(); }},
    {"DAA", [](const Input&) { return delete_all_templates_with_admin(); }},
    {"DP", [](const Input&) { return delete_provisional_templates(); }},
    {"FP", [](const Input&) { return fix_provisional_templates(); }},
    {"LT", [](const Input& in) { return list_user_ids(0, in.value, &out1); }},
    {"user IDs",
     [](const Input& in) {
         const uint32_t count = in.value % 0x800;
         return get_user_data(buffer_of(4 * static_cast<size_t>(count)), count);
     }},
    {"CT", [](const Input& in) { return check_user_id(in.value, &out1); }},
    {"DS", [](const Input& in) { return delete_template_by_scan(0, static_cast<uint16_t>(in.value)); }},
    {"DSA",
     [](const Input& in) { return delete_template_by_scan_with_admin(0, static_cast<uint16_t>(in.value)); }},
    {"DW", [](const Input&) { return delete_template_by_wiegand(&out1); }},
    {"DWA", [](const Input&) { return delete_template_by_wiegand_with_admin(&out1); }},
    {"LTX",
     [](const Input& in) {
         return read_template_info(in.value >> 16, buffer_of(TEMPLATE_INFO_SIZE * (in.value % 0x400)), &out1);
     }},
    // Enrollment by Wiegand input and smart card.
    {"EW", [](const Input& in) { return enroll_by_wiegand(static_cast<uint8_t>(in.value), &out1); }},
    {"EWA", [](const Input& in) { return enroll_by_wiegand_with_admin(static_cast<uint8_t>(in.value), &out1); }},
    {"EC",
     [](const Input& in) {
         return enroll_smartcard(in.value >> 8, in.value & 3, static_cast<uint8_t>(in.value), record().data());
     }},
    {"ECX",
     [](const Input& in) {
         return enroll_templates_to_smartcard(1, static_cast<uint16_t>(in.value >> 24),
                                              static_cast<uint16_t>((in.value >> 8) & 0x1F),
                                              static_cast<uint8_t>(in.value), record().data(), record().data());
     }},
    // Wiegand interface.
    {"WW", [](const Input& in) { return write_wiegand_config(in.value & 1, wiegand_config_of(in.value, 0)); }},
    {"WR",
     [](const Input& in) {
         WiegandConfig c;
         return read_wiegand_config(in.value & 1, &c);
     }},
    {"WG", [](const Input& in) { return get_wiegand_input(in.value & 1, &out1, &out2); }},
    {"WS", [](const Input& in) { return set_wiegand_output(in.value); }},
    {"WM", [](const Input& in) { return set_wiegand_mapping(in.value >> 16, in.value & 0xFFFF); }},
    {"WL", [](const Input&) { return list_wiegand_mappings(&out1, &out2); }},
    {"WC", [](const Input&) { return clear_wiegand_mappings(); }},
    {"WM card", [](const Input& in) { return set_card_mapping(in.value >> 16, in.value & 0xFFFF); }},
    {"WL card", [](const Input&) { return list_card_mappings(&out1, &out2); }},
    {"WC card", [](const Input&) { return clear_card_mappings(); }},
    {"WWX",
     [](const Input& in) {
         return write_wiegand_format(1, 2, static_cast<uint8_t>(in.value), in.value >> 20, record().data());
     }},
    {"WRX",
     [](const Input&) {
         WiegandFormat f;
         return read_wiegand_format(&f);
     }},
    {"WGX",
     [](const Input& in) {
         WiegandString s;
         return read_wiegand_input(in.value & 1, static_cast<uint8_t>(in.value >> 8), &s);
     }},
    {"WSX", [](const Input& in) { return set_wiegand_output_string({in.value, ~in.value}); }},
    {"WFW", [](const Input& in) { return set_field_default(in.value >> 16, in.value, in.enrollMode & 1); }},
    {"WFR", [](const Input& in) { return get_field_default(in.value, &out1); }},
    {"WPW", [](const Input& in) { return set_wiegand_io({1, 1, in.value}); }},
    {"WPR",
     [](const Input&) {
         WiegandIo io;
         return get_wiegand_io(&io);
     }},
    // Smart card.
    {"CR", [](const Input& in) { return read_card_templates(static_cast<uint8_t>(in.value), &out1); }},
    {"CW",
     [](const Input& in) {
         return write_card_templates(in.value >> 24, small_size(in), in.enrollMode, record().data());
     }},
    {"CF", [](const Input& in) { return format_card(static_cast<uint8_t>(in.value)); }},
    {"CC", [](const Input& in) { return set_card_input_function(static_cast<uint8_t>(in.value)); }},
    {"CG", [](const Input&) { return get_card_input_function(&out1); }},
    {"CKW",
     [](const Input& in) {
         return write_card_key(record().data(), record().data() + 6, static_cast<uint8_t>(in.value),
                               in.enrollMode);
     }},
    {"CKR", [](const Input&) { return read_card_key_option(&out1); }},
    {"CLR",
     [](const Input&) {
         CardLayout l;
         return read_card_layout(&l);
     }},
    {"CLW", [](const Input& in) { return write_card_layout({static_cast<uint16_t>(in.value), 1, 2, 3, 4, 5}); }},
    // Event log, clock and user memory.
    {"LN", [](const Input&) { return get_log_count(&out1, &out2); }},
    {"LR",
     [](const Input& in) {
         const uint32_t count = in.value % 0x400;
         return read_log(buffer_of(LOG_RECORD_SIZE * count), in.value >> 16, count, &out1);
     }},
    {"LD", [](const Input& in) { return delete_log(in.value, &out1); }},
    {"TW", [](const Input& in) { return set_time(in.value); }},
    {"TR",
     [](const Input&) {
         int64_t seconds = 0;
         return get_time(&seconds);
     }},
    {"ML", [](const Input&) { return get_user_memory_length(&out1); }},
    {"MW", [](const Input& in) { return write_user_memory(record().data(), in.value >> 16, small_size(in)); }},
    {"MR", [](const Input& in) { return read_user_memory(in.value >> 16, in.value & 0xFFFF, &out1); }},
    // Input, output and GPIO ports.
    {"OW",
     [](const Input& in) {
         return write_out_port_config(1, 2, static_cast<uint8_t>(in.value), 3, 4, in.enrollMode);
     }},
    {"OR",
     [](const Input& in) {
         return read_out_port_config(static_cast<uint8_t>(in.value), in.enrollMode, &word1, &byte1, &word2,
                                     &word3);
     }},
    {"OL", [](const Input& in) { return read_enabled_events(static_cast<uint8_t>(in.value), &out1); }},
    {"enabled events", [](const Input& in) { return get_enabled_events(buffer_of(in.value % 0x400)); }},
    {"OS", [](const Input& in) { return set_output_port(in.enrollMode, in.value); }},
    {"IW", [](const Input& in) { return write_in_port_config(in.value >> 16, in.value & 0xFFFF, in.enrollMode); }},
    {"IR", [](const Input& in) { return read_in_port_config(in.enrollMode, &out1, &out2); }},
    {"IG", [](const Input& in) { return read_in_port_status(in.enrollMode, in.value, &out1); }},
    {"GR", [](const Input& in) { return read_gpio_config(static_cast<uint16_t>(in.value), &word4, &out1); }},
    {"GPIO records",
     [](const Input& in) {
         return list_gpio_records(static_cast<uint16_t>(in.value >> 16),
                                  buffer_of(GPIO_RECORD_SIZE * (in.value % 0x400)));
     }},
    {"GW",
     [](const Input& in) {
         return write_gpio_config(1, static_cast<uint16_t>(in.value >> 16), in.value % 0x100, record().data());
     }},
    {"GC", [](const Input&) { return disable_gpio(); }},
    {"GD", [](const Input&) { return reset_gpio(); }},
    // The commands that receive data, check the counts and write the output file, as the front end runs them.
    {"RT case", front_case<packet::cmd::RT>},
    {"ST case", front_case<packet::cmd::ST>},
    {"LT case", front_case<packet::cmd::LT>},
    {"LTX case", front_case<packet::cmd::LTX>},
    {"UL case", front_case<packet::cmd::UL>},
    {"WL case", front_case<packet::cmd::WL>},
    {"WRX case", front_case<packet::cmd::WRX>},
    {"CR case", front_case<packet::cmd::CR>},
    {"LR case", front_case<packet::cmd::LR>},
    {"MR case", front_case<packet::cmd::MR>},
    {"TR case", front_case<packet::cmd::TR>},
    {"OL case", front_case<packet::cmd::OL>},
    {"GR case", front_case<packet::cmd::GR>},
    // What a module sends on its own, read as the service reads it between commands.
    {"line events",
     [](const Input&) {
         LineEvent event;
         for (int n = 0; n < 4096 && link_wait_event(event, 0) > 0; ++n) {
         }
         return 0;
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
