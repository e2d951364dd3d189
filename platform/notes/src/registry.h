// The one registry of every handle the library hands out.
//
// A handle is a 32-bit value unique across all kinds while it is open; a
// lookup names the kind it expects, so a closed, unknown or wrong-kind
// handle is a status, never a stray pointer. Objects are held by shared_ptr:
// a thread that looked an object up keeps it alive while another thread
// closes the handle.
#pragma once

#include <cstddef>
#include <memory>

#include "global.h"

namespace notes_internal {

enum class HandleKind : int {
    Memory = 1,
    Database,
    Note,
    Queue,
    Collection,
    Agent,
    StatusLine,
    Compute,      // formula computations (nsf_formula.h)
    DxlImporter,  // DXL importers (dxl_api.h)
    Other,        // for families that need a kind of their own later
};
constexpr int kHandleKindCount = static_cast<int>(HandleKind::Other) + 1;

struct HandleObject {
    virtual ~HandleObject() = default;
};

// Registers an object; returns its new handle, or 0 when no handle is free.
DHANDLE RegisterHandle(HandleKind kind, std::shared_ptr<HandleObject> object);

// ERR_INVALID_HANDLE for 0, unknown or closed handles, ERR_WRONG_HANDLE_KIND
// for an open handle of another kind.
STATUS LookupHandle(HandleKind kind, DHANDLE handle, std::shared_ptr<HandleObject> *out);

// Takes the handle out of the registry (the same statuses as LookupHandle);
// *out, when given, receives the object so that the caller finishes closing
// it outside the registry's lock.
STATUS ReleaseHandle(HandleKind kind, DHANDLE handle, std::shared_ptr<HandleObject> *out = nullptr);

// Open handles of one kind.
size_t CountHandles(HandleKind kind);

template <class T>
STATUS Lookup(HandleKind kind, DHANDLE handle, std::shared_ptr<T> *out) {
    std::shared_ptr<HandleObject> object;
    STATUS status = LookupHandle(kind, handle, &object);
    if (status == NOERROR)
        *out = std::static_pointer_cast<T>(object);
    return status;
}

}  // namespace notes_internal
