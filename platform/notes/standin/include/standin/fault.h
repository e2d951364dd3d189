// Stand-in administration: fault injection, for tests.
//
// A rule makes a named call of this library fail with a chosen status, so
// that failure paths that real data cannot produce run through the real
// code. Off unless a test adds a rule. Rules can also come from the
// environment variable NOTES_STANDIN_FAULTS, read when the runtime first
// starts in the process, so that a test can arm them in a separate process:
//   NOTES_STANDIN_FAULTS="CALL=STATUS[@PATH][+SKIP][*TIMES];..."
// STATUS is decimal or 0x-hex; e.g. "NSFDbOpen=0x0A02@mail/jdoe.nsf" or
// "MQPut=0x0473+2*1". Blanks around a rule and its parts are ignored, and so
// are empty rules (";;"). CALL must be one of the library's fault points
// (StandinFaultPoints), or "*": a rule for "*" fails any public call (every
// point but "SQLiteStep" and the "CALL.DETAIL" points), so that a test can
// walk "fail the Nth call" over a whole request with "*=STATUS+N*1" for N
// from 0 until the rule no longer fires (StandinFaultHits("*") stays 0). A
// call that a "*" rule fails counts as a hit of "*" and of its own name.
//
// A malformed rule in NOTES_STANDIN_FAULTS (no "=", a status that is not a
// number from 0 to 0xFFFF, a count that is not a number, a CALL that has no
// fault point) stops the process in NotesRuntimeStart: one line on standard
// error that names the variable, the bad rule and what is wrong with it, then
// abort() (SIGABRT). A test run that asked for faults thus never goes on
// without them, and its child cannot be mistaken for one that failed through
// a fault it was given (which ends with an exit code, not a signal).
#pragma once

#include <stddef.h>

#include "global.h"

NOTES_EXTERN_C_BEGIN

struct StandinFault {
    const char *call;  // the call's name, as in its declaration ("NSFNoteUpdate")
    STATUS status;     // what the call returns instead of doing its work
    unsigned skip;     // how many matching calls pass before the first failure
    unsigned times;    // how many calls then fail; 0 means every later call
    // The database the rule is limited to (path relative to the data
    // directory, "/" or "\" as separators), or null for any call.
    const char *path;
};

// Adds a rule; rules are tried in the order they were added.
void StandinFaultInject(const StandinFault &fault);
// Removes every rule and clears the hit counts.
void StandinFaultClear(void);
// How many times rules for this call have fired since the last clear.
unsigned StandinFaultHits(const char *call);
// Adds the rules of a NOTES_STANDIN_FAULTS-style text; FALSE (and nothing
// added) when any rule of it is malformed.
BOOL StandinFaultParse(const char *rules);
// The name of the call that a "*" rule failed last (since the last clear),
// cut to capacity - 1 bytes and NUL-terminated; returns its full length (0
// when none).
size_t StandinFaultLastWildcardCall(char *name, size_t capacity);
// The names of the library's fault points: copies up to capacity of them
// and returns how many there are.
size_t StandinFaultPoints(const char **names, size_t capacity);

NOTES_EXTERN_C_END
