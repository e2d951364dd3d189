// The request file reader: which elements and attributes it reads, how it
// converts each value, and how it fails.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "worker_test_support.h"
#include "xml_string_translate.h"

namespace {

using Access = IPHCRTestAccess;
using worker_test::ParseError;

class ReaderTest : public worker_test::WorkerTest {
  protected:
    // Writes the request and parses it with the worker; the error text or "".
    std::string Parse(const std::string &xml) {
        const std::string path = files.file("request" + std::to_string(++count) + ".xml");
        test_support::WriteFile(path, xml);
        return ParseError(*worker, path);
    }
    // A request with one Username element of these attributes and text.
    std::string ParseUser(const std::string &attributes, const std::string &text = "u") {
        return Parse("<Request><Username " + attributes + ">" + text + "</Username></Request>");
    }
    static std::string Lmbcs(std::string utf8) {
        XMLStringTranslate::Utf8ToLmbcsInPlace(utf8);
        return utf8;
    }
    static bool SameTime(const TIMEDATE &a, const TIMEDATE &b) {
        return a.Innards[0] == b.Innards[0] && a.Innards[1] == b.Innards[1];
    }
    // The local fields of a GMT value, as "Y-M-D h:m:s".
    static std::string Local(const TIMEDATE &value) {
        TIME time = TIME();
        time.GM = value;
        if (TimeGMToLocal(&time))
            return "invalid";
        return std::to_string(time.year) + "-" + std::to_string(time.month) + "-" +
               std::to_string(time.day) + " " + std::to_string(time.hour) + ":" +
               std::to_string(time.minute) + ":" + std::to_string(time.second);
    }

    int count = 0;
};

TEST_F(ReaderTest, ReadsElementsWhoseNameBeginsWithUsername) {
    struct Case {
        const char *element;
        bool read;
    } cases[] = {
        {"Username", true}, {"USERNAME", true}, {"username", true},    {"UsernameList", true},
        {"User", false},    {"Usernam", false}, {"p:Username", false}, {"MyUsername", false},
    };
    for (const Case &c : cases) {
        Fresh();
        const std::string e = c.element;
        ASSERT_EQ(
            Parse("<Request xmlns:p=\"urn:p\"><" + e + " MQName=\"Q\">Alice</" + e + "></Request>"),
            "")
            << e;
        EXPECT_EQ(Access::userName(w()), c.read ? "Alice" : "") << e;
        EXPECT_EQ(Access::replyQueueName(w()), c.read ? "Q" : "") << e;
    }
}

TEST_F(ReaderTest, ReadsTheRootAndNestedElementsInDocumentOrder) {
    ASSERT_EQ(Parse("<Username MQName=\"Root\">Bob</Username>"), "");
    EXPECT_EQ(Access::userName(w()), "Bob");

    // The text of nested elements belongs to the name; a later Username
    // element overwrites what an earlier one set, and one without an
    // attribute leaves the attributes' fields alone.
    ASSERT_EQ(Parse("<a><Username MQName=\"First\" Action=\"1\">John <i>Q.</i> Doe</Username>"
                    "<b><c><Username Action=\"3\">Jane</Username></c></b></a>"),
              "");
    EXPECT_EQ(Access::userName(w()), "Jane");
    EXPECT_EQ(Access::replyQueueName(w()), "First");
    EXPECT_EQ(Access::action(w()), 3);

    ASSERT_EQ(Parse("<a><Username MQName=\"Q\">John <i>Q.</i> Doe</Username></a>"), "");
    EXPECT_EQ(Access::userName(w()), "John Q. Doe");
    ASSERT_EQ(Parse("<a><Username MQName=\"Q\"></Username></a>"), "");
    EXPECT_EQ(Access::userName(w()), "");
}

TEST_F(ReaderTest, DocumentWithoutUsernameChangesNothing) {
    Access::userName(w()) = "kept user";
    Access::replyQueueName(w()) = "kept queue";
    Access::action(w()) = 2;
    Access::mailFile(w()) = "kept.nsf";
    ASSERT_EQ(Parse("<Request><User MQName=\"Q\" Action=\"1\">x</User><Other/></Request>"), "");
    EXPECT_EQ(Access::userName(w()), "kept user");
    EXPECT_EQ(Access::replyQueueName(w()), "kept queue");
    EXPECT_EQ(Access::action(w()), 2);
    EXPECT_EQ(Access::mailFile(w()), "kept.nsf");
}

TEST_F(ReaderTest, AttributesBelongToTheFirstRowTheirNameBeginsWith) {
    struct Case {
        const char *attributes;
        std::function<bool(IPHCR &)> expected;
        const char *what;
    } cases[] = {
        {"MessageBody=\"m\"", [](IPHCR &x) { return Access::message(x) == "m"; }, "MessageBody"},
        {"message=\"m\"", [](IPHCR &x) { return Access::message(x) == "m"; }, "lower case"},
        {"MQNameOfReply=\"q\"", [](IPHCR &x) { return Access::replyQueueName(x) == "q"; },
         "MQName prefix"},
        {"Mess=\"m\" MQ=\"q\"",
         [](IPHCR &x) { return Access::message(x).empty() && Access::replyQueueName(x).empty(); },
         "too short for a row"},
        {"AppendSubjectDate=\"1 May\"",
         [](IPHCR &x) {
             return Access::appendSubjectDate(x) == "1 May" && Access::appendSubject(x) == 0;
         },
         "AppendSubjectDate before AppendSubject"},
        {"AppendSubjectX=\"1\"",
         [](IPHCR &x) {
             return Access::appendSubject(x) == 1 && Access::appendSubjectDate(x).empty();
         },
         "AppendSubject prefix"},
        {"appendsubjectdates=\"d\"", [](IPHCR &x) { return Access::appendSubjectDate(x) == "d"; },
         "case and prefix together"},
        {"DaysOutValue=\"3\"", [](IPHCR &x) { return Access::daysOut(x) == "3"; }, "DaysOut"},
        {"ShowHoursNow=\"1 x\"", [](IPHCR &x) { return Access::showHours(x) == "1 x"; },
         "ShowHours unchanged"},
        {"LoginName=\"jdoe\" LoginServer=\"mail.acme.com\" QueryUser=\"Jane Roe/Acme\"",
         [](IPHCR &x) {
             return Access::loginName(x) == "jdoe" && Access::loginServer(x) == "mail.acme.com" &&
                    Access::queryUser(x) == "Jane Roe/Acme";
         },
         "login and query"},
        {"MailServer=\"Mail1/Acme\"",
         [](IPHCR &x) { return Access::mailServer(x) == "Mail1/Acme"; }, "MailServer"},
        {"Unknown=\"1\" Actions=\"2\"", [](IPHCR &x) { return Access::action(x) == 2; },
         "unknown ignored, Actions is an Action"},
    };
    for (const Case &c : cases) {
        Fresh();
        ASSERT_EQ(ParseUser(c.attributes), "") << c.what;
        EXPECT_TRUE(c.expected(w())) << c.what;
    }
}

// A name that holds ".nsf", or ends in it in any case, names the file as
// it stands.
TEST_F(ReaderTest, MailBoxGetsNsfUnlessItHoldsIt) {
    struct Case {
        const char *mailBox;
        const char *mailFile;
    } cases[] = {
        {"mail\\jdoe", "mail\\jdoe.nsf"},
        {"mail\\jdoe.nsf", "mail\\jdoe.nsf"},
        {"mail\\jdoe.NSF", "mail\\jdoe.NSF"},
        {"mail\\jdoe.Nsf", "mail\\jdoe.Nsf"},
        {"mail\\jdoe.NSF.bak", "mail\\jdoe.NSF.bak.nsf"},
        {"NSF", "NSF.nsf"},
        {"a.nsf.bak", "a.nsf.bak"},
        {"", ".nsf"},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(ParseUser(std::string("MailBox=\"") + c.mailBox + "\""), "");
        EXPECT_EQ(Access::mailFile(w()), c.mailFile) << c.mailBox;
    }
}

TEST_F(ReaderTest, ActionAndFlags) {
    struct Case {
        const char *value;
        uint16_t action;
        int32_t flag;
    } cases[] = {
        {"1", 1, 1}, {"2", 2, 0}, {"3", 3, 0},  {"2x", 2, 0},   {"12", 1, 1}, {"4", 0, 0},
        {"0", 0, 0}, {"", 0, 0},  {" 1", 0, 0}, {"true", 0, 0}, {"10", 1, 1}, {"-1", 0, 0},
    };
    for (const Case &c : cases) {
        const std::string v = c.value;
        ASSERT_EQ(ParseUser("Action=\"" + v + "\" HCREnable=\"" + v + "\" AppendSubject=\"" + v +
                            "\" ASDEnable=\"" + v + "\" InternetAddress=\"" + v + "\""),
                  "");
        EXPECT_EQ(Access::action(w()), c.action) << v;
        EXPECT_EQ(Access::enabled(w()), c.flag) << v;
        EXPECT_EQ(Access::appendSubject(w()), c.flag) << v;
        EXPECT_EQ(Access::appendSubjectPresent(w()), c.flag) << v;
        EXPECT_EQ(Access::excludeInternetMail(w()), c.flag) << v;
    }
}

TEST_F(ReaderTest, EmptyValuesGiveEmptyFields) {
    // Each empty value comes after a full one, in either attribute order,
    // so a value left over from an earlier conversion would show.
    for (const char *attributes :
         {"QueryUser=\"someone\" Message=\"\" Subject=\"\" DaysOut=\"\" AppendSubjectDate=\"\" "
          "LoginName=\"\" LoginServer=\"\"",
          "Message=\"\" Subject=\"\" DaysOut=\"\" AppendSubjectDate=\"\" LoginName=\"\" "
          "LoginServer=\"\" QueryUser=\"someone\""}) {
        Fresh();
        Access::message(w()) = "old";
        ASSERT_EQ(ParseUser(attributes, "Somebody"), "");
        EXPECT_EQ(Access::queryUser(w()), "someone");
        for (const std::string *field : {&Access::message(w()), &Access::subject(w()),
                                         &Access::daysOut(w()), &Access::appendSubjectDate(w()),
                                         &Access::loginName(w()), &Access::loginServer(w())}) {
            EXPECT_EQ(*field, "") << attributes;
        }
    }
}

TEST_F(ReaderTest, LineBreaks) {
    ASSERT_EQ(ParseUser("Message=\"one&#10;two\" Subject=\"s&#xA;t\" DaysOut=\"d&#10;o\" "
                        "AppendSubjectDate=\"a&#10;b\" LoginName=\"l&#10;n\""),
              "");
    EXPECT_EQ(Access::message(w()), std::string("one\0two", 7));
    EXPECT_EQ(Access::subject(w()), std::string("s\0t", 3));
    EXPECT_EQ(Access::daysOut(w()), "d\no");
    EXPECT_EQ(Access::appendSubjectDate(w()), "a\nb");
    EXPECT_EQ(Access::loginName(w()), "l\nn");

    // Typed literally inside a value, a line break is a blank.
    ASSERT_EQ(ParseUser("Message=\"one\ntwo\""), "");
    EXPECT_EQ(Access::message(w()), "one two");
}

TEST_F(ReaderTest, TextsArriveInTheirCharacterSet) {
    const std::string e = "\xC3\xA9";  // é
    ASSERT_EQ(
        ParseUser("Message=\"M" + e + "\" Subject=\"S" + e + "\" DaysOut=\"D" + e +
                      "\" AppendSubjectDate=\"A" + e + "\" MQName=\"Q" + e + "\" MailServer=\"S" +
                      e + "\" MailBox=\"B" + e + "\" LoginName=\"L" + e + "\" LoginServer=\"V" + e +
                      "\" QueryUser=\"U" + e + "\" ShowHours=\"H" + e + "\"",
                  "N" + e),
        "");
    ASSERT_NE(Lmbcs(e), e) << "the platform's LMBCS should differ from UTF-8 here";
    // Converted to LMBCS for the Notes items.
    EXPECT_EQ(Access::userName(w()), Lmbcs("N" + e));
    EXPECT_EQ(Access::message(w()), Lmbcs("M" + e));
    EXPECT_EQ(Access::subject(w()), Lmbcs("S" + e));
    EXPECT_EQ(Access::daysOut(w()), Lmbcs("D" + e));
    EXPECT_EQ(Access::appendSubjectDate(w()), Lmbcs("A" + e));
    EXPECT_EQ(Access::replyQueueName(w()), Lmbcs("Q" + e));
    EXPECT_EQ(Access::mailServer(w()), Lmbcs("S" + e));
    EXPECT_EQ(Access::mailFile(w()), Lmbcs("B" + e) + ".nsf");
    // Left in UTF-8.
    EXPECT_EQ(Access::loginName(w()), "L" + e);
    EXPECT_EQ(Access::loginServer(w()), "V" + e);
    EXPECT_EQ(Access::queryUser(w()), "U" + e);
    EXPECT_EQ(Access::showHours(w()), "H" + e);
}

const char kFullTimes[] =
    "StartTimeYear=\"2031\" StartTimeMonth=\"3\" StartTimeDay=\"5\" StartTimeHour=\"9\" "
    "StartTimeMin=\"5\" StartTimeSec=\"7\" EndTimeYear=\"2031\" EndTimeMonth=\"12\" "
    "EndTimeDay=\"31\" EndTimeHour=\"23\" EndTimeMin=\"59\" EndTimeSec=\"58\"";

TEST_F(ReaderTest, DatesAreLocalTimeTurnedIntoGmt) {
    ASSERT_EQ(ParseUser(kFullTimes), "");
    EXPECT_EQ(Local(Access::leaveTime(w())), "2031-3-5 9:5:7");
    EXPECT_EQ(Local(Access::returnTime(w())), "2031-12-31 23:59:58");

    // The stored value carries the server's own zone.
    int zone = 0, dst = 0;
    OSCurrentTimeZone(&zone, &dst);
    TIME expected = TIME();
    expected.year = 2031;
    expected.month = 3;
    expected.day = 5;
    expected.hour = 9;
    expected.minute = 5;
    expected.second = 7;
    expected.zone = zone;
    expected.dst = dst;
    ASSERT_FALSE(TimeLocalToGM(&expected));
    EXPECT_TRUE(SameTime(Access::leaveTime(w()), expected.GM));

    // Seconds left out are 0; numbers take leading blanks and stop at the
    // first other character.
    ASSERT_EQ(ParseUser("StartTimeYear=\" 2030\" StartTimeMonth=\"1x\" StartTimeDay=\"+1\" "
                        "StartTimeHour=\"0\" StartTimeMin=\"5\" EndTimeYear=\"2030\" "
                        "EndTimeMonth=\"1\" EndTimeDay=\"2\" EndTimeHour=\"8\""),
              "");
    EXPECT_EQ(Local(Access::leaveTime(w())), "2030-1-1 0:5:0");
    EXPECT_EQ(Local(Access::returnTime(w())), "2030-1-2 8:0:0");
}

TEST_F(ReaderTest, DatesThatDoNotConvert) {
    const std::string goodStart =
        "StartTimeYear=\"2031\" StartTimeMonth=\"3\" StartTimeDay=\"5\" StartTimeHour=\"9\"";
    const std::string goodEnd =
        "EndTimeYear=\"2031\" EndTimeMonth=\"3\" EndTimeDay=\"6\" EndTimeHour=\"9\"";
    const char kLeaving[] = "receiveElements:The leaving date is invalid..";
    const char kReturning[] = "receiveElements:The returning date is invalid.";
    struct Case {
        std::string attributes;
        const char *error;
        bool leaveSet;  // the new leave date is in place all the same
    } cases[] = {
        {"StartTimeYear=\"2031\" StartTimeMonth=\"13\" StartTimeDay=\"5\" " + goodEnd, kLeaving,
         false},
        {goodStart + " EndTimeYear=\"2031\" EndTimeMonth=\"2\" EndTimeDay=\"30\"", kReturning,
         true},
        {"StartTimeMonth=\"13\" EndTimeDay=\"32\"", kLeaving, false},
        {goodStart, kReturning, true},  // the end record stays all 0
        {"StartTimeMonth=\"3\" StartTimeDay=\"5\" " + goodEnd, kLeaving, false},  // no year
        {"StartTimeYear=\"2031\" StartTimeMonth=\"3\" StartTimeDay=\"5\" StartTimeHour=\"24\" " +
             goodEnd,
         kLeaving, false},
        {goodStart + " " + goodEnd + " EndTimeMin=\"60\"", kReturning, true},
    };
    for (const Case &c : cases) {
        Fresh();
        const TIMEDATE before = Access::leaveTime(w());
        EXPECT_EQ(ParseUser("MQName=\"Q\" " + c.attributes), c.error) << c.attributes;
        // The attributes were all read before the dates were converted.
        EXPECT_EQ(Access::replyQueueName(w()), "Q") << c.attributes;
        EXPECT_EQ(!SameTime(Access::leaveTime(w()), before), c.leaveSet) << c.attributes;
        if (c.leaveSet) {
            EXPECT_EQ(Local(Access::leaveTime(w())), "2031-3-5 9:0:0") << c.attributes;
        }
    }
}

TEST_F(ReaderTest, SecondUsernameWithoutTimesKeepsTheDates) {
    ASSERT_EQ(Parse(std::string("<r><Username ") + kFullTimes +
                    ">a</Username><Username MQName=\"Q\">b</Username><Username>c</Username></r>"),
              "");
    EXPECT_EQ(Access::userName(w()), "c");
    EXPECT_EQ(Local(Access::leaveTime(w())), "2031-3-5 9:5:7");
    EXPECT_EQ(Local(Access::returnTime(w())), "2031-12-31 23:59:58");

    // A second one with times of its own starts from empty records.
    ASSERT_EQ(Parse(std::string("<r><Username ") + kFullTimes +
                    ">a</Username><Username StartTimeYear=\"2032\" StartTimeMonth=\"1\" "
                    "StartTimeDay=\"1\">b</Username></r>"),
              "receiveElements:The returning date is invalid.");
    EXPECT_EQ(Local(Access::leaveTime(w())), "2032-1-1 0:0:0");
}

TEST_F(ReaderTest, RequestsThatAreNotWellFormed) {
    for (const char *xml : {"<Request><Username MQName=\"Q\" Action=\"1\">x</Username>",
                            "<Request><Username MQName=\"Q\">x</User></Request>",
                            "<Request><Username MQName=\"Q\" MQName=\"R\">x</Username></Request>",
                            "<Request/><Username MQName=\"Q\"/>", "", "   ", "plain text"}) {
        Fresh();
        EXPECT_EQ(Parse(xml), worker_test::Unexpected()) << xml;
        EXPECT_EQ(Access::replyQueueName(w()), "") << xml;
        EXPECT_EQ(Access::action(w()), 0) << xml;
    }
}

TEST_F(ReaderTest, EntitiesOfTheRequestItselfStillServe) {
    // A request may declare a few entities of its own in its document type;
    // only external ones and large expansions are refused.
    ASSERT_EQ(Parse("<?xml version=\"1.0\"?><!DOCTYPE Request [<!ENTITY org \"Acme\">]>"
                    "<Request><Username MQName=\"Q&amp;&lt;\" Message=\"&org; &#169;\">"
                    "John/&org;</Username></Request>"),
              "");
    EXPECT_EQ(Access::userName(w()), "John/Acme");
    EXPECT_EQ(Access::replyQueueName(w()), "Q&<");
    EXPECT_EQ(Access::message(w()), Lmbcs("Acme \xC2\xA9"));
}

TEST_F(ReaderTest, AttributeDefaultsOfTheRequestItselfStillServe) {
    // Defaults of a small document type, written out or made of an entity.
    ASSERT_EQ(Parse("<!DOCTYPE Request [<!ENTITY org \"Acme\"><!ATTLIST Username MQName CDATA "
                    "\"MQ$Reply\" Action CDATA \"1\" Message CDATA \"Away from &org;\">]>"
                    "<Request><Username>John</Username></Request>"),
              "");
    EXPECT_EQ(Access::replyQueueName(w()), "MQ$Reply");
    EXPECT_EQ(Access::action(w()), 1);
    EXPECT_EQ(Access::message(w()), Lmbcs("Away from Acme"));

    // Many elements that each take a modest default stay within bounds.
    std::string xml = "<!DOCTYPE r [<!ATTLIST n a CDATA \"" + std::string(200, 'd') +
                      "\">]><r><Username MQName=\"Q\">u</Username>";
    for (int i = 0; i < 5000; i++)
        xml += "<n/>";
    ASSERT_EQ(Parse(xml + "</r>"), "");
    EXPECT_EQ(Access::replyQueueName(w()), "Q");
}

TEST_F(ReaderTest, FileNamesOfAnyBytesAreRead) {
    // Names that are no UTF-8 (Latin-1 "café", lone bytes) are opened as they
    // stand, as are UTF-8 names and names with blanks.
    for (const char *name : {"caf\xE9.xml", "\xFF\xFE.xml", "\xC3.xml", "caf\xC3\xA9.xml",
                             "with blank.xml", "%41.xml"}) {
        Fresh();
        const std::string path = files.file(name);
        test_support::WriteFile(path, "<r><Username MQName=\"Q\">Alice</Username></r>");
        EXPECT_EQ(ParseError(*worker, path), "") << name;
        EXPECT_EQ(Access::userName(w()), "Alice") << name;
    }
}

}  // namespace
