// Stand-in administration: the status table, for tools and tests.
#pragma once

#include <cstddef>

#include "global.h"

NOTES_EXTERN_C_BEGIN

// The symbolic name of a status ("ERR_NOEXIST"), or null when the table does
// not know it. Only the low 14 bits count.
const char *StandinStatusName(STATUS status);

struct StandinStatusEntry {
    STATUS code;
    const char *name;
    const char *text;
};
// Copies up to capacity rows of the table; returns the number of rows.
size_t StandinStatusTable(StandinStatusEntry *entries, size_t capacity);

NOTES_EXTERN_C_END
