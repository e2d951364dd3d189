// Reading and replacing items of a note, as the worker's operations share
// them.
#pragma once

#include <string>
#include <vector>

#include "notes_api.h"

namespace note_items {

WORD NameLength(const char *name);

// Whether the note holds an item of that name (NSFItemInfo finds it); a
// lookup that fails counts as absent.
bool Present(NOTEHANDLE note, const char *item);

// Whether the note holds the item, for a caller that writes by the answer:
// NOERROR with present set, or the status of a lookup that failed for
// another reason than the item's absence (taken for absence, it would leave
// a second item of the name beside the first).
STATUS Find(NOTEHANDLE note, const char *item, bool &present);

// The text of an item as a buffer of that many bytes takes it (at most
// bufferBytes - 1 bytes); "" when absent.
std::string Text(NOTEHANDLE note, const char *item, WORD bufferBytes);

// The whole text of a text item (the first entry of a text list), however
// long; "" when absent or not text. For texts that are written back or
// shown, which must not lose their end.
std::string WholeText(NOTEHANDLE note, const char *item);

// The texts of a value as an item's BLOCKID (or a memory block) gives it,
// data type word first: a text is one entry, a text list its entries in
// order; any other type none.
std::vector<std::string> ValueTexts(const char *bytes, DWORD length);
std::vector<std::string> ValueTexts(BLOCKID value, DWORD length);

// Removes the item when the note holds one: NOERROR, or the status of the
// lookup or the removal.
STATUS RemoveIfPresent(NOTEHANDLE note, const char *item);

// Replaces an item: removed when present, then set as a text (SetText) or
// a time.
STATUS ReplaceText(NOTEHANDLE note, const char *item, const std::string &text);
STATUS ReplaceTime(NOTEHANDLE note, const char *item, const TIMEDATE &time);

// Sets a summary text item. NSFItemSetText counts in 16 bits, and its
// largest count means "up to the NUL"; a text that does not fit goes in
// through NSFItemAppend as the same item, so that it is never cut.
STATUS SetText(NOTEHANDLE note, const char *item, const std::string &text);

// A note handle that is closed with the object, on every path.
class OpenNote {
  public:
    OpenNote() = default;
    ~OpenNote() { Close(); }
    OpenNote(const OpenNote &) = delete;
    OpenNote &operator=(const OpenNote &) = delete;
    void Close();

    NOTEHANDLE handle = NULLHANDLE;
};

// Whether the text begins with the prefix, ASCII case ignored.
bool BeginsWithNoCase(const char *text, size_t length, const char *prefix);

}  // namespace note_items
