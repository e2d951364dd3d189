// Formulas and open notes: storing values that formulas give back into the
// note. (An open note is itself the ItemSource a formula reads, its mutex
// held.)
#pragma once

#include <string>

#include "item_source.h"
#include "nsf_internal.h"
#include "value_codec.h"

namespace notes_internal {
namespace formula {

// A value as an item holds it: a text, number or time, or the list type
// when it has other than one entry. ERR_LIST_FULL when it does not fit.
STATUS EncodeItem(const Value &value, WORD *type, std::string *bytes);

// Replaces every item of that name with one summary item (the note's mutex
// held). The new item is appended before the old ones go, so a failure
// leaves the note as it was.
STATUS StoreItem(nsf::NoteObject *note, const std::string &name, WORD type,
                 const std::string &bytes);

}  // namespace formula
}  // namespace notes_internal
