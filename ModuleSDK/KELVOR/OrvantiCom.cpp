// The tool's front end: process entry, options, kelvor.cfg, run flow, the
// dispatcher with its command cases, raw packet mode, broadcast raw mode, the
// response monitor, batch files and directory mode.
#include "OrvantiCom.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <sstream>

#include <unistd.h>

#include "Bmp.h"
#include "Commands.h"
#include "LongOptions.h"
#include "trace/Progress.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::ORVANTI_COM;
} // namespace

using namespace kelvor;

ImageRecord& image_record() {
    static ImageRecord instance;
    return instance;
}

// ------------------------------------------------------------------ numbers

namespace {

int digit_value(char c, int base) {
    int v;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    else
        return -1;
    return v < base ? v : -1;
}

// The standard unsigned 32-bit conversion: white space, one sign, digits of
// the base; a value beyond 32 bits reads 0xFFFFFFFF.
uint32_t convert(const char* s, int base) {
    while (std::isspace(static_cast<unsigned char>(*s))) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    if (base == 16 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && digit_value(s[2], 16) >= 0) s += 2;
    uint64_t value = 0;
    bool overflow = false;
    for (int d; (d = digit_value(*s, base)) >= 0; ++s) {
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (value > UINT32_MAX) {
            overflow = true;
            value = UINT32_MAX;
        }
    }
    if (overflow) return UINT32_MAX;
    uint32_t v = static_cast<uint32_t>(value);
    return negative ? static_cast<uint32_t>(0u - v) : v;
}

bool starts_with_hex_prefix(const std::string& w) {
    return w.size() >= 2 && w[0] == '0' && w[1] == 'x';
}

} // namespace

uint32_t parse_number(const std::string& word) {
    if (starts_with_hex_prefix(word)) return convert(word.c_str() + 2, 16);
    return convert(word.c_str(), 10);
}

uint8_t parse_command(const std::string& word) {
    uint32_t code = 0;
    if (starts_with_hex_prefix(word)) {
        code = convert(word.c_str() + 2, 16);
    } else if (!word.empty() && word[0] >= '1' && word[0] <= '9') {
        code = convert(word.c_str(), 10);
    } else if (!word.empty() && word.size() <= 3) {
        std::string upper = word;
        for (char& c : upper) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
        int found = keyword_code(KW_COMMAND, upper.c_str());
        code = found < 0 ? 0 : static_cast<uint32_t>(found);
    }
    return static_cast<uint8_t>(code);
}

int baud_code_of_rate(uint32_t rate) {
    return packet::baud_code_of(rate);
}

// --------------------------------------------------------------- settings

OrvantiCom::OrvantiCom(const std::vector<std::string>& args)
    : wordCount(static_cast<int>(args.size())), words(args) {
    read_settings();
}

namespace {

// Reads one "%d" field the way formatted input does: white space, a sign,
// decimal digits. False when no number stands there.
bool scan_int(const char*& p, int& out) {
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const char* start = p;
    if (*p == '+' || *p == '-') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) {
        p = start;
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(start, &end, 10);
    p = end;
    out = static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
    return true;
}

} // namespace

void OrvantiCom::read_settings() {
    File in(open_input_file(SETTINGS_FILE, settingsError));
    if (!in) {
        settingsLoaded = 0;
        return;
    }
    settingsLoaded = 1;
    // One short line: anything longer than a bound is no settings file of ours,
    // and is refused before it can take the run's time or memory.
    std::string text(SETTINGS_BYTES_MAX + 1, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), in.get()));
    if (text.size() > SETTINGS_BYTES_MAX) {
        ERR_LINE("Err: %s is longer than %d bytes; it is no settings file\n", SETTINGS_FILE,
                 static_cast<int>(SETTINGS_BYTES_MAX));
        refused = true;
        return;
    }
    const char* p = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const char* nameEnd = p;
    while (*nameEnd && !std::isspace(static_cast<unsigned char>(*nameEnd))) ++nameEnd;
    if (nameEnd == p) return;
    if (static_cast<size_t>(nameEnd - p) > NAME_MAX_CHARS) {
        ERR_LINE("Err: The port name in %s is longer than %d characters\n", SETTINGS_FILE,
                 static_cast<int>(NAME_MAX_CHARS));
        refused = true;
        return;
    }
    portName.assign(p, nameEnd);
    p = nameEnd;
    int values[7];
    int* targets[7] = {&baudCode, &networkMode, nullptr, &hexText, &readTimeout, &traceLevel, &chunkSize};
    for (int i = 0; i < 7; ++i) {
        if (!scan_int(p, values[i])) break;
        if (targets[i])
            *targets[i] = values[i];
        else
            moduleId = static_cast<uint16_t>(values[i]);
    }
}

bool OrvantiCom::write_settings() const {
    // Written beside the old file and renamed over it, so that an interrupted
    // run never leaves a half-written settings file.
    char text[NAME_MAX_CHARS + 128];
    const int n = std::snprintf(text, sizeof text, "%s %d %d %d %d %d %d %d", portName.c_str(), baudCode,
                                networkMode, moduleId, hexText, readTimeout, traceLevel, chunkSize);
    return n >= 0 && static_cast<size_t>(n) < sizeof text &&
           write_file_replacing(SETTINGS_FILE, std::string(text, static_cast<size_t>(n)));
}

// ---------------------------------------------------------------- options

std::string OrvantiCom::next_value(size_t& i) {
    return words[++i];
}

void OrvantiCom::parse_options() {
    if (wordCount == 0) {
        ERR_LINE("Err: No argument\n");
        return;
    }
    const size_t last = words.size() - 1;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w.empty() || w[0] != '-') continue;
        const char letter = w.size() > 1 ? w[1] : '\0';
        const char third = w.size() > 2 ? w[2] : '\0';
        // A value option given last, without its value, is ignored.
        if (i == last && letter != 'B' && letter != 'w' && letter != 'x') break;
        switch (letter) {
        case 'B': broadcast = 1; break;
        case 'w': monitor = 1; break;
        case 'x':
            if (third >= '0' && third <= '4') {
                traceLevel = third - '0';
                settingsChanged = 1;
            }
            break;
        case 'p':
            if (third == '1')
                param1 = parse_number(next_value(i));
            else if (third == '2')
                param2 = parse_number(next_value(i));
            break;
        case 'F': {
            std::string name = next_value(i);
            if (name.size() > NAME_MAX_CHARS) {
                ERR_LINE("Err: Batch file name is longer than %d characters\n",
                         static_cast<int>(NAME_MAX_CHARS));
                refused = true;
                break;
            }
            batchMode = 1;
            batchFile = name;
            break;
        }
        case 'P': {
            std::string name = next_value(i);
            if (name.size() > NAME_MAX_CHARS) {
                ERR_LINE("Err: Port name is longer than %d characters\n", static_cast<int>(NAME_MAX_CHARS));
                refused = true;
                break;
            }
            portName = name;
            settingsChanged = 1;
            break;
        }
        case 'a':
            hexText = static_cast<int>(parse_number(next_value(i)));
            settingsChanged = 1;
            break;
        case 'b':
            baudCode = baud_code_of_rate(parse_number(next_value(i)));
            if (baudCode > 0) settingsChanged = 1;
            break;
        case 'c': command = parse_command(next_value(i)); break;
        case 'd': hookLevel = static_cast<int>(parse_number(next_value(i))); break;
        case 'f': flag = static_cast<uint8_t>(parse_number(next_value(i))); break;
        case 'i': {
            std::string path = next_value(i);
            if (path_is_directory(path)) {
                if (path.size() > DIRECTORY_MAX_CHARS) {
                    ERR_LINE("Err: Directory path is longer than %d characters\n",
                             static_cast<int>(DIRECTORY_MAX_CHARS));
                    refused = true;
                    break;
                }
                inputIsDirectory = 1;
                directory = path;
            } else {
                open_input(path);
            }
            break;
        }
        case 'm':
            moduleId = static_cast<uint16_t>(parse_number(next_value(i)));
            settingsChanged = 1;
            break;
        case 'n':
            networkMode = static_cast<int>(parse_number(next_value(i)));
            settingsChanged = 1;
            break;
        case 'o':
            outputPath = next_value(i);
            outputFile.reset(open_output_file(outputPath, outputError));
            break;
        case 's':
            chunkSize = static_cast<int>(parse_number(next_value(i)));
            settingsChanged = 1;
            break;
        case 't':
            // Beyond INT_MAX is out of range all the same; kept there rather than wrapped.
            readTimeout = static_cast<int>(std::min<uint32_t>(parse_number(next_value(i)), INT_MAX));
            settingsChanged = 1;
            break;
        default: break;
        }
    }
}

// --------------------------------------------------------------- run flow

int OrvantiCom::main(int argc, char** argv) {
    RunExtras extras;
    if (const auto status = long_options(argc, argv, extras)) {
        trace_flush();
        return *status;
    }
    if (argc <= extras.firstWord && !extras.work) {
        ERR_LINE("Err: No argument\n");
        trace_flush();
        return extras.exitCode ? EXIT_REFUSED : 1;
    }
    std::vector<std::string> args(argv + extras.firstWord, argv + argc);
    size_t bytes = 0;
    for (const auto& a : args) bytes += a.size() + 1;
    if (bytes > WORDS_BYTES) {
        ERR_LINE("Err: The arguments take more than %d bytes\n", static_cast<int>(WORDS_BYTES));
        trace_flush();
        return extras.exitCode ? EXIT_REFUSED : 1;
    }
    int worst = EXIT_REFUSED;
    try {
        OrvantiCom com(args);
        com.work = extras.work;
        com.workDirectory = extras.directory;
        com.run();
        worst = com.worstExit;
    } catch (const std::exception& e) {
        // Nothing a module or a file announces may end the run otherwise than
        // with an error line (memory that cannot be had, for example).
        ERR_LINE("Err: %s\n", e.what());
        module_close();
    }
    trace_flush();
    return extras.exitCode ? worst : 1;
}

void OrvantiCom::note_result(int result) {
    worstExit = std::max(worstExit, exit_class(result));
}

int OrvantiCom::run() {
    keyword_fill();
    settingsChanged = 0;
    // Backup and restore may run on the saved settings alone, without a word.
    if (!work || wordCount > 0) parse_options();
    if (refused) {
        note_result(FRONT_REFUSED);
        return 1;
    }
    if (command == 0 && !batchMode && !monitor && !work) {
        ERR_LINE("Err: No command\n");
        note_result(FRONT_REFUSED);
        return 1;
    }
    if (baudCode < 0) {
        ERR_LINE("Err: No baudrate is specified\n");
        if (settingsLoaded == 0 && settingsError != 0)
            trace_print("       %s: %s (a first run gives -P and -b)\n", SETTINGS_FILE,
                        file_error_text(settingsError).c_str());
        note_result(FRONT_REFUSED);
        return 1;
    }
    if (portName.empty()) {
        ERR_LINE("Err: No serial device is specified\n");
        note_result(FRONT_REFUSED);
        return 1;
    }
    if (readTimeout < READ_TIMEOUT_MIN || readTimeout > READ_TIMEOUT_MAX) {
        // Zero would make every read return at once, and on some systems mean no
        // time-out at all; refused before anything is saved or sent.
        ERR_LINE("Err: The read time-out -t %d ms is outside %d to %d ms\n", readTimeout, READ_TIMEOUT_MIN,
                 READ_TIMEOUT_MAX);
        note_result(FRONT_REFUSED);
        return 1;
    }
    if ((settingsLoaded == 0 || settingsChanged == 1) && !write_settings()) {
        ERR_LINE("Err: Cannot save the settings to %s\n", SETTINGS_FILE);
    }
    // hookLevel > 0 would run the pre-connection hook, which has nothing to do.
    int rc = broadcast ? module_open_broadcast(portName.c_str(), baudCode, hexText, moduleId, readTimeout)
                       : module_open(portName.c_str(), baudCode, hexText, networkMode, moduleId, readTimeout);
    if (rc != 0) {
        ERR_LINE("Err: Cannot initialize sdk\n");
        print_port_diagnosis(*this, rc);
        note_result(ERR_PORT_OPEN);
        module_close(); // gives the port back with its own line settings
        return 1;
    }
    progress_line_rate(baud_rate_of_code(baudCode), hexText);
    static constexpr uint32_t LEVEL_BITS[] = {0, 0x01, 0x03, 0x07, 0x0F};
    if (traceLevel >= 0 && traceLevel <= 4) trace_enable(LEVEL_BITS[traceLevel]);
    if (work) {
        note_result(work(*this));
    } else if (batchMode) {
        batch_mode();
    } else if (inputIsDirectory && is_directory_command()) {
        directory_mode();
    } else {
        if (command != 0) {
            if (!broadcast) {
                dispatch();
            } else if (output_creatable()) {
                broadcast_raw_mode();
                note_result(lastResult);
            }
        }
        if (monitor) response_monitor();
    }
    module_close();
    return 1;
}

// ------------------------------------------------------------- input data

bool OrvantiCom::read_input(std::vector<uint8_t>& buffer, size_t want) {
    buffer.assign(want, 0);
    return std::fread(buffer.data(), 1, want, inputFile.get()) == want;
}

bool OrvantiCom::load_bmp_input() {
    if (!inputFile) {
        ERR_NO_INPUT(*this, "Err: No image file is defined\n");
        return false;
    }
    ImageRecord& rec = image_record();
    int width = 0, height = 0;
    if (bmp_read(inputFile.get(), &width, &height, rec.pixels(), IMAGE_PIXELS_MAX) == 0) {
        ERR_LINE("Err: Cannot open the bmp file\n");
        return false;
    }
    rec.set_word(0, static_cast<uint32_t>(width));
    rec.set_word(1, static_cast<uint32_t>(height));
    rec.set_word(2, 0);
    rec.set_word(3, 0);
    rec.set_word(4, 0);
    rec.set_word(5, static_cast<uint32_t>(width) * static_cast<uint32_t>(height));
    rec.set_word(6, 0);
    return true;
}

bool OrvantiCom::chunk_size_usable() {
    if (chunkSize > 0) return true;
    ERR_LINE("Err: Chunk size %#x cannot carry data\n", static_cast<unsigned>(chunkSize));
    return false;
}

bool OrvantiCom::write_output(const uint8_t* data, size_t n) {
    if (!outputFile) return true;
    std::FILE* f = outputFile.get();
    errno = 0;
    const bool ok = std::fwrite(data, 1, n, f) == n && std::fflush(f) == 0;
    if (ok) return true;
    const int error = errno;
    ERR_LINE("Err: Cannot write %s: %s\n", outputPath.c_str(), std::strerror(error ? error : EIO));
    // Nothing half-written stays behind.
    std::clearerr(f);
    if (ftruncate(fileno(f), 0) == 0) std::rewind(f);
    return false;
}

void OrvantiCom::open_input(const std::string& path) {
    inputPath = path;
    inputFile.reset(open_input_file(path, inputError));
    inputSize = inputFile ? file_size(inputFile.get()) : 0;
    if (inputFile && static_cast<uint64_t>(inputSize) > UINT32_MAX) {
        // No size field of a packet can announce it: refused before a byte is read.
        inputFile.reset();
        inputError = FILE_TOO_LARGE;
    }
}

void OrvantiCom::explain_input() const {
    if (inputIsDirectory)
        trace_print("       %s is a directory: directory mode runs EI, EIX, ET, II, IIX and IT\n",
                    directory.c_str());
    else if (!inputPath.empty())
        print_file_reason(inputPath, inputError);
}

bool OrvantiCom::output_creatable() {
    if (outputPath.empty() || outputFile) return true;
    ERR_LINE("Err: Cannot create %s: %s\n", outputPath.c_str(), file_error_text(outputError).c_str());
    return false;
}

bool OrvantiCom::data_size_usable(uint64_t n) {
    if (n <= DATA_MAX) return true;
    ERR_LINE("Err: Data of %#llx bytes exceeds the limit of %#x bytes\n", static_cast<unsigned long long>(n),
             DATA_MAX);
    return false;
}

// ------------------------------------------------------------- dispatcher

namespace {

// The dispatcher's one table: every family's rows, searched by command code.
// Codes without a row go to raw packet mode.
const std::array<const CommandCase*, 256>& command_table() {
    static const std::array<const CommandCase*, 256> table = [] {
        std::array<const CommandCase*, 256> t{};
        const std::span<const CommandCase> families[] = {
            system_cases(),   image_cases(), enroll_cases(),    verify_cases(),
            identify_cases(), firmware_cases(), admin_cases(), database_cases(),
            event_log_cases(), port_cases(),
            enroll_by_wiegand_card_cases(), wiegand_cases(), card_cases(),
        };
        for (const auto& family : families) {
            for (const CommandCase& row : family) {
                if (!t[row.code]) t[row.code] = &row;
            }
        }
        return t;
    }();
    return table;
}

} // namespace

bool has_command_case(uint8_t code) { return command_table()[code] != nullptr; }

void OrvantiCom::dispatch() {
    if (!output_creatable())
        lastResult = FRONT_REFUSED;
    else if (const CommandCase* found = command_table()[command])
        lastResult = found->run(*this);
    else
        raw_packet_mode();
    note_result(lastResult);
    inputFile.reset();
    outputFile.reset();
}

// ------------------------------------------------------- raw packet modes

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
        std::fread(buffer.data(), 1, param2, inputFile.get());
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
    trace(TRACE_DATA, "Data: ");
    // Whatever else the module sends, 13 bytes at a time until it falls silent
    // or the buffer is full.
    size_t drained = 0;
    constexpr size_t STEP = packet::COMMAND_LENGTH;
    buffer.clear();
    while (drained + STEP <= RAW_BUFFER) {
        buffer.resize(drained + STEP);
        int r = link_read(buffer.data() + drained, static_cast<int>(STEP), true);
        if (r > 0) drained += static_cast<size_t>(r);
        if (r != static_cast<int>(STEP)) break;
    }
    size_t lineStart = 0;
    for (size_t i = 0; i < drained; ++i) {
        if (buffer[i] != packet::END_CODE) continue;
        trace_hex(TRACE_DATA, buffer.data() + lineStart, i - lineStart);
        trace_more(TRACE_DATA, "\nData: ");
        lineStart = i + 1;
    }
    trace_hex(TRACE_DATA, buffer.data() + lineStart, drained - lineStart);
    trace_more(TRACE_DATA, "\n");
}

void OrvantiCom::broadcast_raw_mode() {
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
    trace(TRACE_CALL, "Waiting Responses\nPacket: ");
    serial_set_read_timeout(60000);
    // Runs until the link fails or the operator stops the process; a quiet
    // minute is no reason to stop.
    for (;;) {
        uint8_t byte = 0;
        int r = link_read(&byte, 1, true);
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

// ------------------------------------------------- batch and directory mode

// The commands that take a directory for -i, each with what it does to one file of it.
OrvantiCom::FileHandler OrvantiCom::directory_handler(uint8_t code) {
    namespace cmd = packet::cmd;
    static constexpr std::pair<uint8_t, FileHandler> HANDLERS[] = {
        {cmd::EI, &OrvantiCom::enroll_image_file},           {cmd::EIX, &OrvantiCom::enroll_image_file_chunked},
        {cmd::ET, &OrvantiCom::enroll_template_file},        {cmd::II, &OrvantiCom::identify_image_file},
        {cmd::IIX, &OrvantiCom::identify_image_file_chunked}, {cmd::IT, &OrvantiCom::identify_template_file},
    };
    for (const auto& [c, h] : HANDLERS)
        if (c == code) return h;
    return nullptr;
}

bool OrvantiCom::is_directory_command() const {
    return directory_handler(command) != nullptr;
}

void OrvantiCom::reset_line() {
    wordCount = 0;
    words.clear();
    command = 0;
    hookLevel = -1;
    param1 = 0;
    param2 = 0;
    flag = 0;
    inputIsDirectory = 0;
    inputFile.reset();
    inputPath.clear();
    inputError = 0;
    inputSize = 0;
    outputFile.reset();
    outputPath.clear();
    outputError = 0;
    batchMode = 0;
    refused = false;
}

void OrvantiCom::batch_mode() {
    // A directory opens for reading here but yields no lines: it is no batch file.
    int error = 0;
    File batch(open_input_file(batchFile, error));
    if (!batch) {
        ERR_LINE("Err: Cannot open batch file: %s\n", batchFile.c_str());
        print_file_reason(batchFile, error);
        note_result(FRONT_REFUSED);
        return;
    }
    char line[WORDS_BYTES];
    for (int number = 1; std::fgets(line, sizeof line, batch.get()); ++number) {
        // A port that is gone serves no line after it; a module that merely
        // does not answer still lets the batch go on.
        if (serial_port_lost()) {
            ERR_LINE("Err: The serial port is gone; the batch file %s ends before line %d\n", batchFile.c_str(),
                     number);
            note_result(ERR_READ);
            return;
        }
        if (char* lf = std::strchr(line, '\n')) {
            *lf = '\0';
        } else if (std::strlen(line) == sizeof line - 1) {
            // A line of exactly 511 characters: its line feed is not a line of its own.
            const int next = std::fgetc(batch.get());
            if (next != '\n' && next != EOF) std::ungetc(next, batch.get());
        }
        reset_line();
        std::istringstream split(line);
        for (std::string word; std::getline(split, word, ' ');) {
            if (!word.empty()) words.push_back(word);
        }
        wordCount = static_cast<int>(words.size());
        parse_options();
        if (refused) {
            note_result(FRONT_REFUSED);
            continue;
        }
        if (inputIsDirectory && is_directory_command())
            directory_mode();
        else
            dispatch();
    }
}

void OrvantiCom::directory_mode() {
    if (!output_creatable()) {
        lastResult = FRONT_REFUSED;
        outputFile.reset();
        return;
    }
    std::vector<std::string> names;
    if (!list_directory(directory, names)) {
        ERR_LINE("Err: Cannot find the directory: %s\n", directory.c_str());
        note_result(FRONT_REFUSED);
        return;
    }
    const FileHandler handler = directory_handler(command);
    if (!handler) return;
    for (const std::string& name : names) {
        const std::string path = directory + "/" + name;
        if (path.size() > PATH_MAX_CHARS) {
            ERR_LINE("Err: Path is longer than %d characters: %s\n", static_cast<int>(PATH_MAX_CHARS),
                     path.c_str());
            continue;
        }
        open_input(path);
        if (!inputFile) {
            ERR_LINE("Err: Cannot open file: %s\n", path.c_str());
            print_file_reason(path, inputError);
            note_result(FRONT_REFUSED);
            continue;
        }
        lastResult = (this->*handler)();
        note_result(lastResult);
        inputFile.reset();
    }
}
