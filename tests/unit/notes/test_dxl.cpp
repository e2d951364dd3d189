// DXL import and export through the library's calls: round trips of every
// kind of value, item flag and note class, texts in chunks of any size, a
// server's export, refused and hostile texts that store nothing, the
// failure statuses, and the design copy.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "notes_api.h"
#include "nsf_test_util.h"
#include "standin/dxl.h"
#include "standin/fault.h"
#include "test_support.h"

namespace {

using nsf_test::NoteIds;
using nsf_test::NoteOid;
using nsf_test::Text;
using nsf_test::ValueBytes;

// Hands the text in chunks of the given size; fails with failStatus once
// failAt bytes are handed.
struct TextReader {
    std::string text;
    size_t chunk = 1 << 20;
    size_t pos = 0;
    size_t failAt = std::string::npos;
    STATUS failStatus = ERR_FILE_IO;
    size_t calls = 0;
};

STATUS LNCALLBACK ReadText(void *context, char *buffer, DWORD length, DWORD *retLength) {
    auto *r = static_cast<TextReader *>(context);
    r->calls++;
    if (r->pos >= r->failAt)
        return r->failStatus;
    size_t n = std::min<size_t>({r->chunk, length, r->text.size() - r->pos});
    std::memcpy(buffer, r->text.data() + r->pos, n);
    r->pos += n;
    *retLength = static_cast<DWORD>(n);
    return NOERROR;
}

STATUS LNCALLBACK WriteText(void *context, const char *bytes, DWORD length) {
    static_cast<std::string *>(context)->append(bytes, length);
    return NOERROR;
}

STATUS LNCALLBACK RefuseWrite(void *, const char *, DWORD) {
    return ERR_FILE_IO;
}

// One note as the note calls see it.
struct SeenItem {
    std::string name;
    WORD type;
    WORD flags;
    std::string bytes;
    bool operator==(const SeenItem &o) const {
        return name == o.name && type == o.type && flags == o.flags && bytes == o.bytes;
    }
};
struct SeenNote {
    WORD noteClass;
    DWORD seq;
    std::vector<SeenItem> items;
    bool operator==(const SeenNote &o) const {
        return noteClass == o.noteClass && seq == o.seq && items == o.items;
    }
};

std::string UnidKey(const OID &oid) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X%08X%08X%08X", oid.File.Innards[1], oid.File.Innards[0],
                  oid.Note.Innards[1], oid.Note.Innards[0]);
    return text;
}

// Every stored note by UNID, deletion stubs left out.
std::map<std::string, SeenNote> Snapshot(DBHANDLE db) {
    std::map<std::string, SeenNote> notes;
    for (NOTEID id : NoteIds(db)) {
        NOTEHANDLE note = NULLHANDLE;
        if (NSFNoteOpen(db, id, 0, &note) != NOERROR)
            continue;
        SeenNote seen{};
        NSFNoteGetInfo(note, _NOTE_CLASS, &seen.noteClass);
        OID oid = NoteOid(note);
        seen.seq = oid.Sequence;
        BLOCKID item{};
        STATUS s = NSFItemInfo(note, nullptr, 0, &item, nullptr, nullptr, nullptr);
        while (s == NOERROR) {
            char name[256] = {};
            WORD nameLength = 0, flags = 0, type = 0;
            BLOCKID value{};
            DWORD length = 0;
            NSFItemQuery(note, item, name, sizeof name, &nameLength, &flags, &type, &value,
                         &length);
            const char *p = OSLockBlock(char, value);
            seen.items.push_back(
                {std::string(name, nameLength), type, flags, std::string(p + 2, length - 2)});
            OSUnlockBlock(value);
            BLOCKID next{};
            s = NSFItemInfoNext(note, item, nullptr, 0, &next, nullptr, nullptr, nullptr);
            item = next;
        }
        notes[UnidKey(oid)] = seen;
        NSFNoteClose(note);
    }
    return notes;
}

// The same notes by UNID, item for item; a difference is shown by name.
void ExpectSameNotes(const std::map<std::string, SeenNote> &actual,
                     const std::map<std::string, SeenNote> &expected,
                     const std::string &what = "") {
    EXPECT_EQ(actual.size(), expected.size()) << what;
    for (const auto &e : expected) {
        auto a = actual.find(e.first);
        if (a == actual.end()) {
            ADD_FAILURE() << what << ": no note of UNID " << e.first;
            continue;
        }
        EXPECT_EQ(a->second.noteClass, e.second.noteClass) << what << ": " << e.first;
        EXPECT_EQ(a->second.seq, e.second.seq) << what << ": " << e.first;
        ASSERT_EQ(a->second.items.size(), e.second.items.size()) << what << ": " << e.first;
        for (size_t i = 0; i < e.second.items.size(); i++) {
            const SeenItem &x = a->second.items[i], &y = e.second.items[i];
            EXPECT_TRUE(x == y) << what << ": item " << i << " \"" << x.name << "\" type " << x.type
                                << " flags " << x.flags << " (" << x.bytes.size()
                                << " bytes), wanted \"" << y.name << "\" type " << y.type
                                << " flags " << y.flags << " (" << y.bytes.size() << " bytes)";
        }
    }
}

// Without the icon note, which each new database has of its own.
std::map<std::string, SeenNote> WithoutIcon(std::map<std::string, SeenNote> notes) {
    for (auto it = notes.begin(); it != notes.end();)
        it = it->second.noteClass == NOTE_CLASS_ICON ? notes.erase(it) : std::next(it);
    return notes;
}

std::string Lmbcs(const std::string &utf8) {
    std::vector<char> out(3 * utf8.size() + 3);
    WORD n = OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, utf8.data(), static_cast<WORD>(utf8.size()),
                         out.data(), static_cast<WORD>(out.size()));
    return std::string(out.data(), n);
}

std::string Bytes(const void *p, size_t n) {
    return std::string(static_cast<const char *>(p), n);
}

class DxlTest : public nsf_test::NsfTest {
  protected:
    STATUS Import(DBHANDLE db, const std::string &text, StandinDxlResult *result = nullptr,
                  size_t chunk = 1 << 20) {
        TextReader reader;
        reader.text = text;
        reader.chunk = chunk;
        StandinDxlResult local{};
        return StandinDxlImport(db, ReadText, &reader, result ? result : &local);
    }
    std::string Export(DBHANDLE db) {
        std::string out;
        char problem[256] = {};
        EXPECT_EQ(StandinDxlExport(db, WriteText, &out, nullptr, problem, sizeof problem), NOERROR)
            << problem;
        return out;
    }
    // An item appended as it is, with any type and flags.
    void Append(NOTEHANDLE note, const char *name, WORD type, WORD flags,
                const std::string &bytes) {
        ASSERT_NOERROR(NSFItemAppend(note, flags, name, static_cast<WORD>(std::strlen(name)), type,
                                     bytes.data(), static_cast<DWORD>(bytes.size())));
    }
    NOTEID StoreWith(DBHANDLE db, WORD noteClass, const std::function<void(NOTEHANDLE)> &fill) {
        NOTEHANDLE note = NULLHANDLE;
        EXPECT_NOERROR(NSFNoteCreate(db, &note));
        NSFNoteSetInfo(note, _NOTE_CLASS, &noteClass);
        fill(note);
        EXPECT_NOERROR(NSFNoteUpdate(note, 0));
        NOTEID id = nsf_test::NoteId(note);
        EXPECT_NOERROR(NSFNoteClose(note));
        return id;
    }
};

// Strips what differs between two databases of the same notes: the note
// IDs and the database's path.
std::string WithoutIds(const std::string &dxl) {
    return std::regex_replace(std::regex_replace(dxl, std::regex(" noteid='[0-9a-f]+'"), ""),
                              std::regex("<database path='[^']*'>"), "<database>");
}

TEST_F(DxlTest, AnImportOfAnExportStoresTheSameNotesItemsFlagsAndProfiles) {
    DBHANDLE a = CreateAndOpen("a.nsf");
    auto number = [](double d) { return Bytes(&d, 8); };
    auto time = [](DWORD w0, DWORD w1) {
        TIMEDATE t{{w0, w1}};
        return Bytes(&t, 8);
    };
    const DWORD julian2024 = 2460311;  // 1 January 2024
    // Forms, views and agents, one of them the default form, and a class
    // word without a name.
    StoreWith(a, NOTE_CLASS_FORM | NOTE_CLASS_DEFAULT,
              [&](NOTEHANDLE n) { Append(n, "$TITLE", TYPE_TEXT, ITEM_SUMMARY, "Memo|Memo"); });
    StoreWith(a, NOTE_CLASS_FILTER, [&](NOTEHANDLE n) {
        Append(n, "$TITLE", TYPE_TEXT, ITEM_SUMMARY, "OutOfOffice");
        std::string info(64, '\0');
        info[0] = 1;
        Append(n, "$AssistInfo", TYPE_ASSISTANT_INFO, ITEM_SIGN, info);
    });
    StoreWith(a, 0x2000 | NOTE_CLASS_VIEW,
              [&](NOTEHANDLE n) { Append(n, "$TITLE", TYPE_TEXT, ITEM_SUMMARY, "odd"); });
    // A document with every kind of value and every item flag.
    StoreWith(a, NOTE_CLASS_DOCUMENT, [&](NOTEHANDLE n) {
        Append(n, "Lines", TYPE_TEXT, ITEM_SUMMARY, std::string("one\0two\0", 8));
        Append(n, "Accents", TYPE_TEXT, 0, Lmbcs("Zoë Ünal, 日本, \xF0\x9F\x99\x82 & <tag> \t\r"));
        Append(n, "Empty", TYPE_TEXT, 0, "");
        Append(n, "List", TYPE_TEXT_LIST, ITEM_SUMMARY | ITEM_NAMES,
               Bytes(nsf_test::TextList({"CN=Jo Doe/O=Demo", "", "Zo\x81"}).data(), 2 + 6 + 19));
        Append(n, "NoEntries", TYPE_TEXT_LIST, 0, std::string(2, '\0'));
        Append(n, "Pi", TYPE_NUMBER, ITEM_PROTECTED, number(3.141592653589793));
        Append(n, "MinusZero", TYPE_NUMBER, 0, number(-0.0));
        Append(n, "Tiny", TYPE_NUMBER, 0, number(4.9e-324));
        std::string numbers = std::string("\x02\x00\x00\x00", 4) + number(1) + number(-2.5e300);
        Append(n, "Numbers", TYPE_NUMBER_RANGE, 0, numbers);
        Append(n, "NoNumbers", TYPE_NUMBER_RANGE, 0, std::string(4, '\0'));
        TIMEDATE now;
        OSCurrentTIMEDATE(&now);
        Append(n, "Now", TYPE_TIME, ITEM_SIGN | ITEM_SEAL, Bytes(&now, 8));
        // 5:30 east with daylight saving; 10 west; a date alone that keeps
        // a zone; a time alone.
        Append(n, "India", TYPE_TIME, 0, time(123456, julian2024 | 0x65000000u | 0x80000000u));
        Append(n, "West", TYPE_TIME, 0, time(99, julian2024 | 0x0A000000u));
        Append(n, "Day", TYPE_TIME, 0, time(ALLDAY, julian2024 | 0x41000000u));
        Append(n, "Clock", TYPE_TIME, 0, time(8639999, ANYDAY));
        std::string times =
            std::string("\x02\x00\x00\x00", 4) + time(0, julian2024) + time(ALLDAY, julian2024 + 1);
        Append(n, "Times", TYPE_TIME_RANGE, ITEM_SUMMARY, times);
        Append(n, "Readers", TYPE_TEXT_LIST, ITEM_READERS | ITEM_NAMES,
               Bytes(nsf_test::TextList({"[Admin]"}).data(), 2 + 2 + 7));
        Append(n, "AuthorsAlone", TYPE_TEXT, ITEM_READWRITERS | ITEM_PLACEHOLDER, "x");
        // Values that only raw bytes carry exactly.
        Append(n, "LineFeedByte", TYPE_TEXT, 0, "a\nb");
        Append(n, "Control", TYPE_TEXT, 0, Lmbcs("bell \x07"));
        Append(n, "NaN", TYPE_NUMBER, 0, number(std::nan("")));
        std::string pairs = std::string("\x00\x00\x01\x00", 4) + number(1) + number(2);
        Append(n, "Pairs", TYPE_NUMBER_RANGE, 0, pairs);
        Append(n, "BadTime", TYPE_TIME, 0, time(TICKS_IN_DAY + 5, julian2024));
        Append(n, "Composite", TYPE_COMPOSITE, 0, std::string("\x00\x01\xFF\x7F", 4));
    });
    // A profile made as the worker makes one, without a "$Name" item.
    NOTEHANDLE profile = NULLHANDLE;
    ASSERT_NOERROR(
        NSFProfileOpen(a, "CalendarProfile", 15, "CN=Jo Doe/O=Demo", 16, TRUE, &profile));
    ASSERT_NOERROR(NSFItemSetText(profile, "Owner", "CN=Jo Doe/O=Demo", 16));
    ASSERT_NOERROR(NSFNoteUpdate(profile, 0));
    ASSERT_NOERROR(NSFNoteClose(profile));

    const std::string first = Export(a);
    EXPECT_NE(first.find("<rawitemdata type='17'>AQAA"), std::string::npos);
    EXPECT_NE(first.find("<item name='$Name' summary='true'><text>$profile_015calendarprofile_jo "
                         "doe/demo</text></item>"),
              std::string::npos)
        << first;
    EXPECT_NE(first.find("<note class='form' default='true'>"), std::string::npos);
    EXPECT_NE(first.find("<note class='0x2008'>"), std::string::npos);
    EXPECT_NE(first.find("<text>one\ntwo\n</text>"), std::string::npos);
    EXPECT_NE(first.find("&amp; &lt;tag&gt; \t&#13;</text>"), std::string::npos);
    EXPECT_NE(first.find("<datetime dst='true'>20240101T055034,56+0530</datetime>"),
              std::string::npos)
        << first;
    EXPECT_NE(first.find("<datetime>20231231T140000,99-10</datetime>"), std::string::npos);
    EXPECT_NE(first.find("<datetime>20240101+01</datetime>"), std::string::npos);
    EXPECT_NE(first.find("<datetime>T235959,99</datetime>"), std::string::npos);
    EXPECT_NE(first.find("<item name='AuthorsAlone' authors='true' placeholder='true' "
                         "names='false'>"),
              std::string::npos);
    for (const char *raw : {"LineFeedByte", "Control", "NaN", "Pairs", "BadTime", "Composite"}) {
        EXPECT_NE(first.find(std::string("<item name='") + raw + "'><rawitemdata"),
                  std::string::npos)
            << raw;
    }

    DBHANDLE b = CreateAndOpen("b.nsf");
    StandinDxlResult result{};
    ASSERT_EQ(Import(b, first, &result), NOERROR) << result.message;
    EXPECT_EQ(result.notes, 6u);  // the icon note, four more and the profile
    EXPECT_EQ(result.profiles, 1u);
    EXPECT_STREQ(result.message, "");
    // The one change: the profile carries the "$Name" that the export gave it.
    auto imported = Snapshot(b);
    const auto original = Snapshot(a);
    size_t named = 0;
    for (auto &note : imported) {
        auto &items = note.second.items;
        if (!items.empty() && items[0].name == "$Name" &&
            original.at(note.first).items.size() + 1 == items.size()) {
            EXPECT_EQ(items[0].bytes, "$profile_015calendarprofile_jo doe/demo");
            EXPECT_EQ(items[0].flags, ITEM_SUMMARY);
            items.erase(items.begin());
            named++;
        }
    }
    EXPECT_EQ(named, 1u);
    ExpectSameNotes(imported, original);
    EXPECT_EQ(WithoutIds(Export(b)), WithoutIds(first));

    // The profile is found again by its name and user.
    ASSERT_NOERROR(NSFProfileOpen(b, "calendarprofile", 15, "Jo Doe/Demo", 11, TRUE, &profile));
    EXPECT_EQ(Text(profile, "Owner"), "CN=Jo Doe/O=Demo");
    ASSERT_NOERROR(NSFNoteClose(profile));
    NSFDbClose(a);
    NSFDbClose(b);
}

// The text of a real server's export: a namespace, a DOCTYPE, database
// information, note information, updaters, revisions, times with zones.
TEST_F(DxlTest, AServersExportImportsWithItsUnidsSequencesAndTimes) {
    const std::string text =
        test_support::ReadFile(std::string(DXL_FIXTURE_DIR) + "/server-export.xml");
    DBHANDLE db = CreateAndOpen("mail.nsf");
    StandinDxlResult result{};
    ASSERT_EQ(Import(db, text, &result), NOERROR) << result.message;
    EXPECT_EQ(result.notes, 2u);
    EXPECT_EQ(result.profiles, 1u);

    NOTEHANDLE profile = NULLHANDLE;
    ASSERT_NOERROR(NSFProfileOpen(db, "OutOfOfficeProfile", 18, nullptr, 0, TRUE, &profile));
    OID oid = NoteOid(profile);
    EXPECT_EQ(UnidKey(oid), "0A1B2C3D4E5F60718293A4B5C6D7E8F9");
    EXPECT_EQ(oid.Sequence, 7u);
    // 14:41:34.03 at 11 hours east is 03:41:34.03 GMT; dst is kept.
    EXPECT_EQ(oid.SequenceTime.Innards[0], (3 * 3600u + 41 * 60 + 34) * 100 + 3);
    EXPECT_EQ(oid.SequenceTime.Innards[1], 2456349u | 0x4B000000u | 0x80000000u);
    EXPECT_EQ(Text(profile, "GeneralMessage"), std::string("Back in March.\0Regards", 22));
    EXPECT_EQ(NSFItemGetTextListEntries(profile, "Notified"), 2);
    TIMEDATE back{};
    ASSERT_TRUE(NSFItemGetTime(profile, "dateFirstDayBack", &back));
    EXPECT_EQ(back.Innards[0], 8 * 3600u * 100);  // no zone: GMT
    EXPECT_EQ(back.Innards[1], 2456367u);
    TIMEDATE start{};
    ASSERT_TRUE(NSFItemGetTime(profile, "StartTime", &start));
    EXPECT_EQ(start.Innards[1], ANYDAY);
    ASSERT_NOERROR(NSFNoteClose(profile));

    // <document form=...> is a document with its "Form" item first.
    const SeenNote memo = Snapshot(db).at("0A1B2C3D4E5F60718293A4B5C6D7E8FA");
    ASSERT_EQ(memo.items.size(), 3u);
    EXPECT_EQ(memo.items[0].name, "Form");
    EXPECT_EQ(memo.items[0].bytes, "Memo");
    EXPECT_EQ(memo.items[1].name, "Subject");
    EXPECT_EQ(memo.items[2].name, "PostedDate");
    EXPECT_EQ(memo.items[2].type, TYPE_TIME);
    EXPECT_EQ(memo.seq, 2u);
    NSFDbClose(db);
}

// A text handed in chunks of any size, cut inside tags, entities and UTF-8
// sequences alike, stores the same notes.
TEST_F(DxlTest, ChunksOfAnySizeStoreTheSameNotes) {
    const std::string text =
        test_support::ReadFile(std::string(DXL_FIXTURE_DIR) + "/server-export.xml");
    std::string withAccents = text;
    withAccents.replace(withAccents.find("Back in March."), 14, "Zurück im März &amp; 日本.");
    DBHANDLE reference = CreateAndOpen("reference.nsf");
    ASSERT_NOERROR(Import(reference, withAccents));
    const auto expected = WithoutIcon(Snapshot(reference));
    for (size_t chunk : {1, 2, 3, 7, 13, 64, 4096}) {
        DBHANDLE db = CreateAndOpen(("chunk" + std::to_string(chunk) + ".nsf").c_str());
        TextReader reader;
        reader.text = withAccents;
        reader.chunk = chunk;
        StandinDxlResult result{};
        ASSERT_EQ(StandinDxlImport(db, ReadText, &reader, &result), NOERROR) << chunk;
        ExpectSameNotes(WithoutIcon(Snapshot(db)), expected, "chunks of " + std::to_string(chunk));
        if (chunk == 1) {
            EXPECT_GE(reader.calls, withAccents.size());
        }
        NSFDbClose(db);
    }
    NSFDbClose(reference);
}

struct Refusal {
    const char *what;
    std::string text;
    STATUS status;
    unsigned long line;
    const char *message;
};

// Each refused text names its line and what is wrong, and stores nothing,
// not even the good notes before the bad one.
TEST_F(DxlTest, ARefusedTextNamesItsLineAndStoresNothing) {
    const std::string good =
        "<database>\n<note class='form'><item name='A'><text>a</text></item>"
        "</note>\n";
    const std::string unid = "<noteinfo unid='0A1B2C3D4E5F60718293A4B5C6D7E8F9'/>";
    const std::vector<Refusal> cases = {
        {"unknown element", good + "<note class='form'><item name='B'><txt>b</txt></item></note>",
         ERR_DXL_UNKNOWN, 3, "unknown element <txt> in <item>"},
        {"unknown attribute", good + "<note class='form' colour='red'/>", ERR_DXL_UNKNOWN, 3,
         "unknown attribute \"colour\" of <note>"},
        {"unknown class", good + "<note class='memo'/>", ERR_DXL_BAD_VALUE, 3,
         "unknown note class \"memo\""},
        {"bad number",
         good + "<note class='form'><item name='N'><number>1,5</number></item></note>",
         ERR_DXL_BAD_VALUE, 3, "\"1,5\" is not a finite decimal number"},
        {"bad time",
         good + "\n<note class='form'><item name='T'>\n<datetime>20130230T100000</datetime>"
                "</item></note>",
         ERR_DXL_BAD_VALUE, 5, "is not a time"},
        {"bad zone",
         good + "<note class='form'><item name='T'><datetime>20130201T100000+0510</datetime>"
                "</item></note>",
         ERR_DXL_BAD_VALUE, 3, "is not a time"},
        {"bad UNID", good + "<note class='form'><noteinfo unid='XYZ'/></note>", ERR_DXL_BAD_VALUE,
         3, "the UNID \"XYZ\" is not 32 hex digits"},
        {"no value", good + "<note class='form'><item name='E'></item></note>", ERR_DXL_BAD_VALUE,
         3, "the item \"E\" holds no value"},
        {"two values", good + "<note class='form'><item name='E'><text/><text/></item></note>",
         ERR_DXL_BAD_VALUE, 3, "holds a second value <text>"},
        {"bad boolean",
         good + "<note class='form'><item name='S' summary='yes'><text/></item></note>",
         ERR_DXL_BAD_VALUE, 3, "is \"yes\", not \"true\" or \"false\""},
        {"bad base64",
         good + "<note class='form'><item name='R'><rawitemdata type='17'>A$==</rawitemdata>"
                "</item></note>",
         ERR_DXL_BAD_VALUE, 3, "not base64"},
        {"raw text list cut short",
         good + "<note class='form'><item name='R'><rawitemdata "
                "type='1281'>AQAFAA==</rawitemdata></item></note>",
         ERR_DXL_BAD_VALUE, 3, "does not hold a whole value of type 1281"},
        {"text outside values", good + "<note class='form'>stray</note>", ERR_DXL_UNKNOWN, 3,
         "text in <note>"},
        {"not closed", good + "<note class='form'>", ERR_DXL_MALFORMED, 3, ""},
        {"no database", "<notes/>", ERR_DXL_UNKNOWN, 1, "the root element is <notes>"},
        {"empty", "", ERR_DXL_MALFORMED, 1, "no element found"},
        {"a UNID twice",
         good + "<note class='form'>" + unid + "</note>\n<note class='view'>" + unid + "</note>",
         ERR_DXL_CONFLICT, 4,
         "a second note of UNID 0A1B2C3D4E5F60718293A4B5C6D7E8F9 (the first at line 3)"},
        {"a profile twice",
         good + "<note class='document'><item name='$Name'><text>$profile_003abc_</text>"
                "</item></note>\n<note class='document'><item name='$name'><text>"
                "$PROFILE_003ABC_</text></item></note>",
         ERR_DXL_CONFLICT, 4, "a second profile \"ABC\""},
        {"a bad profile name",
         good + "<note class='document'><item name='$Name'><text>$profile_9x</text>"
                "</item></note>",
         ERR_DXL_BAD_VALUE, 3, "is no profile name"},
        {"two icons", good + "<note class='icon'/><note class='icon'/>", ERR_DXL_CONFLICT, 3,
         "a second note of the class icon"},
        {"an unknown ACL level", good + "<acl><aclentry name='-Default-' level='boss'/></acl>",
         ERR_DXL_BAD_ACL, 3, "unknown access level \"boss\""},
        {"an ACL name twice",
         good + "<acl>\n<aclentry name='CN=Jo Doe/O=Demo' level='reader'/>\n"
                "<aclentry name='jo doe/demo' level='editor'/></acl>",
         ERR_DXL_BAD_ACL, 5, "a second entry for \"jo doe/demo\" (the first at line 4)"},
        {"an undeclared role",
         good + "<acl><role>[Admin]</role><aclentry name='A' level='manager'>"
                "<role>[Boss]</role></aclentry></acl>",
         ERR_DXL_BAD_ACL, 3, "the role \"[Boss]\" is not declared in <acl>"},
        {"two default entries",
         good + "<acl><aclentry name='A' level='reader' default='true'/>"
                "<aclentry name='B' level='reader' default='true'/></acl>",
         ERR_DXL_BAD_ACL, 3, "a second default entry"},
    };
    DBHANDLE db = CreateAndOpen("target.nsf");
    StoreNote(db, {{"Subject", "kept"}});
    const auto before = Snapshot(db);
    for (const Refusal &c : cases) {
        StandinDxlResult result{};
        EXPECT_EQ(Import(db, c.text, &result), c.status) << c.what << ": " << result.message;
        EXPECT_EQ(result.line, c.line) << c.what << ": " << result.message;
        EXPECT_NE(std::string(result.message).find(c.message), std::string::npos)
            << c.what << ": " << result.message;
        EXPECT_EQ(std::string(result.message).rfind("line " + std::to_string(c.line) + ": ", 0), 0u)
            << c.what << ": " << result.message;
        EXPECT_EQ(result.notes, 0u) << c.what;
        EXPECT_EQ(Snapshot(db), before) << c.what;
    }
    NSFDbClose(db);
}

// Hostile texts are refused at once, without expanding anything, and store
// nothing.
TEST_F(DxlTest, HostileTextsAreRefusedAndStoreNothing) {
    std::string laughs = "<?xml version='1.0'?>\n<!DOCTYPE database [\n<!ENTITY lol 'lol'>\n";
    for (int i = 1; i < 10; i++) {
        laughs += "<!ENTITY lol" + std::to_string(i) + " '";
        for (int k = 0; k < 10; k++)
            laughs += "&lol" + (i == 1 ? std::string() : std::to_string(i - 1)) + ";";
        laughs += "'>\n";
    }
    laughs +=
        "]>\n<database><note class='form'><item name='x'><text>&lol9;</text></item></note>"
        "</database>";
    std::string deep = "<database><databaseinfo>";
    for (int i = 0; i < 100; i++)
        deep += "<x>";
    std::string huge = "<database><note class='form'><item name='x'><rawitemdata type='17'>";
    huge += std::string(17u << 20, 'A');
    huge += "</rawitemdata></item></note></database>";
    const std::vector<Refusal> cases = {
        {"billion laughs", laughs, ERR_DXL_ENTITY, 3, "declares the entity \"lol\""},
        {"external entity",
         "<!DOCTYPE database [<!ENTITY pw SYSTEM "
         "'file:///etc/passwd'>]>\n<database>&pw;</database>",
         ERR_DXL_ENTITY, 1, "declares the entity \"pw\""},
        {"undeclared entity", "<database>\n<note class='form'>&pw;</note></database>",
         ERR_DXL_ENTITY, 2, ""},
        {"deep nesting", deep, ERR_DXL_LIMIT, 1, "elements nest deeper than 32"},
        {"huge base64", huge, ERR_DXL_LIMIT, 1, "holds more than 16 MiB of text"},
    };
    DBHANDLE db = CreateAndOpen("target.nsf");
    const auto before = Snapshot(db);
    for (const Refusal &c : cases) {
        StandinDxlResult result{};
        EXPECT_EQ(Import(db, c.text, &result), c.status) << c.what << ": " << result.message;
        EXPECT_EQ(result.line, c.line) << c.what << ": " << result.message;
        EXPECT_NE(std::string(result.message).find(c.message), std::string::npos)
            << c.what << ": " << result.message;
        EXPECT_EQ(Snapshot(db), before) << c.what;
    }
    // A DOCTYPE that only names its DTD is read and not loaded.
    EXPECT_NOERROR(Import(db,
                          "<!DOCTYPE database SYSTEM 'http://example.invalid/dxl.dtd'>"
                          "<database/>"));
    NSFDbClose(db);
}

// A second import of the same text replaces the notes it stored (by UNID,
// profile and icon note) instead of adding copies.
TEST_F(DxlTest, ASecondImportReplacesTheNotesOfTheFirst) {
    const std::string text =
        "<database><note class='icon'><item name='$TITLE'><text>Mine</text></item></note>"
        "<note class='form'><noteinfo unid='00000000000000010000000000000002'/>"
        "<item name='$TITLE'><text>F</text></item></note>"
        "<note class='document'><item name='$Name'><text>$profile_003abc_CN=Jo "
        "Doe/O=Demo</text></item>"
        "<item name='V'><text>1</text></item></note></database>";
    DBHANDLE db = CreateAndOpen("twice.nsf");
    ASSERT_NOERROR(Import(db, text));
    const size_t afterFirst = Snapshot(db).size();
    std::string again = text;
    again.replace(again.find("<text>1</text>"), 14, "<text>2</text>");
    ASSERT_NOERROR(Import(db, again));
    EXPECT_EQ(Snapshot(db).size(), afterFirst);
    NOTEHANDLE profile = NULLHANDLE;
    ASSERT_NOERROR(NSFProfileOpen(db, "ABC", 3, "Jo Doe/Demo", 11, TRUE, &profile));
    EXPECT_EQ(Text(profile, "V"), "2");
    ASSERT_NOERROR(NSFNoteClose(profile));
    NOTEHANDLE icon = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon));
    EXPECT_EQ(Text(icon, "$TITLE"), "Mine");
    ASSERT_NOERROR(NSFNoteClose(icon));
    NSFDbClose(db);
}

// The stand-in keeps no ACL: one that is read is checked and said to be
// left out, never dropped silently.
TEST_F(DxlTest, AnAclIsCheckedAndReportedAsNotStored) {
    DBHANDLE db = CreateAndOpen("acl.nsf");
    StandinDxlResult result{};
    ASSERT_NOERROR(Import(db,
                          "<database><acl maxinternetaccess='reader'><role>[Admin]</role>"
                          "<role>[SysAdmin]</role>"
                          "<aclentry name='-Default-' level='noaccess' default='true'/>"
                          "<aclentry name='CN=Jo Doe/O=Demo' level='manager' type='person' "
                          "deletedocs='true'><role>[Admin]</role></aclentry>"
                          "<aclentry name='LocalDomainServers' level='manager' type='servergroup'/>"
                          "</acl><note class='form'/></database>",
                          &result));
    EXPECT_TRUE(result.aclFound);
    EXPECT_FALSE(result.aclStored);
    EXPECT_EQ(result.aclEntries, 3u);
    EXPECT_EQ(result.aclRoles, 2u);
    EXPECT_EQ(result.notes, 1u);
    EXPECT_STREQ(result.message,
                 "the ACL (3 entries, 2 roles) was read and checked but not "
                 "stored: the database keeps no ACL");
    NSFDbClose(db);
}

TEST_F(DxlTest, FailuresOfTheReaderTheWriterTheStoreAndTheCallsAreReturned) {
    const std::string text = "<database><note class='form'/><note class='view'/></database>";
    DBHANDLE db = CreateAndOpen("fail.nsf");
    const auto before = Snapshot(db);

    // The reader fails after the first note was stored in the transaction.
    TextReader reader;
    reader.text = text;
    reader.chunk = 32;
    reader.failAt = 32;
    reader.failStatus = ERR_FILE_IO;
    StandinDxlResult result{};
    EXPECT_EQ(StandinDxlImport(db, ReadText, &reader, &result), ERR_FILE_IO);
    EXPECT_NE(std::string(result.message).find("could not be read further"), std::string::npos);
    EXPECT_EQ(Snapshot(db), before);

    // A write of the store that fails at any step rolls everything back.
    DBHANDLE steps = CreateAndOpen("steps.nsf");
    const auto empty = Snapshot(steps);
    unsigned failures = 0;
    for (unsigned skip = 0;; skip++) {
        StandinFaultInject({"SQLiteStep", ERR_DB_IO, skip, 1, "steps.nsf"});
        STATUS status = Import(steps, text, &result);
        StandinFaultClear();
        if (status == NOERROR)
            break;
        failures++;
        EXPECT_EQ(status, ERR_DB_IO) << "step " << skip << ": " << result.message;
        EXPECT_EQ(result.notes, 0u);
        EXPECT_EQ(Snapshot(steps), empty) << "step " << skip;
        ASSERT_LT(skip, 1000u);
    }
    EXPECT_GT(failures, 4u);
    EXPECT_EQ(Snapshot(steps).size(), empty.size() + 2);
    NSFDbClose(steps);

    // Each call asks its own fault point with the database's path.
    StandinFaultInject({"StandinDxlImport", ERR_FAULT_INJECTED, 0, 0, "fail.nsf"});
    StandinFaultInject({"StandinDxlExport", ERR_FAULT_INJECTED, 0, 0, "fail.nsf"});
    StandinFaultInject({"StandinDbCopyDesign", ERR_FAULT_INJECTED, 0, 0, "fail.nsf"});
    EXPECT_EQ(Import(db, text), ERR_FAULT_INJECTED);
    std::string out;
    EXPECT_EQ(StandinDxlExport(db, WriteText, &out, nullptr, nullptr, 0), ERR_FAULT_INJECTED);
    EXPECT_EQ(StandinDbCopyDesign(db, db, nullptr), ERR_FAULT_INJECTED);
    EXPECT_EQ(StandinFaultHits("StandinDxlImport"), 1u);
    StandinFaultClear();

    EXPECT_EQ(StandinDxlExport(db, RefuseWrite, nullptr, nullptr, nullptr, 0), ERR_FILE_IO);
    EXPECT_EQ(StandinDxlImport(db, nullptr, nullptr, nullptr), ERR_BAD_PARAM);
    EXPECT_EQ(StandinDxlExport(db, nullptr, nullptr, nullptr, nullptr, 0), ERR_BAD_PARAM);
    EXPECT_EQ(StandinDxlImport(0x7777, ReadText, &reader, nullptr), ERR_INVALID_HANDLE);
    EXPECT_EQ(Snapshot(db), before);
    NSFDbClose(db);
}

// An item name that UTF-8 cannot carry back stops the export before any
// byte goes out.
TEST_F(DxlTest, AnItemNameThatUtf8CannotCarryStopsTheExport) {
    DBHANDLE db = CreateAndOpen("names.nsf");
    StoreWith(db, NOTE_CLASS_DOCUMENT,
              [&](NOTEHANDLE n) { Append(n, "bad\x14", TYPE_TEXT, 0, "x"); });
    std::string out;
    char problem[256] = {};
    EXPECT_EQ(StandinDxlExport(db, WriteText, &out, nullptr, problem, sizeof problem),
              ERR_DXL_UNWRITABLE);
    EXPECT_EQ(out, "");
    EXPECT_NE(std::string(problem).find("does not come back the same through UTF-8"),
              std::string::npos)
        << problem;
    NSFDbClose(db);
}

TEST_F(DxlTest, TheDesignCopyTakesEveryNoteButDocumentsWithTheirUnids) {
    DBHANDLE from = CreateAndOpen("template.ntf");
    ASSERT_NOERROR(Import(from,
                          "<database><note class='icon'><item name='$TITLE'><text>Template</text>"
                          "</item></note><note class='form'><noteinfo unid="
                          "'00000000000000010000000000000002' sequence='4'/><item name='$TITLE'>"
                          "<text>F</text></item></note><note class='agent'><item name='$TITLE'>"
                          "<text>OutOfOffice</text></item></note><note class='document'><item "
                          "name='Subject'><text>not design</text></item></note></database>"));
    DBHANDLE to = CreateAndOpen("new.nsf");
    DWORD copied = 0;
    ASSERT_NOERROR(StandinDbCopyDesign(from, to, &copied));
    EXPECT_EQ(copied, 3u);
    auto source = Snapshot(from);
    auto target = Snapshot(to);
    EXPECT_EQ(target.size(), 3u);  // the icon replaced the new one
    for (const auto &note : target)
        EXPECT_EQ(source.at(note.first), note.second) << note.first;
    EXPECT_EQ(target.at("00000000000000010000000000000002").seq, 4u);
    size_t agents = 0;
    for (const auto &note : target)
        agents += note.second.noteClass == NOTE_CLASS_FILTER;
    EXPECT_EQ(agents, 1u);
    NSFDbClose(from);
    NSFDbClose(to);
}

}  // namespace
