// Notes and items.
//
// A note is opened as an in-memory copy; changes reach the database only
// through NSFNoteUpdate, in one transaction that raises the note's sequence
// number and sets its sequence time and modified time (now, in GMT). A
// failure anywhere in that transaction leaves the stored note as it was and
// the copy as it is, so the update can be tried again. Without UPDATE_FORCE
// the update fails with ERR_CONFLICT when the stored note was changed since
// it was opened (through another handle or by another process); a forced
// update overwrites it with a sequence above the one it replaces. A new note
// gets its note ID and UNID on its first update.
//
// Items keep their order, may share a name, and are found by name without
// regard to case, the first of that name: the ASCII letters and the code
// page 850 letters written as single bytes 0x80-0xFF each match their other
// case; every other byte, and each LMBCS character of several bytes (a
// group byte with its one or two data bytes), compares exactly. Names are 1 to 255 bytes
// (ERR_BAD_ITEM_NAME otherwise). Texts are bytes with explicit lengths and may hold NUL bytes.
//
// Each item value is a memory block of the note: the WORD data type followed
// by the value bytes. Its BLOCKID (pool = a memory handle, block 0) works
// with OSLockBlock; bytes written through it are what the next update
// stores. An item's BLOCKID and its value's BLOCKID are the same here. The
// blocks belong to the note (OSMemFree gives ERR_BAD_PARAM) and are freed
// when the item is deleted or replaced, or the note closed; a BLOCKID of a
// deleted item or of another note gives ERR_ITEM_NOT_FOUND, one of a closed
// note ERR_INVALID_HANDLE (the note handle is closed).
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// Note classes.
#define NOTE_CLASS_DOCUMENT 0x0001
#define NOTE_CLASS_DATA NOTE_CLASS_DOCUMENT
#define NOTE_CLASS_INFO 0x0002
#define NOTE_CLASS_FORM 0x0004
#define NOTE_CLASS_VIEW 0x0008
#define NOTE_CLASS_ICON 0x0010
#define NOTE_CLASS_DESIGN 0x0020
#define NOTE_CLASS_ACL 0x0040
#define NOTE_CLASS_HELP_INDEX 0x0080
#define NOTE_CLASS_HELP 0x0100
#define NOTE_CLASS_FILTER 0x0200
#define NOTE_CLASS_FIELD 0x0400
#define NOTE_CLASS_REPLFORMULA 0x0800
#define NOTE_CLASS_PRIVATE 0x1000
#define NOTE_CLASS_DEFAULT 0x8000
#define NOTE_CLASS_ALL 0x7FFF
#define NOTE_CLASS_ALLNONDATA 0x7FFE
#define NOTE_CLASS_NONE 0x0000

// A note ID of NOTE_ID_SPECIAL | class opens that class's special note.
#define NOTE_ID_SPECIAL 0xFFFF0000u

// Open flags: accepted and not used (a note is always read whole).
#define OPEN_SUMMARY 0x0001
#define OPEN_EXPAND 0x0004
#define OPEN_NOOBJECTS 0x0008

// Update flags. UPDATE_NOCOMMIT is accepted; every update commits.
#define UPDATE_FORCE 0x0001
#define UPDATE_NOCOMMIT 0x0004

// Members for NSFNoteGetInfo / NSFNoteSetInfo.
#define _NOTE_DB 0        // DBHANDLE
#define _NOTE_ID 1        // NOTEID; 0 until first stored
#define _NOTE_OID 2       // OID
#define _NOTE_CLASS 3     // WORD
#define _NOTE_MODIFIED 4  // TIMEDATE
#define _NOTE_FLAGS 7     // WORD
#define _NOTE_ACCESSED 8  // TIMEDATE; when this copy was opened
// NSFNoteGetInfo of a closed handle gives zeros. NSFNoteSetInfo sets
// _NOTE_CLASS and _NOTE_FLAGS; _NOTE_OID on a note not yet stored gives it
// the UNID of the OID (its first update gives ERR_CONFLICT when another
// note has it); everything else is ignored.

// Item data types.
#define TYPE_INVALID_OR_UNKNOWN 0x0000
#define TYPE_COMPOSITE 0x0001
#define TYPE_ERROR 0x0100
#define TYPE_UNAVAILABLE 0x0200
#define TYPE_NUMBER 0x0300
#define TYPE_NUMBER_RANGE 0x0301
#define TYPE_TIME 0x0400
#define TYPE_TIME_RANGE 0x0401
#define TYPE_TEXT 0x0500
#define TYPE_TEXT_LIST 0x0501
#define TYPE_FORMULA 0x0600
#define TYPE_USERID 0x0700
#define TYPE_ASSISTANT_INFO 0x0011

// Item flags.
#define ITEM_SIGN 0x0001
#define ITEM_SEAL 0x0002
#define ITEM_SUMMARY 0x0004
#define ITEM_READWRITERS 0x0020
#define ITEM_NAMES 0x0040
#define ITEM_PLACEHOLDER 0x0100
#define ITEM_PROTECTED 0x0200
#define ITEM_READERS 0x0400

// ERR_INVALID_NOTE when there is no such note (note ID 0 included),
// ERR_NOTE_DELETED for a deletion stub, ERR_SPECIAL_ID for NOTE_ID_SPECIAL
// with a class of which the database has no special note.
STATUS LNPUBLIC NSFNoteOpen(DBHANDLE db_handle, NOTEID note_id, WORD open_flags,
                            NOTEHANDLE far *note_handle);
// The note of that UNID, as NSFNoteOpen opens it (open_flags likewise
// accepted and not used). ERR_UNID_NOT_FOUND when the database has no note
// of that UNID, ERR_NOTE_DELETED when it is a deletion stub; ERR_BAD_PARAM
// for a null pUNID or note_handle. Fault point: NSFNoteOpenByUNID, with the
// database's path.
STATUS LNPUBLIC NSFNoteOpenByUNID(DBHANDLE db_handle, const UNID far *pUNID, WORD open_flags,
                                  NOTEHANDLE far *note_handle);
// Gives back what OPEN_EXPAND unpacked. A note is always whole here, so it
// changes nothing; the handle statuses. Fault point: NSFNoteContract.
STATUS LNPUBLIC NSFNoteContract(NOTEHANDLE note_handle);
// A new, empty document in memory (class NOTE_CLASS_DOCUMENT, note ID 0).
STATUS LNPUBLIC NSFNoteCreate(DBHANDLE db_handle, NOTEHANDLE far *note_handle);
STATUS LNPUBLIC NSFNoteUpdate(NOTEHANDLE note_handle, WORD update_flags);
// Deletes a stored note, leaving a deletion stub: the note keeps its note ID,
// UNID and class, its sequence is raised and its items are gone; opening it
// gives ERR_NOTE_DELETED, an update of a copy opened before gives
// ERR_NOTE_DELETED, and StandinDbNoteIDs still lists it. A deleted profile
// is no profile any more (NSFProfileOpen makes a new one), and a deleted
// special note gives its place to the next note of its class.
// ERR_INVALID_NOTE when there is no such note (note ID 0 included),
// ERR_NOTE_DELETED when it is a stub already. update_flags are accepted and
// not used (a stub is always left).
STATUS LNPUBLIC NSFNoteDelete(DBHANDLE db_handle, NOTEID note_id, WORD update_flags);
// Closes the in-memory copy; unsaved changes are dropped.
STATUS LNPUBLIC NSFNoteClose(NOTEHANDLE note_handle);
void LNPUBLIC NSFNoteGetInfo(NOTEHANDLE note_handle, WORD note_member, void far *value_ptr);
void LNPUBLIC NSFNoteSetInfo(NOTEHANDLE note_handle, WORD note_member, const void far *value_ptr);

// Item lookup. item_name null (or name_len 0) takes the first item of the
// note; NSFItemInfoNext takes the next item after NextItem, of the given
// name when item_name is not null. value_blockid addresses the value (data
// type word first), value_len counts it with the type word. Any output
// pointer may be null. ERR_ITEM_NOT_FOUND when there is none.
STATUS LNPUBLIC NSFItemInfo(NOTEHANDLE note_handle, const char far *item_name, WORD name_len,
                            BLOCKID far *item_blockid, WORD far *value_datatype,
                            BLOCKID far *value_blockid, DWORD far *value_len);
STATUS LNPUBLIC NSFItemInfoNext(NOTEHANDLE note_handle, BLOCKID NextItem, const char far *item_name,
                                WORD name_len, BLOCKID far *item_blockid, WORD far *value_datatype,
                                BLOCKID far *value_blockid, DWORD far *value_len);
// The name (NUL-terminated, cut to return_buf_len - 1; name_len counts the
// bytes copied) and the rest of an item given by its BLOCKID. Any output
// pointer may be null. A BLOCKID that is not an item of the note gives an
// empty name and zeros.
void LNPUBLIC NSFItemQuery(NOTEHANDLE note_handle, BLOCKID item_bid, char far *item_name,
                           WORD return_buf_len, WORD far *name_len, WORD far *item_flags,
                           WORD far *value_datatype, BLOCKID far *value_bid, DWORD far *value_len);

// Text of a text item (or the first entry of a text list), cut to
// text_len - 1 bytes and NUL-terminated; returns the length copied. A
// missing item, or one of another type, gives "" and 0. The text may hold
// NUL bytes: the returned length counts them.
WORD LNPUBLIC NSFItemGetText(NOTEHANDLE note_handle, const char far *item_name, char far *item_text,
                             WORD text_len);
// Removes every item of that name and appends one text item (flags
// ITEM_SUMMARY); so do NSFItemSetTime and NSFItemSetNumber with their types.
// text_len MAXWORD means the text is NUL-terminated.
STATUS LNPUBLIC NSFItemSetText(NOTEHANDLE note_handle, const char far *item_name,
                               const char far *item_text, WORD text_len);
// FALSE when the item is missing or not a time.
BOOL LNPUBLIC NSFItemGetTime(NOTEHANDLE note_handle, const char far *item_name,
                             TIMEDATE far *td_item_value);
STATUS LNPUBLIC NSFItemSetTime(NOTEHANDLE note_handle, const char far *item_name,
                               const TIMEDATE far *td_item_value);
BOOL LNPUBLIC NSFItemGetNumber(NOTEHANDLE note_handle, const char far *item_name,
                               NUMBER far *retNumber);
STATUS LNPUBLIC NSFItemSetNumber(NOTEHANDLE note_handle, const char far *item_name,
                                 const NUMBER far *Number);
// Entries of a text or text-list item (a text item counts as one entry; a
// missing item as none).
WORD LNPUBLIC NSFItemGetTextListEntries(NOTEHANDLE note_handle, const char far *item_name);
// One entry, as NSFItemGetText; 0 and "" when there is no such entry.
WORD LNPUBLIC NSFItemGetTextListEntry(NOTEHANDLE note_handle, const char far *item_name,
                                      WORD entry_position, char far *retEntry_text, WORD text_len);
// Removes the first item of that name; ERR_ITEM_NOT_FOUND when there is
// none, ERR_BAD_ITEM_NAME for a null name or name_len 0.
STATUS LNPUBLIC NSFItemDelete(NOTEHANDLE note_handle, const char far *item_name, WORD name_len);
STATUS LNPUBLIC NSFItemDeleteByBLOCKID(NOTEHANDLE note_handle, BLOCKID item_blockid);
// Appends an item after all others, with item_flags as given (ITEM_SIGN,
// ITEM_SUMMARY, ... in any combination); item_value holds value_len bytes
// that follow the data type word (the type is given apart). ERR_BAD_PARAM for a
// TYPE_NUMBER or TYPE_TIME value that is not 8 bytes and a TYPE_TEXT_LIST
// value whose entries do not fit it; ERR_ITEM_TOO_BIG above 64 MiB.
STATUS LNPUBLIC NSFItemAppend(NOTEHANDLE note_handle, WORD item_flags, const char far *item_name,
                              WORD name_len, WORD item_type, const void far *item_value,
                              DWORD value_len);
// Appends an item whose value is a memory block: value_len bytes at
// value_bid (OSMemAlloc's handle with the block offset), the WORD data type
// first, then the value, as NSFItemAppend takes them. On success the note
// takes the block over: its bytes become the item's value and its memory
// handle is freed, so the caller must not free it (nor use value_bid any
// more); on failure the block stays the caller's, unchanged. The block may
// be locked. *item_bid (may be null) gets the new item's BLOCKID.
// ERR_BAD_PARAM for a value_len below 2, a block that does not hold
// value_len bytes from its offset, a block of a note, or a value that
// NSFItemAppend refuses; the handle statuses of os_mem for value_bid.pool.
// Fault point: NSFItemAppendByBLOCKID.
STATUS LNPUBLIC NSFItemAppendByBLOCKID(NOTEHANDLE note_handle, WORD item_flags,
                                       const char far *item_name, WORD name_len, BLOCKID value_bid,
                                       DWORD value_len, BLOCKID far *item_bid);

NOTES_EXTERN_C_END
