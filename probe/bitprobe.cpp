// bitprobe DIR: tells whether the Notes installation in DIR is a 64-bit one.
//
// This 32-bit process tries to load DIR's Notes library. A library of the
// other word size fails with ERROR_BAD_EXE_FORMAT: only then does the probe
// create an empty "nd64" beside its own program file (when the path of that
// fits 1023 bytes), pause 2000 ms and exit with 1. Every other outcome exits
// with 0 and writes nothing.
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
    // A directory whose library path does not fit is refused like a wrong
    // command line: a path cut short would name another file.
    char libraryPath[kPathBuffer];
    if (!FormLibraryPath(argv[1], libraryPath)) {
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
    // "w" empties a marker left by an earlier run. A program path that does
    // not fit the marker path gets no marker (cut short, it would name
    // another folder), and a marker that cannot be created changes nothing:
    // the pause and the exit code still report the 64-bit installation.
    char markerPath[kPathBuffer];
    if (FormMarkerPath(argv[0], markerPath)) {
        FILE *marker = fopen(markerPath, "w");
        if (marker != nullptr) {
            fclose(marker);
        }
    }
    Sleep(2000);
    return 1;
}
