#include "json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common.h"

namespace notesctl {

std::string JsonString(const std::string &utf8) {
    return "\"" + EscapeBytes(utf8, EscapeStyle::Json) + "\"";
}

std::string JsonNumber(double value) {
    if (!std::isfinite(value))
        return "null";
    char text[40];
    for (int precision = 15; precision <= 17; precision++) {
        std::snprintf(text, sizeof text, "%.*g", precision, value);
        if (std::strtod(text, nullptr) == value)
            break;
    }
    return text;
}

std::string JsonArray(const std::vector<std::string> &pieces) {
    std::string out = "[";
    for (size_t i = 0; i < pieces.size(); i++) {
        if (i > 0)
            out += ", ";
        out += pieces[i];
    }
    out += "]";
    return out;
}

std::string Hex(const unsigned char *bytes, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; i++) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
    return out;
}

}  // namespace notesctl
