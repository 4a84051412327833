// The keyword table: first-match lookups, exact and case-sensitive names,
// categories as part of the key, and the fixed capacity (of a table of the
// caller's own, made from the library's).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ModuleSDK.h"
#include "keywords/Keywords.h"
#include "protocol/Commands.h"

using namespace kelvor;

namespace {

// The library's table is constant: its tests share it with every other test
// of the process, and none of them can change it.
class KeywordTable : public ::testing::Test {};

struct NameCase {
    int category;
    int code;
    const char* name;
};

TEST_F(KeywordTable, NameLookups) {
    const NameCase cases[] = {
        {2, 0x30, "Module is in normal condition"},
        {2, 0x34, "Module is busy"},
        {2, 0x35, "Unknown"},
        {16, 0x77, "Roate Image"},
        {16, 0x93, "Fast Mode"},
        {17, 0x35, "115200"},
        {32, 0x71, "Add New Template"},
        {52, 0x82, "Active High"},
        {50, 0x01, "Active High"},
        {51, 0x89, "Waiting confirm on Delete All by Confirm input"},
        {80, 0x4B, "Delete by Wiegand with admin's verification"},
        {96, 0x14, "Enroll Wait Finter"},
        {96, 0x70, "Detec Smart Card"},
        {96, 0x65, "Tamper Switch Off"},
        {98, 0x01, "Setr"},
        {1, 0x01, "SW"},
        {1, 0x86, "LTX"},
        {113, 0x03, "Reject"},
        {0, 0x00, "Unknown"},
        {-1, -1, "Unknown"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "category " << c.category << " code " << c.code);
        EXPECT_STREQ(keyword_name(c.category, c.code), c.name);
    }
}

struct CodeCase {
    int category;
    const char* name;
    int code;
};

TEST_F(KeywordTable, CodeLookups) {
    const CodeCase cases[] = {
        {1, "SW", 0x01},      {1, "sw", -1},        {1, "Sw", -1},         {1, "LTX", 0x86},
        {1, "ESA", 0x70},     {1, "VT", 0x10},      {1, "CS", 0x1A},       {1, "S", -1},
        {1, "SWX", -1},       {1, "", -1},          {1, "SW ", -1},        {2, "SW", -1},
        {49, "Enroll", 0x01}, {80, "Enroll", 0x10}, {101, "Enroll", 0x01}, {98, "Setr", 0x01},
        {98, "Set", -1},      {81, "IN0", 0x00},    {99, "IN0", 0x04},     {17, "9600", 0x31},
        {0, "Unknown", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "category " << c.category << " name \"" << c.name << "\"");
        EXPECT_EQ(keyword_code(c.category, c.name), c.code);
    }
    EXPECT_EQ(keyword_code(1, nullptr), -1);
}

// One row per command and the names of the other categories: 285 with
// today's 103 commands.
constexpr int BUILTIN_ROWS = keywords::NON_COMMAND_ROWS + static_cast<int>(std::size(packet::COMMANDS));

TEST_F(KeywordTable, FillRegistersARowPerCommandAndTheOtherNames) {
    EXPECT_EQ(keyword_count(), BUILTIN_ROWS);
    EXPECT_EQ(keywords::NON_COMMAND_ROWS, 182);
}

// Rows added to a copy of the library's table: a later duplicate is never
// seen, a new key is, and the library's own table is left as it was.
TEST_F(KeywordTable, LaterDuplicatesAreNeverSeen) {
    keywords::Table own = keywords::builtin();
    EXPECT_TRUE(own.add(1, 0x99, "SW"));
    EXPECT_TRUE(own.add(2, 0x30, "Another status"));
    EXPECT_EQ(own.count(), BUILTIN_ROWS + 2);
    EXPECT_EQ(own.code(1, "SW"), 0x01);
    EXPECT_STREQ(own.name(2, 0x30), "Module is in normal condition");
    EXPECT_STREQ(own.name(1, 0x99), "SW");
    EXPECT_EQ(keyword_count(), BUILTIN_ROWS);
    EXPECT_STREQ(keyword_name(1, 0x99), "Unknown");
}

TEST_F(KeywordTable, FullTableRefusesFurtherRows) {
    // The table keeps pointers to the names: they must outlive it.
    constexpr int room = keywords::CAPACITY - BUILTIN_ROWS;
    static std::string names[room + 1];
    for (int i = 0; i <= room; ++i) names[i] = "Extra " + std::to_string(i);
    keywords::Table own = keywords::builtin();
    for (int i = 0; i < room; ++i) EXPECT_TRUE(own.add(200, i, names[i].c_str()));
    EXPECT_EQ(own.count(), keywords::CAPACITY);
    EXPECT_STREQ(own.name(200, room - 1), names[room - 1].c_str());
    EXPECT_FALSE(own.add(200, room, names[room].c_str()));
    EXPECT_EQ(own.count(), keywords::CAPACITY);
    EXPECT_STREQ(own.name(200, room), "Unknown");
    EXPECT_EQ(own.code(200, names[room].c_str()), -1);
    EXPECT_FALSE(keywords::Table().add(1, 1, nullptr));
}

// Names are found through an index of the rows: on a full table of keys
// that crowd the same slots, of negative and large codes and of duplicates,
// every key finds its first row and no other key finds anything.
TEST_F(KeywordTable, IndexFindsTheFirstRowOfEveryKey) {
    struct Added {
        int category, code;
        std::string name;
    };
    std::vector<Added> rows; // the table keeps the names' pointers
    rows.reserve(400);
    for (int i = 0; rows.size() < 384; ++i) {
        const int category = i % 7 == 0 ? -1 : i % 5;
        const int code = i % 3 == 0 ? -i : i * 1031;
        rows.push_back({category, code, "row " + std::to_string(i)});
        if (i % 11 == 0 && rows.size() < 384) rows.push_back({category, code, "again " + std::to_string(i)});
    }
    keywords::Table own;
    for (const Added& r : rows) own.add(r.category, r.code, r.name.c_str());
    ASSERT_EQ(own.count(), 384);
    for (const Added& r : rows) {
        const Added* first = nullptr;
        for (const Added& f : rows)
            if (f.category == r.category && f.code == r.code) {
                first = &f;
                break;
            }
        ASSERT_STREQ(own.name(r.category, r.code), first->name.c_str()) << r.category << " " << r.code;
    }
    for (const auto& [category, code] :
         std::vector<std::pair<int, int>>{{0, 1}, {6, 0}, {-1, 1}, {4, -4}, {1, 1030}})
        EXPECT_STREQ(own.name(category, code), "Unknown") << category << " " << code;
    EXPECT_STREQ(keywords::Table().name(rows[0].category, rows[0].code), "Unknown");
}

TEST_F(KeywordTable, AnEmptyTableNamesNothing) {
    const keywords::Table empty;
    EXPECT_EQ(empty.count(), 0);
    EXPECT_STREQ(empty.name(1, 0x01), "Unknown");
    EXPECT_EQ(empty.code(1, "SW"), -1);
    EXPECT_EQ(empty.code(1, nullptr), -1);
}

} // namespace

namespace {

// The front end fills the table explicitly, as programs written for a table
// that starts empty do: the fill adds nothing, and the lookups are those of
// the library's one table.
TEST_F(KeywordTable, FillAddsNothing) {
    const int filled = keyword_count();
    ASSERT_EQ(filled, keywords::builtin().count());
    keyword_fill();
    keyword_fill();
    EXPECT_EQ(keyword_count(), filled);
    EXPECT_STREQ(keyword_name(KW_COMMAND, 0x05), "ES");
    EXPECT_EQ(keyword_name(KW_COMMAND, 0x05), keywords::builtin().name(KW_COMMAND, 0x05));
}

} // namespace
