// Profile documents: one named note per database (and per user name, when
// one is given), found by name without regard to case. User names compare
// like server names (case, canonical and abbreviated forms alike). A
// profile is a document (NOTE_CLASS_DOCUMENT); its name is recorded beside
// it in the database, not in an item.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// Opens the profile; when the database has none of that name, a new one is
// made in memory (it is stored by its first NSFNoteUpdate). When another
// copy stored the same profile meanwhile (in this process or another), that
// first update gives ERR_CONFLICT, or with UPDATE_FORCE overwrites the
// stored profile: a database never holds two of one name. CopyProfile is
// accepted for the platform's sake: a profile is always an in-memory copy
// here, as every note is. ERR_NOT_PROFILE for a null or empty name or one
// longer than 255 bytes.
STATUS LNPUBLIC NSFProfileOpen(DBHANDLE hDB, const char far *ProfileName, WORD ProfileNameLength,
                               const char far *UserName, WORD UserNameLength, BOOL CopyProfile,
                               NOTEHANDLE far *rethProfileNote);

// The value of one item of a stored profile: its data type, and a memory
// block holding the value as an item BLOCKID gives it (data type word
// first; the length counts it). The block is the caller's: free it with
// OSMemFree(retbhValue.pool). The first item of that name counts, as the
// profile was last stored (changes of an open copy are not seen).
// ERR_ITEM_NOT_FOUND when the profile or the item does not exist.
STATUS LNPUBLIC NSFProfileGetField(DBHANDLE hDB, const char far *ProfileName,
                                   WORD ProfileNameLength, const char far *UserName,
                                   WORD UserNameLength, const char far *FieldName,
                                   WORD FieldNameLength, WORD far *retDatatype,
                                   BLOCKID far *retbhValue, DWORD far *retValueLength);

NOTES_EXTERN_C_END
