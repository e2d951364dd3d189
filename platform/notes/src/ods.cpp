// On-disk structures (ods.h): each known type as the list of its members'
// sizes, written and read member by member in little-endian order.
#include "ods.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fault.h"
#include "os_error.h"

namespace {

// One member: its offset in the structure in memory and its on-disk form,
// count units of size bytes (a TIMEDATE is two DWORDs, a byte array count
// bytes).
struct Member {
    size_t offset;
    size_t size;  // 1, 2 or 4
    size_t count;
};

const Member kAssistInfo[] = {
    {offsetof(ASSISTANT_INFO, Version), 2, 1},
    {offsetof(ASSISTANT_INFO, Trigger), 2, 1},
    {offsetof(ASSISTANT_INFO, Search), 2, 1},
    {offsetof(ASSISTANT_INFO, IntervalType), 2, 1},
    {offsetof(ASSISTANT_INFO, Interval), 4, 1},
    {offsetof(ASSISTANT_INFO, StartTime), 4, 2},
    {offsetof(ASSISTANT_INFO, EndTime), 4, 2},
    {offsetof(ASSISTANT_INFO, LastRun), 4, 2},
    {offsetof(ASSISTANT_INFO, RunCount), 4, 1},
    {offsetof(ASSISTANT_INFO, Reserved), 1, sizeof(ASSISTANT_INFO::Reserved)},
};

struct Layout {
    WORD type;
    size_t memorySize;
    const Member *members;
    size_t count;
};

const Layout kLayouts[] = {
    {_ASSISTANT_INFO, sizeof(ASSISTANT_INFO), kAssistInfo,
     sizeof kAssistInfo / sizeof *kAssistInfo},
};

const Layout *Find(WORD type) {
    for (const Layout &layout : kLayouts) {
        if (layout.type == type)
            return &layout;
    }
    return nullptr;
}

size_t DiskSize(const Layout &layout) {
    size_t size = 0;
    for (size_t i = 0; i < layout.count; i++)
        size += layout.members[i].size * layout.members[i].count;
    return size;
}

// One unit between memory (in the machine's order) and disk (little-endian).
void ToDisk(const unsigned char *memory, size_t size, unsigned char *disk) {
    uint32_t value = 0;
    if (size == 1) {
        value = memory[0];
    } else if (size == 2) {
        uint16_t half = 0;
        std::memcpy(&half, memory, 2);
        value = half;
    } else {
        std::memcpy(&value, memory, 4);
    }
    for (size_t b = 0; b < size; b++)
        disk[b] = static_cast<unsigned char>(value >> (8 * b));
}

void FromDisk(const unsigned char *disk, size_t size, unsigned char *memory) {
    uint32_t value = 0;
    for (size_t b = 0; b < size; b++)
        value |= static_cast<uint32_t>(disk[b]) << (8 * b);
    if (size == 1) {
        memory[0] = static_cast<unsigned char>(value);
    } else if (size == 2) {
        uint16_t half = static_cast<uint16_t>(value);
        std::memcpy(memory, &half, 2);
    } else {
        std::memcpy(memory, &value, 4);
    }
}

}  // namespace

WORD LNPUBLIC ODSLength(WORD type) {
    if (notes_internal::FaultCheck("ODSLength"))
        return 0;
    const Layout *layout = Find(type);
    return layout ? static_cast<WORD>(DiskSize(*layout)) : 0;
}

STATUS LNPUBLIC ODSWriteMemory(void far *far *ppDest, WORD type, const void far *pSrc,
                               WORD Iterations) {
    if (STATUS fault = notes_internal::FaultCheck("ODSWriteMemory"))
        return fault;
    const Layout *layout = Find(type);
    if (layout == nullptr)
        return ERR_ODS_UNKNOWN_TYPE;
    if (Iterations == 0)
        return NOERROR;
    if (ppDest == nullptr || *ppDest == nullptr || pSrc == nullptr)
        return ERR_BAD_PARAM;
    auto *disk = static_cast<unsigned char *>(*ppDest);
    const auto *memory = static_cast<const unsigned char *>(pSrc);
    for (WORD i = 0; i < Iterations; i++, memory += layout->memorySize) {
        for (size_t m = 0; m < layout->count; m++) {
            const Member &member = layout->members[m];
            for (size_t u = 0; u < member.count; u++) {
                ToDisk(memory + member.offset + u * member.size, member.size, disk);
                disk += member.size;
            }
        }
    }
    *ppDest = disk;
    return NOERROR;
}

STATUS LNPUBLIC ODSReadMemory(const void far *far *ppSrc, WORD type, void far *pDest,
                              WORD Iterations) {
    if (STATUS fault = notes_internal::FaultCheck("ODSReadMemory"))
        return fault;
    const Layout *layout = Find(type);
    if (layout == nullptr)
        return ERR_ODS_UNKNOWN_TYPE;
    if (Iterations == 0)
        return NOERROR;
    if (ppSrc == nullptr || *ppSrc == nullptr || pDest == nullptr)
        return ERR_BAD_PARAM;
    const auto *disk = static_cast<const unsigned char *>(*ppSrc);
    auto *memory = static_cast<unsigned char *>(pDest);
    for (WORD i = 0; i < Iterations; i++, memory += layout->memorySize) {
        for (size_t m = 0; m < layout->count; m++) {
            const Member &member = layout->members[m];
            for (size_t u = 0; u < member.count; u++) {
                FromDisk(disk, member.size, memory + member.offset + u * member.size);
                disk += member.size;
            }
        }
    }
    *ppSrc = disk;
    return NOERROR;
}
