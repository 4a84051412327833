// Data blocks and acknowledged chunks in both directions.
#include "Module.h"

#include "protocol/Packet.h"

// The wire vocabulary, as the simulator names it.
namespace packet = kelvor::packet;

#include <algorithm>

namespace sim {

bool Module::receive_block(std::vector<uint8_t>& out, size_t n, size_t max) {
    if (n > max || n > MAX_BLOCK) {
        // Read past what cannot be kept, so that the line is clean for the next packet.
        std::vector<uint8_t> sink(64 * 1024);
        size_t left = n + 1;
        while (left > 0) {
            const size_t want = std::min(left, sink.size());
            if (line_->read(sink.data(), want, GAP_MS) != want) break;
            left -= want;
        }
        return false;
    }
    out.resize(n);
    if (dies_here()) {
        line_->read(out.data(), n / 2, GAP_MS);
        die();
    }
    if (line_->read(out.data(), n, GAP_MS) != n) return false;
    uint8_t end = 0;
    return line_->read(&end, 1, GAP_MS) == 1 && end == packet::END_CODE;
}

bool Module::send_block(std::span<const uint8_t> data) {
    if (broadcast_) return true;
    std::vector<uint8_t> block(data.begin(), data.end());
    block.push_back(packet::END_CODE);
    if (dies_here()) {
        line_->write(block.data(), block.size() / 2);
        die();
    }
    return line_->write(block.data(), block.size());
}

bool Module::receive_chunks(uint8_t command, std::vector<uint8_t>& out, size_t total, size_t max) {
    out.clear();
    if (total > (max == 0 ? MAX_BLOCK : max)) return false;
    out.reserve(total);
    while (out.size() < total) {
        const auto header = receive_command(GAP_MS * 2);
        if (!header) return false;
        const uint32_t len = header->param2;
        if (len == 0 || len > total - out.size()) {
            answer(command, 0, 0, flag::DATA_CHECKSUM_ERROR);
            return false;
        }
        const size_t at = out.size();
        out.resize(at + len);
        if (dies_here()) {
            line_->read(out.data() + at, len / 2, GAP_MS);
            die();
        }
        uint8_t sum[4];
        if (line_->read(out.data() + at, len, GAP_MS) != len || line_->read(sum, 4, GAP_MS) != 4) return false;
        const bool good = packet::get32(sum) == packet::byte_sum(out.data() + at, len);
        if (!broadcast_)
            write_packet(header->code, 0, 0, good ? flag::DATA_ACCEPTED : flag::DATA_CHECKSUM_ERROR);
        if (!good) return false;
    }
    return true;
}

bool Module::send_chunks(uint8_t command, std::span<const uint8_t> data, uint32_t chunkLength) {
    if (broadcast_) return true;
    size_t chunk = chunkLength == 0 ? data.size() : chunkLength;
    // The count travels in 16 bits.
    chunk = std::max(chunk, (data.size() + 0xFFFE) / 0xFFFF);
    chunk = std::max<size_t>(chunk, 1);
    const size_t count = (data.size() + chunk - 1) / chunk;
    const Control ctl = control();
    bool badSum = false;
    for (const Fault& f : ctl.faults)
        if (f.kind == FaultKind::ChunkChecksum && (f.command < 0 || f.command == command)) badSum = true;
    for (size_t i = 0; i < count; ++i) {
        const size_t at = i * chunk, len = std::min(chunk, data.size() - at);
        if (!write_packet(command,
                          packet::chunk_param1(static_cast<uint16_t>(count), static_cast<uint16_t>(i)),
                          static_cast<uint32_t>(len), 0))
            return false;
        std::vector<uint8_t> body(data.begin() + static_cast<std::ptrdiff_t>(at),
                                  data.begin() + static_cast<std::ptrdiff_t>(at + len));
        uint32_t sum = packet::byte_sum(body.data(), body.size());
        if (badSum && i == count - 1) ++sum;
        body.resize(len + 4);
        packet::put32(&body[len], sum);
        if (dies_here()) {
            line_->write(body.data(), body.size() / 2);
            die();
        }
        if (!line_->write(body.data(), body.size())) return false;
        const auto ack = receive_command(ACK_MS);
        if (!ack || ack->flag != flag::DATA_ACCEPTED) return false;
    }
    return true;
}

} // namespace sim
