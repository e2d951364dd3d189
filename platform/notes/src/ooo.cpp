#include "ooo.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "agents_internal.h"
#include "fault.h"
#include "ini_file.h"
#include "nsf_internal.h"
#include "nsf_note.h"
#include "os_error.h"
#include "runtime_state.h"
#include "value_codec.h"

namespace notes_internal {
namespace {

using agents::StoredValues;

const char kVersionIniKey[] = "StandinOOOVersion";
const char kVersionKey[] = "$oooversion";
const char kFlagsKey[] = "$flags";
const char kAgentName[] = "OutOfOffice";

// One started operation. Its registry handle (kind Other) only reserves
// the value and counts it; the family's own tables below say what it is,
// so a handle of another family of that kind is never taken for one.
struct Operation : HandleObject {
    std::shared_ptr<nsf::DbObject> db;
    DHANDLE handle = NULLHANDLE;
    uintptr_t context = 0;
};

struct OooState {
    std::mutex mutex;
    int initCount = 0;
    // Contexts are counted up and never given out twice, so an ended
    // context cannot pass for a later operation's one.
    uintptr_t lastContext = 0;
    std::map<DHANDLE, std::shared_ptr<Operation>> byHandle;
    std::map<uintptr_t, std::shared_ptr<Operation>> byContext;
};

OooState &TheState() {
    static OooState *state = new OooState;
    return *state;
}

// Takes every operation out of the tables (state.mutex held); the caller
// releases their handles once the lock is given up.
std::vector<DHANDLE> TakeAllLocked(OooState &state) {
    std::vector<DHANDLE> handles;
    for (const auto &entry : state.byHandle)
        handles.push_back(entry.first);
    state.byHandle.clear();
    state.byContext.clear();
    return handles;
}

void ReleaseAll(const std::vector<DHANDLE> &handles) {
    for (DHANDLE handle : handles)
        ReleaseHandle(HandleKind::Other, handle);
}

void EndAllAtRuntimeEnd() {
    OooState &state = TheState();
    std::vector<DHANDLE> handles;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.initCount = 0;
        handles = TakeAllLocked(state);
    }
    ReleaseAll(handles);
}

uintptr_t ContextValue(const OOOCONTEXT *context) {
    return reinterpret_cast<uintptr_t>(context);
}

std::shared_ptr<Operation> FindByContext(const OOOCONTEXT *context) {
    OooState &state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    auto it = state.byContext.find(ContextValue(context));
    return it == state.byContext.end() ? nullptr : it->second;
}

// A version read from a text: 0 when blank (no version given), -1 when it
// is neither "1" nor "2".
int VersionOfText(const std::string &text) {
    std::string trimmed = TrimBlanks(text);
    if (trimmed.empty())
        return 0;
    if (trimmed == "1")
        return OOO_VERSION_AGENT;
    if (trimmed == "2")
        return OOO_VERSION_SERVICE;
    return -1;
}

// The icon note's "$OOOVersion" as a version; 0 without one, -1 when it
// holds something else.
int VersionOfMark(const StoredValues &icon) {
    auto it = icon.find(kVersionKey);
    if (it == icon.end())
        return 0;
    Value value;
    const auto *bytes = reinterpret_cast<const unsigned char *>(it->second.bytes.data());
    if (DecodeValue(it->second.type, bytes, it->second.bytes.size(), &value) != NOERROR)
        return -1;
    if (value.kind == ValueKind::Text) {
        if (value.texts.empty())
            return 0;
        return value.texts.size() == 1 ? VersionOfText(value.texts[0]) : -1;
    }
    if (value.kind == ValueKind::Number && value.numbers.size() == 1) {
        if (value.numbers[0] == 1.0)
            return OOO_VERSION_AGENT;
        if (value.numbers[0] == 2.0)
            return OOO_VERSION_SERVICE;
    }
    return -1;
}

int ServerDefaultVersion() {
    std::optional<std::string> value = IniGet(IniPath(), kVersionIniKey);
    int version = value ? VersionOfText(*value) : 0;
    return version == 0 ? OOO_VERSION_AGENT : version;
}

bool TextHolds(const StoredValues &values, const char *key, char letter) {
    auto it = values.find(key);
    std::string text;
    return it != values.end() && agents::FirstText(it->second, &text) &&
           text.find(letter) != std::string::npos;
}

STATUS ReadState(nsf::DbFile &file, WORD *version, WORD *state) {
    StoredValues icon;
    NOTEID iconId = 0;
    STATUS status = file.SpecialNote(NOTE_CLASS_ICON, &iconId);
    if (status == NOERROR) {
        nsf::StoredNote header;
        status = agents::ReadStoredItems(file, iconId, 0, {kVersionKey, kFlagsKey}, &header, &icon);
    }
    if (status != NOERROR && status != ERR_SPECIAL_ID)
        return status;

    int v = VersionOfMark(icon);
    if (v == 0)
        v = ServerDefaultVersion();
    if (v < 0)
        return ERR_OOO_BAD_VERSION;

    bool on;
    if (v == OOO_VERSION_AGENT) {
        NOTEID agentId = 0;
        StoredValues agent;
        if (STATUS find = agents::FindAgent(file, kAgentName, {"$assistflags"}, &agentId, &agent))
            return find;
        on = agentId != 0 && agents::AssistFlagsEnabled(agent);
    } else {
        on = TextHolds(icon, kFlagsKey, 'O');
    }
    *version = static_cast<WORD>(v);
    *state = on ? OOO_STATE_ON : OOO_STATE_OFF;
    return NOERROR;
}

}  // namespace
}  // namespace notes_internal

using notes_internal::HandleKind;
using notes_internal::Operation;
using notes_internal::TheState;

STATUS LNPUBLIC OOOInit(void) {
    if (STATUS fault = notes_internal::FaultCheck("OOOInit"))
        return fault;
    if (!notes_internal::RuntimeStarted())
        return ERR_NOT_INITIALIZED;
    notes_internal::AtRuntimeEnd(notes_internal::EndAllAtRuntimeEnd);
    auto &state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.initCount++;
    return NOERROR;
}

STATUS LNPUBLIC OOOStartOperation(const char far *pMailOwnerName, const char far *pHomeMailServer,
                                  BOOL isHomeServer, DBHANDLE hMailFile, DHANDLE far *rethOperation,
                                  OOOCONTEXT far *far *retpContext) {
    (void)isHomeServer;
    if (rethOperation)
        *rethOperation = NULLHANDLE;
    if (retpContext)
        *retpContext = nullptr;
    std::shared_ptr<notes_internal::nsf::DbObject> db;
    if (STATUS status = notes_internal::nsf::DbForCall("OOOStartOperation", hMailFile, &db))
        return status;
    if (rethOperation == nullptr || retpContext == nullptr || pMailOwnerName == nullptr ||
        pMailOwnerName[0] == '\0' || pHomeMailServer == nullptr)
        return ERR_BAD_PARAM;

    auto operation = std::make_shared<Operation>();
    operation->db = db;
    auto &state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.initCount == 0)
        return ERR_OOO_NOT_INITIALIZED;
    DHANDLE handle = notes_internal::RegisterHandle(HandleKind::Other, operation);
    if (handle == NULLHANDLE)
        return ERR_MEMORY;
    // Multiples of 16 from 16 up: never null, and aligned like a pointer.
    // OOOCONTEXT has no definition, so no caller reads through it.
    operation->context = (++state.lastContext) << 4;
    operation->handle = handle;
    state.byHandle.emplace(handle, operation);
    state.byContext.emplace(operation->context, operation);
    *rethOperation = handle;
    *retpContext = reinterpret_cast<OOOCONTEXT *>(operation->context);
    return NOERROR;
}

STATUS LNPUBLIC OOOGetState(OOOCONTEXT far *pContext, WORD far *retVersion, WORD far *retState) {
    if (retVersion)
        *retVersion = 0;
    if (retState)
        *retState = 0;
    std::shared_ptr<Operation> operation = notes_internal::FindByContext(pContext);
    if (STATUS fault = notes_internal::FaultCheck(
            "OOOGetState", operation ? operation->db->file->relPath().c_str() : nullptr))
        return fault;
    if (!operation)
        return ERR_OOO_BAD_CONTEXT;
    if (retVersion == nullptr || retState == nullptr)
        return ERR_BAD_PARAM;
    WORD version = 0;
    WORD state = 0;
    if (STATUS status = notes_internal::ReadState(*operation->db->file, &version, &state))
        return status;
    *retVersion = version;
    *retState = state;
    return NOERROR;
}

STATUS LNPUBLIC OOOEndOperation(DHANDLE hOperation, OOOCONTEXT far *pContext) {
    auto &state = TheState();
    std::shared_ptr<Operation> operation;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        auto it = state.byHandle.find(hOperation);
        if (it != state.byHandle.end())
            operation = it->second;
    }
    if (STATUS fault = notes_internal::FaultCheck(
            "OOOEndOperation", operation ? operation->db->file->relPath().c_str() : nullptr))
        return fault;
    if (!operation) {
        if (STATUS status = notes_internal::LookupHandle(HandleKind::Other, hOperation, nullptr))
            return status;  // unknown, or a handle of another kind
        return ERR_INVALID_HANDLE;
    }
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (notes_internal::ContextValue(pContext) != operation->context)
            return ERR_OOO_BAD_CONTEXT;
        // Another thread may have ended it since it was looked up.
        if (state.byHandle.erase(hOperation) == 0)
            return ERR_INVALID_HANDLE;
        state.byContext.erase(operation->context);
    }
    notes_internal::ReleaseHandle(HandleKind::Other, hOperation);
    return NOERROR;
}

STATUS LNPUBLIC OOOTerm(void) {
    if (STATUS fault = notes_internal::FaultCheck("OOOTerm"))
        return fault;
    auto &state = TheState();
    std::vector<DHANDLE> handles;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.initCount == 0)
            return ERR_OOO_NOT_INITIALIZED;
        if (--state.initCount == 0)
            handles = notes_internal::TakeAllLocked(state);
    }
    notes_internal::ReleaseAll(handles);
    return NOERROR;
}
