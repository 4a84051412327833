// The texts the build makes from the option table and what the manual page
// says of each option and the completion offers for its value (OptionDocs.cpp):
// the manual page's OPTIONS and the bash completion. kelvor-docs, the build's
// generator, is their user; kelvor itself does not link them.
#pragma once

#include <string>
#include <string_view>

namespace options {

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
