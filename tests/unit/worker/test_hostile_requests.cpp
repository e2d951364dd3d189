// Request files made to harm the server: none may reach a field, read
// another file, or make the worker's memory grow out of bound.
#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "worker_test_support.h"
#include "xml_string_translate.h"

namespace {

using Access = IPHCRTestAccess;
using worker_test::ParseError;
using worker_test::Unexpected;

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

// Peak memory of this process since the last ResetPeakMemory, in KiB.
void ResetPeakMemory() {
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
        const long before = StatusKiB("VmRSS:");
        ResetPeakMemory();
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

}  // namespace
