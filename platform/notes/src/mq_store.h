// The shared file of one message queue: its layout and the operations on it.
//
// The whole file is mapped by every process that has the queue open. It holds
// a header, a robust process-shared mutex that guards the message list, a
// futex word that wakes waiting readers, and a message area of fixed-size
// chunks. A message is a chain of chunks; the message list is a singly
// linked list of first chunks, kept in order of priority and then of
// arrival, so a get takes the list's head.
//
// Crash safety: a process may die at any point while it holds the mutex
// (kill -9). Every change commits with one aligned 32-bit store (the link
// that puts a message into the list, or the head pointer that takes one
// out); the free list, the tail and the counters are derived and are rebuilt
// from the list by the next process that locks the mutex (EOWNERDEAD). A
// message is thus either on the list whole or not at all, and chunks that a
// dead process had taken but not linked are reclaimed.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "global.h"
#include "mq.h"

namespace notes_internal {
namespace mq {

constexpr uint32_t kChunkSize = 256;
constexpr uint32_t kChunkCount = 16384;  // 4 MiB of message bytes per queue
constexpr uint32_t kNil = 0xFFFFFFFFu;
constexpr uint32_t kLayoutVersion = 1;

// How many chunks a message of this length takes; at least one, which also
// carries the message's entry in the list.
inline uint32_t ChunksFor(uint32_t length) {
    return length == 0 ? 1 : (length + kChunkSize - 1) / kChunkSize;
}

struct MessageMeta {
    uint32_t next;  // first chunk of the next message in the list, or kNil
    uint16_t priority;
    uint16_t length;
};

struct QueueFile {
    char magic[8];
    uint32_t version;
    uint32_t layoutSize;  // sizeof(QueueFile) of the build that made the file
    int32_t creatorPid;
    uint32_t quota;  // most messages, already limited to kChunkCount
    uint32_t nameLength;
    char name[MQ_MAX_NAME + 1];

    std::atomic<uint32_t> quit;
    // Raised under the mutex by every put and by the quit message; readers
    // sleep on it with FUTEX_WAIT.
    std::atomic<uint32_t> wakeSeq;
    // Readers between taking their wakeSeq snapshot and waking up. Only a
    // hint that saves a wake call when nobody waits; a reader that died
    // leaves it too high, which costs a needless wake call, nothing else.
    std::atomic<uint32_t> waiters;

    pthread_mutex_t mutex;

    // Guarded by mutex. first and meta[].next are the truth; the rest is
    // derived and rebuilt after a crash.
    uint32_t first;
    uint32_t last;
    uint32_t freeList;  // chained through chunkNext
    uint32_t freeChunks;
    uint32_t count;
    uint32_t bytes;
    uint64_t recoveries;  // how often a dead holder's state was rebuilt

    MessageMeta meta[kChunkCount];  // valid for the first chunk of a message
    uint32_t chunkNext[kChunkCount];
    unsigned char data[kChunkCount][kChunkSize];
};

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word layout");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "futex word must be lock-free");

// Fills a zeroed, writable file mapping. ERR_MQ_STORE when the mutex cannot
// be made.
STATUS InitQueueFile(QueueFile *q, const std::string &name, uint32_t quota);

// Checks a mapped file of fileSize bytes that should hold queue `name`.
bool QueueFileValid(const QueueFile *q, size_t fileSize, const std::string &name);

// Holds the queue's mutex; repairs the state when the last holder died.
class QueueLock {
  public:
    explicit QueueLock(QueueFile *q);
    ~QueueLock();
    QueueLock(const QueueLock &) = delete;
    QueueLock &operator=(const QueueLock &) = delete;
    // NOERROR, or ERR_MQ_STORE when the mutex could not be taken.
    STATUS status() const { return status_; }

  private:
    QueueFile *q_;
    STATUS status_;
};

// The following need the QueueLock.

// Puts a copy of the message in its place. ERR_MQ_EXCEEDED_QUOTA when the
// queue holds its quota or has not enough free chunks; ERR_MQ_STORE when the
// file's structure is broken.
STATUS AppendMessage(QueueFile *q, WORD priority, const char *buffer, WORD length);

// Takes the first message (the list must not be empty). Copies it into
// buffer when it fits, otherwise leaves buffer alone and gives
// ERR_MQ_BFR_TOO_SMALL; the message leaves the queue in both cases.
STATUS TakeFirstMessage(QueueFile *q, char *buffer, WORD bufLength, WORD *retLength);

struct MessageCopy {
    WORD priority;
    std::string bytes;
};
// Copies every message, in the order they would be taken.
STATUS CopyMessages(const QueueFile *q, std::vector<MessageCopy> *out);

// Raises wakeSeq (under the lock) so that sleeping readers see a change.
inline void BumpWakeSeq(QueueFile *q) {
    q->wakeSeq.fetch_add(1, std::memory_order_seq_cst);
}

// No lock needed.

// Wakes every reader sleeping on the queue.
void WakeReaders(QueueFile *q);

// Sleeps until wakeSeq differs from seen, a wake call, a signal or the
// time-out. Returns true when a signal interrupted the sleep.
bool SleepOnQueue(QueueFile *q, uint32_t seen, long timeoutUs);

// Process-crash points for tests (see standin/mq.h): when the named fault
// rule is armed the process ends at once, in the middle of its change.
extern const char *const kPutCrashPoint;
extern const char *const kGetCrashPoint;

}  // namespace mq
}  // namespace notes_internal
