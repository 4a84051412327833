// Answer tables of the smart-card commands: what each command makes of the
// answers other than SUCCEED.
#pragma once

#include "engine/Answers.h"

namespace kelvor {

namespace smartcard {

using answers::ANY;
using answers::Row;

// Each command's answers other than SUCCEED; every table ends with the busy and
// catch-all rows all commands share.
// clang-format off
inline constexpr Row readAnswer[] = {
    {TIMEOUT, "Timeout\n", RES_TIMEOUT},
    {CANCELLED, "Canceled\n", RES_CANCELLED},
    {CARD_ERROR, "Card error\n", RES_CARD_ERROR},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
inline constexpr Row writeAnswer[] = {
    {TRY_AGAIN, "Incomplete template data\n", RES_INVALID_ID},
    {TIMEOUT, "Timeout\n", RES_TIMEOUT},
    {NOT_SUPPORTED, "Invalid template index\n", RES_NOT_SUPPORTED},
    {CANCELLED, "Canceled\n", RES_CANCELLED},
    {CARD_ERROR, "Card error\n", RES_CARD_ERROR},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
inline constexpr Row functionAnswer[] = {
    {NOT_SUPPORTED, "Invalid function\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
inline constexpr Row keyAnswer[] = {
    {NOT_MATCH, "Wrong password\n", RES_NOT_MATCH},
    {NOT_SUPPORTED, "Invalid key type\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
inline constexpr Row layoutAnswer[] = {
    {NOT_SUPPORTED, "Invalid Card Layout\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
// clang-format on

} // namespace smartcard

} // namespace kelvor
