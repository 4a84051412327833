// Identification: IS, II, IIX, IT.
#include "Module.h"

namespace sim {
namespace {

using namespace cmd;
constexpr uint32_t POLICY_REJECT = packet::auth_policy::REJECT;

// Searches the users of the range (start in the low 16 bits of Param1, end in
// the high 16 bits; 0 to 0 means every user) and answers.
void identify(Module& m, uint8_t code, uint32_t range, const std::vector<uint8_t>& probe) {
    uint32_t start = range & 0xFFFF, end = range >> 16;
    if (end < start) std::swap(start, end);
    std::vector<uint32_t> users;
    for (const Template& t : m.state().templates())
        if ((start == 0 && end == 0) || (t.user >= start && t.user <= end)) users.push_back(t.user);
    if (users.empty()) {
        if (m.state().template_count() == 0 && m.param(param::PASS_WHEN_EMPTY) != packet::setting::OFF) {
            m.record_event(LOG_SOURCE_HOST, EVENT_IDENTIFY_SUCCESS, 0);
            m.answer(code, 0, 0, flag::SUCCEED);
        } else {
            m.record_event(LOG_SOURCE_HOST, EVENT_IDENTIFY_FAIL, 0);
            m.answer(code, 0, 0, flag::NOT_FOUND);
        }
        return;
    }
    const auto match = m.best_match(probe, users);
    if (!match || !m.is_match(*match)) {
        m.record_event(LOG_SOURCE_HOST, EVENT_IDENTIFY_FAIL, 0);
        m.answer(code, 0, 0, flag::NOT_FOUND);
    } else if (match->duress) {
        m.record_event(LOG_SOURCE_HOST, EVENT_IDENTIFY_DURESS, match->user);
        m.answer(code, match->user, 0, flag::DURESS_FINGER);
    } else if (m.state().policy(match->user) == POLICY_REJECT) {
        m.record_event(LOG_SOURCE_HOST, EVENT_REJECTED_ID, match->user);
        m.answer(code, match->user, 0, flag::ID_REJECTED);
    } else {
        m.record_event(LOG_SOURCE_HOST, EVENT_IDENTIFY_SUCCESS, match->user);
        m.answer(code, match->user, static_cast<uint32_t>(match->score), flag::SUCCEED);
    }
}

void identify_scan(Module& m, const Command& c) {
    if (const auto probe = m.scan_template(c.code)) identify(m, c.code, c.param1, *probe);
}

void identify_data(Module& m, const Command& c, std::optional<std::vector<uint8_t>> probe) {
    if (!probe) return;
    m.scan_success(c.code);
    identify(m, c.code, c.param1, *probe);
}

void identify_image(Module& m, const Command& c) {
    identify_data(m, c, m.receive_image_template(c, false));
}
void identify_image_chunks(Module& m, const Command& c) {
    identify_data(m, c, m.receive_image_template(c, true));
}
void identify_template(Module& m, const Command& c) {
    identify_data(m, c, m.receive_template(c));
}

const Register reg{
    {IS, identify_scan}, {II, identify_image}, {IIX, identify_image_chunks}, {IT, identify_template}};

} // namespace
} // namespace sim
