// Databases.
//
// Every database file (.nsf, .ntf) is one SQLite file. A path is relative to
// the data directory unless it is absolute; "\" and "/" both separate
// folders, doubled separators count once, and a relative path that does not
// exist as written is looked up again without regard to case. A network
// path "SERVER!!FILE" is served by the data directory that the server
// registry (servers.ini in the data directory, see standin/nsf.h) gives for
// SERVER; the server running here (notes.ini "ServerName") and an empty
// SERVER mean this data directory. Server names compare without regard to
// case, and canonical ("CN=Mail2/O=Acme") and abbreviated ("Mail2/Acme")
// forms alike. A server marked down in the registry, or whose data
// directory is missing, gives ERR_SERVER_NOT_RESPONDING; one that the
// registry does not know ERR_UNKNOWN_SERVER.
//
// Fault rules (standin/fault.h) name a database by its FILE part, relative
// to the data directory that serves it.
//
// Several threads and processes may use one database at once. A call that
// finds the database locked by another writer waits (notes.ini
// "StandinDbBusyTimeout", 60 seconds by default) and then gives ERR_DB_BUSY.
// Every call that needs a database before the runtime started gives
// ERR_NOT_INITIALIZED; the end of the runtime closes every database and
// note handle still open.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

#define DBCLASS_BY_EXTENSION 0x0000  // .ntf makes a template, anything else a database
#define DBCLASS_NOTEFILE 0xFF00
#define DBCLASS_TEMPLATEFILE 0xFF03

// Opens a database; every open is a handle of its own. ERR_NOEXIST when the
// file does not exist, ERR_NOT_NSF when it is not a database (not an SQLite
// file, an empty file, a folder, or the SQLite file of another program),
// ERR_DB_DAMAGED when it cannot be read as one (a wrong schema, a file cut
// short or with an overwritten header; ERR_DB_IO for a read error),
// ERR_DB_NEWER_SCHEMA when a newer version of this software made it.
// ERR_BAD_PATH for an empty path or one that names a folder.
//
// The open reads only the file's header and its schema, so that its cost
// does not grow with the file (a fraction of a millisecond for a file of
// 100 MB, bench/nsf_open.cpp): damage deeper in the file shows in the call
// that reads it (ERR_DB_DAMAGED), and StandinDbCheck (standin/nsf.h) reads
// the whole file. A database made by an older version of this software is
// brought to the current layout by its first open, in one transaction that
// keeps every note (ERR_ACCESS_DENIED when the file cannot be written); a
// failed upgrade leaves it as it was.
STATUS LNPUBLIC NSFDbOpen(const char far *PathName, DBHANDLE far *rethDB);

// Closes the handle. Notes opened through it stay usable (read, changed,
// updated) until they are closed themselves; the database is let go of when
// the last of them closes. _NOTE_DB of such a note still gives the closed
// handle's value.
STATUS LNPUBLIC NSFDbClose(DBHANDLE hDB);

// Creates an empty database (the folders on its path included), with an
// icon note whose "$TITLE" is the file name without its extension, and the
// build version STANDIN_DEFAULT_BUILD_VERSION (standin/nsf.h). DbClass
// DBCLASS_BY_EXTENSION makes a template of a ".ntf" file; any class other
// than the three below gives ERR_BAD_PARAM. ERR_DB_EXISTS when the file
// exists and ForceCreation is FALSE; with ForceCreation a database that is
// open in this process is not replaced (ERR_DB_BUSY). The file appears whole
// or not at all.
STATUS LNPUBLIC NSFDbCreate(const char far *PathName, USHORT DbClass, BOOL ForceCreation);

// The build version of the software that created the database.
STATUS LNPUBLIC NSFDbGetBuildVersion(DBHANDLE hDB, WORD far *retVersion);

// The note ID of a special note: Index is SPECIAL_ID_NOTE with a note class
// (SPECIAL_ID_NOTE | NOTE_CLASS_ICON for the icon note). ERR_SPECIAL_ID when
// the database has none, or when Index lacks SPECIAL_ID_NOTE. The first
// stored note of the classes INFO, HELP, ICON, DESIGN, ACL, HELP_INDEX and
// REPLFORMULA becomes the special note of its class.
#define SPECIAL_ID_NOTE 0x8000
STATUS LNPUBLIC NSFDbGetSpecialNoteID(DBHANDLE hDB, WORD Index, NOTEID far *retNoteID);

// "SERVER!!FILE", or FILE alone when ServerName is null or empty; PortName
// is not used. retPathName must hold MAXPATH bytes: ERR_PATH_TOO_LONG when
// the result does not fit.
STATUS LNPUBLIC OSPathNetConstruct(const char far *PortName, const char far *ServerName,
                                   const char far *FileName, char far *retPathName);

NOTES_EXTERN_C_END
