// Searches without a formula (nsf_search.h).
#include "nsf_search.h"

#include "fault.h"
#include "nsf_internal.h"
#include "os_error.h"

using notes_internal::nsf::DbForCall;
using notes_internal::nsf::DbObject;
using notes_internal::nsf::StoredNote;

namespace {

// a after b, comparing the moments (zone bits aside).
bool After(const TIMEDATE &a, const TIMEDATE &b) {
    const DWORD dayA = a.Innards[1] & 0xFFFFFFu, dayB = b.Innards[1] & 0xFFFFFFu;
    if (dayA != dayB)
        return dayA > dayB;
    return a.Innards[0] > b.Innards[0];
}

}  // namespace

STATUS LNPUBLIC NSFSearch(DBHANDLE hDB, FORMULAHANDLE hFormula, const char far *ViewTitle,
                          WORD SearchFlags, WORD NoteClassMask, const TIMEDATE far *Since,
                          NSFSEARCHPROC EnumRoutine, void far *EnumRoutineParameter,
                          TIMEDATE far *retUntil) {
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("NSFSearch", hDB, &db))
        return status;
    if (hFormula != NULLHANDLE || (ViewTitle != nullptr && *ViewTitle != '\0'))
        return ERR_SEARCH_FORMULA;
    if (EnumRoutine == nullptr || (SearchFlags & static_cast<WORD>(~SEARCH_SUMMARY)) != 0)
        return ERR_BAD_PARAM;
    const TIMEDATE began = notes_internal::nsf::NowTimedate();
    std::vector<StoredNote> notes;
    if (STATUS status = db->file->LiveNotes(NoteClassMask, &notes))
        return status;
    if (retUntil != nullptr)
        *retUntil = began;
    for (const StoredNote &listed : notes) {
        // Read again: an earlier callback may have changed or deleted it.
        StoredNote note;
        STATUS status = db->file->ReadHeader(listed.id, &note);
        if (status == ERR_INVALID_NOTE || (status == NOERROR && note.deleted))
            continue;
        if (status != NOERROR)
            return status;
        if ((note.noteClass & NoteClassMask) == 0)
            continue;
        if (Since != nullptr && !After(note.modified, *Since))
            continue;
        SEARCH_MATCH match{};
        match.NoteID = note.id;
        match.OriginatorID = OID{note.unid.File, note.unid.Note, note.seq, note.seqTime};
        match.NoteClass = note.noteClass;
        match.SERetFlags = SE_FMATCH;
        match.SummaryLength = 0;
        if (STATUS result = EnumRoutine(EnumRoutineParameter, &match, nullptr))
            return result;
    }
    return NOERROR;
}
