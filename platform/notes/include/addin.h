// Add-in task services: status lines, the server log, the stop and interval
// tests.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// The module handle and default status line that the runtime made for this
// task when it started (AddInTaskStart), or that AddInSetDefaults set since.
// The default line starts with the program's name as task name and an empty
// text; before AddInTaskStart (and after the default line was deleted) the
// line is 0.
void LNPUBLIC AddInQueryDefaults(HMODULE far *retModule, HANDLE far *retStatusLine);

// Status lines, as the server console shows them (notesctl show tasks).
// Each line has a task name and a text (empty at first; a null Text counts
// as empty). While the process is a task, its record in the server's task
// table holds every line of the process in the order they were made, and is
// rewritten when a line comes, goes or changes its text; other processes
// list it through standin/addin.h. Lines made before AddInTaskStart join the
// record then. Every line is gone when the task or the runtime ends.
// AddInCreateStatusLine gives 0 when no line can be made (the runtime is not
// started, no handle is free). A handle that is not an open status line is
// ignored by the calls that take one; AddInSetDefaults then leaves the
// default line as it was (0 clears it).
HANDLE LNPUBLIC AddInCreateStatusLine(const char far *TaskName);
void LNPUBLIC AddInDeleteStatusLine(HANDLE StatusLine);
void LNPUBLIC AddInSetDefaults(HMODULE hModule, HANDLE hStatusLine);
// Sets the text of the default status line.
void LNPUBLIC AddInSetStatusText(const char far *Text);
void LNPUBLIC AddInSetStatusLine(HANDLE StatusLine, const char far *Text);

// Writes one line to the server log: printf-style String with its
// arguments, followed by ": " and the text of AdditionalErrorCode (as
// OSLoadString gives it) when that is not 0. Line ends at the end of String
// are dropped. The line gets the local date and time and three blanks in
// front,
//   2026-12-10 09:45:40   Halcyra: Initializing
// and goes to standard output (after what stdout's buffer held) and, while
// the runtime is started, to the end of console.log in the data directory,
// each in one write, so that lines of several threads and processes never
// cut into each other. Lines of any length are written whole. Safe to call
// from any thread.
void LNPUBLIC AddInLogMessageText(const char far *String, STATUS AdditionalErrorCode, ...);

// Ordinal 33. The stop test: TRUE once the server has told the task to stop
// (SIGINT, SIGTERM, or "notesctl tell DIR TASK quit", which this test and
// the other waiting calls notice within about 50 ms), and from then on until
// the runtime ends. Each call first yields the processor for a short while
// (about 20 ms, cut short by a stop signal), so that a loop around it uses
// almost no CPU.
BOOL LNPUBLIC AddInShouldStop(void);

// Ordinal 35. The interval test: TRUE when at least Interval seconds have
// passed since the last time it said TRUE for the same Interval (or since
// AddInTaskStart, for the first call; in a process that is no task, since
// the first call of the test). Each Interval value keeps a timer of its
// own, on the monotonic clock; the next interval is counted from the call
// that said TRUE, so a caller that comes late gets one TRUE, not a burst.
// Interval 0 is always TRUE.
BOOL LNPUBLIC AddInIntervalElapsed(WORD Interval);

NOTES_EXTERN_C_END
