// The command reference: one row per command code, what the dispatcher's case
// for it reads from the command line. Keywords are not stored here; they come
// from the keyword table.
#include "CommandReference.h"

#include <algorithm>
#include <string>

#include "ModuleSDK.h"
#include "OrvantiCom.h"

using namespace kelvor;
namespace cmd = kelvor::packet::cmd;

namespace {

constexpr const char* RAW =
    "Sent in raw packet mode: -p1, -p2 and -f fill the packet; with -i, -p2 bytes of the "
    "file follow as data. The answer and whatever follows it are dumped in hexadecimal.";

// clang-format off
constexpr CommandInfo REFERENCE[] = {
    {cmd::SW, "Write a system parameter",
     {{"-f", "parameter number (e.g. 0x65 Enroll Mode, 0x71 Baudrate)"}, {"-p2", "new value"}},
     "The library follows a new baud rate, hex-text or network mode at once.", "-c SW -f 0x66 -p2 0x34"},
    {cmd::SF, "Save the system parameters in the module", {}, "", "-c SF"},
    {cmd::SR, "Read a system parameter", {{"-f", "parameter number (e.g. 0x6E Firmware Version)"}},
     "The value shows in the trace (level 2 and up).", "-x2 -c SR -f 0x6e"},
    {cmd::SS, "Check the module's status", {}, "The status shows in the trace (level 2 and up).", "-x2 -c SS"},
    {cmd::ES, "Enroll by scan", {{"-p1", "user ID"}, {"-f", "enroll option (0x71 add new, 0x79 auto ID, 0x74 continue, ...)"}},
     "", "-c ES -p1 5 -f 0x71"},
    {cmd::EI, "Enroll by image", {{"-p1", "user ID"}, {"-f", "enroll option"}, {"-i", "BMP image file, or a directory of them"}},
     "A directory enrolls every file in it.", "-c EI -p1 5 -f 0x71 -i finger.bmp"},
    {cmd::ET, "Enroll by template", {{"-p1", "user ID"}, {"-p2", "template size (at most this many bytes are read)"}, {"-f", "enroll option"}, {"-i", "template file, or a directory of them"}},
     "A directory enrolls every file in it.", "-c ET -p1 5 -p2 384 -f 0x71 -i user5.tpl"},
    {cmd::VS, "Verify by scan", {{"-p1", "user ID"}}, "", "-c VS -p1 5"},
    {cmd::VI, "Verify by image", {{"-p1", "user ID"}, {"-i", "BMP image file"}}, "", "-c VI -p1 5 -i finger.bmp"},
    {cmd::VT, "Verify by template", {{"-p1", "user ID"}, {"-p2", "template size"}, {"-i", "template file"}},
     "A file shorter than -p2 is refused before anything is sent.", "-c VT -p1 5 -p2 384 -i user5.tpl"},
    {cmd::IS, "Identify by scan", {}, "Searches the whole database; the user ID shows in the trace.", "-x2 -c IS"},
    {cmd::II, "Identify by image", {{"-i", "BMP image file, or a directory of them"}},
     "A directory identifies every file in it.", "-x2 -c II -i finger.bmp"},
    {cmd::IT, "Identify by template", {{"-p2", "template size (at most this many bytes are read)"}, {"-i", "template file, or a directory of them"}},
     "A directory identifies every file in it.", "-x2 -c IT -p2 384 -i finger.tpl"},
    {cmd::RT, "Read all templates of a user", {{"-p1", "user ID"}, {"-o", "file the templates are appended to, one after the other"}},
     "", "-c RT -p1 5 -o user5.tpl"},
    {cmd::SI, "Scan an image", {{"-o", "BMP file for the image"}}, "", "-c SI -o scan.bmp"},
    {cmd::DT, "Delete a user's templates", {{"-p1", "user ID"}}, "", "-c DT -p1 5"},
    {cmd::DA, "Delete all templates", {}, "", "-c DA"},
    {cmd::LT, "List user IDs", {{"-p1", "first value"}, {"-p2", "second value"}},
     "The IDs are printed on a line of their own, whatever the trace level.", "-c LT"},
    {cmd::CT, "Check a user ID: number of templates", {{"-p1", "user ID"}}, "", "-x2 -c CT -p1 5"},
    {cmd::CS, "Calibrate the sensor", {}, "", "-c CS"},
    {cmd::EW, "Enroll by Wiegand", {{"-f", "enroll option"}}, "The user ID arrives on the Wiegand input.", "-c EW -f 0x71"},
    {cmd::VW, "Verify by Wiegand", {}, "The user ID arrives on the Wiegand input.", "-c VW"},
    {cmd::DS, "Delete the user whose finger is scanned", {}, "", "-c DS"},
    {cmd::DW, "Delete the user whose ID arrives on the Wiegand input", {}, "", "-c DW"},
    {cmd::RI, "Read the last image", {{"-o", "BMP file for the image"}}, "", "-c RI -o last.bmp"},
    {cmd::ST, "Scan a template", {{"-o", "file for the template"}}, "", "-c ST -o scan.tpl"},
    {cmd::VH, "Verify by host templates", {{"-p1", "number of templates (1 to 10)"}, {"-p2", "template size"}, {"-i", "file of the templates, back to back"}},
     "A file shorter than -p2 is refused before anything is sent.", "-c VH -p1 2 -p2 384 -i two.tpl"},
    {cmd::FP, "Make all provisional templates permanent", {}, "", "-c FP"},
    {cmd::DP, "Delete all provisional templates", {}, "", "-c DP"},
    {cmd::ML, "Read the length of the user memory", {}, "", "-x2 -c ML"},
    {cmd::MW, "Write user memory", {{"-p1", "offset"}, {"-p2", "length"}, {"-i", "data file"}},
     "A file shorter than -p2 is refused before anything is sent.", "-c MW -p1 0 -p2 64 -i memory.bin"},
    {cmd::MR, "Read user memory", {{"-p1", "offset"}, {"-p2", "length"}, {"-o", "data file"}}, "", "-c MR -p1 0 -p2 64 -o memory.bin"},
    {cmd::KW, "Write the encryption key", {{"-i", "key file (32 bytes)"}}, "", "-c KW -i key.bin"},
    {cmd::KS, "Scan an encrypted template with challenge data", {{"-p1", "challenge"}, {"-o", "file for the encrypted template"}},
     "", "-c KS -p1 0x12345678 -o enc.tpl"},
    {cmd::GR, "Read a GPIO configuration", {{"-p1", "GPIO id"}}, "", "-x2 -c GR -p1 0"},
    {cmd::GW, "Write a GPIO configuration",
     {{"-p1", "bits 0-15 GPIO id, bits 16-31 mode"}, {"-p2", "number of records"}, {"-i", "file of 8-byte GPIO records"}},
     "", "-c GW -p1 0x20000 -p2 1 -i gpio.bin"},
    {cmd::GC, "Disable a GPIO", {}, "", "-c GC"},
    {cmd::GD, "Reset the GPIOs to their default configuration", {}, "", "-c GD"},
    {cmd::TW, "Set the clock", {{"-p1", "date: bits 16-31 day, 8-15 month, 0-7 year - 2000"}, {"-p2", "time: bits 16-31 second, 8-15 minute, 0-7 hour"}},
     "Both 0 initialize the clock.", "-c TW -p1 0x70c1a -p2 0x1e0c"},
    {cmd::TR, "Read the clock", {}, "", "-x2 -c TR"},
    {cmd::LN, "Count the log records", {}, "", "-x2 -c LN"},
    {cmd::LR, "Upload log records", {{"-p1", "first record"}, {"-p2", "number of records"}, {"-o", "file for the 16-byte records"}},
     "", "-x2 -c LR -p1 0 -p2 10 -o log.bin"},
    {cmd::LD, "Delete log records", {{"-p1", "argument"}}, "", "-c LD -p1 0"},
    {cmd::LC, "Log command", {{"-p1", "Param1"}, {"-p2", "Param2 (data length with -i)"}, {"-f", "flag"}, {"-i", "data file"}}, RAW, "-x4 -c LC"},
    {cmd::WW, "Write the Wiegand configuration",
     {{"-p1", "bits 16-31 FC bits, 8-15 format, 0-7 function"}, {"-p2", "FC code"}, {"-f", "port"}}, "", "-c WW -p1 0x80100 -p2 0 -f 0"},
    {cmd::WR, "Read the Wiegand configuration", {{"-f", "port"}}, "", "-x2 -c WR -f 0"},
    {cmd::WG, "Get the Wiegand input", {{"-p1", "status handling (0 clear, 1 remain)"}}, "", "-x2 -c WG -p1 0"},
    {cmd::WS, "Set the Wiegand output", {{"-p1", "ID"}}, "", "-c WS -p1 5"},
    {cmd::IW, "Write an input port's configuration", {{"-p1", "function"}, {"-p2", "value"}, {"-f", "port (0 IN0, 1 IN1, 2 IN2)"}},
     "", "-c IW -p1 0x30 -f 0"},
    {cmd::IR, "Read an input port's configuration", {{"-f", "port"}}, "", "-x2 -c IR -f 0"},
    {cmd::IG, "Read an input port's status", {{"-p1", "handling (0 clear, 1 remain)"}, {"-f", "port"}}, "", "-x2 -c IG -f 0"},
    {cmd::OW, "Write an output port's configuration",
     {{"-p1", "bits 16-31 T_DELAY, 8-15 T_COUNT, 0-7 event"}, {"-p2", "bits 16-31 T_HIGH, 0-15 T_LOW"}, {"-f", "port (0-2 OUT, 3-5 LED, 6 auto response)"}},
     "", "-c OW -p1 0x87 -p2 0x640064 -f 3"},
    {cmd::OR, "Read an output port's configuration for an event", {{"-p1", "event"}, {"-f", "port"}}, "", "-x2 -c OR -p1 0x87 -f 3"},
    {cmd::OL, "List the events enabled on an output port", {{"-f", "port"}}, "", "-x2 -c OL -f 3"},
    {cmd::OS, "Set an output port", {{"-p1", "action (0 clear, 1 set)"}, {"-f", "port"}}, "", "-c OS -p1 1 -f 3"},
    {cmd::CA, "Cancel the running command", {}, "", "-c CA"},
    {cmd::UG, "Upgrade the firmware", {{"-p2", "bytes to send (0: the whole file)"}, {"-i", "firmware file"}, {"-s", "chunk size (saved setting)"}},
     "The whole amount is read before anything is sent.", "-c UG -i firmware.bin"},
    {cmd::AW, "Write a user's administrator level", {{"-p1", "user ID"}, {"-p2", "level (0 none, 1 enroll, 2 delete, 3 all)"}},
     "", "-c AW -p1 1 -p2 3"},
    {cmd::AR, "Read a user's administrator level", {{"-p1", "user ID"}}, "", "-x2 -c AR -p1 1"},
    {cmd::AC, "Clear all administrator levels", {}, "", "-c AC"},
    {cmd::WM, "Set a Wiegand or smart-card mapping", {{"-p1", "function"}, {"-p2", "value"}, {"-f", "1: smart card, other: Wiegand"}},
     "", "-c WM -p1 0x30 -p2 1 -f 0"},
    {cmd::WL, "List the Wiegand or smart-card mappings", {{"-f", "1: smart card, other: Wiegand"}}, "", "-x2 -c WL -f 0"},
    {cmd::WC, "Clear the Wiegand or smart-card mappings", {{"-f", "1: smart card, other: Wiegand"}}, "", "-c WC -f 0"},
    {cmd::ESA, "Enroll by scan with an administrator's verification", {{"-p1", "user ID"}, {"-f", "enroll option"}},
     "", "-c ESA -p1 5 -f 0x71"},
    {cmd::EWA, "Enroll by Wiegand with an administrator's verification", {{"-f", "enroll option"}}, "", "-c EWA -f 0x71"},
    {cmd::DSA, "Delete by scan with an administrator's verification", {}, "", "-c DSA"},
    {cmd::DWA, "Delete by Wiegand with an administrator's verification", {}, "", "-c DWA"},
    {cmd::DAA, "Delete all templates with an administrator's verification", {}, "", "-c DAA"},
    {cmd::EIX, "Enroll by image in chunks", {{"-p1", "user ID"}, {"-f", "enroll option"}, {"-i", "BMP image file, or a directory of them"}, {"-s", "chunk size (saved setting)"}},
     "A directory enrolls every file in it.", "-c EIX -p1 5 -f 0x71 -i finger.bmp"},
    {cmd::IIX, "Identify by image in chunks", {{"-i", "BMP image file, or a directory of them"}, {"-s", "chunk size (saved setting)"}},
     "A directory identifies every file in it.", "-x2 -c IIX -i finger.bmp"},
    {cmd::VIX, "Verify by image in chunks", {{"-p1", "user ID"}, {"-i", "BMP image file"}, {"-s", "chunk size (saved setting)"}},
     "", "-c VIX -p1 5 -i finger.bmp"},
    {cmd::SIX, "Scan an image, received in chunks", {{"-p2", "chunk length"}, {"-o", "BMP file for the image"}}, "", "-c SIX -p2 4096 -o scan.bmp"},
    {cmd::RIX, "Read the last image in chunks", {{"-p2", "chunk length"}, {"-o", "BMP file for the image"}}, "", "-c RIX -p2 4096 -o last.bmp"},
    {cmd::LTX, "Template information records", {{"-p2", "index"}}, "The records show in the trace (level 2 and up).", "-x2 -c LTX -p2 0"},
    {cmd::ETX, "Enroll several templates in chunks",
     {{"-p1", "user ID"}, {"-p2", "bits 16-31 number of templates, 0-15 bytes to send"}, {"-f", "enroll option"}, {"-i", "template file"}},
     "", "-c ETX -p1 5 -p2 0x20300 -f 0x71 -i two.tpl"},
    {cmd::CR, "Read the templates from a smart card", {{"-f", "option (bit 0: print the card header)"}, {"-o", "card data file"}},
     "", "-c CR -f 1 -o card.bin"},
    {cmd::CW, "Write templates to a smart card",
     {{"-p1", "template index (0 or 1)"}, {"-p2", "length"}, {"-f", "option"}, {"-i", "template file"}},
     "A file shorter than -p2 is refused before anything is sent.", "-c CW -p1 0 -p2 384 -i user5.tpl"},
    {cmd::CC, "Set the smart-card input function", {{"-f", "function (0 disable, 1 verify ID, 2 verify template)"}}, "", "-c CC -f 1"},
    {cmd::UW, "Write a user's authentication policy", {{"-p1", "user ID"}, {"-p2", "policy (0 fingerprint, 1 Wiegand bypass, 2 card bypass, 3 reject)"}, {"-f", "flag"}},
     "", "-c UW -p1 5 -p2 1"},
    {cmd::UR, "Read a user's authentication policy", {{"-p1", "user ID"}}, "", "-x2 -c UR -p1 5"},
    {cmd::UC, "Reset all authentication policies", {}, "", "-c UC"},
    {cmd::UL, "List the user IDs of a policy", {{"-p2", "policy"}, {"-o", "file for the 32-bit user IDs"}}, "", "-c UL -p2 1 -o ids.bin"},
    {cmd::VC, "Verify by smart card", {{"-f", "option"}}, "", "-c VC"},
    {cmd::CG, "Get the smart-card input function", {}, "", "-x2 -c CG"},
    {cmd::EC, "Enroll a smart card",
     {{"-p1", "user ID"}, {"-p2", "value"}, {"-f", "option"}, {"-i", "file of the 8-byte Wiegand string (optional)"}}, "", "-c EC -p1 5 -f 0x71"},
    {cmd::CKW, "Write the smart-card key", {{"-p1", "key type (low byte)"}, {"-f", "option"}, {"-i", "key file (12 bytes: key 1, key 2)"}},
     "", "-c CKW -p1 1 -i cardkey.bin"},
    {cmd::CKR, "Read the smart-card key option", {}, "", "-x2 -c CKR"},
    {cmd::CLR, "Read the smart-card layout", {}, "", "-x2 -c CLR"},
    {cmd::CLW, "Write the smart-card layout", {{"-i", "layout file (7 bytes)"}}, "", "-c CLW -i layout.bin"},
    {cmd::CF, "Format a smart card", {{"-f", "mode (1: delete the templates only)"}}, "", "-c CF -f 1"},
    {cmd::ECX, "Enroll templates to a smart card",
     {{"-p1", "user ID"}, {"-p2", "bits 16-31 number of templates, 0-15 template size"}, {"-f", "option (bit 0x04: a Wiegand string follows)"}, {"-i", "file of the templates (and Wiegand string)"}},
     "", "-c ECX -p1 5 -p2 0x10180 -i user5.tpl"},
    {cmd::UM, "Unlock the module", {{"-i", "password file (16 bytes)"}}, "", "-c UM -i password.bin"},
    {cmd::LM, "Lock the module", {}, "", "-c LM"},
    {cmd::MP, "Change the master password", {{"-i", "password file (16 bytes current, 16 bytes new)"}}, "", "-c MP -i passwords.bin"},
    {cmd::EV, "Event command", {{"-p1", "Param1"}, {"-p2", "Param2 (data length with -i)"}, {"-f", "flag"}, {"-i", "data file"}}, RAW, "-x4 -c EV"},
    {cmd::WWX, "Write the extended Wiegand configuration",
     {{"-p1", "bits 16-31 pulse width, 0-15 interval (microseconds)"}, {"-p2", "format data length"}, {"-f", "format (1 26-bit, 2 pass-through, 3 custom)"}, {"-i", "format data file"}},
     "A custom format needs its data file.", "-c WWX -p1 0x6403e8 -f 1"},
    {cmd::WRX, "Read the extended Wiegand configuration", {{"-o", "file for the format data"}}, "", "-x2 -c WRX -o format.bin"},
    {cmd::WGX, "Read the Wiegand input", {{"-p1", "status handling"}, {"-f", "0 new input, other: latched input"}}, "", "-x2 -c WGX"},
    {cmd::WSX, "Set the Wiegand output string", {{"-p1", "word 1"}, {"-p2", "word 2"}}, "", "-c WSX -p1 0x12345678 -p2 0x9abcdef0"},
    {cmd::WFW, "Set the default value of a Wiegand field", {{"-p1", "value"}, {"-p2", "field index"}, {"-f", "clear"}}, "", "-c WFW -p1 5 -p2 0"},
    {cmd::WFR, "Get the default value of a Wiegand field", {{"-p2", "field index"}}, "", "-x2 -c WFR -p2 0"},
    {cmd::WPW, "Write the Wiegand port mapping", {{"-p1", "bits 16-31 input, 0-15 output"}, {"-p2", "option"}}, "", "-c WPW -p1 0x10000"},
    {cmd::WPR, "Read the Wiegand port mapping", {}, "", "-x2 -c WPR"},
};
// clang-format on

std::string option_letters(const CommandInfo& info) {
    std::string s;
    for (const OptionUse& use : info.uses) {
        if (!use.option) break;
        if (!s.empty()) s += ' ';
        s += use.option;
    }
    return s;
}

// Text as roff reads it: backslashes and minus signs escaped, and a leading
// dot or apostrophe kept from being taken for a request.
std::string roff(const char* text) {
    std::string s;
    if (text[0] == '.' || text[0] == '\'') s += "\\&";
    for (const char* p = text; *p; ++p) {
        if (*p == '\\')
            s += "\\e";
        else if (*p == '-')
            s += "\\-";
        else
            s += *p;
    }
    return s;
}

} // namespace

std::span<const CommandInfo> command_reference() {
    return REFERENCE;
}

const CommandInfo* command_info(uint8_t code) {
    for (const CommandInfo& info : REFERENCE) {
        if (info.code == code) return &info;
    }
    return nullptr;
}

void print_command_list(std::FILE* out, bool markdown) {
    if (markdown) {
        std::fputs("| Keyword | Code | What it does | Options read |\n|---|---|---|---|\n", out);
    } else {
        std::fputs(
            "Commands (kelvor -c KEYWORD or -c CODE); kelvor --commands KEYWORD tells one in detail.\n\n",
            out);
        std::fprintf(out, "%-4s %-5s %-56s %s\n", "Key", "Code", "What it does", "Options read");
    }
    for (const CommandInfo& info : REFERENCE) {
        const char* keyword = keyword_name(KW_COMMAND, info.code);
        const std::string options = option_letters(info);
        if (markdown) {
            std::fprintf(out, "| `%s` | 0x%02X | %s | %s |\n", keyword, info.code, info.summary,
                         options.empty() ? "-" : options.c_str());
        } else {
            std::fprintf(out, "%-4s 0x%02X  %-56s %s\n", keyword, info.code, info.summary,
                         options.empty() ? "-" : options.c_str());
        }
    }
}

bool print_command_detail(std::FILE* out, const std::string& word) {
    const uint8_t code = parse_command(word);
    const CommandInfo* info = code ? command_info(code) : nullptr;
    if (!info) return false;
    std::fprintf(out, "%s (0x%02X): %s\n", keyword_name(KW_COMMAND, code), code, info->summary);
    if (!info->uses[0].option) std::fputs("  Reads no option.\n", out);
    for (const OptionUse& use : info->uses) {
        if (!use.option) break;
        std::fprintf(out, "  %-4s %s\n", use.option, use.meaning);
    }
    if (info->notes[0]) std::fprintf(out, "  %s\n", info->notes);
    std::fprintf(out, "Example:\n  kelvor %s\n", info->example);
    return true;
}

void print_command_man(std::FILE* out) {
    for (const CommandInfo& info : REFERENCE) {
        std::fprintf(out, ".TP\n.BR %s \" (0x%02X)\"\n%s.\n", keyword_name(KW_COMMAND, info.code), info.code,
                     roff(info.summary).c_str());
        for (const OptionUse& use : info.uses) {
            if (!use.option) break;
            std::fprintf(out, ".br\n\\fB%s\\fP %s\n", roff(use.option).c_str(), roff(use.meaning).c_str());
        }
        if (info.notes[0]) std::fprintf(out, ".br\n%s\n", roff(info.notes).c_str());
        std::fprintf(out, ".br\nExample: \\fBkelvor %s\\fP\n", roff(info.example).c_str());
    }
}
