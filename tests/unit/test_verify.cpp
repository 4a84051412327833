// Verification against a scripted module: every row of the library's answer
// tables as each of the seven commands applies it (the final answer, the scan
// waits, VIX's first answer), the success lines with their values, and the
// templates VT and VH write.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "FarEnd.h"
#include "InProcess.h"
#include "ModuleSDK.h"
#include "TableRows.h"
#include "families/Verify.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;

namespace {

using farend::Bytes;

constexpr uint32_t UNTOUCHED = 0xdeadbeef;
constexpr uint32_t SCAN_SUCCESS_OFF = 0x30;
constexpr uint32_t SCAN_SUCCESS_ON = 0x31;

using farend::Exchange;

// Every exchange traced in full, the packet and data dumps split off. The
// connection is closed before the far end finishes: everything sent is on the
// line, so a short grace period suffices.
Exchange run_on(const farend::Script& script, const std::function<int()>& call) {
    return farend::run_in_process(script, call, {.traceMask = 0x0F, .splitDumps = true, .finishGraceMs = 20});
}

Bytes pattern(size_t n, uint8_t seed = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 7 + seed) % 251);
    return b;
}

uint32_t sum_of(const Bytes& b) {
    uint32_t s = 0;
    for (uint8_t x : b) s += x;
    return s;
}

class VerifyCommands : public ::testing::Test {
protected:
    void TearDown() override { farend::reset_library(); }
};

// The seven commands, each with the exchange that leads to its final answer.
enum Command : size_t { VS, VI, VIX, VT, VH, VW, VC, COMMANDS };
const char* const commandNames[] = {"VS", "VI", "VIX", "VT", "VH", "VW", "VC"};
const uint8_t commandCodes[] = {0x08, 0x09, 0x82, 0x10, 0x22, 0x1D, 0xA7};

const Bytes image = pattern(IMAGE_RECORD_SIZE);
const Bytes templ = pattern(6, 3);
constexpr uint32_t IMAGE_SIZE = 12;

// Script from the command packet up to (not including) the answers after the
// scan waits; with SCAN_SUCCESS on, `waits` SCAN_SUCCESS answers follow.
void script_command(farend::Script& s, Command c) {
    const uint8_t code = commandCodes[c];
    switch (c) {
    case VS: s.expect_packet(code, 0x11, 0, 0); break;
    case VI:
        s.expect_packet(code, 0x11, IMAGE_SIZE, 0);
        s.expect(farend::data_block(Bytes(image.begin(), image.begin() + IMAGE_SIZE)));
        break;
    case VIX: {
        s.expect_packet(code, 0x11, IMAGE_SIZE, 0).answer(code, 0, 0, SUCCEED);
        const Bytes chunk(image.begin(), image.begin() + IMAGE_SIZE);
        s.expect_packet(code, packet::chunk_param1(1, 0), IMAGE_SIZE, 0);
        s.expect(farend::concat({chunk, farend::le32(sum_of(chunk))}));
        s.answer(code, 0, 0, DATA_ACCEPTED);
        break;
    }
    case VT: s.expect_packet(code, 0x11, 6, 0).expect(farend::data_block(templ)); break;
    case VH: s.expect_packet(code, 1, 6, 0).expect(farend::data_block(templ)); break;
    case VW: s.expect_packet(code, 0, 0, 0); break;
    case VC: s.expect_packet(code, 0, 0, 0x41); break;
    case COMMANDS: break;
    }
}

int call_command(Command c, uint32_t* first, uint32_t* second) {
    switch (c) {
    case VS: return verify_by_scan(0x11, first);
    case VI: return verify_by_image(0x11, image.data(), IMAGE_SIZE, first);
    case VIX: return verify_by_image_chunked(0x11, image.data(), IMAGE_SIZE, 4096, first);
    case VT: return verify_by_template(0x11, templ.data(), 6, first);
    case VH: return verify_by_host_templates(1, templ.data(), 6);
    case VW: return verify_by_wiegand(first, second);
    case VC: return verify_by_smartcard(0x41, first, second);
    case COMMANDS: break;
    }
    return 0;
}

const std::string callLines[] = {
    "[API] Verify by scan(VS) 0x11\n",
    "[API] Verify by image(VI): 0x11 0xc\n",
    "[API] Verify by image(VIX): 0x11 0xc 0x1000\n",
    "[API] Verify by Template(VT): 0x11 0x6\n",
    "[API] Verify by Host Template(VH): 0x1 0x6\n",
    "[API] Verify by Wieagnd(VW)\n",
    "[API] Verify by SmartCard(VC)\n",
};

// The command refused by a row: its code, its message after the call line,
// no value handed back, and nothing sent beyond the far end's script.
template <class Row> void expect_refusal(const farend::Script& s, Command command, const Row& row) {
    uint32_t first = UNTOUCHED, second = UNTOUCHED;
    const Exchange r = run_on(s, [&] { return call_command(command, &first, &second); });
    EXPECT_EQ(r.rc, row.code);
    EXPECT_EQ(r.trace, callLines[command] + tablerows::traced(row));
    EXPECT_EQ(first, UNTOUCHED);
    EXPECT_EQ(second, UNTOUCHED);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
}

// The final-answer table's column of each command.
constexpr verify::Column columns[] = {verify::VS, verify::VI, verify::VIX, verify::VT,
                                      verify::VH, verify::VW, verify::VC};
static_assert(std::size(columns) == COMMANDS);

// Every row of the final-answer table as each command's column sees it; the
// catch-all row met by flags that no row names (SCAN_SUCCESS while the cache
// says off is taken as the answer itself).
TEST_F(VerifyCommands, FinalAnswerTablePerCommand) {
    for (size_t c = 0; c < COMMANDS; ++c) {
        const auto command = static_cast<Command>(c);
        for (const auto& [flag, row] :
             tablerows::meetings(verify::finalAnswer, columns[c], {SCAN_SUCCESS, 0xff})) {
            SCOPED_TRACE(std::string(commandNames[c]) + " flag " + std::to_string(flag));
            farend::Script s;
            s.open_sequence(0x30, 0x30, SCAN_SUCCESS_OFF);
            script_command(s, command);
            s.answer(commandCodes[c], 0x5, 0x1, flag);
            expect_refusal(s, command, *row);
        }
    }
}

// With SCAN_SUCCESS on: the waits of each command, then SUCCEED with Param1
// 0x5 and Param2 0x1, its success line and the values handed back.
struct SuccessCase {
    int waits;
    const char* line;
    uint32_t first;
    uint32_t second;
};
const SuccessCase successCases[] = {
    {1, "      Verify Succeed: 0x1\n", 0x1, UNTOUCHED},   {1, "      Verify: Succeed 0x1\n", 0x1, UNTOUCHED},
    {1, "      Verify: Succeed 0x1\n", 0x1, UNTOUCHED},   {1, "      Verify: Succeed 0x1\n", 0x1, UNTOUCHED},
    {1, "      Verify: Succeed\n", UNTOUCHED, UNTOUCHED}, {2, "      Verify Succeed: 0x5 0x1\n", 0x5, 0x1},
    {2, "      Verify Succeed: 0x5 0x1\n", 0x5, 0x1},
};

TEST_F(VerifyCommands, SuccessAfterTheScanWaits) {
    for (size_t c = 0; c < COMMANDS; ++c) {
        const auto command = static_cast<Command>(c);
        SCOPED_TRACE(commandNames[c]);
        farend::Script s;
        s.open_sequence(0x30, 0x30, SCAN_SUCCESS_ON);
        script_command(s, command);
        for (int i = 0; i < successCases[c].waits; ++i) s.answer(commandCodes[c], 0, 0, SCAN_SUCCESS);
        s.answer(commandCodes[c], 0x5, 0x1, SUCCEED);
        uint32_t first = UNTOUCHED, second = UNTOUCHED;
        const Exchange r = run_on(s, [&] { return call_command(command, &first, &second); });
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.trace, callLines[c] + successCases[c].line);
        EXPECT_EQ(first, successCases[c].first);
        EXPECT_EQ(second, successCases[c].second);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
    }
}

// The scan waits of each command in the order it meets them: VW and VC wait
// for their input, then for the finger.
std::vector<answers::Table> waits_of(Command c) {
    switch (c) {
    case VW: return {verify::wiegandScanWait, verify::fingerScanWait};
    case VC: return {verify::smartcardScanWait, verify::fingerScanWait};
    default: return {verify::fingerScanWait};
    }
}

// Each scan wait walked row by row, the waits before it passed: a flag other
// than SCAN_SUCCESS ends the command as its row says and nothing more is read.
// The catch-all row is met by the flags of the final answer and SUCCEED.
TEST_F(VerifyCommands, ScanWaits) {
    for (size_t c = 0; c < COMMANDS; ++c) {
        const auto command = static_cast<Command>(c);
        const std::vector<answers::Table> waits = waits_of(command);
        for (size_t w = 0; w < waits.size(); ++w) {
            for (const auto& [flag, row] : tablerows::meetings(
                     waits[w], {SUCCEED, SYSTEM_BUSY, NOT_MATCH, SCAN_FAILED, TIMEOUT, CARD_ERROR})) {
                if (row->code == answers::GO_ON) continue; // SCAN_SUCCESS: SuccessAfterTheScanWaits
                SCOPED_TRACE(std::string(commandNames[c]) + " wait " + std::to_string(w) + " flag " +
                             std::to_string(flag));
                farend::Script s;
                s.open_sequence(0x30, 0x30, SCAN_SUCCESS_ON);
                script_command(s, command);
                for (size_t before = 0; before < w; ++before)
                    s.answer(commandCodes[c], 0x5, 0x1, SCAN_SUCCESS);
                s.answer(commandCodes[c], 0x5, 0x1, flag);
                expect_refusal(s, command, *row);
            }
        }
    }
}

// VIX's answer before the data, walked row by row: only SUCCEED, which no row
// names, lets the image go.
TEST_F(VerifyCommands, ChunkedImageFirstAnswer) {
    ASSERT_FALSE(tablerows::names(verify::chunkedFirstAnswer, SUCCEED));
    for (const auto& [flag, row] :
         tablerows::meetings(verify::chunkedFirstAnswer, {CANCELLED, SCAN_SUCCESS})) {
        SCOPED_TRACE(flag);
        farend::Script s;
        s.open_sequence().expect_packet(cmd::VIX, 0x11, IMAGE_SIZE, 0).answer(cmd::VIX, 0, 0, flag);
        const Exchange r = run_on(s, [&] { return call_command(VIX, nullptr, nullptr); });
        EXPECT_EQ(r.rc, row->code);
        EXPECT_EQ(r.trace, callLines[VIX] + tablerows::traced(*row));
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
    }
}

// 10000 bytes of image in chunks of 4096.
TEST_F(VerifyCommands, ChunkedImageGoesInChunksOfTheGivenSize) {
    farend::Script s;
    s.open_sequence().expect_packet(cmd::VIX, 7, 10000, 0).answer(cmd::VIX, 0, 0, SUCCEED);
    const uint32_t lengths[] = {4096, 4096, 1808};
    uint32_t offset = 0;
    for (uint16_t i = 0; i < 3; ++i) {
        const Bytes chunk(image.begin() + offset, image.begin() + offset + lengths[i]);
        s.expect_packet(cmd::VIX, packet::chunk_param1(3, i), lengths[i], 0);
        s.expect(farend::concat({chunk, farend::le32(sum_of(chunk))}));
        s.answer(cmd::VIX, 0, 0, DATA_ACCEPTED);
        offset += lengths[i];
    }
    s.answer(cmd::VIX, 7, 0x33, SUCCEED);
    uint32_t value = UNTOUCHED;
    const Exchange r =
        run_on(s, [&] { return verify_by_image_chunked(7, image.data(), 10000, 4096, &value); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(value, 0x33u);
    EXPECT_EQ(r.trace, "[API] Verify by image(VIX): 0x7 0x2710 0x1000\n      Verify: Succeed 0x33\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// VH sends the clamped number of templates, each from its own place in the
// buffer, without a data trace; the buffer holds exactly that many.
TEST_F(VerifyCommands, HostTemplatesAreClampedToOneToTen) {
    const struct {
        uint32_t requested;
        uint32_t sent;
    } cases[] = {{0, 1}, {1, 1}, {3, 3}, {10, 10}, {12, 10}};
    constexpr uint32_t size = 5;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.requested);
        std::vector<Bytes> templates;
        Bytes buffer;
        for (uint32_t i = 0; i < c.sent; ++i) {
            templates.push_back(pattern(size, static_cast<uint8_t>(i * 40)));
            buffer.insert(buffer.end(), templates.back().begin(), templates.back().end());
        }
        farend::Script s;
        s.open_sequence().expect_packet(cmd::VH, c.sent, size, 0);
        for (const Bytes& t : templates) s.expect(farend::data_block(t));
        s.answer(cmd::VH, 0, 0, SUCCEED);
        const Exchange r =
            run_on(s, [&] { return verify_by_host_templates(c.requested, buffer.data(), size); });
        EXPECT_EQ(r.rc, 0);
        char callLine[80];
        std::snprintf(callLine, sizeof callLine, "[API] Verify by Host Template(VH): %#x 0x5\n", c.sent);
        EXPECT_EQ(r.trace, std::string(callLine) + "      Verify: Succeed\n");
        EXPECT_EQ(r.dumps.find("[DATA]"), std::string::npos) << r.dumps;
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
    }
}

// VT writes its template straight through, without a data trace; VI sends a
// traced data block.
TEST_F(VerifyCommands, TemplateBytesAreNotTracedImageBytesAre) {
    for (Command c : {VT, VI}) {
        SCOPED_TRACE(commandNames[c]);
        farend::Script s;
        s.open_sequence();
        script_command(s, c);
        s.answer(commandCodes[c], 0, 0x2, SUCCEED);
        const Exchange r = run_on(s, [&] { return call_command(c, nullptr, nullptr); });
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.dumps.find("[DATA]") != std::string::npos, c == VI) << r.dumps;
        EXPECT_TRUE(r.far.ok) << r.far.failure;
    }
}

TEST_F(VerifyCommands, SilentModuleReturnsTheLinkCode) {
    farend::Script s;
    s.open_sequence(0x30, 0x30, SCAN_SUCCESS_ON)
        .expect_packet(cmd::VW, 0, 0, 0)
        .answer(cmd::VW, 0, 0, SCAN_SUCCESS);
    uint32_t id = UNTOUCHED;
    const Exchange r = run_on(s, [&] { return verify_by_wiegand(&id, nullptr); });
    EXPECT_EQ(r.rc, ERR_READ_TIMEOUT);
    EXPECT_EQ(r.trace, "[API] Verify by Wieagnd(VW)\n[ERR] Read data timeout: 0 0xd\n");
    EXPECT_EQ(id, UNTOUCHED);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

} // namespace
