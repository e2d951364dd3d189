// Formulas and open notes: reading a note's items as a formula's source,
// and storing values that formulas give back into the note.
#pragma once

#include <string>

#include "item_source.h"
#include "nsf_internal.h"
#include "value_codec.h"

namespace notes_internal {
namespace formula {

// The items of an open note; the caller holds the note's mutex while the
// source is in use.
class NoteItems : public ItemSource {
  public:
    explicit NoteItems(nsf::NoteObject *note) : note_(note) {}

    bool FindItem(const char *name, size_t nameLength, WORD *type, const unsigned char **bytes,
                  size_t *size) const override;
    WORD NoteClass() const override { return note_->header.noteClass; }
    NOTEID NoteId() const override { return note_->header.id; }

  private:
    nsf::NoteObject *note_;
};

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
