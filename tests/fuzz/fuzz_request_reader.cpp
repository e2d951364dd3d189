// Fuzz target of the request reader: any bytes as a request file. The reader
// must read or refuse each one without a crash, a leak, a hang or memory
// beyond its budget, and nothing but an IPException may leave it.
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ip_exception.h"
#include "iphcr.h"
#include "notes_api.h"
#include "xml_toolkit.h"

namespace {

std::string g_dataDir;
std::string g_requestFile;

[[noreturn]] void Fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "fuzz_request_reader: %s%s\n", what, detail.c_str());
    std::abort();
}

void WriteWhole(const std::string &path, const uint8_t *data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        Fail("cannot write ", path);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0) {
            close(fd);
            Fail("cannot write ", path);
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0)
        Fail("cannot write ", path);
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

void CleanUp() {
    NotesRuntimeEnd();
    if (!g_dataDir.empty())
        nftw(g_dataDir.c_str(), RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

// A data directory of its own, with the platform's runtime started on it
// (the reader converts texts to LMBCS and dates to GMT through it), and the
// XML library held for the whole run, as the task's overlapping requests
// hold it.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vanterra-fuzz-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr)
        Fail("cannot make a data directory from ", pattern);
    g_dataDir = pattern;
    g_requestFile = g_dataDir + "/request.xml";
    const std::string ini = g_dataDir + "/notes.ini";
    const std::string settings =
        "[Notes]\nDirectory=" + g_dataDir + "\nServerName=Vanterra Fuzz/Acme\n";
    WriteWhole(ini, reinterpret_cast<const uint8_t *>(settings.data()), settings.size());
    std::string arg = "=" + ini;
    char program[] = "fuzz_request_reader";
    char *argv[] = {program, &arg[0], nullptr};
    STATUS status = NotesRuntimeStart(2, argv);
    if (status != NOERROR)
        Fail("the runtime does not start on ", g_dataDir);
    if (!xml_toolkit::Start())
        Fail("the XML library does not start", "");
    std::atexit(CleanUp);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    WriteWhole(g_requestFile, data, size);
    IPHCR worker;
    try {
        worker.xmlParser(g_requestFile);
    } catch (const IPException &e) {
        // Every failure is the reader's or its walk's.
        const std::string text = e.message();
        if (text.rfind("xmlParser:", 0) != 0 && text.rfind("receiveElements:", 0) != 0)
            Fail("a failure of an unknown operation: ", text);
    }
    worker.Reset(true);
    return 0;
}
