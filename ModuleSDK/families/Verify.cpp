// Verification: one fingerprint is matched against the templates enrolled
// under one user ID. The finger comes from a live scan (VS), an image (VI, or
// VIX in chunks) or template data (VT); VH matches a scan against templates
// that the host sends; VW and VC take the user ID from the Wiegand input or a
// smart card and then scan the finger.
#include "families/Verify.h"

#include "ModuleSDK.h"
#include "engine/Sequence.h"
#include "families/Run.h"
#include "trace/Outcome.h"

namespace kelvor {

namespace {

using sequence::AnswerTable;
using sequence::Sequence;
using sequence::SuccessLine;
using sequence::Transfer;

// VW and VC wait for their input, then for the finger.
constexpr answers::Table fingerWaits[] = {verify::fingerScanWait};
constexpr answers::Table wiegandWaits[] = {verify::wiegandScanWait, verify::fingerScanWait};
constexpr answers::Table smartcardWaits[] = {verify::smartcardScanWait, verify::fingerScanWait};

constexpr SuccessLine scanSuccess{"      Verify Succeed: %#x\n", {FIELD_PARAM2, "score"}};
constexpr SuccessLine dataSuccess{"      Verify: Succeed %#x\n", {FIELD_PARAM2, "score"}};
constexpr SuccessLine hostTemplateSuccess{"      Verify: Succeed\n"};
constexpr SuccessLine identifiedSuccess{
    "      Verify Succeed: %#x %#x\n", {FIELD_PARAM1, "user_id"}, {FIELD_PARAM2, "score"}};

constexpr Sequence VS_SEQUENCE{.command = packet::cmd::VS,
                               .waits = fingerWaits,
                               .answer = AnswerTable{verify::finalAnswer, verify::VS},
                               .success = scanSuccess};
constexpr Sequence VI_SEQUENCE{.command = packet::cmd::VI,
                               .transfer = Transfer::Block,
                               .imageRecord = true,
                               .waits = fingerWaits,
                               .answer = AnswerTable{verify::finalAnswer, verify::VI},
                               .success = dataSuccess};
constexpr Sequence VIX_SEQUENCE{.command = packet::cmd::VIX,
                                .transfer = Transfer::Chunks,
                                .imageRecord = true,
                                .before = verify::chunkedFirstAnswer,
                                .waits = fingerWaits,
                                .answer = AnswerTable{verify::finalAnswer, verify::VIX},
                                .success = dataSuccess};
constexpr Sequence VT_SEQUENCE{.command = packet::cmd::VT,
                               .transfer = Transfer::Raw,
                               .waits = fingerWaits,
                               .answer = AnswerTable{verify::finalAnswer, verify::VT},
                               .success = dataSuccess};
constexpr Sequence VH_SEQUENCE{.command = packet::cmd::VH,
                               .transfer = Transfer::Raw,
                               .waits = fingerWaits,
                               .answer = AnswerTable{verify::finalAnswer, verify::VH},
                               .success = hostTemplateSuccess};
constexpr Sequence VW_SEQUENCE{.command = packet::cmd::VW,
                               .waits = wiegandWaits,
                               .answer = AnswerTable{verify::finalAnswer, verify::VW},
                               .success = identifiedSuccess};
constexpr Sequence VC_SEQUENCE{.command = packet::cmd::VC,
                               .waits = smartcardWaits,
                               .answer = AnswerTable{verify::finalAnswer, verify::VC},
                               .success = identifiedSuccess};

} // namespace

int verify_by_scan(uint32_t userId, uint32_t* value) {
    trace(TRACE_CALL, "Verify by scan(VS) %#x\n", userId);
    outcome::value("user_id", userId);
    return sequence::run(VS_SEQUENCE, {.param1 = userId, .out = {value, nullptr}});
}

// The image goes from the first byte of the record, header included.
int verify_by_image(uint32_t userId, const uint8_t* record, uint32_t imageSize, uint32_t* value) {
    trace(TRACE_CALL, "Verify by image(VI): %#x %#x\n", userId, imageSize);
    outcome::value("user_id", userId);
    return sequence::run(
        VI_SEQUENCE,
        {.param1 = userId, .param2 = imageSize, .data = record, .size = imageSize, .out = {value, nullptr}});
}

int verify_by_image_chunked(uint32_t userId, const uint8_t* record, uint32_t imageSize, uint32_t chunkSize,
                            uint32_t* value) {
    trace(TRACE_CALL, "Verify by image(VIX): %#x %#x %#x\n", userId, imageSize, chunkSize);
    outcome::value("user_id", userId);
    return sequence::run(VIX_SEQUENCE, {.param1 = userId,
                                        .param2 = imageSize,
                                        .data = record,
                                        .size = imageSize,
                                        .chunkSize = chunkSize,
                                        .out = {value, nullptr}});
}

int verify_by_template(uint32_t userId, const uint8_t* data, uint32_t size, uint32_t* value) {
    trace(TRACE_CALL, "Verify by Template(VT): %#x %#x\n", userId, size);
    outcome::value("user_id", userId);
    return sequence::run(
        VT_SEQUENCE, {.param1 = userId, .param2 = size, .data = data, .size = size, .out = {value, nullptr}});
}

// The module is told the clamped number and receives exactly that many templates.
int verify_by_host_templates(uint32_t count, const uint8_t* templates, uint32_t size) {
    const uint32_t used = host_template_count(count);
    trace(TRACE_CALL, "Verify by Host Template(VH): %#x %#x\n", used, size);
    return sequence::run(VH_SEQUENCE,
                         {.param1 = used, .param2 = size, .data = templates, .size = size, .count = used});
}

int verify_by_wiegand(uint32_t* userId, uint32_t* value) {
    trace(TRACE_CALL, "Verify by Wieagnd(VW)\n");
    return sequence::run(VW_SEQUENCE, {.out = {userId, value}});
}

// The option goes to the module unchanged and is not traced.
int verify_by_smartcard(uint8_t option, uint32_t* userId, uint32_t* value) {
    trace(TRACE_CALL, "Verify by SmartCard(VC)\n");
    return sequence::run(VC_SEQUENCE, {.flag = option, .out = {userId, value}});
}

// ------------------------------------------------------------- run_command

namespace {

int by_image(const CommandRequest& r, Outcome& out, bool chunked) {
    uint32_t size = 0, value = 0;
    if (!run::image_input(r, out, size)) return RES_DATA_ERROR;
    const uint8_t* record = run::input_of(r).data();
    return chunked ? verify_by_image_chunked(r.param1, record, size, r.chunkSize, &value)
                   : verify_by_image(r.param1, record, size, &value);
}

// VT sends -p2 bytes of template, VH as many templates of -p2 bytes as it announces.
int by_templates(const CommandRequest& r, Outcome& out, bool host) {
    const uint64_t count = host ? host_template_count(r.param1) : 1;
    if (!run::input_at_least(r, out, count * r.param2)) return RES_DATA_ERROR;
    const uint8_t* data = run::input_of(r).data();
    uint32_t value = 0;
    return host ? verify_by_host_templates(r.param1, data, r.param2)
                : verify_by_template(r.param1, data, r.param2, &value);
}

constexpr run::Registration RUNS[] = {
    {packet::cmd::VS,
     [](const CommandRequest& r, Outcome&) {
         uint32_t value = 0;
         return verify_by_scan(r.param1, &value);
     }},
    {packet::cmd::VI, [](const CommandRequest& r, Outcome& out) { return by_image(r, out, false); }},
    {packet::cmd::VIX, [](const CommandRequest& r, Outcome& out) { return by_image(r, out, true); }},
    {packet::cmd::VT, [](const CommandRequest& r, Outcome& out) { return by_templates(r, out, false); }},
    {packet::cmd::VH, [](const CommandRequest& r, Outcome& out) { return by_templates(r, out, true); }},
    {packet::cmd::VW,
     [](const CommandRequest&, Outcome&) {
         uint32_t id = 0, value = 0;
         return verify_by_wiegand(&id, &value);
     }},
    {packet::cmd::VC,
     [](const CommandRequest& r, Outcome&) {
         uint32_t id = 0, value = 0;
         return verify_by_smartcard(r.flag, &id, &value);
     }},
};

} // namespace

std::span<const run::Registration> run::verify_runs() {
    return RUNS;
}

} // namespace kelvor
