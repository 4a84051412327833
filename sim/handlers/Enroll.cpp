// Enrollment by scan, image and template: ES, ESA, EI, EIX, ET, ETX.
#include "EnrollSteps.h"
#include "Module.h"

#include <algorithm>

namespace sim {
namespace {

using namespace cmd;
constexpr size_t TEMPLATES_PER_USER = 10;

struct Outcome {
    uint8_t flag = flag::SUCCEED;
    uint32_t user = 0;
};

bool auto_id(uint8_t option) {
    return option == flag::AUTO_ID || option == flag::CHECK_FINGER_AUTO_ID;
}

// Whether the templates may be stored under the requested user ID with this
// option, and under which ID.
Outcome check(Module& m, uint32_t user, uint8_t option, const std::vector<std::vector<uint8_t>>& tpls) {
    State& st = m.state();
    if (option == flag::CHECK_FINGER || option == flag::CHECK_FINGER_AUTO_ID) {
        for (const auto& t : tpls) {
            const auto match = m.best_match(t, {});
            if (match && m.is_match(*match)) return {flag::FINGER_ALREADY_ENROLLED, 0};
        }
    }
    if (auto_id(option)) {
        user = 1;
        while (st.user_exists(user)) ++user;
    } else if (user == 0 || user == 0xFFFFFFFFu) {
        return {flag::INVALID_ID, 0};
    }
    if (st.template_count() + tpls.size() > st.capacity()) return {flag::MEMORY_FULL, 0};
    const size_t have = st.templates_of(user).size();
    if (option == flag::ADD_NEW_TEMPLATE || option == flag::ADD_DURESS_FINGER) {
        if (option == flag::ADD_DURESS_FINGER && have == 0) return {flag::INVALID_ID, 0};
        if (have + tpls.size() > TEMPLATES_PER_USER) return {flag::FINGER_LIMIT, 0};
    } else if (have > 0) {
        return {flag::ID_ALREADY_USED, user};
    }
    return {flag::SUCCEED, user};
}

Outcome store(Module& m, uint32_t user, uint8_t option, const std::vector<std::vector<uint8_t>>& tpls) {
    Outcome o = check(m, user, option, tpls);
    if (o.flag != flag::SUCCEED) return o;
    const bool provisional = m.param(param::PROVISIONAL_ENROLL) != packet::setting::OFF;
    for (const auto& t : tpls)
        if (!m.state().add_template(o.user, t, option == flag::ADD_DURESS_FINGER, provisional))
            return {flag::MEMORY_FULL, 0};
    return o;
}

// Logs the outcome of an enrolment, then answers with it.
void conclude(Module& m, uint8_t code, const Outcome& o) {
    m.record_event(LOG_SOURCE_HOST, o.flag == flag::SUCCEED ? EVENT_ENROLL_SUCCESS : EVENT_ENROLL_FAIL,
                   o.user);
    m.answer(code, o.user, 0, o.flag);
}

// Second scan of a two-scan enrolment: it must show the finger of the first.
void second_scan(Module& m, uint8_t code, uint32_t user, uint8_t option, const std::vector<uint8_t>& first) {
    const auto scanned = m.scan_template(code);
    if (!scanned) return;
    const std::vector<uint8_t>& tpl = *scanned;
    if (match_score(first, tpl) < match_threshold(m.param(param::SECURITY_LEVEL))) {
        conclude(m, code, {flag::TRY_AGAIN, 0});
        return;
    }
    conclude(m, code, store(m, user, option, {first}));
}

void enroll_scan_command(Module& m, const Command& c) {
    if (c.flag == flag::ENROLL_CONTINUE)
        continue_enroll(m, c);
    else
        enroll_scan_steps(m, c.code, c.param1, c.flag);
}

void enroll_with_admin(Module& m, const Command& c) {
    if (administrator_verified(m, c.code)) enroll_scan_steps(m, c.code, c.param1, c.flag);
}

// The steps after the data of EI, EIX, ET and ETX: SCAN_SUCCESS, then the result.
void finish_with_templates(Module& m, const Command& c, const std::vector<std::vector<uint8_t>>& tpls) {
    m.scan_success(c.code);
    conclude(m, c.code, store(m, c.param1, c.flag, tpls));
}

void enroll_data(Module& m, const Command& c, std::optional<std::vector<uint8_t>> tpl) {
    if (tpl) finish_with_templates(m, c, {*tpl});
}

void enroll_image(Module& m, const Command& c) {
    enroll_data(m, c, m.receive_image_template(c, false));
}
void enroll_image_chunks(Module& m, const Command& c) {
    enroll_data(m, c, m.receive_image_template(c, true));
}
void enroll_template(Module& m, const Command& c) {
    enroll_data(m, c, m.receive_template(c));
}

void enroll_templates(Module& m, const Command& c) {
    // The data holds whole templates back to back; the announced count is not relied on.
    const uint32_t size = c.param2 & 0xFFFF;
    const uint32_t count = static_cast<uint32_t>(size / TEMPLATE_SIZE);
    if (size == 0 || size % TEMPLATE_SIZE != 0 || count > TEMPLATES_PER_USER) {
        m.answer(c.code, 0, 0, flag::TRY_AGAIN);
        return;
    }
    m.answer(c.code, 0, 0, flag::SUCCEED);
    std::vector<uint8_t> data;
    if (!m.receive_chunks(c.code, data, size)) return;
    std::vector<std::vector<uint8_t>> tpls;
    for (uint32_t i = 0; i < count; ++i) {
        std::vector<uint8_t> t(data.begin() + static_cast<std::ptrdiff_t>(i * TEMPLATE_SIZE),
                               data.begin() + static_cast<std::ptrdiff_t>((i + 1) * TEMPLATE_SIZE));
        if (!template_valid(t)) {
            m.scan_success(c.code);
            m.answer(c.code, 0, 0, flag::TRY_AGAIN);
            return;
        }
        tpls.push_back(std::move(t));
    }
    finish_with_templates(m, c, tpls);
}

} // namespace

// The scan steps of ES and ESA after the command (and the administrator's stage).
void enroll_scan_steps(Module& m, uint8_t code, uint32_t user, uint8_t option) {
    const auto scanned = m.scan_template(code);
    if (!scanned) return;
    const std::vector<uint8_t>& tpl = *scanned;
    const uint32_t mode = m.param(param::ENROLL_MODE);
    if (mode == packet::setting::ENROLL_ONE_SCAN) {
        conclude(m, code, store(m, user, option, {tpl}));
        return;
    }
    const Outcome first = check(m, user, option, {tpl});
    if (first.flag != flag::SUCCEED) {
        conclude(m, code, first);
        return;
    }
    m.answer(code, first.user, 0, first.flag);
    if (mode == packet::setting::ENROLL_HOST_CONTINUES ||
        mode == packet::setting::ENROLL_HOST_CONTINUES_ALT) {
        // The host sends the second step with ENROLL_CONTINUE.
        m.pendingEnroll = PendingEnroll{user, option, tpl};
        return;
    }
    second_scan(m, code, user, option, tpl);
}

void continue_enroll(Module& m, const Command& c) {
    if (!m.pendingEnroll) {
        m.answer(c.code, 0, 0, flag::TRY_AGAIN);
        return;
    }
    const PendingEnroll p = *m.pendingEnroll;
    m.pendingEnroll.reset();
    second_scan(m, c.code, p.user, p.option, p.tpl);
}

bool administrator_verified(Module& m, uint8_t code) {
    State& st = m.state();
    std::vector<uint32_t> admins;
    for (const Template& t : st.templates()) {
        const uint32_t level = st.admin_level(t.user);
        if ((level == 1 || level == 3) && std::find(admins.begin(), admins.end(), t.user) == admins.end())
            admins.push_back(t.user);
    }
    if (admins.empty()) {
        m.answer(code, 0, 0, flag::NOT_SUPPORTED); // no administrator who may enroll
        return false;
    }
    const auto scanned = m.scan_template(code);
    if (!scanned) return false;
    const std::vector<uint8_t>& tpl = *scanned;
    const auto match = m.best_match(tpl, admins);
    if (!match || !m.is_match(*match)) {
        m.answer(code, 0, 0, flag::NOT_MATCH);
        return false;
    }
    m.answer(code, match->user, 0, flag::ENROLL_CONTINUE);
    return true;
}

namespace {

const Register reg{{ES, enroll_scan_command},  {ESA, enroll_with_admin}, {EI, enroll_image},
                   {EIX, enroll_image_chunks}, {ET, enroll_template},    {ETX, enroll_templates}};

} // namespace
} // namespace sim
