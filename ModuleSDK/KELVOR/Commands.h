// The dispatcher's rows, family by family. Each family's rows and the front-end
// steps they need live in a file of their own beside OrvantiCom.cpp; the one
// table that the dispatcher searches is assembled from them in Dispatcher.cpp.
#pragma once

#include <cstdint>
#include <span>

#include "OrvantiCom.h"

// One command code the tool handles itself: how the options map onto the
// library function. Returns 0, the library's result code, or FRONT_REFUSED.
struct CommandCase {
    uint8_t code;
    int (*run)(OrvantiCom& c);
};

std::span<const CommandCase> system_cases();   // SystemCases.cpp: SS, SR, SW, SF, CS
std::span<const CommandCase> image_cases();    // ImageCases.cpp: SI, RI, SIX, RIX, KW, KS
std::span<const CommandCase> enroll_cases();   // EnrollCases.cpp: ES, ESA, EI, EIX, ET, ETX
std::span<const CommandCase> verify_cases();   // VerifyCases.cpp: VS, VI, VIX, VT, VH, VW, VC
std::span<const CommandCase> identify_cases(); // IdentifyCases.cpp: IS, II, IIX, IT
std::span<const CommandCase> firmware_cases(); // FirmwareCases.cpp: UG, CA, LM, UM, MP
std::span<const CommandCase> admin_cases();    // AdminCases.cpp: AW, AR, AC, UW, UR, UC, UL
// DatabaseCases.cpp: RT, ST, DT, DA, DAA, DP, FP, LT, CT, DS, DSA, DW, DWA, LTX
std::span<const CommandCase> database_cases();
std::span<const CommandCase> event_log_cases(); // EventLogCases.cpp: LN, LR, LD, ML, MW, MR
std::span<const CommandCase> clock_cases();     // ClockCases.cpp: TW, TR
std::span<const CommandCase> ports_cases();     // PortsCases.cpp: OW, OR, OL, OS, IW, IR, IG, GR, GW, GC, GD
// EnrollByWiegandCardCases.cpp: EW, EWA, EC, ECX
std::span<const CommandCase> enroll_by_wiegand_card_cases();
// WiegandCases.cpp: WW, WR, WG, WS, WM, WL, WC, WWX, WRX, WGX, WSX, WFW, WFR, WPW, WPR
std::span<const CommandCase> wiegand_cases();
std::span<const CommandCase> smart_card_cases(); // SmartCardCases.cpp: CR, CW, CF, CC, CG, CKW, CKR, CLR, CLW

// Whether the dispatcher has a case of its own for a command code.
bool has_command_case(uint8_t code);
