// The manual page's text of each option and what completes its value, and
// the manual page's OPTIONS and the completion script made from them and the
// option table.
#include "OptionDocs.h"

#include <cctype>
#include <cstdint>
#include <stdexcept>

#include "OptionTable.h"

namespace options {

namespace {

// What the completion offers for the value of an option.
enum class Completion : uint8_t {
    NoValue,     // the option takes no next word (or only an optional one)
    Keywords,    // the command keywords, asked from kelvor itself
    SerialPorts, // the serial ports present, else files
    Files,
    Directories,
    Sockets, // kelvord's sockets, else files
    Rates,   // the baud rates
    Typed,   // nothing: the value is typed
};

struct OptionDoc {
    Id id;
    const char* word;      // the value as the manual names it ("command"), nullptr when none
    Completion completes;  // what completes the value
    const char* before;    // roff text that precedes the entry (a paragraph, a subsection), nullptr when none
    const char* paragraph; // the roff text under the option's tag
};

using enum Id;
using enum Completion;

// Every option the manual describes, in the manual's order: each option of the
// table once, but the words of --commands, which its entry names.
// clang-format off
constexpr OptionDoc DOCS[] = {
    {Command, "command", Keywords, nullptr,
     R"roff(The command: a keyword (ES, VS, SR, ...; any case) or a code (5, 0x05).
Only the low 8 bits count.)roff"},
    {Param1, "n", Typed, nullptr,
     R"roff(First parameter (Param1), often a user ID.)roff"},
    {Param2, "n", Typed, nullptr,
     R"roff(Second parameter (Param2), often a size.)roff"},
    {Flag, "n", Typed, nullptr,
     R"roff(Flag value (8 bits): enroll option, parameter number, port, ...)roff"},
    {Input, "path", Files, nullptr,
     R"roff(Input file (BMP image, template, firmware, ...) or a directory: EI, EIX, ET,
II, IIX and IT then run once for every file in it.)roff"},
    {Output, "file", Files, nullptr,
     R"roff(Output file for received data; created at once, and left empty when the
command fails.)roff"},
    {Batch, "file", Files, nullptr,
     R"roff(Batch file: one command line per line, run on one connection.)roff"},
    {Broadcast, nullptr, NoValue, nullptr,
     R"roff(Broadcast: every command goes out to all modules on the line, unanswered.)roff"},
    {Monitor, nullptr, NoValue, nullptr,
     R"roff(After the command, print what the module sends on its own (response monitor).)roff"},
    {Hook, "n", Typed, nullptr,
     R"roff(Pre\-connection hook level (does nothing).)roff"},
    {Port, "name", SerialPorts, R"roff(.PP
Serial settings, saved in
.B kelvor.cfg
when given:)roff",
     R"roff(Serial port, for example
.IR /dev/ttyUSB0 ,
or a serial port behind a network server, named by a URL:
.BI rfc2217:// host : port
(Telnet with the COM\-PORT\-OPTION of RFC 2217: kelvor sets the far port's
rate, 8 data bits, no parity, one stop bit and no flow control, and follows a
baud\-rate change as on a local port) or
.BI socket:// host : port
(raw TCP: the server's port keeps the settings the server gives it; kelvor sets
nothing there).
.I host
is a name, an IPv4 address or an IPv6 address in brackets
.RI ( [::1] ).
Over a network the wait for an answer's first byte is widened by the round trip
measured when the port opens (at most 2 seconds), and the pause between the turns
of a shared line is left to the server.
.B kelvor.cfg
keeps the name as given.)roff"},
    {Baud, "rate", Rates, nullptr,
     R"roff(Baud rate: 9600, 19200, 38400, 57600 or 115200.)roff"},
    {Network, "n", Typed, nullptr,
     R"roff(1: network mode (15\-byte packets with a module ID, for a shared RS\-485 line).)roff"},
    {ModuleId, "id", Typed, nullptr,
     R"roff(Module ID on a shared line (0 to 65535).)roff"},
    {HexText, "n", Typed, nullptr,
     R"roff(1: hex\-text mode (every byte as two hexadecimal characters).)roff"},
    {Timeout, "ms", Typed, nullptr,
     R"roff(Read time\-out in milliseconds.)roff"},
    {ChunkSize, "n", Typed, nullptr,
     R"roff(Chunk size in bytes for chunked transfers (UG, EIX, VIX, IIX).)roff"},
    {Trace, "d", NoValue, nullptr,
     R"roff(Trace level
.I d
from 0 to 4, attached to the option (\fB\-x3\fP); see
.BR "TRACE LEVELS" .)roff"},
    {Help, nullptr, NoValue, R"roff(.SS Long options
Long options stand anywhere among the other options; the value of a short
option is never one.)roff",
     R"roff(Print the usage text.)roff"},
    {Version, nullptr, NoValue, nullptr,
     R"roff(Print the version of kelvor.)roff"},
    {Commands, "command", NoValue, nullptr,
     R"roff(List every command with the options it reads; with a keyword, that command in
detail with an example.
.B \-\-markdown
prints the list as a Markdown table,
.B \-\-man
as the roff text of the command reference below.)roff"},
    {ListPorts, nullptr, NoValue, nullptr,
     R"roff(List the serial ports present on this computer. Ports behind a network server
are not found this way: name them by their URL with
.BR \-P .)roff"},
    {ExitCode, nullptr, NoValue, nullptr,
     R"roff(End with an exit status that tells how the run went (see
.BR "EXIT STATUS" ).)roff"},
    {Backup, "directory", Directories, nullptr,
     R"roff(Read every user's templates, administrator level and authentication policy
into the new
.IR directory ,
with a manifest of the module's settings. A backup whose users all have the
level None and the policy Fingerprint is of format 1, as earlier versions
wrote it; one with other levels or policies is of format 2, with a
user\-settings line for each such user.)roff"},
    {Restore, "directory", Directories, nullptr,
     R"roff(Enroll the templates of a backup under the same user IDs, read them back and
compare. A user already on the module with the backup's first templates (a
restore that stopped halfway) is completed; one with other templates is
skipped, not overwritten, and the restore is no clean success. The levels and
policies of a backup of format 2 are set too.
Only one of
.BR \-\-backup ,
.B \-\-restore
and
.B \-\-copy\-users
is given, once.)roff"},
    {CopyUsers, nullptr, NoValue, nullptr,
     R"roff(Copy users from a source onto the module of the connection (on the source's
line, the module of
.BR \-m ),
or onto each module of
.B \-\-modules
in turn: every template of each user, read back and compared byte for byte,
and its administrator level and authentication policy. The source is read
once. A user there already with the same templates is left as it is (or only
its level and policy set); one with other templates is a conflict, left as it
is, unless
.BR \-\-replace .
A user that fails on a target is removed again where the line allows; a
target that fails is reported and the others go on. Each user that changes
has a line, each target a line with the counts; with
.BR \-\-json ,
a "copy_user" object for every user and target and a "copy" object for each
target.)roff"},
    {FromModule, "id", Typed, nullptr,
     R"roff(The source of the copy: a module of the same line (network mode).)roff"},
    {From, "directory", Directories, nullptr,
     R"roff(The source of the copy: a backup that
.B \-\-backup
wrote.)roff"},
    {Users, "list", Typed, nullptr,
     R"roff(Copy (and prune) only these user IDs, such as 3,5,100\-199 (1 to 4294967295).)roff"},
    {Replace, nullptr, NoValue, nullptr,
     R"roff(Replace a user who has other templates on a target.)roff"},
    {Prune, nullptr, NoValue, nullptr,
     R"roff(Delete the users that a target has and the source does not (among
.B \-\-users
where given); never without this option.)roff"},
    {DryRun, nullptr, NoValue, nullptr,
     R"roff(Read the source and the targets and print what the copy would do (copy,
replace, update, unchanged, conflict, prune); nothing that changes a module is
sent.)roff"},
    {Scan, "first\\-last", NoValue, nullptr,
     R"roff(List the modules that answer on a shared line: each module ID from
.I first
to
.I last
(default 1\-255, any range within 1\-65535, decimal or hexadecimal after 0x;
any other word after \-\-scan that is no option is refused) is asked for its status in network
mode, at the saved or given rate and hex-text setting. Each module that answers
is printed with its ID in decimal and hexadecimal and its status; with
.B \-x2
also its firmware version and template count. Each module is printed as it is
found. A module that answers with a bad checksum, or with the start of an
answer only, is printed as such, and makes the scan a link failure. The wait for each answer follows from the line
rate unless
.B \-t
is given. With
.BR \-\-json ,
one object per module found and a summary.)roff"},
    {Modules, "list", Typed, nullptr,
     R"roff(Run the command of the command line, the batch file or the directory run
against each module of
.I list
in turn (such as 1,2,5\-9), in network mode on one connection. Each module's
trace is preceded by a line "== Module N (0xN)"; a module that does not answer
is reported and the others still run; with
.B \-\-exit\-code
the worst run counts. With
.BR \-\-backup ,
one backup per module in
.IR directory /module\-00001/
and so on;
.B \-\-restore
takes the same layout.
.B \-o
takes one module's output only.)roff"},
    {Server, "socket", Sockets, R"roff(.PP
Backup, restore, copy and the scan use the saved serial settings and any given with them.)roff",
     R"roff(Run through
.BR kelvord (8),
the service that owns the line, on its Unix socket: the command, the batch
file, the directory run, the scan and
.B \-\-modules
go to the service, one command at a time, with the same options, files, trace,
error lines, exit status and
.B \-\-json
objects as a run on the port (the trace of the bytes on the line, at
.BR \-x3 ,
is the service's of that command).
The serial options and the port of
.I kelvor.cfg
are the service's;
.B \-m
addresses a module of its line; nothing is saved.
.BR \-\-backup ,
.B \-\-restore
and
.B \-\-copy\-users
run on the service's line; the directory is the run's own (a backup's files
come back and are written here, a restore's and a copy's source are read here
and sent, at most 5 MiB).
.B \-B
and
.B \-w
reach past the service's queue and are refused.)roff"},
    {Watch, nullptr, NoValue, nullptr,
     R"roff(After the command (or alone), print what the modules send on their own as it
comes: free\-scan results (identify, duress, not_found, scan_failed), other
packets, text lines, bytes that make nothing; through
.B \-\-server
the line's state too.
One line each ("2026\-12\-07T10:15:30.123Z identify: user 5, score 910"), or with
.B \-\-json
the service's event object, one a line.
On a port of its own it ends when the port is lost; through the service, when
the service ends.)roff"},
    {Json, nullptr, NoValue, nullptr,
     R"roff(Results for programs: standard output becomes a stream of JSON Lines, one
object per command the run carries out (one per batch line, one per file of
directory mode), written when the command ends; and one object for
.BR \-\-version ,
.BR \-\-list\-ports ,
.BR \-\-commands ,
.B \-\-backup
and
.BR \-\-restore .
See
.BR "JSON OUTPUT" .)roff"},
    {JsonSchema, nullptr, NoValue, nullptr,
     R"roff(Print the JSON Schema (draft 2020-12) of those objects, the one installed as
.I share/kelvor/kelvor\-result.schema.json
under the installation prefix.)roff"},
};
// clang-format on

// A name as roff sets it: its minus signs are \-.
std::string roff(const char* name) {
    std::string out;
    for (const char* c = name; *c; ++c) {
        if (*c == '-') out += '\\';
        out += *c;
    }
    return out;
}

const Option& option_of(Id id) {
    for (const Option& o : all())
        if (o.id == id) return o;
    throw std::logic_error("an option without a row in the table");
}

// The tag line of an entry: the name in bold, its value in italics.
std::string tag(const OptionDoc& doc) {
    const Option& o = option_of(doc.id);
    const std::string name = roff(o.name);
    if ((o.takes != Value::None) != (doc.word != nullptr))
        throw std::logic_error(std::string("the manual's word for the value of ") + o.name);
    switch (o.takes) {
    case Value::None: return o.alias ? ".BR " + name + " \", \" " + roff(o.alias) : ".B " + name;
    case Value::Next: return ".BI " + name + " \" " + doc.word + "\"";
    case Value::Digit: return ".BI " + name + " " + doc.word;
    case Value::Optional: return ".BI " + name + R"( " \fR[\fP)" + doc.word + R"(\fR]\fP")";
    case Value::Rest: {
        // --commands [command] [--markdown | --man]
        std::string line = ".BR " + name + R"( " [\fI)" + doc.word + R"(\fP] [")";
        const char* between = " ";
        for (const Option& word : all()) {
            if (word.section != Section::OfCommands) continue;
            line += between + roff(word.name);
            between = " | ";
        }
        return line + " ]";
    }
    }
    throw std::logic_error("a kind of value without a tag");
}

// The completion's placeholders, each the case pattern of one kind of value.
struct Placeholder {
    const char* name;
    Completion kind;
};
constexpr Placeholder PLACEHOLDERS[] = {
    {"@KEYWORDS@", Keywords}, {"@SERIAL_PORTS@", SerialPorts},
    {"@FILES@", Files},       {"@DIRECTORIES@", Directories},
    {"@SOCKETS@", Sockets},   {"@RATES@", Rates},
    {"@TYPED@", Typed},
};

std::string pattern(Completion kind) {
    std::string names;
    for (const OptionDoc& doc : DOCS) {
        if (doc.completes != kind) continue;
        if (!names.empty()) names += " | ";
        names += option_of(doc.id).name;
    }
    return names;
}

// The placeholder that begins at `at` ("@FILES@"): '@', capitals and '_', '@';
// empty when none begins there (bash's own "${COMPREPLY[@]}").
std::string_view placeholder_at(std::string_view script, size_t at) {
    size_t end = at + 1;
    while (end < script.size() &&
           (std::isupper(static_cast<unsigned char>(script[end])) || script[end] == '_'))
        ++end;
    if (end == at + 1 || end == script.size() || script[end] != '@') return {};
    return script.substr(at, end + 1 - at);
}

} // namespace

std::string manual_options() {
    std::string text;
    for (const OptionDoc& doc : DOCS) {
        if (doc.before) text += std::string(doc.before) + "\n";
        text += ".TP\n" + tag(doc) + "\n" + doc.paragraph + "\n";
    }
    return text;
}

std::string completion_words() {
    std::string words;
    for (const Option& o : all()) {
        if (o.takes != Value::Digit) {
            words += std::string(words.empty() ? "" : " ") + o.name;
            continue;
        }
        for (char d = FIRST_DIGIT; d <= LAST_DIGIT; ++d)
            words += std::string(words.empty() ? "" : " ") + o.name + d;
    }
    return words;
}

std::string fill_completion(std::string_view script) {
    std::string out;
    bool used[std::size(PLACEHOLDERS)] = {};
    for (size_t at = 0; at < script.size();) {
        const std::string_view name = script[at] == '@' ? placeholder_at(script, at) : std::string_view();
        if (name.empty()) {
            out += script[at++];
            continue;
        }
        at += name.size();
        if (name == "@OPTIONS@") {
            out += completion_words();
            continue;
        }
        size_t i = 0;
        while (i < std::size(PLACEHOLDERS) && name != PLACEHOLDERS[i].name) ++i;
        if (i == std::size(PLACEHOLDERS))
            throw std::runtime_error("the completion script names " + std::string(name) +
                                     ", which is none of its lists");
        const std::string names = pattern(PLACEHOLDERS[i].kind);
        if (names.empty()) throw std::runtime_error("no option completes as " + std::string(name));
        out += names;
        used[i] = true;
    }
    // Each kind of value that some option takes has its case in the script.
    for (size_t i = 0; i < std::size(PLACEHOLDERS); ++i)
        if (!used[i] && !pattern(PLACEHOLDERS[i].kind).empty())
            throw std::runtime_error(std::string("the completion script has no case for ") +
                                     PLACEHOLDERS[i].name);
    return out;
}

} // namespace options
