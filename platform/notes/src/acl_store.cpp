// The access control list's rows, checks and DXL form (acl_store.h).
#include "acl_store.h"

#include <sqlite3.h>

#include <cstring>

#include "collation.h"
#include "nsf_internal.h"
#include "nsf_sql.h"
#include "os_error.h"

namespace notes_internal {
namespace acl {

namespace {

const char kSelEntries[] =
    "SELECT pos, name, level, flags, privileges FROM acl_entries ORDER BY pos";
const char kSelRoles[] = "SELECT slot, name FROM acl_roles ORDER BY slot";
const char kSelInternet[] = "SELECT value FROM dbinfo WHERE key='acl_internet'";
const char kSelConsistent[] = "SELECT value FROM dbinfo WHERE key='acl_consistent'";
const char kDelEntries[] = "DELETE FROM acl_entries";
const char kDelRoles[] = "DELETE FROM acl_roles";
const char kInsEntry[] =
    "INSERT INTO acl_entries(pos, name, level, flags, privileges) VALUES(?1, ?2, ?3, ?4, ?5)";
const char kInsRole[] = "INSERT INTO acl_roles(slot, name) VALUES(?1, ?2)";
const char kSetInternet[] = "INSERT OR REPLACE INTO dbinfo(key, value) VALUES('acl_internet', ?1)";
const char kSetConsistent[] =
    "INSERT OR REPLACE INTO dbinfo(key, value) VALUES('acl_consistent', ?1)";

// The rights flags and their DXL attributes, in the order an export writes
// them.
const struct {
    WORD flag;
    const char *attribute;
} kRights[] = {
    {ACL_FLAG_PUBLICREADER, "readpublicdocs"},
    {ACL_FLAG_PUBLICWRITER, "writepublicdocs"},
    {ACL_FLAG_DELETE_DOCS, "deletedocs"},
    {ACL_FLAG_CREATE_DOCS, "createdocs"},
    {ACL_FLAG_CREATE_PRAGENT, "createpersonalagents"},
    {ACL_FLAG_CREATE_PRFOLDER, "createpersonalviews"},
    {ACL_FLAG_CREATE_FOLDER, "createsharedviews"},
    {ACL_FLAG_CREATE_SCRIPT, "createlsjavaagents"},
    {ACL_FLAG_REPLICATE, "replicateorcopydocs"},
};

// The kind flags of the DXL entry types, in the order of dxl::AclEntry::type.
const WORD kTypeFlags[dxl::kAclTypes] = {
    0,
    ACL_FLAG_PERSON,
    ACL_FLAG_SERVER,
    ACL_FLAG_GROUP,
    ACL_FLAG_PERSON | ACL_FLAG_GROUP,
    ACL_FLAG_SERVER | ACL_FLAG_GROUP,
};
constexpr WORD kKindFlags = ACL_FLAG_PERSON | ACL_FLAG_SERVER | ACL_FLAG_GROUP;

std::string Shown(const std::string &lmbcs) {
    return dxl::LmbcsToUtf8(lmbcs.data(), lmbcs.size());
}

STATUS QueryOptionalInt(nsf::Connection &c, const char *sql, int64_t fallback, int64_t *out) {
    bool found = false;
    if (STATUS status = nsf::QueryInt(c, sql, out, &found))
        return status;
    if (!found)
        *out = fallback;
    return NOERROR;
}

}  // namespace

Data Data::Default() {
    Data data;
    data.defaultEntry.name = ACL_DEFAULT_NAME;
    data.defaultEntry.level = ACL_LEVEL_MANAGER;
    return data;
}

Entry *Data::Find(const std::string &key) {
    for (Entry &entry : entries) {
        if (NameKey(entry.name) == key)
            return &entry;
    }
    return nullptr;
}

int Data::RoleSlot(const std::string &bracketed) const {
    const std::string key = CollationKey(bracketed);
    for (size_t i = 0; i < roles.size(); i++) {
        if (!roles[i].empty() && CollationKey(roles[i]) == key)
            return static_cast<int>(i);
    }
    return -1;
}

std::string NameKey(const std::string &name) {
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        return "[" + nsf::NormaliseName(name.substr(1, name.size() - 2)) + "]";
    return nsf::NormaliseName(name);
}

bool IsDefaultName(const std::string &name) {
    static const std::string key = NameKey(ACL_DEFAULT_NAME);
    return NameKey(name) == key;
}

STATUS CheckEntryName(const std::string &name) {
    if (name.empty() || name.size() >= MAXUSERNAME || name.find('\0') != std::string::npos)
        return ERR_ACL_BAD_NAME;
    return NOERROR;
}

STATUS CheckLevel(WORD level) {
    return level > ACL_LEVEL_HIGHEST ? ERR_ACL_BAD_LEVEL : NOERROR;
}

STATUS CheckFlags(WORD flags) {
    if (flags & static_cast<WORD>(~ACL_FLAGS_DEFINED))
        return ERR_ACL_BAD_FLAGS;
    if ((flags & ACL_FLAG_PERSON) && (flags & ACL_FLAG_SERVER))
        return ERR_ACL_BAD_FLAGS;
    return NOERROR;
}

STATUS CheckPrivileges(const Data &data, const ACL_PRIVILEGES &privileges) {
    for (size_t slot = 0; slot < ACL_PRIVCOUNT; slot++) {
        if (ACLIsPrivSet(privileges, slot) && data.roles[slot].empty())
            return ERR_ACL_BAD_PRIV;
    }
    return NOERROR;
}

STATUS RoleName(const std::string &given, std::string *bracketed) {
    std::string inner = given;
    if (inner.size() >= 2 && inner.front() == '[' && inner.back() == ']')
        inner = inner.substr(1, inner.size() - 2);
    if (inner.empty() || inner.find_first_of("[]") != std::string::npos ||
        inner.find('\0') != std::string::npos || inner.size() + 2 >= ACL_PRIVSTRINGMAX)
        return ERR_ACL_BAD_NAME;
    *bracketed = "[" + inner + "]";
    return NOERROR;
}

STATUS ReadRows(nsf::Connection &c, Data *out) {
    Data data;
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kSelEntries, &stmt))
        return status;
    {
        nsf::StmtScope scope{stmt};
        bool first = true;
        for (;;) {
            bool row = false;
            if (STATUS status = c.Step(stmt, &row))
                return status;
            if (!row)
                break;
            Entry entry;
            entry.name = nsf::ColumnBytes(stmt, 1);
            const int64_t level = sqlite3_column_int64(stmt, 2);
            const int64_t flags = sqlite3_column_int64(stmt, 3);
            const std::string privileges = nsf::ColumnBytes(stmt, 4);
            if (level < 0 || level > ACL_LEVEL_HIGHEST || flags < 0 || flags > 0xFFFF ||
                privileges.size() != sizeof entry.privileges || CheckEntryName(entry.name) ||
                CheckFlags(static_cast<WORD>(flags)))
                return ERR_DB_DAMAGED;
            entry.level = static_cast<WORD>(level);
            entry.flags = static_cast<WORD>(flags);
            std::memcpy(entry.privileges.BitMask, privileges.data(), privileges.size());
            // The default entry comes first, once.
            const bool isDefault = IsDefaultName(entry.name);
            if (isDefault != first || (first && sqlite3_column_int64(stmt, 0) != 0))
                return ERR_DB_DAMAGED;
            if (first)
                data.defaultEntry = std::move(entry);
            else
                data.entries.push_back(std::move(entry));
            first = false;
        }
        if (first)
            return ERR_DB_DAMAGED;  // no default entry
    }
    if (STATUS status = c.Prepare(kSelRoles, &stmt))
        return status;
    {
        nsf::StmtScope scope{stmt};
        for (;;) {
            bool row = false;
            if (STATUS status = c.Step(stmt, &row))
                return status;
            if (!row)
                break;
            const int64_t slot = sqlite3_column_int64(stmt, 0);
            std::string name;
            if (slot < 0 || slot >= ACL_PRIVCOUNT ||
                RoleName(nsf::ColumnBytes(stmt, 1), &name) != NOERROR)
                return ERR_DB_DAMAGED;
            data.roles[static_cast<size_t>(slot)] = name;
        }
    }
    int64_t internet = 0, consistent = 0;
    if (STATUS status = QueryOptionalInt(c, kSelInternet, ACL_LEVEL_MANAGER, &internet))
        return status;
    if (STATUS status = QueryOptionalInt(c, kSelConsistent, 0, &consistent))
        return status;
    if (internet < 0 || internet > ACL_LEVEL_HIGHEST)
        return ERR_DB_DAMAGED;
    data.maxInternetAccess = static_cast<WORD>(internet);
    data.consistent = consistent != 0;
    *out = std::move(data);
    return NOERROR;
}

STATUS WriteRows(nsf::Connection &c, const Data &data) {
    if (STATUS status = c.Exec(kDelEntries))
        return status;
    if (STATUS status = c.Exec(kDelRoles))
        return status;
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kInsEntry, &stmt))
        return status;
    {
        nsf::StmtScope scope{stmt};
        int64_t pos = 0;
        auto insert = [&](const Entry &entry) -> STATUS {
            sqlite3_reset(stmt);
            sqlite3_bind_int64(stmt, 1, pos++);
            nsf::BindString(stmt, 2, entry.name);
            sqlite3_bind_int(stmt, 3, entry.level);
            sqlite3_bind_int(stmt, 4, entry.flags);
            nsf::BindBlob(stmt, 5, entry.privileges.BitMask, sizeof entry.privileges.BitMask);
            return c.Step(stmt);
        };
        if (STATUS status = insert(data.defaultEntry))
            return status;
        for (const Entry &entry : data.entries) {
            if (STATUS status = insert(entry))
                return status;
        }
    }
    if (STATUS status = c.Prepare(kInsRole, &stmt))
        return status;
    {
        nsf::StmtScope scope{stmt};
        for (size_t slot = 0; slot < data.roles.size(); slot++) {
            if (data.roles[slot].empty())
                continue;
            sqlite3_reset(stmt);
            sqlite3_bind_int64(stmt, 1, static_cast<int64_t>(slot));
            nsf::BindString(stmt, 2, data.roles[slot]);
            if (STATUS status = c.Step(stmt))
                return status;
        }
    }
    const std::pair<const char *, int64_t> values[] = {{kSetInternet, data.maxInternetAccess},
                                                       {kSetConsistent, data.consistent ? 1 : 0}};
    for (const auto &value : values) {
        if (STATUS status = c.Prepare(value.first, &stmt))
            return status;
        nsf::StmtScope scope{stmt};
        sqlite3_bind_int64(stmt, 1, value.second);
        if (STATUS status = c.Step(stmt))
            return status;
    }
    return NOERROR;
}

STATUS Read(nsf::DbFile &file, Data *out) {
    return file.Read([&](nsf::Connection &c) { return ReadRows(c, out); });
}

STATUS Store(nsf::DbFile &file, const Data &data) {
    nsf::Transaction txn(file);
    if (STATUS status = txn.Begin())
        return status;
    if (STATUS status = WriteRows(txn.Sql(), data))
        return status;
    return txn.Commit();
}

STATUS FromDxl(const dxl::Acl &in, Data *out, std::string *problem) {
    Data data = Data::Default();
    data.defaultEntry.level = ACL_LEVEL_NOACCESS;  // unless the text has a default entry
    data.maxInternetAccess = in.maxInternetAccess;
    data.consistent = in.consistent;
    if (in.roles.size() > ACL_PRIVCOUNT) {
        *problem = "more than " + std::to_string(ACL_PRIVCOUNT) + " roles";
        return ERR_DXL_BAD_ACL;
    }
    for (size_t slot = 0; slot < in.roles.size(); slot++) {
        std::string name;
        if (RoleName(in.roles[slot], &name) != NOERROR) {
            *problem =
                "the role \"" + Shown(in.roles[slot]) + "\" cannot be held by an ACL (at most " +
                std::to_string(ACL_PRIVSTRINGMAX - 1) + " bytes with its brackets, none inside)";
            return ERR_DXL_BAD_ACL;
        }
        if (data.RoleSlot(name) >= 0) {
            *problem = "the role \"" + Shown(name) + "\" is declared twice";
            return ERR_DXL_BAD_ACL;
        }
        data.roles[slot] = name;
    }
    bool haveDefault = false;
    for (const dxl::AclEntry &e : in.entries) {
        Entry entry;
        entry.name = e.name;
        if (CheckEntryName(e.name) != NOERROR) {
            *problem = "the entry name \"" + Shown(e.name) + "\" is longer than " +
                       std::to_string(MAXUSERNAME - 1) + " bytes";
            return ERR_DXL_BAD_ACL;
        }
        entry.level = e.level;
        entry.flags = e.type < dxl::kAclTypes ? kTypeFlags[e.type] : 0;
        for (const auto &option : e.options) {
            for (const auto &right : kRights) {
                if (option.first == right.attribute && option.second)
                    entry.flags |= right.flag;
            }
        }
        for (const std::string &role : e.roles) {
            std::string name;
            int slot = RoleName(role, &name) == NOERROR ? data.RoleSlot(name) : -1;
            if (slot < 0) {
                *problem = "the role \"" + Shown(role) + "\" is not declared in <acl>";
                return ERR_DXL_BAD_ACL;
            }
            ACLSetPriv(entry.privileges, slot);
        }
        if (e.isDefault || IsDefaultName(e.name)) {
            if (haveDefault) {
                *problem = "a second default entry (\"" + Shown(e.name) + "\")";
                return ERR_DXL_BAD_ACL;
            }
            haveDefault = true;
            entry.name = ACL_DEFAULT_NAME;
            data.defaultEntry = std::move(entry);
        } else {
            data.entries.push_back(std::move(entry));
        }
    }
    *out = std::move(data);
    return NOERROR;
}

void ToDxl(const Data &in, dxl::Acl *out) {
    *out = dxl::Acl();
    out->found = true;
    out->maxInternetAccess = in.maxInternetAccess;
    out->consistent = in.consistent;
    for (const std::string &role : in.roles) {
        if (!role.empty())
            out->roles.push_back(role);
    }
    auto convert = [&](const Entry &entry, bool isDefault) {
        dxl::AclEntry e;
        e.name = entry.name;
        e.level = entry.level;
        e.isDefault = isDefault;
        const WORD kind = entry.flags & kKindFlags;
        for (WORD type = 0; type < dxl::kAclTypes; type++) {
            if (kTypeFlags[type] == kind)
                e.type = type;
        }
        for (const auto &right : kRights) {
            if (entry.flags & right.flag)
                e.options.emplace_back(right.attribute, true);
        }
        for (size_t slot = 0; slot < in.roles.size(); slot++) {
            if (ACLIsPrivSet(entry.privileges, slot) && !in.roles[slot].empty())
                e.roles.push_back(in.roles[slot]);
        }
        out->entries.push_back(std::move(e));
    };
    convert(in.defaultEntry, true);
    for (const Entry &entry : in.entries)
        convert(entry, false);
}

STATUS StoreFromDxl(nsf::TxnContext &txn, const dxl::Acl &acl, std::string *problem) {
    Data data;
    if (STATUS status = FromDxl(acl, &data, problem))
        return status;
    return WriteRows(txn.Sql(), data);
}

}  // namespace acl
}  // namespace notes_internal
