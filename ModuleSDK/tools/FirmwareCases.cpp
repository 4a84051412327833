// Cases of the firmware upgrade and the master password: the firmware image
// of UG and the passwords of UM and MP come from the input file; the password
// bytes are wiped once the command is done.
#include <vector>

#include "Cases.h"

using namespace kelvor;

namespace {

// The passwords of UM (one) and MP (two); refused when the file lacks or is
// short of them (a zero-filled password would be one nobody chose).
bool passwords(CommandCall& c, CaseInput& input) {
    if (!c.input.present()) {
        ERR_NO_INPUT(c, err_site::FIRMWARE_NO_PASSWORD_FILE, "Err: No password file is defined.\n");
        return false;
    }
    const size_t want = packet::command_of(c.command)->files.inputBytes;
    std::vector<uint8_t> bytes(want);
    const bool whole = c.input.read(bytes.data(), want) == want;
    input.take(std::move(bytes), true);
    if (!whole)
        err_line(err_site::FIRMWARE_PASSWORD_TOO_SHORT, "Err: The password file holds fewer than %zu bytes\n",
                 want);
    return whole;
}

bool firmware(CommandCall& c, CaseInput& input) {
    if (!c.input.present()) {
        ERR_NO_INPUT(c, err_site::FIRMWARE_NO_FIRMWARE_FILE, "Err: No firmware file is defined\n");
        return false;
    }
    if (!c.chunk_size_usable()) return false;
    const uint64_t fileBytes = static_cast<uint64_t>(std::max<int64_t>(c.input.size, 0));
    const uint64_t size = c.param2 == 0 ? fileBytes : c.param2;
    // Compared with the file before anything is taken, so that a size the file
    // cannot hold costs nothing.
    if (size > fileBytes) {
        err_line(err_site::FIRMWARE_CANNOT_READ_SIZE, "Err: Cannot read the firmware file\n");
        return false;
    }
    // The chunks it takes are counted from the size, before a byte is read.
    if (const int rc = data_chunks_check(size, static_cast<uint64_t>(c.chunkSize)); rc < 0) {
        input.refusal = rc;
        return false;
    }
    std::vector<uint8_t> image(static_cast<size_t>(size));
    if (c.input.read(image.data(), image.size()) != image.size()) {
        err_line(err_site::FIRMWARE_CANNOT_READ_IMAGE, "Err: Cannot read the firmware file\n");
        return false;
    }
    input.take(std::move(image));
    return true;
}

constexpr CommandCase CASES[] = {
    {packet::cmd::UG, firmware},
    {packet::cmd::UM, passwords},
    {packet::cmd::MP, passwords},
};

} // namespace

std::span<const CommandCase> firmware_cases() {
    return CASES;
}
