// Stand-in administration: the running add-in tasks, for the administration
// tool and tests.
//
// The calls work on the data directory of the runtime that the calling
// process has started (ERR_NOT_INITIALIZED otherwise); the tasks themselves
// are other processes (or this one) that called AddInTaskStart on the same
// data directory. A task that died without ending (killed, crashed) is never
// listed or told anything; its leftover files are removed on the way.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

struct StandinTaskLine {
    const char *taskName;  // as given to AddInCreateStatusLine
    const char *text;      // the line's status text ("" until one is set)
};

struct StandinTaskInfo {
    const char *program;  // base name of the task's argv[0]
    DWORD pid;
    DWORDLONG startTime;  // when AddInTaskStart ran, seconds since 1970-01-01 UTC
    DWORD lineCount;      // status lines, in the order the task made them
    const StandinTaskLine *lines;
};

// Called once for each task; the pointers are valid during the call only.
typedef void (*STANDINTASKPROC)(void *context, const StandinTaskInfo *task);

// Calls proc (when not null) for each running task, oldest first, and puts
// their number in *retCount (when not null).
STATUS StandinListTasks(STANDINTASKPROC proc, void *context, DWORD *retCount);

// Tells every running task whose program name or any of whose status lines'
// task names equals TaskName (without regard to ASCII case) the command.
// The one command is "quit" (any case, blanks around it ignored): it makes
// the task's stop test (AddInShouldStop) TRUE within about 50 ms.
// *retCount receives how many tasks got the command, 0 when no such task is
// running (that is not an error). ERR_BAD_PARAM for a null or empty name and
// for a command other than quit.
STATUS StandinTellTask(const char *TaskName, const char *Command, DWORD *retCount);

// Moves the clock of this process's interval test (AddInIntervalElapsed)
// forward, so that tests need not wait for intervals to pass. Reset when the
// runtime ends.
void StandinAddInAdvanceClock(DWORD seconds);

NOTES_EXTERN_C_END
