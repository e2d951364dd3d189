// The settings loaded from the "OutOfOfficeProfile" note, and the message
// templates learned from the mail design.
#include <cstdlib>
#include <string>
#include <vector>

#include "mail_fixture.h"
#include "standin/fault.h"
#include "standin/runtime.h"
#include "worker_test_support.h"

namespace {

using Access = IPHCRTestAccess;
using worker_test::Items;
using worker_test::List;
using worker_test::Lmbcs;
using worker_test::NowPlus;
using worker_test::Text;
using worker_test::Time;

const char kDaysOut[] = "I am out of the office from var_First until var_Back.";
const char kDaysOutS[] = "I am out of the office until var_Back.";
const char kAppendSubjectDate[] = "(returning var_Back)";
const char kResetSubject[] = "var_User is Out Of Office";

class ProfileSettingsTest : public worker_test::WorkerTest {
  protected:
    // A mail file of the test design (its texts tell the roads of the
    // template learning apart), unless told otherwise.
    struct Mail {
        Mail() { options.design = worker_test::MailFileOptions::TestForm; }
        Items profile;
        Items service;  // the service profile's items
        worker_test::MailFileOptions options;
        int32_t agentType = 0;
        std::string userName = "CN=John Roe/O=Acme";
    };
    // A mail file as told, opened by a fresh worker with agent or service
    // decided; then the loading. Its exception text, or "".
    std::string Load(const Mail &mail) {
        Build(mail);
        return OpenAndLoad(mail);
    }
    void Build(const Mail &mail) {
        path = "mail/p" + std::to_string(++count) + ".nsf";
        worker_test::Database db(path);
        worker_test::BuildMailFile(db, mail.options);
        db.SetProfile("OutOfOfficeProfile", mail.profile);
        if (!mail.service.empty())
            db.SetProfile("ooserviceprofile", mail.service);
    }
    std::string OpenAndLoad(const Mail &mail) {
        Fresh();
        Access::mailFile(w()) = path;
        Access::userName(w()) = Lmbcs(mail.userName);
        EXPECT_EQ(w().getHCRProfile(false), NOERROR);
        Access::agentType(w()) = mail.agentType;
        return LoadOpened();
    }
    std::string LoadOpened() {
        try {
            w().LoadProfileSettings();
            return "";
        } catch (const IPException &e) {
            return e.message();
        }
    }
    // Whether the four dates were reset: leave now, return a day later.
    bool DatesReset() {
        const TIMEDATE now = NowPlus(0);
        const TIMEDATE out = Access::uiFirstDayOut(w());
        const TIMEDATE back = Access::uiFirstDayBack(w());
        return std::labs(TimeDateDifference(&now, &out)) < 600 &&
               TimeDateDifference(&back, &out) == 86400 &&
               TimeDateCompare(&Access::leaveTime(w()), &out) == 0 &&
               TimeDateCompare(&Access::returnTime(w()), &back) == 0;
    }
    std::string path;
    int count = 0;
};

TEST_F(ProfileSettingsTest, OwnerSubjectAndMessage) {
    struct Case {
        const char *what;
        Items profile;
        std::string userName;
        std::string owner, subject, message;
    } cases[] = {
        {"the owner's common name",
         {{"$Owner", Text("CN=Jane Doe/OU=Sales/O=Acme")}},
         "CN=John Roe/O=Acme",
         "Jane Doe",
         "John Roe is out of the office",
         ""},
        {"no owner: the user, as the request named him",
         {},
         "CN=Jürgen Weiß/O=Acme",
         "CN=Jürgen Weiß/O=Acme",
         "Jürgen Weiß is out of the office",
         ""},
        {"an owner that cannot be parsed is used whole",
         {{"$Owner", Text("a=b")}},
         "John",
         "a=b",
         "John is out of the office",
         ""},
        {"lines of the subject and the message",
         {{"GeneralSubject", Text(std::string("One\0Two", 7))},
          {"GeneralMessage", Text(std::string("Back soon\0Ann", 13))}},
         "John",
         "John",
         "One\nTwo",
         "Back soon\nAnn"},
        {"texts outside ASCII",
         {{"GeneralSubject", Text(Lmbcs("Abwesend, Grüße"))},
          {"GeneralMessage", Text(Lmbcs("日本語"))}},
         "John",
         "John",
         "Abwesend, Grüße",
         "日本語"},
        {"(null) is no message",
         {{"GeneralMessage", Text("(null)")}},
         "J",
         "J",
         "J is out of the office",
         ""},
        {"(NULL) is one",
         {{"GeneralMessage", Text("(NULL)")}, {"GeneralSubject", Text("")}},
         "J",
         "J",
         "J is out of the office",
         "(NULL)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Mail mail;
        mail.profile = c.profile;
        mail.userName = c.userName;
        ASSERT_EQ(Load(mail), "");
        EXPECT_EQ(Access::ownerDisplayName(w()), c.owner);
        EXPECT_EQ(Access::subject(w()), c.subject);
        EXPECT_EQ(Access::message(w()), c.message);
    }
}

// The texts that the reply shows, and that the front end sends back in its
// next update, are read whole, however long.
TEST_F(ProfileSettingsTest, LongTextsAreReadWhole) {
    const std::string message = std::string(3000, 'm') + std::string(1, '\0') + "end";
    const std::string subject(2000, 's');
    const std::string daysOut = std::string(5000, 'd') + "ü";
    const std::string appendDate = std::string(1500, 'a') + "!";
    Mail mail;
    mail.profile = {{"Form", Text("Memo")},
                    {"GeneralMessage", Text(message)},
                    {"GeneralSubject", Text(subject)},
                    {"DaysOut", Text(Lmbcs(daysOut))},
                    {"AppendSubjectDate", Text(appendDate)}};
    ASSERT_EQ(Load(mail), "");
    EXPECT_EQ(Access::message(w()), std::string(3000, 'm') + "\nend");
    EXPECT_EQ(Access::subject(w()), subject);
    EXPECT_EQ(Access::daysOutValue(w()), daysOut);
    EXPECT_EQ(Access::daysOutV(w()), daysOut);
    EXPECT_EQ(Access::appendSubjectDateValue(w()), appendDate);
}

TEST_F(ProfileSettingsTest, ShowHoursCountsForTheServiceOnly) {
    Mail mail;
    mail.profile = {{"ShowHours", Text("1")}};
    ASSERT_EQ(Load(mail), "");
    EXPECT_EQ(Access::showHours(w()), "1");
    mail.agentType = 1;
    mail.profile.push_back({"TaskState", Text("1")});
    mail.profile.push_back({"AdminP_Status", Text("ENABLE")});
    ASSERT_EQ(Load(mail), "");
    EXPECT_EQ(Access::showHours(w()), "");
}

TEST_F(ProfileSettingsTest, TheServicesStateFollowsTaskStateAndTheReturnDate) {
    struct Case {
        const char *what;
        const char *taskState;  // null: absent
        int outDays, backDays;  // from now
        bool pending;
        int32_t enabledBefore;
        int32_t enabled;
        bool reset;
    } cases[] = {
        {"on, back tomorrow", "1", -1, 1, false, 0, 1, false},
        {"on, back an hour ago: off, and the row resets", "1", -7, 0, false, 1, 0, true},
        {"2, back yesterday: off; both dates past reset them", "2", -7, -1, false, 1, 0, true},
        {"2, back yesterday, out tomorrow: off, nothing resets", "2", 1, -1, false, 1, 0, false},
        {"on, pending update: only stale dates reset", "1", 1, -1, true, 1, 0, false},
        {"on, pending update, both past", "1", -7, -1, true, 1, 0, true},
        {"0: off, the row resets", "0", 1, 2, false, 1, 0, true},
        {"0 pending: off", "0", 1, 2, true, 1, 0, false},
        {"3: off", "3", 1, 2, false, 1, 0, false},
        {"no state: off", nullptr, 1, 2, false, 1, 0, false},
        {"no state, both past", nullptr, -3, -2, false, 1, 0, true},
        {"a state of another digit leaves it on", "5", -3, -2, false, 1, 1, false},
        {"... or off, and resets what is stale", "9", -3, -2, false, 0, 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Mail mail;
        mail.profile = {{"dateFirstDayOut", Time(NowPlus(c.outDays))},
                        {"dateFirstDayBack", Time(NowPlus(c.backDays, c.backDays == 0 ? -1 : 0))}};
        if (c.taskState)
            mail.profile.push_back({"TaskState", Text(c.taskState)});
        if (c.pending)
            mail.profile.push_back({"UpdateSettings", Text("1")});
        Fresh();
        Access::enabled(w()) = c.enabledBefore;
        // Load makes a fresh worker; the state that it starts with is set
        // on the opened one.
        path = "mail/s" + std::to_string(++count) + ".nsf";
        {
            worker_test::Database db(path);
            db.SetProfile("OutOfOfficeProfile", mail.profile);
        }
        Access::mailFile(w()) = path;
        Access::userName(w()) = "J";
        ASSERT_EQ(w().getHCRProfile(false), NOERROR);
        Access::agentType(w()) = 0;
        ASSERT_EQ(LoadOpened(), "");
        EXPECT_EQ(Access::enabled(w()), c.enabled);
        EXPECT_EQ(DatesReset(), c.reset);
    }
}

TEST_F(ProfileSettingsTest, MissingDatesAreNow) {
    Mail mail;
    mail.profile = {{"TaskState", Text("2")}};
    const TIMEDATE before = NowPlus(0);
    ASSERT_EQ(Load(mail), "");
    for (const TIMEDATE &t : {Access::uiFirstDayOut(w()), Access::leaveTime(w()),
                              Access::uiFirstDayBack(w()), Access::returnTime(w())}) {
        EXPECT_GE(TimeDateCompare(&t, &before), 0);
        EXPECT_LT(TimeDateDifference(&t, &before), 600);
    }
    // On when the return (now, as loaded) is not before the time taken anew
    // for the comparison; the clock may tick in between, so that is known
    // only when it had not ticked by the end of the load.
    const TIMEDATE after = NowPlus(0);
    const TIMEDATE back = Access::uiFirstDayBack(w());
    if (TimeDateCompare(&back, &after) >= 0) {
        EXPECT_EQ(Access::enabled(w()), 1) << "back now, at or after the time taken anew";
    }
}

TEST_F(ProfileSettingsTest, TheAgentsStateComesFromAdminPOrFromTheAgent) {
    struct Case {
        const char *what;
        const char *taskState;
        const char *adminP;  // null: absent
        bool agentEnabled;
        int32_t enabled;
    } cases[] = {
        {"1 and ENABLE in any case, whatever the agent", "1", "enable", false, 1},
        {"2 and ENABLE", "2", "ENABLE", false, 1},
        {"0 and DISABLE, whatever the agent", "0", "Disable", true, 0},
        {"1, no AdminP: the agent is on", "1", nullptr, true, 1},
        {"1, another AdminP: the agent is off", "1", "DISABLE", false, 0},
        {"3, the agent is on", "3", nullptr, true, 1},
        {"0, ENABLE means nothing here: the agent is off", "0", "ENABLE", false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Mail mail;
        mail.agentType = 1;
        mail.options.agentEnabled = c.agentEnabled;
        mail.profile = {{"TaskState", Text(c.taskState)},
                        {"dateFirstDayOut", Time(NowPlus(1))},
                        {"dateFirstDayBack", Time(NowPlus(2))}};
        if (c.adminP)
            mail.profile.push_back({"AdminP_Status", Text(c.adminP)});
        ASSERT_EQ(Load(mail), "");
        EXPECT_EQ(Access::enabled(w()), c.enabled);
    }
}

TEST_F(ProfileSettingsTest, AMailFileWithoutItsAgentFailsWhereTheAgentIsAsked) {
    Mail mail;
    mail.agentType = 1;
    mail.options.agent = false;
    mail.profile = {{"TaskState", Text("1")}, {"GeneralSubject", Text("Away")}};
    const std::string text = Load(mail);
    EXPECT_EQ(text, "getAgent:" + test_support::StatusText(ERR_DESIGN_NOT_FOUND));
    EXPECT_EQ(Access::subject(w()), "Away") << "what was loaded before stays";
    // Where the agent is not asked, its absence does not matter.
    mail.profile.push_back({"AdminP_Status", Text("ENABLE")});
    EXPECT_EQ(Load(mail), "");
}

TEST_F(ProfileSettingsTest, SwitchesAndStoredTexts) {
    Mail mail;
    mail.profile = {{"AppendSubject", Text("1")},
                    {"ExcludeInternetEmail", Text("1x")},
                    {"AppendSubjectDate", Text(Lmbcs("(zurück 3.9.)"))},
                    {"DaysOut", Text("stored")}};
    ASSERT_EQ(Load(mail), "");
    EXPECT_EQ(Access::appendSubjectPresent(w()), 1);
    EXPECT_EQ(Access::appendSubject(w()), 1);
    EXPECT_EQ(Access::excludeInternetMail(w()), 1);
    EXPECT_EQ(Access::appendSubjectDateValue(w()), "(zurück 3.9.)");
    EXPECT_EQ(Access::daysOutValue(w()), "stored");

    // Empty stored texts leave the fields as they were.
    mail.profile = {
        {"AppendSubject", Text("0")}, {"AppendSubjectDate", Text("")}, {"DaysOut", Text("")}};
    Fresh();
    Access::appendSubjectDateValue(w()) = "kept";
    Access::daysOutValue(w()) = "kept too";
    path = "mail/switch.nsf";
    {
        worker_test::Database db(path);
        db.SetProfile("OutOfOfficeProfile", mail.profile);
    }
    Access::mailFile(w()) = path;
    ASSERT_EQ(w().getHCRProfile(false), NOERROR);
    ASSERT_EQ(LoadOpened(), "");
    EXPECT_EQ(Access::appendSubjectPresent(w()), 1);
    EXPECT_EQ(Access::appendSubject(w()), 0);
    EXPECT_EQ(Access::excludeInternetMail(w()), 0);
    EXPECT_EQ(Access::appendSubjectDateValue(w()), "kept");
    EXPECT_EQ(Access::daysOutValue(w()), "kept too");

    mail.profile = {};
    ASSERT_EQ(Load(mail), "");
    EXPECT_EQ(Access::appendSubjectPresent(w()), 0);
    EXPECT_EQ(Access::appendSubject(w()), 0);
}

// The design computes the texts for known dates; the loader puts the
// placeholders where the dates and the owner's name stand.
TEST_F(ProfileSettingsTest, TemplatesAreLearnedFromTheMailDesign) {
    Mail mail;
    mail.profile = {{"Form", Text("Memo")},
                    {"$Owner", Text(Lmbcs("CN=Jürgen Weiß/O=Acme"))},
                    {"DaysOut", Text("the stored message")},
                    {"GeneralSubject", Text("stored subject")}};
    ASSERT_EQ(Load(mail), "");
    EXPECT_EQ(Access::daysOut(w()), "Out from var_First to var_Back.");
    EXPECT_EQ(Access::daysOutS(w()), "Out from var_First to var_Back.");
    EXPECT_EQ(Access::daysOutV(w()), "the stored message");
    EXPECT_EQ(Access::appendSubjectDate(w()), "");
    EXPECT_EQ(Access::resetSubject(w()), "var_User is away");
    EXPECT_EQ(Access::ownerDisplayName(w()), "Jürgen Weiß");
    EXPECT_EQ(Access::subject(w()), "stored subject");

    // Nothing of it is saved.
    worker_test::Database db(path, false);
    EXPECT_EQ(db.ProfileText("OutOfOfficeProfile", "Form"), "Memo");
    EXPECT_EQ(db.ProfileText("OutOfOfficeProfile", "DaysOut"), "the stored message");
    EXPECT_EQ(db.ProfileText("OutOfOfficeProfile", "GeneralSubject"), "stored subject");
}

// The shipped mail template teaches what the front end shows.
TEST_F(ProfileSettingsTest, TheShippedMailTemplateGivesItsTemplates) {
    for (bool firstFails : {false, true}) {
        SCOPED_TRACE(firstFails ? "the first computation fails" : "it works");
        Mail mail;
        mail.options.design = worker_test::MailFileOptions::Shipped;
        mail.profile = {{"Form", Text("OutOfOfficeProfile")},
                        {"$Owner", Text(Lmbcs("CN=Jürgen Weiß/O=Acme"))},
                        {"dateFirstDayOut", Time(NowPlus(3))},
                        {"dateFirstDayBack", Time(NowPlus(9))}};
        if (firstFails)
            StandinFaultInject({"NSFNoteComputeWithForm", ERR_FORM_NOT_FOUND, 0, 1, nullptr});
        ASSERT_EQ(Load(mail), "");
        StandinFaultClear();
        // Not the default "... until var_Back.": learned, and so is daysOut
        // on both roads (without AppendSubject it takes daysOutS).
        const std::string learned = "I am out of the office from var_First until var_Back.";
        EXPECT_EQ(Access::daysOutS(w()), learned);
        EXPECT_EQ(Access::daysOut(w()), learned);
        EXPECT_EQ(Access::appendSubjectDate(w()), firstFails ? "(returning var_Back)" : "");
        EXPECT_EQ(Access::resetSubject(w()), "var_User is out of the office");
    }
}

// When the design cannot compute with time values, the loader gives it the
// date texts, once with the times of day and once without.
TEST_F(ProfileSettingsTest, AFailedFirstComputationLearnsFromTheDateTexts) {
    for (bool appendSubject : {false, true}) {
        SCOPED_TRACE(appendSubject ? "AppendSubject" : "no AppendSubject");
        Mail mail;
        mail.profile = {{"Form", Text("Memo")}, {"$Owner", Text("CN=Jane Doe/O=Acme")}};
        if (appendSubject)
            mail.profile.push_back({"AppendSubject", Text("0")});
        StandinFaultInject({"NSFNoteComputeWithForm", ERR_FORM_NOT_FOUND, 0, 1, nullptr});
        ASSERT_EQ(Load(mail), "");
        EXPECT_EQ(StandinFaultHits("NSFNoteComputeWithForm"), 1u);
        StandinFaultClear();
        EXPECT_EQ(Access::daysOutS(w()), "Out from var_First to var_Back.");
        EXPECT_EQ(Access::daysOut(w()), appendSubject ? "Away from var_First to var_Back."
                                                      : "Out from var_First to var_Back.");
        EXPECT_EQ(Access::appendSubjectDate(w()), "(back var_Back)");
        EXPECT_EQ(Access::resetSubject(w()), "var_User is away");
    }
}

TEST_F(ProfileSettingsTest, WithoutTheFormTheDefaultsStand) {
    struct Case {
        const char *what;
        bool formItem;
        bool designForm;
        const char *daysOutV;
    } cases[] = {
        {"no Form item: DaysOut is not read", false, true,
         "I am out of the office from var_First until var_Back."},
        {"a design without the form", true, false, "stored"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Mail mail;
        mail.options.design = c.designForm ? worker_test::MailFileOptions::TestForm
                                           : worker_test::MailFileOptions::NoForm;
        mail.profile = {{"DaysOut", Text("stored")}};
        if (c.formItem)
            mail.profile.push_back({"Form", Text("Memo")});
        ASSERT_EQ(Load(mail), "");
        EXPECT_EQ(Access::daysOut(w()), kDaysOut);
        EXPECT_EQ(Access::daysOutS(w()), kDaysOutS);
        EXPECT_EQ(Access::daysOutV(w()), c.daysOutV);
        EXPECT_EQ(Access::appendSubjectDate(w()), kAppendSubjectDate);
        EXPECT_EQ(Access::resetSubject(w()), kResetSubject);
    }
}

// A failing evaluation ends the learning; what was learned stays.
TEST_F(ProfileSettingsTest, AFailingEvaluationEndsTheLearning) {
    Mail mail;
    mail.profile = {{"Form", Text("Memo")}};
    StandinFaultInject({"NSFFormulaCompile", ERR_FORMULA_LIMIT, 2, 1, nullptr});
    ASSERT_EQ(Load(mail), "");
    EXPECT_EQ(StandinFaultHits("NSFFormulaCompile"), 1u);
    EXPECT_EQ(Access::daysOut(w()), kDaysOut);
    EXPECT_EQ(Access::resetSubject(w()), kResetSubject);
}

TEST_F(ProfileSettingsTest, NotifiedNamesOfBothProfilesAbbreviated) {
    Mail mail;
    mail.profile = {{"Notified", List({"CN=Ann Lee/O=Acme", "", "CN=Ann Lee/O=Acme",
                                       Lmbcs("CN=Jürgen/O=Acme"), "a=b"})}};
    mail.service = {{"Notified_1", List({"CN=Ann Lee/O=Acme", "CN=Cy Dee/O=Acme", ""})},
                    {"Other", List({"CN=Zed Zee/O=Acme"})},
                    {"NOTIFIED_2", Text("CN=Eve Ray/O=Acme")},
                    {"Notified", Text("CN=Not Me/O=Acme")},
                    {"notified_3", List({"Cy Dee/Acme", "CN=Eve Ray/O=Acme"})}};
    ASSERT_EQ(Load(mail), "");
    EXPECT_EQ(Access::notifiedNames(w()),
              (std::vector<std::string>{"Ann Lee/Acme", "Ann Lee/Acme", "Jürgen/Acme", "a=b",
                                        "Cy Dee/Acme", "Eve Ray/Acme"}));

    // Without a service profile only "Notified" counts; the list is this
    // profile's alone.
    mail.profile = {{"Notified", Text("CN=Bo Li/O=Acme")}};
    Build(mail);
    StandinFaultInject({"NSFProfileOpen", ERR_DB_BUSY, 1, 1, nullptr});
    ASSERT_EQ(OpenAndLoad(mail), "");
    EXPECT_EQ(Access::serviceProfileNote(w()), 0u);
    EXPECT_EQ(Access::notifiedNames(w()), std::vector<std::string>{"Bo Li/Acme"});
}

TEST_F(ProfileSettingsTest, EvaluateProfileFormulaGivesTheLastTextOfTheResult) {
    Mail mail;
    mail.profile = {{"Name", Text("Ann")}};
    ASSERT_EQ(Load(mail), "");
    struct Case {
        const char *formula;
        STATUS status;
        const char *text;  // starting from "before"
    } cases[] = {
        {"Name", NOERROR, "Ann"},
        {"\"a\" : \"b\" : Name", NOERROR, "Ann"},
        {"\"x\" : \"y\"", NOERROR, "y"},
        {"1 + 2", NOERROR, "before"},
        {"@Trim(\"\")", NOERROR, "before"},
        {"\"unclosed", ERR_FORMULA_SYNTAX, "before"},
        {"1 + \"a\"", ERR_FORMULA_TYPE, "before"},
    };
    const DWORD handles = StandinHandleCount(STANDIN_HANDLE_ANY);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.formula);
        std::string text = "before";
        EXPECT_EQ(w().EvaluateProfileFormula(c.formula, text), c.status);
        EXPECT_EQ(text, c.text);
    }
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), handles);
    w().Reset(false);
    std::string text = "before";
    EXPECT_EQ(w().EvaluateProfileFormula("\"x\"", text), NOERROR);
    EXPECT_EQ(text, "before");
}

TEST_F(ProfileSettingsTest, LoadingLeavesNoHandleBeyondTheWorkersOwn) {
    Mail mail;
    mail.profile = {{"Form", Text("Memo")}, {"Notified", Text("CN=A B/O=C")}};
    mail.service = {{"Notified_1", Text("CN=D E/O=F")}};
    ASSERT_EQ(Load(mail), "");
    w().Reset(false);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), 0u);
}

}  // namespace
