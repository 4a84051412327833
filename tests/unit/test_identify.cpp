// Identification against the scripted far end: IS, II, IT and IIX with their
// scan steps, IIX's first answer, the final answer table of each form, and the
// data that II, IT and IIX send.
#include <algorithm>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FarEnd.h"
#include "InProcess.h"
#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;

namespace {

using farend::Bytes;
using farend::Exchange;
using farend::run_in_process;

class IdentifyTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() { farend::reset_library(); }
};

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 13 + 1);
    return b;
}

// An image record of a 64 by 64 image as the BMP reader leaves it: the header,
// then the pixels; II and IIX send its first width*height bytes.
Bytes record_64x64() {
    Bytes r = pattern(IMAGE_HEADER_SIZE + 64 * 64);
    packet::put32(&r[0], 64);
    packet::put32(&r[4], 64);
    packet::put32(&r[20], 64 * 64);
    return r;
}

// What the module expects and answers for the chunks of an IIX transfer.
void expect_chunks(farend::Script& s, const Bytes& data, size_t chunk) {
    const auto count = static_cast<uint16_t>((data.size() + chunk - 1) / chunk);
    for (uint16_t i = 0; i < count; ++i) {
        const size_t at = i * chunk;
        const Bytes part(data.begin() + static_cast<long>(at),
                         data.begin() + static_cast<long>(std::min(data.size(), at + chunk)));
        s.expect_packet(cmd::IIX, packet::chunk_param1(count, i), static_cast<uint32_t>(part.size()), 0);
        s.expect(farend::concat({part, farend::le32(packet::byte_sum(part))}));
        s.answer(cmd::IIX, 0, 0, DATA_ACCEPTED);
    }
}

// One form of identification: its call line, how its command and data reach the
// module before the scan step, and the call itself.
struct Form {
    const char* name;
    const char* callLine;
    std::function<void(farend::Script&, const Bytes&)> request;
    std::function<int(const Bytes&, uint32_t*, uint32_t*)> call;
    uint8_t command;
};

const std::vector<Form>& forms() {
    static const std::vector<Form> all = {
        {"IS", "[API] Identify by scan(IS) (0 ~ 0)\n",
         [](farend::Script& s, const Bytes&) { s.expect_packet(cmd::IS, 0, 0, 0); },
         [](const Bytes&, uint32_t* id, uint32_t* v) { return identify_by_scan(0, 0, id, v); }, 0x11},
        {"II", "[API] Identify by image(II) (0 ~ 0): 0x40\n",
         [](farend::Script& s, const Bytes& d) {
             s.expect_packet(cmd::II, 0, static_cast<uint32_t>(d.size()), 0).expect(farend::data_block(d));
         },
         [](const Bytes& d, uint32_t* id, uint32_t* v) {
             return identify_by_image(0, 0, d.data(), static_cast<uint32_t>(d.size()), id, v);
         },
         0x12},
        {"IT", "[API] Identify by Template(IT) (0 ~ 0): 0x40\n",
         [](farend::Script& s, const Bytes& d) {
             s.expect_packet(cmd::IT, 0, static_cast<uint32_t>(d.size()), 0).expect(farend::data_block(d));
         },
         [](const Bytes& d, uint32_t* id, uint32_t* v) {
             return identify_by_template(0, 0, d.data(), static_cast<uint32_t>(d.size()), id, v);
         },
         0x13},
        {"IIX", "[API] Identify by image(IIX) (0 ~ 0): 0x40 0x1000\n",
         [](farend::Script& s, const Bytes& d) {
             s.expect_packet(cmd::IIX, 0, static_cast<uint32_t>(d.size()), 0).answer(cmd::IIX, 0, 0, SUCCEED);
             expect_chunks(s, d, 0x1000);
         },
         [](const Bytes& d, uint32_t* id, uint32_t* v) {
             return identify_by_image_chunked(0, 0, d.data(), static_cast<uint32_t>(d.size()), 0x1000, id, v);
         },
         0x81},
    };
    return all;
}

struct Outcome {
    int rc;
    const char* trace;
};

struct FinalRow {
    uint8_t flag;
    Outcome byForm[4]; // IS, II, IT, IIX
};

constexpr Outcome UNKNOWN = {RES_UNKNOWN, "[ERR] Identify: Unknown error\n"};

TEST_F(IdentifyTest, FinalAnswerOfEachForm) {
    const Outcome ok = {0, "      Identify Succeed: 0x12 0\n"};
    const Outcome scanFailed = {RES_SCAN_FAILED, "[ERR] Identify: Scan failed\n"};
    const Outcome notFound = {RES_NOT_FOUND, "[ERR] Identify: Not found\n"};
    const Outcome tryAgain = {RES_TRY_AGAIN, "[ERR] Identify: Try again\n"};
    const Outcome timeout = {RES_TIMEOUT, "[ERR] Identify: Timeout\n"};
    const Outcome matching = {RES_TIMEOUT_MATCHING, "[ERR] Identify: Timeout matching\n"};
    const Outcome busy = {RES_SYSTEM_BUSY, "[ERR] System is busy\n"};
    const Outcome cancelled = {RES_CANCELLED, "[ERR] Command is cancelled\n"};
    const Outcome checksum = {RES_DATA_ERROR, "[ERR] Identify: Data checksum error\n"};
    const Outcome rejected = {RES_ID_REJECTED, "[ERR] The ID is rejected\n"};
    const Outcome duress = {RES_DURESS_FINGER, "[ERR] Duress finger is detected\n"};
    const FinalRow rows[] = {
        {SUCCEED, {ok, ok, ok, ok}},
        {SCAN_FAILED, {scanFailed, UNKNOWN, UNKNOWN, UNKNOWN}},
        {NOT_FOUND, {notFound, notFound, notFound, notFound}},
        {TRY_AGAIN, {tryAgain, tryAgain, tryAgain, tryAgain}},
        {TIMEOUT, {timeout, UNKNOWN, UNKNOWN, UNKNOWN}},
        {TIMEOUT_MATCHING, {matching, matching, matching, matching}},
        {SYSTEM_BUSY, {busy, busy, busy, UNKNOWN}},
        {CANCELLED, {cancelled, cancelled, cancelled, UNKNOWN}},
        {DATA_CHECKSUM_ERROR, {UNKNOWN, UNKNOWN, UNKNOWN, checksum}},
        {ID_REJECTED, {rejected, rejected, rejected, rejected}},
        {DURESS_FINGER, {duress, duress, duress, duress}},
        {NOT_MATCH, {UNKNOWN, UNKNOWN, UNKNOWN, UNKNOWN}},
        {SCAN_SUCCESS, {UNKNOWN, UNKNOWN, UNKNOWN, UNKNOWN}},
    };
    const Bytes data = pattern(0x40);
    for (size_t f = 0; f < forms().size(); ++f) {
        const Form& form = forms()[f];
        for (const FinalRow& row : rows) {
            SCOPED_TRACE(std::string(form.name) + " " + std::to_string(row.flag));
            reset();
            farend::Script s;
            s.open_sequence();
            form.request(s, data);
            s.answer(form.command, 0x12, 0, row.flag);
            uint32_t id = 0xdead, value = 0xbeef;
            Exchange r = run_in_process(s, [&] { return form.call(data, &id, &value); });
            const Outcome& want = row.byForm[f];
            EXPECT_EQ(r.rc, want.rc);
            EXPECT_EQ(r.trace, std::string(form.callLine) + want.trace);
            EXPECT_EQ(id, want.rc == 0 ? 0x12u : 0xdeadu);
            EXPECT_EQ(value, want.rc == 0 ? 0u : 0xbeefu);
            EXPECT_TRUE(r.far.ok) << r.far.failure;
        }
    }
}

struct ScanStepRow {
    uint8_t flag;
    Outcome scan;   // IS
    Outcome byData; // II, IT, IIX
};

// With SCAN_SUCCESS on every form reads a scan answer before the final one; a
// refused scan ends the command without reading further.
TEST_F(IdentifyTest, ScanStepOfEachForm) {
    const ScanStepRow rows[] = {
        {SCAN_SUCCESS, {0, "      Identify Succeed: 0x12 0x3\n"}, {0, "      Identify Succeed: 0x12 0x3\n"}},
        {SYSTEM_BUSY,
         {RES_SYSTEM_BUSY, "[ERR] System is busy\n"},
         {RES_SCAN_FAILED, "[ERR] Identify: Scan failed\n"}},
        {CANCELLED,
         {RES_CANCELLED, "[ERR] Command is canceled\n"},
         {RES_SCAN_FAILED, "[ERR] Identify: Scan failed\n"}},
        {SCAN_FAILED,
         {RES_SCAN_FAILED, "[ERR] Identify: Scan failed\n"},
         {RES_SCAN_FAILED, "[ERR] Identify: Scan failed\n"}},
        {SUCCEED,
         {RES_SCAN_FAILED, "[ERR] Identify: Scan failed\n"},
         {RES_SCAN_FAILED, "[ERR] Identify: Scan failed\n"}},
    };
    const Bytes data = pattern(0x40);
    for (const Form& form : forms()) {
        for (const ScanStepRow& row : rows) {
            SCOPED_TRACE(std::string(form.name) + " " + std::to_string(row.flag));
            reset();
            farend::Script s;
            s.open_sequence(0x30, 0x30, 0x31);
            form.request(s, data);
            s.answer(form.command, 0, 0, row.flag);
            if (row.flag == SCAN_SUCCESS) s.answer(form.command, 0x12, 3, SUCCEED);
            Exchange r = run_in_process(s, [&] { return form.call(data, nullptr, nullptr); });
            const Outcome& want = form.command == cmd::IS ? row.scan : row.byData;
            EXPECT_EQ(r.rc, want.rc);
            EXPECT_EQ(r.trace, std::string(form.callLine) + want.trace);
            EXPECT_TRUE(r.far.ok) << r.far.failure;
        }
    }
}

TEST_F(IdentifyTest, ScanRangeTravelsInParam1) {
    farend::Script s;
    s.open_sequence().expect_packet(cmd::IS, 0x00100005, 0, 0).answer(cmd::IS, 0x7, 0x1, SUCCEED);
    uint32_t id = 0;
    Exchange r = run_in_process(s, [&] { return identify_by_scan(5, 0x10, &id, nullptr); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(id, 7u);
    EXPECT_EQ(r.trace, "[API] Identify by scan(IS) (0x5 ~ 0x10)\n      Identify Succeed: 0x7 0x1\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// A 64 by 64 image: 0x1000 bytes from the start of the record, header included.
TEST_F(IdentifyTest, ImageOf64By64SendsOneBlockOf4096Bytes) {
    const Bytes record = record_64x64();
    const Bytes sent(record.begin(), record.begin() + 4096);
    farend::Script s;
    s.open_sequence().expect_packet(cmd::II, 0, 0x1000, 0).expect(farend::data_block(sent));
    s.answer(cmd::II, 0x3, 0, SUCCEED);
    Exchange r =
        run_in_process(s, [&] { return identify_by_image(0, 0, record.data(), 64 * 64, nullptr, nullptr); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty());
}

TEST_F(IdentifyTest, ChunkedImageOf64By64In1536ByteChunks) {
    const Bytes record = record_64x64();
    const Bytes sent(record.begin(), record.begin() + 4096);
    farend::Script s;
    s.open_sequence().expect_packet(cmd::IIX, 0, 0x1000, 0).answer(cmd::IIX, 0, 0, SUCCEED);
    expect_chunks(s, sent, 1536); // 1536, 1536 and 1024 bytes
    s.answer(cmd::IIX, 0x9, 0x2, SUCCEED);
    uint32_t id = 0, value = 0;
    Exchange r = run_in_process(
        s, [&] { return identify_by_image_chunked(0, 0, record.data(), 64 * 64, 1536, &id, &value); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(id, 9u);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(r.trace,
              "[API] Identify by image(IIX) (0 ~ 0): 0x1000 0x600\n      Identify Succeed: 0x9 0x2\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// IIX's first answer, before any chunk: "System busy" here, unlike the final answer.
TEST_F(IdentifyTest, ChunkedFirstAnswerStopsBeforeTheData) {
    const Outcome rows[] = {
        {RES_SYSTEM_BUSY, "[ERR] System busy\n"},
        {RES_CANCELLED, "[ERR] Command is cancelled\n"},
        {RES_UNKNOWN, "[ERR] Unknown error\n"},
        {RES_UNKNOWN, "[ERR] Unknown error\n"},
    };
    const uint8_t flags[] = {SYSTEM_BUSY, CANCELLED, NOT_FOUND, DATA_ACCEPTED};
    const Bytes data = pattern(0x40);
    for (size_t i = 0; i < std::size(flags); ++i) {
        SCOPED_TRACE(flags[i]);
        reset();
        farend::Script s;
        s.open_sequence().expect_packet(cmd::IIX, 0, 0x40, 0).answer(cmd::IIX, 0, 0, flags[i]);
        Exchange r = run_in_process(
            s, [&] { return identify_by_image_chunked(0, 0, data.data(), 0x40, 0x1000, nullptr, nullptr); });
        EXPECT_EQ(r.rc, rows[i].rc);
        EXPECT_EQ(r.trace,
                  std::string("[API] Identify by image(IIX) (0 ~ 0): 0x40 0x1000\n") + rows[i].trace);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty());
    }
}

TEST_F(IdentifyTest, ChunkSizeZeroSendsNothing) {
    const Bytes data = pattern(0x40);
    farend::Script s;
    s.open_sequence();
    Exchange r = run_in_process(
        s, [&] { return identify_by_image_chunked(0, 0, data.data(), 0x40, 0, nullptr, nullptr); });
    EXPECT_EQ(r.rc, RES_DATA_ERROR);
    EXPECT_EQ(r.trace, "[API] Identify by image(IIX) (0 ~ 0): 0x40 0\n[ERR] Invalid chunk size: 0\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty());
}

// An image size beyond the image record is refused before anything is sent.
TEST_F(IdentifyTest, ImageBeyondTheRecordSendsNothing) {
    const Bytes data(IMAGE_RECORD_SIZE + 1);
    const auto size = static_cast<uint32_t>(data.size());
    const std::function<int()> calls[] = {
        [&] { return identify_by_image(0, 0, data.data(), size, nullptr, nullptr); },
        [&] { return identify_by_image_chunked(0, 0, data.data(), size, 0x1000, nullptr, nullptr); },
    };
    for (const auto& call : calls) {
        reset();
        farend::Script s;
        s.open_sequence();
        Exchange r = run_in_process(s, call);
        EXPECT_EQ(r.rc, RES_NOT_SUPPORTED);
        EXPECT_NE(r.trace.find("[ERR] Image size 0x3201d is beyond the image record\n"), std::string::npos)
            << r.trace;
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty());
    }
}

} // namespace
