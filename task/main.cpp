// The process entry of vanterra, the server add-in task.
#include "notes_api.h"
#include "task_main.h"

namespace {

// The exit code when the Notes runtime cannot be started (its first or
// second start-up step fails): 1, apart from the -1 of a task that started
// and failed or was not let run, so that whoever starts the program can tell
// a broken installation from a failed task.
const int kRuntimeNotStartedExitCode = 1;
const int kTaskFailedExitCode = -1;

// The platform's start-up texts fit 255 bytes.
const WORD kStartupTextSize = 255;

// The entry routine that the process gate is handed. It is main's body; C++
// does not let a program take main's own address.
int ProcessEntry(int argc, char **argv) {
    char text[kStartupTextSize + 1] = {};

    STATUS status = NotesRuntimeStart(argc, argv);
    if (status != NOERROR) {
        NotesStartupErrorText(status, text, kStartupTextSize);
        if ((status & STS_DISPLAYED) == 0)
            ShowStartupError(text);
        return kRuntimeNotStartedExitCode;
    }
    status = NotesRuntimeArgs(argc, argv, &argc, &argv);
    if (status != NOERROR) {
        NotesStartupErrorText(status, text, kStartupTextSize);
        if ((status & STS_DISPLAYED) == 0)
            ShowStartupError(text);
        NotesRuntimeEnd();
        return kRuntimeNotStartedExitCode;
    }

    int exitCode = kTaskFailedExitCode;
    if (NotesProcessGate(ProcessEntry, argc, argv, nullptr, nullptr) == 0) {
        STATUS taskStatus = RunAddInMain(argc, argv);
        if (taskStatus != NOERROR && (taskStatus & STS_DISPLAYED) == 0) {
            AddInTaskErrorText(taskStatus, text, kStartupTextSize);
            ShowStartupError(text);
        }
        exitCode = taskStatus == NOERROR ? 0 : kTaskFailedExitCode;
    }
    AddInTaskEnd(argc, argv);
    NotesRuntimeEnd();
    return exitCode;
}

}  // namespace

int main(int argc, char **argv) {
    return ProcessEntry(argc, argv);
}
