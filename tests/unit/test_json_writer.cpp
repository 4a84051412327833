// The writer of the command objects: each line is the JSON of its outcome,
// whatever the values hold (escapes, bytes that are no UTF-8, nested lists,
// objects longer than the writer's first room), and the objects of a batch,
// written one after another into the same buffer, never carry anything of
// the one before.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Json.h"
#include "ModuleSDK.h"
#include "OrvantiCom.h"
#include "trace/Outcome.h"

using namespace kelvor;
using Json = nlohmann::ordered_json;

namespace {

Value integer(int64_t v) {
    Value out{Value::Kind::Integer};
    out.integer = v;
    return out;
}

Value text(std::string v) {
    Value out{Value::Kind::Text};
    out.text = std::move(v);
    return out;
}

struct Row {
    const char* name;
    Outcome outcome;
    Json values;     // what "values" must parse to
    Json moduleText; // what "module_text" must parse to
};

std::vector<Row> rows() {
    std::vector<Row> out;
    {
        Row r{"nothing", {}, Json::object(), Json::array()};
        out.push_back(std::move(r));
    }
    {
        Row r{"plain values",
              {},
              {{"status", 48}, {"status_name", "Module is in normal condition"}},
              Json::array()};
        r.outcome.values.member("status") = integer(48);
        r.outcome.values.member("status_name") = text("Module is in normal condition");
        out.push_back(std::move(r));
    }
    {
        // Quotes, backslashes, controls, DEL, UTF-8 and a byte that is none.
        Row r{"strings to escape",
              {},
              {{"a", "say \"hi\"\\"},
               {"b", "tab\there\nline"},
               {"c", "\x7f"},
               {"d", "caf\xc3\xa9"},
               {"e", "\xef\xbf\xbd"}},
              Json::array()};
        r.outcome.values.member("a") = text("say \"hi\"\\");
        r.outcome.values.member("b") = text("tab\there\nline");
        r.outcome.values.member("c") = text("\x7f");
        r.outcome.values.member("d") = text("caf\xc3\xa9");
        r.outcome.values.member("e") = text("\xff");
        out.push_back(std::move(r));
    }
    {
        Row r{"extreme numbers, truth values, null", {}, Json::object(), Json::array()};
        r.outcome.values.member("least") = integer(INT64_MIN);
        r.outcome.values.member("most") = integer(INT64_MAX);
        Value yes{Value::Kind::Boolean};
        yes.integer = 1;
        r.outcome.values.member("yes") = yes;
        r.outcome.values.member("none") = Value{};
        r.values = {{"least", INT64_MIN}, {"most", INT64_MAX}, {"yes", true}, {"none", nullptr}};
        out.push_back(std::move(r));
    }
    {
        // Each length of the small numbers written digit by digit, and the edges
        // of that way of writing them.
        Row r{"small numbers", {}, Json::object(), Json::array()};
        struct Number {
            const char* name;
            int64_t value;
        };
        const Number numbers[] = {{"n0", 0},         {"n7", 7},         {"n9", 9},       {"n10", 10},
                                  {"n48", 48},       {"n99", 99},       {"n100", 100},   {"n255", 255},
                                  {"n999", 999},     {"n1000", 1000},   {"n4095", 4095}, {"n9999", 9999},
                                  {"n10000", 10000}, {"n65535", 65535}, {"nm1", -1},     {"nm9", -9},
                                  {"nm10", -10}};
        for (const Number& n : numbers) {
            r.outcome.values.member(n.name) = integer(n.value);
            r.values[n.name] = n.value;
        }
        out.push_back(std::move(r));
    }
    {
        // Longer than the writer's first room many times over: lists of objects and lines.
        Row r{"long object", {}, Json::object(), Json::array()};
        Value& list = r.outcome.values.member("users");
        list = Value{Value::Kind::List};
        Json users = Json::array();
        for (int i = 0; i < 300; ++i) {
            Value item{Value::Kind::Object};
            item.member("user") = integer(i);
            item.member("name") = text("user number " + std::to_string(i));
            list.items.push_back(item);
            users.push_back({{"user", i}, {"name", "user number " + std::to_string(i)}});
        }
        r.values = {{"users", users}};
        for (int i = 0; i < 40; ++i) {
            r.outcome.moduleText.push_back("[text line " + std::to_string(i) + "]");
            r.moduleText.push_back("[text line " + std::to_string(i) + "]");
        }
        out.push_back(std::move(r));
    }
    return out;
}

TEST(JsonWriter, EachObjectIsTheJsonOfItsOutcome) {
    for (const Row& r : rows()) {
        SCOPED_TRACE(r.name);
        json_output::CommandContext ctx;
        ctx.code = packet::cmd::SS;
        ctx.batchLine = 7;
        const std::string line = json_output::command_object(r.outcome, 0, ctx);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        const Json object = Json::parse(line);
        EXPECT_EQ(object["command"], "SS");
        EXPECT_EQ(object["line"], 7);
        EXPECT_EQ(object["values"], r.values);
        EXPECT_EQ(object["module_text"], r.moduleText);
        EXPECT_EQ(object.back(), 0) << "elapsed_ms ends the object";
    }
}

TEST(JsonWriter, PlainObjectIsWrittenByteForByte) {
    Outcome o;
    o.values.member("status") = integer(48);
    o.values.member("status_name") = text("Module is in normal condition");
    json_output::CommandContext ctx;
    ctx.code = packet::cmd::SS;
    EXPECT_EQ(
        json_output::command_object(o, 0, ctx),
        R"({"format":1,"kind":"command","command":"SS","code":4,"module_id":null,"outcome":"ok",)"
        R"("result":0,"result_name":"ok","message":null,"values":{"status":48,)"
        R"("status_name":"Module is in normal condition"},"files":[],"module_text":[],"elapsed_ms":0})");
}

// The writer takes texts eight bytes at a time: each byte that must not stand
// as it is (a control, DEL, a byte from 0x80 up, a quote, a backslash), and
// its plain neighbours, in every place of texts of every length up to 17,
// make the same object as the JSON library makes of them.
// The result's members, written at once for a success without a message,
// say what the result's names say, with a message and without.
TEST(JsonWriter, TheResultMembersNameTheResult) {
    for (const int result : {0, RES_NOT_FOUND, RES_TIMEOUT, FRONT_REFUSED}) {
        for (const bool withMessage : {false, true}) {
            SCOPED_TRACE(std::to_string(result) + (withMessage ? " with a message" : ""));
            Outcome o;
            o.hasMessage = withMessage;
            o.message = "Err: a line";
            const Json object = Json::parse(json_output::command_object(o, result, {}));
            EXPECT_EQ(object["outcome"], json_output::outcome_of(result));
            EXPECT_EQ(object["result"], result);
            EXPECT_EQ(object["result_name"], json_output::result_name_of(result));
            EXPECT_EQ(object["message"], withMessage ? Json("Err: a line") : Json(nullptr));
        }
    }
}

TEST(JsonWriter, EveryByteToEscapeIsFoundWhereverItStands) {
    const unsigned char marks[] = {0x00, 0x01, 0x1F, 0x20, 0x21, '"',  '\\',
                                   0x5B, 0x5D, 0x7E, 0x7F, 0x80, 0xC3, 0xFF};
    json_output::CommandContext ctx;
    ctx.code = packet::cmd::SS;
    for (size_t length = 1; length <= 17; ++length) {
        for (size_t at = 0; at < length; ++at) {
            for (const unsigned char mark : marks) {
                std::string t(length, 'a');
                t[at] = static_cast<char>(mark);
                Outcome o;
                o.values.member("t") = text(t);
                const std::string line = json_output::command_object(o, 0, ctx);
                const size_t from = line.find(R"("values":)") + 9, to = line.find(R"(,"files":)");
                ASSERT_LT(from, to) << line;
                EXPECT_EQ(line.substr(from, to - from), json_output::line_of(Json{{"t", t}}))
                    << "length " << length << ", byte " << int(mark) << " at " << at;
            }
        }
    }
}

// The objects of a run go through one buffer: a short object after a long one
// must end where it ends, and every line must be whole.
TEST(JsonWriter, ObjectsOfARunDoNotCarryTheOneBefore) {
    std::vector<std::string> lines;
    json_output::reset();
    json_output::set_line_sink(
        [](const std::string& line, void* into) {
            static_cast<std::vector<std::string>*>(into)->push_back(line);
        },
        &lines);
    json_output::set_on(true);
    OrvantiCom com({});
    std::vector<Row> all = rows();
    // Long, short, long, empty: the room grows once and is reused. The
    // commands change from object to object too (none, and one of no name).
    const size_t order[] = {5, 1, 5, 0, 2, 3, 4};
    const uint8_t codes[] = {packet::cmd::SS, packet::cmd::SS, packet::cmd::CT, 0, 0xEE,
                             packet::cmd::SS, packet::cmd::SS};
    const Json names[] = {"SS", "SS", "CT", nullptr, nullptr, "SS", "SS"};
    for (size_t i = 0; i < std::size(order); ++i) {
        json_output::command_begin();
        Outcome o = all[order[i]].outcome;
        json_output::take(o);
        com.command = codes[i];
        json_output::command_end(com, 0);
    }
    json_output::set_line_sink(nullptr, nullptr);
    json_output::reset();
    ASSERT_EQ(lines.size(), std::size(order));
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(all[order[i]].name);
        const Json object = Json::parse(lines[i]);
        EXPECT_EQ(object["command"], names[i]);
        EXPECT_EQ(object["values"], all[order[i]].values);
        EXPECT_EQ(object["module_text"], all[order[i]].moduleText);
    }
}

} // namespace
