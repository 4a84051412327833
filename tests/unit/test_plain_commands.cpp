// Commands that run_command carries out from a description: the plain
// commands of the families (a call name and a sequence), and a row that no
// family registers, which runs from the row itself. Also what every row must
// have for that: a family's runner wherever the module sends data back, and
// a library function the public header declares.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "FarEnd.h"
#include "InProcess.h"
#include "Json.h"
#include "ModuleSDK.h"
#include "families/Run.h"
#include "protocol/Commands.h"

using namespace kelvor;
namespace cmd = kelvor::packet::cmd;

namespace {

class PlainCommands : public ::testing::Test {
protected:
    void TearDown() override { farend::reset_library(); }
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The request of a command by keyword, with values for every option it might read.
CommandRequest request_of(const char* keyword) {
    CommandRequest r{};
    r.keyword = keyword;
    r.param1 = 0x11;
    r.param2 = 0x22;
    r.flag = 0x33;
    return r;
}

} // namespace

TEST(CommandRows, EveryFunctionIsDeclaredInThePublicHeader) {
    const std::string header = read_file(std::string(KELVOR_SOURCE_DIR) + "/ModuleSDK/ModuleSDK.h");
    ASSERT_FALSE(header.empty());
    std::set<std::string> seen;
    for (const packet::Command& c : packet::COMMANDS) {
        SCOPED_TRACE(c.keyword);
        // A command that its row alone runs has no function of the library's.
        const run::Registration& r = run::registration_of(c.code);
        if (c.family == packet::Family::Raw || (!r.run && !r.plain)) {
            EXPECT_EQ(c.function, nullptr) << "only a command of a family has a function";
            continue;
        }
        ASSERT_NE(c.function, nullptr);
        std::stringstream names(c.function);
        std::string name;
        while (std::getline(names, name, ',')) {
            name.erase(0, name.find_first_not_of(' '));
            EXPECT_TRUE(std::regex_search(header, std::regex("KELVOR_API [^;(]*\\b" + name + "\\(")))
                << name << " is not declared";
            EXPECT_TRUE(seen.insert(name).second) << name << " is the function of two rows";
        }
    }
}

TEST(CommandRows, WhatNoRowRunnerCanDoHasAFamilyRunner) {
    for (const packet::Command& c : packet::COMMANDS) {
        SCOPED_TRACE(c.keyword);
        const run::Registration& r = run::registration_of(c.code);
        if (c.family == packet::Family::Raw) {
            EXPECT_TRUE(!r.run && !r.plain) << "a raw command goes out raw";
            continue;
        }
        // From its row a command sends at most its input as one block and
        // receives nothing after the answer.
        const bool rowCanRunIt =
            c.files.output == packet::FileRole::None && c.announced.most == 0 &&
            (c.files.input == packet::FileRole::None || c.files.input == packet::FileRole::Data);
        EXPECT_TRUE(rowCanRunIt || r.run) << "its family must run it";
        // A plain registration runs the sequence of its own command.
        if (r.plain) {
            EXPECT_EQ(r.plain->sequence->command, c.code);
            EXPECT_EQ(r.run, nullptr);
            EXPECT_EQ(c.files.input, packet::FileRole::None) << "a plain command sends no data";
        }
    }
}

// A plain command through run_command and through its library function:
// the same call line, the same packet (the options it does not read are not
// sent), the same answer's values.
TEST_F(PlainCommands, RunCommandAndTheFunctionSendTheSame) {
    struct Case {
        const char* keyword;
        int (*call)();
        const char* callLine;
        uint32_t answerParam1, answerParam2;
        const char* values; // the outcome's values as --json gives them
    };
    static uint32_t a, b;
    const Case cases[] = {
        {"DA", [] { return delete_all_templates(); }, "[API] Delete All Templates(DA)\n", 0, 0, "{}"},
        {"DAA", [] { return delete_all_templates_with_admin(); },
         "[API] Delete All Templates with admin's verification(DAA)\n", 0, 0, "{}"},
        {"SF", [] { return system_parameter_save(); }, "[API] System Parameter Save(SF)\n", 0, 0, "{}"},
        {"LN", [] { return get_log_count(&a, &b); }, "[API] Get log count(LN)\n", 7, 9,
         R"({"records":7,"capacity":9})"},
        {"DW", [] { return delete_template_by_wiegand(&a); }, "[API] Delete Template by Wiegand(DW)\n", 5, 0,
         R"({"user_id":5})"},
        {"GD", [] { return reset_gpio(); }, "[API] Reset GPIO to default configuration(GD)\n", 0, 0, "{}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keyword);
        const uint8_t code = packet::command_named(c.keyword)->code;
        for (const bool throughRunCommand : {false, true}) {
            farend::Script s;
            s.open_sequence()
                .expect_packet(code, 0, 0, 0)
                .answer(code, c.answerParam1, c.answerParam2, SUCCEED);
            Outcome out;
            const farend::Exchange r = farend::run_in_process(s, [&] {
                if (!throughRunCommand) return c.call();
                run_command(request_of(c.keyword), out);
                return out.result;
            });
            EXPECT_EQ(r.rc, 0);
            EXPECT_EQ(r.trace.substr(0, std::strlen(c.callLine)), c.callLine);
            EXPECT_TRUE(r.far.ok) << r.far.failure;
            if (throughRunCommand) {
                const std::string line = json_output::command_object(out, 0, {});
                EXPECT_EQ(nlohmann::ordered_json::parse(line)["values"].dump(), c.values);
            }
        }
    }
}

// A row without a registration: its call line from its summary and the
// options it reads, the packet with those options only, its input as a data
// block, and a refusal judged as a busy module's or an unknown one.
TEST_F(PlainCommands, ARowNoFamilyRegistersRunsFromTheRow) {
    struct Case {
        const char* keyword; // a real row, run as if its family had no runner
        bool input;
        uint32_t param1, param2;
        uint8_t flag;
        const char* callLine;
    };
    const Case cases[] = {
        {"SF", false, 0, 0, 0, "[API] Save the system parameters in the module(SF)\n"},
        {"UW", false, 0x11, 0x22, 0x33, "[API] Write a user's authentication policy(UW): 0x11 0x22 0x33\n"},
        {"WFR", false, 0, 0x22, 0, "[API] Get the default value of a Wiegand field(WFR): 0x22\n"},
        {"MW", true, 0x11, 0x22, 0, "[API] Write user memory(MW): 0x11 0x22\n"},
    };
    const struct {
        uint8_t flag;
        int rc;
        const char* error;
    } answers_[] = {
        {SUCCEED, 0, ""},
        {SYSTEM_BUSY, RES_SYSTEM_BUSY, "[ERR] System is busy\n"},
        {NOT_FOUND, RES_UNKNOWN, "[ERR] Unknown error\n"},
    };
    const std::vector<uint8_t> data = {1, 2, 3, 4};
    for (const Case& c : cases) {
        for (const auto& a : answers_) {
            SCOPED_TRACE(std::string(c.keyword) + " flag " + std::to_string(a.flag));
            const packet::Command& row = *packet::command_named(c.keyword);
            farend::Script s;
            s.open_sequence().expect_packet(row.code, c.param1, c.param2, c.flag);
            if (c.input) s.expect(farend::data_block(data));
            s.answer(row.code, 0, 0, a.flag);
            Outcome out;
            const farend::Exchange r = farend::run_in_process(s, [&] {
                const CommandRequest req = request_of(c.keyword);
                return run::from_row(row, run::read_of(row, req), c.input ? data : std::span<const uint8_t>(),
                                     out);
            });
            EXPECT_EQ(r.rc, a.rc);
            EXPECT_EQ(r.trace, std::string(c.callLine) + a.error);
            EXPECT_TRUE(r.far.ok) << r.far.failure;
            EXPECT_TRUE(r.far.extra.empty());
        }
    }
}
