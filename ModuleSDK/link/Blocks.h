// Whole blocks over the link with a progress line while they move.
#pragma once

#include <cstdint>
#include <span>

#include "port/SerialLine.h"

namespace kelvor {

// The read time-out and the wire time of `bytes` (twice as many characters in
// hex text) from now: the end of reads that carry at most that much.
serial_line::Clock::time_point link_read_end(uint64_t bytes);
// The end of a data block or chunk of n bytes that the module sends, however
// its bytes come: its wire time twice over and 64 KiB besides, so that a
// module that pauses within a block keeps its time and a line that trickles
// cannot hold the run.
inline serial_line::Clock::time_point block_read_end(uint64_t n) {
    constexpr uint64_t SLACK_BYTES = 0x10000;
    return link_read_end(SLACK_BYTES + 2 * (n + 4));
}

// link_read and link_write of a whole block, in pieces with a progress line
// when the block is long; the same results as one call.
// Reads and writes of data in pieces while a progress line or the transfer
// observer follows them; ERR_STOPPED when the observer stopped the transfer.
int link_read_progress(uint8_t* buffer, int n);
int link_write_progress(const uint8_t* bytes, int n);
// Traces a transfer that the observer stopped and returns ERR_STOPPED.
int link_transfer_stopped();

// The body of a chunk the module sends, its header already read: the chunk's
// bytes into `chunk` (with a progress line and the observer told when
// `progress`), its 4-byte sum, then the acknowledgement under `command`,
// DATA_ACCEPTED or DATA_CHECKSUM_ERROR. 0 with `sumOk` telling which, or the
// read or write error (a short read leaves the link unsettled). A chunk that
// is to be refused (`refuse`, or the observer stopped it midway) is read whole
// and acknowledged with DATA_CHECKSUM_ERROR, which ends the module's
// transfer: ERR_STOPPED.
// A chunk the module sends, cut short (its header or its bytes) by a read
// that timed out or that the operator interrupted: the link is left unsettled,
// and after an interrupt the chunk is refused under `command` at once, since
// the module sends it to its end all the same and then waits for its
// acknowledgement; the refusal ends its transfer. Returns `rc`.
int chunk_cut_short(uint8_t command, int rc);
int receive_chunk_body(uint8_t command, std::span<uint8_t> chunk, bool progress, bool& sumOk,
                       bool refuse = false);

} // namespace kelvor
