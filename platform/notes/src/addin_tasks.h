// The table of running add-in tasks, kept as files in the server's shared
// state folder so that other processes (the administration tool) see them.
//
// In DIR = ServerStateDirectory() + "/tasks" each task has
//   <pid>.lock   held with an exclusive flock for the task's lifetime; a
//                record whose lock nobody holds belongs to a dead task,
//   <pid>.task   the record: program, pid, start time, status lines;
//                replaced whole (temp file + rename) so a reader never sees
//                half of it,
//   <pid>.quit   present once someone told the task to quit.
// The lock is a file of its own because a rename would leave a lock on the
// record's old inode behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace notes_internal {

struct TaskRecord {
    std::string program;
    pid_t pid = 0;
    int64_t startTime = 0;  // seconds since 1970 UTC
    // Status lines in the order they were made: task name and text.
    std::vector<std::pair<std::string, std::string>> lines;
};

// The folder of the task table, created when missing; empty while the
// runtime is not started.
std::string TasksDirectory();

std::string TaskFilePath(const std::string &dir, pid_t pid, const char *suffix);

// The record as text and back; Parse gives false for a text that is not a
// record (missing program or pid).
std::string FormatTaskRecord(const TaskRecord &record);
bool ParseTaskRecord(const std::string &text, TaskRecord *record);

// Creates and locks <pid>.lock for this process; returns the descriptor, or
// -1 with errno set.
int AcquireTaskLock(const std::string &dir, pid_t pid);

// Replaces <pid>.task with the record; false with errno set on failure (the
// old record then stays).
bool WriteTaskRecord(const std::string &dir, const TaskRecord &record);

// Removes every file of the task; lockFd (when >= 0) is closed last, so the
// task looks alive until its record is gone.
void RemoveTaskFiles(const std::string &dir, pid_t pid, int lockFd);

// Records of the live tasks, ordered by start time and pid. Files of dead
// tasks are removed on the way.
std::vector<TaskRecord> ReadLiveTasks(const std::string &dir);

}  // namespace notes_internal
