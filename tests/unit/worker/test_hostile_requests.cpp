// Request files made to harm the server: none may reach a field, read
// another file, or make the worker's memory grow out of bound.
#include <dirent.h>
#include <malloc.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <xercesc/dom/DOM.hpp>

#include "request_parser.h"
#include "worker_test_support.h"
#include "xml_string_translate.h"

namespace {

using Access = IPHCRTestAccess;
using worker_test::ParseError;
using worker_test::Unexpected;

const char kWalkFailed[] = "receiveElements:Unexpected Exception\n";
const size_t kFileLimit = 256 * 1024;
const char16_t kHighHalf = 0xD800;  // the first half of a surrogate pair
const char16_t kLowHalf = 0xDC00;

// A request file in UTF-16 (little-endian, with its byte order mark).
std::string Utf16File(const std::u16string &text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}
std::u16string U16(const std::string &ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

std::vector<std::string> CorpusFiles() {
    std::vector<std::string> files;
    const std::string dir = worker_test::AssetDir();
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *entry = readdir(d)) {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".xml") == 0) {
                files.push_back(dir + "/" + name);
            }
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Peak memory of this process since the last ResetPeakMemory, in KiB. Freed
// memory that the allocator kept goes back first, so that it cannot hide a
// peak.
void ResetPeakMemory() {
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}
long StatusKiB(const char *key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, std::string(key).size(), key) == 0) {
            return std::stol(line.substr(line.find(':') + 1));
        }
    }
    return -1;
}

class HostileRequestTest : public worker_test::WorkerTest {
  protected:
    // Nothing of a refused request reached the worker.
    void ExpectUntouched(const std::string &what) {
        EXPECT_EQ(Access::userName(w()), "") << what;
        EXPECT_EQ(Access::replyQueueName(w()), "") << what;
        EXPECT_EQ(Access::message(w()), "") << what;
        EXPECT_EQ(Access::mailFile(w()), "") << what;
        EXPECT_EQ(Access::action(w()), 0) << what;
    }
    std::string Write(const std::string &name, const std::string &content) {
        test_support::WriteFile(files.file(name), content);
        return files.file(name);
    }
};

TEST_F(HostileRequestTest, CorpusIsRefusedBeforeAnyAttributeIsRead) {
    const std::vector<std::string> corpus = CorpusFiles();
    ASSERT_GE(corpus.size(), 20u) << "the corpus in " << worker_test::AssetDir() << " is missing";
    for (const std::string &path : corpus) {
        Fresh();
        EXPECT_EQ(ParseError(w(), path), Unexpected()) << path;
        ExpectUntouched(path);
    }
}

TEST_F(HostileRequestTest, CorpusGetsNoReplyThroughTheHandler) {
    worker_test::ReplyQueue queue("MQ$HostileReply");
    for (const std::string &path : CorpusFiles()) {
        // A copy, since a served request would be answered over its file.
        const std::string copy = files.file("copy.xml");
        const std::string original = test_support::ReadFile(path);
        test_support::WriteFile(copy, original);
        Fresh();
        w().HandleXmlRequest(copy);
        EXPECT_EQ(queue.Take(), std::vector<std::string>()) << path;
        EXPECT_EQ(test_support::ReadFile(copy), original) << path;
    }
    EXPECT_EQ(test_support::ReadFile(dataFile("console.log")).find("Halcyra"), std::string::npos);
}

TEST_F(HostileRequestTest, NothingOutsideTheRequestFileIsRead) {
    test_support::TempDir outside;
    const std::string secret = outside.file("secret.txt");
    test_support::WriteFile(secret, "TOP-SECRET\n");
    const std::string name = outside.path().substr(outside.path().rfind('/') + 1);
    const std::string relative = "../" + name + "/secret.txt";
    const std::string url = "file://" + secret;
    const std::string attrs = "MQName=\"Q\" Action=\"1\"";
    std::vector<std::string> requests;
    for (const std::string &ref : {relative, url, secret}) {
        requests.push_back("<!DOCTYPE r [<!ENTITY e SYSTEM \"" + ref + "\">]><r><Username " +
                           attrs + ">&e;</Username></r>");
        requests.push_back("<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + ref + "\"> %p;]><r><Username " +
                           attrs + ">x</Username></r>");
        requests.push_back("<!DOCTYPE r SYSTEM \"" + ref + "\"><r><Username " + attrs +
                           ">x</Username></r>");
        requests.push_back("<!DOCTYPE r [<!ENTITY e SYSTEM \"" + ref +
                           "\"><!ENTITY i \"[&e;]\">]><r><Username " + attrs +
                           ">&i;</Username></r>");
    }
    // Under a folder of its own, so that the relative references point at
    // the secret.
    test_support::TempDir requestDir;
    ASSERT_EQ(requestDir.path().substr(0, requestDir.path().rfind('/')),
              outside.path().substr(0, outside.path().rfind('/')));

    int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, outside.path().c_str(), IN_OPEN | IN_ACCESS), 0);
    for (size_t i = 0; i < requests.size(); i++) {
        const std::string path = requestDir.file("r" + std::to_string(i) + ".xml");
        test_support::WriteFile(path, requests[i]);
        Fresh();
        EXPECT_EQ(ParseError(w(), path), Unexpected()) << requests[i];
        EXPECT_EQ(Access::userName(w()).find("SECRET"), std::string::npos) << requests[i];
        ExpectUntouched(requests[i]);
        char events[4096];
        EXPECT_LE(read(watch, events, sizeof events), 0)
            << "the secret was opened by " << requests[i];
    }
    // The watch itself works: reading the secret here is seen.
    EXPECT_EQ(test_support::ReadFile(secret), "TOP-SECRET\n");
    char events[4096];
    EXPECT_GT(read(watch, events, sizeof events), 0);
    close(watch);
}

TEST_F(HostileRequestTest, ExpansionStaysSmall) {
    struct Case {
        std::string xml;
        bool refused;
        size_t userNameSize;
    };
    const std::string value(200 * 1024, 'x');
    auto repeated = [&](int refs) {
        std::string text;
        for (int i = 0; i < refs; i++)
            text += "&b;";
        return "<!DOCTYPE r [<!ENTITY b \"" + value + "\">]><r><Username MQName=\"Q\">" + text +
               "</Username></r>";
    };
    std::vector<Case> cases = {
        {test_support::ReadFile(worker_test::AssetDir() + "/billion_laughs.xml"), true, 0},
        {repeated(17), true, 0},
        // The most that a request may still expand to.
        {repeated(16), false, 16 * value.size()},
    };
    for (const Case &c : cases) {
        const std::string path = Write("expand.xml", c.xml);
        Fresh();
        ResetPeakMemory();
        const long before = StatusKiB("VmRSS:");
        EXPECT_EQ(ParseError(w(), path), c.refused ? Unexpected() : "");
        const long peak = StatusKiB("VmHWM:");
        EXPECT_EQ(Access::userName(w()).size(), c.userNameSize);
        ASSERT_GT(before, 0);
        EXPECT_LT(peak - before, 64 * 1024)
            << "KiB more for a file of " << c.xml.size() << " bytes";
    }
}

TEST_F(HostileRequestTest, HugeAttributes) {
    // Beyond what any request needs: refused without a field set.
    std::string huge = "<r><Username MQName=\"Q\" Message=\"" + std::string(8 << 20, 'm') +
                       "\">victim</Username></r>";
    EXPECT_EQ(ParseError(w(), Write("huge.xml", huge)), Unexpected());
    ExpectUntouched("huge");

    // Long, but within bounds: read whole, beyond what one platform
    // translate call takes.
    std::string longText, expected;
    for (int i = 0; i < 10000; i++) {
        longText += "line \xC3\xA9\xE4\xB8\xAD&#10;";
        expected += std::string("line \xC3\xA9\xE4\xB8\xAD\0", 11);
    }
    Fresh();
    ASSERT_EQ(ParseError(w(), Write("long.xml", "<r><Username MQName=\"Q\" Message=\"" + longText +
                                                    "\">victim</Username></r>")),
              "");
    std::string message = Access::message(w());
    XMLStringTranslate::LmbcsToUtf8InPlace(message);
    EXPECT_EQ(message.size(), expected.size());
    EXPECT_TRUE(message == expected);
}

TEST_F(HostileRequestTest, NestingDepth) {
    auto nested = [](int depth) {
        std::string open, close;
        for (int i = 0; i < depth; i++) {
            open += "<n>";
            close = "</n>" + close;
        }
        return "<r>" + open + "<Username MQName=\"Q\">deep</Username>" + close + "</r>";
    };
    ASSERT_EQ(ParseError(w(), Write("fifty.xml", nested(50))), "");
    EXPECT_EQ(Access::userName(w()), "deep");
    Fresh();
    EXPECT_EQ(ParseError(w(), Write("deep.xml", nested(20000))), Unexpected());
    ExpectUntouched("deep");
}

TEST_F(HostileRequestTest, PathsThatAreNoFile) {
    worker_test::ReplyQueue queue("Q");
    EXPECT_EQ(ParseError(w(), files.path()), Unexpected());
    ExpectUntouched("directory");
    EXPECT_EQ(ParseError(w(), files.file("missing.xml")), Unexpected());
    ExpectUntouched("missing");
    // A pipe that nobody writes to would hold the reader forever.
    const std::string pipe = files.file("pipe.xml");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_EQ(ParseError(w(), pipe), Unexpected());
    ExpectUntouched("pipe");
    w().HandleXmlRequest(pipe);
    w().HandleXmlRequest(files.path());
    w().HandleXmlRequest(files.file("missing.xml"));
    w().HandleXmlRequest("");
    EXPECT_EQ(queue.Take(), std::vector<std::string>());
}

TEST_F(HostileRequestTest, PathsThatAreNoFileOrNoEnd) {
    // A device that reads for ever, and the file system's own folders.
    for (const char *path : {"/dev/zero", "/dev/null", "/proc/self/fd"}) {
        Fresh();
        EXPECT_EQ(ParseError(w(), path), Unexpected()) << path;
        ExpectUntouched(path);
    }
}

TEST_F(HostileRequestTest, FileSizeLimit) {
    const std::string request = "<r><Username MQName=\"Q\">at the limit</Username></r>";
    const std::string atLimit = request + std::string(kFileLimit - request.size(), ' ');
    ASSERT_EQ(ParseError(w(), Write("limit.xml", atLimit)), "");
    EXPECT_EQ(Access::userName(w()), "at the limit");
    Fresh();
    EXPECT_EQ(ParseError(w(), Write("over.xml", atLimit + " ")), Unexpected());
    ExpectUntouched("one byte over the limit");
}

// The library's UTF-16 decoder lets half a surrogate pair through at the end
// of an attribute value; converting such a value must fail at once, not
// spin, in every field that the reader converts.
TEST_F(HostileRequestTest, HalfASurrogatePairInAnyConvertedAttributeFailsAtOnce) {
    const char *rows[] = {
        "Message",           "HCREnable",      "MailServer",   "MailBox",         "Subject",
        "StartTimeYear",     "StartTimeMonth", "StartTimeDay", "StartTimeHour",   "StartTimeMin",
        "StartTimeSec",      "EndTimeYear",    "EndTimeMonth", "EndTimeDay",      "EndTimeHour",
        "EndTimeMin",        "EndTimeSec",     "ShowHours",    "Action",          "DaysOut",
        "AppendSubjectDate", "AppendSubject",  "ASDEnable",    "InternetAddress", "LoginName",
        "LoginServer",       "QueryUser",      "messagebody",
    };
    // The queue comes from an earlier element, since the order of one
    // element's attributes is the library's.
    const std::u16string half(1, kHighHalf);
    std::vector<std::u16string> attributes;
    for (const char *row : rows)
        attributes.push_back(U16(std::string(row) + "=\"1") + half + u"\"");
    attributes.push_back(u"MQName=\"R" + half + u"\"");
    attributes.push_back(u"Message=\"a" + half + u"&amp;\"");  // not only at the very end
    for (const std::u16string &a : attributes) {
        const std::string what(a.begin(), a.end());
        Fresh();
        const std::string path =
            Write("half.xml", Utf16File(u"<r><Username MQName=\"Q\">first</Username><Username " +
                                        a + u">second</Username></r>"));
        EXPECT_EQ(ParseError(w(), path), kWalkFailed) << what;
        EXPECT_EQ(Access::replyQueueName(w()), "Q") << what;
        EXPECT_EQ(Access::userName(w()), "second") << what;
    }

    // An attribute that no row reads is never converted, so it does no harm.
    Fresh();
    ASSERT_EQ(ParseError(w(), Write("other.xml", Utf16File(u"<r><Username Other=\"x" +
                                                           std::u16string(1, kHighHalf) +
                                                           u"\" MQName=\"Q\">u</Username></r>"))),
              "");
    EXPECT_EQ(Access::replyQueueName(w()), "Q");
}

TEST_F(HostileRequestTest, HalfASurrogatePairIsAnsweredOnlyWhenTheQueueWasRead) {
    worker_test::ReplyQueue queue("MQ$HalfReply");
    const std::u16string half(1, kHighHalf);
    w().HandleXmlRequest(Write("after.xml", Utf16File(u"<r><Username MQName=\"MQ$HalfReply\" "
                                                      u"Action=\"1\" Subject=\"s" +
                                                      half + u"\">u</Username></r>")));
    EXPECT_EQ(queue.Take(), std::vector<std::string>{kWalkFailed});
    Fresh();
    w().HandleXmlRequest(Write("in.xml", Utf16File(u"<r><Username Action=\"1\" MQName=\"MQ$Half" +
                                                   half + u"\">u</Username></r>")));
    EXPECT_EQ(queue.Take(), std::vector<std::string>());
}

// The parser lets no half pair into text, but the walk does not rely on it:
// a "Username" element made by hand is walked as a parsed one would be.
TEST_F(HostileRequestTest, HalfASurrogatePairInTheUsernameTextFailsAtOnce) {
    using namespace xercesc;
    DOMImplementation *dom = DOMImplementationRegistry::getDOMImplementation(u"Core");
    ASSERT_NE(dom, nullptr);
    const std::u16string texts[] = {
        u"John" + std::u16string(1, kHighHalf),
        std::u16string(1, kLowHalf) + u"John",
        u"Jo" + std::u16string(1, kHighHalf) + u"hn",
    };
    for (const std::u16string &text : texts) {
        for (bool nested : {false, true}) {
            Fresh();
            DOMDocument *doc = dom->createDocument();
            DOMElement *root = doc->createElement(u"r");
            doc->appendChild(root);
            DOMElement *user = doc->createElement(u"Username");
            user->setAttribute(u"MQName", u"Q");
            root->appendChild(user);
            DOMNode *holder = user;
            if (nested)
                holder = user->appendChild(doc->createElement(u"i"));
            holder->appendChild(doc->createTextNode(text.c_str()));
            std::string error;
            try {
                w().receiveElements(root);
            } catch (const IPException &e) {
                error = e.message();
            }
            doc->release();
            EXPECT_EQ(error, kWalkFailed) << nested;
            EXPECT_EQ(Access::userName(w()), "") << nested;
        }
    }
}

// A request at the size limit whose elements each take a copy of an
// attribute default of its document type.
std::string DefaultsCopiedInto(const std::string &declarations, const std::string &element) {
    std::string xml = "<!DOCTYPE r [" + declarations + "]><r><Username MQName=\"Q\">u</Username>";
    const std::string end = "</r>";
    while (xml.size() + element.size() + end.size() <= kFileLimit)
        xml += element;
    return xml + end;
}

TEST_F(HostileRequestTest, AttributeDefaultsCannotMultiply) {
    std::string refs;
    for (int i = 0; i < 15; i++)
        refs += "&e;";
    std::string many;
    for (int i = 0; i < 100; i++)
        many += " a" + std::to_string(i) + " CDATA \"" + std::string(1000, 'z') + "\"";
    struct Case {
        const char *what;
        std::string xml;
    } cases[] = {
        {"a default made of an entity",
         DefaultsCopiedInto(
             "<!ENTITY e \"" + std::string(12000, 'x') + "\"><!ATTLIST n a CDATA \"" + refs + "\">",
             "<n/>")},
        {"a default written out",
         DefaultsCopiedInto("<!ATTLIST n a CDATA \"" + std::string(100000, 'y') + "\">", "<n/>")},
        {"many defaults of one element", DefaultsCopiedInto("<!ATTLIST n" + many + ">", "<n/>")},
        {"defaults of the Username element",
         DefaultsCopiedInto(
             "<!ATTLIST Username Message CDATA \"" + std::string(100000, 'm') + "\">",
             "<Username/>")},
        {"a fixed default in nested elements",
         DefaultsCopiedInto("<!ATTLIST n a CDATA #FIXED \"" + std::string(100000, 'f') + "\">",
                            "<n><n/></n>")},
    };
    for (const Case &c : cases) {
        ASSERT_LE(c.xml.size(), kFileLimit) << c.what;
        const std::string path = Write("defaults.xml", c.xml);
        Fresh();
        ResetPeakMemory();
        const long before = StatusKiB("VmRSS:");
        EXPECT_EQ(ParseError(w(), path), Unexpected()) << c.what;
        const long peak = StatusKiB("VmHWM:");
        ExpectUntouched(c.what);
        ASSERT_GT(before, 0);
        EXPECT_LT(peak - before, 64 * 1024) << "KiB more for " << c.what;

        // The worker goes on: its next request is read.
        ASSERT_EQ(
            ParseError(w(), Write("next.xml", "<r><Username MQName=\"Q\">next</Username></r>")), "")
            << c.what;
        EXPECT_EQ(Access::userName(w()), "next") << c.what;
    }
}

// A parse may run out of memory at any allocation, the parser's own making
// included: each such failure must end as one failed request, after which
// the same worker reads the next request whole.
TEST_F(HostileRequestTest, RunningOutOfMemoryAnywhereFailsOneRequest) {
    const std::string path = Write(
        "typical.xml",
        "<?xml version=\"1.0\"?><!DOCTYPE Request [<!ENTITY org \"Acme\">]><Request><Username "
        "MQName=\"MQ$Reply\" Action=\"2\" MailBox=\"mail\\jdoe\" Subject=\"Away\" "
        "Message=\"Back on Monday.&#10;&org;\" StartTimeYear=\"2031\" StartTimeMonth=\"3\" "
        "StartTimeDay=\"5\" EndTimeYear=\"2031\" EndTimeMonth=\"3\" EndTimeDay=\"12\">John "
        "Doe/&org;</Username></Request>");
    MemoryBudget &budget = Access::parserGuards(w())->memory();
    // What a new parser holds after one parse: a parse that failed must not
    // leave more behind, whatever the library lost on the way.
    ASSERT_EQ(ParseError(w(), path), "");
    const size_t held = budget.inUse();
    int failures = 0;
    int successes = 0;
    for (size_t limit = 0; limit <= 2u << 20 && successes < 3; limit += 1024) {
        SCOPED_TRACE(limit);
        budget.setLimit(limit);
        const std::string error = ParseError(w(), path);
        if (error.empty()) {
            successes++;
        } else {
            failures++;
            EXPECT_TRUE(error == Unexpected() || error == kWalkFailed) << error;
        }
        budget.setLimit(kParseMemoryBytes);
        Access::userName(w()).clear();
        ASSERT_EQ(ParseError(w(), path), "");
        EXPECT_EQ(Access::userName(w()), "John Doe/Acme");
        if (!error.empty()) {
            EXPECT_EQ(budget.inUse(), held);
        }
    }
    EXPECT_GT(failures, 10);
    EXPECT_EQ(successes, 3) << "no limit up to 2 MiB let the request through";
}

}  // namespace
