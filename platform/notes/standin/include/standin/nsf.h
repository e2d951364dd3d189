// Stand-in administration: databases and the server registry, for tools and
// tests.
//
// The server registry is the file servers.ini in the data directory, one
// line per server:
//   NAME | DATA DIRECTORY [| down]
// NAME in canonical or abbreviated form (compared without regard to case or
// form); a relative DATA DIRECTORY is taken from this data directory. Lines
// starting with "#" or ";" are comments. "down" makes every database of that
// server give ERR_SERVER_NOT_RESPONDING, as does a directory that does not
// exist.
//
// notes.ini "StandinDbBusyTimeout" (milliseconds, default 60000) is how long
// a call waits for a database that another connection is writing before it
// gives ERR_DB_BUSY.
//
// The fault point "SQLiteStep" (with the database's path) is asked before
// every SQLite statement step, so that a test can fail a write in the middle
// of its transaction.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// The build version that NSFDbCreate records.
#define STANDIN_DEFAULT_BUILD_VERSION 450

// NSFDbCreate (ForceCreation FALSE) with a chosen build version.
STATUS StandinDbCreate(const char *PathName, USHORT DbClass, WORD BuildVersion);

// Changes the build version recorded in an existing database.
STATUS StandinDbSetBuildVersion(const char *PathName, WORD BuildVersion);

// Reads the whole database file, which NSFDbOpen does not: SQLite's own
// integrity check over every page, then the rules of the store (every item
// and index entry belongs to a stored note of the right class, the note ID
// and change counters lie above what is stored, item keys fit their names).
// NOERROR when the file is whole; ERR_DB_DAMAGED when it is not, with the
// first problem found in retProblem (NUL-terminated, cut to
// ProblemLength - 1 bytes; retProblem may be null when ProblemLength is 0,
// and is "" for any other outcome); the statuses of NSFDbOpen for a file
// that is no database. The file is not changed: one of an older layout is
// checked as it is (its upgrade waits for the next NSFDbOpen). Runs beside
// other users of the file, on one snapshot of it.
STATUS StandinDbCheck(const char *PathName, char *retProblem, WORD ProblemLength);

// Every note ID of the database (any class, deletion stubs too) in
// increasing order: up to Capacity IDs are copied into retIDs (which may be
// null when Capacity is 0); *retCount gets the number of notes, also when
// it is larger than Capacity.
STATUS StandinDbNoteIDs(DBHANDLE hDB, NOTEID *retIDs, DWORD Capacity, DWORD *retCount);

// Adds a server to the registry or changes its data directory (its up or
// down mark stays).
STATUS StandinServerRegister(const char *ServerName, const char *DataDirectory);

// Marks a registered server down (TRUE) or up; ERR_UNKNOWN_SERVER when the
// registry does not have it.
STATUS StandinServerSetDown(const char *ServerName, BOOL Down);

NOTES_EXTERN_C_END
