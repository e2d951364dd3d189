// Helpers of the view and directory tests: view notes, and a names.nsf with
// the views of names.h, people, servers and groups, all made through the
// note calls as a directory's design and documents hold them.
#pragma once

#include <string>
#include <vector>

#include "agents_test_util.h"
#include "names.h"
#include "nif.h"

namespace directory_test {

using agents_test::ItemSpec;

// A view note: "$TITLE", its formulas (no "$SelectionFormula" when
// selection is null) and "$Flags" when flags is not null.
inline NOTEID StoreView(DBHANDLE db, const char *title, const char *selection, const char *key,
                        const char *flags = nullptr) {
    std::vector<ItemSpec> items{ItemSpec::T("$TITLE", title)};
    if (selection)
        items.push_back(ItemSpec::T("$SelectionFormula", selection));
    if (key)
        items.push_back(ItemSpec::T("$KeyFormula", key));
    if (flags)
        items.push_back(ItemSpec::T("$Flags", flags));
    return agents_test::StoreDesignNote(db, NOTE_CLASS_VIEW, items);
}

// A document with the items; its note ID.
inline NOTEID StoreDocument(DBHANDLE db, const std::vector<ItemSpec> &items) {
    return agents_test::StoreDesignNote(db, NOTE_CLASS_DOCUMENT, items);
}

// The four views of names.h, with exactly their formulas.
inline void StoreDirectoryViews(DBHANDLE names) {
    StoreView(names, "$Users", "SELECT Form = \"Person\" | Type = \"Person\"",
              "FullName : @Name([Abbreviate]; FullName) : ShortName");
    StoreView(names, "($Servers)", "SELECT Form = \"Server\" | Type = \"Server\"",
              "ServerName : @Name([Abbreviate]; ServerName)");
    StoreView(names, "($Clusters)",
              "SELECT (Form = \"Server\" | Type = \"Server\") & ClusterName != \"\"",
              "ClusterName");
    StoreView(names, "($Groups)", "SELECT Form = \"Group\" | Type = \"Group\"", "ListName");
}

// A person: "FullName" a text list of the given names (canonical first, as
// a directory holds it), and the other texts when not empty.
inline NOTEID StorePerson(DBHANDLE names, const std::vector<std::string> &fullNames,
                          const std::string &shortName = "", const std::string &mailServer = "",
                          const std::string &mailFile = "") {
    std::vector<ItemSpec> items{ItemSpec::T("Form", "Person"), ItemSpec::T("Type", "Person"),
                                ItemSpec::L("FullName", fullNames)};
    if (!shortName.empty())
        items.push_back(ItemSpec::T("ShortName", shortName));
    if (!mailServer.empty())
        items.push_back(ItemSpec::T("MailServer", mailServer));
    if (!mailFile.empty())
        items.push_back(ItemSpec::T("MailFile", mailFile));
    return StoreDocument(names, items);
}

inline NOTEID StoreServer(DBHANDLE names, const std::string &serverName,
                          const std::string &clusterName = "") {
    std::vector<ItemSpec> items{ItemSpec::T("Form", "Server"), ItemSpec::T("Type", "Server"),
                                ItemSpec::T("ServerName", serverName)};
    if (!clusterName.empty())
        items.push_back(ItemSpec::T("ClusterName", clusterName));
    return StoreDocument(names, items);
}

inline NOTEID StoreGroup(DBHANDLE names, const std::string &listName,
                         const std::vector<std::string> &members) {
    return StoreDocument(names,
                         {ItemSpec::T("Form", "Group"), ItemSpec::T("Type", "Group"),
                          ItemSpec::T("ListName", listName), ItemSpec::L("Members", members)});
}

}  // namespace directory_test
