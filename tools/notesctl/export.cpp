// notesctl export: a database as DXL.
#include <cstdio>

#include "common.h"
#include "notes_api.h"
#include "standin/dxl.h"
#include "verbs.h"

namespace notesctl {
namespace {

const char kHelp[] =
    "Usage: notesctl export DIR DATABASE\n"
    "\n"
    "Writes every note of DATABASE (a path relative to the data directory DIR,\n"
    "or an absolute one) as DXL on standard output: the stand-in's import and\n"
    "export format, XML in UTF-8, one <note> element per note with its UNID,\n"
    "sequence and class, and its items in stored order with their flags:\n"
    "\n"
    "  <database path='...'>\n"
    "  <note class='form'>\n"
    "  <noteinfo noteid='1a' unid='32 HEX DIGITS' sequence='1'>...</noteinfo>\n"
    "  <item name='$TITLE' summary='true'><text>...</text></item>\n"
    "  ...\n"
    "\n"
    "Values are <text> (a NUL byte as a line break), <textlist>, <number>,\n"
    "<numberlist>, <datetime> (YYYYMMDDTHHMMSS,hh and a zone), <datetimelist>,\n"
    "and <rawitemdata type='N'> in base64 for any other value. notesctl import\n"
    "reads it back: an import of an export stores the same notes and items.\n"
    "(notesctl dump writes the same database as JSON.)\n";

STATUS LNCALLBACK WriteToStdout(void *context, const char *bytes, DWORD length) {
    (void)context;
    return std::fwrite(bytes, 1, length, stdout) == length ? NOERROR : ERR_FILE_IO;
}

int Run(const Words &words) {
    Args args(words, {});
    if (args.help()) {
        PrintHelp(kExportVerb);
        return kExitOk;
    }
    args.expect({"DIR", "DATABASE"}, 2);
    const std::string &path = DatabaseWord(args);
    Runtime runtime(args.positional()[0]);
    DbHandle db;
    OpenDatabase(path, db);
    char problem[512] = {};
    DWORD notes = 0;
    STATUS status =
        StandinDxlExport(db.handle_, WriteToStdout, nullptr, &notes, problem, sizeof problem);
    if (status == NOERROR && std::fflush(stdout) != 0)
        status = ERR_FILE_IO;
    if (status != NOERROR) {
        throw Failure("cannot export " + path + ": " +
                      (problem[0] ? problem + std::string(" ") : "") + "(" + StatusText(status) +
                      ")");
    }
    return kExitOk;
}

}  // namespace

const Verb kExportVerb = {"export", "write every note of a database as DXL", kHelp, Run};

}  // namespace notesctl
