// Message queues.
//
// A queue is named and shared by every process that works on the same data
// directory. It lives as long as the process that created it: while that
// process runs, a second MQCreate of the name fails with ERR_DUPLICATE_MQ;
// once it has ended, even by a crash, the queue and its messages are gone.
// Messages are taken in order of priority (lower value first), then in the
// order they were put.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

#define MQ_MAX_MSGSIZE 65000u  // the longest message a queue takes
#define MQ_MAX_NAME 127        // the longest queue name, in bytes
#define MQ_WAIT_FOR_MSG 0x0001 // MQGet: wait when the queue is empty (implied by a time-out > 0)
#define MQ_OPEN_CREATE 0x0001  // MQOpen: create the queue when it is missing

// Creates the queue. Quota is the most messages it holds (0: no limit of its
// own). ERR_MQ_BAD_NAME for an empty name or one longer than MQ_MAX_NAME,
// ERR_DUPLICATE_MQ when a live queue of that name exists.
STATUS LNPUBLIC MQCreate(const char far *QueueName, WORD Quota, DWORD Options);

// Opens an existing queue. ERR_NO_SUCH_MQ when there is none (or its creator
// has ended).
STATUS LNPUBLIC MQOpen(const char far *QueueName, DWORD Options, MQHANDLE far *retQueue);

STATUS LNPUBLIC MQClose(MQHANDLE Queue, DWORD Options);

// Puts a copy of Length bytes. ERR_MQ_MSG_TOO_BIG above MQ_MAX_MSGSIZE,
// ERR_MQ_EXCEEDED_QUOTA when the queue is full, ERR_MQ_QUITTING once quit is
// pending, ERR_NO_SUCH_MQ when the queue's creator has ended.
STATUS LNPUBLIC MQPut(MQHANDLE Queue, WORD Priority, const char far *Buffer, WORD Length,
                      DWORD Options);

// Takes the first message into Buffer; *retMsgLength gets its length (no
// terminator is added). Waits up to Timeout milliseconds for one (0: do not
// wait) and wakes within a few milliseconds of a put; ERR_MQ_TIMEOUT when
// none came, ERR_MQ_EMPTY when Timeout is 0 and the queue is empty. A message
// longer than BufLength is taken off the queue and refused with
// ERR_MQ_BFR_TOO_SMALL (*retMsgLength gets its length), so that it cannot
// block the queue; it is never cut. ERR_MQ_QUITTING once quit is pending.
// In an add-in task that the server has told to stop, a waiting get ends at
// once with ERR_MQ_TIMEOUT, so the task is not held up by the wait.
STATUS LNPUBLIC MQGet(MQHANDLE Queue, char far *Buffer, WORD BufLength, DWORD Options,
                      DWORD Timeout, WORD far *retMsgLength);

// Marks the queue quit pending (for every process that has it open) and
// wakes its waiting readers.
STATUS LNPUBLIC MQPutQuitMsg(MQHANDLE Queue);
BOOL LNPUBLIC MQIsQuitPending(MQHANDLE Queue);

// Number of messages on the queue.
WORD LNPUBLIC MQGetCount(MQHANDLE Queue);

NOTES_EXTERN_C_END
