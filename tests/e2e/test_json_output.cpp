// kelvor --json against the scripted module: the object of a command as the
// tool writes it (on Linux and, in the Wine run, as kelvor.exe writes it), the
// module's text lines inside it, and the same bytes on the line as without.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "FarEnd.h"
#include "Golden.h"
#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;

namespace {

using farend::Bytes;

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// The objects of standard output, one a line; a line that is no object fails.
std::vector<nlohmann::json> objects(const std::string& out) {
    std::vector<nlohmann::json> found;
    size_t at = 0;
    while (at < out.size()) {
        const size_t end = out.find('\n', at);
        EXPECT_NE(end, std::string::npos) << "a line without its end: " << out.substr(at);
        if (end == std::string::npos) break;
        found.push_back(nlohmann::json::parse(out.substr(at, end - at)));
        at = end + 1;
    }
    return found;
}

TEST(JsonOutput, OneObjectPerCommandWithItsValues) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        uint8_t command;
        uint32_t param1;
        uint8_t flag;
        Bytes before; // what the module sends before its answer
        uint8_t answerFlag;
        uint32_t answer1, answer2;
    };
    const Case cases[] = {
        {"status", {"-c", "SS"}, cmd::SS, 0, 0, {}, SUCCEED, 0x30, 0},
        {"identified", {"-c", "IS"}, cmd::IS, 0, 0, {}, SUCCEED, 0x14, 0x3c5},
        {"not found, after a text line",
         {"-c", "IS"},
         cmd::IS,
         0,
         0,
         bytes_of("[scan \x01 again]\r"),
         NOT_FOUND,
         0,
         0},
        {"parameter", {"-c", "SR", "-f", "0x6e"}, cmd::SR, 0, 0x6e, {}, SUCCEED, 0, 0x203},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool json : {true, false}) {
            farend::Script s;
            s.open_sequence().expect_packet(c.command, c.param1, 0, c.flag);
            if (!c.before.empty()) s.send_raw(c.before);
            s.answer(c.command, c.answer1, c.answer2, c.answerFlag);
            farend::TempDir dir;
            std::vector<std::string> args = c.args;
            if (json) args.insert(args.begin(), "--json");
            const farend::ToolRun r = farend::run_against(s, dir, args);
            EXPECT_TRUE(r.wire.ok) << r.wire.failure; // the same bytes, with or without
            EXPECT_TRUE(r.wire.extra.empty()) << farend::hex_dump(r.wire.extra);
            if (!json) continue;
            const std::vector<nlohmann::json> found = objects(r.tool.out);
            ASSERT_EQ(found.size(), 1u) << r.tool.out << r.tool.err;
            nlohmann::json object = found[0];
            EXPECT_GE(object["elapsed_ms"].get<int64_t>(), 0);
            object.erase("elapsed_ms");
            // The object without "elapsed_ms", its names in order.
            EXPECT_GOLDEN(object.dump(2) + "\n", c.name);
        }
    }
}

// "line" is the batch file's own line: a first line of 536 characters runs as
// two command lines (511 characters, then the rest), both line 1, told apart
// by "part"; the lines after it keep their numbers.
TEST(JsonOutput, BatchObjectsCarryTheFilesOwnLineNumbers) {
    std::string first = "-c SS";
    first += std::string(511 - first.size(), ' ');
    first += "-c SR -f 0x71";
    first += std::string(536 - first.size(), ' ');
    ASSERT_EQ(first.size(), 536u);
    farend::TempDir dir;
    dir.write("b.txt", first + "\n-c CT -p1 3\n\n-c SS\n");
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::SS, 0, 0, 0)
        .answer(cmd::SS, 0x30, 0, SUCCEED)
        .expect_packet(cmd::SR, 0, 0, 0x71)
        .answer(cmd::SR, 0, 0x35, SUCCEED)
        .expect_packet(cmd::CT, 3, 0, 0)
        .answer(cmd::CT, 3, 1, SUCCEED)
        .expect_packet(0, 0, 0, 0) // the blank line: command 0
        .answer(0, 0, 0, SUCCEED)
        .expect_packet(cmd::SS, 0, 0, 0)
        .answer(cmd::SS, 0x30, 0, SUCCEED);
    const farend::ToolRun r = farend::run_against(s, dir, {"--json", "-F", "b.txt"});
    EXPECT_TRUE(r.wire.ok) << r.wire.failure;
    const std::vector<nlohmann::json> found = objects(r.tool.out);
    std::vector<std::string> got;
    for (const nlohmann::json& o : found)
        got.push_back(std::to_string(o["line"].get<int>()) +
                      (o.contains("part") ? "." + std::to_string(o["part"].get<int>()) : std::string()) +
                      " " + (o["command"].is_null() ? "-" : o["command"].get<std::string>()));
    EXPECT_EQ(got, (std::vector<std::string>{"1.1 SS", "1.2 SR", "2 CT", "3 -", "4 SS"})) << r.tool.out;
}

} // namespace
