// The app set-up pages: what each page holds byte for byte, where the
// request's and the settings' texts go, and how the request file is
// replaced.
#include <dlfcn.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app_pages.h"
#include "worker_test_support.h"

namespace {

// When set, remove() fails as it does for a file that the folder lets
// nobody delete, so that the open finds the old request in place.
bool failRemove = false;

}  // namespace

// Every remove() of this program, the worker's among them, comes here.
extern "C" int remove(const char *path) {
    if (failRemove) {
        errno = EACCES;
        return -1;
    }
    using RemoveFn = int (*)(const char *);
    static RemoveFn real = reinterpret_cast<RemoveFn>(dlsym(RTLD_NEXT, "remove"));
    return real(path);
}

namespace {

using Replies = std::vector<std::string>;

const char kReplyQueue[] = "MQ$PageReply";
const char kStore[] = "https://apps.vanterra.example/halcyra/ios";

// The desktop configure page for "apps" and the app link
// halcyraapp://username=jdoe&server=mail.acme.com&ssl=1&connect=1&dateformat=Full.
const std::string kDesktopPage =
    R"P(<html><head><span style="font-family: arial,helvetica,sans-serif;"><title>Quorvane Halcyra</title><link href="apps/HCR.nsf/favicon.ico" rel="SHORTCUT ICON"><style type="text/css"> h3 {font-size:20px;} body {font-size:16px;}</style></span></head>)P"
    R"P(<body><span style="font-family: arial,helvetica,sans-serif;"><H3><img src="apps/HCR.nsf/hcricon.png"> Quorvane Halcyra</H3><H3>Program Version 2.3.1 Build 2051</H3></span>)P"
    R"P(<br><br><HR>)P"
    R"P(<BR><span style="font-family: arial,helvetica,sans-serif;"><A href="https://apps.vanterra.example/halcyra/ios">Download iPhone HCR App</A></span>)P"
    R"P(<BR><BR><span style="font-family: arial,helvetica,sans-serif;"><A href="apps/HCR.nsf/HCR.apk">Download Android HCR App Installer</A></span>)P"
    R"P(<br><br><HR>)P"
    R"P(<BR><span style="font-family: arial,helvetica,sans-serif;"><A target="_blank" href="halcyraapp://username=jdoe&server=mail.acme.com&ssl=1&connect=1&dateformat=Full">Configure HCR App</A></span>)P"
    R"P(<br><br><HR><br></body></html>)P";

// The phone configure page for an empty product folder and the app link
// halcyraapp://username=jdoe&server=https://mail.acme.com&ssl=0.
const std::string kPhonePage =
    R"P(<html><span style="font-size:52px;"><img style="wisth: 100px;height: 100px" src="/HCR.nsf/hcricon.png">&nbsp<strong><span style="font-family: arial,helvetica,sans-serif;">Quorvane Halcyra<br />Program Version 2.3.1 Build 2051</span></strong></span></p>)P"
    R"P(<br><br><HR>)P"
    R"P(<BR><BR><span style="font-size:40px;font-family: arial,helvetica,sans-serif;"><A href="https://apps.vanterra.example/halcyra/ios">Download iPhone HCR App</A></span>)P"
    R"P(<br><br>)P"
    R"P(<BR><BR><span style="font-size:40px;font-family: arial,helvetica,sans-serif;"><A href="/HCR.nsf/HCR.apk">Download Android HCR App Installer</A></span>)P"
    R"P(<br><br><HR>)P"
    R"P(<BR><span style="font-size:40px;font-family: arial,helvetica,sans-serif;"><A target="_blank" href="halcyraapp://username=jdoe&server=https://mail.acme.com&ssl=0">Configure HCR App</A></span>)P"
    R"P(<br></body></html>)P";

// What every iOS install page for "apps" holds around its body.
const std::string kIosHead =
    R"P(<html><head><meta name = "viewport" content = "width = device-width"><title>Installation and Setup Instructions for iOS devices</title></head><body>)P"
    R"P(<img src="apps/HCR.nsf/hcricon.png">&nbsp<strong><span style="font-family: arial,helvetica,sans-serif;"><span style="font-size:20px;">Quorvane Halcyra</span><br /><span style="font-size:18px;">Program Version 2.3.1 Build 2051</span></span></strong></span></p><hr><br>)P";
const std::string kIosTail = "<br></body></html>";

class AppPagesTest : public test_support::DataDirTest {
  protected:
    void SetUp() override {
        DataDirTest::SetUp();
        queue.reset(new worker_test::ReplyQueue(kReplyQueue));
    }
    void TearDown() override {
        failRemove = false;
        queue.reset();
        DataDirTest::TearDown();
    }
    // A page request whose "Username" element has these attributes besides
    // "MQName"; attribute values as XML writes them.
    std::string Request(const std::string &kind, const std::string &attributes) {
        const std::string path = files.file(kind + std::to_string(++count) + ".xml");
        test_support::WriteFile(path, std::string("<Request><Username MQName=\"") + kReplyQueue +
                                          "\" " + attributes + ">jdoe</Username></Request>");
        return path;
    }
    Replies Take() { return queue->Take(); }

    test_support::TempDir files;
    std::unique_ptr<worker_test::ReplyQueue> queue;
    int count = 0;
};

const char kJdoe[] = "LoginName=\"jdoe\" LoginServer=\"mail.acme.com\"";

TEST_F(AppPagesTest, DesktopPageIsThePiecesWithTheLoginInTheAppLink) {
    const std::string path = Request("ND_REQUEST_HCR_", kJdoe);
    IPHCR worker;
    worker.HandleAppConfigRequest(path, "apps", "", "&ssl=1&connect=1&dateformat=Full");
    EXPECT_EQ(Take(), Replies{"OK"});
    EXPECT_EQ(test_support::ReadFile(path), kDesktopPage);
    EXPECT_EQ(kAppStoreAddress, std::string(kStore));
}

TEST_F(AppPagesTest, PhonePageTakesTheServerUrlOverTheLoginServer) {
    const std::string path = Request("ND_REQUEST_MOBILE_HCR_", kJdoe);
    IPHCR worker;
    worker.HandleMobileRequest(path, "", "https://mail.acme.com", "&ssl=0");
    EXPECT_EQ(Take(), Replies{"OK"});
    EXPECT_EQ(test_support::ReadFile(path), kPhonePage);
}

TEST_F(AppPagesTest, IosPageReplacesEachPlaceholderOnceAndWritesLinesAsCrLf) {
    const std::string link = "halcyraapp://username=jdoe&server=mail.acme.com";
    struct Case {
        const char *what;
        std::string login;  // the "LoginName" attribute as XML writes it
        std::string body;   // the page from the settings
        std::string written;
    } cases[] = {
        {"two placeholders on several lines", "jdoe",
         "<p>Step 1</p>\n<a href='%Configure HCR App%&ssl=1'>one</a>\n"
         "<a href=\"%Configure HCR App%&ssl=1\">two</a>\nend",
         "<p>Step 1</p>\r\n<a href='" + link + "&ssl=1'>one</a>\r\n<a href=\"" + link +
             "&ssl=1\">two</a>\r\nend"},
        {"no placeholder", "jdoe", "<b>nothing to link</b>", "<b>nothing to link</b>"},
        {"placeholders side by side", "jdoe", "%Configure HCR App%%Configure HCR App%",
         link + link},
        {"in another case", "jdoe", "%configure HCR App%", "%configure HCR App%"},
        {"a login that holds the placeholder", "%Configure HCR App%", "[%Configure HCR App%]",
         "[halcyraapp://username=%Configure HCR App%&server=mail.acme.com]"},
        {"empty", "jdoe", "", ""},
    };
    for (const Case &c : cases) {
        const std::string path =
            Request("ND_REQUEST_INSTALL_IOS_HCR_",
                    "LoginName=\"" + c.login + "\" LoginServer=\"mail.acme.com\"");
        IPHCR worker;
        worker.HandleInstallIosRequest(path, "apps", "", c.body);
        EXPECT_EQ(Take(), Replies{"OK"}) << c.what;
        EXPECT_EQ(test_support::ReadFile(path), kIosHead + c.written + kIosTail) << c.what;
    }
}

// What the request and the settings bring into a link cannot end its
// attribute: quotes and angle brackets arrive as character references.
TEST_F(AppPagesTest, HostileTextsStayInsideTheirAttribute) {
    const std::string hostile =
        "x&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;&apos; onclick=&apos;";
    const std::string escaped =
        "x&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;&#39; onclick=&#39;";
    const std::string attributes = "LoginName=\"" + hostile + "\" LoginServer=\"s&lt;b&gt;\"";
    {
        const std::string path = Request("ND_REQUEST_HCR_", attributes);
        IPHCR worker;
        worker.HandleAppConfigRequest(path, "a\"b", "", "&lang='fr'");
        const std::string page = test_support::ReadFile(path);
        EXPECT_NE(page.find("href=\"halcyraapp://username=" + escaped +
                            "&server=s&lt;b&gt;&lang=&#39;fr&#39;\">"),
                  std::string::npos)
            << page;
        EXPECT_NE(page.find("<link href=\"a&quot;b/HCR.nsf/favicon.ico\""), std::string::npos);
        EXPECT_EQ(page.find("<script"), std::string::npos);
    }
    {
        const std::string path = Request("ND_REQUEST_MOBILE_HCR_", attributes);
        IPHCR worker;
        worker.HandleMobileRequest(path, "", "https://x/\"><img src=x>", "");
        const std::string page = test_support::ReadFile(path);
        EXPECT_NE(page.find("&server=https://x/&quot;&gt;&lt;img src=x&gt;\">Configure"),
                  std::string::npos)
            << page;
        EXPECT_EQ(page.find("<script"), std::string::npos);
        EXPECT_EQ(page.find("<img src=x"), std::string::npos);
    }
    {
        // The administrator's own HTML around the placeholder stays as it is.
        const std::string path = Request("ND_REQUEST_INSTALL_IOS_HCR_", attributes);
        IPHCR worker;
        worker.HandleInstallIosRequest(path, "apps", "", "<i>'%Configure HCR App%'</i>");
        EXPECT_EQ(test_support::ReadFile(path), kIosHead + "<i>'halcyraapp://username=" + escaped +
                                                    "&server=s&lt;b&gt;'</i>" + kIosTail);
    }
    EXPECT_EQ(Take(), (Replies{"OK", "OK", "OK"}));
    EXPECT_EQ(EscapeForAttribute("plain & simple/%2F?=é"), "plain & simple/%2F?=é");
}

// The page replaces the request file whole; an old request that could not
// be removed is cut, and nothing but a plain file in the request's place is
// ever written.
TEST_F(AppPagesTest, ThePageReplacesTheRequestFileAndNothingElse) {
    const std::string path = Request("ND_REQUEST_HCR_", kJdoe);
    const std::string longRequest =
        test_support::ReadFile(path) + "<!--" + std::string(20000, ' ') + "TAIL-->";
    test_support::WriteFile(path, longRequest);
    failRemove = true;
    IPHCR worker;
    worker.HandleAppConfigRequest(path, "apps", "", "&ssl=1&connect=1&dateformat=Full");
    EXPECT_EQ(Take(), Replies{"OK"});
    EXPECT_EQ(test_support::ReadFile(path), kDesktopPage);

    // A link planted in the request's place is not followed, and a FIFO is
    // not opened for ever.
    const std::string target = files.file("target.txt");
    test_support::WriteFile(target, "keep me");
    const std::string link = files.file("ND_REQUEST_HCR_link.xml");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(worker.WriteAppConfigPage(link, "", "", ""), "Fail Open xml file (" + link + ")");
    EXPECT_EQ(test_support::ReadFile(target), "keep me");

    const std::string fifo = files.file("ND_REQUEST_HCR_fifo.xml");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(worker.WriteMobileConfigPage(fifo, "", "", ""), "Fail Open xml file (" + fifo + ")");
    failRemove = false;

    // Removed, the link goes and the page takes its place; the target stays.
    EXPECT_EQ(worker.WriteAppConfigPage(link, "", "", ""), "OK");
    struct stat status;
    ASSERT_EQ(lstat(link.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(
        status.st_mode & 0777, 0600u & ~[] {
            mode_t mask = umask(0);
            umask(mask);
            return mask;
        }());
    EXPECT_EQ(test_support::ReadFile(target), "keep me");
}

TEST_F(AppPagesTest, OpenAndWriteFailuresAreTheReply) {
    IPHCR worker;
    // A folder that is not there: the page cannot be made.
    const std::string missing = files.file("gone/ND_REQUEST_HCR_1.xml");
    EXPECT_EQ(worker.WriteIosInstallPage(missing, "", "", "x"),
              "Fail Open xml file (" + missing + ")");

    // A folder in the request's place, which remove cannot take: it stays
    // with what it holds.
    const std::string folder = files.file("ND_REQUEST_HCR_dir.xml");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    test_support::WriteFile(folder + "/inside", "kept");
    EXPECT_EQ(worker.WriteAppConfigPage(folder, "", "", ""), "Fail Open xml file (" + folder + ")");
    EXPECT_EQ(test_support::ReadFile(folder + "/inside"), "kept");

    // A file size limit below the page: the write stops short, and that is
    // no "OK".
    const std::string path = Request("ND_REQUEST_MOBILE_HCR_", kJdoe);
    struct rlimit before;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = before;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    worker.HandleMobileRequest(path, "", "", "");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(Take(), Replies{"Fail Write xml file (" + path + ")"});
    EXPECT_EQ(test_support::ReadFile(path).size(), 100u);
}

}  // namespace
