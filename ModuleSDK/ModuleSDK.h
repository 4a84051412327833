// The library's public interface: trace log, serial link, packets, data
// transfer, the command functions of every family, the flag values and the
// result codes. Every function returns 0 (or a byte count for raw reads and
// writes) on success and a negative result code on failure; nothing throws.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Version.h"
#include "protocol/Packet.h"

namespace kelvor {

// MinGW's own printf family (__USE_MINGW_ANSI_STDIO) formats as the C
// standard says, so its checks are those of GNU printf.
#if defined(__MINGW32__)
#define KELVOR_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define KELVOR_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif
// What the library offers its users; everything else in it stays hidden.
#if defined(_WIN32)
#define KELVOR_API
#else
#define KELVOR_API __attribute__((visibility("default")))
#endif

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
// A data transfer that the transfer observer stopped (see transfer_observer).
inline constexpr int ERR_STOPPED = -9;

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
// The host refused the command before anything was sent (an input file that
// is missing, unreadable or short, a size beyond what is sent, a value the
// command cannot carry): a code of the host's own, never a module's.
inline constexpr int RES_FRONT_REFUSED = -1000;

// What a result code means: a stable snake_case name ("not_found",
// "read_timeout"), a text, and the class of outcome (the classes of
// `kelvor --exit-code`). Every code above has its row; a positive byte count
// is a success, any other negative code an unknown refusal.
enum class ResultClass { Ok = 0, Refused = 2, LinkFailed = 3 };
struct ResultInfo {
    int code;
    const char* name;
    const char* text;
    ResultClass outcome;
};
KELVOR_API std::span<const ResultInfo> result_table();
KELVOR_API const ResultInfo& result_info(int code);
KELVOR_API const char* result_name(int code);
KELVOR_API const char* result_text(int code);
KELVOR_API ResultClass result_class(int code);
// The library's version, "MAJOR.MINOR.PATCH".
KELVOR_API const char* version();

// ------------------------------------------------------------------ trace log
// Types and mask bits.
inline constexpr uint32_t TRACE_ERROR = 0x01;
inline constexpr uint32_t TRACE_CALL = 0x02;
inline constexpr uint32_t TRACE_COMM = 0x04;
inline constexpr uint32_t TRACE_DATA = 0x08;
inline constexpr uint32_t TRACE_USER = 0x10;

// A line with the prefix of `type`, printed when `type` shares a bit with the mask.
KELVOR_API void trace(uint32_t type, const char* format, ...) KELVOR_PRINTF(2, 3);
// Continuation text without prefix, printed when `bits` share a bit with the mask.
KELVOR_API void trace_more(uint32_t bits, const char* format, ...) KELVOR_PRINTF(2, 3);
// Printed always, without prefix (the front end's error lines).
KELVOR_API void trace_print(const char* format, ...) KELVOR_PRINTF(1, 2);
// Continuation: each byte as "%02x " (lower-case hex and a blank), under `bits`.
KELVOR_API void trace_hex(uint32_t bits, const uint8_t* bytes, size_t n);
KELVOR_API void trace_enable(uint32_t bits);
KELVOR_API void trace_disable(uint32_t bits);
KELVOR_API uint32_t trace_mask();
// Writes out a partial line still held back (normally every line is written when it ends).
KELVOR_API void trace_flush();
// The same from a signal handler: writes what is held back unless the handler
// interrupted the trace log itself.
KELVOR_API void trace_flush_on_signal();
// Process-wide trace state, for tests: clears the mask and redirects output to `fd`.
KELVOR_API void trace_reset(int fd = 2);
// The trace's lines to a program of its own instead of the file descriptor
// (a logger, a window): each complete line, its prefix and line end included,
// is handed to `sink` with `context` as soon as it ends; what is pending when
// the trace is flushed is handed over as it stands. nullptr gives the trace
// back to its file descriptor. The sink must not call the library.
using TraceSink = void (*)(const char* text, size_t n, void* context);
KELVOR_API void trace_to(TraceSink sink, void* context = nullptr);

// ------------------------------------------------------- transfer observer
// Told how every data transfer of the library goes (blocks, chunks, images,
// firmware): `done` of `total` bytes, as the pieces move (pieces of about a
// fifth of a second of the line). Returning false stops the transfer before
// its next piece: the call ends with ERR_STOPPED, and the link waits for a
// quiet line before the next command (the module may still be sending or
// waiting). Chunks stop cleanly: of the chunks the module sends, the next one
// is read whole and refused (DATA_CHECKSUM_ERROR), which ends the module's
// transfer; chunks to the module end with a cancel (CA), which ends its wait
// for the next chunk. nullptr: no observer. The observer must not call the
// library.
using TransferObserver = bool (*)(uint64_t done, uint64_t total, void* context);
KELVOR_API void transfer_observer(TransferObserver observer, void* context = nullptr);

// --------------------------------------------------------------- serial port
KELVOR_API int serial_open(const char* name);
KELVOR_API int serial_setup(int baudRate);
KELVOR_API int serial_set_read_timeout(int milliseconds);
// The read time-out applied to the port, -1 before any.
KELVOR_API int serial_read_timeout();
// Reads up to n bytes: returns when all arrived or when the read time-out passes
// without a new byte.
KELVOR_API int serial_read(uint8_t* buffer, int n);
// The same read in two steps, for a reader that looks at each byte as it
// comes: serial_begin_read takes the line's turn (the pause of a shared line),
// serial_read_more then reads within that turn, as often as it needs.
KELVOR_API int serial_begin_read();
KELVOR_API int serial_read_more(uint8_t* buffer, int n);
KELVOR_API int serial_write(const uint8_t* bytes, int n);
KELVOR_API int serial_close();
// errno of the latest failed serial_open or serial_setup; 0 after a good one.
KELVOR_API int serial_last_error();
// Whether bytes from the line wait to be read (the line is not quiet).
KELVOR_API bool serial_input_waiting();
// From now on reads end at the latest after one read time-out plus the wire
// time of `bytes` at the line's rate, however steadily bytes keep arriving;
// until serial_unbound_reads().
KELVOR_API void serial_bound_reads(uint64_t bytes);
KELVOR_API void serial_unbound_reads();
// The pause before each read and write on a shared line (0: none).
KELVOR_API void serial_set_turn_pause(int milliseconds);
// The port itself is gone since it was opened (hang-up, the device unplugged).
KELVOR_API bool serial_port_lost();
// Ends the wait of the read in progress as its time-out would end it (with
// what arrived so far), and so every read after it until
// serial_clear_interrupt() or the next serial_open(): for a program whose operator stops a long wait,
// such as a scan. Safe from a signal handler and from another thread. The
// wait ends at once on POSIX and within a second on Windows.
KELVOR_API void serial_interrupt();
KELVOR_API bool serial_interrupted();
KELVOR_API void serial_clear_interrupt();
// Work a program holds back while the line keeps it busy, such as results it
// writes out several at once: `work` runs once, before a read would wait
// past `milliseconds` from now, before a write or a pause that may wait, and
// from the handler of a signal that ends the program (so it does only what a
// signal handler may). Another serial_hold replaces it; serial_run_held()
// runs it at once. A null `work` holds nothing.
KELVOR_API void serial_hold(int milliseconds, void (*work)());
KELVOR_API void serial_run_held();

// ------------------------------------------------------------------ link layer
// Translation layer (hex-text mode); counts in bytes. With `textLines`, a
// first byte "[" starts a module text line, ended by a carriage return, that is
// printed on the standard output stream and is not part of the data.
KELVOR_API int link_read(uint8_t* buffer, int n, bool textLines = false);
KELVOR_API int link_write(const uint8_t* bytes, int n);
// Module text lines are held back from now on instead of printed, until
// link_release_text_lines prints them (true) or drops them (false).
KELVOR_API void link_hold_text_lines();
KELVOR_API void link_release_text_lines(bool print);
KELVOR_API size_t link_held_text_lines();

// What a module sends on its own between commands (a free-scan result, a text
// line), for a program that owns the line and reads it while no command is in
// flight. One call hands over one thing: a whole packet in the link's form
// (checksum checked), a module text line ("[" to the carriage return, at most
// LINE_EVENT_BYTES_MAX characters kept), or one byte (one character pair in
// hex text) that starts neither, as noise. A packet cut short or with a wrong
// checksum comes as noise with the bytes that arrived.
inline constexpr size_t LINE_EVENT_BYTES_MAX = 4096;
enum class LineEventKind { Packet, Text, Noise };
struct LineEvent {
    LineEventKind kind = LineEventKind::Noise;
    size_t length = 0; // bytes in `bytes`: the packet (decoded from hex text), the text, the noise
    std::array<uint8_t, LINE_EVENT_BYTES_MAX> bytes{};
};
// Waits up to `waitMs` for the first byte, then reads the rest at the link's
// read time-out, without the pause of a shared line (nobody is answered).
// 1 with `event` filled; 0 when the wait passed with nothing, or when
// serial_interrupt() ended it; ERR_READ when the line failed (then
// serial_port_lost() tells whether the port itself is gone). An interrupt
// ends the wait for a first byte, never the reading of a packet or line that
// has begun: the interrupt then stands again when the call returns.
KELVOR_API int link_wait_event(LineEvent& event, int waitMs);

// ------------------------------------------------------- link state and cache
struct LinkState {
    int hexText = 0;
    int network = 0;
    uint16_t moduleId = 0;
    int broadcast = 0;
    bool open = false;
    // Command code of the packet last sent: its answers are the ones awaited
    // (-1 before any packet).
    int awaitedCommand = -1;
    // An answer timed out or was dropped: the module may still be sending, so
    // the next command waits for a quiet line first.
    bool unsettled = false;
    // Bytes other than the awaited answer met since the last command packet.
    bool strayBytes = false;
    // The opening (or the status check of a module selected) gave up: the
    // line never went quiet for a read time-out, so no answer could be told
    // from what else it carried.
    bool neverQuiet = false;
    size_t packet_length() const { return packet::length(network == 1); }
};
KELVOR_API LinkState& link_state();

struct ModuleSettings {
    int enrollMode = 0;    // system parameter 0x65
    int scanSuccessOn = 0; // system parameter 0x75 is not 0x30
};
KELVOR_API ModuleSettings& module_settings();

// Rate of a baud code 0x31..0x35; any other value is taken as the rate itself.
KELVOR_API int baud_rate_of_code(int baudCode);

// ------------------------------------------------------------------- packets
using AnswerPacket = packet::Buffer;

KELVOR_API int send_command(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag);
KELVOR_API int send_broadcast_command(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag);
// The answer to the command last sent: a packet for another command (or, on a
// shared line, from another module) is traced, reported and dropped.
KELVOR_API int receive_answer(AnswerPacket& packet);
// Whatever valid packet comes next, whatever its command code (raw packet mode,
// and the first answer of a cancel, which a cancelled command answers with its
// own code); the module ID is still checked on a shared line.
KELVOR_API int receive_answer_any(AnswerPacket& packet);
// The header packet of a chunk the module sends: taken whatever its command
// code (the acknowledgement repeats that code), from the link's module only on
// a shared line.
KELVOR_API int receive_chunk_header(AnswerPacket& packet);
// Told of every answer the library takes as the answer to the command in
// flight (receive_answer, receive_answer_any), as soon as it has arrived and
// before the command goes on: for a program that shows a command's steps as
// they happen, such as the SCAN_SUCCESS after each finger scanned or the first
// SUCCEED of an enrollment that takes two scans. Chunk headers are no answers.
// nullptr: no observer. The observer must not call the library.
using AnswerObserver = void (*)(const AnswerPacket& packet, void* context);
KELVOR_API void answer_observer(AnswerObserver observer, void* context = nullptr);

KELVOR_API uint32_t answer_field(int selector, const AnswerPacket& packet);
inline constexpr int FIELD_COMMAND = 0, FIELD_MODULE_ID = 1, FIELD_PARAM1 = 2, FIELD_PARAM2 = 3,
                     FIELD_FLAG = 4, FIELD_CHECKSUM = 5;
KELVOR_API uint32_t byte_sum(const uint8_t* bytes, size_t n);

// ---------------------------------------------------------------- connection
// The read time-outs, in milliseconds, that the tool, the service and the
// Python package take for a connection: one millisecond to ten minutes.
inline constexpr int READ_TIMEOUT_LEAST_MS = 1;
inline constexpr int READ_TIMEOUT_MOST_MS = 600000;
KELVOR_API int module_open(const char* portName, int baudCode, int hexText, int network, int moduleId,
                           int readTimeout);
// After module_open_broadcast the command functions send their packet and data
// to module 0 and await no answer (the host's side of a parameter write
// follows as always); a command that needs the module's answer is refused with
// RES_NOT_SUPPORTED before anything is sent.
KELVOR_API int module_open_broadcast(const char* portName, int baudCode, int hexText, int moduleId,
                                     int readTimeout);
KELVOR_API int module_close();
// The line of several modules (RS-485), opened for network packets without
// addressing a module yet: no status check. module_select then addresses one
// module and checks it as module_open does (status check, settings read);
// 0 when it answers, its failure otherwise (the line stays open either way).
KELVOR_API int module_open_line(const char* portName, int baudCode, int hexText, int readTimeout);
KELVOR_API int module_select(int moduleId);

// SS and SR.
KELVOR_API int system_status_check(uint32_t* status);
KELVOR_API int system_parameter_read(uint8_t number, uint32_t* value);

// ------------------------------------------------------------- data transfer
KELVOR_API int receive_data(std::span<uint8_t> buffer);
KELVOR_API int send_data(const uint8_t* bytes, uint32_t n);
KELVOR_API int send_data_chunks(uint8_t command, const uint8_t* data, uint32_t total, uint32_t chunkSize);
// Whether data of these sizes can go out at all, checked before the command
// packet that announces them: 0, or RES_DATA_ERROR with an error line.
KELVOR_API int data_block_check(uint64_t n);
KELVOR_API int data_chunks_check(uint64_t total, uint64_t chunkSize);

// ------------------------------------------ system parameters and calibration
KELVOR_API int system_parameter_write(uint8_t number, uint32_t value); // SW
KELVOR_API int system_parameter_save();                                // SF
KELVOR_API int calibrate_sensor();                                     // CS

// ---------------------------------------------------------------- image record
// Seven 32-bit little-endian header words, then at most 204800 gray pixels.
inline constexpr size_t IMAGE_HEADER_SIZE = packet::record::IMAGE_HEADER_SIZE;
inline constexpr size_t IMAGE_PIXELS_MAX = packet::record::IMAGE_PIXELS_MAX;
inline constexpr size_t IMAGE_RECORD_SIZE = packet::record::IMAGE_RECORD_SIZE;
using ImageRecordBytes = std::span<uint8_t, IMAGE_RECORD_SIZE>;

// ----------------------------------------------- encryption and image capture
KELVOR_API int write_encryption_key(const uint8_t* key32);                       // KW
KELVOR_API int scan_template_with_challenge(uint32_t challenge, uint32_t* size); // KS
KELVOR_API int scan_image(uint32_t* size);                                       // SI
KELVOR_API int read_image(uint32_t* size);                                       // RI
KELVOR_API int scan_image_chunked(uint32_t chunkLength, uint32_t* size);         // SIX
KELVOR_API int read_image_chunked(uint32_t chunkLength, uint32_t* size);         // RIX
KELVOR_API int receive_image(ImageRecordBytes record, uint32_t length);
KELVOR_API int receive_image_chunks(ImageRecordBytes record, uint32_t length);

// ----------------------------------------------------------------- enrollment
KELVOR_API int enroll_by_scan(uint32_t userId, uint8_t option, uint32_t* userIdOut);            // ES
KELVOR_API int enroll_by_scan_with_admin(uint32_t userId, uint8_t option, uint32_t* userIdOut); // ESA
KELVOR_API int enroll_by_image(uint32_t userId, const uint8_t* record, uint32_t imageSize, uint8_t option,
                               uint32_t* userIdOut); // EI
KELVOR_API int enroll_by_image_chunked(uint32_t userId, const uint8_t* record, uint32_t imageSize,
                                       uint8_t option, uint32_t chunkSize, uint32_t* userIdOut); // EIX
KELVOR_API int enroll_by_template(uint32_t userId, const uint8_t* data, uint32_t size, uint8_t option,
                                  uint32_t* userIdOut); // ET
KELVOR_API int enroll_by_templates_chunked(uint32_t userId, const uint8_t* data, uint16_t count,
                                           uint16_t size, uint8_t option, uint32_t* userIdOut); // ETX

// --------------------------------------------------------------- verification
KELVOR_API int verify_by_scan(uint32_t userId, uint32_t* value); // VS
KELVOR_API int verify_by_image(uint32_t userId, const uint8_t* record, uint32_t imageSize,
                               uint32_t* value); // VI
KELVOR_API int verify_by_image_chunked(uint32_t userId, const uint8_t* record, uint32_t imageSize,
                                       uint32_t chunkSize,
                                       uint32_t* value); // VIX
KELVOR_API int verify_by_template(uint32_t userId, const uint8_t* data, uint32_t size, uint32_t* value); // VT
// `templates` holds clamp(count, 1, 10) templates of `size` bytes each.
KELVOR_API int verify_by_host_templates(uint32_t count, const uint8_t* templates, uint32_t size); // VH
KELVOR_API int verify_by_wiegand(uint32_t* userId, uint32_t* value);                              // VW
KELVOR_API int verify_by_smartcard(uint8_t option, uint32_t* userId, uint32_t* value);            // VC
// Number of host templates VH sends for a requested count: clamped to 1..10.
inline uint32_t host_template_count(uint32_t requested) {
    constexpr uint32_t least = packet::limit::HOST_TEMPLATES_LEAST, most = packet::limit::HOST_TEMPLATES_MOST;
    return requested < least ? least : (requested > most ? most : requested);
}

// ------------------------------------------------------------- identification
KELVOR_API int identify_by_scan(uint16_t start, uint16_t end, uint32_t* userId, uint32_t* value); // IS
KELVOR_API int identify_by_image(uint16_t start, uint16_t end, const uint8_t* record, uint32_t size,
                                 uint32_t* userId,
                                 uint32_t* value); // II
KELVOR_API int identify_by_template(uint16_t start, uint16_t end, const uint8_t* data, uint32_t size,
                                    uint32_t* userId,
                                    uint32_t* value); // IT
KELVOR_API int identify_by_image_chunked(uint16_t start, uint16_t end, const uint8_t* record, uint32_t size,
                                         uint32_t chunkSize, uint32_t* userId, uint32_t* value); // IIX

// ------------------------------------------ firmware upgrade, cancel and lock
// A master password: 16 bytes as they stand, no terminator.
inline constexpr size_t MASTER_PASSWORD_SIZE = packet::record::PASSWORD_SIZE;
// 16-bit sum of a password's 16 byte values, sent after it (low byte first).
KELVOR_API uint16_t password_checksum(const uint8_t* password16);

KELVOR_API int upgrade_firmware(const uint8_t* image, uint32_t size, uint32_t chunkSize); // UG
KELVOR_API int cancel_command();                                                          // CA
KELVOR_API int lock_module();                                                             // LM
KELVOR_API int unlock_module(const uint8_t* password16);                                  // UM
KELVOR_API int write_master_password(const uint8_t* current16, const uint8_t* new16);     // MP

// ------------------------------------------- administrator levels and policies
KELVOR_API int write_admin_level(uint32_t userId, uint32_t level);                // AW
KELVOR_API int read_admin_level(uint32_t userId, uint32_t* level);                // AR
KELVOR_API int clear_admin_levels();                                              // AC
KELVOR_API int write_auth_policy(uint32_t userId, uint32_t policy, uint8_t flag); // UW
KELVOR_API int read_auth_policy(uint32_t userId, uint32_t* policy);               // UR
KELVOR_API int reset_auth_policies();                                             // UC
// The list itself follows as a data block of 4 x count bytes (receive_data).
KELVOR_API int list_users_by_policy(uint32_t policy, uint32_t* count); // UL

// ------------------------------------------------------------ template database
// Largest template the library takes from the module (RT, ST).
inline constexpr uint32_t TEMPLATE_SIZE_MAX = packet::limit::TEMPLATE_BYTES;
// Largest list of user IDs (LT, UL) and of template records (LTX) it takes.
inline constexpr uint32_t USER_ID_COUNT_MAX = packet::limit::USER_IDS;
// Bytes of one template info record of LTX.
inline constexpr size_t TEMPLATE_INFO_SIZE = packet::record::TEMPLATE_INFO_SIZE;
// RT's result when more templates of the user follow the one announced.
inline constexpr int MORE_TEMPLATES = 1;

KELVOR_API int read_template(uint32_t userId, uint32_t* size);                  // RT
KELVOR_API int scan_template(uint32_t* size);                                   // ST
KELVOR_API int delete_template(uint32_t userId);                                // DT
KELVOR_API int delete_all_templates();                                          // DA
KELVOR_API int delete_all_templates_with_admin();                               // DAA
KELVOR_API int delete_provisional_templates();                                  // DP
KELVOR_API int fix_provisional_templates();                                     // FP
KELVOR_API int list_user_ids(uint32_t first, uint32_t second, uint32_t* count); // LT
// The user ID list after LT: count x 4 bytes into `buffer` (at least that long).
KELVOR_API int get_user_data(std::span<uint8_t> buffer, uint32_t count);
KELVOR_API int check_user_id(uint32_t userId, uint32_t* templates);                 // CT
KELVOR_API int delete_template_by_scan(uint16_t first, uint16_t second);            // DS
KELVOR_API int delete_template_by_scan_with_admin(uint16_t first, uint16_t second); // DSA
KELVOR_API int delete_template_by_wiegand(uint32_t* userId);                        // DW
KELVOR_API int delete_template_by_wiegand_with_admin(uint32_t* userId);             // DWA
// Template info records into `buffer`, never beyond it; `number` is the module's count.
KELVOR_API int read_template_info(uint32_t index, std::span<uint8_t> buffer, uint32_t* number); // LTX

// ------------------------------------------------- enrollment by Wiegand and card
// EW and EWA take the user ID from the Wiegand input; the ID actually used comes back in userIdOut.
KELVOR_API int enroll_by_wiegand(uint8_t option, uint32_t* userIdOut);            // EW
KELVOR_API int enroll_by_wiegand_with_admin(uint8_t option, uint32_t* userIdOut); // EWA
// Option bit that announces a Wiegand string after the command of EC and ECX.
inline constexpr uint8_t CARD_ENROLL_WIEGAND = packet::option::CARD_ENROLL_WIEGAND;
// EC: the module scans `fingerCount` fingers (two at most) and writes them to
// the card; `wiegand8` (8 bytes, or null) is sent only with CARD_ENROLL_WIEGAND.
KELVOR_API int enroll_smartcard(uint32_t userId, uint32_t fingerCount, uint8_t option,
                                const uint8_t* wiegand8); // EC
// ECX: `templates` holds count x size bytes (null when count is 0); the data
// travel as one chunk, the Wiegand string last. Refused before anything is
// sent when the data exceed CARD_ENROLL_DATA_MAX bytes.
inline constexpr uint64_t CARD_ENROLL_DATA_MAX = packet::limit::CARD_ENROLL_BYTES;
KELVOR_API int enroll_templates_to_smartcard(uint32_t userId, uint16_t count, uint16_t size, uint8_t option,
                                             const uint8_t* templates, const uint8_t* wiegand8); // ECX
// Bytes ECX sends for count templates of size bytes (computed in 64 bits).
inline uint64_t card_enroll_data_size(uint16_t count, uint16_t size, uint8_t option) {
    return static_cast<uint64_t>(count) * size +
           ((option & CARD_ENROLL_WIEGAND) ? packet::record::WIEGAND_STRING_SIZE : 0);
}

// ------------------------------------------------------------ Wiegand interface
// The basic configuration of one port: Param1 FC bits << 16 | format << 8 | function, Param2 FC code.
struct WiegandConfig {
    uint16_t fcBits = 0;
    uint8_t format = 0;
    uint8_t function = 0;
    uint32_t fcCode = 0;
};
inline uint32_t wiegand_config_param1(const WiegandConfig& c) {
    return static_cast<uint32_t>(c.fcBits) << 16 | static_cast<uint32_t>(c.format) << 8 | c.function;
}
inline WiegandConfig wiegand_config_of(uint32_t param1, uint32_t param2) {
    return {static_cast<uint16_t>(param1 >> 16), static_cast<uint8_t>(param1 >> 8),
            static_cast<uint8_t>(param1), param2};
}

// The extended configuration as WRX reads it back: Param1 format << 24 | width
// (8 bits) << 16 | interval; Param2 the size of the format data that follow.
struct WiegandFormat {
    uint8_t format = 0;
    uint8_t pulseWidth = 0;
    uint16_t pulseInterval = 0;
    uint32_t dataSize = 0;
};
inline WiegandFormat wiegand_format_of(uint32_t param1, uint32_t param2) {
    return {static_cast<uint8_t>(param1 >> 24), static_cast<uint8_t>(param1 >> 16),
            static_cast<uint16_t>(param1), param2};
}
// WWX sends the width in 16 bits: Param1 width << 16 | interval.
inline uint32_t wiegand_pulse_param1(uint16_t width, uint16_t interval) {
    return static_cast<uint32_t>(width) << 16 | interval;
}

// 64 bits of raw Wiegand data: word1 (Param1) holds the upper half.
struct WiegandString {
    uint32_t word1 = 0;
    uint32_t word2 = 0;
};

// The Wiegand I/O setting: Param1 input << 16 | output, Param2 option.
struct WiegandIo {
    uint16_t input = 0;
    uint16_t output = 0;
    uint32_t option = 0;
};
inline uint32_t wiegand_io_param1(uint16_t input, uint16_t output) {
    return static_cast<uint32_t>(input) << 16 | output;
}

// Port of WW and WR; mapping interface of WM, WL and WC.
inline constexpr uint8_t WIEGAND_INPUT = 0, WIEGAND_OUTPUT = 1;
inline constexpr uint8_t MAPPING_WIEGAND = 0, MAPPING_CARD = 1;

KELVOR_API int write_wiegand_config(uint8_t port, const WiegandConfig& config);                  // WW
KELVOR_API int read_wiegand_config(uint8_t port, WiegandConfig* out);                            // WR
KELVOR_API int get_wiegand_input(uint32_t statusHandling, uint32_t* id, uint32_t* facilityCode); // WG
KELVOR_API int set_wiegand_output(uint32_t id);                                                  // WS
KELVOR_API int set_wiegand_mapping(uint32_t function, uint32_t value);                           // WM
KELVOR_API int list_wiegand_mappings(uint32_t* count, uint32_t* dataSize);                       // WL
KELVOR_API int clear_wiegand_mappings();                                                         // WC
KELVOR_API int set_card_mapping(uint32_t function, uint32_t value);                              // WM, flag 1
KELVOR_API int list_card_mappings(uint32_t* count, uint32_t* dataSize);                          // WL, flag 1
KELVOR_API int clear_card_mappings();                                                            // WC, flag 1
// `data` holds `length` bytes of format data (null when length is 0).
KELVOR_API int write_wiegand_format(uint16_t pulseWidth, uint16_t pulseInterval, uint8_t format,
                                    uint32_t length,
                                    const uint8_t* data); // WWX
// The format data (dataSize bytes) follow the answer; the caller receives them.
KELVOR_API int read_wiegand_format(WiegandFormat* out);                                          // WRX
KELVOR_API int read_wiegand_input(uint32_t statusHandling, uint8_t latched, WiegandString* out); // WGX
KELVOR_API int set_wiegand_output_string(const WiegandString& string);                           // WSX
KELVOR_API int set_field_default(uint32_t index, uint32_t value, uint8_t clear);                 // WFW
KELVOR_API int get_field_default(uint32_t index, uint32_t* value);                               // WFR
KELVOR_API int set_wiegand_io(const WiegandIo& io);                                              // WPW
KELVOR_API int get_wiegand_io(WiegandIo* out);                                                   // WPR

// ------------------------------------------------------------------ smart card

// The header of the card data that CR receives (20 bytes, little-endian).
inline constexpr size_t CARD_HEADER_SIZE = packet::record::CARD_HEADER_SIZE;
struct CardHeader {
    uint32_t csn = 0;
    WiegandString wiegand; // word1: bytes 8-11, word2: bytes 4-7
    uint8_t version = 0;
    uint8_t templates = 0;
    struct Slot {
        bool duress = false;
        uint16_t size = 0;
    } slot[2];
};
// False when fewer than CARD_HEADER_SIZE bytes are given.
KELVOR_API bool card_header_of(std::span<const uint8_t> data, CardHeader* out);

// The card layout record (7 bytes): where on the card the templates lie.
inline constexpr size_t CARD_LAYOUT_SIZE = packet::record::CARD_LAYOUT_SIZE;
struct CardLayout {
    uint16_t templateSize = 0;
    uint8_t cisBlock = 0;
    uint8_t template1Start = 0;
    uint8_t template1Blocks = 0;
    uint8_t template2Start = 0;
    uint8_t template2Blocks = 0;
};
KELVOR_API std::array<uint8_t, CARD_LAYOUT_SIZE> card_layout_bytes(const CardLayout& layout);
KELVOR_API CardLayout card_layout_of(std::span<const uint8_t, CARD_LAYOUT_SIZE> bytes);

// The key block of CKW: key 1, its 16-bit byte sum, key 2, its sum. Key types
// 1 and 2 send all 16 bytes, any other only key 1 and its sum.
inline constexpr size_t CARD_KEY_SIZE = packet::record::CARD_KEY_SIZE;
KELVOR_API std::array<uint8_t, 16> card_key_block(const uint8_t* key1, const uint8_t* key2);
inline uint32_t card_key_block_length(uint8_t keyType) {
    return keyType == 1 || keyType == 2 ? 16 : 8;
}
// Key option bits of CKR.
inline constexpr uint32_t CARD_KEY_SECONDARY = 0x01, CARD_KEY_AUTO_UPDATE = 0x02;

// CR: the card data (length bytes) follow the answer; the caller receives them.
KELVOR_API int read_card_templates(uint8_t option, uint32_t* length); // CR
KELVOR_API int write_card_templates(uint32_t index, uint32_t length, uint8_t option,
                                    const uint8_t* data);   // CW
KELVOR_API int format_card(uint8_t mode);                   // CF
KELVOR_API int set_card_input_function(uint8_t function);   // CC
KELVOR_API int get_card_input_function(uint32_t* function); // CG
KELVOR_API int write_card_key(const uint8_t* key1, const uint8_t* key2, uint8_t keyType,
                              uint8_t option);              // CKW
KELVOR_API int read_card_key_option(uint32_t* option);      // CKR
KELVOR_API int read_card_layout(CardLayout* out);           // CLR
KELVOR_API int write_card_layout(const CardLayout& layout); // CLW

// ------------------------------------------------- event log, clock, user memory
// A log record: event, source, three date bytes, three time bytes, a 32-bit
// little-endian value and four bytes of text (not terminated within the record).
inline constexpr size_t LOG_RECORD_SIZE = packet::record::LOG_RECORD_SIZE;

KELVOR_API int get_log_count(uint32_t* used, uint32_t* total); // LN
// Receives the records into `buffer`, which holds `count` records; more
// records announced than it holds are refused before any is read.
KELVOR_API int read_log(std::span<uint8_t> buffer, uint32_t start, uint32_t count, uint32_t* records); // LR
KELVOR_API int delete_log(uint32_t argument, uint32_t* deleted);                                       // LD
// `seconds` since 1970 in the host's time zone; 0 initialises the module's clock.
KELVOR_API int set_time(int64_t seconds); // TW
// Hands back the module's time, or -1 when it does not make a valid date.
KELVOR_API int get_time(int64_t* seconds);                                               // TR
KELVOR_API int get_user_memory_length(uint32_t* length);                                 // ML
KELVOR_API int write_user_memory(const uint8_t* data, uint32_t offset, uint32_t length); // MW
// Hands back the length of the data block that the caller then receives.
KELVOR_API int read_user_memory(uint32_t offset, uint32_t length, uint32_t* dataLength); // MR

// The module's clock words: date = day << 16 | month << 8 | (year - 2000),
// time = second << 16 | minute << 8 | hour.
inline constexpr int CLOCK_YEAR_MIN = 2000;
inline constexpr int CLOCK_YEAR_MAX = 2255;
// Seconds since 1970 of the local date and time the words give, out-of-range
// fields normalised (month 13 is January of the next year, 31 April is 1 May)
// and daylight saving decided for that date; -1 when the result falls outside
// the years the clock can hold.
KELVOR_API int64_t clock_seconds(uint32_t date, uint32_t time);
// The clock words of a local time; false outside the years the clock can hold.
KELVOR_API bool clock_words(int64_t seconds, uint32_t* date, uint32_t* time);
// The 24-character text form and its new line, e.g. "Tue May  1 08:12:30 2007\n".
struct ClockText {
    char text[32];
};
KELVOR_API ClockText clock_text(int64_t seconds);

// --------------------------------------------------- input, output and GPIO ports
// A GPIO record: four 16-bit little-endian words.
inline constexpr size_t GPIO_RECORD_SIZE = packet::record::GPIO_RECORD_SIZE;

KELVOR_API int write_out_port_config(uint16_t tDelay, uint8_t tCount, uint8_t event, uint16_t tHigh,
                                     uint16_t tLow,
                                     uint8_t port); // OW
KELVOR_API int read_out_port_config(uint8_t event, uint8_t port, uint16_t* tDelay, uint8_t* tCount,
                                    uint16_t* tHigh,
                                    uint16_t* tLow);               // OR
KELVOR_API int read_enabled_events(uint8_t port, uint32_t* count); // OL
// Receives and prints the event codes that OL announced, one byte each.
KELVOR_API int get_enabled_events(std::span<uint8_t> events);
KELVOR_API int set_output_port(uint8_t port, uint32_t action);                         // OS
KELVOR_API int write_in_port_config(uint32_t function, uint32_t value, uint8_t port);  // IW
KELVOR_API int read_in_port_config(uint8_t port, uint32_t* function, uint32_t* value); // IR
KELVOR_API int read_in_port_status(uint8_t port, uint32_t handling, uint32_t* status); // IG
KELVOR_API int read_gpio_config(uint16_t id, uint16_t* mode, uint32_t* count);         // GR
// Receives and prints the GPIO records that GR announced, GPIO_RECORD_SIZE bytes each.
KELVOR_API int list_gpio_records(uint16_t mode, std::span<uint8_t> records);
// `records` holds count records; they are sent after the packet, also none.
KELVOR_API int write_gpio_config(uint16_t id, uint16_t mode, uint32_t count, const uint8_t* records); // GW
KELVOR_API int disable_gpio();                                                                        // GC
KELVOR_API int reset_gpio();                                                                          // GD

// -------------------------------------------------------------- keyword table
// Categories of the keyword table.
inline constexpr int KW_COMMAND = 0x01;
inline constexpr int KW_STATUS = 0x02;
inline constexpr int KW_PARAMETER = 0x10;
inline constexpr int KW_BAUD = 0x11;
inline constexpr int KW_ENROLL_OPTION = 0x20;
inline constexpr int KW_GPIO_MODE = 0x30;
inline constexpr int KW_GPIO_INPUT_FUNCTION = 0x31;
inline constexpr int KW_GPIO_INPUT_ACTIVATION = 0x32;
inline constexpr int KW_GPIO_OUTPUT_EVENT = 0x33;
inline constexpr int KW_GPIO_OUTPUT_LEVEL = 0x34;
inline constexpr int KW_WIEGAND_FUNCTION = 0x40; // what the module does with a Wiegand input
inline constexpr int KW_WIEGAND_PORT = 0x41;     // 0 input, 1 output
inline constexpr int KW_WIEGAND_STATUS = 0x42;   // 0 clear after read, 1 remain
inline constexpr int KW_WIEGAND_FORMAT = 0x43;   // 1 26-bit standard, 2 pass through, 3 custom
inline constexpr int KW_INPUT_FUNCTION = 0x50;   // input function of a port or a Wiegand mapping
inline constexpr int KW_INPUT_PORT = 0x51;
inline constexpr int KW_INPUT_READ_MODE = 0x52;
inline constexpr int KW_INPUT_STATE = 0x53;
inline constexpr int KW_EVENT = 0x60;
inline constexpr int KW_OUTPUT_PORT = 0x61;
inline constexpr int KW_OUTPUT_STATE = 0x62;
inline constexpr int KW_EVENT_SOURCE = 0x63;
inline constexpr int KW_ADMIN_LEVEL = 0x65;
inline constexpr int KW_CARD_FUNCTION = 0x70; // card input function
inline constexpr int KW_AUTH_POLICY = 0x71;

// The table is constant: complete with its built-in rows before the program
// starts and never written, so that any thread may look names up at any time.
// keyword_name gives "Unknown" for a code without a row, keyword_code -1 for
// a name without one.
KELVOR_API const char* keyword_name(int category, int code);
KELVOR_API int keyword_code(int category, const char* name);
// Kept for programs that fill the table before their first lookup: the table
// is already complete, and a fill adds nothing.
KELVOR_API void keyword_fill();
KELVOR_API int keyword_count();

// ------------------------------------------------------------------- outcomes
// A named value of a command's outcome: nothing (null), an integer, a text, a
// truth value, a list of values, or an object of named values in the order
// they were recorded. Names are the library's own static texts.
struct KELVOR_API Value {
    enum class Kind : uint8_t { Null, Integer, Text, Boolean, List, Object };
    Kind kind = Kind::Null;
    int64_t integer = 0;            // Integer; Boolean: 1 true, 0 false
    std::string text;               // Text
    std::vector<Value> items;       // List: the items; Object: the members' values
    std::vector<const char*> names; // Object: the members' names, one per item

    Value() = default;
    explicit Value(Kind k) : kind(k) {}

    // The member of an object named `name`, nullptr when it has none.
    const Value* find(std::string_view name) const;
    // The member named `name`, added (null) at the end when there is none.
    Value& member(const char* name);
};

// What one command came to, for the program that ran it: its result code, the
// line that decided it, the named values of its answers (as the descriptions
// of the commands name and type them, packet::COMMANDS), the module's text
// lines that came while it ran and the bytes it took from the module for an
// output file (templates, an image record, a list).
struct Outcome {
    int result = 0;
    bool hasMessage = false;
    std::string message; // without prefix, indentation or line end
    Value values{Value::Kind::Object};
    std::vector<std::string> moduleText; // each without its carriage return
    std::vector<uint8_t> output;
    // The command received the data of its output (maybe none): an output
    // file gets `output` only then.
    bool outputTaken = false;
    // A line of the host's own about the command (a check of the host's that
    // refused it, or the data that did not come as announced), with its line
    // end; hostCheck tells which check it was (HostCheck). With hostRefused the
    // host refused the command itself: result is then RES_DATA_ERROR.
    std::string hostLine;
    int hostCheck = 0;
    bool hostRefused = false;
};

// The checks of the host's own that report in an outcome's hostLine.
enum HostCheck : int {
    HOST_CHECK_NONE = 0,
    HOST_CHECK_ANNOUNCED, // the module announced more than the host takes (KS, MR, OL, GR, WL, WRX, CR, LTX)
    HOST_CHECK_REQUESTED, // the request asks for more than the host takes (LR, an input beyond its most)
    HOST_CHECK_NOTHING,   // nothing to ask for (LTX: no template enrolled)
    HOST_CHECK_NOT_RECEIVED, // data announced did not come (RT: the next answer, MR: the data)
    HOST_CHECK_INVALID,      // a value the command cannot send (TW: no date)
    HOST_CHECK_RAW_SEND,     // raw packet mode: the packet could not be sent
    HOST_CHECK_RAW_DATA,     // raw packet mode: the data could not be sent
    HOST_CHECK_RAW_ANSWER,   // raw packet mode: no answer came
};

// One command to run: its code (or keyword), the module it goes to on a shared
// line, its parameters and flag, the bytes it sends (an image record, templates,
// a key, ... as its description's input role says; none when absent), the chunk
// size of chunked transfers and an observer of its transfers.
struct CommandRequest {
    uint8_t code = 0;
    const char* keyword = nullptr;                   // when given, names the command instead of `code`
    std::optional<uint16_t> moduleId = std::nullopt; // the module addressed from now on (network mode)
    uint32_t param1 = 0;
    uint32_t param2 = 0;
    uint8_t flag = 0;
    std::optional<std::span<const uint8_t>> input = std::nullopt;
    uint32_t chunkSize = 0x1000;
    TransferObserver progress = nullptr; // for this command instead of the program's observer
    void* progressContext = nullptr;
    // Named values and the message recorded (the values cost a little; a
    // program that reads only the result and the output may leave them out).
    bool values = true;
    // The module's text lines go to the outcome instead of standard output.
    bool keepText = true;
};

// Runs one command on the open connection and returns its outcome: what the
// command function of its family does, with the data it announces received
// into `output` within its description's limits. A code without a command of
// its own goes out as a raw packet (packet::values::RAW). Nothing is recorded
// process-wide: the outcome is the caller's.
KELVOR_API Outcome run_command(const CommandRequest& request);
// The same into `out`, emptied first but keeping its room: for a caller that
// runs many commands one after another (a batch) and reuses one outcome.
KELVOR_API void run_command(const CommandRequest& request, Outcome& out);
// An outcome as a new one is, its containers' room kept.
KELVOR_API void outcome_empty(Outcome& out);

// ---------------------------------------------------------------------- lines
namespace line_state {
struct State;
}

// One line and everything the library keeps for it: its port and the port's
// kind, the serial line's time and settings, the link state and the module
// settings cache, the module's text lines, the transfer and answer
// observers, the trace mask and sink, and the interrupt. Every function of
// this header works on the calling thread's line: the innermost Line in
// scope (LineScope, Line::call, and each method below), or else the process's
// default Line, so that a program of one line never names one. A Line is used
// from one thread at a time; different Lines may be used at once from
// different threads. Movable, not copyable; destroying one closes its port.
class KELVOR_API Line {
public:
    Line();
    ~Line();
    Line(Line&& other) noexcept;
    Line& operator=(Line&& other) noexcept;
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // The process's default Line: the one the functions use outside any scope.
    static Line& process();

    // module_open, module_open_broadcast, module_open_line, module_select
    // and module_close on this line.
    int open(const char* portName, int baudCode, int hexText, int network, int moduleId, int readTimeout);
    int open_broadcast(const char* portName, int baudCode, int hexText, int moduleId, int readTimeout);
    int open_line(const char* portName, int baudCode, int hexText, int readTimeout);
    int select(int moduleId);
    int close();
    // run_command on this line.
    Outcome run(const CommandRequest& request);
    void run(const CommandRequest& request, Outcome& out);

    // Any other function of the library on this line: `f` runs with the Line
    // in scope on the calling thread (Line::call([&] { return serial_write(b, n); })).
    template <class F> decltype(auto) call(F&& f);

    // serial_interrupt on this line, from any thread: the read in progress
    // ends as its time-out would, and so every read until clear_interrupt()
    // or the next opening.
    void interrupt();
    bool interrupted() const;
    void clear_interrupt();

    // The trace of this line: its mask and where its lines go (see trace_to).
    void trace_enable(uint32_t bits);
    void trace_disable(uint32_t bits);
    uint32_t trace_mask();
    void trace_to(TraceSink sink, void* context = nullptr);
    void transfer_observer(TransferObserver observer, void* context = nullptr);
    void answer_observer(AnswerObserver observer, void* context = nullptr);

    // What the line holds now (copies): open or not, the rate the port has
    // (0 when closed), its read time-out (-1 before any), the link state.
    bool is_open();
    int baud_rate();
    int read_timeout();
    LinkState link_state();
    ModuleSettings module_settings();
    // The settings cache set, as a program that keeps each module's settings
    // of a shared line puts back those of the module it addresses.
    void set_module_settings(const ModuleSettings& settings);

    line_state::State& state();

private:
    explicit Line(line_state::State* state) : state_(state) {}
    line_state::State* state_;
};

// While one lives, `line` is the calling thread's line; the one before is
// back when it goes. Scopes nest.
class KELVOR_API LineScope {
public:
    explicit LineScope(Line& line);
    ~LineScope();
    LineScope(const LineScope&) = delete;
    LineScope& operator=(const LineScope&) = delete;

private:
    line_state::State* previous_;
};

template <class F> decltype(auto) Line::call(F&& f) {
    const LineScope scope(*this);
    return static_cast<F&&>(f)();
}

} // namespace kelvor
