// Fingers of the simulated sensor: synthetic fingerprint images (deterministic
// ridge patterns per finger number, each capture slightly shifted and noisy),
// BMP files placed on the sensor, templates extracted from images and their
// comparison by a similarity score.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/Packet.h"

// The wire vocabulary, as the simulator names it.
namespace packet = kelvor::packet;

namespace sim {

inline constexpr uint32_t SENSOR_WIDTH = 256;
inline constexpr uint32_t SENSOR_HEIGHT = 288;
inline constexpr size_t MAX_PIXELS = packet::record::IMAGE_PIXELS_MAX;
inline constexpr size_t TEMPLATE_SIZE = 384;
inline constexpr size_t IMAGE_HEADER_SIZE = packet::record::IMAGE_HEADER_SIZE;

// 8-bit gray, rows from the top, no padding.
struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;
};

// The capture-th capture of a finger (finger numbers from 1). Deterministic:
// the same finger and capture give the same image.
Image capture_finger(uint32_t finger, uint64_t capture);

// Reads an uncompressed BMP of 1, 4, 8, 24 or 32 bits into gray, the way the
// host's tool reads them; refuses images of more than MAX_PIXELS pixels.
bool read_bmp(const std::string& path, Image& out, std::string& error);

// The image record as the module sends it: 28-byte header (width, height, 0, 0,
// format 0, width*height, 0), then the pixels.
std::vector<uint8_t> image_record(const Image& image);
// An image record as the host sends it: header first; the pixels may come
// short (the host counts the header in width*height), missing pixels are white.
std::optional<Image> parse_image_record(std::span<const uint8_t> bytes);

// TEMPLATE_SIZE bytes, or nothing when the image shows too little of a finger.
std::optional<std::vector<uint8_t>> extract_template(const Image& image);
bool template_valid(std::span<const uint8_t> tpl);
// Similarity 0 (nothing alike) to 1000 (the same capture).
int match_score(std::span<const uint8_t> a, std::span<const uint8_t> b);
// The score from which two templates count as one finger, by Security Level.
int match_threshold(uint32_t securityLevel);

} // namespace sim
