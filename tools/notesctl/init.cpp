// notesctl init: a new data directory.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

#include "common.h"
#include "notes_api.h"
#include "standin/addin.h"
#include "standin/mq.h"
#include "standin/nsf.h"
#include "verbs.h"

namespace notesctl {
namespace {

const char kDefaultServer[] = "Vanterra/Demo";
const char kProductDb[] = "HCR.nsf";

const char kHelp[] =
    "Usage: notesctl init DIR [--server NAME] [--hcr-build N] [--force]\n"
    "\n"
    "Makes a new data directory DIR (created when missing) for a server:\n"
    "  notes.ini      ServerName=NAME and Directory=DIR's absolute path\n"
    "  servers.ini    the server registry, with this server registered on DIR\n"
    "  HCR.nsf        the task's product database, empty\n"
    "  requests/      the folder where notesctl request places request files\n"
    "  .server/       the server's shared state (message queues, tasks)\n"
    "\n"
    "Options:\n"
    "  --server NAME  the server's name (default \"Vanterra/Demo\")\n"
    "  --hcr-build N  the build version recorded in HCR.nsf (1 to 65535; default\n"
    "                 the stand-in's own, which allows the out-of-office API)\n"
    "  --force        also use a DIR that exists and is not empty: notes.ini and\n"
    "                 HCR.nsf are made anew, other files are left as they are\n"
    "\n"
    "A DIR that exists and is not empty is refused without --force.\n";

bool IsEmptyDirectory(const std::string &path) {
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        return false;
    bool empty = true;
    while (dirent *entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    closedir(dir);
    return empty;
}

// mkdir -p.
void MakeDirectories(const std::string &path) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        size_t slash = path.find('/', pos + 1);
        partial = path.substr(0, slash);
        pos = slash;
        if (partial.empty() || IsDirectory(partial))
            continue;
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            throw Failure("cannot create the folder " + partial + ": " + std::strerror(errno));
        }
    }
}

// A server name goes into notes.ini as one line.
void CheckServerName(const std::string &name) {
    if (name.empty())
        throw UsageError("the server's name is empty");
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F)
            throw UsageError("the server's name holds a control character");
    }
}

WORD ParseBuild(const std::string &text) {
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 1 || value > 65535) {
        throw UsageError("--hcr-build needs a number from 1 to 65535, not \"" + text + "\"");
    }
    return static_cast<WORD>(value);
}

void WriteNotesIni(const std::string &dir, const std::string &server) {
    std::string path = dir + "/notes.ini";
    std::string temp = path + ".new";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << "[Notes]\n"
            << "Directory=" << dir << "\n"
            << "ServerName=" << server << "\n";
        out.flush();
        if (!out)
            throw Failure("cannot write " + temp);
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::string reason = std::strerror(errno);
        unlink(temp.c_str());
        throw Failure("cannot write " + path + ": " + reason);
    }
}

// A forced init must not pull notes.ini and HCR.nsf from under a task.
void RefuseWhileATaskRuns(const std::string &dir) {
    if (!IsRegularFile(dir + "/notes.ini"))
        return;
    DWORD tasks = 0;
    try {
        Runtime runtime(dir);
        StandinListTasks(nullptr, nullptr, &tasks);
    } catch (const Failure &) {
        return;  // a notes.ini that the runtime cannot start on has no tasks
    }
    if (tasks > 0)
        throw Failure("a task is running on " + dir + "; stop it first");
}

int Run(const Words &words) {
    Args args(words, {{"--server", true}, {"--hcr-build", true}, {"--force", false}});
    if (args.help()) {
        PrintHelp(kInitVerb);
        return kExitOk;
    }
    args.expect({"DIR"}, 1);
    const std::string server = args.value("--server", kDefaultServer);
    CheckServerName(server);
    const bool force = args.has("--force");
    const bool chosenBuild = args.has("--hcr-build");
    const WORD build = chosenBuild ? ParseBuild(args.value("--hcr-build")) : 0;

    const std::string given = args.positional()[0];
    if (given.empty())
        throw UsageError("DIR is empty");
    for (unsigned char c : given) {
        if (c < 0x20 || c == 0x7F)
            throw UsageError("DIR holds a control character");
    }
    struct stat st {};
    if (stat(given.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            throw Failure(given + " exists and is not a folder");
        if (!force && !IsEmptyDirectory(given)) {
            throw Failure(given + " exists and is not empty (use --force to use it all the same)");
        }
        RefuseWhileATaskRuns(given);
    }
    MakeDirectories(AbsolutePath(given));
    const std::string dir = AbsolutePath(given);
    WriteNotesIni(dir, server);

    Runtime runtime(dir);
    STATUS status = StandinServerRegister(server.c_str(), runtime.dataDirectory().c_str());
    if (status != NOERROR) {
        throw Failure("cannot register the server " + server + ": " + StatusText(status));
    }

    const std::string db = runtime.dataDirectory() + "/" + kProductDb;
    if (force && unlink(db.c_str()) != 0 && errno != ENOENT) {
        throw Failure("cannot remove the old " + db + ": " + std::strerror(errno));
    }
    status = chosenBuild ? StandinDbCreate(kProductDb, DBCLASS_BY_EXTENSION, build)
                         : NSFDbCreate(kProductDb, DBCLASS_BY_EXTENSION, FALSE);
    if (status != NOERROR)
        throw Failure("cannot create " + db + ": " + StatusText(status));

    MakeDirectories(runtime.dataDirectory() + "/requests");
    // Listing the queues sets up the queues' store of the data directory.
    StandinMQList(nullptr, 0);

    std::cout << "Data directory " << runtime.dataDirectory() << " is ready for the server "
              << server << ".\n";
    return kExitOk;
}

}  // namespace

const Verb kInitVerb = {"init", "make a new data directory", kHelp, Run};

}  // namespace notesctl
