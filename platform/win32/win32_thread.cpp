// Threads and sleeping.
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "win32.h"

namespace {

struct StartRecord {
    unsigned (*start)(void *);
    void *arg;
};

// Thread ids are handed out in order, skipping 0, which means failure.
unsigned nextThreadId = 0;

unsigned NewThreadId() {
    unsigned id;
    do {
        id = __atomic_add_fetch(&nextThreadId, 1u, __ATOMIC_RELAXED);
    } while (id == 0);
    return id;
}

extern "C" void *ThreadMain(void *p) {
    // The record is the thread's own; free it before the work so that a
    // thread that never returns holds nothing of ours.
    StartRecord record = *static_cast<StartRecord *>(p);
    free(p);
    record.start(record.arg);
    return nullptr;
}

uintptr_t Fail(int err, DWORD error) {
    errno = err;
    SetLastError(error);
    return 0;
}

size_t RoundStackSize(unsigned requested) {
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) {
        page = 4096;
    }
    size_t size = requested;
    if (size < static_cast<size_t>(PTHREAD_STACK_MIN)) {
        size = PTHREAD_STACK_MIN;
    }
    size_t p = static_cast<size_t>(page);
    return (size + p - 1) / p * p;
}

}  // namespace

extern "C" uintptr_t _beginthreadex(void *, unsigned stack_size, unsigned (*start)(void *),
                                    void *arg, unsigned init_flag, unsigned *thread_id) {
    if (start == nullptr || init_flag != 0) {
        return Fail(EINVAL, ERROR_INVALID_PARAMETER);
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        return Fail(EAGAIN, ERROR_NOT_ENOUGH_MEMORY);
    }
    // Detached: nobody joins, so the thread's resources go when it ends.
    int rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0 && stack_size != 0) {
        rc = pthread_attr_setstacksize(&attr, RoundStackSize(stack_size));
    }
    if (rc != 0) {
        pthread_attr_destroy(&attr);
        return Fail(EINVAL, ERROR_INVALID_PARAMETER);
    }
    StartRecord *record = static_cast<StartRecord *>(malloc(sizeof(StartRecord)));
    if (record == nullptr) {
        pthread_attr_destroy(&attr);
        return Fail(EAGAIN, ERROR_NOT_ENOUGH_MEMORY);
    }
    record->start = start;
    record->arg = arg;
    unsigned id = NewThreadId();
    pthread_t thread;
    rc = pthread_create(&thread, &attr, ThreadMain, record);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        free(record);
        return Fail(EAGAIN, ERROR_NOT_ENOUGH_MEMORY);
    }
    if (thread_id != nullptr) {
        *thread_id = id;
    }
    // The value only names the thread; it owns nothing, so it needs no
    // closing and may be ignored.
    return id;
}

extern "C" void Sleep(DWORD ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    if (ms == INFINITE) {
        for (;;) {
            pause();
        }
    }
    // An absolute deadline, so that signals neither cut the pause short
    // nor stretch it when the sleep is resumed.
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(ms / 1000u);
    deadline.tv_nsec += static_cast<long>(ms % 1000u) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
