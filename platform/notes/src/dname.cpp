// Placeholder until the names family lands: fails every call loudly.
#include <cstdio>
#include <cstdlib>

#include "dname.h"

STATUS LNPUBLIC DNCanonicalize(DWORD, const char *, const char *, char *, WORD, WORD *) {
    std::fprintf(stderr, "DNCanonicalize: not built yet\n");
    std::abort();
}
