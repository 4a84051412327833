// Answer tables that several families apply as they stand: the plain refusal
// of a busy module, the scan waits, the administrator's verification stage.
#pragma once

#include "engine/Answers.h"

namespace kelvor {

namespace answers {

// The answers of a command that the module can only refuse for being busy.
inline constexpr Row busyOrUnknown[] = {
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};

// A scan wait in which any flag but SCAN_SUCCESS is a failed scan.
inline constexpr Row scanWait[] = {
    {SCAN_SUCCESS, nullptr, GO_ON},
    {ANY, "Scan failed\n", RES_SCAN_FAILED},
};
inline constexpr Table scanWaits[] = {scanWait};

// A scan wait that tells a busy module and a cancelled scan apart.
inline constexpr Row canceledScanWait[] = {
    {SCAN_SUCCESS, nullptr, GO_ON},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {CANCELLED, "Command is canceled\n", RES_CANCELLED},
    {ANY, "Scan failed\n", RES_SCAN_FAILED},
};
inline constexpr Table canceledScanWaits[] = {canceledScanWait};

// Administrator stage of the commands that need an administrator's
// verification first: ENROLL_CONTINUE here means that the administrator was verified.
inline constexpr Row administratorStage[] = {
    {ENROLL_CONTINUE, "Admin's verification succeed\n", GO_ON, TRACE_CALL},
    {SCAN_FAILED, "Scan failed\n", RES_SCAN_FAILED},
    {NOT_MATCH, "Admin's verification is failed\n", RES_NOT_MATCH},
    {NOT_SUPPORTED, "No administrator is enrolled\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {CANCELLED, "Command is cancelled\n", RES_CANCELLED},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};

} // namespace answers

} // namespace kelvor
