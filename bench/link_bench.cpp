// Throughput of the link layer on a pseudo-terminal, where no baud rate limits
// the line: whatever these reach is the ceiling the tool puts on a transfer.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ModuleSDK.h"

using namespace kelvor;

namespace {

// A pseudo-terminal whose master side either feeds a fixed reply or swallows
// what the tool sends, in a thread of its own.
struct Line {
    int master = -1;
    std::string slave;
    Line() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(master);
        ::unlockpt(master);
        slave = ::ptsname(master);
    }
    ~Line() { ::close(master); }
};

void open_link(const Line& line, int hexText) {
    link_state() = {};
    serial_open(line.slave.c_str());
    serial_setup(115200);
    serial_set_read_timeout(1000);
    link_state().hexText = hexText;
}

void feed(int fd, const std::vector<uint8_t>& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t w = ::write(fd, bytes.data() + off, bytes.size() - off);
        if (w > 0) off += static_cast<size_t>(w);
    }
}

void drain(int fd, size_t n) {
    std::vector<uint8_t> buf(65536);
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, buf.data(), buf.size());
        if (r > 0) got += static_cast<size_t>(r);
    }
}

// An image record arriving as one data block.
void BM_ReceiveImageBlock(benchmark::State& state) {
    const int hexText = static_cast<int>(state.range(0));
    Line line;
    open_link(line, hexText);
    std::vector<uint8_t> block(IMAGE_RECORD_SIZE + 1, 0x5A);
    block.back() = 0x0A;
    std::vector<uint8_t> wire = block;
    if (hexText) {
        wire.resize(2 * block.size());
        packet::hex_encode(block.data(), block.size(), reinterpret_cast<char*>(wire.data()));
    }
    std::vector<uint8_t> record(IMAGE_RECORD_SIZE);
    for (auto _ : state) {
        std::thread writer(feed, line.master, std::cref(wire));
        benchmark::DoNotOptimize(receive_data(record));
        writer.join();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(IMAGE_RECORD_SIZE));
    serial_close();
}
BENCHMARK(BM_ReceiveImageBlock)->Arg(0)->Arg(1)->UseRealTime();

// An image record sent as one data block, with the data trace on.
void BM_SendImageBlockTraced(benchmark::State& state) {
    Line line;
    open_link(line, 0);
    int devnull = ::open("/dev/null", O_WRONLY);
    trace_reset(devnull);
    trace_enable(static_cast<uint32_t>(state.range(0)));
    std::vector<uint8_t> record(IMAGE_RECORD_SIZE, 0xA5);
    for (auto _ : state) {
        std::thread reader(drain, line.master, record.size() + 1);
        benchmark::DoNotOptimize(send_data(record.data(), static_cast<uint32_t>(record.size())));
        reader.join();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(IMAGE_RECORD_SIZE));
    trace_reset(2);
    ::close(devnull);
    serial_close();
}
BENCHMARK(BM_SendImageBlockTraced)->Arg(0)->Arg(0x0F)->UseRealTime();

// An image record sent in acknowledged chunks of 4096 bytes: the far end reads
// each chunk (header, bytes, sum) and accepts it.
void accept_chunks(int fd, uint8_t command, size_t total, size_t chunk) {
    std::vector<uint8_t> buf(chunk + 64);
    for (size_t sent = 0; sent < total; sent += chunk) {
        const size_t want = packet::COMMAND_LENGTH + std::min(chunk, total - sent) + 4;
        size_t got = 0;
        while (got < want) {
            ssize_t r = ::read(fd, buf.data(), std::min(buf.size(), want - got));
            if (r > 0) got += static_cast<size_t>(r);
        }
        packet::Buffer ack{};
        const size_t n = packet::encode(ack, false, {command, 0, 0, 0, packet::flag::DATA_ACCEPTED});
        feed(fd, std::vector<uint8_t>(ack.begin(), ack.begin() + static_cast<std::ptrdiff_t>(n)));
    }
}

void BM_SendImageChunks(benchmark::State& state) {
    Line line;
    open_link(line, 0);
    const size_t chunk = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> record(IMAGE_RECORD_SIZE, 0xA5);
    for (auto _ : state) {
        std::thread far(accept_chunks, line.master, uint8_t{0x80}, record.size(), chunk);
        benchmark::DoNotOptimize(send_data_chunks(0x80, record.data(), static_cast<uint32_t>(record.size()),
                                                  static_cast<uint32_t>(chunk)));
        far.join();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(IMAGE_RECORD_SIZE));
    serial_close();
}
BENCHMARK(BM_SendImageChunks)->Arg(4096)->Arg(65536)->UseRealTime();

} // namespace
