#include <stdlib.h>
#include <time.h>

#include <random>
#include <set>
#include <thread>

#include "formula_test_util.h"
#include "nsf_test_util.h"
#include "os_env.h"
#include "os_runtime.h"
#include "standin/fault.h"
#include "standin/runtime.h"

namespace {

using formula_test::Compile;
using formula_test::Evaluate;
using formula_test::Result;
using formula_test::SetText;
using formula_test::SetTextList;

std::string StatusOf(STATUS status) {
    return "status " + test_support::StatusText(status);
}

struct Case {
    std::string formula;
    std::string result;  // Render of the result, or StatusOf the failure
};

void ExpectCases(NOTEHANDLE note, const std::vector<Case> &cases) {
    for (const Case &c : cases)
        EXPECT_EQ(Result(note, c.formula), c.result) << c.formula;
}

// Runs under a Central European server clock (a POSIX TZ, no tzdata
// needed) with the default international settings (month/day/year,
// four-digit years, a 12-hour clock), on a note holding items of every
// kind.
class FormulaTest : public nsf_test::NsfTest {
  protected:
    void SetUp() override {
        const char *tz = getenv("TZ");
        hadTz_ = tz != nullptr;
        if (hadTz_)
            savedTz_ = tz;
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();
        NsfTest::SetUp();
        db_ = CreateAndOpen("mail/formula.nsf");
        ASSERT_NOERROR(NSFNoteCreate(db_, &note_));
        ASSERT_NOERROR(SetText(note_, "Subject", "Hello World"));
        ASSERT_NOERROR(
            SetTextList(note_, "Names", {"CN=John Doe/O=Acme", "Jane Roe/Acme", "Flat"}));
        NUMBER count = 3;
        ASSERT_NOERROR(NSFItemSetNumber(note_, "Count", &count));
        const NUMBER scores[] = {1, 2, 3};
        std::vector<unsigned char> range(4 + sizeof scores);
        const WORD entries = 3, pairs = 0;
        std::memcpy(range.data(), &entries, 2);
        std::memcpy(range.data() + 2, &pairs, 2);
        std::memcpy(range.data() + 4, scores, sizeof scores);
        ASSERT_NOERROR(NSFItemAppend(note_, ITEM_SUMMARY, "Scores", 6, TYPE_NUMBER_RANGE,
                                     range.data(), static_cast<DWORD>(range.size())));
        const TIMEDATE due = Local(2024, 6, 15, 14, 5, 9);
        ASSERT_NOERROR(NSFItemSetTime(note_, "Due", &due));
        ASSERT_NOERROR(NSFItemAppend(note_, 0, "Blob", 4, TYPE_COMPOSITE, "xyz", 3));
    }
    void TearDown() override {
        EXPECT_NOERROR(NSFNoteClose(note_));
        EXPECT_NOERROR(NSFDbClose(db_));
        NsfTest::TearDown();
        if (hadTz_)
            setenv("TZ", savedTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    // A moment on the server's clock.
    static TIMEDATE Local(int year, int month, int day, int hour, int minute, int second) {
        TIME t{};
        t.year = year, t.month = month, t.day = day;
        t.hour = hour, t.minute = minute, t.second = second;
        OSCurrentTimeZone(&t.zone, &t.dst);
        EXPECT_FALSE(TimeLocalToGM(&t));
        return t.GM;
    }

    DBHANDLE db_ = NULLHANDLE;
    NOTEHANDLE note_ = NULLHANDLE;

  private:
    bool hadTz_ = false;
    std::string savedTz_;
};

TEST_F(FormulaTest, OperatorsWorkPairwiseOnListsAndBindAsDocumented) {
    ExpectCases(NULLHANDLE, {
                                {"1 + 2", "3"},
                                {"7 - 2 * 3", "1"},
                                {"(7 - 2) * 3", "15"},
                                {"7 / 2", "3.5"},
                                {"-3 + 1", "-2"},
                                {"- -3", "3"},
                                {"+4", "4"},
                                {"1.5e3 + .5", "1500.5"},
                                {"\"a\" + \"b\"", "\"ab\""},
                                {"\"say \\\"hi\\\" \\\\ \\x\"", "\"say \"hi\" \\ x\""},
                                {"1 : 2 : 3 + 10", "11 : 12 : 13"},
                                {"(1 : 2 : 3) + (10 : 20)", "11 : 22 : 23"},
                                {"(1 : 2 : 3) * (2 : 3)", "2 : 6 : 9"},
                                {"-1 : 2", "-1 : 2"},
                                {"(\"a\" : \"b\") + \"x\"", "\"ax\" : \"bx\""},
                                {"\"x\" + (\"a\" : \"b\")", "\"xa\" : \"xb\""},
                                {"@Subset(\"a\"; 1) : @Subset(\"b\"; -1)", "\"a\" : \"b\""},
                                {"!1", "0"},
                                {"!0", "1"},
                                {"!(0 : 0 : 2)", "0"},
                                {"1 & 0", "0"},
                                {"1 & 1 & 2", "1"},
                                {"1 | 0", "1"},
                                {"0 | 0", "0"},
                                {"0 & (1 / 0)", "0"},  // the right side is not needed
                                {"1 | (1 / 0)", "1"},
                                {"1 = 1 & 2 = 2", "1"},
                                {"!1 = 2", "1"},
                                {"1 + 2 = 3", "1"},
                                {"1 < 2 = 1", "1"},
                            });
}

TEST_F(FormulaTest, ComparisonsAreTrueWhenAnyPairIsAndTextsIgnoreCase) {
    ExpectCases(NULLHANDLE,
                {
                    {"1 = 1", "1"},
                    {"1 = 2", "0"},
                    {"1 != 2", "1"},
                    {"1 <> 1", "0"},
                    {"1 < 2", "1"},
                    {"2 <= 2", "1"},
                    {"3 > 4", "0"},
                    {"3 >= 4", "0"},
                    {"\"abc\" = \"ABC\"", "1"},
                    {"\"a\" < \"B\"", "1"},
                    {"\"b\" > \"A\"", "1"},
                    {"\"ab\" < \"abc\"", "1"},
                    {"\"abc\" != \"abd\"", "1"},
                    {"(1 : 2 : 3) = 3", "1"},
                    {"(1 : 2) = (3 : 2)", "1"},
                    {"(1 : 2) = (2 : 1)", "0"},
                    {"(1 : 5) = (4 : 5 : 5)", "1"},  // the shorter list repeats its last entry
                    {"(1 : 2 : 3) != (1 : 2 : 3)", "0"},
                    {"(\"x\" : \"Y\") = \"y\"", "1"},
                    {"@Explode(\"\") = \"\"", "0"},  // no entries, no pair
                });
}

TEST_F(FormulaTest, StatementsVariablesAndTheResult) {
    ExpectCases(NULLHANDLE, {
                                {"x := 5; x * 2", "10"},
                                {"X := 5; x", "5"},
                                {"x := 1; x := x + 1; x := x * 10", "20"},
                                {"REM \"nothing\"; 4", "4"},
                                {"4; REM \"after\"", "4"},
                                {"REM \"only\"", "\"\""},
                                {"3;;", "3"},
                                {";3", "3"},
                                {"SELECT 1; 9", "9"},
                                {"subject := \"mine\"; Subject", "\"mine\""},
                            });
    // A variable hides the item of its name from then on.
    EXPECT_EQ(Result(note_, "a := Subject; Subject := \"x\"; a + Subject"), "\"Hello Worldx\"");
}

TEST_F(FormulaTest, ItemsOfEveryKindAreRead) {
    ExpectCases(note_, {
                           {"Subject", "\"Hello World\""},
                           {"subject", "\"Hello World\""},
                           {"Names", "\"CN=John Doe/O=Acme\" : \"Jane Roe/Acme\" : \"Flat\""},
                           {"Count + 1", "4"},
                           {"Scores * 2", "2 : 4 : 6"},
                           {"Due", "gmt(2024-06-15 12:05:09)"},
                           {"Missing", "\"\""},
                           {"Blob", "\"\""},  // not a text, number or time
                           {"@IsAvailable(Subject)", "1"},
                           {"@IsAvailable(subject)", "1"},
                           {"@IsAvailable(Blob)", "1"},
                           {"@IsAvailable(Missing)", "0"},
                           {"@Elements(Names)", "3"},
                           {"@Elements(Missing)", "0"},
                       });
    ExpectCases(NULLHANDLE, {
                                {"Subject", "\"\""},
                                {"@IsAvailable(Subject)", "0"},
                            });
}

TEST_F(FormulaTest, FunctionsOfTextsAndLists) {
    ExpectCases(note_, {
                           {"@If(1; \"a\"; \"b\")", "\"a\""},
                           {"@If(0; \"a\"; 1; \"b\"; \"c\")", "\"b\""},
                           {"@If(0; 1; 0; 2; 3)", "3"},
                           {"@If(1; 2; 1 / 0)", "2"},
                           {"@Trim(\"  a   b  \")", "\"a b\""},
                           {"@Trim(\" \" : \"x \" : \"\")", "\"x\""},
                           {"@Left(\"Hello\"; 2)", "\"He\""},
                           {"@Right(\"Hello\"; 3)", "\"llo\""},
                           {"@Left(\"Hello\"; 9)", "\"Hello\""},
                           {"@Left(\"Hello\"; 0)", "\"\""},
                           {"@Right(\"Hello\"; -1)", "\"\""},
                           {"@Left(\"John Doe\"; \" \")", "\"John\""},
                           {"@Right(\"John Doe Jr\"; \" \")", "\"Doe Jr\""},
                           {"@Left(\"abc\"; \"x\")", "\"\""},
                           {"@Left(\"ab\" : \"cd\"; 1)", "\"a\" : \"c\""},
                           {"@Contains(Subject; \"lo W\")", "1"},
                           {"@Contains(Subject; \"LO W\")", "0"},
                           {"@Contains(\"a\" : \"b\"; \"x\" : \"b\")", "1"},
                           {"@Contains(Names; \"Roe\")", "1"},
                           {"@LowerCase(Subject)", "\"hello world\""},
                           {"@UpperCase(\"a\" : \"b\")", "\"A\" : \"B\""},
                           {"@Implode(\"a\" : \"b\" : \"c\"; \", \")", "\"a, b, c\""},
                           {"@Implode(\"a\" : \"b\")", "\"a b\""},
                           {"@Explode(\"a b,c;d\")", "\"a\" : \"b\" : \"c\" : \"d\""},
                           {"@Explode(\"a||b\"; \"|\")", "\"a\" : \"b\""},
                           {"@Explode(\"a||b\"; \"|\"; 1)", "\"a\" : \"\" : \"b\""},
                           {"@Explode(\"a b\" : \"c\")", "\"a\" : \"b\" : \"c\""},
                           {"@Elements(1 : 2 : 3)", "3"},
                           {"@Elements(\"\")", "0"},
                           {"@Elements(\"a\")", "1"},
                           {"@Subset(1 : 2 : 3; 2)", "1 : 2"},
                           {"@Subset(1 : 2 : 3; -1)", "3"},
                           {"@Subset(1 : 2 : 3; 9)", "1 : 2 : 3"},
                           {"@Subset(Names; -2)", "\"Jane Roe/Acme\" : \"Flat\""},
                           {"@IsText(\"a\")", "1"},
                           {"@IsText(Missing)", "1"},
                           {"@IsNumber(\"a\")", "0"},
                           {"@IsNumber(Scores)", "1"},
                           {"@IsTime(Due)", "1"},
                           {"@IsTime(Count)", "0"},
                           {"@TextToNumber(\" 12.5kg\")", "12.5"},
                           {"@TextToNumber(\"-3\") + 1", "-2"},
                           {"@TextToNumber(\"1\" : \"2e2\")", "1 : 200"},
                           {"@TextToNumber(7)", "7"},
                           {"@True + @All + @False", "2"},
                           {"@Now - @Now", "0"},
                       });
}

TEST_F(FormulaTest, NamesThroughTheNameCalls) {
    ExpectCases(note_, {
                           {"@Name([CN]; \"CN=John Doe/O=Acme\")", "\"John Doe\""},
                           {"@Name([cn]; Names)", "\"John Doe\" : \"Jane Roe\" : \"Flat\""},
                           {"@Name([Abbreviate]; \"CN=John Doe/OU=Sales/O=Acme\")",
                            "\"John Doe/Sales/Acme\""},
                           {"@Name([Canonicalize]; \"John Doe/Acme\")", "\"CN=John Doe/O=Acme\""},
                           {"@Name([Abbreviate]; \"CN=a/X=b\")", "\"CN=a/X=b\""},  // kept
                           {"@UserName", "\"CN=Vanterra Test/O=Acme\""},
                           {"@UserName()", "\"CN=Vanterra Test/O=Acme\""},
                           {"@Name([CN]; @UserName)", "\"Vanterra Test\""},
                       });
}

TEST_F(FormulaTest, NumbersAsText) {
    ExpectCases(NULLHANDLE, {
                                {"@Text(1)", "\"1\""},
                                {"@Text(1.5)", "\"1.5\""},
                                {"@Text(1 / 3)", "\"0.333333333333333\""},
                                {"@Text(-0.5)", "\"-0.5\""},
                                {"@Text(0 * -1)", "\"0\""},
                                {"@Text(1e20)", "\"1E+20\""},
                                {"@Text(2; \"F2\")", "\"2.00\""},
                                {"@Text(1234567.891; \"F2,\")", "\"1,234,567.89\""},
                                {"@Text(-1234; \",\")", "\"-1,234\""},
                                {"@Text(1 : 2)", "\"1\" : \"2\""},
                                {"@Text(\"x\"; \"D0\")", "\"x\""},
                                {"@Text(\"x\" : \"y\")", "\"x\" : \"y\""},
                            });
    // Without NUMBER_LEADING_ZERO and with another decimal separator: the
    // flags are read for every evaluation.
    OSSetEnvironmentVariable("IntlFlags", "32");
    EXPECT_EQ(Result(NULLHANDLE, "@Text(0.25)"), "\".25\"");
    EXPECT_EQ(Result(NULLHANDLE, "@Text(-0.25)"), "\"-.25\"");
    EXPECT_EQ(Result(NULLHANDLE, "@TextToNumber(\".5\") * 2"), "1");
}

TEST_F(FormulaTest, TimesAsTextInTheDefaultSettings) {
    const std::string t = "t := @Date(2024; 6; 15; 14; 5; 9); ";
    ExpectCases(
        NULLHANDLE,
        {
            {t + "t", "gmt(2024-06-15 12:05:09)"},
            {t + "@Text(t)", "\"06/15/2024 02:05:09 PM\""},
            {t + "@Text(t; \"D0S0\")", "\"06/15/2024\""},
            {t + "@Text(t; \"S0\")", "\"06/15/2024\""},
            {t + "@Text(t; \"T1\")", "\"06/15/2024 02:05 PM\""},
            {t + "@Text(t; \"T1S1\")", "\"02:05 PM\""},
            {t + "@Text(t; \"s1, t0\")", "\"02:05:09 PM\""},
            {t + "@Text(t; \"D2S0\")", "\"06/15\""},
            {t + "@Text(t; \"D3S0\")", "\"06/2024\""},
            {t + "@Text(t; \"D1S0\")", "\"06/15/2024\""},  // not this year
            {t + "@Text(t; \"S2\")", "\"06/15/2024 02:05:09 PM\""},
            {t + "@Text(@Date(t))", "\"06/15/2024\""},
            {t + "@Date(t)", "date(2024-06-15)"},
            {"@Text(@Date(2024; 6; 15))", "\"06/15/2024\""},
            {"@Date(2024; 6; 15)", "date(2024-06-15)"},
            {"@Text(@Date(2024; 1; 5; 0; 30; 0))", "\"01/05/2024 12:30:00 AM\""},
            {"@Text(@TextToTime(\"14:05\"))", "\"02:05:00 PM\""},
            {"@Text(@TextToTime(\"14:05\"); \"S0\")", "\"\""},
            {"@Text(@TextToTime(\"14:05\"); \"S1\")", "\"02:05:00 PM\""},
            {"@Text(@Date(2024; 6; 15); \"S1\")", "\"\""},
            {"@Text(@Date(2024; 6; 15); \"S2\")", "\"06/15/2024\""},
            {"@Text(@Today; \"S3\")", "\"Today\""},
            {"@Text(@Adjust(@Today; 0; 0; -1; 0; 0; 0); \"S3\")", "\"Yesterday\""},
            {"@Text(@Adjust(@Today; 0; 0; 1; 0; 0; 0); \"S3\")", "\"Tomorrow\""},
            {"@Text(@Now; \"S3T1\") = \"Today \" + @Text(@Now; \"S1T1\")", "1"},
            {"@Text(@Now; \"D1S0\") = @Text(@Now; \"D2S0\")", "1"},  // this year
            {"@Today = @Date(@Now)", "1"},
            {"@IsTime(@Today)", "1"},
            {"@Text(@Date(2024; 12; 1) : @Date(2025; 1; 2))", "\"12/01/2024\" : \"01/02/2025\""},
        });
}

TEST_F(FormulaTest, TimesFollowTheInternationalSettings) {
    const std::string t = "@Text(@Date(2024; 6; 5; 9; 5; 9)";
    struct Setting {
        const char *flags, *dateSeparator, *timeSeparator, *am;
        std::string text;
    } settings[] = {
        // DATE_DMY | DATE_4DIGIT_YEAR | CLOCK_24_HOUR
        {"328", ".", ":", "", "05.06.2024 09:05:09"},
        // DATE_YMD | DATE_4DIGIT_YEAR | CLOCK_24_HOUR
        {"392", "-", "h", "", "2024-06-05 09h05h09"},
        // DATE_MDY, two-digit years, AM/PM before the time, own AM text
        {"1056", "/", ":", "vm.", "06/05/24 vm. 09:05:09"},
    };
    for (const Setting &s : settings) {
        OSSetEnvironmentVariable("IntlFlags", s.flags);
        OSSetEnvironmentVariable("IntlDateSeparator", s.dateSeparator);
        OSSetEnvironmentVariable("IntlTimeSeparator", s.timeSeparator);
        OSSetEnvironmentVariable("IntlAMString", s.am);
        EXPECT_EQ(Result(NULLHANDLE, t + ")"), "\"" + s.text + "\"") << s.flags;
        // What @Text writes, @TextToTime reads back.
        EXPECT_EQ(
            Result(NULLHANDLE, "@TextToTime(\"" + s.text + "\") = @Date(2024; 6; 5; 9; 5; 9)"), "1")
            << s.text;
    }
    // D2 and D3 in day-first and year-first order.
    OSSetEnvironmentVariable("IntlFlags", "328");
    OSSetEnvironmentVariable("IntlDateSeparator", ".");
    EXPECT_EQ(Result(NULLHANDLE, t + "; \"D2S0\")"), "\"05.06\"");
    EXPECT_EQ(Result(NULLHANDLE, t + "; \"D3S0\")"), "\"06.2024\"");
    OSSetEnvironmentVariable("IntlFlags", "392");
    EXPECT_EQ(Result(NULLHANDLE, t + "; \"D3S0\")"), "\"2024.06\"");
}

TEST_F(FormulaTest, TextToTimeReadsLenientlyAndGivesEmptyTextForNonsense) {
    ExpectCases(NULLHANDLE,
                {
                    {"@TextToTime(\"06/15/2024 14:05\")", "gmt(2024-06-15 12:05:00)"},
                    {"@TextToTime(\" 6/15/2024 2:05 pm \")", "gmt(2024-06-15 12:05:00)"},
                    {"@TextToTime(\"6-15-2024 2:05:30AM\")", "gmt(2024-06-15 00:05:30)"},
                    {"@TextToTime(\"2024-06-15\")", "date(2024-06-15)"},
                    {"@TextToTime(\"6/15/99\")", "date(1999-06-15)"},
                    {"@TextToTime(\"6/15/07\")", "date(2007-06-15)"},
                    {"@TextToTime(\"12:00 AM\")", "clock(00:00:00)"},
                    {"@TextToTime(\"today\") = @Today", "1"},
                    {"@TextToTime(\"Tomorrow\") - @Today", "86400"},
                    {"@TextToTime(\"13/45/2024\")", "\"\""},
                    {"@TextToTime(\"2/30/2024\")", "\"\""},
                    {"@TextToTime(\"25:00\")", "\"\""},
                    {"@TextToTime(\"13:00 PM\")", "\"\""},
                    {"@TextToTime(\"6/15/2024 x\")", "\"\""},
                    {"@TextToTime(\"nonsense\")", "\"\""},
                    {"@TextToTime(\"\")", "\"\""},
                    {"@TextToTime(\"1:2:3:4\")", "\"\""},
                    {"@TextToTime(\"x\" : \"6/15/2024\")", "date(2024-06-15)"},
                    {"@TextToTime(Due) = Due", "1"},
                });
}

TEST_F(FormulaTest, TimeArithmeticAndAdjust) {
    const std::string t = "t := @Date(2024; 6; 15; 14; 5; 9); ";
    ExpectCases(note_,
                {
                    {t + "@Text(@Adjust(t; 0; 1; 1; 1; 1; 1))", "\"07/16/2024 03:06:10 PM\""},
                    {t + "@Text(@Adjust(t; -1; 0; 0; 0; 0; 0); \"S0\")", "\"06/15/2023\""},
                    {"@Adjust(@Date(2024; 1; 31); 0; 1; 0; 0; 0; 0)", "date(2024-02-29)"},
                    {"@Adjust(@Date(2024; 1; 31); 0; 0; 1; 30; 0; 0)", "date(2024-02-02)"},
                    {"@Adjust(@TextToTime(\"23:30\"); 1; 1; 1; 1; 0; 0)", "clock(00:30:00)"},
                    // Calendar days keep the clock across the change to summer time,
                    // seconds are elapsed time.
                    {"@Text(@Adjust(@Date(2024; 3; 30; 12; 0; 0); 0; 0; 1; 0; 0; 0))",
                     "\"03/31/2024 12:00:00 PM\""},
                    {"@Text(@Date(2024; 3; 30; 12; 0; 0) + 86400)", "\"03/31/2024 01:00:00 PM\""},
                    {t + "@Text(t + 60.9)", "\"06/15/2024 02:06:09 PM\""},
                    {t + "@Text(60 + t)", "\"06/15/2024 02:06:09 PM\""},
                    {t + "@Text(t - 3600)", "\"06/15/2024 01:05:09 PM\""},
                    {t + "t - @Adjust(t; 0; 0; -1; 0; 0; 0)", "86400"},
                    {t + "t < @Adjust(t; 0; 0; 0; 0; 0; 1)", "1"},
                    {t + "Due = t", "1"},
                    {t + "@Adjust(t : Due; 0; 0; 1; 0; 0; 0) = @Date(2024; 6; 16; 14; 5; 9)", "1"},
                    {"@Date(2024; 2; 30)", StatusOf(ERR_BAD_TIME)},
                    {"@Adjust(Due; 9000; 0; 0; 0; 0; 0)", StatusOf(ERR_BAD_TIME)},
                    {"@Adjust(Due; 0; 0; 0; 0; 0; 3e9)", StatusOf(ERR_FORMULA_VALUE)},
                    {"Due + 3e9", StatusOf(ERR_FORMULA_ARITHMETIC)},
                });
    // @Now is the current moment, read once per evaluation.
    TIMEDATE before, after;
    OSCurrentTIMEDATE(&before);
    formula_test::Evaluation now = Evaluate(NULLHANDLE, "@Now");
    OSCurrentTIMEDATE(&after);
    ASSERT_NOERROR(now.status);
    EXPECT_EQ(now.type, TYPE_TIME);
    const std::string text = now.result;
    EXPECT_LE(formula_test::TimeText(before), text);
    EXPECT_GE(formula_test::TimeText(after), text);
}

TEST_F(FormulaTest, EvaluationErrorsAreStatuses) {
    ExpectCases(note_, {
                           {"1 + \"a\"", StatusOf(ERR_FORMULA_TYPE)},
                           {"Subject * 2", StatusOf(ERR_FORMULA_TYPE)},
                           {"\"a\" - \"b\"", StatusOf(ERR_FORMULA_TYPE)},
                           {"Due + Due", StatusOf(ERR_FORMULA_TYPE)},
                           {"1 / 0", StatusOf(ERR_FORMULA_ARITHMETIC)},
                           {"(1 : 2) / (1 : 0)", StatusOf(ERR_FORMULA_ARITHMETIC)},
                           {"1e308 * 10", StatusOf(ERR_FORMULA_ARITHMETIC)},
                           {"\"a\" : 1", StatusOf(ERR_FORMULA_TYPE)},
                           {"-\"a\"", StatusOf(ERR_FORMULA_TYPE)},
                           {"!\"a\"", StatusOf(ERR_FORMULA_TYPE)},
                           {"\"a\" & 1", StatusOf(ERR_FORMULA_TYPE)},
                           {"@If(\"a\"; 1; 2)", StatusOf(ERR_FORMULA_TYPE)},
                           {"SELECT Subject", StatusOf(ERR_FORMULA_TYPE)},
                           {"Subject = 1", StatusOf(ERR_FORMULA_TYPE)},
                           {"Due < 1", StatusOf(ERR_FORMULA_TYPE)},
                           {"@Subset(1; 0)", StatusOf(ERR_FORMULA_VALUE)},
                           {"@Subset(1; \"a\")", StatusOf(ERR_FORMULA_TYPE)},
                           {"@TextToNumber(\"abc\")", StatusOf(ERR_FORMULA_VALUE)},
                           {"@TextToNumber(Due)", StatusOf(ERR_FORMULA_TYPE)},
                           {"@Text(1; \"Q\")", StatusOf(ERR_FORMULA_VALUE)},
                           {"@Text(1; \"F16\")", StatusOf(ERR_FORMULA_VALUE)},
                           {"@Text(Due; \"D9\")", StatusOf(ERR_FORMULA_VALUE)},
                           {"@Text(Due; \"X1\")", StatusOf(ERR_FORMULA_VALUE)},
                           {"@Text(Due; 1)", StatusOf(ERR_FORMULA_TYPE)},
                           {"@Date(\"2024\")", StatusOf(ERR_FORMULA_TYPE)},
                           {"@Date(Missing)", StatusOf(ERR_FORMULA_TYPE)},
                           {"@Adjust(Subject; 0; 0; 0; 0; 0; 0)", StatusOf(ERR_FORMULA_TYPE)},
                           {"@Trim(1)", StatusOf(ERR_FORMULA_TYPE)},
                           {"@Left(\"a\"; Due)", StatusOf(ERR_FORMULA_TYPE)},
                           {"@Name([CN]; 1)", StatusOf(ERR_FORMULA_TYPE)},
                           {"@Implode(Scores)", StatusOf(ERR_FORMULA_TYPE)},
                       });
}

// Texts are LMBCS: a group byte and the bytes of its group are one
// character and are never split, folded or taken for a blank or a
// separator.
TEST_F(FormulaTest, TextFunctionsKeepLmbcsGroupsWhole) {
    const std::string euro = "\x14\x20\xAC";    // U+20AC
    const std::string dagger = "\x14\x20\x20";  // U+2020: its bytes look like blanks
    const std::string a = "\x10\x83\x61";       // a Japanese character whose last byte is "a"
    const std::string g = "\x02\x20";           // a Greek character whose byte is a blank
    ASSERT_NOERROR(SetText(note_, "Price", euro + "5 " + dagger + "x"));
    ASSERT_NOERROR(SetText(note_, "Odd", a + "a"));
    ExpectCases(note_, {
                           {"@Left(Price; 1)", "\"" + euro + "\""},
                           {"@Right(Price; 2)", "\"" + dagger + "x\""},
                           {"@Trim(Price)", "\"" + euro + "5 " + dagger + "x\""},
                           {"@Explode(Price)", "\"" + euro + "5\" : \"" + dagger + "x\""},
                           {"@UpperCase(Odd)", "\"" + a + "A\""},
                           {"@Contains(Odd; \"aa\")", "0"},
                           {"@Contains(Odd; \"a\")", "1"},
                           {"@Right(Odd; \"a\")", "\"\""},  // the first "a" that is a character
                           {"Odd = \"" + a + "A\"", "1"},
                           {"@Explode(Price; \"" + euro + "\")", "\"5 " + dagger + "x\""},
                           {"@Trim(\" " + g + " \")", "\"" + g + "\""},
                           {"@Left(\"" + g + g + "\"; 1)", "\"" + g + "\""},
                       });
}

// The formulas with which the profile loader learns its templates, read as
// it reads them: the last readable entry of a text list result.
class ProfileFormulaTest : public FormulaTest {
  protected:
    STATUS EvaluateProfileFormula(const char *formula, std::string *out) {
        FORMULAHANDLE compiled = NULLHANDLE;
        STATUS error = NOERROR;
        if (STATUS status =
                NSFFormulaCompile(nullptr, 0, formula, static_cast<WORD>(std::strlen(formula)),
                                  &compiled, nullptr, &error, nullptr, nullptr, nullptr, nullptr))
            return status;
        HCOMPUTE compute = NULLHANDLE;
        STATUS status = NSFComputeStart(0, OSLockObject(compiled), &compute);
        if (status == NOERROR && compute != NULLHANDLE) {
            DHANDLE result = NULLHANDLE;
            DWORD length = 0;
            BOOL matches = FALSE;
            status =
                NSFComputeEvaluate(compute, note_, &result, &length, &matches, nullptr, nullptr);
            if (status == NOERROR && result != NULLHANDLE) {
                const char *p = static_cast<const char *>(OSLockObject(result));
                WORD type;
                std::memcpy(&type, p, 2);
                if (type == TYPE_TEXT_LIST) {
                    for (WORD i = 0; i < ListGetNumEntries(p + 2, FALSE); i++) {
                        char *text = nullptr;
                        WORD textLength = 0;
                        if (ListGetText(p + 2, FALSE, i, &text, &textLength) == NOERROR)
                            out->assign(text, textLength);
                    }
                }
                OSUnlockObject(result);
                OSMemFree(result);
            }
            NSFComputeStop(compute);
        }
        OSUnlockObject(compiled);
        OSMemFree(compiled);
        return status;
    }
};

TEST_F(ProfileFormulaTest, TheLoadersFormulasGiveTheTextsOfItsDates) {
    const TIMEDATE out = Local(2024, 6, 15, 14, 5, 9), back = Local(2024, 6, 16, 9, 30, 0);
    ASSERT_NOERROR(NSFItemSetTime(note_, "FirstDayOut", &out));
    ASSERT_NOERROR(NSFItemSetTime(note_, "FirstDayBack", &back));
    ASSERT_NOERROR(NSFItemSetTime(note_, "dateFirstDayOut", &out));
    ASSERT_NOERROR(NSFItemSetTime(note_, "dateFirstDayBack", &back));
    struct {
        const char *formula;
        const char *text;
    } cases[] = {
        {"@Text(FirstDayOut;\"T1\")", "06/15/2024 02:05 PM"},
        {"@Text(FirstDayBack;\"T1\")", "06/16/2024 09:30 AM"},
        {"@Text(@Date(dateFirstDayOut))", "06/15/2024"},
        {"@Text(@Date(dateFirstDayBack))", "06/16/2024"},
        {"@Text(dateFirstDayOut;\"S0\")", "06/15/2024"},
        {"@Text(dateFirstDayBack;\"S0\")", "06/16/2024"},
    };
    for (const auto &c : cases) {
        std::string text = "unchanged";
        EXPECT_NOERROR(EvaluateProfileFormula(c.formula, &text));
        EXPECT_EQ(text, c.text) << c.formula;
    }
    // After a failed computation the loader stores the texts it had: a text
    // stays itself.
    ASSERT_NOERROR(SetText(note_, "dateFirstDayOut", "06/15/2024 02:05 PM"));
    std::string text;
    EXPECT_NOERROR(EvaluateProfileFormula("@Text(dateFirstDayOut;\"S0\")", &text));
    EXPECT_EQ(text, "06/15/2024 02:05 PM");
    // A missing date item fails the evaluation with a status; the text is
    // left as it was.
    text = "unchanged";
    EXPECT_EQ(EvaluateProfileFormula("@Text(@Date(Missing))", &text), ERR_FORMULA_TYPE);
    EXPECT_EQ(text, "unchanged");
}

TEST_F(FormulaTest, ResultsHaveTheirItemTypes) {
    struct {
        const char *formula;
        WORD type;
    } cases[] = {
        {"\"a\"", TYPE_TEXT_LIST},
        {"\"a\" : \"b\"", TYPE_TEXT_LIST},
        {"1", TYPE_NUMBER},
        {"1 : 2", TYPE_NUMBER_RANGE},
        {"@Now", TYPE_TIME},
        {"@Now : @Today", TYPE_TIME_RANGE},
        {"@Explode(\"\")", TYPE_TEXT_LIST},
    };
    for (const auto &c : cases) {
        formula_test::Evaluation e = Evaluate(note_, c.formula);
        ASSERT_NOERROR(e.status);
        EXPECT_EQ(e.type, c.type) << c.formula;
    }
    EXPECT_EQ(Result(note_, "@Explode(\"\")"), "(none)");
    EXPECT_EQ(Evaluate(note_, "\"abc\"").length, 2u + 2u + 2u + 3u);
}

TEST_F(FormulaTest, SelectFieldAndDeleteDocumentSetTheFlags) {
    formula_test::Evaluation e = Evaluate(note_, "Subject");
    EXPECT_TRUE(e.matches) << "a formula without SELECT matches every note";
    EXPECT_FALSE(e.deleted);
    EXPECT_FALSE(e.modified);
    EXPECT_FALSE(Evaluate(note_, "SELECT Subject = \"other\"").matches);
    EXPECT_TRUE(Evaluate(note_, "SELECT Subject = \"hello world\"").matches);
    EXPECT_TRUE(Evaluate(note_, "SELECT 0; SELECT @All").matches);
    EXPECT_TRUE(Evaluate(note_, "@DeleteDocument").deleted);
    EXPECT_FALSE(Evaluate(NULLHANDLE, "SELECT @False").matches);

    // FIELD sets items of the note in memory, of the value's type.
    const NOTEID id = [&] {
        EXPECT_NOERROR(NSFNoteUpdate(note_, 0));
        return nsf_test::NoteId(note_);
    }();
    e = Evaluate(note_,
                 "FIELD Subject := \"New\"; FIELD Tally := Scores + 1; FIELD Subject := "
                 "Subject + \"!\"; Subject");
    ASSERT_NOERROR(e.status);
    EXPECT_TRUE(e.modified);
    EXPECT_EQ(e.result, "\"New!\"");
    EXPECT_EQ(nsf_test::Text(note_, "Subject"), "New!");
    EXPECT_EQ(Result(note_, "Tally"), "2 : 3 : 4");
    WORD type = 0, flags = 0;
    BLOCKID item;
    ASSERT_NOERROR(NSFItemInfo(note_, "Tally", 5, &item, &type, nullptr, nullptr));
    NSFItemQuery(note_, item, nullptr, 0, nullptr, &flags, nullptr, nullptr, nullptr);
    EXPECT_EQ(type, TYPE_NUMBER_RANGE);
    EXPECT_TRUE(flags & ITEM_SUMMARY);
    EXPECT_EQ(Evaluate(note_, "FIELD Subject := 5; Subject").type, TYPE_NUMBER);
    // Nothing was saved.
    NOTEHANDLE stored = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(db_, id, 0, &stored));
    EXPECT_EQ(nsf_test::Text(stored, "Subject"), "Hello World");
    EXPECT_EQ(Result(stored, "@IsAvailable(Tally)"), "0");
    EXPECT_NOERROR(NSFNoteClose(stored));
    // Without a note FIELD changes nothing and reports no change.
    e = Evaluate(NULLHANDLE, "FIELD x := 1; x");
    EXPECT_EQ(e.result, "1");
    EXPECT_FALSE(e.modified);
    // A value that no item can hold fails before the note changes.
    e = Evaluate(note_,
                 "FIELD Subject := \"changed\"; x := \"abcdefghijklmnopqrstuvwxyz\"; "
                 "x := x + x + x + x + x + x + x + x + x + x; "
                 "x := x + x + x + x + x + x + x + x + x + x; "
                 "FIELD Big := x : x : x : x : x : x : x : x : x : x : x : x : x : "
                 "x : x : x : x : x : x : x : x : x : x : x : x : x; 1");
    EXPECT_EQ(e.status, ERR_LIST_FULL);
    EXPECT_EQ(Result(note_, "Subject"), "5");
    EXPECT_EQ(Result(note_, "@IsAvailable(Big)"), "0");
}

struct SyntaxCase {
    std::string formula;
    STATUS status;
    WORD line, column, offset, length;
};

TEST_F(FormulaTest, CompileErrorsTellWhereTheyAre) {
    const std::vector<SyntaxCase> cases = {
        {"1 +", ERR_FORMULA_SYNTAX, 1, 4, 3, 0},
        {"\"abc", ERR_FORMULA_SYNTAX, 1, 1, 0, 4},
        {"\"abc\\", ERR_FORMULA_SYNTAX, 1, 1, 0, 5},
        {"1 + @Foo(2)", ERR_FORMULA_UNKNOWN_FUNCTION, 1, 5, 4, 4},
        {"@Left(\"a\")", ERR_FORMULA_ARG_COUNT, 1, 1, 0, 10},
        {"@If(1; 2)", ERR_FORMULA_ARG_COUNT, 1, 1, 0, 9},
        {"@Date(1; 2)", ERR_FORMULA_ARG_COUNT, 1, 1, 0, 11},
        {"@Left", ERR_FORMULA_ARG_COUNT, 1, 1, 0, 5},
        {"@Now(1)", ERR_FORMULA_ARG_COUNT, 1, 1, 0, 7},
        {"x :=", ERR_FORMULA_SYNTAX, 1, 5, 4, 0},
        {"a\n  b c", ERR_FORMULA_SYNTAX, 2, 3, 4, 1},
        {"x := 1;\r\ny := 1 # 2", ERR_FORMULA_SYNTAX, 2, 8, 16, 1},
        {"(1 + 2", ERR_FORMULA_SYNTAX, 1, 7, 6, 0},
        {"1 + )", ERR_FORMULA_SYNTAX, 1, 5, 4, 1},
        {"", ERR_FORMULA_SYNTAX, 1, 1, 0, 0},
        {" ;; ", ERR_FORMULA_SYNTAX, 1, 5, 4, 0},
        {"[CN]", ERR_FORMULA_SYNTAX, 1, 1, 0, 4},
        {"@Name([XY]; \"a\")", ERR_FORMULA_SYNTAX, 1, 7, 6, 4},
        {"@Name(\"a\"; \"b\")", ERR_FORMULA_SYNTAX, 1, 7, 6, 3},
        {"@Name([CN] + 1; \"b\")", ERR_FORMULA_SYNTAX, 1, 12, 11, 1},
        {"@IsAvailable(1)", ERR_FORMULA_SYNTAX, 1, 14, 13, 1},
        {"@IsAvailable(a + 1)", ERR_FORMULA_SYNTAX, 1, 1, 0, 19},
        {"12abc", ERR_FORMULA_SYNTAX, 1, 1, 0, 5},
        {"1e", ERR_FORMULA_SYNTAX, 1, 1, 0, 2},
        {"1e999", ERR_FORMULA_SYNTAX, 1, 1, 0, 5},
        {"SELECT", ERR_FORMULA_SYNTAX, 1, 7, 6, 0},
        {"FIELD 1 := 2", ERR_FORMULA_SYNTAX, 1, 7, 6, 1},
        {"FIELD x = 2", ERR_FORMULA_SYNTAX, 1, 9, 8, 1},
        {"select := 1", ERR_FORMULA_SYNTAX, 1, 8, 7, 2},
        {"1 + rem", ERR_FORMULA_SYNTAX, 1, 5, 4, 3},
        {"REM 1", ERR_FORMULA_SYNTAX, 1, 5, 4, 1},
        {"@", ERR_FORMULA_SYNTAX, 1, 1, 0, 1},
        {"@1", ERR_FORMULA_SYNTAX, 1, 1, 0, 1},
        {std::string("a\0b", 3), ERR_FORMULA_SYNTAX, 1, 2, 1, 1},
        {"x := 1 :", ERR_FORMULA_SYNTAX, 1, 9, 8, 0},
        {"[CN", ERR_FORMULA_SYNTAX, 1, 1, 0, 3},
        {"1 2", ERR_FORMULA_SYNTAX, 1, 3, 2, 1},
        {std::string(256, 'n'), ERR_FORMULA_SYNTAX, 1, 1, 0, 256},
    };
    for (const SyntaxCase &c : cases) {
        formula_test::CompileOutcome out = Compile(c.formula);
        SCOPED_TRACE(c.formula);
        EXPECT_EQ(out.returned, c.status);
        EXPECT_EQ(out.error, c.status);
        EXPECT_EQ(out.line, c.line);
        EXPECT_EQ(out.column, c.column);
        EXPECT_EQ(out.offset, c.offset);
        EXPECT_EQ(out.length, c.length);
    }
    // Names of up to 255 bytes are names; the three keywords are not.
    EXPECT_EQ(Result(note_, std::string(255, 'n')), "\"\"");
    formula_test::CompileOutcome good = Compile("1");
    EXPECT_EQ(good.returned, NOERROR);
    EXPECT_EQ(good.error, NOERROR);
    EXPECT_EQ(good.line + good.column + good.offset + good.length, 0);
}

TEST_F(FormulaTest, NestingIsBoundedAndWideFormulasAreFine) {
    auto nested = [](const std::string &open, const std::string &inner, const std::string &close,
                     int depth) {
        std::string text;
        for (int i = 0; i < depth; i++)
            text += open;
        text += inner;
        for (int i = 0; i < depth; i++)
            text += close;
        return text;
    };
    EXPECT_EQ(Result(NULLHANDLE, nested("(", "1", ")", 63)), "1");
    formula_test::CompileOutcome deep = Compile(nested("(", "1", ")", 10000));
    EXPECT_EQ(deep.returned, ERR_FORMULA_TOO_COMPLEX);
    EXPECT_EQ(deep.offset, 64);
    EXPECT_EQ(Compile(nested("-", "1", "", 10000)).returned, ERR_FORMULA_TOO_COMPLEX);
    EXPECT_EQ(Compile(nested("!", "1", "", 10000)).returned, ERR_FORMULA_TOO_COMPLEX);
    EXPECT_EQ(Compile(nested("@Trim(", "\"a\"", ")", 5000)).returned, ERR_FORMULA_TOO_COMPLEX);
    EXPECT_EQ(Compile(nested("@If(1;", "2", ";3)", 5000)).returned, ERR_FORMULA_TOO_COMPLEX);

    // Long chains are wide, not deep: 20000 additions and a list of 20000.
    std::string sum = "1", list = "1";
    for (int i = 0; i < 20000; i++) {
        sum += "+1";
        list += ":1";
    }
    EXPECT_EQ(Result(NULLHANDLE, sum), "20001");
    EXPECT_EQ(Result(NULLHANDLE, "@Elements(" + list + ")"), "20001");
    std::string statements;
    for (int i = 0; i < 5000; i++)
        statements += "x := " + std::to_string(i) + ";";
    EXPECT_EQ(Result(NULLHANDLE, statements + "x"), "4999");
}

TEST_F(FormulaTest, RunawayFormulasStopAtTheirLimits) {
    auto repeat = [](const std::string &text, int times) {
        std::string out;
        for (int i = 0; i < times; i++)
            out += text;
        return out;
    };
    ExpectCases(
        NULLHANDLE,
        {
            // A text that doubles passes 65535 bytes.
            {"x := \"ab\"; " + repeat("x := x + x; ", 40) + "1", StatusOf(ERR_FORMULA_LIMIT)},
            // A list that doubles passes 65535 entries.
            {"x := 1 : 2; " + repeat("x := x : x; ", 40) + "1", StatusOf(ERR_FORMULA_LIMIT)},
            {"x := \"a b\"; " + repeat("x := @Explode(@Implode(x : x)); ", 40) + "1",
             StatusOf(ERR_FORMULA_LIMIT)},
            {"x := \"a\"; " + repeat("x := @Implode(x : x; \"\"); ", 40) + "1",
             StatusOf(ERR_FORMULA_LIMIT)},
            // A large list copied again and again exhausts the work.
            {"x := 1 : 2; " + repeat("x := x : x; ", 14) + repeat("y := x; ", 2000) + "1",
             StatusOf(ERR_FORMULA_LIMIT)},
            // So do many searches of long texts.
            {"t := \"ab\"; " + repeat("t := t + t; ", 14) + "l := t; " + repeat("l := l : l; ", 6) +
                 repeat("@Contains(l; \"x\" : \"y\"); ", 200) + "1",
             StatusOf(ERR_FORMULA_LIMIT)},
            // Just below the limits all is well.
            {"x := 1 : 2; " + repeat("x := x : x; ", 14) + "@Elements(x)", "32768"},
            {"x := \"ab\"; " + repeat("x := x + x; ", 14) + "@Elements(x)", "1"},
        });
}

// Formulas that must fail cleanly, and random bytes and mutations of good
// formulas: compiling gives NOERROR or a compile status with a place inside
// the text, never a crash; what compiles evaluates to a result or an
// evaluation status.
TEST_F(FormulaTest, HostileFormulasNeverCrash) {
    const std::set<STATUS> compileStatuses = {NOERROR, ERR_FORMULA_SYNTAX,
                                              ERR_FORMULA_UNKNOWN_FUNCTION, ERR_FORMULA_ARG_COUNT,
                                              ERR_FORMULA_TOO_COMPLEX};
    const std::set<STATUS> evalStatuses = {
        NOERROR,           ERR_FORMULA_TYPE, ERR_FORMULA_VALUE, ERR_FORMULA_ARITHMETIC,
        ERR_FORMULA_LIMIT, ERR_BAD_TIME,     ERR_LIST_FULL};
    std::vector<std::string> hostile = {
        "((((((",
        "\"\\",
        "@If(",
        "@@@@",
        "::::",
        ":=:=",
        "x := x := 1",
        "1 + + + 2",
        "\xff\xfe\xfd",
        "FIELD",
        "FIELD x",
        "FIELD x :=",
        "REM",
        "[",
        "[]",
        "]",
        "@Name([CN]",
        "@Name([CN];",
        "\x14",
        "\x14\x00",
        "\"\x14\"",
        "@Left(\"\x14\x20\"; 1)",
        std::string("\"a\0b\"", 5),
        "1e+",
        "..5",
        "1..2",
        "@Text(@Now; \"D\")",
        "@Text(1; \"F\")",
        "@Text(1; \"F99\")",
        "@Subset(1:2; -99999999999)",
        "@Left(\"abc\"; 1e300)",
        "@Adjust(@Now; 1e300; 0; 0; 0; 0; 0)",
        "@Date(99999; 1; 1)",
        "@Date(-1; 1; 1; 25; 61; 61)",
        "@TextToTime(\"99999/99999/99999 99:99:99\")",
        "@TextToTime(\"PM\")",
        "@TextToTime(\"1/1/1 AM 1:00\")",
        "@Explode(\"a\"; \"\")",
        "@Implode(\"\"; \"\")",
        "@Contains(\"\"; \"\")",
        "@Name([Abbreviate]; \"" + std::string(2000, '/') + "\")",
        "@Name([CN]; \"" + std::string(2000, 'x') + "\")",
        std::string(65535, '('),
        std::string(65535, '"'),
        std::string(65535, '-') + "1",
    };
    std::mt19937 random(20240615);
    const std::string alphabet = "\"\\@()[];:=+-*/!<>&|.,0123456789eEaxZ$_ \n\x14\x80\xff";
    for (int i = 0; i < 3000; i++) {
        std::string text(random() % 40, ' ');
        for (char &c : text)
            c = i % 2 ? static_cast<char>(random() % 256) : alphabet[random() % alphabet.size()];
        hostile.push_back(text);
    }
    const std::vector<std::string> seeds = {
        "@If(@IsAvailable(Subject); @Left(Subject; \" \"); @Text(Due; \"D0T1\"))",
        "x := @Explode(Subject); SELECT @Elements(x) > 1; @Implode(@Subset(x; -1) : Names)",
        "@Adjust(Due; 0; 1; 0; 0; 0; 0) - Due + Count * (Scores : 4)",
        "@Name([Abbreviate]; Names) + \" \" + @Text(@TextToTime(\"6/15/2024 2:05 PM\"))",
    };
    for (int i = 0; i < 3000; i++) {
        std::string text = seeds[static_cast<size_t>(i) % seeds.size()];
        for (int edits = 1 + static_cast<int>(random() % 4); edits > 0; edits--) {
            const size_t at = random() % (text.size() + 1);
            switch (random() % 3) {
                case 0:
                    text.insert(at, 1, alphabet[random() % alphabet.size()]);
                    break;
                case 1:
                    if (at < text.size())
                        text.erase(at, 1);
                    break;
                default:
                    if (at < text.size())
                        text[at] = alphabet[random() % alphabet.size()];
                    break;
            }
        }
        hostile.push_back(text);
    }
    size_t compiled = 0;
    for (const std::string &text : hostile) {
        formula_test::CompileOutcome c = Compile(text);
        ASSERT_TRUE(compileStatuses.count(c.returned)) << c.returned << " for " << text;
        ASSERT_LE(static_cast<size_t>(c.offset) + c.length, text.size()) << text;
        if (c.returned != NOERROR)
            continue;
        compiled++;
        formula_test::Evaluation e = Evaluate(note_, text);
        ASSERT_TRUE(evalStatuses.count(e.status)) << e.status << " for " << text;
    }
    EXPECT_GT(compiled, 500u) << "the mutations should reach the evaluator";
}

TEST_F(FormulaTest, CompiledFormulasAreSelfContainedMemoryObjects) {
    const char text[] = "@Text(Count + 1)";
    const WORD textLength = static_cast<WORD>(std::strlen(text));
    const DWORD memoryBefore = StandinHandleCount(STANDIN_HANDLE_MEMORY);
    FORMULAHANDLE compiled = NULLHANDLE;
    DWORD length = 0;
    ASSERT_NOERROR(NSFFormulaCompile("Field", 5, text, textLength, &compiled, &length, nullptr,
                                     nullptr, nullptr, nullptr, nullptr));
    DWORD size = 0;
    ASSERT_NOERROR(OSMemGetSize(compiled, &size));
    EXPECT_EQ(size, length);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), memoryBefore + 1);

    // A copy works as the original does, after the original is freed.
    std::vector<unsigned char> copy(length);
    std::memcpy(copy.data(), OSLockObject(compiled), length);
    EXPECT_TRUE(OSUnlockObject(compiled));
    ASSERT_NOERROR(OSMemFree(compiled));
    HCOMPUTE compute = NULLHANDLE;
    ASSERT_NOERROR(NSFComputeStart(0, copy.data(), &compute));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_COMPUTE), 1u);
    DHANDLE result = NULLHANDLE;
    DWORD resultLength = 0;
    ASSERT_NOERROR(
        NSFComputeEvaluate(compute, note_, &result, &resultLength, nullptr, nullptr, nullptr));
    const auto *bytes = static_cast<const unsigned char *>(OSLockObject(result));
    EXPECT_EQ(formula_test::Render(bytes, resultLength), "\"4\"");
    OSUnlockObject(result);
    ASSERT_NOERROR(OSMemFree(result));
    // One computation serves many evaluations; without outputs it makes no
    // memory object.
    ASSERT_NOERROR(NSFComputeEvaluate(compute, note_, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), memoryBefore);
    ASSERT_NOERROR(NSFComputeStop(compute));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_COMPUTE), 0u);

    // A damaged block is refused, whichever part is damaged.
    for (size_t at : {size_t{0}, size_t{4}, size_t{8}, size_t{12}, size_t{16}, size_t{20},
                      size_t{24}, size_t{24 + 5}, copy.size() - 1}) {
        std::vector<unsigned char> damaged = copy;
        damaged[at] ^= 0x01;
        HCOMPUTE none = 1234;
        EXPECT_EQ(NSFComputeStart(0, damaged.data(), &none), ERR_FORMULA_DAMAGED) << at;
        EXPECT_EQ(none, NULLHANDLE);
    }
    const unsigned char zeros[32] = {};
    EXPECT_EQ(NSFComputeStart(0, zeros, &compute), ERR_FORMULA_DAMAGED);
    EXPECT_EQ(NSFComputeStart(0, nullptr, &compute), ERR_BAD_PARAM);
    EXPECT_EQ(NSFComputeStart(1, copy.data(), &compute), ERR_BAD_PARAM);
    EXPECT_EQ(NSFComputeStart(0, copy.data(), nullptr), ERR_BAD_PARAM);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_COMPUTE), 0u);
}

TEST_F(FormulaTest, BadHandlesAndArgumentsAreStatuses) {
    FORMULAHANDLE compiled = NULLHANDLE;
    EXPECT_EQ(NSFFormulaCompile(nullptr, 0, "1", 1, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr),
              ERR_BAD_PARAM);
    EXPECT_EQ(NSFFormulaCompile(nullptr, 0, nullptr, 5, &compiled, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr),
              ERR_BAD_PARAM);
    const std::string longName(256, 'n');
    EXPECT_EQ(NSFFormulaCompile(longName.data(), 256, "1", 1, &compiled, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr),
              ERR_BAD_PARAM);
    EXPECT_EQ(NSFFormulaCompile(nullptr, 0, nullptr, 0, &compiled, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr),
              ERR_FORMULA_SYNTAX);  // the empty formula
    EXPECT_EQ(compiled, NULLHANDLE);

    ASSERT_NOERROR(NSFFormulaCompile(nullptr, 0, "Subject", 7, &compiled, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr));
    HCOMPUTE compute = NULLHANDLE;
    ASSERT_NOERROR(NSFComputeStart(0, OSLockObject(compiled), &compute));
    OSUnlockObject(compiled);
    EXPECT_EQ(OSMemFree(compute), ERR_WRONG_HANDLE_KIND);
    EXPECT_EQ(NSFComputeStop(compiled), ERR_WRONG_HANDLE_KIND);
    EXPECT_EQ(NSFComputeEvaluate(compiled, note_, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERR_WRONG_HANDLE_KIND);
    DHANDLE result = 77;
    DWORD length = 77;
    BOOL matches = TRUE;
    EXPECT_EQ(NSFComputeEvaluate(compute, compute, &result, &length, &matches, nullptr, nullptr),
              ERR_WRONG_HANDLE_KIND);
    EXPECT_EQ(result, NULLHANDLE);
    EXPECT_EQ(length, 0u);
    EXPECT_FALSE(matches);

    NOTEHANDLE closed = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteCreate(db_, &closed));
    ASSERT_NOERROR(NSFNoteClose(closed));
    EXPECT_EQ(NSFComputeEvaluate(compute, closed, &result, nullptr, nullptr, nullptr, nullptr),
              ERR_INVALID_HANDLE);
    ASSERT_NOERROR(NSFComputeStop(compute));
    EXPECT_EQ(NSFComputeStop(compute), ERR_INVALID_HANDLE);
    EXPECT_EQ(NSFComputeEvaluate(compute, note_, &result, nullptr, nullptr, nullptr, nullptr),
              ERR_INVALID_HANDLE);
    EXPECT_EQ(NSFComputeStop(NULLHANDLE), ERR_INVALID_HANDLE);
    ASSERT_NOERROR(OSMemFree(compiled));
}

TEST_F(FormulaTest, TheRuntimesEndStopsOpenComputations) {
    FORMULAHANDLE compiled = NULLHANDLE;
    ASSERT_NOERROR(NSFFormulaCompile(nullptr, 0, "1", 1, &compiled, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr));
    HCOMPUTE computes[3];
    for (HCOMPUTE &compute : computes)
        ASSERT_NOERROR(NSFComputeStart(0, OSLockObject(compiled), &compute));
    OSUnlockObject(compiled);
    ASSERT_NOERROR(OSMemFree(compiled));
    ASSERT_NOERROR(NSFComputeStop(computes[1]));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_COMPUTE), 2u);
    NotesRuntimeEnd();
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_COMPUTE), 0u);
    EXPECT_EQ(NSFComputeStop(computes[0]), ERR_INVALID_HANDLE);
    // Start it again for the fixture's own end: its note and database
    // handles were closed with the runtime.
    std::string arg = "=" + iniPath();
    char program[] = "unit-test";
    char *argv[] = {program, arg.data(), nullptr};
    ASSERT_NOERROR(NotesRuntimeStart(2, argv));
    db_ = CreateAndOpen("mail/again.nsf");
    ASSERT_NOERROR(NSFNoteCreate(db_, &note_));
    baseHandles_ = StandinHandleCount(STANDIN_HANDLE_ANY) - 2;
}

TEST_F(FormulaTest, EveryCallAsksItsFaultPoint) {
    FORMULAHANDLE compiled = NULLHANDLE;
    ASSERT_NOERROR(NSFFormulaCompile(nullptr, 0, "1", 1, &compiled, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr));
    HCOMPUTE compute = NULLHANDLE;
    ASSERT_NOERROR(NSFComputeStart(0, OSLockObject(compiled), &compute));
    OSUnlockObject(compiled);

    StandinFaultInject({"NSFFormulaCompile", ERR_MEMORY, 0, 1, nullptr});
    FORMULAHANDLE other = NULLHANDLE;
    EXPECT_EQ(NSFFormulaCompile(nullptr, 0, "1", 1, &other, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr),
              ERR_MEMORY);
    EXPECT_EQ(other, NULLHANDLE);
    StandinFaultInject({"NSFComputeStart", ERR_MEMORY, 0, 1, nullptr});
    HCOMPUTE none = NULLHANDLE;
    EXPECT_EQ(NSFComputeStart(0, OSLockObject(compiled), &none), ERR_MEMORY);
    OSUnlockObject(compiled);
    // The evaluation's rule names the database of the note.
    StandinFaultInject({"NSFComputeEvaluate", ERR_DB_IO, 0, 0, "mail/formula.nsf"});
    EXPECT_EQ(NSFComputeEvaluate(compute, note_, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERR_DB_IO);
    EXPECT_NOERROR(
        NSFComputeEvaluate(compute, NULLHANDLE, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(StandinFaultHits("NSFComputeEvaluate"), 1u);
    StandinFaultInject({"NSFComputeStop", ERR_MEMORY, 0, 1, nullptr});
    EXPECT_EQ(NSFComputeStop(compute), ERR_MEMORY);
    EXPECT_EQ(StandinFaultHits("NSFFormulaCompile"), 1u);
    EXPECT_EQ(StandinFaultHits("NSFComputeStart"), 1u);
    EXPECT_EQ(StandinFaultHits("NSFComputeStop"), 1u);
    StandinFaultClear();
    EXPECT_NOERROR(NSFComputeStop(compute));
    EXPECT_NOERROR(OSMemFree(compiled));
}

TEST_F(FormulaTest, OneComputationServesSeveralThreads) {
    FORMULAHANDLE compiled = NULLHANDLE;
    const char text[] = "@Text(Count * 2) + \"/\" + @Name([CN]; @Subset(Names; 1))";
    ASSERT_NOERROR(NSFFormulaCompile(nullptr, 0, text, static_cast<WORD>(std::strlen(text)),
                                     &compiled, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr));
    HCOMPUTE compute = NULLHANDLE;
    ASSERT_NOERROR(NSFComputeStart(0, OSLockObject(compiled), &compute));
    OSUnlockObject(compiled);
    ASSERT_NOERROR(OSMemFree(compiled));
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            NOTEHANDLE note = NULLHANDLE;
            if (NotesInitThread() != NOERROR || NSFNoteCreate(db_, &note) != NOERROR) {
                failures[t]++;
                return;
            }
            NUMBER count = t;
            NSFItemSetNumber(note, "Count", &count);
            SetTextList(note, "Names", {"CN=User " + std::to_string(t) + "/O=Acme"});
            const std::string expected =
                "\"" + std::to_string(2 * t) + "/User " + std::to_string(t) + "\"";
            for (int i = 0; i < 200; i++) {
                DHANDLE result = NULLHANDLE;
                DWORD length = 0;
                if (NSFComputeEvaluate(compute, note, &result, &length, nullptr, nullptr,
                                       nullptr) != NOERROR) {
                    failures[t]++;
                    continue;
                }
                if (formula_test::Render(static_cast<unsigned char *>(OSLockObject(result)),
                                         length) != expected)
                    failures[t]++;
                OSUnlockObject(result);
                OSMemFree(result);
            }
            NSFNoteClose(note);
            NotesTermThread();
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (int t = 0; t < 4; t++)
        EXPECT_EQ(failures[t], 0) << "thread " << t;
    ASSERT_NOERROR(NSFComputeStop(compute));
}

}  // namespace
