// The access control list of a database as the store keeps it, and as the
// ACL calls (acl.h) hold it in memory.
//
// Tables (schema step 6, nsf_schema.h):
//   acl_entries(pos, name, level, flags, privileges)
//                  the entries in their order; pos 0 is the default entry,
//                  named "-Default-"; privileges are the 10 bytes of
//                  ACL_PRIVILEGES
//   acl_roles(slot, name)
//                  the role slots that have a name, the name in brackets
//   dbinfo 'acl_internet', 'acl_consistent'
//                  the DXL attributes maxinternetaccess and consistentacl
// A name's key (NameKey) is computed when the ACL is read, never stored, so
// that a change of the collation needs no schema step.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "acl.h"
#include "dxl.h"
#include "global.h"
#include "nsf_store.h"

namespace notes_internal {
namespace acl {

struct Entry {
    std::string name;  // as given (LMBCS)
    WORD level = ACL_LEVEL_NOACCESS;
    WORD flags = 0;
    ACL_PRIVILEGES privileges{};
};

struct Data {
    Entry defaultEntry;                            // its name is "-Default-"
    std::vector<Entry> entries;                    // the others, in order
    std::array<std::string, ACL_PRIVCOUNT> roles;  // "" or the name in brackets
    WORD maxInternetAccess = ACL_LEVEL_MANAGER;
    bool consistent = false;

    // The ACL of a new database: the default entry alone, manager.
    static Data Default();

    // The entry of that key (NameKey) among entries, or null; the default
    // entry is not among them.
    Entry *Find(const std::string &key);
    // The slot of a role by its folded bracketed name, or -1.
    int RoleSlot(const std::string &bracketed) const;
};

// The form in which names compare: without regard to case and form
// (canonical and abbreviated alike), a name in brackets kept apart from the
// name without them.
std::string NameKey(const std::string &name);
bool IsDefaultName(const std::string &name);

// Checks of values that enter an ACL; each gives NOERROR or the status of
// acl.h.
STATUS CheckEntryName(const std::string &name);
STATUS CheckLevel(WORD level);
STATUS CheckFlags(WORD flags);
STATUS CheckPrivileges(const Data &data, const ACL_PRIVILEGES &privileges);
// A role's name in brackets ("Admin" and "[Admin]" give "[Admin]");
// ERR_ACL_BAD_NAME for an empty one, one too long, or one with a bracket
// inside.
STATUS RoleName(const std::string &given, std::string *bracketed);

// The rows of the ACL on a connection (in a transaction or not);
// ERR_DB_DAMAGED for rows that no ACL can hold.
STATUS ReadRows(nsf::Connection &c, Data *out);
// Replaces the rows with data; the caller holds a write transaction.
STATUS WriteRows(nsf::Connection &c, const Data &data);
// The ACL of a database on one snapshot, and its store in one transaction.
STATUS Read(nsf::DbFile &file, Data *out);
STATUS Store(nsf::DbFile &file, const Data &data);

// An ACL as DXL reads and writes it. FromDxl refuses what an ACL cannot
// hold (ERR_DXL_BAD_ACL, with *problem telling what).
STATUS FromDxl(const dxl::Acl &in, Data *out, std::string *problem);
void ToDxl(const Data &in, dxl::Acl *out);

// The ACL store of DXL imports (dxl::SetAclHook's default): the text's ACL
// replaces the database's in the import's transaction.
STATUS StoreFromDxl(nsf::TxnContext &txn, const dxl::Acl &acl, std::string *problem);

}  // namespace acl
}  // namespace notes_internal
