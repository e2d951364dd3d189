#include "addin_tasks.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "runtime_state.h"

namespace notes_internal {
namespace {

// Records are a few hundred bytes; anything far larger is not one of ours.
constexpr size_t kMaxRecordBytes = 1 << 20;

std::string Escape(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Unescape(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c != '\\' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        char next = text[++i];
        out += next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next;
    }
    return out;
}

bool ParseNumber(const std::string &text, int64_t *out) {
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *out = value;
    return true;
}

bool WriteAll(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ReadSmallFile(const std::string &path, std::string *out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    out->clear();
    char buffer[4096];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || out->size() + static_cast<size_t>(n) > kMaxRecordBytes) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        out->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return ok;
}

bool SameFile(int fd, const std::string &path) {
    struct stat byFd {};
    struct stat byPath {};
    return fstat(fd, &byFd) == 0 && stat(path.c_str(), &byPath) == 0 &&
           byFd.st_dev == byPath.st_dev && byFd.st_ino == byPath.st_ino;
}

// The pid of a "<digits>.task" name, or 0.
pid_t RecordPid(const char *name) {
    const char *dot = std::strchr(name, '.');
    if (dot == nullptr || dot == name || std::strcmp(dot, ".task") != 0)
        return 0;
    pid_t pid = 0;
    for (const char *p = name; p < dot; p++) {
        if (*p < '0' || *p > '9' || pid > 100000000)
            return 0;
        pid = pid * 10 + (*p - '0');
    }
    return pid;
}

}  // namespace

std::string TasksDirectory() {
    std::string dir = ServerStateDirectory();
    if (dir.empty())
        return dir;
    dir += "/tasks";
    mkdir(dir.c_str(), 0755);
    return dir;
}

std::string TaskFilePath(const std::string &dir, pid_t pid, const char *suffix) {
    return dir + "/" + std::to_string(pid) + suffix;
}

std::string FormatTaskRecord(const TaskRecord &record) {
    std::string text = "program=" + Escape(record.program) + "\n";
    text += "pid=" + std::to_string(record.pid) + "\n";
    text += "started=" + std::to_string(record.startTime) + "\n";
    for (const auto &line : record.lines) {
        text += "line=" + Escape(line.first) + "\t" + Escape(line.second) + "\n";
    }
    return text;
}

bool ParseTaskRecord(const std::string &text, TaskRecord *record) {
    TaskRecord parsed;
    bool havePid = false;
    bool haveProgram = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq);
        std::string value = line.substr(eq + 1);
        int64_t number = 0;
        if (key == "program") {
            parsed.program = Unescape(value);
            haveProgram = true;
        } else if (key == "pid" && ParseNumber(value, &number) && number > 0) {
            parsed.pid = static_cast<pid_t>(number);
            havePid = true;
        } else if (key == "started" && ParseNumber(value, &number)) {
            parsed.startTime = number;
        } else if (key == "line") {
            size_t tab = value.find('\t');
            if (tab == std::string::npos)
                continue;
            parsed.lines.emplace_back(Unescape(value.substr(0, tab)),
                                      Unescape(value.substr(tab + 1)));
        }
    }
    if (!havePid || !haveProgram)
        return false;
    *record = std::move(parsed);
    return true;
}

int AcquireTaskLock(const std::string &dir, pid_t pid) {
    std::string path = TaskFilePath(dir, pid, ".lock");
    // A lister that found a dead task of the same pid may hold the old lock
    // file for a moment while it removes it, so retry for up to a second;
    // after that the lock is held for real (by a forked child of a former
    // task with this pid) and starting fails.
    for (int attempt = 0; attempt < 100; attempt++) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return -1;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // The lister may have unlinked the file we opened; lock the one
            // that the path names now.
            if (SameFile(fd, path))
                return fd;
        } else if (errno != EWOULDBLOCK) {
            int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
        close(fd);
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    errno = EWOULDBLOCK;
    return -1;
}

bool WriteTaskRecord(const std::string &dir, const TaskRecord &record) {
    std::string path = TaskFilePath(dir, record.pid, ".task");
    std::string temp = path + ".tmp";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, FormatTaskRecord(record));
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        errno = error;
    }
    return ok;
}

void RemoveTaskFiles(const std::string &dir, pid_t pid, int lockFd) {
    for (const char *suffix : {".task", ".task.tmp", ".quit", ".lock"}) {
        unlink(TaskFilePath(dir, pid, suffix).c_str());
    }
    if (lockFd >= 0)
        close(lockFd);
}

std::vector<TaskRecord> ReadLiveTasks(const std::string &dir) {
    std::vector<TaskRecord> tasks;
    std::vector<pid_t> pids;
    if (DIR *folder = opendir(dir.c_str())) {
        while (struct dirent *entry = readdir(folder)) {
            if (pid_t pid = RecordPid(entry->d_name))
                pids.push_back(pid);
        }
        closedir(folder);
    }
    for (pid_t pid : pids) {
        // No lock file: the task is just ending.
        int fd = open(TaskFilePath(dir, pid, ".lock").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
            // Nobody holds the lock: the task died without ending.
            RemoveTaskFiles(dir, pid, fd);
            continue;
        }
        std::string text;
        TaskRecord record;
        if (errno == EWOULDBLOCK && ReadSmallFile(TaskFilePath(dir, pid, ".task"), &text) &&
            ParseTaskRecord(text, &record) && record.pid == pid) {
            tasks.push_back(std::move(record));
        }
        close(fd);
    }
    std::sort(tasks.begin(), tasks.end(), [](const TaskRecord &a, const TaskRecord &b) {
        return a.startTime != b.startTime ? a.startTime < b.startTime : a.pid < b.pid;
    });
    return tasks;
}

}  // namespace notes_internal
