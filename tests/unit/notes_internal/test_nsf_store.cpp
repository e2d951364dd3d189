// The store core and its indexers through their own interfaces: the
// transaction of many notes, note images, the design index, the change
// counter and index rebuilds.
#include <deque>
#include <string>
#include <vector>

#include "collation.h"
#include "nsf_indexers.h"
#include "nsf_internal.h"
#include "nsf_note.h"
#include "nsf_raw_sqlite.h"
#include "nsf_store.h"
#include "nsf_test_util.h"
#include "os_error.h"
#include "standin/fault.h"

namespace {

using notes_internal::nsf::DbFile;
using notes_internal::nsf::Indexer;
using notes_internal::nsf::NoteImage;
using notes_internal::nsf::SaveItem;
using notes_internal::nsf::SaveRequest;
using notes_internal::nsf::StoredNote;
using notes_internal::nsf::Transaction;

// A note to store: its class and text items, kept alive with the request
// that points into them.
class Draft {
  public:
    explicit Draft(WORD noteClass = NOTE_CLASS_DOCUMENT) { request_.note.noteClass = noteClass; }
    Draft &Text(const std::string &name, const std::string &value, WORD type = TYPE_TEXT) {
        names_.push_back(name);
        keys_.push_back(notes_internal::CollationKey(name));
        values_.push_back(value);
        request_.items.push_back({&names_.back(), &keys_.back(), type, ITEM_SUMMARY,
                                  reinterpret_cast<const unsigned char *>(values_.back().data()),
                                  values_.back().size()});
        return *this;
    }
    Draft &List(const std::string &name, const std::vector<std::string> &entries) {
        auto bytes = nsf_test::TextList(entries);
        return Text(name, std::string(bytes.begin(), bytes.end()), TYPE_TEXT_LIST);
    }
    SaveRequest *request() { return &request_; }
    NOTEID id() const { return request_.result.id; }

  private:
    std::deque<std::string> names_, keys_, values_;  // stable addresses
    SaveRequest request_;
};

class StoreTest : public nsf_test::NsfTest {
  protected:
    void SetUp() override {
        NsfTest::SetUp();
        db_ = CreateAndOpen("store.nsf");
        std::shared_ptr<notes_internal::nsf::DbObject> object;
        ASSERT_NOERROR(notes_internal::nsf::LookupDb(db_, &object));
        file_ = object->file;
    }
    void TearDown() override {
        file_.reset();
        EXPECT_NOERROR(NSFDbClose(db_));
        NsfTest::TearDown();
    }
    int64_t Counter() {
        int64_t counter = -1;
        EXPECT_NOERROR(file_->ChangeCounter(&counter));
        return counter;
    }
    // The design note of that class and name, 0 when there is none.
    NOTEID Design(WORD noteClass, const std::string &name) {
        NOTEID id = 0;
        STATUS status = file_->FindDesign(noteClass, name.data(), name.size(), &id);
        EXPECT_TRUE(status == NOERROR || status == ERR_DESIGN_NOT_FOUND) << std::hex << status;
        return status == NOERROR ? id : 0;
    }
    NOTEID Save(Draft &draft) {
        EXPECT_NOERROR(file_->SaveNote(draft.request()));
        return draft.id();
    }
    std::string Subject(NOTEID id) {
        std::string subject = "<no note>";
        StoredNote header;
        file_->ReadNote(
            id, &header,
            [&](const unsigned char *name, size_t nameLen, WORD, WORD, const unsigned char *value,
                size_t size) {
                if (std::string(reinterpret_cast<const char *>(name), nameLen) == "Subject")
                    subject.assign(reinterpret_cast<const char *>(value), size);
                return static_cast<STATUS>(NOERROR);
            });
        return subject;
    }

    DBHANDLE db_ = NULLHANDLE;
    std::shared_ptr<DbFile> file_;
};

TEST_F(StoreTest, AManyNoteWriteThatFailsAnywhereStoresNoneOfIt) {
    NOTEID existing = StoreNote(db_, {{"Subject", "old"}});
    const std::vector<NOTEID> before = nsf_test::NoteIds(db_);
    const int64_t counter = Counter();

    auto import = [&](std::vector<NOTEID> *stored) -> STATUS {
        std::deque<Draft> drafts;
        Transaction txn(*file_);
        if (STATUS status = txn.Begin())
            return status;
        for (int i = 0; i < 10; i++) {
            drafts.emplace_back().Text("Subject", "imported " + std::to_string(i));
            if (STATUS status = txn.SaveNote(drafts.back().request()))
                return status;
        }
        drafts.emplace_back(NOTE_CLASS_VIEW).Text("$TITLE", "Imported|Alias");
        if (STATUS status = txn.SaveNote(drafts.back().request()))
            return status;
        if (STATUS status = txn.DeleteNote(existing))
            return status;
        if (STATUS status = txn.Commit())
            return status;
        for (Draft &draft : drafts)
            stored->push_back(draft.id());
        return NOERROR;
    };

    // Fail each step in turn, until the whole write gets through.
    unsigned skip = 0;
    STATUS status;
    std::vector<NOTEID> stored;
    for (;; skip++) {
        StandinFaultClear();
        StandinFaultInject({"SQLiteStep", ERR_DB_IO, skip, 1, "store.nsf"});
        status = import(&stored);
        if (StandinFaultHits("SQLiteStep") == 0)
            break;
        StandinFaultClear();
        ASSERT_EQ(status, ERR_DB_IO) << "step " << skip;
        EXPECT_EQ(nsf_test::NoteIds(db_), before) << "step " << skip;
        EXPECT_EQ(Counter(), counter) << "step " << skip;
        EXPECT_EQ(Design(NOTE_CLASS_VIEW, "Imported"), 0u) << "step " << skip;
        EXPECT_EQ(Subject(existing), "old") << "step " << skip;
        ASSERT_LT(skip, 200u);
    }
    StandinFaultClear();
    ASSERT_NOERROR(status);
    EXPECT_GE(skip, 30u) << "every note's steps were failed once";
    ASSERT_EQ(stored.size(), 11u);
    EXPECT_EQ(nsf_test::NoteIds(db_).size(), before.size() + 11);
    EXPECT_EQ(Subject(stored[3]), "imported 3");
    EXPECT_EQ(Design(NOTE_CLASS_VIEW, "alias"), stored[10]);
    EXPECT_EQ(Subject(existing), "<no note>");
    EXPECT_EQ(Counter(), counter + 12) << "one change per note written";
    char problem[200];
    EXPECT_EQ(StandinDbCheck("store.nsf", problem, sizeof problem), NOERROR) << problem;
}

TEST_F(StoreTest, ATransactionKeepsItsFirstFailureSeesItsOwnWritesAndRollsBackWhenDropped) {
    const std::vector<NOTEID> before = nsf_test::NoteIds(db_);
    {
        Transaction txn(*file_);
        Draft early;
        EXPECT_EQ(txn.SaveNote(early.request()), ERR_INVALID_HANDLE) << "before Begin";
        ASSERT_NOERROR(txn.Begin());
        Draft first, missing, later;
        first.Text("Subject", "first");
        ASSERT_NOERROR(txn.SaveNote(first.request()));
        missing.request()->note.id = 0x7FFF0;
        EXPECT_EQ(txn.SaveNote(missing.request()), ERR_INVALID_NOTE);
        EXPECT_EQ(txn.SaveNote(later.request()), ERR_INVALID_NOTE) << "the first failure stays";
        EXPECT_EQ(txn.Commit(), ERR_INVALID_NOTE);
    }
    EXPECT_EQ(nsf_test::NoteIds(db_), before);

    Draft view(NOTE_CLASS_VIEW), doc;
    view.Text("$TITLE", "Dropped");
    doc.Text("Subject", "dropped");
    {
        Transaction txn(*file_);
        ASSERT_NOERROR(txn.Begin());
        ASSERT_NOERROR(txn.SaveNote(view.request()));
        ASSERT_NOERROR(txn.SaveNote(doc.request()));
        StoredNote header;
        auto ignore = [](const unsigned char *, size_t, WORD, WORD, const unsigned char *, size_t) {
            return static_cast<STATUS>(NOERROR);
        };
        EXPECT_EQ(txn.ReadNote(doc.id(), &header, ignore), NOERROR) << "its own write";
        EXPECT_EQ(file_->ReadNote(doc.id(), &header, ignore), ERR_INVALID_NOTE)
            << "nobody else's before the commit";
        NOTEID found = 0;
        EXPECT_NOERROR(txn.FindDesign(NOTE_CLASS_VIEW, "dropped", 7, &found));
        EXPECT_EQ(found, view.id()) << "the design index was kept in the same transaction";
        EXPECT_EQ(Design(NOTE_CLASS_VIEW, "Dropped"), 0u);
    }
    EXPECT_EQ(nsf_test::NoteIds(db_), before) << "dropped without a commit";
    Draft after;
    after.Text("Subject", "after");
    EXPECT_EQ(Save(after), before.back() + 4) << "the lock is free, the note IDs not taken";

    Transaction txn(*file_);
    ASSERT_NOERROR(txn.Begin());
    ASSERT_NOERROR(txn.Commit());
    EXPECT_EQ(txn.SaveNote(after.request()), ERR_INVALID_HANDLE) << "after Commit";
    EXPECT_EQ(txn.Commit(), ERR_INVALID_HANDLE);
    EXPECT_EQ(txn.Begin(), ERR_INVALID_HANDLE) << "one transaction per object";
}

TEST_F(StoreTest, NoteImagesAndOpenNotesGiveTheirItemsAsAnItemSource) {
    Draft draft(NOTE_CLASS_FORM);
    draft.Text("Subject", "first")
        .Text(
            "\x8E"
            "nderung",
            "umlaut")
        .Text("SUBJECT", "second");
    StoredNote header;
    header.id = 0x48;
    header.noteClass = NOTE_CLASS_FORM;
    NoteImage image(header, draft.request()->items, true);

    NOTEHANDLE handle;
    ASSERT_NOERROR(NSFNoteCreate(db_, &handle));
    for (const SaveItem &item : draft.request()->items)
        ASSERT_NOERROR(NSFItemAppend(handle, item.flags, item.name->c_str(),
                                     static_cast<WORD>(item.name->size()), item.type, item.value,
                                     static_cast<DWORD>(item.size)));
    std::shared_ptr<notes_internal::nsf::NoteObject> open;
    ASSERT_NOERROR(notes_internal::nsf::LookupNote(handle, &open));

    const notes_internal::ItemSource *sources[] = {&image, open.get()};
    for (const notes_internal::ItemSource *source : sources) {
        std::lock_guard<std::mutex> lock(open->mutex);
        WORD type = 0;
        const unsigned char *bytes = nullptr;
        size_t size = 0;
        ASSERT_TRUE(source->FindItem("subject", 7, &type, &bytes, &size));
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(bytes), size), "first")
            << "the first of its name";
        EXPECT_EQ(type, TYPE_TEXT);
        ASSERT_TRUE(source->FindItem("\x84NDERUNG", 8, &type, &bytes, &size));
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(bytes), size), "umlaut");
        EXPECT_FALSE(source->FindItem("Subjec", 6, &type, &bytes, &size));
    }
    EXPECT_EQ(image.NoteClass(), NOTE_CLASS_FORM);
    EXPECT_EQ(image.NoteId(), 0x48u);
    EXPECT_EQ(open->NoteClass(), NOTE_CLASS_DOCUMENT);
    EXPECT_EQ(open->NoteId(), 0u);
    open.reset();
    EXPECT_NOERROR(NSFNoteClose(handle));
}

TEST_F(StoreTest, DesignNotesAreFoundByClassAndEachNameOfTheirTitle) {
    Draft setup(NOTE_CLASS_VIEW), form(NOTE_CLASS_FORM), agent(NOTE_CLASS_FILTER),
        defaultView(NOTE_CLASS_VIEW | NOTE_CLASS_DEFAULT), shared(NOTE_CLASS_VIEW), doc,
        gaps(NOTE_CLASS_VIEW), wide(NOTE_CLASS_VIEW), umlaut(NOTE_CLASS_FORM);
    setup.Text("$TITLE", "(Setup Doc)|SetupDoc").Text("$Flags", "-G40n^");
    shared.Text("$TITLE", "Shared").Text("$Flags", "P");
    form.List("$TITLE", {"FServerLicense", " Server License | License "});
    agent.Text("$TITLE", "OutOfOffice").Text("$Flags", "3");
    defaultView.Text("$TITLE", "Main|Shared");
    doc.Text("$TITLE", "A Document");
    gaps.Text("$TITLE", "|A||B|");
    wide.Text("$TITLE", "\x10|\x41X|Y");  // a double-byte character holding "|"
    umlaut.Text("$TITLE",
                "\x8E"
                "nderungen");
    // Saved in this order, so the note IDs rise in it.
    for (Draft *draft : {&setup, &form, &agent, &defaultView, &shared, &doc, &gaps, &wide, &umlaut})
        Save(*draft);

    struct Case {
        WORD noteClass;
        std::string name;
        NOTEID expected;
    };
    const Case cases[] = {
        {NOTE_CLASS_VIEW, "(Setup Doc)", setup.id()},
        {NOTE_CLASS_VIEW, "setupdoc", setup.id()},
        {NOTE_CLASS_VIEW, "  SETUPDOC\t", setup.id()},
        {NOTE_CLASS_VIEW, "Setup", 0},
        {NOTE_CLASS_FORM, "(Setup Doc)", 0},
        {NOTE_CLASS_FORM, "fserverlicense", form.id()},
        {NOTE_CLASS_FORM, "server license", form.id()},
        {NOTE_CLASS_FORM, "LICENSE", form.id()},
        {NOTE_CLASS_FILTER, "outofoffice", agent.id()},
        {NOTE_CLASS_VIEW, "main", defaultView.id()},
        {NOTE_CLASS_VIEW | NOTE_CLASS_DEFAULT, "main", defaultView.id()},
        {NOTE_CLASS_VIEW, "shared", defaultView.id()},  // the lower note ID
        {NOTE_CLASS_DOCUMENT, "A Document", 0},
        {NOTE_CLASS_VIEW, "A Document", 0},
        {NOTE_CLASS_VIEW, "a", gaps.id()},
        {NOTE_CLASS_VIEW, "b", gaps.id()},
        {NOTE_CLASS_VIEW, "", 0},
        {NOTE_CLASS_VIEW, "\x10|\x41x", wide.id()},
        {NOTE_CLASS_VIEW, "y", wide.id()},
        {NOTE_CLASS_VIEW, "\x41X", 0},
        {NOTE_CLASS_FORM, "\x84NDERUNGEN", umlaut.id()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.name) + " class " + std::to_string(c.noteClass));
        EXPECT_EQ(Design(c.noteClass, c.name), c.expected);
    }

    std::vector<DbFile::DesignMatch> matches;
    ASSERT_NOERROR(file_->FindDesigns(NOTE_CLASS_VIEW, "SHARED", 6, &matches));
    ASSERT_EQ(matches.size(), 2u);
    EXPECT_EQ(matches[0].id, defaultView.id());
    EXPECT_EQ(matches[0].flags, "");
    EXPECT_EQ(matches[1].id, shared.id());
    EXPECT_EQ(matches[1].flags, "P");
    EXPECT_EQ(file_->FindDesigns(NOTE_CLASS_VIEW, "none", 4, &matches), ERR_DESIGN_NOT_FOUND);
    EXPECT_TRUE(matches.empty());
    std::string flags;
    ASSERT_NOERROR(file_->DesignFlags(setup.id(), &flags));
    EXPECT_EQ(flags, "-G40n^");
    ASSERT_NOERROR(file_->DesignFlags(doc.id(), &flags));
    EXPECT_EQ(flags, "");
}

TEST_F(StoreTest, TheDesignIndexFollowsRenamesClassChangesAndDeletions) {
    Draft view(NOTE_CLASS_VIEW);
    view.Text("$TITLE", "Before|Old");
    NOTEID id = Save(view);
    ASSERT_EQ(Design(NOTE_CLASS_VIEW, "old"), id);

    // Through the public calls, as a template copy or a design change would.
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteOpen(db_, id, 0, &note));
    ASSERT_NOERROR(NSFItemSetText(note, "$TITLE", "After", MAXWORD));
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    EXPECT_EQ(Design(NOTE_CLASS_VIEW, "Before"), 0u);
    EXPECT_EQ(Design(NOTE_CLASS_VIEW, "Old"), 0u);
    EXPECT_EQ(Design(NOTE_CLASS_VIEW, "after"), id);

    WORD formClass = NOTE_CLASS_FORM;
    NSFNoteSetInfo(note, _NOTE_CLASS, &formClass);
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    EXPECT_EQ(Design(NOTE_CLASS_VIEW, "after"), 0u);
    EXPECT_EQ(Design(NOTE_CLASS_FORM, "after"), id);

    WORD documentClass = NOTE_CLASS_DOCUMENT;
    NSFNoteSetInfo(note, _NOTE_CLASS, &documentClass);
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    EXPECT_EQ(Design(NOTE_CLASS_FORM, "after"), 0u) << "documents are not design notes";
    NSFNoteSetInfo(note, _NOTE_CLASS, &formClass);
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    EXPECT_NOERROR(NSFNoteClose(note));
    ASSERT_EQ(Design(NOTE_CLASS_FORM, "after"), id);

    ASSERT_NOERROR(NSFNoteDelete(db_, id, 0));
    EXPECT_EQ(Design(NOTE_CLASS_FORM, "after"), 0u);
    EXPECT_EQ(nsf_test::RawInt(dataFile("store.nsf"), "SELECT count(*) FROM design"), 1)
        << "only the icon note's title";
}

TEST_F(StoreTest, TheChangeCounterTellsAReaderThatAnIndexIsOlderThanTheLastChange) {
    const int64_t start = Counter();
    bool whole = false;
    int64_t builtAt = -1;
    ASSERT_NOERROR(file_->IndexBuiltAt("design", &whole, &builtAt));
    EXPECT_TRUE(whole) << "a new file has every index built";
    EXPECT_LE(builtAt, start);

    Draft view(NOTE_CLASS_VIEW), doc;
    view.Text("$TITLE", "Counted");
    doc.Text("Subject", "counted");
    NOTEID viewId = Save(view);
    NOTEID docId = Save(doc);
    ASSERT_NOERROR(NSFNoteDelete(db_, docId, 0));
    EXPECT_EQ(Counter(), start + 3) << "a save, a save, a deletion";
    EXPECT_EQ(nsf_test::RawRows(dataFile("store.nsf"),
                                "SELECT note_id, changed FROM notes WHERE changed>" +
                                    std::to_string(start) + " ORDER BY changed"),
              std::to_string(viewId) + "|" + std::to_string(start + 1) + "\n" +
                  std::to_string(docId) + "|" + std::to_string(start + 3) + "\n")
        << "each note carries the number of its last change";

    // An index that lost its rows is built again from the notes.
    ASSERT_TRUE(nsf_test::RawExec(dataFile("store.nsf"), "DELETE FROM design"));
    ASSERT_EQ(Design(NOTE_CLASS_VIEW, "counted"), 0u);
    {
        Transaction txn(*file_);
        ASSERT_NOERROR(txn.Begin());
        ASSERT_NOERROR(txn.RebuildIndex("design"));
        EXPECT_EQ(txn.RebuildIndex("no such index"), ERR_BAD_PARAM);
        ASSERT_NOERROR(txn.Commit());
    }
    EXPECT_EQ(Design(NOTE_CLASS_VIEW, "counted"), viewId);
    ASSERT_NOERROR(file_->IndexBuiltAt("design", &whole, &builtAt));
    EXPECT_TRUE(whole);
    EXPECT_EQ(builtAt, Counter()) << "built at the counter as it stood";
    StoreNote(db_, {{"Subject", "later"}});
    EXPECT_GT(Counter(), builtAt) << "a reader can tell that notes changed since";

    // An index not recorded whole is rebuilt by RebuildStaleIndexes; the
    // others are left as they are.
    const std::string path = dataFile("store.nsf");
    ASSERT_TRUE(nsf_test::RawExec(path,
                                  "DELETE FROM special;"
                                  " DELETE FROM indexes WHERE name='special';"
                                  " INSERT INTO profiles VALUES(X'7a', X'', 999);"));
    NOTEID icon = 0;
    EXPECT_EQ(file_->SpecialNote(NOTE_CLASS_ICON, &icon), ERR_SPECIAL_ID);
    {
        Transaction txn(*file_);
        ASSERT_NOERROR(txn.Begin());
        ASSERT_NOERROR(txn.RebuildStaleIndexes());
        ASSERT_NOERROR(txn.Commit());
    }
    ASSERT_NOERROR(file_->SpecialNote(NOTE_CLASS_ICON, &icon));
    EXPECT_EQ(icon, 4u);
    EXPECT_EQ(nsf_test::RawInt(path, "SELECT count(*) FROM profiles"), 1) << "not rebuilt";
    {
        Transaction txn(*file_);
        ASSERT_NOERROR(txn.Begin());
        ASSERT_NOERROR(txn.RebuildIndex("profiles"));
        ASSERT_NOERROR(txn.Commit());
    }
    EXPECT_EQ(nsf_test::RawInt(path, "SELECT count(*) FROM profiles"), 0)
        << "the rebuild drops a profile whose note is gone";
    char problem[200];
    EXPECT_EQ(StandinDbCheck("store.nsf", problem, sizeof problem), NOERROR) << problem;
}

TEST_F(StoreTest, AnUpgradedFileHasItsIndexesBuilt) {
    nsf_test::WriteVersionOneFile(dataFile("old.nsf"));
    DBHANDLE db;
    ASSERT_NOERROR(NSFDbOpen("old.nsf", &db));
    std::shared_ptr<notes_internal::nsf::DbObject> object;
    ASSERT_NOERROR(notes_internal::nsf::LookupDb(db, &object));
    DbFile &old = *object->file;
    for (Indexer *indexer : notes_internal::nsf::Indexers()) {
        SCOPED_TRACE(indexer->Name());
        bool whole = false;
        int64_t builtAt = -1;
        ASSERT_NOERROR(old.IndexBuiltAt(indexer->Name(), &whole, &builtAt));
        EXPECT_TRUE(whole);
        EXPECT_EQ(builtAt, 0);
    }
    struct Case {
        WORD noteClass;
        const char *name;
        NOTEID id;
        const char *flags;
    };
    const Case cases[] = {
        {NOTE_CLASS_VIEW, "(setup doc)", 24, "-G40n^"},
        {NOTE_CLASS_VIEW, "SetupDoc", 24, "-G40n^"},
        {NOTE_CLASS_FORM, "License", 28, ""},
        {NOTE_CLASS_FILTER, "OUTOFOFFICE", 32, "3"},
        {NOTE_CLASS_ICON, "v1", 4, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<DbFile::DesignMatch> matches;
        ASSERT_NOERROR(old.FindDesigns(c.noteClass, c.name, std::strlen(c.name), &matches));
        ASSERT_EQ(matches.size(), 1u);
        EXPECT_EQ(matches[0].id, c.id);
        EXPECT_EQ(matches[0].flags, c.flags);
    }
    NOTEID icon = 0;
    ASSERT_NOERROR(old.SpecialNote(NOTE_CLASS_ICON, &icon));
    EXPECT_EQ(icon, 4u);
    object.reset();
    EXPECT_NOERROR(NSFDbClose(db));
}

}  // namespace
