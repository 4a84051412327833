// POSIX systems: the pipe that serial_interrupt() writes to, to wake a read
// of any kind of port waiting in poll, one for each line. Made at the line's
// first opening and kept as long as the line: a signal handler may write to
// it at any moment.
#pragma once

namespace kelvor::wake {

// Makes the pipe once, and drops a wake-up left from before.
void prepare();
// The end to poll for reading; -1 without a pipe (reads then end at the next
// slice of their wait).
int fd();
// Drops what woke the poll.
void drain();

} // namespace kelvor::wake
