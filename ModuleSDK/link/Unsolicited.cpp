// What a module sends on its own between commands: packets, text lines and
// bytes that make neither, one at a time, for a program that owns the line.
#include <algorithm>

#include "ModuleSDK.h"

namespace kelvor {

namespace {

// The interrupt, standing or not, is set aside while what has begun is read:
// an interrupt that comes meanwhile does not cut it short. Whichever stood
// or came stands again afterwards.
class InterruptAside {
public:
    InterruptAside() : stood_(serial_interrupted()) {
        if (stood_) serial_clear_interrupt();
    }
    ~InterruptAside() {
        if (stood_) serial_interrupt();
    }
    InterruptAside(const InterruptAside&) = delete;
    InterruptAside& operator=(const InterruptAside&) = delete;

    // Whether a read that came back short was cut by an interrupt (then
    // noted and set aside) rather than by the read time-out.
    bool cut_by_interrupt() {
        if (!serial_interrupted()) return false;
        stood_ = true;
        serial_clear_interrupt();
        return true;
    }

private:
    bool stood_;
};

// Reads what the port gives within the read time-out, no turn pause: nobody
// is answered, the bytes are on their way already.
int read_raw(InterruptAside& aside, uint8_t* buffer, int n) {
    int done = 0;
    while (done < n) {
        const int r = serial_read_more(buffer + done, n - done);
        if (r < 0) return r;
        done += r;
        if (done < n && !aside.cut_by_interrupt()) break;
    }
    return done;
}

bool hex_digit(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// The bytes of the link's form: as they are, or two hexadecimal characters
// each. Returns how many whole bytes arrived, or -1.
int read_link_bytes(InterruptAside& aside, uint8_t* out, int n, bool hexText) {
    if (!hexText) return read_raw(aside, out, n);
    std::array<uint8_t, 2 * packet::MAX_LENGTH> chars{};
    const int r = read_raw(aside, chars.data(), 2 * n);
    if (r < 0) return r;
    packet::hex_decode(reinterpret_cast<const char*>(chars.data()), static_cast<size_t>(r / 2), out);
    return r / 2;
}

} // namespace

int link_wait_event(LineEvent& event, int waitMs) {
    event.kind = LineEventKind::Noise;
    event.length = 0;
    const LinkState& s = link_state();
    const bool hexText = s.hexText == 1;
    const bool network = s.network == 1;
    const int readTimeout = serial_read_timeout();
    if (readTimeout < 0 || serial_set_read_timeout(std::max(waitMs, 0)) != 0) return ERR_READ;
    uint8_t first = 0;
    int r = serial_read_more(&first, 1);
    serial_set_read_timeout(readTimeout);
    if (r < 0) return ERR_READ;
    if (r == 0) return 0;

    InterruptAside aside;
    if (first == '[') {
        // A text line of the module, bounded in characters and in time: a line
        // that never ends holds the reader no longer than its bound's wire time.
        event.kind = LineEventKind::Text;
        event.bytes[event.length++] = first;
        serial_bound_reads(2 * LINE_EVENT_BYTES_MAX);
        uint8_t c = 0;
        while ((r = read_raw(aside, &c, 1)) == 1) {
            if (event.length < LINE_EVENT_BYTES_MAX) event.bytes[event.length++] = c;
            if (c == '\r') break;
        }
        serial_unbound_reads();
        if (r < 0) return ERR_READ;
        return 1;
    }

    const uint8_t start = packet::start_code(network);
    const size_t len = packet::length(network);
    uint8_t byte = first;
    if (hexText) {
        // A character pair makes one byte; a lone character that cannot begin
        // one is noise as it stands.
        uint8_t second = 0;
        r = hex_digit(first) ? read_raw(aside, &second, 1) : 0;
        if (r < 0) return ERR_READ;
        if (r == 0 || !hex_digit(second)) {
            event.bytes[event.length++] = first;
            if (r == 1) event.bytes[event.length++] = second;
            return 1;
        }
        const char pair[2] = {static_cast<char>(first), static_cast<char>(second)};
        packet::hex_decode(pair, 1, &byte);
        if (byte != start) {
            event.bytes[event.length++] = first;
            event.bytes[event.length++] = second;
            return 1;
        }
    } else if (byte != start) {
        event.bytes[event.length++] = byte;
        return 1;
    }
    event.bytes[0] = byte;
    r = read_link_bytes(aside, event.bytes.data() + 1, static_cast<int>(len - 1), hexText);
    if (r < 0) return ERR_READ;
    event.length = 1 + static_cast<size_t>(r);
    if (event.length == len && packet::checksum_ok(event.bytes.data(), network))
        event.kind = LineEventKind::Packet;
    return 1;
}

} // namespace kelvor
