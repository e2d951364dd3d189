// The access control lists that provisioning gives the product templates
// and HCR.nsf.
#include <string>
#include <vector>

#include "product_acl.h"
#include "provision_fixture.h"
#include "standin/fault.h"

namespace {

using provision_test::Acl;
using provision_test::IconText;
using provision_test::InfoPart;
using provision_test::Signers;
using Lines = std::vector<std::string>;

class ProductAclTest : public provision_test::ProvisionTest {
  protected:
    // A database whose ACL is the DXL <acl> given.
    void MakeDb(const std::string &path, const std::string &acl) {
        provision_test::Import(path, "<database>" + acl + "</database>");
    }

    // Runs an ACL operation on the database at path.
    STATUS On(const std::string &path, STATUS (*operation)(DBHANDLE)) {
        DBHANDLE db = NULLHANDLE;
        STATUS status = NSFDbOpen(path.c_str(), &db);
        if (status != NOERROR)
            return status;
        status = operation(db);
        NSFDbClose(db);
        return status;
    }
};

const char kTwoRoles[] = "<role>[Admin]</role><role>[SysAdmin]</role>";

// Rows 1 to 5 of the template table, each plain and in brackets.
Lines TableRows() {
    return {"CN=Vanterra Test/O=Acme 6 0x0002",
            "[CN=Vanterra Test/O=Acme] 6 0x0002",
            "Anonymous 0 0x0200",
            "[Anonymous] 0 0x0200",
            "LocalDomainServers 6 0x0042",
            "[LocalDomainServers] 6 0x0042",
            "OtherDomainServers 0 0x0042",
            "[OtherDomainServers] 0 0x0042",
            "[-Default-] 2 0x0400"};
}

TEST_F(ProductAclTest, ATemplateGetsTheTableAndItsAdministratorsEachPlainAndInBrackets) {
    const struct {
        const char *name;
        Lines admins, fullAdmins;
        bool directory;
        const char *roles;  // the roles the template defines
        Lines expectedAdmins;
    } cases[] = {
        {"administrators, canonical where they can be",
         {"Jo Doe/Acme", "CN=Ann Lee/O=Acme"},
         {"CN=Max Rowe/O=Acme"},
         true,
         kTwoRoles,
         {"CN=Jo Doe/O=Acme 6 0x0000 [Admin] [SysAdmin]",
          "[CN=Jo Doe/O=Acme] 6 0x0000 [Admin] [SysAdmin]",
          "CN=Ann Lee/O=Acme 6 0x0000 [Admin] [SysAdmin]",
          "[CN=Ann Lee/O=Acme] 6 0x0000 [Admin] [SysAdmin]"}},
        {"full administrators only when there is no administrator",
         {},
         {"CN=Max Rowe/O=Acme"},
         true,
         "<role>[sysadmin]</role><role>[Other]</role><role>[Admin]</role>",
         {"CN=Max Rowe/O=Acme 6 0x0000 [sysadmin] [Admin]",
          "[CN=Max Rowe/O=Acme] 6 0x0000 [sysadmin] [Admin]"}},
        {"a template without the roles: administrators without roles",
         {"CN=Jo Doe/O=Acme"},
         {},
         true,
         "<role>[Administrators]</role>",
         {"CN=Jo Doe/O=Acme 6 0x0000", "[CN=Jo Doe/O=Acme] 6 0x0000"}},
        {"no directory: no administrators", {}, {}, false, kTwoRoles, {}},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = "t" + std::to_string(n++) + ".ntf";
        if (c.directory)
            MakeDirectory(c.admins, c.fullAdmins);
        MakeDb(path, std::string("<acl>") + c.roles +
                         "<aclentry name='-Default-' default='true' level='editor'/>"
                         "<aclentry name='CN=Old One/O=Acme' level='manager'/>"
                         "<aclentry name='Stray' level='reader'/></acl>");
        ASSERT_NOERROR(On(path, SetTemplateAcl));

        Lines acl = Acl(path);
        ASSERT_FALSE(acl.empty());
        acl.erase(acl.begin());  // the roles, as the template had them
        Lines expected = {"-Default- 2 0x0400"};
        for (const std::string &row : TableRows())
            expected.push_back(row);
        expected.insert(expected.end(), c.expectedAdmins.begin(), c.expectedAdmins.end());
        EXPECT_EQ(acl, expected);
        RemoveDb("names.nsf");
    }
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), 0u);
}

TEST_F(ProductAclTest, SetTemplateAclStoresNothingWhenItCannotReadOrClear) {
    MakeDirectory({"CN=Jo Doe/O=Acme"}, {});
    MakeDb("t.ntf", std::string("<acl>") + kTwoRoles +
                        "<aclentry name='-Default-' default='true' level='editor'/>"
                        "<aclentry name='Stray' level='reader'/></acl>");
    const Lines before = Acl("t.ntf");
    const struct {
        StandinFault fault;
        STATUS expected;
    } cases[] = {
        {{"SECKFMGetUserName", ERR_NO_SERVER_NAME, 0, 1, nullptr}, ERR_NO_SERVER_NAME},
        {{"DNCanonicalize", ERR_DN_INVALID, 0, 1, nullptr}, ERR_DN_INVALID},
        {{"NSFDbReadACL", ERR_MEMORY, 0, 1, nullptr}, ERR_MEMORY},
        {{"ACLDeleteEntry", ERR_ACL_NOT_FOUND, 0, 1, nullptr}, ERR_ACL_NOT_FOUND},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault.call);
        StandinFaultInject(c.fault);
        EXPECT_EQ(On("t.ntf", SetTemplateAcl), c.expected);
        EXPECT_EQ(StandinFaultHits(c.fault.call), 1u);
        StandinFaultClear();
        EXPECT_EQ(Acl("t.ntf"), before);
    }
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), 0u);
}

TEST_F(ProductAclTest, AfterAnImportReadersAndAuthorsMayWritePublicDocuments) {
    const struct {
        const char *name;
        std::string acl;
        Lines expected;
    } cases[] = {
        {"readers and authors gain it, keeping level, flags and roles, an editor does not",
         std::string("<acl>") + kTwoRoles +
             "<aclentry name='-Default-' default='true' level='author'/>"
             "<aclentry name='CN=Reader/O=Acme' level='reader' type='person' "
             "readpublicdocs='true'><role>[Admin]</role></aclentry>"
             "<aclentry name='Authors' level='author' type='mixedgroup'/>"
             "<aclentry name='CN=Editor/O=Acme' level='editor'/>"
             "<aclentry name='Depositor' level='depositor'/></acl>",
         {"roles [Admin] [SysAdmin]", "-Default- 3 0x0400", "CN=Editor/O=Acme 4 0x0000",
          "Depositor 1 0x0000", "CN=Reader/O=Acme 2 0x0620 [Admin]", "Authors 3 0x0440"}},
        {"a name that only begins with -Default- is an entry like any other",
         "<acl><aclentry name='-Default-' default='true' level='editor'/>"
         "<aclentry name='-Default-X' level='reader'/></acl>",
         {"roles", "-Default- 4 0x0000", "-Default-X 2 0x0400"}},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = "f" + std::to_string(n++) + ".ntf";
        MakeDb(path, c.acl);
        EXPECT_NOERROR(On(path, FixAclAfterDxlImport));
        EXPECT_EQ(Acl(path), c.expected);
        // Nothing left to change: nothing is stored.
        StandinFaultInject({"NSFDbStoreACL", ERR_MEMORY, 0, 0, nullptr});
        EXPECT_NOERROR(On(path, FixAclAfterDxlImport));
        EXPECT_EQ(StandinFaultHits("NSFDbStoreACL"), 0u);
        StandinFaultClear();
    }
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), 0u);
}

TEST_F(ProductAclTest, AnonymousGetsNoAccessAndTheRestStays) {
    MakeDb("a.nsf", std::string("<acl>") + kTwoRoles +
                        "<aclentry name='-Default-' default='true' level='reader'/>"
                        "<aclentry name='Anonymous' level='editor'><role>[Admin]</role>"
                        "</aclentry><aclentry name='Keep' level='author'/></acl>");
    MakeDb("b.nsf", "<acl><aclentry name='-Default-' default='true' level='reader'/></acl>");
    EXPECT_NOERROR(On("a.nsf", EnsureAnonymousAclEntry));
    EXPECT_NOERROR(On("b.nsf", EnsureAnonymousAclEntry));
    EXPECT_EQ(Acl("a.nsf"), (Lines{"roles [Admin] [SysAdmin]", "-Default- 2 0x0000",
                                   "Keep 3 0x0000", "Anonymous 0 0x0200"}));
    EXPECT_EQ(Acl("b.nsf"), (Lines{"roles", "-Default- 2 0x0000", "Anonymous 0 0x0200"}));

    StandinFaultInject({"NSFDbReadACL", ERR_MEMORY, 0, 2, nullptr});
    EXPECT_EQ(On("a.nsf", EnsureAnonymousAclEntry), ERR_MEMORY);
    EXPECT_EQ(On("a.nsf", FixAclAfterDxlImport), ERR_MEMORY);
    StandinFaultClear();
    for (auto operation : {SetTemplateAcl, EnsureAnonymousAclEntry, FixAclAfterDxlImport})
        EXPECT_EQ(operation(NULLHANDLE), NOERROR);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), 0u);
}

TEST_F(ProductAclTest, SetAclEntryReplacesTheEntryAndGivesOnlyTheTwoRoles) {
    MakeDb("r.nsf",
           "<acl><role>[ADMIN]</role><role>[Administrators]</role>"
           "<role>[SysAdmins]</role><role>[sysadmin]</role>"
           "<aclentry name='-Default-' default='true' level='reader'/>"
           "<aclentry name='Jo' level='reader' type='person'/></acl>");
    DBHANDLE db = NULLHANDLE;
    ASSERT_NOERROR(NSFDbOpen("r.nsf", &db));
    DHANDLE acl = NULLHANDLE;
    ASSERT_NOERROR(NSFDbReadACL(db, &acl));
    EXPECT_NOERROR(SetAclEntry(acl, "Jo", ACL_LEVEL_MANAGER, 0, TRUE));
    EXPECT_NOERROR(SetAclEntry(acl, "New", ACL_LEVEL_AUTHOR, ACL_FLAG_GROUP, FALSE));
    EXPECT_EQ(SetAclEntry(acl, "Bad", 9, 0, FALSE), ERR_ACL_BAD_LEVEL);
    ASSERT_NOERROR(NSFDbStoreACL(db, acl, 0, 0));
    OSMemFree(acl);
    NSFDbClose(db);
    EXPECT_EQ(Acl("r.nsf"),
              (Lines{"roles [ADMIN] [Administrators] [SysAdmins] [sysadmin]", "-Default- 2 0x0000",
                     "Jo 6 0x0000 [ADMIN] [sysadmin]", "New 3 0x0040"}));
}

}  // namespace
