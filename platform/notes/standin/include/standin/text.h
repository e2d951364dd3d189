// Stand-in administration: the shape of LMBCS text, for tools.
#pragma once

#include <cstddef>

#include "global.h"

NOTES_EXTERN_C_BEGIN

// The length of the LMBCS character at p, of which left bytes (at least one)
// are there: the library's one rule (a group byte 0x01-0x06, 0x08, 0x0B or
// 0x0F takes one byte after it, 0x10-0x14 two; a NUL byte is never part of
// a character before it; a character cut short by the end is as long as
// what is left). A tool that cuts LMBCS text cuts only after whole
// characters by it. 0 when p is null or left is 0.
size_t StandinLmbcsCharLength(const unsigned char *p, size_t left);

NOTES_EXTERN_C_END
