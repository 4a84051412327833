// Command cases of firmware upgrade, cancel and module lock: UG, CA, LM, UM,
// MP. The firmware image and the passwords come from the input file; the
// password bytes are wiped once the command is done.
#include <array>
#include <cstring>
#include <vector>

#include "Commands.h"
#include "port/System.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::FIRMWARE_CASES;
} // namespace

using namespace kelvor;

namespace {

// Passwords read from the input file, wiped when they go.
struct Passwords {
    std::array<uint8_t, 2 * MASTER_PASSWORD_SIZE> bytes{};
    Passwords() = default;
    Passwords(const Passwords&) = delete;
    Passwords& operator=(const Passwords&) = delete;
    ~Passwords() { kelvor::port::secure_wipe(bytes.data(), bytes.size()); }
    const uint8_t* at(size_t index) const { return bytes.data() + index * MASTER_PASSWORD_SIZE; }
};

// Reads `count` passwords; false with an error line when the file lacks or
// is short of them (a zero-filled password would be one nobody chose).
bool read_passwords(OrvantiCom& c, Passwords& p, size_t count) {
    if (!c.inputFile) {
        ERR_NO_INPUT(c, "Err: No password file is defined.\n");
        return false;
    }
    const size_t want = count * MASTER_PASSWORD_SIZE;
    if (std::fread(p.bytes.data(), 1, want, c.inputFile.get()) != want) {
        ERR_LINE("Err: The password file holds fewer than %zu bytes\n", want);
        return false;
    }
    return true;
}

int upgrade(OrvantiCom& c) {
    if (!c.inputFile) {
        ERR_NO_INPUT(c, "Err: No firmware file is defined\n");
        return FRONT_REFUSED;
    }
    if (!c.chunk_size_usable()) return FRONT_REFUSED;
    const uint64_t fileBytes = static_cast<uint64_t>(std::max<int64_t>(c.inputSize, 0));
    const uint64_t size = c.param2 == 0 ? fileBytes : c.param2;
    // Compared with the file before anything is taken, so that a size the file
    // cannot hold costs nothing.
    if (size > fileBytes) {
        ERR_LINE("Err: Cannot read the firmware file\n");
        return FRONT_REFUSED;
    }
    // The chunks it takes are counted from the size, before a byte is read.
    if (const int rc = data_chunks_check(size, static_cast<uint64_t>(c.chunkSize)); rc < 0) return rc;
    std::vector<uint8_t> image(static_cast<size_t>(size));
    if (std::fread(image.data(), 1, image.size(), c.inputFile.get()) != image.size()) {
        ERR_LINE("Err: Cannot read the firmware file\n");
        return FRONT_REFUSED;
    }
    return upgrade_firmware(image.data(), static_cast<uint32_t>(size), static_cast<uint32_t>(c.chunkSize));
}

int unlock(OrvantiCom& c) {
    Passwords p;
    if (!read_passwords(c, p, 1)) return FRONT_REFUSED;
    return unlock_module(p.at(0));
}

int change_password(OrvantiCom& c) {
    Passwords p;
    if (!read_passwords(c, p, 2)) return FRONT_REFUSED;
    return write_master_password(p.at(0), p.at(1));
}

constexpr CommandCase CASES[] = {
    {packet::cmd::UG, upgrade},
    {packet::cmd::CA, [](OrvantiCom&) { return cancel_command(); }},
    {packet::cmd::LM, [](OrvantiCom&) { return lock_module(); }},
    {packet::cmd::UM, unlock},
    {packet::cmd::MP, change_password},
};

} // namespace

std::span<const CommandCase> firmware_cases() {
    return CASES;
}
