// What a command's outcome records, from the answer tables themselves: the
// named fields of the success lines, the values the families decode, the line
// that decided the command; only into the outcome of a scope, never elsewhere.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "AnswerWalk.h"
#include "FarEnd.h"
#include "InProcess.h"
#include "Json.h"
#include "ModuleSDK.h"
#include "trace/Outcome.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;

namespace {

class OutcomeTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        farend::reset_library(farend::Keywords::Refill);
        json_output::reset();
    }
};

using answerwalk::Answer;

struct Case {
    const char* name;
    std::function<int()> call;
    uint8_t command;
    uint32_t param1, param2;
    uint8_t flag;
    std::vector<Answer> answers;
    const char* values;  // the record's values as JSON
    const char* message; // nullptr: none
};

// The values of an outcome as JSON text, as the --json objects hold them.
std::string values_json(const Outcome& o) {
    const std::string line = json_output::command_object(o, 0, {});
    const auto values = nlohmann::ordered_json::parse(line)["values"];
    return values.dump();
}

// The call in a scope of its own, after an opening whose own reads are not the command's.
void walk(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        farend::Script s;
        s.open_sequence().expect_packet(c.command, c.param1, c.param2, c.flag);
        for (const Answer& a : c.answers) s.answer(c.command, a.param1, a.param2, a.flag);
        Outcome r;
        farend::run_in_process(s, [&] {
            const outcome::Scope scope(r);
            return c.call();
        });
        EXPECT_EQ(values_json(r), c.values);
        EXPECT_EQ(r.hasMessage, c.message != nullptr);
        if (c.message) {
            EXPECT_EQ(r.message, c.message);
        }
    }
}

TEST_F(OutcomeTest, ValuesAndMessagesOfTheAnswerTables) {
    uint32_t a = 0, b = 0;
    walk({
        {"identified",
         [&] { return identify_by_scan(0, 0, &a, &b); },
         cmd::IS,
         0,
         0,
         0,
         {{SUCCEED, 0x14, 0x3c5}},
         R"({"user_id":20,"score":965})",
         "Identify Succeed: 0x14 0x3c5"},
        {"not found",
         [&] { return identify_by_scan(0, 0, &a, &b); },
         cmd::IS,
         0,
         0,
         0,
         {{NOT_FOUND}},
         "{}",
         "Identify: Not found"},
        {"verified",
         [&] { return verify_by_scan(7, &b); },
         cmd::VS,
         7,
         0,
         0,
         {{SUCCEED, 7, 0x200}},
         R"({"user_id":7,"score":512})",
         "Verify Succeed: 0x200"},
        {"status",
         [&] { return system_status_check(&a); },
         cmd::SS,
         0,
         0,
         0,
         {{SUCCEED, 0x30}},
         R"({"status":48,"status_name":"Module is in normal condition"})",
         nullptr},
        {"parameter",
         [&] { return system_parameter_read(0x6e, &a); },
         cmd::SR,
         0,
         0,
         0x6e,
         {{SUCCEED, 0, 0x203}},
         R"({"parameter":110,"parameter_name":"Firmware Version","value":515})",
         nullptr},
        {"templates",
         [&] { return check_user_id(5, &a); },
         cmd::CT,
         5,
         0,
         0,
         {{SUCCEED, 5, 2}},
         R"({"user_id":5,"templates":2})",
         "Num of templates: 0x2"},
        {"enrolled",
         [&] { return enroll_by_scan(0, 0x79, &a); },
         cmd::ES,
         0,
         0,
         0x79,
         {{SUCCEED, 9}},
         R"({"user_id":9})",
         "Enroll: Succeed 0x9"},
        {"admin level",
         [&] { return read_admin_level(3, &a); },
         cmd::AR,
         3,
         0,
         0,
         {{SUCCEED, 3, 1}},
         R"({"user_id":3,"level":1,"level_name":"Enroll"})",
         nullptr},
        {"log count",
         [&] { return get_log_count(&a, &b); },
         cmd::LN,
         0,
         0,
         0,
         {{SUCCEED, 4, 1000}},
         R"({"records":4,"capacity":1000})",
         "Used: 0x4 Total: 0x3e8"},
    });
}

// An outcome reused for the next command is as a new one, with its room kept.
TEST_F(OutcomeTest, AnEmptiedOutcomeIsANewOneWithItsRoom) {
    Outcome o;
    o.result = 3;
    o.hasMessage = true;
    o.message = "a message longer than a short string's room";
    o.values.member("status") = Value{Value::Kind::Integer};
    o.values.text = "text";
    o.values.integer = 7;
    o.moduleText = {"[a line]"};
    o.output.assign(100, 1);
    o.outputTaken = true;
    o.hostLine = "Err: a host's line\n";
    o.hostCheck = HOST_CHECK_REQUESTED;
    o.hostRefused = true;
    const size_t room = o.output.capacity();
    outcome_empty(o);
    const Outcome fresh;
    EXPECT_EQ(o.result, fresh.result);
    EXPECT_EQ(o.hasMessage, fresh.hasMessage);
    EXPECT_EQ(o.message, fresh.message);
    EXPECT_EQ(o.values.kind, fresh.values.kind);
    EXPECT_EQ(o.values.integer, fresh.values.integer);
    EXPECT_EQ(o.values.text, fresh.values.text);
    EXPECT_TRUE(o.values.items.empty());
    EXPECT_TRUE(o.values.names.empty());
    EXPECT_EQ(o.moduleText, fresh.moduleText);
    EXPECT_EQ(o.output, fresh.output);
    EXPECT_EQ(o.outputTaken, fresh.outputTaken);
    EXPECT_EQ(o.hostLine, fresh.hostLine);
    EXPECT_EQ(o.hostCheck, fresh.hostCheck);
    EXPECT_EQ(o.hostRefused, fresh.hostRefused);
    EXPECT_EQ(o.output.capacity(), room);
}

// An emptied outcome keeps the room of a text it held for the next text
// recorded: what is recorded next is exactly the new value, wherever it goes.
TEST_F(OutcomeTest, AnEmptiedOutcomeLendsTheRoomOfATextToTheNextOne) {
    const std::string longer = "Module is in normal condition, and more besides";
    Outcome o;
    {
        const outcome::Scope scope(o);
        outcome::value("status", 48);
        outcome::text("status_name", longer);
        outcome::item_begin("records");
        outcome::text("text", longer);
        outcome::item_end();
    }
    const char* room = o.values.member("status_name").text.data();
    outcome_empty(o);
    EXPECT_TRUE(o.values.text.empty()); // an object shows no text of its own
    {
        const outcome::Scope scope(o);
        outcome::text("event_name", "ok");    // taken and filled, nothing left of the longer one
        outcome::text("source_name", longer); // the room is gone: a text of its own
        outcome::item_begin("records");
        outcome::text("text", "x");
        outcome::item_end();
    }
    ASSERT_NE(o.values.find("event_name"), nullptr);
    EXPECT_EQ(o.values.find("event_name")->text, "ok");
    EXPECT_EQ(o.values.find("event_name")->text.data(), room);
    EXPECT_EQ(o.values.find("source_name")->text, longer);
    EXPECT_EQ(o.values.find("records")->items.at(0).find("text")->text, "x");
    EXPECT_EQ(o.values.find("status"), nullptr);
    EXPECT_TRUE(o.values.text.empty());
}

TEST_F(OutcomeTest, NothingIsRecordedOutsideAScope) {
    farend::Script s;
    s.open_sequence().expect_packet(cmd::IS, 0, 0, 0).answer(cmd::IS, 0x14, 0x3c5, SUCCEED);
    Outcome before;
    {
        // A scope that ended records nothing more.
        const outcome::Scope scope(before);
    }
    farend::run_in_process(s, [] {
        EXPECT_FALSE(outcome::recording());
        EXPECT_EQ(outcome::current(), nullptr);
        uint32_t a = 0, b = 0;
        return identify_by_scan(0, 0, &a, &b);
    });
    EXPECT_TRUE(before.values.items.empty());
    EXPECT_FALSE(before.hasMessage);
}

// Scopes nest: the innermost takes what is recorded, the one around it
// records again once it ends; one that keeps no values keeps no message.
TEST_F(OutcomeTest, ScopesNestAndRecordOnlyWhatTheyKeep) {
    Outcome outer, inner, textOnly;
    {
        const outcome::Scope a(outer);
        outcome::value("user_id", 1);
        {
            const outcome::Scope b(inner);
            outcome::value("score", 2);
            outcome::message("inner line\n");
        }
        outcome::item_begin("records");
        outcome::flag("duress", true);
        outcome::item_end();
        {
            const outcome::Scope c(textOnly, {false, true});
            outcome::value("count", 3);
            outcome::message("not kept");
            outcome::module_text("[kept\r");
        }
    }
    EXPECT_EQ(values_json(outer), R"({"user_id":1,"records":[{"duress":true}]})");
    EXPECT_EQ(values_json(inner), R"({"score":2})");
    EXPECT_EQ(inner.message, "inner line");
    EXPECT_FALSE(outer.hasMessage);
    EXPECT_TRUE(textOnly.values.items.empty());
    EXPECT_FALSE(textOnly.hasMessage);
    EXPECT_EQ(textOnly.moduleText, std::vector<std::string>{"[kept"});
}

TEST_F(OutcomeTest, TextsAreKeptAsLinesAndWrittenAsValidJson) {
    struct Row {
        const char* in;
        const char* message; // as kept
        const char* json;    // as written
    };
    const Row rows[] = {
        {"      Identify: Not found\n", "Identify: Not found", R"("Identify: Not found")"},
        {"tab\there\r\n", "tab\there", R"("tab\there")"},
        {"esc \x1b[31m bell \x07", "esc \x1b[31m bell \x07", R"("esc \u001b[31m bell \u0007")"},
        {"caf\xc3\xa9", "caf\xc3\xa9", "\"caf\xc3\xa9\""},
        {"bad \xff\xfe end", "bad \xff\xfe end", "\"bad \xef\xbf\xbd\xef\xbf\xbd end\""},
        {"quote \" back \\", "quote \" back \\", R"("quote \" back \\")"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.in);
        Outcome o;
        {
            const outcome::Scope scope(o);
            outcome::message(row.in);
        }
        EXPECT_EQ(o.message, row.message);
        EXPECT_EQ(json_output::line_of(o.message), row.json);
    }
}

// With --json the module's text lines are kept: those that come while no
// command is open wait for the next one, and a command given up (dropped or
// replaced) hands its lines on; none is lost, none is taken twice.
TEST_F(OutcomeTest, ModuleTextLinesWaitForTheNextRecord) {
    const auto lines = [] { return json_output::command_outcome().moduleText; };
    using Lines = std::vector<std::string>;
    outcome::module_text("[not kept\r"); // neither recorded nor kept
    json_output::set_on(true);
    outcome::module_text("[opening\r");
    json_output::command_begin();
    outcome::module_text("[first\r");
    EXPECT_EQ(lines(), (Lines{"[opening", "[first"}));
    // The opening's record replaced by the command's: its lines go along.
    json_output::command_begin();
    outcome::module_text("[command\r");
    json_output::command_drop(); // a batch begins: no object for the command line
    outcome::module_text("[between\r");
    json_output::command_begin();
    EXPECT_EQ(lines(), (Lines{"[opening", "[first", "[command", "[between"}));
    json_output::command_drop();
    // A record of its own (a backup) takes the lines that no object took.
    outcome::module_text("[after\r");
    Outcome backup;
    json_output::begin_record(backup);
    EXPECT_EQ(backup.moduleText, (Lines{"[opening", "[first", "[command", "[between", "[after"}));
    json_output::command_begin();
    EXPECT_TRUE(lines().empty());
    json_output::command_drop();
}

// A trickling line cannot grow an outcome without bound: its text lines stop
// at the bound, the ones before kept.
TEST_F(OutcomeTest, ModuleTextLinesOfAnOutcomeAreBounded) {
    Outcome o;
    {
        const outcome::Scope scope(o);
        for (size_t i = 0; i < outcome::MODULE_TEXT_LINES_MAX + 10; ++i) outcome::module_text("[line\r");
    }
    EXPECT_EQ(o.moduleText.size(), outcome::MODULE_TEXT_LINES_MAX);
}

} // namespace
