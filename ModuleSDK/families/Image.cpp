// Encryption and image capture: KW writes the encryption key, KS scans an
// encrypted template, SI/RI/SIX/RIX have the module send a fingerprint image,
// and the two reception routines bring that image into the image record,
// either as one data block or as acknowledged chunks.
#include "families/Image.h"

#include "ModuleSDK.h"
#include "families/Run.h"
#include "families/ScanTemplate.h"
#include "link/Blocks.h"
#include "trace/Outcome.h"
#include "trace/Progress.h"

namespace kelvor {

namespace {

constexpr uint32_t KEY_SIZE = packet::record::ENCRYPTION_KEY_SIZE;
// The chunk count and index travel in 16 bits, so no image arrives in more chunks.
constexpr uint32_t MAX_CHUNKS = 0xFFFF;

using sequence::Sequence;
using sequence::SuccessLine;

// The image follows as a data block or in chunks of the announced size (Param2).
constexpr SuccessLine imageSize = SuccessLine::line(TRACE_CALL, "Image Size: %#x\n", {FIELD_PARAM2, "bytes"});

constexpr Sequence SI{.command = packet::cmd::SI,
                      .waits = answers::scanWaits,
                      .answer = image::scanImageAnswer,
                      .success = imageSize};
constexpr Sequence SIX{.command = packet::cmd::SIX,
                       .waits = answers::scanWaits,
                       .answer = image::scanImageAnswer,
                       .success = imageSize};
constexpr Sequence RI{.command = packet::cmd::RI, .answer = answers::busyOrUnknown, .success = imageSize};
constexpr Sequence RIX{.command = packet::cmd::RIX, .answer = answers::busyOrUnknown, .success = imageSize};

constexpr Sequence KW{
    .command = packet::cmd::KW, .transfer = sequence::Transfer::Block, .answer = image::keyWriteAnswer};

// KS goes out as ST with the challenge in Param1; the encrypted template
// follows as a data block of the announced size, which the caller checks and receives.
constexpr Sequence KS{
    .command = template_scan::ST.command,
    .waits = answers::canceledScanWaits,
    .answer = template_scan::ST.answer,
    .success = SuccessLine::line(TRACE_CALL, "Encrypted Template Size: %#x\n", {FIELD_PARAM2, "bytes"})};

void trace_image_header(ImageRecordBytes record) {
    const uint8_t* header = record.data();
    namespace layout = packet::record;
    trace_more(
        TRACE_CALL, "      Width: %#x Height: %#x Format: %#x Size: %#x\n",
        packet::get32(header + layout::IMAGE_WIDTH_AT), packet::get32(header + layout::IMAGE_HEIGHT_AT),
        packet::get32(header + layout::IMAGE_FORMAT_AT), packet::get32(header + layout::IMAGE_SIZE_AT));
    outcome::value("width", packet::get32(header + layout::IMAGE_WIDTH_AT));
    outcome::value("height", packet::get32(header + layout::IMAGE_HEIGHT_AT));
    outcome::value("format", packet::get32(header + layout::IMAGE_FORMAT_AT));
    outcome::value("pixel_bytes", packet::get32(header + layout::IMAGE_SIZE_AT));
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
    return sequence::run(KW, {.data = key32, .size = KEY_SIZE});
}

int scan_template_with_challenge(uint32_t challenge, uint32_t* size) {
    trace(TRACE_CALL, "Scan Templat with Challenge Data(KS): %#x\n", challenge);
    return sequence::run(KS, {.param1 = challenge, .out = {size, nullptr}});
}

int scan_image(uint32_t* size) {
    trace(TRACE_CALL, "Scan Image(SI)\n");
    return sequence::run(SI, {.out = {size, nullptr}});
}

int read_image(uint32_t* size) {
    trace(TRACE_CALL, "Read Image(RI)\n");
    return sequence::run(RI, {.out = {size, nullptr}});
}

int scan_image_chunked(uint32_t chunkLength, uint32_t* size) {
    trace(TRACE_CALL, "Scan Image(SIX): %#x\n", chunkLength);
    return sequence::run(SIX, {.param2 = chunkLength, .out = {size, nullptr}});
}

int read_image_chunked(uint32_t chunkLength, uint32_t* size) {
    trace(TRACE_CALL, "Read Image(RIX): %#x\n", chunkLength);
    return sequence::run(RIX, {.param2 = chunkLength, .out = {size, nullptr}});
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
        // A stop is answered at the chunk that comes next: the module has it on
        // its way, and the chunk refused ends its transfer.
        const bool stop = !progress.update(received);
        AnswerPacket header{};
        if (int rc = receive_chunk_header(header); rc < 0) {
            // The chunks answer under the command's code, or the one the module gave the chunk before.
            return serial_interrupted()
                       ? chunk_cut_short(static_cast<uint8_t>(link_state().awaitedCommand), rc)
                       : rc;
        }
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

        bool sumOk = false;
        if (int rc =
                receive_chunk_body(chunkCommand, record.subspan(received, chunkLength), false, sumOk, stop);
            rc < 0)
            return rc;
        if (!sumOk) {
            trace(TRACE_ERROR, "Image data chunk checksum error: %#x\n", chunks);
            return RES_DATA_ERROR;
        }
        received += chunkLength;
    }
    progress.update(received); // all of it: the observer hears of the whole
    trace_image_header(record);
    return 0;
}

// ------------------------------------------------------------- run_command

namespace {

// The image record that an image command announced, received into the output.
int take_image(Outcome& out, int rc, uint32_t size, bool chunked) {
    if (rc != 0) return rc;
    out.output.assign(IMAGE_RECORD_SIZE, 0);
    const ImageRecordBytes record(out.output.data(), IMAGE_RECORD_SIZE);
    rc = chunked ? receive_image_chunks(record, size) : receive_image(record, size);
    out.outputTaken = rc == 0;
    return rc;
}

int scan_encrypted(const CommandRequest& r, Outcome& out) {
    uint32_t size = 0;
    if (const int rc = scan_template_with_challenge(r.param1, &size); rc != 0) return rc;
    if (constexpr uint32_t most = packet::describe("KS").announced.most; size > most)
        return run::refuse(out, HOST_CHECK_ANNOUNCED, "Err: Encrypted template size %#x is beyond %#x\n",
                           size, most);
    return run::receive_output(out, size);
}

constexpr run::Registration RUNS[] = {
    {packet::cmd::SI,
     [](const CommandRequest&, Outcome& out) {
         uint32_t size = 0;
         const int rc = scan_image(&size);
         return take_image(out, rc, size, false);
     }},
    {packet::cmd::RI,
     [](const CommandRequest&, Outcome& out) {
         uint32_t size = 0;
         const int rc = read_image(&size);
         return take_image(out, rc, size, false);
     }},
    {packet::cmd::SIX,
     [](const CommandRequest& r, Outcome& out) {
         uint32_t size = 0;
         const int rc = scan_image_chunked(r.param2, &size);
         return take_image(out, rc, size, true);
     }},
    {packet::cmd::RIX,
     [](const CommandRequest& r, Outcome& out) {
         uint32_t size = 0;
         const int rc = read_image_chunked(r.param2, &size);
         return take_image(out, rc, size, true);
     }},
    {packet::cmd::KW,
     [](const CommandRequest& r, Outcome&) { return write_encryption_key(run::input_of(r).data()); }},
    {packet::cmd::KS, scan_encrypted},
};

} // namespace

std::span<const run::Registration> run::image_runs() {
    return RUNS;
}

} // namespace kelvor
