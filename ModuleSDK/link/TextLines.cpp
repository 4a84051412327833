// The module's text lines, printed as they arrive or held back until the
// caller knows whether they are text at all.
#include "link/TextLines.h"

#include <cstdio>
#include <string>
#include <vector>

#include "ModuleSDK.h"
#include "port/SerialLine.h"
#include "trace/Console.h"
#include "trace/LineState.h"
#include "trace/Outcome.h"

namespace kelvor {

namespace {

// Text lines from the module are bounded; characters beyond this are dropped.
constexpr size_t TEXT_LINE_MAX = 4096;
// Lines held back beyond this many are dropped.
constexpr size_t HELD_LINES_MAX = 64;

struct TextLines {
    bool holding = false;
    std::vector<std::string> held;
    // Lines read so far, printed, kept or held.
    size_t read = 0;
};

TextLines& text_lines() {
    return line_state::part<TextLines>(line_state::TEXT_LINES);
}

// The length of the well-formed UTF-8 sequence at `at` (2 to 4 bytes), 0
// when the bytes there form none.
size_t utf8_sequence(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    const unsigned lead = byte(at);
    const auto tail = [&](size_t i, unsigned low, unsigned high) {
        return byte(i) >= low && byte(i) <= high;
    };
    if (lead >= 0xC2 && lead <= 0xDF) return tail(at + 1, 0x80, 0xBF) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const unsigned low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
        return tail(at + 1, low, high) && tail(at + 2, 0x80, 0xBF) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
        return tail(at + 1, low, high) && tail(at + 2, 0x80, 0xBF) && tail(at + 3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

} // namespace

std::string text_line_for_terminal(const std::string& line) {
    std::string shown;
    shown.reserve(line.size());
    for (size_t i = 0; i < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        const bool endingReturn = c == '\r' && i + 1 == line.size();
        if ((c < 0x20 && c != '\t' && !endingReturn) || c == 0x7F) {
            shown += '^';
            shown += static_cast<char>(c == 0x7F ? '?' : c + 0x40);
            continue;
        }
        if (c < 0x80) {
            shown += static_cast<char>(c);
            continue;
        }
        // The C1 controls (CSI among them), as a byte of their own or as a
        // character in UTF-8: "M-^[" for 0x9b, as `cat -v` shows the byte.
        const size_t n = utf8_sequence(line, i);
        const unsigned c1 = n == 2 && c == 0xC2 ? static_cast<unsigned char>(line[i + 1]) : n == 0 ? c : 0;
        if (c1 >= 0x80 && c1 <= 0x9F) {
            shown += "M-^";
            shown += static_cast<char>(c1 - 0x80 + 0x40);
            i += n > 0 ? n - 1 : 0;
            continue;
        }
        // Any other character as it is, and a byte of no character (harmless
        // on any terminal) too.
        const size_t take = n > 0 ? n : 1;
        shown.append(line, i, take);
        i += take - 1;
    }
    return shown;
}

namespace {

// A module text line on the standard output stream. On a terminal its
// control characters are shown escaped, as `cat -v` shows them (^[ for ESC,
// ^? for DEL, M-^[ for CSI), so that nothing on the line can drive the
// operator's terminal; the carriage return that ends it and tabs stay.
// Elsewhere the bytes go out as they came. Where results go to standard
// output (--json), the line is kept for the record of the command instead.
void print_text_line(const std::string& line) {
    TextLines& t = text_lines();
    if (t.holding) {
        if (t.held.size() < HELD_LINES_MAX) t.held.push_back(line);
        return;
    }
    if (outcome::module_text_kept()) {
        outcome::module_text(line);
        return;
    }
    static const bool terminal = console::is_terminal(1);
    if (!terminal) {
        std::fwrite(line.data(), 1, line.size(), stdout);
    } else {
        const std::string shown = text_line_for_terminal(line);
        std::fwrite(shown.data(), 1, shown.size(), stdout);
    }
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int read_after_text_lines(uint8_t* buffer, int n) {
    if (n <= 0) return 0;
    if (serial_begin_read() < 0) return -1;
    // Where a packet is awaited, a "[" starts a text line of the module, ended
    // by a carriage return.
    for (;;) {
        int r = serial_read_more(buffer, 1);
        if (r <= 0) return r < 0 ? -1 : 0;
        if (buffer[0] != '[') break;
        std::string line = "[";
        bool ended = false;
        ++text_lines().read;
        // A line is over within a read time-out and twice the wire time of the
        // longest line kept: one that trickles on for ever (or a "[" in noise)
        // ends there, cut short, as one that falls silent does.
        const serial_line::ReadBound bounded(serial_line::line().end_after(2 * (TEXT_LINE_MAX + 1)));
        while (!ended) {
            uint8_t c = 0;
            r = serial_read_more(&c, 1);
            if (r <= 0) break;
            if (line.size() < TEXT_LINE_MAX) line += static_cast<char>(c);
            ended = c == '\r';
        }
        print_text_line(line);
        if (!ended) return r < 0 ? -1 : 0;
    }
    if (n == 1) return 1;
    const int r = serial_read_more(buffer + 1, n - 1);
    if (r < 0) {
        trace(TRACE_ERROR, "Cannot read data\n");
        return -1;
    }
    return 1 + r;
}

size_t text_lines_read() {
    return text_lines().read;
}

void link_hold_text_lines() {
    text_lines().holding = true;
    text_lines().held.clear();
}

size_t link_held_text_lines() {
    return text_lines().held.size();
}

void link_release_text_lines(bool print) {
    TextLines& t = text_lines();
    t.holding = false;
    std::vector<std::string> lines;
    lines.swap(t.held);
    if (print)
        for (const std::string& line : lines) print_text_line(line);
}

} // namespace kelvor
