// The raw modes: a command the tool has no case for goes out as a raw packet;
// broadcast raw packets and the response monitor.
#include "OrvantiCom.h"

#include <cstdio>

#include "Json.h"
#include "Remote.h"
#include "ServerRun.h"
#include "Watch.h"
#include "trace/Outcome.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::RAW_MODES;
} // namespace

using namespace kelvor;

void OrvantiCom::raw_packet_mode() {
    const int fileId = inputFile ? fileno(inputFile.get()) : 0;
    trace(TRACE_CALL, "Send Command: %#x Param1: %#x Param2: %#x Flag: %#x %#x\n", command, param1, param2,
          flag, fileId);
    if (inputFile && param2 > RAW_BUFFER) {
        ERR_LINE("Err: Raw data of %#x bytes exceeds the buffer of %#x bytes\n", param2, RAW_BUFFER);
        lastResult = FRONT_REFUSED;
        return;
    }
    if (int rc = send_command(command, param1, param2, flag); rc < 0) {
        ERR_LINE("Err: Cannot send packet\n");
        lastResult = rc;
        return;
    }
    // The buffer of the command, never more than RAW_BUFFER bytes: first the
    // data sent, then what is drained. It grows with what it holds.
    std::vector<uint8_t> buffer;
    if (inputFile) {
        // Bytes beyond the end of a short file are sent as zeros.
        buffer.assign(param2, 0);
        [[maybe_unused]] const size_t got = std::fread(buffer.data(), 1, param2, inputFile.get());
        if (int rc = send_data(buffer.data(), param2); rc < 0) {
            ERR_LINE("Err: Cannot send raw data\n");
            lastResult = rc;
            return;
        }
    }
    // Raw packet mode looks at the line: whatever valid packet comes is the answer.
    AnswerPacket answer{};
    if (int rc = receive_answer_any(answer); rc < 0) {
        ERR_LINE("Err: Cannot receive packet\n");
        lastResult = rc;
        return;
    }
    // The module's own verdict on a command the tool does not interpret.
    lastResult = answer_field(FIELD_FLAG, answer) == SUCCEED ? 0 : RES_UNKNOWN;
    trace(TRACE_CALL, "Receive Packet: %#x Param1: %#x Param2: %#x Error: %#x\n",
          answer_field(FIELD_COMMAND, answer), answer_field(FIELD_PARAM1, answer),
          answer_field(FIELD_PARAM2, answer), answer_field(FIELD_FLAG, answer));
    outcome::object_begin("answer");
    outcome::value("command", answer_field(FIELD_COMMAND, answer));
    outcome::value("param1", answer_field(FIELD_PARAM1, answer));
    outcome::value("param2", answer_field(FIELD_PARAM2, answer));
    outcome::value("flag", answer_field(FIELD_FLAG, answer));
    outcome::object_end();
    trace(TRACE_DATA, "Data: ");
    // Whatever else the module sends, 13 bytes at a time until it falls silent
    // or the buffer is full.
    size_t drained = 0;
    constexpr size_t STEP = packet::COMMAND_LENGTH;
    buffer.clear();
    // However its bytes come, the drain is over within the read time-out and
    // the wire time of a full buffer: a line that trickles cannot hold it.
    serial_bound_reads(static_cast<uint64_t>(RAW_BUFFER) * (hexText == 1 ? 2 : 1));
    while (drained + STEP <= RAW_BUFFER) {
        buffer.resize(drained + STEP);
        int r = link_read(buffer.data() + drained, static_cast<int>(STEP), true);
        if (r > 0) drained += static_cast<size_t>(r);
        if (r != static_cast<int>(STEP)) break;
    }
    serial_unbound_reads();
    size_t lineStart = 0;
    for (size_t i = 0; i < drained; ++i) {
        if (buffer[i] != packet::END_CODE) continue;
        trace_hex(TRACE_DATA, buffer.data() + lineStart, i - lineStart);
        trace_more(TRACE_DATA, "\nData: ");
        lineStart = i + 1;
    }
    trace_hex(TRACE_DATA, buffer.data() + lineStart, drained - lineStart);
    trace_more(TRACE_DATA, "\n");
    if (outcome::recording()) {
        static constexpr char digits[] = "0123456789abcdef";
        std::string hex;
        hex.reserve(2 * drained);
        for (size_t i = 0; i < drained; ++i) {
            hex += digits[buffer[i] >> 4];
            hex += digits[buffer[i] & 0x0F];
        }
        outcome::text("data", hex);
    }
}

void OrvantiCom::broadcast_raw_mode() {
    if (remote::active()) {
        lastResult = refuse_through_server("-B reaches every module at once, past the queue of kelvord: run it where "
                                           "the line is");
        return;
    }
    const int fileId = inputFile ? fileno(inputFile.get()) : 0;
    trace(TRACE_CALL, "Send Broadcast Command: %#x Param1: %#x Param2: %#x Flag: %#x %#x\n", command, param1,
          param2, flag, fileId);
    lastResult = 0;
    if (inputFile && param2 > RAW_BUFFER) {
        ERR_LINE("Err: Raw data of %#x bytes exceeds the buffer of %#x bytes\n", param2, RAW_BUFFER);
        lastResult = FRONT_REFUSED;
        return;
    }
    if (int rc = send_broadcast_command(command, param1, param2, flag); rc < 0) {
        ERR_LINE("Err: Cannot send packet\n");
        lastResult = rc;
        return;
    }
    if (!inputFile) return; // nobody answers a broadcast
    std::vector<uint8_t> buffer(param2);
    size_t n = std::fread(buffer.data(), 1, param2, inputFile.get());
    if (int rc = send_data(buffer.data(), static_cast<uint32_t>(n)); rc < 0) {
        ERR_LINE("Err: Cannot send raw data\n");
        lastResult = rc;
    }
}

void OrvantiCom::response_monitor() {
    if (monitor == 2) {
        note_result(remote::active() ? server_watch() : watch::watch_line(portName));
        return;
    }
    if (remote::active()) {
        note_result(refuse_through_server("-w reads the line itself; through kelvord, --watch prints what the modules "
                                          "send"));
        return;
    }
    trace(TRACE_CALL, "Waiting Responses\nPacket: ");
    serial_set_read_timeout(60000);
    // Runs until the link fails or the operator stops the process; a quiet
    // minute is no reason to stop.
    for (;;) {
        uint8_t byte = 0;
        int r = link_read(&byte, 1, true);
        // With --json the module's text lines are objects of their own here, at once.
        json_output::print_module_text();
        if (r < 0) break;
        if (r == 0) continue;
        if (byte == packet::END_CODE)
            trace_more(TRACE_CALL, "\nPacket: ");
        else
            trace_more(TRACE_CALL, "%02x ", byte);
        // The operator sees a packet begun as soon as the line goes quiet,
        // not only when its end code arrives.
        if (!serial_input_waiting()) trace_flush();
    }
    trace_more(TRACE_CALL, "\n");
}
