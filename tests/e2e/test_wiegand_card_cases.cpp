// The Wiegand, smart-card and card-enrollment cases of the front end, through
// the real binary against a scripted module: what each reads from its input
// file and refuses before sending, what goes on the wire and what the output
// file gets.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "FarEnd.h"
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
    const char* err;                           // whole standard error, error lines normalised
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
        EXPECT_EQ(farend::normalize_lines(tool.err), c.err);
    }
}

// Files naming bytes are checked against their size before anything is
// allocated or sent; the formats that need no definition go without data.
TEST(WiegandCases, FormatWriteTakesItsDefinitionFromTheFileWhole) {
    const std::string call = "[API] Write Wiegand Configuration Extended(WWX): ";
    run_cases({
        {"pass through without a file",
         {"-c", "WWX", "-f", "2"},
         0,
         nullptr,
         "[OrvantiCom.cpp(N)] Err: No configuration file is defined\n"},
        {"26 bit without a file announces no data",
         {"-c", "WWX", "-f", "1", "-p1", "0x012c0064", "-p2", "5"},
         0,
         [](farend::Script& s) {
             s.expect_packet(cmd::WWX, 0x012c0064, 0, 1).answer(cmd::WWX, 0, 0, SUCCEED);
         },
         "[API] Write Wiegand Configuration Extended(WWX): 26bit Standard 300 usec 100 usec\n"},
        {"file shorter than announced",
         {"-c", "WWX", "-f", "3", "-p2", "5"},
         4,
         nullptr,
         "[OrvantiCom.cpp(N)] Err: Cannot read 0x5 bytes of configuration data\n"},
        {"absurd length",
         {"-c", "WWX", "-f", "3", "-p2", "0xFFFFFFFF"},
         4,
         nullptr,
         "[OrvantiCom.cpp(N)] Err: Cannot read 0xffffffff bytes of configuration data\n"},
        {"first bytes of a longer file",
         {"-c", "WWX", "-f", "3", "-p2", "4"},
         6,
         [](farend::Script& s) {
             s.expect_packet(cmd::WWX, 0, 4, 3)
                 .expect(farend::data_block(iota_bytes(4)))
                 .answer(cmd::WWX, 0, 0, flag::NOT_SUPPORTED);
         },
         "[API] Write Wiegand Configuration Extended(WWX): Custom Format 0 usec 0 usec\n"
         "[ERR] Wiegand format is inavlid\n"},
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
         },
         "[API] List Smartcard Mapping(WL)\n[API] Num of mapping: 0x1 Data Size: 0x8\n"},
        {"empty list reads no data",
         {"-c", "WL", "-f", "2"},
         0,
         [](farend::Script& s) { s.expect_packet(cmd::WL, 0, 0, 0).answer(cmd::WL, 0, 0, SUCCEED); },
         "[API] List Wiegand Mapping(WL)\n[API] Num of mapping: 0 Data Size: 0\n"},
        {"absurd list refused unread",
         {"-c", "WL"},
         0,
         [](farend::Script& s) { s.expect_packet(cmd::WL, 0, 0, 0).answer(cmd::WL, 1, 0xFFFFFFFF, SUCCEED); },
         "[API] List Wiegand Mapping(WL)\n[API] Num of mapping: 0x1 Data Size: 0xffffffff\n"
         "[OrvantiCom.cpp(N)] Err: Mapping data of 0xffffffff bytes exceed 0x10000 bytes\n"},
        {"card mapping",
         {"-c", "WM", "-f", "1", "-p1", "0x21", "-p2", "7"},
         0,
         [](farend::Script& s) { s.expect_packet(cmd::WM, 0x21, 7, 1).answer(cmd::WM, 0, 0, SUCCEED); },
         "[API] Set Smartcard Mapping(WM): Verify by Wiegand 0x7\n"},
        {"field default cleared",
         {"-c", "WFW", "-f", "1", "-p1", "5", "-p2", "2"},
         0,
         [](farend::Script& s) { s.expect_packet(cmd::WFW, 5, 2, 1).answer(cmd::WFW, 0, 0, SUCCEED); },
         "[API] Set Default Value of a Field(WFW): 2 0x5 Clear\n"},
    });
}

TEST(CardCases, FrontEndChecksBeforeAnythingIsSent) {
    const Bytes key = iota_bytes(12);
    Bytes block = first(key, 6);
    block.insert(block.end(), {21, 0});
    block.insert(block.end(), key.begin() + 6, key.end());
    block.insert(block.end(), {57, 0});
    run_cases({
        {"template index 2",
         {"-c", "CW", "-p1", "2", "-p2", "4"},
         8,
         nullptr,
         "[OrvantiCom.cpp(N)] Err: Invalid number of templates\n"},
        {"template file short",
         {"-c", "CW", "-p2", "9"},
         8,
         nullptr,
         "[OrvantiCom.cpp(N)] Err: Cannot read the template data\n"},
        {"template bytes straight through",
         {"-c", "CW", "-p1", "1", "-p2", "5", "-f", "0x102"},
         8,
         [](farend::Script& s) {
             s.expect_packet(cmd::CW, 1, 5, 2)
                 .expect(farend::data_block(iota_bytes(5)))
                 .answer(cmd::CW, 0, 0, SUCCEED);
         },
         "[API] Write Templates To SmartCard(CW): 0x1 5 0x2\n[API] Write succeed\n"},
        {"key file short",
         {"-c", "CKW", "-p1", "1"},
         11,
         nullptr,
         "[OrvantiCom.cpp(N)] Err: Cannot read 12 bytes of card keys\n"},
        {"key type is the low byte",
         {"-c", "CKW", "-p1", "0x101", "-f", "2"},
         12,
         [block](farend::Script& s) {
             s.expect_packet(cmd::CKW, 1, 16, 2)
                 .expect(farend::data_block(block))
                 .answer(cmd::CKW, 0, 0, SUCCEED);
         },
         "[API] Write Smart Card Key(CKW): 1 0x2\n"},
        {"layout without a file",
         {"-c", "CLW"},
         0,
         nullptr,
         "[OrvantiCom.cpp(N)] Err: No trace file is defined\n"},
        {"layout file short",
         {"-c", "CLW"},
         6,
         nullptr,
         "[OrvantiCom.cpp(N)] Err: Cannot read 7 bytes of card layout\n"},
        {"format mode 2",
         {"-c", "CF", "-f", "2"},
         0,
         [](farend::Script& s) { s.expect_packet(cmd::CF, 0, 0, 2).answer(cmd::CF, 0, 0, SUCCEED); },
         "[API] Format SmartCard(CF): Format\n"},
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
        const char* lines;
    };
    const Row rows[] = {
        {"whole header", data,
         "[API] CSN: 0x4030201\n[API] Wiegand String: 0xc0b0a09 08070605\n[API] Version: 13\n"
         "[API] Num of Template: 1\n[API] Template1: 4368 bytes duress\n[API] Template2: 5139 bytes \n"},
        {"short header", first(data, 19), ""},
    };
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
        EXPECT_EQ(tool.err, "[API] Read Templates From SmartCard(CR): 0x1\n[API] Data Length: " +
                                std::to_string(r.data.size()) + "\n" + r.lines);
        EXPECT_EQ(dir.read("card.bin"), std::string(r.data.begin(), r.data.end()));
    }
}

TEST(EnrollByCardCases, WiegandStringAndTemplatesFromTheFile) {
    const std::string ecx = "[API] Enroll templates to smartcard(ECX): ";
    run_cases({
        {"EC with a short string file",
         {"-c", "EC", "-f", "4"},
         7,
         nullptr,
         "[OrvantiCom.cpp(N)] Err: Cannot read the wiegand string\n"},
        {"EC reads the string but sends it only when announced",
         {"-c", "EC", "-p1", "9"},
         8,
         [](farend::Script& s) { s.expect_packet(cmd::EC, 9, 0, 0).answer(cmd::EC, 0, 0, SUCCEED); },
         "[API] Enroll smartcard(EC): 0x9 0 0\n     Enroll: Succeed\n"},
        {"ECX of one small template: nothing read, nothing sent",
         {"-c", "ECX", "-p1", "9", "-p2", "0x180"},
         0,
         [](farend::Script& s) {
             s.expect_packet(cmd::ECX, 9, 0, 0)
                 .answer(cmd::ECX, 0, 0, SUCCEED)
                 .answer(cmd::ECX, 0, 0, SUCCEED);
         },
         "[API] Enroll templates to smartcard(ECX): 0x9 0 0 0\n     Enroll: Succeed\n"},
        {"ECX without its file",
         {"-c", "ECX", "-f", "4"},
         0,
         nullptr,
         "[OrvantiCom.cpp(N)] Err: No data file is defined\n"},
        {"ECX beyond what a card holds",
         {"-c", "ECX", "-p2", "0xFFFFFFFF"},
         4,
         nullptr,
         "[OrvantiCom.cpp(N)] Err: Template data of 0xfffe0001 bytes exceed 0x40000 bytes\n"},
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
         },
         "[API] Enroll templates to smartcard(ECX): 0x9 1 4 0x4\n[ERR] Enroll: Timeout\n"},
    });
}

} // namespace
