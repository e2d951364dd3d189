#include "agents.h"

#include <mutex>
#include <set>

#include "agents_internal.h"
#include "fault.h"
#include "nsf_internal.h"
#include "nsf_note.h"
#include "os_error.h"
#include "runtime_state.h"
#include "value_codec.h"

namespace notes_internal {
namespace agents {

namespace {

const char kAssistFlagsKey[] = "$assistflags";

}  // namespace

STATUS ReadStoredItems(nsf::DbFile &file, NOTEID id, WORD noteClass,
                       const std::vector<std::string> &keys, nsf::StoredNote *header,
                       StoredValues *values) {
    values->clear();
    *header = nsf::StoredNote{};
    // The store hands out the header before the first item: a note of
    // another class is left after its first item rather than read whole,
    // which keeps a scan over a large mail file cheap.
    auto wrongClass = [&] {
        return noteClass != 0 && header->id == id && header->noteClass != noteClass;
    };
    STATUS status = file.ReadNote(
        id, header,
        [&](const unsigned char *name, size_t nameLen, WORD type, WORD, const unsigned char *value,
            size_t size) -> STATUS {
            if (wrongClass())
                return ERR_NOT_AN_AGENT;
            std::string key = nsf::FoldName(reinterpret_cast<const char *>(name), nameLen);
            for (const std::string &wanted : keys) {
                if (key == wanted) {
                    values->emplace(
                        key, StoredValue{type,
                                         std::string(reinterpret_cast<const char *>(value), size)});
                    break;
                }
            }
            return NOERROR;
        });
    if (status == NOERROR && wrongClass())
        status = ERR_NOT_AN_AGENT;
    if (status != NOERROR)
        values->clear();
    return status;
}

bool FirstText(const StoredValue &value, std::string *text) {
    const unsigned char *entry = nullptr;
    size_t length = 0;
    if (value.type != TYPE_TEXT && value.type != TYPE_TEXT_LIST)
        return false;
    const auto *bytes = reinterpret_cast<const unsigned char *>(value.bytes.data());
    if (TextEntry(value.type, bytes, value.bytes.size(), 0, &entry, &length))
        text->assign(reinterpret_cast<const char *>(entry), length);
    else
        text->clear();  // an empty list reads as an empty text
    return true;
}

bool AssistFlagsEnabled(const StoredValues &values) {
    auto it = values.find(kAssistFlagsKey);
    std::string flags;
    return it != values.end() && FirstText(it->second, &flags) &&
           flags.find('E') != std::string::npos;
}

STATUS FindAgent(nsf::DbFile &file, const std::string &name, const std::vector<std::string> &keys,
                 NOTEID *id, StoredValues *values) {
    *id = 0;
    values->clear();
    NOTEID found = 0;
    STATUS status = file.FindDesign(NOTE_CLASS_FILTER, name.data(), name.size(), &found);
    if (status == ERR_DESIGN_NOT_FOUND)
        return NOERROR;
    if (status != NOERROR)
        return status;
    // The design index chose the class already.
    nsf::StoredNote header;
    status = ReadStoredItems(file, found, 0, keys, &header, values);
    if (status == ERR_NOTE_DELETED || status == ERR_INVALID_NOTE)
        return NOERROR;  // deleted since the lookup
    if (status != NOERROR)
        return status;
    *id = found;
    return NOERROR;
}

}  // namespace agents

namespace {

// An open agent: what its note held when it was opened.
struct AgentObject : HandleObject {
    NOTEID noteId = 0;
    bool enabled = false;
    std::string dbPath;  // for the fault rules of later calls
};

struct OpenAgents {
    std::mutex mutex;
    std::set<DHANDLE> handles;
};

OpenAgents &TheOpenAgents() {
    static OpenAgents *open = new OpenAgents;
    return *open;
}

void CloseAllAgents() {
    std::set<DHANDLE> handles;
    {
        OpenAgents &open = TheOpenAgents();
        std::lock_guard<std::mutex> lock(open.mutex);
        handles.swap(open.handles);
    }
    for (DHANDLE handle : handles)
        ReleaseHandle(HandleKind::Agent, handle);
}

// The registry handle of an HAGENT; 0 for a value that no open handed out.
DHANDLE RegistryHandle(HAGENT hAgent) {
    return hAgent > 0xFFFFFFFFu ? NULLHANDLE : static_cast<DHANDLE>(hAgent);
}

}  // namespace
}  // namespace notes_internal

using notes_internal::HandleKind;
using notes_internal::agents::StoredValues;

STATUS LNPUBLIC AgentOpen(DBHANDLE hDB, NOTEID AgentNoteID, HAGENT far *rethAgent) {
    if (rethAgent != nullptr)
        *rethAgent = 0;
    std::shared_ptr<notes_internal::nsf::DbObject> db;
    if (STATUS status = notes_internal::nsf::DbForCall("AgentOpen", hDB, &db))
        return status;
    if (rethAgent == nullptr)
        return ERR_BAD_PARAM;
    if ((AgentNoteID & NOTE_ID_SPECIAL) == NOTE_ID_SPECIAL) {
        if (STATUS special =
                db->file->SpecialNote(static_cast<WORD>(AgentNoteID & 0xFFFFu), &AgentNoteID))
            return special;
    }
    if (AgentNoteID == 0)
        return ERR_INVALID_NOTE;

    notes_internal::nsf::StoredNote header;
    StoredValues values;
    if (STATUS status = notes_internal::agents::ReadStoredItems(
            *db->file, AgentNoteID, NOTE_CLASS_FILTER, {"$assistflags"}, &header, &values))
        return status;

    auto agent = std::make_shared<notes_internal::AgentObject>();
    agent->noteId = AgentNoteID;
    agent->enabled = notes_internal::agents::AssistFlagsEnabled(values);
    agent->dbPath = db->file->relPath();
    notes_internal::AtRuntimeEnd(notes_internal::CloseAllAgents);
    DHANDLE handle = notes_internal::RegisterHandle(HandleKind::Agent, agent);
    if (handle == NULLHANDLE)
        return ERR_MEMORY;
    {
        auto &open = notes_internal::TheOpenAgents();
        std::lock_guard<std::mutex> lock(open.mutex);
        open.handles.insert(handle);
    }
    *rethAgent = handle;
    return NOERROR;
}

BOOL LNPUBLIC AgentIsEnabled(HAGENT hAgent) {
    std::shared_ptr<notes_internal::AgentObject> agent;
    STATUS status =
        notes_internal::Lookup(HandleKind::Agent, notes_internal::RegistryHandle(hAgent), &agent);
    if (notes_internal::FaultCheck("AgentIsEnabled",
                                   status == NOERROR ? agent->dbPath.c_str() : nullptr))
        return FALSE;
    return status == NOERROR && agent->enabled ? TRUE : FALSE;
}

void LNPUBLIC AgentClose(HAGENT hAgent) {
    DHANDLE handle = notes_internal::RegistryHandle(hAgent);
    if (notes_internal::ReleaseHandle(HandleKind::Agent, handle) != NOERROR)
        return;
    auto &open = notes_internal::TheOpenAgents();
    std::lock_guard<std::mutex> lock(open.mutex);
    open.handles.erase(handle);
}
