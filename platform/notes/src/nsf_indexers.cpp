// The table of indexers, the record of whole indexes, and the indexers of
// profiles and special notes (the design index is in nsf_design.cpp).
#include "nsf_indexers.h"

#include <sqlite3.h>

#include <cstring>

#include "nsf_note.h"
#include "nsf_sql.h"
#include "os_error.h"

namespace notes_internal {
namespace nsf {

Indexer *DesignIndexerInstance();  // nsf_design.cpp
Indexer *ViewIndexerInstance();    // nif_view.cpp

namespace {

const char kSelIndex[] = "SELECT built FROM indexes WHERE name=?1";
const char kSetIndex[] = "INSERT OR REPLACE INTO indexes(name, built) VALUES(?1, ?2)";

// Profiles

const char kSelProfile[] = "SELECT note_id FROM profiles WHERE name_key=?1 AND user_key=?2";
const char kInsProfile[] = "INSERT INTO profiles(name_key, user_key, note_id) VALUES(?1, ?2, ?3)";
const char kDelProfile[] = "DELETE FROM profiles WHERE note_id=?1";
const char kPruneProfiles[] =
    "DELETE FROM profiles WHERE note_id NOT IN (SELECT note_id FROM notes WHERE deleted=0)";
const char kSelProfileItem[] =
    "SELECT i.type, i.value FROM profiles p JOIN items i ON i.note_id=p.note_id"
    " WHERE p.name_key=?1 AND p.user_key=?2 AND i.name_key=?3 ORDER BY i.pos LIMIT 1";

class ProfileIndexer : public Indexer {
  public:
    const char *Name() const override { return "profiles"; }

    // A new copy of a profile that another handle or process stored since
    // this one was opened: the same conflict as a changed note, and a forced
    // save goes over the stored profile.
    STATUS BeforeSave(TxnContext &txn, const SaveRequest &request, NOTEID *claim) override {
        if (request.note.id != 0 || request.profileKey == nullptr)
            return NOERROR;
        NOTEID stored = 0;
        if (STATUS status =
                LookupProfile(txn.Sql(), *request.profileKey, *request.profileUserKey, &stored))
            return status;
        if (stored == 0)
            return NOERROR;
        if (!request.force)
            return ERR_CONFLICT;
        *claim = stored;
        return NOERROR;
    }

    STATUS OnSave(TxnContext &txn, const NoteImage &note) override {
        if (!note.IsNew() || note.ProfileKey() == nullptr)
            return NOERROR;
        sqlite3_stmt *stmt = nullptr;
        if (STATUS status = txn.Sql().Prepare(kInsProfile, &stmt))
            return status;
        StmtScope scope{stmt};
        BindString(stmt, 1, *note.ProfileKey());
        BindString(stmt, 2, *note.ProfileUserKey());
        sqlite3_bind_int64(stmt, 3, note.NoteId());
        return txn.Sql().Step(stmt);
    }

    STATUS OnDelete(TxnContext &txn, const StoredNote &note) override {
        return ExecForNote(txn.Sql(), kDelProfile, note.id);
    }

    STATUS Rebuild(TxnContext &txn) override { return txn.Sql().Exec(kPruneProfiles); }
};

// Special notes

const WORD kSpecialClasses[] = {NOTE_CLASS_INFO,       NOTE_CLASS_ICON, NOTE_CLASS_DESIGN,
                                NOTE_CLASS_ACL,        NOTE_CLASS_HELP, NOTE_CLASS_HELP_INDEX,
                                NOTE_CLASS_REPLFORMULA};

bool IsSpecialClass(WORD noteClass) {
    for (WORD special : kSpecialClasses) {
        if (noteClass == special)
            return true;
    }
    return false;
}

const char kSelSpecial[] = "SELECT note_id FROM special WHERE note_class=?1";
const char kSelSpecialOf[] = "SELECT note_class FROM special WHERE note_id=?1";
const char kInsSpecial[] = "INSERT OR IGNORE INTO special(note_class, note_id) VALUES(?1, ?2)";
const char kDelSpecialOf[] = "DELETE FROM special WHERE note_id=?1";
const char kReassignSpecial[] =
    "INSERT OR IGNORE INTO special(note_class, note_id)"
    " SELECT note_class, min(note_id) FROM notes WHERE note_class=?1 AND deleted=0"
    " GROUP BY note_class";
const char kClearSpecial[] = "DELETE FROM special";
const char kRebuildSpecial[] =
    "INSERT INTO special(note_class, note_id)"
    " SELECT note_class, min(note_id) FROM notes WHERE deleted=0 AND note_class IN"
    " (2, 16, 32, 64, 128, 256, 2048) GROUP BY note_class";

class SpecialIndexer : public Indexer {
  public:
    const char *Name() const override { return "special"; }

    STATUS OnSave(TxnContext &txn, const NoteImage &note) override {
        Connection &c = txn.Sql();
        const WORD noteClass = note.NoteClass();
        if (!note.IsNew()) {
            // A special note whose class changed leaves its place to the
            // next note of its old class.
            WORD held = 0;
            if (STATUS status = HeldClass(c, note.NoteId(), &held))
                return status;
            if (held != 0 && held != noteClass) {
                if (STATUS status = ExecForNote(c, kDelSpecialOf, note.NoteId()))
                    return status;
                if (STATUS status = Reassign(c, held))
                    return status;
            }
        }
        if (!IsSpecialClass(noteClass))
            return NOERROR;
        sqlite3_stmt *stmt = nullptr;
        if (STATUS status = c.Prepare(kInsSpecial, &stmt))
            return status;
        StmtScope scope{stmt};
        sqlite3_bind_int(stmt, 1, noteClass);
        sqlite3_bind_int64(stmt, 2, note.NoteId());
        return c.Step(stmt);
    }

    STATUS OnDelete(TxnContext &txn, const StoredNote &note) override {
        if (!IsSpecialClass(note.noteClass))
            return NOERROR;
        Connection &c = txn.Sql();
        if (STATUS status = ExecForNote(c, kDelSpecialOf, note.id))
            return status;
        return c.Changes() > 0 ? Reassign(c, note.noteClass) : NOERROR;
    }

    STATUS Rebuild(TxnContext &txn) override {
        if (STATUS status = txn.Sql().Exec(kClearSpecial))
            return status;
        return txn.Sql().Exec(kRebuildSpecial);
    }

  private:
    // The class whose special note this note is, 0 for none.
    static STATUS HeldClass(Connection &c, NOTEID id, WORD *out) {
        sqlite3_stmt *stmt = nullptr;
        if (STATUS status = c.Prepare(kSelSpecialOf, &stmt))
            return status;
        StmtScope scope{stmt};
        sqlite3_bind_int64(stmt, 1, id);
        bool row = false;
        if (STATUS status = c.Step(stmt, &row))
            return status;
        *out = row ? static_cast<WORD>(sqlite3_column_int(stmt, 0)) : 0;
        return NOERROR;
    }

    static STATUS Reassign(Connection &c, WORD noteClass) {
        sqlite3_stmt *stmt = nullptr;
        if (STATUS status = c.Prepare(kReassignSpecial, &stmt))
            return status;
        StmtScope scope{stmt};
        sqlite3_bind_int(stmt, 1, noteClass);
        return c.Step(stmt);
    }
};

}  // namespace

const std::vector<Indexer *> &Indexers() {
    static auto *indexers = new std::vector<Indexer *>{
        new ProfileIndexer, new SpecialIndexer, DesignIndexerInstance(), ViewIndexerInstance()};
    return *indexers;
}

Indexer *FindIndexer(const char *name) {
    for (Indexer *indexer : Indexers()) {
        if (std::strcmp(indexer->Name(), name) == 0)
            return indexer;
    }
    return nullptr;
}

STATUS SetIndexBuilt(TxnContext &txn, const std::string &name) {
    int64_t counter = 0;
    if (STATUS status = txn.Counter(&counter))
        return status;
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = txn.Sql().Prepare(kSetIndex, &stmt))
        return status;
    StmtScope scope{stmt};
    BindText(stmt, 1, name);
    sqlite3_bind_int64(stmt, 2, counter);
    return txn.Sql().Step(stmt);
}

STATUS IndexBuiltAt(Connection &c, const std::string &name, bool *whole, int64_t *builtAt) {
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kSelIndex, &stmt))
        return status;
    StmtScope scope{stmt};
    BindText(stmt, 1, name);
    bool row = false;
    if (STATUS status = c.Step(stmt, &row))
        return status;
    *whole = row;
    *builtAt = row ? sqlite3_column_int64(stmt, 0) : 0;
    return NOERROR;
}

STATUS LookupProfile(Connection &c, const std::string &key, const std::string &userKey,
                     NOTEID *out) {
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kSelProfile, &stmt))
        return status;
    StmtScope scope{stmt};
    BindString(stmt, 1, key);
    BindString(stmt, 2, userKey);
    bool row = false;
    if (STATUS status = c.Step(stmt, &row))
        return status;
    *out = row ? static_cast<NOTEID>(sqlite3_column_int64(stmt, 0)) : 0;
    return NOERROR;
}

STATUS LookupProfileItem(Connection &c, const std::string &key, const std::string &userKey,
                         const std::string &itemKey, WORD *type,
                         std::vector<unsigned char> *value) {
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kSelProfileItem, &stmt))
        return status;
    StmtScope scope{stmt};
    BindString(stmt, 1, key);
    BindString(stmt, 2, userKey);
    BindString(stmt, 3, itemKey);
    bool row = false;
    if (STATUS status = c.Step(stmt, &row))
        return status;
    if (!row)
        return ERR_ITEM_NOT_FOUND;
    *type = static_cast<WORD>(sqlite3_column_int(stmt, 0));
    const auto *bytes = static_cast<const unsigned char *>(sqlite3_column_blob(stmt, 1));
    size_t size = static_cast<size_t>(sqlite3_column_bytes(stmt, 1));
    value->assign(bytes, bytes + size);
    return NOERROR;
}

STATUS LookupSpecial(Connection &c, WORD noteClass, NOTEID *out) {
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kSelSpecial, &stmt))
        return status;
    StmtScope scope{stmt};
    sqlite3_bind_int(stmt, 1, noteClass);
    bool row = false;
    if (STATUS status = c.Step(stmt, &row))
        return status;
    if (!row)
        return ERR_SPECIAL_ID;
    *out = static_cast<NOTEID>(sqlite3_column_int64(stmt, 0));
    return NOERROR;
}

}  // namespace nsf
}  // namespace notes_internal
