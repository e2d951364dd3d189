// Text lists in memory objects.
//
// A list is a WORD count, then one WORD length per entry, then the entries'
// bytes one after the other, without terminators; WORDs in the machine's
// byte order, at any alignment. With the data-type prefix a WORD
// TYPE_TEXT_LIST stands before the count (the form of an item value); the
// calls skip that word without checking it. A whole list, prefix included,
// is at most 65535 bytes.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

struct LIST {
    WORD ListEntries;
};

// A new list of Quantity empty entries with room for Length bytes of text
// after them, in a memory object (free it with OSMemFree). When retpList is
// given the object comes back locked and *retpList is its address (unlock it
// with OSUnlockObject before ListAddEntry); otherwise it is left unlocked.
// *retListSize (may be null) gets the object's size in bytes.
// ERR_LIST_FULL when that size would pass 65535; ERR_BAD_PARAM for a null
// rethList. On failure *rethList is NULLHANDLE and nothing is left open.
STATUS LNPUBLIC ListAllocate(WORD Quantity, WORD Length, BOOL fPrefixDataType,
                             DHANDLE far *rethList, void far *far *retpList, WORD far *retListSize);

// Inserts an entry of TextSize bytes (NUL bytes included) at position
// EntryNumber (0 .. the count; the count appends). The memory object is
// resized with OSMemRealloc to exactly the new list (room left by
// ListAllocate goes), so the list must not be locked. *pListSize (may be
// null) gets the new size. ERR_LIST_ENTRY for a position beyond the count,
// ERR_LIST_FULL when the list would grow beyond 65535 bytes or entries,
// ERR_HANDLE_LOCKED while the object is locked, ERR_BAD_PARAM for a null
// Text with a non-zero TextSize, a block that belongs to a note, or a
// memory object too small for the list it says it holds; the handle
// statuses of os_mem for a bad handle. On failure the list is unchanged.
STATUS LNPUBLIC ListAddEntry(DHANDLE hList, BOOL fPrefixDataType, WORD far *pListSize,
                             WORD EntryNumber, const char far *Text, WORD TextSize);

// Number of entries of a list in memory; 0 for a null pointer.
WORD LNPUBLIC ListGetNumEntries(const void far *vList, BOOL fPrefixDataType);

// The address (inside the list) and length of one entry, no terminator;
// either result pointer may be null. ERR_LIST_ENTRY when there is no such
// entry, ERR_BAD_PARAM for a null list.
STATUS LNPUBLIC ListGetText(const void far *pList, BOOL fPrefixDataType, WORD EntryNumber,
                            char far *far *retTextPointer, WORD far *retTextLength);

// Size in bytes of a list in memory (prefix, count, lengths and texts;
// not the room that ListAllocate may have left); 0 for a null pointer.
WORD LNPUBLIC ListGetSize(const void far *pList, BOOL fPrefixDataType);

NOTES_EXTERN_C_END
