// Access control lists.
//
// Every database has one access control list (ACL): the default entry,
// "-Default-", which always exists and cannot be deleted, further entries
// by name, and ACL_PRIVCOUNT role slots. An entry has an access level,
// access flags and privileges: one bit per role slot, set for each role the
// entry holds.
//
// The calls below work on an in-memory copy: NSFDbReadACL gives it as a
// memory handle, the ACL calls read and change it, NSFDbStoreACL writes it
// whole back to a database, and OSMemFree frees it. Its bytes are not for
// reading (OSLockObject gives an empty block): use the calls. A memory
// handle that is no ACL gives ERR_NOT_AN_ACL.
//
// Names are 1 to MAXUSERNAME - 1 bytes of LMBCS. An entry is found by its
// name without regard to case or form: "CN=Jo Doe/O=Acme" and "jo doe/acme"
// name one entry. A name in brackets is another entry than the name
// without them: a template keeps in brackets ("[CN=Jo Doe/O=Acme]") the
// entries that a database made from it inherits (NSFDbCopyTemplateACL).
// "-Default-", in any case, names the default entry. ACLEnumEntries gives
// the default entry first, then the others in the order they were added;
// ACLUpdateEntry keeps an entry's place.
//
// Roles: slots 0 to ACL_PRIVCOUNT - 1, each empty or holding a role's name,
// which ACLGetPrivName gives in brackets ("[Admin]") and ACLSetPrivName
// takes with or without them. A name is at most ACL_PRIVSTRINGMAX - 1
// bytes with its brackets and holds no bracket inside; no two slots hold
// names that are equal without regard to case. An entry holds only roles
// of slots that have a name.
//
// The stand-in keeps ACLs and enforces none: nothing checks an ACL when a
// database is used. A new database, and one made by an older version of
// this software on its first open, has the default ACL: the default entry
// alone, at ACL_LEVEL_MANAGER, with no flags, and no roles. So everyone may
// do everything, as before the stand-in kept ACLs.
//
// Two attributes of the ACL that DXL carries, maxinternetaccess and
// consistentacl (standin/dxl.h), ride along with it (read, stored,
// imported and exported) and have no calls here.
//
// Fault points (standin/fault.h): each call under its own name;
// NSFDbReadACL and NSFDbStoreACL with the database's path,
// NSFDbCopyTemplateACL with the destination's.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// Access levels.
#define ACL_LEVEL_NOACCESS 0
#define ACL_LEVEL_DEPOSITOR 1
#define ACL_LEVEL_READER 2
#define ACL_LEVEL_AUTHOR 3
#define ACL_LEVEL_EDITOR 4
#define ACL_LEVEL_DESIGNER 5
#define ACL_LEVEL_MANAGER 6
#define ACL_LEVEL_HIGHEST ACL_LEVEL_MANAGER

// Access flags. What kind of name an entry is: none of the three bits
// (unspecified), ACL_FLAG_PERSON, ACL_FLAG_SERVER, ACL_FLAG_GROUP (a mixed
// group), or a group of persons or of servers (the kind's bit with
// ACL_FLAG_GROUP); a person that is a server is refused. The others grant
// rights, each set by "true" in the DXL attribute beside it.
#define ACL_FLAG_CREATE_DOCS 0x0001      // createdocs
#define ACL_FLAG_SERVER 0x0002           // the entry is a server
#define ACL_FLAG_DELETE_DOCS 0x0004      // deletedocs
#define ACL_FLAG_CREATE_PRAGENT 0x0008   // createpersonalagents
#define ACL_FLAG_CREATE_PRFOLDER 0x0010  // createpersonalviews
#define ACL_FLAG_PERSON 0x0020           // the entry is a person
#define ACL_FLAG_GROUP 0x0040            // the entry is a group
#define ACL_FLAG_CREATE_FOLDER 0x0080    // createsharedviews
#define ACL_FLAG_CREATE_SCRIPT 0x0100    // createlsjavaagents
#define ACL_FLAG_PUBLICREADER 0x0200     // readpublicdocs: may read public documents
#define ACL_FLAG_PUBLICWRITER 0x0400     // writepublicdocs: may write public documents
#define ACL_FLAG_REPLICATE 0x1000        // replicateorcopydocs
#define ACL_FLAGS_DEFINED 0x17FF         // every flag above; any other bit is refused

// Privileges: the role slots an entry holds; slot i is bit (i mod 8) of
// byte (i div 8).
#define ACL_PRIVCOUNT 80
#define ACL_PRIVSTRINGMAX 64
struct ACL_PRIVILEGES {
    BYTE BitMask[ACL_PRIVCOUNT / 8];
};
#define ACLIsPrivSet(privs, num) (((privs).BitMask[(num) / 8] & (1u << ((num) % 8))) != 0)
#define ACLSetPriv(privs, num) ((privs).BitMask[(num) / 8] |= (BYTE)(1u << ((num) % 8)))
#define ACLClearPriv(privs, num) ((privs).BitMask[(num) / 8] &= (BYTE) ~(1u << ((num) % 8)))

// What ACLUpdateEntry changes.
#define ACL_UPDATE_NAME 0x01
#define ACL_UPDATE_LEVEL 0x02
#define ACL_UPDATE_PRIVILEGES 0x04
#define ACL_UPDATE_FLAGS 0x08

#define ACL_DEFAULT_NAME "-Default-"

// The names a user is known by, for ACLLookupAccess: this header, then
// NumNames NUL-terminated names one after the other.
struct NAMES_LIST {
    WORD NumNames;
    WORD Reserved1;   // 0; not read
    DWORD Reserved2;  // 0; not read
};

// Called by ACLEnumEntries once per entry.
typedef void(LNCALLBACK *ACLENTRYENUMFUNC)(void far *EnumFuncParam, const char far *Name,
                                           WORD AccessLevel, const ACL_PRIVILEGES far *Privileges,
                                           WORD AccessFlags);

// The ACL of hDB as a new in-memory copy: *rethACL is always a handle on
// success (NULLHANDLE on failure). The caller frees it with OSMemFree.
STATUS LNPUBLIC NSFDbReadACL(DBHANDLE hDB, DHANDLE far *rethACL);

// Makes hACL the ACL of hDB (entries, roles and all), in one transaction;
// hACL stays the caller's. ObjectID and Method are not used and must be 0
// (ERR_BAD_PARAM otherwise).
STATUS LNPUBLIC NSFDbStoreACL(DBHANDLE hDB, DHANDLE hACL, DWORD ObjectID, WORD Method);

// Calls EnumFunc for each entry, the default entry first (its name is
// "-Default-"), as the ACL stands when the call begins: EnumFunc may change
// the ACL. The name and privileges it is given are valid for the length of
// its call. ERR_BAD_PARAM for a null EnumFunc.
STATUS LNPUBLIC ACLEnumEntries(DHANDLE hACL, ACLENTRYENUMFUNC EnumFunc, void far *EnumFuncParam);

// The name of role slot PrivNum, in brackets, into retPrivName (which holds
// ACL_PRIVSTRINGMAX bytes); "" for an empty slot. ERR_ACL_BAD_PRIV for
// PrivNum ACL_PRIVCOUNT or above, ERR_BAD_PARAM for a null retPrivName
// (which holds "" on failure).
STATUS LNPUBLIC ACLGetPrivName(DHANDLE hACL, WORD PrivNum, char far *retPrivName);

// Names role slot PrivNum; a null or empty PrivName empties the slot and
// takes its bit off every entry. ERR_ACL_ROLE_EXISTS when another slot has
// that name, ERR_ACL_BAD_NAME for a name that is too long or holds a
// bracket inside ("[]" alone included), ERR_ACL_BAD_PRIV for PrivNum
// ACL_PRIVCOUNT or above.
STATUS LNPUBLIC ACLSetPrivName(DHANDLE hACL, WORD PrivNum, const char far *PrivName);

// Adds an entry after the others; Privileges may be null (no roles).
// "-Default-" sets the default entry's level, privileges and flags.
// ERR_ACL_ENTRY_EXISTS when an entry of that name exists (ACLUpdateEntry
// changes it), ERR_ACL_BAD_NAME for an empty or too long name,
// ERR_ACL_BAD_LEVEL for a level above ACL_LEVEL_HIGHEST, ERR_ACL_BAD_FLAGS
// for a bit outside ACL_FLAGS_DEFINED or a person that is a server,
// ERR_ACL_BAD_PRIV for a privilege of an empty role slot. On failure the
// ACL is unchanged.
STATUS LNPUBLIC ACLAddEntry(DHANDLE hACL, const char far *Name, WORD AccessLevel,
                            const ACL_PRIVILEGES far *Privileges, WORD AccessFlags);

// Removes an entry. ERR_ACL_NOT_FOUND when there is none of that name,
// ERR_ACL_DEFAULT_ENTRY for "-Default-" (and a null Name, which names the
// default entry as in ACLUpdateEntry).
STATUS LNPUBLIC ACLDeleteEntry(DHANDLE hACL, const char far *Name);

// Changes what UpdateFlags (ACL_UPDATE_*) names of the entry Name (null:
// the default entry); NewPrivileges may be null (no roles). The statuses of
// ACLAddEntry for the new values, ERR_ACL_NOT_FOUND, ERR_ACL_DEFAULT_ENTRY
// for renaming the default entry or renaming an entry to "-Default-",
// ERR_ACL_ENTRY_EXISTS for a new name that another entry has, ERR_BAD_PARAM
// for other bits in UpdateFlags. On failure the ACL is unchanged.
STATUS LNPUBLIC ACLUpdateEntry(DHANDLE hACL, const char far *Name, WORD UpdateFlags,
                               const char far *NewName, WORD NewAccessLevel,
                               const ACL_PRIVILEGES far *NewPrivileges, WORD NewAccessFlags);

// The access of a user known by the names of pNamesList: the entry of the
// first of them (in list order) that has one, else the default entry (so
// also for a list of no names). Any result pointer may be null.
// *rethPrivNames gets a memory handle holding the role names of that entry,
// in brackets and in slot order, as a text list without the data-type
// prefix (textlist.h: ListGetNumEntries, ListGetText), or NULLHANDLE when
// the entry holds no role; the caller frees it. ERR_BAD_PARAM for a null
// pNamesList. On failure the results are 0 and NULLHANDLE.
STATUS LNPUBLIC ACLLookupAccess(DHANDLE hACL, const NAMES_LIST far *pNamesList,
                                WORD far *retAccessLevel, ACL_PRIVILEGES far *retPrivileges,
                                WORD far *retAccessFlags, DHANDLE far *rethPrivNames);

// Gives hDstDB the entries of hSrcDB's ACL (a template's) that are written
// in brackets, without the brackets: "[CN=Srv/O=Acme]" becomes
// "CN=Srv/O=Acme", replacing an entry of that name that hDstDB has, and
// "[-Default-]" sets the default entry. The template's roles come along
// by name (the inherited entries keep theirs): a role that hDstDB lacks
// takes its first empty slot. Then, when Manager is neither null nor
// empty, an entry of that name at ACL_LEVEL_MANAGER (no flags, no roles)
// replaces any of its name. When the template has no "[-Default-]", the
// default entry gets DefaultAccessLevel (its flags and roles cleared). The
// template's other entries are not copied. One transaction on hDstDB. ERR_ACL_FULL when hDstDB has
// no slot left for a role, ERR_ACL_BAD_LEVEL for a DefaultAccessLevel above ACL_LEVEL_HIGHEST,
// ERR_ACL_BAD_NAME for a Manager name that is too long; on failure hDstDB
// is unchanged.
STATUS LNPUBLIC NSFDbCopyTemplateACL(DBHANDLE hSrcDB, DBHANDLE hDstDB, const char far *Manager,
                                     WORD DefaultAccessLevel);

NOTES_EXTERN_C_END
