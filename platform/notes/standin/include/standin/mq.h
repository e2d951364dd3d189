// Stand-in administration: message queues, for the administration tool and
// tests.
//
// These calls work on the queues of the started runtime's data directory,
// whichever process created them, and need no handle.
//
// Two fault points, for tests of crash recovery (standin/fault.h): when a
// rule for "MQPut.DieHoldingLock" or "MQGet.DieHoldingLock" fires (its
// status is not used), the calling process ends at once with exit code 70,
// in the middle of a put or a get, while it holds the queue's lock. The next
// process that takes the lock repairs the queue.
#pragma once

#include "global.h"
#include "mq.h"

NOTES_EXTERN_C_BEGIN

struct StandinQueueInfo {
    char name[MQ_MAX_NAME + 1];  // NUL-terminated
    DWORD count;                 // messages on the queue
    DWORD bytes;                 // their bytes, together
    DWORD quota;                 // the most messages it takes (the store's limit when 0 was asked)
    BOOL quitPending;
    int creatorPid;    // the process that created it, and keeps it alive
    DWORD recoveries;  // how often the queue was repaired after a process died holding its lock
};

// The live queues, in order of name (bytewise): copies up to capacity
// entries and returns how many live queues there are, which may be more.
// 0 when the runtime is not started.
DWORD StandinMQList(StandinQueueInfo *entries, DWORD capacity);

// Called for each message in the order the messages would be taken; return
// FALSE to stop.
typedef BOOL (*StandinMQPeekProc)(void *context, WORD priority, const char *message, WORD length);

// Shows the queue's messages without taking them: they are copied first
// (one consistent snapshot) and then handed to proc, so proc may call the
// queue calls. ERR_MQ_BAD_NAME, ERR_NO_SUCH_MQ as MQOpen; ERR_BAD_PARAM
// without proc.
STATUS StandinMQPeek(const char *queueName, StandinMQPeekProc proc, void *context);

// Sets quit pending on the named queue, as MQPutQuitMsg does.
STATUS StandinMQSetQuitPending(const char *queueName);

NOTES_EXTERN_C_END
