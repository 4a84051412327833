// Template comparison: the similarity score of two templates and the
// threshold each Security Level sets.
#include "Finger.h"

#include "TemplateLayout.h"
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <numbers>

namespace sim {

using namespace tpl;

namespace {

// Agreement (0..1) of the central ridge textures at the best displacement.
double texture_similarity(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    if (!(a[12] & 1) || !(b[12] & 1)) return -1;
    double best = 0;
    for (int dy = -9; dy <= 9; ++dy)
        for (int dx = -9; dx <= 9; ++dx) {
            int same = 0, n = 0;
            for (int y = 0; y < TH; ++y) {
                const int y2 = y + dy;
                if (y2 < 0 || y2 >= TH) continue;
                uint32_t ra = texture_row(a, y), rb = texture_row(b, y2);
                uint32_t mask = 0xFFFFFFFFu;
                // point x of a against point x + dx of b
                if (dx >= 0) {
                    rb >>= dx;
                    mask >>= dx;
                } else {
                    rb <<= -dx;
                    mask <<= -dx;
                }
                same += std::popcount(~(ra ^ rb) & mask);
                n += std::popcount(mask);
            }
            if (n < TW * TH / 2) continue;
            best = std::max(best, static_cast<double>(same) / n);
        }
    return best;
}

} // namespace

int match_score(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    if (!template_valid(a) || !template_valid(b)) return 0;
    const int validA = packet::get16(&a[8]), validB = packet::get16(&b[8]);
    // Agreement of two ridge directions by the difference of their codes.
    static const auto cosines = [] {
        std::array<double, DIRECTIONS> c{};
        for (int k = 0; k < DIRECTIONS; ++k)
            c[static_cast<size_t>(k)] = std::cos(2 * std::numbers::pi * k / DIRECTIONS);
        return c;
    }();
    double flow = 0;
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) {
            double s = 0;
            int n = 0;
            for (int y = 0; y < GH; ++y)
                for (int x = 0; x < GW; ++x) {
                    const int x2 = x + dx, y2 = y + dy;
                    if (x2 < 0 || y2 < 0 || x2 >= GW || y2 >= GH) continue;
                    const uint8_t da = direction_of(a, y * GW + x), db = direction_of(b, y2 * GW + x2);
                    if (da == NO_DIRECTION || db == NO_DIRECTION) continue;
                    s += cosines[static_cast<size_t>(da > db ? da - db : db - da)];
                    ++n;
                }
            if (n < 30) continue;
            const double direction = s / n;
            // periods of the superblocks under the same displacement
            const int sdx = dx / 2, sdy = dy / 2;
            double diff = 0;
            int m = 0;
            for (int y = 0; y < SH; ++y)
                for (int x = 0; x < SW; ++x) {
                    const int x2 = x + sdx, y2 = y + sdy;
                    if (x2 < 0 || y2 < 0 || x2 >= SW || y2 >= SH) continue;
                    const uint8_t pa = a[PERIOD_AT + static_cast<size_t>(y * SW + x)];
                    const uint8_t pb = b[PERIOD_AT + static_cast<size_t>(y2 * SW + x2)];
                    if (pa == 0 || pb == 0) continue;
                    diff += std::abs(pa - pb) / (0.5 * (pa + pb));
                    ++m;
                }
            const double period = m > 0 ? std::clamp(1.0 - 3.0 * diff / m, 0.0, 1.0) : 0.5;
            const double overlap = std::min(1.0, n / (0.7 * std::min(validA, validB)));
            flow = std::max(flow,
                            std::clamp((direction - 0.55) / 0.45, 0.0, 1.0) * (0.6 + 0.4 * period) * overlap);
        }
    const double texture = texture_similarity(a, b);
    // Random textures agree on about 60 % of the points at their best displacement.
    const double score =
        texture < 0 ? flow * 0.8 : 0.35 * flow + 0.65 * std::clamp((texture - 0.62) / 0.25, 0.0, 1.0);
    return static_cast<int>(std::lround(score * 1000));
}

int match_threshold(uint32_t securityLevel) {
    // Security Level '1' (lowest) to '9' (highest); other values count as the default.
    const int level =
        securityLevel >= 0x31 && securityLevel <= 0x39 ? static_cast<int>(securityLevel - 0x30) : 4;
    return 380 + 40 * level;
}

} // namespace sim
