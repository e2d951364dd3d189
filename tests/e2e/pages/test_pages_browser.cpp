// The app set-up pages as a browser sees them: the real task writes each
// page for a request that notesctl sends, and headless Chromium loads it.
// The document that the browser built must hold the app link and the links
// into HCR.nsf, and a hostile login name must add nothing to it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "data_dir.h"
#include "json.h"
#include "process.h"
#include "test_support.h"

namespace {

using e2e::Background;
using e2e::Json;
using e2e::RunResult;

const char kVanterra[] = VANTERRA_PATH;
const char kChromium[] = CHROMIUM_PATH;
const char kArtefactDir[] = PAGES_ARTEFACT_DIR;
const char kStore[] = "https://apps.vanterra.example/halcyra/ios";

// One element of a document as the browser serialises it: its name, its
// attributes (values with their character references resolved) and the
// text right inside it, up to its first child element or its end.
struct Element {
    std::string name;
    std::map<std::string, std::string> attributes;
    std::vector<std::string> attributeOrder;
    std::string text;
    std::string Attribute(const std::string &name) const {
        auto at = attributes.find(name);
        return at == attributes.end() ? std::string() : at->second;
    }
};

std::string Unescape(const std::string &text) {
    static const std::pair<const char *, const char *> kReferences[] = {
        {"&quot;", "\""},       {"&lt;", "<"},  {"&gt;", ">"},
        {"&nbsp;", "\xC2\xA0"}, {"&#39;", "'"}, {"&amp;", "&"},
    };
    std::string plain;
    for (size_t i = 0; i < text.size();) {
        bool replaced = false;
        if (text[i] == '&') {
            for (const auto &r : kReferences) {
                if (text.compare(i, std::strlen(r.first), r.first) == 0) {
                    plain += r.second;
                    i += std::strlen(r.first);
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced)
            plain += text[i++];
    }
    return plain;
}

// The elements of a serialised document in document order. Chromium writes
// every attribute value in double quotes with its quotes and angle brackets
// as references, and text with its angle brackets as references, so a
// plain scan finds every element; the text of script and style elements is
// raw and skipped. Fails the test when the serialisation is not of that
// form.
std::vector<Element> ElementsOf(const std::string &dom) {
    std::vector<Element> elements;
    bool textOpen = false;  // whether text now is the last element's own
    size_t i = 0;
    auto fail = [&](const char *why) {
        ADD_FAILURE() << why << " at " << i << ": " << dom.substr(i, 80);
        i = dom.size();
    };
    while (i < dom.size()) {
        if (dom[i] != '<') {
            size_t end = dom.find('<', i);
            if (end == std::string::npos)
                end = dom.size();
            if (textOpen)
                elements.back().text += Unescape(dom.substr(i, end - i));
            i = end;
        } else if (dom.compare(i, 4, "<!--") == 0) {
            size_t end = dom.find("-->", i);
            i = end == std::string::npos ? dom.size() : end + 3;
        } else if (dom.compare(i, 2, "</") == 0 || dom.compare(i, 2, "<!") == 0) {
            textOpen = false;
            size_t end = dom.find('>', i);
            i = end == std::string::npos ? dom.size() : end + 1;
        } else {
            Element element;
            i++;
            while (i < dom.size() &&
                   (std::isalnum(static_cast<unsigned char>(dom[i])) || dom[i] == '-'))
                element.name += static_cast<char>(std::tolower(dom[i++]));
            if (element.name.empty()) {
                fail("a tag without a name");
                break;
            }
            while (i < dom.size() && dom[i] != '>') {
                if (dom[i] == ' ') {
                    i++;
                    continue;
                }
                std::string name;
                while (i < dom.size() && dom[i] != '=' && dom[i] != ' ' && dom[i] != '>')
                    name += dom[i++];
                std::string value;
                if (i < dom.size() && dom[i] == '=') {
                    if (dom.compare(i, 2, "=\"") != 0) {
                        fail("an attribute value without quotes");
                        break;
                    }
                    size_t end = dom.find('"', i + 2);
                    if (end == std::string::npos) {
                        fail("an attribute value without its end");
                        break;
                    }
                    value = Unescape(dom.substr(i + 2, end - i - 2));
                    i = end + 1;
                }
                element.attributeOrder.push_back(name);
                element.attributes[name] = value;
            }
            i++;  // the '>'
            const bool raw = element.name == "script" || element.name == "style";
            elements.push_back(element);
            textOpen = true;
            if (raw) {
                size_t end = dom.find("</" + element.name, i);
                i = end == std::string::npos ? dom.size() : end;
            }
        }
    }
    return elements;
}

// The elements' names and attribute names: what a hostile text must not
// change.
std::vector<std::string> ShapeOf(const std::vector<Element> &elements) {
    std::vector<std::string> shape;
    for (const Element &e : elements) {
        std::string s = e.name;
        for (const std::string &a : e.attributeOrder)
            s += " " + a;
        shape.push_back(s);
    }
    return shape;
}

// The anchors by their text.
std::map<std::string, std::string> LinksOf(const std::vector<Element> &elements) {
    std::map<std::string, std::string> links;
    for (const Element &e : elements) {
        if (e.name == "a")
            links[e.text] = e.Attribute("href");
    }
    return links;
}

// The end of the browser's error output: its last lines say why it failed,
// the many before them are its complaints about the missing system bus.
std::string Tail(const std::string &err) {
    return err.size() > 2000 ? err.substr(err.size() - 2000) : err;
}

class PagesInBrowser : public e2e::DataDirFixture {
  protected:
    void SetUp() override {
        DataDirFixture::SetUp();
        ASSERT_EQ(access(kChromium, X_OK), 0)
            << kChromium << " is missing: scripts/setup installs Debian's chromium";
        task = std::make_unique<Background>(
            std::vector<std::string>{kVanterra, "=" + dir() + "/notes.ini"}, file("console.txt"));
        bool up = e2e::WaitFor(
            [&] {
                return task->Output().find("Halcyra: Initialization Complete") !=
                           std::string::npos &&
                       Notesctl({"show", dir(), "queues"}).out.find("MQ$OutOfOffice ") !=
                           std::string::npos;
            },
            120);
        ASSERT_TRUE(up) << task->Output();
    }
    void TearDown() override {
        if (task) {
            Notesctl({"tell", dir(), "vanterra", "quit"});
            EXPECT_TRUE(task->Wait(120)) << task->Output();
        }
    }

    RunResult Notesctl(const std::vector<std::string> &args) { return e2e::Notesctl(args, 180); }

    void Import(const std::string &dxl) {
        static int n = 0;
        const std::string path = file("import" + std::to_string(n++) + ".xml");
        test_support::WriteFile(path, dxl);
        RunResult r = Notesctl({"import", dir(), "HCR.nsf", path});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    // The documents of HCR.nsf, as notesctl dump gives them.
    std::vector<Json> SettingsDocuments() {
        RunResult r = Notesctl({"dump", dir(), "HCR.nsf"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::vector<Json> documents;
        const Json dump = Json::Parse(r.out);
        for (const Json &note : dump["notes"].array()) {
            if (note["class"].number() == 1)
                documents.push_back(note);
        }
        return documents;
    }

    // Sends a page request for this login; the page as the task wrote it.
    std::string Page(const std::string &name, const std::string &loginName) {
        const std::string path = file(name);
        test_support::WriteFile(path,
                                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                "<Request><Username MQName=\"MQ$PageReply\" LoginName=\"" +
                                    loginName +
                                    "\" LoginServer=\"mail.acme.com\">jdoe</Username>"
                                    "</Request>\n");
        RunResult r = Notesctl({"request", dir(), path, "--timeout", "120"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "OK\n");
        const std::string prefix = "notesctl: reply file: ";
        const size_t at = r.err.find(prefix);
        EXPECT_NE(at, std::string::npos) << r.err;
        if (at == std::string::npos)
            return "";
        const size_t begin = at + prefix.size();
        return test_support::ReadFile(r.err.substr(begin, r.err.find('\n', begin) - begin));
    }

    // Loads the page in the browser as the HTML file it is served as; the
    // document the browser built, serialised. It and a screenshot of the
    // page are kept among the build's artefacts.
    std::vector<Element> Load(std::string name, const std::string &page) {
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".xml") == 0)
            name.resize(name.size() - 4);
        const std::string html = file(name + ".html");
        test_support::WriteFile(html, page);
        const std::string profile = file(name + ".profile");
        const std::vector<std::string> common = {
            kChromium,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--disable-quic",
            "--no-first-run",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            "--user-data-dir=" + profile,
        };
        std::vector<std::string> dump = common;
        dump.insert(dump.end(), {"--dump-dom", "file://" + html});
        RunResult r = e2e::Run(dump, 240);
        EXPECT_EQ(r.exitCode, 0) << Tail(r.err);
        EXPECT_FALSE(r.timedOut);
        test_support::WriteFile(std::string(kArtefactDir) + "/" + name + ".dom.html", r.out);

        const std::string shot = std::string(kArtefactDir) + "/" + name + ".png";
        unlink(shot.c_str());
        std::vector<std::string> screenshot = common;
        screenshot.insert(screenshot.end(),
                          {"--window-size=1024,768", "--screenshot=" + shot, "file://" + html});
        RunResult s = e2e::Run(screenshot, 240);
        EXPECT_EQ(s.exitCode, 0) << Tail(s.err);
        struct stat status;
        EXPECT_TRUE(stat(shot.c_str(), &status) == 0 && status.st_size > 0)
            << shot << ": " << Tail(s.err);
        return ElementsOf(r.out);
    }

    std::unique_ptr<Background> task;
};

// A login name that tries to end the link's attribute and bring in
// elements and attributes of its own, as XML writes it in a request.
const char kHostileXml[] =
    "j&quot; onclick=&quot;alert(1)&quot; x=&apos;&gt;&lt;script&gt;document.title=1"
    "&lt;/script&gt;&lt;img src=x onerror=alert(2)&gt;";
const char kHostile[] =
    "j\" onclick=\"alert(1)\" x='><script>document.title=1</script><img src=x onerror=alert(2)>";

TEST_F(PagesInBrowser, ConfigurePagesLinkTheAppAndHcrNsf) {
    struct Case {
        const char *name;
        std::map<std::string, std::string> links;  // besides the app link
        const char *icon;
    } cases[] = {
        {"ND_REQUEST_HCR_desktop.xml",
         {{"Download iPhone HCR App", kStore},
          {"Download Android HCR App Installer", "/HCR.nsf/HCR.apk"}},
         "/HCR.nsf/hcricon.png"},
        {"ND_REQUEST_MOBILE_HCR_phone.xml",
         {{"Download iPhone HCR App", kStore},
          {"Download Android HCR App Installer", "/HCR.nsf/HCR.apk"}},
         "/HCR.nsf/hcricon.png"},
    };
    for (const Case &c : cases) {
        const std::string name = c.name;
        const std::vector<Element> plain = Load(name, Page(name, "jdoe"));
        std::map<std::string, std::string> links = c.links;
        links["Configure HCR App"] =
            "halcyraapp://username=jdoe&server=mail.acme.com&ssl=1&connect=1&dateformat=Full";
        EXPECT_EQ(LinksOf(plain), links) << name;
        bool icon = false;
        for (const Element &e : plain)
            icon = icon || (e.name == "img" && e.Attribute("src") == c.icon);
        EXPECT_TRUE(icon) << name;
        if (name.find("MOBILE") == std::string::npos) {
            bool shortcut = false;
            for (const Element &e : plain) {
                shortcut = shortcut || (e.name == "link" && e.Attribute("rel") == "SHORTCUT ICON" &&
                                        e.Attribute("href") == "/HCR.nsf/favicon.ico");
            }
            EXPECT_TRUE(shortcut) << name;
        }

        const std::string hostileName = "hostile_" + name;
        const std::vector<Element> hostile = Load(hostileName, Page(hostileName, kHostileXml));
        EXPECT_EQ(ShapeOf(hostile), ShapeOf(plain)) << name;
        links["Configure HCR App"] = std::string("halcyraapp://username=") + kHostile +
                                     "&server=mail.acme.com&ssl=1&connect=1&dateformat=Full";
        EXPECT_EQ(LinksOf(hostile), links) << name;
    }
}

TEST_F(PagesInBrowser, IosPageLinksTheIconAndAddsNothingForAHostileLogin) {
    const std::vector<Element> plain =
        Load("ND_REQUEST_INSTALL_IOS_HCR_ios", Page("ND_REQUEST_INSTALL_IOS_HCR_ios.xml", "jdoe"));
    bool icon = false;
    for (const Element &e : plain)
        icon = icon || (e.name == "img" && e.Attribute("src") == "/HCR.nsf/hcricon.png");
    EXPECT_TRUE(icon);
    // The built-in page of a new settings document.
    EXPECT_EQ(
        LinksOf(plain),
        (std::map<std::string, std::string>{
            {"Download HCR App", kStore},
            {"Configure HCR App",
             "halcyraapp://username=jdoe&server=mail.acme.com&ssl=1&connect=1&dateformat=Full"},
        }));
    const std::vector<Element> hostile =
        Load("ND_REQUEST_INSTALL_IOS_HCR_hostile",
             Page("ND_REQUEST_INSTALL_IOS_HCR_hostile.xml", kHostileXml));
    EXPECT_EQ(ShapeOf(hostile), ShapeOf(plain));
}

// A fresh HCR.nsf: the first request of any kind makes this server's one
// settings document, and the administrator's settings in it reach the
// pages with the next request.
TEST_F(PagesInBrowser, TheSettingsDocumentIsMadeOnceAndItsSettingsReachThePages) {
    for (int i = 0; i < 3; i++) {
        const std::string path = file("read" + std::to_string(i) + ".xml");
        test_support::WriteFile(path,
                                "<Request><Username MQName=\"MQ$Read\" Action=\"1\">jdoe</Username>"
                                "</Request>");
        Notesctl({"request", dir(), path, "--timeout", "120"});
        const std::vector<Json> documents = SettingsDocuments();
        ASSERT_EQ(documents.size(), 1u) << "after request " << i;
    }
    const Json document = SettingsDocuments()[0];
    std::vector<std::string> names;
    std::map<std::string, const Json *> items;
    for (const Json &item : document["items"].array()) {
        names.push_back(item["name"].string());
        items[item["name"].string()] = &item;
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"Form", "Server", "DocAuthor", "useSSL", "connectOnStartup",
                                        "language", "AuthMethod", "InstallIOS"}));
    ASSERT_EQ(items.size(), 8u);
    EXPECT_EQ((*items["Form"])["value"].string(), "FServerLicense");
    const std::string server = (*items["Server"])["value"].string();
    EXPECT_FALSE(server.empty());
    const Json &authors = *items["DocAuthor"];
    EXPECT_EQ(authors["type"].number(), 0x0501);
    EXPECT_EQ(authors["flags"].number(), 0x0064);
    ASSERT_EQ(authors["value"].size(), 2u);
    EXPECT_EQ(authors["value"][0].string(), "LocalDomainServers");
    EXPECT_EQ(authors["value"][1].string(), "[SysAdmin]");
    EXPECT_EQ((*items["useSSL"])["value"].string(), "1");
    EXPECT_EQ((*items["language"])["value"].string(), "-No preference-");
    EXPECT_EQ((*items["InstallIOS"])["value"].string().size(), 748u);

    // The administrator's settings, in the same document.
    Import(
        "<?xml version='1.0' encoding='utf-8'?>\n<database><note class='document'>"
        "<noteinfo unid='" +
        document["unid"].string() +
        "'/>"
        "<item name='Form' summary='true'><text>FServerLicense</text></item>"
        "<item name='Server' summary='true'><text>" +
        server +
        "</text></item>"
        "<item name='DocAuthor' summary='true' authors='true'><textlist>"
        "<text>LocalDomainServers</text><text>[SysAdmin]</text></textlist></item>"
        "<item name='serverURL'><text>https://mail.acme.com</text></item>"
        "<item name='useSSL'><text>0</text></item>"
        "<item name='connectOnStartup'><text>1</text></item>"
        "<item name='language'><text>fr/CA</text></item>"
        "<item name='dateformat'><text>dd/MM/yyyy</text></item>"
        "<item name='AuthMethod'><text>-no pref</text></item>"
        "<item name='InstallIOS'><text>&lt;p&gt;Step 1&lt;/p&gt;\n"
        "&lt;a href='%Configure HCR App%'&gt;First&lt;/a&gt;\n"
        "&lt;a href=\"%Configure HCR App%\"&gt;Second&lt;/a&gt;</text></item>"
        "</note></database>\n");
    ASSERT_EQ(SettingsDocuments().size(), 1u);

    const std::string query = "&ssl=0&connect=1&lang=fr%2FCA&dateformat=dd%2FMM%2Fyyyy";
    const std::string link = "halcyraapp://username=jdoe&server=https://mail.acme.com" + query;
    const std::vector<Element> phone =
        Load("ND_REQUEST_MOBILE_HCR_settings", Page("ND_REQUEST_MOBILE_HCR_settings.xml", "jdoe"));
    EXPECT_EQ(LinksOf(phone)["Configure HCR App"], link);

    const std::string iosPage = Page("ND_REQUEST_INSTALL_IOS_HCR_settings.xml", "jdoe");
    EXPECT_NE(iosPage.find("<p>Step 1</p>\r\n<a href='" + link + "'>First</a>\r\n<a href=\"" +
                           link + "\">Second</a><br></body></html>"),
              std::string::npos)
        << iosPage;
    const std::vector<Element> ios = Load("ND_REQUEST_INSTALL_IOS_HCR_settings", iosPage);
    EXPECT_EQ(LinksOf(ios),
              (std::map<std::string, std::string>{{"First", link}, {"Second", link}}));
}

}  // namespace
