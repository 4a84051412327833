// The module's commands: each one's code and the keyword that names it,
// written once. The constants packet::cmd::SW ... are looked up in this list
// at compile time; the keyword table and the command reference take their
// rows from it.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelvor::packet {

struct Command {
    uint8_t code;
    const char* keyword;
};

// In the order of the keyword table's command rows.
inline constexpr Command COMMANDS[] = {
    {0x01, "SW"}, {0x02, "SF"}, {0x03, "SR"}, {0x04, "SS"}, {0x1a, "CS"}, {0x05, "ES"}, {0x06, "EI"},
    {0x07, "ET"}, {0x08, "VS"}, {0x09, "VI"}, {0x10, "VT"}, {0x22, "VH"}, {0x11, "IS"}, {0x12, "II"},
    {0x13, "IT"}, {0x20, "RI"}, {0x14, "RT"}, {0x15, "SI"}, {0x21, "ST"}, {0x16, "DT"}, {0x17, "DA"},
    {0x18, "LT"}, {0x19, "CT"}, {0x23, "FP"}, {0x24, "DP"}, {0x34, "KW"}, {0x35, "KS"}, {0x36, "GR"},
    {0x37, "GW"}, {0x38, "GC"}, {0x39, "GD"}, {0x1e, "DS"}, {0x1c, "EW"}, {0x1d, "VW"}, {0x1f, "DW"},
    {0x41, "WW"}, {0x42, "WR"}, {0x43, "WG"}, {0x44, "WS"}, {0x47, "IW"}, {0x48, "IR"}, {0x49, "IG"},
    {0x4a, "OW"}, {0x4b, "OR"}, {0x4c, "OL"}, {0x4d, "OS"}, {0x3a, "TW"}, {0x3b, "TR"}, {0x3c, "LN"},
    {0x3d, "LR"}, {0x3e, "LD"}, {0x31, "ML"}, {0x32, "MW"}, {0x33, "MR"}, {0x3f, "LC"}, {0x60, "CA"},
    {0x62, "UG"}, {0x65, "AW"}, {0x66, "AR"}, {0x67, "AC"}, {0x68, "WM"}, {0x69, "WL"}, {0x6a, "WC"},
    {0x70, "ESA"}, {0x71, "EWA"}, {0x72, "DSA"}, {0x73, "DWA"}, {0x74, "DAA"}, {0x81, "IIX"}, {0x80, "EIX"},
    {0x82, "VIX"}, {0x83, "SIX"}, {0x84, "RIX"}, {0xa0, "CR"}, {0xa1, "CW"}, {0xa2, "CC"}, {0xa8, "CG"},
    {0xae, "CF"}, {0xa3, "UW"}, {0xa4, "UR"}, {0xa5, "UC"}, {0xa6, "UL"}, {0xa7, "VC"}, {0xa9, "EC"},
    {0xaa, "CKW"}, {0xab, "CKR"}, {0xac, "CLR"}, {0xad, "CLW"}, {0xaf, "ECX"}, {0x87, "ETX"}, {0xb0, "UM"},
    {0xb1, "LM"}, {0xb2, "MP"}, {0xb3, "EV"}, {0xc0, "WWX"}, {0xc1, "WRX"}, {0xc2, "WGX"}, {0xc3, "WSX"},
    {0xc4, "WFW"}, {0xc5, "WFR"}, {0xc6, "WPW"}, {0xc7, "WPR"}, {0x86, "LTX"},
};

// The command a keyword names, nullptr for none.
constexpr const Command* command_named(std::string_view keyword) {
    for (const Command& c : COMMANDS)
        if (keyword == c.keyword) return &c;
    return nullptr;
}

// The command of a code, nullptr for none.
constexpr const Command* command_of(uint8_t code) {
    for (const Command& c : COMMANDS)
        if (c.code == code) return &c;
    return nullptr;
}

// Command codes, by the keyword that names each command.
namespace cmd {
consteval uint8_t code_of(std::string_view keyword) {
    for (const Command& c : COMMANDS)
        if (keyword == c.keyword) return c.code;
    // A keyword missing from COMMANDS stops the compilation here.
    throw "no such command keyword";
}
inline constexpr uint8_t SW = code_of("SW");
inline constexpr uint8_t SF = code_of("SF");
inline constexpr uint8_t SR = code_of("SR");
inline constexpr uint8_t SS = code_of("SS");
inline constexpr uint8_t ES = code_of("ES");
inline constexpr uint8_t EI = code_of("EI");
inline constexpr uint8_t ET = code_of("ET");
inline constexpr uint8_t VS = code_of("VS");
inline constexpr uint8_t VI = code_of("VI");
inline constexpr uint8_t VT = code_of("VT");
inline constexpr uint8_t IS = code_of("IS");
inline constexpr uint8_t II = code_of("II");
inline constexpr uint8_t IT = code_of("IT");
inline constexpr uint8_t RT = code_of("RT");
inline constexpr uint8_t SI = code_of("SI");
inline constexpr uint8_t DT = code_of("DT");
inline constexpr uint8_t DA = code_of("DA");
inline constexpr uint8_t LT = code_of("LT");
inline constexpr uint8_t CT = code_of("CT");
inline constexpr uint8_t CS = code_of("CS");
inline constexpr uint8_t EW = code_of("EW");
inline constexpr uint8_t VW = code_of("VW");
inline constexpr uint8_t DS = code_of("DS");
inline constexpr uint8_t DW = code_of("DW");
inline constexpr uint8_t RI = code_of("RI");
inline constexpr uint8_t ST = code_of("ST");
inline constexpr uint8_t VH = code_of("VH");
inline constexpr uint8_t FP = code_of("FP");
inline constexpr uint8_t DP = code_of("DP");
inline constexpr uint8_t ML = code_of("ML");
inline constexpr uint8_t MW = code_of("MW");
inline constexpr uint8_t MR = code_of("MR");
inline constexpr uint8_t KW = code_of("KW");
inline constexpr uint8_t KS = code_of("KS");
inline constexpr uint8_t GR = code_of("GR");
inline constexpr uint8_t GW = code_of("GW");
inline constexpr uint8_t GC = code_of("GC");
inline constexpr uint8_t GD = code_of("GD");
inline constexpr uint8_t TW = code_of("TW");
inline constexpr uint8_t TR = code_of("TR");
inline constexpr uint8_t LN = code_of("LN");
inline constexpr uint8_t LR = code_of("LR");
inline constexpr uint8_t LD = code_of("LD");
inline constexpr uint8_t LC = code_of("LC");
inline constexpr uint8_t WW = code_of("WW");
inline constexpr uint8_t WR = code_of("WR");
inline constexpr uint8_t WG = code_of("WG");
inline constexpr uint8_t WS = code_of("WS");
inline constexpr uint8_t IW = code_of("IW");
inline constexpr uint8_t IR = code_of("IR");
inline constexpr uint8_t IG = code_of("IG");
inline constexpr uint8_t OW = code_of("OW");
inline constexpr uint8_t OR = code_of("OR");
inline constexpr uint8_t OL = code_of("OL");
inline constexpr uint8_t OS = code_of("OS");
inline constexpr uint8_t CA = code_of("CA");
inline constexpr uint8_t UG = code_of("UG");
inline constexpr uint8_t AW = code_of("AW");
inline constexpr uint8_t AR = code_of("AR");
inline constexpr uint8_t AC = code_of("AC");
inline constexpr uint8_t WM = code_of("WM");
inline constexpr uint8_t WL = code_of("WL");
inline constexpr uint8_t WC = code_of("WC");
inline constexpr uint8_t ESA = code_of("ESA");
inline constexpr uint8_t EWA = code_of("EWA");
inline constexpr uint8_t DSA = code_of("DSA");
inline constexpr uint8_t DWA = code_of("DWA");
inline constexpr uint8_t DAA = code_of("DAA");
inline constexpr uint8_t EIX = code_of("EIX");
inline constexpr uint8_t IIX = code_of("IIX");
inline constexpr uint8_t VIX = code_of("VIX");
inline constexpr uint8_t SIX = code_of("SIX");
inline constexpr uint8_t RIX = code_of("RIX");
inline constexpr uint8_t LTX = code_of("LTX");
inline constexpr uint8_t ETX = code_of("ETX");
inline constexpr uint8_t CR = code_of("CR");
inline constexpr uint8_t CW = code_of("CW");
inline constexpr uint8_t CC = code_of("CC");
inline constexpr uint8_t UW = code_of("UW");
inline constexpr uint8_t UR = code_of("UR");
inline constexpr uint8_t UC = code_of("UC");
inline constexpr uint8_t UL = code_of("UL");
inline constexpr uint8_t VC = code_of("VC");
inline constexpr uint8_t CG = code_of("CG");
inline constexpr uint8_t EC = code_of("EC");
inline constexpr uint8_t CKW = code_of("CKW");
inline constexpr uint8_t CKR = code_of("CKR");
inline constexpr uint8_t CLR = code_of("CLR");
inline constexpr uint8_t CLW = code_of("CLW");
inline constexpr uint8_t CF = code_of("CF");
inline constexpr uint8_t ECX = code_of("ECX");
inline constexpr uint8_t UM = code_of("UM");
inline constexpr uint8_t LM = code_of("LM");
inline constexpr uint8_t MP = code_of("MP");
inline constexpr uint8_t EV = code_of("EV");
inline constexpr uint8_t WWX = code_of("WWX");
inline constexpr uint8_t WRX = code_of("WRX");
inline constexpr uint8_t WGX = code_of("WGX");
inline constexpr uint8_t WSX = code_of("WSX");
inline constexpr uint8_t WFW = code_of("WFW");
inline constexpr uint8_t WFR = code_of("WFR");
inline constexpr uint8_t WPW = code_of("WPW");
inline constexpr uint8_t WPR = code_of("WPR");
} // namespace cmd

} // namespace kelvor::packet
