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
#include "standin/dxl.h"
#include "standin/mq.h"
#include "standin/nsf.h"
#include "verbs.h"

namespace notesctl {

// The designs of designs/, built in (designs_embedded.cpp).
extern const char kMailTemplateDxl[];
extern const size_t kMailTemplateDxlSize;
extern const char kDirectoryViewsDxl[];
extern const size_t kDirectoryViewsDxlSize;

namespace {

const char kDefaultServer[] = "Vanterra/Demo";
const char kProductDb[] = "HCR.nsf";
const char kDirectoryDb[] = "names.nsf";
const char kMailTemplate[] = "mail.ntf";

const char kHelp[] =
    "Usage: notesctl init DIR [--server NAME] [--hcr-build N] [--admin NAME]...\n"
    "                         [--full-admin NAME]... [--cluster NAME] [--force]\n"
    "\n"
    "Makes a new data directory DIR (created when missing) for a server:\n"
    "  notes.ini      ServerName=NAME and Directory=DIR's absolute path\n"
    "  servers.ini    the server registry, with this server registered on DIR\n"
    "  HCR.nsf        the task's product database, empty\n"
    "  names.nsf      the directory: the views $Users, ($Servers), ($Clusters)\n"
    "                 and ($Groups), and this server's server document (Form\n"
    "                 \"Server\", ServerName canonical, ClusterName, the text\n"
    "                 lists Administrator and FullAdmin)\n"
    "  mail.ntf       the mail template: the form \"(Out Of Office Profile)\", the\n"
    "                 agent \"OutOfOffice\" (disabled) and the icon note\n"
    "  requests/      the folder where notesctl request places request files\n"
    "  .server/       the server's shared state (message queues, tasks)\n"
    "\n"
    "Options:\n"
    "  --server NAME  the server's name (default \"Vanterra/Demo\")\n"
    "  --hcr-build N  the build version recorded in HCR.nsf (1 to 65535; default\n"
    "                 the stand-in's own, which allows the out-of-office API)\n"
    "  --admin NAME   an administrator of the server (repeatable), in the server\n"
    "                 document's Administrator list, canonical\n"
    "  --full-admin NAME  a full administrator (repeatable), in FullAdmin\n"
    "  --cluster NAME the server's cluster (ClusterName; none by default)\n"
    "  --force        also use a DIR that exists and is not empty: notes.ini,\n"
    "                 HCR.nsf, names.nsf and mail.ntf are made anew, other files\n"
    "                 are left as they are\n"
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

std::string XmlEscape(const std::string &text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// A name as the directory keeps it: canonical.
std::string Canonical(const std::string &option, const std::string &name) {
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F)
            throw UsageError(option + " " + name + ": the name holds a control character");
    }
    char out[MAXDNAME + 1] = {};
    WORD length = 0;
    if (name.empty() ||
        DNCanonicalize(0, nullptr, name.c_str(), out, sizeof out, &length) != NOERROR)
        throw UsageError(option + " \"" + name + "\" is no name");
    return std::string(out, length);
}

std::string TextList(const std::vector<std::string> &names) {
    std::string out = "<textlist>";
    for (const std::string &name : names)
        out += "<text>" + XmlEscape(name) + "</text>";
    return out + "</textlist>";
}

struct MemoryText {
    const char *bytes;
    size_t left;
};

STATUS LNCALLBACK ReadMemory(void *context, char *buffer, DWORD length, DWORD *retLength) {
    auto *text = static_cast<MemoryText *>(context);
    size_t n = text->left < length ? text->left : length;
    std::memcpy(buffer, text->bytes, n);
    text->bytes += n;
    text->left -= n;
    *retLength = static_cast<DWORD>(n);
    return NOERROR;
}

// Makes a database anew (removing an old one with force) and imports the
// DXL texts into it.
void MakeDatabase(const std::string &dataDir, const char *path, bool force,
                  const std::vector<std::string> &texts) {
    const std::string full = dataDir + "/" + path;
    if (force && unlink(full.c_str()) != 0 && errno != ENOENT)
        throw Failure("cannot remove the old " + full + ": " + std::strerror(errno));
    if (force)
        RemoveDatabaseFiles(full);  // the files SQLite kept beside the old one
    STATUS status = NSFDbCreate(path, DBCLASS_BY_EXTENSION, FALSE);
    if (status != NOERROR)
        throw Failure("cannot create " + full + ": " + StatusText(status));
    DbHandle db;
    status = NSFDbOpen(path, &db.handle_);
    if (status != NOERROR)
        throw Failure("cannot open " + full + ": " + StatusText(status));
    for (const std::string &text : texts) {
        MemoryText reader{text.data(), text.size()};
        StandinDxlResult result{};
        status = StandinDxlImport(db.handle_, ReadMemory, &reader, &result);
        if (status != NOERROR) {
            throw Failure("cannot fill " + full + ": " + result.message + " (" +
                          StatusText(status) + ")");
        }
    }
}

int Run(const Words &words) {
    Args args(words, {{"--server", true},
                      {"--hcr-build", true},
                      {"--admin", true, true},
                      {"--full-admin", true, true},
                      {"--cluster", true},
                      {"--force", false}});
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
    std::vector<std::string> admins, fullAdmins;
    for (const std::string &name : args.values("--admin"))
        admins.push_back(Canonical("--admin", name));
    for (const std::string &name : args.values("--full-admin"))
        fullAdmins.push_back(Canonical("--full-admin", name));
    const std::string cluster = args.value("--cluster");
    for (unsigned char c : cluster) {
        if (c < 0x20 || c == 0x7F)
            throw UsageError("the cluster's name holds a control character");
    }
    const std::string serverCanonical = Canonical("--server", server);

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

    const std::string serverDocument =
        "<database><document form='Server'>"
        "<item name='Type' summary='true'><text>Server</text></item>"
        "<item name='ServerName' summary='true' names='true'><text>" +
        XmlEscape(serverCanonical) +
        "</text></item>"
        "<item name='ClusterName' summary='true'><text>" +
        XmlEscape(cluster) +
        "</text></item>"
        "<item name='Administrator' summary='true' names='true'>" +
        TextList(admins) +
        "</item>"
        "<item name='FullAdmin' summary='true' names='true'>" +
        TextList(fullAdmins) + "</item></document></database>";
    MakeDatabase(runtime.dataDirectory(), kDirectoryDb, force,
                 {std::string(kDirectoryViewsDxl, kDirectoryViewsDxlSize), serverDocument});
    MakeDatabase(runtime.dataDirectory(), kMailTemplate, force,
                 {std::string(kMailTemplateDxl, kMailTemplateDxlSize)});

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
