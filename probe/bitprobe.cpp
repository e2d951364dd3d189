// bitprobe DIR: tells whether the Notes installation in DIR is a 64-bit one.
//
// This 32-bit process tries to load DIR's Notes library. A library of the
// other word size fails with ERROR_BAD_EXE_FORMAT: only then does the probe
// create an empty "nd64" beside its own program file, pause 2000 ms and exit
// with 1. Every other outcome exits with 0 and writes nothing.
#include <stdio.h>
#include <string.h>

#include "win32.h"

namespace {

constexpr size_t kPathBuffer = 1024;
const char kLibrary[] = "nnotes.dll";
const char kMarker[] = "nd64";

// DIR, a backslash and the library's name; false when that does not fit.
bool FormLibraryPath(const char *dir, char (&path)[kPathBuffer]) {
    memset(path, 0, sizeof path);
    int n = snprintf(path, sizeof path, "%s\\%s", dir, kLibrary);
    return n >= 0 && static_cast<size_t>(n) < sizeof path;
}

// The program path with everything after its last separator replaced by the
// marker's name; the marker's name alone when the path has no separator.
// Program paths here use "/", the Windows form "\": either counts. False
// when the program path or the result does not fit.
bool FormMarkerPath(const char *program, char (&path)[kPathBuffer]) {
    memset(path, 0, sizeof path);
    size_t length = strnlen(program, sizeof path);
    if (length == sizeof path) {
        return false;  // longer than 1023 bytes
    }
    strncpy(path, program, sizeof path - 1);
    char *slash = strrchr(path, '/');
    char *backslash = strrchr(path, '\\');
    char *last = slash > backslash ? slash : backslash;
    size_t keep = last == nullptr ? 0 : static_cast<size_t>(last - path) + 1;
    if (keep + sizeof kMarker > sizeof path) {
        return false;  // "nd64" does not fit behind the last separator
    }
    memset(path + keep, 0, sizeof path - keep);
    memcpy(path + keep, kMarker, sizeof kMarker - 1);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        return 0;
    }
    char libraryPath[kPathBuffer];
    char markerPath[kPathBuffer];
    // Both paths are formed before anything is loaded: a path that does not
    // fit its buffer is refused like a wrong command line.
    if (!FormLibraryPath(argv[1], libraryPath) || !FormMarkerPath(argv[0], markerPath)) {
        return 0;
    }
    HMODULE library = LoadLibraryA(libraryPath);
    if (library != nullptr) {
        FreeLibrary(library);
        return 0;
    }
    if (GetLastError() != ERROR_BAD_EXE_FORMAT) {
        return 0;
    }
    // "w" empties a marker left by an earlier run. A marker that cannot be
    // created changes nothing: the pause and the exit code still report it.
    FILE *marker = fopen(markerPath, "w");
    if (marker != nullptr) {
        fclose(marker);
    }
    Sleep(2000);
    return 1;
}
