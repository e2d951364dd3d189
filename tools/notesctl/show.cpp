// notesctl show: the running tasks, the queues, one queue's messages.
#include <cstdio>
#include <iostream>
#include <vector>

#include "common.h"
#include "notes_api.h"
#include "standin/addin.h"
#include "standin/mq.h"
#include "verbs.h"

namespace notesctl {
namespace {

const char kHelp[] =
    "Usage: notesctl show DIR tasks\n"
    "       notesctl show DIR queues\n"
    "       notesctl show DIR queue NAME\n"
    "\n"
    "Shows the state of the server that runs on the data directory DIR:\n"
    "  tasks       the running tasks, one status line a row, as a server console\n"
    "              shows them: the line's task name and its status text; a task\n"
    "              without a status line shows its program name\n"
    "  queues      each live queue with its message count, \"(quit pending)\" after\n"
    "              the count of a queue that has quit pending\n"
    "  queue NAME  the messages of one queue in the order they would be taken, one\n"
    "              a line, without taking them; control bytes and \"\\\" are shown\n"
    "              as escapes (\\n, \\t, \\\\, \\xNN)\n"
    "\n"
    "The tables have one heading row; a script can skip it.\n";

constexpr int kNameWidth = 24;

void Row(const std::string &left, const std::string &right) {
    std::string padded = left;
    if (padded.size() < kNameWidth)
        padded.resize(kNameWidth, ' ');
    std::cout << padded << " " << right << "\n";
}

void ShowTask(void *, const StandinTaskInfo *task) {
    if (task->lineCount == 0) {
        Row(EscapeForLine(task->program), "");
        return;
    }
    for (DWORD i = 0; i < task->lineCount; i++) {
        Row(EscapeForLine(task->lines[i].taskName), EscapeForLine(task->lines[i].text));
    }
}

int ShowTasks() {
    Row("Task", "Status");
    DWORD count = 0;
    STATUS status = StandinListTasks(ShowTask, nullptr, &count);
    if (status != NOERROR)
        throw Failure("cannot list the tasks: " + StatusText(status));
    return kExitOk;
}

int ShowQueues() {
    std::vector<StandinQueueInfo> queues(64);
    DWORD count = StandinMQList(queues.data(), static_cast<DWORD>(queues.size()));
    // Queues may come or go between the two calls: ask again with room for
    // the number the first call saw, and take what the second gives.
    if (count > queues.size()) {
        queues.resize(count + 16);
        count = StandinMQList(queues.data(), static_cast<DWORD>(queues.size()));
        if (count > queues.size())
            count = static_cast<DWORD>(queues.size());
    }
    Row("Queue", "Messages");
    for (DWORD i = 0; i < count; i++) {
        std::string right = std::to_string(queues[i].count);
        if (queues[i].quitPending)
            right += " (quit pending)";
        Row(EscapeForLine(queues[i].name), right);
    }
    return kExitOk;
}

BOOL PrintMessage(void *, WORD, const char *message, WORD length) {
    std::cout << EscapeForLine(std::string(message, length)) << "\n";
    return TRUE;
}

int ShowQueue(const std::string &name, const std::string &dir) {
    STATUS status = StandinMQPeek(name.c_str(), PrintMessage, nullptr);
    if (status == ERR_NO_SUCH_MQ)
        throw Failure("no queue named " + name + " on " + dir);
    if (status != NOERROR)
        throw Failure("cannot read the queue " + name + ": " + StatusText(status));
    return kExitOk;
}

int Run(const Words &words) {
    Args args(words, {});
    if (args.help()) {
        PrintHelp(kShowVerb);
        return kExitOk;
    }
    args.expect({"DIR", "what to show (tasks, queues or queue NAME)", "the queue's NAME"}, 2);
    const std::string &what = args.positional()[1];
    if (what == "tasks" || what == "queues") {
        args.expect({"DIR", what.c_str()}, 2);
    } else if (what == "queue") {
        args.expect({"DIR", "queue", "the queue's NAME"}, 3);
    } else {
        throw UsageError("cannot show \"" + what + "\": say tasks, queues or queue NAME");
    }

    Runtime runtime(args.positional()[0]);
    if (what == "tasks")
        return ShowTasks();
    if (what == "queues")
        return ShowQueues();
    return ShowQueue(args.positional()[2], runtime.dataDirectory());
}

}  // namespace

const Verb kShowVerb = {"show", "show the running tasks, the queues, or a queue's messages", kHelp,
                        Run};

}  // namespace notesctl
