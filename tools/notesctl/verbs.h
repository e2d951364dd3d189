// The verbs of notesctl. Each takes the words after the verb, prints its
// help for --help, and returns the exit code; it throws UsageError or
// Failure (common.h) for what goes wrong.
#pragma once

#include <string>
#include <vector>

namespace notesctl {

using Words = std::vector<std::string>;

struct Verb {
    const char *name;
    const char *summary;  // one line for the overall help
    const char *help;     // the verb's own help text
    int (*run)(const Words &words);
};

extern const Verb kInitVerb;
extern const Verb kRequestVerb;
extern const Verb kTellVerb;
extern const Verb kQueueVerb;
extern const Verb kShowVerb;
extern const Verb kDumpVerb;
extern const Verb kImportVerb;
extern const Verb kExportVerb;
extern const Verb kServerVerb;
extern const Verb kCheckVerb;

// Prints the verb's help on standard output.
void PrintHelp(const Verb &verb);

}  // namespace notesctl
