// Command cases of image capture and encryption: SI, RI, SIX, RIX, KW, KS.
#include <cerrno>
#include <cstring>
#include <vector>

#include "Bmp.h"
#include "Commands.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::IMAGE_CASES;
} // namespace

using namespace kelvor;

namespace {

// Largest encrypted template the tool accepts from the module.
constexpr uint32_t ENCRYPTED_TEMPLATE_MAX = packet::describe("KS").announced.most;

// Receives the image that an image command announced and writes it as a BMP
// file when an output file is open.
int receive_image_to_output(OrvantiCom& c, int rc, uint32_t size, bool chunked) {
    if (rc != 0) return rc;
    ImageRecord& rec = image_record();
    rec.bytes.fill(0);
    rc = chunked ? receive_image_chunks(rec.all(), size) : receive_image(rec.all(), size);
    if (rc != 0 || !c.outputFile) return rc;
    const uint64_t pixels = static_cast<uint64_t>(rec.width()) * rec.height();
    if (rec.width() == 0 || rec.height() == 0 || pixels > IMAGE_PIXELS_MAX) {
        ERR_LINE("Err: The image of %#x x %#x pixels does not fit the image record\n", rec.width(),
                 rec.height());
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> file;
    if (!bmp_encode(rec.pixels(), static_cast<int>(rec.width()), static_cast<int>(rec.height()), file)) {
        ERR_LINE("Err: Cannot write %s: %s\n", c.outputPath.c_str(), std::strerror(ENOMEM));
        return FRONT_REFUSED;
    }
    return c.write_output(file.data(), file.size()) ? 0 : FRONT_REFUSED;
}

int write_key_file(OrvantiCom& c) {
    if (!c.inputFile) {
        ERR_NO_INPUT(c, "Err: No encryption key file is defined\n");
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> key;
    if (!c.read_input(key, 32)) {
        ERR_LINE("Err: Cannot read encryption key data %#x\n", 0x20u);
        return FRONT_REFUSED;
    }
    return write_encryption_key(key.data());
}

int scan_encrypted_template(OrvantiCom& c) {
    uint32_t size = 0;
    if (const int rc = scan_template_with_challenge(c.param1, &size); rc != 0) return rc;
    if (size > ENCRYPTED_TEMPLATE_MAX) {
        ERR_LINE("Err: Encrypted template size %#x is beyond %#x\n", size, ENCRYPTED_TEMPLATE_MAX);
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> data(size);
    if (const int rc = receive_data(data); rc != 0) return rc;
    // Reported as got only once it is where the operator asked for it.
    if (!c.write_output(data.data(), data.size())) return FRONT_REFUSED;
    ERR_LINE("Got encrypted template: %#x\n", size);
    return 0;
}

constexpr CommandCase CASES[] = {
    {packet::cmd::SI,
     [](OrvantiCom& c) {
         uint32_t size = 0;
         const int rc = scan_image(&size);
         return receive_image_to_output(c, rc, size, false);
     }},
    {packet::cmd::RI,
     [](OrvantiCom& c) {
         uint32_t size = 0;
         const int rc = read_image(&size);
         return receive_image_to_output(c, rc, size, false);
     }},
    {packet::cmd::SIX,
     [](OrvantiCom& c) {
         uint32_t size = 0;
         const int rc = scan_image_chunked(c.param2, &size);
         return receive_image_to_output(c, rc, size, true);
     }},
    {packet::cmd::RIX,
     [](OrvantiCom& c) {
         uint32_t size = 0;
         const int rc = read_image_chunked(c.param2, &size);
         return receive_image_to_output(c, rc, size, true);
     }},
    {packet::cmd::KW, write_key_file},
    {packet::cmd::KS, scan_encrypted_template},
};

} // namespace

std::span<const CommandCase> image_cases() {
    return CASES;
}
