// Pieces of JSON text.
#pragma once

#include <string>
#include <vector>

namespace notesctl {

// A JSON string of UTF-8 text: quotes, "\" and control characters escaped.
std::string JsonString(const std::string &utf8);

// A JSON number: the shortest form that reads back as the same double;
// "null" for NaN and infinities, which JSON cannot hold.
std::string JsonNumber(double value);

// "[a, b, c]" of pieces that are JSON already.
std::string JsonArray(const std::vector<std::string> &pieces);

// Bytes as lowercase hex digits, two a byte.
std::string Hex(const unsigned char *bytes, size_t length);

}  // namespace notesctl
