// A command with its input and output: the steps the cases share.
#include "CommandFiles.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "Platform.h"
#include "image/Bmp.h"
#include "port/System.h"
#include "protocol/Bmp.h"
#include "trace/Outcome.h"

// Reporting sites of this file: the numbers of the sites of the command line's
// input file steps, which scripts and the manual know, given explicitly.

using namespace kelvor;

namespace tools {

size_t CommandInput::read(uint8_t* into, size_t n) {
    if (n == 0) return 0;
    if (file) return std::fread(into, 1, n, file);
    if (!bytes) return 0;
    const size_t left = bytes->size() - std::min(at_, bytes->size());
    const size_t got = std::min(n, left);
    if (got > 0) std::memcpy(into, bytes->data() + at_, got);
    at_ += got;
    return got;
}

bool CommandCall::read_input(std::vector<uint8_t>& buffer, size_t want) {
    buffer.assign(want, 0);
    return input.read(buffer.data(), want) == want;
}

ImageRecord& CommandCall::image_record() {
    if (!image_) image_ = std::make_unique<ImageRecord>();
    return *image_;
}

namespace {

// A BMP given as bytes: the same checks as a file's, on what is there.
int bmp_from_bytes(std::span<const uint8_t> bytes, int* width, int* height, uint8_t* gray, size_t capacity) {
    const bmp::FileParts parts = bmp::parts_of(bytes, capacity);
    if (parts.layout.refusal != bmp::Refusal::None) return 0;
    bmp::decode(parts.layout, parts.palette, parts.pixels, gray);
    *width = parts.layout.width;
    *height = static_cast<int>(parts.layout.rows);
    return 1;
}

} // namespace

bool CommandCall::load_bmp_input() {
    if (!input.present()) {
        err_line(err_site::FILE_NO_IMAGE_FILE, "Err: No image file is defined\n");
        explain_input();
        return false;
    }
    ImageRecord& rec = image_record();
    int width = 0, height = 0;
    const int read = input.file
                         ? bmp_read(input.file, &width, &height, rec.pixels(), IMAGE_PIXELS_MAX)
                         : bmp_from_bytes(*input.bytes, &width, &height, rec.pixels(), IMAGE_PIXELS_MAX);
    if (read == 0) {
        err_line(err_site::FILE_CANNOT_OPEN_BMP, "Err: Cannot open the bmp file\n");
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

bool chunk_size_usable(int chunkSize) {
    if (chunkSize > 0) return true;
    err_line(err_site::FILE_CHUNK_CANNOT_CARRY_DATA, "Err: Chunk size %#x cannot carry data\n",
             static_cast<unsigned>(chunkSize));
    return false;
}

bool CommandCall::chunk_size_usable() {
    return tools::chunk_size_usable(chunkSize);
}

bool write_file(std::FILE* f, const std::string& path, const uint8_t* data, size_t n) {
    errno = 0;
    // An empty list (UL or LT of no user) writes nothing: no pointer is passed on.
    if ((n == 0 || std::fwrite(data, 1, n, f) == n) && std::fflush(f) == 0) return true;
    const int error = errno;
    err_line(err_site::FILE_CANNOT_WRITE, "Err: Cannot write %s: %s\n", path.c_str(),
             std::strerror(error ? error : EIO));
    // Nothing half-written stays behind.
    std::clearerr(f);
    if (truncate_file(f)) std::rewind(f);
    return false;
}

bool CommandCall::write_output(const uint8_t* data, size_t n) {
    if (!output.present()) return true;
    if (output.file) {
        if (!write_file(output.file, output.path, data, n)) return false;
    } else if (n > 0) {
        output.bytes.insert(output.bytes.end(), data, data + n);
    }
    if (recordFiles) {
        const std::span<const uint8_t> b =
            n > 0 ? std::span<const uint8_t>(data, n) : std::span<const uint8_t>();
        auto f = std::find_if(written.begin(), written.end(),
                              [&](const json_output::FileWritten& w) { return w.path == output.path; });
        if (f == written.end()) {
            written.push_back({output.path, {}});
            f = written.end() - 1;
        }
        f->bytes.insert(f->bytes.end(), b.begin(), b.end());
    }
    return true;
}

void explain_input(bool isDirectory, const std::string& directory, const std::string& path, int error) {
    if (isDirectory)
        trace_print("       %s is a directory: directory mode runs EI, EIX, ET, II, IIX and IT\n",
                    directory.c_str());
    else if (!path.empty())
        print_file_reason(path, error);
}

void CommandCall::explain_input() const {
    tools::explain_input(input.isDirectory, input.directory, input.path, input.error);
}

bool output_creatable(const std::string& path, bool created, int error) {
    if (path.empty() || created) return true;
    err_line(err_site::FILE_CANNOT_CREATE, "Err: Cannot create %s: %s\n", path.c_str(),
             file_error_text(error).c_str());
    return false;
}

bool CommandCall::output_creatable() {
    return tools::output_creatable(output.path, output.present(), output.error);
}

bool data_size_usable(uint64_t n) {
    if (n <= DATA_MAX) return true;
    err_line(err_site::FILE_DATA_TOO_LARGE, "Err: Data of %#llx bytes exceeds the limit of %#x bytes\n",
             static_cast<unsigned long long>(n), DATA_MAX);
    return false;
}

bool CommandCall::data_size_usable(uint64_t n) {
    return tools::data_size_usable(n);
}

CaseInput::~CaseInput() {
    if (secret) port::secure_wipe(bytes.data(), bytes.size());
}

void CaseInput::take(std::vector<uint8_t> data, bool isSecret) {
    bytes = std::move(data);
    given = true;
    secret = secret || isSecret;
}

} // namespace tools
