// Link layer above the serial port: the hex-text translation, whole blocks
// with a progress line, command packets and answers.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "ModuleSDK.h"
#include "link/Blocks.h"
#include "link/TextLines.h"
#include "port/SerialLine.h"
#include "trace/LineState.h"
#include "trace/Progress.h"

namespace kelvor {

LinkState& link_state() {
    return line_state::part<LinkState>(line_state::LINK_STATE);
}

ModuleSettings& module_settings() {
    return line_state::part<ModuleSettings>(line_state::MODULE_SETTINGS);
}

int baud_rate_of_code(int baudCode) {
    return baudCode < 0 ? baudCode : static_cast<int>(packet::baud_rate_of(static_cast<uint32_t>(baudCode)));
}

uint32_t byte_sum(const uint8_t* bytes, size_t n) {
    return packet::byte_sum(bytes, n);
}

// ------------------------------------------------------------ hex-text layer

namespace {

// The bytes of one read as they come from the port; with `textLines`, module
// text lines before them are printed and not counted.
int port_read(uint8_t* buffer, int n, bool textLines) {
    return textLines ? read_after_text_lines(buffer, n) : serial_read(buffer, n);
}

} // namespace

int link_read(uint8_t* buffer, int n, bool textLines) {
    if (link_state().hexText != 1) return port_read(buffer, n, textLines);
    if (n <= 0) return 0;
    std::vector<char> text(2 * static_cast<size_t>(n), '\0');
    int r = port_read(reinterpret_cast<uint8_t*>(text.data()), 2 * n, textLines);
    if (r < 0) return r;
    packet::hex_decode(text.data(), static_cast<size_t>(r / 2), buffer);
    return r / 2;
}

serial_line::Clock::time_point link_read_end(uint64_t bytes) {
    return serial_line::line().end_after(bytes * (link_state().hexText == 1 ? 2 : 1));
}

int link_write(const uint8_t* bytes, int n) {
    if (link_state().hexText != 1) return serial_write(bytes, n);
    if (n <= 0) return 0;
    std::vector<char> text(2 * static_cast<size_t>(n));
    packet::hex_encode(bytes, static_cast<size_t>(n), text.data());
    int w = serial_write(reinterpret_cast<const uint8_t*>(text.data()), 2 * n);
    return w < 0 ? w : w / 2;
}

namespace {

// A transfer that its observer stopped halfway: the module may still be
// sending, or waiting for the rest.
int stopped() {
    trace(TRACE_ERROR, "The transfer is stopped\n");
    link_state().unsettled = true;
    return ERR_STOPPED;
}

} // namespace

int link_transfer_stopped() {
    return stopped();
}

int link_read_progress(uint8_t* buffer, int n) {
    Progress progress(n > 0 ? static_cast<uint64_t>(n) : 0);
    if (!progress.active()) return link_read(buffer, n);
    int done = 0;
    while (done < n) {
        const int want = static_cast<int>(progress.piece(static_cast<size_t>(n - done)));
        const int got = link_read(buffer + done, want);
        if (got < 0) return got;
        done += got;
        if (!progress.update(static_cast<uint64_t>(done)) && done < n) return stopped();
        if (got < want) break;
    }
    return done;
}

int link_write_progress(const uint8_t* bytes, int n) {
    Progress progress(n > 0 ? static_cast<uint64_t>(n) : 0);
    if (!progress.active()) return link_write(bytes, n);
    int done = 0;
    while (done < n) {
        const int want = static_cast<int>(progress.piece(static_cast<size_t>(n - done)));
        const int put = link_write(bytes + done, want);
        if (put < 0) return put;
        done += put;
        if (!progress.update(static_cast<uint64_t>(done)) && done < n) return stopped();
        if (put < want) break;
    }
    return done;
}

// ------------------------------------------------------------------- packets

namespace {

int write_packet(bool network, uint16_t moduleId, uint8_t command, uint32_t param1, uint32_t param2,
                 uint8_t flag) {
    packet::Buffer pkt{};
    const size_t len = packet::encode(pkt, network, {command, moduleId, param1, param2, flag});
    int w = link_write(pkt.data(), static_cast<int>(len));
    if (w < 0) {
        trace(TRACE_ERROR, "Cannot write data to the serial port\n");
        return ERR_WRITE;
    }
    if (static_cast<size_t>(w) < len) {
        trace(TRACE_ERROR, "Write data timeout: %#x %#x\n", w, static_cast<unsigned>(len));
        return ERR_WRITE_SHORT;
    }
    trace(TRACE_COMM, "Send: ");
    trace_hex(TRACE_COMM, pkt.data(), len);
    trace_more(TRACE_COMM, "\n");
    return 0;
}

} // namespace

namespace {

// What can come between two exchanges is dropped, at most this many packets.
constexpr int LATE_MAX = 256;
// A line that never falls quiet holds the next command no longer than this
// many read time-outs.
constexpr int LATE_TIMEOUTS_MAX = 8;

// Before a command packet: whatever is already on the line goes through the
// normal reception path (module text lines printed, packets dropped as late
// answers), so that nothing stale is taken as the new command's answer. After
// an answer timed out or was dropped, the module may still be sending it: the
// line must then stay quiet for one read time-out first.
void settle_line() {
    LinkState& s = link_state();
    const bool waitQuiet = s.unsettled;
    s.unsettled = false;
    if (!waitQuiet && !serial_input_waiting()) return;
    const bool network = s.network == 1;
    const uint8_t start = packet::start_code(network);
    const int len = static_cast<int>(s.packet_length());
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int64_t>(std::max(serial_read_timeout(), 1)) *
                                                    LATE_TIMEOUTS_MAX);
    // Checked by the reads themselves too: a text line that never ends is no exception.
    const serial_line::ReadBound bounded(deadline);
    for (int late = 0; late < LATE_MAX && std::chrono::steady_clock::now() < deadline;) {
        if (!waitQuiet && !serial_input_waiting()) return;
        AnswerPacket pkt{};
        const int r = link_read(&pkt[0], 1, true);
        if (r <= 0) return; // quiet for a read time-out, or the line failed
        if (pkt[0] != start) continue;
        if (link_read(&pkt[1], len - 1) < len - 1) return;
        trace(TRACE_ERROR, "Late answer dropped: %#x\n", answer_field(FIELD_COMMAND, pkt));
        ++late;
    }
}

} // namespace

int send_command(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag) {
    settle_line();
    LinkState& s = link_state();
    s.strayBytes = false;
    // From now on only answers to this command are taken: chunk headers re-record
    // their data's command, a second step its own.
    s.awaitedCommand = command;
    return write_packet(s.network == 1, s.moduleId, command, param1, param2, flag);
}

int send_broadcast_command(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag) {
    return write_packet(true, 0, command, param1, param2, flag);
}

namespace {

// A babbling line cannot keep a command waiting for ever: after this many
// packets for other commands or modules, the answer counts as not arrived.
constexpr int DROPPED_MAX = 256;

// One valid packet: synchronised on the start code, read whole, traced, its
// checksum checked.
int receive_packet(AnswerPacket& pkt, uint8_t start, int len) {
    pkt.fill(0);
    // Skip whatever precedes the start code; module text lines are printed.
    // Noise is no sign of the module: the start code must come within the
    // read time-out of the wait's start (or of a text line's end) however
    // many bytes of noise come before it, so that a line that trickles noise
    // ends the wait as a silent one would.
    int r;
    auto syncEnd = serial_line::line().first_deadline();
    size_t lines = text_lines_read();
    while ((r = link_read(&pkt[0], 1, true)) == 1 && pkt[0] != start) {
        link_state().strayBytes = true;
        if (text_lines_read() != lines) {
            lines = text_lines_read();
            syncEnd = serial_line::line().next_deadline();
        } else if (serial_line::Clock::now() >= syncEnd) {
            r = 0;
            break;
        }
    }
    if (r < 0) {
        trace(TRACE_ERROR, "Cannot read serial port\n");
        return ERR_READ;
    }
    if (r == 0) {
        // A silent module: no start code within the read time-out.
        trace(TRACE_ERROR, "Read data timeout: %#x %#x\n", 0u, static_cast<unsigned>(len));
        return ERR_READ_TIMEOUT;
    }
    r = link_read(&pkt[1], len - 1);
    if (r < 0) {
        trace(TRACE_ERROR, "Cannot read serial port\n");
        return ERR_READ;
    }
    if (r < len - 1) {
        link_state().strayBytes = true;
        trace(TRACE_ERROR, "Read data timeout: %#x %#x\n", r, len);
        return ERR_READ_TIMEOUT;
    }
    trace(TRACE_COMM, "Receive: ");
    trace_hex(TRACE_COMM, pkt.data(), static_cast<size_t>(len));
    trace_more(TRACE_COMM, "\n");
    if (!packet::checksum_ok(pkt.data(), start == packet::START_NETWORK)) {
        link_state().strayBytes = true;
        trace(TRACE_ERROR, "Checksum error\n");
        return ERR_CHECKSUM;
    }
    return 0;
}

// Receives packets until one belongs to this link: on a shared line it must
// come from the link's module, and with `anyCommand` false it must answer the
// command last sent. Others are reported and dropped; each wait for the next
// one has the full read time-out.
int receive_matching(AnswerPacket& pkt, bool anyCommand) {
    LinkState& s = link_state();
    const bool network = s.network != 0;
    const uint8_t start = packet::start_code(network);
    const int len = static_cast<int>(s.packet_length());
    for (int dropped = 0;; ++dropped) {
        if (dropped == DROPPED_MAX) {
            s.unsettled = true;
            trace(TRACE_ERROR, "Read data timeout: %#x %#x\n", 0u, static_cast<unsigned>(len));
            return ERR_READ_TIMEOUT;
        }
        if (int rc = receive_packet(pkt, start, len); rc < 0) {
            if (rc == ERR_READ_TIMEOUT) s.unsettled = true;
            return rc;
        }
        if (network && answer_field(FIELD_MODULE_ID, pkt) != s.moduleId) {
            s.unsettled = true;
            s.strayBytes = true;
            trace(TRACE_ERROR, "Answer from another module dropped: %#x\n",
                  answer_field(FIELD_MODULE_ID, pkt));
            continue;
        }
        if (!anyCommand && s.awaitedCommand >= 0 &&
            answer_field(FIELD_COMMAND, pkt) != static_cast<uint32_t>(s.awaitedCommand)) {
            trace(TRACE_ERROR, "Answer to another command dropped: %#x\n", answer_field(FIELD_COMMAND, pkt));
            s.unsettled = true;
            s.strayBytes = true;
            continue;
        }
        return 0;
    }
}

// An answer is over by a read time-out plus the wire time of this much at the
// latest (text lines and packets for others before it included), so that a
// line that never stops sending cannot hold a run: noise every 100 ms, or a
// text line that never ends, restarts the time-out of every single byte.
constexpr uint64_t ANSWER_BYTES_MAX = 0x10000;

int receive_bounded(AnswerPacket& pkt, bool anyCommand) {
    const serial_line::ReadBound bounded(link_read_end(ANSWER_BYTES_MAX));
    return receive_matching(pkt, anyCommand);
}

struct AnswerWatcher {
    AnswerObserver observer = nullptr;
    void* context = nullptr;
};

AnswerWatcher& answer_watcher() {
    return line_state::part<AnswerWatcher>(line_state::ANSWER_OBSERVER);
}

// An answer taken: its observer hears of it.
int answer_taken(int rc, const AnswerPacket& pkt) {
    if (const AnswerWatcher& w = answer_watcher(); rc == 0 && w.observer) w.observer(pkt, w.context);
    return rc;
}

} // namespace

void answer_observer(AnswerObserver observer, void* context) {
    answer_watcher() = {observer, context};
}

int receive_answer(AnswerPacket& pkt) {
    return answer_taken(receive_bounded(pkt, false), pkt);
}

int receive_answer_any(AnswerPacket& pkt) {
    return answer_taken(receive_bounded(pkt, true), pkt);
}

int receive_chunk_header(AnswerPacket& pkt) {
    // A chunk header is no answer to the command: its code is the module's choice.
    return receive_bounded(pkt, true);
}

uint32_t answer_field(int selector, const AnswerPacket& pkt) {
    const bool network = link_state().network != 0;
    const packet::Fields f = packet::decode(pkt.data(), network);
    switch (selector) {
    case FIELD_COMMAND: return f.command;
    case FIELD_MODULE_ID: return network ? f.moduleId : 0;
    case FIELD_PARAM1: return f.param1;
    case FIELD_PARAM2: return f.param2;
    case FIELD_FLAG: return f.flag;
    case FIELD_CHECKSUM: return pkt[packet::length(network) - 2];
    default: return 0;
    }
}

} // namespace kelvor
