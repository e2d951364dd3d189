/* The few Windows calls the system makes, offered on POSIX under their own
 * names: threads, sleeping, loading shared libraries and resolving functions
 * in them, and a per-thread last error.
 *
 * C-compatible and free of the Notes stand-in: the 32-bit probe links it on
 * its own. The types that the Notes headers also declare (HMODULE, DWORD,
 * BOOL) are declared here as the identical types, so a file may include both.
 * File status is POSIX's own stat(); nothing is added for it. */
#ifndef VANTERRA_WIN32_H
#define VANTERRA_WIN32_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Calling-convention markers have no meaning here. */
#ifndef WINAPI
#define WINAPI
#endif
#ifndef __stdcall
#define __stdcall
#endif

typedef void *HMODULE;
typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef const char *LPCSTR;
/* What GetProcAddress gives; cast it to the function's real type. It is
 * void (*)(void) rather than Windows' INT_PTR (*)(): the compiler takes that
 * type as the generic function pointer, so the cast does not warn. */
typedef void (*FARPROC)(void);

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* The last-error values this layer sets (the Windows numbers). */
#define ERROR_SUCCESS 0u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INVALID_NAME 123u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_BAD_EXE_FORMAT 193u
#define ERROR_FILENAME_EXCED_RANGE 206u

#define INFINITE 0xFFFFFFFFu
#define CREATE_SUSPENDED 0x4u

/* The calling thread's last error. Each thread has its own, starting at 0.
 * The calls below set it when they fail and leave it alone when they
 * succeed. */
DWORD GetLastError(void);
void SetLastError(DWORD error);

/* Library names. "X", "X.dll" (suffix in any case), each with or without a
 * folder, "\" and "/" both separating folders, name the shared library that
 * the build produces for X: "libX.so". With a folder the file is taken from
 * that folder (relative folders from the current one); without one the
 * dynamic linker searches for it, and a library already loaded under that
 * name (such as the stand-in "nnotes" a program is linked with) is found
 * first. The base name keeps its case, as POSIX file names are
 * case-sensitive; any other extension stays part of X ("a.b" is
 * "liba.b.so").
 *
 * LoadLibraryA loads the library and all it needs, resolving every symbol
 * at once, and takes one reference on it. On failure it gives NULL and the
 * last error:
 *   ERROR_INVALID_PARAMETER     name is NULL
 *   ERROR_INVALID_NAME          no base name ("", "dir\", ".dll")
 *   ERROR_FILENAME_EXCED_RANGE  the file name is longer than a path may be
 *   ERROR_MOD_NOT_FOUND         no such file (also a folder in its place),
 *                               or a library it needs is missing
 *   ERROR_ACCESS_DENIED         the file cannot be read
 *   ERROR_BAD_EXE_FORMAT        the file is not a shared library of this
 *                               program's word size and machine: one of the
 *                               other word size, and also a file that is not
 *                               ELF at all (as Windows does for a file that
 *                               is no image)
 *   ERROR_PROC_NOT_FOUND        a symbol it imports is defined nowhere */
HMODULE LoadLibraryA(LPCSTR name);

/* The module of that name when it is already loaded, without taking a
 * reference; NULL with ERROR_MOD_NOT_FOUND when it is not (or the errors of
 * LoadLibraryA for a bad name). NULL gives the program itself. The handle
 * stays good while the module stays loaded. */
HMODULE GetModuleHandleA(LPCSTR name);

/* The address of a function or variable that the module itself defines;
 * names that only a library it depends on defines are not the module's.
 * NULL with ERROR_PROC_NOT_FOUND when the module has no such name (also for
 * an ordinal, which this layer does not offer), ERROR_INVALID_HANDLE for a
 * handle that no call here gave out or whose module is unloaded,
 * ERROR_INVALID_PARAMETER for a NULL name. */
FARPROC GetProcAddress(HMODULE module, LPCSTR name);

/* Gives back one reference taken by LoadLibraryA; the module is unloaded
 * when the last one goes. FALSE with ERROR_INVALID_HANDLE when the handle
 * holds no reference taken here (unknown, already freed, or only found by
 * GetModuleHandleA). */
BOOL FreeLibrary(HMODULE module);

/* Suspends the calling thread for at least ms milliseconds, also across
 * signals; 0 only yields, INFINITE never returns. */
void Sleep(DWORD ms);

/* Starts start(arg) on a new thread at once and returns a non-zero value
 * naming it (also stored in *thread_id when that is not NULL). The thread is
 * detached: nothing waits for it, it frees all it holds when it ends, and
 * the value needs no closing; start's result is discarded. stack_size 0
 * gives the default stack; others are rounded up to the system's minimum
 * and page size. security is ignored. Gives 0 and sets errno and the last
 * error on failure: EINVAL / ERROR_INVALID_PARAMETER for a NULL start or an
 * init_flag other than 0 (threads cannot start suspended here), EAGAIN /
 * ERROR_NOT_ENOUGH_MEMORY when no thread can be made. */
uintptr_t _beginthreadex(void *security, unsigned stack_size, unsigned (*start)(void *), void *arg,
                         unsigned init_flag, unsigned *thread_id);

/* Not a Windows call: the file name that the rule above gives for a library
 * name, written to out (out_size bytes). Returns ERROR_SUCCESS, or the
 * LoadLibraryA error for a bad or too long name (out is then ""). */
DWORD Win32CompatLibraryFileName(LPCSTR name, char *out, size_t out_size);

#ifdef __cplusplus
}
#endif

#endif /* VANTERRA_WIN32_H */
