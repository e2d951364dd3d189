// Message queues.
//
// A queue is named and shared by every process that works on the same data
// directory. It lives as long as the process that created it: while that
// process runs, a second MQCreate of the name fails with ERR_DUPLICATE_MQ;
// once it has ended, even by a crash, the queue and its messages are gone.
// Messages are taken in order of priority (lower value first), then in the
// order they were put.
//
// Stand-in choices:
// - Names are compared exactly, byte for byte: "Q" and "q" are two queues.
//   Any bytes but NUL may appear in a name.
// - The creator's hold on a queue does not depend on its handles: it lasts
//   until the creator calls NotesRuntimeEnd (or ends), even when it never
//   opened the queue or closed every handle. NotesRuntimeEnd also closes
//   every queue handle of the process.
// - A forked child does not inherit the queues its parent created.
// - Besides its quota, a queue holds at most 4 MiB of messages, kept in
//   256-byte pieces: a message takes its length rounded up to 256 bytes (at
//   least 256), so a queue holds at most 16384 messages whatever its quota.
// - Calls that take a name give ERR_NOT_INITIALIZED before NotesRuntimeStart.
// - The queues are files in DATADIR/.server/queues; the stand-in's own
//   administration calls are in standin/mq.h.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

#define MQ_MAX_MSGSIZE 65000u   // the longest message a queue takes
#define MQ_MAX_NAME 127         // the longest queue name, in bytes
#define MQ_WAIT_FOR_MSG 0x0001  // MQGet: wait when the queue is empty (implied by a time-out > 0)
#define MQ_OPEN_CREATE 0x0001   // MQOpen: create the queue when it is missing

// Creates the queue. Quota is the most messages it holds (0: no limit of its
// own; above the store's limit of 16384 it makes no difference).
// ERR_MQ_BAD_NAME for an empty or null name or one longer than MQ_MAX_NAME,
// ERR_DUPLICATE_MQ when a live queue of that name exists. Options are not
// used. The queue of a creator that has ended is replaced by a new, empty
// one.
STATUS LNPUBLIC MQCreate(const char far *QueueName, WORD Quota, DWORD Options);

// Opens an existing queue. ERR_NO_SUCH_MQ when there is none (or its creator
// has ended); with MQ_OPEN_CREATE a missing queue is created first (quota 0)
// and this process becomes its creator. ERR_BAD_PARAM without retQueue.
STATUS LNPUBLIC MQOpen(const char far *QueueName, DWORD Options, MQHANDLE far *retQueue);

// Closes the handle; the queue itself stays as long as its creator runs.
STATUS LNPUBLIC MQClose(MQHANDLE Queue, DWORD Options);

// Puts a copy of Length bytes (0 is allowed). ERR_MQ_MSG_TOO_BIG above
// MQ_MAX_MSGSIZE, ERR_MQ_EXCEEDED_QUOTA when the queue is full (by its quota
// or by its bytes), ERR_MQ_QUITTING once quit is pending, ERR_NO_SUCH_MQ when
// the queue's creator has ended. A refused put leaves the queue as it was.
// Options are not used.
STATUS LNPUBLIC MQPut(MQHANDLE Queue, WORD Priority, const char far *Buffer, WORD Length,
                      DWORD Options);

// Takes the first message into Buffer; *retMsgLength gets its length (no
// terminator is added). Waits up to Timeout milliseconds for one (0: do not
// wait) and wakes within a few milliseconds of a put; ERR_MQ_TIMEOUT when
// none came, ERR_MQ_EMPTY when Timeout is 0 and the queue is empty. A message
// longer than BufLength is taken off the queue and refused with
// ERR_MQ_BFR_TOO_SMALL (*retMsgLength gets its length, Buffer is left as it
// was), so that it cannot block the queue; it is never cut. On the other
// failures *retMsgLength gets 0; retMsgLength may be null. ERR_MQ_QUITTING
// once quit is pending.
// In an add-in task that the server has told to stop, a waiting get ends at
// once with ERR_MQ_TIMEOUT, so the task is not held up by the wait (the stop
// request is looked at when the wait begins and then every 50 ms).
// MQ_WAIT_FOR_MSG with a Timeout of 0 waits without a time limit. A wait
// also ends with ERR_NO_SUCH_MQ when the queue's creator ends (noticed
// within 50 ms) and with ERR_INVALID_HANDLE when this process ends its
// runtime. A message that is on the queue is taken even when the time-out
// has passed. Waiting uses no processor time beyond a wake-up every 50 ms.
STATUS LNPUBLIC MQGet(MQHANDLE Queue, char far *Buffer, WORD BufLength, DWORD Options,
                      DWORD Timeout, WORD far *retMsgLength);

// Marks the queue quit pending (for every process that has it open) and
// wakes its waiting readers. It stays so until the queue ends; the messages
// on it stay, but can no longer be taken.
STATUS LNPUBLIC MQPutQuitMsg(MQHANDLE Queue);
// FALSE for a closed or unknown handle.
BOOL LNPUBLIC MQIsQuitPending(MQHANDLE Queue);

// Number of messages on the queue; 0 for a closed or unknown handle and for
// a queue whose creator has ended.
WORD LNPUBLIC MQGetCount(MQHANDLE Queue);

NOTES_EXTERN_C_END
