// One command with its input and output bytes, as every front end runs it:
// the command line with its -i and -o files, the service with the bytes a
// client sent and the bytes it hands back. A command's case (one file per
// family beside this one) reads its input (sizes, BMP decoding, passwords and
// keys), the library runs the command (run_command), and the case writes its
// output (BMP encoding, templates, lists as they came), with the error lines
// of those steps.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ErrorLines.h"
#include "ImageRecord.h"
#include "JsonWriter.h"
#include "ModuleSDK.h"

namespace tools {

// The most bytes of templates a command takes from its input.
inline constexpr uint32_t DATA_MAX = kelvor::packet::limit::TEMPLATE_DATA_BYTES;
// What a raw packet takes as data.
inline constexpr uint32_t RAW_BUFFER = kelvor::packet::limit::RAW_BYTES;

// The input of a command: none, a file the program opened (read from where it
// stands, not owned), or bytes in memory (a client's file).
struct CommandInput {
    std::FILE* file = nullptr;
    std::optional<std::span<const uint8_t>> bytes;
    int64_t size = 0;      // the file's size, or the bytes'
    std::string path;      // as the operator named it, empty when none was named
    int error = 0;         // why it could not be had (errno or a code of open_input_file)
    bool isDirectory = false; // it named a directory (directory mode's commands run once a file)
    std::string directory;
    int descriptor = 0; // the file's descriptor as the call line of a raw packet names it

    bool present() const { return file != nullptr || bytes.has_value(); }
    // At most `n` bytes from where the input stands into `into`: how many came.
    size_t read(uint8_t* into, size_t n);

private:
    size_t at_ = 0; // how far the bytes are read
};

// The output of a command: none, a file the program created (not owned), or
// bytes collected for the program (a client's file).
struct CommandOutput {
    std::FILE* file = nullptr;
    bool collect = false;
    std::vector<uint8_t> bytes; // what was written, when collected
    std::string path;
    int error = 0; // why the file could not be created

    bool present() const { return file != nullptr || collect; }
};

struct CommandCall {
    uint8_t command = 0;
    uint32_t param1 = 0;
    uint32_t param2 = 0;
    uint8_t flag = 0;
    int chunkSize = 0x1000;
    CommandInput input;
    CommandOutput output;
    // The files the command wrote and what went into each, for its object;
    // kept only with recordFiles.
    bool recordFiles = false;
    std::vector<json_output::FileWritten> written;

    // Steps the cases share, each with its error line when it fails.
    // Reads `want` bytes of the input into `buffer` (zero-filled first); false
    // when the input holds fewer.
    bool read_input(std::vector<uint8_t>& buffer, size_t want);
    // The BMP input as the image record; false with an error line.
    bool load_bmp_input();
    bool chunk_size_usable();
    // Writes data to the output, when there is one; false with an error line.
    bool write_output(const uint8_t* data, size_t n);
    // False with an error line when the output was named but not created.
    bool output_creatable();
    bool data_size_usable(uint64_t n);
    // The reason line after a case's "No ... file" error line.
    void explain_input() const;
    // The image record of this command (made on first use).
    ImageRecord& image_record();

private:
    std::unique_ptr<ImageRecord> image_;
};

// The input of one command as its case read it.
struct CaseInput {
    std::vector<uint8_t> bytes;
    int refusal = FRONT_REFUSED; // the result of a command that its case refuses
    bool given = false;          // sent: the request has an input, maybe empty
    bool secret = false;         // wiped when the command is done (passwords, keys)
    CaseInput() = default;
    CaseInput(const CaseInput&) = delete;
    CaseInput& operator=(const CaseInput&) = delete;
    ~CaseInput();
    // The bytes, as the request's input.
    void take(std::vector<uint8_t> data, bool isSecret = false);
};

struct CommandCase {
    uint8_t code;
    // Before the command: the input and the host's own checks. False when the
    // command is refused (its error line printed, nothing sent): with
    // FRONT_REFUSED, or the result `refusal` is set to.
    bool (*prepare)(CommandCall& c, CaseInput& input) = nullptr;
    // After it: the output and what is printed; returns the command's result
    // (`result` as it came, or FRONT_REFUSED).
    int (*finish)(CommandCall& c, const kelvor::Outcome& outcome, int result) = nullptr;
};

// Runs the command of `call` on the calling thread's line: its case prepares
// the input, the library runs it, its case writes the output. The result
// comes back (0, a library result code or FRONT_REFUSED); `outcome` holds
// what the command found, the error lines of the host's included as its
// message (with `values`), and its module text lines (with `keepText`).
int run_with_files(CommandCall& call, kelvor::Outcome& outcome, bool values = true, bool keepText = true);

// Whether a command code has a command of the library's own (else it goes
// out as a raw packet).
bool has_command_case(uint8_t code);

// Steps the front ends share outside a command's case.
// Writes data to a file the program created; an error line naming the path
// and the reason, and the file left empty rather than partial, when it fails.
bool write_file(std::FILE* file, const std::string& path, const uint8_t* data, size_t n);
bool output_creatable(const std::string& path, bool created, int error);
bool data_size_usable(uint64_t n);
bool chunk_size_usable(int chunkSize);
void explain_input(bool isDirectory, const std::string& directory, const std::string& path, int error);

} // namespace tools
