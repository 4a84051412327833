// The settings of a serial line as a program keeps them: the port, its rate
// and mode, the module addressed, the read time-out, the chunk size of
// chunked transfers and the trace level.
#pragma once

#include <cstdint>
#include <string>

namespace kelvor {

struct LineSettings {
    std::string portName;
    int baudCode = -1;   // 0x31 to 0x35 (9600 to 115200); -1 until one is given or read
    int networkMode = 0; // 1: 15-byte packets with a module ID
    uint16_t moduleId = 1;
    int hexText = 0;        // 1: every byte as two hexadecimal characters
    int readTimeout = 1000; // ms
    int chunkSize = 0x1000; // bytes of a chunked transfer
    int traceLevel = 1;     // 0 to 4
};

} // namespace kelvor
