// The option table is the one list of kelvor's options: the usage text, the
// parsing, the bash completion and the manual page's OPTIONS come from it, and
// the manual's page of the tool (docs/tool.md) lists exactly its short options.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "FarEnd.h"
#include "OptionDocs.h"
#include "OptionTable.h"

namespace {

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string source(const char* name) {
    return read_text(std::string(KELVOR_SOURCE_DIR) + "/" + name);
}

std::vector<std::string> split_words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// The option names a reader types: -x with each trace level attached.
std::vector<std::string> typed_names() {
    std::vector<std::string> names;
    for (const options::Option& o : options::all()) {
        if (o.takes == options::Value::Digit)
            for (char d = '0'; d <= '4'; ++d) names.push_back(o.name + std::string(1, d));
        else
            names.emplace_back(o.name);
    }
    return names;
}

bool short_name(const char* name) {
    return name[1] != '-';
}

} // namespace

TEST(OptionTable, UsageTextIsTheOneOfBefore) {
    const std::string expected = read_text(KELVOR_FIXTURES "/kelvor-help.txt");
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(options::usage(), expected);
}

TEST(OptionTable, NamesAreUniqueAndWellFormed) {
    std::set<std::string> seen;
    for (const options::Option& o : options::all()) {
        const std::string name = o.name;
        EXPECT_TRUE(seen.insert(name).second) << name;
        if (o.alias) {
            EXPECT_TRUE(seen.insert(o.alias).second) << o.alias;
        }
        EXPECT_EQ(name[0], '-') << name;
        // A short option's value is the next word or an attached digit; the
        // long ones alone take an optional value or the rest of the line.
        if (short_name(o.name)) {
            EXPECT_TRUE(o.takes == options::Value::None || o.takes == options::Value::Next ||
                        o.takes == options::Value::Digit)
                << name;
        }
        EXPECT_EQ(o.value != nullptr, o.takes != options::Value::None) << name;
        EXPECT_EQ(o.help == nullptr, o.section == options::Section::OfCommands) << name;
    }
}

// The words of the command line as the parsing sees them, with the quirks
// scripts rely on: a short option is matched by its start, its value is the
// next word whatever it holds.
TEST(OptionTable, ShortOptionsOfWords) {
    struct Case {
        const char* word;
        const char* option; // nullptr: no option
        bool takesNext;
    };
    const Case cases[] = {
        {"-c", "-c", true},         {"-cSS", "-c", true},   {"-p1", "-p1", true},
        {"-p1x", "-p1", true},      {"-p2", "-p2", true},   {"-p", nullptr, false},
        {"-p3", nullptr, false},    {"-x3", "-x", false},   {"-x", "-x", false},
        {"-x9", "-x", false},       {"-B", "-B", false},    {"-w", "-w", false},
        {"-F", "-F", true},         {"-P", "-P", true},     {"-d", "-d", true},
        {"-t", "-t", true},         {"-h", nullptr, false}, {"-V", nullptr, false},
        {"-z", nullptr, false},     {"-", nullptr, false},  {"--backup", nullptr, false},
        {"--json", nullptr, false}, {"SS", nullptr, false}, {"", nullptr, false},
    };
    for (const Case& c : cases) {
        const options::Option* o = options::short_option(c.word);
        if (c.option == nullptr) {
            EXPECT_EQ(o, nullptr) << c.word;
        } else {
            ASSERT_NE(o, nullptr) << c.word;
            EXPECT_STREQ(o->name, c.option) << c.word;
        }
        EXPECT_EQ(options::takes_next_word(c.word), c.takesNext) << c.word;
    }
    EXPECT_EQ(options::long_option("--backup")->id, options::Id::Backup);
    EXPECT_EQ(options::long_option("--backups"), nullptr);
    EXPECT_EQ(options::long_option("-c"), nullptr);
}

// The completion the build made offers every option of the table, in its
// order, and no other; an option with a value of its own is named among the
// cases that complete one; no placeholder of the template is left.
TEST(OptionTable, CompletionOffersExactlyTheTable) {
    const std::string script = read_text(KELVOR_COMPLETION);
    ASSERT_FALSE(script.empty());
    EXPECT_FALSE(std::regex_search(script, std::regex("@[A-Z_]+@"))) << script;
    std::string offered;
    const std::regex list(R"re(options\+?="([^"]*)")re");
    for (std::sregex_iterator m(script.begin(), script.end(), list), end; m != end; ++m)
        offered += " " + (*m)[1].str();
    EXPECT_EQ(split_words(offered), typed_names());

    std::set<std::string> completed;
    const std::regex pattern(R"(^\s+(-[-a-zA-Z0-9| ]*)\)\s*$)");
    std::istringstream lines(script);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, pattern)) continue;
        for (const std::string& w : split_words(std::regex_replace(m[1].str(), std::regex(R"(\|)"), " ")))
            completed.insert(w);
    }
    for (const options::Option& o : options::all()) {
        const bool ownValue = o.takes == options::Value::Next;
        EXPECT_EQ(completed.count(o.name) == 1, ownValue) << o.name;
    }
}

namespace {

// What the completion script offers for the words of a command line, the last
// one being completed, sorted: bash runs the script's _kelvor as a shell
// would on TAB.
std::vector<std::string> complete(const std::vector<std::string>& words) {
    std::string command = "bash -c 'source \"$1\"; shift; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); "
                          "_kelvor; printf \"%s\\n\" \"${COMPREPLY[@]}\"' _ '" KELVOR_COMPLETION "'";
    for (const std::string& w : words) command += " '" + w + "'";
    command += " 2>/dev/null";
    FILE* out = popen(command.c_str(), "r");
    if (out == nullptr) return {"(bash did not start)"};
    std::string text;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;) text.append(buffer, n);
    pclose(out);
    std::vector<std::string> offered = split_words(text);
    std::sort(offered.begin(), offered.end());
    return offered;
}

} // namespace

// The generated completion completes as the one written by hand did: options
// by their start, keywords asked from kelvor, files, directories, rates, and
// nothing where the value is typed.
TEST(OptionTable, GeneratedCompletionCompletes) {
    farend::TempDir dir;
    dir.write("subfile", std::string("x"));
    ASSERT_EQ(::mkdir((dir.path() + "/subdir").c_str(), 0700), 0);
    const std::string sub = dir.path() + "/sub";
    using Words = std::vector<std::string>;
    struct Case {
        Words line;
        Words offered;
    };
    const Case cases[] = {
        {{"kelvor", "--ver"}, {"--version"}},
        {{"kelvor", "-x"}, {"-x0", "-x1", "-x2", "-x3", "-x4"}},
        {{"kelvor", "-c", "SS", "--from"}, {"--from", "--from-module"}},
        {{"kelvor", "--dry"}, {"--dry-run"}},
        {{KELVOR_NATIVE_BIN, "-c", "ec"}, {"EC", "ECX"}},
        {{"kelvor", "-b", "11"}, {"115200"}},
        {{"kelvor", "-b", ""}, {"115200", "19200", "38400", "57600", "9600"}},
        {{"kelvor", "-i", sub}, {sub + "dir", sub + "file"}},
        {{"kelvor", "-F", sub}, {sub + "dir", sub + "file"}},
        {{"kelvor", "--backup", sub}, {sub + "dir"}},
        {{"kelvor", "--from", sub}, {sub + "dir"}},
        {{"kelvor", "-p1", "-"}, {}},
        {{"kelvor", "--users", "-"}, {}},
        {{"kelvor", "--modules", "1"}, {}},
        {{"kelvor", "-t", ""}, {}},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& w : c.line) line += " " + w;
        EXPECT_EQ(complete(c.line), c.offered) << line;
    }
}

// The template's placeholders: each list the table fills, bash's own @ left
// alone; a template without a case for some kind of value, or with a list the
// table does not know, is refused rather than installed half filled.
TEST(OptionTable, CompletionTemplateIsFilledOrRefused) {
    const std::string typed = "@TYPED@) g;;";
    const std::string others = "@KEYWORDS@) a;; @SERIAL_PORTS@) b;; @FILES@) c;; @DIRECTORIES@) d;; "
                               "@SOCKETS@) e;; @RATES@) f;; ";
    EXPECT_EQ(options::fill_completion(others + typed + R"( "${COMPREPLY[@]}" "$@" a@b @x@)"),
              "-c) a;; -P) b;; -i | -o | -F) c;; --backup | --restore | --from) d;; --server) e;; -b) f;; "
              "-p1 | -p2 | -f | -d | -n | -m | -a | -t | -s | --from-module | --users | --modules) g;;"
              R"( "${COMPREPLY[@]}" "$@" a@b @x@)");
    EXPECT_TRUE(options::fill_completion(others + typed + " o=\"@OPTIONS@\"")
                    .ends_with(" o=\"" + options::completion_words() + "\""));
    for (const std::string& refused : {others, "@FILES@) c;; " + typed, others + typed + " @FILE@"})
        EXPECT_THROW(options::fill_completion(refused), std::runtime_error) << refused;
}

// The manual page's OPTIONS describe each option of the table once (the words
// of --commands within its entry), with a value where the option takes one.
TEST(OptionTable, ManualPageDescribesExactlyTheTable) {
    const std::string page = read_text(KELVOR_MAN_DIR "/kelvor.1");
    const size_t from = page.find("\n.SH OPTIONS\n");
    ASSERT_NE(from, std::string::npos);
    const size_t to = page.find("\n.SH ", from + 1);
    std::istringstream lines(page.substr(from, to - from));
    std::vector<std::pair<std::string, std::string>> entries; // name, macro
    bool tagged = false;
    for (std::string line; std::getline(lines, line);) {
        if (line == ".TP") {
            tagged = true;
            continue;
        }
        if (!tagged) continue;
        tagged = false;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, std::regex(R"(^\.(BI?R?) ((?:\\-|[a-zA-Z0-9])+))"))) << line;
        entries.emplace_back(std::regex_replace(m[2].str(), std::regex(R"(\\-)"), "-"), m[1].str());
    }
    std::set<std::string> described;
    for (const auto& [name, macro] : entries) {
        EXPECT_TRUE(described.insert(name).second) << name << " is described twice";
        const options::Option* o = short_name(name.c_str()) ? options::short_option(name.c_str())
                                                            : options::long_option(name.c_str());
        if (o == nullptr || o->name != name) {
            ADD_FAILURE() << name << " is no option of kelvor";
            continue;
        }
        // .BI sets a value in italics after the name; .B and .BR do not.
        if (o->takes == options::Value::Next || o->takes == options::Value::Digit) {
            EXPECT_EQ(macro, "BI") << name;
        } else if (o->takes == options::Value::None) {
            EXPECT_NE(macro, "BI") << name;
        }
    }
    for (const options::Option& o : options::all()) {
        if (o.section != options::Section::OfCommands) {
            EXPECT_EQ(described.count(o.name), 1u) << o.name;
        }
    }
}

// The table of the short options in the manual's page of the tool: each of them once, and "yes" in
// its last column for exactly the serial settings kelvor.cfg keeps.
TEST(OptionTable, ManualTableListsTheShortOptions) {
    const std::string page = source("docs/tool.md");
    const size_t at = page.find("| Option | Meaning | Saved in `kelvor.cfg` |");
    ASSERT_NE(at, std::string::npos);
    std::istringstream lines(page.substr(at));
    std::map<std::string, bool> saved;
    std::string line;
    std::getline(lines, line);
    std::getline(lines, line);
    const std::regex name("`(-[a-zA-Z][0-9]?)[^`]*`");
    while (std::getline(lines, line) && line.starts_with("|")) {
        const std::string first = line.substr(1, line.find('|', 1) - 1);
        const bool yes = line.substr(line.rfind('|', line.size() - 2)).find("yes") != std::string::npos;
        for (std::sregex_iterator m(first.begin(), first.end(), name), end; m != end; ++m) {
            std::string option = (*m)[1].str();
            if (option.starts_with("-x")) option = "-x"; // -x0 ... -x4
            saved[option] = yes;
        }
    }
    std::map<std::string, bool> expected;
    for (const options::Option& o : options::all())
        if (short_name(o.name)) expected[o.name] = o.section == options::Section::Serial;
    EXPECT_EQ(saved, expected);
}
