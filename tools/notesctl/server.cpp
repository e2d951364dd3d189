// notesctl server: a server of the registry, its data directory and its
// up or down mark.
#include <iostream>

#include "common.h"
#include "notes_api.h"
#include "standin/nsf.h"
#include "verbs.h"

namespace notesctl {
namespace {

const char kHelp[] =
    "Usage: notesctl server DIR NAME [--data PATH] [--down | --up]\n"
    "\n"
    "Registers the server NAME (another server of the cluster, say) in the server\n"
    "registry of the data directory DIR (its servers.ini), and marks it down or up.\n"
    "A database path naming a server (\"NAME!!mail/jdoe.nsf\") is opened in that\n"
    "server's data directory; every database of a server marked down gives \"The\n"
    "server is not responding\".\n"
    "\n"
    "Options:\n"
    "  --data PATH   the server's data directory (a relative PATH is taken from the\n"
    "                current folder); registers NAME, or moves it to PATH\n"
    "  --down        marks NAME down\n"
    "  --up          marks NAME up\n"
    "\n"
    "Without --data, NAME must be registered already. At least one option is\n"
    "needed.\n";

int Run(const Words &words) {
    Args args(words, {{"--data", true}, {"--down", false}, {"--up", false}});
    if (args.help()) {
        PrintHelp(kServerVerb);
        return kExitOk;
    }
    args.expect({"DIR", "NAME"}, 2);
    const std::string &name = args.positional()[1];
    if (name.empty())
        throw UsageError("the server's NAME is empty");
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F || c == '|')
            throw UsageError("the server's NAME holds a control character or \"|\"");
    }
    const bool down = args.has("--down"), up = args.has("--up");
    if (down && up)
        throw UsageError("--down and --up together");
    if (!args.has("--data") && !down && !up)
        throw UsageError("nothing to do: give --data, --down or --up");
    std::string data;
    if (args.has("--data")) {
        data = args.value("--data");
        if (data.empty())
            throw UsageError("the --data path is empty");
        for (unsigned char c : data) {
            if (c < 0x20 || c == 0x7F || c == '|')
                throw UsageError("the --data path holds a control character or \"|\"");
        }
        data = AbsolutePath(data);
    }

    Runtime runtime(args.positional()[0]);
    if (!data.empty()) {
        STATUS status = StandinServerRegister(name.c_str(), data.c_str());
        if (status != NOERROR)
            throw Failure("cannot register the server " + name + ": " + StatusText(status));
    }
    if (down || up) {
        STATUS status = StandinServerSetDown(name.c_str(), down ? TRUE : FALSE);
        if (status == ERR_UNKNOWN_SERVER)
            throw Failure("the server " + name + " is not registered (give --data)");
        if (status != NOERROR)
            throw Failure("cannot mark the server " + name + ": " + StatusText(status));
    }
    std::cout << "Server " << name;
    if (!data.empty())
        std::cout << ": data directory " << data;
    if (down || up)
        std::cout << (data.empty() ? ": " : ", ") << (down ? "down" : "up");
    std::cout << ".\n";
    return kExitOk;
}

}  // namespace

const Verb kServerVerb = {"server", "register a server of the cluster, mark it down or up", kHelp,
                          Run};

}  // namespace notesctl
