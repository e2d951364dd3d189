// Mail files and a directory for the worker's benchmarks, made through the
// platform's public calls on the data directory of the running runtime: a
// names.nsf with the directory's views, people with mail files (the two
// profiles, the out-of-office form, the agent) and groups of them.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "notes_api.h"

namespace bench_data {

inline void Check(STATUS status, const char *what) {
    if (status != NOERROR) {
        char text[256];
        OSLoadString(nullptr, status, text, sizeof text);
        std::fprintf(stderr, "%s: %s\n", what, text);
        std::exit(1);
    }
}

inline void SetText(NOTEHANDLE note, const char *name, const std::string &text) {
    Check(NSFItemSetText(note, name, text.data(), static_cast<WORD>(text.size())), name);
}

inline void SetList(NOTEHANDLE note, const char *name, const std::vector<std::string> &texts) {
    DHANDLE list = NULLHANDLE;
    Check(ListAllocate(0, 0, FALSE, &list, nullptr, nullptr), "ListAllocate");
    WORD size = 0;
    for (size_t i = 0; i < texts.size(); i++) {
        Check(ListAddEntry(list, FALSE, &size, static_cast<WORD>(i), texts[i].data(),
                           static_cast<WORD>(texts[i].size())),
              "ListAddEntry");
    }
    const void *bytes = OSLockObject(list);
    if (size == 0)
        size = ListGetSize(bytes, FALSE);
    NSFItemDelete(note, name, static_cast<WORD>(std::char_traits<char>::length(name)));
    Check(NSFItemAppend(note, ITEM_SUMMARY, name,
                        static_cast<WORD>(std::char_traits<char>::length(name)), TYPE_TEXT_LIST,
                        bytes, size),
          name);
    OSUnlockObject(list);
    OSMemFree(list);
}

// A stored note of the class; fill sets its items.
template <typename Fill>
void AddNote(DBHANDLE db, WORD noteClass, Fill fill) {
    NOTEHANDLE note = NULLHANDLE;
    Check(NSFNoteCreate(db, &note), "NSFNoteCreate");
    NSFNoteSetInfo(note, _NOTE_CLASS, &noteClass);
    fill(note);
    Check(NSFNoteUpdate(note, 0), "NSFNoteUpdate");
    NSFNoteClose(note);
}

// The out-of-office form of the mail design and an enabled agent.
inline void AddDesign(DBHANDLE db) {
    AddNote(db, NOTE_CLASS_FORM, [](NOTEHANDLE note) {
        SetText(note, "$TITLE", "Out Of Office|(Out Of Office Profile)");
        SetList(note, "$Fields",
                {"dateFirstDayOut", "dateFirstDayBack", "DaysOut", "GeneralSubject"});
        SetList(note, "$FieldKinds", {"computed", "computed", "computed", "computed"});
        SetText(note, "$FieldFormula_dateFirstDayOut", "@Date(FirstDayOut)");
        SetText(note, "$FieldFormula_dateFirstDayBack", "@Date(FirstDayBack)");
        SetText(note, "$FieldFormula_DaysOut",
                "\"Out from \" + @Text(@Date(dateFirstDayOut)) + \" to \" + "
                "@Text(@Date(dateFirstDayBack)) + \".\"");
        SetText(note, "$FieldFormula_GeneralSubject", "@Name([CN]; $Owner) + \" is away\"");
    });
    AddNote(db, NOTE_CLASS_FILTER, [](NOTEHANDLE note) {
        SetText(note, "$TITLE", "OutOfOffice");
        SetText(note, "$AssistFlags", "E");
    });
}

// A mail file (path relative to the data directory) of a user whose
// out-of-office runs through the agent (service false) or the service.
inline void CreateMailFile(const std::string &path, const std::string &owner, bool service) {
    Check(NSFDbCreate(path.c_str(), DBCLASS_NOTEFILE, TRUE), path.c_str());
    DBHANDLE db = NULLHANDLE;
    Check(NSFDbOpen(path.c_str(), &db), path.c_str());
    AddDesign(db);
    NOTEHANDLE profile = NULLHANDLE;
    Check(NSFProfileOpen(db, "OutOfOfficeProfile", 18, nullptr, 0, TRUE, &profile), "profile");
    SetText(profile, "Form", "OutOfOfficeProfile");
    SetText(profile, "$Owner", owner);
    SetText(profile, "TaskType", service ? "2" : "1");
    SetText(profile, "TaskState", "1");
    SetText(profile, "GeneralSubject", "Away");
    SetText(profile, "GeneralMessage", std::string("I am away.\0Back soon.", 21));
    SetList(profile, "Notified", {"CN=Ann Lee/O=Acme", "CN=Bob Ray/O=Acme"});
    Check(NSFNoteUpdate(profile, 0), "profile update");
    NSFNoteClose(profile);
    Check(NSFProfileOpen(db, "ooserviceprofile", 16, nullptr, 0, TRUE, &profile), "service");
    SetList(profile, "Notified_1", {"CN=Cy Dee/O=Acme"});
    Check(NSFNoteUpdate(profile, 0), "service update");
    NSFNoteClose(profile);
    NSFDbClose(db);
}

// names.nsf with the views of the directory.
inline DBHANDLE CreateDirectory() {
    Check(NSFDbCreate("names.nsf", DBCLASS_NOTEFILE, TRUE), "names.nsf");
    DBHANDLE db = NULLHANDLE;
    Check(NSFDbOpen("names.nsf", &db), "names.nsf");
    const char *views[][3] = {
        {"$Users", "SELECT Form = \"Person\" | Type = \"Person\"",
         "FullName : @Name([Abbreviate]; FullName) : ShortName"},
        {"($Servers)", "SELECT Form = \"Server\" | Type = \"Server\"",
         "ServerName : @Name([Abbreviate]; ServerName)"},
        {"($Clusters)", "SELECT (Form = \"Server\" | Type = \"Server\") & ClusterName != \"\"",
         "ClusterName"},
        {"($Groups)", "SELECT Form = \"Group\" | Type = \"Group\"", "ListName"},
    };
    for (const auto &view : views) {
        AddNote(db, NOTE_CLASS_VIEW, [&](NOTEHANDLE note) {
            SetText(note, "$TITLE", view[0]);
            SetText(note, "$SelectionFormula", view[1]);
            SetText(note, "$KeyFormula", view[2]);
        });
    }
    return db;
}

inline void AddPerson(DBHANDLE names, const std::string &fullName, const std::string &mailServer,
                      const std::string &mailFile) {
    AddNote(names, NOTE_CLASS_DOCUMENT, [&](NOTEHANDLE note) {
        SetText(note, "Form", "Person");
        SetList(note, "FullName", {fullName});
        SetText(note, "MailServer", mailServer);
        SetText(note, "MailFile", mailFile);
    });
}

inline void AddGroup(DBHANDLE names, const std::string &name,
                     const std::vector<std::string> &members) {
    AddNote(names, NOTE_CLASS_DOCUMENT, [&](NOTEHANDLE note) {
        SetText(note, "Form", "Group");
        SetText(note, "ListName", name);
        SetList(note, "Members", members);
    });
}

}  // namespace bench_data
