// Add-in task services: status lines, the server log, the stop and interval
// tests.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// The module handle and default status line that the runtime made for this
// task when it started (AddInTaskStart).
void LNPUBLIC AddInQueryDefaults(HMODULE far *retModule, HANDLE far *retStatusLine);

// Status lines, as the server console shows them (notesctl show tasks).
// AddInCreateStatusLine gives 0 when no line can be made.
HANDLE LNPUBLIC AddInCreateStatusLine(const char far *TaskName);
void LNPUBLIC AddInDeleteStatusLine(HANDLE StatusLine);
void LNPUBLIC AddInSetDefaults(HMODULE hModule, HANDLE hStatusLine);
// Sets the text of the default status line.
void LNPUBLIC AddInSetStatusText(const char far *Text);
void LNPUBLIC AddInSetStatusLine(HANDLE StatusLine, const char far *Text);

// Writes one line to the server log: printf-style String with its
// arguments, followed by ": " and the text of AdditionalErrorCode when that
// is not 0. The line goes to standard output with the date and time in
// front, and is appended to console.log in the data directory.
void LNPUBLIC AddInLogMessageText(const char far *String, STATUS AdditionalErrorCode, ...);

// Ordinal 33. The stop test: TRUE once the server has told the task to stop
// (SIGINT, SIGTERM, or "notesctl tell DIR TASK quit"). Each call first
// yields the processor for a short while (about 20 ms), so that a loop
// around it uses almost no CPU.
BOOL LNPUBLIC AddInShouldStop(void);

// Ordinal 35. The interval test: TRUE when at least Interval seconds have
// passed since the last time it said TRUE for the same Interval (or since
// the task started, for the first call); each Interval value keeps a timer
// of its own.
BOOL LNPUBLIC AddInIntervalElapsed(WORD Interval);

NOTES_EXTERN_C_END
