// Answer tables of the enroll commands, shared by every enrollment that scans
// a finger or receives an image or template (by scan, with an administrator's
// verification, by Wiegand input).
#pragma once

#include "engine/Tables.h"

namespace kelvor {

namespace enroll {

using answers::ANY;
using answers::GO_ON;

using answers::no;
using answers::yes;

// Columns of the answer table: E1, the first answer of ES and ESA; E2, the
// final answer after their second scan (and after that of EW and EWA); E3, the
// final answer of EI, EIX, ET and ETX, and the first answer of EIX and ETX when
// it is not SUCCEED; W1, the first answer of EW and EWA (E1 without the
// finger already enrolled).
enum Column : size_t { E1, E2, E3, W1, COLUMNS };

// "%#x" is the requested user ID (for EW and EWA, the ID the module answers).
// clang-format off
inline constexpr answers::ColumnRow<COLUMNS> answerTable[] = {
    // flag                   message                               code                           E1   E2   E3   W1
    {SCAN_FAILED,             "Enroll: Scan failed\n",              RES_SCAN_FAILED,               {yes, yes, no,  yes}},
    {TRY_AGAIN,               "Enroll: Try again\n",                RES_TRY_AGAIN,                 {yes, yes, yes, yes}},
    {TIMEOUT,                 "Enroll: Timeout\n",                  RES_TIMEOUT,                   {yes, yes, no,  yes}},
    {MEMORY_FULL,             "Enroll: Memory full\n",              RES_MEMORY_FULL,               {yes, yes, yes, yes}},
    {ID_ALREADY_USED,         "Enroll: ID %#x is already used\n",   RES_ID_ALREADY_USED,           {yes, yes, yes, yes}},
    {FINGER_LIMIT,            "Enroll: Finger limit\n",             RES_FINGER_LIMIT,              {yes, yes, yes, yes}},
    {INVALID_ID,              "Enroll: Invalid id\n",               RES_INVALID_ID,                {yes, yes, yes, yes}},
    {SYSTEM_BUSY,             "System is busy\n",                   RES_SYSTEM_BUSY,               {yes, no,  yes, yes}},
    {CANCELLED,               "Command is cancelled\n",             RES_CANCELLED,                 {yes, yes, no,  yes}},
    {FINGER_ALREADY_ENROLLED, "The finger is already enrolled\n",   RES_FINGER_ALREADY_ENROLLED,   {yes, no,  yes, no}},
    {ANY,                     "Enroll: Unknown error\n",            RES_UNKNOWN,                   {yes, yes, yes, yes}},
};
// clang-format on

// Scan waits (read only when the module sends SCAN_SUCCESS answers).
// W1: first wait of ES; the user's wait of ESA.
inline constexpr answers::Row firstScanWait[] = {
    {SCAN_SUCCESS, nullptr, GO_ON},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {CANCELLED, "Command is canceled\n", RES_CANCELLED},
    {FINGER_ALREADY_ENROLLED, "The finger is already enrolled\n", RES_FINGER_ALREADY_ENROLLED},
    {ANY, "Scan failed\n", RES_SCAN_FAILED},
};
// W2, the second wait of ES, is answers::canceledScanWait.
// W3: second wait of ESA; the wait of EI, EIX, ET and ETX; the finger waits of EW and EWA.
inline constexpr answers::Row dataScanWait[] = {
    {SCAN_SUCCESS, nullptr, GO_ON},
    {ANY, "Enroll: Scan failed\n", RES_SCAN_FAILED},
};

} // namespace enroll

} // namespace kelvor
