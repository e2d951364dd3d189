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

// Ordinal 41. Makes this process a server add-in task: registers it under
// the base name of argv[0] (so that "tell NAME quit" reaches it), and makes
// SIGINT and SIGTERM ask it to stop (see AddInShouldStop).
STATUS LNPUBLIC AddInTaskStart(int argc, char **argv);

// Ordinal 14. The add-in's module handle.
void LNPUBLIC AddInTaskModule(HMODULE far *retModule, DWORD reserved1, DWORD reserved2);

// Ordinal 42. Records the status that the task's main function returned and
// gives it back as the task's status.
STATUS LNPUBLIC AddInTaskResult(STATUS taskStatus);

// Ordinal 27. Text of a failed task status; as NotesStartupErrorText.
WORD LNPUBLIC AddInTaskErrorText(STATUS status, char far *retBuffer, WORD BufferLength);

// Ordinal 52. First step of ending the runtime: the task leaves the
// server's list of running tasks.
void LNPUBLIC AddInTaskEnd(int argc, char **argv);

// Ordinal 13. Ends the runtime for this process.
void LNPUBLIC NotesRuntimeEnd(void);

// Prepares the calling thread for Notes calls; pairs with NotesTermThread.
// ERR_NOT_INITIALIZED when the runtime has not been started.
STATUS LNPUBLIC NotesInitThread(void);
void LNPUBLIC NotesTermThread(void);

NOTES_EXTERN_C_END
