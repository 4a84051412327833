// Image capture and encryption commands against the scripted far end: every
// row of the answer tables of SI, SIX, RI, RIX, KW and KS, and the reception of an image
// into the record as one block or as acknowledged chunks, including a module
// that announces more than the record holds or sends chunks that never end.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "FarEnd.h"
#include "InProcess.h"
#include "ModuleSDK.h"
#include "TableRows.h"
#include "engine/Tables.h"
#include "families/Image.h"
#include "families/ScanTemplate.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;

namespace {

using farend::Bytes;
using farend::Exchange;
using farend::run_in_process;

class ImageTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() { farend::reset_library(); }
};

// An image record as the module sends it: the header words, then w*h pixels.
Bytes image_record(uint32_t width, uint32_t height, uint32_t format) {
    Bytes r(IMAGE_HEADER_SIZE + width * height);
    packet::put32(&r[0], width);
    packet::put32(&r[4], height);
    packet::put32(&r[16], format);
    packet::put32(&r[20], width * height);
    for (size_t i = IMAGE_HEADER_SIZE; i < r.size(); ++i) r[i] = static_cast<uint8_t>(i * 7 + 3);
    return r;
}

// The record buffer with a guard area behind it that no reception may touch.
struct GuardedRecord {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(IMAGE_RECORD_SIZE + 64, 0xEE);
    ImageRecordBytes record() { return ImageRecordBytes(bytes.data(), IMAGE_RECORD_SIZE); }
    bool guard_intact() const {
        for (size_t i = IMAGE_RECORD_SIZE; i < bytes.size(); ++i)
            if (bytes[i] != 0xEE) return false;
        return true;
    }
    bool holds(const Bytes& image) const { return std::equal(image.begin(), image.end(), bytes.begin()); }
};

// The module sends `image` in chunks of `chunk` bytes under `command`; each chunk is
// acknowledged with the chunk command (`badChunk` gets a checksum one too high and 0x82).
void add_chunks(farend::Script& s, uint8_t command, const Bytes& image, size_t chunk, int badChunk = -1) {
    const auto count = static_cast<uint16_t>((image.size() + chunk - 1) / chunk);
    for (uint16_t i = 0; i < count; ++i) {
        const size_t at = i * chunk;
        const Bytes part(image.begin() + static_cast<long>(at),
                         image.begin() + static_cast<long>(std::min(image.size(), at + chunk)));
        uint32_t sum = packet::byte_sum(part);
        if (i == badChunk) ++sum;
        s.answer(command, packet::chunk_param1(count, i), static_cast<uint32_t>(part.size()), 0);
        s.send(farend::concat({part, farend::le32(sum)}));
        s.expect_packet(command, 0, 0, i == badChunk ? DATA_CHECKSUM_ERROR : DATA_ACCEPTED);
        if (i == badChunk) return;
    }
}

// One exchange of an answer table's walk: the SCAN_SUCCESS setting at open, the
// answers, and what comes of them.
struct AnswerCase {
    uint32_t scanSuccess; // parameter 0x75 at open
    int ssFlag;           // flag of the wait's answer, -1 when none is sent
    int finalFlag;        // flag of the final answer, -1 when it must not be read
    int rc;
    std::string trace;
};

// SI and SIX walk their final-answer table with SCAN_SUCCESS answers off and
// after the scan wait with them on, and the scan wait row by row; each
// catch-all row met by flags that its table does not name.
TEST_F(ImageTest, ScanImageAnswersWithAndWithoutScanSuccess) {
    const std::string success = "[API] Image Size: 0x4b1c\n";
    std::vector<AnswerCase> rows = {{0x30, -1, SUCCEED, 0, success},
                                    {0x31, SCAN_SUCCESS, SUCCEED, 0, success}};
    for (const auto& [flag, row] : tablerows::meetings(image::scanImageAnswer, {TRY_AGAIN, SCAN_SUCCESS})) {
        rows.push_back({0x30, -1, flag, row->code, tablerows::traced(*row)});
        if (flag != SCAN_SUCCESS)
            rows.push_back({0x31, SCAN_SUCCESS, flag, row->code, tablerows::traced(*row)});
    }
    for (const auto& [flag, row] : tablerows::meetings(answers::scanWait, {SCAN_FAILED, SYSTEM_BUSY})) {
        if (row->code == answers::GO_ON) continue; // SCAN_SUCCESS: the rows after the wait above
        rows.push_back({0x31, flag, -1, row->code, tablerows::traced(*row)});
    }
    struct Form {
        uint8_t command;
        uint32_t chunk;
        const char* callLine;
        int (*call)(uint32_t* size);
    };
    const Form forms[] = {
        {0x15, 0, "[API] Scan Image(SI)\n", scan_image},
        {0x83, 0x1000, "[API] Scan Image(SIX): 0x1000\n",
         [](uint32_t* size) { return scan_image_chunked(0x1000, size); }},
    };
    for (const Form& form : forms) {
        for (const AnswerCase& row : rows) {
            SCOPED_TRACE(std::string(form.callLine) + " ss " + std::to_string(row.ssFlag) + " final " +
                         std::to_string(row.finalFlag));
            reset();
            farend::Script s;
            s.open_sequence(0x30, 0x30, row.scanSuccess).expect_packet(form.command, 0, form.chunk, 0);
            if (row.ssFlag >= 0) s.answer(form.command, 0, 0, static_cast<uint8_t>(row.ssFlag));
            if (row.finalFlag >= 0) s.answer(form.command, 0, 0x4b1c, static_cast<uint8_t>(row.finalFlag));
            uint32_t size = 0xdead;
            Exchange r = run_in_process(s, [&] { return form.call(&size); });
            EXPECT_EQ(r.rc, row.rc);
            EXPECT_EQ(size, row.rc == 0 ? 0x4b1cu : 0xdeadu);
            EXPECT_EQ(r.trace, form.callLine + row.trace);
            EXPECT_TRUE(r.far.ok) << r.far.failure;
        }
    }
}

struct FlagRow {
    uint8_t flag;
    int rc;
    std::string trace;
};

// SUCCEED, then every row of `table`, its catch-all row met by `others`.
std::vector<FlagRow> flag_rows(answers::Table table, const std::vector<uint8_t>& others,
                               const std::string& success) {
    std::vector<FlagRow> rows = {{SUCCEED, 0, success}};
    for (const auto& [flag, row] : tablerows::meetings(table, others))
        rows.push_back({flag, row->code, tablerows::traced(*row)});
    return rows;
}

// RI and RIX read one answer, even when the module sends SCAN_SUCCESS answers:
// the busy refusal's rows, its catch-all row met by a scan's flags.
TEST_F(ImageTest, ReadImageAnswers) {
    const std::vector<FlagRow> rows =
        flag_rows(answers::busyOrUnknown, {SCAN_FAILED, CANCELLED}, "[API] Image Size: 0x3201c\n");
    struct Form {
        uint8_t command;
        uint32_t chunk;
        const char* callLine;
        int (*call)(uint32_t* size);
    };
    const Form forms[] = {
        {0x20, 0, "[API] Read Image(RI)\n", read_image},
        {0x84, 0x800, "[API] Read Image(RIX): 0x800\n",
         [](uint32_t* size) { return read_image_chunked(0x800, size); }},
    };
    for (const Form& form : forms) {
        for (const FlagRow& row : rows) {
            SCOPED_TRACE(std::string(form.callLine) + std::to_string(row.flag));
            reset();
            farend::Script s;
            s.open_sequence(0x30, 0x30, 0x31).expect_packet(form.command, 0, form.chunk, 0);
            s.answer(form.command, 0, 0x3201c, row.flag);
            uint32_t size = 0;
            Exchange r = run_in_process(s, [&] { return form.call(&size); });
            EXPECT_EQ(r.rc, row.rc);
            if (row.rc == 0) {
                EXPECT_EQ(size, 0x3201cu);
            }
            EXPECT_EQ(r.trace, form.callLine + row.trace);
            EXPECT_TRUE(r.far.ok) << r.far.failure;
        }
    }
}

// KW sends the key block, then walks its answer table.
TEST_F(ImageTest, EncryptionKeyWriteSendsTheKeyBlock) {
    const std::vector<FlagRow> rows = flag_rows(image::keyWriteAnswer, {NOT_FOUND}, "");
    Bytes key(32);
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0xA0 + i);
    for (const FlagRow& row : rows) {
        SCOPED_TRACE(row.flag);
        reset();
        farend::Script s;
        s.open_sequence()
            .expect_packet(cmd::KW, 0, 0, 0)
            .expect(farend::data_block(key))
            .answer(cmd::KW, 0, 0, row.flag);
        Exchange r = run_in_process(s, [&] { return write_encryption_key(key.data()); });
        EXPECT_EQ(r.rc, row.rc);
        EXPECT_EQ(r.trace, "[API] Encryption Key Write(KW)\n" + row.trace);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
    }
}

// KS walks the scan template's final-answer table (SCAN_SUCCESS answers off)
// and the scan wait that tells a busy module and a cancelled scan apart (on),
// row by row; each catch-all row met by a flag its table does not name.
TEST_F(ImageTest, ScanTemplateWithChallengeAnswers) {
    const std::string success = "[API] Encrypted Template Size: 0x4b1c\n";
    std::vector<AnswerCase> rows = {{0x30, -1, SUCCEED, 0, success},
                                    {0x31, SCAN_SUCCESS, SUCCEED, 0, success}};
    for (const auto& [flag, row] : tablerows::meetings(template_scan::finalAnswer, {NOT_FOUND}))
        rows.push_back({0x30, -1, flag, row->code, tablerows::traced(*row)});
    for (const auto& [flag, row] : tablerows::meetings(answers::canceledScanWait, {TIMEOUT})) {
        if (row->code == answers::GO_ON) continue; // SCAN_SUCCESS: the success rows above
        rows.push_back({0x31, flag, -1, row->code, tablerows::traced(*row)});
    }
    for (const AnswerCase& row : rows) {
        SCOPED_TRACE("ss " + std::to_string(row.ssFlag) + " final " + std::to_string(row.finalFlag));
        reset();
        farend::Script s;
        // KS runs the scan-template command 0x21, with the challenge in Param1.
        s.open_sequence(0x30, 0x30, row.scanSuccess).expect_packet(cmd::ST, 0x12345678, 0, 0);
        if (row.ssFlag >= 0) s.answer(cmd::ST, 0, 0, static_cast<uint8_t>(row.ssFlag));
        if (row.finalFlag >= 0) s.answer(cmd::ST, 0, 0x4b1c, static_cast<uint8_t>(row.finalFlag));
        uint32_t size = 0;
        Exchange r = run_in_process(s, [&] { return scan_template_with_challenge(0x12345678, &size); });
        EXPECT_EQ(r.rc, row.rc);
        if (row.rc == 0) {
            EXPECT_EQ(size, 0x4b1cu);
        }
        EXPECT_EQ(r.trace, "[API] Scan Templat with Challenge Data(KS): 0x12345678\n" + row.trace);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
    }
}

TEST_F(ImageTest, ReceiveImageFillsTheWholeRecord) {
    const Bytes image = image_record(320, 640, 1); // 28 + 204800 bytes: the record's capacity
    ASSERT_EQ(image.size(), IMAGE_RECORD_SIZE);
    farend::Script s;
    s.open_sequence().send(farend::data_block(image));
    GuardedRecord rec;
    Exchange r =
        run_in_process(s, [&] { return receive_image(rec.record(), static_cast<uint32_t>(image.size())); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(rec.holds(image));
    EXPECT_TRUE(rec.guard_intact());
    EXPECT_EQ(r.trace,
              "[API] Get Image Data: 0x3201c\n      Width: 0x140 Height: 0x280 Format: 0x1 Size: 0x32000\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// A length beyond the record is refused before a byte is read, as one block or in chunks.
TEST_F(ImageTest, AnnouncedLengthBeyondTheRecordIsRefused) {
    const Bytes image = image_record(320, 641, 1);
    for (auto receive : {receive_image, receive_image_chunks}) {
        reset();
        // The module starts sending anyway; none of it may be read.
        farend::Script s;
        s.open_sequence().send(Bytes(image.begin(), image.begin() + 1024));
        GuardedRecord rec;
        Exchange r =
            run_in_process(s, [&] { return receive(rec.record(), static_cast<uint32_t>(image.size())); });
        EXPECT_EQ(r.rc, RES_DATA_ERROR);
        EXPECT_TRUE(rec.guard_intact());
        EXPECT_EQ(rec.bytes[0], 0xEE); // nothing read at all
        EXPECT_EQ(r.trace, "[API] Get Image Data: 0x3215c\n[ERR] Image data too large: 0x3215c 0x3201c\n");
        EXPECT_TRUE(r.far.ok) << r.far.failure;
    }
}

TEST_F(ImageTest, ReceiveImageChunksAcknowledgesEveryChunk) {
    const Bytes image = image_record(160, 120, 2); // 0x4b1c bytes: four chunks of 0x1000 and one of 0xb1c
    // Plain, network (acknowledgements as 15-byte packets) and hex-text forms;
    // chunk headers under a code other than the command's are taken all the
    // same and acknowledged with their own code.
    struct Form {
        int network, hex;
        uint8_t headerCode;
    };
    for (const Form& form : {Form{0, 0, 0x84}, Form{1, 0, 0x84}, Form{0, 1, 0x84}, Form{1, 0, 0x99},
                             Form{0, 0, 0x99}, Form{1, 1, 0x20}}) {
        const auto [network, hex, headerCode] = form;
        SCOPED_TRACE(std::to_string(network) + std::to_string(hex) + " " + std::to_string(headerCode));
        reset();
        farend::Script s;
        s.network(network == 1).hex(hex == 1).open_sequence().expect_packet(cmd::RIX, 0, 0x1000, 0);
        add_chunks(s, headerCode, image, 0x1000);
        GuardedRecord rec;
        Exchange r =
            run_in_process(s,
                           [&] {
                               send_command(cmd::RIX, 0, 0x1000, 0); // the chunks answer the image command
                               return receive_image_chunks(rec.record(), static_cast<uint32_t>(image.size()));
                           },
                           {.hexText = hex, .network = network});
        EXPECT_EQ(r.rc, 0);
        EXPECT_TRUE(rec.holds(image));
        EXPECT_EQ(r.trace,
                  "[API] Get Image Data: 0x4b1c\n      Width: 0xa0 Height: 0x78 Format: 0x2 Size: 0x4b00\n");
        EXPECT_TRUE(r.far.ok) << r.far.failure;
    }
}

TEST_F(ImageTest, ChunkWithWrongChecksumIsRefusedWithItsOwnAcknowledgement) {
    const Bytes image = image_record(160, 120, 2);
    farend::Script s;
    s.open_sequence().expect_packet(cmd::SIX, 0, 0x1000, 0);
    add_chunks(s, 0x83, image, 0x1000, 1);
    GuardedRecord rec;
    Exchange r = run_in_process(s, [&] {
        send_command(cmd::SIX, 0, 0x1000, 0);
        return receive_image_chunks(rec.record(), static_cast<uint32_t>(image.size()));
    });
    EXPECT_EQ(r.rc, RES_DATA_ERROR);
    EXPECT_EQ(r.trace, "[API] Get Image Data: 0x4b1c\n[ERR] Image data chunk checksum error: 0x1\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty()); // no further acknowledgement
}

size_t count_of(const Bytes& haystack, const Bytes& needle) {
    size_t n = 0;
    for (auto it = haystack.begin();
         (it = std::search(it, haystack.end(), needle.begin(), needle.end())) != haystack.end(); ++it)
        ++n;
    return n;
}

struct BadChunkRow {
    const char* what;
    uint32_t announced;
    std::vector<uint32_t> chunkLengths; // headers the module sends, each with its bytes and sum
    const char* error;
};

// Chunks that carry nothing, or more than is left of the announced length, end
// the reception at their header; none of their bytes reaches the record.
TEST_F(ImageTest, ChunkHeadersThatCannotEndTheImageAreRefused) {
    const BadChunkRow rows[] = {
        {"zero length, repeated", 0x100, {0, 0, 0, 0}, "[ERR] Empty image data chunk: 0\n"},
        {"zero length after data", 0x100, {0x80, 0}, "[ERR] Empty image data chunk: 0x1\n"},
        {"first chunk too long", 0x100, {0x200}, "[ERR] Image data chunk too large: 0x200 0x100\n"},
        {"sum passes the total", 0x100, {0x80, 0x81}, "[ERR] Image data chunk too large: 0x81 0x80\n"},
    };
    for (const BadChunkRow& row : rows) {
        SCOPED_TRACE(row.what);
        reset();
        farend::Script s;
        s.open_sequence().expect_packet(cmd::RIX, 0, 0, 0);
        uint32_t at = 0;
        bool refused = false;
        size_t accepted = 0;
        for (uint32_t len : row.chunkLengths) {
            const Bytes part(len, 0x5A);
            s.answer(cmd::RIX, 0, len, 0);
            s.send(farend::concat({part, farend::le32(packet::byte_sum(part))}));
            refused = refused || len == 0 || len > row.announced - at;
            if (!refused) {
                s.expect_packet(cmd::RIX, 0, 0, DATA_ACCEPTED);
                ++accepted;
            }
            at += len;
        }
        GuardedRecord rec;
        Exchange r = run_in_process(s, [&] {
            send_command(cmd::RIX, 0, 0, 0);
            return receive_image_chunks(rec.record(), row.announced);
        });
        EXPECT_EQ(r.rc, RES_DATA_ERROR);
        char line[64];
        std::snprintf(line, sizeof line, "[API] Get Image Data: %#x\n", row.announced);
        EXPECT_EQ(r.trace, std::string(line) + row.error);
        EXPECT_EQ(rec.bytes[row.announced], 0xEE);
        EXPECT_TRUE(rec.guard_intact());
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        // The refused chunk is not acknowledged, either way.
        EXPECT_EQ(count_of(r.far.received, farend::packet(cmd::RIX, 0, 0, DATA_ACCEPTED)), accepted);
        EXPECT_EQ(count_of(r.far.received, farend::packet(cmd::RIX, 0, 0, DATA_CHECKSUM_ERROR)), 0u);
    }
}

// The observer that stops at its call number `stopAt` (from 1).
struct StopAt {
    int stopAt;
    int calls = 0;
};
bool stop_at(uint64_t, uint64_t, void* context) {
    auto& w = *static_cast<StopAt*>(context);
    return ++w.calls < w.stopAt;
}

// A stop is answered at the chunk that comes next: the module has it on its
// way, so it is read whole and refused as a chunk with a wrong sum is, which
// ends the module's transfer; nothing after it is awaited.
TEST_F(ImageTest, AStoppedChunkedImageRefusesTheChunkThatComesNext) {
    const Bytes image = image_record(160, 120, 2);
    for (const int stopAt : {1, 3}) {
        SCOPED_TRACE(stopAt);
        reset();
        farend::Script s;
        s.open_sequence().expect_packet(cmd::SIX, 0, 0x1000, 0);
        for (uint16_t i = 0; i < stopAt; ++i) {
            const Bytes part(image.begin() + i * 0x1000, image.begin() + (i + 1) * 0x1000);
            s.answer(cmd::SIX, packet::chunk_param1(5, i), 0x1000, 0);
            s.send(farend::concat({part, farend::le32(packet::byte_sum(part))}));
            s.expect_packet(cmd::SIX, 0, 0, i + 1 == stopAt ? DATA_CHECKSUM_ERROR : DATA_ACCEPTED);
        }
        StopAt w{stopAt};
        transfer_observer(stop_at, &w);
        GuardedRecord rec;
        bool unsettled = false;
        Exchange r = run_in_process(s, [&] {
            send_command(cmd::SIX, 0, 0x1000, 0);
            const int rc = receive_image_chunks(rec.record(), static_cast<uint32_t>(image.size()));
            unsettled = link_state().unsettled;
            return rc;
        });
        transfer_observer(nullptr);
        EXPECT_EQ(r.rc, ERR_STOPPED);
        EXPECT_EQ(r.trace, "[API] Get Image Data: 0x4b1c\n[ERR] The transfer is stopped\n");
        EXPECT_EQ(w.calls, stopAt);
        EXPECT_TRUE(unsettled);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
    }
}

// The operator's interrupt while the next chunk is awaited: the module sends
// that chunk all the same and then waits for its acknowledgement, so the
// refusal goes out at once.
TEST_F(ImageTest, AnInterruptWhileAChunkIsAwaitedRefusesIt) {
    const Bytes image = image_record(160, 120, 2);
    const Bytes first(image.begin(), image.begin() + 0x1000);
    farend::Script s;
    s.open_sequence().expect_packet(cmd::RIX, 0, 0x1000, 0);
    s.answer(cmd::RIX, packet::chunk_param1(5, 0), 0x1000, 0)
        .send(farend::concat({first, farend::le32(packet::byte_sum(first))}))
        .expect_packet(cmd::RIX, 0, 0, DATA_ACCEPTED)
        .expect_packet(cmd::RIX, 0, 0, DATA_CHECKSUM_ERROR);
    GuardedRecord rec;
    // The operator presses Ctrl-C as the second chunk is about to be awaited.
    int calls = 0;
    transfer_observer(
        [](uint64_t, uint64_t, void* context) {
            if (++*static_cast<int*>(context) == 2) serial_interrupt();
            return true;
        },
        &calls);
    const auto start = std::chrono::steady_clock::now();
    Exchange r = run_in_process(s, [&] {
        send_command(cmd::RIX, 0, 0x1000, 0);
        const int rc = receive_image_chunks(rec.record(), static_cast<uint32_t>(image.size()));
        serial_clear_interrupt();
        return rc;
    });
    transfer_observer(nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(r.rc, ERR_READ_TIMEOUT);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
}

TEST_F(ImageTest, ChunkedLengthZeroReadsNothing) {
    farend::Script s;
    s.open_sequence();
    GuardedRecord rec;
    Exchange r = run_in_process(s, [&] { return receive_image_chunks(rec.record(), 0); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.trace,
              "[API] Get Image Data: 0\n      Width: 0xeeeeeeee Height: 0xeeeeeeee Format: 0xeeeeeeee "
              "Size: 0xeeeeeeee\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

} // namespace
