// The scan of a template (ST): the database family's scan, and the carrier of
// the challenge of an encrypted scan (KS), which follows the same description
// with its own scan wait and success line.
#pragma once

#include "engine/Sequence.h"
#include "engine/Tables.h"

namespace kelvor {

namespace template_scan {

inline constexpr answers::Row finalAnswer[] = {
    {SCAN_FAILED, "Scan failed\n", RES_SCAN_FAILED},
    {TRY_AGAIN, "Try again\n", RES_TRY_AGAIN},
    {TIMEOUT, "Scan timeout\n", RES_TIMEOUT},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {CANCELLED, "Command is cancelled\n", RES_CANCELLED},
    {answers::ANY, "Unknown error\n", RES_UNKNOWN},
};

// The size of the template that follows as a data block.
inline constexpr sequence::SuccessLine templateSize =
    sequence::SuccessLine::line(TRACE_CALL, "Template Size: %#x\n", {FIELD_PARAM2, "bytes"});

inline constexpr sequence::Sequence ST{
    .command = packet::cmd::ST, .waits = answers::scanWaits, .answer = finalAnswer, .success = templateSize};

} // namespace template_scan

} // namespace kelvor
