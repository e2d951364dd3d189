// The cost of a DXL import and export: a text of NOTES documents of ten
// items each (texts, a text list, numbers, times, a raw value) imported
// into a new database in one transaction, exported, and imported again
// over itself (every note replaced by its UNID); the same import handed in
// chunks of 7 bytes.
//
//   dxl_import [DIR] [NOTES]    defaults: /tmp/vanterra-bench-dxl, 5000
//
// Prints the bytes of the text and the time and rate of each step.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

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

struct Reader {
    const std::string *text;
    size_t pos;
    size_t chunk;
};

STATUS LNCALLBACK Read(void *context, char *buffer, DWORD length, DWORD *retLength) {
    auto *r = static_cast<Reader *>(context);
    size_t n = std::min<size_t>({length, r->chunk, r->text->size() - r->pos});
    std::memcpy(buffer, r->text->data() + r->pos, n);
    r->pos += n;
    *retLength = static_cast<DWORD>(n);
    return NOERROR;
}

STATUS LNCALLBACK Write(void *context, const char *bytes, DWORD length) {
    static_cast<std::string *>(context)->append(bytes, length);
    return NOERROR;
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

void Import(const char *path, const std::string &text, size_t chunk, const char *what) {
    DBHANDLE db = NULLHANDLE;
    if (NSFDbOpen(path, &db) == ERR_NOEXIST) {
        Check(NSFDbCreate(path, DBCLASS_BY_EXTENSION, FALSE), "NSFDbCreate");
        Check(NSFDbOpen(path, &db), "NSFDbOpen");
    }
    Reader reader{&text, 0, chunk};
    StandinDxlResult result{};
    auto start = Clock::now();
    Check(StandinDxlImport(db, Read, &reader, &result), what);
    double s = Seconds(start);
    std::printf("%-34s %8u notes  %7.3f s  %7.1f MB/s  %8.0f notes/s\n", what, result.notes, s,
                text.size() / s / 1e6, result.notes / s);
    NSFDbClose(db);
}

}  // namespace

int main(int argc, char **argv) {
    const std::string dir = argc > 1 ? argv[1] : "/tmp/vanterra-bench-dxl";
    const int notes = argc > 2 ? std::atoi(argv[2]) : 5000;
    mkdir(dir.c_str(), 0755);
    {
        std::ofstream ini(dir + "/notes.ini");
        ini << "[Notes]\nDirectory=" << dir << "\nServerName=Bench/Demo\n";
    }
    for (const char *f : {"/a.nsf", "/b.nsf", "/c.nsf"})
        std::remove((dir + f).c_str());
    std::string iniArg = "=" + dir + "/notes.ini";
    char program[] = "dxl_import";
    char *args[] = {program, &iniArg[0], nullptr};
    Check(NotesRuntimeStart(2, args), "NotesRuntimeStart");

    std::string text = "<?xml version='1.0' encoding='utf-8'?>\n<database>\n";
    char unid[40];
    for (int i = 0; i < notes; i++) {
        std::snprintf(unid, sizeof unid, "00000000000000%02X%016X", 1, i + 1);
        text += "<note class='document'><noteinfo unid='" + std::string(unid) +
                "' sequence='2'/>\n"
                "<item name='Form' summary='true'><text>Memo</text></item>\n"
                "<item name='Subject' summary='true'><text>Message number " +
                std::to_string(i) +
                " über Grüße</text></item>\n"
                "<item name='Body'><text>Line one\nLine two\nLine three of a longer body "
                "that goes on for a while so that the note has some weight.</text></item>\n"
                "<item name='SendTo' names='true'><textlist><text>CN=Jo Doe/O=Demo</text>"
                "<text>CN=Ann Lee/O=Demo</text></textlist></item>\n"
                "<item name='Size'><number>" +
                std::to_string(i * 13) +
                "</number></item>\n"
                "<item name='Weights'><numberlist><number>1.5</number><number>2.25</number>"
                "</numberlist></item>\n"
                "<item name='PostedDate'><datetime>20300701T080000,00+01</datetime></item>\n"
                "<item name='Days'><datetimelist><datetime>20300701</datetime>"
                "<datetime>20300702</datetime></datetimelist></item>\n"
                "<item name='Raw'><rawitemdata type='17'>AQAAAAAAAAAAAAAAAAAAAA==</rawitemdata>"
                "</item>\n"
                "<item name='$Flags'><text></text></item>\n</note>\n";
    }
    text += "</database>\n";
    std::printf("DXL text: %zu bytes, %d notes of 10 items\n", text.size(), notes);

    Import("a.nsf", text, 1 << 20, "import into a new database");
    Import("a.nsf", text, 1 << 20, "import again (every note replaced)");
    Import("b.nsf", text, 7, "import in chunks of 7 bytes");

    DBHANDLE db = NULLHANDLE;
    Check(NSFDbOpen("a.nsf", &db), "NSFDbOpen");
    std::string out;
    DWORD count = 0;
    auto start = Clock::now();
    Check(StandinDxlExport(db, Write, &out, &count, nullptr, 0), "StandinDxlExport");
    double s = Seconds(start);
    std::printf("%-34s %8u notes  %7.3f s  %7.1f MB/s  %8.0f notes/s\n", "export", count, s,
                out.size() / s / 1e6, count / s);
    NSFDbClose(db);
    Import("c.nsf", out, 1 << 20, "import of the export");
    NotesRuntimeEnd();
    return 0;
}
