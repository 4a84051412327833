// Command cases of administrator levels and authentication policies: AW, AR,
// AC, UW, UR, UC, UL. UL's list goes to the output file as it came.
#include <vector>

#include "Commands.h"
#include "trace/Outcome.h"

using namespace kelvor;

namespace {

int list_policy_users(OrvantiCom& c) {
    uint32_t count = 0;
    if (const int rc = list_users_by_policy(c.param2, &count); rc != 0) return rc;
    // The list is read even without an output file, so that the line is left clean.
    std::vector<uint8_t> list(4 * static_cast<size_t>(count));
    if (const int rc = receive_data(list); rc != 0) return rc;
    outcome::list("user_ids");
    for (size_t i = 0; i < count; ++i) outcome::append("user_ids", packet::get32(&list[4 * i]));
    return c.write_output(list.data(), list.size()) ? 0 : FRONT_REFUSED;
}

constexpr CommandCase CASES[] = {
    {packet::cmd::AW, [](OrvantiCom& c) { return write_admin_level(c.param1, c.param2); }},
    {packet::cmd::AR,
     [](OrvantiCom& c) {
         uint32_t level = 0;
         return read_admin_level(c.param1, &level);
     }},
    {packet::cmd::AC, [](OrvantiCom&) { return clear_admin_levels(); }},
    {packet::cmd::UW, [](OrvantiCom& c) { return write_auth_policy(c.param1, c.param2, c.flag); }},
    {packet::cmd::UR,
     [](OrvantiCom& c) {
         uint32_t policy = 0;
         return read_auth_policy(c.param1, &policy);
     }},
    {packet::cmd::UC, [](OrvantiCom&) { return reset_auth_policies(); }},
    {packet::cmd::UL, list_policy_users},
};

} // namespace

std::span<const CommandCase> admin_cases() {
    return CASES;
}
