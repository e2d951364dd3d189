// The directory: lookups of names, and the expansion of names and groups.
//
// The directory is names.nsf in a server's data directory; a null or empty
// server name means the data directory of this runtime. Its name spaces
// are its views (nif.h), looked up by name or alias. The views the system
// relies on, with their formulas:
//   "$Users"        SELECT Form = "Person" | Type = "Person"
//                   key: FullName : @Name([Abbreviate]; FullName) : ShortName
//   "($Servers)"    SELECT Form = "Server" | Type = "Server"
//                   key: ServerName : @Name([Abbreviate]; ServerName)
//   "($Clusters)"   SELECT (Form = "Server" | Type = "Server") & ClusterName != ""
//                   key: ClusterName
//   "($Groups)"     SELECT Form = "Group" | Type = "Group"
//                   key: ListName
// A person is a document of "$Users" (its "FullName" a text or a text list,
// the first entry its full name), a group one of "($Groups)" (its
// "ListName", and its "Members" in order).
//
// Once looked up in, a directory stays open in the process until the
// runtime ends (each call still tells a directory that is gone), so that a
// lookup does not pay for opening the file: the directory counts as open
// for NSFDbCreate with ForceCreation.
//
// A name is looked up through the collation of names in its canonical and
// its abbreviated form alike: a key of the view matches when it collates
// as the name as given, as its canonical form or as its abbreviated form
// (dname.h; a name that cannot be parsed is looked up as given).
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// THE RESULT BUFFER OF NAMELookup2
//
// A memory handle (os_mem.h): lock it, walk it with the calls below, unlock
// it and free it. Its layout, for reference (the calls are the way to read
// it; numbers in the machine's byte order, every record at an offset that
// is a multiple of 4, its size a multiple of 4):
//
//   header, 16 bytes
//     DWORD  NAME_LOOKUP_MAGIC ("NLK2")
//     DWORD  the size of the whole buffer
//     WORD   the number of name entries (names times name spaces)
//     WORD   the number of items asked for
//     DWORD  0
//   name entries, one after the other: for the first name one entry per
//   name space in the order given, then for the second name, and so on
//     DWORD  NAME_ENTRY_MAGIC ("NLKN")
//     DWORD  the size of the entry, its matches included
//     WORD   the number of matches
//     WORD   the name's index, from 0, in the order given
//     WORD   the name space's index
//     WORD   0
//     then its matches, one after the other: the documents of the name
//     space whose keys match the name, in key order, then note ID order,
//     each document once
//   match
//     DWORD  NAME_MATCH_MAGIC ("NLKM")
//     DWORD  the size of the match, its values included
//     NOTEID the document
//     WORD   the number of items (as in the header)
//     WORD   0
//     per item, in the order asked, 8 bytes:
//       DWORD  the offset of its value from the start of the match, 0 when
//              the document has no item of that name
//       WORD   the size of the value, its type word included
//       WORD   0
//     then the values: each the item's WORD data type followed by its
//     bytes as the item holds them (nsf_note.h), padded to a multiple of 4
//
// An item value is the first item of that name of the document (through
// the collation of item names), whatever its type.
#define NAME_LOOKUP_MAGIC 0x324B4C4Eu
#define NAME_ENTRY_MAGIC 0x4E4B4C4Eu
#define NAME_MATCH_MAGIC 0x4D4B4C4Eu

// Looks up NumNames names in NumNameSpaces name spaces of the directory of
// ServerName and gives, for every match, the values of NumItems items.
// NameSpaces, Names and Items are packed: NUL-terminated texts one after
// the other. Flags: none are defined, so it must be 0. A name that matches
// nothing has an entry with 0 matches: that is no error. *rethBuffer is
// the result buffer, NULLHANDLE unless the call succeeds.
// Statuses: ERR_NAMESPACE_NOT_FOUND for a name space that is no view of
// the directory; ERR_NAME_ITEM_TOO_BIG for a value of more than 65533
// bytes; ERR_VIEW_FORMULA for a view whose formulas do not compile;
// NSFDbOpen's statuses for the directory (ERR_NOEXIST when the server has
// no names.nsf); ERR_BAD_PARAM for a null rethBuffer, a null list with a
// count, more than 65535 name entries, or non-zero Flags.
STATUS LNPUBLIC NAMELookup2(const char far *ServerName, DWORD Flags, WORD NumNameSpaces,
                            const char far *NameSpaces, WORD NumNames, const char far *Names,
                            WORD NumItems, const char far *Items, DHANDLE far *rethBuffer);

// The first name entry of the locked buffer pLookup (pName null) or the one
// after pName; null after the last. *retNumMatches (may be null) gets the
// entry's number of matches, 0 when the result is null. A null pLookup, or
// a pName that is no name entry of pLookup, gives null.
void far *LNPUBLIC NAMELocateNextName2(const void far *pLookup, const void far *pName,
                                       WORD far *retNumMatches);

// The first match of the name entry pName (pMatch null) or the one after
// pMatch; null after the last, and for null or foreign pointers.
void far *LNPUBLIC NAMELocateNextMatch2(const void far *pLookup, const void far *pName,
                                        const void far *pMatch);

// The value of item Item (from 0, in the order asked) of a match: a
// pointer to its type word, with the type in *retDataType and the size,
// type word included, in *retSize (either may be null). So the text of a
// TYPE_TEXT value is the *retSize - 2 bytes after the type word, without a
// terminator. Null, type TYPE_INVALID_OR_UNKNOWN and size 0 when the
// document has no such item, Item is not below the number of items, or
// pMatch is null or no match.
void far *LNPUBLIC NAMELocateItem2(const void far *pMatch, WORD Item, WORD far *retDataType,
                                   WORD far *retSize);

// Member Member (from 0) of item Item of a match, a TYPE_TEXT (member 0
// only) or TYPE_TEXT_LIST value, copied into retBuffer NUL-terminated and
// cut to BufLen - 1 bytes (never inside an LMBCS character). On failure
// retBuffer holds "" (when BufLen > 0). ERR_ITEM_NOT_FOUND when the
// document has no such item, ERR_ITEM_TYPE for a value of another type,
// ERR_LIST_ENTRY for a member beyond the last, ERR_BAD_PARAM for a null
// pMatch (or one that is no match), a null retBuffer or BufLen 0.
STATUS LNPUBLIC NAMEGetTextItem2(const void far *pMatch, WORD Item, WORD Member,
                                 char far *retBuffer, WORD BufLen);

// THE NAMES EXPANSION (the platform's ordinal 3816)
//
// hNames is a text list with a data-type prefix (textlist.h) of NamesSize
// bytes (a larger memory object is fine); the names are expanded in order
// into a new list of the same kind: *rethExpanded (free it with OSMemFree)
// of *retExpandedSize bytes.
//   a person                 the first entry of its "FullName" (the name
//                            as given when the person has none)
//   a group                  its "Members", depth first, in stored order:
//                            each member that is a person or a group is
//                            expanded in turn, any other member comes as
//                            stored; a group met again inside itself (or
//                            twice) is not expanded again
//   a name that is nobody    nothing
// A name is taken for a person first (the first match in "$Users"), then
// for a group (the first match in "($Groups)"). Each name comes once
// (the first time, compared through the collation). A name that is nobody
// gives a list of 0 entries and NOERROR. The call does not take over
// hNames: the caller frees it, as it frees the new list.
// Statuses: ERR_LIST_FULL when the result passes 65535 bytes;
// ERR_NAMESPACE_NOT_FOUND when the directory lacks "$Users" or
// "($Groups)"; NAMELookup2's statuses for the directory; the handle
// statuses of os_mem for hNames; ERR_BAD_PARAM for a null rethExpanded,
// non-zero reserved values, or a list that does not lie whole within
// NamesSize and the memory object. On failure *rethExpanded is NULLHANDLE
// and *retExpandedSize 0.
STATUS LNPUBLIC NAMEExpandNamesList(DHANDLE hNames, WORD NamesSize, DHANDLE far *rethExpanded,
                                    WORD far *retExpandedSize, DWORD Reserved1, DWORD Reserved2);

// Fault points (standin/fault.h): each call under its own name;
// NAMELookup2 and NAMEExpandNamesList with the path "names.nsf". An armed
// rule makes the calls that give pointers give null.

NOTES_EXTERN_C_END
