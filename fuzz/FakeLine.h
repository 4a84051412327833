// An in-memory far end behind the serial port's system calls: the module's
// bytes come from the fuzz input, whatever the tool writes is swallowed. When
// the bytes run out, the line stays quiet for a while (each wait a read
// time-out at once, without waiting) and then hangs up, so that every loop
// that waits for the module ends.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fakeline {

// The bytes the module will send, from the next read on; the line is quiet again.
void load(const uint8_t* data, size_t n);
// Bytes the tool has written since the last load.
size_t written();

} // namespace fakeline
