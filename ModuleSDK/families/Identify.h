// Answer tables of the identifications: the final answer of each command, the
// scan waits and the first answer of IIX.
#pragma once

#include "engine/Answers.h"

namespace kelvor {

namespace identify {

using answers::ANY;
using answers::GO_ON;

using answers::no;
using answers::yes;

// Final answer of every identification, a column per command.
enum Column : size_t { IS, II, IT, IIX, COLUMNS };
// clang-format off
inline constexpr answers::ColumnRow<COLUMNS> finalAnswer[] = {
    // flag               message                              code                   IS   II   IT   IIX
    {SCAN_FAILED,         "Identify: Scan failed\n",           RES_SCAN_FAILED,       {yes, no,  no,  no }},
    {NOT_FOUND,           "Identify: Not found\n",             RES_NOT_FOUND,         {yes, yes, yes, yes}},
    {TRY_AGAIN,           "Identify: Try again\n",             RES_TRY_AGAIN,         {yes, yes, yes, yes}},
    {TIMEOUT,             "Identify: Timeout\n",               RES_TIMEOUT,           {yes, no,  no,  no }},
    {TIMEOUT_MATCHING,    "Identify: Timeout matching\n",      RES_TIMEOUT_MATCHING,  {yes, yes, yes, yes}},
    {SYSTEM_BUSY,         "System is busy\n",                  RES_SYSTEM_BUSY,       {yes, yes, yes, no }},
    {CANCELLED,           "Command is cancelled\n",            RES_CANCELLED,         {yes, yes, yes, no }},
    {DATA_CHECKSUM_ERROR, "Identify: Data checksum error\n",   RES_DATA_ERROR,        {no,  no,  no,  yes}},
    {ID_REJECTED,         "The ID is rejected\n",              RES_ID_REJECTED,       {yes, yes, yes, yes}},
    {DURESS_FINGER,       "Duress finger is detected\n",       RES_DURESS_FINGER,     {yes, yes, yes, yes}},
    {ANY,                 "Identify: Unknown error\n",         RES_UNKNOWN,           {yes, yes, yes, yes}},
};
// clang-format on

// Scan wait of IS, with its own busy and cancel messages.
inline constexpr answers::Row scanWait[] = {
    {SCAN_SUCCESS, nullptr, GO_ON},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {CANCELLED, "Command is canceled\n", RES_CANCELLED},
    {ANY, "Identify: Scan failed\n", RES_SCAN_FAILED},
};
// Scan wait of II, IT and IIX: any flag but SCAN_SUCCESS is a failed scan.
inline constexpr answers::Row dataScanWait[] = {
    {SCAN_SUCCESS, nullptr, GO_ON},
    {ANY, "Identify: Scan failed\n", RES_SCAN_FAILED},
};

// First answer of IIX, before the image goes in chunks.
inline constexpr answers::Row chunkedFirstAnswer[] = {
    {SYSTEM_BUSY, "System busy\n", RES_SYSTEM_BUSY},
    {CANCELLED, "Command is cancelled\n", RES_CANCELLED},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};

} // namespace identify

} // namespace kelvor
