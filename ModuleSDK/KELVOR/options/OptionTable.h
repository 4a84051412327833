// The options of kelvor, each written once: its name, the value it takes, the
// help line of the usage text and the part of the usage it stands in. The
// usage text and the parsing of the short and long options are made from it;
// so are, when kelvor is built, the manual page's OPTIONS and the bash
// completion's options (OptionDocs.h: the manual's text of each option). The
// manual's table of the short options (docs/tool.md) is checked against it by the tests.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace options {

// What an option sets or does; the parsing switches on it.
enum class Id : uint8_t {
    // The command and its files.
    Command,
    Param1,
    Param2,
    Flag,
    Input,
    Output,
    Batch,
    Broadcast,
    Monitor,
    Hook,
    // The serial settings, saved in kelvor.cfg.
    Port,
    Baud,
    Network,
    ModuleId,
    HexText,
    Timeout,
    ChunkSize,
    Trace,
    // The long options.
    Help,
    Version,
    Commands,
    Markdown,
    Man,
    ListPorts,
    ExitCode,
    Backup,
    Restore,
    Json,
    JsonSchema,
    Scan,
    Modules,
    Server,
    Watch,
    CopyUsers,
    FromModule,
    From,
    Users,
    Replace,
    Prune,
    DryRun,
};

// What follows the option's name.
enum class Value : uint8_t {
    None,     // nothing
    Next,     // the next word, whatever it holds (a long option's: unless it is a long option)
    Digit,    // a digit attached to the name (-x3)
    Optional, // the next word unless it is an option (--scan's range)
    Rest,     // the words after it are its own (--commands)
};

// The digits a Digit option takes (-x0 to -x4).
constexpr char FIRST_DIGIT = '0';
constexpr char LAST_DIGIT = '4';

// Where the option stands in the usage text.
enum class Section : uint8_t {
    Run,        // the options of the command, its files and the run
    Serial,     // the serial settings, saved in kelvor.cfg when given
    Long,       // the long options
    OfCommands, // a word of --commands alone, described in its help
};

struct Option {
    Id id;
    const char* name;  // "-c", "-p1", "--backup"
    const char* alias; // the other spelling ("-h" of --help), nullptr when none
    const char* value; // the value as the usage names it ("CMD"), nullptr when none
    Value takes;
    Section section;
    const char* help; // the usage text's lines, '\n' between them; nullptr when the option has none
};

// Every option, in the order of the usage text.
std::span<const Option> all();

// The short option a word of the command line names ("-c", "-cX", "-p1",
// "-x3": the name, then anything), nullptr when none: a short option is
// matched by its name at the start of the word.
const Option* short_option(const char* word);
// The long option a word names exactly ("--backup"), nullptr when none.
const Option* long_option(const char* word);
// Whether a word of the command line is a short option that takes the next
// word as its value (never an option of its own, whatever it begins with).
bool takes_next_word(const char* word);

// The usage text of --help.
const std::string& usage();

} // namespace options
