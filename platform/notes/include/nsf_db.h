// Databases.
//
// Every database file (.nsf, .ntf) is one SQLite file. A path is relative to
// the data directory unless it is absolute; "\" and "/" both separate
// folders. A network path "SERVER!!FILE" is served by the data directory that
// the server registry (servers.ini in the data directory) gives for SERVER;
// the server running here, and an empty SERVER, mean this data directory. A
// server marked down in the registry gives ERR_SERVER_NOT_RESPONDING, one
// that the registry does not know ERR_UNKNOWN_SERVER.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

#define DBCLASS_BY_EXTENSION 0x0000  // .ntf makes a template, anything else a database
#define DBCLASS_NOTEFILE 0xFF00
#define DBCLASS_TEMPLATEFILE 0xFF03

// Opens a database. ERR_NOEXIST when the file does not exist, ERR_NOT_NSF
// when it is not a database, ERR_DB_DAMAGED when it cannot be read as one.
STATUS LNPUBLIC NSFDbOpen(const char far *PathName, DBHANDLE far *rethDB);
STATUS LNPUBLIC NSFDbClose(DBHANDLE hDB);

// Creates an empty database (the folders on its path included), with an
// icon note. ERR_DB_EXISTS when the file exists and ForceCreation is FALSE.
STATUS LNPUBLIC NSFDbCreate(const char far *PathName, USHORT DbClass, BOOL ForceCreation);

// The build version of the software that created the database.
STATUS LNPUBLIC NSFDbGetBuildVersion(DBHANDLE hDB, WORD far *retVersion);

// The note ID of a special note: Index is SPECIAL_ID_NOTE with a note class
// (SPECIAL_ID_NOTE | NOTE_CLASS_ICON for the icon note). ERR_SPECIAL_ID when
// the database has none.
#define SPECIAL_ID_NOTE 0x8000
STATUS LNPUBLIC NSFDbGetSpecialNoteID(DBHANDLE hDB, WORD Index, NOTEID far *retNoteID);

// "SERVER!!FILE", or FILE alone when ServerName is null or empty; PortName
// is not used. retPathName must hold MAXPATH bytes: ERR_PATH_TOO_LONG when
// the result does not fit.
STATUS LNPUBLIC OSPathNetConstruct(const char far *PortName, const char far *ServerName,
                                   const char far *FileName, char far *retPathName);

NOTES_EXTERN_C_END
