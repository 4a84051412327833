// The image record: what an image command sends or receives.
#pragma once

#include <array>
#include <cstdint>

#include "ModuleSDK.h"

// The image record: seven 32-bit little-endian header words, then the pixel
// area. One for each command that needs one (CommandCall::image_record).
struct ImageRecord {
    std::array<uint8_t, kelvor::IMAGE_RECORD_SIZE> bytes{};

    uint32_t word(size_t index) const { return kelvor::packet::get32(&bytes[4 * index]); }
    void set_word(size_t index, uint32_t value) { kelvor::packet::put32(&bytes[4 * index], value); }
    uint32_t width() const { return word(kelvor::packet::record::IMAGE_WIDTH_AT / 4); }
    uint32_t height() const { return word(kelvor::packet::record::IMAGE_HEIGHT_AT / 4); }
    uint32_t format() const { return word(kelvor::packet::record::IMAGE_FORMAT_AT / 4); }
    uint32_t size() const { return word(kelvor::packet::record::IMAGE_SIZE_AT / 4); }
    uint8_t* pixels() { return bytes.data() + kelvor::IMAGE_HEADER_SIZE; }
    kelvor::ImageRecordBytes all() { return kelvor::ImageRecordBytes(bytes); }
};
