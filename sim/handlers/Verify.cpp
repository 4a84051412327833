// Verification: VS, VI, VIX, VT, VH, VW, VC.
#include "Card.h"
#include "Module.h"

#include <algorithm>

namespace sim {
namespace {

using namespace cmd;
constexpr uint32_t POLICY_WIEGAND_BYPASS = packet::auth_policy::WIEGAND_BYPASS;
constexpr uint32_t POLICY_SMARTCARD_BYPASS = packet::auth_policy::SMARTCARD_BYPASS;
constexpr uint32_t POLICY_REJECT = packet::auth_policy::REJECT;
constexpr uint32_t MAX_HOST_TEMPLATES = 10;

// Logs the outcome of a verification, then answers with it.
void conclude(Module& m, uint8_t code, uint32_t user, uint32_t score, uint8_t result) {
    const uint8_t source = code == VW ? LOG_SOURCE_WIEGAND : code == VC ? LOG_SOURCE_CARD : LOG_SOURCE_HOST;
    const uint8_t event = result == flag::SUCCEED         ? EVENT_VERIFY_SUCCESS
                          : result == flag::DURESS_FINGER ? EVENT_VERIFY_DURESS
                          : result == flag::ID_REJECTED   ? EVENT_REJECTED_ID
                                                          : EVENT_VERIFY_FAIL;
    m.record_event(source, event, user);
    m.answer(code, user, score, result);
}

// Compares the probe with the templates of one user and answers.
void verify(Module& m, uint8_t code, uint32_t user, const std::vector<uint8_t>& probe) {
    if (!m.state().user_exists(user)) {
        conclude(m, code, user, 0, flag::NOT_FOUND);
        return;
    }
    if (m.state().policy(user) == POLICY_REJECT) {
        conclude(m, code, user, 0, flag::ID_REJECTED);
        return;
    }
    const auto match = m.best_match(probe, {user});
    if (!match || !m.is_match(*match))
        conclude(m, code, user, 0, flag::NOT_MATCH);
    else if (match->duress)
        conclude(m, code, user, 0, flag::DURESS_FINGER);
    else
        conclude(m, code, user, static_cast<uint32_t>(match->score), flag::SUCCEED);
}

void verify_scan_command(Module& m, const Command& c) {
    if (const auto probe = m.scan_template(c.code)) verify(m, c.code, c.param1, *probe);
}

void verify_data(Module& m, const Command& c, std::optional<std::vector<uint8_t>> probe) {
    if (!probe) return;
    m.scan_success(c.code);
    verify(m, c.code, c.param1, *probe);
}

void verify_image(Module& m, const Command& c) {
    verify_data(m, c, m.receive_image_template(c, false));
}
void verify_image_chunks(Module& m, const Command& c) {
    verify_data(m, c, m.receive_image_template(c, true));
}
void verify_template(Module& m, const Command& c) {
    verify_data(m, c, m.receive_template(c));
}

// Host templates: the finger is matched against them, not against the database.
void verify_host_templates(Module& m, const Command& c) {
    const uint32_t count = std::clamp<uint32_t>(c.param1, 1, MAX_HOST_TEMPLATES);
    std::vector<std::vector<uint8_t>> host(count);
    bool valid = true;
    for (auto& t : host) {
        // A block that did not arrive whole leaves nothing sensible to read after it.
        if (!m.receive_block(t, c.param2, TEMPLATE_SIZE)) {
            valid = false;
            break;
        }
        valid = template_valid(t) && valid;
    }
    if (!valid) {
        m.answer(c.code, 0, 0, flag::TRY_AGAIN);
        return;
    }
    const auto scanned = m.scan_template(c.code);
    if (!scanned) return;
    const std::vector<uint8_t>& probe = *scanned;
    int best = 0;
    for (const auto& t : host) best = std::max(best, match_score(probe, t));
    if (best >= match_threshold(m.param(param::SECURITY_LEVEL)))
        conclude(m, c.code, 0, static_cast<uint32_t>(best), flag::SUCCEED);
    else
        conclude(m, c.code, 0, 0, flag::NOT_MATCH);
}

// A user whose policy bypasses the finger for this input is let through on
// the input alone: the finger's stage passes without a scan.
bool bypassed(Module& m, const Command& c, uint32_t user, uint32_t bypass) {
    if (!m.state().user_exists(user) || m.state().policy(user) != bypass) return false;
    m.scan_success(c.code);
    m.answer(c.code, user, 0, flag::SUCCEED);
    return true;
}

// Wiegand input: the value read carries the user ID.
void verify_wiegand(Module& m, const Command& c) {
    const auto input = m.wiegand_input();
    if (!input) {
        m.wait_timeout_period();
        m.answer(c.code, 0, 0, flag::TIMEOUT);
        return;
    }
    m.scan_success(c.code);
    if (bypassed(m, c, *input, POLICY_WIEGAND_BYPASS)) return;
    if (const auto probe = m.scan_template(c.code)) verify(m, c.code, *input, *probe);
}

// Smart card: the card presented carries a user ID whose templates the module holds.
void verify_card(Module& m, const Command& c) {
    const auto input = m.card_input();
    if (!input) {
        m.wait_timeout_period();
        m.answer(c.code, 0, 0, flag::TIMEOUT);
        return;
    }
    if (verify_against_card(m, c.code)) return;
    if (!m.state().user_exists(*input)) {
        conclude(m, c.code, 0, 0, flag::CARD_ERROR);
        return;
    }
    m.scan_success(c.code);
    if (bypassed(m, c, *input, POLICY_SMARTCARD_BYPASS)) return;
    if (const auto probe = m.scan_template(c.code)) verify(m, c.code, *input, *probe);
}

const Register reg{{VS, verify_scan_command}, {VI, verify_image},          {VIX, verify_image_chunks},
                   {VT, verify_template},     {VH, verify_host_templates}, {VW, verify_wiegand},
                   {VC, verify_card}};

} // namespace
} // namespace sim
