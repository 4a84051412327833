// The result table: every result code of the library has one row with a name
// of its own in snake_case, a text, and the class that --exit-code reports.
#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

#include "LongOptions.h"
#include "ModuleSDK.h"
#include "OrvantiCom.h"

using namespace kelvor;

TEST(Results, EveryCodeHasOneRowWithAStableNameAndItsClass) {
    const int codes[] = {ERR_PORT_OPEN,
                         ERR_PORT_SETUP,
                         ERR_WRITE,
                         ERR_WRITE_SHORT,
                         ERR_READ,
                         ERR_READ_TIMEOUT,
                         ERR_CHECKSUM,
                         ERR_SET_TIMEOUT,
                         ERR_STOPPED,
                         RES_NOT_FOUND,
                         RES_SCAN_FAILED,
                         RES_NOT_SUPPORTED,
                         RES_TIMEOUT,
                         RES_TRY_AGAIN,
                         RES_MEMORY_FULL,
                         RES_FINGER_LIMIT,
                         RES_INVALID_ID,
                         RES_ID_ALREADY_USED,
                         RES_TIMEOUT_MATCHING,
                         RES_NOT_MATCH,
                         RES_SYSTEM_BUSY,
                         RES_CANCELLED,
                         RES_DATA_ERROR,
                         RES_CARD_ERROR,
                         RES_ID_REJECTED,
                         RES_DURESS_FINGER,
                         RES_FINGER_ALREADY_ENROLLED,
                         RES_UNKNOWN,
                         RES_FRONT_REFUSED};
    std::set<std::string> names;
    for (int code : codes) {
        SCOPED_TRACE(code);
        const ResultInfo& r = result_info(code);
        EXPECT_EQ(r.code, code);
        const std::string name = r.name;
        EXPECT_TRUE(names.insert(name).second) << name;
        for (char c : name) EXPECT_TRUE(std::islower(static_cast<unsigned char>(c)) || c == '_') << name;
        EXPECT_NE(std::string(r.text), "");
        const ResultClass expected = code >= ERR_STOPPED ? ResultClass::LinkFailed : ResultClass::Refused;
        EXPECT_EQ(r.outcome, expected);
        EXPECT_EQ(exit_class(code), static_cast<int>(expected));
    }
    EXPECT_EQ(result_table().size(), std::size(codes) + 1); // and success
    EXPECT_STREQ(result_name(0), "ok");
    EXPECT_STREQ(result_name(384), "ok"); // a byte count
    EXPECT_EQ(exit_class(0), EXIT_SUCCEEDED);
    EXPECT_STREQ(result_name(-55), "unknown");
    EXPECT_EQ(exit_class(FRONT_REFUSED), EXIT_REFUSED);
    EXPECT_STREQ(result_text(RES_NOT_FOUND), "Not found");
    EXPECT_STREQ(result_name(ERR_READ_TIMEOUT), "read_timeout");
}

TEST(Results, TheLibraryKnowsItsVersion) {
    EXPECT_STREQ(version(), KELVOR_VERSION);
}
