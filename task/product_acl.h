// The access control lists that provisioning gives the product templates
// HCR.ntf and HCREx.ntf and the product database HCR.nsf.
#pragma once

#include <string>
#include <vector>

#include "notes_api.h"

// The names of an ACL's entries, or of a server's administrators, in the
// order they were appended.
typedef std::vector<std::string> AclNameList;

// Replaces the entry Name of the in-memory ACL hACL: whatever entry of that
// name there was goes, and a new one with the level and flags comes in,
// holding the roles "[Admin]" and "[SysAdmin]" (found without regard to
// case) when withRoles and the ACL defines them. The result is that of the
// add.
STATUS SetAclEntry(DHANDLE hACL, const char *name, WORD level, WORD flags, BOOL withRoles);

// Appends to names the "Administrator" names of the server document of
// serverName in names.nsf ("($Servers)"), canonical where they can be made
// so; its "FullAdmin" names only when "Administrator" gives none. A server
// without a document, or a directory that cannot be read, adds nothing.
void GetServerAdministrators(const char *serverName, AclNameList &names);

// ACLEnumEntries routine: appends each entry's name to the AclNameList
// that EnumFuncParam points to.
void LNCALLBACK CollectAclEntryCallback(void *EnumFuncParam, const char *Name, WORD AccessLevel,
                                        const ACL_PRIVILEGES *Privileges, WORD AccessFlags);

// Rebuilds a template's ACL from scratch: every entry but the default one
// goes, then this server, "Anonymous", "LocalDomainServers",
// "OtherDomainServers", "-Default-" and the server's administrators (with
// both roles) come in, each plain and in brackets, the bracketed ones being
// those a database made from the template inherits. Nothing is stored when
// the server's name cannot be canonicalised, the ACL cannot be read or the
// last removal failed. A null handle does nothing.
STATUS SetTemplateAcl(DBHANDLE hDB);

// Sets "Anonymous" to no access (reading public documents allowed) in the
// ACL of HCR.nsf after its design was replaced.
STATUS EnsureAnonymousAclEntry(DBHANDLE hDB);

// Gives every Reader and Author entry (the default one too) the right to
// write public documents, which an imported ACL may lack; other entries
// stay as they are. Stores only when something changed.
STATUS FixAclAfterDxlImport(DBHANDLE hDB);
