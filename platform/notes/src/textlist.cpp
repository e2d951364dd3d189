#include "textlist.h"

#include <cstring>
#include <memory>

#include "fault.h"
#include "nsf_note.h"
#include "os_error.h"
#include "os_mem.h"
#include "os_mem_internal.h"

namespace {

constexpr size_t kMaxListSize = 0xFFFF;

// The list's WORDs may stand at any address (after a type word, inside an
// item value), so they are read and written through memcpy.
WORD ReadWord(const unsigned char *at) {
    WORD value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void WriteWord(unsigned char *at, WORD value) {
    std::memcpy(at, &value, sizeof value);
}

size_t PrefixSize(BOOL fPrefixDataType) {
    return fPrefixDataType ? sizeof(WORD) : 0;
}

// Offset of the count, of the lengths, and the total of a list in memory.
struct Layout {
    size_t countAt;
    size_t lengthsAt;
    WORD count;
    size_t textAt;
    size_t size;
};

Layout Measure(const unsigned char *list, BOOL fPrefixDataType) {
    Layout layout;
    layout.countAt = PrefixSize(fPrefixDataType);
    layout.lengthsAt = layout.countAt + sizeof(WORD);
    layout.count = ReadWord(list + layout.countAt);
    layout.textAt = layout.lengthsAt + static_cast<size_t>(layout.count) * sizeof(WORD);
    layout.size = layout.textAt;
    for (WORD i = 0; i < layout.count; i++)
        layout.size += ReadWord(list + layout.lengthsAt + i * sizeof(WORD));
    return layout;
}

// Measures a list whose memory size is known, without reading past it.
bool MeasureWithin(const unsigned char *list, size_t memorySize, BOOL fPrefixDataType,
                   Layout *layout) {
    const size_t countAt = PrefixSize(fPrefixDataType);
    if (memorySize < countAt + sizeof(WORD))
        return false;
    const WORD count = ReadWord(list + countAt);
    const size_t textAt = countAt + sizeof(WORD) + static_cast<size_t>(count) * sizeof(WORD);
    if (memorySize < textAt)
        return false;
    *layout = Measure(list, fPrefixDataType);
    return layout->size <= memorySize;
}

}  // namespace

STATUS LNPUBLIC ListAllocate(WORD Quantity, WORD Length, BOOL fPrefixDataType,
                             DHANDLE far *rethList, void far *far *retpList,
                             WORD far *retListSize) {
    if (rethList == nullptr)
        return ERR_BAD_PARAM;
    *rethList = NULLHANDLE;
    if (retpList)
        *retpList = nullptr;
    if (retListSize)
        *retListSize = 0;
    if (STATUS fault = notes_internal::FaultCheck("ListAllocate"))
        return fault;
    const size_t size = PrefixSize(fPrefixDataType) + sizeof(WORD) +
                        static_cast<size_t>(Quantity) * sizeof(WORD) + Length;
    if (size > kMaxListSize)
        return ERR_LIST_FULL;
    DHANDLE handle = NULLHANDLE;
    if (STATUS status = OSMemAlloc(BLK_MEM_ALLOC, static_cast<DWORD>(size), &handle))
        return status;
    auto *list = static_cast<unsigned char *>(OSLockObject(handle));
    if (list == nullptr) {
        OSMemFree(handle);
        return ERR_MEMORY;
    }
    if (fPrefixDataType)
        WriteWord(list, TYPE_TEXT_LIST);
    WriteWord(list + PrefixSize(fPrefixDataType), Quantity);
    *rethList = handle;
    if (retListSize)
        *retListSize = static_cast<WORD>(size);
    if (retpList) {
        *retpList = list;
    } else {
        OSUnlockObject(handle);
    }
    return NOERROR;
}

STATUS LNPUBLIC ListAddEntry(DHANDLE hList, BOOL fPrefixDataType, WORD far *pListSize,
                             WORD EntryNumber, const char far *Text, WORD TextSize) {
    if (Text == nullptr && TextSize > 0)
        return ERR_BAD_PARAM;
    if (STATUS fault = notes_internal::FaultCheck("ListAddEntry"))
        return fault;
    std::shared_ptr<notes_internal::MemoryObject> object;
    if (STATUS status = notes_internal::Lookup(notes_internal::HandleKind::Memory, hList, &object))
        return status;
    // Checked before anything changes, so that a failure leaves the list as
    // it was.
    if (object->owner != NULLHANDLE)
        return ERR_BAD_PARAM;
    if (object->locks.load() > 0)
        return ERR_HANDLE_LOCKED;
    Layout layout;
    if (!MeasureWithin(object->bytes.data(), object->bytes.size(), fPrefixDataType, &layout))
        return ERR_BAD_PARAM;
    if (EntryNumber > layout.count)
        return ERR_LIST_ENTRY;
    const size_t newSize = layout.size + sizeof(WORD) + TextSize;
    if (layout.count == MAXWORD || newSize > kMaxListSize)
        return ERR_LIST_FULL;
    // The text may lie inside the list itself: keep a copy across the move.
    std::unique_ptr<char[]> copy(new char[TextSize ? TextSize : 1]);
    if (TextSize)
        std::memcpy(copy.get(), Text, TextSize);

    size_t textOffset = layout.textAt;
    for (WORD i = 0; i < EntryNumber; i++)
        textOffset += ReadWord(object->bytes.data() + layout.lengthsAt + i * sizeof(WORD));
    const size_t oldMemorySize = object->bytes.size();
    if (newSize > oldMemorySize) {
        if (STATUS status = OSMemRealloc(hList, static_cast<DWORD>(newSize)))
            return status;
    }
    auto *list = static_cast<unsigned char *>(OSLockObject(hList));
    if (list == nullptr)
        return ERR_INVALID_HANDLE;
    // Texts after the new one move by its length word and its text; texts
    // before it by its length word; then the length word goes in.
    const size_t lengthAt = layout.lengthsAt + EntryNumber * sizeof(WORD);
    std::memmove(list + textOffset + sizeof(WORD) + TextSize, list + textOffset,
                 layout.size - textOffset);
    std::memmove(list + layout.textAt + sizeof(WORD), list + layout.textAt,
                 textOffset - layout.textAt);
    std::memmove(list + lengthAt + sizeof(WORD), list + lengthAt, layout.textAt - lengthAt);
    WriteWord(list + lengthAt, TextSize);
    if (TextSize)
        std::memcpy(list + textOffset + sizeof(WORD), copy.get(), TextSize);
    WriteWord(list + layout.countAt, static_cast<WORD>(layout.count + 1));
    OSUnlockObject(hList);
    if (newSize < oldMemorySize)
        OSMemRealloc(hList, static_cast<DWORD>(newSize));
    if (pListSize)
        *pListSize = static_cast<WORD>(newSize);
    return NOERROR;
}

WORD LNPUBLIC ListGetNumEntries(const void far *vList, BOOL fPrefixDataType) {
    if (vList == nullptr)
        return 0;
    return ReadWord(static_cast<const unsigned char *>(vList) + PrefixSize(fPrefixDataType));
}

STATUS LNPUBLIC ListGetText(const void far *pList, BOOL fPrefixDataType, WORD EntryNumber,
                            char far *far *retTextPointer, WORD far *retTextLength) {
    if (retTextPointer)
        *retTextPointer = nullptr;
    if (retTextLength)
        *retTextLength = 0;
    if (pList == nullptr)
        return ERR_BAD_PARAM;
    const auto *list = static_cast<const unsigned char *>(pList);
    const size_t countAt = PrefixSize(fPrefixDataType);
    const WORD count = ReadWord(list + countAt);
    if (EntryNumber >= count)
        return ERR_LIST_ENTRY;
    const size_t lengthsAt = countAt + sizeof(WORD);
    size_t textAt = lengthsAt + static_cast<size_t>(count) * sizeof(WORD);
    for (WORD i = 0; i < EntryNumber; i++)
        textAt += ReadWord(list + lengthsAt + i * sizeof(WORD));
    if (retTextPointer)
        *retTextPointer = const_cast<char *>(reinterpret_cast<const char *>(list + textAt));
    if (retTextLength)
        *retTextLength = ReadWord(list + lengthsAt + EntryNumber * sizeof(WORD));
    return NOERROR;
}

WORD LNPUBLIC ListGetSize(const void far *pList, BOOL fPrefixDataType) {
    if (pList == nullptr)
        return 0;
    const size_t size = Measure(static_cast<const unsigned char *>(pList), fPrefixDataType).size;
    return static_cast<WORD>(size > kMaxListSize ? kMaxListSize : size);
}
