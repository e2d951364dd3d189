// Runtime and threads: the process-entry calls and per-thread set-up.
//
// The process-entry calls are bound by ordinal on the platform; this library
// gives each a name of its own. nnotes.exports holds the table of ordinals.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// The routine that the process gate hands control to: the program's entry.
typedef int(LNCALLBACK *NOTESENTRYPROC)(int argc, char **argv);

// Ordinal 15. Starts the runtime for this process. A first argument of the
// form "=PATH" names the notes.ini file; otherwise notes.ini in the current
// folder is used. notes.ini's "Directory" key gives the data directory, by
// default the folder of notes.ini. ERR_NOTES_INI when notes.ini cannot be
// read, ERR_DATA_DIRECTORY when the data directory does not exist,
// ERR_ALREADY_INITIALIZED on a second start.
STATUS LNPUBLIC NotesRuntimeStart(int argc, char **argv);

// Ordinal 29. Text of a status that NotesRuntimeStart or NotesRuntimeArgs
// returned, cut to BufferLength - 1 bytes; returns its length.
WORD LNPUBLIC NotesStartupErrorText(STATUS status, char far *retBuffer, WORD BufferLength);

// Ordinal 51. Second start-up step: hands back the argument vector with the
// runtime's own arguments (the "=PATH" notes.ini argument) taken out.
STATUS LNPUBLIC NotesRuntimeArgs(int argc, char **argv, int far *retArgc, char ***retArgv);

// Ordinal 25. The process gate: 0 tells the caller to go on and run its
// task; this library always answers 0 unless a test injects a failure.
int LNPUBLIC NotesProcessGate(NOTESENTRYPROC entry, int argc, char **argv, void *reserved1,
                              void *reserved2);

// Ordinal 41. Makes this process a server add-in task: registers it in the
// server's task table of the data directory under the base name of argv[0]
// (so that "tell NAME quit" reaches it) with its pid, start time and status
// lines (see addin.h), makes a default status line named after the program,
// and makes SIGINT and SIGTERM ask it to stop (see AddInShouldStop). The
// task holds a lock on its entry while it lives, so that the entry of a task
// that died without ending counts as gone. ERR_NOT_INITIALIZED before
// NotesRuntimeStart, ERR_BAD_PARAM without argv[0], ERR_ALREADY_INITIALIZED
// on a second start, ERR_FILE_IO or ERR_ACCESS_DENIED when the entry cannot
// be written. A forked child of a task is no task until it calls this.
STATUS LNPUBLIC AddInTaskStart(int argc, char **argv);

// Ordinal 14. The add-in's module handle.
void LNPUBLIC AddInTaskModule(HMODULE far *retModule, DWORD reserved1, DWORD reserved2);

// Ordinal 42. Records the status that the task's main function returned and
// gives it back as the task's status.
STATUS LNPUBLIC AddInTaskResult(STATUS taskStatus);

// Ordinal 27. Text of a failed task status; as NotesStartupErrorText.
WORD LNPUBLIC AddInTaskErrorText(STATUS status, char far *retBuffer, WORD BufferLength);

// Ordinal 52. First step of ending the runtime: the task leaves the
// server's list of running tasks, its status lines are deleted, and SIGINT
// and SIGTERM get back the handling they had before AddInTaskStart.
// NotesRuntimeEnd does the same for a task that did not call this.
void LNPUBLIC AddInTaskEnd(int argc, char **argv);

// Ordinal 13. Ends the runtime for this process.
void LNPUBLIC NotesRuntimeEnd(void);

// Prepares the calling thread for Notes calls; pairs with NotesTermThread.
// ERR_NOT_INITIALIZED when the runtime has not been started.
STATUS LNPUBLIC NotesInitThread(void);
void LNPUBLIC NotesTermThread(void);

// The data directory of the running runtime, as an absolute path, into
// retPathName (which holds MAXPATH bytes); returns its length. Relative
// database and file names are found against it. 0 and "" before the
// runtime starts, or when the path does not fit MAXPATH - 1 bytes (a cut
// path would name another folder). Fault point: OSGetDataDirectory (an
// armed rule gives 0 and "").
WORD LNPUBLIC OSGetDataDirectory(char far *retPathName);

NOTES_EXTERN_C_END
