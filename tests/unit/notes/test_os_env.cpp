#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "os_env.h"
#include "os_error.h"
#include "test_support.h"

namespace {

class EnvTest : public test_support::DataDirTest {
    std::vector<std::string> IniLines() const override {
        return {"HCRDirectory=apps\\hcr", "HCRSetup= 2x", "Negative=-17", "Empty=", "junk line"};
    }
};

TEST_F(EnvTest, ReadsKeysWithoutRegardToCase) {
    char value[64] = "sentinel";
    EXPECT_TRUE(OSGetEnvironmentString("hcrdirectory", value, sizeof value));
    EXPECT_STREQ(value, "apps\\hcr");
    strcpy(value, "sentinel");
    EXPECT_FALSE(OSGetEnvironmentString("Missing", value, sizeof value));
    EXPECT_STREQ(value, "");
    EXPECT_TRUE(OSGetEnvironmentString("Empty", value, sizeof value));
    EXPECT_STREQ(value, "");
}

TEST_F(EnvTest, CutsValuesToTheBuffer) {
    char value[6];
    memset(value, 'x', sizeof value);
    EXPECT_TRUE(OSGetEnvironmentString("HCRDirectory", value, 5));
    EXPECT_STREQ(value, "apps");
    EXPECT_EQ(value[5], 'x');
}

TEST_F(EnvTest, IntegerReads) {
    struct Case {
        const char *key;
        int expected;
    } cases[] = {
        {"HCRSetup", 2}, {"Negative", -17}, {"Empty", 0}, {"Missing", 0}, {"HCRDirectory", 0}};
    for (const Case &c : cases) {
        EXPECT_EQ(OSGetEnvironmentInt(c.key), c.expected) << c.key;
        EXPECT_EQ(OSGetEnvironmentLong(c.key), c.expected) << c.key;
    }
}

TEST_F(EnvTest, WritesKeepOtherLinesAndReplaceInPlace) {
    OSSetEnvironmentInt("hcrsetup", 0);
    OSSetEnvironmentVariable("NewKey", "new value");
    EXPECT_EQ(OSGetEnvironmentInt("HCRSetup"), 0);
    char value[64];
    EXPECT_TRUE(OSGetEnvironmentString("NEWKEY", value, sizeof value));
    EXPECT_STREQ(value, "new value");
    std::string ini = test_support::ReadFile(iniPath());
    EXPECT_NE(ini.find("[Notes]\n"), std::string::npos);
    EXPECT_NE(ini.find("junk line\n"), std::string::npos);
    EXPECT_NE(ini.find("hcrsetup=0\n"), std::string::npos);
    EXPECT_EQ(ini.find("HCRSetup= 2x"), std::string::npos);
    EXPECT_LT(ini.find("hcrsetup=0"), ini.find("Negative=")) << "the key moved";

    OSSetEnvironmentVariable("NewKey", "");
    EXPECT_FALSE(OSGetEnvironmentString("NewKey", value, sizeof value));
    EXPECT_FALSE(test_support::FileExists(iniPath() + ".tmp" + std::to_string(getpid())));
}

TEST_F(EnvTest, SeesChangesMadeByAnotherProcess) {
    EXPECT_EQ(OSGetEnvironmentInt("HCRSetup"), 2);
    pid_t child = fork();
    if (child == 0) {
        // Another process rewriting the file, as an administrator would.
        test_support::WriteFile(iniPath(), "Directory=" + dataDir() + "\nHCRSetup=5\n");
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(OSGetEnvironmentInt("HCRSetup"), 5);
}

TEST_F(EnvTest, ConcurrentWritersLoseNoKey) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t] {
            for (int i = 0; i < 25; i++)
                OSSetEnvironmentInt(("Key" + std::to_string(t) + "_" + std::to_string(i)).c_str(),
                                    i);
        });
    }
    for (auto &t : threads)
        t.join();
    for (int t = 0; t < 4; t++)
        for (int i = 0; i < 25; i++)
            EXPECT_EQ(
                OSGetEnvironmentInt(("Key" + std::to_string(t) + "_" + std::to_string(i)).c_str()),
                i);
    EXPECT_EQ(OSGetEnvironmentInt("Negative"), -17);
}

TEST_F(EnvTest, ServerNameIsCanonical) {
    char name[MAXUSERNAME];
    ASSERT_NOERROR(SECKFMGetUserName(name));
    EXPECT_STREQ(name, "CN=Vanterra Test/O=Acme");
    OSSetEnvironmentVariable("ServerName", nullptr);
    EXPECT_EQ(SECKFMGetUserName(name), ERR_NO_SERVER_NAME);
    EXPECT_STREQ(name, "");
}

}  // namespace
