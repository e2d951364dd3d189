#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dname.h"
#include "nsf_db.h"
#include "os_error.h"
#include "os_mem.h"
#include "os_runtime.h"
#include "standin/fault.h"
#include "test_support.h"

namespace {

STATUS Alloc() {
    DHANDLE h;
    STATUS status = OSMemAlloc(0, 4, &h);
    if (status == 0)
        OSMemFree(h);
    return status;
}

class FaultTest : public ::testing::Test {
  protected:
    void TearDown() override { StandinFaultClear(); }
};

TEST_F(FaultTest, SkipThenFailAGivenNumberOfTimes) {
    StandinFaultInject({"OSMemAlloc", ERR_MEMORY, 2, 3, nullptr});
    STATUS expected[] = {0, 0, ERR_MEMORY, ERR_MEMORY, ERR_MEMORY, 0, 0};
    for (size_t i = 0; i < sizeof expected / sizeof expected[0]; i++)
        EXPECT_EQ(Alloc(), expected[i]) << "call " << i;
    EXPECT_EQ(StandinFaultHits("OSMemAlloc"), 3u);
    StandinFaultClear();
    EXPECT_EQ(StandinFaultHits("OSMemAlloc"), 0u);
}

TEST_F(FaultTest, TimesZeroFailsEveryCallUntilCleared) {
    StandinFaultInject({"OSMemAlloc", 0x1234, 0, 0, nullptr});
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(Alloc(), 0x1234);
    StandinFaultClear();
    EXPECT_EQ(Alloc(), 0);
}

TEST_F(FaultTest, OtherCallsAreNotTouched) {
    StandinFaultInject({"NSFDbOpen", ERR_MEMORY, 0, 0, nullptr});
    EXPECT_EQ(Alloc(), 0);
}

TEST_F(FaultTest, ParsesRuleTextsWithBlanksAroundTheirParts) {
    ASSERT_TRUE(StandinFaultParse(" OSMemAlloc = 0x0101 +1 *1 ;; NSFDbOpen=2562@mail\\jdoe.nsf ;"));
    EXPECT_EQ(Alloc(), 0);
    EXPECT_EQ(Alloc(), ERR_MEMORY);
    EXPECT_EQ(Alloc(), 0);
    // The database rule fires for its database only, whatever the separator.
    DBHANDLE db = NULLHANDLE;
    EXPECT_EQ(NSFDbOpen("mail/jdoe.nsf", &db), 2562);
    EXPECT_NE(NSFDbOpen("mail/other.nsf", &db), 2562);
    EXPECT_EQ(StandinFaultHits("NSFDbOpen"), 1u);
}

// "*" walks "fail the Nth call" over a sequence of different calls: each N
// fails exactly the Nth public call, internal steps are never counted, and
// once N passes the last call the rule no longer fires.
TEST_F(FaultTest, AWildcardRuleFailsTheNthPublicCallWhateverItIs) {
    auto sequence = [] {
        std::vector<STATUS> results;
        results.push_back(Alloc());
        char abbreviated[MAXUSERNAME];
        WORD length = 0;
        results.push_back(
            DNAbbreviate(0, nullptr, "CN=Jo Doe/O=Acme", abbreviated, sizeof abbreviated, &length));
        results.push_back(Alloc());
        return results;
    };
    const char *const calls[] = {"OSMemAlloc", "DNAbbreviate", "OSMemAlloc"};
    for (unsigned n = 0;; n++) {
        SCOPED_TRACE(n);
        StandinFaultClear();
        StandinFaultInject({"*", 0x1234, n, 1, nullptr});
        std::vector<STATUS> results = sequence();
        if (n >= 3) {
            EXPECT_EQ(StandinFaultHits("*"), 0u);
            EXPECT_EQ(results, std::vector<STATUS>(3, 0));
            break;
        }
        std::vector<STATUS> expected(3, 0);
        expected[n] = 0x1234;
        EXPECT_EQ(results, expected);
        EXPECT_EQ(StandinFaultHits("*"), 1u);
        EXPECT_EQ(StandinFaultHits(calls[n]), 1u);
        char last[64];
        EXPECT_EQ(StandinFaultLastWildcardCall(last, sizeof last), std::strlen(calls[n]));
        EXPECT_STREQ(last, calls[n]);
    }
    EXPECT_TRUE(StandinFaultParse("*=0x0101+1*1"));
}

// The texts that the parse refuses, for StandinFaultParse and the
// environment alike: each is one bad rule, sometimes after a good one.
const char *const kBadRuleTexts[] = {
    "OSMemAlloc",                 // no status
    "=5",                         // no call
    "OSMemAlloc=x",               // status not a number
    "OSMemAlloc=",                // no status after "="
    "OSMemAlloc=0x",              // half a number
    "OSMemAlloc=-1",              // negative
    "OSMemAlloc=70000",           // more than a status holds
    "OSMemAlloc=5+y",             // skip not a number
    "OSMemAlloc=5*",              // no count after "*"
    "OSMemAlloc=5*99999999999",   // count too large
    "OSMemAlloc=5@",              // empty database
    "OSMemAloc=5",                // a call without a fault point: would never fire
    "MQPut=0x0473; OSMemAlloc=x"  // the good rule before it is not added either
};

TEST_F(FaultTest, AMalformedTextAddsNoRuleAtAll) {
    for (const char *text : kBadRuleTexts) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(StandinFaultParse(text));
        EXPECT_EQ(Alloc(), 0);
    }
    EXPECT_FALSE(StandinFaultParse(nullptr));
    // Nothing of the last text was added before its bad rule was seen.
    EXPECT_EQ(StandinFaultHits("MQPut"), 0u);
    EXPECT_TRUE(StandinFaultParse(""));
    EXPECT_TRUE(StandinFaultParse(" ; ;"));
}

std::string RegexEscape(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr)
            out += '\\';
        out += c;
    }
    return out;
}

// Runs in the death test's own process: the runtime's start on a data
// directory that it would start on, with NOTES_STANDIN_FAULTS set. Ends
// with the start's status as exit code (0 when it started).
[[noreturn]] void StartWithFaults(const std::string &dir, const char *rules) {
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);  // no core file for the expected abort
    setenv("NOTES_STANDIN_FAULTS", rules, 1);
    std::string ini = "=" + dir + "/notes.ini";
    char program[] = "faulttest";
    char *argv[] = {program, &ini[0], nullptr};
    STATUS status = NotesRuntimeStart(2, argv);
    if (status == NOERROR)
        NotesRuntimeEnd();
    std::_Exit(status == NOERROR ? 0 : (ERR(status) == ERR_FAULT_INJECTED ? 3 : 4));
}

class FaultEnvironmentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A fresh process for each case: the variable is read at the first
        // start of the runtime in a process.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        test_support::WriteFile(dir_.file("notes.ini"), "ServerName=Fault Test/Acme\n");
    }
    test_support::TempDir dir_;
};

TEST_F(FaultEnvironmentTest, AMalformedRuleStopsTheProcessAndNamesTheRule) {
    for (const char *text : kBadRuleTexts) {
        SCOPED_TRACE(text);
        // The bad rule is the last one of each text.
        std::string bad = text;
        bad = bad.substr(bad.rfind(';') == std::string::npos ? 0 : bad.rfind(';') + 2);
        EXPECT_EXIT(StartWithFaults(dir_.path(), text), ::testing::KilledBySignal(SIGABRT),
                    "NOTES_STANDIN_FAULTS has a bad rule \"" + RegexEscape(bad) + "\"");
    }
}

TEST_F(FaultEnvironmentTest, AGoodRuleArmsEvenTheFirstStart) {
    EXPECT_EXIT(StartWithFaults(dir_.path(), ""), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(StartWithFaults(dir_.path(), " NotesRuntimeStart = 0x0113 ; "),
                ::testing::ExitedWithCode(3), "");
    // Limited to one failure: a start that it let pass works.
    EXPECT_EXIT(StartWithFaults(dir_.path(), "NotesRuntimeStart=0x0113+1"),
                ::testing::ExitedWithCode(0), "");
}

// Every fault point that the library's sources check is known to the parse,
// and every known one is checked somewhere: a rule for a name that no call
// checks would never fire. The sources name their points as literals, given
// to FaultCheck or to the helpers that pass a caller's literal on to it.
TEST(FaultPoints, TheKnownPointsAreTheOnesTheSourcesCheck) {
    const std::regex literal(
        "\\b(?:FaultCheck|DbForCall|NoteForCall|SetFixedItem|Convert)\\(\\s*\"([^\"]+)\"");
    const std::regex crashPoint("CrashPoint\\s*=\\s*\"([^\"]+)\"");
    // The only names that may be passed to FaultCheck as a variable: the
    // parameters of the helpers above.
    const std::regex variable("\\bFaultCheck\\(\\s*([A-Za-z_]\\w*)\\s*[,)]");
    const std::set<std::string> helperParameters = {"call", "name"};

    std::set<std::string> checked;
    DIR *dir = opendir(NNOTES_SOURCE_DIR);
    ASSERT_NE(dir, nullptr) << NNOTES_SOURCE_DIR;
    int files = 0;
    while (struct dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.size() < 5 || name.compare(name.size() - 4, 4, ".cpp") != 0 || name == "fault.cpp")
            continue;
        files++;
        std::ifstream in(std::string(NNOTES_SOURCE_DIR) + "/" + name);
        std::stringstream text;
        text << in.rdbuf();
        const std::string source = text.str();
        for (const std::regex *re : {&literal, &crashPoint}) {
            for (std::sregex_iterator it(source.begin(), source.end(), *re), end; it != end; ++it)
                checked.insert((*it)[1]);
        }
        for (std::sregex_iterator it(source.begin(), source.end(), variable), end; it != end;
             ++it) {
            EXPECT_EQ(helperParameters.count((*it)[1]), 1u)
                << name << " checks a fault point by the name in \"" << (*it)[1]
                << "\", which this scan cannot follow";
        }
    }
    closedir(dir);
    ASSERT_GT(files, 10);

    std::vector<const char *> names(StandinFaultPoints(nullptr, 0));
    ASSERT_EQ(StandinFaultPoints(names.data(), names.size()), names.size());
    std::set<std::string> known(names.begin(), names.end());
    EXPECT_EQ(known.size(), names.size()) << "a name is listed twice";
    for (const std::string &point : checked)
        EXPECT_EQ(known.count(point), 1u) << point << " is checked but a rule cannot name it";
    for (const std::string &point : known)
        EXPECT_EQ(checked.count(point), 1u) << point << " is known but no call checks it";
    EXPECT_GT(checked.size(), 40u);
}

}  // namespace
