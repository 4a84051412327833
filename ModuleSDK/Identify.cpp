// Identification: the module searches its enrolled users (within an ID range)
// for the fingerprint of a live scan (IS), of an image (II, or IIX in chunks)
// or of template data (IT), and answers with the ID found.
#include "Answers.h"
#include "ModuleSDK.h"

namespace {

constexpr uint8_t CMD_IS = 0x11;
constexpr uint8_t CMD_II = 0x12;
constexpr uint8_t CMD_IT = 0x13;
constexpr uint8_t CMD_IIX = 0x81;

using answers::ANY;
using answers::GO_ON;

// Scan step of IS.
constexpr answers::Row scanStep[] = {
    {SCAN_SUCCESS, nullptr, GO_ON},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {CANCELLED, "Command is canceled\n", RES_CANCELLED},
    {ANY, "Identify: Scan failed\n", RES_SCAN_FAILED},
};

// Scan step of II, IT and IIX: no separate busy or cancel message.
constexpr answers::Row dataScanStep[] = {
    {SCAN_SUCCESS, nullptr, GO_ON},
    {ANY, "Identify: Scan failed\n", RES_SCAN_FAILED},
};

// First answer of IIX, before the image goes in chunks.
constexpr answers::Row chunkedFirstAnswer[] = {
    {SUCCEED, nullptr, GO_ON},
    {SYSTEM_BUSY, "System busy\n", RES_SYSTEM_BUSY},
    {CANCELLED, "Command is cancelled\n", RES_CANCELLED},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};

// Final answer: one table, a column per form of the command (the `in` flags
// of a row read: IS, II and IT, IIX).
enum Form : size_t { BY_SCAN, BY_DATA, BY_CHUNKS, FORMS };
using FinalRow = answers::ColumnRow<FORMS>;
constexpr FinalRow finalAnswer[] = {
    {SUCCEED, nullptr, GO_ON, {true, true, true}},
    {SCAN_FAILED, "Identify: Scan failed\n", RES_SCAN_FAILED, {true, false, false}},
    {NOT_FOUND, "Identify: Not found\n", RES_NOT_FOUND, {true, true, true}},
    {TRY_AGAIN, "Identify: Try again\n", RES_TRY_AGAIN, {true, true, true}},
    {TIMEOUT, "Identify: Timeout\n", RES_TIMEOUT, {true, false, false}},
    {TIMEOUT_MATCHING, "Identify: Timeout matching\n", RES_TIMEOUT_MATCHING, {true, true, true}},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY, {true, true, false}},
    {CANCELLED, "Command is cancelled\n", RES_CANCELLED, {true, true, false}},
    {DATA_CHECKSUM_ERROR, "Identify: Data checksum error\n", RES_DATA_ERROR, {false, false, true}},
    {ID_REJECTED, "The ID is rejected\n", RES_ID_REJECTED, {true, true, true}},
    {DURESS_FINGER, "Duress finger is detected\n", RES_DURESS_FINGER, {true, true, true}},
    {ANY, "Identify: Unknown error\n", RES_UNKNOWN, {true, true, true}},
};

// Param1 of the command packet: the range's start in the low half, its end in the high half.
uint32_t id_range(uint16_t start, uint16_t end) {
    return static_cast<uint32_t>(start) | static_cast<uint32_t>(end) << 16;
}

// The scan step (only when the module sends SCAN_SUCCESS answers), then the
// final answer; on success the ID found and the second value are handed back.
int finish_identify(answers::Table scan, Form form, uint32_t* userId, uint32_t* value) {
    if (int rc = answers::scan_wait(scan); rc != GO_ON) return rc;
    AnswerPacket answer{};
    if (int rc = receive_answer(answer); rc < 0) return rc;
    const int rc = answers::apply<FORMS>(finalAnswer, form, answers::flag_of(answer));
    if (rc != GO_ON) return rc;
    const uint32_t id = answer_field(FIELD_PARAM1, answer);
    const uint32_t second = answer_field(FIELD_PARAM2, answer);
    if (userId) *userId = id;
    if (value) *value = second;
    trace_more(TRACE_CALL, "      Identify Succeed: %#x %#x\n", id, second);
    return 0;
}

// II and IT: the command packet announces the size, the data follow as one block.
int identify_by_data(uint8_t command, uint16_t start, uint16_t end, const uint8_t* data, uint32_t size,
                     uint32_t* userId, uint32_t* value) {
    if (int rc = send_command(command, id_range(start, end), size, 0); rc < 0) return rc;
    if (int rc = send_data(data, size); rc < 0) return rc;
    return finish_identify(dataScanStep, BY_DATA, userId, value);
}

} // namespace

int identify_by_scan(uint16_t start, uint16_t end, uint32_t* userId, uint32_t* value) {
    trace(TRACE_CALL, "Identify by scan(IS) (%#x ~ %#x)\n", start, end);
    if (int rc = send_command(CMD_IS, id_range(start, end), 0, 0); rc < 0) return rc;
    return finish_identify(scanStep, BY_SCAN, userId, value);
}

int identify_by_image(uint16_t start, uint16_t end, const uint8_t* record, uint32_t size, uint32_t* userId,
                      uint32_t* value) {
    trace(TRACE_CALL, "Identify by image(II) (%#x ~ %#x): %#x\n", start, end, size);
    return identify_by_data(CMD_II, start, end, record, size, userId, value);
}

int identify_by_template(uint16_t start, uint16_t end, const uint8_t* data, uint32_t size, uint32_t* userId,
                         uint32_t* value) {
    trace(TRACE_CALL, "Identify by Template(IT) (%#x ~ %#x): %#x\n", start, end, size);
    return identify_by_data(CMD_IT, start, end, data, size, userId, value);
}

int identify_by_image_chunked(uint16_t start, uint16_t end, const uint8_t* record, uint32_t size,
                              uint32_t chunkSize, uint32_t* userId, uint32_t* value) {
    trace(TRACE_CALL, "Identify by image(IIX) (%#x ~ %#x): %#x %#x\n", start, end, size, chunkSize);
    // No chunks can be cut at size 0: refuse before anything is sent.
    if (chunkSize == 0) {
        trace(TRACE_ERROR, "Invalid chunk size: %#x\n", chunkSize);
        return RES_DATA_ERROR;
    }
    if (int rc = send_command(CMD_IIX, id_range(start, end), size, 0); rc < 0) return rc;
    AnswerPacket first{};
    if (int rc = answers::receive_and_apply(first, chunkedFirstAnswer); rc != GO_ON) return rc;
    if (int rc = send_data_chunks(CMD_IIX, record, size, chunkSize); rc < 0) return rc;
    return finish_identify(dataScanStep, BY_CHUNKS, userId, value);
}
