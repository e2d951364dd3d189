// Profile documents: one named note per database (and per user name, when
// one is given), found by name without regard to case.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// Opens the profile; when the database has none of that name, a new one is
// made in memory (it is stored by its first NSFNoteUpdate). CopyProfile is
// accepted for the platform's sake: a profile is always an in-memory copy
// here, as every note is.
STATUS LNPUBLIC NSFProfileOpen(DBHANDLE hDB, const char far *ProfileName,
                               WORD ProfileNameLength, const char far *UserName,
                               WORD UserNameLength, BOOL CopyProfile,
                               NOTEHANDLE far *rethProfileNote);

// The value of one item of a stored profile: its data type, and a memory
// block holding the value as an item BLOCKID gives it (data type word
// first; the length counts it). The block is the caller's: free it with
// OSMemFree(retbhValue.pool). ERR_ITEM_NOT_FOUND when the
// profile or the item does not exist.
STATUS LNPUBLIC NSFProfileGetField(DBHANDLE hDB, const char far *ProfileName,
                                   WORD ProfileNameLength, const char far *UserName,
                                   WORD UserNameLength, const char far *FieldName,
                                   WORD FieldNameLength, WORD far *retDatatype,
                                   BLOCKID far *retbhValue, DWORD far *retValueLength);

NOTES_EXTERN_C_END
