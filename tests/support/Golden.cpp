#include "Golden.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>

namespace golden {

namespace fs = std::filesystem;

namespace {

std::string safe(std::string_view name) {
    std::string out;
    for (const char c : name) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '.' || c == '_' || c == '-';
        out += kept ? c : '-';
    }
    // No hidden files, none that a shell takes for an option.
    while (!out.empty() && (out.front() == '-' || out.front() == '.')) out.erase(0, 1);
    return out.empty() ? "_" : out;
}

// The file's bytes; none when there is no regular file of that name.
std::optional<std::string> read(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The files compared so far by the running test: two comparisons with one
// file are a test whose rows share a name, which writing would hide.
bool first_use(const std::string& file) {
    static std::string test;
    static std::set<std::string> used;
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string now = info ? std::string(info->test_suite_name()) + "." + info->name() : "";
    if (now != test) {
        test = now;
        used.clear();
    }
    return used.insert(file).second;
}

// What an update did, told once the test program ends.
struct Counts {
    int created = 0, updated = 0, unchanged = 0;
};
Counts counts;

class UpdateSummary : public ::testing::Environment {
public:
    void TearDown() override {
        if (!updating()) return;
        std::printf("[ GOLDEN   ] %d file(s) created, %d updated, %d unchanged\n", counts.created,
                    counts.updated, counts.unchanged);
        std::fflush(stdout);
    }
};
[[maybe_unused]] const ::testing::Environment* const summary =
    ::testing::AddGlobalTestEnvironment(new UpdateSummary);

} // namespace

bool updating() {
    const char* v = std::getenv("KELVOR_GOLDEN_UPDATE");
    return v && std::string_view(v) == "1";
}

std::string file_of(const char* sourceFile, std::string_view row) {
    std::string stem = fs::path(sourceFile).stem().string();
    if (stem.starts_with("test_")) stem.erase(0, 5);
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string test = info ? safe(std::string(info->test_suite_name()) + "." + info->name()) : "_";
    std::string file = stem + "/" + test;
    if (!row.empty()) file += "/" + safe(row);
    return file + ".txt";
}

std::string replaced(std::string text, const std::string& what, const std::string& with) {
    if (what.empty()) return text;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size())
        text.replace(at, what.size(), with);
    return text;
}

::testing::AssertionResult Matches::operator()(const char* actualExpression,
                                               const std::string& actual) const {
    const fs::path path = fs::path(KELVOR_GOLDEN) / file_;
    if (!first_use(file_))
        return ::testing::AssertionFailure() << "golden file " << file_ << " compared twice in one test";
    const std::optional<std::string> expected = read(path);
    if (updating()) {
        if (expected == actual) {
            ++counts.unchanged;
            return ::testing::AssertionSuccess();
        }
        std::error_code ec;
        fs::create_directories(path.parent_path(), ec);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << actual;
        out.close();
        if (!out) return ::testing::AssertionFailure() << "cannot write golden file " << path.string();
        ++(expected ? counts.updated : counts.created);
        std::printf("[ GOLDEN   ] %s %s\n", expected ? "updated" : "created", file_.c_str());
        std::fflush(stdout);
        ::testing::Test::RecordProperty("golden_updated", file_);
        return ::testing::AssertionSuccess();
    }
    if (!expected)
        return ::testing::AssertionFailure()
               << "missing golden file " << path.string() << " (KELVOR_GOLDEN_UPDATE=1 writes it)\n"
               << actualExpression << " is " << ::testing::PrintToString(actual);
    if (*expected == actual) return ::testing::AssertionSuccess();
    return ::testing::internal::EqFailure(("golden file " + file_).c_str(), actualExpression,
                                          ::testing::PrintToString(*expected),
                                          ::testing::PrintToString(actual), false);
}

} // namespace golden
