#include "os_mem.h"

#include <new>

#include "fault.h"
#include "os_error.h"
#include "os_mem_internal.h"

using notes_internal::HandleKind;
using notes_internal::MemoryObject;

namespace {
constexpr DWORD kMaxAllocation = 1u << 30;
}

namespace notes_internal {

DHANDLE NewMemoryObject(std::vector<unsigned char> bytes, DHANDLE owner,
                        std::shared_ptr<MemoryObject> *out) {
    auto object = std::make_shared<MemoryObject>();
    object->bytes = std::move(bytes);
    object->owner = owner;
    DHANDLE handle = RegisterHandle(HandleKind::Memory, object);
    if (handle != NULLHANDLE && out)
        *out = object;
    return handle;
}

}  // namespace notes_internal

STATUS LNPUBLIC OSMemAlloc(WORD BlkType, DWORD dwSize, DHANDLE far *retHandle) {
    if (retHandle == nullptr)
        return ERR_BAD_PARAM;
    *retHandle = NULLHANDLE;
    if (STATUS fault = notes_internal::FaultCheck("OSMemAlloc"))
        return fault;
    if (dwSize > kMaxAllocation)
        return ERR_MEMORY;
    std::shared_ptr<MemoryObject> object;
    try {
        DHANDLE handle = notes_internal::NewMemoryObject(std::vector<unsigned char>(dwSize),
                                                         NULLHANDLE, &object);
        if (handle == NULLHANDLE)
            return ERR_MEMORY;
        object->blockType = BlkType;
        *retHandle = handle;
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
    return NOERROR;
}

STATUS LNPUBLIC OSMemRealloc(DHANDLE Handle, DWORD NewSize) {
    std::shared_ptr<MemoryObject> object;
    if (STATUS status = notes_internal::Lookup(HandleKind::Memory, Handle, &object))
        return status;
    if (object->owner != NULLHANDLE)
        return ERR_BAD_PARAM;
    if (object->locks.load() > 0)
        return ERR_HANDLE_LOCKED;
    if (NewSize > kMaxAllocation)
        return ERR_MEMORY;
    try {
        object->bytes.resize(NewSize);
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
    return NOERROR;
}

STATUS LNPUBLIC OSMemGetSize(DHANDLE Handle, DWORD far *retSize) {
    if (retSize == nullptr)
        return ERR_BAD_PARAM;
    std::shared_ptr<MemoryObject> object;
    if (STATUS status = notes_internal::Lookup(HandleKind::Memory, Handle, &object))
        return status;
    *retSize = static_cast<DWORD>(object->bytes.size());
    return NOERROR;
}

void far *LNPUBLIC OSLockObject(DHANDLE Handle) {
    std::shared_ptr<MemoryObject> object;
    if (notes_internal::Lookup(HandleKind::Memory, Handle, &object) != NOERROR)
        return nullptr;
    object->locks++;
    // An empty object still has an address that may be compared, not read.
    static unsigned char empty[1];
    return object->bytes.empty() ? empty : object->bytes.data();
}

BOOL LNPUBLIC OSUnlockObject(DHANDLE Handle) {
    std::shared_ptr<MemoryObject> object;
    if (notes_internal::Lookup(HandleKind::Memory, Handle, &object) != NOERROR)
        return FALSE;
    int locks = object->locks.load();
    while (locks > 0 && !object->locks.compare_exchange_weak(locks, locks - 1)) {
    }
    return locks > 0 ? TRUE : FALSE;
}

STATUS LNPUBLIC OSMemFree(DHANDLE Handle) {
    std::shared_ptr<MemoryObject> object;
    if (STATUS status = notes_internal::Lookup(HandleKind::Memory, Handle, &object))
        return status;
    if (object->owner != NULLHANDLE)
        return ERR_BAD_PARAM;
    return notes_internal::ReleaseHandle(HandleKind::Memory, Handle);
}
