// The items of one note as formulas and indexers read them, whatever holds
// them: an open note in memory, or a note image being stored (a view's
// indexer evaluates its formulas on the note that a save writes).
#pragma once

#include <cstddef>
#include <string>

#include "global.h"

namespace notes_internal {

class ItemSource {
  public:
    virtual ~ItemSource() = default;

    // The first item of a name (compared through the collation of names,
    // collation.h, as every item lookup is): its data type and value bytes
    // (after the type word), valid until the source changes. False when the
    // note has no such item.
    virtual bool FindItem(const char *name, size_t nameLength, WORD *type,
                          const unsigned char **bytes, size_t *size) const = 0;

    // The note's class and ID (0 for a note never stored).
    virtual WORD NoteClass() const = 0;
    virtual NOTEID NoteId() const = 0;
};

}  // namespace notes_internal
