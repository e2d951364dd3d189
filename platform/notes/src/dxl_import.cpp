// Storing parsed DXL notes, all of one text in one transaction, and the
// calls of standin/dxl.h.
#include <sqlite3.h>

#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "collation.h"
#include "dxl.h"
#include "fault.h"
#include "lmbcs.h"
#include "nsf_indexers.h"
#include "nsf_internal.h"
#include "nsf_note.h"
#include "nsf_sql.h"
#include "os_error.h"
#include "standin/dxl.h"
#include "standin/text.h"
#include "value_codec.h"

namespace notes_internal {
namespace dxl {

namespace {

const char kSelByUnid[] = "SELECT note_id, deleted FROM notes WHERE unid=?1";
const char kSelLive[] = "SELECT note_id FROM notes WHERE deleted=0 ORDER BY note_id";
const char kSelProfileOf[] = "SELECT name_key, user_key FROM profiles WHERE note_id=?1";

std::mutex g_hookMutex;
AclHook g_aclHook;

// The classes a database holds one note of (the special notes).
bool OnceOnly(WORD noteClass) {
    switch (noteClass) {
        case NOTE_CLASS_INFO:
        case NOTE_CLASS_ICON:
        case NOTE_CLASS_DESIGN:
        case NOTE_CLASS_ACL:
        case NOTE_CLASS_HELP_INDEX:
        case NOTE_CLASS_HELP:
        case NOTE_CLASS_REPLFORMULA:
            return true;
        default:
            return false;
    }
}

std::string StatusText(STATUS status) {
    char text[256] = {};
    OSLoadString(NULLHANDLE, status, text, sizeof text);
    char code[16];
    std::snprintf(code, sizeof code, " (0x%04X)", status & 0x3FFF);
    return text + std::string(code);
}

std::string Where(unsigned long line) {
    return line ? "line " + std::to_string(line) + ": " : std::string();
}

std::string Utf8(const std::string &lmbcs) {
    return LmbcsToUtf8(lmbcs.data(), lmbcs.size());
}

// The first text of an item of that name, or false.
bool FirstText(const Note &note, const char *name, std::string *out) {
    for (const Item &item : note.items) {
        if (!CollationEqual(item.name.data(), item.name.size(), name, std::strlen(name)))
            continue;
        const unsigned char *text = nullptr;
        size_t length = 0;
        if (!TextEntry(item.type, reinterpret_cast<const unsigned char *>(item.value.data()),
                       item.value.size(), 0, &text, &length))
            return false;
        out->assign(reinterpret_cast<const char *>(text), length);
        return true;
    }
    return false;
}

// The notes of one text, or of one copy, stored in one transaction.
class Store {
  public:
    explicit Store(nsf::DbFile &file) : txn_(file) {}

    STATUS Begin() {
        if (begun_)
            return NOERROR;
        if (STATUS status = txn_.Begin())
            return status;
        begun_ = true;
        return NOERROR;
    }
    bool Begun() const { return begun_; }
    nsf::Transaction &Txn() { return txn_; }
    STATUS Commit() { return begun_ ? txn_.Commit() : NOERROR; }

    STATUS Save(const Note &note, Problem *problem, bool *isProfile);

  private:
    STATUS Fail(STATUS status, unsigned long line, const std::string &message, Problem *problem) {
        problem->status = status;
        problem->line = line;
        problem->message = Where(line) + message;
        return status;
    }

    nsf::Transaction txn_;
    bool begun_ = false;
    std::map<std::string, unsigned long> unids_;     // UNID bytes -> line
    std::map<std::string, unsigned long> profiles_;  // keys -> line
    std::map<WORD, unsigned long> onceOnly_;         // class -> line
};

STATUS Store::Save(const Note &note, Problem *problem, bool *isProfile) {
    *isProfile = false;
    const unsigned long line = note.line;
    if (STATUS status = Begin())
        return Fail(status, line, "the database cannot be written: " + StatusText(status), problem);

    nsf::SaveRequest request;
    request.note.noteClass = note.noteClass;
    request.note.seq = note.seq;
    if (note.seqTimeGiven)
        request.note.seqTime = note.seqTime;
    else
        request.note.seqTime = nsf::NowTimedate();
    request.seqGiven = note.seq != 0;

    // A profile: its "$Name" tells its name and user.
    std::string profileKey, userKey;
    std::string profileName;
    if ((note.noteClass & static_cast<WORD>(~NOTE_CLASS_DEFAULT)) == NOTE_CLASS_DOCUMENT &&
        FirstText(note, "$Name", &profileName) && profileName.size() >= 9 &&
        CollationEqual(profileName.data(), 9, "$profile_", 9)) {
        std::string name, user;
        if (!ParseProfileName(profileName, &name, &user))
            return Fail(ERR_DXL_BAD_VALUE, line,
                        "the \"$Name\" \"" + Utf8(profileName) +
                            "\" is no profile name (\"$profile_\", the name's length in three "
                            "digits, the name, \"_\", the user name)",
                        problem);
        profileKey = nsf::FoldName(name.data(), name.size());
        userKey = user.empty() ? std::string() : nsf::NormaliseName(user);
        std::string both = profileKey + std::string(1, '\0') + userKey;
        auto seen = profiles_.find(both);
        if (seen != profiles_.end())
            return Fail(ERR_DXL_CONFLICT, line,
                        "a second profile \"" + Utf8(name) + "\"" +
                            (user.empty() ? "" : " of \"" + Utf8(user) + "\"") +
                            " (the first at line " + std::to_string(seen->second) + ")",
                        problem);
        profiles_[both] = line;
        request.profileKey = &profileKey;
        request.profileUserKey = &userKey;
        request.force = true;  // over the database's profile of that name
        *isProfile = true;
    }

    nsf::Connection &c = txn_.Sql();
    bool found = false;
    if (note.unidGiven) {
        std::string bytes(reinterpret_cast<const char *>(&note.unid), sizeof(UNID));
        auto seen = unids_.find(bytes);
        if (seen != unids_.end())
            return Fail(ERR_DXL_CONFLICT, line,
                        "a second note of UNID " + UnidToText(note.unid) + " (the first at line " +
                            std::to_string(seen->second) + ")",
                        problem);
        unids_[bytes] = line;
        request.note.unid = note.unid;
        request.unidGiven = true;
        sqlite3_stmt *stmt = nullptr;
        if (STATUS status = c.Prepare(kSelByUnid, &stmt))
            return Fail(status, line, "the database cannot be read: " + StatusText(status),
                        problem);
        nsf::StmtScope scope{stmt};
        nsf::BindBlob(stmt, 1, &note.unid, sizeof(UNID));
        bool row = false;
        if (STATUS status = c.Step(stmt, &row))
            return Fail(status, line, "the database cannot be read: " + StatusText(status),
                        problem);
        if (row) {
            if (sqlite3_column_int(stmt, 1) != 0)
                return Fail(ERR_DXL_CONFLICT, line,
                            "the database holds a deletion stub of UNID " + UnidToText(note.unid),
                            problem);
            request.note.id = static_cast<NOTEID>(sqlite3_column_int64(stmt, 0));
            request.force = true;
            found = true;
        }
    }

    if (OnceOnly(note.noteClass)) {
        auto seen = onceOnly_.find(note.noteClass);
        if (seen != onceOnly_.end()) {
            bool isDefault = false;
            return Fail(ERR_DXL_CONFLICT, line,
                        "a second note of the class " + ClassToXml(note.noteClass, &isDefault) +
                            ", which a database holds once (the first at line " +
                            std::to_string(seen->second) + ")",
                        problem);
        }
        onceOnly_[note.noteClass] = line;
        NOTEID held = 0;
        STATUS status = found ? static_cast<STATUS>(ERR_SPECIAL_ID)
                              : nsf::LookupSpecial(c, note.noteClass, &held);
        if (status == NOERROR) {
            if (note.unidGiven) {
                // The file's note comes with its own UNID: the held one goes.
                if (STATUS deleted = txn_.DeleteNote(held))
                    return Fail(deleted, line,
                                "the database's note of that class cannot be replaced: " +
                                    StatusText(deleted),
                                problem);
            } else {
                request.note.id = held;
                request.force = true;
            }
        } else if (status != ERR_SPECIAL_ID) {
            return Fail(status, line, "the database cannot be read: " + StatusText(status),
                        problem);
        }
    }

    std::vector<std::string> keys;
    keys.reserve(note.items.size());
    for (const Item &item : note.items)
        keys.push_back(CollationKey(item.name));
    for (size_t i = 0; i < note.items.size(); i++) {
        const Item &item = note.items[i];
        request.items.push_back(nsf::SaveItem{
            &item.name, &keys[i], item.type, item.flags,
            reinterpret_cast<const unsigned char *>(item.value.data()), item.value.size()});
    }
    if (STATUS status = txn_.SaveNote(&request)) {
        if (status == ERR_CONFLICT)
            return Fail(ERR_DXL_CONFLICT, line,
                        "the note conflicts with a note of the database: " + StatusText(status),
                        problem);
        return Fail(status, line, "the note cannot be stored: " + StatusText(status), problem);
    }
    return NOERROR;
}

class ImportSink : public Sink {
  public:
    ImportSink(Store &store, ImportResult *result) : store_(store), result_(result) {}

    STATUS OnNote(Note &note, Problem *problem) override {
        bool isProfile = false;
        if (STATUS status = store_.Save(note, problem, &isProfile))
            return status;
        result_->notes++;
        if (isProfile)
            result_->profiles++;
        return NOERROR;
    }

    STATUS OnAcl(Acl &acl, Problem *problem) override {
        result_->acl = acl;
        AclHook hook;
        {
            std::lock_guard<std::mutex> lock(g_hookMutex);
            hook = g_aclHook;
        }
        if (!hook)
            return NOERROR;
        if (STATUS status = store_.Begin()) {
            problem->status = status;
            problem->line = acl.line;
            problem->message =
                Where(acl.line) + "the database cannot be written: " + StatusText(status);
            return status;
        }
        std::string why;
        if (STATUS status = hook(store_.Txn(), acl, &why)) {
            problem->status = status;
            problem->line = acl.line;
            problem->message = Where(acl.line) + "the ACL cannot be stored: " +
                               (why.empty() ? StatusText(status) : why);
            return status;
        }
        result_->aclStored = true;
        return NOERROR;
    }

  private:
    Store &store_;
    ImportResult *result_;
};

}  // namespace

void SetAclHook(AclHook hook) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_aclHook = std::move(hook);
}

STATUS Import(nsf::DbFile &file, const ReadChunk &read, ImportResult *result) {
    *result = ImportResult();
    Store store(file);
    ImportSink sink(store, result);
    STATUS status = Parse(read, sink, &result->problem);
    if (status == NOERROR) {
        status = store.Commit();
        if (status != NOERROR) {
            result->problem.status = status;
            result->problem.message = "the notes cannot be stored: " + StatusText(status);
        }
    }
    if (status != NOERROR) {
        // The transaction rolls back: nothing of the text is stored.
        result->notes = 0;
        result->profiles = 0;
        result->aclStored = false;
        return status;
    }
    if (result->acl.found && !result->aclStored) {
        result->note = "the ACL (" + std::to_string(result->acl.entries.size()) + " entries, " +
                       std::to_string(result->acl.roles.size()) +
                       " roles) was read and checked but not stored: the database keeps no ACL";
    }
    return NOERROR;
}

STATUS ReadAllNotes(nsf::DbFile &file, bool designOnly, std::vector<Note> *out) {
    out->clear();
    nsf::Transaction txn(file);
    if (STATUS status = txn.Begin())
        return status;
    nsf::Connection &c = txn.Sql();
    std::vector<NOTEID> ids;
    {
        sqlite3_stmt *stmt = nullptr;
        if (STATUS status = c.Prepare(kSelLive, &stmt))
            return status;
        nsf::StmtScope scope{stmt};
        for (;;) {
            bool row = false;
            if (STATUS status = c.Step(stmt, &row))
                return status;
            if (!row)
                break;
            ids.push_back(static_cast<NOTEID>(sqlite3_column_int64(stmt, 0)));
        }
    }
    for (NOTEID id : ids) {
        nsf::StoredNote header;
        Note note;
        STATUS status =
            nsf::ReadNoteRows(c, id, &header,
                              [&](const unsigned char *name, size_t nameLen, WORD type, WORD flags,
                                  const unsigned char *value, size_t size) {
                                  Item item;
                                  item.name.assign(reinterpret_cast<const char *>(name), nameLen);
                                  item.type = type;
                                  item.flags = flags;
                                  item.value.assign(reinterpret_cast<const char *>(value), size);
                                  note.items.push_back(std::move(item));
                                  return static_cast<STATUS>(NOERROR);
                              });
        if (status == ERR_NOTE_DELETED)
            continue;
        if (status != NOERROR)
            return status;
        const bool document =
            (header.noteClass & static_cast<WORD>(~NOTE_CLASS_DEFAULT)) == NOTE_CLASS_DOCUMENT;
        if (designOnly && document)
            continue;
        note.noteClass = header.noteClass;
        note.unidGiven = true;
        note.unid = header.unid;
        note.seq = header.seq;
        note.seqTimeGiven = true;
        note.seqTime = header.seqTime;
        note.id = id;
        if (document) {
            // A profile made through NSFProfileOpen has no "$Name": it gets
            // one, so that an import finds the profile again.
            sqlite3_stmt *stmt = nullptr;
            if (STATUS s = c.Prepare(kSelProfileOf, &stmt))
                return s;
            nsf::StmtScope scope{stmt};
            sqlite3_bind_int64(stmt, 1, id);
            bool row = false;
            if (STATUS s = c.Step(stmt, &row))
                return s;
            std::string existing;
            if (row && !FirstText(note, "$Name", &existing)) {
                Item name;
                name.name = "$Name";
                name.type = TYPE_TEXT;
                name.flags = ITEM_SUMMARY;
                name.value = MakeProfileName(nsf::ColumnBytes(stmt, 0), nsf::ColumnBytes(stmt, 1));
                note.items.insert(note.items.begin(), std::move(name));
            }
        }
        out->push_back(std::move(note));
    }
    return NOERROR;
}

STATUS Export(nsf::DbFile &file, const WriteChunk &write, size_t *count, std::string *problem) {
    *count = 0;
    std::vector<Note> notes;
    if (STATUS status = ReadAllNotes(file, false, &notes)) {
        *problem = "the database cannot be read: " + StatusText(status);
        return status;
    }
    // Every note is written to text first, so that a note that cannot be
    // written stops the export before any byte goes out.
    std::string text = ExportHead(file.relPath());
    for (const Note &note : notes) {
        if (STATUS status = ExportNote(note, &text, problem))
            return status;
    }
    text += ExportTail();
    if (STATUS status = write(text.data(), text.size())) {
        *problem = "the text cannot be written: " + StatusText(status);
        return status;
    }
    *count = notes.size();
    return NOERROR;
}

STATUS CopyDesign(nsf::DbFile &from, nsf::DbFile &to, size_t *count, std::string *problem) {
    *count = 0;
    std::vector<Note> notes;
    if (STATUS status = ReadAllNotes(from, true, &notes)) {
        *problem = "the design of " + from.relPath() + " cannot be read: " + StatusText(status);
        return status;
    }
    Store store(to);
    for (const Note &note : notes) {
        Problem p;
        bool isProfile = false;
        if (STATUS status = store.Save(note, &p, &isProfile)) {
            *problem =
                "note " + std::to_string(note.id) + " of " + from.relPath() + ": " + p.message;
            return status;
        }
    }
    if (STATUS status = store.Commit()) {
        *problem = "the design cannot be stored: " + StatusText(status);
        return status;
    }
    *count = notes.size();
    return NOERROR;
}

}  // namespace dxl
}  // namespace notes_internal

using notes_internal::nsf::DbForCall;
using notes_internal::nsf::DbObject;

namespace {

void CopyMessage(const std::string &text, char *out, size_t size) {
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    // Never cut inside a character of the UTF-8 message.
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        n--;
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

}  // namespace

STATUS StandinDxlImport(DBHANDLE hDB, STANDINDXLREADPROC Reader, void *Context,
                        StandinDxlResult *retResult) {
    if (retResult)
        std::memset(retResult, 0, sizeof *retResult);
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("StandinDxlImport", hDB, &db))
        return status;
    if (Reader == nullptr)
        return ERR_BAD_PARAM;
    notes_internal::dxl::ImportResult result;
    STATUS status = notes_internal::dxl::Import(
        *db->file,
        [&](char *buffer, size_t capacity, size_t *got) {
            DWORD length = 0;
            STATUS s = Reader(Context, buffer, static_cast<DWORD>(capacity), &length);
            *got = length;
            return s;
        },
        &result);
    if (retResult) {
        retResult->notes = static_cast<DWORD>(result.notes);
        retResult->profiles = static_cast<DWORD>(result.profiles);
        retResult->aclFound = result.acl.found;
        retResult->aclEntries = static_cast<DWORD>(result.acl.entries.size());
        retResult->aclRoles = static_cast<DWORD>(result.acl.roles.size());
        retResult->aclStored = result.aclStored;
        retResult->line = static_cast<DWORD>(result.problem.line);
        CopyMessage(status != NOERROR ? result.problem.message : result.note, retResult->message,
                    sizeof retResult->message);
    }
    return status;
}

STATUS StandinDxlExport(DBHANDLE hDB, STANDINDXLWRITEPROC Writer, void *Context, DWORD *retNotes,
                        char *retProblem, WORD ProblemLength) {
    if (retNotes)
        *retNotes = 0;
    if (retProblem && ProblemLength > 0)
        retProblem[0] = '\0';
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("StandinDxlExport", hDB, &db))
        return status;
    if (Writer == nullptr)
        return ERR_BAD_PARAM;
    size_t count = 0;
    std::string problem;
    STATUS status = notes_internal::dxl::Export(
        *db->file,
        [&](const char *bytes, size_t length) {
            // The writer takes DWORD lengths: an export of more goes in pieces.
            while (length > 0) {
                DWORD piece = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
                if (STATUS s = Writer(Context, bytes, piece))
                    return s;
                bytes += piece;
                length -= piece;
            }
            return static_cast<STATUS>(NOERROR);
        },
        &count, &problem);
    if (retNotes)
        *retNotes = static_cast<DWORD>(count);
    if (status != NOERROR && retProblem && ProblemLength > 0)
        CopyMessage(problem, retProblem, ProblemLength);
    return status;
}

STATUS StandinDbCopyDesign(DBHANDLE hFrom, DBHANDLE hTo, DWORD *retNotes) {
    if (retNotes)
        *retNotes = 0;
    std::shared_ptr<DbObject> to;
    if (STATUS status = DbForCall("StandinDbCopyDesign", hTo, &to))
        return status;
    std::shared_ptr<DbObject> from;
    if (STATUS status = notes_internal::nsf::LookupDb(hFrom, &from))
        return status;
    size_t count = 0;
    std::string problem;
    STATUS status = notes_internal::dxl::CopyDesign(*from->file, *to->file, &count, &problem);
    if (retNotes)
        *retNotes = static_cast<DWORD>(count);
    return status;
}

size_t StandinLmbcsCharLength(const unsigned char *p, size_t left) {
    if (p == nullptr || left == 0)
        return 0;
    return notes_internal::LmbcsCharLength(p, left);
}
