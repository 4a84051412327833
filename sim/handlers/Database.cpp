// The template database: RT, ST, DT, DA, DAA, DP, FP, LT, CT, DS, DSA, DW,
// DWA, LTX.
#include "Module.h"

#include <algorithm>

namespace sim {
namespace {

using namespace cmd;
// Administrator levels that may delete.
constexpr uint32_t LEVEL_DELETE = packet::admin_level::LEVEL_DELETE;
constexpr uint32_t LEVEL_ALL = packet::admin_level::LEVEL_ALL;
// Template info records: 8 bytes each, sent in chunks of this many records.
constexpr size_t INFO_SIZE = 8;
constexpr size_t INFO_PER_CHUNK = 64;

std::vector<uint32_t> users_in(const State& st, uint32_t range) {
    // Start in the low 16 bits, end in the high 16 bits; 0 to 0 means every user.
    uint32_t start = range & 0xFFFF, end = range >> 16;
    if (end < start) std::swap(start, end);
    std::vector<uint32_t> users;
    for (const Template& t : st.templates()) {
        const bool in = (start == 0 && end == 0) || (t.user >= start && t.user <= end);
        if (in && std::find(users.begin(), users.end(), t.user) == users.end()) users.push_back(t.user);
    }
    return users;
}

bool may_delete(const State& st, uint32_t user) {
    const uint32_t level = st.admin_level(user);
    return level == LEVEL_DELETE || level == LEVEL_ALL;
}

std::vector<uint32_t> deleting_admins(const State& st) {
    std::vector<uint32_t> admins;
    for (const uint32_t user : users_in(st, 0))
        if (may_delete(st, user)) admins.push_back(user);
    return admins;
}

// The administrator's stage: a finger that matches an administrator who may
// delete. False when the command ended here (its answer sent).
bool administrator_verified(Module& m, const Command& c, const std::vector<uint32_t>& admins) {
    const auto scanned = m.scan_template(c.code);
    if (!scanned) return false;
    const auto match = m.best_match(*scanned, admins);
    if (!match || !m.is_match(*match)) {
        m.answer(c.code, 0, 0, flag::NOT_MATCH);
        return false;
    }
    m.answer(c.code, match->user, 0, flag::ENROLL_CONTINUE);
    return true;
}

// Every template of the user, each announced by an answer (ENROLL_CONTINUE
// while more follow) and sent as a data block.
void read_templates(Module& m, const Command& c) {
    const auto tpls = m.state().templates_of(c.param1);
    if (tpls.empty()) return m.answer(c.code, c.param1, 0, flag::NOT_FOUND);
    for (size_t i = 0; i < tpls.size(); ++i) {
        const bool last = i + 1 == tpls.size();
        const auto size = static_cast<uint32_t>(tpls[i]->data.size());
        m.answer(c.code, c.param1, size, last ? flag::SUCCEED : flag::ENROLL_CONTINUE);
        m.send_block(tpls[i]->data);
    }
}

void scan_template_out(Module& m, const Command& c) {
    const auto tpl = m.scan_template(c.code);
    if (!tpl) return;
    m.answer(c.code, 0, static_cast<uint32_t>(tpl->size()), flag::SUCCEED);
    m.send_block(*tpl);
}

void delete_user(Module& m, const Command& c) {
    if (!m.state().user_exists(c.param1)) return m.answer(c.code, c.param1, 0, flag::NOT_FOUND);
    m.answer(c.code, c.param1, 0, m.state().delete_user(c.param1) ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

void delete_all(Module& m, const Command& c) {
    m.answer(c.code, 0, 0, m.state().delete_all() ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

// With nobody to verify, the database is cleared at once.
void delete_all_with_admin(Module& m, const Command& c) {
    const auto admins = deleting_admins(m.state());
    if (!admins.empty() && !administrator_verified(m, c, admins)) return;
    delete_all(m, c);
}

void delete_provisional(Module& m, const Command& c) {
    if (m.state().provisional_count() == 0) return m.answer(c.code, 0, 0, flag::NOT_FOUND);
    m.answer(c.code, 0, 0, m.state().delete_provisional() ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

void fix_provisional(Module& m, const Command& c) {
    if (m.state().provisional_count() == 0) return m.answer(c.code, 0, 0, flag::NOT_FOUND);
    m.answer(c.code, 0, 0, m.state().fix_provisional() ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

// The users of the range of Param1 (Param2 is not looked at); an empty list sends no block.
void list_users(Module& m, const Command& c) {
    const auto users = users_in(m.state(), c.param1);
    std::vector<uint8_t> list(4 * users.size());
    for (size_t i = 0; i < users.size(); ++i) packet::put32(&list[4 * i], users[i]);
    m.answer(c.code, static_cast<uint32_t>(users.size()), 0, flag::SUCCEED);
    if (!users.empty()) m.send_block(list);
}

void check_user(Module& m, const Command& c) {
    const size_t n = m.state().templates_of(c.param1).size();
    if (n == 0) return m.answer(c.code, c.param1, 0, flag::NOT_FOUND);
    m.answer(c.code, c.param1, static_cast<uint32_t>(n), flag::SUCCEED);
}

// The finger on the sensor names the user to delete (within the range of Param1).
void delete_scanned(Module& m, const Command& c, bool adminCommand) {
    const auto probe = m.scan_template(c.code);
    if (!probe) return;
    const auto users = users_in(m.state(), c.param1);
    const auto match = users.empty() ? std::nullopt : m.best_match(*probe, users);
    if (!match || !m.is_match(*match)) return m.answer(c.code, 0, 0, flag::NOT_FOUND);
    if (adminCommand && m.state().admin_level(match->user) != 0)
        return m.answer(c.code, match->user, 0, flag::NOT_SUPPORTED);
    m.answer(c.code, match->user, 0, m.state().delete_user(match->user) ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

// The Wiegand input names the user to delete.
void delete_wiegand_user(Module& m, const Command& c, bool adminCommand) {
    const auto input = m.wiegand_input();
    if (!input) {
        m.wait_timeout_period();
        return m.answer(c.code, 0, 0, flag::TIMEOUT);
    }
    m.scan_success(c.code);
    if (!m.state().user_exists(*input)) return m.answer(c.code, *input, 0, flag::NOT_FOUND);
    if (adminCommand && m.state().admin_level(*input) != 0)
        return m.answer(c.code, *input, 0, flag::NOT_SUPPORTED);
    m.answer(c.code, *input, 0, m.state().delete_user(*input) ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

void with_admin(Module& m, const Command& c, void (*step)(Module&, const Command&, bool)) {
    const auto admins = deleting_admins(m.state());
    if (admins.empty()) return m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
    if (administrator_verified(m, c, admins)) step(m, c, true);
}

// Records from template `index` on: user ID, the template's place among the
// user's (value 1), its kind (value 2: bit 0 duress, bit 1 provisional), the
// user's administrator level (value 3) and policy (value 4), its size (value 5).
void template_info(Module& m, const Command& c) {
    const State& st = m.state();
    const auto& all = st.templates();
    if (c.param2 >= all.size()) return m.answer(c.code, 0, 0, flag::INVALID_ID);
    std::vector<uint8_t> records;
    for (size_t i = c.param2; i < all.size(); ++i) {
        const Template& t = all[i];
        uint8_t place = 0;
        for (size_t k = 0; k < i; ++k) place = static_cast<uint8_t>(place + (all[k].user == t.user));
        const auto kind = static_cast<uint8_t>((t.duress ? 1 : 0) | (t.provisional ? 2 : 0));
        const auto packed =
            static_cast<uint8_t>(kind | (st.admin_level(t.user) & 3) << 4 | (st.policy(t.user) & 3) << 6);
        uint8_t r[INFO_SIZE];
        packet::put32(r, t.user);
        r[4] = static_cast<uint8_t>(place + 1);
        r[5] = packed;
        packet::put16(r + 6, static_cast<uint16_t>(t.data.size()));
        records.insert(records.end(), r, r + INFO_SIZE);
    }
    const auto number = static_cast<uint32_t>(records.size() / INFO_SIZE);
    m.answer(c.code, number, static_cast<uint32_t>(records.size()), flag::SUCCEED);
    m.send_chunks(c.code, records, INFO_SIZE * INFO_PER_CHUNK);
}

const Register reg{
    {RT, read_templates},
    {ST, scan_template_out},
    {DT, delete_user},
    {DA, delete_all},
    {DAA, delete_all_with_admin},
    {DP, delete_provisional},
    {FP, fix_provisional},
    {LT, list_users},
    {CT, check_user},
    {DS, [](Module& m, const Command& c) { delete_scanned(m, c, false); }},
    {DSA, [](Module& m, const Command& c) { with_admin(m, c, delete_scanned); }},
    {DW, [](Module& m, const Command& c) { delete_wiegand_user(m, c, false); }},
    {DWA, [](Module& m, const Command& c) { with_admin(m, c, delete_wiegand_user); }},
    {LTX, template_info},
};

} // namespace
} // namespace sim
