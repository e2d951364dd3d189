// notesctl request: the front end. Places a request file in the data
// directory, puts its path on the task's request queue and waits for the
// reply.
//
// Several of these may run at once on one data directory: each places its
// file under a name that no other file has (created exclusively, so a file
// in the folder is never replaced), and each waits on a reply queue that it
// created itself, so no command can take another's reply.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

#include "common.h"
#include "notes_api.h"
#include "request_file.h"
#include "standin/mq.h"
#include "verbs.h"

namespace notesctl {
namespace {

const char kRequestQueue[] = "MQ$OutOfOffice";
// The task takes request messages of at most 512 bytes.
constexpr size_t kMaxRequestPath = 512;
constexpr double kDefaultTimeout = 15;
constexpr double kMaxTimeout = 86400;

const char kHelp[] =
    "Usage: notesctl request DIR FILE [--timeout SECONDS]\n"
    "\n"
    "Sends the request file FILE to the task running on the data directory DIR,\n"
    "as the front end does, and waits for its reply:\n"
    "  1. reads the reply queue's name from the request: the MQName attribute of\n"
    "     its Username element (a file that cannot be parsed names none);\n"
    "  2. creates the reply queue, which lives as long as this command; when a\n"
    "     queue of that name exists (another running process made it, and takes\n"
    "     its messages), nothing is sent and the command exits with 3;\n"
    "  3. copies FILE into DIR/requests/ (the folder is made when missing) under\n"
    "     its own name, or, when a file of that name is there, under that name\n"
    "     with \"-PID-N\" before its extension: no file there is replaced;\n"
    "  4. puts the copy's absolute path on the queue MQ$OutOfOffice;\n"
    "  5. waits for one message on the reply queue, prints its text on standard\n"
    "     output followed by a newline, and prints the path of the reply file\n"
    "     (the copy, which the task writes its reply over) on standard error.\n"
    "\n"
    "The file's name selects the kind of request, as the task reads it (e.g.\n"
    "ND_REQUEST_HCR_... for the configure page); the added \"-PID-N\" keeps it.\n"
    "A request without MQName can get no reply: it is sent all the same, the\n"
    "tool says so on standard error and exits with 2 at once. So does a request\n"
    "whose reply queue cannot be created (a name the queues refuse).\n"
    "\n"
    "Options:\n"
    "  --timeout SECONDS  how long to wait for the reply (default 15; 0 takes a\n"
    "                     reply only when one is already there)\n"
    "\n"
    "Fails (exit code 1) when FILE is not a readable file, when its path in DIR\n"
    "would be longer than 512 bytes, or when MQ$OutOfOffice does not exist (the\n"
    "task is not running on DIR). Exits with 3, having sent nothing, when the\n"
    "reply queue is in use by another process.\n";

// Closes a queue handle on every path.
class Queue {
  public:
    Queue() = default;
    ~Queue() {
        if (open_)
            MQClose(handle_, 0);
    }
    Queue(const Queue &) = delete;
    Queue &operator=(const Queue &) = delete;

    STATUS Open(const std::string &name) {
        STATUS status = MQOpen(name.c_str(), 0, &handle_);
        open_ = status == NOERROR;
        return status;
    }
    MQHANDLE handle() const { return handle_; }

  private:
    MQHANDLE handle_ = 0;
    bool open_ = false;
};

DWORD ParseTimeout(const std::string &text) {
    char *end = nullptr;
    errno = 0;
    double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(seconds) || seconds < 0 ||
        seconds > kMaxTimeout) {
        throw UsageError("--timeout needs a number of seconds from 0 to 86400, not \"" + text +
                         "\"");
    }
    return static_cast<DWORD>(std::lround(seconds * 1000));
}

std::string BaseName(const std::string &path) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos)
        return std::string();
    size_t slash = path.rfind('/', end);
    return path.substr(slash == std::string::npos ? 0 : slash + 1,
                       slash == std::string::npos ? end + 1 : end - slash);
}

std::string ReadRequestFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Failure("cannot read the request file " + path);
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        throw Failure("cannot read the request file " + path);
    return content.str();
}

// The name with "-PID-N" before its extension (the last "." that does not
// begin the name), or at its end. The request keys that the task looks for
// hold neither "-" nor digits nor ".", so the insertion neither splits a key
// nor makes one.
std::string NumberedName(const std::string &name, unsigned n) {
    const std::string tag = "-" + std::to_string(getpid()) + "-" + std::to_string(n);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return name + tag;
    return name.substr(0, dot) + tag + name.substr(dot);
}

bool WriteAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Writes the request into the folder under a name that no file there has,
// taken with O_EXCL: the name itself when it is free, else a numbered one.
// The task reads the file only once its path is on the queue, after this.
std::string PlaceRequest(const std::string &folder, const std::string &name,
                         const std::string &content) {
    constexpr unsigned kMaxTries = 1000;
    for (unsigned n = 0; n < kMaxTries; n++) {
        const std::string target = folder + "/" + (n == 0 ? name : NumberedName(name, n));
        if (target.size() > kMaxRequestPath) {
            throw Failure(
                "the request file's path in the data directory is longer than 512 bytes: " +
                target);
        }
        int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            throw Failure("cannot place the request file at " + target + ": " +
                          std::strerror(errno));
        }
        bool written = WriteAll(fd, content);
        std::string reason = std::strerror(errno);
        if (close(fd) != 0 && written) {
            written = false;
            reason = std::strerror(errno);
        }
        if (!written) {
            unlink(target.c_str());
            throw Failure("cannot write the request file " + target + ": " + reason);
        }
        return target;
    }
    throw Failure("no free name for the request file " + name + " in " + folder + " after " +
                  std::to_string(kMaxTries) + " tries");
}

// The process that made the queue, or 0 when it cannot be told.
int QueueCreator(const std::string &queueName) {
    std::vector<StandinQueueInfo> queues(64);
    DWORD count = StandinMQList(queues.data(), static_cast<DWORD>(queues.size()));
    if (count > queues.size()) {
        queues.resize(count);
        count = StandinMQList(queues.data(), static_cast<DWORD>(queues.size()));
    }
    for (DWORD i = 0; i < count && i < queues.size(); i++) {
        if (queueName == queues[i].name)
            return queues[i].creatorPid;
    }
    return 0;
}

// Queue names are LMBCS, as the task converts the request's name.
std::string ToLmbcs(const std::string &utf8) {
    if (utf8.size() > MQ_MAX_NAME)
        return utf8;  // refused by the queue calls all the same
    std::vector<char> out(utf8.size() * 3 + 1);
    WORD length =
        OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, utf8.data(), static_cast<WORD>(utf8.size()),
                    out.data(), static_cast<WORD>(out.size()));
    return std::string(out.data(), length);
}

int Run(const Words &words) {
    Args args(words, {{"--timeout", true}});
    if (args.help()) {
        PrintHelp(kRequestVerb);
        return kExitOk;
    }
    args.expect({"DIR", "FILE"}, 2);
    const DWORD timeoutMs = args.has("--timeout") ? ParseTimeout(args.value("--timeout"))
                                                  : static_cast<DWORD>(kDefaultTimeout * 1000);
    const std::string &dir = args.positional()[0];
    const std::string &file = args.positional()[1];
    if (!IsRegularFile(file))
        throw Failure("no request file " + file);
    if (access(file.c_str(), R_OK) != 0)
        throw Failure("cannot read the request file " + file);
    const std::string name = BaseName(file);

    Runtime runtime(dir);
    const std::string folder = runtime.dataDirectory() + "/requests";
    if (!IsDirectory(folder) && mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        throw Failure("cannot create the folder " + folder + ": " + std::strerror(errno));
    }
    if (folder.size() + 1 + name.size() > kMaxRequestPath) {
        throw Failure("the request file's path in the data directory is longer than 512 bytes: " +
                      folder + "/" + name);
    }

    Queue requests;
    STATUS status = requests.Open(kRequestQueue);
    if (status == ERR_NO_SUCH_MQ) {
        throw Failure(std::string("the queue ") + kRequestQueue + " does not exist on " +
                      runtime.dataDirectory() + ": the task is not running");
    }
    if (status != NOERROR) {
        throw Failure(std::string("cannot open the queue ") + kRequestQueue + ": " +
                      StatusText(status));
    }

    const std::string content = ReadRequestFile(file);
    ReplyQueueName reply = ReplyQueueNameOf(content);

    // The reply queue must be there before the task can answer, and only
    // this command may take from it.
    Queue replies;
    std::string noReply;
    if (reply.name.empty()) {
        noReply = reply.parsed ? "the request names no reply queue (no MQName)"
                               : "the request cannot be parsed (" + reply.problem +
                                     "), so it names no reply queue";
    } else {
        std::string queueName = ToLmbcs(reply.name);
        status = MQCreate(queueName.c_str(), 0, 0);
        if (status == ERR_DUPLICATE_MQ) {
            int creator = QueueCreator(queueName);
            Note("the reply queue \"" + reply.name + "\" is in use by another process" +
                 (creator > 0 ? " (pid " + std::to_string(creator) + ")" : std::string()) +
                 ", which would take the reply; the request was not sent");
            return kExitQueueInUse;
        }
        if (status == NOERROR)
            status = replies.Open(queueName);
        if (status != NOERROR) {
            noReply =
                "the reply queue \"" + reply.name + "\" cannot be created: " + StatusText(status);
        }
    }

    const std::string target = PlaceRequest(folder, name, content);

    status = MQPut(requests.handle(), 0, target.data(), static_cast<WORD>(target.size()), 0);
    if (status != NOERROR) {
        unlink(target.c_str());  // nobody will read it
        throw Failure(std::string("cannot put the request on ") + kRequestQueue + ": " +
                      StatusText(status));
    }
    if (!noReply.empty()) {
        Note(noReply + "; the request was sent, and no reply can come");
        return kExitNoReply;
    }

    std::vector<char> buffer(MQ_MAX_MSGSIZE);
    WORD length = 0;
    status = MQGet(replies.handle(), buffer.data(), static_cast<WORD>(buffer.size()), 0, timeoutMs,
                   &length);
    if (status == ERR_MQ_TIMEOUT || status == ERR_MQ_EMPTY) {
        Note("no reply on \"" + reply.name + "\" within " + args.value("--timeout", "15") +
             " seconds");
        return kExitNoReply;
    }
    if (status != NOERROR) {
        throw Failure("cannot take the reply from \"" + reply.name + "\": " + StatusText(status));
    }
    std::cout.write(buffer.data(), length);
    std::cout << std::endl;
    Note("reply file: " + target);
    return kExitOk;
}

}  // namespace

const Verb kRequestVerb = {"request", "send a request file to the task and wait for its reply",
                           kHelp, Run};

}  // namespace notesctl
