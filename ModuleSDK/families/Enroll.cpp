// Enrollment: a new fingerprint template is stored under a user ID, from a
// finger that the module scans (ES, or ESA after an administrator's
// verification), from an image that the host sends (EI, or EIX in chunks) or
// from template data (ET, or ETX as one chunk). The scan enrollments follow
// the module's Enroll Mode: one scan, or two, the second possibly started by
// the host.
#include "families/Enroll.h"

#include "ModuleSDK.h"
#include "engine/Sequence.h"

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
constexpr sequence::SecondScan esSecondScan{packet::cmd::ES, answers::canceledScanWaits, answerAfterSecondScan,
                                            twoAnswerSuccess};
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
    return sequence::run(ETX, {.param1 = userId,
                               .param2 = static_cast<uint32_t>(count) << 16 | size,
                               .flag = option,
                               .data = data,
                               .size = size,
                               .chunkSize = size,
                               .arg = userId,
                               .out = {userIdOut, nullptr}});
}

} // namespace kelvor
