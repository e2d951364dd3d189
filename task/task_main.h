// The server add-in task: its start-up, main loop and shutdown.
#pragma once

#include "notes_api.h"

// The add-in task. Sets up its status line, provisions HCR.nsf, creates the
// queues "MQ$HCRServletList" and "MQ$OutOfOffice", then serves one request
// message at a time on a thread of its own until the server tells the task
// to stop. Failures are reported by log lines only: always 0. Its arguments
// are not used (the module handle comes from AddInQueryDefaults, and the task
// has no options of its own).
STATUS TaskMain(HMODULE module, int argc, char **argv);

// The task step of the process entry: makes the process an add-in task and
// runs TaskMain; the result is the task's status.
STATUS RunAddInMain(int argc, char **argv);

// Prints a start-up failure's text on the console as "\r\n%s\r\n\r\n".
void ShowStartupError(const char *text);

// How long shutdown waits for request threads that are still running before
// it lets the runtime be ended. A request reads and writes one mail file and
// one request file, which takes well under a second; 30 s leaves room for a
// busy server without holding up a server shutdown for long.
constexpr DWORD kRequestShutdownWaitMs = 30000;
