// Searches without a formula: every live note of a class mask, once, over a
// snapshot of note IDs that the callback may change.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "notes_api.h"
#include "nsf_test_util.h"
#include "standin/fault.h"
#include "standin/sign.h"
#include "test_support.h"

namespace {

using Callback = std::function<STATUS(SEARCH_MATCH *)>;

STATUS LNCALLBACK Call(void *context, SEARCH_MATCH *match, ITEM_TABLE *summary) {
    EXPECT_EQ(summary, nullptr);
    return (*static_cast<Callback *>(context))(match);
}

class SearchTest : public nsf_test::NsfTest {
  protected:
    void SetUp() override {
        nsf_test::NsfTest::SetUp();
        db_ = CreateAndOpen("search.ntf");
        form_ = Design(NOTE_CLASS_FORM | NOTE_CLASS_DEFAULT, "Form");
        view_ = Design(NOTE_CLASS_VIEW, "View");
        agent_ = Design(NOTE_CLASS_FILTER, "Agent");
        document_ = StoreNote(db_, {{"Form", "Memo"}});
        gone_ = Design(NOTE_CLASS_FORM, "Gone");
        ASSERT_NOERROR(NSFNoteDelete(db_, gone_, 0));
        ASSERT_NOERROR(NSFDbGetSpecialNoteID(db_, SPECIAL_ID_NOTE | NOTE_CLASS_ICON, &icon_));
    }
    void TearDown() override {
        StandinFaultClear();
        NSFDbClose(db_);
        nsf_test::NsfTest::TearDown();
    }

    NOTEID Design(WORD noteClass, const char *title) {
        NOTEHANDLE note = NULLHANDLE;
        EXPECT_NOERROR(NSFNoteCreate(db_, &note));
        NSFNoteSetInfo(note, _NOTE_CLASS, &noteClass);
        EXPECT_NOERROR(NSFItemSetText(note, "$TITLE", title, MAXWORD));
        EXPECT_NOERROR(NSFNoteUpdate(note, 0));
        NOTEID id = nsf_test::NoteId(note);
        EXPECT_NOERROR(NSFNoteClose(note));
        return id;
    }

    STATUS Search(WORD mask, Callback callback, const TIMEDATE *since = nullptr,
                  TIMEDATE *until = nullptr) {
        return NSFSearch(db_, NULLHANDLE, nullptr, SEARCH_SUMMARY, mask, since, Call, &callback,
                         until);
    }

    std::vector<NOTEID> Found(WORD mask, const TIMEDATE *since = nullptr) {
        std::vector<NOTEID> ids;
        EXPECT_NOERROR(Search(
            mask,
            [&](SEARCH_MATCH *m) {
                ids.push_back(m->NoteID);
                return static_cast<STATUS>(NOERROR);
            },
            since));
        return ids;
    }

    DBHANDLE db_ = NULLHANDLE;
    NOTEID icon_ = 0, form_ = 0, view_ = 0, agent_ = 0, document_ = 0, gone_ = 0;
};

TEST_F(SearchTest, EveryLiveNoteOfTheMaskOnceWithItsMatchRecord) {
    const struct {
        WORD mask;
        std::vector<NOTEID> expected;
    } cases[] = {
        {NOTE_CLASS_ALLNONDATA, {icon_, form_, view_, agent_}},
        {NOTE_CLASS_ALL, {icon_, form_, view_, agent_, document_}},
        {NOTE_CLASS_DOCUMENT, {document_}},
        {NOTE_CLASS_FORM | NOTE_CLASS_FILTER, {form_, agent_}},
        {NOTE_CLASS_HELP, {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Found(c.mask), c.expected) << "mask 0x" << std::hex << c.mask;

    // The match record tells the note, its class and OID, and that it
    // matches.
    std::vector<SEARCH_MATCH> matches;
    ASSERT_NOERROR(Search(NOTE_CLASS_FORM, [&](SEARCH_MATCH *m) {
        matches.push_back(*m);
        return static_cast<STATUS>(NOERROR);
    }));
    ASSERT_EQ(matches.size(), 1u);
    NOTEHANDLE form = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(db_, form_, 0, &form));
    const OID oid = nsf_test::NoteOid(form);
    ASSERT_NOERROR(NSFNoteClose(form));
    EXPECT_EQ(matches[0].NoteID, form_);
    EXPECT_EQ(matches[0].NoteClass, NOTE_CLASS_FORM | NOTE_CLASS_DEFAULT);
    EXPECT_EQ(matches[0].SERetFlags & SE_FMATCH, SE_FMATCH);
    EXPECT_EQ(matches[0].SummaryLength, 0);
    EXPECT_EQ(std::memcmp(&matches[0].OriginatorID, &oid, sizeof oid), 0);
}

// The provisioning signs each design note from inside its search: the
// callback opens, signs and saves the note it is handed, and may delete or
// add notes; a note deleted meanwhile is not handed out, nor one added.
TEST_F(SearchTest, TheCallbackMayUpdateDeleteAndAddNotes) {
    std::vector<NOTEID> seen;
    NOTEID added = 0;
    ASSERT_NOERROR(Search(NOTE_CLASS_ALLNONDATA, [&](SEARCH_MATCH *m) -> STATUS {
        seen.push_back(m->NoteID);
        if (!(m->SERetFlags & SE_FMATCH))
            return NOERROR;
        NOTEHANDLE note = NULLHANDLE;
        if (STATUS s = NSFNoteOpen(db_, m->NoteID, OPEN_EXPAND, &note))
            return s;
        STATUS s = NSFNoteSign(note);
        if (s == NOERROR)
            s = NSFNoteContract(note);
        if (s == NOERROR)
            s = NSFNoteUpdate(note, UPDATE_FORCE);
        NSFNoteClose(note);
        if (m->NoteID == form_) {
            EXPECT_NOERROR(NSFNoteDelete(db_, view_, 0));
            added = Design(NOTE_CLASS_VIEW, "Added");
        }
        return s;
    }));
    EXPECT_EQ(seen, (std::vector<NOTEID>{icon_, form_, agent_}));
    for (NOTEID id : {icon_, form_, agent_}) {
        NOTEHANDLE note = NULLHANDLE;
        ASSERT_NOERROR(NSFNoteOpen(db_, id, 0, &note));
        char signer[MAXUSERNAME];
        EXPECT_NOERROR(StandinNoteVerifySignature(note, signer, sizeof signer, nullptr));
        EXPECT_STREQ(signer, "CN=Vanterra Test/O=Acme");
        ASSERT_NOERROR(NSFNoteClose(note));
    }
    EXPECT_NE(added, 0u);
}

TEST_F(SearchTest, ACallbacksFailureEndsTheSearchAndIsItsResult) {
    std::vector<NOTEID> seen;
    EXPECT_EQ(Search(NOTE_CLASS_ALL,
                     [&](SEARCH_MATCH *m) -> STATUS {
                         seen.push_back(m->NoteID);
                         return m->NoteID == view_ ? ERR_NOTE_DELETED : NOERROR;
                     }),
              ERR_NOTE_DELETED);
    EXPECT_EQ(seen, (std::vector<NOTEID>{icon_, form_, view_}));
}

TEST_F(SearchTest, SinceGivesTheNotesModifiedAfterItAndUntilTheNextSince) {
    TIMEDATE until{};
    ASSERT_NOERROR(Search(
        NOTE_CLASS_ALL, [](SEARCH_MATCH *) { return static_cast<STATUS>(NOERROR); }, nullptr,
        &until));
    EXPECT_NE(until.Innards[1], 0u);
    // Notes saved after the search began are the ones a later search with
    // that time finds; those saved before are not.
    TIMEDATE later = until;
    later.Innards[0] += 1;  // one hundredth after
    while (true) {
        TIMEDATE now{};
        OSCurrentTIMEDATE(&now);
        if (TimeDateCompare(&now, &later) > 0)
            break;
    }
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(db_, view_, 0, &note));
    ASSERT_NOERROR(NSFItemSetText(note, "Changed", "yes", 3));
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    ASSERT_NOERROR(NSFNoteClose(note));
    EXPECT_EQ(Found(NOTE_CLASS_ALL, &until), std::vector<NOTEID>{view_});
}

TEST_F(SearchTest, FormulasViewsAndBadArgumentsAreRefused) {
    Callback none = [](SEARCH_MATCH *) { return static_cast<STATUS>(NOERROR); };
    EXPECT_EQ(NSFSearch(db_, 0x1234, nullptr, 0, NOTE_CLASS_ALL, nullptr, Call, &none, nullptr),
              ERR_SEARCH_FORMULA);
    EXPECT_EQ(
        NSFSearch(db_, NULLHANDLE, "($Users)", 0, NOTE_CLASS_ALL, nullptr, Call, &none, nullptr),
        ERR_SEARCH_FORMULA);
    EXPECT_NOERROR(
        NSFSearch(db_, NULLHANDLE, "", 0, NOTE_CLASS_ALL, nullptr, Call, &none, nullptr));
    EXPECT_EQ(
        NSFSearch(db_, NULLHANDLE, nullptr, 0x0001, NOTE_CLASS_ALL, nullptr, Call, &none, nullptr),
        ERR_BAD_PARAM);
    EXPECT_EQ(
        NSFSearch(db_, NULLHANDLE, nullptr, 0, NOTE_CLASS_ALL, nullptr, nullptr, nullptr, nullptr),
        ERR_BAD_PARAM);
    EXPECT_EQ(NSFSearch(0, NULLHANDLE, nullptr, 0, NOTE_CLASS_ALL, nullptr, Call, &none, nullptr),
              ERR_INVALID_HANDLE);
    StandinFaultInject({"NSFSearch", ERR_FAULT_INJECTED, 0, 0, "search.ntf"});
    EXPECT_EQ(Search(NOTE_CLASS_ALL, none), ERR_FAULT_INJECTED);
}

}  // namespace
