// The layout of the simulated module's templates.
// Layout: "OVT1", width and height of the image (16 bits each), count of blocks
// with ridges (16 bits), grid width and height, flags (bit 0: texture present),
// 3 reserved; the ridge direction of each 16x16 block in steps of 12 degrees,
// two blocks a byte (15 = no ridges); the ridge period of each 32x32
// superblock in tenths of a pixel (0 = unknown); the ridge texture of the
// central 64x72 pixels at half resolution, one bit a point (1 = ridge), 4
// bytes a row; the byte sum of everything before it and 4 reserved bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "Finger.h"

namespace sim {

namespace tpl {

inline constexpr int BLOCK = 16;
inline constexpr int GW = SENSOR_WIDTH / BLOCK, GH = SENSOR_HEIGHT / BLOCK; // 16 x 18
inline constexpr int SW = GW / 2, SH = GH / 2;                              // 8 x 9
inline constexpr int TW = 32, TH = 36;                                      // texture points
inline constexpr size_t DIR_AT = 16, PERIOD_AT = DIR_AT + GW * GH / 2, TEXTURE_AT = PERIOD_AT + SW * SH,
                        SUM_AT = TEXTURE_AT + TW / 8 * TH;
static_assert(SUM_AT + 8 == TEMPLATE_SIZE);
inline constexpr uint8_t NO_DIRECTION = 15;
inline constexpr int DIRECTIONS = 15; // 12-degree steps

inline uint8_t direction_of(std::span<const uint8_t> t, int i) {
    const uint8_t b = t[DIR_AT + static_cast<size_t>(i / 2)];
    return static_cast<uint8_t>(i % 2 ? b & 0x0F : b >> 4);
}

inline uint32_t texture_row(std::span<const uint8_t> t, int y) {
    return packet::get32(&t[TEXTURE_AT + 4 * static_cast<size_t>(y)]);
}

} // namespace tpl

} // namespace sim
