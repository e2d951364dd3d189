// The server's settings document in HCR.nsf and the app settings derived
// from it.
#include <cstring>
#include <string>
#include <vector>

#include "notes_api.h"
#include "server_settings.h"
#include "standin/fault.h"
#include "standin/nsf.h"
#include "standin/runtime.h"
#include "test_support.h"

namespace {

const char kServer[] = "CN=Vanterra Test/O=Acme";
const char kStore[] = "https://apps.vanterra.example/halcyra/ios";
const std::string kDefaultQuery = "&ssl=1&connect=1&dateformat=Full";

std::string Lmbcs(const std::string &utf8) {
    std::string out(3 * utf8.size() + 1, '\0');
    WORD n = OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, utf8.data(), static_cast<WORD>(utf8.size()),
                         &out[0], static_cast<WORD>(out.size()));
    out.resize(n);
    return out;
}

// One item of a note as the tests look at it.
struct Item {
    std::string name;
    WORD flags = 0;
    WORD type = 0;
    std::vector<std::string> texts;
};

// Every item of the note, in order.
std::vector<Item> ItemsOf(NOTEHANDLE note) {
    std::vector<Item> items;
    BLOCKID item;
    STATUS status = NSFItemInfo(note, nullptr, 0, &item, nullptr, nullptr, nullptr);
    while (status == NOERROR) {
        Item i;
        char name[256];
        WORD nameLength = 0;
        NSFItemQuery(note, item, name, sizeof name, &nameLength, &i.flags, &i.type, nullptr,
                     nullptr);
        i.name.assign(name, nameLength);
        items.push_back(i);
        status = NSFItemInfoNext(note, item, nullptr, 0, &item, nullptr, nullptr, nullptr);
    }
    return items;
}

// The entries of the index-th item of that name.
std::vector<std::string> TextsOf(NOTEHANDLE note, const char *name, int index = 0) {
    BLOCKID item, value;
    DWORD length = 0;
    WORD type = 0;
    STATUS status = NSFItemInfo(note, name, static_cast<WORD>(std::strlen(name)), &item, &type,
                                &value, &length);
    for (int i = 0; i < index && status == NOERROR; i++) {
        status = NSFItemInfoNext(note, item, name, static_cast<WORD>(std::strlen(name)), &item,
                                 &type, &value, &length);
    }
    std::vector<std::string> texts;
    if (status != NOERROR)
        return texts;
    const char *bytes = OSLockBlock(char, value);
    if (type == TYPE_TEXT) {
        texts.emplace_back(bytes + sizeof(WORD), length - sizeof(WORD));
    } else if (type == TYPE_TEXT_LIST) {
        const void *list = bytes;
        WORD count = ListGetNumEntries(list, TRUE);
        for (WORD e = 0; e < count; e++) {
            char *text = nullptr;
            WORD textLength = 0;
            if (ListGetText(list, TRUE, e, &text, &textLength) == NOERROR)
                texts.emplace_back(text, textLength);
        }
    }
    OSUnlockBlock(value);
    return texts;
}

class ServerSettingsTest : public test_support::DataDirTest {
  protected:
    void SetUp() override {
        DataDirTest::SetUp();
        ASSERT_NOERROR(NSFDbCreate("HCR.nsf", DBCLASS_NOTEFILE, FALSE));
        ASSERT_NOERROR(NSFDbOpen("HCR.nsf", &db));
    }
    void TearDown() override {
        StandinFaultClear();
        if (db != NULLHANDLE)
            NSFDbClose(db);
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), 0u) << "a handle was left open";
        DataDirTest::TearDown();
    }

    // The view the templates give HCR.nsf: the settings documents by their
    // server's name.
    void AddSetupView() {
        NOTEHANDLE view = NULLHANDLE;
        ASSERT_NOERROR(NSFNoteCreate(db, &view));
        WORD cls = NOTE_CLASS_VIEW;
        NSFNoteSetInfo(view, _NOTE_CLASS, &cls);
        ASSERT_NOERROR(NSFItemSetText(view, "$TITLE", "(Setup Doc)", MAXWORD));
        ASSERT_NOERROR(
            NSFItemSetText(view, "$SelectionFormula", "SELECT Form = \"FServerLicense\"", MAXWORD));
        ASSERT_NOERROR(NSFItemSetText(view, "$KeyFormula", "Server", MAXWORD));
        ASSERT_NOERROR(NSFNoteUpdate(view, 0));
        NSFNoteClose(view);
    }

    // A settings document with these texts (UTF-8, stored as LMBCS).
    NOTEID AddSettings(const std::vector<std::pair<std::string, std::string>> &texts,
                       const char *server = kServer) {
        NOTEHANDLE note = NULLHANDLE;
        EXPECT_NOERROR(NSFNoteCreate(db, &note));
        EXPECT_NOERROR(NSFItemSetText(note, "Form", "FServerLicense", MAXWORD));
        EXPECT_NOERROR(NSFItemSetText(note, "Server", server, MAXWORD));
        for (const auto &t : texts) {
            const std::string value = Lmbcs(t.second);
            EXPECT_NOERROR(NSFItemSetText(note, t.first.c_str(), value.data(),
                                          static_cast<WORD>(value.size())));
        }
        EXPECT_NOERROR(NSFNoteUpdate(note, 0));
        NOTEID id = 0;
        NSFNoteGetInfo(note, _NOTE_ID, &id);
        NSFNoteClose(note);
        return id;
    }

    // The note IDs of the database's documents.
    std::vector<NOTEID> Documents() {
        DWORD count = 0;
        EXPECT_NOERROR(StandinDbNoteIDs(db, nullptr, 0, &count));
        std::vector<NOTEID> ids(count);
        EXPECT_NOERROR(StandinDbNoteIDs(db, ids.data(), count, &count));
        std::vector<NOTEID> documents;
        for (NOTEID id : ids) {
            NOTEHANDLE note = NULLHANDLE;
            if (NSFNoteOpen(db, id, 0, &note) != NOERROR)
                continue;
            WORD cls = 0;
            NSFNoteGetInfo(note, _NOTE_CLASS, &cls);
            if (cls == NOTE_CLASS_DOCUMENT)
                documents.push_back(id);
            NSFNoteClose(note);
        }
        return documents;
    }

    DWORD SequenceOf(NOTEID id) {
        NOTEHANDLE note = NULLHANDLE;
        EXPECT_NOERROR(NSFNoteOpen(db, id, 0, &note));
        OID oid;
        NSFNoteGetInfo(note, _NOTE_OID, &oid);
        NSFNoteClose(note);
        return oid.Sequence;
    }

    struct Settings {
        std::string url = "url untouched", page = "page untouched", query = "query untouched";
    };
    Settings Build(const char *server = kServer) {
        Settings s;
        BuildServerAppSettings(server, "", s.url, s.page, s.query);
        return s;
    }

    // The built-in page as it reaches a request: the store's address in it,
    // the query string behind its configure placeholder.
    static std::string BuiltInPageWith(const std::string &query) {
        std::string page = kBuiltInIosPage;
        page.replace(page.find("%Download HCR App%"), 18, kStore);
        page.insert(page.find("%Configure HCR App%") + 19, query);
        return page;
    }

    DBHANDLE db = NULLHANDLE;
};

TEST_F(ServerSettingsTest, TheFirstReadCreatesOneDocumentWithTheDefaultsAndNoMore) {
    AddSetupView();
    const Settings s = Build();
    EXPECT_EQ(s.url, "");
    EXPECT_EQ(s.query, kDefaultQuery);
    EXPECT_EQ(s.page, BuiltInPageWith(kDefaultQuery));
    EXPECT_EQ(std::strlen(kBuiltInIosPage), 748u);

    const std::vector<NOTEID> documents = Documents();
    ASSERT_EQ(documents.size(), 1u);
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(db, documents[0], 0, &note));
    std::vector<Item> items = ItemsOf(note);
    std::vector<std::string> names;
    for (const Item &i : items)
        names.push_back(i.name);
    EXPECT_EQ(names,
              (std::vector<std::string>{"Form", "Server", "DocAuthor", "useSSL", "connectOnStartup",
                                        "language", "AuthMethod", "InstallIOS"}));
    ASSERT_EQ(items.size(), 8u);
    EXPECT_EQ(items[2].type, TYPE_TEXT_LIST);
    EXPECT_EQ(items[2].flags, ITEM_SUMMARY | ITEM_READWRITERS | ITEM_NAMES);
    EXPECT_EQ(items[2].flags, 0x0064);
    EXPECT_EQ(TextsOf(note, "Form"), std::vector<std::string>{"FServerLicense"});
    EXPECT_EQ(TextsOf(note, "Server"), std::vector<std::string>{kServer});
    EXPECT_EQ(TextsOf(note, "DocAuthor"),
              (std::vector<std::string>{"LocalDomainServers", "[SysAdmin]"}));
    EXPECT_EQ(TextsOf(note, "useSSL"), std::vector<std::string>{"1"});
    EXPECT_EQ(TextsOf(note, "connectOnStartup"), std::vector<std::string>{"1"});
    EXPECT_EQ(TextsOf(note, "language"), std::vector<std::string>{"-No preference-"});
    EXPECT_EQ(TextsOf(note, "AuthMethod"), std::vector<std::string>{"-No preference-"});
    EXPECT_EQ(TextsOf(note, "InstallIOS"), std::vector<std::string>{kBuiltInIosPage});
    NSFNoteClose(note);

    // Later reads find it (by the name in any case) and change nothing.
    const DWORD sequence = SequenceOf(documents[0]);
    for (const char *server : {kServer, "cn=vanterra test/o=ACME"}) {
        const Settings again = Build(server);
        EXPECT_EQ(again.query, kDefaultQuery);
        EXPECT_EQ(again.page, s.page);
    }
    EXPECT_EQ(Documents(), documents);
    EXPECT_EQ(SequenceOf(documents[0]), sequence) << "saved although nothing changed";

    // Another server gets a document of its own.
    Build("CN=Other/O=Acme");
    EXPECT_EQ(Documents().size(), 2u);
}

TEST_F(ServerSettingsTest, TheQueryStringFollowsTheSettings) {
    AddSetupView();
    struct Case {
        const char *what;
        std::vector<std::pair<std::string, std::string>> texts;
        std::string query;
    } cases[] = {
        {"ssl off, connect off",
         {{"useSSL", "0"}, {"connectOnStartup", "0"}},
         "&ssl=0&connect=0&dateformat=Full"},
        {"begins with 0",
         {{"useSSL", "0ff"}, {"connectOnStartup", "no"}},
         "&ssl=0&connect=1&dateformat=Full"},
        {"a language, a method",
         {{"language", "fr"}, {"AuthMethod", "Basic"}},
         "&ssl=1&connect=1&lang=fr&dateformat=Full&method=Basic"},
        {"prefixes of -No preference- in any case",
         {{"language", "-no PREF"}, {"AuthMethod", "-"}},
         kDefaultQuery},
        {"longer than -No preference-",
         {{"language", "-No preference-s"}},
         "&ssl=1&connect=1&lang=-No preference-s&dateformat=Full"},
        {"slashes",
         {{"language", "fr/CA"}, {"dateformat", "dd/MM/yyyy"}},
         "&ssl=1&connect=1&lang=fr%2FCA&dateformat=dd%2FMM%2Fyyyy"},
        {"LMBCS to UTF-8",
         {{"language",
           "fran\xC3\xA7"
           "ais"}},
         "&ssl=1&connect=1&lang=fran\xC3\xA7"
         "ais&dateformat=Full"},
    };
    for (const Case &c : cases) {
        const NOTEID id = AddSettings(c.texts);
        const Settings s = Build();
        EXPECT_EQ(s.query, c.query) << c.what;
        EXPECT_EQ(s.page, BuiltInPageWith(c.query)) << c.what;
        ASSERT_NOERROR(NSFNoteDelete(db, id, 0));
    }
}

TEST_F(ServerSettingsTest, TheServerUrlAndTheAdministratorsIosPage) {
    AddSetupView();
    // Lines as the item holds them, apart by NUL bytes; two placeholders,
    // and a setting that itself holds one.
    const std::string page = std::string("<p>Step 1: <a href='%Download HCR App%'>get it</a></p>") +
                             '\0' + "<a href=\"%Configure HCR App%\">configure</a>" + '\0' +
                             "<a href='%Configure HCR App%'>again</a>";
    AddSettings({{"serverURL", "https://mail.acme.com/caf\xC3\xA9"},
                 {"InstallIOS", page},
                 {"language", "x%Configure HCR App%'"}});
    const Settings s = Build();
    EXPECT_EQ(s.url, "https://mail.acme.com/caf\xC3\xA9");
    const std::string query = "&ssl=1&connect=1&lang=x%Configure HCR App%'&dateformat=Full";
    EXPECT_EQ(s.query, query);
    // In the page the query string is attribute text: its apostrophe as a
    // reference, so that it cannot end the administrator's quotes.
    const std::string inPage = "&ssl=1&connect=1&lang=x%Configure HCR App%&#39;&dateformat=Full";
    EXPECT_EQ(s.page, std::string("<p>Step 1: <a href='") + kStore + "'>get it</a></p>\n" +
                          "<a href=\"%Configure HCR App%" + inPage + "\">configure</a>\n" +
                          "<a href='%Configure HCR App%" + inPage + "'>again</a>");
}

TEST_F(ServerSettingsTest, ReaderNamesMoveIntoASecondAuthorsItem) {
    AddSetupView();
    struct Case {
        const char *what;
        std::vector<std::string> readers;
        std::vector<std::string> moved;  // the second "DocAuthor"; none when empty
    } cases[] = {
        {"three names and an empty one",
         {"CN=Ann/O=Acme", "", "[Admins]", "LocalDomainServers"},
         {"CN=Ann/O=Acme", "[Admins]", "LocalDomainServers"}},
        {"none", {}, {}},
    };
    for (const Case &c : cases) {
        const NOTEID id = AddSettings({});
        NOTEHANDLE note = NULLHANDLE;
        ASSERT_NOERROR(NSFNoteOpen(db, id, 0, &note));
        // The first authors item as an older document has it.
        ASSERT_NOERROR(NSFItemAppend(note, ITEM_SUMMARY | ITEM_READWRITERS | ITEM_NAMES,
                                     "DocAuthor", 9, TYPE_TEXT, "[Old]", 5));
        DHANDLE list = NULLHANDLE;
        WORD size = 0;
        ASSERT_NOERROR(ListAllocate(0, 0, FALSE, &list, nullptr, &size));
        for (size_t i = 0; i < c.readers.size(); i++) {
            ASSERT_NOERROR(ListAddEntry(list, FALSE, &size, static_cast<WORD>(i),
                                        c.readers[i].data(),
                                        static_cast<WORD>(c.readers[i].size())));
        }
        ASSERT_NOERROR(NSFItemAppend(note, ITEM_SUMMARY | ITEM_READERS | ITEM_NAMES, "DocReader", 9,
                                     TYPE_TEXT_LIST, OSLockObject(list), size));
        OSUnlockObject(list);
        OSMemFree(list);
        ASSERT_NOERROR(NSFNoteUpdate(note, 0));
        NSFNoteClose(note);

        Build();
        ASSERT_NOERROR(NSFNoteOpen(db, id, 0, &note));
        EXPECT_EQ(TextsOf(note, "DocAuthor", 0), std::vector<std::string>{"[Old]"}) << c.what;
        EXPECT_EQ(TextsOf(note, "DocAuthor", 1), c.moved) << c.what;
        EXPECT_FALSE(NSFItemInfo(note, "DocReader", 9, nullptr, nullptr, nullptr, nullptr) ==
                     NOERROR)
            << c.what;
        for (const Item &i : ItemsOf(note)) {
            if (i.name == "DocAuthor") {
                EXPECT_EQ(i.flags, 0x0064) << c.what;
            }
        }
        NSFNoteClose(note);

        // An append that fails keeps the names where they are.
        if (!c.readers.empty()) {
            const NOTEID kept = AddSettings({});
            ASSERT_NOERROR(NSFNoteOpen(db, kept, 0, &note));
            ASSERT_NOERROR(NSFItemSetText(note, "DocReader", "CN=Bob/O=Acme", MAXWORD));
            ASSERT_NOERROR(NSFNoteUpdate(note, 0));
            NSFNoteClose(note);
            ASSERT_NOERROR(NSFNoteDelete(db, id, 0));
            StandinFaultInject({"NSFItemAppend", ERR_FAULT_INJECTED, 0, 0, nullptr});
            Build();
            StandinFaultClear();
            ASSERT_NOERROR(NSFNoteOpen(db, kept, 0, &note));
            EXPECT_EQ(TextsOf(note, "DocReader"), std::vector<std::string>{"CN=Bob/O=Acme"});
            EXPECT_EQ(TextsOf(note, "DocAuthor"), std::vector<std::string>{});
            NSFNoteClose(note);
            ASSERT_NOERROR(NSFNoteDelete(db, kept, 0));
        } else {
            ASSERT_NOERROR(NSFNoteDelete(db, id, 0));
        }
    }
}

// A settings document is made only when the view surely has none: a view
// that cannot be read, or a creation that stops before the document could
// be found again, makes none and leaves the caller's texts alone.
TEST_F(ServerSettingsTest, FailuresCreateNothingAndLeaveTheTextsAlone) {
    struct Fault {
        const char *call;
        unsigned skip;
    } faults[] = {
        {"NIFFindDesignNoteExt", 0}, {"NIFOpenCollection", 0}, {"NIFFindByName", 0},
        {"NIFReadEntries", 0},       {"NSFNoteOpen", 0},       {"NSFDbOpen", 0},
    };
    // A database without the view: nothing is made.
    EXPECT_EQ(Build().query, "query untouched");
    EXPECT_TRUE(Documents().empty());

    AddSetupView();
    // Nor for a server without a name, whose document the view could never
    // find.
    EXPECT_EQ(Build("").query, "query untouched");
    EXPECT_TRUE(Documents().empty());

    const NOTEID existing = AddSettings({{"serverURL", "https://mail.acme.com"}});
    for (const Fault &f : faults) {
        StandinFaultInject({f.call, ERR_FAULT_INJECTED, f.skip, 0, nullptr});
        const Settings s = Build();
        const unsigned hits = StandinFaultHits(f.call);
        StandinFaultClear();
        EXPECT_GT(hits, 0u) << f.call;
        EXPECT_EQ(s.url, "url untouched") << f.call;
        EXPECT_EQ(s.query, "query untouched") << f.call;
        EXPECT_EQ(s.page, "page untouched") << f.call;
        EXPECT_EQ(Documents(), std::vector<NOTEID>{existing}) << f.call;
    }
    EXPECT_EQ(Build().url, "https://mail.acme.com");

    // A new document whose "Form" or "Server" could not be set is dropped;
    // the next message makes a whole one.
    ASSERT_NOERROR(NSFNoteDelete(db, existing, 0));
    for (unsigned skip : {0u, 1u}) {
        StandinFaultInject({"NSFItemSetText", ERR_FAULT_INJECTED, skip, 1, nullptr});
        const Settings s = Build();
        StandinFaultClear();
        EXPECT_EQ(s.query, "query untouched") << skip;
        EXPECT_TRUE(Documents().empty()) << skip;
    }
    EXPECT_EQ(Build().query, kDefaultQuery);
    EXPECT_EQ(Documents().size(), 1u);
}

TEST_F(ServerSettingsTest, SetTextItemIfChangedWritesOnlyADifferentText) {
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteCreate(db, &note));
    const std::string longText(600, 'x');
    struct Case {
        const char *what;
        bool present;
        std::string stored, value;
        bool writes;
    } cases[] = {
        {"same text", true, "1", "1", false},
        {"another text", true, "1", "0", true},
        {"a longer text", true, "1", "10", true},
        {"a prefix", true, "10", "1", true},
        {"empty over empty", true, "", "", false},
        {"a text over empty", true, "", "1", true},
        {"empty over a text", true, "1", "", true},
        {"absent", false, "", "1", true},
        {"absent, empty", false, "", "", true},
        {"longer than the read buffer, equal", true, longText, longText, true},
    };
    for (const Case &c : cases) {
        NSFItemDelete(note, "useSSL", 6);
        if (c.present) {
            ASSERT_NOERROR(NSFItemSetText(note, "useSSL", c.stored.data(),
                                          static_cast<WORD>(c.stored.size())));
        }
        for (int32_t before : {0, 1}) {
            int32_t changed = before;
            EXPECT_NOERROR(SetTextItemIfChanged(note, "useSSL", c.value, &changed));
            EXPECT_EQ(changed, c.writes ? 1 : before) << c.what;
            EXPECT_EQ(TextsOf(note, "useSSL"),
                      std::vector<std::string>{c.writes ? c.value : c.stored})
                << c.what;
            if (c.present) {  // back to the stored text for the second round
                NSFItemDelete(note, "useSSL", 6);
                ASSERT_NOERROR(NSFItemSetText(note, "useSSL", c.stored.data(),
                                              static_cast<WORD>(c.stored.size())));
            } else {
                NSFItemDelete(note, "useSSL", 6);
            }
        }
    }
    StandinFaultInject({"NSFItemSetText", ERR_FAULT_INJECTED, 0, 0, nullptr});
    int32_t changed = 0;
    EXPECT_EQ(SetTextItemIfChanged(note, "useSSL", "1", &changed), ERR_FAULT_INJECTED);
    EXPECT_EQ(changed, 0);
    StandinFaultClear();
    NSFNoteClose(note);
}

}  // namespace
