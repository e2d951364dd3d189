// The state reply: the document over the request file, the element that a
// query adds, the times on the server's clock, and the failures.
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <xercesc/dom/DOM.hpp>

#include "mail_fixture.h"
#include "standin/runtime.h"
#include "state_reply.h"
#include "worker_test_support.h"

namespace {

using Access = IPHCRTestAccess;
using worker_test::LocalTime;
using worker_test::ReadReply;
using worker_test::UserElement;

// The process's time zone for the length of a test, as a POSIX rule (no
// zone files needed).
class ZoneScope {
  public:
    explicit ZoneScope(const char *tz) {
        const char *old = getenv("TZ");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ZoneScope() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    bool had_ = false;
    std::string old_;
};

const char kBerlin[] = "CET-1CEST,M3.5.0,M10.5.0/3";
const char kNewYork[] = "EST5EDT,M3.2.0,M11.1.0";

class StateReplyTest : public worker_test::WorkerTest {
  protected:
    void SetUp() override {
        WorkerTest::SetUp();
        Fill();
    }
    void Fill() {
        // Every field that the reply shows, set as a loaded profile leaves
        // them.
        Access::subject(w()) = "Away";
        Access::message(w()) = "Line one\nLine two";
        Access::agentType(w()) = 0;
        Access::enabled(w()) = 1;
        Access::showHours(w()) = "1";
        Access::appendSubjectPresent(w()) = 1;
        Access::appendSubject(w()) = 0;
        Access::excludeInternetMail(w()) = 1;
        Access::uiFirstDayOut(w()) = LocalTime(2014, 3, 5, 0, 5, 0);
        Access::leaveTime(w()) = LocalTime(2014, 3, 5, 9, 5, 7);
        Access::uiFirstDayBack(w()) = LocalTime(2015, 1, 1, 12, 0, 0);
        Access::returnTime(w()) = LocalTime(2014, 3, 9, 0, 5, 0);
        Access::daysOut(w()) = "D var_First var_Back";
        Access::daysOutS(w()) = "S var_Back";
        Access::daysOutV(w()) = "V var_First";
        Access::daysOutValue(w()) = "stored days out";
        Access::appendSubjectDate(w()) = "(back var_Back)";
        Access::appendSubjectDateValue(w()) = "(back 3/9/2014)";
        Access::resetSubject(w()) = "var_User is away";
        Access::notifiedNames(w()) = {"Ann Lee/Acme", "Bob Ray/Acme"};
        Access::ownerDisplayName(w()) = "Jane Doe";
        Access::userName(w()) = "Jane Doe/Acme";
    }
    std::string Path() { return files.file("request.xml"); }
    // The file form over a request file; the exception's text or "".
    std::string WriteFileForm() {
        test_support::WriteFile(Path(), "<Request/>");
        try {
            EXPECT_EQ(w().getHCRInfo(Path()), "OK");
            return "";
        } catch (const IPException &e) {
            return e.message();
        }
    }
    UserElement OnlyUser() {
        EXPECT_EQ(WriteFileForm(), "");
        std::vector<UserElement> users = ReadReply(test_support::ReadFile(Path()));
        EXPECT_EQ(users.size(), 1u);
        return users.empty() ? UserElement() : users[0];
    }
    ZoneScope zone{kBerlin};
};

// The whole document: one line, the declaration, the attributes sorted by
// name as the library keeps them, the values escaped.
TEST_F(StateReplyTest, FileFormWritesTheWholeDocumentOnOneLine) {
    Access::message(w()) = "Tom & \"Jerry\" <away>\nback";
    ASSERT_EQ(WriteFileForm(), "");
    EXPECT_EQ(
        test_support::ReadFile(Path()),
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>"
        "<HCRReadObject><User AMString=\"AM\" ASDEnable=\"1\" AppendSubject=\"0\" "
        "AppendSubjectDate=\"(back var_Back)\" AppendSubjectDateValue=\"(back 3/9/2014)\" "
        "BuildVersion=\"230\" DateFlag=\"292\" DateString=\"/\" DaysOut=\"D var_First var_Back\" "
        "DaysOutValue=\"stored days out\" DaysOut_S=\"S var_Back\" DaysOut_V=\"V var_First\" "
        "EndTimeDay=\"1\" EndTimeHour=\"0\" EndTimeMin=\"5\" EndTimeMonth=\"1\" EndTimeSec=\"0\" "
        "EndTimeYear=\"2015\" HCREnable=\"1\" InternetAddress=\"1\" "
        "Message=\"Tom &amp; &quot;Jerry&quot; &lt;away>&#xA;back\" "
        "Notified=\"Ann Lee/Acme;Bob Ray/Acme\" PMString=\"PM\" ResetSubject=\"var_User is away\" "
        "ShowHours=\"1\" StartTimeDay=\"5\" StartTimeHour=\"9\" StartTimeMin=\"5\" "
        "StartTimeMonth=\"3\" StartTimeSec=\"7\" StartTimeYear=\"2014\" Subject=\"Away\" "
        "TaskType=\"2\" TimeString=\":\" User_Status=\"1\">Jane Doe</User></HCRReadObject>");
    EXPECT_EQ(Access::resultText(w()), "OK");
}

TEST_F(StateReplyTest, AttributesFollowTheFields) {
    struct Case {
        const char *what;
        std::function<void(IPHCR &)> set;
        std::map<std::string, std::string> expected;  // "<none>": no such attribute
    } cases[] = {
        {"no subject, no message",
         [](IPHCR &w) {
             Access::subject(w).clear();
             Access::message(w).clear();
         },
         {{"Subject", "<none>"}, {"Message", ""}}},
        {"the agent hides ShowHours",
         [](IPHCR &w) { Access::agentType(w) = 1; },
         {{"TaskType", "1"}, {"ShowHours", "0"}}},
        {"the service shows ShowHours as it is, also empty",
         [](IPHCR &w) { Access::showHours(w).clear(); },
         {{"TaskType", "2"}, {"ShowHours", ""}}},
        {"flags are 1 for any non-zero value",
         [](IPHCR &w) {
             Access::enabled(w) = 7;
             Access::appendSubject(w) = -1;
             Access::appendSubjectPresent(w) = 0;
             Access::excludeInternetMail(w) = 0;
         },
         {{"HCREnable", "1"},
          {"AppendSubject", "1"},
          {"ASDEnable", "0"},
          {"InternetAddress", "0"}}},
        {"no notified names",
         [](IPHCR &w) { Access::notifiedNames(w).clear(); },
         {{"Notified", ""}}},
        {"one notified name",
         [](IPHCR &w) { Access::notifiedNames(w) = {"a"}; },
         {{"Notified", "a"}}},
        {"an empty name keeps its separator",
         [](IPHCR &w) {
             Access::notifiedNames(w) = {"a", "", "c"};
         },
         {{"Notified", "a;;c"}}},
        {"empty templates are left out",
         [](IPHCR &w) {
             Access::daysOut(w).clear();
             Access::daysOutS(w).clear();
             Access::daysOutV(w).clear();
             Access::daysOutValue(w).clear();
             Access::appendSubjectDate(w).clear();
             Access::appendSubjectDateValue(w).clear();
             Access::resetSubject(w).clear();
         },
         {{"DaysOut", "<none>"},
          {"DaysOut_S", "<none>"},
          {"DaysOut_V", "<none>"},
          {"DaysOutValue", "<none>"},
          {"AppendSubjectDate", "<none>"},
          {"AppendSubjectDateValue", "<none>"},
          {"ResetSubject", "<none>"},
          {"User_Status", "1"},
          {"BuildVersion", "230"}}},
        {"texts outside ASCII",
         [](IPHCR &w) {
             Access::subject(w) = "Weiß";
             Access::message(w) = "日本";
         },
         {{"Subject", "Weiß"}, {"Message", "日本"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Fill();
        c.set(w());
        const UserElement user = OnlyUser();
        for (const auto &e : c.expected)
            EXPECT_EQ(user.at(e.first), e.second) << e.first;
        EXPECT_EQ(user.attributes.size(),
                  35u - std::count_if(c.expected.begin(), c.expected.end(),
                                      [](const auto &e) { return e.second == "<none>"; }));
        EXPECT_EQ(user.text, "Jane Doe");
    }
}

TEST_F(StateReplyTest, WithoutAnOwnerTheNameIsUnknow) {
    Access::ownerDisplayName(w()).clear();
    EXPECT_EQ(OnlyUser().text, "Unknow");
}

// Each of the four values gives only its own part: the dates of the leave
// and the return from the first days, the times of day from the times.
TEST_F(StateReplyTest, DatesAndTimesOfDayComeFromTheirOwnFields) {
    Access::uiFirstDayOut(w()) = LocalTime(2020, 12, 31, 23, 59, 59);
    Access::leaveTime(w()) = LocalTime(2001, 6, 7, 0, 5, 0);
    Access::uiFirstDayBack(w()) = LocalTime(2021, 1, 1, 0, 0, 0);
    Access::returnTime(w()) = LocalTime(1999, 2, 3, 23, 1, 2);
    const UserElement user = OnlyUser();
    EXPECT_EQ(user.at("StartTimeYear") + "-" + user.at("StartTimeMonth") + "-" +
                  user.at("StartTimeDay") + " " + user.at("StartTimeHour") + ":" +
                  user.at("StartTimeMin") + ":" + user.at("StartTimeSec"),
              "2020-12-31 0:5:0");
    EXPECT_EQ(user.at("EndTimeYear") + "-" + user.at("EndTimeMonth") + "-" + user.at("EndTimeDay") +
                  " " + user.at("EndTimeHour") + ":" + user.at("EndTimeMin") + ":" +
                  user.at("EndTimeSec"),
              "2021-1-1 23:1:2");
}

// A value that was made in another zone is shown on the server's clock: the
// same moment, whatever zone bits the value carries. A date alone stays the
// calendar date it names.
TEST_F(StateReplyTest, TimesAreShownInTheServersOwnZone) {
    // Made in Berlin: 09:30 and 01:00 summer time are 07:30 and 23:00 (the
    // day before) GMT.
    const TIMEDATE leave = LocalTime(2014, 7, 1, 9, 30, 0);
    const TIMEDATE firstDay = LocalTime(2014, 7, 1, 1, 0, 0);
    TIMEDATE dateAlone = {};
    ASSERT_NOERROR(TimeDateSplit(&firstDay, TIMEDATE_PART_DATE, &dateAlone));
    ZoneScope newYork(kNewYork);
    Access::leaveTime(w()) = leave;
    Access::uiFirstDayOut(w()) = firstDay;
    Access::uiFirstDayBack(w()) = dateAlone;
    Access::returnTime(w()) = LocalTime(2014, 7, 2, 18, 0, 0);
    const UserElement user = OnlyUser();
    EXPECT_EQ(user.at("StartTimeHour") + ":" + user.at("StartTimeMin"), "3:30");
    EXPECT_EQ(user.at("StartTimeMonth") + "/" + user.at("StartTimeDay"), "6/30");
    EXPECT_EQ(user.at("EndTimeMonth") + "/" + user.at("EndTimeDay"), "7/1");
    EXPECT_EQ(user.at("EndTimeHour"), "18");
}

TEST_F(StateReplyTest, InternationalSettingsComeFromTheServer) {
    test_support::WriteFile(iniPath(), test_support::ReadFile(iniPath()) +
                                           "IntlFlags=65535\nIntlAMString=vorm\n"
                                           "IntlPMString=nachm\nIntlDateSeparator=.\n"
                                           "IntlTimeSeparator=h\n");
    const UserElement user = OnlyUser();
    EXPECT_EQ(user.at("DateFlag"), "65535");
    EXPECT_EQ(user.at("AMString"), "vorm");
    EXPECT_EQ(user.at("PMString"), "nach");
    EXPECT_EQ(user.at("DateString"), ".");
    EXPECT_EQ(user.at("TimeString"), "h");
}

TEST_F(StateReplyTest, AFailedTimeConversionLeavesTheFileEmpty) {
    Access::uiFirstDayBack(w()) = TIMEDATE{{ALLDAY, ANYDAY}};
    EXPECT_EQ(WriteFileForm(), "getHCRInfo:Convert Time error");
    EXPECT_TRUE(test_support::FileExists(Path()));
    EXPECT_EQ(test_support::ReadFile(Path()), "");
    EXPECT_EQ(Access::resultText(w()), "");
}

TEST_F(StateReplyTest, AFileThatCannotBeOpenedGivesTheLibrarysMessage) {
    const std::string path = files.file("no/such/folder/request.xml");
    try {
        w().getHCRInfo(path);
        ADD_FAILURE() << "no exception";
    } catch (const IPException &e) {
        const std::string text = e.message();
        EXPECT_EQ(text.rfind("getHCRInfo:", 0), 0u) << text;
        EXPECT_GT(text.size(), std::string("getHCRInfo:").size()) << text;
        EXPECT_EQ(text.find("Unexpected"), std::string::npos) << text;
    }
    EXPECT_FALSE(test_support::FileExists(path));
    EXPECT_EQ(Access::resultText(w()), "");
}

// The translator's buffer holds 16383 units: a longer message fails the
// reply in order, and leaves the file empty.
TEST_F(StateReplyTest, AMessageBeyondTheTranslatorsBufferFailsInOrder) {
    Access::message(w()) = std::string(16383, 'x');
    EXPECT_EQ(OnlyUser().at("Message"), std::string(16383, 'x'));
    Access::message(w()) = std::string(16384, 'x');
    EXPECT_EQ(WriteFileForm(), "getHCRInfo:Unexpected Exception\n");
    EXPECT_EQ(test_support::ReadFile(Path()), "");
}

// The query's element: the member's name (from LMBCS), no stored values,
// and elements in call order; a failure leaves what was set.
TEST_F(StateReplyTest, AppendFormAddsOneElementPerCallToTheCallersDocument) {
    using namespace xercesc;
    Access::userName(w()) = worker_test::Lmbcs("Jürgen Weiß/Acme");
    test_support::WriteFile(Path(), "");
    {
        state_reply::DocumentWriter writer(Path());
        EXPECT_EQ(w().getHCRInfo(writer.document, writer.root()), "");
        Access::ownerDisplayName(w()).clear();
        Access::subject(w()).clear();
        EXPECT_EQ(w().getHCRInfo(writer.document, writer.root()), "");
        Access::uiFirstDayBack(w()) = TIMEDATE{{ALLDAY, ANYDAY}};
        try {
            w().getHCRInfo(writer.document, writer.root());
            ADD_FAILURE() << "no exception";
        } catch (const IPException &e) {
            EXPECT_STREQ(e.message(), "getHCRInfo:Convert Time error");
        }
        EXPECT_EQ(Access::resultText(w()), "");
        writer.Write();
    }
    const std::vector<UserElement> users = ReadReply(test_support::ReadFile(Path()));
    ASSERT_EQ(users.size(), 3u);
    EXPECT_EQ(users[0].text, "Jürgen Weiß/Acme");
    EXPECT_EQ(users[0].at("Subject"), "Away");
    EXPECT_FALSE(users[0].has("DaysOutValue"));
    EXPECT_FALSE(users[0].has("AppendSubjectDateValue"));
    EXPECT_EQ(users[0].attributes.size(), 33u);
    EXPECT_EQ(users[1].text, "Unknow");
    EXPECT_FALSE(users[1].has("Subject"));
    // The third stopped before its return date.
    EXPECT_TRUE(users[2].has("StartTimeSec"));
    EXPECT_FALSE(users[2].has("EndTimeYear"));
    EXPECT_EQ(users[2].text, "");
}

TEST_F(StateReplyTest, NothingOfTheReplyStaysOpen) {
    const DWORD before = StandinHandleCount(STANDIN_HANDLE_ANY);
    EXPECT_EQ(WriteFileForm(), "");
    Access::uiFirstDayBack(w()) = TIMEDATE{{ALLDAY, ANYDAY}};
    EXPECT_NE(WriteFileForm(), "");
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), before);
    // The file is closed: it can be removed and made anew.
    EXPECT_EQ(unlink(Path().c_str()), 0);
}

}  // namespace
