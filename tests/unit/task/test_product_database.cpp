#include <sys/stat.h>

#include <string>

#include "notes_api.h"
#include "product_database.h"
#include "standin/nsf.h"
#include "standin/runtime.h"
#include "test_support.h"

namespace {

TEST(ProductFilePath, FolderBackslashAndNameOrTheNameAlone) {
    const struct {
        const char *directory;
        const char *expected;
    } cases[] = {
        {"", "HCR.nsf"},
        {nullptr, "HCR.nsf"},
        {"hcr", "hcr\\HCR.nsf"},
        {"apps\\hcr", "apps\\hcr\\HCR.nsf"},
        {"hcr\\", "hcr\\\\HCR.nsf"},  // taken as it stands: two backslashes
        {"hcr/", "hcr/\\HCR.nsf"},
        {" ", " \\HCR.nsf"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ProductFilePath(c.directory, "HCR.nsf"), c.expected)
            << (c.directory ? c.directory : "(null)");
    }
    EXPECT_EQ(ProductFilePath("hcr", "HCREx.ntf"), "hcr\\HCREx.ntf");
}

class ProductDatabaseTest : public test_support::DataDirTest {};

TEST_F(ProductDatabaseTest, AnExistingDatabaseGivesItsBuildVersionAndStaysClosed) {
    ASSERT_EQ(mkdir(dataFile("apps").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dataFile("apps/hcr").c_str(), 0755), 0);
    ASSERT_NOERROR(StandinDbCreate("apps/hcr/HCR.nsf", DBCLASS_NOTEFILE, 378));
    ASSERT_NOERROR(StandinDbCreate("HCR.nsf", DBCLASS_NOTEFILE, 450));

    for (WORD version : {378, 379, 1, 0xFFFF}) {
        ASSERT_NOERROR(StandinDbSetBuildVersion("apps/hcr/HCR.nsf", version));
        WORD build = 0xBEEF;
        EXPECT_NOERROR(SetUpProductDatabase("apps\\hcr", &build));
        EXPECT_EQ(build, version);
    }
    WORD build = 0;
    EXPECT_NOERROR(SetUpProductDatabase("", &build));  // the one in the data directory
    EXPECT_EQ(build, 450);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_DATABASE), 0u);
}

TEST_F(ProductDatabaseTest, ADatabaseThatCannotBeOpenedEndsStartUpWithTheOpensStatus) {
    WORD build = 7;
    // Absent: the status of a missing file, and nothing is created.
    EXPECT_EQ(SetUpProductDatabase("", &build), 0x0103);
    EXPECT_EQ(SetUpProductDatabase("hcr", &build), ERR_NOEXIST);
    EXPECT_FALSE(test_support::FileExists(dataFile("HCR.nsf")));
    // A file that is no database.
    test_support::WriteFile(dataFile("HCR.nsf"), "not a database");
    EXPECT_EQ(SetUpProductDatabase("", &build), ERR_NOT_NSF);
    EXPECT_EQ(test_support::ReadFile(dataFile("HCR.nsf")), "not a database");

    EXPECT_EQ(build, 7);  // untouched when HCR.nsf did not open
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_DATABASE), 0u);
}

}  // namespace
