// Identification: the module searches its enrolled users (within an ID range)
// for the fingerprint of a live scan (IS), of an image (II, or IIX in chunks)
// or of template data (IT), and answers with the ID found.
#include "families/Identify.h"

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

constexpr answers::Table scanWaits[] = {identify::scanWait};
constexpr answers::Table dataScanWaits[] = {identify::dataScanWait};

// The ID found (Param1) and the second value (Param2) of the final answer.
constexpr SuccessLine identified{
    "      Identify Succeed: %#x %#x\n", {FIELD_PARAM1, "user_id"}, {FIELD_PARAM2, "score"}};

constexpr Sequence IS_SEQUENCE{.command = packet::cmd::IS,
                               .waits = scanWaits,
                               .answer = AnswerTable{identify::finalAnswer, identify::IS},
                               .success = identified};
constexpr Sequence II_SEQUENCE{.command = packet::cmd::II,
                               .transfer = Transfer::Block,
                               .imageRecord = true,
                               .waits = dataScanWaits,
                               .answer = AnswerTable{identify::finalAnswer, identify::II},
                               .success = identified};
constexpr Sequence IT_SEQUENCE{.command = packet::cmd::IT,
                               .transfer = Transfer::Block,
                               .waits = dataScanWaits,
                               .answer = AnswerTable{identify::finalAnswer, identify::IT},
                               .success = identified};
constexpr Sequence IIX_SEQUENCE{.command = packet::cmd::IIX,
                                .transfer = Transfer::Chunks,
                                .imageRecord = true,
                                .before = identify::chunkedFirstAnswer,
                                .waits = dataScanWaits,
                                .answer = AnswerTable{identify::finalAnswer, identify::IIX},
                                .success = identified};

// Param1 of the command packet: the range of IDs searched.
uint32_t id_range(uint16_t start, uint16_t end) {
    return packet::pack(packet::fields::ID_RANGE, {start, end});
}

} // namespace

int identify_by_scan(uint16_t start, uint16_t end, uint32_t* userId, uint32_t* value) {
    trace(TRACE_CALL, "Identify by scan(IS) (%#x ~ %#x)\n", start, end);
    return sequence::run(IS_SEQUENCE, {.param1 = id_range(start, end), .out = {userId, value}});
}

int identify_by_image(uint16_t start, uint16_t end, const uint8_t* record, uint32_t size, uint32_t* userId,
                      uint32_t* value) {
    trace(TRACE_CALL, "Identify by image(II) (%#x ~ %#x): %#x\n", start, end, size);
    return sequence::run(II_SEQUENCE, {.param1 = id_range(start, end),
                                       .param2 = size,
                                       .data = record,
                                       .size = size,
                                       .out = {userId, value}});
}

int identify_by_template(uint16_t start, uint16_t end, const uint8_t* data, uint32_t size, uint32_t* userId,
                         uint32_t* value) {
    trace(TRACE_CALL, "Identify by Template(IT) (%#x ~ %#x): %#x\n", start, end, size);
    return sequence::run(
        IT_SEQUENCE,
        {.param1 = id_range(start, end), .param2 = size, .data = data, .size = size, .out = {userId, value}});
}

int identify_by_image_chunked(uint16_t start, uint16_t end, const uint8_t* record, uint32_t size,
                              uint32_t chunkSize, uint32_t* userId, uint32_t* value) {
    trace(TRACE_CALL, "Identify by image(IIX) (%#x ~ %#x): %#x %#x\n", start, end, size, chunkSize);
    // No chunks can be cut at size 0: refused before anything is sent.
    if (chunkSize == 0) {
        trace(TRACE_ERROR, "Invalid chunk size: %#x\n", chunkSize);
        return RES_DATA_ERROR;
    }
    return sequence::run(IIX_SEQUENCE, {.param1 = id_range(start, end),
                                        .param2 = size,
                                        .data = record,
                                        .size = size,
                                        .chunkSize = chunkSize,
                                        .out = {userId, value}});
}

// ------------------------------------------------------------- run_command

namespace {

int by_image(const CommandRequest& r, Outcome& out, bool chunked) {
    uint32_t size = 0, id = 0, value = 0;
    if (!run::image_input(r, out, size)) return RES_DATA_ERROR;
    const uint8_t* record = run::input_of(r).data();
    return chunked ? identify_by_image_chunked(0, 0, record, size, r.chunkSize, &id, &value)
                   : identify_by_image(0, 0, record, size, &id, &value);
}

constexpr run::Registration RUNS[] = {
    {packet::cmd::IS,
     [](const CommandRequest&, Outcome&) {
         uint32_t id = 0, value = 0;
         return identify_by_scan(0, 0, &id, &value);
     }},
    {packet::cmd::II, [](const CommandRequest& r, Outcome& out) { return by_image(r, out, false); }},
    {packet::cmd::IIX, [](const CommandRequest& r, Outcome& out) { return by_image(r, out, true); }},
    {packet::cmd::IT,
     [](const CommandRequest& r, Outcome&) {
         const std::span<const uint8_t> data = run::input_of(r);
         uint32_t id = 0, value = 0;
         return identify_by_template(0, 0, data.data(), static_cast<uint32_t>(data.size()), &id, &value);
     }},
};

} // namespace

std::span<const run::Registration> run::identify_runs() {
    return RUNS;
}

} // namespace kelvor
