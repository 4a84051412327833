// Firmware upgrade, cancel and module lock: UG, CA, LM, UM, MP.
#include "Module.h"

#include <algorithm>
#include <array>

namespace sim {
namespace {

using namespace cmd;
constexpr size_t PASSWORD_SIZE = packet::record::PASSWORD_SIZE;
constexpr size_t RECORD_SIZE = packet::record::PASSWORD_RECORD_SIZE;
// Largest firmware image the module's flash takes.
constexpr size_t FIRMWARE_MAX = 4u << 20;

// A password record: 16 bytes and their 16-bit sum; nothing when the sum is wrong.
std::optional<std::vector<uint8_t>> password_of(const std::vector<uint8_t>& data, size_t at) {
    const uint8_t* p = data.data() + at;
    if (packet::get16(p + PASSWORD_SIZE) != static_cast<uint16_t>(packet::byte_sum(p, PASSWORD_SIZE)))
        return std::nullopt;
    return std::vector<uint8_t>(p, p + PASSWORD_SIZE);
}

// The image arrives in chunks, each checked by its sum; a transfer that
// breaks off leaves the old firmware and gets no final answer.
void upgrade(Module& m, const Command& c) {
    if (c.param2 == 0 || c.param2 > FIRMWARE_MAX) return m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
    m.answer(c.code, 0, c.param2, flag::SUCCEED);
    std::vector<uint8_t> image;
    if (!m.receive_chunks(c.code, image, c.param2, FIRMWARE_MAX)) return;
    m.answer(c.code, 0, c.param2, m.state().install_firmware(image) ? flag::SUCCEED : flag::TRY_AGAIN);
}

// Nothing is waiting: the cancel is simply acknowledged.
void cancel(Module& m, const Command& c) {
    m.answer(c.code, 0, 0, flag::SUCCEED);
}

void lock(Module& m, const Command& c) {
    m.answer(c.code, 0, 0, m.state().set_locked(true) ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

void unlock(Module& m, const Command& c) {
    std::vector<uint8_t> data;
    if (!m.receive_block(data, c.param2, RECORD_SIZE) || data.size() != RECORD_SIZE)
        return m.answer(c.code, 0, 0, flag::TRY_AGAIN);
    const auto password = password_of(data, 0);
    if (!password) return m.answer(c.code, 0, 0, flag::TRY_AGAIN);
    if (*password != m.state().master_password()) return m.answer(c.code, 0, 0, flag::NOT_MATCH);
    m.answer(c.code, 0, 0, m.state().set_locked(false) ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

void change_password(Module& m, const Command& c) {
    std::vector<uint8_t> data;
    if (!m.receive_block(data, c.param2, 2 * RECORD_SIZE) || data.size() != 2 * RECORD_SIZE)
        return m.answer(c.code, 0, 0, flag::TRY_AGAIN);
    const auto current = password_of(data, 0);
    const auto next = password_of(data, RECORD_SIZE);
    if (!current || !next) return m.answer(c.code, 0, 0, flag::TRY_AGAIN);
    if (*current != m.state().master_password()) return m.answer(c.code, 0, 0, flag::NOT_MATCH);
    m.answer(c.code, 0, 0, m.state().set_master_password(*next) ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

const Register reg{{UG, upgrade}, {CA, cancel}, {LM, lock}, {UM, unlock}, {MP, change_password}};

// What a locked module still does: the opening's status check and parameter
// reads, cancel, lock, unlock and the master password.
constexpr std::array<uint8_t, 6> OPEN_WHILE_LOCKED = {SS, SR, CA, LM, UM, MP};

} // namespace

bool refused_while_locked(uint8_t code) {
    return std::find(OPEN_WHILE_LOCKED.begin(), OPEN_WHILE_LOCKED.end(), code) == OPEN_WHILE_LOCKED.end();
}

} // namespace sim
