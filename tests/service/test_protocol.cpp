// The service's pieces that need no line: requests taken apart, answers and
// events put together, the command line, the socket's name, the token file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include "FarEnd.h"
#include "LineEvents.h"
#include "ModuleSDK.h"
#include "Options.h"
#include "Protocol.h"
#include "Transport.h"

using namespace kelvord;
using namespace line_events;
namespace cmd = kelvor::packet::cmd;
namespace flag = kelvor::packet::flag;

namespace {

std::string message_of(const Request& r) {
    const auto* bad = std::get_if<BadRequest>(&r.body);
    return bad ? bad->message : std::string();
}

TEST(Requests, MalformedOnesAreRefusedWithTheirReason) {
    struct Case {
        std::string line;
        std::string message; // a part of it
        Json id;
    };
    const Case cases[] = {
        {"not json", "no JSON", nullptr},
        {"[1,2]", "a JSON object", nullptr},
        {R"({"id":4})", "has a \"class\"", 4},
        {R"({"class":7,"id":"a"})", "has a \"class\"", "a"},
        {R"({"class":"frobnicate","id":[1]})", "unknown class \"frobnicate\"", Json::array({1})},
        {R"({"class":"command","id":1})", "names its \"command\"", 1},
        {R"({"class":"command","command":"XYZ"})", "unknown command keyword \"XYZ\"", nullptr},
        {R"({"class":"command","command":"ABCD"})", "command keyword", nullptr},
        {R"({"class":"command","command":-1})", "code from 0 to 255", nullptr},
        {R"({"class":"command","command":256})", "code from 0 to 255", nullptr},
        {R"({"class":"command","command":"0x100"})", "code from 0 to 255", nullptr},
        {R"({"class":"command","command":"S1"})", "command keyword", nullptr},
        {R"({"class":"command","command":true})", "command keyword", nullptr},
        {R"({"class":"command","command":"SS","p1":-1})", "\"p1\" must be an integer from 0 to 4294967295",
         nullptr},
        {R"({"class":"command","command":"SS","p2":4294967296})", "\"p2\" must be an integer", nullptr},
        {R"({"class":"command","command":"SS","p1":1.5})", "\"p1\" must be an integer", nullptr},
        {R"({"class":"command","command":"SS","p1":"5"})", "\"p1\" must be an integer", nullptr},
        {R"({"class":"command","command":"SS","flag":256})", "\"flag\" must be an integer from 0 to 255",
         nullptr},
        {R"({"class":"command","command":"SS","module_id":0})", "\"module_id\" must be an integer from 1",
         nullptr},
        {R"({"class":"command","command":"SS","module_id":65536})", "\"module_id\"", nullptr},
        {R"({"class":"command","command":"SS","input":"abc"})", "\"input\" is no base64", nullptr},
        {R"({"class":"command","command":"SS","input":"ab=c"})", "\"input\" is no base64", nullptr},
        {R"({"class":"command","command":"SS","input":7})", "\"input\" must be a string", nullptr},
        {R"({"class":"command","command":"SS","trace":5})", "\"trace\" must be an integer from 0 to 4",
         nullptr},
        {R"({"class":"command","command":"SS","p_1":5})", "unknown member \"p_1\" of a command request",
         nullptr},
        {R"({"class":"command","command":"SS","input_error":2})", "\"input_error\" goes with", nullptr},
        {R"({"class":"command","command":"SS","output_error":2})", "\"output_error\" goes with", nullptr},
        {R"({"class":"watch","enable":"yes"})", "\"enable\" must be true or false", nullptr},
        {R"({"class":"version","verbose":true})", "unknown member \"verbose\" of a version request", nullptr},
        {R"({"class":"scan","first":9,"last":3})", "\"first\" is above \"last\"", nullptr},
        {R"({"class":"scan","first":0})", "\"first\" must be an integer from 1 to 65535", nullptr},
        {R"({"class":"auth"})", "carries its \"token\"", nullptr},
        {R"({"class":"scan","wait_ms":0})", "\"wait_ms\" must be an integer from 1 to 600000", nullptr},
        {R"({"class":"command","command":"SS","part":2})", "\"part\" goes with a \"line\"", nullptr},
        {R"({"class":"person_set","name":"A"})", "names its \"user_id\"", nullptr},
        {R"({"class":"person_set","user_id":4294967296,"name":"A"})", "\"user_id\" must be an integer",
         nullptr},
        {R"({"class":"person_set","user_id":1})", "gives the person's \"name\"", nullptr},
        {R"({"class":"person_set","user_id":1,"name":7})", "\"name\" must be a string", nullptr},
        {R"({"class":"person_set","user_id":1,"name":"A","age":3})", "unknown member \"age\"", nullptr},
        {R"({"class":"people","user_id":1})", "unknown member \"user_id\"", nullptr},
        {R"({"class":"person_remove","user_id":-1})", "\"user_id\" must be an integer", nullptr},
        {R"({"class":"command","command":"ES","steps":1})", "\"steps\" must be true or false", nullptr},
        {R"({"class":"backup","directory":"../x"})", "\"directory\" is a name", nullptr},
        {R"({"class":"backup","directory":".hidden"})", "\"directory\" is a name", nullptr},
        {R"({"class":"backup","module_id":0})", "\"module_id\" must be an integer from 1", nullptr},
        {R"({"class":"restore"})", "carries the backup's \"files\"", nullptr},
        {R"({"class":"restore","files":{}})", "\"files\" is an array", nullptr},
        {R"({"class":"restore","files":[{"name":"a/b","data":""}]})", "no name of a backup's file", nullptr},
        {R"({"class":"restore","files":[{"name":"..","data":""}]})", "no name of a backup's file", nullptr},
        {R"({"class":"restore","files":[{"name":"a","data":"%"}]})", "no base64", nullptr},
        {R"({"class":"restore","files":[{"name":"a","data":""},{"name":"a","data":""}]})", "comes twice",
         nullptr},
        {R"({"class":"restore","files":[{"name":"a"}]})", "has a \"name\" and its \"data\"", nullptr},
        {std::string(40, '[') + std::string(40, ']'), "nests deeper than 32", nullptr},
        {R"({"class":"version","id":")" + std::string(2000, 'x') + "\"}", "id is longer than 1024", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 80));
        const Request r = parse_request(c.line);
        EXPECT_NE(message_of(r).find(c.message), std::string::npos) << message_of(r);
        EXPECT_EQ(r.id, c.id);
    }
}

// Lines of the shapes an attacker would send, each one many times the size of
// any request: wide, deep, long, a restore of the most files.
std::string wide(size_t keys, const std::string& head = R"({"class":"version")") {
    std::string line = head;
    for (size_t i = 0; i < keys; ++i) line += ",\"k" + std::to_string(i) + "\":0";
    return line + "}";
}

std::string restore_of(size_t files, const std::string& last) {
    std::string line = R"({"class":"restore","files":[)";
    for (size_t i = 0; i < files; ++i) line += R"({"name":"u)" + std::to_string(i) + R"(.tpl","data":""},)";
    return line + R"({"name":")" + last + R"(","data":""}]})";
}

TEST(Requests, CapsAreRefusedAsTheParserMeetsThem) {
    struct Case {
        std::string line;
        std::string message; // a part of it, empty: taken
    };
    const std::string deep = std::string(32, '[') + std::string(32, ']');
    const Case cases[] = {
        {wide(MEMBERS_MAX - 1), "unknown member \"k0\""},
        {wide(MEMBERS_MAX), "more than 256 members"},
        {wide(150000), "more than 256 members"},
        {R"({"class":"version","id":)" + deep + "}", "nests deeper than 32"},
        {R"({"class":"version","id":)" + std::string(31, '[') + std::string(31, ']') + "}", ""},
        {R"({"class":"version","id":1,"id":2})", "the member \"id\" comes twice"},
        {R"({"class":"version","id":{"a":1,"a":1}})", "the member \"a\" comes twice"},
        {"{\"class\":\"version\",\"" + std::string(KEY_BYTES_MAX + 1, 'k') + "\":0}", "member name"},
        {R"({"class":"command","command":"SS","input":")" + std::string(REQUEST_BYTES_MAX - 48, 'A') + "\"}",
         ""},
        {R"({"class":"command","command":"SS","input":")" + std::string(REQUEST_BYTES_MAX, 'A') + "\"}",
         "longer than 8388608 bytes"},
        {std::string(REQUEST_BYTES_MAX / 2, '[') + std::string(REQUEST_BYTES_MAX / 2, ']'), "nests deeper"},
        {R"({"class":"version","id":[)" +
             [] {
                 std::string v = "0";
                 for (size_t i = 0; i < REQUEST_VALUES_MAX; ++i) v += ",0";
                 return v;
             }() +
             "]}",
         "more than 400000 values"},
        {restore_of(BACKUP_FILES_MAX - 1, "u7.tpl"), "\"u7.tpl\" comes twice in \"files\""},
        {restore_of(BACKUP_FILES_MAX - 1, "manifest.txt"), ""},
        {R"({"class":"copy_users","from_module":1,"targets":[1,2,3,65535,2]})",
         "the target 2 is named twice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 80) + " (" + std::to_string(c.line.size()) + " bytes)");
        // Linear: the largest line here takes a few tens of milliseconds; a
        // search of its members one by one took tens of seconds.
        const auto start = std::chrono::steady_clock::now();
        const Request r = parse_request(c.line);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, 2.0);
        if (c.message.empty())
            EXPECT_EQ(message_of(r), "");
        else
            EXPECT_NE(message_of(r).find(c.message), std::string::npos) << message_of(r);
    }
}

TEST(Requests, BeforeTheTokenOnlyAnAuthRequestIsRead) {
    struct Case {
        std::string line;
        std::string token;   // taken, when the message is empty
        std::string message; // a part of it
    };
    const Case cases[] = {
        {R"({"class":"auth","id":[1,{"a":null}],"token":"0123456789abcdef"})", "0123456789abcdef", ""},
        {R"({"class":"auth","token":")" + std::string(AUTH_BYTES_MAX - 40, 't') + "\"}",
         std::string(AUTH_BYTES_MAX - 40, 't'), ""},
        {R"({"class":"auth","token":")" + std::string(AUTH_BYTES_MAX, 't') + "\"}", "",
         "longer than 1024 bytes"},
        {wide(150000, R"({"class":"auth","token":"0123456789abcdef")"), "", "longer than 1024 bytes"},
        {wide(20, R"({"class":"auth","token":"0123456789abcdef")"), "", "more than 16 members"},
        {R"({"class":"version"})", "", "a version request before the token"},
        {R"({"class":"auth"})", "", "carries its \"token\""},
        {R"({"class":"auth","token":"0123456789abcdef","token":"x"})", "", "comes twice"},
        {R"({"class":"auth","token":"0123456789abcdef","extra":1})", "", "unknown member \"extra\""},
        {R"({"class":"auth","token":"0123456789abcdef","id":[[[[[[[[1]]]]]]]]})", "", "nests deeper than 8"},
        {"{\"class\":\"auth\"", "", "no JSON"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 80));
        const Request r = parse_auth_request(c.line);
        if (c.message.empty()) {
            const auto* auth = std::get_if<AuthRequest>(&r.body);
            ASSERT_NE(auth, nullptr) << message_of(r);
            EXPECT_EQ(auth->token, c.token);
        } else {
            EXPECT_NE(message_of(r).find(c.message), std::string::npos) << message_of(r);
        }
    }
}

TEST(Requests, PeopleArePaged) {
    struct Case {
        std::string line;
        size_t limit;
        std::optional<uint32_t> after;
        std::string message;
    };
    const Case cases[] = {
        {R"({"class":"people"})", PEOPLE_PAGE_DEFAULT, std::nullopt, ""},
        {R"({"class":"people","limit":1,"after":4294967295})", 1, 4294967295u, ""},
        {R"({"class":"people","limit":5000,"after":null})", 5000, std::nullopt, ""},
        {R"({"class":"people","after":0})", PEOPLE_PAGE_DEFAULT, 0u, ""},
        {R"({"class":"people","limit":5001})", 0, std::nullopt,
         "\"limit\" must be an integer from 1 to 5000"},
        {R"({"class":"people","limit":0})", 0, std::nullopt, "\"limit\" must be an integer from 1 to 5000"},
        {R"({"class":"people","after":-1})", 0, std::nullopt, "\"after\" must be an integer"},
        {R"({"class":"people","after":"5"})", 0, std::nullopt, "\"after\" must be an integer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const Request r = parse_request(c.line);
        if (!c.message.empty()) {
            EXPECT_NE(message_of(r).find(c.message), std::string::npos) << message_of(r);
            continue;
        }
        const auto* p = std::get_if<PeopleRequest>(&r.body);
        ASSERT_NE(p, nullptr) << message_of(r);
        EXPECT_EQ(p->limit, c.limit);
        EXPECT_EQ(p->after, c.after);
    }
}

TEST(Requests, CommandsTakeKeywordsCodesAndEveryMember) {
    struct Case {
        std::string line;
        uint8_t code;
    };
    const Case codes[] = {
        {R"({"class":"command","command":"IS"})", cmd::IS},
        {R"({"class":"command","command":"is"})", cmd::IS},
        {R"({"class":"command","command":"0x11"})", cmd::IS},
        {R"({"class":"command","command":"17"})", cmd::IS},
        {R"({"class":"command","command":17})", cmd::IS},
        {R"({"class":"command","command":"LTX"})", cmd::LTX},
        {R"({"class":"command","command":"0x3F"})", 0x3F},
        {R"({"class":"command","command":0})",
         0}, // a raw packet of code 0, as a batch line without a command
    };
    for (const Case& c : codes) {
        SCOPED_TRACE(c.line);
        const Request r = parse_request(c.line);
        const auto* command = std::get_if<CommandRequest>(&r.body);
        ASSERT_NE(command, nullptr) << message_of(r);
        EXPECT_EQ(command->code, c.code);
    }

    const Request r = parse_request(
        R"({"class":"command","id":{"n":1},"command":"EI","module_id":7,"p1":4294967295,"p2":2,"flag":113,)"
        R"("input":"AAEC/w==","input_file":"a.bmp","output_file":"out.bin","chunk_size":512,"trace":3,"line":4,)"
        R"("file":"x.bmp"})");
    const auto* c = std::get_if<CommandRequest>(&r.body);
    ASSERT_NE(c, nullptr) << message_of(r);
    EXPECT_EQ(r.id, Json({{"n", 1}}));
    EXPECT_EQ(c->moduleId, std::optional<uint16_t>(7));
    EXPECT_EQ(c->param1, 0xFFFFFFFFu);
    EXPECT_EQ(c->param2, 2u);
    EXPECT_EQ(c->flag, 0x71);
    EXPECT_EQ(c->input, std::optional<std::vector<uint8_t>>({0, 1, 2, 0xFF}));
    EXPECT_EQ(c->inputName, "a.bmp");
    EXPECT_TRUE(c->output);
    EXPECT_EQ(c->outputName, "out.bin");
    EXPECT_EQ(c->chunkSize, 512);
    EXPECT_EQ(c->traceLevel, 3);
    EXPECT_EQ(c->batchLine, 4);
    EXPECT_EQ(c->directoryFile, "x.bmp");

    // The defaults: the line's module, no input, no output, no trace.
    const Request plain = parse_request(R"({"class":"command","command":"SS","module_id":null})");
    const auto* p = std::get_if<CommandRequest>(&plain.body);
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(p->moduleId);
    EXPECT_FALSE(p->input);
    EXPECT_FALSE(p->output);
    EXPECT_EQ(p->traceLevel, -1);
    EXPECT_EQ(p->chunkSize, 0x1000);
    EXPECT_TRUE(plain.id.is_null());

    // A client that could not create its output file: nothing is written, the
    // front end says why under the client's name.
    const Request failed =
        parse_request(R"({"class":"command","command":"SI","output_file":"d/x","output_error":2})");
    const auto* f = std::get_if<CommandRequest>(&failed.body);
    ASSERT_NE(f, nullptr) << message_of(failed);
    EXPECT_FALSE(f->output);
    EXPECT_EQ(f->outputName, "d/x");
    EXPECT_EQ(f->outputError, 2);
}

TEST(Requests, TheOtherClasses) {
    EXPECT_TRUE(std::get<WatchRequest>(parse_request(R"({"class":"watch"})").body).enable);
    EXPECT_FALSE(std::get<WatchRequest>(parse_request(R"({"class":"watch","enable":false})").body).enable);
    EXPECT_TRUE(std::holds_alternative<DevicesRequest>(parse_request(R"({"class":"devices"})").body));
    EXPECT_TRUE(std::holds_alternative<VersionRequest>(parse_request(R"( {"class":"version"} )").body));
    const auto scan = std::get<ScanRequest>(
        parse_request(R"({"class":"scan","first":2,"last":9,"trace":2,"wait_ms":100})").body);
    EXPECT_EQ(scan.waitMs, 100);
    EXPECT_EQ(scan.first, 2u);
    EXPECT_EQ(scan.last, 9u);
    EXPECT_EQ(scan.traceLevel, 2);
    EXPECT_EQ(std::get<AuthRequest>(parse_request(R"({"class":"auth","token":"t0k"})").body).token, "t0k");

    const auto set = std::get<PersonSetRequest>(
        parse_request(R"({"class":"person_set","user_id":4294967295,"name":"Åsa","note":"a\nb"})").body);
    EXPECT_EQ(set.userId, 0xFFFFFFFFu);
    EXPECT_EQ(set.name, "Åsa");
    EXPECT_EQ(set.note, "a\nb");
    EXPECT_TRUE(std::holds_alternative<PeopleRequest>(parse_request(R"({"class":"people"})").body));
    EXPECT_EQ(
        std::get<PersonRemoveRequest>(parse_request(R"({"class":"person_remove","user_id":9})").body).userId,
        9u);
    const auto steps = std::get<CommandRequest>(
        parse_request(R"({"class":"command","command":"ES","steps":true,"read_image":true})").body);
    EXPECT_TRUE(steps.steps);
    EXPECT_TRUE(steps.readImage);
    const auto backup = std::get<BackupRequest>(parse_request(R"({"class":"backup","module_id":3})").body);
    EXPECT_EQ(backup.moduleId, std::optional<uint16_t>(3));
    EXPECT_EQ(backup.directory, "backup");
    const auto restore = std::get<RestoreRequest>(
        parse_request(R"({"class":"restore","directory":"b-1","files":[{"name":"m.txt","data":"AAE="}]})")
            .body);
    EXPECT_EQ(restore.directory, "b-1");
    ASSERT_EQ(restore.files.size(), 1u);
    EXPECT_EQ(restore.files[0].name, "m.txt");
    EXPECT_EQ(restore.files[0].data, (std::vector<uint8_t>{0, 1}));
}

TEST(Requests, TheWorksTakeTheirOptions) {
    // A client's own path names the backup; the options of kelvor's command line.
    const auto backup = std::get<BackupRequest>(
        parse_request(R"({"class":"backup","module_id":2,"of_list":true,"path":"../b \"x\"","text":true})")
            .body);
    EXPECT_EQ(backup.directory, "../b \"x\"");
    EXPECT_EQ(backup.options.tool, Tool::Backup);
    EXPECT_EQ(backup.options.ofList, std::optional<uint16_t>(2));
    EXPECT_TRUE(backup.options.text);
    EXPECT_FALSE(backup.progress);
    const auto fromModule = std::get<CopyUsersRequest>(
        parse_request(R"({"class":"copy_users","from_module":1,"targets":[3,2],"users":[5,[7,9]],)"
                      R"("replace":true,"prune":true,"dry_run":true,"progress":true,"trace":2})")
            .body);
    const WorkOptions& o = fromModule.options;
    EXPECT_EQ(o.tool, Tool::CopyUsers);
    EXPECT_EQ(o.fromModule, 1);
    EXPECT_EQ(o.targets, (std::vector<uint16_t>{3, 2}));
    EXPECT_EQ(o.users, (std::vector<std::pair<uint32_t, uint32_t>>{{5, 5}, {7, 9}}));
    EXPECT_TRUE(o.replace && o.prune && o.dryRun && fromModule.progress);
    EXPECT_EQ(o.traceLevel, 2);
    EXPECT_FALSE(fromModule.moduleId);
    const auto fromBackup = std::get<CopyUsersRequest>(
        parse_request(
            R"({"class":"copy_users","from":"/srv/saved","files":[{"name":"manifest.txt","data":"AAE="}],"module_id":4})")
            .body);
    EXPECT_EQ(fromBackup.options.fromModule, 0);
    EXPECT_EQ(fromBackup.directory, "/srv/saved");
    EXPECT_EQ(fromBackup.moduleId, std::optional<uint16_t>(4));
    ASSERT_EQ(fromBackup.files.size(), 1u);
    EXPECT_TRUE(fromBackup.options.targets.empty() && fromBackup.options.users.empty());
}

TEST(Answers, AWorkAnswerAndItsProgress) {
    WorkResult w;
    w.result = -1000;
    w.partial = true;
    w.objects = {R"({"kind":"copy"})"};
    w.text = "Module 2: 1 copied\n";
    const std::vector<BackupFile> files{{"manifest.txt", {'h', 'i', '!'}}};
    EXPECT_EQ(work_answer(7, Tool::Backup, w, &files, false),
              R"({"class":"backup","id":7,"result":-1000,"result_name":"front_end_refused","partial":true,)"
              R"("objects":[{"kind":"copy"}],"text":"Module 2: 1 copied\n",)"
              R"("files":[{"name":"manifest.txt","data":"aGkh"}]})");
    EXPECT_EQ(progress_line("c", Tool::CopyUsers, "", R"("done":1,"total":4)"),
              R"({"class":"progress","id":"c","tool":"copy_users","done":1,"total":4})");
    EXPECT_EQ(progress_line(nullptr, Tool::Restore, "user", R"({"user_id":5})"),
              R"({"class":"progress","id":null,"tool":"restore","user":{"user_id":5}})");
}

TEST(Answers, ACommandAnswerIsKelvorsObjectWithClassIdOutputAndTrace) {
    CommandResult r;
    r.object = R"({"format":1,"kind":"command","command":"SS","result":0})";
    r.output = {'h', 'i', '!'};
    r.trace = "[API] Check system status(SS)\n";
    EXPECT_EQ(
        command_answer("a", r, true),
        R"({"class":"command","id":"a","format":1,"kind":"command","command":"SS","result":0,"output":"aGkh",)"
        R"("trace":"[API] Check system status(SS)\n"})");
    r.output.clear();
    EXPECT_EQ(
        command_answer(nullptr, r, false),
        R"({"class":"command","id":null,"format":1,"kind":"command","command":"SS","result":0,"output":""})");
    EXPECT_EQ(error_line(3, "bad \"x\""), R"({"class":"error","id":3,"message":"bad \"x\""})");
}

TEST(Answers, Base64BothWays) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\0\xff\xfe", 3), "AP/+"},
    };
    for (const auto& [plain, text] : rows) {
        SCOPED_TRACE(text);
        EXPECT_EQ(base64_encode(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()), text);
        std::vector<uint8_t> back;
        ASSERT_TRUE(base64_decode(text, back));
        EXPECT_EQ(std::string(back.begin(), back.end()), plain);
    }
    std::vector<uint8_t> out;
    for (const char* bad : {"Zg=", "Zg=a", "Z===", "Zm9v\n", "Zm 9", "====", "Zm9vYg==Zg=="})
        EXPECT_FALSE(base64_decode(bad, out)) << bad;
}

TEST(Events, FreeScanResultsByName) {
    kelvor::keyword_fill();
    struct Case {
        farend::Bytes packet;
        bool network;
        std::string json; // the members after "time"
    };
    const auto p = [](uint8_t command, uint32_t p1, uint32_t p2, uint8_t f, bool net = false) {
        return farend::packet(command, p1, p2, f, net, 7);
    };
    const Case cases[] = {
        {p(cmd::IS, 5, 910, flag::SUCCEED), false, R"("user_id":5,"score":910)"},
        {p(cmd::IS, 5, 910, flag::SUCCEED, true), true, R"("user_id":5,"score":910)"},
        {p(cmd::IS, 6, 0, flag::DURESS_FINGER), false, R"("user_id":6)"},
        {p(cmd::IS, 0, 0, flag::NOT_FOUND), false, ""},
        {p(cmd::IS, 0, 0, flag::SCAN_FAILED), false, ""},
        {p(cmd::SS, 0x30, 0, flag::SUCCEED), false,
         R"("command":"SS","code":4,"param1":48,"param2":0,"flag":97,"flag_name":"ok")"},
        {p(0xEE, 1, 2, 0x55), false,
         R"("command":null,"code":238,"param1":1,"param2":2,"flag":85,"flag_name":null)"},
    };
    const char* kinds[] = {"identify", "identify", "duress", "not_found", "scan_failed", "packet", "packet"};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(kinds[i]);
        const std::string line = packet_event(c.packet.data(), c.packet.size(), c.network, 1796638530123);
        const std::string head = std::string(R"({"class":"event","kind":")") + kinds[i] +
                                 R"(","module_id":)" + (c.network ? "7" : "null") +
                                 R"(,"time":"2026-12-07T10:15:30.123Z")";
        std::string tail = "}";
        if (std::string(kinds[i]) == "packet") {
            // Any other packet has its bytes too.
            tail = R"(,"packet":")";
            for (const uint8_t b : c.packet) {
                char two[3];
                std::snprintf(two, sizeof two, "%02x", b);
                tail += two;
            }
            tail += "\"}";
        }
        EXPECT_EQ(line, head + (c.json.empty() ? "" : "," + c.json) + tail);
    }
    EXPECT_EQ(text_event("[hi]\r", 0), R"({"class":"event","kind":"text","module_id":null,)"
                                       R"("time":"1970-01-01T00:00:00.000Z","text":"[hi]\r"})");
    const uint8_t noise[] = {0x00, 0xff};
    EXPECT_EQ(noise_event(noise, 2, 0), R"({"class":"event","kind":"noise","module_id":null,)"
                                        R"("time":"1970-01-01T00:00:00.000Z","bytes":"00ff"})");
    EXPECT_EQ(line_event("lost", "/dev/ttyUSB0", "gone", 0),
              R"({"class":"event","kind":"line","module_id":null,"time":"1970-01-01T00:00:00.000Z",)"
              R"("state":"lost","port":"/dev/ttyUSB0","reason":"gone"})");
}

TEST(CommandLine, LineOptionsAsKelvorTakesThemAndTheRest) {
    struct Case {
        std::vector<std::string> words;
        std::string error; // empty: taken
    };
    const Case cases[] = {
        {{"-P", "/dev/ttyUSB0", "-b", "115200"}, ""},
        {{"-P", "x", "-b", "9600", "-n", "1", "-m", "0x10", "-a", "1", "-t", "3000"}, ""},
        {{"-P", "x", "-b", "115200", "--modules", "1,2,5-7"}, ""},
        {{"-P", "x", "-b", "115200", "--tcp", "127.0.0.1:7000", "--token-file", "t"}, ""},
        {{"-b", "115200"}, "no serial port"},
        {{"-P", "x"}, "no baud rate"},
        {{"-P", "x", "-b", "1200"}, "-b 1200: the rate is"},
        {{"-P", "x", "-b", "fast"}, "-b fast"},
        {{"-P", "x", "-b", "115200", "-t", "0"}, "-t 0: the read time-out is 1 to 600000 ms"},
        {{"-P", "x", "-b", "115200", "-t", "600001"}, "-t 600001"},
        {{"-P", "x", "-b", "115200", "-m", "0"}, "-m 0: a module ID from 1 to 65535"},
        {{"-P", "x", "-b", "115200", "--modules", "1,x"}, "--modules 1,x"},
        {{"-P", "x", "-b", "115200", "--modules", "1,2", "-m", "3"}, "-m is for a line of one"},
        {{"-P", "x", "-b", "115200", "--tcp", "127.0.0.1:7000"}, ""}, // the token made at start
        {{"-P", "x", "-b", "115200", "--token-file", "t"}, "--token-file goes with --tcp"},
        {{"-P", "x", "-b", "115200", "--bogus"}, "unknown option --bogus"},
        {{"-P", "x", "-b"}, "option -b needs a value"},
        {{"-P", "x", "-b", "115200", "extra"}, "unexpected word extra"},
        {{"-P", "x", "-b", "115200", "--client-buffer", "100"}, "4096 bytes or more"},
        {{"-P", "x", "-b", "115200", "--http", "8080", "--directory", "p.db"}, ""},
        {{"-P", "x", "-b", "115200", "--http", "[::1]:8080", "--station", "s"}, ""},
        {{"-P", "x", "-b", "115200", "--http", "localhost:0", "--token-file", "t"}, ""},
        {{"-P", "x", "-b", "115200", "--http", "0.0.0.0:8080", "--token-file", "t"}, ""},
        {{"-P", "x", "-b", "115200", "--http", "0.0.0.0:8080"}, "listens beyond this machine"},
        {{"-P", "x", "-b", "115200", "--http", "192.168.1.2:80"}, "listens beyond this machine"},
        {{"-P", "x", "-b", "115200", "--http", "99999"}, "--http 99999"},
        {{"-P", "x", "-b", "115200", "--http", "host"}, "--http host"},
        {{"-P", "x", "-b", "115200", "--station", "s"}, "--station goes with --http"},
        {{"-P", "x", "-b", "115200", "--directory", ""}, "--directory names"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words = {"kelvord"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        std::vector<char*> argv;
        std::string all;
        for (std::string& w : words) {
            argv.push_back(w.data());
            all += w + " ";
        }
        SCOPED_TRACE(all);
        const CommandLine cl = parse_command_line(static_cast<int>(argv.size()), argv.data());
        if (c.error.empty()) {
            EXPECT_EQ(cl.action, CommandLine::Action::Run) << cl.error;
        } else {
            EXPECT_EQ(cl.action, CommandLine::Action::Refused);
            EXPECT_NE(cl.error.find(c.error), std::string::npos) << cl.error;
        }
    }
    std::vector<std::string> words = {"kelvord", "-P", "x", "-b", "9600", "--modules", "3,1"};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    const CommandLine cl = parse_command_line(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(cl.options.line.settings.network, 1);
    EXPECT_EQ(cl.options.line.settings.baudCode, 0x31);
    EXPECT_EQ(cl.options.line.modules, (std::vector<uint16_t>{3, 1}));
}

TEST(CommandLine, SocketNamesAndAddresses) {
    EXPECT_EQ(socket_name("/dev/ttyUSB0"), "ttyUSB0.sock");
    EXPECT_EQ(socket_name("/dev/serial/by-id/usb-FTDI_A 1:2"), "usb-FTDI_A_1_2.sock");
    EXPECT_EQ(socket_name("orvanti"), "orvanti.sock");
    EXPECT_EQ(socket_name("/dev/"), "dev.sock");
    EXPECT_EQ(socket_name(".."), "line.sock");
    EXPECT_EQ(socket_name("rfc2217://door-7:4001"), "door-7_4001.sock");
    EXPECT_EQ(socket_name("socket://[::1]:4002"), "___1__4002.sock");
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        const char* port;
    };
    const Case cases[] = {
        {"127.0.0.1:7000", true, "127.0.0.1", "7000"},
        {"[::1]:7000", true, "::1", "7000"},
        {"localhost:0", true, "localhost", "0"},
        {"::1:7000", false, "", ""},
        {"host", false, "", ""},
        {"host:", false, "", ""},
        {":7000", false, "", ""},
        {"host:65536", false, "", ""},
        {"host:70x", false, "", ""},
        {"[::1]7000", false, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string host, port;
        EXPECT_EQ(split_host_port(c.text, host, port), c.ok);
        if (c.ok) {
            EXPECT_EQ(host, c.host);
            EXPECT_EQ(port, c.port);
        }
    }
}

TEST(CommandLine, TheTokenFileIsTheServicesOwn) {
    farend::TempDir dir;
    struct Case {
        const char* content;
        mode_t mode;
        std::string error; // empty: taken
    };
    const Case cases[] = {
        {"0123456789abcdef\n", 0600, ""},
        {"0123456789abcdef", 0400, ""},
        {"0123456789abcdef\n", 0640, "may be read by others (mode 0640): chmod 600"},
        {"0123456789abcdef\n", 0604, "may be read by others"},
        {"short\n", 0600, "shorter than 16 characters"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        const std::string path = dir.file("token" + std::to_string(n++));
        dir.write("token" + std::to_string(n - 1), std::string(c.content));
        ::chmod(path.c_str(), c.mode);
        std::string error;
        const std::string token = read_token_file(path, error);
        if (c.error.empty()) {
            EXPECT_EQ(token, "0123456789abcdef") << error;
        } else {
            EXPECT_TRUE(token.empty());
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
    std::string error;
    EXPECT_TRUE(read_token_file(dir.path(), error).empty());
    EXPECT_NE(error.find("no regular file"), std::string::npos) << error;
    ASSERT_EQ(::symlink("token0", dir.file("link").c_str()), 0);
    EXPECT_TRUE(read_token_file(dir.file("link"), error).empty());
}

} // namespace

namespace {

TEST(Events, OneLineForPeopleEach) {
    struct Case {
        const char* event;
        const char* line;
    };
    const Case cases[] = {
        {R"({"class":"event","kind":"identify","module_id":null,"time":"T","user_id":5,"score":910})",
         "T identify: user 5, score 910"},
        {R"({"class":"event","kind":"duress","module_id":7,"time":"T","user_id":6})",
         "T module 7 duress: user 6"},
        // The directory's name beside the number, escaped as a module's text is.
        {R"({"class":"event","kind":"identify","module_id":null,"time":"T","user_id":5,"score":910,"name":"Ann Lee"})",
         "T identify: user 5 (Ann Lee), score 910"},
        {R"({"class":"event","kind":"duress","module_id":2,"time":"T","user_id":6,"name":"Bo\u001b[2J"})",
         "T module 2 duress: user 6 (Bo^[[2J)"},
        {R"({"class":"event","kind":"not_found","module_id":null,"time":"T"})", "T not_found"},
        {R"({"class":"event","kind":"packet","module_id":null,"time":"T","command":"SS","code":4,"param1":48,)"
         R"("param2":0,"flag":97,"flag_name":"ok","packet":"00"})",
         "T packet: SS 0x4, param1 0x30, param2 0, flag 0x61 (ok)"},
        {R"({"class":"event","kind":"packet","module_id":null,"time":"T","command":null,"code":238,"param1":1,)"
         R"("param2":2,"flag":85,"flag_name":null,"packet":"00"})",
         "T packet: code 0xee, param1 0x1, param2 0x2, flag 0x55"},
        // A module's text cannot drive the terminal: control characters escaped, the line end gone.
        {R"({"class":"event","kind":"text","module_id":null,"time":"T","text":"[a\u001b[31mb]\r"})",
         "T text: [a^[[31mb]"},
        {R"({"class":"event","kind":"noise","module_id":null,"time":"T","bytes":"00ff"})", "T noise: 00ff"},
        {R"({"class":"event","kind":"line","module_id":null,"time":"T","state":"lost","port":"/dev/x","reason":"gone"})",
         "T line lost: /dev/x: gone"},
        {R"({"class":"event","kind":"line","module_id":null,"time":"T","state":"reopened","port":"/dev/x"})",
         "T line reopened: /dev/x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.event);
        EXPECT_EQ(readable(Json::parse(c.event)), c.line);
    }
    EXPECT_EQ(event_time(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(event_time(951825599999), "2000-02-29T11:59:59.999Z");
}

TEST(Requests, JobsAreBoundedAndCancelledById) {
    struct Case {
        std::string line;
        std::string message; // a part of the refusal; "" when it is taken
    };
    const Case cases[] = {
        {R"({"class":"scan","first":1,"last":255,"wait_ms":600000})", ""},
        {R"({"class":"scan","first":65281,"last":65535})", ""},
        {R"({"class":"scan","first":1,"last":256})", "at most 255 IDs; 1 to 256 are 256"},
        {R"({"class":"scan","first":1,"last":65535})", "at most 255 IDs"},
        {R"({"class":"scan","first":300})", "\"first\" is above \"last\""},
        {R"({"class":"scan","wait_ms":600001})", "\"wait_ms\" must be an integer from 1 to 600000"},
        {R"({"class":"cancel","id":"s"})", ""},
        {R"({"class":"cancel","id":{"n":[1]}})", ""},
        {R"({"class":"cancel"})", "gives the \"id\" of the request it stops"},
        {R"({"class":"cancel","id":null})", "gives the \"id\" of the request it stops"},
        {R"({"class":"cancel","id":1,"job":2})", "unknown member \"job\" of a cancel request"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const Request r = parse_request(c.line);
        if (c.message.empty()) {
            EXPECT_EQ(message_of(r), "");
        } else {
            EXPECT_NE(message_of(r).find(c.message), std::string::npos) << message_of(r);
        }
    }
    EXPECT_TRUE(std::holds_alternative<CancelRequest>(parse_request(R"({"class":"cancel","id":7})").body));
}

} // namespace
