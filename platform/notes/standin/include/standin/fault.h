// Stand-in administration: fault injection, for tests.
//
// A rule makes a named call of this library fail with a chosen status, so
// that failure paths that real data cannot produce run through the real
// code. Off unless a test adds a rule. Rules can also come from the
// environment variable NOTES_STANDIN_FAULTS, read when the runtime starts,
// so that a test can arm them in a separate process:
//   NOTES_STANDIN_FAULTS="CALL=STATUS[@PATH][+SKIP][*TIMES];..."
// STATUS is decimal or 0x-hex; e.g. "NSFDbOpen=0x0A02@mail/jdoe.nsf" or
// "MQPut=0x0473+2*1".
#pragma once

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
// added) when the text cannot be parsed.
BOOL StandinFaultParse(const char *rules);

NOTES_EXTERN_C_END
