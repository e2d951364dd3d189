// What one out-of-office decision costs on a mail file of a given size: the
// worker's init, start, get state, end and term, for a mail file whose
// out-of-office runs through its agent (found by a pass over the mail
// file's notes) and for one that runs through the server's service (the
// icon note alone), and an AgentOpen of the agent for comparison.
//
//   ooo_state [DOCUMENTS] [ROUNDS]     defaults: 10000 documents, 21 rounds
//
// The mail file holds DOCUMENTS documents of five items each and, stored
// after them, the "OutOfOffice" agent: the pass meets it last. Medians are
// printed.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "agents.h"
#include "nsf_db.h"
#include "nsf_note.h"
#include "ooo.h"
#include "os_runtime.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "ooo_state: %s failed\n", what);
        std::exit(1);
    }
}

NOTEID Store(DBHANDLE db, WORD noteClass,
             const std::vector<std::pair<const char *, std::string>> &items) {
    NOTEHANDLE note;
    Check(NSFNoteCreate(db, &note) == NOERROR, "NSFNoteCreate");
    NSFNoteSetInfo(note, _NOTE_CLASS, &noteClass);
    for (const auto &item : items)
        Check(NSFItemSetText(note, item.first, item.second.data(),
                             static_cast<WORD>(item.second.size())) == NOERROR,
              "NSFItemSetText");
    Check(NSFNoteUpdate(note, 0) == NOERROR, "NSFNoteUpdate");
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    Check(NSFNoteClose(note) == NOERROR, "NSFNoteClose");
    return id;
}

// Returns the agent's note ID.
NOTEID MakeMailFile(const char *path, int documents, const char *version) {
    Check(NSFDbCreate(path, DBCLASS_BY_EXTENSION, FALSE) == NOERROR, "NSFDbCreate");
    DBHANDLE db;
    Check(NSFDbOpen(path, &db) == NOERROR, "NSFDbOpen");
    NOTEHANDLE icon;
    Check(NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon) == NOERROR, "icon");
    Check(NSFItemSetText(icon, "$OOOVersion", version, MAXWORD) == NOERROR, "$OOOVersion");
    Check(NSFItemSetText(icon, "$Flags", "O", MAXWORD) == NOERROR, "$Flags");
    Check(NSFNoteUpdate(icon, 0) == NOERROR, "icon update");
    Check(NSFNoteClose(icon) == NOERROR, "icon close");
    for (int i = 0; i < documents; i++) {
        std::string n = std::to_string(i);
        Store(db, NOTE_CLASS_DOCUMENT,
              {{"Form", "Memo"},
               {"Subject", "Message " + n},
               {"From", "CN=Sender " + n + "/O=Acme"},
               {"SendTo", "CN=John Doe/O=Acme"},
               {"Body", std::string(200, 'x')}});
    }
    NOTEID agent = Store(db, NOTE_CLASS_FILTER, {{"$TITLE", "OutOfOffice"}, {"$AssistFlags", "E"}});
    Check(NSFDbClose(db) == NOERROR, "NSFDbClose");
    return agent;
}

// One decision as the worker makes it; the time it took.
double Decide(DBHANDLE db, WORD expectedVersion) {
    auto start = Clock::now();
    Check(OOOInit() == NOERROR, "OOOInit");
    DHANDLE operation;
    OOOCONTEXT *context;
    Check(
        OOOStartOperation("John Doe/Acme", "Mail1/Acme", TRUE, db, &operation, &context) == NOERROR,
        "OOOStartOperation");
    WORD version = 0, state = 0;
    Check(OOOGetState(context, &version, &state) == NOERROR, "OOOGetState");
    OOOEndOperation(operation, context);
    OOOTerm();
    double ms = Ms(Clock::now() - start);
    Check(version == expectedVersion && state == OOO_STATE_ON, "the expected state");
    return ms;
}

}  // namespace

int main(int argc, char **argv) {
    int documents = argc > 1 ? std::atoi(argv[1]) : 10000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 21;
    if (documents < 0 || rounds < 1) {
        std::fprintf(stderr, "usage: ooo_state [DOCUMENTS] [ROUNDS]\n");
        return 2;
    }
    char pattern[] = "/tmp/ooo-state-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    std::string dir = pattern;
    {
        std::ofstream ini(dir + "/notes.ini");
        ini << "[Notes]\nDirectory=" << dir << "\nServerName=Bench/Acme\n";
    }
    std::string iniArg = "=" + dir + "/notes.ini";
    char program[] = "ooo_state";
    char *args[] = {program, iniArg.data(), nullptr};
    Check(NotesRuntimeStart(2, args) == NOERROR, "NotesRuntimeStart");
    NOTEID agentId = MakeMailFile("agent.nsf", documents, "1");
    MakeMailFile("service.nsf", documents, "2");

    DBHANDLE agentDb, serviceDb;
    Check(NSFDbOpen("agent.nsf", &agentDb) == NOERROR, "NSFDbOpen");
    Check(NSFDbOpen("service.nsf", &serviceDb) == NOERROR, "NSFDbOpen");
    std::vector<double> byAgent, byService, open;
    for (int r = 0; r < rounds; r++) {
        byAgent.push_back(Decide(agentDb, OOO_VERSION_AGENT));
        byService.push_back(Decide(serviceDb, OOO_VERSION_SERVICE));
        auto start = Clock::now();
        HAGENT agent;
        Check(AgentOpen(agentDb, agentId, &agent) == NOERROR, "AgentOpen");
        Check(AgentIsEnabled(agent) == TRUE, "AgentIsEnabled");
        AgentClose(agent);
        open.push_back(Ms(Clock::now() - start));
    }
    std::printf("one out-of-office decision on a mail file of %d documents, median of %d\n",
                documents, rounds);
    std::printf("  through the agent (a pass over the notes): %9.3f ms\n", Median(byAgent));
    std::printf("  through the service (the icon note):       %9.3f ms\n", Median(byService));
    std::printf("  AgentOpen + AgentIsEnabled + AgentClose:   %9.3f ms\n", Median(open));

    NSFDbClose(agentDb);
    NSFDbClose(serviceDb);
    NotesRuntimeEnd();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
