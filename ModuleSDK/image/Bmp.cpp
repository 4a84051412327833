// BMP reading and writing for the image commands. Everything the file
// announces (sizes, palette length) is checked against the caller's buffer
// before anything is allocated, read or stored.
#include "image/Bmp.h"

#include "protocol/Bmp.h"

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
    return kelvor::bmp::gray_average(first, second, third);
}

int bmp_read(std::FILE* file, int* width, int* height, uint8_t* gray, size_t capacity) {
    namespace bmp = kelvor::bmp;
    if (file == nullptr || width == nullptr || height == nullptr) return 0;

    std::array<uint8_t, bmp::HEADER_SIZE> header{};
    if (std::fread(header.data(), 1, header.size(), file) != header.size()) return 0;
    const bmp::Layout layout = bmp::layout_of(header, capacity);
    if (layout.refusal != bmp::Refusal::None || gray == nullptr) return 0;

    std::vector<uint8_t> palette;
    std::vector<uint8_t> pixels;
    size_t paletteRead = 0;
    size_t pixelBytesRead = 0;
    try {
        palette.assign(layout.keptEntries * 4, 0);
        paletteRead = std::fread(palette.data(), 1, palette.size(), file);
        if (paletteRead == palette.size()) {
            // Entries beyond 256 cannot be indexed by any depth; pass over them.
            skip_bytes(file, (layout.entries - layout.keptEntries) * 4);
            pixels.assign(layout.pixelBytes, 0);
            pixelBytesRead = std::fread(pixels.data(), 1, pixels.size(), file);
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    bmp::decode(layout, std::span<const uint8_t>(palette).first(paletteRead),
                std::span<const uint8_t>(pixels).first(pixelBytesRead), gray);
    *width = layout.width;
    *height = static_cast<int>(layout.rows);
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
