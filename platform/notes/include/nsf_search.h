// Searching a database's notes.
//
// Fault point (standin/fault.h): NSFSearch, with the database's path.
#pragma once

#include "global.h"
#include "nsf_formula.h"

NOTES_EXTERN_C_BEGIN

// Search flags. SEARCH_SUMMARY is accepted; no summary is built (the
// callback's SummaryBuffer is always null).
#define SEARCH_SUMMARY 0x0002

// Flags of a match (SEARCH_MATCH.SERetFlags).
#define SE_FMATCH 0x0001  // the note matches the search (every match here)

// One note, as the search hands it to its callback.
struct SEARCH_MATCH {
    NOTEID NoteID;              // the note
    ORIGINATORID OriginatorID;  // its UNID, sequence and sequence time
    WORD NoteClass;             // its class (NOTE_CLASS_DEFAULT included)
    WORD SERetFlags;            // SE_FMATCH
    WORD SummaryLength;         // 0: no summary
};

// The summary buffer of the platform's searches; none is built here.
struct ITEM_TABLE;

// A non-zero result ends the search and becomes NSFSearch's result.
typedef STATUS(LNCALLBACK *NSFSEARCHPROC)(void far *EnumRoutineParameter,
                                          SEARCH_MATCH far *SearchMatch,
                                          ITEM_TABLE far *SummaryBuffer);

// Calls EnumRoutine once for each live note of hDB (deletion stubs left
// out) whose class has a bit of NoteClassMask and, when Since is given,
// that was last modified after Since, in increasing note ID. The search
// walks the note IDs as they stood when it began, so the callback may open,
// update and delete notes: a note deleted meanwhile is not handed out, a
// note made meanwhile is not either. *retUntil (may be null) gets the time
// the search began, for the Since of a later search.
// Statuses: the first non-zero result of EnumRoutine; ERR_SEARCH_FORMULA
// for a formula (hFormula not NULLHANDLE) or a view title (not null and not
// empty): only searches without them are available; ERR_BAD_PARAM for a
// null EnumRoutine or search flags other than SEARCH_SUMMARY; the store's
// read statuses.
STATUS LNPUBLIC NSFSearch(DBHANDLE hDB, FORMULAHANDLE hFormula, const char far *ViewTitle,
                          WORD SearchFlags, WORD NoteClassMask, const TIMEDATE far *Since,
                          NSFSEARCHPROC EnumRoutine, void far *EnumRoutineParameter,
                          TIMEDATE far *retUntil);

NOTES_EXTERN_C_END
