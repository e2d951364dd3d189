#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "os_error.h"
#include "standin/status.h"
#include "test_support.h"

namespace {

std::vector<StandinStatusEntry> Table() {
    std::vector<StandinStatusEntry> rows(StandinStatusTable(nullptr, 0));
    StandinStatusTable(rows.data(), rows.size());
    return rows;
}

TEST(StatusTable, EveryCodeAndNameStandsOnceAndHasAText) {
    std::set<STATUS> codes;
    std::set<std::string> names;
    for (const StandinStatusEntry &row : Table()) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(codes.insert(row.code).second) << "code 0x" << std::hex << row.code;
        EXPECT_TRUE(names.insert(row.name).second);
        EXPECT_NE(row.code, 0);
        EXPECT_EQ(row.code & ~ERR_MASK, 0) << "a code uses the displayed or remote bit";
        EXPECT_GT(std::string(row.text).size(), 5u);
    }
}

TEST(StatusTable, StatusesThatTheSystemNamesHaveTheirPlatformValues) {
    struct Case {
        STATUS code;
        const char *fragment;
    } cases[] = {
        {0x0103, "does not exist"},
        {0x0A02, "not responding"},
        {0x1105, "%a"},
        {1124, "Timeout"},
        {1126, "Quit"},
    };
    for (const Case &c : cases) {
        char text[256];
        OSLoadString(nullptr, c.code, text, sizeof text);
        EXPECT_NE(std::string(text).find(c.fragment), std::string::npos)
            << std::hex << c.code << ": " << text;
    }
}

TEST(OSLoadString, MasksTheFlagBitsAndBoundsTheBuffer) {
    char full[256], flagged[256];
    WORD length = OSLoadString(nullptr, ERR_NOEXIST, full, sizeof full);
    EXPECT_EQ(length, std::string(full).size());
    OSLoadString(nullptr, ERR_NOEXIST | STS_DISPLAYED | STS_REMOTE, flagged, sizeof flagged);
    EXPECT_STREQ(full, flagged);

    char small[6];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(OSLoadString(nullptr, ERR_NOEXIST, small, 5), 4);
    EXPECT_STREQ(small, "File");
    EXPECT_EQ(small[5], 'x') << "wrote past the given length";
    EXPECT_EQ(OSLoadString(nullptr, ERR_NOEXIST, small, 0), 0);
}

TEST(OSLoadString, SuccessAndUnknownCodesStillGiveAText) {
    char text[256];
    OSLoadString(nullptr, 0, text, sizeof text);
    EXPECT_STREQ(text, "No error");
    OSLoadString(nullptr, 0x3FFE, text, sizeof text);
    EXPECT_STREQ(text, "Unknown error 0x3FFE");
}

}  // namespace
