// The module's text lines, printed as they arrive or held back until the
// caller knows whether they are text at all.
#include "link/TextLines.h"

#include <cstdio>
#include <string>
#include <vector>

#include "ModuleSDK.h"
#include "port/SerialLine.h"
#include "trace/Console.h"
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
    static TextLines instance;
    return instance;
}

// A module text line on the standard output stream. On a terminal its
// control characters are shown escaped, as `cat -v` shows them (^[ for ESC,
// ^? for DEL), so that nothing on the line can drive the operator's terminal;
// the carriage return that ends it and tabs stay. Elsewhere the bytes go out
// as they came.
void print_text_line(const std::string& line) {
    TextLines& t = text_lines();
    if (t.holding) {
        if (t.held.size() < HELD_LINES_MAX) t.held.push_back(line);
        return;
    }
    if (outcome::module_text_kept()) {
        if (outcome::recording()) {
            outcome::module_text(line);
        } else {
            const std::string shown = line + '\n';
            console::write_all(2, shown.data(), shown.size());
        }
        return;
    }
    static const bool terminal = console::is_terminal(1);
    if (!terminal) {
        std::fwrite(line.data(), 1, line.size(), stdout);
    } else {
        std::string shown;
        shown.reserve(line.size());
        for (size_t i = 0; i < line.size(); ++i) {
            const auto c = static_cast<unsigned char>(line[i]);
            const bool endingReturn = c == '\r' && i + 1 == line.size();
            if ((c < 0x20 && c != '\t' && !endingReturn) || c == 0x7F) {
                shown += '^';
                shown += static_cast<char>(c == 0x7F ? '?' : c + 0x40);
            } else {
                shown += static_cast<char>(c);
            }
        }
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
