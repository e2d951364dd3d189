// The indexes of a database, each kept by an indexer over the store core.
//
// Every save and deletion of a note runs every indexer of the table below,
// in order, inside the transaction that writes the note, on the same
// connection: an indexer reads the note image (an ItemSource) and writes
// its own rows, and a failing indexer fails the whole write. Each indexer
// owns its tables; the schema steps create them (nsf_schema.h), and a file
// whose index is not recorded whole in `indexes` (a step just made its
// tables) has it rebuilt from the stored notes in the upgrade's transaction.
//
// The indexers and their tables:
//   profiles  profiles(name_key, user_key, note_id)
//             the profile notes by folded name and normalised user name.
//             A profile's name is no item of its note, so this table is the
//             record of which notes are profiles: a rebuild only drops rows
//             whose note is gone.
//   special   special(note_class, note_id)
//             the special note of each class (icon, design, ACL, ...): the
//             note of lowest ID among the stored notes of that class.
//   design    design(note_class, title_key, note_id)
//             every note of a class other than documents, under its class
//             (NOTE_CLASS_DEFAULT taken off) and the collation key of each
//             name in its "$TITLE": the name and its aliases, separated by
//             "|" and trimmed of blanks, from a text or each entry of a text
//             list; empty names are left out.
//   views     views(view_id, selection, key_formula, built) and
//             view_entries(view_id, key, note_id)
//             the indexes of the views (nif_view.h): runs last, so that it
//             sees the profile record of a new profile. A rebuild drops
//             every view's index; each view's next reader builds it.
#pragma once

#include <string>
#include <vector>

#include "global.h"
#include "nsf_store.h"

namespace notes_internal {
namespace nsf {

class Indexer {
  public:
    virtual ~Indexer() = default;

    // The indexer's name: its row in `indexes`, and Transaction::RebuildIndex.
    virtual const char *Name() const = 0;

    // Before a note is written. An index that holds a note under a key the
    // new note claims (a profile stored meanwhile through another handle)
    // may set *claim to that note's ID, so that the save goes over it, or
    // refuse the save (ERR_CONFLICT).
    virtual STATUS BeforeSave(TxnContext &txn, const SaveRequest &request, NOTEID *claim) {
        (void)txn;
        (void)request;
        (void)claim;
        return NOERROR;
    }
    // After the note's row and items are written: note is the note as
    // stored (ID, class, new sequence, items).
    virtual STATUS OnSave(TxnContext &txn, const NoteImage &note) = 0;
    // After a note became a deletion stub: note is its header before.
    virtual STATUS OnDelete(TxnContext &txn, const StoredNote &note) = 0;
    // Builds the whole index anew from the stored notes.
    virtual STATUS Rebuild(TxnContext &txn) = 0;
};

// The indexers of every database, in the order they run.
const std::vector<Indexer *> &Indexers();
// The indexer of that name, or null.
Indexer *FindIndexer(const char *name);

// Records an index whole at the counter as the transaction stands; any name
// an indexer chooses ("design", or one row per view). An index that is not
// kept on every write (built when first read) records here the counter it
// was brought up to: a higher counter tells a reader that notes changed
// since, and notes.changed which.
STATUS SetIndexBuilt(TxnContext &txn, const std::string &name);
// Whether an index is recorded whole, and at which counter.
STATUS IndexBuiltAt(Connection &c, const std::string &name, bool *whole, int64_t *builtAt);

// Lookups in the indexes, on a connection (in a transaction or not).
STATUS LookupProfile(Connection &c, const std::string &key, const std::string &userKey,
                     NOTEID *out);
STATUS LookupProfileItem(Connection &c, const std::string &key, const std::string &userKey,
                         const std::string &itemKey, WORD *type, std::vector<unsigned char> *value);
STATUS LookupSpecial(Connection &c, WORD noteClass, NOTEID *out);
// Matches go by class (NOTE_CLASS_DEFAULT taken off) and by the collation
// key of the name, trimmed of blanks; in increasing note ID. No match is
// ERR_DESIGN_NOT_FOUND. With all false only the first match is read.
STATUS LookupDesign(Connection &c, WORD noteClass, const char *name, size_t length, bool all,
                    std::vector<DbFile::DesignMatch> *out);
// The first "$Flags" item of a note as text ("" when there is none).
STATUS ReadDesignFlags(Connection &c, NOTEID id, std::string *flags);

// The names a "$TITLE" value gives (its type and bytes after the type word),
// in order: split at "|", trimmed of blanks, empty ones left out.
std::vector<std::string> DesignNames(WORD type, const unsigned char *bytes, size_t size);

}  // namespace nsf
}  // namespace notes_internal
