// The front end's part of the commands: the library runs every command
// (run_command); a case here is only what the command line's files need
// around it, family by family in a file of its own beside OrvantiCom.cpp:
// reading -i (sizes, BMP decoding, passwords), writing -o (BMP encoding),
// printing, and the error lines of those steps. A command without a case
// takes no input, and what it returns for an output file of its description
// is written as it came. The one table that the dispatcher searches is
// assembled from them in Dispatcher.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "OrvantiCom.h"

// The input of one command as its case read it.
struct CaseInput {
    std::vector<uint8_t> bytes;
    int refusal = FRONT_REFUSED; // the result of a command that its case refuses
    bool given = false;          // sent: the request has an input, maybe empty
    bool secret = false;         // wiped when the command is done (passwords, keys)
    CaseInput() = default;
    CaseInput(const CaseInput&) = delete;
    CaseInput& operator=(const CaseInput&) = delete;
    ~CaseInput();
    // The bytes, as the request's input.
    void take(std::vector<uint8_t> data, bool isSecret = false);
};

struct CommandCase {
    uint8_t code;
    // Before the command: the input from the -i file and the command line's
    // own checks. False when the command is refused (its error line printed,
    // nothing sent): with FRONT_REFUSED, or the result `refusal` is set to.
    bool (*prepare)(OrvantiCom& c, CaseInput& input) = nullptr;
    // After it: the -o file and what is printed; returns the command's result
    // (`result` as it came, or FRONT_REFUSED).
    int (*finish)(OrvantiCom& c, const kelvor::Outcome& outcome, int result) = nullptr;
};

std::span<const CommandCase> image_cases();     // ImageCases.cpp: SI, RI, SIX, RIX, KW, KS
std::span<const CommandCase> enroll_cases();    // EnrollCases.cpp: EI, EIX, ET, ETX
std::span<const CommandCase> verify_cases();    // VerifyCases.cpp: VI, VIX, VT, VH
std::span<const CommandCase> identify_cases();  // IdentifyCases.cpp: II, IIX, IT
std::span<const CommandCase> firmware_cases();  // FirmwareCases.cpp: UG, UM, MP
std::span<const CommandCase> database_cases();  // DatabaseCases.cpp: LT
std::span<const CommandCase> event_log_cases(); // EventLogCases.cpp: MW
std::span<const CommandCase> clock_cases();     // ClockCases.cpp: TW
std::span<const CommandCase> ports_cases();     // PortsCases.cpp: GW
// EnrollByWiegandCardCases.cpp: EC, ECX
std::span<const CommandCase> enroll_by_wiegand_card_cases();
std::span<const CommandCase> wiegand_cases();    // WiegandCases.cpp: WWX
std::span<const CommandCase> smart_card_cases(); // SmartCardCases.cpp: CW, CKW, CLW
// RawModes.cpp: a code without a command of the library's own, LC and EV
bool raw_prepare(OrvantiCom& c, CaseInput& input);

// Whether the front end has a case of its own for a command code.
bool has_command_case(uint8_t code);

// Shared by the cases of the image commands (ImageCases.cpp).
// The BMP file of -i as an image record; false with an error line.
bool image_input(OrvantiCom& c, CaseInput& input);
// The image record an image command returned, as a BMP file to -o when one is open.
int image_output(OrvantiCom& c, const kelvor::Outcome& outcome, int result);
// At most -p2 bytes of the template file (never more than it holds), with
// the error lines of the template commands (EnrollCases.cpp).
bool template_input(OrvantiCom& c, CaseInput& input);
