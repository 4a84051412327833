// Expected texts kept in files: the traces and outputs the tests compare a
// run with, byte for byte, under tests/golden/<test file>/ of the source tree
// (tests/golden/README.md). With KELVOR_GOLDEN_UPDATE=1 in the environment a
// comparison writes what the run gave into its file instead, for review with
// git diff; otherwise a missing file fails the test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace golden {

// Whether this run writes the golden files instead of comparing with them.
bool updating();

// The file of the running test: <stem>/<Suite>.<Test>.txt, or for one row of
// a table <stem>/<Suite>.<Test>/<row>.txt; <stem> is the test file's name
// without "test_" and ".cpp". A row name keeps letters, digits, '.', '_' and
// '-'; any other character reads '-'.
std::string file_of(const char* sourceFile, std::string_view row = {});

// `text` with every `what` in it written `with`: what varies from run to run
// (a temporary directory) in the fixed form that the golden file holds.
std::string replaced(std::string text, const std::string& what, const std::string& with);

// The comparison behind EXPECT_GOLDEN: a predicate formatter of GoogleTest.
class Matches {
public:
    explicit Matches(const char* sourceFile, std::string_view row = {}) : file_(file_of(sourceFile, row)) {}
    ::testing::AssertionResult operator()(const char* actualExpression, const std::string& actual) const;

private:
    std::string file_;
};

} // namespace golden

// EXPECT_GOLDEN(text) compares text with the running test's golden file;
// EXPECT_GOLDEN(text, row) with the file of that row of its table.
#define EXPECT_GOLDEN(actual, ...)                                                                           \
    EXPECT_PRED_FORMAT1(::golden::Matches(__FILE__ __VA_OPT__(, ) __VA_ARGS__), actual)
