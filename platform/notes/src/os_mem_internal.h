// Memory objects, shared with the families that hand out memory (lists,
// item values, lookups).
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "global.h"
#include "registry.h"

namespace notes_internal {

struct MemoryObject : HandleObject {
    std::vector<unsigned char> bytes;
    std::atomic<int> locks{0};
    WORD blockType = 0;
    // Non-zero for a block that belongs to an open note (an item value): it
    // cannot be freed or resized through its handle and dies with the note.
    DHANDLE owner = NULLHANDLE;
};

// Registers a new memory object holding the given bytes; 0 when no handle is
// free. For an owned block pass the owner's handle.
DHANDLE NewMemoryObject(std::vector<unsigned char> bytes, DHANDLE owner = NULLHANDLE,
                        std::shared_ptr<MemoryObject> *out = nullptr);

}  // namespace notes_internal
