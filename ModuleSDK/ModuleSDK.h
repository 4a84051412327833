// The library's public interface: trace log, serial link, packets, data
// transfer, the command functions of every family, the flag values and the
// result codes. Every function returns 0 (or a byte count for raw reads and
// writes) on success and a negative result code on failure; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "Packet.h"

#define KELVOR_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// ---------------------------------------------------------------- flag values
// SUCCEED, SCAN_SUCCESS, ...: the flag byte values of the wire vocabulary.
using namespace packet::flag;

// --------------------------------------------------------------- result codes
inline constexpr int ERR_PORT_OPEN = -1;
inline constexpr int ERR_PORT_SETUP = -2;
inline constexpr int ERR_WRITE = -3;
inline constexpr int ERR_WRITE_SHORT = -4;
inline constexpr int ERR_READ = -5;
inline constexpr int ERR_READ_TIMEOUT = -6;
inline constexpr int ERR_CHECKSUM = -7;
inline constexpr int ERR_SET_TIMEOUT = -8;

inline constexpr int RES_NOT_FOUND = -100;
inline constexpr int RES_SCAN_FAILED = -101;
inline constexpr int RES_NOT_SUPPORTED = -102;
inline constexpr int RES_TIMEOUT = -103;
inline constexpr int RES_TRY_AGAIN = -104;
inline constexpr int RES_MEMORY_FULL = -105;
inline constexpr int RES_FINGER_LIMIT = -106;
inline constexpr int RES_INVALID_ID = -107;
inline constexpr int RES_ID_ALREADY_USED = -108;
inline constexpr int RES_TIMEOUT_MATCHING = -109;
inline constexpr int RES_NOT_MATCH = -110;
inline constexpr int RES_SYSTEM_BUSY = -111;
inline constexpr int RES_CANCELLED = -112;
inline constexpr int RES_DATA_ERROR = -113;
inline constexpr int RES_CARD_ERROR = -114;
inline constexpr int RES_ID_REJECTED = -115;
inline constexpr int RES_DURESS_FINGER = -116;
inline constexpr int RES_FINGER_ALREADY_ENROLLED = -117;
inline constexpr int RES_UNKNOWN = -999;

// ------------------------------------------------------------------ trace log
// Types and mask bits.
inline constexpr uint32_t TRACE_ERROR = 0x01;
inline constexpr uint32_t TRACE_CALL = 0x02;
inline constexpr uint32_t TRACE_COMM = 0x04;
inline constexpr uint32_t TRACE_DATA = 0x08;
inline constexpr uint32_t TRACE_USER = 0x10;

// A line with the prefix of `type`, printed when `type` shares a bit with the mask.
void trace(uint32_t type, const char* format, ...) KELVOR_PRINTF(2, 3);
// Continuation text without prefix, printed when `bits` share a bit with the mask.
void trace_more(uint32_t bits, const char* format, ...) KELVOR_PRINTF(2, 3);
// Printed always, without prefix (the front end's error lines).
void trace_print(const char* format, ...) KELVOR_PRINTF(1, 2);
// Continuation: each byte as "%02x " (lower-case hex and a blank), under `bits`.
void trace_hex(uint32_t bits, const uint8_t* bytes, size_t n);
void trace_enable(uint32_t bits);
void trace_disable(uint32_t bits);
uint32_t trace_mask();
// Writes out a partial line still held back (normally every line is written when it ends).
void trace_flush();
// The same from a signal handler: writes what is held back unless the handler
// interrupted the trace log itself.
void trace_flush_on_signal();
// Process-wide trace state, for tests: clears the mask and redirects output to `fd`.
void trace_reset(int fd = 2);

// --------------------------------------------------------------- serial port
int serial_open(const char* name);
int serial_setup(int baudRate);
int serial_set_read_timeout(int milliseconds);
// Reads up to n bytes: returns when all arrived or when the read time-out passes
// without a new byte. With `textLines`, a first byte "[" starts a module text line
// that is printed on the standard output stream and is not part of the data.
int serial_read(uint8_t* buffer, int n, bool textLines = false);
int serial_write(const uint8_t* bytes, int n);
int serial_close();
// Whether bytes from the line wait to be read (the line is not quiet).
bool serial_input_waiting();

// Translation layer (hex-text mode); counts in bytes.
int link_read(uint8_t* buffer, int n, bool textLines = false);
int link_write(const uint8_t* bytes, int n);

// ------------------------------------------------------- link state and cache
struct LinkState {
    int hexText = 0;
    int network = 0;
    uint16_t moduleId = 0;
    int broadcast = 0;
    int readTimeout = -1; // the read time-out applied to the port, -1 before any
    bool open = false;
    // Command code of the packet last sent: its answers are the ones awaited
    // (-1 before any packet).
    int awaitedCommand = -1;
    size_t packet_length() const { return packet::length(network == 1); }
};
LinkState& link_state();

struct ModuleSettings {
    int enrollMode = 0;       // system parameter 0x65
    int scanSuccessOn = 0;    // system parameter 0x75 is not 0x30
};
ModuleSettings& module_settings();

// Rate of a baud code 0x31..0x35; any other value is taken as the rate itself.
int baud_rate_of_code(int baudCode);

// ------------------------------------------------------------------- packets
using AnswerPacket = packet::Buffer;

int send_command(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag);
int send_broadcast_command(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag);
// The answer to the command last sent: a packet for another command (or, on a
// shared line, from another module) is traced, reported and dropped.
int receive_answer(AnswerPacket& packet);
// Whatever valid packet comes next, whatever its command code (raw packet mode,
// and the first answer of a cancel, which a cancelled command answers with its
// own code); the module ID is still checked on a shared line.
int receive_answer_any(AnswerPacket& packet);
uint32_t answer_field(int selector, const AnswerPacket& packet);
inline constexpr int FIELD_COMMAND = 0, FIELD_MODULE_ID = 1, FIELD_PARAM1 = 2, FIELD_PARAM2 = 3, FIELD_FLAG = 4,
                     FIELD_CHECKSUM = 5;
uint32_t byte_sum(const uint8_t* bytes, size_t n);

// ---------------------------------------------------------------- connection
int module_open(const char* portName, int baudCode, int hexText, int network, int moduleId, int readTimeout);
int module_open_broadcast(const char* portName, int baudCode, int hexText, int moduleId, int readTimeout);
int module_close();

// SS and SR.
int system_status_check(uint32_t* status);
int system_parameter_read(uint8_t number, uint32_t* value);

// ------------------------------------------------------------- data transfer
int receive_data(std::span<uint8_t> buffer);
int send_data(const uint8_t* bytes, uint32_t n);
int send_data_chunks(uint8_t command, const uint8_t* data, uint32_t total, uint32_t chunkSize);
// Whether data of these sizes can go out at all, checked before the command
// packet that announces them: 0, or RES_DATA_ERROR with an error line.
int data_block_check(uint64_t n);
int data_chunks_check(uint64_t total, uint64_t chunkSize);

// ------------------------------------------ system parameters and calibration
int system_parameter_write(uint8_t number, uint32_t value); // SW
int system_parameter_save();                                // SF
int calibrate_sensor();                                     // CS

// ---------------------------------------------------------------- image record
// Seven 32-bit little-endian header words, then at most 204800 gray pixels.
inline constexpr size_t IMAGE_HEADER_SIZE = 28;
inline constexpr size_t IMAGE_PIXELS_MAX = 0x32000;
inline constexpr size_t IMAGE_RECORD_SIZE = IMAGE_HEADER_SIZE + IMAGE_PIXELS_MAX;
using ImageRecordBytes = std::span<uint8_t, IMAGE_RECORD_SIZE>;

// ----------------------------------------------- encryption and image capture
int write_encryption_key(const uint8_t* key32);                            // KW
int scan_template_with_challenge(uint32_t challenge, uint32_t* size);      // KS
int scan_image(uint32_t* size);                                            // SI
int read_image(uint32_t* size);                                            // RI
int scan_image_chunked(uint32_t chunkLength, uint32_t* size);              // SIX
int read_image_chunked(uint32_t chunkLength, uint32_t* size);              // RIX
int receive_image(ImageRecordBytes record, uint32_t length);
int receive_image_chunks(ImageRecordBytes record, uint32_t length);

// ----------------------------------------------------------------- enrollment
int enroll_by_scan(uint32_t userId, uint8_t option, uint32_t* userIdOut);                     // ES
int enroll_by_scan_with_admin(uint32_t userId, uint8_t option, uint32_t* userIdOut);          // ESA
int enroll_by_image(uint32_t userId, const uint8_t* record, uint32_t imageSize, uint8_t option,
                    uint32_t* userIdOut);                                                     // EI
int enroll_by_image_chunked(uint32_t userId, const uint8_t* record, uint32_t imageSize, uint8_t option,
                            uint32_t chunkSize, uint32_t* userIdOut);                         // EIX
int enroll_by_template(uint32_t userId, const uint8_t* data, uint32_t size, uint8_t option,
                       uint32_t* userIdOut);                                                  // ET
int enroll_by_templates_chunked(uint32_t userId, const uint8_t* data, uint16_t count, uint16_t size,
                                uint8_t option, uint32_t* userIdOut);                         // ETX

// --------------------------------------------------------------- verification
int verify_by_scan(uint32_t userId, uint32_t* value);                                         // VS
int verify_by_image(uint32_t userId, const uint8_t* record, uint32_t imageSize, uint32_t* value); // VI
int verify_by_image_chunked(uint32_t userId, const uint8_t* record, uint32_t imageSize, uint32_t chunkSize,
                            uint32_t* value);                                                 // VIX
int verify_by_template(uint32_t userId, const uint8_t* data, uint32_t size, uint32_t* value); // VT
// `templates` holds clamp(count, 1, 10) templates of `size` bytes each.
int verify_by_host_templates(uint32_t count, const uint8_t* templates, uint32_t size);        // VH
int verify_by_wiegand(uint32_t* userId, uint32_t* value);                                     // VW
int verify_by_smartcard(uint8_t option, uint32_t* userId, uint32_t* value);                  // VC
// Number of host templates VH sends for a requested count: clamped to 1..10.
inline uint32_t host_template_count(uint32_t requested) {
    return requested < 1 ? 1 : (requested > 10 ? 10 : requested);
}

// ------------------------------------------------------------- identification
int identify_by_scan(uint16_t start, uint16_t end, uint32_t* userId, uint32_t* value);        // IS
int identify_by_image(uint16_t start, uint16_t end, const uint8_t* record, uint32_t size, uint32_t* userId,
                      uint32_t* value);                                                       // II
int identify_by_template(uint16_t start, uint16_t end, const uint8_t* data, uint32_t size, uint32_t* userId,
                         uint32_t* value);                                                    // IT
int identify_by_image_chunked(uint16_t start, uint16_t end, const uint8_t* record, uint32_t size,
                              uint32_t chunkSize, uint32_t* userId, uint32_t* value);         // IIX

// ------------------------------------------ firmware upgrade, cancel and lock

// ------------------------------------------- administrator levels and policies

// ------------------------------------------------------------ template database

// ------------------------------------------------- enrollment by Wiegand and card

// ------------------------------------------------------------ Wiegand interface

// ------------------------------------------------------------------ smart card

// ------------------------------------------------- event log, clock, user memory

// --------------------------------------------------- input, output and GPIO ports

// -------------------------------------------------------------- keyword table
// Categories of the keyword table.
inline constexpr int KW_COMMAND = 0x01;
inline constexpr int KW_STATUS = 0x02;
inline constexpr int KW_PARAMETER = 0x10;
inline constexpr int KW_BAUD = 0x11;
inline constexpr int KW_ENROLL_OPTION = 0x20;

void keyword_add(int category, int code, const char* name);
const char* keyword_name(int category, int code);
int keyword_code(int category, const char* name);
void keyword_fill();
int keyword_count();
// Empties the table (tests).
void keyword_reset();
