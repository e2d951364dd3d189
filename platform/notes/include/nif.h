// Views, collections and design lookup.
//
// VIEWS
//
// A view is a design note of class NOTE_CLASS_VIEW. Its items:
//   "$TITLE"             its name and aliases, "name|alias|..." (as every
//                        design note's, see NIFFindDesignNoteExt)
//   "$SelectionFormula"  a text: a formula with SELECT (nsf_formula.h) that
//                        chooses the documents of the view; a view without
//                        it holds every document
//   "$KeyFormula"        a text: a formula whose value gives each document's
//                        keys; a view without it cannot be opened
//                        (ERR_VIEW_FORMULA)
//   "$Flags"             its design flags (a text of flag characters)
// Only documents are in a view: notes of class NOTE_CLASS_DOCUMENT that are
// neither deleted nor profiles. A document the selection formula chooses
// gives one entry per text of its key formula's value; a key formula that
// gives no text, an empty text, a number or a time, or that fails, gives
// no entry for that value, and a selection formula that fails chooses
// nothing. A document has one entry per key (a document whose keys collate
// alike has one entry for them). Keys compare through the collation of
// names (case-insensitive for the ASCII letters and the code page 850
// letters, nsf_note.h); entries are sorted by key, then by note ID. A view
// is flat: it has no categories and no responses.
//
// The index of a view lives in its database file. Every save and deletion
// of a note keeps it current in the transaction that writes the note, in
// whatever process writes it; a change of the view's design note drops it,
// and the next reader of the view (NIFOpenCollection, the directory calls
// of names.h) builds it anew from the documents, as it does for a view
// never read before. A view whose formulas do not compile cannot be read:
// ERR_VIEW_FORMULA.
//
// COLLECTIONS
//
// A collection is an open view: its entries as they were when it was
// opened (later saves are seen by a collection opened later). Positions
// count the entries from 1 in the view's order.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// The design note of class Class (NOTE_CLASS_VIEW, NOTE_CLASS_FORM,
// NOTE_CLASS_FILTER, ...; NOTE_CLASS_DEFAULT is not looked at) with the
// name or alias Name: compared through the collation of names, blanks
// around each name of "$TITLE" and around Name left out. When several
// design notes have the name, the one of lowest note ID whose "$Flags"
// fits the pattern pszFlags:
//   null or ""     any flags
//   "-" SET        "$Flags" holds none of the characters of SET
//   "+" SET        "$Flags" holds at least one of them
//   SET            "$Flags" holds every one of them
// SET is every character after the sign, each compared exactly (a design
// note without "$Flags" holds none). No character has another meaning: in
// "-G40n^" the set is "G", "4", "0", "n" and "^", and since no design
// note's flags hold a "^", it selects what "-G40n" does.
// ERR_DESIGN_NOT_FOUND when no design note fits (documents are never
// found); ERR_BAD_PARAM for a null Name or retNoteID, or Options other
// than 0 (none are defined). *retNoteID is 0 unless the call succeeds.
STATUS LNPUBLIC NIFFindDesignNoteExt(DBHANDLE hFile, const char far *Name, WORD Class,
                                     const char far *pszFlags, NOTEID far *retNoteID,
                                     DWORD Options);

// A place in a collection. Level is 0 (views are flat); Tumbler[0] is the
// entry's place, 1 for the first entry, 0 for the place before the first;
// a place beyond the last entry stands after it. The other members are not
// read and are written as 0.
#define MAXTUMBLERLEVELS 32
struct COLLECTIONPOSITION {
    WORD Level;
    BYTE MinLevel;
    BYTE MaxLevel;
    DWORD Tumbler[MAXTUMBLERLEVELS];
};

// Open flags of NIFOpenCollection.
#define OPEN_REBUILD_INDEX 0x0001  // build the view's index anew from the documents first

// Opens the view whose design note is ViewNoteID in hViewDB over the
// documents of hDataDB, which must be the same database (another handle of
// it will do): ERR_VIEW_OTHER_DATABASE otherwise. hUnreadList is not used
// (there are no unread marks here). Outputs:
//   *rethCollection     the collection; close it with NIFCloseCollection
//   *rethViewNote       (may be null) the view's note, open as NSFNoteOpen
//                       opens it; the caller closes it
//   *retViewUNID        (may be null) the view note's UNID
//   *rethCollapsedList, *rethSelectedList  (may be null) NULLHANDLE: a flat
//                       view has nothing collapsed, and nothing is selected
// ERR_NOT_A_VIEW for a note of another class, ERR_INVALID_NOTE and
// ERR_NOTE_DELETED as NSFNoteOpen, ERR_VIEW_FORMULA for a view whose
// formulas do not compile, ERR_BAD_PARAM for a null rethCollection or open
// flags other than those above. On failure every output is NULLHANDLE (or
// zero) and nothing is left open. The end of the runtime closes every
// collection still open.
STATUS LNPUBLIC NIFOpenCollection(DBHANDLE hViewDB, DBHANDLE hDataDB, NOTEID ViewNoteID,
                                  WORD OpenFlags, DHANDLE hUnreadList,
                                  HCOLLECTION far *rethCollection, NOTEHANDLE far *rethViewNote,
                                  UNID far *retViewUNID, DHANDLE far *rethCollapsedList,
                                  DHANDLE far *rethSelectedList);

// Find flags of NIFFindByName. Keys always compare through the collation,
// so FIND_CASE_INSENSITIVE is accepted and changes nothing.
#define FIND_PARTIAL 0x0001           // keys that begin with Name
#define FIND_CASE_INSENSITIVE 0x0002  // see above
#define FIND_FIRST_EQUAL 0x0000       // the position of the first match (the default)
#define FIND_LAST_EQUAL 0x0010        // the position of the last match

// The entries whose key is Name (or begins with it, FIND_PARTIAL): they
// stand together in the view; *retIndexPos gets the place of the first (or
// the last) of them and *retNumMatches their number (either may be null).
// ERR_NIF_KEY_NOT_FOUND when no entry matches (the outputs are then 0);
// ERR_BAD_PARAM for a null Name or unknown flags.
STATUS LNPUBLIC NIFFindByName(HCOLLECTION hCollection, const char far *Name, WORD FindFlags,
                              COLLECTIONPOSITION far *retIndexPos, DWORD far *retNumMatches);

// Navigators of NIFReadEntries.
#define NAVIGATE_CURRENT 0  // stay
#define NAVIGATE_NEXT 1     // one entry on
#define NAVIGATE_PREV 2     // one entry back

// What NIFReadEntries gives of each entry.
#define READ_MASK_NOTEID 0x00000001  // its NOTEID (4 bytes)

// Signal flags.
#define SIGNAL_MORE_TO_DO 0x0001  // entries were left for lack of count or room

// Reads entries from the place *IndexPos: first it moves SkipCount times by
// SkipNavigator (stopping at either end of the view; *retNumEntriesSkipped
// gets the moves made), then returns the entry it stands on and, up to
// ReturnCount entries in all, each entry that ReturnNavigator reaches from
// the last (NAVIGATE_CURRENT returns one). Standing before the first entry
// (or after the last), the return begins by one move of ReturnNavigator.
// *rethBuffer is a memory handle (free it with OSMemFree) of what
// ReturnMask asks, entry after entry: with READ_MASK_NOTEID the note IDs;
// *retBufferLength its size. A buffer holds at most 65535 bytes: entries
// beyond that are left, as are entries beyond ReturnCount, and
// SIGNAL_MORE_TO_DO in *retSignalFlags tells that the navigator would reach
// another. *IndexPos (when not null) is moved to the last entry returned,
// or to where the skip stopped when none was. No entry, or ReturnMask 0,
// gives NULLHANDLE and length 0. Every output pointer may be null;
// ERR_BAD_PARAM for an unknown navigator or mask bit, or a Level other
// than 0. The collection's entries are those of its open.
STATUS LNPUBLIC NIFReadEntries(HCOLLECTION hCollection, COLLECTIONPOSITION far *IndexPos,
                               WORD SkipNavigator, DWORD SkipCount, WORD ReturnNavigator,
                               DWORD ReturnCount, DWORD ReturnMask, DHANDLE far *rethBuffer,
                               WORD far *retBufferLength, DWORD far *retNumEntriesSkipped,
                               DWORD far *retNumEntriesReturned, WORD far *retSignalFlags);

STATUS LNPUBLIC NIFCloseCollection(HCOLLECTION hCollection);

// Fault points (standin/fault.h): each call under its own name, with the
// path of the database it works on (of the collection's database for the
// collection calls).

NOTES_EXTERN_C_END
