// The design index: design notes by class and by each name of "$TITLE".
#include <sqlite3.h>

#include "collation.h"
#include "lmbcs.h"
#include "nsf_indexers.h"
#include "nsf_note.h"
#include "nsf_sql.h"
#include "os_error.h"
#include "value_codec.h"

namespace notes_internal {
namespace nsf {

namespace {

const char kTitle[] = "$TITLE";
const char kFlagsKey[] = "$flags";  // the collation key of "$Flags"

const char kInsDesign[] =
    "INSERT OR IGNORE INTO design(note_class, title_key, note_id) VALUES(?1, ?2, ?3)";
const char kDelDesignOf[] = "DELETE FROM design WHERE note_id=?1";
const char kClearDesign[] = "DELETE FROM design";
const char kSelDesign[] =
    "SELECT note_id FROM design WHERE note_class=?1 AND title_key=?2 ORDER BY note_id";
const char kSelItemByKey[] =
    "SELECT type, value FROM items WHERE note_id=?1 AND name_key=?2 ORDER BY pos LIMIT 1";

// The class a design note is indexed under; 0 for documents, which are not.
WORD DesignClass(WORD noteClass) {
    WORD indexed = noteClass & static_cast<WORD>(~NOTE_CLASS_DEFAULT);
    return (indexed & NOTE_CLASS_DOCUMENT) != 0 ? 0 : indexed;
}

bool IsBlank(unsigned char b) {
    return b == ' ' || b == '\t';
}

// The name with the blanks at either end taken off.
void Trim(const char **text, size_t *length) {
    const auto *p = reinterpret_cast<const unsigned char *>(*text);
    size_t n = *length;
    while (n > 0 && IsBlank(*p)) {
        p++;
        n--;
    }
    while (n > 0 && IsBlank(p[n - 1]))
        n--;
    *text = reinterpret_cast<const char *>(p);
    *length = n;
}

STATUS WriteNames(Connection &c, const NoteImage &note) {
    const WORD noteClass = DesignClass(note.NoteClass());
    WORD type = 0;
    const unsigned char *bytes = nullptr;
    size_t size = 0;
    if (noteClass == 0 || !note.FindItem(kTitle, sizeof kTitle - 1, &type, &bytes, &size))
        return NOERROR;
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kInsDesign, &stmt))
        return status;
    for (const std::string &name : DesignNames(type, bytes, size)) {
        const std::string key = CollationKey(name);
        StmtScope scope{stmt};
        sqlite3_bind_int(stmt, 1, noteClass);
        BindString(stmt, 2, key);
        sqlite3_bind_int64(stmt, 3, note.NoteId());
        if (STATUS status = c.Step(stmt))
            return status;
    }
    return NOERROR;
}

class DesignIndexer : public Indexer {
  public:
    const char *Name() const override { return "design"; }

    STATUS OnSave(TxnContext &txn, const NoteImage &note) override {
        // A stored note may have had other names, or another class.
        if (!note.IsNew()) {
            if (STATUS status = ExecForNote(txn.Sql(), kDelDesignOf, note.NoteId()))
                return status;
        }
        return WriteNames(txn.Sql(), note);
    }

    STATUS OnDelete(TxnContext &txn, const StoredNote &note) override {
        if (DesignClass(note.noteClass) == 0)
            return NOERROR;
        return ExecForNote(txn.Sql(), kDelDesignOf, note.id);
    }

    STATUS Rebuild(TxnContext &txn) override {
        if (STATUS status = txn.Sql().Exec(kClearDesign))
            return status;
        return txn.ForEachNote(NOTE_CLASS_ALLNONDATA,
                               [&](const NoteImage &note) { return WriteNames(txn.Sql(), note); });
    }
};

}  // namespace

Indexer *DesignIndexerInstance() {
    static auto *indexer = new DesignIndexer;
    return indexer;
}

std::vector<std::string> DesignNames(WORD type, const unsigned char *bytes, size_t size) {
    std::vector<std::string> names;
    const unsigned char *entry = nullptr;
    size_t length = 0;
    for (size_t index = 0; TextEntry(type, bytes, size, index, &entry, &length); index++) {
        size_t start = 0;
        for (size_t at = 0;; at += LmbcsCharLength(entry + at, length - at)) {
            if (at < length && entry[at] != '|')
                continue;
            const char *name = reinterpret_cast<const char *>(entry + start);
            size_t nameLength = at - start;
            Trim(&name, &nameLength);
            if (nameLength > 0)
                names.emplace_back(name, nameLength);
            if (at >= length)
                break;
            start = at + 1;
        }
    }
    return names;
}

STATUS LookupDesign(Connection &c, WORD noteClass, const char *name, size_t length, bool all,
                    std::vector<DbFile::DesignMatch> *out) {
    out->clear();
    if (name == nullptr && length > 0)
        return ERR_BAD_PARAM;
    Trim(&name, &length);
    const WORD indexed = DesignClass(noteClass);
    if (indexed == 0 || length == 0)
        return ERR_DESIGN_NOT_FOUND;
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kSelDesign, &stmt))
        return status;
    const std::string key = CollationKey(name, length);
    {
        StmtScope scope{stmt};
        sqlite3_bind_int(stmt, 1, indexed);
        BindString(stmt, 2, key);
        for (;;) {
            bool row = false;
            if (STATUS status = c.Step(stmt, &row))
                return status;
            if (!row)
                break;
            out->push_back({static_cast<NOTEID>(sqlite3_column_int64(stmt, 0)), std::string()});
            if (!all)
                break;
        }
    }
    if (out->empty())
        return ERR_DESIGN_NOT_FOUND;
    for (DbFile::DesignMatch &match : *out) {
        if (STATUS status = ReadDesignFlags(c, match.id, &match.flags))
            return status;
    }
    return NOERROR;
}

STATUS ReadDesignFlags(Connection &c, NOTEID id, std::string *flags) {
    flags->clear();
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kSelItemByKey, &stmt))
        return status;
    StmtScope scope{stmt};
    sqlite3_bind_int64(stmt, 1, id);
    BindBlob(stmt, 2, kFlagsKey, sizeof kFlagsKey - 1);
    bool row = false;
    if (STATUS status = c.Step(stmt, &row))
        return status;
    if (!row)
        return NOERROR;
    const auto *value = static_cast<const unsigned char *>(sqlite3_column_blob(stmt, 1));
    size_t size = static_cast<size_t>(sqlite3_column_bytes(stmt, 1));
    const unsigned char *text = nullptr;
    size_t length = 0;
    if (TextEntry(static_cast<WORD>(sqlite3_column_int(stmt, 0)), value, size, 0, &text, &length))
        flags->assign(reinterpret_cast<const char *>(text), length);
    return NOERROR;
}

}  // namespace nsf
}  // namespace notes_internal
