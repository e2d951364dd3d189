// The shape of LMBCS text: how many bytes each character takes.
//
// Every routine of the library that steps through LMBCS bytes (names,
// translation) steps over whole characters with this one rule, so that a
// byte inside a character is never taken for "/", "=", a blank or a cut.
#pragma once

#include <cstddef>

namespace notes_internal {

// The length of the LMBCS character at p, of which left bytes (at least one)
// are there: 0x01-0x06, 0x08, 0x0B and 0x0F take one byte after them,
// 0x10-0x14 two; every other byte stands alone (the byte values that are no
// group are characters of one byte that read as U+FFFD). A NUL byte is
// never part of a character before it, and a character cut short by the end
// is as long as what is left.
size_t LmbcsCharLength(const unsigned char *p, size_t left);

}  // namespace notes_internal
