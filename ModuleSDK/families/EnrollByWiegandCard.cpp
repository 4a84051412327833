// Enrollment through the access-control peripherals: EW takes the user ID from
// the Wiegand input and scans the finger (EWA after an administrator's
// verification), following the Enroll Mode like the scan enrollment; EC scans
// one or two fingers and writes them to a smart card; ECX writes templates
// that the host sends to a smart card.
#include "families/Enroll.h"

#include <vector>

#include "ModuleSDK.h"
#include "engine/Sequence.h"
#include "families/Run.h"
#include "protocol/Commands.h"

namespace kelvor {

namespace {

using answers::ANY;
using answers::GO_ON;
using sequence::AnswerTable;
using sequence::Sequence;
using sequence::SuccessLine;
using sequence::Transfer;

namespace cmd = packet::cmd;

// The Wiegand input arrives first, then the finger is scanned.
constexpr answers::Row wiegandInputWait[] = {
    {SCAN_SUCCESS, nullptr, GO_ON},
    {ANY, "Enroll: Wiegand scan failed\n", RES_SCAN_FAILED},
};
constexpr answers::Table wiegandWaits[] = {wiegandInputWait, enroll::dataScanWait};
constexpr answers::Table fingerWaits[] = {enroll::dataScanWait};

constexpr SuccessLine oneAnswerSuccess{"      Enroll: Succeed %#x\n", {FIELD_PARAM1, "user_id"}};
constexpr SuccessLine twoAnswerSuccess{"     Enroll: Succeed %#x\n", {FIELD_PARAM1, "user_id"}};

// Both enrollments by Wiegand send their second step as EW.
constexpr sequence::SecondScan ewSecondScan{cmd::EW, fingerWaits,
                                            AnswerTable{enroll::answerTable, enroll::E2}, twoAnswerSuccess};

constexpr Sequence EW{.command = cmd::EW,
                      .waits = wiegandWaits,
                      .answer = AnswerTable{enroll::answerTable, enroll::W1},
                      .success = oneAnswerSuccess,
                      .second = &ewSecondScan,
                      .argFromAnswer = true};
constexpr Sequence EWA{.command = cmd::EWA,
                       .admin = answers::administratorStage,
                       .waits = wiegandWaits,
                       .answer = AnswerTable{enroll::answerTable, enroll::W1},
                       .success = oneAnswerSuccess,
                       .second = &ewSecondScan,
                       .argFromAnswer = true};

// The scan waits of EC: one per finger, two at most.
constexpr answers::Row cardFirstFingerWait[] = {
    {SCAN_SUCCESS, nullptr, GO_ON},
    {TRY_AGAIN, "Insufficient Fingerprint\n", RES_INVALID_ID},
    {NOT_SUPPORTED, "Unsupported\n", RES_NOT_SUPPORTED},
    {INVALID_ID, "Invalid ID\n", RES_INVALID_ID},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {CANCELLED, "Command is canceled\n", RES_CANCELLED},
    {ANY, "Scan failed\n", RES_SCAN_FAILED},
};
constexpr answers::Table cardFingerWaits[] = {cardFirstFingerWait, answers::canceledScanWait};

// First answer of ECX, before the templates (SUCCEED goes on).
constexpr answers::Row cardTemplatesFirstAnswer[] = {
    {NOT_SUPPORTED, "Invalid parameters\n", RES_NOT_SUPPORTED},
    {INVALID_ID, "Invalid ID\n", RES_INVALID_ID},
    {SYSTEM_BUSY, "System busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};

// Final answer of EC and ECX.
constexpr answers::Row cardAnswer[] = {
    {TRY_AGAIN, "Enroll: Try again\n", RES_TRY_AGAIN},
    {TIMEOUT, "Enroll: Timeout\n", RES_TIMEOUT},
    {INVALID_ID, "Enroll: Invalid id\n", RES_INVALID_ID},
    {CANCELLED, "Command is cancelled\n", RES_CANCELLED},
    {CARD_ERROR, "Card error\n", RES_CARD_ERROR},
    {ANY, "Enroll: Unknown error\n", RES_UNKNOWN},
};
constexpr SuccessLine cardSuccess{"     Enroll: Succeed\n"};

constexpr Sequence EC{.command = cmd::EC, .answer = cardAnswer, .success = cardSuccess};
constexpr Sequence ECX{
    .command = cmd::ECX, .before = cardTemplatesFirstAnswer, .answer = cardAnswer, .success = cardSuccess};

const char* option_name(uint8_t option) {
    return keyword_name(KW_ENROLL_OPTION, option);
}

} // namespace

int enroll_by_wiegand(uint8_t option, uint32_t* userIdOut) {
    trace(TRACE_CALL, "Enroll by wiegand(EW): %s\n", option_name(option));
    return sequence::run(EW, {.flag = option, .out = {userIdOut, nullptr}});
}

int enroll_by_wiegand_with_admin(uint8_t option, uint32_t* userIdOut) {
    trace(TRACE_CALL, "Enroll by wiegand with admin's verification(EWA): %s\n", option_name(option));
    return sequence::run(EWA, {.flag = option, .out = {userIdOut, nullptr}});
}

int enroll_smartcard(uint32_t userId, uint32_t fingerCount, uint8_t option, const uint8_t* wiegand8) {
    trace(TRACE_CALL, "Enroll smartcard(EC): %#x %#x %#x\n", userId, fingerCount, option);
    Sequence s = EC;
    s.waits = std::span(cardFingerWaits).first(fingerCount >= 2 ? 2 : fingerCount);
    sequence::Request r{.param1 = userId, .param2 = fingerCount, .flag = option};
    if ((option & CARD_ENROLL_WIEGAND) && wiegand8) {
        s.transfer = Transfer::Block;
        r.data = wiegand8;
        r.size = packet::record::WIEGAND_STRING_SIZE;
    }
    return sequence::run(s, r);
}

int enroll_templates_to_smartcard(uint32_t userId, uint16_t count, uint16_t size, uint8_t option,
                                  const uint8_t* templates, const uint8_t* wiegand8) {
    trace(TRACE_CALL, "Enroll templates to smartcard(ECX): %#x %d %d %#x\n", userId, count, size, option);
    const uint64_t total = card_enroll_data_size(count, size, option);
    const uint64_t templateBytes = static_cast<uint64_t>(count) * size;
    if (total > CARD_ENROLL_DATA_MAX) {
        trace(TRACE_ERROR, "Template data of %#llx bytes exceed %#llx bytes\n",
              static_cast<unsigned long long>(total), static_cast<unsigned long long>(CARD_ENROLL_DATA_MAX));
        return RES_NOT_SUPPORTED;
    }
    if ((templateBytes > 0 && !templates) || ((option & CARD_ENROLL_WIEGAND) && !wiegand8)) {
        trace(TRACE_ERROR, "No data to send\n");
        return RES_NOT_SUPPORTED;
    }
    // Templates and Wiegand string travel together as one chunk.
    std::vector<uint8_t> data;
    data.reserve(static_cast<size_t>(total));
    if (templateBytes > 0) data.insert(data.end(), templates, templates + templateBytes);
    if (option & CARD_ENROLL_WIEGAND)
        data.insert(data.end(), wiegand8, wiegand8 + packet::record::WIEGAND_STRING_SIZE);
    Sequence s = ECX;
    sequence::Request r{.param1 = userId,
                        .param2 = packet::pack(packet::describe("ECX").fields_of("-p2"), {count, size}),
                        .flag = option};
    if (!data.empty()) {
        s.transfer = Transfer::Chunks;
        r.data = data.data();
        r.size = static_cast<uint32_t>(data.size());
        r.chunkSize = r.size;
    }
    return sequence::run(s, r);
}

// ------------------------------------------------------------- run_command

namespace {

// ECX: count x size template bytes, then the Wiegand string; what the input
// lacks is zeros.
int enroll_card_templates(const CommandRequest& r, Outcome&) {
    const bool withWiegand = (r.flag & CARD_ENROLL_WIEGAND) != 0;
    if (r.param2 <= 0xFFFF && !withWiegand)
        return enroll_templates_to_smartcard(r.param1, 0, 0, r.flag, nullptr, nullptr);
    const auto count = static_cast<uint16_t>(r.param2 >> 16);
    const auto size = static_cast<uint16_t>(r.param2);
    const uint64_t total = card_enroll_data_size(count, size, r.flag);
    // Beyond the most a card takes the call refuses before anything is sent:
    // no room is made for what -p2 announces (up to 4 GiB).
    if (total > CARD_ENROLL_DATA_MAX)
        return enroll_templates_to_smartcard(r.param1, count, size, r.flag, nullptr, nullptr);
    const std::vector<uint8_t> data = run::input_padded(r, static_cast<size_t>(total));
    const size_t templateBytes = static_cast<size_t>(count) * size;
    return enroll_templates_to_smartcard(r.param1, count, size, r.flag, data.data(),
                                         withWiegand ? data.data() + templateBytes : nullptr);
}

constexpr run::Registration RUNS[] = {
    {cmd::EW,
     [](const CommandRequest& r, Outcome&) {
         uint32_t id = 0;
         return enroll_by_wiegand(r.flag, &id);
     }},
    {cmd::EWA,
     [](const CommandRequest& r, Outcome&) {
         uint32_t id = 0;
         return enroll_by_wiegand_with_admin(r.flag, &id);
     }},
    {cmd::EC,
     [](const CommandRequest& r, Outcome&) {
         return enroll_smartcard(r.param1, r.param2, r.flag, r.input ? r.input->data() : nullptr);
     }},
    {cmd::ECX, enroll_card_templates},
};

} // namespace

std::span<const run::Registration> run::enroll_by_wiegand_card_runs() {
    return RUNS;
}

} // namespace kelvor
