/* The layer's header must serve C code as well. */
#include "win32.h"

int Win32HeaderCheckFromC(void) {
    HMODULE module = GetModuleHandleA(NULL);
    FARPROC fn = module != NULL ? GetProcAddress(module, "no such name") : NULL;
    return sizeof(DWORD) == 4 && sizeof(BOOL) == 4 && fn == NULL &&
           GetLastError() == ERROR_PROC_NOT_FOUND;
}
