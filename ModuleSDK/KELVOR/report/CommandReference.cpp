// The command reference: the descriptors of the commands as kelvor --commands
// prints them, one command in detail, and as the manual page lists them.
#include "CommandReference.h"

#include <algorithm>
#include <string>

#include "ModuleSDK.h"
#include "OrvantiCom.h"

using namespace kelvor;

namespace {

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
    return packet::COMMANDS;
}

const CommandInfo* command_info(uint8_t code) {
    return packet::command_of(code);
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
    for (const CommandInfo& info : packet::COMMANDS) {
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
    for (const CommandInfo& info : packet::COMMANDS) {
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
