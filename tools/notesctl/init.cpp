// notesctl init: a new data directory.
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
extern const char kProductTemplateDxl[];
extern const size_t kProductTemplateDxlSize;
extern const char kProductTemplateExDxl[];
extern const size_t kProductTemplateExDxlSize;

namespace {

const char kDefaultServer[] = "Vanterra/Demo";
const char kProductDb[] = "HCR.nsf";
const char kProductTemplate[] = "HCR.ntf";
const char kProductTemplateEx[] = "HCREx.ntf";
const char kLogDb[] = "log.nsf";
const char kDirectoryDb[] = "names.nsf";
const char kMailTemplate[] = "mail.ntf";
// The log build from which provisioning makes HCR.nsf from HCREx.ntf.
constexpr WORD kExTemplateBuild = 400;

const char kHelp[] =
    "Usage: notesctl init DIR [--server NAME] [--hcr-build N] [--admin NAME]...\n"
    "                         [--full-admin NAME]... [--cluster NAME]\n"
    "                         [--hcr-directory FOLDER] [--no-template FILE]...\n"
    "                         [--log-build N] [--product-db] [--force]\n"
    "\n"
    "Makes a new data directory DIR (created when missing) for a server:\n"
    "  notes.ini      ServerName=NAME, Directory=DIR's absolute path, and\n"
    "                 HCRDirectory=FOLDER when given\n"
    "  servers.ini    the server registry, with this server registered on DIR\n"
    "  HCR.ntf        the task's product templates, in the product folder\n"
    "  HCREx.ntf      (FOLDER, else DIR): the view \"(Setup Doc)\", the form\n"
    "                 \"FServerLicense\", the roles [Admin] and [SysAdmin], and\n"
    "                 the bracketed ACL entries a new database inherits; the\n"
    "                 template names Halcyra and HalcyraEx\n"
    "  HCR.nsf        only with --product-db or --hcr-build: the task's product\n"
    "                 database, which the task's provisioning otherwise makes at\n"
    "                 its first start\n"
    "  names.nsf      the directory: the views $Users, ($Servers), ($Clusters)\n"
    "                 and ($Groups), and this server's server document (Form\n"
    "                 \"Server\", ServerName canonical, ClusterName, the text\n"
    "                 lists Administrator and FullAdmin)\n"
    "  mail.ntf       the mail template: the form \"(Out Of Office Profile)\", the\n"
    "                 agent \"OutOfOffice\" (disabled) and the icon note\n"
    "  log.nsf        the server's log, only with --log-build\n"
    "  requests/      the folder where notesctl request places request files\n"
    "  .server/       the server's shared state (message queues, tasks)\n"
    "\n"
    "Options:\n"
    "  --server NAME  the server's name (default \"Vanterra/Demo\")\n"
    "  --hcr-build N  make HCR.nsf (as --product-db) with the build version N\n"
    "                 (1 to 65535; otherwise the stand-in's own, which allows\n"
    "                 the out-of-office API)\n"
    "  --admin NAME   an administrator of the server (repeatable), in the server\n"
    "                 document's Administrator list, canonical\n"
    "  --full-admin NAME  a full administrator (repeatable), in FullAdmin\n"
    "  --cluster NAME the server's cluster (ClusterName; none by default)\n"
    "  --hcr-directory FOLDER  the product folder (notes.ini HCRDirectory): a\n"
    "                 folder of DIR, or an absolute one, for HCR.ntf, HCREx.ntf\n"
    "                 and HCR.nsf (default: DIR itself, and no HCRDirectory)\n"
    "  --no-template FILE  leave out HCR.ntf or HCREx.ntf (repeatable)\n"
    "  --log-build N  make log.nsf with the build version N (1 to 65535); without\n"
    "                 it there is no log.nsf, so the task's provisioning takes\n"
    "                 its build as 0 and makes HCR.nsf from HCR.ntf\n"
    "  --product-db   make HCR.nsf as the task's provisioning makes it (its\n"
    "                 design, the template's bracketed ACL entries, the template\n"
    "                 name as the template it inherits from): from HCREx.ntf when\n"
    "                 log.nsf has a build of 400 or more, else from HCR.ntf (from\n"
    "                 the other one when that is left out; empty when both are)\n"
    "  --force        also use a DIR that exists and is not empty: notes.ini,\n"
    "                 the product files, log.nsf, names.nsf and mail.ntf are\n"
    "                 made anew (or removed when left out), other files are left\n"
    "                 as they are\n"
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

WORD ParseBuild(const std::string &option, const std::string &text) {
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 1 || value > 65535) {
        throw UsageError(option + " needs a number from 1 to 65535, not \"" + text + "\"");
    }
    return static_cast<WORD>(value);
}

void WriteNotesIni(const std::string &dir, const std::string &server,
                   const std::string &productDirectory) {
    std::string path = dir + "/notes.ini";
    std::string temp = path + ".new";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << "[Notes]\n"
            << "Directory=" << dir << "\n"
            << "ServerName=" << server << "\n";
        if (!productDirectory.empty())
            out << "HCRDirectory=" << productDirectory << "\n";
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

void CheckOk(STATUS status, const std::string &what) {
    if (status != NOERROR)
        throw Failure(what + ": " + StatusText(status));
}

// HCR.nsf from a template, as the task's provisioning makes it: the
// template's design, its bracketed ACL entries, and in the information
// text no template name of its own but the template's as the one it
// inherits from.
void MakeProductDatabase(const std::string &dataDir, const std::string &database,
                         const std::string &templatePath) {
    const std::string full = DatabasePath(dataDir, database);
    DbHandle db;
    CheckOk(NSFDbCreateAndCopy(templatePath.c_str(), database.c_str(), NOTE_CLASS_ALLNONDATA, 0, 0,
                               &db.handle_),
            "cannot make " + full + " from " + templatePath);
    try {
        DbHandle source;
        CheckOk(NSFDbOpen(templatePath.c_str(), &source.handle_), "cannot open " + templatePath);
        CheckOk(NSFDbCopyTemplateACL(source.handle_, db.handle_, nullptr, 0),
                "cannot give " + full + " the ACL of " + templatePath);
        char info[NSF_INFO_SIZE] = {};
        char name[NSF_INFO_SIZE] = {};
        CheckOk(NSFDbInfoGet(db.handle_, info), "cannot read the information of " + full);
        CheckOk(NSFDbInfoParse(info, INFOPARSE_CLASS, name, sizeof name),
                "cannot read the template name of " + full);
        CheckOk(NSFDbInfoModify(info, INFOPARSE_CLASS, ""),
                "cannot change the information of " + full);
        CheckOk(NSFDbInfoModify(info, INFOPARSE_DESIGN_CLASS, name),
                "cannot change the information of " + full);
        CheckOk(NSFDbInfoSet(db.handle_, info), "cannot store the information of " + full);
    } catch (const Failure &) {
        db.Close();
        RemoveDatabaseFiles(full);
        throw;
    }
}

int Run(const Words &words) {
    Args args(words, {{"--server", true},
                      {"--hcr-build", true},
                      {"--admin", true, true},
                      {"--full-admin", true, true},
                      {"--cluster", true},
                      {"--hcr-directory", true},
                      {"--no-template", true, true},
                      {"--log-build", true},
                      {"--product-db", false},
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
    const WORD build = chosenBuild ? ParseBuild("--hcr-build", args.value("--hcr-build")) : 0;
    const bool productDb = args.has("--product-db") || chosenBuild;
    const bool logDb = args.has("--log-build");
    const WORD logBuild = logDb ? ParseBuild("--log-build", args.value("--log-build")) : 0;
    const std::string productDirectory = args.value("--hcr-directory");
    if (args.has("--hcr-directory") && productDirectory.empty())
        throw UsageError("the --hcr-directory folder is empty");
    for (unsigned char c : productDirectory) {
        if (c < 0x20 || c == 0x7F)
            throw UsageError("the --hcr-directory folder holds a control character");
    }
    bool withTemplate = true, withTemplateEx = true;
    for (const std::string &name : args.values("--no-template")) {
        if (strcasecmp(name.c_str(), kProductTemplate) == 0)
            withTemplate = false;
        else if (strcasecmp(name.c_str(), kProductTemplateEx) == 0)
            withTemplateEx = false;
        else
            throw UsageError("--no-template takes HCR.ntf or HCREx.ntf, not \"" + name + "\"");
    }
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
    WriteNotesIni(dir, server, productDirectory);

    Runtime runtime(dir);
    STATUS status = StandinServerRegister(server.c_str(), runtime.dataDirectory().c_str());
    if (status != NOERROR) {
        throw Failure("cannot register the server " + server + ": " + StatusText(status));
    }

    // The product files: "\\" joins as the task joins them; the library
    // takes it for a folder separator.
    auto product = [&](const char *name) {
        return productDirectory.empty() ? std::string(name) : productDirectory + "\\" + name;
    };
    if (force) {
        for (const std::string &old : {product(kProductDb), product(kProductTemplate),
                                       product(kProductTemplateEx), std::string(kLogDb)}) {
            std::string path = DatabasePath(runtime.dataDirectory(), old);
            std::replace(path.begin(), path.end(), '\\', '/');
            if (unlink(path.c_str()) != 0 && errno != ENOENT)
                throw Failure("cannot remove the old " + path + ": " + std::strerror(errno));
            RemoveDatabaseFiles(path);
        }
    }
    if (withTemplate) {
        MakeDatabase(runtime.dataDirectory(), product(kProductTemplate).c_str(), false,
                     {std::string(kProductTemplateDxl, kProductTemplateDxlSize)});
    }
    if (withTemplateEx) {
        MakeDatabase(runtime.dataDirectory(), product(kProductTemplateEx).c_str(), false,
                     {std::string(kProductTemplateExDxl, kProductTemplateExDxlSize)});
    }
    if (logDb) {
        CheckOk(StandinDbCreate(kLogDb, DBCLASS_BY_EXTENSION, logBuild),
                "cannot create " + runtime.dataDirectory() + "/" + kLogDb);
    }
    if (productDb) {
        // The template the task's provisioning would choose.
        const bool ex = (logBuild >= kExTemplateBuild && withTemplateEx) || !withTemplate;
        const std::string db = product(kProductDb);
        if (withTemplate || withTemplateEx) {
            MakeProductDatabase(runtime.dataDirectory(), db,
                                product(ex ? kProductTemplateEx : kProductTemplate));
        } else {
            CheckOk(NSFDbCreate(db.c_str(), DBCLASS_BY_EXTENSION, FALSE),
                    "cannot create " + DatabasePath(runtime.dataDirectory(), db));
        }
        if (chosenBuild) {
            CheckOk(StandinDbSetBuildVersion(db.c_str(), build),
                    "cannot set the build of " + DatabasePath(runtime.dataDirectory(), db));
        }
    }

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
    if (!productDb)
        std::cout << "It has no HCR.nsf: the task makes it when it first starts.\n";
    return kExitOk;
}

}  // namespace

const Verb kInitVerb = {"init", "make a new data directory", kHelp, Run};

}  // namespace notesctl
