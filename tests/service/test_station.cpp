// The directory of people and the station's HTTP rules, without a line: names
// kept across a restart and refused when they could mislead, the events that
// carry them, the paths the station serves, and which Host and Origin it takes.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Directory.h"
#include "Http.h"

using namespace kelvord;

namespace {

class DirectoryFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kelvord-directory-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/people.db";
    }
    void TearDown() override {
        ::unlink(path_.c_str());
        ::unlink((dir_ + "/link.db").c_str());
        ::rmdir(dir_.c_str());
    }
    std::string dir_, path_;
};

TEST_F(DirectoryFile, PeopleAreKeptAcrossARestartAndTheFileIsTheServicesOwn) {
    {
        Directory d(path_);
        Person p;
        EXPECT_EQ(d.set(7, "  Ann Lee ", "desk 2\nsince May", p), "");
        EXPECT_EQ(p.name, "Ann Lee"); // spaces around a name are no part of it
        EXPECT_EQ(p.changed.size(), 24u);
        EXPECT_EQ(d.set(4294967295u, "Åsa Öberg", "", p), "");
        EXPECT_EQ(d.set(7, "Ann Lee-Moss", "", p), ""); // set again: replaced
        std::string error;
        EXPECT_FALSE(d.remove(12, error));
        EXPECT_EQ(error, "");
    }
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    Directory again(path_);
    const std::vector<Person> people = again.people();
    ASSERT_EQ(people.size(), 2u);
    EXPECT_EQ(people[0].userId, 7u);
    EXPECT_EQ(people[0].name, "Ann Lee-Moss");
    EXPECT_EQ(people[0].note, "");
    EXPECT_EQ(people[1].userId, 4294967295u);
    EXPECT_EQ(again.name_of(4294967295u), std::optional<std::string>("Åsa Öberg"));
    std::string error;
    EXPECT_TRUE(again.remove(7, error));
    EXPECT_FALSE(again.name_of(7));
    EXPECT_EQ(Directory(path_).people().size(), 1u);
}

TEST_F(DirectoryFile, NamesThatCouldMisleadAreRefused) {
    Directory d(path_);
    struct Case {
        std::string name, note, error; // error empty: taken
    };
    const Case cases[] = {
        {"Bo", "", ""},
        {"Zoë 李", "line one\nline two", ""},
        {"", "", "the name is empty"},
        {"   ", "", "the name is empty"},
        {"a\nb", "", "the name holds a control character"},
        {"a\x1b[2Jb", "", "the name holds a control character"},
        {"a\xc2\x9b"
         "b",
         "", "the name holds a control character"}, // C1 CSI
        {"a\xff", "", "the name is no UTF-8 text"},
        {"\xe2\x82", "", "the name is no UTF-8 text"},
        {std::string(201, 'x'), "", "longer than 200 bytes"},
        {std::string(200, 'x'), "", ""},
        {"C", "tab\there", "the note holds a control character"},
        {"C", std::string(2001, 'n'), "the note is longer than 2000 bytes"},
    };
    uint32_t id = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 20));
        Person p;
        const std::string why = d.set(id, c.name, c.note, p);
        if (c.error.empty()) {
            EXPECT_EQ(why, "");
            EXPECT_TRUE(d.name_of(id));
        } else {
            EXPECT_NE(why.find(c.error), std::string::npos) << why;
            EXPECT_FALSE(d.name_of(id));
        }
        ++id;
    }
}

TEST_F(DirectoryFile, AFileOfALaterFormatOrThroughALinkIsRefused) {
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 9", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    try {
        Directory d(path_);
        FAIL() << "a later format was taken";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("later format (9)"), std::string::npos) << e.what();
    }
    const std::string link = dir_ + "/link.db";
    ASSERT_EQ(::symlink(path_.c_str(), link.c_str()), 0);
    EXPECT_THROW(Directory{link}, std::runtime_error);
}

TEST_F(DirectoryFile, IdentificationsCarryTheNameOtherEventsPassAsTheyAre) {
    Directory d(path_);
    Person p;
    ASSERT_EQ(d.set(5, "Ann \"A\" Lee", "", p), "");
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {R"({"class":"event","kind":"identify","module_id":null,"time":"T","user_id":5,"score":900})",
         R"({"class":"event","kind":"identify","module_id":null,"time":"T","user_id":5,"score":900,"name":"Ann \"A\" Lee"})"},
        {R"({"class":"event","kind":"duress","module_id":3,"time":"T","user_id":5})",
         R"({"class":"event","kind":"duress","module_id":3,"time":"T","user_id":5,"name":"Ann \"A\" Lee"})"},
        // A user the directory does not know, and every other kind, unchanged.
        {R"({"class":"event","kind":"identify","module_id":null,"time":"T","user_id":6,"score":900})",
         R"({"class":"event","kind":"identify","module_id":null,"time":"T","user_id":6,"score":900})"},
        {R"({"class":"event","kind":"not_found","module_id":null,"time":"T"})",
         R"({"class":"event","kind":"not_found","module_id":null,"time":"T"})"},
        {R"({"class":"event","kind":"text","module_id":null,"time":"T","text":"\"kind\":\"identify\""})",
         R"({"class":"event","kind":"text","module_id":null,"time":"T","text":"\"kind\":\"identify\""})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(d.name_event(c.in), c.out);
    }
}

TEST(Station, OnlyThePagesOwnFilesAreServed) {
    struct Case {
        const char* target;
        const char* file; // empty: refused
    };
    const Case cases[] = {
        {"/", "index.html"},
        {"/station.js", "station.js"},
        {"/station.css", "station.css"},
        {"/favicon.svg", "favicon.svg"},
        {"/../etc/passwd", ""},
        {"/..", ""},
        {"/a/b.js", ""},
        {"/.hidden.js", ""},
        {"/x..js", ""},
        {"/Index.html", ""},
        {"/station.js%00", ""},
        {"/kelvord.conf", ""},
        {"", ""},
        {"//station.js", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        EXPECT_EQ(station_file(c.target), c.file);
    }
    EXPECT_EQ(content_type("station.js"), "text/javascript; charset=utf-8");
}

TEST(Station, HostAndOriginAreThePagesOwn) {
    struct Case {
        const char* host;
        bool loopbackListener;
        bool allowed;
    };
    // A page of another site whose name was made to resolve to 127.0.0.1
    // (DNS rebinding) names its own host: a loopback listener refuses it.
    const Case hosts[] = {
        {"localhost:8080", true, true},
        {"LOCALHOST:8080", true, true},
        {"127.0.0.1:8080", true, true},
        {"127.1.2.3", true, true},
        {"[::1]:8080", true, true},
        {"evil.example:8080", true, false},
        {"192.168.1.5:8080", true, false},
        {"evil.example:8080", false, true},
        {"", true, false},
        {"", false, false},
        {"a b:80", false, false},
        {"[::1:80", true, false},
        {"localhost:", true, false},
        {"localhost:123456", true, false},
    };
    for (const Case& c : hosts) {
        SCOPED_TRACE(c.host);
        EXPECT_EQ(host_allowed(c.host, c.loopbackListener), c.allowed);
    }
    struct Origin {
        const char* origin;
        const char* host;
        bool allowed;
    };
    const Origin origins[] = {
        {"http://localhost:8080", "localhost:8080", true},
        {"HTTP://LocalHost:8080", "localhost:8080", true},
        {"htTp://[::1]:8080", "[::1]:8080", true},
        {"http://127.0.0.1:8080", "localhost:8080", false},
        {"http://localhost:8081", "localhost:8080", false},
        {"https://localhost:8080", "localhost:8080", false},
        {"http://evil.example", "localhost:8080", false},
        {"null", "localhost:8080", false},
        {"", "localhost:8080", false},
        {"http://localhost:8080", "", false},
    };
    for (const Origin& o : origins) {
        SCOPED_TRACE(std::string(o.origin) + " on " + o.host);
        EXPECT_EQ(origin_allowed(o.origin, o.host), o.allowed);
    }
}

// On TLS the page's own origin is https://; an origin given with --origin (a
// proxy's page) passes exactly, on either; anything else stays refused.
TEST(Station, OriginsOfTlsAndProxies) {
    const std::vector<std::string> proxies = {"https://door.example:8443", "http://10.0.0.5"};
    struct Origin {
        const char* origin;
        const char* host;
        bool tls;
        bool allowed;
    };
    const Origin origins[] = {
        {"https://localhost:8080", "localhost:8080", true, true},
        {"HTTPS://LOCALHOST:8080", "localhost:8080", true, true},
        {"http://localhost:8080", "localhost:8080", true, false},
        {"https://localhost:8081", "localhost:8080", true, false},
        {"https://evil.example", "localhost:8080", true, false},
        {"https://door.example:8443", "localhost:8080", true, true},
        {"https://door.example:8443", "localhost:8080", false, true},
        {"https://DOOR.example:8443", "", false, true},
        {"http://door.example:8443", "localhost:8080", true, false},
        {"https://door.example", "localhost:8080", true, false},
        {"https://door.example:8443/", "localhost:8080", true, false},
        {"https://door.example:84430", "localhost:8080", true, false},
        {"http://10.0.0.5", "10.0.0.5:80", false, true},
        {"", "localhost:8080", true, false},
    };
    for (const Origin& o : origins) {
        SCOPED_TRACE(std::string(o.origin) + " on " + o.host + (o.tls ? " (TLS)" : ""));
        EXPECT_EQ(origin_allowed(o.origin, o.host, o.tls, proxies), o.allowed);
    }
    struct Url {
        const char* text;
        const char* origin; // nullptr: refused
    };
    const Url urls[] = {
        {"https://Door.Example:8443", "https://door.example:8443"},
        {"https://door.example:8443/", "https://door.example:8443"},
        {"http://[::1]:8080", "http://[::1]:8080"},
        {"HTTP://10.0.0.5", "http://10.0.0.5"},
        {"https://door.example/station", nullptr},
        {"https://door.example:", nullptr},
        {"https://door.example:12345678", nullptr},
        {"https://", nullptr},
        {"ftp://door.example", nullptr},
        {"door.example:8443", nullptr},
        {"https://user@door.example", nullptr},
        {"https://door.example?x", nullptr},
        {"", nullptr},
    };
    for (const Url& u : urls) {
        SCOPED_TRACE(u.text);
        std::string origin;
        EXPECT_EQ(origin_url(u.text, origin), u.origin != nullptr);
        if (u.origin) {
            EXPECT_EQ(origin, u.origin);
        }
    }
}

TEST(Station, AddressesOfHttp) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        bool loopback;
    };
    const Case cases[] = {
        {"8080", true, "127.0.0.1", true},
        {"localhost:8080", true, "127.0.0.1", true},
        {"[::1]:8080", true, "::1", true},
        {"127.0.0.2:80", true, "127.0.0.2", true},
        {"0.0.0.0:80", true, "0.0.0.0", false},
        {"example.org:80", true, "example.org", false},
        {"65536", false, "", false},
        {"", false, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string host, port;
        ASSERT_EQ(http_address(c.text, host, port), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(loopback_host(host), c.loopback);
    }
}

} // namespace
