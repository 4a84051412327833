// The BMP files that images travel in between the tool, the simulated module
// and their users: uncompressed 1-, 4-, 8-, 24- and 32-bit bitmaps with a
// 40-byte information header, read into gray pixels (one byte a pixel, 0
// black, 255 white, rows from the top). No I/O: the callers hand over the
// bytes they read, in the order the file holds them.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kelvor {

namespace bmp {

inline constexpr size_t FILE_HEADER_SIZE = 14;
inline constexpr size_t INFO_HEADER_SIZE = 40;
inline constexpr size_t HEADER_SIZE = FILE_HEADER_SIZE + INFO_HEADER_SIZE;
inline constexpr size_t PALETTE_ENTRIES = 256;

// Why a file is not read.
enum class Refusal { None, NotBmp, Unsupported, TooLarge };

// What the headers announce, checked: the palette and pixel bytes that follow them.
struct Layout {
    Refusal refusal = Refusal::None;
    int32_t width = 0;
    uint64_t rows = 0;
    bool bottomUp = true;
    unsigned bits = 0;
    uint64_t entries = 0;   // palette entries in the file
    size_t keptEntries = 0; // the ones any pixel can index (at most 256)
    uint64_t rowSize = 0;   // bytes of a row, padded to 32 bits
    size_t pixelBytes = 0;  // bytes of all rows
};

constexpr uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// (first + second + third) / 3, remainder dropped.
constexpr uint8_t gray_average(uint8_t first, uint8_t second, uint8_t third) {
    return static_cast<uint8_t>((first + second + third) / 3);
}

// The layout the headers announce; refused when the file is no BMP of the
// kinds above, or when its width x height pixels exceed `capacity`.
constexpr Layout layout_of(std::span<const uint8_t, HEADER_SIZE> header, size_t capacity) {
    Layout l;
    const uint8_t* info = header.data() + FILE_HEADER_SIZE;
    if (header[0] != 'B' || header[1] != 'M' || get32(info) != INFO_HEADER_SIZE) {
        l.refusal = Refusal::NotBmp;
        return l;
    }
    const auto width = static_cast<int32_t>(get32(info + 4));
    const auto height = static_cast<int32_t>(get32(info + 8));
    const unsigned bits = static_cast<unsigned>(info[14] | info[15] << 8);
    const uint32_t compression = get32(info + 16);
    const uint32_t coloursUsed = get32(info + 32);
    switch (bits) {
    case 1:
    case 4:
    case 8: l.entries = uint64_t{1} << bits; break;
    case 24:
    case 32: l.entries = 0; break;
    default: l.refusal = Refusal::Unsupported; return l;
    }
    if (coloursUsed != 0) l.entries = coloursUsed;
    // A negative width has no meaning; a height of INT32_MIN has no magnitude
    // as an int. Both are refused along with the empty sizes.
    if (compression != 0 || width <= 0 || height == 0 || height == INT32_MIN) {
        l.refusal = Refusal::Unsupported;
        return l;
    }
    const auto w = static_cast<uint64_t>(width);
    const uint64_t rows =
        height < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(height)) : static_cast<uint64_t>(height);
    // Width and height below 2^31 keep this product and the row size in 64 bits.
    const uint64_t rowSize = (bits * w + 31) / 32 * 4;
    if (w * rows > capacity || rowSize > SIZE_MAX / rows) {
        l.refusal = Refusal::TooLarge;
        return l;
    }
    l.width = width;
    l.rows = rows;
    l.bottomUp = height > 0;
    l.bits = bits;
    l.keptEntries = static_cast<size_t>(std::min<uint64_t>(l.entries, PALETTE_ENTRIES));
    l.rowSize = rowSize;
    l.pixelBytes = static_cast<size_t>(rowSize * rows);
    return l;
}

// Gray pixels into `gray` (width x rows bytes) from the palette and pixel
// bytes the file held. Palette entries the file does not hold (an index
// beyond the palette, or a palette cut short) and pixels of rows cut short read as black.
inline void decode(const Layout& l, std::span<const uint8_t> palette, std::span<const uint8_t> pixels,
                   uint8_t* gray) {
    std::array<uint8_t, PALETTE_ENTRIES> paletteGray{};
    for (size_t i = 0; i < std::min(palette.size() / 4, paletteGray.size()); ++i)
        paletteGray[i] = gray_average(palette[i * 4], palette[i * 4 + 1], palette[i * 4 + 2]);
    const auto outWidth = static_cast<size_t>(l.width);
    const auto outRows = static_cast<size_t>(l.rows);
    const auto stride = static_cast<size_t>(l.rowSize);
    const unsigned bits = l.bits;
    for (size_t r = 0; r < outRows; ++r) {
        const size_t fileRow = l.bottomUp ? outRows - 1 - r : r;
        const size_t rowStart = fileRow * stride;
        // Bytes of this row that the file actually held.
        const size_t available = pixels.size() > rowStart ? std::min(pixels.size() - rowStart, stride) : 0;
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
}

// The parts of a whole file in memory, found as a stream reads them: the
// headers, the palette right after them, the pixels right after the palette
// (none after a palette cut short). Hand them to decode when the layout has
// no refusal.
struct FileParts {
    Layout layout;
    std::span<const uint8_t> palette;
    std::span<const uint8_t> pixels;
};
constexpr FileParts parts_of(std::span<const uint8_t> file, size_t capacity) {
    FileParts p;
    if (file.size() < HEADER_SIZE) {
        p.layout.refusal = Refusal::NotBmp;
        return p;
    }
    p.layout = layout_of(file.first<HEADER_SIZE>(), capacity);
    if (p.layout.refusal != Refusal::None) return p;
    std::span<const uint8_t> rest = file.subspan(HEADER_SIZE);
    const size_t paletteBytes = p.layout.keptEntries * 4;
    p.palette = rest.first(std::min(paletteBytes, rest.size()));
    if (p.palette.size() < paletteBytes) return p; // no pixels after a palette cut short
    rest = rest.subspan(paletteBytes);
    // Entries beyond 256 cannot be indexed by any depth; they are passed over.
    const uint64_t skipped = (p.layout.entries - p.layout.keptEntries) * 4;
    if (skipped >= rest.size()) return p;
    rest = rest.subspan(static_cast<size_t>(skipped));
    p.pixels = rest.first(std::min(p.layout.pixelBytes, rest.size()));
    return p;
}

} // namespace bmp

} // namespace kelvor
