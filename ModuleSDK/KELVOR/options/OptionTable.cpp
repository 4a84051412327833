// The table of kelvor's options and the usage text made from it.
#include "OptionTable.h"

#include <algorithm>
#include <cstring>

namespace options {

namespace {

using enum Id;
using enum Value;
using enum Section;

constexpr Option OPTIONS[] = {
    {Command, "-c", nullptr, "CMD", Next, Run,
     "command: a keyword (ES, VS, SR, ...; any case) or a code (5, 0x05)"},
    {Param1, "-p1", nullptr, "N", Next, Run, "first parameter (Param1), often a user ID"},
    {Param2, "-p2", nullptr, "N", Next, Run, "second parameter (Param2), often a size"},
    {Flag, "-f", nullptr, "N", Next, Run, "flag value (8 bits): enroll option, parameter number, port, ..."},
    {Input, "-i", nullptr, "PATH", Next, Run,
     "input file (BMP image, template, firmware, ...) or a directory:\n"
     "EI, EIX, ET, II, IIX and IT then run once for every file in it"},
    {Output, "-o", nullptr, "FILE", Next, Run,
     "output file for received data (created at once, empty on failure)"},
    {Batch, "-F", nullptr, "FILE", Next, Run, "batch file: one command line per line, run on one connection"},
    {Broadcast, "-B", nullptr, nullptr, None, Run,
     "broadcast: every command goes out to all modules, unanswered"},
    {Monitor, "-w", nullptr, nullptr, None, Run, "after the command, print what the module sends on its own"},
    {Hook, "-d", nullptr, "N", Next, Run, "pre-connection hook level (does nothing)"},
    {Port, "-P", nullptr, "NAME", Next, Serial,
     "serial port, e.g. /dev/ttyUSB0, or one behind a network server:\n"
     "rfc2217://HOST:PORT (Telnet, RFC 2217) or socket://HOST:PORT"},
    {Baud, "-b", nullptr, "RATE", Next, Serial, "baud rate: 9600, 19200, 38400, 57600 or 115200"},
    {Network, "-n", nullptr, "N", Next, Serial,
     "1: network mode (15-byte packets, for a shared RS-485 line)"},
    {ModuleId, "-m", nullptr, "ID", Next, Serial, "module ID on a shared line (0 to 65535)"},
    {HexText, "-a", nullptr, "N", Next, Serial,
     "1: hex-text mode (every byte as two hexadecimal characters)"},
    {Timeout, "-t", nullptr, "MS", Next, Serial, "read time-out in milliseconds"},
    {ChunkSize, "-s", nullptr, "N", Next, Serial,
     "chunk size in bytes for chunked transfers (UG, EIX, VIX, IIX)"},
    {Trace, "-x", nullptr, "D", Digit, Serial,
     "trace level D: 0 none, 1 errors, 2 and calls, 3 and packets,\n"
     "4 and data"},
    {Help, "--help", "-h", nullptr, None, Long, "this text"},
    {Version, "--version", "-V", nullptr, None, Long, "the version of kelvor"},
    {Commands, "--commands", nullptr, "[CMD]", Rest, Long,
     "every command with the options it reads; with a\n"
     "keyword, that command in detail with an example\n"
     "(--markdown: the list as a Markdown table,\n"
     "--man: as the manual page's roff text)"},
    {Markdown, "--markdown", nullptr, nullptr, None, OfCommands, nullptr},
    {Man, "--man", nullptr, nullptr, None, OfCommands, nullptr},
    {ListPorts, "--list-ports", nullptr, nullptr, None, Long,
     "the serial ports present (local ones; a port behind a\n"
     "network server is named by its URL, see -P)"},
    {ExitCode, "--exit-code", nullptr, nullptr, None, Long,
     "end with 0 when every command succeeded, 2 when the\n"
     "module or the front end refused, 3 when the link failed\n"
     "(a copy: 4 when some users or targets were copied\n"
     "and others not)"},
    {Backup, "--backup", nullptr, "DIR", Next, Long,
     "read every user's templates into the new directory DIR"},
    {Restore, "--restore", nullptr, "DIR", Next, Long,
     "enroll the templates of a backup under the same IDs,\n"
     "read them back and compare"},
    {Json, "--json", nullptr, nullptr, None, Long,
     "results on standard output as JSON Lines: one object\n"
     "per command (and for --version, --list-ports,\n"
     "--commands, --backup, --restore); the trace is unchanged"},
    {JsonSchema, "--json-schema", nullptr, nullptr, None, Long, "the JSON Schema of those objects"},
    {Scan, "--scan", nullptr, "[FIRST-LAST]", Optional, Long,
     "the modules that answer on a shared line, IDs FIRST to\n"
     "LAST (default 1-255, within 1-65535, 0x for hexadecimal);\n"
     "-x2 adds their firmware version and template count"},
    {Modules, "--modules", nullptr, "LIST", Next, Long,
     "the command, batch or directory run against each module\n"
     "of LIST in turn (1,2,5-9), in network mode; with\n"
     "--backup, one backup per module (DIR/module-00001/ ...)"},
    {Server, "--server", nullptr, "SOCKET", Next, Long,
     "run through kelvord, the service that owns the line, on\n"
     "its socket: the same options, files and results, the\n"
     "serial settings and kelvor.cfg the service's"},
    {Watch, "--watch", nullptr, nullptr, None, Long,
     "print what the modules send on their own (free-scan\n"
     "results, text lines) as it comes, one line each (--json:\n"
     "one object each): on the port, or through --server"},
    {CopyUsers, "--copy-users", nullptr, nullptr, None, Long,
     "copy users from a source onto the module of the\n"
     "connection, or each module of --modules: every\n"
     "template, the administrator level and the policy,\n"
     "read back and compared; users there already with\n"
     "the same templates are left as they are"},
    {FromModule, "--from-module", nullptr, "ID", Next, Long, "the source: a module of the same line"},
    {From, "--from", nullptr, "DIR", Next, Long, "the source: a backup made by --backup"},
    {Users, "--users", nullptr, "LIST", Next, Long, "only these users (3,5,100-199)"},
    {Replace, "--replace", nullptr, nullptr, None, Long,
     "replace a user who has other templates on a target"},
    {Prune, "--prune", nullptr, nullptr, None, Long, "delete the users a target has and the source not"},
    {DryRun, "--dry-run", nullptr, nullptr, None, Long, "print what the copy would do and change nothing"},
};

// The usage text around the tables of options.
constexpr const char HEAD[] = R"(Usage: kelvor [LONG OPTIONS] [OPTIONS]
Drives a fingerprint module over a serial line: one command per run, a batch
file of commands, or a command over every file of a directory.

Options (a value option takes the next word, whatever it holds):
)";
constexpr const char SERIAL[] = "Serial settings, saved in kelvor.cfg when given:\n";
constexpr const char MIDDLE[] =
    R"(Numbers are decimal, or hexadecimal after a lower-case "0x" (0x1f); they are
unsigned 32-bit, so -1 reads 0xFFFFFFFF.

kelvor.cfg in the working directory holds the serial settings on one line:
  PORT BAUDCODE NETWORK MODULEID HEXTEXT TIMEOUT TRACELEVEL CHUNKSIZE
for example "/dev/ttyUSB0 53 0 1 0 1000 1 4096" (baud code 49 to 53 for
9600 to 115200). A setting given on the command line is saved for later runs.

The trace goes to standard error; error lines start with "[OrvantiCom.cpp(N)] Err:".
A run that drives the module ends with exit status 1, unless --exit-code is given;
--help, --version, --commands and --list-ports end with 0 (1 when their text
cannot be written).

Long options (anywhere among the other options):
)";
constexpr const char TAIL[] =
    R"(Backup, restore, copy and the scan use the saved serial settings and any given
with them.

More: README.md, and kelvor --commands.
)";

// The column where the help of a short and of a long option begins.
constexpr size_t SHORT_COLUMN = 13;
constexpr size_t LONG_COLUMN = 22;

void add_section(std::string& text, Section section, size_t column) {
    for (const Option& o : OPTIONS) {
        if (o.section != section || o.help == nullptr) continue;
        std::string label = std::string("  ") + o.name;
        if (o.alias) label += std::string(", ") + o.alias;
        if (o.value) label += (o.takes == Digit ? "" : " ") + std::string(o.value);
        label.resize(std::max(column, label.size() + 1), ' ');
        text += label;
        for (const char* line = o.help; *line;) {
            const char* end = std::strchr(line, '\n');
            const size_t n = end ? static_cast<size_t>(end - line) : std::strlen(line);
            if (line != o.help) text.append(column, ' ');
            text.append(line, n).push_back('\n');
            line += end ? n + 1 : n;
        }
    }
}

std::string make_usage() {
    std::string text = HEAD;
    add_section(text, Run, SHORT_COLUMN);
    text += SERIAL;
    add_section(text, Serial, SHORT_COLUMN);
    text += MIDDLE;
    add_section(text, Long, LONG_COLUMN);
    text += TAIL;
    return text;
}

} // namespace

std::span<const Option> all() {
    return OPTIONS;
}

const Option* short_option(const char* word) {
    if (word[0] != '-' || word[1] == '-') return nullptr;
    for (const Option& o : OPTIONS)
        if (o.name[1] != '-' && std::strncmp(word, o.name, std::strlen(o.name)) == 0) return &o;
    return nullptr;
}

const Option* long_option(const char* word) {
    if (std::strncmp(word, "--", 2) != 0) return nullptr;
    for (const Option& o : OPTIONS)
        if (std::strcmp(word, o.name) == 0) return &o;
    return nullptr;
}

bool takes_next_word(const char* word) {
    const Option* o = short_option(word);
    return o != nullptr && o->takes == Next;
}

const std::string& usage() {
    static const std::string text = make_usage();
    return text;
}

} // namespace options
