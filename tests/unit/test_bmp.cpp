// BMP reading and writing: files from other encoders in every accepted depth
// and orientation, the refusals, files that announce more than they hold, the
// written layout, and a written file decoded by another decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "image/Bmp.h"
#include "protocol/Bmp.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kRecordPixels = 204800;

struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

File file_with(const Bytes& bytes) {
    File f(std::tmpfile());
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f.get());
    std::rewind(f.get());
    return f;
}

Bytes contents(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    Bytes out;
    std::array<uint8_t, 4096> chunk;
    size_t got;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), f)) > 0)
        out.insert(out.end(), chunk.begin(), chunk.begin() + got);
    return out;
}

void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
uint32_t get32(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t get16(const Bytes& b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

// A BMP file put together field by field, so that each field can be bent.
struct BmpFile {
    int32_t width = 2;
    int32_t height = 2;
    uint16_t bits = 8;
    uint32_t compression = 0;
    uint32_t infoSize = 40;
    uint32_t coloursUsed = 0;
    uint32_t pixelOffset = 0;                    // 0: right after the palette
    std::vector<std::array<uint8_t, 4>> palette; // blue, green, red, reserved
    Bytes rows;                                  // as stored, padding included

    Bytes bytes() const {
        Bytes b(54);
        b[0] = 'B';
        b[1] = 'M';
        const uint32_t after = static_cast<uint32_t>(54 + palette.size() * 4);
        put32(b, 2, static_cast<uint32_t>(after + rows.size()));
        put32(b, 10, pixelOffset ? pixelOffset : after);
        put32(b, 14, infoSize);
        put32(b, 18, static_cast<uint32_t>(width));
        put32(b, 22, static_cast<uint32_t>(height));
        put16(b, 26, 1);
        put16(b, 28, bits);
        put32(b, 30, compression);
        put32(b, 46, coloursUsed);
        for (const auto& e : palette) b.insert(b.end(), e.begin(), e.end());
        b.insert(b.end(), rows.begin(), rows.end());
        return b;
    }
};

// Four non-gray palette entries and their gray values 20, 100, 110, 34.
const std::vector<std::array<uint8_t, 4>> kPalette = {
    {10, 20, 31, 0}, {40, 10, 250, 0}, {80, 240, 10, 0}, {52, 34, 17, 0}};

struct Read {
    int ok = -1;
    int width = -7;
    int height = -7;
    Bytes gray;
};

// Reads into a buffer of exactly `capacity` bytes followed by a guard area,
// and checks that the reader stayed within the buffer.
Read read_bmp(const Bytes& file, size_t capacity = kRecordPixels) {
    constexpr size_t kGuard = 64;
    Bytes buffer(capacity + kGuard, 0xEE);
    File f = file_with(file);
    Read r;
    r.ok = bmp_read(f.get(), &r.width, &r.height, buffer.data(), capacity);
    for (size_t i = capacity; i < buffer.size(); ++i) {
        if (buffer[i] != 0xEE) {
            ADD_FAILURE() << "byte " << i << " beyond the buffer of " << capacity << " written";
            break;
        }
    }
    if (r.ok == 1) {
        r.gray.assign(buffer.begin(), buffer.begin() + static_cast<long>(r.width) * r.height);
    } else {
        EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t v) { return v == 0xEE; }))
            << "a refused file touched the buffer";
    }
    // The file read whole from memory, as the simulated module reads the BMP
    // files placed on its sensor, gives the same image or the same refusal.
    const kelvor::bmp::FileParts parts = kelvor::bmp::parts_of(file, capacity);
    EXPECT_EQ(parts.layout.refusal == kelvor::bmp::Refusal::None, r.ok == 1);
    if (r.ok == 1 && parts.layout.refusal == kelvor::bmp::Refusal::None) {
        Bytes gray(static_cast<size_t>(parts.layout.width) * parts.layout.rows, 0xEE);
        kelvor::bmp::decode(parts.layout, parts.palette, parts.pixels, gray.data());
        EXPECT_EQ(gray, r.gray) << "the two readers disagree";
    }
    return r;
}

Bytes read_fixture(const std::string& name) {
    File f(std::fopen((std::string(KELVOR_FIXTURES) + "/bmp/" + name).c_str(), "rb"));
    if (!f) {
        ADD_FAILURE() << "missing fixture " << name;
        return {};
    }
    return contents(f.get());
}

TEST(GrayAverage, DropsTheRemainder) {
    const std::array<std::array<int, 4>, 6> cases = {{{10, 20, 31, 20},
                                                      {255, 255, 255, 255},
                                                      {0, 0, 2, 0},
                                                      {255, 255, 254, 254},
                                                      {1, 1, 1, 1},
                                                      {0, 1, 1, 0}}};
    for (const auto& c : cases) {
        EXPECT_EQ(
            gray_average(static_cast<uint8_t>(c[0]), static_cast<uint8_t>(c[1]), static_cast<uint8_t>(c[2])),
            c[3])
            << c[0] << " " << c[1] << " " << c[2];
    }
}

// Files from netpbm and Pillow (see tests/fixtures/bmp/README.md).
TEST(BmpRead, ThirdPartyFilesInEveryDepthAndOrientation) {
    const Bytes colours = {0, 255, 20, 67, 33, 2, 100, 110, 117, 74, 170, 34, 105, 169, 131};
    const Bytes twoColours = {100, 20,  100, 100, 20,  20,  20,  100, 20,  100, 100, //
                              20,  100, 20,  20,  100, 100, 100, 20,  100, 20,  20,  //
                              100, 100, 20,  20,  20,  100, 20,  20,  20,  20,  100};
    struct Case {
        const char* file;
        int width;
        const Bytes& gray;
    };
    const Case cases[] = {
        {"bits1.bmp", 11, twoColours},
        {"bits1_topdown.bmp", 11, twoColours},
        {"bits4.bmp", 5, colours},
        {"bits4_topdown.bmp", 5, colours},
        {"bits8.bmp", 5, colours},
        {"bits8_topdown.bmp", 5, colours},
        {"bits8_colours_used.bmp", 5, colours},
        {"bits8_colours_used_topdown.bmp", 5, colours},
        {"bits24.bmp", 5, colours},
        {"bits24_topdown.bmp", 5, colours},
        {"bits32.bmp", 5, colours},
        {"bits32_topdown.bmp", 5, colours},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const Read r = read_bmp(read_fixture(c.file));
        ASSERT_EQ(r.ok, 1);
        EXPECT_EQ(r.width, c.width);
        EXPECT_EQ(r.height, 3);
        EXPECT_EQ(r.gray, c.gray);
    }
}

TEST(BmpRead, RefusesWhatItCannotOrMustNotRead) {
    struct Case {
        const char* what;
        BmpFile file;
        size_t capacity = kRecordPixels;
    };
    const Bytes twoByTwo = {0, 1, 0, 0, 2, 3, 0, 0};
    auto eightBit = [&](auto bend) {
        BmpFile f;
        f.palette = kPalette;
        f.coloursUsed = 4;
        f.rows = twoByTwo;
        bend(f);
        return f;
    };
    const Case cases[] = {
        {"16 bits", eightBit([](BmpFile& f) {
             f.bits = 16;
             f.coloursUsed = 0;
             f.palette.clear();
         })},
        {"2 bits", eightBit([](BmpFile& f) { f.bits = 2; })},
        {"0 bits", eightBit([](BmpFile& f) { f.bits = 0; })},
        {"run-length 8 bits", eightBit([](BmpFile& f) { f.compression = 1; })},
        {"bit fields", eightBit([](BmpFile& f) {
             f.bits = 32;
             f.compression = 3;
             f.palette.clear();
         })},
        {"108-byte header", eightBit([](BmpFile& f) { f.infoSize = 108; })},
        {"124-byte header", eightBit([](BmpFile& f) { f.infoSize = 124; })},
        {"12-byte header", eightBit([](BmpFile& f) { f.infoSize = 12; })},
        {"width 0", eightBit([](BmpFile& f) { f.width = 0; })},
        {"height 0", eightBit([](BmpFile& f) { f.height = 0; })},
        {"negative width", eightBit([](BmpFile& f) { f.width = -2; })},
        {"smallest height", eightBit([](BmpFile& f) { f.height = INT32_MIN; })},
        {"largest width", eightBit([](BmpFile& f) {
             f.width = INT32_MAX;
             f.height = 1;
         })},
        // 2^27 pixels of 32 bits: the bits of one row overflow 32 bits.
        {"row bits beyond 32 bits", eightBit([](BmpFile& f) {
             f.width = 1 << 27;
             f.height = 1;
             f.bits = 32;
         })},
        {"641 x 320 in the record", eightBit([](BmpFile& f) {
             f.width = 641;
             f.height = 320;
         })},
        {"640 x -321 in the record", eightBit([](BmpFile& f) {
             f.width = 640;
             f.height = -321;
         })},
        {"4 pixels in 3 bytes", eightBit([](BmpFile&) {}), 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Read r = read_bmp(c.file.bytes(), c.capacity);
        EXPECT_EQ(r.ok, 0);
        EXPECT_EQ(r.width, -7);
        EXPECT_EQ(r.height, -7);
    }
}

TEST(BmpRead, RefusesFilesThatAreNotBmpHeaders) {
    BmpFile good;
    good.palette = kPalette;
    good.rows = Bytes(8, 1);
    Bytes wrongType = good.bytes();
    wrongType[1] = 'A';
    Bytes shortHeader = good.bytes();
    shortHeader.resize(53);
    const std::pair<const char*, Bytes> cases[] = {
        {"empty", {}}, {"not BM", wrongType}, {"53 bytes", shortHeader}, {"text", Bytes{'B', 'M', '\n'}}};
    for (const auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        EXPECT_EQ(read_bmp(bytes).ok, 0);
    }
}

TEST(BmpRead, ImageFillingTheBufferExactlyIsRead) {
    BmpFile f;
    f.width = 640;
    f.height = -320;
    f.bits = 24;
    f.rows.resize(640 * 3 * 320);
    for (size_t i = 0; i < f.rows.size(); ++i) f.rows[i] = static_cast<uint8_t>(i / 3 % 251);
    const Read r = read_bmp(f.bytes(), kRecordPixels);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.width, 640);
    EXPECT_EQ(r.height, 320);
    EXPECT_EQ(r.gray[204799], 204799 % 251);
}

TEST(BmpRead, BottomUpAndTopDownRows) {
    // Stored first row: gray 20 and 100; stored second row: 110 and 34.
    BmpFile f;
    f.bits = 24;
    f.rows = {10, 20, 31, 40, 10, 250, 0, 0, 80, 240, 10, 52, 34, 17, 0, 0};
    const Read up = read_bmp(f.bytes());
    ASSERT_EQ(up.ok, 1);
    EXPECT_EQ(up.height, 2);
    EXPECT_EQ(up.gray, (Bytes{110, 34, 20, 100}));
    f.height = -2;
    const Read down = read_bmp(f.bytes());
    ASSERT_EQ(down.ok, 1);
    EXPECT_EQ(down.height, 2);
    EXPECT_EQ(down.gray, (Bytes{20, 100, 110, 34}));
}

TEST(BmpRead, PaletteLengthFromColoursUsedAndRowsRightAfterIt) {
    struct Case {
        const char* what;
        uint16_t bits;
        uint32_t coloursUsed;
        size_t paletteEntries;
        Bytes rows; // 2 x 2, top-down
        Bytes gray;
    };
    const Case cases[] = {
        // 16 entries at 8 bits: rows at 118 although the offset field says 1078.
        {"8 bits, 16 entries", 8, 16, 16, {3, 1, 0, 0, 0, 2, 0, 0}, {34, 100, 20, 110}},
        // Indexes at or beyond the entries read are black.
        {"8 bits, 2 entries", 8, 2, 2, {1, 2, 0, 0, 255, 0, 0, 0}, {100, 0, 0, 20}},
        {"4 bits, 3 entries", 4, 3, 3, {0x2F, 0, 0, 0, 0x31, 0, 0, 0}, {110, 0, 0, 100}},
        {"1 bit, 1 entry", 1, 1, 1, {0x40, 0, 0, 0, 0x80, 0, 0, 0}, {20, 0, 0, 20}},
        // More entries than any index reaches: the rows follow all of them.
        {"8 bits, 300 entries", 8, 300, 300, {0, 3, 0, 0, 2, 1, 0, 0}, {20, 34, 110, 100}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BmpFile f;
        f.height = -2;
        f.bits = c.bits;
        f.coloursUsed = c.coloursUsed;
        f.pixelOffset = 1078;
        for (size_t i = 0; i < c.paletteEntries; ++i) f.palette.push_back(kPalette[i % kPalette.size()]);
        f.rows = c.rows;
        const Read r = read_bmp(f.bytes());
        ASSERT_EQ(r.ok, 1);
        EXPECT_EQ(r.gray, c.gray);
    }
}

TEST(BmpRead, FileEndingEarlyLeavesMissingPixelsBlack) {
    struct Case {
        const char* what;
        BmpFile file;
        size_t cut; // bytes dropped from the end
        Bytes gray;
    };
    BmpFile eight; // 3 x 2 bottom-up, stored bottom row 20 100 110, top row 34 100 20
    eight.width = 3;
    eight.palette = kPalette;
    eight.coloursUsed = 4;
    eight.rows = {0, 1, 2, 0, 3, 1, 0, 0};
    BmpFile twentyFour; // 2 x 2 top-down
    twentyFour.bits = 24;
    twentyFour.height = -2;
    twentyFour.rows = {10, 20, 31, 40, 10, 250, 0, 0, 80, 240, 10, 52, 34, 17, 0, 0};
    BmpFile oneBit; // 11 x 1, its row of 2 bytes and 2 bytes of padding
    oneBit.width = 11;
    oneBit.height = 1;
    oneBit.bits = 1;
    oneBit.coloursUsed = 2;
    oneBit.palette = {kPalette[0], kPalette[1]};
    oneBit.rows = {0xA5, 0xE0, 0, 0};
    BmpFile hugePalette = eight; // announces 2^32 - 1 entries, holds 4
    hugePalette.coloursUsed = UINT32_MAX;
    const Case cases[] = {
        {"8 bits, only padding missing", eight, 1, {34, 100, 20, 20, 100, 110}},
        {"8 bits, top row cut after one pixel", eight, 3, {34, 0, 0, 20, 100, 110}},
        {"8 bits, no rows", eight, 8, {0, 0, 0, 0, 0, 0}},
        {"8 bits, palette cut short", eight, 8 + 9, {0, 0, 0, 0, 0, 0}},
        {"24 bits, last pixel lacks its red byte", twentyFour, 3, {20, 100, 110, 0}},
        {"24 bits, second row missing", twentyFour, 8, {20, 100, 0, 0}},
        {"1 bit, row cut after its first byte", oneBit, 3, {100, 20, 100, 20, 20, 100, 20, 100, 0, 0, 0}},
        {"palette announced beyond the file", hugePalette, 0, {0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes = c.file.bytes();
        bytes.resize(bytes.size() - c.cut);
        const Read r = read_bmp(bytes, c.gray.size());
        ASSERT_EQ(r.ok, 1);
        EXPECT_EQ(r.gray, c.gray);
    }
}

Bytes write_bmp(const Bytes& gray, int width, int height, int* result = nullptr) {
    File f(std::tmpfile());
    const int ok = bmp_write(f.get(), gray.data(), width, height);
    if (result) *result = ok;
    return contents(f.get());
}

TEST(BmpWrite, Layout) {
    struct Case {
        int width, height;
        size_t fileSize;
        uint32_t widthField, imageSize;
    };
    const Case cases[] = {
        {256, 2, 1590, 256, 512}, {3, 3, 1090, 4, 9}, {5, 1, 1086, 8, 5}, {1, 2, 1086, 4, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
        Bytes gray(static_cast<size_t>(c.width * c.height));
        for (size_t i = 0; i < gray.size(); ++i) gray[i] = static_cast<uint8_t>(i * 7 + 1);
        int result = -1;
        const Bytes file = write_bmp(gray, c.width, c.height, &result);
        EXPECT_EQ(result, 1);
        ASSERT_EQ(file.size(), c.fileSize);
        EXPECT_EQ(file[0], 'B');
        EXPECT_EQ(file[1], 'M');
        EXPECT_EQ(get32(file, 2), c.fileSize);
        EXPECT_EQ(get32(file, 6), 0u);
        EXPECT_EQ(get32(file, 10), 1078u);
        EXPECT_EQ(get32(file, 14), 40u);
        EXPECT_EQ(get32(file, 18), c.widthField);
        EXPECT_EQ(get32(file, 22), static_cast<uint32_t>(c.height));
        EXPECT_EQ(get16(file, 26), 1);
        EXPECT_EQ(get16(file, 28), 8);
        EXPECT_EQ(get32(file, 30), 0u);
        EXPECT_EQ(get32(file, 34), c.imageSize);
        for (size_t at = 38; at < 54; at += 4) EXPECT_EQ(get32(file, at), 0u) << "field at " << at;
        for (uint32_t i = 0; i < 256; ++i) EXPECT_EQ(get32(file, 54 + 4 * i), i * 0x010101u) << "entry " << i;
        // Bottom row first, each padded with zeros to the width field.
        for (int r = 0; r < c.height; ++r) {
            const size_t stored = 1078 + static_cast<size_t>(c.height - 1 - r) * c.widthField;
            for (uint32_t x = 0; x < c.widthField; ++x) {
                const int want =
                    x < static_cast<uint32_t>(c.width) ? gray[static_cast<size_t>(r * c.width) + x] : 0;
                EXPECT_EQ(file[stored + x], want) << "row " << r << " column " << x;
            }
        }
    }
}

TEST(BmpWrite, ReadsBackAsWritten) {
    Bytes gray(8 * 3);
    for (size_t i = 0; i < gray.size(); ++i) gray[i] = static_cast<uint8_t>(255 - i * 9);
    const Read same = read_bmp(write_bmp(gray, 8, 3));
    ASSERT_EQ(same.ok, 1);
    EXPECT_EQ(same.width, 8);
    EXPECT_EQ(same.height, 3);
    EXPECT_EQ(same.gray, gray);

    // A width of 3 comes back 4 wide with a black fourth column.
    const Read padded = read_bmp(write_bmp({1, 2, 3, 4, 5, 6}, 3, 2));
    ASSERT_EQ(padded.ok, 1);
    EXPECT_EQ(padded.width, 4);
    EXPECT_EQ(padded.height, 2);
    EXPECT_EQ(padded.gray, (Bytes{1, 2, 3, 0, 4, 5, 6, 0}));
}

TEST(BmpWrite, NegativeSizesWriteNothing) {
    const Bytes gray(16, 9);
    for (const auto& [w, h] : {std::pair{-4, 4}, std::pair{4, -4}, std::pair{INT_MIN, 1}}) {
        int result = -1;
        EXPECT_TRUE(write_bmp(gray, w, h, &result).empty()) << w << " x " << h;
        EXPECT_EQ(result, 0);
    }
}

// Another decoder sees the same pixels in a written file.
TEST(BmpWrite, PillowDecodesTheWrittenFile) {
    if (std::system("/usr/bin/python3 -c 'import PIL' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "/usr/bin/python3 with PIL (python3-pil) is not installed";
    const std::string path = testing::TempDir() + "kelvor_bmp_write_" + std::to_string(::getpid()) + ".bmp";
    const int width = 6, height = 3;
    Bytes gray(width * height);
    for (size_t i = 0; i < gray.size(); ++i) gray[i] = static_cast<uint8_t>(13 + i * 14);
    {
        File f(std::fopen(path.c_str(), "wb"));
        ASSERT_TRUE(f);
        ASSERT_EQ(bmp_write(f.get(), gray.data(), width, height), 1);
    }
    const std::string command =
        "/usr/bin/python3 -c \"import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
        "print(im.size[0], im.size[1], *im.convert('RGB').getdata())\" " +
        path;
    std::string output;
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
        ASSERT_TRUE(pipe);
        std::array<char, 4096> chunk;
        size_t got;
        while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0)
            output.append(chunk.data(), got);
    }
    std::remove(path.c_str());

    // The stored image is 8 wide (the row size); columns 6 and 7 are black.
    std::ostringstream want;
    want << 8 << ' ' << height;
    for (int r = 0; r < height; ++r) {
        for (int x = 0; x < 8; ++x) {
            const int v = x < width ? gray[static_cast<size_t>(r * width + x)] : 0;
            want << " (" << v << ", " << v << ", " << v << ')';
        }
    }
    want << '\n';
    EXPECT_EQ(output, want.str());
}

} // namespace
