// Command cases of the template database: RT, ST, DT, DA, DAA, DP, FP, LT, CT,
// DS, DSA, DW, DWA, LTX. Templates read from the module go to the output file;
// the user ID list of LT is printed; LTX records are traced by the library.
#include <vector>

#include "Commands.h"
#include "trace/Outcome.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::DATABASE_CASES;
} // namespace

using namespace kelvor;

namespace {

// RT: every template of the user, one after the other, each appended to the
// output file. A template whose data did not arrive is skipped; the loop goes
// on while the module announces more. The result is the first step that
// failed, so a transfer that lost a template never counts as a success.
int read_templates(OrvantiCom& c) {
    uint32_t size = 0;
    const int first = read_template(c.param1, &size);
    int r = first;
    int failed = 0;
    bool writing = true;
    while (r == 0 || r == MORE_TEMPLATES) {
        // Every template of the sequence has the size of the first answer.
        std::vector<uint8_t> data(size);
        if (const int rc = receive_data(data); rc == 0) {
            outcome::append("template_bytes", size);
            if (writing) writing = c.write_output(data.data(), data.size());
        } else if (failed == 0) {
            failed = rc;
        }
        if (r == 0) break;
        AnswerPacket next{};
        if (const int rc = receive_answer(next); rc < 0) {
            ERR_LINE("Err: Cannot receive packet\n");
            if (failed == 0) failed = rc;
            break;
        }
        const auto flag = static_cast<uint8_t>(answer_field(FIELD_FLAG, next));
        if (flag == SUCCEED) {
            r = 0;
        } else if (flag == ENROLL_CONTINUE) {
            r = MORE_TEMPLATES;
        } else {
            // The templates announced did not all come: the loop ends as it
            // always did, without a line, but the result tells it.
            if (failed == 0) failed = RES_UNKNOWN;
            break;
        }
    }
    if (first < 0) return first;
    if (failed != 0) return failed;
    return writing ? 0 : FRONT_REFUSED;
}

int scan_template_to_output(OrvantiCom& c) {
    uint32_t size = 0;
    if (const int rc = scan_template(&size); rc != 0) return rc;
    std::vector<uint8_t> data(size);
    if (const int rc = receive_data(data); rc != 0) return rc;
    return c.write_output(data.data(), data.size()) ? 0 : FRONT_REFUSED;
}

int list_users(OrvantiCom& c) {
    uint32_t count = 0;
    outcome::list("user_ids");
    if (const int rc = list_user_ids(c.param1, c.param2, &count); rc != 0 || count == 0) return rc;
    std::vector<uint8_t> list(4 * static_cast<size_t>(count));
    if (const int rc = get_user_data(list, count); rc != 0) return rc;
    ERR_LINE("User IDs(%#x): ", count);
    outcome::list("user_ids");
    for (size_t i = 0; i < count; ++i) outcome::append("user_ids", packet::get32(&list[4 * i]));
    for (size_t i = 0; i < count; ++i) trace_print("%#x ", packet::get32(&list[4 * i]));
    trace_print("\n");
    return 0;
}

// LTX: the records buffer holds as many records as the module has templates enrolled.
int template_info(OrvantiCom& c) {
    uint32_t enrolled = 0;
    if (const int rc = system_parameter_read(packet::param::ENROLLED_FINGERPRINTS, &enrolled); rc != 0)
        return rc;
    if (enrolled == 0) {
        ERR_LINE("Err: No template is enrolled\n");
        return FRONT_REFUSED;
    }
    if (enrolled > USER_ID_COUNT_MAX) {
        ERR_LINE("Err: Enrolled fingerprints %#x are beyond %#x\n", enrolled, USER_ID_COUNT_MAX);
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> records(TEMPLATE_INFO_SIZE * enrolled);
    uint32_t number = 0;
    return read_template_info(c.param2, records, &number);
}

constexpr CommandCase CASES[] = {
    {packet::cmd::RT, read_templates},
    {packet::cmd::ST, scan_template_to_output},
    {packet::cmd::DT, [](OrvantiCom& c) { return delete_template(c.param1); }},
    {packet::cmd::DA, [](OrvantiCom&) { return delete_all_templates(); }},
    {packet::cmd::DAA, [](OrvantiCom&) { return delete_all_templates_with_admin(); }},
    {packet::cmd::DP, [](OrvantiCom&) { return delete_provisional_templates(); }},
    {packet::cmd::FP, [](OrvantiCom&) { return fix_provisional_templates(); }},
    {packet::cmd::LT, list_users},
    {packet::cmd::CT,
     [](OrvantiCom& c) {
         uint32_t templates = 0;
         return check_user_id(c.param1, &templates);
     }},
    {packet::cmd::DS, [](OrvantiCom&) { return delete_template_by_scan(0, 0); }},
    {packet::cmd::DSA, [](OrvantiCom&) { return delete_template_by_scan_with_admin(0, 0); }},
    {packet::cmd::DW,
     [](OrvantiCom&) {
         uint32_t id = 0;
         return delete_template_by_wiegand(&id);
     }},
    {packet::cmd::DWA,
     [](OrvantiCom&) {
         uint32_t id = 0;
         return delete_template_by_wiegand_with_admin(&id);
     }},
    {packet::cmd::LTX, template_info},
};

} // namespace

std::span<const CommandCase> database_cases() {
    return CASES;
}
