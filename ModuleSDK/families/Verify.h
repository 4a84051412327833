// Answer tables of the verifications: the final answer of each command, the
// scan waits of the finger, the Wiegand input and the smart card, and the
// first answer of VIX.
#pragma once

#include "engine/Answers.h"

namespace kelvor {

namespace verify {

using answers::ANY;
using answers::GO_ON;

using answers::no;
using answers::yes;

// Final answer of every verification, a column per command.
enum Column : size_t { VS, VI, VIX, VT, VH, VW, VC, COLUMNS };
// clang-format off
inline constexpr answers::ColumnRow<COLUMNS> finalAnswer[] = {
    // flag           message                          code                VS   VI   VIX  VT   VH   VW   VC
    {SCAN_FAILED,     "Verify: Scan failed\n",         RES_SCAN_FAILED,    {yes, no,  no,  no,  yes, yes, yes}},
    {NOT_FOUND,       "Verify: Not found\n",           RES_NOT_FOUND,      {yes, yes, yes, yes, no,  yes, yes}},
    {NOT_MATCH,       "Verify: Not match\n",           RES_NOT_MATCH,      {yes, yes, yes, yes, yes, yes, yes}},
    {TRY_AGAIN,       "Verify: Try again\n",           RES_TRY_AGAIN,      {yes, yes, yes, yes, yes, yes, yes}},
    {TIMEOUT,         "Verify: Timeout\n",             RES_TIMEOUT,        {yes, no,  no,  yes, yes, yes, yes}},
    {SYSTEM_BUSY,     "System is busy\n",              RES_SYSTEM_BUSY,    {yes, yes, no,  yes, yes, yes, yes}},
    {CANCELLED,       "Command is cancelled\n",        RES_CANCELLED,      {yes, no,  no,  no,  yes, yes, yes}},
    {ID_REJECTED,     "The ID is rejected\n",          RES_ID_REJECTED,    {yes, yes, yes, yes, yes, yes, yes}},
    {DURESS_FINGER,   "Duress finger is detected\n",   RES_DURESS_FINGER,  {yes, yes, yes, yes, yes, yes, yes}},
    {CARD_ERROR,      "Card error\n",                  RES_CARD_ERROR,     {no,  no,  no,  no,  no,  no,  yes}},
    {ANY,             "Verify: Unknown error\n",       RES_UNKNOWN,        {yes, yes, yes, yes, yes, yes, yes}},
};
// clang-format on

// Scan waits (only when the module sends SCAN_SUCCESS answers).
inline constexpr answers::Row fingerScanWait[] = {
    {SCAN_SUCCESS, nullptr, GO_ON},
    {ANY, "Verify: Scan failed\n", RES_SCAN_FAILED},
};
inline constexpr answers::Row wiegandScanWait[] = {
    {SCAN_SUCCESS, nullptr, GO_ON},
    {ANY, "Verify: Wiegand scan failed\n", RES_SCAN_FAILED},
};
inline constexpr answers::Row smartcardScanWait[] = {
    {SCAN_SUCCESS, nullptr, GO_ON},
    {ANY, "Verify: Smartcard scan failed\n", RES_SCAN_FAILED},
};

// First answer of VIX, before the image goes in chunks (SUCCEED goes on).
inline constexpr answers::Row chunkedFirstAnswer[] = {
    {SYSTEM_BUSY, "System busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};

} // namespace verify

} // namespace kelvor
