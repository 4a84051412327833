// Whole blocks over the link with a progress line while they move.
#pragma once

#include <cstdint>

namespace kelvor {

// link_read and link_write of a whole block, in pieces with a progress line
// when the block is long; the same results as one call.
int link_read_progress(uint8_t* buffer, int n);
int link_write_progress(const uint8_t* bytes, int n);

} // namespace kelvor
