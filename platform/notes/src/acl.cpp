// The ACL calls (acl.h): an in-memory ACL behind a memory handle, and its
// read, store and template copy.
#include "acl.h"

#include <array>
#include <cstring>
#include <mutex>

#include "acl_store.h"
#include "collation.h"
#include "fault.h"
#include "nsf_internal.h"
#include "os_error.h"
#include "os_mem_internal.h"

using notes_internal::HandleKind;
using notes_internal::acl::Data;
using notes_internal::acl::Entry;
using notes_internal::nsf::DbForCall;
using notes_internal::nsf::DbObject;

namespace {

// An ACL in memory: a memory object, so that OSMemFree frees it, with the
// ACL beside its (empty) bytes.
struct AclObject : notes_internal::MemoryObject {
    std::mutex mutex;
    Data data;
};

STATUS LookupAcl(DHANDLE handle, std::shared_ptr<AclObject> *out) {
    std::shared_ptr<notes_internal::HandleObject> object;
    if (STATUS status = notes_internal::LookupHandle(HandleKind::Memory, handle, &object))
        return status;
    *out = std::dynamic_pointer_cast<AclObject>(object);
    return *out ? NOERROR : ERR_NOT_AN_ACL;
}

std::string NameOf(const char *name) {
    return name ? std::string(name) : std::string();
}

ACL_PRIVILEGES PrivilegesOf(const ACL_PRIVILEGES *privileges) {
    return privileges ? *privileges : ACL_PRIVILEGES{};
}

// Checks a new entry's values against the ACL.
STATUS CheckEntry(const Data &data, const Entry &entry) {
    if (STATUS status = notes_internal::acl::CheckEntryName(entry.name))
        return status;
    if (STATUS status = notes_internal::acl::CheckLevel(entry.level))
        return status;
    if (STATUS status = notes_internal::acl::CheckFlags(entry.flags))
        return status;
    return notes_internal::acl::CheckPrivileges(data, entry.privileges);
}

// The entry that a name names (the default entry for "-Default-"), or null.
Entry *EntryOf(Data &data, const std::string &name) {
    if (notes_internal::acl::IsDefaultName(name))
        return &data.defaultEntry;
    return data.Find(notes_internal::acl::NameKey(name));
}

// Sets or adds an entry (the default entry for "-Default-"), for the
// template copy.
void PutEntry(Data &data, Entry entry) {
    if (notes_internal::acl::IsDefaultName(entry.name)) {
        entry.name = ACL_DEFAULT_NAME;
        data.defaultEntry = std::move(entry);
        return;
    }
    if (Entry *held = data.Find(notes_internal::acl::NameKey(entry.name))) {
        *held = std::move(entry);
        return;
    }
    data.entries.push_back(std::move(entry));
}

// A text list without the data-type prefix (textlist.h) of the names.
std::vector<unsigned char> TextList(const std::vector<std::string> &names) {
    std::vector<unsigned char> bytes(2 + 2 * names.size());
    const WORD count = static_cast<WORD>(names.size());
    std::memcpy(bytes.data(), &count, 2);
    for (size_t i = 0; i < names.size(); i++) {
        const WORD length = static_cast<WORD>(names[i].size());
        std::memcpy(bytes.data() + 2 + 2 * i, &length, 2);
        bytes.insert(bytes.end(), names[i].begin(), names[i].end());
    }
    return bytes;
}

}  // namespace

STATUS LNPUBLIC NSFDbReadACL(DBHANDLE hDB, DHANDLE far *rethACL) {
    if (rethACL != nullptr)
        *rethACL = NULLHANDLE;
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("NSFDbReadACL", hDB, &db))
        return status;
    if (rethACL == nullptr)
        return ERR_BAD_PARAM;
    auto object = std::make_shared<AclObject>();
    if (STATUS status = notes_internal::acl::Read(*db->file, &object->data))
        return status;
    DHANDLE handle = notes_internal::RegisterHandle(HandleKind::Memory, object);
    if (handle == NULLHANDLE)
        return ERR_MEMORY;
    *rethACL = handle;
    return NOERROR;
}

STATUS LNPUBLIC NSFDbStoreACL(DBHANDLE hDB, DHANDLE hACL, DWORD ObjectID, WORD Method) {
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("NSFDbStoreACL", hDB, &db))
        return status;
    std::shared_ptr<AclObject> acl;
    if (STATUS status = LookupAcl(hACL, &acl))
        return status;
    if (ObjectID != 0 || Method != 0)
        return ERR_BAD_PARAM;
    Data data;
    {
        std::lock_guard<std::mutex> lock(acl->mutex);
        data = acl->data;
    }
    return notes_internal::acl::Store(*db->file, data);
}

STATUS LNPUBLIC ACLEnumEntries(DHANDLE hACL, ACLENTRYENUMFUNC EnumFunc, void far *EnumFuncParam) {
    std::shared_ptr<AclObject> acl;
    if (STATUS fault = notes_internal::FaultCheck("ACLEnumEntries"))
        return fault;
    if (STATUS status = LookupAcl(hACL, &acl))
        return status;
    if (EnumFunc == nullptr)
        return ERR_BAD_PARAM;
    std::vector<Entry> entries;
    {
        std::lock_guard<std::mutex> lock(acl->mutex);
        entries.push_back(acl->data.defaultEntry);
        entries.insert(entries.end(), acl->data.entries.begin(), acl->data.entries.end());
    }
    // Called without the lock, on a copy, so that the callback may change
    // the ACL.
    for (const Entry &entry : entries)
        EnumFunc(EnumFuncParam, entry.name.c_str(), entry.level, &entry.privileges, entry.flags);
    return NOERROR;
}

STATUS LNPUBLIC ACLGetPrivName(DHANDLE hACL, WORD PrivNum, char far *retPrivName) {
    if (retPrivName != nullptr)
        retPrivName[0] = '\0';
    std::shared_ptr<AclObject> acl;
    if (STATUS fault = notes_internal::FaultCheck("ACLGetPrivName"))
        return fault;
    if (STATUS status = LookupAcl(hACL, &acl))
        return status;
    if (retPrivName == nullptr)
        return ERR_BAD_PARAM;
    if (PrivNum >= ACL_PRIVCOUNT)
        return ERR_ACL_BAD_PRIV;
    std::lock_guard<std::mutex> lock(acl->mutex);
    const std::string &name = acl->data.roles[PrivNum];
    std::memcpy(retPrivName, name.c_str(), name.size() + 1);  // shorter than ACL_PRIVSTRINGMAX
    return NOERROR;
}

STATUS LNPUBLIC ACLSetPrivName(DHANDLE hACL, WORD PrivNum, const char far *PrivName) {
    std::shared_ptr<AclObject> acl;
    if (STATUS fault = notes_internal::FaultCheck("ACLSetPrivName"))
        return fault;
    if (STATUS status = LookupAcl(hACL, &acl))
        return status;
    if (PrivNum >= ACL_PRIVCOUNT)
        return ERR_ACL_BAD_PRIV;
    std::lock_guard<std::mutex> lock(acl->mutex);
    Data &data = acl->data;
    if (PrivName == nullptr || *PrivName == '\0') {
        data.roles[PrivNum].clear();
        ACLClearPriv(data.defaultEntry.privileges, PrivNum);
        for (Entry &entry : data.entries)
            ACLClearPriv(entry.privileges, PrivNum);
        return NOERROR;
    }
    std::string name;
    if (STATUS status = notes_internal::acl::RoleName(PrivName, &name))
        return status;
    const int held = data.RoleSlot(name);
    if (held >= 0 && held != PrivNum)
        return ERR_ACL_ROLE_EXISTS;
    data.roles[PrivNum] = name;
    return NOERROR;
}

STATUS LNPUBLIC ACLAddEntry(DHANDLE hACL, const char far *Name, WORD AccessLevel,
                            const ACL_PRIVILEGES far *Privileges, WORD AccessFlags) {
    std::shared_ptr<AclObject> acl;
    if (STATUS fault = notes_internal::FaultCheck("ACLAddEntry"))
        return fault;
    if (STATUS status = LookupAcl(hACL, &acl))
        return status;
    Entry entry;
    entry.name = NameOf(Name);
    entry.level = AccessLevel;
    entry.flags = AccessFlags;
    entry.privileges = PrivilegesOf(Privileges);
    std::lock_guard<std::mutex> lock(acl->mutex);
    Data &data = acl->data;
    if (STATUS status = CheckEntry(data, entry))
        return status;
    if (notes_internal::acl::IsDefaultName(entry.name)) {
        entry.name = ACL_DEFAULT_NAME;
        data.defaultEntry = std::move(entry);
        return NOERROR;
    }
    if (data.Find(notes_internal::acl::NameKey(entry.name)) != nullptr)
        return ERR_ACL_ENTRY_EXISTS;
    data.entries.push_back(std::move(entry));
    return NOERROR;
}

STATUS LNPUBLIC ACLDeleteEntry(DHANDLE hACL, const char far *Name) {
    std::shared_ptr<AclObject> acl;
    if (STATUS fault = notes_internal::FaultCheck("ACLDeleteEntry"))
        return fault;
    if (STATUS status = LookupAcl(hACL, &acl))
        return status;
    const std::string name = NameOf(Name);
    if (Name == nullptr || notes_internal::acl::IsDefaultName(name))
        return ERR_ACL_DEFAULT_ENTRY;
    const std::string key = notes_internal::acl::NameKey(name);
    std::lock_guard<std::mutex> lock(acl->mutex);
    auto &entries = acl->data.entries;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (notes_internal::acl::NameKey(it->name) == key) {
            entries.erase(it);
            return NOERROR;
        }
    }
    return ERR_ACL_NOT_FOUND;
}

STATUS LNPUBLIC ACLUpdateEntry(DHANDLE hACL, const char far *Name, WORD UpdateFlags,
                               const char far *NewName, WORD NewAccessLevel,
                               const ACL_PRIVILEGES far *NewPrivileges, WORD NewAccessFlags) {
    std::shared_ptr<AclObject> acl;
    if (STATUS fault = notes_internal::FaultCheck("ACLUpdateEntry"))
        return fault;
    if (STATUS status = LookupAcl(hACL, &acl))
        return status;
    constexpr WORD kKnown =
        ACL_UPDATE_NAME | ACL_UPDATE_LEVEL | ACL_UPDATE_PRIVILEGES | ACL_UPDATE_FLAGS;
    if (UpdateFlags & static_cast<WORD>(~kKnown))
        return ERR_BAD_PARAM;
    std::lock_guard<std::mutex> lock(acl->mutex);
    Data &data = acl->data;
    Entry *entry = Name == nullptr ? &data.defaultEntry : EntryOf(data, Name);
    if (entry == nullptr)
        return ERR_ACL_NOT_FOUND;
    Entry changed = *entry;
    if (UpdateFlags & ACL_UPDATE_NAME) {
        changed.name = NameOf(NewName);
        if (entry == &data.defaultEntry || notes_internal::acl::IsDefaultName(changed.name))
            return ERR_ACL_DEFAULT_ENTRY;
        const Entry *other = data.Find(notes_internal::acl::NameKey(changed.name));
        if (other != nullptr && other != entry)
            return ERR_ACL_ENTRY_EXISTS;
    }
    if (UpdateFlags & ACL_UPDATE_LEVEL)
        changed.level = NewAccessLevel;
    if (UpdateFlags & ACL_UPDATE_PRIVILEGES)
        changed.privileges = PrivilegesOf(NewPrivileges);
    if (UpdateFlags & ACL_UPDATE_FLAGS)
        changed.flags = NewAccessFlags;
    if (STATUS status = CheckEntry(data, changed))
        return status;
    *entry = std::move(changed);
    return NOERROR;
}

STATUS LNPUBLIC ACLLookupAccess(DHANDLE hACL, const NAMES_LIST far *pNamesList,
                                WORD far *retAccessLevel, ACL_PRIVILEGES far *retPrivileges,
                                WORD far *retAccessFlags, DHANDLE far *rethPrivNames) {
    if (retAccessLevel)
        *retAccessLevel = 0;
    if (retPrivileges)
        *retPrivileges = ACL_PRIVILEGES{};
    if (retAccessFlags)
        *retAccessFlags = 0;
    if (rethPrivNames)
        *rethPrivNames = NULLHANDLE;
    std::shared_ptr<AclObject> acl;
    if (STATUS fault = notes_internal::FaultCheck("ACLLookupAccess"))
        return fault;
    if (STATUS status = LookupAcl(hACL, &acl))
        return status;
    if (pNamesList == nullptr)
        return ERR_BAD_PARAM;
    Entry found;
    std::vector<std::string> roles;
    {
        std::lock_guard<std::mutex> lock(acl->mutex);
        Data &data = acl->data;
        const Entry *entry = nullptr;
        const char *name = reinterpret_cast<const char *>(pNamesList + 1);
        for (WORD i = 0; i < pNamesList->NumNames && entry == nullptr; i++) {
            entry = EntryOf(data, name);
            name += std::strlen(name) + 1;
        }
        found = entry ? *entry : data.defaultEntry;
        for (size_t slot = 0; slot < ACL_PRIVCOUNT; slot++) {
            if (ACLIsPrivSet(found.privileges, slot))
                roles.push_back(data.roles[slot]);
        }
    }
    if (rethPrivNames && !roles.empty()) {
        DHANDLE names = notes_internal::NewMemoryObject(TextList(roles));
        if (names == NULLHANDLE)
            return ERR_MEMORY;
        *rethPrivNames = names;
    }
    if (retAccessLevel)
        *retAccessLevel = found.level;
    if (retPrivileges)
        *retPrivileges = found.privileges;
    if (retAccessFlags)
        *retAccessFlags = found.flags;
    return NOERROR;
}

STATUS LNPUBLIC NSFDbCopyTemplateACL(DBHANDLE hSrcDB, DBHANDLE hDstDB, const char far *Manager,
                                     WORD DefaultAccessLevel) {
    std::shared_ptr<DbObject> dst;
    if (STATUS status = DbForCall("NSFDbCopyTemplateACL", hDstDB, &dst))
        return status;
    std::shared_ptr<DbObject> src;
    if (STATUS status = notes_internal::nsf::LookupDb(hSrcDB, &src))
        return status;
    if (STATUS status = notes_internal::acl::CheckLevel(DefaultAccessLevel))
        return status;
    const std::string manager = NameOf(Manager);
    if (!manager.empty()) {
        if (STATUS status = notes_internal::acl::CheckEntryName(manager))
            return status;
    }
    Data from;
    if (STATUS status = notes_internal::acl::Read(*src->file, &from))
        return status;

    notes_internal::nsf::Transaction txn(*dst->file);
    if (STATUS status = txn.Begin())
        return status;
    Data to;
    if (STATUS status = notes_internal::acl::ReadRows(txn.Sql(), &to))
        return status;
    // The template's roles come by name: a role the destination lacks
    // takes its first empty slot.
    std::array<int, ACL_PRIVCOUNT> slotOf;
    slotOf.fill(-1);
    for (size_t slot = 0; slot < ACL_PRIVCOUNT; slot++) {
        if (from.roles[slot].empty())
            continue;
        int target = to.RoleSlot(from.roles[slot]);
        for (size_t free = 0; free < ACL_PRIVCOUNT && target < 0; free++) {
            if (to.roles[free].empty())
                target = static_cast<int>(free);
        }
        if (target < 0)
            return ERR_ACL_FULL;
        to.roles[static_cast<size_t>(target)] = from.roles[slot];
        slotOf[slot] = target;
    }
    bool inheritedDefault = false;
    auto inherit = [&](const Entry &entry) -> STATUS {
        const std::string &name = entry.name;
        if (name.size() < 3 || name.front() != '[' || name.back() != ']')
            return NOERROR;
        Entry copy = entry;
        copy.name = name.substr(1, name.size() - 2);
        copy.privileges = ACL_PRIVILEGES{};
        for (size_t slot = 0; slot < ACL_PRIVCOUNT; slot++) {
            if (ACLIsPrivSet(entry.privileges, slot) && slotOf[slot] >= 0)
                ACLSetPriv(copy.privileges, slotOf[slot]);
        }
        inheritedDefault = inheritedDefault || notes_internal::acl::IsDefaultName(copy.name);
        PutEntry(to, std::move(copy));
        return NOERROR;
    };
    // A bracketed default entry is an ordinary entry of the template.
    for (const Entry &entry : from.entries) {
        if (STATUS status = inherit(entry))
            return status;
    }
    if (!inheritedDefault) {
        to.defaultEntry = Entry();
        to.defaultEntry.name = ACL_DEFAULT_NAME;
        to.defaultEntry.level = DefaultAccessLevel;
    }
    if (!manager.empty()) {
        Entry entry;
        entry.name = manager;
        entry.level = ACL_LEVEL_MANAGER;
        PutEntry(to, std::move(entry));
    }
    if (STATUS status = notes_internal::acl::WriteRows(txn.Sql(), to))
        return status;
    return txn.Commit();
}
