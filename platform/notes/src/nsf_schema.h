// Schema versions of the database files and the steps between them.
//
// PRAGMA application_id marks a file as one of ours, PRAGMA user_version
// holds its schema version. The schema is built by an ordered table of
// steps, one per version: step N brings a file of version N - 1 to version
// N, and a new file is made by running every step on an empty file, so an
// upgraded file and a new one have the same schema.
//
//   1  dbinfo, notes, items, profiles, special: the first layout
//   2  the change counter ('changes' in dbinfo, notes.changed with the index
//      notes_by_change) and `indexes`, the record of whole indexes
//   3  item, profile and user keys folded through the collation of
//      collation.h (version 1 folded ASCII letters only)
//   4  design, the design notes by class and title
//   5  views and view_entries, the indexes of the views (nif_view.h)
//
// Opening a file of an older version runs the missing steps in order in one
// IMMEDIATE transaction, rebuilds every index that is not recorded whole,
// and sets the new version last: a step that fails rolls everything back
// and leaves the file as it was, at its old version.
#pragma once

#include "global.h"

namespace notes_internal {
namespace nsf {

class Connection;
class Transaction;

constexpr int kApplicationId = 0x4E534631;  // "NSF1"
constexpr int kSchemaVersion = 5;

// Builds the whole schema on a new, empty file, in the caller's
// transaction. The indexes are not built: the caller writes the dbinfo rows
// first, then calls Transaction::RebuildStaleIndexes.
STATUS CreateSchema(Transaction &txn);

// The check of a file at its open: application_id (ERR_NOT_NSF when it is
// not ours), user_version (ERR_DB_NEWER_SCHEMA above kSchemaVersion,
// ERR_DB_DAMAGED below 1), the tables of that version (ERR_DB_DAMAGED when
// one is missing), then the upgrade of an older version (see above).
// Reads only the header and the schema, whatever the size of the file.
STATUS PrepareSchema(Connection &c);

// The same checks without the upgrade, for a check of the whole file:
// *version gets the file's version.
STATUS CheckSchema(Connection &c, int *version);

}  // namespace nsf
}  // namespace notes_internal
