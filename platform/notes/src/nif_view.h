// The view engine: the index of each view of a database (nif.h), kept by an
// indexer over the store (nsf_indexers.h), and what its readers (the
// collections, the directory) read of it.
//
// Tables (schema step 5):
//   views(view_id, selection, key_formula, built)
//        one row per view whose index is built: its formulas as they were
//        when it was built (selection NULL: every document), and `built`,
//        the change counter up to which the index is current. Every write
//        moves `built` of each view that was current before it to the
//        write's change number, so a view whose `built` is below the
//        counter missed a write: its next reader builds it anew.
//   view_entries(view_id, key, note_id)
//        the entries of the built views, the key as its collation key
//        (collation.h); the primary key is the view's order.
// A save or deletion of a view's design note drops its row and its
// entries, and so does the save of any note that stands under a view's ID:
// the next reader builds the view from its note as it then is.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "global.h"
#include "nsf_sql.h"
#include "nsf_store.h"

namespace notes_internal {
namespace views {

// What a reader's body gives when a view it reads is not current. Never
// leaves the library: ReadCurrent builds the view and runs the body again.
constexpr STATUS kViewStale = 0x3FFF;

// Within a read transaction: NOERROR when the view's index is current,
// kViewStale when it is not built or missed a write.
STATUS CheckCurrent(nsf::Connection &c, NOTEID view);

// Builds the view's index in a write transaction of its own, unless it is
// current there (always when rebuild is set). ERR_INVALID_NOTE and
// ERR_NOTE_DELETED for the view's note, ERR_NOT_A_VIEW, ERR_VIEW_FORMULA.
STATUS Build(nsf::DbFile &file, NOTEID view, bool rebuild);

// Runs body on a read snapshot of the file until it runs with every view
// it reads current: a body that finds a view stale (CheckCurrent) sets
// *stale to it and returns kViewStale; the view is then built and the body
// runs again on a new snapshot. ERR_DB_BUSY when the views keep changing
// under it.
STATUS ReadCurrent(nsf::DbFile &file,
                   const std::function<STATUS(nsf::Connection &c, NOTEID *stale)> &body);

// The documents whose entries have that collation key, in note ID order.
STATUS EntriesWithKey(nsf::Connection &c, NOTEID view, const std::string &key,
                      std::vector<NOTEID> *out);
// The first of them; 0 when there is none.
STATUS FirstWithKey(nsf::Connection &c, NOTEID view, const std::string &key, NOTEID *out);

struct Entry {
    std::string key;  // collation key
    NOTEID id;
};
// Every entry of the view, in its order.
STATUS AllEntries(nsf::Connection &c, NOTEID view, std::vector<Entry> *out);

// The first item of a note whose name has that collation key: its type and
// bytes (after the type word). *found false when the note has none.
STATUS ItemValue(nsf::Connection &c, NOTEID id, const std::string &nameKey, bool *found, WORD *type,
                 std::string *bytes);

}  // namespace views
}  // namespace notes_internal
