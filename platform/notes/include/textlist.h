// Text lists in memory objects.
//
// A list is a WORD count, then one WORD length per entry, then the entries'
// bytes one after the other, without terminators. With the data-type prefix
// a WORD TYPE_TEXT_LIST stands before the count (the form of an item value).
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

struct LIST {
    WORD ListEntries;
};

// A new list of Quantity empty entries with room for Length bytes of text,
// locked: *retpList is its address (unlock it with OSUnlockObject), and
// *retListSize its size in bytes.
STATUS LNPUBLIC ListAllocate(WORD Quantity, WORD Length, BOOL fPrefixDataType,
                             DHANDLE far *rethList, void far *far *retpList,
                             WORD far *retListSize);

// Inserts an entry at position EntryNumber (0 .. the count; the count
// appends). The list must not be locked. *pListSize is updated.
// ERR_LIST_ENTRY for a position beyond the count, ERR_LIST_FULL when the
// list would grow beyond 65535 bytes or entries.
STATUS LNPUBLIC ListAddEntry(DHANDLE hList, BOOL fPrefixDataType, WORD far *pListSize,
                             WORD EntryNumber, const char far *Text, WORD TextSize);

// Number of entries of a list in memory.
WORD LNPUBLIC ListGetNumEntries(const void far *vList, BOOL fPrefixDataType);

// The address and length of one entry (no terminator). ERR_LIST_ENTRY when
// there is no such entry.
STATUS LNPUBLIC ListGetText(const void far *pList, BOOL fPrefixDataType, WORD EntryNumber,
                            char far *far *retTextPointer, WORD far *retTextLength);

// Size in bytes of a list in memory.
WORD LNPUBLIC ListGetSize(const void far *pList, BOOL fPrefixDataType);

NOTES_EXTERN_C_END
