#include "note_items.h"

#include <cstring>

namespace note_items {

WORD NameLength(const char *name) {
    return static_cast<WORD>(std::strlen(name));
}

bool Present(NOTEHANDLE note, const char *item) {
    return NSFItemInfo(note, item, NameLength(item), nullptr, nullptr, nullptr, nullptr) == NOERROR;
}

STATUS Find(NOTEHANDLE note, const char *item, bool &present) {
    const STATUS status =
        NSFItemInfo(note, item, NameLength(item), nullptr, nullptr, nullptr, nullptr);
    present = status == NOERROR;
    return status == ERR_ITEM_NOT_FOUND ? NOERROR : status;
}

std::string Text(NOTEHANDLE note, const char *item, WORD bufferBytes) {
    std::vector<char> text(bufferBytes, '\0');
    WORD length = NSFItemGetText(note, item, text.data(), bufferBytes);
    if (length >= bufferBytes)
        length = bufferBytes - 1;
    return std::string(text.data(), length);
}

std::vector<std::string> ValueTexts(const char *bytes, DWORD length) {
    std::vector<std::string> texts;
    if (bytes == nullptr || length < sizeof(WORD))
        return texts;
    WORD type = 0;
    std::memcpy(&type, bytes, sizeof type);
    if (type == TYPE_TEXT) {
        texts.emplace_back(bytes + sizeof(WORD), length - sizeof(WORD));
    } else if (type == TYPE_TEXT_LIST) {
        const WORD count = ListGetNumEntries(bytes, TRUE);
        for (WORD i = 0; i < count; i++) {
            char *entry = nullptr;
            WORD entryLength = 0;
            if (ListGetText(bytes, TRUE, i, &entry, &entryLength) == NOERROR)
                texts.emplace_back(entry, entryLength);
        }
    }
    return texts;
}

std::vector<std::string> ValueTexts(BLOCKID value, DWORD length) {
    const char *pool = static_cast<const char *>(OSLockObject(value.pool));
    if (pool == nullptr)
        return std::vector<std::string>();
    std::vector<std::string> texts = ValueTexts(pool + value.block, length);
    OSUnlockObject(value.pool);
    return texts;
}

std::string WholeText(NOTEHANDLE note, const char *item) {
    WORD type = 0;
    BLOCKID value = {};
    DWORD length = 0;
    if (NSFItemInfo(note, item, NameLength(item), nullptr, &type, &value, &length) != NOERROR)
        return std::string();
    std::vector<std::string> texts = ValueTexts(value, length);
    return texts.empty() ? std::string() : texts.front();
}

STATUS RemoveIfPresent(NOTEHANDLE note, const char *item) {
    bool present = false;
    if (STATUS status = Find(note, item, present))
        return status;
    return present ? NSFItemDelete(note, item, NameLength(item)) : NOERROR;
}

STATUS ReplaceText(NOTEHANDLE note, const char *item, const std::string &text) {
    if (STATUS status = RemoveIfPresent(note, item))
        return status;
    return SetText(note, item, text);
}

STATUS ReplaceTime(NOTEHANDLE note, const char *item, const TIMEDATE &time) {
    if (STATUS status = RemoveIfPresent(note, item))
        return status;
    return NSFItemSetTime(note, item, &time);
}

STATUS SetText(NOTEHANDLE note, const char *item, const std::string &text) {
    if (text.size() < MAXWORD)
        return NSFItemSetText(note, item, text.data(), static_cast<WORD>(text.size()));
    return NSFItemAppend(note, ITEM_SUMMARY, item, NameLength(item), TYPE_TEXT, text.data(),
                         static_cast<DWORD>(text.size()));
}

void OpenNote::Close() {
    if (handle != NULLHANDLE)
        NSFNoteClose(handle);
    handle = NULLHANDLE;
}

bool BeginsWithNoCase(const char *text, size_t length, const char *prefix) {
    const size_t prefixLength = std::strlen(prefix);
    if (length < prefixLength)
        return false;
    for (size_t i = 0; i < prefixLength; i++) {
        char a = text[i], b = prefix[i];
        if (a >= 'a' && a <= 'z')
            a = static_cast<char>(a - 'a' + 'A');
        if (b >= 'a' && b <= 'z')
            b = static_cast<char>(b - 'a' + 'A');
        if (a != b)
            return false;
    }
    return true;
}

}  // namespace note_items
