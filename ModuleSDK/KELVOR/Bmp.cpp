// BMP reading and writing for the image commands. Everything the file
// announces (sizes, palette length) is checked against the caller's buffer
// before anything is allocated, read or stored.
#include "Bmp.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <new>
#include <vector>

namespace {

constexpr size_t kFileHeaderSize = 14;
constexpr size_t kInfoHeaderSize = 40;
constexpr size_t kPaletteEntries = 256;
constexpr size_t kWrittenHeaderSize = kFileHeaderSize + kInfoHeaderSize + kPaletteEntries * 4; // 1078

uint32_t get_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t get_u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
int32_t get_i32(const uint8_t* p) {
    return static_cast<int32_t>(get_u32(p));
}

void put_u32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}
void put_u16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

// Skips `bytes` bytes of the stream by reading them; stops at the end of the file.
void skip_bytes(std::FILE* file, uint64_t bytes) {
    std::array<uint8_t, 4096> scratch;
    while (bytes > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(bytes, scratch.size()));
        const size_t got = std::fread(scratch.data(), 1, want, file);
        if (got < want) return;
        bytes -= got;
    }
}

} // namespace

uint8_t gray_average(uint8_t first, uint8_t second, uint8_t third) {
    return static_cast<uint8_t>((first + second + third) / 3);
}

int bmp_read(std::FILE* file, int* width, int* height, uint8_t* gray, size_t capacity) {
    if (file == nullptr || width == nullptr || height == nullptr) return 0;

    std::array<uint8_t, kFileHeaderSize + kInfoHeaderSize> header{};
    if (std::fread(header.data(), 1, header.size(), file) != header.size()) return 0;
    const uint8_t* info = header.data() + kFileHeaderSize;
    if (header[0] != 'B' || header[1] != 'M') return 0;
    if (get_u32(info) != kInfoHeaderSize) return 0;

    const int32_t fileWidth = get_i32(info + 4);
    const int32_t fileHeight = get_i32(info + 8);
    const unsigned bits = get_u16(info + 14);
    const uint32_t compression = get_u32(info + 16);
    const uint32_t coloursUsed = get_u32(info + 32);

    uint64_t entries = 0;
    switch (bits) {
    case 1:
    case 4:
    case 8: entries = uint64_t{1} << bits; break;
    case 24:
    case 32: entries = 0; break;
    default: return 0;
    }
    if (coloursUsed != 0) entries = coloursUsed;
    if (compression != 0) return 0;
    // A negative width has no meaning; a height of INT32_MIN has no magnitude
    // as an int. Both are refused along with the empty sizes.
    if (fileWidth <= 0 || fileHeight == 0 || fileHeight == INT32_MIN) return 0;

    const uint64_t w = static_cast<uint64_t>(fileWidth);
    const uint64_t rows = static_cast<uint64_t>(std::abs(static_cast<int64_t>(fileHeight)));
    // The image must fit the caller's buffer. Width and height below 2^31 keep
    // this product and the row size in 64 bits; the row storage is checked too.
    if (w * rows > capacity || gray == nullptr) return 0;
    const uint64_t rowSize = (bits * w + 31) / 32 * 4;
    if (rowSize > SIZE_MAX / rows) return 0;
    const size_t pixelBytes = static_cast<size_t>(rowSize * rows);

    // Gray value of each palette entry; entries that the file does not hold
    // (an index beyond the palette, or a palette cut short) read as black.
    std::array<uint8_t, kPaletteEntries> paletteGray{};
    std::vector<uint8_t> pixels;
    size_t pixelBytesRead = 0;
    try {
        const size_t kept = static_cast<size_t>(std::min<uint64_t>(entries, kPaletteEntries));
        std::vector<uint8_t> palette(kept * 4);
        const size_t paletteRead = std::fread(palette.data(), 1, palette.size(), file);
        for (size_t i = 0; i < paletteRead / 4; ++i)
            paletteGray[i] = gray_average(palette[i * 4], palette[i * 4 + 1], palette[i * 4 + 2]);
        if (paletteRead == palette.size()) {
            // Entries beyond 256 cannot be indexed by any depth; pass over them.
            skip_bytes(file, (entries - kept) * 4);
            pixels.assign(pixelBytes, 0);
            pixelBytesRead = std::fread(pixels.data(), 1, pixels.size(), file);
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }

    const size_t outWidth = static_cast<size_t>(w);
    const size_t outRows = static_cast<size_t>(rows);
    const size_t stride = static_cast<size_t>(rowSize);
    const bool bottomUp = fileHeight > 0;
    for (size_t r = 0; r < outRows; ++r) {
        const size_t fileRow = bottomUp ? outRows - 1 - r : r;
        const size_t rowStart = fileRow * stride;
        // Bytes of this row that the file actually held; pixels beyond them stay black.
        const size_t available = pixelBytesRead > rowStart ? std::min(pixelBytesRead - rowStart, stride) : 0;
        uint8_t* out = gray + r * outWidth;
        if (available == 0) {
            std::fill_n(out, outWidth, uint8_t{0});
            continue;
        }
        const uint8_t* row = pixels.data() + rowStart;
        for (size_t x = 0; x < outWidth; ++x) {
            const size_t bit = x * bits;
            if ((bit + bits + 7) / 8 > available) {
                out[x] = 0;
            } else if (bits <= 8) {
                const unsigned shift = 8 - bits - static_cast<unsigned>(bit % 8);
                const unsigned index = (row[bit / 8] >> shift) & (0xFFu >> (8 - bits));
                out[x] = paletteGray[index];
            } else {
                const uint8_t* p = row + bit / 8;
                out[x] = gray_average(p[0], p[1], p[2]);
            }
        }
    }

    *width = fileWidth;
    *height = static_cast<int>(rows);
    return 1;
}

bool bmp_encode(const uint8_t* gray, int width, int height, std::vector<uint8_t>& image) {
    image.clear();
    if (width < 0 || height < 0) return false;
    const uint64_t w = static_cast<uint64_t>(width);
    const uint64_t h = static_cast<uint64_t>(height);
    if (w * h > 0 && gray == nullptr) return false;
    const uint64_t rowSize = (w + 3) / 4 * 4;
    const uint64_t fileSize = kWrittenHeaderSize + rowSize * h;
    // Every size field of the format is 32 bits wide.
    if (fileSize > UINT32_MAX || w * h > UINT32_MAX) return false;

    try {
        image.assign(static_cast<size_t>(fileSize), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }

    uint8_t* p = image.data();
    p[0] = 'B';
    p[1] = 'M';
    put_u32(p + 2, static_cast<uint32_t>(fileSize));
    put_u32(p + 10, static_cast<uint32_t>(kWrittenHeaderSize));
    uint8_t* info = p + kFileHeaderSize;
    put_u32(info, static_cast<uint32_t>(kInfoHeaderSize));
    // The width field carries the padded row size: the stored image is that
    // wide, its extra columns on the right black.
    put_u32(info + 4, static_cast<uint32_t>(rowSize));
    put_u32(info + 8, static_cast<uint32_t>(h));
    put_u16(info + 12, 1);
    put_u16(info + 14, 8);
    put_u32(info + 20, static_cast<uint32_t>(w * h));
    uint8_t* palette = info + kInfoHeaderSize;
    for (size_t i = 0; i < kPaletteEntries; ++i) {
        palette[i * 4] = palette[i * 4 + 1] = palette[i * 4 + 2] = static_cast<uint8_t>(i);
    }

    // Bottom row first.
    const size_t outWidth = static_cast<size_t>(w);
    const size_t outRows = static_cast<size_t>(h);
    uint8_t* rows = p + kWrittenHeaderSize;
    for (size_t r = 0; r < outRows; ++r) {
        std::copy_n(gray + (outRows - 1 - r) * outWidth, outWidth, rows + r * static_cast<size_t>(rowSize));
    }
    return true;
}

int bmp_write(std::FILE* file, const uint8_t* gray, int width, int height) {
    std::vector<uint8_t> image;
    if (file == nullptr || !bmp_encode(gray, width, height, image)) return 0;
    return std::fwrite(image.data(), 1, image.size(), file) == image.size() ? 1 : 0;
}
