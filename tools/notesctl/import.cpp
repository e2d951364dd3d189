// notesctl import: a DXL file into a database, made when missing.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "common.h"
#include "notes_api.h"
#include "standin/dxl.h"
#include "verbs.h"

namespace notesctl {
namespace {

const char kHelp[] =
    "Usage: notesctl import DIR DATABASE FILE [--template T]\n"
    "\n"
    "Imports the DXL file FILE (the stand-in's import and export format; see\n"
    "notesctl export) into DATABASE, a path relative to the data directory DIR\n"
    "or an absolute one. A DATABASE that does not exist is made first; with\n"
    "--template it takes the design of the database T (every note of T that is\n"
    "no document: forms, views, agents, the icon note), then FILE is imported.\n"
    "\n"
    "All of FILE is stored, or nothing of it: a file that is not well-formed, an\n"
    "element, attribute or value that is not known or not valid, is refused with\n"
    "the line it stands on, and a database that this import made is removed\n"
    "again. A note whose UNID the database holds replaces that note; a profile\n"
    "replaces the database's profile of the same name and user; an icon note\n"
    "replaces the database's icon note.\n"
    "\n"
    "Options:\n"
    "  --template T   the database whose design a new DATABASE takes (refused\n"
    "                 when DATABASE exists)\n"
    "\n"
    "The file's access control list, when it has one, replaces the database's.\n"
    "Writes what was imported on standard output.\n";

STATUS LNCALLBACK ReadFromFile(void *context, char *buffer, DWORD length, DWORD *retLength) {
    FILE *file = static_cast<FILE *>(context);
    size_t got = std::fread(buffer, 1, length, file);
    *retLength = static_cast<DWORD>(got);
    return got == 0 && std::ferror(file) ? ERR_FILE_IO : NOERROR;
}

struct FileCloser {
    FILE *file;
    ~FileCloser() {
        if (file)
            std::fclose(file);
    }
};

int Run(const Words &words) {
    Args args(words, {{"--template", true}});
    if (args.help()) {
        PrintHelp(kImportVerb);
        return kExitOk;
    }
    args.expect({"DIR", "DATABASE", "FILE"}, 3);
    const std::string &path = DatabaseWord(args);
    const std::string &file = args.positional()[2];
    const bool withTemplate = args.has("--template");
    const std::string templatePath = args.value("--template");
    if (withTemplate && templatePath.empty())
        throw UsageError("the --template path is empty");

    FileCloser input{std::fopen(file.c_str(), "rb")};
    if (input.file == nullptr)
        throw Failure("cannot read " + file + ": " + std::strerror(errno));

    Runtime runtime(args.positional()[0]);
    const std::string full = DatabasePath(runtime.dataDirectory(), path);
    DbHandle db;
    bool created = false;
    STATUS status = NSFDbOpen(path.c_str(), &db.handle_);
    if (status == NOERROR && withTemplate)
        throw Failure(path + " exists already: --template gives its design to a new database only");
    if (status == ERR_NOEXIST) {
        status = NSFDbCreate(path.c_str(), DBCLASS_BY_EXTENSION, FALSE);
        if (status != NOERROR)
            throw Failure("cannot create " + path + ": " + StatusText(status));
        created = true;
        status = NSFDbOpen(path.c_str(), &db.handle_);
    }
    // Whatever fails from here leaves no database that this import made.
    auto fail = [&](const std::string &message) {
        db.Close();
        if (created)
            RemoveDatabaseFiles(full);
        throw Failure(message + (created ? "; " + path + " was not made" : ""));
    };
    if (status != NOERROR)
        fail("cannot open " + path + ": " + StatusText(status));

    DWORD designNotes = 0;
    if (withTemplate) {
        DbHandle source;
        status = NSFDbOpen(templatePath.c_str(), &source.handle_);
        if (status != NOERROR)
            fail("cannot open the template " + templatePath + ": " + StatusText(status));
        status = StandinDbCopyDesign(source.handle_, db.handle_, &designNotes);
        if (status != NOERROR)
            fail("cannot copy the design of " + templatePath + ": " + StatusText(status));
    }

    StandinDxlResult result{};
    status = StandinDxlImport(db.handle_, ReadFromFile, input.file, &result);
    if (status != NOERROR) {
        char code[32];
        std::snprintf(code, sizeof code, " (status 0x%04X)", static_cast<unsigned>(ERR(status)));
        std::string why =
            result.message[0] ? std::string(result.message) + code : StatusText(status);
        fail(file + ": " + why + "; nothing of it was stored");
    }
    std::cout << "Imported " << result.notes << " notes (" << result.profiles
              << " of them profiles) from " << file << " into " << path;
    if (withTemplate)
        std::cout << ", made with the design of " << templatePath << " (" << designNotes
                  << " notes)";
    std::cout << ".\n";
    if (result.aclStored)
        std::cout << "Its access control list (" << result.aclEntries << " entries, "
                  << result.aclRoles << " roles) replaced the database's.\n";
    if (result.message[0])
        std::cout << "Not stored: " << result.message << "\n";
    return kExitOk;
}

}  // namespace

const Verb kImportVerb = {"import", "import a DXL file into a database", kHelp, Run};

}  // namespace notesctl
