#include "nsf_db.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "fault.h"
#include "ini_file.h"
#include "nsf_internal.h"
#include "os_error.h"
#include "runtime_state.h"
#include "standin/nsf.h"

using notes_internal::HandleKind;
using notes_internal::TrimBlanks;
using notes_internal::nsf::DbFile;
using notes_internal::nsf::DbForCall;
using notes_internal::nsf::DbObject;

namespace {

struct ServerLine {
    std::string name;  // as written
    std::string directory;
    bool down = false;
};

std::string RegistryPath() {
    return notes_internal::DataDirectory() + "/servers.ini";
}

// Every line of servers.ini; servers is filled with the parsed ones and
// index[i] tells which line each came from.
void ReadRegistry(std::vector<std::string> *lines, std::vector<ServerLine> *servers,
                  std::vector<size_t> *index) {
    std::ifstream in(RegistryPath(), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        lines->push_back(line);
        std::string text = TrimBlanks(line);
        if (text.empty() || text[0] == '#' || text[0] == ';')
            continue;
        std::vector<std::string> fields;
        size_t start = 0;
        for (;;) {
            size_t bar = text.find('|', start);
            fields.push_back(
                TrimBlanks(text.substr(start, bar == std::string::npos ? bar : bar - start)));
            if (bar == std::string::npos)
                break;
            start = bar + 1;
        }
        if (fields.size() < 2 || fields[0].empty() || fields[1].empty())
            continue;
        ServerLine server;
        server.name = fields[0];
        server.directory = fields[1];
        server.down = fields.size() > 2 &&
                      notes_internal::nsf::FoldName(fields[2].data(), fields[2].size()) == "down";
        servers->push_back(server);
        index->push_back(lines->size() - 1);
    }
}

bool IsLocalServer(const std::string &server) {
    if (server.empty())
        return true;
    std::optional<std::string> local =
        notes_internal::IniGet(notes_internal::IniPath(), "ServerName");
    return local && !local->empty() &&
           notes_internal::nsf::NormaliseName(*local) == notes_internal::nsf::NormaliseName(server);
}

bool IsDirectory(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The data directory that serves a server's databases.
STATUS ServerDirectory(const std::string &server, std::string *out) {
    std::string local = notes_internal::DataDirectory();
    if (IsLocalServer(server)) {
        *out = local;
        return NOERROR;
    }
    std::vector<std::string> lines;
    std::vector<ServerLine> servers;
    std::vector<size_t> index;
    ReadRegistry(&lines, &servers, &index);
    std::string wanted = notes_internal::nsf::NormaliseName(server);
    for (const ServerLine &entry : servers) {
        if (notes_internal::nsf::NormaliseName(entry.name) != wanted)
            continue;
        if (entry.down)
            return ERR_SERVER_NOT_RESPONDING;
        std::string dir =
            entry.directory[0] == '/' ? entry.directory : local + "/" + entry.directory;
        if (!IsDirectory(dir))
            return ERR_SERVER_NOT_RESPONDING;
        char resolved[PATH_MAX];
        *out = realpath(dir.c_str(), resolved) ? resolved : dir;
        return NOERROR;
    }
    return ERR_UNKNOWN_SERVER;
}

// "\" and "/" alike, no doubled separators, no "./" parts.
std::string CleanFilePath(const std::string &file) {
    std::string out;
    for (char ch : file) {
        if (ch == '\\')
            ch = '/';
        if (ch == '/' && !out.empty() && out.back() == '/')
            continue;
        out += ch;
    }
    while (out.compare(0, 2, "./") == 0)
        out.erase(0, 2);
    for (size_t pos; (pos = out.find("/./")) != std::string::npos;)
        out.erase(pos, 2);
    return out;
}

// The part after "SERVER!!", cleaned: the path that fault rules name.
std::string FaultPath(const char *path) {
    if (path == nullptr)
        return "";
    std::string text(path);
    size_t bang = text.find("!!");
    std::string file = CleanFilePath(bang == std::string::npos ? text : text.substr(bang + 2));
    std::string dir = notes_internal::DataDirectory();
    if (!dir.empty() && file.compare(0, dir.size() + 1, dir + "/") == 0)
        file.erase(0, dir.size() + 1);
    return file;
}

// A host file name with its ASCII letters in small case. File names here
// are the host's own (UTF-8), not LMBCS: they do not go through the
// collation of names, whose folds of bytes above 0x7F would match unlike
// names.
std::string FoldFileName(const char *name, size_t length) {
    std::string key(name, length);
    for (char &ch : key) {
        if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch - 'A' + 'a');
    }
    return key;
}

// The path with each folder and file name that exists under another case
// written as it exists (paths from the platform's world ignore case); the
// parts that exist in no case stay as given, so that a new database goes
// into the folder that is there.
std::string MatchIgnoringCase(const std::string &base, const std::string &relative) {
    std::string current = base;
    size_t start = 0;
    bool matching = true;
    while (start < relative.size()) {
        size_t slash = relative.find('/', start);
        if (slash == std::string::npos)
            slash = relative.size();
        std::string part = relative.substr(start, slash - start);
        start = slash + 1;
        std::string exact = current + "/" + part;
        struct stat st {};
        if (!matching || lstat(exact.c_str(), &st) == 0) {
            current = exact;
            continue;
        }
        DIR *dir = opendir(current.c_str());
        std::string key = FoldFileName(part.data(), part.size());
        std::string found;
        while (dir != nullptr) {
            struct dirent *entry = readdir(dir);
            if (entry == nullptr)
                break;
            if (FoldFileName(entry->d_name, std::strlen(entry->d_name)) == key) {
                found = entry->d_name;
                break;
            }
        }
        if (dir != nullptr)
            closedir(dir);
        if (found.empty()) {
            matching = false;
            current = exact;
        } else {
            current += "/" + found;
        }
    }
    return current;
}

struct Resolved {
    std::string abs;  // absolute file path (canonical when the file exists)
    std::string rel;  // relative to the serving data directory, or absolute
    bool exists = false;
};

STATUS Resolve(const char *path, Resolved *out) {
    if (!notes_internal::RuntimeStarted())
        return ERR_NOT_INITIALIZED;
    if (path == nullptr || *path == '\0')
        return ERR_BAD_PATH;
    std::string text(path);
    std::string server, file = text;
    size_t bang = text.find("!!");
    if (bang != std::string::npos) {
        server = TrimBlanks(text.substr(0, bang));
        file = text.substr(bang + 2);
    }
    file = CleanFilePath(file);
    if (file.empty() || file.back() == '/')
        return ERR_BAD_PATH;
    std::string dir;
    if (STATUS status = ServerDirectory(server, &dir))
        return status;

    std::string abs;
    if (file[0] == '/') {
        abs = file;
        out->rel =
            file.compare(0, dir.size() + 1, dir + "/") == 0 ? file.substr(dir.size() + 1) : file;
    } else {
        abs = dir + "/" + file;
        out->rel = file;
    }
    struct stat st {};
    if (stat(abs.c_str(), &st) != 0 && file[0] != '/')
        abs = MatchIgnoringCase(dir, file);
    out->exists = stat(abs.c_str(), &st) == 0;
    char resolved[PATH_MAX];
    if (out->exists && realpath(abs.c_str(), resolved) != nullptr)
        abs = resolved;
    out->abs = abs;
    return NOERROR;
}

STATUS CreateDatabase(const char *PathName, USHORT DbClass, WORD build, BOOL force) {
    Resolved where;
    if (STATUS status = Resolve(PathName, &where))
        return status;
    std::string name = where.abs.substr(where.abs.rfind('/') + 1);
    size_t dot = name.rfind('.');
    std::string extension =
        dot == std::string::npos ? "" : FoldFileName(name.data() + dot, name.size() - dot);
    if (DbClass == DBCLASS_BY_EXTENSION)
        DbClass = extension == ".ntf" ? DBCLASS_TEMPLATEFILE : DBCLASS_NOTEFILE;
    else if (DbClass != DBCLASS_NOTEFILE && DbClass != DBCLASS_TEMPLATEFILE)
        return ERR_BAD_PARAM;
    std::string title = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    return DbFile::Create(where.abs, where.rel, DbClass, build, title, force != FALSE);
}

STATUS OpenDatabase(const char *PathName, std::shared_ptr<DbObject> *out) {
    Resolved where;
    if (STATUS status = Resolve(PathName, &where))
        return status;
    if (!where.exists)
        return ERR_NOEXIST;
    auto db = std::make_shared<DbObject>();
    if (STATUS status = DbFile::Open(where.abs, where.rel, &db->file))
        return status;
    *out = std::move(db);
    return NOERROR;
}

}  // namespace

STATUS notes_internal::nsf::OpenDbFile(const char *path, std::shared_ptr<DbFile> *out) {
    std::shared_ptr<DbObject> db;
    if (STATUS status = OpenDatabase(path, &db))
        return status;
    *out = db->file;
    return NOERROR;
}

STATUS LNPUBLIC NSFDbOpen(const char far *PathName, DBHANDLE far *rethDB) {
    if (STATUS fault = notes_internal::FaultCheck("NSFDbOpen", FaultPath(PathName).c_str()))
        return fault;
    if (rethDB == nullptr)
        return ERR_BAD_PARAM;
    *rethDB = NULLHANDLE;
    std::shared_ptr<DbObject> db;
    if (STATUS status = OpenDatabase(PathName, &db))
        return status;
    DBHANDLE handle = notes_internal::RegisterHandle(HandleKind::Database, db);
    if (handle == NULLHANDLE)
        return ERR_MEMORY;
    db->handle = handle;
    notes_internal::nsf::Remember(HandleKind::Database, handle);
    *rethDB = handle;
    return NOERROR;
}

STATUS LNPUBLIC NSFDbClose(DBHANDLE hDB) {
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("NSFDbClose", hDB, &db))
        return status;
    if (STATUS status = notes_internal::ReleaseHandle(HandleKind::Database, hDB))
        return status;
    notes_internal::nsf::Forget(HandleKind::Database, hDB);
    return NOERROR;
}

STATUS LNPUBLIC NSFDbCreate(const char far *PathName, USHORT DbClass, BOOL ForceCreation) {
    if (STATUS fault = notes_internal::FaultCheck("NSFDbCreate", FaultPath(PathName).c_str()))
        return fault;
    return CreateDatabase(PathName, DbClass, STANDIN_DEFAULT_BUILD_VERSION, ForceCreation);
}

STATUS LNPUBLIC NSFDbGetBuildVersion(DBHANDLE hDB, WORD far *retVersion) {
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("NSFDbGetBuildVersion", hDB, &db))
        return status;
    if (retVersion == nullptr)
        return ERR_BAD_PARAM;
    return db->file->BuildVersion(retVersion);
}

STATUS LNPUBLIC NSFDbGetSpecialNoteID(DBHANDLE hDB, WORD Index, NOTEID far *retNoteID) {
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("NSFDbGetSpecialNoteID", hDB, &db))
        return status;
    if (retNoteID == nullptr)
        return ERR_BAD_PARAM;
    *retNoteID = 0;
    if ((Index & SPECIAL_ID_NOTE) == 0)
        return ERR_SPECIAL_ID;
    return db->file->SpecialNote(static_cast<WORD>(Index & ~SPECIAL_ID_NOTE), retNoteID);
}

STATUS LNPUBLIC OSPathNetConstruct(const char far *PortName, const char far *ServerName,
                                   const char far *FileName, char far *retPathName) {
    (void)PortName;
    if (STATUS fault = notes_internal::FaultCheck("OSPathNetConstruct", FileName))
        return fault;
    if (retPathName == nullptr || FileName == nullptr)
        return ERR_BAD_PARAM;
    retPathName[0] = '\0';
    std::string path = ServerName && *ServerName ? std::string(ServerName) + "!!" : "";
    path += FileName;
    if (path.size() >= MAXPATH)
        return ERR_PATH_TOO_LONG;
    std::memcpy(retPathName, path.c_str(), path.size() + 1);
    return NOERROR;
}

// Stand-in administration.

STATUS StandinDbCreate(const char *PathName, USHORT DbClass, WORD BuildVersion) {
    if (STATUS fault = notes_internal::FaultCheck("StandinDbCreate", FaultPath(PathName).c_str()))
        return fault;
    return CreateDatabase(PathName, DbClass, BuildVersion, FALSE);
}

STATUS StandinDbSetBuildVersion(const char *PathName, WORD BuildVersion) {
    if (STATUS fault =
            notes_internal::FaultCheck("StandinDbSetBuildVersion", FaultPath(PathName).c_str()))
        return fault;
    std::shared_ptr<DbObject> db;
    if (STATUS status = OpenDatabase(PathName, &db))
        return status;
    return db->file->SetBuildVersion(BuildVersion);
}

STATUS StandinDbCheck(const char *PathName, char *retProblem, WORD ProblemLength) {
    if (retProblem != nullptr && ProblemLength > 0)
        retProblem[0] = '\0';
    if (STATUS fault = notes_internal::FaultCheck("StandinDbCheck", FaultPath(PathName).c_str()))
        return fault;
    if (retProblem == nullptr && ProblemLength > 0)
        return ERR_BAD_PARAM;
    Resolved where;
    if (STATUS status = Resolve(PathName, &where))
        return status;
    if (!where.exists)
        return ERR_NOEXIST;
    std::string problem;
    STATUS status = DbFile::Check(where.abs, where.rel, &problem);
    if (retProblem != nullptr && ProblemLength > 0) {
        size_t n = problem.size() < ProblemLength - 1u ? problem.size() : ProblemLength - 1u;
        std::memcpy(retProblem, problem.data(), n);
        retProblem[n] = '\0';
    }
    return status;
}

STATUS StandinDbNoteIDs(DBHANDLE hDB, NOTEID *retIDs, DWORD Capacity, DWORD *retCount) {
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("StandinDbNoteIDs", hDB, &db))
        return status;
    if (retCount == nullptr || (retIDs == nullptr && Capacity > 0))
        return ERR_BAD_PARAM;
    std::vector<NOTEID> ids;
    if (STATUS status = db->file->NoteIds(&ids))
        return status;
    for (DWORD i = 0; i < Capacity && i < ids.size(); i++)
        retIDs[i] = ids[i];
    *retCount = static_cast<DWORD>(ids.size());
    return NOERROR;
}

namespace {

// Rewrites servers.ini under a lock: edit changes the parsed entries (or
// adds one) and returns the status of the change.
template <class Edit>
STATUS ChangeRegistry(const char *ServerName, Edit edit) {
    if (!notes_internal::RuntimeStarted())
        return ERR_NOT_INITIALIZED;
    if (ServerName == nullptr || TrimBlanks(ServerName).empty() ||
        std::strchr(ServerName, '|') != nullptr || std::strchr(ServerName, '\n') != nullptr)
        return ERR_BAD_PARAM;
    std::string path = RegistryPath();
    int lockFd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd < 0)
        return ERR_FILE_IO;
    flock(lockFd, LOCK_EX);
    std::vector<std::string> lines;
    std::vector<ServerLine> servers;
    std::vector<size_t> index;
    ReadRegistry(&lines, &servers, &index);
    std::string wanted = notes_internal::nsf::NormaliseName(ServerName);
    ServerLine *entry = nullptr;
    size_t line = 0;
    for (size_t i = 0; i < servers.size(); i++) {
        if (notes_internal::nsf::NormaliseName(servers[i].name) == wanted) {
            entry = &servers[i];
            line = index[i];
            break;
        }
    }
    ServerLine added;
    STATUS status = edit(entry ? entry : &added, entry != nullptr);
    if (status == NOERROR) {
        ServerLine &changed = entry ? *entry : added;
        if (changed.name.empty())
            changed.name = TrimBlanks(ServerName);
        std::string text =
            changed.name + " | " + changed.directory + (changed.down ? " | down" : "");
        if (entry)
            lines[line] = text;
        else
            lines.push_back(text);
        std::string tmp = path + ".tmp";
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            for (const std::string &l : lines)
                out << l << "\n";
            if (!out.flush())
                status = ERR_FILE_IO;
        }
        if (status == NOERROR && rename(tmp.c_str(), path.c_str()) != 0)
            status = ERR_FILE_IO;
        if (status != NOERROR)
            unlink(tmp.c_str());
    }
    flock(lockFd, LOCK_UN);
    ::close(lockFd);
    return status;
}

}  // namespace

STATUS StandinServerRegister(const char *ServerName, const char *DataDirectory) {
    if (STATUS fault = notes_internal::FaultCheck("StandinServerRegister"))
        return fault;
    if (DataDirectory == nullptr || TrimBlanks(DataDirectory).empty() ||
        std::strchr(DataDirectory, '|') != nullptr || std::strchr(DataDirectory, '\n') != nullptr)
        return ERR_BAD_PARAM;
    return ChangeRegistry(ServerName, [&](ServerLine *entry, bool) {
        entry->directory = TrimBlanks(DataDirectory);
        return static_cast<STATUS>(NOERROR);
    });
}

STATUS StandinServerSetDown(const char *ServerName, BOOL Down) {
    if (STATUS fault = notes_internal::FaultCheck("StandinServerSetDown"))
        return fault;
    return ChangeRegistry(ServerName, [&](ServerLine *entry, bool known) {
        if (!known)
            return static_cast<STATUS>(ERR_UNKNOWN_SERVER);
        entry->down = Down != FALSE;
        return static_cast<STATUS>(NOERROR);
    });
}
