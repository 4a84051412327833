// Finger synthesis: a deterministic ridge pattern per finger number, drawn
// once as a master print, and each capture of it shifted, lit and noisy.
#include "Finger.h"

#include "protocol/Packet.h"

// The wire vocabulary, as the simulator names it.
namespace packet = kelvor::packet;

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <numbers>

namespace sim {

namespace {

constexpr double PI = std::numbers::pi;
constexpr uint8_t BACKGROUND = 236;

// Deterministic pseudo-random numbers (splitmix64).
class Rng {
public:
    explicit Rng(uint64_t seed) : s_(seed) {}
    uint64_t next() {
        uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double uniform(double lo, double hi) {
        return lo + (hi - lo) * static_cast<double>(next() >> 11) / 9007199254740992.0;
    }
    int integer(int lo, int hi) { return lo + static_cast<int>(next() % static_cast<uint64_t>(hi - lo + 1)); }

private:
    uint64_t s_;
};

// The shape of one finger: singular points, a smooth disturbance of the ridge
// flow, the ridge period and the outline of the skin on the sensor.
struct Pattern {
    enum Kind { LeftLoop, RightLoop, Whorl, Arch, TentedArch } kind;
    std::vector<std::array<double, 2>> cores, deltas;
    double rotation;
    std::array<std::array<double, 4>, 3> wave; // amplitude, kx, ky, phase
    double period;
    std::array<double, 4> periodWave;
    double cx, cy, rx, ry;
};

Pattern make_pattern(uint32_t finger) {
    Rng r(0xF1A9E5ull * finger + 17);
    Pattern p{};
    // Loops are the most common patterns, plain arches the rarest.
    const int roll = r.integer(0, 19);
    p.kind = roll < 6    ? Pattern::LeftLoop
             : roll < 12 ? Pattern::RightLoop
             : roll < 17 ? Pattern::Whorl
             : roll < 19 ? Pattern::TentedArch
                         : Pattern::Arch;
    p.cx = SENSOR_WIDTH / 2.0 + r.uniform(-10, 10);
    p.cy = SENSOR_HEIGHT / 2.0 + r.uniform(-4, 12);
    p.rx = 100 + r.uniform(-8, 8);
    p.ry = 126 + r.uniform(-8, 8);
    const double coreX = p.cx + r.uniform(-18, 18);
    const double coreY = p.cy - r.uniform(5, 40);
    switch (p.kind) {
    case Pattern::LeftLoop:
    case Pattern::RightLoop: {
        const double side = p.kind == Pattern::LeftLoop ? -1 : 1;
        p.cores.push_back({coreX, coreY});
        p.deltas.push_back({coreX + side * r.uniform(45, 75), coreY + r.uniform(60, 95)});
        break;
    }
    case Pattern::Whorl: {
        const double gap = r.uniform(8, 18);
        const double tilt = r.uniform(-8, 8);
        p.cores.push_back({coreX - gap, coreY - tilt});
        p.cores.push_back({coreX + gap, coreY + tilt});
        p.deltas.push_back({coreX - r.uniform(60, 85), coreY + r.uniform(55, 85)});
        p.deltas.push_back({coreX + r.uniform(60, 85), coreY + r.uniform(55, 85)});
        break;
    }
    case Pattern::TentedArch:
        p.cores.push_back({coreX, coreY});
        p.deltas.push_back({coreX + r.uniform(-6, 6), coreY + r.uniform(25, 40)});
        break;
    case Pattern::Arch: break;
    }
    p.rotation = r.uniform(-0.3, 0.3);
    for (auto& w : p.wave) {
        const double len = r.uniform(70, 190);
        const double dir = r.uniform(0, 2 * PI);
        w = {r.uniform(0.12, 0.3), 2 * PI / len * std::cos(dir), 2 * PI / len * std::sin(dir),
             r.uniform(0, 2 * PI)};
    }
    p.period = r.uniform(7.8, 9.8);
    const double len = r.uniform(120, 240), dir = r.uniform(0, 2 * PI);
    p.periodWave = {r.uniform(0.4, 1.0), 2 * PI / len * std::cos(dir), 2 * PI / len * std::sin(dir),
                    r.uniform(0, 2 * PI)};
    return p;
}

// Ridge direction (radians, modulo pi) at a point.
double ridge_angle(const Pattern& p, double x, double y) {
    double a = p.rotation;
    if (p.kind == Pattern::Arch) {
        a += -0.65 * std::tanh((x - p.cx) / 55) * std::exp(-std::pow((y - p.cy + 20) / 95, 2));
    } else {
        for (const auto& c : p.cores) a += 0.5 * std::atan2(y - c[1], x - c[0]);
        for (const auto& d : p.deltas) a -= 0.5 * std::atan2(y - d[1], x - d[0]);
    }
    for (const auto& w : p.wave) a += w[0] * std::sin(w[1] * x + w[2] * y + w[3]);
    return a;
}

double ridge_period(const Pattern& p, double x, double y) {
    const auto& w = p.periodWave;
    return p.period + w[0] * std::sin(w[1] * x + w[2] * y + w[3]);
}

// Even Gabor kernels for quantised ridge directions and periods.
constexpr int KR = 5; // kernel radius
constexpr int KS = 2 * KR + 1;
constexpr int ANGLES = 24;
constexpr double PERIOD_MIN = 6.0, PERIOD_STEP = 0.5;
constexpr int PERIODS = 13;

struct Kernels {
    std::vector<std::array<float, KS * KS>> k;
    Kernels() : k(ANGLES * PERIODS) {
        for (int ai = 0; ai < ANGLES; ++ai)
            for (int pi = 0; pi < PERIODS; ++pi) {
                const double angle = PI * ai / ANGLES;
                const double period = PERIOD_MIN + PERIOD_STEP * pi;
                const double sigma = 0.5 * period;
                auto& out = k[static_cast<size_t>(ai * PERIODS + pi)];
                double sum = 0;
                for (int v = -KR; v <= KR; ++v)
                    for (int u = -KR; u <= KR; ++u) {
                        // distance across the ridges
                        const double across = -u * std::sin(angle) + v * std::cos(angle);
                        const double g = std::exp(-(u * u + v * v) / (2 * sigma * sigma)) *
                                         std::cos(2 * PI * across / period);
                        out[static_cast<size_t>((v + KR) * KS + u + KR)] = static_cast<float>(g);
                        sum += std::abs(g);
                    }
                for (float& f : out) f = static_cast<float>(f / sum * 4.0);
            }
    }
};

const Kernels& kernels() {
    static const Kernels k;
    return k;
}

// The finger's skin as seen by a perfect sensor: gray values of the master print.
std::vector<uint8_t> master_print(uint32_t finger) {
    const Pattern p = make_pattern(finger);
    const int W = SENSOR_WIDTH, H = SENSOR_HEIGHT;
    std::vector<uint16_t> kernelOf(static_cast<size_t>(W * H));
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            double a = std::fmod(ridge_angle(p, x, y), PI);
            if (a < 0) a += PI;
            const int ai = static_cast<int>(std::lround(a / PI * ANGLES)) % ANGLES;
            const int pi =
                std::clamp(static_cast<int>(std::lround((ridge_period(p, x, y) - PERIOD_MIN) / PERIOD_STEP)),
                           0, PERIODS - 1);
            kernelOf[static_cast<size_t>(y * W + x)] = static_cast<uint16_t>(ai * PERIODS + pi);
        }
    // Ridges grow out of noise by repeated filtering along the ridge flow.
    Rng r(0x5EEDull * finger + 3);
    std::vector<float> a(static_cast<size_t>(W * H)), b(a.size());
    for (float& v : a) v = static_cast<float>(r.uniform(-1, 1));
    const auto& K = kernels().k;
    for (int it = 0; it < 6; ++it) {
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const auto& k = K[kernelOf[static_cast<size_t>(y * W + x)]];
                float s = 0;
                for (int v = -KR; v <= KR; ++v) {
                    const int yy = std::clamp(y + v, 0, H - 1);
                    const float* row = &a[static_cast<size_t>(yy * W)];
                    const float* kr = &k[static_cast<size_t>((v + KR) * KS)];
                    for (int u = -KR; u <= KR; ++u) s += kr[u + KR] * row[std::clamp(x + u, 0, W - 1)];
                }
                b[static_cast<size_t>(y * W + x)] = std::clamp(s * 1.6f, -1.0f, 1.0f);
            }
        a.swap(b);
    }
    std::vector<uint8_t> out(a.size());
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const double dx = (x - p.cx) / p.rx, dy = (y - p.cy - 8) / p.ry;
            const double rr = std::sqrt(dx * dx + dy * dy);
            const double skin = std::clamp((1.0 - rr) * 10.0, 0.0, 1.0);
            const double ridge = (a[static_cast<size_t>(y * W + x)] + 1.0) / 2.0; // 1 on a ridge
            const double gray = BACKGROUND - skin * (30 + ridge * 170);
            out[static_cast<size_t>(y * W + x)] = static_cast<uint8_t>(std::clamp(gray, 0.0, 255.0));
        }
    return out;
}

const std::vector<uint8_t>& cached_master(uint32_t finger) {
    static std::map<uint32_t, std::vector<uint8_t>> cache;
    auto it = cache.find(finger);
    if (it != cache.end()) return it->second;
    if (cache.size() >= 64) cache.clear();
    return cache.emplace(finger, master_print(finger)).first->second;
}

} // namespace

Image capture_finger(uint32_t finger, uint64_t capture) {
    const auto& master = cached_master(finger);
    Rng r(finger * 0x100000001B3ull ^ (capture * 0x9E3779B97F4A7C15ull) ^ 0xC0FFEEull);
    const int W = SENSOR_WIDTH, H = SENSOR_HEIGHT;
    const int sx = r.integer(-7, 7), sy = r.integer(-7, 7);
    const double gain = r.uniform(0.9, 1.08);
    const double offset = r.uniform(-8, 8);
    Image img;
    img.width = SENSOR_WIDTH;
    img.height = SENSOR_HEIGHT;
    img.pixels.resize(static_cast<size_t>(W * H));
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const int mx = x - sx, my = y - sy;
            double v = (mx >= 0 && mx < W && my >= 0 && my < H) ? master[static_cast<size_t>(my * W + mx)]
                                                                : BACKGROUND;
            // sensor noise: roughly normal, sigma about 6
            const double n = (r.uniform(-1, 1) + r.uniform(-1, 1) + r.uniform(-1, 1)) * 6.0;
            v = (v - 128) * gain + 128 + offset + n;
            img.pixels[static_cast<size_t>(y * W + x)] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
        }
    return img;
}

} // namespace sim
