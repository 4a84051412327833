// The cases of the commands, family by family in a file of its own beside
// CommandFiles.cpp: a command without a case takes no input, and what it
// returns for an output of its description is written as it came. The one
// table that run_with_files searches is assembled from them there.
#pragma once

#include <span>

#include "CommandFiles.h"

using tools::CaseInput;
using tools::CommandCall;
using tools::CommandCase;

// The commands whose input or output is an image take the image cases by
// that role alone (RunWithFiles.cpp); the families list the others.
std::span<const CommandCase> image_cases();     // ImageCases.cpp: KW, KS
std::span<const CommandCase> enroll_cases();    // EnrollCases.cpp: ET, ETX
std::span<const CommandCase> verify_cases();    // VerifyCases.cpp: VT, VH
std::span<const CommandCase> identify_cases();  // IdentifyCases.cpp: IT
std::span<const CommandCase> firmware_cases();  // FirmwareCases.cpp: UG, UM, MP
std::span<const CommandCase> database_cases();  // DatabaseCases.cpp: LT
std::span<const CommandCase> event_log_cases(); // EventLogCases.cpp: MW
std::span<const CommandCase> clock_cases();     // ClockCases.cpp: TW
std::span<const CommandCase> ports_cases();     // PortsCases.cpp: GW
// EnrollByWiegandCardCases.cpp: EC, ECX
std::span<const CommandCase> enroll_by_wiegand_card_cases();
std::span<const CommandCase> wiegand_cases();    // WiegandCases.cpp: WWX
std::span<const CommandCase> smart_card_cases(); // SmartCardCases.cpp: CW, CKW, CLW

// Shared by the cases of the image commands (ImageCases.cpp).
// The BMP input as an image record; false with an error line.
bool image_input(CommandCall& c, CaseInput& input);
// The same, of a command that sends it in chunks (its -s): the chunk size checked too.
bool chunked_image_input(CommandCall& c, CaseInput& input);
// The image record an image command returned, as a BMP file to the output when there is one.
int image_output(CommandCall& c, const kelvor::Outcome& outcome, int result);
// At most -p2 bytes of the template input (never more than it holds), with
// the error lines of the template commands (EnrollCases.cpp).
bool template_input(CommandCall& c, CaseInput& input);
