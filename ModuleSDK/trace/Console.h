// The standard streams as the system gives them: whether one is a console the
// operator looks at, what a line on it can do, and writes of whole texts that
// pass every byte as it is (no line-end translation on any system).
#pragma once

#include <cstddef>

namespace kelvor::console {

// What a line redrawn in place can use on a stream.
enum class LineControl {
    None,    // a pipe or a file: nothing is redrawn there
    Return,  // a console without escape sequences: a carriage return and blanks
    Escapes, // a terminal: a carriage return and "erase to the end of the line"
};

// Whether the stream (1 standard output, 2 standard error) is a terminal or console.
bool is_terminal(int stream);

// How a line can be redrawn on the stream.
LineControl line_control(int stream);

// Writes all `n` bytes to the stream or descriptor `fd`, retrying after
// interruptions; false when the system refused them.
bool write_all(int fd, const char* p, size_t n);

} // namespace kelvor::console
