// For the tests of the update road: update requests as the front end writes
// them, the stored notes of a mail file read back item by item, and a whole
// mail file's state to compare before and after.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ip_exception.h"
#include "mail_fixture.h"
#include "notes_api.h"
#include "standin/nsf.h"
#include "standin/sign.h"
#include "test_support.h"
#include "worker_test_support.h"

namespace update_test {

// An item as stored: name, data type, item flags and value bytes.
struct Item {
    std::string name;
    WORD type = 0;
    WORD flags = 0;
    std::string value;  // without the type word
};

inline std::vector<Item> NoteItems(NOTEHANDLE note) {
    std::vector<Item> items;
    BLOCKID item = {};
    WORD type = 0;
    BLOCKID value = {};
    DWORD length = 0;
    STATUS status = NSFItemInfo(note, nullptr, 0, &item, &type, &value, &length);
    while (status == NOERROR && !ISNULLBLOCKID(item)) {
        Item i;
        char name[256] = "";
        WORD nameLength = 0;
        NSFItemQuery(note, item, name, sizeof name, &nameLength, &i.flags, &i.type, nullptr,
                     nullptr);
        i.name.assign(name, nameLength);
        const char *bytes = OSLockBlock(char, value);
        if (length >= 2)
            i.value.assign(bytes + 2, length - 2);
        OSUnlockObject(value.pool);
        items.push_back(i);
        const BLOCKID current = item;
        status = NSFItemInfoNext(note, current, nullptr, 0, &item, &type, &value, &length);
    }
    return items;
}

// The text of an item of a note open in memory (the first of that name,
// the first entry of a list), or "<none>" when the note has no such item.
inline std::string TextOf(NOTEHANDLE note, const char *item) {
    for (const Item &i : NoteItems(note)) {
        if (strcasecmp(i.name.c_str(), item) == 0)
            return i.value;
    }
    return "<none>";
}

// The text of the IPException that the call throws, or "" when it returns.
template <typename Call>
std::string ErrorOf(Call call) {
    try {
        call();
        return "";
    } catch (const IPException &e) {
        return e.message();
    }
}

// A stored note, open while the object lives.
class Note {
  public:
    Note(DBHANDLE db, NOTEID id) { EXPECT_NOERROR(NSFNoteOpen(db, id, 0, &note_)); }
    Note(DBHANDLE db, const UNID &unid) { EXPECT_NOERROR(NSFNoteOpenByUNID(db, &unid, 0, &note_)); }
    // A profile as last stored.
    Note(DBHANDLE db, const std::string &profile) {
        EXPECT_NOERROR(NSFProfileOpen(db, profile.c_str(), static_cast<WORD>(profile.size()),
                                      nullptr, 0, TRUE, &note_));
    }
    ~Note() {
        if (note_ != NULLHANDLE)
            NSFNoteClose(note_);
    }
    Note(const Note &) = delete;
    Note &operator=(const Note &) = delete;

    NOTEHANDLE handle() const { return note_; }
    bool has(const char *item) const {
        return NSFItemInfo(note_, item, static_cast<WORD>(std::strlen(item)), nullptr, nullptr,
                           nullptr, nullptr) == NOERROR;
    }
    // The text (first entry), or "<none>" when there is no such item.
    std::string text(const char *item) const { return TextOf(note_, item); }
    NUMBER number(const char *item) const {
        NUMBER n = -12345;
        EXPECT_TRUE(NSFItemGetNumber(note_, item, &n)) << item;
        return n;
    }
    TIMEDATE time(const char *item) const {
        TIMEDATE t = {};
        EXPECT_TRUE(NSFItemGetTime(note_, item, &t)) << item;
        return t;
    }
    WORD flags(const char *item) const {
        for (const Item &i : NoteItems(note_)) {
            if (strcasecmp(i.name.c_str(), item) == 0)
                return i.flags;
        }
        ADD_FAILURE() << "no item " << item;
        return 0xFFFF;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> names;
        for (const Item &i : NoteItems(note_))
            names.push_back(i.name);
        return names;
    }
    OID oid() const {
        OID oid;
        NSFNoteGetInfo(note_, _NOTE_OID, &oid);
        return oid;
    }
    // The signer when the signature matches the items; else why not.
    std::string signer() const {
        char name[MAXUSERNAME] = "";
        STATUS status = StandinNoteVerifySignature(note_, name, sizeof name, nullptr);
        if (status != NOERROR)
            return "not signed: " + test_support::StatusText(status);
        return name;
    }
    // Every item as stored, in order: equal for equal notes.
    std::string state() const {
        std::string s;
        for (const Item &i : NoteItems(note_)) {
            s += i.name + "/" + std::to_string(i.type) + "/" + std::to_string(i.flags) + "=" +
                 i.value + "\n";
        }
        return s;
    }

  private:
    NOTEHANDLE note_ = NULLHANDLE;
};

// Every note of a database with its sequence and items: what a request
// that changes nothing leaves as it was.
inline std::map<NOTEID, std::string> Snapshot(DBHANDLE db) {
    std::map<NOTEID, std::string> notes;
    std::vector<NOTEID> ids(4096);
    DWORD count = 0;
    EXPECT_NOERROR(StandinDbNoteIDs(db, ids.data(), static_cast<DWORD>(ids.size()), &count));
    ids.resize(count);
    for (NOTEID id : ids) {
        NOTEHANDLE note = NULLHANDLE;
        if (NSFNoteOpen(db, id, 0, &note) != NOERROR) {
            notes[id] = "deleted";
            continue;
        }
        OID oid;
        NSFNoteGetInfo(note, _NOTE_OID, &oid);
        NSFNoteClose(note);
        Note n(db, id);
        notes[id] = std::to_string(oid.Sequence) + "\n" + n.state();
    }
    return notes;
}

// The calendar entries ("Form" "Appointment") of a mail file.
inline std::vector<NOTEID> Entries(DBHANDLE db) {
    std::vector<NOTEID> found;
    for (NOTEID id : worker_test::NotesOfClass(db, NOTE_CLASS_DOCUMENT)) {
        Note n(db, id);
        if (n.text("Form") == "Appointment")
            found.push_back(id);
    }
    return found;
}

inline std::string UnidText(const UNID &unid) {
    char text[33];
    std::snprintf(text, sizeof text, "%.8X%.8X%.8X%.8X", unid.File.Innards[1], unid.File.Innards[0],
                  unid.Note.Innards[1], unid.Note.Innards[0]);
    return text;
}

inline std::string XmlAttribute(const std::string &text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// An update request as the front end writes it; dates in the local time of
// the process.
struct Update {
    bool on = true;
    std::string mailBox;
    TIMEDATE leave = worker_test::NowPlus(1);
    TIMEDATE back = worker_test::NowPlus(3);
    std::string subject = "Away";
    std::string message = "Back soon.\nAsk Sam.";
    std::string daysOut = "Out from var_First until var_Back.";
    std::string appendSubjectDate = "(back var_Back)";
    bool appendSubject = true;
    std::string showHours = "1";
    std::string more;  // further attributes

    std::string attributes(const std::string &queue) const {
        std::string a = "MQName=\"" + queue + "\" Action=\"2\" HCREnable=\"" + (on ? "1" : "0") +
                        "\" MailBox=\"" + mailBox + "\"";
        a += Dates("StartTime", leave) + Dates("EndTime", back);
        a += " Subject=\"" + XmlAttribute(subject) + "\" Message=\"" + XmlAttribute(message) +
             "\" DaysOut=\"" + XmlAttribute(daysOut) + "\" AppendSubjectDate=\"" +
             XmlAttribute(appendSubjectDate) + "\" ASDEnable=\"1\" AppendSubject=\"" +
             (appendSubject ? "1" : "0") + "\" ShowHours=\"" + showHours +
             "\" InternetAddress=\"1\" " + more;
        return a;
    }
    static std::string Dates(const std::string &prefix, const TIMEDATE &value) {
        TIME t = TIME();
        t.GM = value;
        EXPECT_FALSE(TimeGMToLocal(&t));
        return " " + prefix + "Year=\"" + std::to_string(t.year) + "\" " + prefix + "Month=\"" +
               std::to_string(t.month) + "\" " + prefix + "Day=\"" + std::to_string(t.day) + "\" " +
               prefix + "Hour=\"" + std::to_string(t.hour) + "\" " + prefix + "Min=\"" +
               std::to_string(t.minute) + "\" " + prefix + "Sec=\"" + std::to_string(t.second) +
               "\"";
    }
};

inline int Compare(TIMEDATE a, TIMEDATE b) {
    return TimeDateCompare(&a, &b);
}
inline long Difference(TIMEDATE a, TIMEDATE b) {
    return TimeDateDifference(&a, &b);
}
inline TIMEDATE DatePart(TIMEDATE t) {
    TIMEDATE date = {};
    EXPECT_NOERROR(TimeDateSplit(&t, TIMEDATE_PART_DATE, &date));
    return date;
}

// A time on the second, as a request gives it.
inline TIMEDATE Seconds(TIMEDATE t) {
    t.Innards[0] -= t.Innards[0] % 100;
    return t;
}

// A mail file of the test's own, held open by the test, and a fresh worker
// with it and its profiles open.
class MailWorkerTest : public worker_test::WorkerTest {
  protected:
    // A new, empty mail file.
    void NewMailFile() {
        db.reset();
        path = "mail/t" + std::to_string(++count) + ".nsf";
        db.reset(new worker_test::Database(path));
    }
    // "OutOfOfficeProfile" with the dates of an absence from out to back
    // and the items given; "ooserviceprofile" when items are given for it.
    void StoreProfiles(const worker_test::Items &profile, const worker_test::Items &service = {}) {
        worker_test::Items items = {{"dateFirstDayOut", worker_test::Time(out)},
                                    {"dateFirstDayBack", worker_test::Time(back)},
                                    {"StartTime", worker_test::Time(out)},
                                    {"EndTime", worker_test::Time(back)}};
        items.insert(items.end(), profile.begin(), profile.end());
        db->SetProfile("OutOfOfficeProfile", items);
        if (!service.empty())
            db->SetProfile("ooserviceprofile", service);
    }
    void OpenWorker() {
        Fresh();
        IPHCRTestAccess::mailFile(w()) = path;
        IPHCRTestAccess::userName(w()) = "CN=Jane Doe/O=Acme";
        ASSERT_EQ(w().getHCRProfile(false), NOERROR);
    }
    // An item of the worker's profile in memory.
    std::string InMemory(const char *item) {
        return TextOf(IPHCRTestAccess::profileNote(w()), item);
    }
    void TearDown() override {
        db.reset();
        WorkerTest::TearDown();
    }

    std::unique_ptr<worker_test::Database> db;
    std::string path;
    int count = 0;
    TIMEDATE out = worker_test::NowPlus(1);
    TIMEDATE back = worker_test::NowPlus(3);
};

}  // namespace update_test
