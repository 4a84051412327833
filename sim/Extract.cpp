// Template extraction: ridge directions, periods and the central texture of
// an image, in the layout of TemplateLayout.h.
#include "Finger.h"

#include "TemplateLayout.h"
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

namespace sim {

using namespace tpl;

std::optional<std::vector<uint8_t>> extract_template(const Image& image) {
    const int W = static_cast<int>(image.width), H = static_cast<int>(image.height);
    if (W < 3 || H < 3 || image.pixels.size() != static_cast<size_t>(W) * static_cast<size_t>(H))
        return std::nullopt;
    const int ox = (W - static_cast<int>(SENSOR_WIDTH)) / 2, oy = (H - static_cast<int>(SENSOR_HEIGHT)) / 2;
    auto px = [&](int x, int y) -> double {
        return image.pixels[static_cast<size_t>(std::clamp(y, 0, H - 1)) * static_cast<size_t>(W) +
                            static_cast<size_t>(std::clamp(x, 0, W - 1))];
    };
    // Per block: doubled-angle gradient moments.
    std::array<double, GW * GH> cx{}, cy{};
    std::array<bool, GW * GH> valid{};
    for (int by = 0; by < GH; ++by)
        for (int bx = 0; bx < GW; ++bx) {
            double gxx = 0, gyy = 0, gxy = 0, sum = 0, sum2 = 0;
            int n = 0;
            for (int y = oy + by * BLOCK; y < oy + (by + 1) * BLOCK; ++y)
                for (int x = ox + bx * BLOCK; x < ox + (bx + 1) * BLOCK; ++x) {
                    if (x < 1 || y < 1 || x >= W - 1 || y >= H - 1) continue;
                    const double gx = (px(x + 1, y - 1) + 2 * px(x + 1, y) + px(x + 1, y + 1)) -
                                      (px(x - 1, y - 1) + 2 * px(x - 1, y) + px(x - 1, y + 1));
                    const double gy = (px(x - 1, y + 1) + 2 * px(x, y + 1) + px(x + 1, y + 1)) -
                                      (px(x - 1, y - 1) + 2 * px(x, y - 1) + px(x + 1, y - 1));
                    gxx += gx * gx;
                    gyy += gy * gy;
                    gxy += gx * gy;
                    const double v = px(x, y);
                    sum += v;
                    sum2 += v * v;
                    ++n;
                }
            const size_t i = static_cast<size_t>(by * GW + bx);
            if (n < BLOCK * BLOCK / 2) continue;
            const double mean = sum / n, var = sum2 / n - mean * mean;
            const double e = gxx + gyy;
            if (e <= 0) continue;
            const double c = std::sqrt((gxx - gyy) * (gxx - gyy) + 4 * gxy * gxy) / e;
            if (var < 250 || mean > 205 || c < 0.2) continue;
            valid[i] = true;
            cx[i] = (gxx - gyy) / e;
            cy[i] = 2 * gxy / e;
        }
    std::vector<uint8_t> t(TEMPLATE_SIZE, 0);
    std::memcpy(t.data(), "OVT1", 4);
    packet::put16(&t[4], static_cast<uint16_t>(std::min(W, 0xFFFF)));
    packet::put16(&t[6], static_cast<uint16_t>(std::min(H, 0xFFFF)));
    t[10] = GW;
    t[11] = GH;
    int count = 0;
    std::array<double, GW * GH> dir{};
    for (int by = 0; by < GH; ++by)
        for (int bx = 0; bx < GW; ++bx) {
            const size_t i = static_cast<size_t>(by * GW + bx);
            uint8_t code = NO_DIRECTION;
            if (valid[i]) {
                // smoothed over the neighbouring blocks
                double sx = 0, sy = 0;
                for (int v = -1; v <= 1; ++v)
                    for (int u = -1; u <= 1; ++u) {
                        const int x = bx + u, y = by + v;
                        if (x < 0 || y < 0 || x >= GW || y >= GH) continue;
                        const size_t j = static_cast<size_t>(y * GW + x);
                        if (!valid[j]) continue;
                        const double w = (u == 0 && v == 0) ? 2.0 : 1.0;
                        sx += w * cx[j];
                        sy += w * cy[j];
                    }
                // the gradient direction turned by 90 degrees is the ridge direction
                const double ridge = std::fmod(
                    0.5 * std::atan2(sy, sx) + std::numbers::pi / 2 + std::numbers::pi, std::numbers::pi);
                dir[i] = ridge;
                code = static_cast<uint8_t>(
                    static_cast<int>(std::lround(ridge / std::numbers::pi * DIRECTIONS)) % DIRECTIONS);
                ++count;
            }
            t[DIR_AT + i / 2] |= static_cast<uint8_t>(i % 2 ? code : code << 4);
        }
    // Ridge period per superblock: a profile across the ridges through its centre.
    for (int sy = 0; sy < SH; ++sy)
        for (int sx = 0; sx < SW; ++sx) {
            double vx = 0, vy = 0;
            int n = 0;
            for (int v = 0; v < 2; ++v)
                for (int u = 0; u < 2; ++u) {
                    const size_t i = static_cast<size_t>((2 * sy + v) * GW + 2 * sx + u);
                    if (!valid[i]) continue;
                    vx += std::cos(2 * dir[i]);
                    vy += std::sin(2 * dir[i]);
                    ++n;
                }
            if (n < 3) continue;
            const double ridge = 0.5 * std::atan2(vy, vx);
            const double nx = -std::sin(ridge), ny = std::cos(ridge); // across the ridges
            const double ccx = ox + (2 * sx + 1) * BLOCK, ccy = oy + (2 * sy + 1) * BLOCK;
            std::array<double, 33> prof{};
            double mean = 0;
            for (int s = -16; s <= 16; ++s) {
                double acc = 0;
                for (int k = -6; k <= 6; k += 2)
                    acc += px(static_cast<int>(std::lround(ccx + s * nx + k * std::cos(ridge))),
                              static_cast<int>(std::lround(ccy + s * ny + k * std::sin(ridge))));
                prof[static_cast<size_t>(s + 16)] = acc;
                mean += acc;
            }
            mean /= static_cast<double>(prof.size());
            int first = -1, last = -1, crossings = 0;
            for (size_t s = 1; s < prof.size(); ++s)
                if ((prof[s - 1] - mean) * (prof[s] - mean) < 0) {
                    if (first < 0) first = static_cast<int>(s);
                    last = static_cast<int>(s);
                    ++crossings;
                }
            if (crossings < 3) continue;
            const double period = 2.0 * (last - first) / (crossings - 1);
            if (period < 4 || period > 20) continue;
            t[PERIOD_AT + static_cast<size_t>(sy * SW + sx)] = static_cast<uint8_t>(std::lround(period * 10));
        }
    // Ridge texture of the centre: half resolution, dark against its surroundings.
    {
        const int tx0 = W / 2 - TW, ty0 = H / 2 - TH;
        std::array<double, TW * TH> half{};
        for (int y = 0; y < TH; ++y)
            for (int x = 0; x < TW; ++x) {
                const int X = tx0 + 2 * x, Y = ty0 + 2 * y;
                half[static_cast<size_t>(y * TW + x)] =
                    (px(X, Y) + px(X + 1, Y) + px(X, Y + 1) + px(X + 1, Y + 1)) / 4;
            }
        int ridges = 0;
        for (int y = 0; y < TH; ++y) {
            uint32_t row = 0;
            for (int x = 0; x < TW; ++x) {
                double local = 0;
                int n = 0;
                for (int v = -4; v <= 4; ++v)
                    for (int u = -4; u <= 4; ++u) {
                        const int xx = x + u, yy = y + v;
                        if (xx < 0 || yy < 0 || xx >= TW || yy >= TH) continue;
                        local += half[static_cast<size_t>(yy * TW + xx)];
                        ++n;
                    }
                if (half[static_cast<size_t>(y * TW + x)] < local / n - 2) {
                    row |= 1u << x;
                    ++ridges;
                }
            }
            packet::put32(&t[TEXTURE_AT + 4 * static_cast<size_t>(y)], row);
        }
        // A centre without ridges (the finger lies off the middle) carries no texture.
        if (ridges > TW * TH / 5) t[12] |= 1;
    }
    if (count < 40) return std::nullopt;
    packet::put16(&t[8], static_cast<uint16_t>(count));
    packet::put32(&t[SUM_AT], packet::byte_sum(t.data(), SUM_AT));
    return t;
}

bool template_valid(std::span<const uint8_t> t) {
    return t.size() == TEMPLATE_SIZE && std::memcmp(t.data(), "OVT1", 4) == 0 && t[10] == GW && t[11] == GH &&
           packet::get32(&t[SUM_AT]) == packet::byte_sum(t.data(), SUM_AT);
}

} // namespace sim
