#include "nif_view.h"

#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <new>
#include <unordered_set>

#include "collation.h"
#include "formula_calls.h"
#include "formula_eval.h"
#include "nsf_indexers.h"
#include "nsf_note.h"
#include "os_error.h"
#include "value_codec.h"

namespace notes_internal {
namespace views {

namespace {

using nsf::Connection;
using nsf::StmtScope;

const char kSelectionItem[] = "$SelectionFormula";
const char kKeyItem[] = "$KeyFormula";

const char kSelViews[] = "SELECT view_id, selection, key_formula FROM views";
const char kSelCurrent[] =
    "SELECT v.built=d.value FROM views v, dbinfo d WHERE v.view_id=?1 AND d.key='changes'";
const char kDelView[] = "DELETE FROM views WHERE view_id=?1";
const char kDelEntriesOfView[] = "DELETE FROM view_entries WHERE view_id=?1";
const char kDelEntriesOfNote[] = "DELETE FROM view_entries WHERE note_id=?1";
const char kInsView[] =
    "INSERT OR REPLACE INTO views(view_id, selection, key_formula, built) VALUES(?1, ?2, ?3, ?4)";
const char kInsEntry[] =
    "INSERT OR IGNORE INTO view_entries(view_id, key, note_id) VALUES(?1, ?2, ?3)";
const char kAdvance[] = "UPDATE views SET built=?1 WHERE built=?2";
const char kClearViews[] = "DELETE FROM views";
const char kClearEntries[] = "DELETE FROM view_entries";
const char kSelProfileOf[] = "SELECT 1 FROM profiles WHERE note_id=?1";
const char kSelProfiles[] = "SELECT note_id FROM profiles";
const char kSelWithKey[] =
    "SELECT note_id FROM view_entries WHERE view_id=?1 AND key=?2 ORDER BY note_id";
const char kSelFirstWithKey[] =
    "SELECT note_id FROM view_entries WHERE view_id=?1 AND key=?2 ORDER BY note_id LIMIT 1";
const char kSelAll[] =
    "SELECT key, note_id FROM view_entries WHERE view_id=?1 ORDER BY key, note_id";
const char kSelItem[] =
    "SELECT type, value FROM items WHERE note_id=?1 AND name_key=?2 ORDER BY pos LIMIT 1";

bool IsDocument(WORD noteClass) {
    return (noteClass & NOTE_CLASS_DOCUMENT) != 0;
}

bool IsView(WORD noteClass) {
    return (noteClass & static_cast<WORD>(~NOTE_CLASS_DEFAULT)) == NOTE_CLASS_VIEW;
}

// A view's formulas as text: the selection absent for every document.
struct Definition {
    NOTEID id = 0;
    bool hasSelection = false;
    std::string selection;
    bool hasKey = false;
    std::string key;
};

struct CompiledView {
    NOTEID id = 0;
    std::shared_ptr<const formula::Program> selection;  // null: every document
    std::shared_ptr<const formula::Program> key;
};

// A formula item's text: a text, or a text list of one entry.
bool FormulaText(WORD type, const unsigned char *bytes, size_t size, std::string *out) {
    const unsigned char *text = nullptr;
    size_t length = 0;
    if (type == TYPE_TEXT_LIST && TextListView(bytes, size).Declared() != 1)
        return false;
    if (!TextEntry(type, bytes, size, 0, &text, &length))
        return false;
    out->assign(reinterpret_cast<const char *>(text), length);
    return true;
}

STATUS Compile(const Definition &definition, CompiledView *out) {
    out->id = definition.id;
    out->selection.reset();
    formula::CompileError error;
    try {
        if (!definition.hasKey || formula::CompileText(definition.key.data(), definition.key.size(),
                                                       &out->key, &error) != NOERROR)
            return ERR_VIEW_FORMULA;
        if (definition.hasSelection &&
            formula::CompileText(definition.selection.data(), definition.selection.size(),
                                 &out->selection, &error) != NOERROR)
            return ERR_VIEW_FORMULA;
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
    return NOERROR;
}

// The collation keys of a document's entries in a view, each once; none
// when the view does not choose it. Only a lack of memory fails: a formula
// that fails on this document leaves it out, as nif.h tells.
STATUS KeysOf(const CompiledView &view, const ItemSource &note, std::vector<std::string> *keys) {
    keys->clear();
    try {
        formula::Outcome outcome;
        if (view.selection) {
            STATUS status = formula::Evaluate(*view.selection, &note, &outcome);
            if (status == ERR_MEMORY)
                return status;
            if (status != NOERROR || !outcome.matches)
                return NOERROR;
        }
        STATUS status = formula::Evaluate(*view.key, &note, &outcome);
        if (status == ERR_MEMORY)
            return status;
        if (status != NOERROR || outcome.result.kind != ValueKind::Text)
            return NOERROR;
        for (const std::string &text : outcome.result.texts) {
            if (!text.empty())
                keys->push_back(CollationKey(text));
        }
        std::sort(keys->begin(), keys->end());
        keys->erase(std::unique(keys->begin(), keys->end()), keys->end());
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
    return NOERROR;
}

STATUS IndexNote(Connection &c, const CompiledView &view, const ItemSource &note) {
    std::vector<std::string> keys;
    if (STATUS status = KeysOf(view, note, &keys))
        return status;
    if (keys.empty())
        return NOERROR;
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kInsEntry, &stmt))
        return status;
    for (const std::string &key : keys) {
        StmtScope scope{stmt};
        sqlite3_bind_int64(stmt, 1, view.id);
        nsf::BindString(stmt, 2, key);
        sqlite3_bind_int64(stmt, 3, note.NoteId());
        if (STATUS status = c.Step(stmt))
            return status;
    }
    return NOERROR;
}

// Drops a view's index when the note was a view's (its row and entries).
STATUS DropView(Connection &c, NOTEID id) {
    if (STATUS status = ExecForNote(c, kDelView, id))
        return status;
    return c.Changes() > 0 ? ExecForNote(c, kDelEntriesOfView, id) : NOERROR;
}

// The views whose index is built, with their formulas as stored.
STATUS BuiltViews(Connection &c, std::vector<Definition> *out) {
    out->clear();
    return ForEachRow(c, kSelViews, [&](sqlite3_stmt *stmt) -> STATUS {
        Definition definition;
        definition.id = static_cast<NOTEID>(sqlite3_column_int64(stmt, 0));
        definition.hasSelection = sqlite3_column_type(stmt, 1) != SQLITE_NULL;
        definition.selection = nsf::ColumnBytes(stmt, 1);
        definition.hasKey = true;
        definition.key = nsf::ColumnBytes(stmt, 2);
        out->push_back(std::move(definition));
        return NOERROR;
    });
}

STATUS IsProfile(Connection &c, const nsf::NoteImage &note, bool *out) {
    if (note.IsNew()) {
        *out = note.ProfileKey() != nullptr;
        return NOERROR;
    }
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kSelProfileOf, &stmt))
        return status;
    StmtScope scope{stmt};
    sqlite3_bind_int64(stmt, 1, note.NoteId());
    return c.Step(stmt, out);
}

// A document just written, into every built view.
STATUS IndexDocument(Connection &c, const nsf::NoteImage &note) {
    std::vector<Definition> built;
    if (STATUS status = BuiltViews(c, &built))
        return status;
    if (built.empty())
        return NOERROR;
    bool profile = false;
    if (STATUS status = IsProfile(c, note, &profile))
        return status;
    if (profile)
        return NOERROR;
    for (const Definition &definition : built) {
        CompiledView view;
        STATUS status = Compile(definition, &view);
        if (status == ERR_VIEW_FORMULA) {
            // It compiled when it was built: let its next reader tell.
            if (STATUS dropped = DropView(c, definition.id))
                return dropped;
            continue;
        }
        if (status != NOERROR)
            return status;
        if (STATUS indexed = IndexNote(c, view, note))
            return indexed;
    }
    return NOERROR;
}

// The write in hand is kept by every view that was current before it.
STATUS Advance(nsf::TxnContext &txn) {
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = txn.Sql().Prepare(kAdvance, &stmt))
        return status;
    StmtScope scope{stmt};
    sqlite3_bind_int64(stmt, 1, txn.Change());
    sqlite3_bind_int64(stmt, 2, txn.Change() - 1);
    return txn.Sql().Step(stmt);
}

class ViewIndexer : public nsf::Indexer {
  public:
    const char *Name() const override { return "views"; }

    STATUS OnSave(nsf::TxnContext &txn, const nsf::NoteImage &note) override {
        Connection &c = txn.Sql();
        if (!note.IsNew()) {
            // Its old entries go, and its index when it was a view.
            if (STATUS status = DropView(c, note.NoteId()))
                return status;
            if (STATUS status = ExecForNote(c, kDelEntriesOfNote, note.NoteId()))
                return status;
        }
        if (IsDocument(note.NoteClass())) {
            if (STATUS status = IndexDocument(c, note))
                return status;
        }
        return Advance(txn);
    }

    STATUS OnDelete(nsf::TxnContext &txn, const nsf::StoredNote &note) override {
        Connection &c = txn.Sql();
        if (STATUS status = DropView(c, note.id))
            return status;
        if (STATUS status = ExecForNote(c, kDelEntriesOfNote, note.id))
            return status;
        return Advance(txn);
    }

    // Every view's index goes; each is built by its next reader.
    STATUS Rebuild(nsf::TxnContext &txn) override {
        if (STATUS status = txn.Sql().Exec(kClearEntries))
            return status;
        return txn.Sql().Exec(kClearViews);
    }
};

STATUS ReadDefinition(nsf::Transaction &txn, NOTEID view, Definition *out) {
    nsf::StoredNote header;
    bool selectionSeen = false, keySeen = false, badText = false;
    out->id = view;
    STATUS status = txn.ReadNote(
        view, &header,
        [&](const unsigned char *name, size_t nameLength, WORD type, WORD,
            const unsigned char *value, size_t size) -> STATUS {
            const char *text = reinterpret_cast<const char *>(name);
            if (!selectionSeen &&
                CollationEqual(text, nameLength, kSelectionItem, sizeof kSelectionItem - 1)) {
                selectionSeen = true;
                out->hasSelection = FormulaText(type, value, size, &out->selection);
                badText = badText || !out->hasSelection;
            } else if (!keySeen &&
                       CollationEqual(text, nameLength, kKeyItem, sizeof kKeyItem - 1)) {
                keySeen = true;
                out->hasKey = FormulaText(type, value, size, &out->key);
                badText = badText || !out->hasKey;
            }
            return NOERROR;
        });
    if (status != NOERROR)
        return status;
    if (!IsView(header.noteClass))
        return ERR_NOT_A_VIEW;
    return badText || !out->hasKey ? ERR_VIEW_FORMULA : NOERROR;
}

STATUS ProfileIds(Connection &c, std::unordered_set<NOTEID> *out) {
    return ForEachRow(c, kSelProfiles, [&](sqlite3_stmt *stmt) -> STATUS {
        out->insert(static_cast<NOTEID>(sqlite3_column_int64(stmt, 0)));
        return NOERROR;
    });
}

}  // namespace

STATUS CheckCurrent(Connection &c, NOTEID view) {
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kSelCurrent, &stmt))
        return status;
    StmtScope scope{stmt};
    sqlite3_bind_int64(stmt, 1, view);
    bool row = false;
    if (STATUS status = c.Step(stmt, &row))
        return status;
    return row && sqlite3_column_int(stmt, 0) != 0 ? NOERROR : kViewStale;
}

STATUS Build(nsf::DbFile &file, NOTEID view, bool rebuild) {
    nsf::Transaction txn(file);
    if (STATUS status = txn.Begin())
        return status;
    Connection &c = txn.Sql();
    if (!rebuild) {
        // Another thread or process may have built it meanwhile.
        STATUS current = CheckCurrent(c, view);
        if (current != kViewStale)
            return current;
    }
    Definition definition;
    if (STATUS status = ReadDefinition(txn, view, &definition))
        return status;
    CompiledView compiled;
    if (STATUS status = Compile(definition, &compiled))
        return status;
    if (STATUS status = ExecForNote(c, kDelEntriesOfView, view))
        return status;
    int64_t counter = 0;
    if (STATUS status = txn.Counter(&counter))
        return status;
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kInsView, &stmt))
        return status;
    {
        StmtScope scope{stmt};
        sqlite3_bind_int64(stmt, 1, view);
        if (definition.hasSelection)
            nsf::BindString(stmt, 2, definition.selection);
        else
            sqlite3_bind_null(stmt, 2);
        nsf::BindString(stmt, 3, definition.key);
        sqlite3_bind_int64(stmt, 4, counter);
        if (STATUS status = c.Step(stmt))
            return status;
    }
    std::unordered_set<NOTEID> profiles;
    if (STATUS status = ProfileIds(c, &profiles))
        return status;
    if (STATUS status = txn.ForEachNote(NOTE_CLASS_DOCUMENT, [&](const nsf::NoteImage &note) {
            if (profiles.count(note.NoteId()) != 0)
                return static_cast<STATUS>(NOERROR);
            return IndexNote(c, compiled, note);
        }))
        return status;
    return txn.Commit();
}

STATUS ReadCurrent(nsf::DbFile &file,
                   const std::function<STATUS(Connection &c, NOTEID *stale)> &body) {
    // Each round builds one stale view; a view changes again only when its
    // design note is saved again meanwhile.
    for (int round = 0; round < 16; round++) {
        NOTEID stale = 0;
        STATUS status = file.Read([&](Connection &c) { return body(c, &stale); });
        if (status != kViewStale)
            return status;
        if (STATUS built = Build(file, stale, false))
            return built;
    }
    return ERR_DB_BUSY;
}

STATUS EntriesWithKey(Connection &c, NOTEID view, const std::string &key,
                      std::vector<NOTEID> *out) {
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kSelWithKey, &stmt))
        return status;
    StmtScope scope{stmt};
    sqlite3_bind_int64(stmt, 1, view);
    nsf::BindString(stmt, 2, key);
    for (;;) {
        bool row = false;
        if (STATUS status = c.Step(stmt, &row))
            return status;
        if (!row)
            return NOERROR;
        out->push_back(static_cast<NOTEID>(sqlite3_column_int64(stmt, 0)));
    }
}

STATUS FirstWithKey(Connection &c, NOTEID view, const std::string &key, NOTEID *out) {
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kSelFirstWithKey, &stmt))
        return status;
    StmtScope scope{stmt};
    sqlite3_bind_int64(stmt, 1, view);
    nsf::BindString(stmt, 2, key);
    bool row = false;
    if (STATUS status = c.Step(stmt, &row))
        return status;
    *out = row ? static_cast<NOTEID>(sqlite3_column_int64(stmt, 0)) : 0;
    return NOERROR;
}

STATUS AllEntries(Connection &c, NOTEID view, std::vector<Entry> *out) {
    out->clear();
    return ForEachRow(
        c, kSelAll, [&](sqlite3_stmt *stmt) { sqlite3_bind_int64(stmt, 1, view); },
        [&](sqlite3_stmt *stmt) -> STATUS {
            out->push_back(
                {nsf::ColumnBytes(stmt, 0), static_cast<NOTEID>(sqlite3_column_int64(stmt, 1))});
            return NOERROR;
        });
}

STATUS ItemValue(Connection &c, NOTEID id, const std::string &nameKey, bool *found, WORD *type,
                 std::string *bytes) {
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kSelItem, &stmt))
        return status;
    StmtScope scope{stmt};
    sqlite3_bind_int64(stmt, 1, id);
    nsf::BindString(stmt, 2, nameKey);
    if (STATUS status = c.Step(stmt, found))
        return status;
    if (*found) {
        *type = static_cast<WORD>(sqlite3_column_int(stmt, 0));
        *bytes = nsf::ColumnBytes(stmt, 1);
    }
    return NOERROR;
}

}  // namespace views

namespace nsf {

Indexer *ViewIndexerInstance() {
    static auto *indexer = new views::ViewIndexer;
    return indexer;
}

}  // namespace nsf
}  // namespace notes_internal
