#include "os_error.h"

#include <cstdio>
#include <cstring>

#include "standin/status.h"

namespace {

struct StatusText {
    STATUS code;
    const char *name;
    const char *text;
};

const StatusText kStatusTexts[] = {
#define STATUS_CODE(name, value, text) {(value), #name, (text)},
#include "status_codes.def"
#undef STATUS_CODE
};

const StatusText *Find(STATUS code) {
    for (const StatusText &entry : kStatusTexts) {
        if (entry.code == code)
            return &entry;
    }
    return nullptr;
}

}  // namespace

WORD LNPUBLIC OSLoadString(HMODULE, STATUS StringCode, char far *retBuffer, WORD BufferLength) {
    if (retBuffer == nullptr || BufferLength == 0)
        return 0;
    STATUS code = ERR(StringCode);
    char unknown[32];
    const char *text;
    if (code == NOERROR) {
        text = "No error";
    } else if (const StatusText *entry = Find(code)) {
        text = entry->text;
    } else {
        std::snprintf(unknown, sizeof unknown, "Unknown error 0x%04X", code);
        text = unknown;
    }
    size_t length = std::strlen(text);
    if (length > BufferLength - 1u)
        length = BufferLength - 1u;
    std::memcpy(retBuffer, text, length);
    retBuffer[length] = '\0';
    return static_cast<WORD>(length);
}

const char *StandinStatusName(STATUS status) {
    const StatusText *entry = Find(ERR(status));
    return entry ? entry->name : nullptr;
}

size_t StandinStatusTable(StandinStatusEntry *entries, size_t capacity) {
    size_t count = sizeof kStatusTexts / sizeof kStatusTexts[0];
    for (size_t i = 0; i < count && i < capacity; i++) {
        entries[i].code = kStatusTexts[i].code;
        entries[i].name = kStatusTexts[i].name;
        entries[i].text = kStatusTexts[i].text;
    }
    return count;
}
