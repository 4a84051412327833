// The standard streams on Windows. Writes go to the stream's own handle, so
// the C runtime's text mode never turns a line feed into CR LF: the bytes on
// a console, in a pipe or in a file are the ones the library wrote.
#include <windows.h>

#include <io.h>

#include <cstdint>
#include <cstdlib>

#include "trace/Console.h"

namespace kelvor::console {

namespace {

HANDLE handle_of(int fd) {
    const intptr_t h = ::_get_osfhandle(fd);
    return h == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(h);
}

} // namespace

bool is_terminal(int stream) {
    DWORD mode = 0;
    const HANDLE h = handle_of(stream);
    return h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode) != 0;
}

LineControl line_control(int stream) {
    const HANDLE h = handle_of(stream);
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || ::GetConsoleMode(h, &mode) == 0) return LineControl::None;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return LineControl::Escapes;
    // Consoles since Windows 10 take escape sequences once asked to; older
    // ones refuse, and a carriage return with blanks does the same work. The
    // console gets its own mode back when the program ends.
    if (::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) return LineControl::Return;
    static HANDLE changed = INVALID_HANDLE_VALUE;
    static DWORD original = 0;
    if (changed == INVALID_HANDLE_VALUE) {
        changed = h;
        original = mode;
        std::atexit([] { ::SetConsoleMode(changed, original); });
    }
    return LineControl::Escapes;
}

bool write_all(int fd, const char* p, size_t n) {
    const HANDLE h = handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) return false;
    while (n > 0) {
        const DWORD part = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
        DWORD written = 0;
        if (::WriteFile(h, p, part, &written, nullptr) == 0 || written == 0) return false;
        p += written;
        n -= written;
    }
    return true;
}

} // namespace kelvor::console
