// The command cases of the front end, through the real binary against a
// scripted module: what each case reads from its input file, what it puts on
// the wire, what it writes to its output file and which error lines it prints.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ErrorLines.h"
#include "FarEnd.h"
#include "Golden.h"
#include "ModuleSDK.h"
#include "image/Bmp.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;

namespace {

using farend::Bytes;

using Exchange = farend::ToolRun;

Exchange run(const farend::Script& script, const farend::TempDir& dir, const std::vector<std::string>& args) {
    return farend::run_against(script, dir, args);
}

// An image record as the module sends it: header words, then width x height pixels.
Bytes image_record(uint32_t width, uint32_t height) {
    Bytes r(IMAGE_HEADER_SIZE + width * height);
    packet::put32(&r[0], width);
    packet::put32(&r[4], height);
    packet::put32(&r[20], width * height);
    for (size_t i = IMAGE_HEADER_SIZE; i < r.size(); ++i) r[i] = static_cast<uint8_t>(i * 13);
    return r;
}

// Pixels of a BMP file as the tool's own reader sees them.
Bytes read_bmp(const std::string& path, int& width, int& height) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    Bytes gray(IMAGE_PIXELS_MAX);
    width = height = 0;
    if (!f) return {};
    int ok = bmp_read(f, &width, &height, gray.data(), gray.size());
    std::fclose(f);
    if (!ok) return {};
    gray.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    return gray;
}

Bytes iota_bytes(size_t n, uint8_t start = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i);
    return b;
}

TEST(ImageCases, ScannedImageIsWrittenAsBmp) {
    farend::TempDir dir;
    const Bytes image = image_record(6, 3); // width not a multiple of 4: stored 8 wide
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::SI, 0, 0, 0)
        .answer(cmd::SI, 0, static_cast<uint32_t>(image.size()), SUCCEED);
    s.send(farend::data_block(image));
    Exchange r = run(s, dir, {"-c", "SI", "-o", "finger.bmp"});
    EXPECT_TRUE(r.wire.ok) << r.wire.failure;
    EXPECT_EQ(r.tool.status, 1);
    EXPECT_GOLDEN(r.tool.err);
    int w = 0, h = 0;
    Bytes pixels = read_bmp(dir.file("finger.bmp"), w, h);
    ASSERT_EQ(w, 8);
    ASSERT_EQ(h, 3);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 8; ++x) {
            const uint8_t want = x < 6 ? image[IMAGE_HEADER_SIZE + static_cast<size_t>(y * 6 + x)] : 0;
            EXPECT_EQ(pixels[static_cast<size_t>(y * 8 + x)], want) << x << "," << y;
        }
    }
}

TEST(ImageCases, ChunkedReadIsAcknowledgedAndWritten) {
    farend::TempDir dir;
    const Bytes image = image_record(16, 8); // 156 bytes: chunks of 64, 64, 28
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::RIX, 0, 64, 0)
        .answer(cmd::RIX, 0, static_cast<uint32_t>(image.size()), SUCCEED);
    for (uint16_t i = 0; i < 3; ++i) {
        const size_t off = i * 64u, len = std::min<size_t>(64, image.size() - off);
        Bytes chunk(image.begin() + static_cast<long>(off), image.begin() + static_cast<long>(off + len));
        s.answer(cmd::RIX, packet::chunk_param1(3, i), static_cast<uint32_t>(len), 0);
        s.send(farend::concat({chunk, farend::le32(packet::byte_sum(chunk))}));
        s.expect_packet(cmd::RIX, 0, 0, DATA_ACCEPTED);
    }
    Exchange r = run(s, dir, {"-c", "RIX", "-p2", "64", "-o", "read.bmp"});
    EXPECT_TRUE(r.wire.ok) << r.wire.failure;
    EXPECT_TRUE(r.wire.extra.empty()) << farend::hex_dump(r.wire.extra);
    int w = 0, h = 0;
    Bytes pixels = read_bmp(dir.file("read.bmp"), w, h);
    ASSERT_EQ(w, 16);
    EXPECT_EQ(pixels, Bytes(image.begin() + IMAGE_HEADER_SIZE, image.end()));
}

TEST(ImageCases, NothingIsWrittenWhenTheImageCannotBeTaken) {
    struct Case {
        const char* name;
        Bytes record;
        uint8_t end; // end code of the data block
        const char* errorText;
    };
    Bytes huge = image_record(4, 4);
    packet::put32(&huge[0], 1000); // announces 1000 x 1000 pixels in a 44-byte record
    packet::put32(&huge[4], 1000);
    const Case cases[] = {
        {"wrong end code", image_record(4, 4), 0x0D, "[ERR] Invalid end code: 0xd\n"},
        {"header beyond the record", huge, 0x0A,
         "Err: The image of 0x3e8 x 0x3e8 pixels does not fit the image record\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        farend::TempDir dir;
        farend::Script s;
        s.open_sequence()
            .expect_packet(cmd::RI, 0, 0, 0)
            .answer(cmd::RI, 0, static_cast<uint32_t>(c.record.size()), SUCCEED);
        Bytes block = c.record;
        block.push_back(c.end);
        s.send(block);
        Exchange r = run(s, dir, {"-c", "RI", "-o", "out.bmp"});
        EXPECT_TRUE(r.wire.ok) << r.wire.failure;
        EXPECT_NE(r.tool.err.find(c.errorText), std::string::npos) << r.tool.err;
        EXPECT_EQ(dir.read("out.bmp"), "") << "the output file exists, empty";
    }
}

TEST(KeyCases, KeyFileChecksAndFirst32BytesSent) {
    struct Case {
        const char* name;
        size_t fileBytes; // 0: no -i at all
    };
    const Case cases[] = {{"no file", 0}, {"31 bytes", 31}, {"40 bytes", 40}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        farend::TempDir dir;
        std::vector<std::string> args = {"-c", "KW"};
        farend::Script s;
        s.open_sequence();
        if (c.fileBytes) {
            dir.write("key.bin", iota_bytes(c.fileBytes));
            args.insert(args.end(), {"-i", "key.bin"});
        }
        if (c.fileBytes >= 32) {
            s.expect_packet(cmd::KW, 0, 0, 0)
                .expect(farend::data_block(iota_bytes(32)))
                .answer(cmd::KW, 0, 0, SUCCEED);
        }
        Exchange r = run(s, dir, args);
        EXPECT_TRUE(r.wire.ok) << r.wire.failure;
        EXPECT_TRUE(r.wire.extra.empty()) << farend::hex_dump(r.wire.extra);
        EXPECT_GOLDEN(r.tool.err, c.name);
    }
}

TEST(KeyCases, EncryptedTemplateGoesToTheOutputFile) {
    farend::TempDir dir;
    const Bytes enc = {0xDE, 0xAD, 0x0A, 0xBE, 0xEF};
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::ST, 0x1234, 0, 0)
        .answer(cmd::ST, 0, 5, SUCCEED)
        .send(farend::data_block(enc));
    Exchange r = run(s, dir, {"-c", "KS", "-p1", "0x1234", "-o", "enc.bin"});
    EXPECT_TRUE(r.wire.ok) << r.wire.failure;
    EXPECT_GOLDEN(r.tool.err);
    EXPECT_EQ(dir.read("enc.bin"), std::string(enc.begin(), enc.end()));
}

TEST(KeyCases, AnnouncedTemplateSizeIsCheckedBeforeAllocation) {
    farend::TempDir dir;
    farend::Script s;
    s.open_sequence().expect_packet(cmd::ST, 0, 0, 0).answer(cmd::ST, 0, 0xFFFFFFF0, SUCCEED);
    Exchange r = run(s, dir, {"-c", "KS", "-o", "enc.bin"});
    EXPECT_TRUE(r.wire.ok) << r.wire.failure;
    EXPECT_NE(r.tool.err.find(farend::site_prefix(host_check_site(cmd::KS, HOST_CHECK_ANNOUNCED)) +
                              "Err: Encrypted template size 0xfffffff0 is beyond 0x40000\n"),
              std::string::npos)
        << r.tool.err;
    EXPECT_EQ(r.tool.err.find("Got encrypted template"), std::string::npos);
    EXPECT_EQ(dir.read("enc.bin"), "");
}

TEST(EnrollCases, ScanEnrollmentFromTheCommandLine) {
    farend::TempDir dir;
    farend::Script s;
    s.open_sequence().expect_packet(cmd::ES, 5, 0, 0x71).answer(cmd::ES, 5, 0, SUCCEED);
    Exchange r = run(s, dir, {"-c", "ES", "-p1", "5", "-f", "0x71"});
    EXPECT_TRUE(r.wire.ok) << r.wire.failure;
    EXPECT_GOLDEN(r.tool.err);
}

TEST(EnrollCases, ImageEnrollmentSendsTheRecordFromItsFirstByte) {
    farend::TempDir dir;
    // A 4 x 2 gray BMP written by the tool's own writer.
    const Bytes pixels = iota_bytes(8, 100);
    {
        std::FILE* f = std::fopen(dir.file("f.bmp").c_str(), "wb");
        ASSERT_TRUE(f);
        ASSERT_EQ(bmp_write(f, pixels.data(), 4, 2), 1);
        std::fclose(f);
    }
    // 8 bytes from the start of the record: the width and height words.
    const Bytes sent = farend::concat({farend::le32(4), farend::le32(2)});
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::EI, 7, 8, 0)
        .expect(farend::data_block(sent))
        .answer(cmd::EI, 7, 0, SUCCEED);
    Exchange r = run(s, dir, {"-c", "EI", "-p1", "7", "-i", "f.bmp"});
    EXPECT_TRUE(r.wire.ok) << r.wire.failure;
    EXPECT_GOLDEN(r.tool.err);
}

TEST(EnrollCases, TemplatesChunkedPadShortFileWithZeros) {
    farend::TempDir dir;
    dir.write("t.bin", iota_bytes(100));
    Bytes data = iota_bytes(100);
    data.resize(384, 0);
    farend::Script s;
    s.open_sequence().expect_packet(cmd::ETX, 9, 0x20180, 0).answer(cmd::ETX, 0, 0, SUCCEED);
    s.expect_packet(cmd::ETX, packet::chunk_param1(1, 0), 384, 0)
        .expect(farend::concat({data, farend::le32(packet::byte_sum(data))}))
        .answer(cmd::ETX, 0, 0, DATA_ACCEPTED)
        .answer(cmd::ETX, 9, 0, SUCCEED);
    Exchange r = run(s, dir, {"-c", "ETX", "-p1", "9", "-p2", "0x20180", "-i", "t.bin"});
    EXPECT_TRUE(r.wire.ok) << r.wire.failure;
    EXPECT_GOLDEN(r.tool.err);
}

TEST(VerifyCases, TemplateFilesOfTheRightLengthOnly) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        size_t fileBytes;
        Bytes wire; // after the command packet; empty: nothing is sent
        uint32_t p1, p2;
        uint8_t code;
    };
    const Bytes t = iota_bytes(12);
    const Case cases[] = {
        {"VT short file", {"-c", "VT", "-p2", "384"}, 383, {}, 0, 0, 0},
        {"VT", {"-c", "VT", "-p1", "3", "-p2", "12"}, 12, farend::data_block(t), 3, 12, 0x10},
        {"VH three templates",
         {"-c", "VH", "-p1", "3", "-p2", "4"},
         12,
         farend::concat({farend::data_block(Bytes(t.begin(), t.begin() + 4)),
                         farend::data_block(Bytes(t.begin() + 4, t.begin() + 8)),
                         farend::data_block(Bytes(t.begin() + 8, t.end()))}),
         3,
         4,
         0x22},
        {"VH file too short for the templates", {"-c", "VH", "-p1", "4", "-p2", "4"}, 12, {}, 0, 0, 0},
        {"no file", {"-c", "VT", "-p2", "4"}, 0, {}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        farend::TempDir dir;
        std::vector<std::string> args = c.args;
        if (c.fileBytes) {
            dir.write("t.bin", iota_bytes(c.fileBytes));
            args.insert(args.end(), {"-i", "t.bin"});
        }
        farend::Script s;
        s.open_sequence();
        if (!c.wire.empty())
            s.expect_packet(c.code, c.p1, c.p2, 0).expect(c.wire).answer(c.code, 0, 0, SUCCEED);
        Exchange r = run(s, dir, args);
        EXPECT_TRUE(r.wire.ok) << r.wire.failure;
        EXPECT_TRUE(r.wire.extra.empty()) << farend::hex_dump(r.wire.extra);
        EXPECT_GOLDEN(r.tool.err, c.name);
    }
}

TEST(IdentifyCases, TemplateShorterThanAskedIsSentWhole) {
    farend::TempDir dir;
    dir.write("t.bin", iota_bytes(384));
    farend::Script s;
    s.open_sequence().expect_packet(cmd::IT, 0, 384, 0).expect(farend::data_block(iota_bytes(384)));
    s.answer(cmd::IT, 0x12, 0, SUCCEED);
    Exchange r = run(s, dir, {"-c", "IT", "-p2", "400", "-i", "t.bin"});
    EXPECT_TRUE(r.wire.ok) << r.wire.failure;
    EXPECT_GOLDEN(r.tool.err);
}

// SW changes the tool's own side of the link from the next packet on; a batch
// file shows it on one connection.
TEST(SystemCases, ParameterWriteSwitchesTheLinkForLaterLines) {
    struct Case {
        const char* name;
        uint8_t number;
        bool hex, network;
    };
    const Case cases[] = {
        {"hex text", 0x76, true, false},
        {"network", 0x83, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        farend::TempDir dir;
        dir.write("batch.txt", "-c SW -f " + std::to_string(c.number) + " -p2 0x31\n-c SS\n");
        farend::Script s;
        s.open_sequence().expect_packet(cmd::SW, 0, 0x31, c.number).answer(cmd::SW, 0, 0x31, SUCCEED);
        s.hex(c.hex).network(c.network, 1).expect_packet(cmd::SS, 0, 0, 0).answer(cmd::SS, 0x30, 0, SUCCEED);
        Exchange r = run(s, dir, {"-F", "batch.txt"});
        EXPECT_TRUE(r.wire.ok) << r.wire.failure;
        EXPECT_NE(r.tool.err.find("      Module is in normal condition(0x30)\n"), std::string::npos)
            << r.tool.err;
    }
}

} // namespace
