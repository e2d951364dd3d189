// Mail files for the worker's tests: the design of the shipped mail
// template (designs/mail.ntf.xml, imported as the product's designs are),
// the two out-of-office profiles made through the public calls, and the
// directory with the shipped views (designs/names-views.xml) and its
// people, servers and groups; and the reply documents read back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>

#include "notes_api.h"
#include "standin/dxl.h"
#include "standin/nsf.h"
#include "standin/runtime.h"
#include "test_support.h"
#include "xml_string_translate.h"
#include "xml_toolkit.h"

namespace worker_test {

// An item value: a text, a text list or a time.
struct Value {
    enum Kind { Text, TextList, Time } kind = Text;
    std::vector<std::string> texts;
    TIMEDATE time = {};
};
inline Value Text(const std::string &text) {
    Value v;
    v.texts = {text};
    return v;
}
inline Value List(const std::vector<std::string> &texts) {
    Value v;
    v.kind = Value::TextList;
    v.texts = texts;
    return v;
}
inline Value Time(const TIMEDATE &time) {
    Value v;
    v.kind = Value::Time;
    v.time = time;
    return v;
}
using Items = std::vector<std::pair<std::string, Value>>;

// UTF-8 to LMBCS, as texts are stored in items.
inline std::string Lmbcs(std::string utf8) {
    XMLStringTranslate::Utf8ToLmbcsInPlace(utf8);
    return utf8;
}

// The current moment moved by whole days and hours.
inline TIMEDATE NowPlus(int days, int hours = 0) {
    TIMEDATE t;
    OSCurrentTIMEDATE(&t);
    EXPECT_EQ(TimeDateAdjust(&t, 0, 0, hours, days, 0, 0), 0);
    return t;
}

// A local time of the process's zone.
inline TIMEDATE LocalTime(int year, int month, int day, int hour, int minute, int second) {
    TIME t = TIME();
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    OSCurrentTimeZone(&t.zone, &t.dst);
    EXPECT_FALSE(TimeLocalToGM(&t));
    return t.GM;
}

inline void SetItem(NOTEHANDLE note, const std::string &name, const Value &value) {
    const WORD nameLength = static_cast<WORD>(name.size());
    NSFItemDelete(note, name.c_str(), nameLength);
    switch (value.kind) {
        case Value::Text:
            ASSERT_NOERROR(NSFItemSetText(note, name.c_str(), value.texts[0].data(),
                                          static_cast<WORD>(value.texts[0].size())));
            break;
        case Value::Time:
            ASSERT_NOERROR(NSFItemSetTime(note, name.c_str(), &value.time));
            break;
        case Value::TextList: {
            DHANDLE list = NULLHANDLE;
            ASSERT_NOERROR(ListAllocate(0, 0, FALSE, &list, nullptr, nullptr));
            WORD size = 0;
            for (size_t i = 0; i < value.texts.size(); i++) {
                ASSERT_NOERROR(ListAddEntry(list, FALSE, &size, static_cast<WORD>(i),
                                            value.texts[i].data(),
                                            static_cast<WORD>(value.texts[i].size())));
            }
            const void *bytes = OSLockObject(list);
            if (size == 0)
                size = ListGetSize(bytes, FALSE);
            EXPECT_NOERROR(NSFItemAppend(note, ITEM_SUMMARY, name.c_str(), nameLength,
                                         TYPE_TEXT_LIST, bytes, size));
            OSUnlockObject(list);
            OSMemFree(list);
            break;
        }
    }
}

// A database of the data directory (or of another server's, by its full
// path), open while the object lives.
class Database {
  public:
    explicit Database(const std::string &path, bool create = true) {
        if (create)
            EXPECT_NOERROR(NSFDbCreate(path.c_str(), DBCLASS_NOTEFILE, FALSE));
        EXPECT_NOERROR(NSFDbOpen(path.c_str(), &db_));
    }
    ~Database() {
        if (db_ != NULLHANDLE)
            NSFDbClose(db_);
    }
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;
    DBHANDLE handle() const { return db_; }

    // A stored note of the class with the items; its note ID.
    NOTEID AddNote(WORD noteClass, const Items &items) {
        NOTEHANDLE note = NULLHANDLE;
        EXPECT_NOERROR(NSFNoteCreate(db_, &note));
        if (note == NULLHANDLE)
            return 0;
        NSFNoteSetInfo(note, _NOTE_CLASS, &noteClass);
        for (const auto &item : items)
            SetItem(note, item.first, item.second);
        EXPECT_NOERROR(NSFNoteUpdate(note, 0));
        NOTEID id = 0;
        NSFNoteGetInfo(note, _NOTE_ID, &id);
        NSFNoteClose(note);
        return id;
    }

    // Sets the items of a profile (made when the database has none).
    void SetProfile(const std::string &name, const Items &items) {
        NOTEHANDLE note = NULLHANDLE;
        ASSERT_NOERROR(NSFProfileOpen(db_, name.c_str(), static_cast<WORD>(name.size()), nullptr, 0,
                                      TRUE, &note));
        for (const auto &item : items)
            SetItem(note, item.first, item.second);
        EXPECT_NOERROR(NSFNoteUpdate(note, UPDATE_FORCE));
        NSFNoteClose(note);
    }

    // The text of an item of a stored profile, as last saved.
    std::string ProfileText(const std::string &profile, const std::string &item) {
        NOTEHANDLE note = NULLHANDLE;
        EXPECT_NOERROR(NSFProfileOpen(db_, profile.c_str(), static_cast<WORD>(profile.size()),
                                      nullptr, 0, TRUE, &note));
        char text[4096] = "";
        WORD length = NSFItemGetText(note, item.c_str(), text, sizeof text);
        NSFNoteClose(note);
        return std::string(text, length);
    }

  private:
    DBHANDLE db_ = NULLHANDLE;
};

// The folder of the shipped designs.
inline std::string DesignsDir() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../../../designs";
}

// Imports a DXL file into the open database; fails the test when the file
// is refused.
inline void ImportDxl(DBHANDLE db, const std::string &path) {
    struct Source {
        std::string text;
        size_t at = 0;
        static STATUS LNCALLBACK Read(void *context, char *buffer, DWORD length, DWORD *got) {
            Source &s = *static_cast<Source *>(context);
            const size_t n = std::min<size_t>(length, s.text.size() - s.at);
            std::memcpy(buffer, s.text.data() + s.at, n);
            s.at += n;
            *got = static_cast<DWORD>(n);
            return NOERROR;
        }
    } source;
    source.text = test_support::ReadFile(path);
    ASSERT_FALSE(source.text.empty()) << path;
    StandinDxlResult result;
    STATUS status = StandinDxlImport(db, Source::Read, &source, &result);
    ASSERT_EQ(status, NOERROR) << path << ": " << test_support::StatusText(status) << " "
                               << result.message;
}

// The note IDs of a database's notes of a class.
inline std::vector<NOTEID> NotesOfClass(DBHANDLE db, WORD noteClass) {
    std::vector<NOTEID> ids(1024);
    DWORD count = 0;
    EXPECT_NOERROR(StandinDbNoteIDs(db, ids.data(), static_cast<DWORD>(ids.size()), &count));
    ids.resize(std::min<size_t>(count, ids.size()));
    std::vector<NOTEID> found;
    for (NOTEID id : ids) {
        NOTEHANDLE note = NULLHANDLE;
        if (NSFNoteOpen(db, id, 0, &note) != NOERROR)
            continue;
        WORD cls = 0;
        NSFNoteGetInfo(note, _NOTE_CLASS, &cls);
        NSFNoteClose(note);
        if ((cls & ~NOTE_CLASS_DEFAULT) == noteClass)
            found.push_back(id);
    }
    return found;
}

// A test design's out-of-office form, as the form representation of
// the formula language gives it: the dates of the absence, the message and
// subject texts, and the subject's return date. With ShowHours "1" the
// message ("Away from ...") carries the leave and return texts that the
// profile holds, else ("Out from ...") the dates alone.
inline Items OutOfOfficeForm(const std::string &title = "Out Of Office|(Out Of Office Profile)") {
    const std::vector<std::pair<std::string, std::string>> fields = {
        {"dateFirstDayOut",
         "@If(@IsText(FirstDayOut); @TextToTime(FirstDayOut); @Date(FirstDayOut))"},
        {"dateFirstDayBack",
         "@If(@IsText(FirstDayBack); @TextToTime(FirstDayBack); @Date(FirstDayBack))"},
        {"DaysOut",
         "@If(ShowHours = \"1\"; \"Away from \" + @Text(FirstDayOut) + \" to \" + "
         "@Text(FirstDayBack) + \".\"; \"Out from \" + @Text(@Date(dateFirstDayOut)) + \" to \" + "
         "@Text(@Date(dateFirstDayBack)) + \".\")"},
        {"GeneralSubject", "@Name([CN]; $Owner) + \" is away\""},
        {"AppendSubjectDate", "\"(back \" + @Text(@Date(dateFirstDayBack)) + \")\""},
    };
    std::vector<std::string> names, kinds;
    Items items = {{"$TITLE", Text(title)}};
    for (const auto &field : fields) {
        names.push_back(field.first);
        kinds.push_back("computed");
        items.push_back({"$FieldFormula_" + field.first, Text(field.second)});
    }
    items.push_back({"$Fields", List(names)});
    items.push_back({"$FieldKinds", List(kinds)});
    return items;
}

// A mail file's design: the shipped mail template's, or the test design
// above (its texts tell the roads of the template learning apart), with the
// "OutOfOffice" agent enabled or not, or without it; or none.
struct MailFileOptions {
    enum Design { Shipped, TestForm, NoForm } design = Shipped;
    bool agent = true;
    bool agentEnabled = false;
};

inline void BuildMailFile(Database &db, const MailFileOptions &options = MailFileOptions()) {
    if (options.design == MailFileOptions::Shipped) {
        ImportDxl(db.handle(), DesignsDir() + "/mail.ntf.xml");
        for (NOTEID id : NotesOfClass(db.handle(), NOTE_CLASS_FILTER)) {
            if (!options.agent) {
                EXPECT_NOERROR(NSFNoteDelete(db.handle(), id, 0));
                continue;
            }
            NOTEHANDLE note = NULLHANDLE;
            ASSERT_NOERROR(NSFNoteOpen(db.handle(), id, 0, &note));
            SetItem(note, "$AssistFlags", Text(options.agentEnabled ? "ESH" : "SH"));
            EXPECT_NOERROR(NSFNoteUpdate(note, 0));
            NSFNoteClose(note);
        }
        return;
    }
    if (options.design == MailFileOptions::TestForm)
        db.AddNote(NOTE_CLASS_FORM, OutOfOfficeForm());
    if (options.agent) {
        db.AddNote(NOTE_CLASS_FILTER, {{"$TITLE", Text("OutOfOffice")},
                                       {"$AssistFlags", Text(options.agentEnabled ? "E" : "")}});
    }
}

// The Domino Directory of a data directory: names.nsf with the views that
// the worker's lookups and the names expansion read, as the view
// representation gives them (a selection and a key formula), and its
// people, servers and groups.
class Directory {
  public:
    // The directory of this data directory: made with the shipped views
    // when there is none (notesctl init makes one).
    Directory() : db_("names.nsf", !test_support::FileExists(DataFile("names.nsf"))) {
        if (NotesOfClass(db_.handle(), NOTE_CLASS_VIEW).empty())
            ImportDxl(db_.handle(), DesignsDir() + "/names-views.xml");
    }
    // A person; "FullName" holds the names given (canonical first), and the
    // mail server and file when not empty.
    void Person(const std::vector<std::string> &fullNames, const std::string &mailServer,
                const std::string &mailFile, const Items &more = {}) {
        Items items = {{"Form", Text("Person")}, {"FullName", List(fullNames)}};
        if (!mailServer.empty())
            items.push_back({"MailServer", Text(mailServer)});
        if (!mailFile.empty())
            items.push_back({"MailFile", Text(mailFile)});
        items.insert(items.end(), more.begin(), more.end());
        db_.AddNote(NOTE_CLASS_DOCUMENT, items);
    }
    void Server(const std::string &name, const std::string &cluster) {
        Items items = {{"Form", Text("Server")}, {"ServerName", Text(name)}};
        if (!cluster.empty())
            items.push_back({"ClusterName", Text(cluster)});
        db_.AddNote(NOTE_CLASS_DOCUMENT, items);
    }
    void Group(const std::string &name, const std::vector<std::string> &members) {
        db_.AddNote(
            NOTE_CLASS_DOCUMENT,
            {{"Form", Text("Group")}, {"ListName", Text(name)}, {"Members", List(members)}});
    }
    Database &database() { return db_; }

  private:
    static std::string DataFile(const std::string &name) {
        char dir[MAXPATH] = "";
        StandinDataDirectory(dir, sizeof dir);
        return std::string(dir) + "/" + name;
    }
    Database db_;
};

// One "User" element of a reply document.
struct UserElement {
    std::map<std::string, std::string> attributes;
    std::string text;
    std::string at(const std::string &name) const {
        auto found = attributes.find(name);
        return found == attributes.end() ? "<none>" : found->second;
    }
    bool has(const std::string &name) const { return attributes.count(name) != 0; }
};

// The "User" elements of a reply document in order, all texts in UTF-8;
// a document that does not parse fails the test.
inline std::vector<UserElement> ReadReply(const std::string &xml) {
    using namespace xercesc;
    std::vector<UserElement> users;
    struct Library {
        Library() { started = xml_toolkit::Start(); }
        ~Library() {
            if (started)
                xml_toolkit::Stop();
        }
        bool started;
    } library;
    XercesDOMParser parser;
    MemBufInputSource source(reinterpret_cast<const XMLByte *>(xml.data()), xml.size(), "reply");
    parser.parse(source);
    EXPECT_EQ(parser.getErrorCount(), 0u) << xml;
    DOMDocument *document = parser.getDocument();
    DOMElement *root = document ? document->getDocumentElement() : nullptr;
    if (root == nullptr) {
        ADD_FAILURE() << "no document: " << xml;
        return users;
    }
    XMLStringTranslate utf8("UTF-8");
    EXPECT_EQ(utf8.toNative(root->getTagName()), "HCRReadObject");
    for (DOMNode *n = root->getFirstChild(); n != nullptr; n = n->getNextSibling()) {
        if (n->getNodeType() != DOMNode::ELEMENT_NODE)
            continue;
        EXPECT_EQ(utf8.toNative(n->getNodeName()), "User");
        UserElement user;
        DOMNamedNodeMap *attributes = n->getAttributes();
        for (XMLSize_t i = 0; i < attributes->getLength(); i++) {
            DOMNode *a = attributes->item(i);
            user.attributes[utf8.toNative(a->getNodeName())] = utf8.toNative(a->getNodeValue());
        }
        user.text = utf8.toNative(n->getTextContent());
        users.push_back(user);
    }
    return users;
}

}  // namespace worker_test
