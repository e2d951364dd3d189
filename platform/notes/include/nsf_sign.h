// Signing notes with the server's ID.
//
// THE SIGNATURE
//
// A signed note holds one item "$Signature" of data type TYPE_SIGNATURE
// (item flags 0), the last item of the note when it was signed. Its value,
// after the type word (WORDs and DWORDs in little-endian order):
//
//   offset  size  what
//   0       2     WORD      layout version, 1
//   2       2     WORD      digest kind, 1: SHA-256
//   4       2     WORD      the signer's name length in bytes, 1 to 255
//   6       2     WORD      0
//   8       8     TIMEDATE  when it was signed (GMT)
//   16      32    BYTE[32]  the digest
//   48      N     the signer's canonical name (LMBCS, no terminator)
//
// The digest is the SHA-256 of the note's class (a WORD) followed by every
// item but "$Signature", in the note's order, each as: WORD name length,
// the name's bytes, WORD data type, WORD item flags, DWORD value length
// (without the type word), the value's bytes. So any change of an item
// (name, type, flags or value), of the items' order or of the note's class
// after signing breaks the signature; the note ID, the UNID, the sequence
// and the times do not count, so a signed note stays signed through its
// update, a copy to another database, and a DXL export and import. There
// is no key: the signature tells who signed and whether the note is as it
// was signed, which is all that the stand-in's signing stands for.
// (standin/sign.h verifies it.)
//
// Fault point (standin/fault.h): NSFNoteSign, with the note's database path.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

#define TYPE_SIGNATURE 0x0008
#define SIGNATURE_ITEM "$Signature"

// Signs the note in memory with the server's ID, the canonical form of
// notes.ini "ServerName": every "$Signature" item goes and a new one is
// appended after the other items. The note is not saved (NSFNoteUpdate
// stores the signature). ERR_NO_SERVER_NAME when notes.ini names no
// server, ERR_DN_INVALID when the name is no valid name; the handle
// statuses. On failure the note is unchanged.
STATUS LNPUBLIC NSFNoteSign(NOTEHANDLE hNote);

NOTES_EXTERN_C_END
