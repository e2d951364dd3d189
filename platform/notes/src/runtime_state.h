// Process-wide state of the runtime, shared by the families.
#pragma once

#include <string>

namespace notes_internal {

// True between NotesRuntimeStart and NotesRuntimeEnd.
bool RuntimeStarted();

// Absolute path of the data directory, without a trailing "/"; empty while
// the runtime is not started.
std::string DataDirectory();

// Absolute path of notes.ini.
std::string IniPath();

// The folder of the running server's shared state (queues, tasks) inside the
// data directory, created when missing.
std::string ServerStateDirectory();

// Called by NotesRuntimeEnd, in reverse order of registration, so that a
// family drops its caches; the runtime may then start again (tests do).
void AtRuntimeEnd(void (*hook)());

// Stop requests of an add-in task. AddInTaskStart marks the process as a
// task; the stop test and waiting calls (MQGet) ask StopRequested, which
// also asks the poller that the add-in family installs (the quit request of
// "notesctl tell").
void MarkAddInTask();
bool IsAddInTask();
void RequestStop();  // async-signal-safe
bool StopRequested();
void SetStopPoller(bool (*poller)());

}  // namespace notes_internal
