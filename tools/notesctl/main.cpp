// notesctl: the administration tool of the Notes stand-in, and the front end
// that sends requests to the server task.
#include <cstring>
#include <exception>
#include <iostream>

#include "common.h"
#include "verbs.h"

namespace {

using notesctl::Verb;

const Verb *const kVerbs[] = {
    &notesctl::kInitVerb,   &notesctl::kRequestVerb, &notesctl::kTellVerb,   &notesctl::kQueueVerb,
    &notesctl::kShowVerb,   &notesctl::kDumpVerb,    &notesctl::kImportVerb, &notesctl::kExportVerb,
    &notesctl::kServerVerb, &notesctl::kCheckVerb};

const char kExitCodes[] =
    "Exit codes:\n"
    "  0   success\n"
    "  1   failure (the error is one line on standard error, \"notesctl: ...\")\n"
    "  2   no reply within the time-out, or a request that can get no reply (request)\n"
    "  3   the reply queue is in use by another process; nothing was sent (request)\n"
    "  64  usage error: unknown verb or option, missing or extra arguments\n";

void PrintOverview(std::ostream &out) {
    out << "Usage: notesctl VERB DIR [ARGUMENTS...]\n"
           "       notesctl VERB --help\n"
           "\n"
           "Administers a data directory DIR of the Notes stand-in (the folder that holds\n"
           "notes.ini), and sends requests to the server task that runs on it.\n"
           "\n"
           "Verbs:\n";
    for (const Verb *verb : kVerbs) {
        out << "  ";
        out.width(9);
        out << std::left << verb->name << verb->summary << "\n";
    }
    out << "\n" << kExitCodes;
}

const Verb *FindVerb(const char *name) {
    for (const Verb *verb : kVerbs) {
        if (std::strcmp(verb->name, name) == 0)
            return verb;
    }
    return nullptr;
}

}  // namespace

namespace notesctl {

void PrintHelp(const Verb &verb) {
    std::cout << verb.help << "\n" << kExitCodes;
}

}  // namespace notesctl

int main(int argc, char **argv) {
    if (argc < 2) {
        PrintOverview(std::cerr);
        return notesctl::kExitUsage;
    }
    const char *first = argv[1];
    if (std::strcmp(first, "--help") == 0 || std::strcmp(first, "-h") == 0) {
        PrintOverview(std::cout);
        return notesctl::kExitOk;
    }
    if (std::strcmp(first, "help") == 0) {
        if (argc == 2) {
            PrintOverview(std::cout);
            return notesctl::kExitOk;
        }
        if (const Verb *verb = FindVerb(argv[2])) {
            notesctl::PrintHelp(*verb);
            return notesctl::kExitOk;
        }
        notesctl::Note(std::string("unknown verb \"") + argv[2] + "\" (see notesctl --help)");
        return notesctl::kExitUsage;
    }
    const Verb *verb = FindVerb(first);
    if (verb == nullptr) {
        notesctl::Note(std::string("unknown verb \"") + first + "\" (see notesctl --help)");
        return notesctl::kExitUsage;
    }

    notesctl::Words words(argv + 2, argv + argc);
    try {
        return verb->run(words);
    } catch (const notesctl::UsageError &e) {
        notesctl::Note(std::string(e.what()) + " (see notesctl " + verb->name + " --help)");
        return notesctl::kExitUsage;
    } catch (const notesctl::Failure &e) {
        notesctl::Note(e.what());
        return notesctl::kExitFailure;
    } catch (const std::exception &e) {
        notesctl::Note(std::string(verb->name) + " failed: " + e.what());
        return notesctl::kExitFailure;
    }
}
