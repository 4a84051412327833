// The BMP reader over any bytes, from a stream and from memory (the two must
// agree), and the writer over what it read.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "image/Bmp.h"
#include "ModuleSDK.h"
#include "protocol/Bmp.h"

using namespace kelvor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f) return 0;
    static std::vector<uint8_t> gray(IMAGE_PIXELS_MAX);
    int width = 0, height = 0;
    const int ok = bmp_read(f, &width, &height, gray.data(), gray.size());
    std::fclose(f);
    if (ok) {
        if (width <= 0 || height <= 0 ||
            static_cast<size_t>(width) * static_cast<size_t>(height) > gray.size())
            __builtin_trap(); // the reader promised an image that fits
        std::vector<uint8_t> file;
        if (!bmp_encode(gray.data(), width, height, file)) __builtin_trap();
    }
    const bmp::FileParts parts = bmp::parts_of({data, size}, gray.size());
    if ((parts.layout.refusal == bmp::Refusal::None) != (ok == 1)) __builtin_trap();
    if (ok) {
        static std::vector<uint8_t> again(IMAGE_PIXELS_MAX);
        bmp::decode(parts.layout, parts.palette, parts.pixels, again.data());
        const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
        if (!std::equal(gray.begin(), gray.begin() + static_cast<long>(n), again.begin())) __builtin_trap();
    }
    return 0;
}
