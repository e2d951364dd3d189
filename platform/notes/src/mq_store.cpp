#include "mq_store.h"

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "fault.h"
#include "os_error.h"

namespace notes_internal {
namespace mq {

const char *const kPutCrashPoint = "MQPut.DieHoldingLock";
const char *const kGetCrashPoint = "MQGet.DieHoldingLock";

namespace {

const char kMagic[8] = {'V', 'T', 'R', 'A', 'M', 'Q', '0', '1'};

void CrashPoint(const char *name) {
    if (FaultCheck(name) != NOERROR)
        _exit(70);
}

uint32_t *FutexWord(QueueFile *q) {
    return reinterpret_cast<uint32_t *>(&q->wakeSeq);
}

// Rebuilds what is derived from the message list: the tail, the counters and
// the free list. A link that leads outside the area, into a chunk already
// seen, or to a chain that does not match its length cuts the list there.
void Rebuild(QueueFile *q) {
    std::vector<bool> used(kChunkCount, false);
    uint32_t count = 0, bytes = 0, usedChunks = 0;
    uint32_t prev = kNil;
    uint32_t cur = q->first;
    while (cur != kNil) {
        bool good = cur < kChunkCount && !used[cur] && q->meta[cur].length <= MQ_MAX_MSGSIZE;
        uint32_t need = good ? ChunksFor(q->meta[cur].length) : 0;
        std::vector<uint32_t> chain;
        uint32_t chunk = cur;
        for (uint32_t i = 0; good && i < need; i++) {
            if (chunk >= kChunkCount || used[chunk]) {
                good = false;
                break;
            }
            chain.push_back(chunk);
            chunk = q->chunkNext[chunk];
        }
        if (!good) {
            if (prev == kNil) {
                q->first = kNil;
            } else {
                q->meta[prev].next = kNil;
            }
            break;
        }
        for (uint32_t c : chain)
            used[c] = true;
        q->chunkNext[chain.back()] = kNil;
        usedChunks += need;
        count++;
        bytes += q->meta[cur].length;
        prev = cur;
        cur = q->meta[cur].next;
    }
    q->last = prev;
    q->count = count;
    q->bytes = bytes;
    q->freeList = kNil;
    for (uint32_t i = kChunkCount; i-- > 0;) {
        if (used[i])
            continue;
        q->chunkNext[i] = q->freeList;
        q->freeList = i;
    }
    q->freeChunks = kChunkCount - usedChunks;
    q->recoveries++;
}

}  // namespace

STATUS InitQueueFile(QueueFile *q, const std::string &name, uint32_t quota) {
    std::memcpy(q->magic, kMagic, sizeof kMagic);
    q->version = kLayoutVersion;
    q->layoutSize = sizeof(QueueFile);
    q->creatorPid = static_cast<int32_t>(getpid());
    q->quota = (quota == 0 || quota > kChunkCount) ? kChunkCount : quota;
    q->nameLength = static_cast<uint32_t>(name.size());
    std::memset(q->name, 0, sizeof q->name);
    name.copy(q->name, sizeof q->name - 1);
    q->quit.store(0);
    q->wakeSeq.store(0);
    q->waiters.store(0);

    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0)
        return ERR_MQ_STORE;
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutex_init(&q->mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    if (!ok)
        return ERR_MQ_STORE;

    q->first = q->last = kNil;
    q->count = q->bytes = 0;
    q->recoveries = 0;
    for (uint32_t i = 0; i < kChunkCount; i++)
        q->chunkNext[i] = i + 1 < kChunkCount ? i + 1 : kNil;
    q->freeList = 0;
    q->freeChunks = kChunkCount;
    return NOERROR;
}

bool QueueFileValid(const QueueFile *q, size_t fileSize, const std::string &name) {
    return fileSize >= sizeof(QueueFile) && std::memcmp(q->magic, kMagic, sizeof kMagic) == 0 &&
           q->version == kLayoutVersion && q->layoutSize == sizeof(QueueFile) &&
           q->nameLength == name.size() && std::memcmp(q->name, name.data(), name.size()) == 0;
}

QueueLock::QueueLock(QueueFile *q) : q_(q), status_(NOERROR) {
    int rc = pthread_mutex_lock(&q->mutex);
    if (rc == EOWNERDEAD) {
        Rebuild(q);
        rc = pthread_mutex_consistent(&q->mutex);
    }
    if (rc != 0) {
        status_ = ERR_MQ_STORE;
        q_ = nullptr;
    }
}

QueueLock::~QueueLock() {
    if (q_ != nullptr)
        pthread_mutex_unlock(&q_->mutex);
}

STATUS AppendMessage(QueueFile *q, WORD priority, const char *buffer, WORD length) {
    uint32_t need = ChunksFor(length);
    if (q->count >= q->quota || q->freeChunks < need)
        return ERR_MQ_EXCEEDED_QUOTA;

    // Take `need` chunks off the free list with one store; until the message
    // is linked they belong to nobody, and a rebuild would reclaim them.
    uint32_t head = q->freeList;
    uint32_t tail = head;
    for (uint32_t i = 1; i < need; i++) {
        if (tail >= kChunkCount)
            return ERR_MQ_STORE;
        tail = q->chunkNext[tail];
    }
    if (tail >= kChunkCount)
        return ERR_MQ_STORE;
    q->freeList = q->chunkNext[tail];
    q->chunkNext[tail] = kNil;

    uint32_t chunk = head;
    for (uint32_t offset = 0; offset < length; offset += kChunkSize) {
        uint32_t piece = length - offset < kChunkSize ? length - offset : kChunkSize;
        std::memcpy(q->data[chunk], buffer + offset, piece);
        chunk = q->chunkNext[chunk];
    }
    CrashPoint(kPutCrashPoint);

    // Place: after the last message of the same or a more urgent priority.
    uint32_t prev = kNil, next = q->first;
    if (q->last != kNil && q->meta[q->last].priority <= priority) {
        prev = q->last;
        next = kNil;
    } else {
        for (uint32_t steps = 0; next != kNil && q->meta[next].priority <= priority; steps++) {
            if (steps > kChunkCount || next >= kChunkCount)
                return ERR_MQ_STORE;
            prev = next;
            next = q->meta[next].next;
        }
    }
    q->meta[head] = MessageMeta{next, priority, length};
    // The message must be complete in memory before the link makes it
    // visible, also to a process that repairs the list after our death.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (prev == kNil) {
        q->first = head;  // commit
    } else {
        q->meta[prev].next = head;  // commit
    }
    if (next == kNil)
        q->last = head;
    q->count++;
    q->bytes += length;
    q->freeChunks -= need;
    return NOERROR;
}

STATUS TakeFirstMessage(QueueFile *q, char *buffer, WORD bufLength, WORD *retLength) {
    uint32_t head = q->first;
    if (head >= kChunkCount)
        return ERR_MQ_STORE;
    WORD length = q->meta[head].length;
    uint32_t need = ChunksFor(length);
    bool fits = length <= bufLength;

    uint32_t chunk = head, tail = head;
    for (uint32_t offset = 0; offset < need * kChunkSize; offset += kChunkSize) {
        if (chunk >= kChunkCount)
            return ERR_MQ_STORE;
        if (fits && offset < length) {
            uint32_t piece = length - offset < kChunkSize ? length - offset : kChunkSize;
            std::memcpy(buffer + offset, q->data[chunk], piece);
        }
        tail = chunk;
        chunk = q->chunkNext[chunk];
    }

    std::atomic_signal_fence(std::memory_order_seq_cst);
    q->first = q->meta[head].next;  // commit
    if (q->first == kNil)
        q->last = kNil;
    CrashPoint(kGetCrashPoint);
    q->chunkNext[tail] = q->freeList;
    q->freeList = head;
    q->freeChunks += need;
    q->count--;
    q->bytes -= length;
    if (retLength != nullptr)
        *retLength = length;
    return fits ? NOERROR : ERR_MQ_BFR_TOO_SMALL;
}

STATUS CopyMessages(const QueueFile *q, std::vector<MessageCopy> *out) {
    out->clear();
    uint32_t cur = q->first;
    for (uint32_t steps = 0; cur != kNil; steps++) {
        if (steps >= kChunkCount || cur >= kChunkCount)
            return ERR_MQ_STORE;
        MessageCopy copy{q->meta[cur].priority, std::string()};
        WORD length = q->meta[cur].length;
        copy.bytes.reserve(length);
        uint32_t chunk = cur;
        for (uint32_t offset = 0; offset < length; offset += kChunkSize) {
            if (chunk >= kChunkCount)
                return ERR_MQ_STORE;
            uint32_t piece = length - offset < kChunkSize ? length - offset : kChunkSize;
            copy.bytes.append(reinterpret_cast<const char *>(q->data[chunk]), piece);
            chunk = q->chunkNext[chunk];
        }
        out->push_back(std::move(copy));
        cur = q->meta[cur].next;
    }
    return NOERROR;
}

void WakeReaders(QueueFile *q) {
    syscall(SYS_futex, FutexWord(q), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

bool SleepOnQueue(QueueFile *q, uint32_t seen, long timeoutUs) {
    struct timespec ts;
    ts.tv_sec = timeoutUs / 1000000L;
    ts.tv_nsec = (timeoutUs % 1000000L) * 1000L;
    // Not FUTEX_PRIVATE: the word lives in a shared file mapping and the
    // putter may be another process.
    long rc = syscall(SYS_futex, FutexWord(q), FUTEX_WAIT, seen, &ts, nullptr, 0);
    return rc != 0 && errno == EINTR;
}

}  // namespace mq
}  // namespace notes_internal
