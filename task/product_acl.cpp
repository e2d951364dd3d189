#include "product_acl.h"

#include <strings.h>

#include <cstring>

namespace {

const char kAdminRole[] = "[Admin]";
const char kSysAdminRole[] = "[SysAdmin]";
const char kDirectoryDb[] = "names.nsf";
const char kServersView[] = "($Servers)";
const char kServersViewFlags[] = "-G40n^";
const char kAnonymous[] = "Anonymous";

const WORD kNameBufferSize = 256;
const WORD kUpdateLevelAndFlags = ACL_UPDATE_LEVEL | ACL_UPDATE_FLAGS;

// The canonical form of name in canonical, ended at the length the call
// gives.
STATUS Canonical(const char *name, std::string &canonical) {
    char out[kNameBufferSize];
    WORD length = 0;
    STATUS status = DNCanonicalize(0, nullptr, name, out, sizeof out, &length);
    if (status == NOERROR)
        canonical.assign(out, length < sizeof out ? length : sizeof out - 1);
    return status;
}

bool Canonicalize(const char *name, std::string &canonical) {
    return Canonical(name, canonical) == NOERROR;
}

// A name plain and in brackets: a template's bracketed entries are the ones
// that a database made from it inherits.
void SetAclEntryPair(DHANDLE hACL, const std::string &canonical, WORD level, WORD flags,
                     BOOL withRoles) {
    SetAclEntry(hACL, canonical.c_str(), level, flags, withRoles);
    SetAclEntry(hACL, ("[" + canonical + "]").c_str(), level, flags, withRoles);
}

// Appends the entries of one text list item of the server document.
void AppendNames(NOTEHANDLE note, const char *item, AclNameList &names) {
    WORD count = NSFItemGetTextListEntries(note, item);
    for (WORD i = 0; i < count; i++) {
        char text[kNameBufferSize] = {};
        NSFItemGetTextListEntry(note, item, i, text, sizeof text);
        if (text[0] == '\0')
            continue;
        std::string canonical;
        names.push_back(Canonicalize(text, canonical) ? canonical : std::string(text));
    }
}

// The ACL's entry names; empty when the enumeration fails.
AclNameList EntryNames(DHANDLE hACL) {
    AclNameList names;
    if (ACLEnumEntries(hACL, CollectAclEntryCallback, &names) != NOERROR)
        names.clear();
    return names;
}

// Reads the ACL of hDB. A read that succeeds without giving one counts as
// failed: storing no ACL would wipe the database's.
STATUS ReadAcl(DBHANDLE hDB, DHANDLE &acl) {
    acl = NULLHANDLE;
    STATUS status = NSFDbReadACL(hDB, &acl);
    if (status == NOERROR && acl == NULLHANDLE)
        status = ERR_NOT_AN_ACL;
    return status;
}

}  // namespace

STATUS SetAclEntry(DHANDLE hACL, const char *name, WORD level, WORD flags, BOOL withRoles) {
    ACL_PRIVILEGES privileges;
    std::memset(&privileges, 0, sizeof privileges);
    if (withRoles) {
        for (WORD slot = 0; slot < ACL_PRIVCOUNT; slot++) {
            char role[ACL_PRIVSTRINGMAX] = {};
            if (ACLGetPrivName(hACL, slot, role) != NOERROR)
                continue;
            if (strncasecmp(role, kAdminRole, sizeof kAdminRole - 1) == 0 ||
                strncasecmp(role, kSysAdminRole, sizeof kSysAdminRole - 1) == 0) {
                ACLSetPriv(privileges, slot);
            }
        }
    }
    ACLDeleteEntry(hACL, name);  // there need not be one
    return ACLAddEntry(hACL, name, level, &privileges, flags);
}

void LNCALLBACK CollectAclEntryCallback(void *EnumFuncParam, const char *Name, WORD AccessLevel,
                                        const ACL_PRIVILEGES *Privileges, WORD AccessFlags) {
    (void)AccessLevel;
    (void)Privileges;
    (void)AccessFlags;
    static_cast<AclNameList *>(EnumFuncParam)->push_back(Name);
}

void GetServerAdministrators(const char *serverName, AclNameList &names) {
    DBHANDLE directory = NULLHANDLE;
    if (NSFDbOpen(kDirectoryDb, &directory) != NOERROR)
        return;
    NOTEID viewId = 0;
    HCOLLECTION collection = NULLHANDLE;
    STATUS status = NIFFindDesignNoteExt(directory, kServersView, NOTE_CLASS_VIEW,
                                         kServersViewFlags, &viewId, 0);
    if (status == NOERROR) {
        status = NIFOpenCollection(directory, directory, viewId, 0, NULLHANDLE, &collection,
                                   nullptr, nullptr, nullptr, nullptr);
    }
    if (status != NOERROR || collection == NULLHANDLE) {
        NSFDbClose(directory);
        return;
    }
    COLLECTIONPOSITION position;
    std::memset(&position, 0, sizeof position);
    DWORD matches = 0;
    DHANDLE buffer = NULLHANDLE;
    status = NIFFindByName(collection, serverName, FIND_CASE_INSENSITIVE, &position, &matches);
    if (status == NOERROR) {
        status = NIFReadEntries(collection, &position, NAVIGATE_CURRENT, 0, NAVIGATE_NEXT, matches,
                                READ_MASK_NOTEID, &buffer, nullptr, nullptr, nullptr, nullptr);
    }
    NIFCloseCollection(collection);
    if (status != NOERROR || buffer == NULLHANDLE) {
        if (buffer != NULLHANDLE)
            OSMemFree(buffer);
        NSFDbClose(directory);
        return;
    }
    const NOTEID *ids = static_cast<const NOTEID *>(OSLockObject(buffer));
    NOTEHANDLE note = NULLHANDLE;
    if (ids != nullptr && NSFNoteOpen(directory, ids[0], 0, &note) == NOERROR) {
        const size_t before = names.size();
        AppendNames(note, "Administrator", names);
        if (names.size() == before)
            AppendNames(note, "FullAdmin", names);
        NSFNoteClose(note);
    }
    OSUnlockObject(buffer);
    OSMemFree(buffer);
    NSFDbClose(directory);
}

STATUS SetTemplateAcl(DBHANDLE hDB) {
    if (hDB == NULLHANDLE)
        return NOERROR;
    char serverName[MAXUSERNAME] = {};
    STATUS status = SECKFMGetUserName(serverName);
    if (status != NOERROR)
        return status;
    std::string server;
    status = Canonical(serverName, server);
    if (status != NOERROR)
        return status;

    DHANDLE acl = NULLHANDLE;
    status = ReadAcl(hDB, acl);
    if (status == NOERROR) {
        for (const std::string &name : EntryNames(acl)) {
            if (name != ACL_DEFAULT_NAME)
                status = ACLDeleteEntry(acl, name.c_str());
        }
    }
    AclNameList administrators;
    GetServerAdministrators(server.c_str(), administrators);
    if (status != NOERROR) {
        if (acl != NULLHANDLE)
            OSMemFree(acl);
        return status;
    }

    const struct {
        const char *name;
        WORD level;
        WORD flags;
    } rows[] = {
        {kAnonymous, ACL_LEVEL_NOACCESS, ACL_FLAG_PUBLICREADER},
        {"LocalDomainServers", ACL_LEVEL_MANAGER, ACL_FLAG_GROUP | ACL_FLAG_SERVER},
        {"OtherDomainServers", ACL_LEVEL_NOACCESS, ACL_FLAG_GROUP | ACL_FLAG_SERVER},
        {ACL_DEFAULT_NAME, ACL_LEVEL_READER, ACL_FLAG_PUBLICWRITER},
    };
    SetAclEntryPair(acl, server, ACL_LEVEL_MANAGER, ACL_FLAG_SERVER, FALSE);
    for (const auto &row : rows) {
        std::string name;
        if (Canonicalize(row.name, name))
            SetAclEntryPair(acl, name, row.level, row.flags, FALSE);
    }
    for (const std::string &administrator : administrators) {
        std::string name;
        if (Canonicalize(administrator.c_str(), name))
            SetAclEntryPair(acl, name, ACL_LEVEL_MANAGER, 0, TRUE);
    }
    status = NSFDbStoreACL(hDB, acl, 0, 0);
    OSMemFree(acl);
    return status;
}

STATUS EnsureAnonymousAclEntry(DBHANDLE hDB) {
    if (hDB == NULLHANDLE)
        return NOERROR;
    DHANDLE acl = NULLHANDLE;
    STATUS status = ReadAcl(hDB, acl);
    if (status != NOERROR)
        return status;
    std::string anonymous;
    if (Canonicalize(kAnonymous, anonymous))
        SetAclEntry(acl, anonymous.c_str(), ACL_LEVEL_NOACCESS, ACL_FLAG_PUBLICREADER, FALSE);
    status = NSFDbStoreACL(hDB, acl, 0, 0);
    OSMemFree(acl);
    return status;
}

STATUS FixAclAfterDxlImport(DBHANDLE hDB) {
    if (hDB == NULLHANDLE)
        return NOERROR;
    DHANDLE acl = NULLHANDLE;
    STATUS status = ReadAcl(hDB, acl);
    if (status != NOERROR)
        return status;
    bool changed = false;
    for (const std::string &name : EntryNames(acl)) {
        // A names list of this one name: the header, then the name.
        std::vector<char> list(sizeof(NAMES_LIST) + name.size() + 1, '\0');
        NAMES_LIST header;
        std::memset(&header, 0, sizeof header);
        header.NumNames = 1;
        std::memcpy(list.data(), &header, sizeof header);
        std::memcpy(list.data() + sizeof header, name.c_str(), name.size() + 1);

        WORD level = 0, flags = 0;
        ACL_PRIVILEGES privileges;
        std::memset(&privileges, 0, sizeof privileges);
        DHANDLE roleNames = NULLHANDLE;
        status = ACLLookupAccess(acl, reinterpret_cast<const NAMES_LIST *>(list.data()), &level,
                                 &privileges, &flags, &roleNames);
        if (status != NOERROR)
            continue;
        if ((level == ACL_LEVEL_READER || level == ACL_LEVEL_AUTHOR) &&
            (flags & ACL_FLAG_PUBLICWRITER) == 0) {
            changed = true;
            // Only the exact name is the default entry: "-Default-X" is a
            // name like any other and must not change everyone's access.
            if (name == ACL_DEFAULT_NAME) {
                status = ACLUpdateEntry(acl, nullptr, kUpdateLevelAndFlags, nullptr, level, nullptr,
                                        flags | ACL_FLAG_PUBLICWRITER);
            } else {
                ACLDeleteEntry(acl, name.c_str());
                status = ACLAddEntry(acl, name.c_str(), level, &privileges,
                                     flags | ACL_FLAG_PUBLICWRITER);
            }
        }
        if (roleNames != NULLHANDLE)
            OSMemFree(roleNames);
    }
    if (changed)
        status = NSFDbStoreACL(hDB, acl, 0, 0);
    OSMemFree(acl);
    return status;
}
