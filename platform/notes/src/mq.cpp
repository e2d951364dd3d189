// Message queues shared between the processes of one data directory.
//
// Files, in ServerStateDirectory()/queues/:
//   <hex of the name>  one file per queue, mapped whole by every process
//                      that has it open (layout: mq_store.h); the hex form
//                      keeps any name safe as a file name and keeps names
//                      bytewise distinct, so names compare case-sensitively.
//   .lock              taken (flock LOCK_EX) around every create, so that
//                      two processes creating the same name cannot both win.
//   tmp.<pid>.<n>      a queue file while it is being made.
//
// Liveness: the creator holds an exclusive flock on its queue file from
// before the file appears under its name until its runtime ends or the
// process dies (the kernel then drops the lock). Anyone can test it with a
// non-blocking shared flock: it is granted only when the creator is gone.
// A queue file is made complete and locked under a temporary name and then
// renamed into place, so an opener never sees a half-made or an unowned new
// queue. A dead file never gets an owner again; a later create (under .lock)
// deletes it and puts a fresh file in its place, so an old mapping can never
// come back to life and mix with a new queue of the same name.
//
// In this process: handles share one mapping per queue file, dropped when the
// last handle closes. The creator's lock is not a mapping: it is kept until
// NotesRuntimeEnd, which also closes every queue handle and deletes the files
// of the queues this process created.
//
// Fork: a flock belongs to the open file description, which a forked child
// shares, so the child closes its copies of the creator locks and of .lock
// (also those that another thread holds while it makes a queue), and fork
// does not return in the parent before the child has done so: a parent that
// ends right after its fork takes its queues with it, as one that never
// forked does. No mapping is ever made of a locked file, since a child
// inherits mappings too. (A child made by posix_spawn or vfork runs no fork
// handlers; it holds the copies only until its exec closes them, O_CLOEXEC.)
#include "mq.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fault.h"
#include "mq_store.h"
#include "os_error.h"
#include "registry.h"
#include "runtime_state.h"
#include "standin/mq.h"

namespace notes_internal {
namespace {

using mq::QueueFile;
using mq::QueueLock;

// How often a waiting get looks at things that do not wake it: the stop
// request of an add-in task, the creator's death and the end of the runtime.
constexpr long kPollUs = 50000;

// True while the queue's creator holds its lock.
bool CreatorAlive(int fd) {
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
        flock(fd, LOCK_UN);
        return false;
    }
    // Anything but a conflict leaves the question open: say alive rather
    // than drop a live queue.
    return true;
}

// One mapping of a queue file in this process, shared by its handles.
struct Mapping {
    int fd = -1;
    QueueFile *q = nullptr;
    std::atomic<bool> dead{false};

    Mapping() = default;
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    ~Mapping() {
        if (q != nullptr)
            munmap(q, sizeof(QueueFile));
        if (fd >= 0)
            close(fd);
    }
    bool Alive() {
        if (dead.load(std::memory_order_relaxed))
            return false;
        if (CreatorAlive(fd))
            return true;
        dead.store(true);  // a dead file stays dead
        return false;
    }
};

struct QueueObject : HandleObject {
    std::shared_ptr<Mapping> mapping;
};

struct Owned {
    std::string path;
    int fd;  // holds the creator's lock
    dev_t dev;
    ino_t ino;
};

using FileKey = std::pair<dev_t, ino_t>;

struct State {
    std::mutex mutex;
    std::map<FileKey, std::weak_ptr<Mapping>> mappings;
    std::set<DHANDLE> handles;
    std::vector<Owned> owned;
    // .lock and the files of queues being made: locked, or about to be.
    std::set<int> creating;
    unsigned tempCounter = 0;
    // While a fork is under way: the pipe whose write end the child closes
    // once it has let go of the locks.
    int forkGateRead = -1;
    int forkGateWrite = -1;
};

State &TheState() {
    static State *state = new State;  // never destroyed, as the registry
    return *state;
}

// Raised by every runtime end, so that a get still waiting in another
// thread notices that its handle is gone.
std::atomic<unsigned> g_runtimeGeneration{0};

void PurgeExpiredLocked(State &s) {
    for (auto it = s.mappings.begin(); it != s.mappings.end();) {
        it = it->second.expired() ? s.mappings.erase(it) : std::next(it);
    }
}

void EndRuntime() {
    State &s = TheState();
    std::set<DHANDLE> handles;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        handles.swap(s.handles);
        s.mappings.clear();
        g_runtimeGeneration++;
        // Under the lock, so that no fork in between hands a child a lock
        // that this process no longer knows about.
        for (Owned &o : s.owned) {
            struct stat st {};
            if (stat(o.path.c_str(), &st) == 0 && st.st_dev == o.dev && st.st_ino == o.ino)
                unlink(o.path.c_str());
            close(o.fd);
        }
        s.owned.clear();
    }
    for (DHANDLE h : handles)
        ReleaseHandle(HandleKind::Queue, h);
}

void ForkPrepare() {
    State &s = TheState();
    s.mutex.lock();
    if (!s.owned.empty() || !s.creating.empty()) {
        int fds[2];
        // Without a pipe the parent cannot wait; the child still lets go
        // of the locks, a moment later.
        if (pipe2(fds, O_CLOEXEC) == 0) {
            s.forkGateRead = fds[0];
            s.forkGateWrite = fds[1];
        }
    }
}
void ForkParent() {
    State &s = TheState();
    if (s.forkGateWrite >= 0) {
        close(s.forkGateWrite);
        // End of file once the child's handler closed its end, or once the
        // child died, which drops its copies all the same.
        char byte;
        while (read(s.forkGateRead, &byte, 1) < 0 && errno == EINTR) {
        }
        close(s.forkGateRead);
        s.forkGateRead = s.forkGateWrite = -1;
    }
    s.mutex.unlock();
}
void ForkChild() {
    State &s = TheState();
    for (Owned &o : s.owned)
        close(o.fd);  // the lock stays with the parent
    s.owned.clear();
    for (int fd : s.creating)
        close(fd);  // the thread that made it does not live on here
    s.creating.clear();
    if (s.forkGateWrite >= 0) {
        close(s.forkGateRead);
        close(s.forkGateWrite);  // lets the parent's fork return
        s.forkGateRead = s.forkGateWrite = -1;
    }
    s.mutex.unlock();
}

void EnsureHooks() {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(ForkPrepare, ForkParent, ForkChild); });
    AtRuntimeEnd(EndRuntime);  // registers once
}

STATUS CheckName(const char *queueName, std::string *out) {
    if (queueName == nullptr || queueName[0] == '\0')
        return ERR_MQ_BAD_NAME;
    size_t length = strnlen(queueName, MQ_MAX_NAME + 1);
    if (length > MQ_MAX_NAME)
        return ERR_MQ_BAD_NAME;
    out->assign(queueName, length);
    return NOERROR;
}

// The start of every call on a queue given by name: the runtime must run and
// the name must do; then the hooks are in place for what the call opens.
STATUS BeginNamedCall(const char *queueName, std::string *name) {
    if (!RuntimeStarted())
        return ERR_NOT_INITIALIZED;
    if (STATUS status = CheckName(queueName, name))
        return status;
    EnsureHooks();
    return NOERROR;
}

std::string HexName(const std::string &name) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : name) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool DecodeHexName(const char *file, std::string *name) {
    size_t length = std::strlen(file);
    if (length == 0 || length % 2 != 0 || length > 2 * MQ_MAX_NAME)
        return false;
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    name->clear();
    for (size_t i = 0; i < length; i += 2) {
        int hi = value(file[i]), lo = value(file[i + 1]);
        if (hi < 0 || lo < 0 || (hi == 0 && lo == 0))
            return false;
        *name += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

// The queue folder, made when missing; empty when the runtime is not started.
std::string QueueDirectory() {
    std::string dir = ServerStateDirectory();
    if (dir.empty())
        return dir;
    dir += "/queues";
    mkdir(dir.c_str(), 0755);
    return dir;
}

STATUS OpenMapping(const std::string &name, std::shared_ptr<Mapping> *out) {
    std::string dir = QueueDirectory();
    if (dir.empty())
        return ERR_NOT_INITIALIZED;
    std::string path = dir + "/" + HexName(name);
    State &s = TheState();
    // A retry covers a dead file that a new creator replaced between our
    // open and our test.
    for (int attempt = 0; attempt < 4; attempt++) {
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return errno == ENOENT ? ERR_NO_SUCH_MQ : ERR_MQ_STORE;
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            close(fd);
            return ERR_MQ_STORE;
        }
        FileKey key{st.st_dev, st.st_ino};
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            auto it = s.mappings.find(key);
            if (it != s.mappings.end()) {
                std::shared_ptr<Mapping> existing = it->second.lock();
                if (existing && existing->Alive()) {
                    close(fd);
                    *out = std::move(existing);
                    return NOERROR;
                }
            }
        }
        if (!CreatorAlive(fd)) {
            close(fd);
            struct stat now {};
            if (stat(path.c_str(), &now) == 0 &&
                (now.st_dev != st.st_dev || now.st_ino != st.st_ino))
                continue;
            return ERR_NO_SUCH_MQ;
        }
        if (static_cast<size_t>(st.st_size) < sizeof(QueueFile)) {
            close(fd);
            return ERR_MQ_STORE;
        }
        void *p = mmap(nullptr, sizeof(QueueFile), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) {
            close(fd);
            return ERR_MQ_STORE;
        }
        auto mapping = std::make_shared<Mapping>();
        mapping->fd = fd;
        mapping->q = static_cast<QueueFile *>(p);
        if (!mq::QueueFileValid(mapping->q, static_cast<size_t>(st.st_size), name))
            return ERR_MQ_STORE;
        std::lock_guard<std::mutex> lock(s.mutex);
        std::weak_ptr<Mapping> &slot = s.mappings[key];
        if (std::shared_ptr<Mapping> other = slot.lock()) {
            *out = std::move(other);  // another thread mapped it meanwhile
        } else {
            slot = mapping;
            *out = std::move(mapping);
        }
        return NOERROR;
    }
    return ERR_NO_SUCH_MQ;
}

// Deletes what crashed creators left: temporary files and dead queues.
// Needs .lock.
void SweepLocked(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    std::string name;
    while (struct dirent *e = readdir(d)) {
        std::string path = dir + "/" + e->d_name;
        if (std::strncmp(e->d_name, "tmp.", 4) == 0) {
            unlink(path.c_str());  // only the holder of .lock makes these
        } else if (DecodeHexName(e->d_name, &name)) {
            int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                continue;
            if (!CreatorAlive(fd))
                unlink(path.c_str());
            close(fd);
        }
    }
    closedir(d);
}

STATUS CreateLocked(const std::string &dir, const std::string &name, WORD quota) {
    SweepLocked(dir);
    std::string path = dir + "/" + HexName(name);
    int existing = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (existing >= 0) {
        bool alive = CreatorAlive(existing);
        close(existing);
        if (alive)
            return ERR_DUPLICATE_MQ;
        unlink(path.c_str());
    }

    State &s = TheState();
    unsigned serial;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        serial = s.tempCounter++;
    }
    std::string temp = dir + "/tmp." + std::to_string(getpid()) + "." + std::to_string(serial);
    int fd;
    {
        // Known to the fork handlers before it holds a lock.
        std::lock_guard<std::mutex> lock(s.mutex);
        fd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0)
            return ERR_MQ_STORE;
        s.creating.insert(fd);
    }
    auto fail = [&](STATUS status) {
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.creating.erase(fd);
            close(fd);
        }
        unlink(temp.c_str());
        return status;
    };
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(ERR_MQ_STORE);
    if (ftruncate(fd, sizeof(QueueFile)) != 0)
        return fail(ERR_MQ_STORE);
    // Reserve the blocks now: a sparse file that cannot grow later would kill
    // a writer with SIGBUS.
    int rc = posix_fallocate(fd, 0, sizeof(QueueFile));
    if (rc != 0 && rc != EOPNOTSUPP && rc != EINVAL)
        return fail(ERR_MQ_STORE);
    // Mapped through an open file of its own: a mapping holds on to the file
    // it was made from, and a child forked meanwhile inherits the mapping,
    // so a mapping of the locked file would keep the lock alive in it.
    int mapFd = open(temp.c_str(), O_RDWR | O_CLOEXEC);
    if (mapFd < 0)
        return fail(ERR_MQ_STORE);
    void *p = mmap(nullptr, sizeof(QueueFile), PROT_READ | PROT_WRITE, MAP_SHARED, mapFd, 0);
    close(mapFd);
    if (p == MAP_FAILED)
        return fail(ERR_MQ_STORE);
    STATUS status = mq::InitQueueFile(static_cast<QueueFile *>(p), name, quota);
    munmap(p, sizeof(QueueFile));
    if (status != NOERROR)
        return fail(status);
    struct stat st {};
    if (fstat(fd, &st) != 0 || rename(temp.c_str(), path.c_str()) != 0)
        return fail(ERR_MQ_STORE);
    std::lock_guard<std::mutex> lock(s.mutex);
    s.creating.erase(fd);
    s.owned.push_back(Owned{path, fd, st.st_dev, st.st_ino});
    return NOERROR;
}

STATUS CreateQueue(const std::string &name, WORD quota) {
    std::string dir = QueueDirectory();
    if (dir.empty())
        return ERR_NOT_INITIALIZED;
    State &s = TheState();
    int lockFd;
    {
        // A child forked meanwhile must not keep .lock, and with it every
        // later create, waiting for its end.
        std::lock_guard<std::mutex> lock(s.mutex);
        lockFd = open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lockFd < 0)
            return ERR_MQ_STORE;
        s.creating.insert(lockFd);
    }
    auto release = [&] {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.creating.erase(lockFd);
        close(lockFd);  // lets go of .lock
    };
    while (flock(lockFd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            release();
            return ERR_MQ_STORE;
        }
    }
    STATUS status = CreateLocked(dir, name, quota);
    release();
    return status;
}

STATUS QueueOf(MQHANDLE handle, std::shared_ptr<Mapping> *out) {
    std::shared_ptr<QueueObject> object;
    if (STATUS status = Lookup(HandleKind::Queue, handle, &object))
        return status;
    *out = object->mapping;
    return NOERROR;
}

STATUS SetQuit(Mapping &mapping) {
    if (!mapping.Alive())
        return ERR_NO_SUCH_MQ;
    QueueFile *q = mapping.q;
    {
        // Under the lock, so that a reader's check of the flag and its
        // snapshot of wakeSeq cannot fall on both sides of it.
        QueueLock lock(q);
        if (lock.status() != NOERROR)
            return lock.status();
        q->quit.store(1);
        mq::BumpWakeSeq(q);
    }
    mq::WakeReaders(q);
    return NOERROR;
}

long long NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace
}  // namespace notes_internal

using notes_internal::FaultCheck;
using notes_internal::HandleKind;
using notes_internal::Mapping;
using notes_internal::mq::QueueFile;
using notes_internal::mq::QueueLock;

STATUS LNPUBLIC MQCreate(const char far *QueueName, WORD Quota, DWORD Options) {
    if (STATUS fault = FaultCheck("MQCreate"))
        return fault;
    (void)Options;
    std::string name;
    if (STATUS status = notes_internal::BeginNamedCall(QueueName, &name))
        return status;
    return notes_internal::CreateQueue(name, Quota);
}

STATUS LNPUBLIC MQOpen(const char far *QueueName, DWORD Options, MQHANDLE far *retQueue) {
    if (STATUS fault = FaultCheck("MQOpen"))
        return fault;
    if (retQueue == nullptr)
        return ERR_BAD_PARAM;
    *retQueue = NULLHANDLE;
    std::string name;
    if (STATUS status = notes_internal::BeginNamedCall(QueueName, &name))
        return status;

    std::shared_ptr<Mapping> mapping;
    STATUS status = notes_internal::OpenMapping(name, &mapping);
    if (status == ERR_NO_SUCH_MQ && (Options & MQ_OPEN_CREATE) != 0) {
        status = notes_internal::CreateQueue(name, 0);
        // Another process may have been quicker; its queue will do.
        if (status == NOERROR || status == ERR_DUPLICATE_MQ)
            status = notes_internal::OpenMapping(name, &mapping);
    }
    if (status != NOERROR)
        return status;

    auto object = std::make_shared<notes_internal::QueueObject>();
    object->mapping = std::move(mapping);
    DHANDLE handle = notes_internal::RegisterHandle(HandleKind::Queue, object);
    if (handle == NULLHANDLE)
        return ERR_MEMORY;
    notes_internal::State &s = notes_internal::TheState();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.handles.insert(handle);
    }
    *retQueue = handle;
    return NOERROR;
}

STATUS LNPUBLIC MQClose(MQHANDLE Queue, DWORD Options) {
    if (STATUS fault = FaultCheck("MQClose"))
        return fault;
    (void)Options;
    std::shared_ptr<notes_internal::HandleObject> object;
    if (STATUS status = notes_internal::ReleaseHandle(HandleKind::Queue, Queue, &object))
        return status;
    object.reset();  // the mapping goes with its last handle
    notes_internal::State &s = notes_internal::TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.handles.erase(Queue);
    notes_internal::PurgeExpiredLocked(s);
    return NOERROR;
}

STATUS LNPUBLIC MQPut(MQHANDLE Queue, WORD Priority, const char far *Buffer, WORD Length,
                      DWORD Options) {
    if (STATUS fault = FaultCheck("MQPut"))
        return fault;
    (void)Options;
    std::shared_ptr<Mapping> mapping;
    if (STATUS status = notes_internal::QueueOf(Queue, &mapping))
        return status;
    if (Length > MQ_MAX_MSGSIZE)
        return ERR_MQ_MSG_TOO_BIG;
    if (Buffer == nullptr && Length > 0)
        return ERR_BAD_PARAM;
    if (!mapping->Alive())
        return ERR_NO_SUCH_MQ;
    QueueFile *q = mapping->q;
    {
        QueueLock lock(q);
        if (lock.status() != NOERROR)
            return lock.status();
        if (q->quit.load() != 0)
            return ERR_MQ_QUITTING;
        if (STATUS status = notes_internal::mq::AppendMessage(q, Priority, Buffer, Length))
            return status;
        notes_internal::mq::BumpWakeSeq(q);
    }
    if (q->waiters.load() != 0)
        notes_internal::mq::WakeReaders(q);
    return NOERROR;
}

STATUS LNPUBLIC MQGet(MQHANDLE Queue, char far *Buffer, WORD BufLength, DWORD Options,
                      DWORD Timeout, WORD far *retMsgLength) {
    if (STATUS fault = FaultCheck("MQGet"))
        return fault;
    std::shared_ptr<Mapping> mapping;
    if (STATUS status = notes_internal::QueueOf(Queue, &mapping))
        return status;
    if (Buffer == nullptr && BufLength > 0)
        return ERR_BAD_PARAM;
    if (retMsgLength != nullptr)
        *retMsgLength = 0;

    const bool wait = Timeout > 0 || (Options & MQ_WAIT_FOR_MSG) != 0;
    const bool forever = wait && Timeout == 0;
    const long long deadline = notes_internal::NowUs() + 1000LL * Timeout;
    const unsigned generation = notes_internal::g_runtimeGeneration.load();
    long long nextPoll = 0;  // the first wait looks at the stop request at once
    bool interrupted = false;
    QueueFile *q = mapping->q;

    for (;;) {
        if (!mapping->Alive())
            return ERR_NO_SUCH_MQ;
        uint32_t seen;
        {
            QueueLock lock(q);
            if (lock.status() != NOERROR)
                return lock.status();
            if (q->quit.load() != 0)
                return ERR_MQ_QUITTING;
            if (q->count > 0)
                return notes_internal::mq::TakeFirstMessage(q, Buffer, BufLength, retMsgLength);
            if (!wait)
                return ERR_MQ_EMPTY;
            seen = q->wakeSeq.load();
            q->waiters.fetch_add(1);
        }
        long long now = notes_internal::NowUs();
        long sleepUs = notes_internal::kPollUs;
        STATUS result = NOERROR;
        if (!forever) {
            if (now >= deadline) {
                result = ERR_MQ_TIMEOUT;
            } else if (deadline - now < sleepUs) {
                sleepUs = static_cast<long>(deadline - now);
            }
        }
        if (result == NOERROR && (now >= nextPoll || interrupted)) {
            // StopRequested may look at a file, so not at every wake-up.
            nextPoll = now + notes_internal::kPollUs;
            if (notes_internal::IsAddInTask() && notes_internal::StopRequested())
                result = ERR_MQ_TIMEOUT;
            else if (notes_internal::g_runtimeGeneration.load() != generation)
                result = ERR_INVALID_HANDLE;
        }
        if (result == NOERROR)
            interrupted = notes_internal::mq::SleepOnQueue(q, seen, sleepUs);
        q->waiters.fetch_sub(1);
        if (result != NOERROR)
            return result;
    }
}

STATUS LNPUBLIC MQPutQuitMsg(MQHANDLE Queue) {
    if (STATUS fault = FaultCheck("MQPutQuitMsg"))
        return fault;
    std::shared_ptr<Mapping> mapping;
    if (STATUS status = notes_internal::QueueOf(Queue, &mapping))
        return status;
    return notes_internal::SetQuit(*mapping);
}

BOOL LNPUBLIC MQIsQuitPending(MQHANDLE Queue) {
    std::shared_ptr<Mapping> mapping;
    if (notes_internal::QueueOf(Queue, &mapping) != NOERROR)
        return FALSE;
    return mapping->q->quit.load() != 0 ? TRUE : FALSE;
}

WORD LNPUBLIC MQGetCount(MQHANDLE Queue) {
    std::shared_ptr<Mapping> mapping;
    if (notes_internal::QueueOf(Queue, &mapping) != NOERROR)
        return 0;
    if (!mapping->Alive())
        return 0;
    QueueLock lock(mapping->q);
    if (lock.status() != NOERROR)
        return 0;
    return static_cast<WORD>(mapping->q->count);
}

// Administration.

DWORD StandinMQList(StandinQueueInfo *entries, DWORD capacity) {
    if (!notes_internal::RuntimeStarted())
        return 0;
    notes_internal::EnsureHooks();
    std::string dir = notes_internal::QueueDirectory();
    if (dir.empty())
        return 0;
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        std::string name;
        while (struct dirent *e = readdir(d)) {
            if (notes_internal::DecodeHexName(e->d_name, &name))
                names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    DWORD live = 0;
    for (const std::string &name : names) {
        std::shared_ptr<Mapping> mapping;
        if (notes_internal::OpenMapping(name, &mapping) != NOERROR)
            continue;
        QueueFile *q = mapping->q;
        StandinQueueInfo info{};
        {
            QueueLock lock(q);
            if (lock.status() != NOERROR)
                continue;
            name.copy(info.name, MQ_MAX_NAME);
            info.count = q->count;
            info.bytes = q->bytes;
            info.quota = q->quota;
            info.quitPending = q->quit.load() != 0 ? TRUE : FALSE;
            info.creatorPid = q->creatorPid;
            info.recoveries = static_cast<DWORD>(q->recoveries);
        }
        if (entries != nullptr && live < capacity)
            entries[live] = info;
        live++;
    }
    notes_internal::State &s = notes_internal::TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    notes_internal::PurgeExpiredLocked(s);
    return live;
}

STATUS StandinMQPeek(const char *queueName, StandinMQPeekProc proc, void *context) {
    std::string name;
    if (STATUS status = notes_internal::BeginNamedCall(queueName, &name))
        return status;
    if (proc == nullptr)
        return ERR_BAD_PARAM;
    std::shared_ptr<Mapping> mapping;
    if (STATUS status = notes_internal::OpenMapping(name, &mapping))
        return status;
    std::vector<notes_internal::mq::MessageCopy> messages;
    {
        QueueLock lock(mapping->q);
        if (lock.status() != NOERROR)
            return lock.status();
        if (STATUS status = notes_internal::mq::CopyMessages(mapping->q, &messages))
            return status;
    }
    mapping.reset();
    for (const auto &m : messages) {
        if (!proc(context, m.priority, m.bytes.data(), static_cast<WORD>(m.bytes.size())))
            break;
    }
    return NOERROR;
}

STATUS StandinMQSetQuitPending(const char *queueName) {
    std::string name;
    if (STATUS status = notes_internal::BeginNamedCall(queueName, &name))
        return status;
    std::shared_ptr<Mapping> mapping;
    if (STATUS status = notes_internal::OpenMapping(name, &mapping))
        return status;
    return notes_internal::SetQuit(*mapping);
}
