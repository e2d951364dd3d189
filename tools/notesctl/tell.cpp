// notesctl tell and notesctl queue: commands to running tasks and queues.
#include <iostream>

#include "common.h"
#include "notes_api.h"
#include "standin/addin.h"
#include "standin/mq.h"
#include "verbs.h"

namespace notesctl {
namespace {

const char kTellHelp[] =
    "Usage: notesctl tell DIR TASK quit\n"
    "\n"
    "Tells the tasks named TASK that run on the data directory DIR to quit, as a\n"
    "server console's \"tell TASK quit\" does. TASK is a task's program name\n"
    "(e.g. vanterra) or the name of one of its status lines, without regard to\n"
    "case. The command returns once the tasks are told; a task then stops on\n"
    "its own.\n"
    "\n"
    "Fails (exit code 1) when no such task is running.\n";

const char kQueueHelp[] =
    "Usage: notesctl queue DIR NAME --quit-pending\n"
    "       notesctl queue DIR NAME --put TEXT\n"
    "\n"
    "Works on the message queue NAME of the data directory DIR:\n"
    "  --quit-pending  sets quit pending on the queue: every process that has it\n"
    "                  open sees it, and it takes no more messages\n"
    "  --put TEXT      puts one message whose bytes are TEXT (no terminating NUL)\n"
    "                  with priority 0, e.g. a request file's path on\n"
    "                  MQ$OutOfOffice\n"
    "\n"
    "Fails (exit code 1) when the queue does not exist; a queue lives only as long\n"
    "as the process that created it runs.\n";

bool IsQuit(std::string command) {
    size_t first = command.find_first_not_of(" \t");
    size_t last = command.find_last_not_of(" \t");
    if (first == std::string::npos)
        return false;
    command = command.substr(first, last - first + 1);
    if (command.size() != 4)
        return false;
    for (char &c : command)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return command == "quit";
}

int RunTell(const Words &words) {
    Args args(words, {});
    if (args.help()) {
        PrintHelp(kTellVerb);
        return kExitOk;
    }
    args.expect({"DIR", "TASK", "the command (quit)"}, 3);
    const std::string &task = args.positional()[1];
    const std::string &command = args.positional()[2];
    if (task.empty())
        throw UsageError("the task's name is empty");
    if (!IsQuit(command)) {
        throw UsageError("unknown command \"" + command + "\": the one command is quit");
    }

    Runtime runtime(args.positional()[0]);
    DWORD told = 0;
    STATUS status = StandinTellTask(task.c_str(), "quit", &told);
    if (status != NOERROR)
        throw Failure("cannot tell " + task + ": " + StatusText(status));
    if (told == 0) {
        throw Failure("no task named " + task + " is running on " + runtime.dataDirectory());
    }
    std::cout << "Told " << told << (told == 1 ? " task " : " tasks ") << task << " to quit.\n";
    return kExitOk;
}

int RunQueue(const Words &words) {
    Args args(words, {{"--quit-pending", false}, {"--put", true}});
    if (args.help()) {
        PrintHelp(kQueueVerb);
        return kExitOk;
    }
    args.expect({"DIR", "the queue's NAME"}, 2);
    const bool quit = args.has("--quit-pending");
    const bool put = args.has("--put");
    if (quit == put)
        throw UsageError("give one of --quit-pending and --put TEXT");
    const std::string &name = args.positional()[1];

    Runtime runtime(args.positional()[0]);
    if (quit) {
        STATUS status = StandinMQSetQuitPending(name.c_str());
        if (status == ERR_NO_SUCH_MQ) {
            throw Failure("no queue named " + name + " on " + runtime.dataDirectory());
        }
        if (status != NOERROR) {
            throw Failure("cannot set quit pending on " + name + ": " + StatusText(status));
        }
        std::cout << "Quit is pending on " << name << ".\n";
        return kExitOk;
    }

    const std::string text = args.value("--put");
    if (text.size() > MQ_MAX_MSGSIZE) {
        throw UsageError("the message is longer than " + std::to_string(MQ_MAX_MSGSIZE) + " bytes");
    }
    MQHANDLE queue = 0;
    STATUS status = MQOpen(name.c_str(), 0, &queue);
    if (status == ERR_NO_SUCH_MQ) {
        throw Failure("no queue named " + name + " on " + runtime.dataDirectory());
    }
    if (status != NOERROR)
        throw Failure("cannot open the queue " + name + ": " + StatusText(status));
    status = MQPut(queue, 0, text.data(), static_cast<WORD>(text.size()), 0);
    MQClose(queue, 0);
    if (status != NOERROR)
        throw Failure("cannot put on " + name + ": " + StatusText(status));
    return kExitOk;
}

}  // namespace

const Verb kTellVerb = {"tell", "tell a running task to quit", kTellHelp, RunTell};
const Verb kQueueVerb = {"queue", "set quit pending on a queue, or put a message on it", kQueueHelp,
                         RunQueue};

}  // namespace notesctl
