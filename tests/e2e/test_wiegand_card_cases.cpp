// The Wiegand, smart-card and card-enrollment cases of the front end, through
// the real binary against a scripted module: what each reads from its input
// file and refuses before sending, what goes on the wire and what the output
// file gets.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "FarEnd.h"
#include "Golden.h"
#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;
namespace flag = kelvor::packet::flag;

using namespace kelvor;

namespace {

using farend::Bytes;

Bytes iota_bytes(size_t n, uint8_t start = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i);
    return b;
}

Bytes first(const Bytes& b, size_t n) {
    return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
}

struct Case {
    const char* name;
    std::vector<std::string> args;
    size_t inputBytes;                         // bytes of in.bin given with -i; 0: no -i
    std::function<void(farend::Script&)> wire; // what follows the opening
};

void run_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        farend::TempDir dir;
        farend::Script s;
        s.open_sequence();
        if (c.wire) c.wire(s);
        std::vector<std::string> args = c.args;
        if (c.inputBytes) {
            dir.write("in.bin", iota_bytes(c.inputBytes));
            args.insert(args.end(), {"-i", "in.bin"});
        }
        farend::FarEnd fe(s);
        std::vector<std::string> all = {"-P", fe.port(), "-b", "115200", "-t", "300", "-x2"};
        all.insert(all.end(), args.begin(), args.end());
        const farend::RunResult tool = farend::run_kelvor(all, dir.path());
        const farend::Outcome wire = fe.finish();
        EXPECT_TRUE(wire.ok) << wire.failure;
        EXPECT_TRUE(wire.extra.empty()) << farend::hex_dump(wire.extra);
        EXPECT_GOLDEN(tool.err, c.name);
    }
}

// Files naming bytes are checked against their size before anything is
// allocated or sent; the formats that need no definition go without data.
TEST(WiegandCases, FormatWriteTakesItsDefinitionFromTheFileWhole) {
    run_cases({
        {"pass through without a file", {"-c", "WWX", "-f", "2"}, 0, nullptr},
        {"26 bit without a file announces no data",
         {"-c", "WWX", "-f", "1", "-p1", "0x012c0064", "-p2", "5"},
         0,
         [](farend::Script& s) {
             s.expect_packet(cmd::WWX, 0x012c0064, 0, 1).answer(cmd::WWX, 0, 0, SUCCEED);
         }},
        {"file shorter than announced", {"-c", "WWX", "-f", "3", "-p2", "5"}, 4, nullptr},
        {"absurd length", {"-c", "WWX", "-f", "3", "-p2", "0xFFFFFFFF"}, 4, nullptr},
        {"first bytes of a longer file",
         {"-c", "WWX", "-f", "3", "-p2", "4"},
         6,
         [](farend::Script& s) {
             s.expect_packet(cmd::WWX, 0, 4, 3)
                 .expect(farend::data_block(iota_bytes(4)))
                 .answer(cmd::WWX, 0, 0, flag::NOT_SUPPORTED);
         }},
    });
}

TEST(WiegandCases, MappingsOfTheCardWithFlagOneOnly) {
    run_cases({
        {"card list drains its data",
         {"-c", "WL", "-f", "1"},
         0,
         [](farend::Script& s) {
             s.expect_packet(cmd::WL, 0, 0, 1)
                 .answer(cmd::WL, 1, 8, SUCCEED)
                 .send(farend::data_block(iota_bytes(8)));
         }},
        {"empty list reads no data",
         {"-c", "WL", "-f", "2"},
         0,
         [](farend::Script& s) { s.expect_packet(cmd::WL, 0, 0, 0).answer(cmd::WL, 0, 0, SUCCEED); }},
        {"absurd list refused unread",
         {"-c", "WL"},
         0,
         [](farend::Script& s) {
             s.expect_packet(cmd::WL, 0, 0, 0).answer(cmd::WL, 1, 0xFFFFFFFF, SUCCEED);
         }},
        {"card mapping",
         {"-c", "WM", "-f", "1", "-p1", "0x21", "-p2", "7"},
         0,
         [](farend::Script& s) { s.expect_packet(cmd::WM, 0x21, 7, 1).answer(cmd::WM, 0, 0, SUCCEED); }},
        {"field default cleared",
         {"-c", "WFW", "-f", "1", "-p1", "5", "-p2", "2"},
         0,
         [](farend::Script& s) { s.expect_packet(cmd::WFW, 5, 2, 1).answer(cmd::WFW, 0, 0, SUCCEED); }},
    });
}

TEST(CardCases, FrontEndChecksBeforeAnythingIsSent) {
    const Bytes key = iota_bytes(12);
    Bytes block = first(key, 6);
    block.insert(block.end(), {21, 0});
    block.insert(block.end(), key.begin() + 6, key.end());
    block.insert(block.end(), {57, 0});
    run_cases({
        {"template index 2", {"-c", "CW", "-p1", "2", "-p2", "4"}, 8, nullptr},
        {"template file short", {"-c", "CW", "-p2", "9"}, 8, nullptr},
        {"template bytes straight through",
         {"-c", "CW", "-p1", "1", "-p2", "5", "-f", "0x102"},
         8,
         [](farend::Script& s) {
             s.expect_packet(cmd::CW, 1, 5, 2)
                 .expect(farend::data_block(iota_bytes(5)))
                 .answer(cmd::CW, 0, 0, SUCCEED);
         }},
        {"key file short", {"-c", "CKW", "-p1", "1"}, 11, nullptr},
        {"key type is the low byte",
         {"-c", "CKW", "-p1", "0x101", "-f", "2"},
         12,
         [block](farend::Script& s) {
             s.expect_packet(cmd::CKW, 1, 16, 2)
                 .expect(farend::data_block(block))
                 .answer(cmd::CKW, 0, 0, SUCCEED);
         }},
        {"layout without a file", {"-c", "CLW"}, 0, nullptr},
        {"layout file short", {"-c", "CLW"}, 6, nullptr},
        {"format mode 2",
         {"-c", "CF", "-f", "2"},
         0,
         [](farend::Script& s) { s.expect_packet(cmd::CF, 0, 0, 2).answer(cmd::CF, 0, 0, SUCCEED); }},
    });
}

// The card data go whole to the output file; the header lines need all 20 header bytes.
TEST(CardCases, CardDataToTheOutputFileAndTheHeader) {
    Bytes data = iota_bytes(0x40);
    data[13] = 1;
    data[14] = 1; // template 1 is a duress finger, template 2 is not
    data[17] = 0;
    struct Row {
        const char* name;
        Bytes data;
    };
    const Row rows[] = {{"whole header", data}, {"short header", first(data, 19)}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        farend::TempDir dir;
        farend::Script s;
        s.open_sequence()
            .expect_packet(cmd::CR, 0, 0, 1)
            .answer(cmd::CR, 0, static_cast<uint32_t>(r.data.size()), SUCCEED)
            .send(farend::data_block(r.data));
        farend::FarEnd fe(s);
        const auto tool = farend::run_kelvor(
            {"-P", fe.port(), "-b", "115200", "-t", "300", "-x2", "-c", "CR", "-f", "1", "-o", "card.bin"},
            dir.path());
        EXPECT_TRUE(fe.finish().ok);
        EXPECT_GOLDEN(tool.err, r.name);
        EXPECT_EQ(dir.read("card.bin"), std::string(r.data.begin(), r.data.end()));
    }
}

TEST(EnrollByCardCases, WiegandStringAndTemplatesFromTheFile) {
    run_cases({
        {"EC with a short string file", {"-c", "EC", "-f", "4"}, 7, nullptr},
        {"EC reads the string but sends it only when announced",
         {"-c", "EC", "-p1", "9"},
         8,
         [](farend::Script& s) { s.expect_packet(cmd::EC, 9, 0, 0).answer(cmd::EC, 0, 0, SUCCEED); }},
        {"ECX of one small template: nothing read, nothing sent",
         {"-c", "ECX", "-p1", "9", "-p2", "0x180"},
         0,
         [](farend::Script& s) {
             s.expect_packet(cmd::ECX, 9, 0, 0)
                 .answer(cmd::ECX, 0, 0, SUCCEED)
                 .answer(cmd::ECX, 0, 0, SUCCEED);
         }},
        {"ECX without its file", {"-c", "ECX", "-f", "4"}, 0, nullptr},
        {"ECX beyond what a card holds", {"-c", "ECX", "-p2", "0xFFFFFFFF"}, 4, nullptr},
        {"ECX pads a short file with zeros",
         {"-c", "ECX", "-p1", "9", "-p2", "0x10004", "-f", "4"},
         6,
         [](farend::Script& s) {
             Bytes chunk = iota_bytes(6);
             chunk.resize(12, 0);
             s.expect_packet(cmd::ECX, 9, 0x10004, 4)
                 .answer(cmd::ECX, 0, 0, SUCCEED)
                 .expect_packet(cmd::ECX, packet::chunk_param1(1, 0), 12, 0)
                 .expect(farend::concat({chunk, farend::le32(21)}))
                 .answer(cmd::ECX, 0, 0, DATA_ACCEPTED)
                 .answer(cmd::ECX, 0, 0, TIMEOUT);
         }},
    });
}

} // namespace
