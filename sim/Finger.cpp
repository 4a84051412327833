#include "Finger.h"

#include "protocol/Bmp.h"
#include "protocol/Packet.h"

#include <sys/stat.h>

// The wire vocabulary, as the simulator names it.
namespace packet = kelvor::packet;

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
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

// ------------------------------------------------------------------ templates
// Layout: "OVT1", width and height of the image (16 bits each), count of blocks
// with ridges (16 bits), grid width and height, flags (bit 0: texture present),
// 3 reserved; the ridge direction of each 16x16 block in steps of 12 degrees,
// two blocks a byte (15 = no ridges); the ridge period of each 32x32
// superblock in tenths of a pixel (0 = unknown); the ridge texture of the
// central 64x72 pixels at half resolution, one bit a point (1 = ridge), 4
// bytes a row; the byte sum of everything before it and 4 reserved bytes.
namespace {

constexpr int BLOCK = 16;
constexpr int GW = SENSOR_WIDTH / BLOCK, GH = SENSOR_HEIGHT / BLOCK; // 16 x 18
constexpr int SW = GW / 2, SH = GH / 2;                              // 8 x 9
constexpr int TW = 32, TH = 36;                                      // texture points
constexpr size_t DIR_AT = 16, PERIOD_AT = DIR_AT + GW * GH / 2, TEXTURE_AT = PERIOD_AT + SW * SH,
                 SUM_AT = TEXTURE_AT + TW / 8 * TH;
static_assert(SUM_AT + 8 == TEMPLATE_SIZE);
constexpr uint8_t NO_DIRECTION = 15;
constexpr int DIRECTIONS = 15; // 12-degree steps

uint8_t direction_of(std::span<const uint8_t> t, int i) {
    const uint8_t b = t[DIR_AT + static_cast<size_t>(i / 2)];
    return static_cast<uint8_t>(i % 2 ? b & 0x0F : b >> 4);
}

uint32_t texture_row(std::span<const uint8_t> t, int y) {
    return packet::get32(&t[TEXTURE_AT + 4 * static_cast<size_t>(y)]);
}

} // namespace

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
                const double ridge = std::fmod(0.5 * std::atan2(sy, sx) + PI / 2 + PI, PI);
                dir[i] = ridge;
                code =
                    static_cast<uint8_t>(static_cast<int>(std::lround(ridge / PI * DIRECTIONS)) % DIRECTIONS);
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
        for (int k = 0; k < DIRECTIONS; ++k) c[static_cast<size_t>(k)] = std::cos(2 * PI * k / DIRECTIONS);
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
