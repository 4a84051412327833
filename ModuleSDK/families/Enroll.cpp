// Enrollment: a new fingerprint template is stored under a user ID, from a
// finger that the module scans (ES, or ESA after an administrator's
// verification), from an image that the host sends (EI, or EIX in chunks) or
// from template data (ET, or ETX as one chunk). The scan enrollments follow
// the module's Enroll Mode: one scan, or two, the second possibly started by
// the host.
#include "families/Enroll.h"

#include "ModuleSDK.h"
#include "engine/Sequence.h"
#include "families/Run.h"
#include "protocol/Commands.h"

namespace kelvor {

namespace {

using sequence::AnswerTable;
using sequence::Sequence;
using sequence::SuccessLine;
using sequence::Transfer;

constexpr AnswerTable firstAnswer{enroll::answerTable, enroll::E1};
constexpr AnswerTable answerAfterSecondScan{enroll::answerTable, enroll::E2};
constexpr AnswerTable dataAnswer{enroll::answerTable, enroll::E3};

constexpr SuccessLine oneAnswerSuccess{"      Enroll: Succeed %#x\n", {FIELD_PARAM1, "user_id"}};
constexpr SuccessLine twoAnswerSuccess{"     Enroll: Succeed %#x\n", {FIELD_PARAM1, "user_id"}};

constexpr answers::Table firstScanWaits[] = {enroll::firstScanWait};
constexpr answers::Table dataScanWaits[] = {enroll::dataScanWait};

// The second step of both scan enrollments goes out as ES.
constexpr sequence::SecondScan esSecondScan{packet::cmd::ES, answers::canceledScanWaits,
                                            answerAfterSecondScan, twoAnswerSuccess};
constexpr sequence::SecondScan esaSecondScan{packet::cmd::ES, dataScanWaits, answerAfterSecondScan,
                                             twoAnswerSuccess};

constexpr Sequence ES{.command = packet::cmd::ES,
                      .waits = firstScanWaits,
                      .answer = firstAnswer,
                      .success = oneAnswerSuccess,
                      .second = &esSecondScan};
constexpr Sequence ESA{.command = packet::cmd::ESA,
                       .admin = answers::administratorStage,
                       .waits = firstScanWaits,
                       .answer = firstAnswer,
                       .success = oneAnswerSuccess,
                       .second = &esaSecondScan};
constexpr Sequence EI{.command = packet::cmd::EI,
                      .transfer = Transfer::Block,
                      .imageRecord = true,
                      .waits = dataScanWaits,
                      .answer = dataAnswer,
                      .success = oneAnswerSuccess};
constexpr Sequence EIX{.command = packet::cmd::EIX,
                       .transfer = Transfer::Chunks,
                       .imageRecord = true,
                       .before = dataAnswer,
                       .waits = dataScanWaits,
                       .answer = dataAnswer,
                       .success = oneAnswerSuccess};
constexpr Sequence ET{.command = packet::cmd::ET,
                      .transfer = Transfer::Block,
                      .waits = dataScanWaits,
                      .answer = dataAnswer,
                      .success = oneAnswerSuccess};
constexpr Sequence ETX{.command = packet::cmd::ETX,
                       .transfer = Transfer::Chunks,
                       .before = dataAnswer,
                       .waits = dataScanWaits,
                       .answer = dataAnswer,
                       .success = oneAnswerSuccess};

const char* option_name(uint8_t option) {
    return keyword_name(KW_ENROLL_OPTION, option);
}

} // namespace

int enroll_by_scan(uint32_t userId, uint8_t option, uint32_t* userIdOut) {
    trace(TRACE_CALL, "Enroll by scan(ES): %#x %s\n", userId, option_name(option));
    return sequence::run(ES, {.param1 = userId, .flag = option, .arg = userId, .out = {userIdOut, nullptr}});
}

int enroll_by_scan_with_admin(uint32_t userId, uint8_t option, uint32_t* userIdOut) {
    trace(TRACE_CALL, "Enroll by scan with admin's verification(ESA): %#x %s\n", userId, option_name(option));
    return sequence::run(ESA, {.param1 = userId, .flag = option, .arg = userId, .out = {userIdOut, nullptr}});
}

// The image goes from the first byte of the record, header included.
int enroll_by_image(uint32_t userId, const uint8_t* record, uint32_t imageSize, uint8_t option,
                    uint32_t* userIdOut) {
    trace(TRACE_CALL, "Enroll by image(EI): %#x %s %#x\n", userId, option_name(option), imageSize);
    return sequence::run(EI, {.param1 = userId,
                              .param2 = imageSize,
                              .flag = option,
                              .data = record,
                              .size = imageSize,
                              .arg = userId,
                              .out = {userIdOut, nullptr}});
}

int enroll_by_image_chunked(uint32_t userId, const uint8_t* record, uint32_t imageSize, uint8_t option,
                            uint32_t chunkSize, uint32_t* userIdOut) {
    trace(TRACE_CALL, "Enroll by image(EIX): %#x %s %#x %#x\n", userId, option_name(option), imageSize,
          chunkSize);
    return sequence::run(EIX, {.param1 = userId,
                               .param2 = imageSize,
                               .flag = option,
                               .data = record,
                               .size = imageSize,
                               .chunkSize = chunkSize,
                               .arg = userId,
                               .out = {userIdOut, nullptr}});
}

int enroll_by_template(uint32_t userId, const uint8_t* data, uint32_t size, uint8_t option,
                       uint32_t* userIdOut) {
    trace(TRACE_CALL, "Enroll by Template(ET): %#x %s %#x\n", userId, option_name(option), size);
    return sequence::run(ET, {.param1 = userId,
                              .param2 = size,
                              .flag = option,
                              .data = data,
                              .size = size,
                              .arg = userId,
                              .out = {userIdOut, nullptr}});
}

// The module is told the number of templates; the data go as one chunk of `size` bytes.
int enroll_by_templates_chunked(uint32_t userId, const uint8_t* data, uint16_t count, uint16_t size,
                                uint8_t option, uint32_t* userIdOut) {
    trace(TRACE_CALL, "Enroll by Template(ETX): %#x %s %d %d\n", userId, option_name(option), count, size);
    return sequence::run(ETX,
                         {.param1 = userId,
                          .param2 = packet::pack(packet::describe("ETX").fields_of("-p2"), {count, size}),
                          .flag = option,
                          .data = data,
                          .size = size,
                          .chunkSize = size,
                          .arg = userId,
                          .out = {userIdOut, nullptr}});
}

// ------------------------------------------------------------- run_command

namespace {

int by_image(const CommandRequest& r, Outcome& out, bool chunked) {
    uint32_t size = 0, id = 0;
    if (!run::image_input(r, out, size)) return RES_DATA_ERROR;
    const uint8_t* record = run::input_of(r).data();
    return chunked ? enroll_by_image_chunked(r.param1, record, size, r.flag, r.chunkSize, &id)
                   : enroll_by_image(r.param1, record, size, r.flag, &id);
}

int by_templates(const CommandRequest& r, Outcome&) {
    const auto size = static_cast<uint16_t>(r.param2 & 0xFFFF);
    const auto count = static_cast<uint16_t>(r.param2 >> 16);
    // N bytes are sent whatever the input holds; what it lacks is zeros.
    const std::vector<uint8_t> data = run::input_padded(r, size);
    uint32_t id = 0;
    return enroll_by_templates_chunked(r.param1, data.data(), count, size, r.flag, &id);
}

constexpr run::Registration RUNS[] = {
    {packet::cmd::ES,
     [](const CommandRequest& r, Outcome&) {
         uint32_t id = 0;
         return enroll_by_scan(r.param1, r.flag, &id);
     }},
    {packet::cmd::ESA,
     [](const CommandRequest& r, Outcome&) {
         uint32_t id = 0;
         return enroll_by_scan_with_admin(r.param1, r.flag, &id);
     }},
    {packet::cmd::EI, [](const CommandRequest& r, Outcome& out) { return by_image(r, out, false); }},
    {packet::cmd::EIX, [](const CommandRequest& r, Outcome& out) { return by_image(r, out, true); }},
    {packet::cmd::ET,
     [](const CommandRequest& r, Outcome&) {
         const std::span<const uint8_t> data = run::input_of(r);
         uint32_t id = 0;
         return enroll_by_template(r.param1, data.data(), static_cast<uint32_t>(data.size()), r.flag, &id);
     }},
    {packet::cmd::ETX, by_templates},
};

} // namespace

std::span<const run::Registration> run::enroll_runs() {
    return RUNS;
}

} // namespace kelvor
