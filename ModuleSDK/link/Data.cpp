// Data transfer between the packets: data blocks in both directions and the
// acknowledged chunks of large transfers to the module.
#include <optional>

#include "ModuleSDK.h"
#include "link/Blocks.h"
#include "trace/Progress.h"

namespace kelvor {

namespace {
// Largest block one read or write can carry, also as hex text (two characters a byte).
constexpr uint32_t BLOCK_MAX = 0x3FFFFFFF;
} // namespace

int receive_data(std::span<uint8_t> buffer) {
    if (buffer.size() > BLOCK_MAX) {
        trace(TRACE_ERROR, "Serial read timeout %#x %#x\n", 0u, static_cast<unsigned>(buffer.size()));
        link_state().unsettled = true; // the rest may still be on its way
        return ERR_READ_TIMEOUT;
    }
    const int n = static_cast<int>(buffer.size());
    const serial_line::ReadBound bounded(block_read_end(buffer.size()));
    int r = link_read_progress(buffer.data(), n);
    if (r == ERR_STOPPED) return r;
    if (r < 0) {
        trace(TRACE_ERROR, "Cannot read the serial port\n");
        return ERR_READ;
    }
    if (r < n) {
        trace(TRACE_ERROR, "Serial read timeout %#x %#x\n", r, n);
        link_state().unsettled = true;
        return ERR_READ_TIMEOUT;
    }
    uint8_t end = 0;
    r = link_read(&end, 1);
    if (r < 0) {
        trace(TRACE_ERROR, "Cannot read the serial port\n");
        return ERR_READ;
    }
    if (r == 0) {
        trace(TRACE_ERROR, "Serial read timeout\n");
        link_state().unsettled = true;
        return ERR_READ_TIMEOUT;
    }
    if (end != packet::END_CODE) {
        trace(TRACE_ERROR, "Invalid end code: %#x\n", end);
        return ERR_CHECKSUM;
    }
    trace(TRACE_DATA, "Receive: ");
    trace_hex(TRACE_DATA, buffer.data(), buffer.size());
    trace_more(TRACE_DATA, "%02x\n", end);
    return 0;
}

int send_data(const uint8_t* bytes, uint32_t n) {
    if (n > BLOCK_MAX) {
        trace(TRACE_ERROR, "Serial write timeout %#x %#x\n", 0u, n);
        return ERR_WRITE_SHORT;
    }
    int w = link_write_progress(bytes, static_cast<int>(n));
    if (w == ERR_STOPPED) return w;
    if (w < 0) {
        trace(TRACE_ERROR, "Cannot write the serial port\n");
        return ERR_WRITE;
    }
    if (static_cast<uint32_t>(w) < n) {
        trace(TRACE_ERROR, "Serial write timeout %#x %#x\n", w, n);
        return ERR_WRITE_SHORT;
    }
    const uint8_t end = packet::END_CODE;
    w = link_write(&end, 1);
    if (w < 0) {
        trace(TRACE_ERROR, "Cannot write the serial port\n");
        return ERR_WRITE;
    }
    if (w == 0) {
        trace(TRACE_ERROR, "Serial write timeout\n");
        return ERR_WRITE_SHORT;
    }
    trace(TRACE_DATA, "Send: ");
    trace_hex(TRACE_DATA, bytes, n);
    trace_more(TRACE_DATA, "%02x\n", end);
    return 0;
}

int data_block_check(uint64_t n) {
    if (n <= BLOCK_MAX) return 0;
    trace(TRACE_ERROR, "Data block too large: %#llx\n", static_cast<unsigned long long>(n));
    return RES_DATA_ERROR;
}

int data_chunks_check(uint64_t total, uint64_t chunkSize) {
    if (total == 0) return 0;
    if (chunkSize == 0) {
        trace(TRACE_ERROR, "Chunk size is 0\n");
        return RES_DATA_ERROR;
    }
    if (chunkSize > BLOCK_MAX) {
        trace(TRACE_ERROR, "Chunk size too large: %#llx\n", static_cast<unsigned long long>(chunkSize));
        return RES_DATA_ERROR;
    }
    const uint64_t count = total / chunkSize + (total % chunkSize ? 1 : 0);
    if (count > 0xFFFF) {
        // The chunk header holds the count and the index in 16 bits each.
        trace(TRACE_ERROR, "Too many chunks: %#llx\n", static_cast<unsigned long long>(count));
        return RES_DATA_ERROR;
    }
    return 0;
}

int send_data_chunks(uint8_t command, const uint8_t* data, uint32_t total, uint32_t chunkSize) {
    if (total == 0) {
        trace(TRACE_ERROR, "Image size is 0\n");
        return 0;
    }
    if (int rc = data_chunks_check(total, chunkSize); rc < 0) return rc;
    const uint32_t count = total / chunkSize + (total % chunkSize ? 1 : 0);
    Progress progress(total);
    for (uint32_t index = 0; index < count; ++index) {
        if (!progress.update(static_cast<uint64_t>(index) * chunkSize)) return link_transfer_stopped();
        const uint32_t offset = index * chunkSize;
        const uint32_t length = std::min(chunkSize, total - offset);
        if (int rc = send_command(
                command, packet::chunk_param1(static_cast<uint16_t>(count), static_cast<uint16_t>(index)),
                length, 0);
            rc < 0)
            return rc;
        const uint8_t* chunk = data + offset;
        int w = link_write(chunk, static_cast<int>(length));
        if (w < 0) {
            trace(TRACE_ERROR, "Cannot write the serial port\n");
            return ERR_WRITE;
        }
        if (static_cast<uint32_t>(w) < length) {
            trace(TRACE_ERROR, "Serial write timeout %#x %#x\n", w, length);
            return ERR_WRITE_SHORT;
        }
        uint8_t sum[4];
        packet::put32(sum, byte_sum(chunk, length));
        for (uint8_t b : sum) {
            if (link_write(&b, 1) < 0) {
                trace(TRACE_ERROR, "Cannot write the serial port\n");
                return ERR_WRITE;
            }
        }
        trace(TRACE_DATA, "Send: ");
        trace_hex(TRACE_DATA, chunk, length);
        trace_hex(TRACE_DATA, sum, sizeof sum);
        trace_more(TRACE_DATA, "\n");
        AnswerPacket answer{};
        if (int rc = receive_answer(answer); rc < 0) return rc;
        if (answer_field(FIELD_FLAG, answer) != DATA_ACCEPTED) {
            trace(TRACE_ERROR, "Data communication error\n");
            return RES_DATA_ERROR;
        }
    }
    progress.update(total); // the last chunk is in: the observer hears of the whole
    return 0;
}

namespace {

// The bytes of a chunk the module sends, with the observer told as they come.
// A stop asked for midway waits for the chunk's end: the module sends the whole
// chunk whatever happens, and only a chunk read whole can be refused.
int read_chunk_bytes(std::span<uint8_t> chunk, bool observed, bool& stopAsked) {
    const int n = static_cast<int>(chunk.size());
    Progress progress(observed ? chunk.size() : 0);
    if (!progress.active()) return link_read(chunk.data(), n);
    int done = 0;
    while (done < n) {
        const int want = static_cast<int>(progress.piece(static_cast<size_t>(n - done)));
        const int got = link_read(chunk.data() + done, want);
        if (got < 0) return got;
        done += got;
        if (!stopAsked && !progress.update(static_cast<uint64_t>(done)) && done < n) stopAsked = true;
        if (got < want) break;
    }
    return done;
}

int acknowledge_chunk(uint8_t command, bool accepted) {
    return send_command(command, 0, 0,
                        accepted ? packet::flag::DATA_ACCEPTED : packet::flag::DATA_CHECKSUM_ERROR);
}

} // namespace

int chunk_cut_short(uint8_t command, int rc) {
    if (serial_interrupted()) acknowledge_chunk(command, false);
    link_state().unsettled = true; // the rest may still be on its way
    return rc;
}

int receive_chunk_body(uint8_t command, std::span<uint8_t> chunk, bool progress, bool& sumOk, bool refuse) {
    sumOk = false;
    if (chunk.size() > BLOCK_MAX) return RES_DATA_ERROR; // callers bound chunks far below
    const int want = static_cast<int>(chunk.size());
    bool stop = refuse;
    // The chunk and its sum; the acknowledgement's answer has its own bound.
    std::optional<serial_line::ReadBound> bounded(std::in_place, block_read_end(chunk.size()));
    const int got = read_chunk_bytes(chunk, progress, stop);
    if (got < 0) {
        trace(TRACE_ERROR, "Cannot read the serial port\n");
        return ERR_READ;
    }
    if (got != want) {
        trace(TRACE_ERROR, "Serial read timeout %d %d\n", got, want);
        bounded.reset();
        return chunk_cut_short(command, ERR_READ_TIMEOUT);
    }
    uint8_t sum[4] = {};
    const int sumGot = link_read(sum, 4);
    if (sumGot < 0) {
        trace(TRACE_ERROR, "Cannot read the serial port\n");
        return ERR_READ;
    }
    bounded.reset();
    if (sumGot != 4) {
        trace(TRACE_ERROR, "Serial read timeout\n");
        return chunk_cut_short(command, ERR_READ_TIMEOUT);
    }
    sumOk = packet::get32(sum) == packet::byte_sum(chunk);
    if (stop) {
        // Refused as a chunk with a wrong sum is: the module ends its transfer.
        if (int rc = acknowledge_chunk(command, false); rc < 0) return rc;
        return link_transfer_stopped();
    }
    return acknowledge_chunk(command, sumOk);
}

} // namespace kelvor
