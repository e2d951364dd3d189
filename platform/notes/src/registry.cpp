#include "registry.h"

#include <mutex>
#include <unordered_map>

#include "os_error.h"

namespace notes_internal {
namespace {

struct Entry {
    HandleKind kind;
    std::shared_ptr<HandleObject> object;
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<DHANDLE, Entry> entries;
    size_t counts[kHandleKindCount] = {};
    // Values are handed out in increasing order and reused only after a full
    // wrap, so a stale handle is very unlikely to name a new object.
    DHANDLE next = 0x1000;
};

Registry &TheRegistry() {
    // Never destroyed: handles may still be closed by static destructors.
    static Registry *registry = new Registry;
    return *registry;
}

using EntryIt = std::unordered_map<DHANDLE, Entry>::iterator;

// The entry of a live handle of that kind; r.mutex must be held.
STATUS FindLocked(Registry &r, HandleKind kind, DHANDLE handle, EntryIt *out) {
    if (handle == NULLHANDLE)
        return ERR_INVALID_HANDLE;
    auto it = r.entries.find(handle);
    if (it == r.entries.end())
        return ERR_INVALID_HANDLE;
    if (it->second.kind != kind)
        return ERR_WRONG_HANDLE_KIND;
    *out = it;
    return NOERROR;
}

}  // namespace

DHANDLE RegisterHandle(HandleKind kind, std::shared_ptr<HandleObject> object) {
    Registry &r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.entries.size() >= 0x7FFFFFF0u)
        return NULLHANDLE;
    DHANDLE value;
    do {
        value = r.next++;
        if (r.next >= 0x7FFFFFFFu)
            r.next = 0x1000;
    } while (r.entries.count(value) != 0);
    r.entries.emplace(value, Entry{kind, std::move(object)});
    r.counts[static_cast<int>(kind)]++;
    return value;
}

STATUS LookupHandle(HandleKind kind, DHANDLE handle, std::shared_ptr<HandleObject> *out) {
    Registry &r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    EntryIt it;
    if (STATUS status = FindLocked(r, kind, handle, &it))
        return status;
    if (out)
        *out = it->second.object;
    return NOERROR;
}

STATUS ReleaseHandle(HandleKind kind, DHANDLE handle, std::shared_ptr<HandleObject> *out) {
    std::shared_ptr<HandleObject> object;
    {
        Registry &r = TheRegistry();
        std::lock_guard<std::mutex> lock(r.mutex);
        EntryIt it;
        if (STATUS status = FindLocked(r, kind, handle, &it))
            return status;
        object = std::move(it->second.object);
        r.entries.erase(it);
        r.counts[static_cast<int>(kind)]--;
    }
    if (out)
        *out = std::move(object);
    // Otherwise the object dies here, outside the lock.
    return NOERROR;
}

size_t CountHandles(HandleKind kind) {
    Registry &r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.counts[static_cast<int>(kind)];
}

}  // namespace notes_internal

#include "standin/runtime.h"

DWORD StandinHandleCount(int kind) {
    if (kind <= 0 || kind >= notes_internal::kHandleKindCount) {
        size_t total = 0;
        for (int k = 1; k < notes_internal::kHandleKindCount; k++)
            total += notes_internal::CountHandles(static_cast<notes_internal::HandleKind>(k));
        return static_cast<DWORD>(total);
    }
    return static_cast<DWORD>(
        notes_internal::CountHandles(static_cast<notes_internal::HandleKind>(kind)));
}
