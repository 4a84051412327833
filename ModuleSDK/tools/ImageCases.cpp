// Cases of image capture and encryption: the image of SI, RI, SIX and RIX as
// a BMP file, the key file of KW, the encrypted template of KS; and the BMP
// input of the commands that send an image.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "Cases.h"
#include "ImageRecord.h"
#include "image/Bmp.h"

using namespace kelvor;

bool image_input(CommandCall& c, CaseInput& input) {
    if (!c.load_bmp_input()) return false;
    const ImageRecord& rec = c.image_record();
    input.take(std::vector<uint8_t>(rec.bytes.begin(), rec.bytes.end()));
    return true;
}

bool chunked_image_input(CommandCall& c, CaseInput& input) {
    return image_input(c, input) && c.chunk_size_usable();
}

int image_output(CommandCall& c, const Outcome& o, int result) {
    if (result != 0 || !c.output.present() || o.output.size() < IMAGE_RECORD_SIZE) return result;
    ImageRecord& rec = c.image_record();
    std::copy_n(o.output.begin(), IMAGE_RECORD_SIZE, rec.bytes.begin());
    const uint64_t pixels = static_cast<uint64_t>(rec.width()) * rec.height();
    if (rec.width() == 0 || rec.height() == 0 || pixels > IMAGE_PIXELS_MAX) {
        err_line(err_site::IMAGE_DOES_NOT_FIT,
                 "Err: The image of %#x x %#x pixels does not fit the image record\n", rec.width(),
                 rec.height());
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> file;
    if (!bmp_encode(rec.pixels(), static_cast<int>(rec.width()), static_cast<int>(rec.height()), file)) {
        err_line(err_site::IMAGE_CANNOT_WRITE, "Err: Cannot write %s: %s\n", c.output.path.c_str(),
                 std::strerror(ENOMEM));
        return FRONT_REFUSED;
    }
    return c.write_output(file.data(), file.size()) ? 0 : FRONT_REFUSED;
}

namespace {

bool key_file(CommandCall& c, CaseInput& input) {
    if (!c.input.present()) {
        ERR_NO_INPUT(c, err_site::IMAGE_NO_KEY_FILE, "Err: No encryption key file is defined\n");
        return false;
    }
    constexpr uint32_t size = packet::describe("KW").files.inputBytes;
    std::vector<uint8_t> key;
    const bool whole = c.read_input(key, size);
    input.take(std::move(key), true);
    if (!whole) err_line(err_site::IMAGE_CANNOT_READ_KEY, "Err: Cannot read encryption key data %#x\n", size);
    return whole;
}

// Reported as got only once it is where the operator asked for it.
int encrypted_template(CommandCall& c, const Outcome& o, int result) {
    if (result != 0 || !o.outputTaken) return result;
    if (!c.write_output(o.output.data(), o.output.size())) return FRONT_REFUSED;
    err_line(err_site::IMAGE_GOT_ENCRYPTED_TEMPLATE, "Got encrypted template: %#zx\n", o.output.size());
    return 0;
}

constexpr CommandCase CASES[] = {
    {packet::cmd::KW, key_file},
    {packet::cmd::KS, nullptr, encrypted_template},
};

} // namespace

std::span<const CommandCase> image_cases() {
    return CASES;
}
