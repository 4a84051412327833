// The raw modes: broadcast raw packets and the response monitor.
#include "OrvantiCom.h"

#include <cstdio>

#include "Json.h"
#include "Remote.h"
#include "ServerRun.h"
#include "Watch.h"

using namespace kelvor;

void OrvantiCom::broadcast_raw_mode() {
    if (remote::active()) {
        lastResult =
            refuse_through_server("-B reaches every module at once, past the queue of kelvord: run it where "
                                  "the line is");
        return;
    }
    const int fileId = inputFile ? fileno(inputFile.get()) : 0;
    trace(TRACE_CALL, "Send Broadcast Command: %#x Param1: %#x Param2: %#x Flag: %#x %#x\n", command, param1,
          param2, flag, fileId);
    lastResult = 0;
    if (inputFile && param2 > RAW_BUFFER) {
        err_line(err_site::RAW_DATA_TOO_LARGE, "Err: Raw data of %#x bytes exceeds the buffer of %#x bytes\n",
                 param2, RAW_BUFFER);
        lastResult = FRONT_REFUSED;
        return;
    }
    if (int rc = send_broadcast_command(command, param1, param2, flag); rc < 0) {
        err_line(err_site::RAW_CANNOT_SEND_PACKET, "Err: Cannot send packet\n");
        lastResult = rc;
        return;
    }
    if (!inputFile) return; // nobody answers a broadcast
    std::vector<uint8_t> buffer(param2);
    size_t n = std::fread(buffer.data(), 1, param2, inputFile.get());
    if (int rc = send_data(buffer.data(), static_cast<uint32_t>(n)); rc < 0) {
        err_line(err_site::RAW_CANNOT_SEND_DATA, "Err: Cannot send raw data\n");
        lastResult = rc;
    }
}

void OrvantiCom::response_monitor() {
    if (monitor == 2) {
        note_result(remote::active() ? server_watch() : watch::watch_line(portName));
        return;
    }
    if (remote::active()) {
        note_result(refuse_through_server(
            "-w reads the line itself; through kelvord, --watch prints what the modules "
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
