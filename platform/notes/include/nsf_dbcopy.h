// Databases made from templates, and the replacement of a database's
// design.
//
// THE DESIGN
//
// The design of a database is its notes of the classes NOTE_CLASS_INFO,
// FORM, VIEW, DESIGN, HELP_INDEX, HELP, FILTER (agents), FIELD and
// REPLFORMULA (NOTE_CLASS_DEFAULT does not count). Its documents (profiles
// among them), its icon note, its private notes (NOTE_CLASS_PRIVATE), its
// notes of NOTE_CLASS_ACL and its access control list (acl.h) are no part
// of it.
//
// "$TemplateFileName" (TYPE_TEXT, ITEM_SUMMARY) in a database's icon note
// names the template that its design came from: the template's file name
// without its folders ("HCREx.ntf" for "apps\HCREx.ntf", so a folder named
// HCREx never shows in it). NSFDbCreateAndCopy from a template and
// DesignReplace write it.
//
// Fault points (standin/fault.h): NSFDbCreateAndCopy with the path of the
// new database (dstDb, as given); DesignReplace with the database's path.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

#define TEMPLATE_FILE_NAME_ITEM "$TemplateFileName"

// Makes the database dstDb and copies into it every note of srcDb whose
// class has a bit of NoteClass (NOTE_CLASS_ALLNONDATA: the design and the
// icon note; NOTE_CLASS_ALL: the documents too, profiles staying profiles),
// deletion stubs left out, each with its UNID, sequence, sequence time,
// class and items in order (new note IDs). The class of dstDb goes by its
// extension (".ntf" makes a template), its build version is
// STANDIN_DEFAULT_BUILD_VERSION (standin/nsf.h) as for NSFDbCreate.
//
// When the icon note is copied it takes the place of the new database's
// own, so the new database has the information text of srcDb (nsf_dbinfo.h);
// otherwise its title is its file name without the extension. When srcDb is
// a template (DBCLASS_TEMPLATEFILE), the icon note of the new database gets
// "$TemplateFileName": srcDb's file name without its folders.
//
// The access control list is not copied: the new database has the default
// ACL (acl.h); NSFDbCopyTemplateACL gives it the template's.
//
// The file appears whole or not at all: the notes are copied in the one
// transaction that makes it. *retHandle (may be null: the new database is
// then not opened) is an open handle of the new database.
//
// Statuses: ERR_DB_EXISTS when dstDb exists, whatever it holds (a file
// that is no database, or one that cannot be opened, is never
// overwritten); NSFDbOpen's statuses for srcDb and NSFDbCreate's for
// dstDb; ERR_BAD_PARAM for a NoteClass of 0 or Flags other than 0. Limit
// (a size limit of the platform) is accepted and not used. On failure
// *retHandle is NULLHANDLE and dstDb does not exist.
STATUS LNPUBLIC NSFDbCreateAndCopy(const char far *srcDb, const char far *dstDb, WORD NoteClass,
                                   WORD Limit, DWORD Flags, DBHANDLE far *retHandle);

// DesignReplace's Flags and Options: the only values defined, and the ones
// to pass.
#define DESIGN_REPLACE_ALL 0x00000001u        // Flags: replace every design note
#define DESIGN_REPLACE_KEEP_INFO 0x00000001u  // Options: keep the information text

// The type of DesignReplace, for the caller that resolves it by name
// (GetProcAddress(GetModuleHandleA("nnotes"), "DesignReplace")).
typedef STATUS(LNCALLBACK *DESIGNREPLACEPROC)(DBHANDLE hTemplateDB, DBHANDLE hDB, DWORD Flags,
                                              DWORD Options, void far *Reserved1,
                                              void far *Reserved2);

// Replaces the design of hDB by the design of hTemplateDB, in one
// transaction: every design note of hDB goes (a deletion stub each) and
// every design note of the template comes in with its items. A template
// note whose UNID hDB holds in a live note replaces that note in place (it
// keeps its note ID, its sequence rises); one whose UNID hDB holds in a
// deletion stub comes in under a new UNID; any other keeps its UNID. The
// documents, the access control list, the private notes and the icon note
// stay, and the icon note's "$TemplateFileName" becomes the template's file
// name without its folders (its "$TITLE", the information text, is kept).
// Statuses: ERR_BAD_PARAM unless Flags is DESIGN_REPLACE_ALL, Options
// DESIGN_REPLACE_KEEP_INFO and both reserved pointers null, or when both
// handles are of one database; the handle statuses; the store's write
// statuses. On failure hDB is unchanged.
STATUS LNPUBLIC DesignReplace(DBHANDLE hTemplateDB, DBHANDLE hDB, DWORD Flags, DWORD Options,
                              void far *Reserved1, void far *Reserved2);

NOTES_EXTERN_C_END
