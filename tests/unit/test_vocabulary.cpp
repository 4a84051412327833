// The tables derived from the wire vocabulary's lists agree with them: the
// keyword rows of commands, system parameters and baud codes, the command
// reference and the dispatcher all name the same codes.
#include <gtest/gtest.h>

#include <set>
#include <span>
#include <string>

#include "CommandReference.h"
#include "CommandFiles.h"
#include "ModuleSDK.h"
#include "protocol/Commands.h"

using namespace kelvor;

namespace {

class Vocabulary : public ::testing::Test {};

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
        if (!tools::has_command_case(c.code)) {
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

// Every value set of the vocabulary: codes and names unique within the set
// (a lookup finds the first row only, so a repeated code or name would hide
// a row), and the keyword table names each code as its set does.
TEST_F(Vocabulary, EveryValueSetHasUniqueCodesAndNamesAndIsTheKeywordTables) {
    struct Set {
        const char* what;
        int category;
        std::span<const packet::Named> names;
    };
    const Set sets[] = {
        {"enroll options", KW_ENROLL_OPTION, packet::ENROLL_OPTIONS},
        {"GPIO modes", KW_GPIO_MODE, packet::GPIO_MODES},
        {"GPIO input functions", KW_GPIO_INPUT_FUNCTION, packet::GPIO_INPUT_FUNCTIONS},
        {"GPIO input activations", KW_GPIO_INPUT_ACTIVATION, packet::GPIO_INPUT_ACTIVATIONS},
        {"GPIO output events", KW_GPIO_OUTPUT_EVENT, packet::GPIO_OUTPUT_EVENTS},
        {"GPIO output levels", KW_GPIO_OUTPUT_LEVEL, packet::GPIO_OUTPUT_LEVELS},
        {"Wiegand functions", KW_WIEGAND_FUNCTION, packet::WIEGAND_FUNCTIONS},
        {"Wiegand ports", KW_WIEGAND_PORT, packet::WIEGAND_PORTS},
        {"Wiegand read modes", KW_WIEGAND_STATUS, packet::WIEGAND_INPUT_READ_MODES},
        {"Wiegand formats", KW_WIEGAND_FORMAT, packet::WIEGAND_FORMATS},
        {"input functions", KW_INPUT_FUNCTION, packet::INPUT_FUNCTIONS},
        {"input ports", KW_INPUT_PORT, packet::INPUT_PORTS},
        {"input read modes", KW_INPUT_READ_MODE, packet::INPUT_READ_MODES},
        {"input states", KW_INPUT_STATE, packet::INPUT_STATES},
        {"events", KW_EVENT, packet::EVENTS},
        {"output ports", KW_OUTPUT_PORT, packet::OUTPUT_PORTS},
        {"output states", KW_OUTPUT_STATE, packet::OUTPUT_STATES},
        {"event sources", KW_EVENT_SOURCE, packet::EVENT_SOURCES},
        {"administrator levels", KW_ADMIN_LEVEL, packet::ADMIN_LEVELS},
        {"card input functions", KW_CARD_FUNCTION, packet::CARD_INPUT_FUNCTIONS},
        {"authentication policies", KW_AUTH_POLICY, packet::AUTH_POLICIES},
    };
    for (const Set& set : sets) {
        SCOPED_TRACE(set.what);
        std::set<int> codes;
        std::set<std::string> names;
        for (const packet::Named& n : set.names) {
            EXPECT_TRUE(codes.insert(n.code).second) << "code " << n.code << " twice";
            EXPECT_TRUE(names.insert(n.name).second) << n.name << " twice";
            EXPECT_STREQ(keyword_name(set.category, n.code), n.name);
            EXPECT_EQ(keyword_code(set.category, n.name), n.code);
        }
    }
    // The values the host and the simulated module act on are the sets' own.
    EXPECT_EQ(packet::highest_code(packet::GPIO_MODES), packet::gpio_mode::WIEGAND_OUTPUT);
    EXPECT_EQ(packet::highest_code(packet::AUTH_POLICIES), packet::auth_policy::REJECT);
    EXPECT_EQ(packet::output_port::AUTO_RESPONSE + 1u, std::size(packet::OUTPUT_PORTS));
}

} // namespace
