// Administrator levels and authentication policies: AW, AR, AC, UW, UR, UC, UL.
#include "Module.h"

#include "protocol/Packet.h"

// The wire vocabulary, as the simulator names it.
namespace packet = kelvor::packet;

namespace sim {
namespace {

using namespace cmd;
constexpr uint32_t MAX_LEVEL = packet::highest_code(packet::ADMIN_LEVELS);
constexpr uint32_t MAX_POLICY = packet::highest_code(packet::AUTH_POLICIES);

// Refusal for a user ID that cannot carry a setting, or 0 when it can.
uint8_t user_refusal(Module& m, uint32_t user) {
    if (user == 0 || user == 0xFFFFFFFFu) return flag::INVALID_ID;
    if (!m.state().user_exists(user)) return flag::NOT_FOUND;
    return 0;
}

void write_level(Module& m, const Command& c) {
    if (const uint8_t r = user_refusal(m, c.param1)) return m.answer(c.code, c.param1, 0, r);
    if (c.param2 > MAX_LEVEL) return m.answer(c.code, c.param1, 0, flag::NOT_SUPPORTED);
    const bool ok = m.state().set_admin_level(c.param1, c.param2);
    m.answer(c.code, c.param1, c.param2, ok ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

void read_level(Module& m, const Command& c) {
    if (const uint8_t r = user_refusal(m, c.param1)) return m.answer(c.code, c.param1, 0, r);
    m.answer(c.code, c.param1, m.state().admin_level(c.param1), flag::SUCCEED);
}

void clear_levels(Module& m, const Command& c) {
    m.answer(c.code, 0, 0, m.state().clear_admin_levels() ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

void write_policy(Module& m, const Command& c) {
    if (const uint8_t r = user_refusal(m, c.param1)) return m.answer(c.code, c.param1, 0, r);
    if (c.param2 > MAX_POLICY) return m.answer(c.code, c.param1, 0, flag::NOT_SUPPORTED);
    const bool ok = m.state().set_policy(c.param1, c.param2);
    m.answer(c.code, c.param1, c.param2, ok ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

void read_policy(Module& m, const Command& c) {
    if (const uint8_t r = user_refusal(m, c.param1)) return m.answer(c.code, c.param1, 0, r);
    m.answer(c.code, c.param1, m.state().policy(c.param1), flag::SUCCEED);
}

void clear_policies(Module& m, const Command& c) {
    m.answer(c.code, 0, 0, m.state().clear_policies() ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

void list_policy(Module& m, const Command& c) {
    const auto users = m.state().users_with_policy(c.param2);
    std::vector<uint8_t> list(4 * users.size());
    for (size_t i = 0; i < users.size(); ++i) packet::put32(&list[4 * i], users[i]);
    m.answer(c.code, static_cast<uint32_t>(users.size()), c.param2, flag::SUCCEED);
    m.send_block(list);
}

const Register reg{{AW, write_level}, {AR, read_level},     {AC, clear_levels}, {UW, write_policy},
                   {UR, read_policy}, {UC, clear_policies}, {UL, list_policy}};

} // namespace
} // namespace sim
