// notesctl check: the full integrity check of a database.
#include <iostream>

#include "common.h"
#include "notes_api.h"
#include "standin/nsf.h"
#include "verbs.h"

namespace notesctl {
namespace {

const char kHelp[] =
    "Usage: notesctl check DIR DATABASE\n"
    "\n"
    "Reads the whole file of DATABASE (a path relative to the data directory DIR,\n"
    "or an absolute one), which opening it does not: SQLite's check of every page,\n"
    "then the rules of the store (every item and index entry belongs to a stored\n"
    "note, the counters lie above what is stored, item keys fit their names). The\n"
    "file is not changed. Exit code 0 and \"DATABASE is whole.\" when it is; 1\n"
    "with the first problem found when it is damaged or no database.\n";

int Run(const Words &words) {
    Args args(words, {});
    if (args.help()) {
        PrintHelp(kCheckVerb);
        return kExitOk;
    }
    args.expect({"DIR", "DATABASE"}, 2);
    const std::string &path = DatabaseWord(args);
    Runtime runtime(args.positional()[0]);
    char problem[512] = {};
    STATUS status = StandinDbCheck(path.c_str(), problem, sizeof problem);
    if (status == ERR_DB_DAMAGED) {
        // SQLite's report runs over lines; the error stays one.
        std::string text = problem;
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        throw Failure(path + " is damaged: " + EscapeForLine(text));
    }
    if (status != NOERROR)
        throw Failure("cannot check " + path + ": " + StatusText(status));
    std::cout << path << " is whole.\n";
    return kExitOk;
}

}  // namespace

const Verb kCheckVerb = {"check", "check the whole file of a database", kHelp, Run};

}  // namespace notesctl
