#include <sys/stat.h>

#include <string>

#include "notes_api.h"
#include "product_database.h"
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

class ProductDatabaseTest : public test_support::DataDirTest {
  protected:
    // The build version that the platform reports for a database.
    WORD BuildOf(const std::string &path) {
        DBHANDLE db = NULLHANDLE;
        WORD build = 0;
        EXPECT_NOERROR(NSFDbOpen(path.c_str(), &db));
        EXPECT_NOERROR(NSFDbGetBuildVersion(db, &build));
        NSFDbClose(db);
        return build;
    }
};

TEST_F(ProductDatabaseTest, AnExistingDatabaseGivesItsBuildVersionAndStaysClosed) {
    ASSERT_EQ(mkdir(dataFile("hcr").c_str(), 0755), 0);
    ASSERT_NOERROR(NSFDbCreate("hcr/HCR.nsf", DBCLASS_NOTEFILE, FALSE));
    const WORD expected = BuildOf("hcr/HCR.nsf");
    ASSERT_NE(expected, 0xBEEF);

    WORD build = 0xBEEF;
    EXPECT_NOERROR(SetUpProductDatabase("hcr", &build));
    EXPECT_EQ(build, expected);
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
