#include "Card.h"

#include "Module.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace sim {

namespace {

constexpr size_t HEADER_SIZE = kelvor::packet::record::CARD_HEADER_SIZE;
constexpr size_t BLOCK_BYTES = 16;
constexpr const char* READER_BLOB = "card-reader";
constexpr const char* CARD_BLOB = "card";

bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>& out) {
    if (text.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        uint64_t v = 0;
        if (!parse_number("0x" + text.substr(i, 2), v)) return false;
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

std::string hex_bytes(const uint8_t* p, size_t n) {
    std::string s;
    char buf[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", p[i]);
        s += buf;
    }
    return s;
}

bool parse_u64(const std::string& text, uint64_t& out) {
    if (text.size() > 2 && text[0] == '0' && text[1] == 'x') {
        if (text.size() > 18) return false;
        uint64_t v = 0;
        for (size_t i = 2; i < text.size(); ++i) {
            const char c = text[i];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0) return false;
            v = v << 4 | static_cast<uint64_t>(d);
        }
        out = v;
        return true;
    }
    return parse_number(text, out);
}

bool write_file_atomically(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream o(tmp, std::ios::trunc);
        o << text;
        o.flush();
        if (!o) {
            std::remove(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace

std::vector<uint8_t> Card::data() const {
    std::vector<uint8_t> out(HEADER_SIZE);
    packet::put32(&out[0], csn);
    packet::put32(&out[4], static_cast<uint32_t>(wiegand));
    packet::put32(&out[8], static_cast<uint32_t>(wiegand >> 32));
    out[12] = version;
    out[13] = static_cast<uint8_t>(template_count());
    for (size_t i = 0; i < 2; ++i) {
        out[14 + 3 * i] = slot[i].duress ? 1 : 0;
        packet::put16(&out[15 + 3 * i], static_cast<uint16_t>(slot[i].data.size()));
    }
    for (const Slot& s : slot) out.insert(out.end(), s.data.begin(), s.data.end());
    return out;
}

bool parse_card(const std::string& text, Card& out, std::string& error) {
    Card c;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key, value, extra;
        if (!(words >> key) || key[0] == '#') continue;
        words >> value >> extra;
        uint64_t v = 0;
        bool ok = true;
        if (key == "csn" || key == "user" || key == "version") {
            ok = parse_number(value, v) && (key != "version" || v <= 0xFF);
            if (key == "csn") c.csn = static_cast<uint32_t>(v);
            if (key == "user") c.user = static_cast<uint32_t>(v);
            if (key == "version") c.version = static_cast<uint8_t>(v);
        } else if (key == "wiegand") {
            ok = parse_u64(value, v);
            c.wiegand = v;
        } else if (key == "key") {
            std::vector<uint8_t> k;
            ok = parse_hex_bytes(value, k) && k.size() == CARD_KEY_BYTES;
            if (ok) std::copy(k.begin(), k.end(), c.key.begin());
        } else if (key == "template1" || key == "template2") {
            Card::Slot& s = c.slot[key == "template1" ? 0 : 1];
            ok = parse_hex_bytes(value, s.data) && s.data.size() <= 0xFFFF &&
                 (extra.empty() || extra == "duress");
            s.duress = extra == "duress";
        } else {
            ok = false;
        }
        if (!ok) {
            error = "bad card line '" + line + "'";
            return false;
        }
    }
    out = c;
    return true;
}

std::string format_card(const Card& c) {
    std::ostringstream s;
    char wiegand[32];
    std::snprintf(wiegand, sizeof wiegand, "0x%016llx", static_cast<unsigned long long>(c.wiegand));
    s << "# orvanti-sim card\n";
    s << "csn 0x" << std::hex << c.csn << std::dec << "\n";
    s << "user " << c.user << "\n";
    s << "wiegand " << wiegand << "\n";
    s << "version " << static_cast<int>(c.version) << "\n";
    s << "key " << hex_bytes(c.key.data(), c.key.size()) << "\n";
    for (size_t i = 0; i < 2; ++i) {
        if (c.slot[i].data.empty()) continue;
        s << "template" << i + 1 << " " << hex_bytes(c.slot[i].data.data(), c.slot[i].data.size())
          << (c.slot[i].duress ? " duress" : "") << "\n";
    }
    return s.str();
}

bool read_card_file(const std::string& path, Card& out, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read card file " + path;
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    return parse_card(text.str(), out, error);
}

std::array<uint8_t, 7> Layout::bytes() const {
    std::array<uint8_t, 7> b{};
    packet::put16(b.data(), templateSize);
    b[2] = cisBlock;
    b[3] = t1Start;
    b[4] = t1Blocks;
    b[5] = t2Start;
    b[6] = t2Blocks;
    return b;
}

Layout Layout::of(const uint8_t* b) {
    return {packet::get16(b), b[2], b[3], b[4], b[5], b[6]};
}

bool Layout::valid() const {
    const auto apart = [](unsigned a, unsigned an, unsigned b, unsigned bn) {
        return a + an <= b || b + bn <= a;
    };
    return templateSize > 0 && static_cast<size_t>(t1Blocks) * BLOCK_BYTES >= templateSize &&
           static_cast<size_t>(t2Blocks) * BLOCK_BYTES >= templateSize &&
           apart(t1Start, t1Blocks, t2Start, t2Blocks) && apart(cisBlock, 1, t1Start, t1Blocks) &&
           apart(cisBlock, 1, t2Start, t2Blocks);
}

CardReader load_reader(Module& m) {
    CardReader r;
    const auto blob = m.state().blob(READER_BLOB);
    if (!blob || blob->size() != 2 * CARD_KEY_BYTES + 2 + 7) return r;
    const uint8_t* p = blob->data();
    std::copy_n(p, CARD_KEY_BYTES, r.primary.begin());
    std::copy_n(p + CARD_KEY_BYTES, CARD_KEY_BYTES, r.secondary.begin());
    r.keyOption = p[12];
    r.inputFunction = p[13];
    r.layout = Layout::of(p + 14);
    return r;
}

void save_reader(Module& m, const CardReader& r) {
    std::vector<uint8_t> b(r.primary.begin(), r.primary.end());
    b.insert(b.end(), r.secondary.begin(), r.secondary.end());
    b.push_back(r.keyOption);
    b.push_back(r.inputFunction);
    const auto layout = r.layout.bytes();
    b.insert(b.end(), layout.begin(), layout.end());
    m.state().set_blob(READER_BLOB, b);
}

// A card presented by its user ID lives in the module's state for as long as
// it stays presented; presenting it again gives a fresh card.
std::optional<Card> presented_card(Module& m) {
    const Control ctl = m.control();
    Card card;
    std::string error;
    if (!ctl.cardFile.empty()) {
        if (!read_card_file(ctl.cardFile, card, error)) return std::nullopt;
        return card;
    }
    if (!ctl.card) return std::nullopt;
    const std::string prefix = "presentation " + std::to_string(ctl.cardSerial) + "\n";
    if (const auto blob = m.state().blob(CARD_BLOB)) {
        const std::string text(blob->begin(), blob->end());
        if (text.rfind(prefix, 0) == 0 && parse_card(text.substr(prefix.size()), card, error)) return card;
    }
    card = Card{};
    card.user = *ctl.card;
    card.csn = *ctl.card;
    return card;
}

bool store_card(Module& m, const Card& card) {
    const Control ctl = m.control();
    if (!ctl.cardFile.empty()) return write_file_atomically(ctl.cardFile, format_card(card));
    const std::string text = "presentation " + std::to_string(ctl.cardSerial) + "\n" + format_card(card);
    return m.state().set_blob(CARD_BLOB, std::vector<uint8_t>(text.begin(), text.end()));
}

bool open_card(Module& m, const CardReader& r, Card& card) {
    if (card.key == r.primary) return true;
    if (!(r.keyOption & 0x01) || card.key != r.secondary) return false;
    if (r.keyOption & 0x02) {
        card.key = r.primary;
        store_card(m, card);
    }
    return true;
}

bool verify_against_card(Module& m, uint8_t command) {
    auto card = presented_card(m);
    if (!card || card->template_count() == 0) return false;
    if (!open_card(m, load_reader(m), *card)) {
        m.record_event(LOG_SOURCE_CARD, EVENT_CARD_READ_ERROR, card->user);
        m.answer(command, 0, 0, flag::CARD_ERROR);
        return true;
    }
    m.scan_success(command);
    const auto probe = m.scan_template(command);
    if (!probe) return true;
    int best = 0;
    for (const Card::Slot& s : card->slot)
        if (!s.data.empty()) best = std::max(best, match_score(*probe, s.data));
    if (best >= match_threshold(m.param(param::SECURITY_LEVEL)))
        m.answer(command, card->user, static_cast<uint32_t>(best), flag::SUCCEED);
    else
        m.answer(command, card->user, 0, flag::NOT_MATCH);
    return true;
}

} // namespace sim
