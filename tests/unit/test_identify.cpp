// Identification against the scripted far end: every row of the library's
// answer tables as each of IS, II, IT and IIX applies it (the final answer,
// the scan steps, IIX's first answer), and the data that II, IT and IIX send.
#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "FarEnd.h"
#include "InProcess.h"
#include "ModuleSDK.h"
#include "TableRows.h"
#include "families/Identify.h"

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
    std::string callLine;
    std::function<void(farend::Script&, const Bytes&)> request;
    std::function<int(const Bytes&, uint32_t*, uint32_t*)> call;
    uint8_t command;
    identify::Column column; // of the final-answer table
    answers::Table scanWait;
};

const std::vector<Form>& forms() {
    static const std::vector<Form> all = {
        {"IS", "[API] Identify by scan(IS) (0 ~ 0)\n",
         [](farend::Script& s, const Bytes&) { s.expect_packet(cmd::IS, 0, 0, 0); },
         [](const Bytes&, uint32_t* id, uint32_t* v) { return identify_by_scan(0, 0, id, v); }, 0x11,
         identify::IS, identify::scanWait},
        {"II", "[API] Identify by image(II) (0 ~ 0): 0x40\n",
         [](farend::Script& s, const Bytes& d) {
             s.expect_packet(cmd::II, 0, static_cast<uint32_t>(d.size()), 0).expect(farend::data_block(d));
         },
         [](const Bytes& d, uint32_t* id, uint32_t* v) {
             return identify_by_image(0, 0, d.data(), static_cast<uint32_t>(d.size()), id, v);
         },
         0x12, identify::II, identify::dataScanWait},
        {"IT", "[API] Identify by Template(IT) (0 ~ 0): 0x40\n",
         [](farend::Script& s, const Bytes& d) {
             s.expect_packet(cmd::IT, 0, static_cast<uint32_t>(d.size()), 0).expect(farend::data_block(d));
         },
         [](const Bytes& d, uint32_t* id, uint32_t* v) {
             return identify_by_template(0, 0, d.data(), static_cast<uint32_t>(d.size()), id, v);
         },
         0x13, identify::IT, identify::dataScanWait},
        {"IIX", "[API] Identify by image(IIX) (0 ~ 0): 0x40 0x1000\n",
         [](farend::Script& s, const Bytes& d) {
             s.expect_packet(cmd::IIX, 0, static_cast<uint32_t>(d.size()), 0).answer(cmd::IIX, 0, 0, SUCCEED);
             expect_chunks(s, d, 0x1000);
         },
         [](const Bytes& d, uint32_t* id, uint32_t* v) {
             return identify_by_image_chunked(0, 0, d.data(), static_cast<uint32_t>(d.size()), 0x1000, id, v);
         },
         0x81, identify::IIX, identify::dataScanWait},
    };
    return all;
}

struct Outcome {
    int rc;
    std::string trace;
};

// What a row of an answer table makes of an answer.
template <typename R> Outcome outcome_of(const R& row) {
    return {row.code, tablerows::traced(row)};
}

const Outcome identified = {0, "      Identify Succeed: 0x12 0\n"};

// The final answer of each form: SUCCEED, then every row of the final-answer
// table as the form's column sees it; the catch-all row met by flags that no
// row names.
TEST_F(IdentifyTest, FinalAnswerOfEachForm) {
    const Bytes data = pattern(0x40);
    for (const Form& form : forms()) {
        std::vector<std::pair<uint8_t, Outcome>> rows = {{SUCCEED, identified}};
        for (const auto& [flag, row] :
             tablerows::meetings(identify::finalAnswer, form.column, {NOT_MATCH, SCAN_SUCCESS}))
            rows.emplace_back(flag, outcome_of(*row));
        for (const auto& [flag, want] : rows) {
            SCOPED_TRACE(std::string(form.name) + " " + std::to_string(flag));
            reset();
            farend::Script s;
            s.open_sequence();
            form.request(s, data);
            s.answer(form.command, 0x12, 0, flag);
            uint32_t id = 0xdead, value = 0xbeef;
            Exchange r = run_in_process(s, [&] { return form.call(data, &id, &value); });
            EXPECT_EQ(r.rc, want.rc);
            EXPECT_EQ(r.trace, form.callLine + want.trace);
            EXPECT_EQ(id, want.rc == 0 ? 0x12u : 0xdeadu);
            EXPECT_EQ(value, want.rc == 0 ? 0u : 0xbeefu);
            EXPECT_TRUE(r.far.ok) << r.far.failure;
        }
    }
}

// With SCAN_SUCCESS on every form reads a scan answer before the final one,
// walked row by row through the form's scan wait: SCAN_SUCCESS goes on to
// the final answer; any other row ends the command without reading further.
// The catch-all row is met by the flags of the other wait and SUCCEED.
TEST_F(IdentifyTest, ScanStepOfEachForm) {
    const Bytes data = pattern(0x40);
    for (const Form& form : forms()) {
        for (const auto& [flag, row] :
             tablerows::meetings(form.scanWait, {SYSTEM_BUSY, CANCELLED, SCAN_FAILED, SUCCEED})) {
            SCOPED_TRACE(std::string(form.name) + " " + std::to_string(flag));
            const bool goesOn = row->code == answers::GO_ON;
            reset();
            farend::Script s;
            s.open_sequence(0x30, 0x30, 0x31);
            form.request(s, data);
            s.answer(form.command, 0, 0, flag);
            if (goesOn) s.answer(form.command, 0x12, 3, SUCCEED);
            Exchange r = run_in_process(s, [&] { return form.call(data, nullptr, nullptr); });
            EXPECT_EQ(r.rc, goesOn ? 0 : row->code);
            EXPECT_EQ(r.trace, form.callLine +
                                   (goesOn ? "      Identify Succeed: 0x12 0x3\n" : outcome_of(*row).trace));
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

// IIX's first answer, before any chunk, walked row by row: "System busy" here,
// unlike the final answer; only SUCCEED, which no row names, lets the data go.
TEST_F(IdentifyTest, ChunkedFirstAnswerStopsBeforeTheData) {
    ASSERT_FALSE(tablerows::names(identify::chunkedFirstAnswer, SUCCEED));
    const Bytes data = pattern(0x40);
    for (const auto& [flag, row] :
         tablerows::meetings(identify::chunkedFirstAnswer, {NOT_FOUND, DATA_ACCEPTED})) {
        SCOPED_TRACE(flag);
        reset();
        farend::Script s;
        s.open_sequence().expect_packet(cmd::IIX, 0, 0x40, 0).answer(cmd::IIX, 0, 0, flag);
        Exchange r = run_in_process(
            s, [&] { return identify_by_image_chunked(0, 0, data.data(), 0x40, 0x1000, nullptr, nullptr); });
        EXPECT_EQ(r.rc, row->code);
        EXPECT_EQ(r.trace, "[API] Identify by image(IIX) (0 ~ 0): 0x40 0x1000\n" + tablerows::traced(*row));
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
