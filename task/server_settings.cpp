#include "server_settings.h"

#include <strings.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "app_pages.h"
#include "product_database.h"
#include "xml_string_translate.h"

const char kBuiltInIosPage[] =
    R"P(<span style="font-family: arial,helvetica,sans-serif;">)P"
    R"P(<span style="color:#0000ff;font-size: 18px;">)P"
    R"P(<strong>Installation and Setup Instructions for iOS devices</strong></span><br /><br />)P"
    R"P(Step 1: Download the HCR App to your iOS device directly from the Apple App Store by clicking the link below:<br /><br />)P"
    R"P(<a href="%Download HCR App%">Download HCR App</a><br /><br />)P"
    R"P(Step 2: To launch and automatically configure the HCR App, click the link below:<br /><br />)P"
    R"P(<a href="%Configure HCR App%">Configure HCR App</a><br /><br />)P"
    R"P(Step 3: Type your Domino http password and click Connect.<br /><br />)P"
    R"P(The HCR App will connect to your mail server. If it is successful, your active HCR profile from your mail database will be loaded automatically.)P"
    R"P(</span></p>)P";

namespace {

const char kSetupView[] = "(Setup Doc)";
const char kViewFlagPattern[] = "-G40n^";
const char kForm[] = "FServerLicense";
const char kAuthorsItem[] = "DocAuthor";
const char kOldReadersItem[] = "DocReader";
const char kNoPreference[] = "-No preference-";
const char kDownloadPlaceholder[] = "%Download HCR App%";
const char kConfigurePlaceholder[] = "%Configure HCR App%";

const WORD kTextBuffer = 512;
const WORD kIosPageLimit = 16384;
const WORD kAuthorsFlags = ITEM_SUMMARY | ITEM_READWRITERS | ITEM_NAMES;

WORD NameLength(const char *name) {
    return static_cast<WORD>(std::strlen(name));
}

bool HasItem(NOTEHANDLE note, const char *item) {
    return NSFItemInfo(note, item, NameLength(item), nullptr, nullptr, nullptr, nullptr) == NOERROR;
}

// The item's text as stored (LMBCS), read with a 512-byte buffer; a missing
// item or a failed read gives the empty text.
std::string StoredText(NOTEHANDLE note, const char *item) {
    char buffer[kTextBuffer];
    WORD length = NSFItemGetText(note, item, buffer, sizeof buffer);
    if (length >= sizeof buffer)
        length = sizeof buffer - 1;
    return std::string(buffer, length);
}

// The item's text in UTF-8, for the pages.
std::string SettingText(NOTEHANDLE note, const char *item) {
    std::string text = StoredText(note, item);
    XMLStringTranslate::LmbcsToUtf8InPlace(text);
    return text;
}

// Appends the names as a further authors item "DocAuthor".
STATUS AppendAuthors(NOTEHANDLE note, const std::vector<std::string> &names) {
    DHANDLE list = NULLHANDLE;
    WORD size = 0;
    STATUS status = ListAllocate(0, 0, FALSE, &list, nullptr, &size);
    if (status != NOERROR)
        return status;
    for (size_t i = 0; i < names.size() && status == NOERROR; i++) {
        status = ListAddEntry(list, FALSE, &size, static_cast<WORD>(i), names[i].data(),
                              static_cast<WORD>(names[i].size()));
    }
    if (status == NOERROR) {
        const void *value = OSLockObject(list);
        if (value == nullptr) {
            status = ERR_BAD_PARAM;
        } else {
            status = NSFItemAppend(note, kAuthorsFlags, kAuthorsItem, NameLength(kAuthorsItem),
                                   TYPE_TEXT_LIST, value, size);
            OSUnlockObject(list);
        }
    }
    OSMemFree(list);
    return status;
}

enum class Lookup { Found, NotFound, Failed };

// The note ID of the view's first entry for the server.
Lookup FindSetupDocument(DBHANDLE db, NOTEID viewId, const char *serverName, NOTEID &noteId) {
    HCOLLECTION collection = NULLHANDLE;
    if (NIFOpenCollection(db, db, viewId, 0, NULLHANDLE, &collection, nullptr, nullptr, nullptr,
                          nullptr) != NOERROR ||
        collection == NULLHANDLE) {
        return Lookup::Failed;
    }
    Lookup lookup = Lookup::Failed;
    COLLECTIONPOSITION position;
    std::memset(&position, 0, sizeof position);
    DWORD matches = 0;
    STATUS status =
        NIFFindByName(collection, serverName, FIND_CASE_INSENSITIVE, &position, &matches);
    if (ERR(status) == ERR_NIF_KEY_NOT_FOUND) {
        lookup = Lookup::NotFound;
    } else if (status == NOERROR) {
        DHANDLE buffer = NULLHANDLE;
        WORD length = 0;
        status = NIFReadEntries(collection, &position, NAVIGATE_CURRENT, 0, NAVIGATE_NEXT, matches,
                                READ_MASK_NOTEID, &buffer, &length, nullptr, nullptr, nullptr);
        if (status == NOERROR && buffer != NULLHANDLE) {
            const void *entries = OSLockObject(buffer);
            if (entries != nullptr && length >= sizeof(NOTEID)) {
                std::memcpy(&noteId, entries, sizeof noteId);
                lookup = noteId != 0 ? Lookup::Found : Lookup::Failed;
            }
            if (entries != nullptr)
                OSUnlockObject(buffer);
        }
        if (buffer != NULLHANDLE)
            OSMemFree(buffer);
    }
    NIFCloseCollection(collection);
    return lookup;
}

// A new settings document for the server. A document without "Form" or
// "Server" would never be found again, and another would be made for every
// message: such a one is dropped unsaved. 0 then.
NOTEHANDLE CreateSetupDocument(DBHANDLE db, const char *serverName) {
    NOTEHANDLE note = NULLHANDLE;
    if (NSFNoteCreate(db, &note) != NOERROR)
        return NULLHANDLE;
    if (NSFItemSetText(note, "Form", kForm, NameLength(kForm)) != NOERROR ||
        NSFItemSetText(note, "Server", serverName, NameLength(serverName)) != NOERROR) {
        NSFNoteClose(note);
        return NULLHANDLE;
    }
    // Without its authors the document still serves; the defaults and the
    // save follow all the same.
    AppendAuthors(note, {"LocalDomainServers", "[SysAdmin]"});
    return note;
}

// The reader names of an older document become a further authors item.
// "DocReader" goes only once its names are safe in "DocAuthor" (or when it
// had none), so that no failure loses them.
void MoveReadersIntoAuthors(NOTEHANDLE note, int32_t &changed) {
    if (!HasItem(note, kOldReadersItem))
        return;
    const WORD entries = NSFItemGetTextListEntries(note, kOldReadersItem);
    if (entries > 0) {
        std::vector<std::string> names;
        for (WORD i = 0; i < entries; i++) {
            char buffer[kTextBuffer];
            WORD length = NSFItemGetTextListEntry(note, kOldReadersItem, i, buffer, sizeof buffer);
            if (length >= sizeof buffer)
                length = sizeof buffer - 1;
            if (length > 0)
                names.emplace_back(buffer, length);
        }
        if (AppendAuthors(note, names) != NOERROR)
            return;
    }
    if (NSFItemDelete(note, kOldReadersItem, NameLength(kOldReadersItem)) == NOERROR)
        changed = 1;
}

// Whether a setting counts as "-No preference-": any prefix of it, in any
// letter case.
bool IsNoPreference(const std::string &text) {
    return text.size() <= sizeof kNoPreference - 1 &&
           strncasecmp(text.c_str(), kNoPreference, text.size()) == 0;
}

// "0" for a setting that begins with "0", else "1".
const char *Flag(const std::string &text) {
    return !text.empty() && text[0] == '0' ? "0" : "1";
}

// Every occurrence of what replaced by with, searching on after the text
// put in.
void ReplaceAll(std::string &text, const std::string &what, const std::string &with) {
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) {
        text.replace(at, what.size(), with);
        at += with.size();
    }
}

// The query string behind each placeholder, which stays for the page
// writer to replace by the app link.
void InsertAfterEach(std::string &text, const std::string &placeholder,
                     const std::string &inserted) {
    for (size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at)) {
        at += placeholder.size();
        text.insert(at, inserted);
        at += inserted.size();
    }
}

}  // namespace

STATUS SetTextItemIfChanged(NOTEHANDLE note, const char *itemName, const std::string &value,
                            int32_t *changed) {
    if (value.size() >= MAXWORD)
        return ERR_BAD_PARAM;  // a text item holds less
    if (HasItem(note, itemName)) {
        const std::string stored = StoredText(note, itemName);
        if (stored.empty() ? value.empty() : stored == value)
            return NOERROR;
        STATUS status = NSFItemDelete(note, itemName, NameLength(itemName));
        if (status != NOERROR)
            return status;
    }
    STATUS status = NSFItemSetText(note, itemName, value.data(), static_cast<WORD>(value.size()));
    if (status == NOERROR && changed != nullptr)
        *changed = 1;
    return status;
}

NOTEHANDLE OpenServerSetupDocument(DBHANDLE db, const char *serverName) {
    // The view keys no document by an empty name: one made for it would
    // never be found, and another would be made for every message.
    if (serverName == nullptr || serverName[0] == '\0')
        return NULLHANDLE;
    int32_t changed = 0;
    NOTEID viewId = 0;
    if (NIFFindDesignNoteExt(db, kSetupView, NOTE_CLASS_VIEW, kViewFlagPattern, &viewId, 0) !=
        NOERROR) {
        return NULLHANDLE;
    }
    NOTEID noteId = 0;
    NOTEHANDLE note = NULLHANDLE;
    switch (FindSetupDocument(db, viewId, serverName, noteId)) {
        case Lookup::Found:
            if (NSFNoteOpen(db, noteId, 0, &note) != NOERROR)
                return NULLHANDLE;
            break;
        case Lookup::NotFound:
            note = CreateSetupDocument(db, serverName);
            if (note == NULLHANDLE)
                return NULLHANDLE;
            changed = 1;
            break;
        case Lookup::Failed:
            // The view may well hold this server's document: a new one
            // could hide the administrator's settings.
            return NULLHANDLE;
    }

    const std::pair<const char *, const char *> defaults[] = {
        {"useSSL", "1"},
        {"connectOnStartup", "1"},
        {"language", kNoPreference},
        {"AuthMethod", kNoPreference},
        {"InstallIOS", kBuiltInIosPage},
    };
    for (const auto &setting : defaults) {
        // A default that cannot be written is filled in again when the
        // settings are read, which treats an absent setting the same way.
        if (!HasItem(note, setting.first) || StoredText(note, setting.first).empty())
            SetTextItemIfChanged(note, setting.first, setting.second, &changed);
    }
    MoveReadersIntoAuthors(note, changed);

    // A failed save leaves the document as it was stored; the settings in
    // memory still serve this message, and the next one tries again.
    if (changed)
        NSFNoteUpdate(note, 0);
    return note;
}

void BuildServerAppSettings(const char *serverName, const char *productDirectory,
                            std::string &serverUrl, std::string &iosInstallPage,
                            std::string &appQuery) {
    std::unique_ptr<char[]> work(new (std::nothrow) char[kIosPageLimit + 1]());
    if (!work)
        return;
    DBHANDLE db = NULLHANDLE;
    if (NSFDbOpen(ProductFilePath(productDirectory, kProductDbFile).c_str(), &db) != NOERROR)
        return;
    NOTEHANDLE note = OpenServerSetupDocument(db, serverName);
    if (note == NULLHANDLE) {
        NSFDbClose(db);
        return;
    }

    std::string url, query, page;
    try {
        url = SettingText(note, "serverURL");

        query = std::string("&ssl=") + Flag(SettingText(note, "useSSL"));
        query += std::string("&connect=") + Flag(SettingText(note, "connectOnStartup"));
        const std::string language = SettingText(note, "language");
        if (!IsNoPreference(language))
            query += "&lang=" + language;
        const std::string dateFormat = SettingText(note, "dateformat");
        query += "&dateformat=" + (dateFormat.empty() ? std::string("Full") : dateFormat);
        const std::string method = SettingText(note, "AuthMethod");
        if (!IsNoPreference(method))
            query += "&method=" + method;
        ReplaceAll(query, "/", "%2F");

        WORD length = NSFItemGetText(note, "InstallIOS", work.get(), kIosPageLimit + 1);
        if (length > kIosPageLimit)
            length = kIosPageLimit;
        if (length > 0) {
            page.assign(work.get(), length);
            XMLStringTranslate::LmbcsToUtf8InPlace(page);
            for (char &c : page) {
                if (c == '\0')
                    c = '\n';  // the item's line breaks
            }
        } else {
            page = kBuiltInIosPage;
        }
        ReplaceAll(page, kDownloadPlaceholder, EscapeForAttribute(kAppStoreAddress));
        // The page is HTML: the query string goes in as a link's attribute
        // text.
        InsertAfterEach(page, kConfigurePlaceholder, EscapeForAttribute(query));
    } catch (const std::bad_alloc &) {
        NSFNoteClose(note);
        NSFDbClose(db);
        return;
    }
    NSFNoteClose(note);
    NSFDbClose(db);
    serverUrl.swap(url);
    appQuery.swap(query);
    iosInstallPage.swap(page);
}
