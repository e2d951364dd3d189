// Reading agent notes and icon-note marks straight from the store, shared
// by the agent calls and the out-of-office calls. Nothing here registers a
// handle: these reads are over before the call returns.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "global.h"
#include "nsf_store.h"

namespace notes_internal {
namespace agents {

// The first item of a name as stored: data type and value bytes (without
// the type word).
struct StoredValue {
    WORD type = 0;
    std::string bytes;
};
using StoredValues = std::map<std::string, StoredValue>;  // by folded name

// Reads the note's header and the first item of each of the folded names.
// When noteClass is not 0, a note of another class gives ERR_NOT_AN_AGENT;
// its items are then not read. ERR_INVALID_NOTE, ERR_NOTE_DELETED and the
// store's read errors as NSFNoteOpen gives them.
STATUS ReadStoredItems(nsf::DbFile &file, NOTEID id, WORD noteClass,
                       const std::vector<std::string> &keys, nsf::StoredNote *header,
                       StoredValues *values);

// The text of a TYPE_TEXT value, or the first entry of a TYPE_TEXT_LIST, as
// NSFItemGetText reads it; false for any other type.
bool FirstText(const StoredValue &value, std::string *text);

// "$AssistFlags" holds "E" (case-sensitive): the agent is enabled.
bool AssistFlagsEnabled(const StoredValues &values);

// The agent named `name`: the note of class NOTE_CLASS_FILTER whose
// "$TITLE" (or one of its "|"-separated names, or of its entries) is that
// name through the collation of names and without surrounding blanks (the
// store's design index); the lowest note ID when several are. 0 when there
// is none. The items of the agent that `keys` name are read into *values
// on the way.
STATUS FindAgent(nsf::DbFile &file, const std::string &name, const std::vector<std::string> &keys,
                 NOTEID *id, StoredValues *values);

}  // namespace agents
}  // namespace notes_internal
