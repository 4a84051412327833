// Enrolment through the access-control peripherals: EW and EWA take the user
// ID from the Wiegand input and enrol the scanned finger in the database; EC
// scans fingers and ECX receives templates, both written to the presented card.
#include "Card.h"
#include "EnrollSteps.h"
#include "Module.h"

namespace sim {
namespace {

using namespace cmd;

constexpr uint8_t WITH_WIEGAND = packet::option::CARD_ENROLL_WIEGAND;
constexpr uint32_t FINGERS_MAX = 2;
constexpr size_t WIEGAND_BYTES = packet::record::WIEGAND_STRING_SIZE;

bool valid_user(uint32_t user) {
    return user != 0 && user != 0xFFFFFFFFu;
}

// The Wiegand input arrives (SCAN_SUCCESS), then the finger is enrolled under its value.
void enroll_wiegand_steps(Module& m, uint8_t code, uint8_t option) {
    const auto input = m.wiegand_input();
    if (!input) {
        m.wait_timeout_period();
        m.answer(code, 0, 0, flag::TIMEOUT);
        return;
    }
    m.scan_success(code);
    enroll_scan_steps(m, code, *input, option);
}

void enroll_by_wiegand(Module& m, const Command& c) {
    if (c.flag == flag::ENROLL_CONTINUE)
        continue_enroll(m, c);
    else
        enroll_wiegand_steps(m, c.code, c.flag);
}

void enroll_by_wiegand_with_admin(Module& m, const Command& c) {
    if (administrator_verified(m, c.code)) enroll_wiegand_steps(m, c.code, c.flag);
}

uint64_t wiegand_of(const std::vector<uint8_t>& b) {
    return static_cast<uint64_t>(packet::get32(&b[4])) << 32 | packet::get32(b.data());
}

// Writes the templates, the user ID and the Wiegand string (when given) to the card.
void write_enrollment(Module& m, uint8_t code, uint32_t user, const std::vector<std::vector<uint8_t>>& tpls,
                      const std::optional<uint64_t>& wiegand) {
    auto card = presented_card(m);
    if (!card) {
        m.wait_timeout_period();
        m.answer(code, 0, 0, flag::TIMEOUT);
        return;
    }
    m.record_event(LOG_SOURCE_CARD, EVENT_DETECT_CARD, card->user);
    const CardReader r = load_reader(m);
    bool fits = true;
    for (const auto& t : tpls) fits = fits && t.size() <= r.layout.templateSize;
    const bool opened = open_card(m, r, *card);
    if (!opened) m.record_event(LOG_SOURCE_CARD, EVENT_CARD_READ_ERROR, card->user);
    if (!opened || !fits) {
        m.answer(code, 0, 0, flag::CARD_ERROR);
        return;
    }
    card->slot = {};
    for (size_t i = 0; i < tpls.size() && i < 2; ++i) card->slot[i].data = tpls[i];
    card->user = user;
    if (wiegand) card->wiegand = *wiegand;
    m.answer(code, user, 0, store_card(m, *card) ? flag::SUCCEED : flag::CARD_ERROR);
}

void enroll_card(Module& m, const Command& c) {
    std::optional<uint64_t> wiegand;
    if (c.flag & WITH_WIEGAND) {
        std::vector<uint8_t> b;
        if (!m.receive_block(b, WIEGAND_BYTES, WIEGAND_BYTES)) {
            m.answer(c.code, 0, 0, flag::TRY_AGAIN);
            return;
        }
        wiegand = wiegand_of(b);
    }
    if (!valid_user(c.param1)) {
        m.answer(c.code, 0, 0, flag::INVALID_ID);
        return;
    }
    std::vector<std::vector<uint8_t>> tpls;
    for (uint32_t i = 0; i < std::min(c.param2, FINGERS_MAX); ++i) {
        const auto scanned = m.scan_template(c.code);
        if (!scanned) return;
        tpls.push_back(*scanned);
    }
    write_enrollment(m, c.code, c.param1, tpls, wiegand);
}

// Whole templates of the module's size only, two at most; the data come as one chunk.
void enroll_card_templates(Module& m, const Command& c) {
    const uint32_t count = c.param2 >> 16, size = c.param2 & 0xFFFF;
    if (count > FINGERS_MAX || (count > 0 && size != TEMPLATE_SIZE)) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    if (!valid_user(c.param1)) {
        m.answer(c.code, 0, 0, flag::INVALID_ID);
        return;
    }
    m.answer(c.code, 0, 0, flag::SUCCEED);
    const size_t total = count * size + ((c.flag & WITH_WIEGAND) ? WIEGAND_BYTES : 0);
    std::vector<uint8_t> data;
    if (total > 0 && !m.receive_chunks(c.code, data, total)) return;
    std::vector<std::vector<uint8_t>> tpls;
    for (uint32_t i = 0; i < count; ++i) {
        std::vector<uint8_t> t(data.begin() + static_cast<std::ptrdiff_t>(i * size),
                               data.begin() + static_cast<std::ptrdiff_t>((i + 1) * size));
        if (!template_valid(t)) {
            m.answer(c.code, 0, 0, flag::TRY_AGAIN);
            return;
        }
        tpls.push_back(std::move(t));
    }
    std::optional<uint64_t> wiegand;
    if (c.flag & WITH_WIEGAND)
        wiegand = wiegand_of(
            std::vector<uint8_t>(data.end() - static_cast<std::ptrdiff_t>(WIEGAND_BYTES), data.end()));
    write_enrollment(m, c.code, c.param1, tpls, wiegand);
}

const Register reg{{EW, enroll_by_wiegand},
                   {EWA, enroll_by_wiegand_with_admin},
                   {EC, enroll_card},
                   {ECX, enroll_card_templates}};

} // namespace
} // namespace sim
