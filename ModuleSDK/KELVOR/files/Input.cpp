// The files of a command: the -i input (regular files only, read whole or
// as BMP), the -o output, and the checks of sizes and chunk sizes.
#include "ImageRecord.h"
#include "OrvantiCom.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "Commands.h"
#include "Json.h"
#include "image/Bmp.h"
#include "port/System.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::INPUT;
} // namespace

using namespace kelvor;

// The one image record of the process.
ImageRecord& image_record() {
    static ImageRecord instance;
    return instance;
}

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
        ERR_LINE_AT(39, "Err: Cannot open the bmp file\n");
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
    // An empty list (UL or LT of no user) writes nothing: no pointer is passed on.
    const bool ok = (n == 0 || std::fwrite(data, 1, n, f) == n) && std::fflush(f) == 0;
    if (ok) {
        json_output::file_written(outputPath, data, n);
        return true;
    }
    const int error = errno;
    ERR_LINE("Err: Cannot write %s: %s\n", outputPath.c_str(), std::strerror(error ? error : EIO));
    // Nothing half-written stays behind.
    std::clearerr(f);
    if (truncate_file(f)) std::rewind(f);
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

CaseInput::~CaseInput() {
    if (secret) kelvor::port::secure_wipe(bytes.data(), bytes.size());
}

void CaseInput::take(std::vector<uint8_t> data, bool isSecret) {
    bytes = std::move(data);
    given = true;
    secret = secret || isSecret;
}
