// The long options of kelvor and the exit status classes of --exit-code.
#include "LongOptions.h"

#include <cstdio>
#include <cstring>

#include "Backup.h"
#include "CommandReference.h"
#include "CopyUsers.h"
#include "Json.h"
#include "ModuleIds.h"
#include "OrvantiCom.h"
#include "PortInfo.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::LONG_OPTIONS;
} // namespace

using namespace kelvor;

namespace {

constexpr const char USAGE[] =
    R"(Usage: kelvor [LONG OPTIONS] [OPTIONS]
Drives a fingerprint module over a serial line: one command per run, a batch
file of commands, or a command over every file of a directory.

Options (a value option takes the next word, whatever it holds):
  -c CMD     command: a keyword (ES, VS, SR, ...; any case) or a code (5, 0x05)
  -p1 N      first parameter (Param1), often a user ID
  -p2 N      second parameter (Param2), often a size
  -f N       flag value (8 bits): enroll option, parameter number, port, ...
  -i PATH    input file (BMP image, template, firmware, ...) or a directory:
             EI, EIX, ET, II, IIX and IT then run once for every file in it
  -o FILE    output file for received data (created at once, empty on failure)
  -F FILE    batch file: one command line per line, run on one connection
  -B         broadcast: every command goes out to all modules, unanswered
  -w         after the command, print what the module sends on its own
  -d N       pre-connection hook level (does nothing)
Serial settings, saved in kelvor.cfg when given:
  -P NAME    serial port, e.g. /dev/ttyUSB0, or one behind a network server:
             rfc2217://HOST:PORT (Telnet, RFC 2217) or socket://HOST:PORT
  -b RATE    baud rate: 9600, 19200, 38400, 57600 or 115200
  -n N       1: network mode (15-byte packets, for a shared RS-485 line)
  -m ID      module ID on a shared line (0 to 65535)
  -a N       1: hex-text mode (every byte as two hexadecimal characters)
  -t MS      read time-out in milliseconds
  -s N       chunk size in bytes for chunked transfers (UG, EIX, VIX, IIX)
  -xD        trace level D: 0 none, 1 errors, 2 and calls, 3 and packets,
             4 and data
Numbers are decimal, or hexadecimal after a lower-case "0x" (0x1f); they are
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
  --help, -h          this text
  --version, -V       the version of kelvor
  --commands [CMD]    every command with the options it reads; with a
                      keyword, that command in detail with an example
                      (--markdown: the list as a Markdown table,
                      --man: as the manual page's roff text)
  --list-ports        the serial ports present (local ones; a port behind a
                      network server is named by its URL, see -P)
  --exit-code         end with 0 when every command succeeded, 2 when the
                      module or the front end refused, 3 when the link failed
                      (a copy: 4 when some users or targets were copied
                      and others not)
  --backup DIR        read every user's templates into the new directory DIR
  --restore DIR       enroll the templates of a backup under the same IDs,
                      read them back and compare
  --json              results on standard output as JSON Lines: one object
                      per command (and for --version, --list-ports,
                      --commands, --backup, --restore); the trace is unchanged
  --json-schema       the JSON Schema of those objects
  --scan [FIRST-LAST] the modules that answer on a shared line, IDs FIRST to
                      LAST (default 1-255, within 1-65535, 0x for hexadecimal);
                      -x2 adds their firmware version and template count
  --modules LIST      the command, batch or directory run against each module
                      of LIST in turn (1,2,5-9), in network mode; with
                      --backup, one backup per module (DIR/module-00001/ ...)
  --server SOCKET     run through kelvord, the service that owns the line, on
                      its socket: the same options, files and results, the
                      serial settings and kelvor.cfg the service's
  --watch             print what the modules send on their own (free-scan
                      results, text lines) as it comes, one line each (--json:
                      one object each): on the port, or through --server
  --copy-users        copy users from a source onto the module of the
                      connection, or each module of --modules: every
                      template, the administrator level and the policy,
                      read back and compared; users there already with
                      the same templates are left as they are
  --from-module ID    the source: a module of the same line
  --from DIR          the source: a backup made by --backup
  --users LIST        only these users (3,5,100-199)
  --replace           replace a user who has other templates on a target
  --prune             delete the users a target has and the source not
  --dry-run           print what the copy would do and change nothing
Backup, restore, copy and the scan use the saved serial settings and any given
with them.

More: README.md, and kelvor --commands.
)";

// From here on standard output carries results only, and the refusals of the
// command line are recorded for the object of the run.
void start_json() {
    json_output::set_on(true);
    json_output::command_begin();
}

int print_commands(int argc, char** argv, int i) {
    bool markdown = false;
    bool man = false;
    const char* keyword = nullptr;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0)
            start_json();
        else if (std::strcmp(argv[i], "--markdown") == 0)
            markdown = true;
        else if (std::strcmp(argv[i], "--man") == 0)
            man = true;
        else if (!keyword)
            keyword = argv[i];
    }
    if (json_output::on()) {
        if (json_output::print_commands(keyword)) return 0;
        ERR_LINE("Err: No such command: %s (kelvor --commands lists them)\n", keyword);
        return 1;
    }
    if (!keyword && man) {
        print_command_man(stdout);
        return 0;
    }
    if (!keyword) {
        print_command_list(stdout, markdown);
        return 0;
    }
    if (!print_command_detail(stdout, keyword)) {
        ERR_LINE("Err: No such command: %s (kelvor --commands lists them)\n", keyword);
        return 1;
    }
    return 0;
}

} // namespace

const char* usage_text() {
    return USAGE;
}

namespace {

// Whether a short option takes the next word as its value: all but -B, -w,
// -x (its digit is attached) and letters the tool does not know. The value is
// never an option of its own, whatever it begins with.
bool takes_value(const char* word) {
    if (word[0] != '-' || word[1] == '-' || word[1] == '\0') return false;
    if (word[1] == 'p') return word[2] == '1' || word[2] == '2';
    return std::strchr("FPabcdfimnost", word[1]) != nullptr;
}

bool is_long(const char* word) {
    return std::strncmp(word, "--", 2) == 0;
}

// The long options that take the next word as their value (unless it is a long option).
bool takes_long_value(const char* word) {
    for (const char* option :
         {"--backup", "--restore", "--modules", "--server", "--from-module", "--from", "--users"})
        if (std::strcmp(word, option) == 0) return true;
    return false;
}

// The options of --copy-users alone.
bool copy_option(const char* word) {
    for (const char* option : {"--from-module", "--from", "--users", "--replace", "--prune", "--dry-run"})
        if (std::strcmp(word, option) == 0) return true;
    return false;
}

// The options of a copy, into `copy`; false with the error line.
bool take_copy_option(const char* word, const char* value, CopyRequest& copy, const char*& copyOption) {
    copyOption = word;
    const bool twice = std::strcmp(word, "--replace") == 0   ? copy.replace
                       : std::strcmp(word, "--prune") == 0   ? copy.prune
                       : std::strcmp(word, "--dry-run") == 0 ? copy.dryRun
                       : std::strcmp(word, "--users") == 0   ? !copy.users.empty()
                                                             : false;
    if (twice) {
        ERR_LINE("Err: %s is given twice\n", word);
        return false;
    }
    if (std::strcmp(word, "--replace") == 0) return copy.replace = true;
    if (std::strcmp(word, "--prune") == 0) return copy.prune = true;
    if (std::strcmp(word, "--dry-run") == 0) return copy.dryRun = true;
    const bool fromModule = std::strcmp(word, "--from-module") == 0;
    if (fromModule || std::strcmp(word, "--from") == 0) {
        if (copy.fromModule != 0 || !copy.fromDirectory.empty()) {
            ERR_LINE("Err: A copy has one source: --from-module ID or --from DIR, once\n");
            return false;
        }
        if (!fromModule) {
            if (value == nullptr || *value == '\0') {
                ERR_LINE("Err: --from needs the directory of a backup\n");
                return false;
            }
            copy.fromDirectory = value;
            return true;
        }
        uint32_t first = 0, last = 0;
        std::string why;
        if (value == nullptr || !parse_id_range(value, first, last, why) || first != last) {
            ERR_LINE("Err: --from-module needs one module ID (1 to 65535)%s%s\n", why.empty() ? "" : ": ",
                     why.c_str());
            return false;
        }
        copy.fromModule = static_cast<uint16_t>(first);
        return true;
    }
    std::string why;
    if (value == nullptr || !parse_user_ids(value, copy.users, why)) {
        ERR_LINE("Err: --users needs a list of user IDs such as 3,5,100-199%s%s\n", why.empty() ? "" : ": ",
                 why.c_str());
        return false;
    }
    return true;
}

} // namespace

std::optional<int> long_options(int argc, char** argv, RunExtras& extras) {
    // "kelvor -h" and "kelvor -V" alone are the usual spellings of help and version.
    if (argc == 2 && std::strcmp(argv[1], "-h") == 0) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "-V") == 0) {
        std::printf("kelvor %s\n", version());
        return 0;
    }
    // Long options stand anywhere: before, between or after the short
    // options. Known first whether the run reports with --exit-code, so that
    // a refusal before it is reported the same way.
    std::vector<int> longs;
    for (int i = 1; i < argc; ++i) {
        if (is_long(argv[i])) {
            longs.push_back(i);
            if (std::strcmp(argv[i], "--exit-code") == 0) extras.exitCode = true;
            if (std::strcmp(argv[i], "--json") == 0) start_json();
            // What follows --commands is its own; --backup and --restore take a directory.
            if (std::strcmp(argv[i], "--commands") == 0) break;
            if (takes_long_value(argv[i]) && i + 1 < argc && !is_long(argv[i + 1])) ++i;
            // The scan's range is the next word unless that is an option: a word
            // meant as a range (1-255, 0x10, abc) is its range, good or bad.
            if (std::strcmp(argv[i], "--scan") == 0 && i + 1 < argc && !is_option_word(argv[i + 1])) ++i;
            continue;
        }
        extras.words.emplace_back(argv[i]);
        if (takes_value(argv[i]) && i + 1 < argc) extras.words.emplace_back(argv[++i]);
    }
    // One run does one piece of work: the option that names it is given once.
    const char* workGiven = nullptr;
    const char* workValue = nullptr;
    bool scanGiven = false, modulesGiven = false;
    const char* copyOption = nullptr; // the last option of a copy given
    for (const int i : longs) {
        const char* word = argv[i];
        const bool hasValue = i + 1 < argc && !is_long(argv[i + 1]);
        if (std::strcmp(word, "--help") == 0) {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (std::strcmp(word, "--version") == 0) {
            if (json_output::on())
                json_output::print_version();
            else
                std::printf("kelvor %s\n", version());
            return 0;
        }
        if (std::strcmp(word, "--json-schema") == 0) {
            json_output::print_schema();
            return 0;
        }
        if (std::strcmp(word, "--commands") == 0) return print_commands(argc, argv, i + 1);
        if (std::strcmp(word, "--list-ports") == 0) {
            if (json_output::on())
                json_output::print_ports();
            else
                print_serial_ports(stdout);
            return 0;
        }
        if (std::strcmp(word, "--exit-code") == 0 || std::strcmp(word, "--json") == 0) continue;
        if (std::strcmp(word, "--watch") == 0) {
            extras.watch = true;
            continue;
        }
        if (std::strcmp(word, "--server") == 0) {
            if (!hasValue || !extras.server.empty()) {
                ERR_LINE("Err: --server names the socket of kelvord, once\n");
                return extras.exitCode ? EXIT_REFUSED : 1;
            }
            extras.server = argv[i + 1];
            continue;
        }
        if (std::strcmp(word, "--copy-users") == 0) {
            if (extras.copy.on) {
                ERR_LINE("Err: --copy-users is given twice\n");
                return extras.exitCode ? EXIT_REFUSED : 1;
            }
            if (workGiven) {
                ERR_LINE("Err: %s %s and --copy-users: one run makes one backup, restore or copy\n",
                         workGiven, workValue);
                return extras.exitCode ? EXIT_REFUSED : 1;
            }
            extras.copy.on = true;
            extras.work = copy_users;
            workGiven = word;
            workValue = "";
            continue;
        }
        if (copy_option(word)) {
            if (!take_copy_option(word, hasValue ? argv[i + 1] : nullptr, extras.copy, copyOption))
                return extras.exitCode ? EXIT_REFUSED : 1;
            continue;
        }
        const bool backup = std::strcmp(word, "--backup") == 0;
        if (backup || std::strcmp(word, "--restore") == 0) {
            if (!hasValue) {
                ERR_LINE("Err: %s needs a directory\n", word);
                return extras.exitCode ? EXIT_REFUSED : 1;
            }
            if (extras.copy.on) {
                ERR_LINE("Err: --copy-users and %s %s: one run makes one backup, restore or copy\n", word,
                         argv[i + 1]);
                return extras.exitCode ? EXIT_REFUSED : 1;
            }
            if (workGiven) {
                ERR_LINE("Err: %s %s and %s %s: one run makes one backup or one restore\n", workGiven,
                         workValue, word, argv[i + 1]);
                return extras.exitCode ? EXIT_REFUSED : 1;
            }
            workGiven = word;
            workValue = argv[i + 1];
            extras.work = backup ? backup_module : restore_module;
            extras.directory = argv[i + 1];
            continue;
        }
        if (std::strcmp(word, "--scan") == 0 || std::strcmp(word, "--modules") == 0) {
            bool& given = word[2] == 's' ? scanGiven : modulesGiven;
            if (given) {
                ERR_LINE("Err: %s is given twice\n", word);
                return extras.exitCode ? EXIT_REFUSED : 1;
            }
            given = true;
        }
        if (std::strcmp(word, "--scan") == 0) {
            extras.scan = true;
            if (i + 1 < argc && !is_option_word(argv[i + 1])) {
                std::string why;
                if (!parse_id_range(argv[i + 1], extras.scanFirst, extras.scanLast, why)) {
                    ERR_LINE("Err: --scan %s: %s\n", argv[i + 1], why.c_str());
                    return extras.exitCode ? EXIT_REFUSED : 1;
                }
            }
            continue;
        }
        if (std::strcmp(word, "--modules") == 0) {
            std::string why;
            if (!hasValue || !parse_module_ids(argv[i + 1], extras.modules, why)) {
                ERR_LINE("Err: --modules needs a list of module IDs such as 1,2,5-9%s%s\n",
                         why.empty() ? "" : ": ", why.c_str());
                return extras.exitCode ? EXIT_REFUSED : 1;
            }
            continue;
        }
        ERR_LINE("Err: Unknown option: %s (kelvor --help lists the options)\n", word);
        return extras.exitCode ? EXIT_REFUSED : 1;
    }
    if (extras.scan && extras.copy.on) {
        ERR_LINE("Err: --scan goes alone: not with --copy-users\n");
        return extras.exitCode ? EXIT_REFUSED : 1;
    }
    if (extras.scan && (!extras.modules.empty() || extras.work)) {
        ERR_LINE("Err: --scan goes alone: not with --modules, --backup or --restore\n");
        return extras.exitCode ? EXIT_REFUSED : 1;
    }
    if (copyOption && !extras.copy.on) {
        ERR_LINE("Err: %s is an option of --copy-users\n", copyOption);
        return extras.exitCode ? EXIT_REFUSED : 1;
    }
    if (extras.copy.on && extras.copy.fromModule == 0 && extras.copy.fromDirectory.empty()) {
        ERR_LINE("Err: --copy-users needs a source: --from-module ID (a module of the line) or --from DIR (a "
                 "backup)\n");
        return extras.exitCode ? EXIT_REFUSED : 1;
    }
    return std::nullopt;
}
