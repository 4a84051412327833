// The keyword table: first-match lookups, exact and case-sensitive names,
// categories as part of the key, and the fixed capacity.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ModuleSDK.h"

using namespace kelvor;

namespace {

class KeywordTable : public ::testing::Test {
protected:
    void SetUp() override {
        keyword_reset();
        keyword_fill();
    }
    // Other tests of the process rely on the filled table.
    void TearDown() override {
        keyword_reset();
        keyword_fill();
    }
};

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

TEST_F(KeywordTable, FillRegisters285Rows) {
    EXPECT_EQ(keyword_count(), 285);
}

TEST_F(KeywordTable, LaterDuplicatesAreNeverSeen) {
    keyword_add(1, 0x99, "SW");
    keyword_add(2, 0x30, "Another status");
    EXPECT_EQ(keyword_count(), 287);
    EXPECT_EQ(keyword_code(1, "SW"), 0x01);
    EXPECT_STREQ(keyword_name(2, 0x30), "Module is in normal condition");
    EXPECT_STREQ(keyword_name(1, 0x99), "SW");
}

TEST_F(KeywordTable, FullTableRefusesFurtherRows) {
    // The table keeps pointers to the names: they must outlive it.
    static std::string names[100];
    for (int i = 0; i < 100; ++i) names[i] = "Extra " + std::to_string(i);
    for (int i = 0; i < 99; ++i) keyword_add(200, i, names[i].c_str());
    EXPECT_EQ(keyword_count(), 384);
    EXPECT_STREQ(keyword_name(200, 98), "Extra 98");
    keyword_add(200, 99, names[99].c_str());
    EXPECT_EQ(keyword_count(), 384);
    EXPECT_STREQ(keyword_name(200, 99), "Unknown");
    EXPECT_EQ(keyword_code(200, "Extra 99"), -1);
}

// Names are found through an index of the rows: on a full table of keys
// that crowd the same slots, of negative and large codes and of duplicates,
// every key finds its first row and no other key finds anything.
TEST_F(KeywordTable, IndexFindsTheFirstRowOfEveryKey) {
    keyword_reset();
    struct Added {
        int category, code;
        std::string name;
    };
    static std::vector<Added> rows; // the table keeps the names' pointers
    rows.clear();
    rows.reserve(400);
    for (int i = 0; rows.size() < 384; ++i) {
        const int category = i % 7 == 0 ? -1 : i % 5;
        const int code = i % 3 == 0 ? -i : i * 1031;
        rows.push_back({category, code, "row " + std::to_string(i)});
        if (i % 11 == 0 && rows.size() < 384) rows.push_back({category, code, "again " + std::to_string(i)});
    }
    for (const Added& r : rows) keyword_add(r.category, r.code, r.name.c_str());
    ASSERT_EQ(keyword_count(), 384);
    for (const Added& r : rows) {
        const Added* first = nullptr;
        for (const Added& f : rows)
            if (f.category == r.category && f.code == r.code) {
                first = &f;
                break;
            }
        ASSERT_STREQ(keyword_name(r.category, r.code), first->name.c_str()) << r.category << " " << r.code;
    }
    for (const auto& [category, code] :
         std::vector<std::pair<int, int>>{{0, 1}, {6, 0}, {-1, 1}, {4, -4}, {1, 1030}})
        EXPECT_STREQ(keyword_name(category, code), "Unknown") << category << " " << code;
    keyword_reset();
    EXPECT_STREQ(keyword_name(rows[0].category, rows[0].code), "Unknown");
}

TEST_F(KeywordTable, ResetEmptiesTheTable) {
    keyword_reset();
    EXPECT_EQ(keyword_count(), 0);
    EXPECT_STREQ(keyword_name(1, 0x01), "Unknown");
    EXPECT_EQ(keyword_code(1, "SW"), -1);
}

} // namespace

namespace {

// The table fills itself on first use and the front end fills it again
// explicitly: a second fill must not add the rows twice (they would take the
// room of rows added later), and an emptied table is refilled only on request.
TEST_F(KeywordTable, FillAddsTheBuiltInRowsOnce) {
    const int filled = keyword_count();
    ASSERT_GT(filled, 200);
    keyword_fill();
    EXPECT_EQ(keyword_count(), filled);
    keyword_add(200, 1, "Extra");
    keyword_fill();
    EXPECT_EQ(keyword_count(), filled + 1);
    keyword_reset();
    EXPECT_EQ(keyword_count(), 0);
    keyword_fill();
    EXPECT_EQ(keyword_count(), filled);
    EXPECT_STREQ(keyword_name(KW_COMMAND, 0x05), "ES");
}

} // namespace
