// Answer tables of the image commands of their own: the final answer of the
// image scans and that of the encryption key write.
#pragma once

#include "engine/Answers.h"

namespace kelvor {

namespace image {

using answers::ANY;

// Final answer of SI and SIX.
inline constexpr answers::Row scanImageAnswer[] = {
    {SCAN_FAILED, "Scan failed\n", RES_SCAN_FAILED},
    {TIMEOUT, "Scan timeout\n", RES_TIMEOUT},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {CANCELLED, "Command is cancelled\n", RES_CANCELLED},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};

// Final answer of KW.
inline constexpr answers::Row keyWriteAnswer[] = {
    {NOT_SUPPORTED, "Encryption is not supported\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};

} // namespace image

} // namespace kelvor
