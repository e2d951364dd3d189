// The one collation of names in LMBCS: item names, profile names and user
// names, design titles, and later view keys and directory names are all
// matched through here.
//
// Two names are equal when they are equal after folding each character to
// one case: the ASCII letters, and the letters of code page 850 written as
// single bytes 0x80-0xFF (the optimisation group of LMBCS), each to its
// small form. Every other character compares exactly, and a character of
// several bytes (a group byte and its one or two data bytes, as
// LmbcsCharLength of lmbcs.h tells) is never split: its data bytes are not
// folded even when they look like letters.
//
// The key of a name is the name with each such letter folded: a byte
// string of the same length. Keys compare as bytes (memcmp, a shorter key
// first on a common start), which is also how SQLite orders them in a BLOB
// column, so an index over keys gives the same order as CollationCompare.
// The order is the order of the folded bytes, not a linguistic one.
#pragma once

#include <cstddef>
#include <string>

namespace notes_internal {

// The folded form of a name (see above).
std::string CollationKey(const char *text, size_t length);
inline std::string CollationKey(const std::string &text) {
    return CollationKey(text.data(), text.size());
}

// <0, 0 or >0 as the key of a sorts before, equal to or after the key of b,
// without building the keys.
int CollationCompare(const char *a, size_t aLength, const char *b, size_t bLength);
inline bool CollationEqual(const char *a, size_t aLength, const char *b, size_t bLength) {
    return aLength == bLength && CollationCompare(a, aLength, b, bLength) == 0;
}

}  // namespace notes_internal
