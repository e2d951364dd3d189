// The cost of the provisioning's steps on a template of NOTES design notes
// (forms of ten items each): signing every design note from inside a
// search, making a database from the template with its ACL, replacing the
// design of that database, the ACL's read, change, store and lookups, and
// an ACL-only DXL import.
//
//   provision [DIR] [NOTES]    defaults: /tmp/vanterra-bench-provision, 200
//
// Prints the time of each step.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "notes_api.h"
#include "os_runtime.h"
#include "standin/dxl.h"

namespace {

using Clock = std::chrono::steady_clock;

void Check(STATUS status, const char *what) {
    if (status != NOERROR) {
        std::fprintf(stderr, "%s failed: status 0x%04X\n", what, status);
        std::exit(1);
    }
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

void Report(const char *what, double seconds, size_t count, const char *unit) {
    std::printf("%-44s %9.3f ms", what, seconds * 1e3);
    if (count > 1)
        std::printf("  %10.0f %s/s", count / seconds, unit);
    std::printf("\n");
}

STATUS LNCALLBACK ReadString(void *context, char *buffer, DWORD length, DWORD *retLength) {
    auto *text = static_cast<std::pair<const std::string *, size_t> *>(context);
    size_t n = std::min<size_t>(length, text->first->size() - text->second);
    std::memcpy(buffer, text->first->data() + text->second, n);
    text->second += n;
    *retLength = static_cast<DWORD>(n);
    return NOERROR;
}

DWORD LNCALLBACK ReadBytes(BYTE *buffer, DWORD wanted, void *context) {
    auto *text = static_cast<std::pair<const std::string *, size_t> *>(context);
    size_t n = std::min<size_t>(wanted, text->first->size() - text->second);
    std::memcpy(buffer, text->first->data() + text->second, n);
    text->second += n;
    return static_cast<DWORD>(n);
}

// The provisioning's signing routine.
STATUS LNCALLBACK SignOne(void *context, SEARCH_MATCH *match, ITEM_TABLE *) {
    if (!(match->SERetFlags & SE_FMATCH))
        return NOERROR;
    NOTEHANDLE note = NULLHANDLE;
    if (STATUS s = NSFNoteOpen(*static_cast<DBHANDLE *>(context), match->NoteID, 0, &note))
        return s;
    STATUS s = NSFNoteSign(note);
    if (s == NOERROR)
        s = NSFNoteUpdate(note, UPDATE_FORCE);
    NSFNoteClose(note);
    return s;
}

std::string TemplateText(int notes) {
    std::string text =
        "<database><acl><role>[Admin]</role><role>[SysAdmin]</role>"
        "<aclentry name='-Default-' default='true' level='reader'/>"
        "<aclentry name='[-Default-]' level='reader' writepublicdocs='true'/>"
        "<aclentry name='[LocalDomainServers]' level='manager' type='servergroup'/>"
        "</acl>\n";
    for (int i = 0; i < notes; i++) {
        text += "<note class='form'><item name='$TITLE'><text>Form " + std::to_string(i) +
                "</text></item>";
        for (int f = 0; f < 9; f++)
            text += "<item name='$FieldFormula_F" + std::to_string(f) +
                    "'><text>\"a default value of some length\"</text></item>";
        text += "</note>\n";
    }
    return text + "</database>\n";
}

}  // namespace

int main(int argc, char **argv) {
    const std::string dir = argc > 1 ? argv[1] : "/tmp/vanterra-bench-provision";
    const int notes = argc > 2 ? std::atoi(argv[2]) : 200;
    mkdir(dir.c_str(), 0755);
    {
        std::ofstream ini(dir + "/notes.ini");
        ini << "[Notes]\nDirectory=" << dir << "\nServerName=Bench/Demo\n";
    }
    for (const char *f : {"/t.ntf", "/db.nsf"})
        std::remove((dir + f).c_str());
    std::string iniArg = "=" + dir + "/notes.ini";
    char program[] = "provision";
    char *args[] = {program, &iniArg[0], nullptr};
    Check(NotesRuntimeStart(2, args), "NotesRuntimeStart");

    const std::string text = TemplateText(notes);
    Check(NSFDbCreate("t.ntf", DBCLASS_BY_EXTENSION, FALSE), "NSFDbCreate");
    DBHANDLE tpl = NULLHANDLE;
    Check(NSFDbOpen("t.ntf", &tpl), "NSFDbOpen");
    std::pair<const std::string *, size_t> reader{&text, 0};
    Check(StandinDxlImport(tpl, ReadString, &reader, nullptr), "StandinDxlImport");
    std::printf("template: %d forms of 10 items\n", notes);

    auto start = Clock::now();
    Check(NSFSearch(tpl, NULLHANDLE, nullptr, SEARCH_SUMMARY, NOTE_CLASS_ALLNONDATA, nullptr,
                    SignOne, &tpl, nullptr),
          "NSFSearch");
    Report("sign every design note from a search", Seconds(start), notes + 1, "notes");

    start = Clock::now();
    DBHANDLE db = NULLHANDLE;
    Check(NSFDbCreateAndCopy("t.ntf", "db.nsf", NOTE_CLASS_ALLNONDATA, 0, 0, &db),
          "NSFDbCreateAndCopy");
    Check(NSFDbCopyTemplateACL(tpl, db, nullptr, 0), "NSFDbCopyTemplateACL");
    Report("make a database from it, with its ACL", Seconds(start), notes + 1, "notes");

    start = Clock::now();
    Check(DesignReplace(tpl, db, DESIGN_REPLACE_ALL, DESIGN_REPLACE_KEEP_INFO, nullptr, nullptr),
          "DesignReplace");
    Report("replace the database's design", Seconds(start), notes + 1, "notes");

    start = Clock::now();
    DHANDLE acl = NULLHANDLE;
    Check(NSFDbReadACL(db, &acl), "NSFDbReadACL");
    for (int i = 0; i < 100; i++) {
        std::string name = "CN=Person " + std::to_string(i) + "/O=Demo";
        Check(ACLAddEntry(acl, name.c_str(), ACL_LEVEL_AUTHOR, nullptr, ACL_FLAG_PERSON),
              "ACLAddEntry");
    }
    Check(NSFDbStoreACL(db, acl, 0, 0), "NSFDbStoreACL");
    Report("read the ACL, add 100 entries, store it", Seconds(start), 1, "");

    std::vector<char> names(sizeof(NAMES_LIST));
    NAMES_LIST header{};
    header.NumNames = 1;
    std::memcpy(names.data(), &header, sizeof header);
    const char person[] = "Person 99/Demo";
    names.insert(names.end(), person, person + sizeof person);
    const int lookups = 2000;
    start = Clock::now();
    for (int i = 0; i < lookups; i++) {
        WORD level = 0;
        Check(ACLLookupAccess(acl, reinterpret_cast<const NAMES_LIST *>(names.data()), &level,
                              nullptr, nullptr, nullptr),
              "ACLLookupAccess");
    }
    Report("look up the last of 103 entries", Seconds(start), lookups, "lookups");
    OSMemFree(acl);

    DXLIMPORTHANDLE importer = NULLHANDLE;
    Check(DXLCreateImporter(&importer), "DXLCreateImporter");
    DXLIMPORTOPTION option = DXLIMPORTOPTION_REPLACE_ELSE_IGNORE;
    Check(DXLSetImporterProperty(importer, iACLImportOption, &option), "DXLSetImporterProperty");
    reader = {&text, 0};
    start = Clock::now();
    Check(DXLImport(importer, ReadBytes, db, &reader), "DXLImport");
    Report("DXL import of the template text, ACL only", Seconds(start), 1, "");
    Check(DXLDeleteImporter(importer), "DXLDeleteImporter");

    NSFDbClose(db);
    NSFDbClose(tpl);
    NotesRuntimeEnd();
    return 0;
}
