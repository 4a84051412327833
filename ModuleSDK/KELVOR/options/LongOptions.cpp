// The long options of kelvor and the exit status classes of --exit-code.
#include "LongOptions.h"

#include <cstdio>
#include <cstring>

#include "Backup.h"
#include "CommandReference.h"
#include "CopyUsers.h"
#include "Json.h"
#include "ModuleIds.h"
#include "OptionTable.h"
#include "OrvantiCom.h"
#include "connection/PortInfo.h"

using namespace kelvor;

namespace {

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
        const options::Option* option = options::long_option(argv[i]);
        const options::Id id = option ? option->id : options::Id::Command;
        if (id == options::Id::Json)
            start_json();
        else if (id == options::Id::Markdown)
            markdown = true;
        else if (id == options::Id::Man)
            man = true;
        else if (!keyword)
            keyword = argv[i];
    }
    if (json_output::on()) {
        if (json_output::print_commands(keyword)) return 0;
        err_line(err_site::LONG_NO_SUCH_COMMAND_JSON,
                 "Err: No such command: %s (kelvor --commands lists them)\n", keyword);
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
        err_line(err_site::LONG_NO_SUCH_COMMAND, "Err: No such command: %s (kelvor --commands lists them)\n",
                 keyword);
        return 1;
    }
    return 0;
}

} // namespace

const char* usage_text() {
    return options::usage().c_str();
}

namespace {

bool is_long(const char* word) {
    return std::strncmp(word, "--", 2) == 0;
}

// The long option a word names: its row's Id, or nothing for a word no option has.
std::optional<options::Id> long_id(const char* word) {
    const options::Option* option = options::long_option(word);
    if (option == nullptr) return std::nullopt;
    return option->id;
}

// The options of --copy-users alone.
bool copy_option(options::Id id) {
    using enum options::Id;
    return id == FromModule || id == From || id == Users || id == Replace || id == Prune || id == DryRun;
}

// The options of a copy, into `copy`; false with the error line.
bool take_copy_option(options::Id id, const char* word, const char* value, CopyRequest& copy,
                      const char*& copyOption) {
    using enum options::Id;
    copyOption = word;
    const bool twice = id == Replace  ? copy.replace
                       : id == Prune  ? copy.prune
                       : id == DryRun ? copy.dryRun
                       : id == Users  ? !copy.users.empty()
                                      : false;
    if (twice) {
        err_line(err_site::LONG_COPY_OPTION_TWICE, "Err: %s is given twice\n", word);
        return false;
    }
    if (id == Replace) return copy.replace = true;
    if (id == Prune) return copy.prune = true;
    if (id == DryRun) return copy.dryRun = true;
    const bool fromModule = id == FromModule;
    if (fromModule || id == From) {
        if (copy.fromModule != 0 || !copy.fromDirectory.empty()) {
            err_line(err_site::LONG_COPY_ONE_SOURCE,
                     "Err: A copy has one source: --from-module ID or --from DIR, once\n");
            return false;
        }
        if (!fromModule) {
            if (value == nullptr || *value == '\0') {
                err_line(err_site::LONG_FROM_NEEDS_DIRECTORY,
                         "Err: --from needs the directory of a backup\n");
                return false;
            }
            copy.fromDirectory = value;
            return true;
        }
        uint32_t first = 0, last = 0;
        std::string why;
        if (value == nullptr || !parse_id_range(value, first, last, why) || first != last) {
            err_line(err_site::LONG_FROM_MODULE_NEEDS_ID,
                     "Err: --from-module needs one module ID (1 to 65535)%s%s\n", why.empty() ? "" : ": ",
                     why.c_str());
            return false;
        }
        copy.fromModule = static_cast<uint16_t>(first);
        return true;
    }
    std::string why;
    if (value == nullptr || !parse_user_ids(value, copy.users, why)) {
        err_line(err_site::LONG_USERS_NEEDS_LIST,
                 "Err: --users needs a list of user IDs such as 3,5,100-199%s%s\n", why.empty() ? "" : ": ",
                 why.c_str());
        return false;
    }
    return true;
}

} // namespace

std::optional<int> long_options(int argc, char** argv, RunExtras& extras) {
    using enum options::Id;
    // "kelvor -h" and "kelvor -V" alone are the usual spellings of help and version.
    if (argc == 2) {
        for (const options::Option& o : options::all()) {
            if (o.alias == nullptr || std::strcmp(argv[1], o.alias) != 0) continue;
            if (o.id == Help) {
                std::fputs(usage_text(), stdout);
                return 0;
            }
            if (o.id == Version) {
                std::printf("kelvor %s\n", version());
                return 0;
            }
        }
    }
    // Long options stand anywhere: before, between or after the short
    // options. Known first whether the run reports with --exit-code, so that
    // a refusal before it is reported the same way.
    std::vector<int> longs;
    for (int i = 1; i < argc; ++i) {
        if (is_long(argv[i])) {
            longs.push_back(i);
            const options::Option* option = options::long_option(argv[i]);
            if (option == nullptr) continue;
            if (option->id == ExitCode) extras.exitCode = true;
            if (option->id == Json) start_json();
            // What follows --commands is its own; --backup and --restore take a directory.
            if (option->takes == options::Value::Rest) break;
            if (option->takes == options::Value::Next && i + 1 < argc && !is_long(argv[i + 1])) ++i;
            // The scan's range is the next word unless that is an option: a word
            // meant as a range (1-255, 0x10, abc) is its range, good or bad.
            if (option->takes == options::Value::Optional && i + 1 < argc && !is_option_word(argv[i + 1]))
                ++i;
            continue;
        }
        extras.words.emplace_back(argv[i]);
        if (options::takes_next_word(argv[i]) && i + 1 < argc) extras.words.emplace_back(argv[++i]);
    }
    // One run does one piece of work: the option that names it is given once.
    const char* workGiven = nullptr;
    const char* workValue = nullptr;
    bool scanGiven = false, modulesGiven = false;
    const char* copyOption = nullptr; // the last option of a copy given
    for (const int i : longs) {
        const char* word = argv[i];
        const bool hasValue = i + 1 < argc && !is_long(argv[i + 1]);
        const std::optional<options::Id> id = long_id(word);
        if (id == Help) {
            std::fputs(usage_text(), stdout);
            return 0;
        }
        if (id == Version) {
            if (json_output::on())
                json_output::print_version();
            else
                std::printf("kelvor %s\n", version());
            return 0;
        }
        if (id == JsonSchema) {
            json_output::print_schema();
            return 0;
        }
        if (id == Commands) return print_commands(argc, argv, i + 1);
        if (id == ListPorts) {
            if (json_output::on())
                json_output::print_ports();
            else
                print_serial_ports(stdout);
            return 0;
        }
        if (id == ExitCode || id == Json) continue;
        if (id == Watch) {
            extras.watch = true;
            continue;
        }
        if (id == Server) {
            if (!hasValue || !extras.server.empty()) {
                err_line(err_site::LONG_SERVER_ONCE, "Err: --server names the socket of kelvord, once\n");
                return extras.exitCode ? EXIT_REFUSED : 1;
            }
            extras.server = argv[i + 1];
            continue;
        }
        if (id == CopyUsers) {
            if (extras.copy.on) {
                err_line(err_site::LONG_COPY_USERS_TWICE, "Err: --copy-users is given twice\n");
                return extras.exitCode ? EXIT_REFUSED : 1;
            }
            if (workGiven) {
                err_line(err_site::LONG_WORK_THEN_COPY,
                         "Err: %s %s and --copy-users: one run makes one backup, restore or copy\n",
                         workGiven, workValue);
                return extras.exitCode ? EXIT_REFUSED : 1;
            }
            extras.copy.on = true;
            extras.work = copy_users;
            workGiven = word;
            workValue = "";
            continue;
        }
        if (id && copy_option(*id)) {
            if (!take_copy_option(*id, word, hasValue ? argv[i + 1] : nullptr, extras.copy, copyOption))
                return extras.exitCode ? EXIT_REFUSED : 1;
            continue;
        }
        const bool backup = id == Backup;
        if (backup || id == Restore) {
            if (!hasValue) {
                err_line(err_site::LONG_WORK_NEEDS_DIRECTORY, "Err: %s needs a directory\n", word);
                return extras.exitCode ? EXIT_REFUSED : 1;
            }
            if (extras.copy.on) {
                err_line(err_site::LONG_COPY_THEN_WORK,
                         "Err: --copy-users and %s %s: one run makes one backup, restore or copy\n", word,
                         argv[i + 1]);
                return extras.exitCode ? EXIT_REFUSED : 1;
            }
            if (workGiven) {
                err_line(err_site::LONG_TWO_WORKS,
                         "Err: %s %s and %s %s: one run makes one backup or one restore\n", workGiven,
                         workValue, word, argv[i + 1]);
                return extras.exitCode ? EXIT_REFUSED : 1;
            }
            workGiven = word;
            workValue = argv[i + 1];
            extras.work = backup ? backup_module : restore_module;
            extras.directory = argv[i + 1];
            continue;
        }
        if (id == Scan || id == Modules) {
            bool& given = id == Scan ? scanGiven : modulesGiven;
            if (given) {
                err_line(err_site::LONG_SCAN_OR_MODULES_TWICE, "Err: %s is given twice\n", word);
                return extras.exitCode ? EXIT_REFUSED : 1;
            }
            given = true;
        }
        if (id == Scan) {
            extras.scan = true;
            if (i + 1 < argc && !is_option_word(argv[i + 1])) {
                std::string why;
                if (!parse_id_range(argv[i + 1], extras.scanFirst, extras.scanLast, why)) {
                    err_line(err_site::LONG_SCAN_BAD_RANGE, "Err: --scan %s: %s\n", argv[i + 1], why.c_str());
                    return extras.exitCode ? EXIT_REFUSED : 1;
                }
            }
            continue;
        }
        if (id == Modules) {
            std::string why;
            if (!hasValue || !parse_module_ids(argv[i + 1], extras.modules, why)) {
                err_line(err_site::LONG_MODULES_NEEDS_LIST,
                         "Err: --modules needs a list of module IDs such as 1,2,5-9%s%s\n",
                         why.empty() ? "" : ": ", why.c_str());
                return extras.exitCode ? EXIT_REFUSED : 1;
            }
            continue;
        }
        err_line(err_site::LONG_UNKNOWN_OPTION, "Err: Unknown option: %s (kelvor --help lists the options)\n",
                 word);
        return extras.exitCode ? EXIT_REFUSED : 1;
    }
    if (extras.scan && extras.copy.on) {
        err_line(err_site::LONG_SCAN_WITH_COPY, "Err: --scan goes alone: not with --copy-users\n");
        return extras.exitCode ? EXIT_REFUSED : 1;
    }
    if (extras.scan && (!extras.modules.empty() || extras.work)) {
        err_line(err_site::LONG_SCAN_WITH_WORK,
                 "Err: --scan goes alone: not with --modules, --backup or --restore\n");
        return extras.exitCode ? EXIT_REFUSED : 1;
    }
    if (copyOption && !extras.copy.on) {
        err_line(err_site::LONG_COPY_OPTION_ALONE, "Err: %s is an option of --copy-users\n", copyOption);
        return extras.exitCode ? EXIT_REFUSED : 1;
    }
    if (extras.copy.on && extras.copy.fromModule == 0 && extras.copy.fromDirectory.empty()) {
        err_line(err_site::LONG_COPY_NEEDS_SOURCE,
                 "Err: --copy-users needs a source: --from-module ID (a module of the line) or --from DIR (a "
                 "backup)\n");
        return extras.exitCode ? EXIT_REFUSED : 1;
    }
    return std::nullopt;
}
