// Stand-in administration: the runtime, for tools and tests.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// Kinds of handle, for StandinHandleCount.
#define STANDIN_HANDLE_ANY 0
#define STANDIN_HANDLE_MEMORY 1
#define STANDIN_HANDLE_DATABASE 2
#define STANDIN_HANDLE_NOTE 3
#define STANDIN_HANDLE_QUEUE 4
#define STANDIN_HANDLE_COLLECTION 5
#define STANDIN_HANDLE_AGENT 6
#define STANDIN_HANDLE_STATUSLINE 7
#define STANDIN_HANDLE_COMPUTE 8

// Handles of that kind (or of any kind) that are open in this process.
DWORD StandinHandleCount(int kind);

// Threads between NotesInitThread and NotesTermThread.
DWORD StandinThreadCount(void);

// The data directory of the started runtime (absolute, NUL-terminated, cut
// to BufferLength - 1); FALSE when the runtime is not started.
BOOL StandinDataDirectory(char *retBuffer, WORD BufferLength);

NOTES_EXTERN_C_END
