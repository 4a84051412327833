// Images in and out of the simulated module: BMP files placed on the sensor
// and the image records of the image commands.
#include "Finger.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "protocol/Bmp.h"

namespace sim {

bool read_bmp(const std::string& path, Image& out, std::string& error) {
    // Read as the host's tool reads BMP files; a file is taken only up to
    // what the largest image, a full palette and a long gap before it can need.
    constexpr size_t FILE_MAX = 64u << 20;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "cannot open " + path;
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::vector<uint8_t> f(
        static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(st.st_size), FILE_MAX)));
    in.read(reinterpret_cast<char*>(f.data()), static_cast<std::streamsize>(f.size()));
    f.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    const kelvor::bmp::FileParts parts = kelvor::bmp::parts_of(f, MAX_PIXELS);
    switch (parts.layout.refusal) {
    case kelvor::bmp::Refusal::None: break;
    case kelvor::bmp::Refusal::NotBmp: error = path + " is not a BMP file"; return false;
    case kelvor::bmp::Refusal::Unsupported: error = path + ": unsupported BMP"; return false;
    case kelvor::bmp::Refusal::TooLarge:
        error = path + ": more than " + std::to_string(MAX_PIXELS) + " pixels";
        return false;
    }
    out.width = static_cast<uint32_t>(parts.layout.width);
    out.height = static_cast<uint32_t>(parts.layout.rows);
    out.pixels.assign(static_cast<size_t>(out.width) * out.height, 0);
    kelvor::bmp::decode(parts.layout, parts.palette, parts.pixels, out.pixels.data());
    return true;
}

std::vector<uint8_t> image_record(const Image& image) {
    std::vector<uint8_t> rec(IMAGE_HEADER_SIZE + image.pixels.size(), 0);
    packet::put32(&rec[packet::record::IMAGE_WIDTH_AT], image.width);
    packet::put32(&rec[packet::record::IMAGE_HEIGHT_AT], image.height);
    packet::put32(&rec[packet::record::IMAGE_FORMAT_AT], 0); // format: 8-bit gray
    packet::put32(&rec[packet::record::IMAGE_SIZE_AT], static_cast<uint32_t>(image.pixels.size()));
    std::memcpy(rec.data() + IMAGE_HEADER_SIZE, image.pixels.data(), image.pixels.size());
    return rec;
}

std::optional<Image> parse_image_record(std::span<const uint8_t> bytes) {
    if (bytes.size() < IMAGE_HEADER_SIZE) return std::nullopt;
    const uint32_t w = packet::get32(&bytes[packet::record::IMAGE_WIDTH_AT]);
    const uint32_t h = packet::get32(&bytes[packet::record::IMAGE_HEIGHT_AT]);
    if (w == 0 || h == 0 || w > MAX_PIXELS || h > MAX_PIXELS || static_cast<uint64_t>(w) * h > MAX_PIXELS)
        return std::nullopt;
    const size_t n = static_cast<size_t>(w) * h;
    // The host sends width*height bytes from the start of its record, or the whole record.
    if (bytes.size() != n && bytes.size() != n + IMAGE_HEADER_SIZE) return std::nullopt;
    Image img;
    img.width = w;
    img.height = h;
    img.pixels.assign(n, 255);
    const size_t have = std::min(n, bytes.size() - IMAGE_HEADER_SIZE);
    std::memcpy(img.pixels.data(), bytes.data() + IMAGE_HEADER_SIZE, have);
    return img;
}

} // namespace sim
