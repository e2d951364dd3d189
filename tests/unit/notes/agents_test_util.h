// Helpers of the agent and out-of-office tests: agent notes and icon-note
// items made through the note calls, as a mail file's design holds them.
#pragma once

#include <string>
#include <vector>

#include "nsf_test_util.h"
#include "os_error.h"
#include "os_time.h"

namespace agents_test {

// One item to store: a text, a text list, a number or a time.
struct ItemSpec {
    enum Kind { Text, TextList, Number, Time } kind;
    std::string name;
    std::vector<std::string> texts;  // Text: texts[0]
    NUMBER number = 0;

    static ItemSpec T(std::string name, std::string text) {
        return {Text, std::move(name), {std::move(text)}, 0};
    }
    static ItemSpec L(std::string name, std::vector<std::string> entries) {
        return {TextList, std::move(name), std::move(entries), 0};
    }
    static ItemSpec N(std::string name, NUMBER number) {
        return {Number, std::move(name), {}, number};
    }
    static ItemSpec D(std::string name) { return {Time, std::move(name), {}, 0}; }
};

// Appends the item after the note's others (a name may then stand twice).
inline STATUS AppendItem(NOTEHANDLE note, const ItemSpec &item) {
    WORD nameLength = static_cast<WORD>(item.name.size());
    switch (item.kind) {
        case ItemSpec::Text:
            return NSFItemAppend(note, ITEM_SUMMARY, item.name.c_str(), nameLength, TYPE_TEXT,
                                 item.texts[0].data(), static_cast<DWORD>(item.texts[0].size()));
        case ItemSpec::TextList: {
            std::vector<unsigned char> list = nsf_test::TextList(item.texts);
            return NSFItemAppend(note, ITEM_SUMMARY, item.name.c_str(), nameLength, TYPE_TEXT_LIST,
                                 list.data(), static_cast<DWORD>(list.size()));
        }
        case ItemSpec::Number:
            return NSFItemAppend(note, ITEM_SUMMARY, item.name.c_str(), nameLength, TYPE_NUMBER,
                                 &item.number, sizeof item.number);
        case ItemSpec::Time: {
            TIMEDATE now;
            OSCurrentTIMEDATE(&now);
            return NSFItemAppend(note, ITEM_SUMMARY, item.name.c_str(), nameLength, TYPE_TIME, &now,
                                 sizeof now);
        }
    }
    return ERR_BAD_PARAM;
}

// Stores a new note of that class with the items; returns its note ID (0
// when a call failed, which the test then reports).
inline NOTEID StoreDesignNote(DBHANDLE db, WORD noteClass, const std::vector<ItemSpec> &items) {
    NOTEHANDLE note = NULLHANDLE;
    EXPECT_NOERROR(NSFNoteCreate(db, &note));
    if (note == NULLHANDLE)
        return 0;
    NSFNoteSetInfo(note, _NOTE_CLASS, &noteClass);
    for (const ItemSpec &item : items)
        EXPECT_NOERROR(AppendItem(note, item));
    EXPECT_NOERROR(NSFNoteUpdate(note, 0));
    NOTEID id = nsf_test::NoteId(note);
    EXPECT_NOERROR(NSFNoteClose(note));
    return id;
}

// An agent titled `title`; "$AssistFlags" only when flags is not null.
inline NOTEID StoreAgent(DBHANDLE db, const char *title, const char *flags,
                         WORD noteClass = NOTE_CLASS_FILTER) {
    std::vector<ItemSpec> items{ItemSpec::T("$TITLE", title)};
    if (flags)
        items.push_back(ItemSpec::T("$AssistFlags", flags));
    return StoreDesignNote(db, noteClass, items);
}

// Replaces the text item of a stored note and saves the note, as another
// request would.
inline void SetStoredText(DBHANDLE db, NOTEID id, const char *name, const char *text) {
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(db, id, 0, &note));
    EXPECT_NOERROR(NSFItemSetText(note, name, text, MAXWORD));
    EXPECT_NOERROR(NSFNoteUpdate(note, 0));
    EXPECT_NOERROR(NSFNoteClose(note));
}

// Appends the items to the icon note and saves it.
inline void AddToIcon(DBHANDLE db, const std::vector<ItemSpec> &items) {
    NOTEHANDLE icon = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon));
    for (const ItemSpec &item : items)
        EXPECT_NOERROR(AppendItem(icon, item));
    EXPECT_NOERROR(NSFNoteUpdate(icon, 0));
    EXPECT_NOERROR(NSFNoteClose(icon));
}

}  // namespace agents_test
