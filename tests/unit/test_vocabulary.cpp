// The tables derived from the wire vocabulary's lists agree with them: the
// keyword rows of commands, system parameters and baud codes, the command
// reference and the dispatcher all name the same codes.
#include <gtest/gtest.h>

#include <set>
#include <span>
#include <string>

#include "CommandReference.h"
#include "Commands.h"
#include "ModuleSDK.h"
#include "protocol/Commands.h"

using namespace kelvor;

namespace {

class Vocabulary : public ::testing::Test {
protected:
    void SetUp() override {
        keyword_reset();
        keyword_fill();
    }
    void TearDown() override { keyword_reset(); }
};

TEST_F(Vocabulary, EveryCommandIsNamedDescribedAndDispatched) {
    std::set<std::string> keywords;
    for (const packet::Command& c : packet::COMMANDS) {
        SCOPED_TRACE(c.keyword);
        const bool first = keywords.insert(c.keyword).second;
        if (first) {
            EXPECT_EQ(keyword_code(KW_COMMAND, c.keyword), c.code);
        }
        EXPECT_STRNE(keyword_name(KW_COMMAND, c.code), "Unknown");
        ASSERT_NE(packet::command_named(c.keyword), nullptr);
        ASSERT_NE(packet::command_of(c.code), nullptr);
        if (first) {
            EXPECT_EQ(packet::command_named(c.keyword)->code, c.code);
        }
        const CommandInfo* info = command_info(c.code);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->code, c.code);
        // A command without a case of its own goes out only as a raw packet (-x4), as its example says.
        if (!has_command_case(c.code)) {
            EXPECT_EQ(std::string(info->example).rfind("-x4 ", 0), 0u) << info->example;
        }
    }
    // Every row of the reference belongs to a command of the list.
    for (const CommandInfo& info : command_reference()) {
        bool listed = false;
        for (const packet::Command& c : packet::COMMANDS) listed = listed || c.code == info.code;
        EXPECT_TRUE(listed) << std::hex << int{info.code};
    }
}

TEST_F(Vocabulary, ParametersAndBaudCodesKeepTheirNames) {
    for (const packet::Parameter& p : packet::PARAMETERS) {
        SCOPED_TRACE(p.name);
        EXPECT_STREQ(keyword_name(KW_PARAMETER, p.number), p.name);
        EXPECT_EQ(keyword_code(KW_PARAMETER, p.name), p.number);
        EXPECT_EQ(packet::parameter_of(p.number), &p);
    }
    for (const packet::BaudRate& b : packet::BAUD_RATES) {
        SCOPED_TRACE(b.name);
        EXPECT_STREQ(keyword_name(KW_BAUD, b.code), b.name);
        EXPECT_EQ(keyword_code(KW_BAUD, b.name), b.code);
        EXPECT_EQ(packet::baud_rate_of(b.code), b.rate);
        EXPECT_TRUE(packet::is_baud_code(b.code));
    }
    // Events and their sources: one name per code, found back by name, as the
    // event log prints them and the simulated module logs them.
    const struct {
        int category;
        std::span<const packet::Named> names;
    } named[] = {{KW_EVENT, packet::EVENTS}, {KW_EVENT_SOURCE, packet::EVENT_SOURCES}};
    for (const auto& table : named) {
        for (const packet::Named& n : table.names) {
            SCOPED_TRACE(n.name);
            EXPECT_STREQ(keyword_name(table.category, n.code), n.name);
            EXPECT_EQ(keyword_code(table.category, n.name), n.code);
            for (const packet::Named& other : table.names)
                EXPECT_TRUE(&other == &n || other.code != n.code) << other.name;
        }
    }
}

} // namespace
