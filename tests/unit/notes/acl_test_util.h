// Helpers of the tests that read access control lists.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "acl.h"
#include "os_mem.h"

namespace acl_test {

struct Entry {
    std::string name;
    WORD level;
    WORD flags;
    ACL_PRIVILEGES privileges;
};

inline void CollectEntry(void *context, const char *name, WORD level,
                         const ACL_PRIVILEGES *privileges, WORD flags) {
    static_cast<std::vector<Entry> *>(context)->push_back({name, level, flags, *privileges});
}

inline std::vector<Entry> Entries(DHANDLE acl) {
    std::vector<Entry> entries;
    if (ACLEnumEntries(acl, CollectEntry, &entries) != NOERROR)
        entries.push_back({"<ACLEnumEntries failed>", 0, 0, {}});
    return entries;
}

// An ACL in one text: "roles R1 R2 ...", then one line per entry in order,
// "NAME LEVEL 0xFLAGS" and the entry's roles.
inline std::string Text(DHANDLE acl) {
    std::string text = "roles";
    std::vector<std::string> roles(ACL_PRIVCOUNT);
    for (WORD slot = 0; slot < ACL_PRIVCOUNT; slot++) {
        char name[ACL_PRIVSTRINGMAX] = "sentinel";
        if (ACLGetPrivName(acl, slot, name) != NOERROR)
            return "<ACLGetPrivName failed>";
        roles[slot] = name;
        if (name[0])
            text += " " + roles[slot];
    }
    text += "\n";
    for (const Entry &entry : Entries(acl)) {
        char head[32];
        std::snprintf(head, sizeof head, " %u 0x%04X", entry.level, entry.flags);
        text += entry.name + head;
        for (WORD slot = 0; slot < ACL_PRIVCOUNT; slot++) {
            if (ACLIsPrivSet(entry.privileges, slot))
                text += " " +
                        (roles[slot].empty() ? "<slot " + std::to_string(slot) + ">" : roles[slot]);
        }
        text += "\n";
    }
    return text;
}

// The ACL of a database in that text.
inline std::string DbText(DBHANDLE db) {
    DHANDLE acl = NULLHANDLE;
    if (NSFDbReadACL(db, &acl) != NOERROR)
        return "<NSFDbReadACL failed>";
    std::string text = Text(acl);
    OSMemFree(acl);
    return text;
}

}  // namespace acl_test
