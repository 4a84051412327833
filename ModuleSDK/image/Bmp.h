// Windows bitmap files to and from gray buffers. A gray buffer holds one byte
// per pixel (0 black, 255 white), rows from the top, no row padding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// Reads an uncompressed 1-, 4-, 8-, 24- or 32-bit BMP from the current position
// of `file` into `gray`, which holds `capacity` bytes. On success *width and
// *height (always positive) give the image size.
// 1 on success, 0 when the file is not a BMP the reader accepts (nothing printed).
int bmp_read(std::FILE* file, int* width, int* height, uint8_t* gray, size_t capacity);
// Writes width x height gray pixels as an 8-bit BMP with a gray palette.
// 1 after writing the whole file; 0, with nothing written, when memory for the
// file image cannot be had or the sizes do not fit the format (negative, or
// beyond its 32-bit fields); 0 too when the file took less than the whole image.
int bmp_write(std::FILE* file, const uint8_t* gray, int width, int height);
// The same file image in memory; false, with `image` empty, where bmp_write writes nothing.
bool bmp_encode(const uint8_t* gray, int width, int height, std::vector<uint8_t>& image);
// (first + second + third) / 3, remainder dropped.
uint8_t gray_average(uint8_t first, uint8_t second, uint8_t third);
