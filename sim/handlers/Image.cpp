// Image capture and encryption: SI, SIX, RI, RIX, KW, KS.
#include "Module.h"

#include "protocol/Packet.h"

// The wire vocabulary, as the simulator names it.
namespace packet = kelvor::packet;

namespace sim {
namespace {

using namespace cmd;
constexpr size_t KEY_SIZE = packet::record::ENCRYPTION_KEY_SIZE;

// Scans for an image command; false when the answer has been given already.
bool scan_for_image(Module& m, const Command& c) {
    const Scan s = m.scan();
    if (s.status == Scan::NoFinger) {
        m.answer(c.code, 0, 0, flag::TIMEOUT);
        return false;
    }
    if (s.status == Scan::Poor && s.image.pixels.empty()) {
        m.answer(c.code, 0, 0, flag::SCAN_FAILED);
        return false;
    }
    m.scan_success(c.code);
    return true;
}

void scan_image(Module& m, const Command& c) {
    if (!scan_for_image(m, c)) return;
    const auto rec = image_record(m.last_image());
    m.answer(c.code, 0, static_cast<uint32_t>(rec.size()), flag::SUCCEED);
    if (c.code == SIX)
        m.send_chunks(c.code, rec, c.param2);
    else
        m.send_block(rec);
}

void read_image(Module& m, const Command& c) {
    if (m.last_image().pixels.empty()) {
        m.answer(c.code, 0, 0, flag::NOT_FOUND);
        return;
    }
    const auto rec = image_record(m.last_image());
    m.answer(c.code, 0, static_cast<uint32_t>(rec.size()), flag::SUCCEED);
    if (c.code == RIX)
        m.send_chunks(c.code, rec, c.param2);
    else
        m.send_block(rec);
}

void write_key(Module& m, const Command& c) {
    std::vector<uint8_t> key;
    if (!m.receive_block(key, KEY_SIZE, KEY_SIZE)) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    m.answer(c.code, 0, 0, m.state().set_blob("encryption-key", key) ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

// Scrambles the template with a key stream drawn from the key and the
// challenge: opaque to the host, not a cipher to rely on.
std::vector<uint8_t> scramble(const std::vector<uint8_t>& key, uint32_t challenge,
                              const std::vector<uint8_t>& tpl) {
    std::vector<uint8_t> out(4 + tpl.size());
    packet::put32(out.data(), challenge);
    std::copy(tpl.begin(), tpl.end(), out.begin() + 4);
    uint64_t s = 0x243F6A8885A308D3ull ^ challenge;
    for (size_t i = 0; i < key.size(); ++i) s = (s ^ key[i]) * 0x100000001B3ull;
    for (uint8_t& b : out) {
        s += 0x9E3779B97F4A7C15ull;
        uint64_t z = s;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        b ^= static_cast<uint8_t>(z ^ (z >> 31));
    }
    return out;
}

void scan_template(Module& m, const Command& c) {
    const Scan s = m.scan();
    if (s.status == Scan::NoFinger) {
        m.answer(c.code, 0, 0, flag::TIMEOUT);
        return;
    }
    m.scan_success(c.code);
    if (s.status != Scan::Ok) {
        m.answer(c.code, 0, 0, flag::TRY_AGAIN);
        return;
    }
    const auto key = m.state().blob("encryption-key").value_or(std::vector<uint8_t>(KEY_SIZE, 0));
    const auto data = scramble(key, c.param1, s.tpl);
    m.answer(c.code, 0, static_cast<uint32_t>(data.size()), flag::SUCCEED);
    m.send_block(data);
}

const Register reg{{SI, scan_image},  {SIX, scan_image}, {RI, read_image},
                   {RIX, read_image}, {KW, write_key},   {ST, scan_template}};

} // namespace
} // namespace sim
