// What the manual page says of each option and what the bash completion offers
// for its value, and the texts the build makes from them and the option table:
// the manual page's OPTIONS and the completion script. kelvor-docs, the
// build's generator, is their user; kelvor itself does not link them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "OptionTable.h"

namespace options {

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

// Every option the manual describes, in the manual's order: each option of
// the table once, but the words of --commands, which its entry names.
std::span<const OptionDoc> docs();

// The manual page's OPTIONS section after its heading, roff text.
std::string manual_options();

// The words the completion offers for a word that begins with "-": the
// options' names, in the table's order, -x with each of its digits.
std::string completion_words();

// The completion script: the template with its @...@ filled (@OPTIONS@ the
// words above, @KEYWORDS@, @FILES@ ... each the case pattern of the options
// whose value completes so, "-i | -o | -F"). Throws std::runtime_error on a
// placeholder it does not know, or a kind of value the template has no case for.
std::string fill_completion(std::string_view script);

} // namespace options
