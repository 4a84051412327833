// Encryption and image capture: KW writes the encryption key, KS scans an
// encrypted template, SI/RI/SIX/RIX have the module send a fingerprint image,
// and the two reception routines bring that image into the image record,
// either as one data block or as acknowledged chunks.
#include "engine/Answers.h"
#include "ModuleSDK.h"
#include "trace/Progress.h"

namespace kelvor {

namespace {

constexpr uint32_t KEY_SIZE = packet::record::ENCRYPTION_KEY_SIZE;
// The chunk count and index travel in 16 bits, so no image arrives in more chunks.
constexpr uint32_t MAX_CHUNKS = 0xFFFF;

using answers::ANY;
using answers::GO_ON;

// Scan step of SI and SIX.
constexpr answers::Row imageScanStep[] = {
    {SCAN_SUCCESS, nullptr, GO_ON},
    {ANY, "Scan failed\n", RES_SCAN_FAILED},
};

// Final answer of SI and SIX; the argument is the image size (Param2).
constexpr answers::Row scanImageAnswer[] = {
    {SUCCEED, "Image Size: %#x\n", GO_ON, TRACE_CALL},
    {SCAN_FAILED, "Scan failed\n", RES_SCAN_FAILED},
    {TIMEOUT, "Scan timeout\n", RES_TIMEOUT},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {CANCELLED, "Command is cancelled\n", RES_CANCELLED},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};

// Only answer of RI and RIX; the argument is the image size (Param2).
constexpr answers::Row readImageAnswer[] = {
    {SUCCEED, "Image Size: %#x\n", GO_ON, TRACE_CALL},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};

constexpr answers::Row keyWriteAnswer[] = {
    {SUCCEED, nullptr, GO_ON},
    {NOT_SUPPORTED, "Encryption is not supported\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};

// Scan step of KS.
constexpr answers::Row templateScanStep[] = {
    {SCAN_SUCCESS, nullptr, GO_ON},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {CANCELLED, "Command is canceled\n", RES_CANCELLED},
    {ANY, "Scan failed\n", RES_SCAN_FAILED},
};

// Final answer of KS; the argument is the encrypted template's size (Param2).
constexpr answers::Row templateAnswer[] = {
    {SUCCEED, "Encrypted Template Size: %#x\n", GO_ON, TRACE_CALL},
    {SCAN_FAILED, "Scan failed\n", RES_SCAN_FAILED},
    {TRY_AGAIN, "Try again\n", RES_TRY_AGAIN},
    {TIMEOUT, "Scan timeout\n", RES_TIMEOUT},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {CANCELLED, "Command is cancelled\n", RES_CANCELLED},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};

// Receives the final answer, applies `table` with Param2 as its argument and,
// when the command succeeded, hands Param2 (the size of what follows) back.
int receive_size_answer(answers::Table table, uint32_t* size) {
    AnswerPacket answer{};
    if (int rc = receive_answer(answer); rc < 0) return rc;
    const uint32_t announced = answer_field(FIELD_PARAM2, answer);
    const int rc = answers::apply(table, answers::flag_of(answer), announced);
    if (rc == GO_ON && size) *size = announced;
    return rc;
}

// The shape of the four image commands: packet, scan step where there is one, final answer.
int image_command(uint8_t command, uint32_t chunkLength, answers::Table scanStep, answers::Table final,
                  uint32_t* size) {
    if (int rc = send_command(command, 0, chunkLength, 0); rc < 0) return rc;
    if (!scanStep.empty()) {
        if (int rc = answers::scan_wait(scanStep); rc != GO_ON) return rc;
    }
    return receive_size_answer(final, size);
}

void trace_image_header(ImageRecordBytes record) {
    const uint8_t* header = record.data();
    trace_more(TRACE_CALL, "      Width: %#x Height: %#x Format: %#x Size: %#x\n", packet::get32(header),
               packet::get32(header + 4), packet::get32(header + 16), packet::get32(header + 20));
}

// An announced image longer than the record is refused before any byte is read.
bool image_fits(ImageRecordBytes record, uint32_t length) {
    if (length <= record.size()) return true;
    trace(TRACE_ERROR, "Image data too large: %#x %#x\n", length, static_cast<uint32_t>(record.size()));
    return false;
}

} // namespace

int write_encryption_key(const uint8_t* key32) {
    trace(TRACE_CALL, "Encryption Key Write(KW)\n");
    if (int rc = send_command(packet::cmd::KW, 0, 0, 0); rc < 0) return rc;
    if (int rc = send_data(key32, KEY_SIZE); rc < 0) return rc;
    AnswerPacket answer{};
    return answers::receive_and_apply(answer, keyWriteAnswer);
}

int scan_template_with_challenge(uint32_t challenge, uint32_t* size) {
    trace(TRACE_CALL, "Scan Templat with Challenge Data(KS): %#x\n", challenge);
    if (int rc = send_command(packet::cmd::ST, challenge, 0, 0); rc < 0) return rc;
    if (int rc = answers::scan_wait(templateScanStep); rc != GO_ON) return rc;
    // The encrypted template follows as a data block of the announced size; the
    // caller checks that size and receives it.
    return receive_size_answer(templateAnswer, size);
}

int scan_image(uint32_t* size) {
    trace(TRACE_CALL, "Scan Image(SI)\n");
    return image_command(packet::cmd::SI, 0, imageScanStep, scanImageAnswer, size);
}

int read_image(uint32_t* size) {
    trace(TRACE_CALL, "Read Image(RI)\n");
    return image_command(packet::cmd::RI, 0, {}, readImageAnswer, size);
}

int scan_image_chunked(uint32_t chunkLength, uint32_t* size) {
    trace(TRACE_CALL, "Scan Image(SIX): %#x\n", chunkLength);
    return image_command(packet::cmd::SIX, chunkLength, imageScanStep, scanImageAnswer, size);
}

int read_image_chunked(uint32_t chunkLength, uint32_t* size) {
    trace(TRACE_CALL, "Read Image(RIX): %#x\n", chunkLength);
    return image_command(packet::cmd::RIX, chunkLength, {}, readImageAnswer, size);
}

int receive_image(ImageRecordBytes record, uint32_t length) {
    trace(TRACE_CALL, "Get Image Data: %#x\n", length);
    if (!image_fits(record, length)) return RES_DATA_ERROR;
    if (int rc = receive_data(record.first(length)); rc < 0) return rc;
    trace_image_header(record);
    return 0;
}

int receive_image_chunks(ImageRecordBytes record, uint32_t length) {
    trace(TRACE_CALL, "Get Image Data: %#x\n", length);
    if (!image_fits(record, length)) return RES_DATA_ERROR;
    uint32_t received = 0;
    Progress progress(length);
    for (uint32_t chunks = 0; received < length; ++chunks) {
        progress.update(received);
        AnswerPacket header{};
        if (int rc = receive_chunk_header(header); rc < 0) return rc;
        const uint32_t chunkLength = answer_field(FIELD_PARAM2, header);
        const auto chunkCommand = static_cast<uint8_t>(answer_field(FIELD_COMMAND, header));

        // Every chunk must bring data, stay within the announced length and
        // within the chunk numbering; otherwise the reception ends here.
        if (chunkLength == 0) {
            trace(TRACE_ERROR, "Empty image data chunk: %#x\n", chunks);
            return RES_DATA_ERROR;
        }
        if (chunkLength > length - received) {
            trace(TRACE_ERROR, "Image data chunk too large: %#x %#x\n", chunkLength, length - received);
            return RES_DATA_ERROR;
        }
        if (chunks == MAX_CHUNKS) {
            trace(TRACE_ERROR, "Too many image data chunks: %#x\n", chunks);
            return RES_DATA_ERROR;
        }

        uint8_t* chunk = record.data() + received;
        const int want = static_cast<int>(chunkLength);
        const int got = link_read(chunk, want);
        if (got < 0) {
            trace(TRACE_ERROR, "Cannot read the serial port\n");
            return ERR_READ;
        }
        if (got != want) {
            trace(TRACE_ERROR, "Serial read timeout %d %d\n", got, want);
            link_state().unsettled = true; // the rest may still be on its way
            return ERR_READ_TIMEOUT;
        }
        uint8_t sumBytes[4] = {};
        const int sumGot = link_read(sumBytes, 4);
        if (sumGot < 0) {
            trace(TRACE_ERROR, "Cannot read the serial port\n");
            return ERR_READ;
        }
        if (sumGot != 4) {
            trace(TRACE_ERROR, "Serial read timeout\n");
            link_state().unsettled = true;
            return ERR_READ_TIMEOUT;
        }

        const bool sumOk = packet::get32(sumBytes) == byte_sum(chunk, chunkLength);
        if (int rc = send_command(chunkCommand, 0, 0, sumOk ? DATA_ACCEPTED : DATA_CHECKSUM_ERROR); rc < 0)
            return rc;
        if (!sumOk) {
            trace(TRACE_ERROR, "Image data chunk checksum error: %#x\n", chunks);
            return RES_DATA_ERROR;
        }
        received += chunkLength;
    }
    trace_image_header(record);
    return 0;
}

} // namespace kelvor
