// Answer tables of the Wiegand commands: what each command makes of the
// answers other than SUCCEED.
#pragma once

#include "engine/Answers.h"

namespace kelvor {

namespace wiegand {

using answers::ANY;
using answers::Row;

// Each command's answers other than SUCCEED; every table ends with the busy and
// catch-all rows all commands share.
// clang-format off
inline constexpr Row configAnswer[] = {
    {NOT_SUPPORTED, "Wiegand configuration is not supported\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
inline constexpr Row inputAnswer[] = {
    {NOT_FOUND, "Not found\n", RES_NOT_FOUND},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
inline constexpr Row wiegandMappingAnswer[] = {
    {MEMORY_FULL, "Wiegand mapping is limited to 16. No more mapping.\n", RES_MEMORY_FULL},
    {NOT_SUPPORTED, "The input function is not supported\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
inline constexpr Row cardMappingAnswer[] = {
    {MEMORY_FULL, "Smart Card mapping is limited to 16. No more mapping.\n", RES_MEMORY_FULL},
    {NOT_SUPPORTED, "The input function is not supported\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
inline constexpr Row formatWriteAnswer[] = {
    {NOT_SUPPORTED, "Wiegand format is inavlid\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
inline constexpr Row notConfiguredAnswer[] = {
    {NOT_SUPPORTED, "Wiegand format is not configured\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
inline constexpr Row stringInputAnswer[] = {
    {NOT_FOUND, "Wiegand input is not latched\n", RES_NOT_FOUND},
    {NOT_SUPPORTED, "Wiegand format is not configured\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
inline constexpr Row fieldWriteAnswer[] = {
    {NOT_SUPPORTED, "Wiegand format is not configured nor invalid index\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
inline constexpr Row fieldReadAnswer[] = {
    {NOT_FOUND, "Default value is not defined\n", RES_NOT_FOUND},
    {NOT_SUPPORTED, "Wiegand format is not configured\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
inline constexpr Row ioWriteAnswer[] = {
    {NOT_SUPPORTED, "Wiegand format is not configured nor invalid port setting\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
// clang-format on

} // namespace wiegand

} // namespace kelvor
