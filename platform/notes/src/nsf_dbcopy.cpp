// Databases made from templates and the replacement of a design
// (nsf_dbcopy.h).
#include "nsf_dbcopy.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <set>

#include "fault.h"
#include "nsf_db.h"
#include "nsf_internal.h"
#include "nsf_note.h"
#include "nsf_sql.h"
#include "os_error.h"
#include "standin/nsf.h"

using notes_internal::nsf::DbForCall;
using notes_internal::nsf::DbObject;
using notes_internal::nsf::NoteCopy;
using notes_internal::nsf::SaveRequest;
using notes_internal::nsf::Transaction;

namespace {

constexpr WORD kDesignClasses = NOTE_CLASS_INFO | NOTE_CLASS_FORM | NOTE_CLASS_VIEW |
                                NOTE_CLASS_DESIGN | NOTE_CLASS_HELP_INDEX | NOTE_CLASS_HELP |
                                NOTE_CLASS_FILTER | NOTE_CLASS_FIELD | NOTE_CLASS_REPLFORMULA;

const char kSelNotes[] = "SELECT note_id, unid, note_class, deleted FROM notes";

WORD BareClass(WORD noteClass) {
    return noteClass & static_cast<WORD>(~NOTE_CLASS_DEFAULT);
}

bool IsDesign(WORD noteClass) {
    return (BareClass(noteClass) & kDesignClasses) != 0 && (noteClass & NOTE_CLASS_PRIVATE) == 0;
}

bool IsIcon(WORD noteClass) {
    return BareClass(noteClass) == NOTE_CLASS_ICON;
}

// A database's file name without its folders.
std::string BaseName(const std::string &path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string UnidKey(const UNID &unid) {
    return std::string(reinterpret_cast<const char *>(&unid), sizeof unid);
}

struct HeldNote {
    NOTEID id;
    WORD noteClass;
    bool deleted;
};

// Every note of the database by UNID, as the transaction sees it.
STATUS NotesByUnid(Transaction &txn, std::map<std::string, HeldNote> *out) {
    notes_internal::nsf::Connection &c = txn.Sql();
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kSelNotes, &stmt))
        return status;
    notes_internal::nsf::StmtScope scope{stmt};
    for (;;) {
        bool row = false;
        if (STATUS status = c.Step(stmt, &row))
            return status;
        if (!row)
            return NOERROR;
        if (sqlite3_column_bytes(stmt, 1) != sizeof(UNID))
            return ERR_DB_DAMAGED;
        (*out)[notes_internal::nsf::ColumnBytes(stmt, 1)] = {
            static_cast<NOTEID>(sqlite3_column_int64(stmt, 0)),
            static_cast<WORD>(sqlite3_column_int(stmt, 2)), sqlite3_column_int(stmt, 3) != 0};
    }
}

}  // namespace

STATUS LNPUBLIC NSFDbCreateAndCopy(const char far *srcDb, const char far *dstDb, WORD NoteClass,
                                   WORD Limit, DWORD Flags, DBHANDLE far *retHandle) {
    (void)Limit;
    if (retHandle != nullptr)
        *retHandle = NULLHANDLE;
    if (STATUS fault = notes_internal::FaultCheck("NSFDbCreateAndCopy",
                                                  notes_internal::nsf::DbFaultPath(dstDb).c_str()))
        return fault;
    if (NoteClass == 0 || Flags != 0)
        return ERR_BAD_PARAM;
    DBHANDLE source = NULLHANDLE;
    if (STATUS status = notes_internal::nsf::OpenDatabaseHandle(srcDb, &source))
        return status;
    std::shared_ptr<DbObject> src;
    STATUS status = notes_internal::nsf::LookupDb(source, &src);
    std::vector<NoteCopy> notes;
    WORD srcClass = 0;
    if (status == NOERROR)
        status = src->file->ReadNotes(NoteClass, &notes);
    if (status == NOERROR)
        status = src->file->DbClass(&srcClass);
    const std::string templateName = BaseName(src ? src->file->relPath() : std::string());
    src.reset();
    notes_internal::ReleaseHandle(notes_internal::HandleKind::Database, source);
    notes_internal::nsf::Forget(notes_internal::HandleKind::Database, source);
    if (status != NOERROR)
        return status;
    const bool fromTemplate = srcClass == DBCLASS_TEMPLATEFILE;

    std::string made;
    status = notes_internal::nsf::CreateDatabaseWith(
        dstDb, STANDIN_DEFAULT_BUILD_VERSION, &made,
        [&](Transaction &txn, const std::string &title) -> STATUS {
            bool icon = false;
            for (NoteCopy &note : notes) {
                if (IsIcon(note.header.noteClass)) {
                    icon = true;
                    if (fromTemplate)
                        note.SetText(TEMPLATE_FILE_NAME_ITEM, templateName);
                }
                SaveRequest request;
                note.Fill(&request);
                request.note.id = 0;
                request.unidGiven = true;
                request.seqGiven = note.header.seq != 0;
                if (STATUS saved = txn.SaveNote(&request))
                    return saved;
            }
            if (icon || !fromTemplate)
                return NOERROR;
            NoteCopy own;
            own.header.noteClass = NOTE_CLASS_ICON;
            own.SetText("$TITLE", title);
            own.SetText(TEMPLATE_FILE_NAME_ITEM, templateName);
            SaveRequest request;
            own.Fill(&request);
            return txn.SaveNote(&request);
        });
    if (status != NOERROR)
        return status;
    if (retHandle == nullptr)
        return NOERROR;
    status = notes_internal::nsf::OpenDatabaseHandle(dstDb, retHandle);
    if (status != NOERROR) {
        // Made but not to be opened: it goes, as the call promises.
        for (const char *suffix : {"", "-wal", "-shm", "-journal"})
            unlink((made + suffix).c_str());
    }
    return status;
}

STATUS LNPUBLIC DesignReplace(DBHANDLE hTemplateDB, DBHANDLE hDB, DWORD Flags, DWORD Options,
                              void far *Reserved1, void far *Reserved2) {
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("DesignReplace", hDB, &db))
        return status;
    std::shared_ptr<DbObject> tpl;
    if (STATUS status = notes_internal::nsf::LookupDb(hTemplateDB, &tpl))
        return status;
    if (Flags != DESIGN_REPLACE_ALL || Options != DESIGN_REPLACE_KEEP_INFO ||
        Reserved1 != nullptr || Reserved2 != nullptr || tpl->file == db->file)
        return ERR_BAD_PARAM;
    std::vector<NoteCopy> design;
    if (STATUS status = tpl->file->ReadNotes(kDesignClasses, &design))
        return status;

    Transaction txn(*db->file);
    if (STATUS status = txn.Begin())
        return status;
    std::map<std::string, HeldNote> held;
    if (STATUS status = NotesByUnid(txn, &held))
        return status;
    std::set<NOTEID> replaced;
    for (NoteCopy &note : design) {
        if (!IsDesign(note.header.noteClass))
            continue;
        SaveRequest request;
        note.Fill(&request);
        request.note.id = 0;
        request.unidGiven = true;
        auto found = held.find(UnidKey(note.header.unid));
        if (found != held.end()) {
            if (!found->second.deleted && IsDesign(found->second.noteClass)) {
                request.note.id = found->second.id;
                request.force = true;
                replaced.insert(found->second.id);
            } else {
                // A stub or a note of another kind holds the UNID: the
                // template's note comes in under a new one.
                request.unidGiven = false;
            }
        }
        if (STATUS status = txn.SaveNote(&request))
            return status;
    }
    for (const auto &entry : held) {
        const HeldNote &note = entry.second;
        if (note.deleted || !IsDesign(note.noteClass) || replaced.count(note.id))
            continue;
        if (STATUS status = txn.DeleteNote(note.id))
            return status;
    }
    if (STATUS status = notes_internal::nsf::SetIconText(txn, TEMPLATE_FILE_NAME_ITEM,
                                                         BaseName(tpl->file->relPath())))
        return status;
    return txn.Commit();
}
