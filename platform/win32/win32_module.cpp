// Loading shared libraries under Windows library names.
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "win32.h"

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

bool HasFolder(const char *file) {
    return strchr(file, '/') != nullptr;
}

// ---------------------------------------------------------------------------
// The handles given out. A handle that no call here gave out is refused
// instead of being handed to the dynamic linker, which would crash on it.
// Each entry counts the references LoadLibraryA took; modules only found by
// GetModuleHandleA stay with 0 references. The lock is never held while the
// dynamic linker runs: library constructors may call back in here.

struct Entry {
    void *handle;
    unsigned refs;
};

pthread_mutex_t registryLock = PTHREAD_MUTEX_INITIALIZER;
Entry *entries = nullptr;
size_t entryCount = 0;
size_t entryCapacity = 0;

class Locked {
  public:
    Locked() { pthread_mutex_lock(&registryLock); }
    ~Locked() { pthread_mutex_unlock(&registryLock); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
};

Entry *FindEntry(void *handle) {
    for (size_t i = 0; i < entryCount; ++i) {
        if (entries[i].handle == handle) {
            return &entries[i];
        }
    }
    return nullptr;
}

// Records the handle, with one more reference when addRef; false when no
// memory is left for a new entry.
bool Remember(void *handle, bool addRef) {
    Locked lock;
    Entry *entry = FindEntry(handle);
    if (entry == nullptr) {
        if (entryCount == entryCapacity) {
            size_t capacity = entryCapacity == 0 ? 16 : entryCapacity * 2;
            Entry *grown = static_cast<Entry *>(realloc(entries, capacity * sizeof(Entry)));
            if (grown == nullptr) {
                return false;
            }
            entries = grown;
            entryCapacity = capacity;
        }
        entry = &entries[entryCount++];
        entry->handle = handle;
        entry->refs = 0;
    }
    if (addRef) {
        ++entry->refs;
    }
    return true;
}

bool IsKnown(void *handle) {
    Locked lock;
    return FindEntry(handle) != nullptr;
}

// Drops one reference taken by LoadLibraryA; false when it holds none.
bool DropReference(void *handle) {
    Locked lock;
    Entry *entry = FindEntry(handle);
    if (entry == nullptr || entry->refs == 0) {
        return false;
    }
    if (--entry->refs == 0) {
        // The module may go now; a later GetModuleHandleA records it anew.
        *entry = entries[--entryCount];
    }
    return true;
}

// ---------------------------------------------------------------------------
// Why a load failed.

#if defined(__x86_64__)
constexpr int kMachine = EM_X86_64;
#elif defined(__i386__)
constexpr int kMachine = EM_386;
#elif defined(__aarch64__)
constexpr int kMachine = EM_AARCH64;
#else
constexpr int kMachine = -1;  // not checked
#endif

#if __ELF_NATIVE_CLASS == 64
constexpr unsigned char kClass = ELFCLASS64;
#else
constexpr unsigned char kClass = ELFCLASS32;
#endif

#if __BYTE_ORDER == __LITTLE_ENDIAN
constexpr unsigned char kData = ELFDATA2LSB;
#else
constexpr unsigned char kData = ELFDATA2MSB;
#endif

DWORD ErrorOfOpen(int err) {
    switch (err) {
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        default:
            return ERROR_MOD_NOT_FOUND;
    }
}

// The file itself is judged first: that does not depend on the linker's
// wording. Only a file that is a library of our own kind leaves the linker's
// message to tell a missing import from a missing dependency.
DWORD ClassifyFile(const char *file, const char *message) {
    int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return ErrorOfOpen(errno);
    }
    struct stat st;
    unsigned char header[20];  // e_ident, e_type, e_machine: the same in both classes
    ssize_t got = -1;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular) {
        do {
            got = pread(fd, header, sizeof header, 0);
        } while (got < 0 && errno == EINTR);
    }
    close(fd);
    if (!regular) {
        return ERROR_MOD_NOT_FOUND;
    }
    if (got != static_cast<ssize_t>(sizeof header) || memcmp(header, ELFMAG, SELFMAG) != 0 ||
        header[EI_CLASS] != kClass || header[EI_DATA] != kData) {
        return ERROR_BAD_EXE_FORMAT;
    }
    unsigned type, machine;
    if (kData == ELFDATA2LSB) {
        type = header[16] | (header[17] << 8);
        machine = header[18] | (header[19] << 8);
    } else {
        type = (header[16] << 8) | header[17];
        machine = (header[18] << 8) | header[19];
    }
    if (type != ET_DYN || (kMachine >= 0 && machine != static_cast<unsigned>(kMachine))) {
        return ERROR_BAD_EXE_FORMAT;
    }
    if (message != nullptr && strstr(message, "undefined symbol") != nullptr) {
        return ERROR_PROC_NOT_FOUND;
    }
    return ERROR_MOD_NOT_FOUND;
}

// A searched name leaves only the linker's message, which names neither the
// file it rejected nor all the places it looked.
DWORD ClassifyMessage(const char *message) {
    if (message == nullptr) {
        return ERROR_MOD_NOT_FOUND;
    }
    static const char *const kBadFormat[] = {"wrong ELF class", "invalid ELF header",
                                             "file too short", "ELF file", "only ET_DYN"};
    for (const char *text : kBadFormat) {
        if (strstr(message, text) != nullptr) {
            return ERROR_BAD_EXE_FORMAT;
        }
    }
    if (strstr(message, "undefined symbol") != nullptr) {
        return ERROR_PROC_NOT_FOUND;
    }
    if (strstr(message, "Permission denied") != nullptr) {
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_MOD_NOT_FOUND;
}

// The module's own link map, for telling its symbols from its dependencies'.
struct link_map *LinkMapOf(void *handle) {
    struct link_map *map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0) {
        return nullptr;
    }
    return map;
}

HMODULE FailModule(DWORD error) {
    SetLastError(error);
    return nullptr;
}

}  // namespace

extern "C" DWORD Win32CompatLibraryFileName(LPCSTR name, char *out, size_t out_size) {
    if (out == nullptr || out_size == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    out[0] = '\0';
    if (name == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    size_t length = strlen(name);
    size_t baseStart = length;
    while (baseStart > 0 && !IsSeparator(name[baseStart - 1])) {
        --baseStart;
    }
    size_t baseEnd = length;
    if (length - baseStart >= 4 && strcasecmp(name + length - 4, ".dll") == 0) {
        baseEnd -= 4;
    }
    if (baseEnd == baseStart) {
        return ERROR_INVALID_NAME;
    }
    static const char kPrefix[] = "lib";
    static const char kSuffix[] = ".so";
    size_t need = baseStart + (sizeof kPrefix - 1) + (baseEnd - baseStart) + (sizeof kSuffix - 1);
    if (need >= out_size) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    char *p = out;
    for (size_t i = 0; i < baseStart; ++i) {
        *p++ = IsSeparator(name[i]) ? '/' : name[i];
    }
    memcpy(p, kPrefix, sizeof kPrefix - 1);
    p += sizeof kPrefix - 1;
    memcpy(p, name + baseStart, baseEnd - baseStart);
    p += baseEnd - baseStart;
    memcpy(p, kSuffix, sizeof kSuffix);  // with its terminator
    return ERROR_SUCCESS;
}

extern "C" HMODULE LoadLibraryA(LPCSTR name) {
    char file[PATH_MAX];
    DWORD error = Win32CompatLibraryFileName(name, file, sizeof file);
    if (error != ERROR_SUCCESS) {
        return FailModule(error);
    }
    // Everything at once, as Windows resolves a library's imports on load.
    void *handle = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *message = dlerror();
        return FailModule(HasFolder(file) ? ClassifyFile(file, message) : ClassifyMessage(message));
    }
    if (!Remember(handle, true)) {
        dlclose(handle);
        return FailModule(ERROR_NOT_ENOUGH_MEMORY);
    }
    return handle;
}

extern "C" HMODULE GetModuleHandleA(LPCSTR name) {
    void *handle;
    if (name == nullptr) {
        handle = dlopen(nullptr, RTLD_NOW);
    } else {
        char file[PATH_MAX];
        DWORD error = Win32CompatLibraryFileName(name, file, sizeof file);
        if (error != ERROR_SUCCESS) {
            return FailModule(error);
        }
        handle = dlopen(file, RTLD_NOW | RTLD_NOLOAD);
    }
    if (handle == nullptr) {
        dlerror();  // consumed, so that it does not linger for the thread
        return FailModule(ERROR_MOD_NOT_FOUND);
    }
    // dlopen counted a reference even with RTLD_NOLOAD; give it back so the
    // module's life stays with whoever loaded it.
    dlclose(handle);
    if (!Remember(handle, false)) {
        return FailModule(ERROR_NOT_ENOUGH_MEMORY);
    }
    return handle;
}

extern "C" FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (module == nullptr || !IsKnown(module)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Small values stand for ordinals on Windows; never read them as text.
    if (reinterpret_cast<uintptr_t>(name) < 0x10000u) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    dlerror();
    void *symbol = dlsym(module, name);
    if (symbol == nullptr) {
        dlerror();
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    // dlsym also searches the module's dependencies; Windows looks only at
    // what the module itself exports.
    Dl_info info;
    struct link_map *owner = nullptr;
    if (dladdr1(symbol, &info, reinterpret_cast<void **>(&owner), RTLD_DL_LINKMAP) == 0 ||
        owner != LinkMapOf(module)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

extern "C" BOOL FreeLibrary(HMODULE module) {
    if (module == nullptr || !DropReference(module)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    dlclose(module);
    return TRUE;
}
