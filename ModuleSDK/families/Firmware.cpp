// Commands on the module as a whole: a new firmware image in chunks (UG),
// cancel of the command the module is working on (CA), lock (LM), unlock with
// the master password (UM) and a new master password (MP). Passwords travel
// as 16 bytes followed by their 16-bit sum; the copies made here are wiped.
#include <array>
#include <cstring>

#include "ModuleSDK.h"
#include "engine/Sequence.h"
#include "families/Run.h"
#include "port/System.h"

namespace kelvor {

namespace {

namespace cmd = packet::cmd;
using answers::ANY;
using sequence::Sequence;
using sequence::SuccessLine;
using sequence::Transfer;

// A password record on the wire: the 16 bytes and their sum, low byte first.
constexpr size_t RECORD_SIZE = packet::record::PASSWORD_RECORD_SIZE;

// First answer of UG: SUCCEED lets the image go.
constexpr answers::Row upgradeFirstAnswer[] = {
    {SYSTEM_BUSY, "System busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
constexpr answers::Row upgradeFinalAnswer[] = {
    {ANY, "Firmware upgrade failed! Try again!\n", RES_TRY_AGAIN},
};
// Whatever the module answers, the lock is reported.
constexpr answers::Row lockAnswer[] = {
    {ANY, "Module is locked.\n", 0, TRACE_CALL},
};
// UM and MP trace everything as call lines, failures included.
constexpr answers::Row passwordAnswer[] = {
    {NOT_MATCH, "Wrong password\n", RES_NOT_MATCH, TRACE_CALL},
    {TRY_AGAIN, "Try again\n", RES_TRY_AGAIN, TRACE_CALL},
    {ANY, "Unknown error\n", RES_UNKNOWN, TRACE_CALL},
};

constexpr Sequence UG{.command = cmd::UG,
                      .transfer = Transfer::Chunks,
                      .before = upgradeFirstAnswer,
                      .answer = upgradeFinalAnswer,
                      .success =
                          SuccessLine::line(TRACE_CALL, "Firmware upgrade succeed. Reset the module\n")};
constexpr Sequence LM{.command = cmd::LM,
                      .answer = lockAnswer,
                      .success = SuccessLine::line(TRACE_CALL, "Module is locked.\n")};
constexpr Sequence UM{.command = cmd::UM,
                      .transfer = Transfer::Block,
                      .answer = passwordAnswer,
                      .success = SuccessLine::line(TRACE_CALL, "Modle is unlocked\n")};
// The first answer may be the cancelled command's, under its own code;
// CANCELLED there means the cancel's own answer follows. Any answer ends it.
constexpr answers::Row cancelAnswer[] = {
    {CANCELLED, nullptr, answers::OWN_ANSWER_FOLLOWS},
    {answers::ANY, nullptr, 0},
};
constexpr Sequence CA{.command = cmd::CA, .answer = cancelAnswer, .answerUnderAnyCode = true};
constexpr Sequence MP{.command = cmd::MP,
                      .transfer = Transfer::Block,
                      .answer = passwordAnswer,
                      .success = SuccessLine::line(TRACE_CALL, "Master password is changed\n")};

// Password records, wiped when they go.
template <size_t N> struct Records {
    std::array<uint8_t, N> bytes{};
    Records() = default;
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;
    ~Records() { port::secure_wipe(bytes.data(), bytes.size()); }
    void put(size_t at, const uint8_t* password16) {
        std::memcpy(bytes.data() + at, password16, MASTER_PASSWORD_SIZE);
        packet::put16(bytes.data() + at + MASTER_PASSWORD_SIZE, password_checksum(password16));
    }
};

constexpr run::Plain CA_RUN{&CA, "Cancel"};
constexpr run::Plain LM_RUN{&LM, "Lock Module"};

} // namespace

uint16_t password_checksum(const uint8_t* password16) {
    return static_cast<uint16_t>(byte_sum(password16, MASTER_PASSWORD_SIZE));
}

int upgrade_firmware(const uint8_t* image, uint32_t size, uint32_t chunkSize) {
    trace(TRACE_CALL, "Upgrade firmware(UG): %#x %#x\n", size, chunkSize);
    return sequence::run(UG, {.param2 = size, .data = image, .size = size, .chunkSize = chunkSize});
}

int cancel_command() {
    return run::plain(CA_RUN);
}

int lock_module() {
    return run::plain(LM_RUN);
}

// The password prints as text of at most its 16 bytes: the field carries no terminator.
int unlock_module(const uint8_t* password16) {
    trace(TRACE_CALL, "Unlock Module(UM): %.16s\n", reinterpret_cast<const char*>(password16));
    Records<RECORD_SIZE> data;
    data.put(0, password16);
    return sequence::run(
        UM,
        {.param2 = RECORD_SIZE, .data = data.bytes.data(), .size = static_cast<uint32_t>(data.bytes.size())});
}

int write_master_password(const uint8_t* current16, const uint8_t* new16) {
    trace(TRACE_CALL, "Write master password(MP): %.16s to %.16s\n", reinterpret_cast<const char*>(current16),
          reinterpret_cast<const char*>(new16));
    Records<2 * RECORD_SIZE> data;
    data.put(0, current16);
    data.put(RECORD_SIZE, new16);
    return sequence::run(MP, {.param2 = 2 * RECORD_SIZE,
                              .data = data.bytes.data(),
                              .size = static_cast<uint32_t>(data.bytes.size())});
}

// ------------------------------------------------------------- run_command

namespace {

int upgrade(const CommandRequest& r, Outcome&) {
    const std::span<const uint8_t> image = run::input_of(r);
    // The chunks it takes are counted from the size, before anything is sent.
    if (const int rc = data_chunks_check(image.size(), r.chunkSize); rc < 0) return rc;
    return upgrade_firmware(image.data(), static_cast<uint32_t>(image.size()), r.chunkSize);
}

constexpr run::Registration RUNS[] = {
    {cmd::UG, upgrade},
    {cmd::CA, nullptr, &CA_RUN},
    {cmd::LM, nullptr, &LM_RUN},
    {cmd::UM, [](const CommandRequest& r, Outcome&) { return unlock_module(run::input_of(r).data()); }},
    {cmd::MP,
     [](const CommandRequest& r, Outcome&) {
         const uint8_t* passwords = run::input_of(r).data();
         return write_master_password(passwords, passwords + MASTER_PASSWORD_SIZE);
     }},
};

} // namespace

std::span<const run::Registration> run::firmware_runs() {
    return RUNS;
}

} // namespace kelvor
