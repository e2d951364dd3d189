// Database information: the information text of a database, and a second
// handle to an open database.
//
// THE INFORMATION TEXT
//
// A database's information text is the "$TITLE" item of its icon note (the
// special note of NOTE_CLASS_ICON): at most NSF_INFO_SIZE - 1 bytes of
// LMBCS. It has four parts, each separated from the next by one line feed
// ("\n", 0x0A), in this order:
//
//   part 0  INFOPARSE_TITLE         the title
//   part 1  INFOPARSE_CATEGORIES    the categories
//   part 2  INFOPARSE_CLASS         the name under which the database serves
//                                   as a master template (a template's
//                                   template name, "Halcyra")
//   part 3  INFOPARSE_DESIGN_CLASS  the template name of the template whose
//                                   design the database inherits
//
// So "Halcyra\n\nHalcyra" is a template titled "Halcyra" that serves under
// the template name "Halcyra", and a text without a line feed is a title
// alone (NSFDbCreate gives a new database the file name without its
// extension). A part that the text does not reach is empty. A line feed
// after the fourth part, and what follows it, belong to no part; the calls
// below keep it as it is.
//
// A line feed cannot stand in a <text> of DXL (there a line break is a NUL
// byte): a DXL file gives an information text as raw item data
// (standin/dxl.h), and an export writes it so.
//
// Fault points (standin/fault.h): each call under its own name;
// NSFDbInfoGet, NSFDbInfoSet and NSFDbReopen with the database's path.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// The size of an information buffer, its terminating NUL included.
#define NSF_INFO_SIZE 128

#define INFOPARSE_TITLE 0
#define INFOPARSE_CATEGORIES 1
#define INFOPARSE_CLASS 2
#define INFOPARSE_DESIGN_CLASS 3

// The information text of hDB into retBuffer, which holds NSF_INFO_SIZE
// bytes: the icon note's first "$TITLE" text (the first entry of a text
// list) up to its first NUL byte, cut to NSF_INFO_SIZE - 1 bytes (never
// inside an LMBCS character) and NUL-terminated; "" when the icon note has no "$TITLE". The text is
// read from the database, not from an icon note open in memory.
// ERR_SPECIAL_ID when the database has no icon note; ERR_BAD_PARAM for a
// null retBuffer. On failure retBuffer holds "".
STATUS LNPUBLIC NSFDbInfoGet(DBHANDLE hDB, char far *retBuffer);

// Stores Buffer (NUL-terminated) as the information text of hDB: the icon
// note's first "$TITLE" becomes that text (TYPE_TEXT, its item flags kept;
// ITEM_SUMMARY for a new item), further "$TITLE" items go, and the icon note is
// updated, with a raised sequence, in one transaction. A database without
// an icon note gets one. ERR_DBINFO_TOO_LONG for a text of NSF_INFO_SIZE
// bytes or more; ERR_BAD_PARAM for a null Buffer. On failure the database
// is unchanged.
STATUS LNPUBLIC NSFDbInfoSet(DBHANDLE hDB, const char far *Buffer);

// Part What of the information text Info (NUL-terminated, read up to
// NSF_INFO_SIZE - 1 bytes) into Buffer, cut to Length - 1 bytes (never
// inside an LMBCS character) and NUL-terminated. A part that is too long
// for Buffer is cut, not refused: the provisioning reads the template name
// into a buffer of 128 bytes. ERR_BAD_PARAM for What above
// INFOPARSE_DESIGN_CLASS, a null Info or Buffer, or Length 0. On failure
// Buffer holds "" (when Length > 0).
STATUS LNPUBLIC NSFDbInfoParse(const char far *Info, WORD What, char far *Buffer, WORD Length);

// Replaces part What of the information text Info (a buffer of
// NSF_INFO_SIZE bytes, NUL-terminated) with Buffer (NUL-terminated; "" or
// null empties the part). Parts before it that the text did not reach
// become empty; line feeds that end the text with nothing after them are
// dropped, so emptying the last parts leaves no trailing separator.
// ERR_DBINFO_TOO_LONG when the new text would not fit NSF_INFO_SIZE - 1
// bytes; ERR_BAD_PARAM for a part that holds a line feed (it would move
// the parts after it), What above INFOPARSE_DESIGN_CLASS, or a null Info.
// On failure Info is unchanged. The change stays in Info: NSFDbInfoSet
// stores it.
STATUS LNPUBLIC NSFDbInfoModify(char far *Info, WORD What, const char far *Buffer);

// A second handle to the database of hDB, as NSFDbOpen of its path would
// give: each handle is closed on its own, and closing one leaves the other
// usable. ERR_BAD_PARAM for a null rethDB (*rethDB is NULLHANDLE on
// failure).
STATUS LNPUBLIC NSFDbReopen(DBHANDLE hDB, DBHANDLE far *rethDB);

NOTES_EXTERN_C_END
