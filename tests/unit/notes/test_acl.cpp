// Access control lists: the in-memory ACL and its calls, its store in a
// database, the template copy, and databases of older layouts.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "acl_test_util.h"
#include "notes_api.h"
#include "nsf_raw_sqlite.h"
#include "nsf_test_util.h"
#include "standin/dxl.h"
#include "standin/fault.h"
#include "test_support.h"

namespace {

const char kDefaultAcl[] = "roles\n-Default- 6 0x0000\n";

ACL_PRIVILEGES Privs(std::initializer_list<int> slots) {
    ACL_PRIVILEGES privileges{};
    for (int slot : slots)
        ACLSetPriv(privileges, slot);
    return privileges;
}

// The names list of ACLLookupAccess: the header, then the names.
std::vector<char> NamesList(const std::vector<std::string> &names) {
    std::vector<char> list(sizeof(NAMES_LIST));
    NAMES_LIST header{};
    header.NumNames = static_cast<WORD>(names.size());
    std::memcpy(list.data(), &header, sizeof header);
    for (const std::string &name : names)
        list.insert(list.end(), name.c_str(), name.c_str() + name.size() + 1);
    return list;
}

class AclTest : public nsf_test::NsfTest {
  protected:
    void SetUp() override {
        nsf_test::NsfTest::SetUp();
        db_ = CreateAndOpen("acl.nsf");
        ASSERT_NOERROR(NSFDbReadACL(db_, &acl_));
    }
    void TearDown() override {
        StandinFaultClear();
        if (acl_ != NULLHANDLE)
            EXPECT_NOERROR(OSMemFree(acl_));
        NSFDbClose(db_);
        nsf_test::NsfTest::TearDown();
    }

    void DefineRoles() {
        ASSERT_NOERROR(ACLSetPrivName(acl_, 0, "[Admin]"));
        ASSERT_NOERROR(ACLSetPrivName(acl_, 1, "SysAdmin"));
    }

    DBHANDLE db_ = NULLHANDLE;
    DHANDLE acl_ = NULLHANDLE;
};

TEST_F(AclTest, ANewDatabaseHasTheDefaultAclInAMemoryHandle) {
    EXPECT_EQ(acl_test::Text(acl_), kDefaultAcl);
    // A memory handle: it locks and frees as one.
    EXPECT_NE(OSLockObject(acl_), nullptr);
    EXPECT_TRUE(OSUnlockObject(acl_));
    // Each read is a copy of its own.
    DHANDLE second = NULLHANDLE;
    ASSERT_NOERROR(NSFDbReadACL(db_, &second));
    EXPECT_NE(second, acl_);
    ASSERT_NOERROR(ACLAddEntry(second, "Jo Doe/Demo", ACL_LEVEL_READER, nullptr, 0));
    EXPECT_EQ(acl_test::Text(acl_), kDefaultAcl);
    EXPECT_NOERROR(OSMemFree(second));
}

TEST_F(AclTest, EntriesAreFoundByNameWithoutRegardToCaseOrForm) {
    ASSERT_NOERROR(ACLAddEntry(acl_, "CN=Jo Doe/O=Demo", ACL_LEVEL_EDITOR, nullptr,
                               ACL_FLAG_PERSON | ACL_FLAG_DELETE_DOCS));
    ASSERT_NOERROR(ACLAddEntry(acl_, "[CN=Jo Doe/O=Demo]", ACL_LEVEL_MANAGER, nullptr, 0));
    ASSERT_NOERROR(ACLAddEntry(acl_, "LocalDomainServers", ACL_LEVEL_MANAGER, nullptr,
                               ACL_FLAG_SERVER | ACL_FLAG_GROUP));
    // The same name in another form or case is the same entry; in brackets
    // it is another.
    EXPECT_EQ(ACLAddEntry(acl_, "jo doe/demo", ACL_LEVEL_READER, nullptr, 0), ERR_ACL_ENTRY_EXISTS);
    EXPECT_EQ(ACLAddEntry(acl_, "[Jo Doe/Demo]", ACL_LEVEL_READER, nullptr, 0),
              ERR_ACL_ENTRY_EXISTS);
    // "-Default-" in any case sets the default entry.
    ASSERT_NOERROR(
        ACLAddEntry(acl_, "-default-", ACL_LEVEL_READER, nullptr, ACL_FLAG_PUBLICWRITER));
    EXPECT_EQ(acl_test::Text(acl_),
              "roles\n"
              "-Default- 2 0x0400\n"
              "CN=Jo Doe/O=Demo 4 0x0024\n"
              "[CN=Jo Doe/O=Demo] 6 0x0000\n"
              "LocalDomainServers 6 0x0042\n");

    EXPECT_NOERROR(ACLDeleteEntry(acl_, "Jo Doe/Demo"));
    EXPECT_EQ(ACLDeleteEntry(acl_, "Jo Doe/Demo"), ERR_ACL_NOT_FOUND);
    EXPECT_EQ(ACLDeleteEntry(acl_, "-Default-"), ERR_ACL_DEFAULT_ENTRY);
    EXPECT_EQ(ACLDeleteEntry(acl_, nullptr), ERR_ACL_DEFAULT_ENTRY);
    // A deleted and added entry goes to the end.
    ASSERT_NOERROR(ACLAddEntry(acl_, "Jo Doe/Demo", ACL_LEVEL_AUTHOR, nullptr, 0));
    EXPECT_EQ(acl_test::Text(acl_),
              "roles\n"
              "-Default- 2 0x0400\n"
              "[CN=Jo Doe/O=Demo] 6 0x0000\n"
              "LocalDomainServers 6 0x0042\n"
              "Jo Doe/Demo 3 0x0000\n");
}

// Each refused value leaves the ACL exactly as it was.
TEST_F(AclTest, RefusedEntriesChangeNothing) {
    DefineRoles();
    ASSERT_NOERROR(ACLAddEntry(acl_, "Kept", ACL_LEVEL_READER, nullptr, 0));
    const std::string before = acl_test::Text(acl_);
    const std::string tooLong(MAXUSERNAME, 'x');
    const ACL_PRIVILEGES emptySlot = Privs({0, 2});
    const struct {
        const char *what;
        const char *name;
        WORD level;
        const ACL_PRIVILEGES *privileges;
        WORD flags;
        STATUS expected;
    } cases[] = {
        {"an empty name", "", ACL_LEVEL_READER, nullptr, 0, ERR_ACL_BAD_NAME},
        {"a null name", nullptr, ACL_LEVEL_READER, nullptr, 0, ERR_ACL_BAD_NAME},
        {"a name too long", tooLong.c_str(), ACL_LEVEL_READER, nullptr, 0, ERR_ACL_BAD_NAME},
        {"a level above manager", "New", ACL_LEVEL_MANAGER + 1, nullptr, 0, ERR_ACL_BAD_LEVEL},
        {"an undefined flag", "New", ACL_LEVEL_READER, nullptr, 0x0800, ERR_ACL_BAD_FLAGS},
        {"a person that is a server", "New", ACL_LEVEL_READER, nullptr,
         ACL_FLAG_PERSON | ACL_FLAG_SERVER, ERR_ACL_BAD_FLAGS},
        {"a role of an empty slot", "New", ACL_LEVEL_READER, &emptySlot, 0, ERR_ACL_BAD_PRIV},
        {"a bad default entry", "-Default-", 9, nullptr, 0, ERR_ACL_BAD_LEVEL},
        {"a name that is there", "kept", ACL_LEVEL_READER, nullptr, 0, ERR_ACL_ENTRY_EXISTS},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ACLAddEntry(acl_, c.name, c.level, c.privileges, c.flags), c.expected) << c.what;
        EXPECT_EQ(acl_test::Text(acl_), before) << c.what;
    }
}

TEST_F(AclTest, UpdatesChangeWhatTheirFlagsNameAndKeepThePlace) {
    DefineRoles();
    ASSERT_NOERROR(ACLAddEntry(acl_, "First", ACL_LEVEL_READER, nullptr, 0));
    ASSERT_NOERROR(ACLAddEntry(acl_, "Second", ACL_LEVEL_AUTHOR, nullptr, 0));
    const ACL_PRIVILEGES admin = Privs({0});
    // A null name is the default entry; only the level and the flags change.
    ASSERT_NOERROR(ACLUpdateEntry(acl_, nullptr, ACL_UPDATE_LEVEL | ACL_UPDATE_FLAGS, "ignored",
                                  ACL_LEVEL_READER, &admin, ACL_FLAG_PUBLICWRITER));
    ASSERT_NOERROR(ACLUpdateEntry(acl_, "first", ACL_UPDATE_NAME | ACL_UPDATE_PRIVILEGES, "Renamed",
                                  ACL_LEVEL_NOACCESS, &admin, 0));
    EXPECT_EQ(acl_test::Text(acl_),
              "roles [Admin] [SysAdmin]\n"
              "-Default- 2 0x0400\n"
              "Renamed 2 0x0000 [Admin]\n"
              "Second 3 0x0000\n");
    const std::string before = acl_test::Text(acl_);
    const ACL_PRIVILEGES emptySlot = Privs({5});
    const struct {
        const char *what;
        const char *name;
        WORD flags;
        const char *newName;
        WORD level;
        const ACL_PRIVILEGES *privileges;
        STATUS expected;
    } cases[] = {
        {"an unknown entry", "Nobody", ACL_UPDATE_LEVEL, nullptr, 2, nullptr, ERR_ACL_NOT_FOUND},
        {"renaming the default entry", nullptr, ACL_UPDATE_NAME, "Other", 2, nullptr,
         ERR_ACL_DEFAULT_ENTRY},
        {"renaming to the default entry", "Second", ACL_UPDATE_NAME, "-Default-", 2, nullptr,
         ERR_ACL_DEFAULT_ENTRY},
        {"renaming to a name that is there", "Second", ACL_UPDATE_NAME, "RENAMED", 2, nullptr,
         ERR_ACL_ENTRY_EXISTS},
        {"an empty new name", "Second", ACL_UPDATE_NAME, "", 2, nullptr, ERR_ACL_BAD_NAME},
        {"a bad level", "Second", ACL_UPDATE_LEVEL, nullptr, 7, nullptr, ERR_ACL_BAD_LEVEL},
        {"a role of an empty slot", "Second", ACL_UPDATE_PRIVILEGES, nullptr, 2, &emptySlot,
         ERR_ACL_BAD_PRIV},
        {"an unknown update flag", "Second", 0x10, nullptr, 2, nullptr, ERR_BAD_PARAM},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ACLUpdateEntry(acl_, c.name, c.flags, c.newName, c.level, c.privileges, 0),
                  c.expected)
            << c.what;
        EXPECT_EQ(acl_test::Text(acl_), before) << c.what;
    }
    // Renaming an entry to its own name in another case is allowed.
    EXPECT_NOERROR(ACLUpdateEntry(acl_, "Second", ACL_UPDATE_NAME, "SECOND", 0, nullptr, 0));
}

TEST_F(AclTest, RoleSlotsTakeNamesInBracketsAndGiveThemBack) {
    DefineRoles();
    ASSERT_NOERROR(ACLSetPrivName(acl_, 79, "Last"));
    char name[ACL_PRIVSTRINGMAX];
    const struct {
        WORD slot;
        const char *expected;
    } reads[] = {{0, "[Admin]"}, {1, "[SysAdmin]"}, {2, ""}, {79, "[Last]"}};
    for (const auto &r : reads) {
        std::strcpy(name, "sentinel");
        EXPECT_NOERROR(ACLGetPrivName(acl_, r.slot, name));
        EXPECT_STREQ(name, r.expected) << "slot " << r.slot;
    }
    std::strcpy(name, "sentinel");
    EXPECT_EQ(ACLGetPrivName(acl_, ACL_PRIVCOUNT, name), ERR_ACL_BAD_PRIV);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(ACLGetPrivName(acl_, 0, nullptr), ERR_BAD_PARAM);

    const std::string longest(ACL_PRIVSTRINGMAX - 3, 'r');  // with its brackets, 63 bytes
    const struct {
        const char *what;
        WORD slot;
        std::string name;
        STATUS expected;
    } sets[] = {
        {"the longest name", 5, longest, NOERROR},
        {"a name one byte too long", 6, longest + "r", ERR_ACL_BAD_NAME},
        {"a bracket inside", 6, "Ad[min", ERR_ACL_BAD_NAME},
        {"brackets alone", 6, "[]", ERR_ACL_BAD_NAME},
        {"a name another slot has", 6, "[ADMIN]", ERR_ACL_ROLE_EXISTS},
        {"the same name again in its own slot", 0, "admin", NOERROR},
        {"a slot beyond the last", ACL_PRIVCOUNT, "Beyond", ERR_ACL_BAD_PRIV},
    };
    for (const auto &s : sets)
        EXPECT_EQ(ACLSetPrivName(acl_, s.slot, s.name.c_str()), s.expected) << s.what;
    ASSERT_NOERROR(ACLGetPrivName(acl_, 5, name));
    EXPECT_EQ(name, "[" + longest + "]");

    // Emptying a slot takes its role off every entry, the default one too.
    const ACL_PRIVILEGES both = Privs({0, 1});
    ASSERT_NOERROR(ACLAddEntry(acl_, "-Default-", ACL_LEVEL_READER, &both, 0));
    ASSERT_NOERROR(ACLAddEntry(acl_, "Jo", ACL_LEVEL_READER, &both, 0));
    ASSERT_NOERROR(ACLSetPrivName(acl_, 1, ""));
    EXPECT_EQ(acl_test::Text(acl_), "roles [admin] [" + longest +
                                        "] [Last]\n"
                                        "-Default- 2 0x0000 [admin]\n"
                                        "Jo 2 0x0000 [admin]\n");
}

TEST_F(AclTest, LookupGivesTheFirstNamedEntryElseTheDefaultWithItsRoleNames) {
    DefineRoles();
    ASSERT_NOERROR(ACLSetPrivName(acl_, 7, "[Reader]"));
    const ACL_PRIVILEGES adminAndReader = Privs({0, 7});
    ASSERT_NOERROR(ACLAddEntry(acl_, "-Default-", ACL_LEVEL_READER, nullptr, 0));
    ASSERT_NOERROR(
        ACLAddEntry(acl_, "CN=Jo Doe/O=Demo", ACL_LEVEL_MANAGER, &adminAndReader, ACL_FLAG_PERSON));
    ASSERT_NOERROR(ACLAddEntry(acl_, "Admins", ACL_LEVEL_EDITOR, nullptr, ACL_FLAG_GROUP));
    const struct {
        const char *what;
        std::vector<std::string> names;
        WORD level;
        WORD flags;
        std::vector<std::string> roles;
    } cases[] = {
        {"the person's own entry",
         {"Jo Doe/Demo", "Admins"},
         6,
         ACL_FLAG_PERSON,
         {"[Admin]", "[Reader]"}},
        {"the first name that has an entry",
         {"Nobody", "admins", "Jo Doe/Demo"},
         4,
         ACL_FLAG_GROUP,
         {}},
        {"no name has one", {"Nobody", "[Jo Doe/Demo]"}, 2, 0, {}},
        {"no names at all", {}, 2, 0, {}},
    };
    for (const auto &c : cases) {
        std::vector<char> list = NamesList(c.names);
        WORD level = 99, flags = 99;
        ACL_PRIVILEGES privileges;
        std::memset(&privileges, 0xEE, sizeof privileges);
        DHANDLE roles = 0xDEAD;
        ASSERT_EQ(ACLLookupAccess(acl_, reinterpret_cast<const NAMES_LIST *>(list.data()), &level,
                                  &privileges, &flags, &roles),
                  NOERROR)
            << c.what;
        EXPECT_EQ(level, c.level) << c.what;
        EXPECT_EQ(flags, c.flags) << c.what;
        EXPECT_EQ(ACLIsPrivSet(privileges, 0), !c.roles.empty()) << c.what;
        EXPECT_EQ(ACLIsPrivSet(privileges, 3), false) << c.what;
        if (c.roles.empty()) {
            EXPECT_EQ(roles, NULLHANDLE) << c.what;
            continue;
        }
        ASSERT_NE(roles, NULLHANDLE) << c.what;
        const void *p = OSLockObject(roles);
        std::vector<std::string> got;
        for (WORD i = 0; i < ListGetNumEntries(p, FALSE); i++) {
            char *text = nullptr;
            WORD length = 0;
            ASSERT_NOERROR(ListGetText(p, FALSE, i, &text, &length));
            got.emplace_back(text, length);
        }
        OSUnlockObject(roles);
        EXPECT_NOERROR(OSMemFree(roles));
        EXPECT_EQ(got, c.roles) << c.what;
    }
    // The results may be left out; the names list may not.
    std::vector<char> list = NamesList({"Jo Doe/Demo"});
    EXPECT_NOERROR(ACLLookupAccess(acl_, reinterpret_cast<const NAMES_LIST *>(list.data()), nullptr,
                                   nullptr, nullptr, nullptr));
    WORD level = 99;
    EXPECT_EQ(ACLLookupAccess(acl_, nullptr, &level, nullptr, nullptr, nullptr), ERR_BAD_PARAM);
    EXPECT_EQ(level, 0);
}

void DeleteEveryOther(void *context, const char *name, WORD, const ACL_PRIVILEGES *, WORD) {
    auto *state = static_cast<std::pair<DHANDLE, std::vector<std::string>> *>(context);
    state->second.push_back(name);
    if (std::strcmp(name, "-Default-") != 0)
        EXPECT_NOERROR(ACLDeleteEntry(state->first, name));
}

// The enumeration walks the ACL as it was when it began, so its callback
// may change the ACL.
TEST_F(AclTest, AnEnumerationCallbackMayChangeTheAcl) {
    for (const char *name : {"A", "B", "C"})
        ASSERT_NOERROR(ACLAddEntry(acl_, name, ACL_LEVEL_READER, nullptr, 0));
    std::pair<DHANDLE, std::vector<std::string>> state{acl_, {}};
    ASSERT_NOERROR(ACLEnumEntries(acl_, DeleteEveryOther, &state));
    EXPECT_EQ(state.second, (std::vector<std::string>{"-Default-", "A", "B", "C"}));
    EXPECT_EQ(acl_test::Text(acl_), "roles\n-Default- 6 0x0000\n");
    EXPECT_EQ(ACLEnumEntries(acl_, nullptr, nullptr), ERR_BAD_PARAM);
}

TEST_F(AclTest, AStoredAclIsTheDatabasesAfterItsReopenAndWholeOrNotAtAll) {
    DefineRoles();
    const ACL_PRIVILEGES admin = Privs({0});
    ASSERT_NOERROR(ACLAddEntry(acl_, "-Default-", ACL_LEVEL_NOACCESS, nullptr, 0));
    ASSERT_NOERROR(
        ACLAddEntry(acl_, "CN=Jo Doe/O=Demo", ACL_LEVEL_MANAGER, &admin, ACL_FLAG_PERSON));
    ASSERT_NOERROR(
        ACLAddEntry(acl_, "[Anonymous]", ACL_LEVEL_NOACCESS, nullptr, ACL_FLAG_PUBLICREADER));
    const std::string wanted = acl_test::Text(acl_);
    EXPECT_EQ(NSFDbStoreACL(db_, acl_, 1, 0), ERR_BAD_PARAM);
    EXPECT_EQ(NSFDbStoreACL(db_, acl_, 0, 1), ERR_BAD_PARAM);
    EXPECT_EQ(acl_test::DbText(db_), kDefaultAcl);
    ASSERT_NOERROR(NSFDbStoreACL(db_, acl_, 0, 0));
    // The handle stays the caller's and unchanged.
    EXPECT_EQ(acl_test::Text(acl_), wanted);
    NSFDbClose(db_);
    ASSERT_NOERROR(NSFDbOpen("acl.nsf", &db_));
    EXPECT_EQ(acl_test::DbText(db_), wanted);

    // A store that fails half way stores nothing.
    ASSERT_NOERROR(ACLDeleteEntry(acl_, "Jo Doe/Demo"));
    StandinFaultInject({"SQLiteStep", ERR_DB_IO, 3, 1, "acl.nsf"});
    EXPECT_EQ(NSFDbStoreACL(db_, acl_, 0, 0), ERR_DB_IO);
    StandinFaultClear();
    EXPECT_EQ(acl_test::DbText(db_), wanted);
    char problem[256];
    EXPECT_EQ(StandinDbCheck("acl.nsf", problem, sizeof problem), NOERROR) << problem;
}

TEST_F(AclTest, CallsRefuseHandlesThatAreNoAcl) {
    DHANDLE memory = NULLHANDLE;
    ASSERT_NOERROR(OSMemAlloc(0, 16, &memory));
    char name[ACL_PRIVSTRINGMAX];
    std::vector<char> list = NamesList({});
    const auto *names = reinterpret_cast<const NAMES_LIST *>(list.data());
    for (DHANDLE handle : {memory, static_cast<DHANDLE>(db_), static_cast<DHANDLE>(0)}) {
        const STATUS expected = handle == memory ? ERR_NOT_AN_ACL
                                : handle == db_  ? ERR_WRONG_HANDLE_KIND
                                                 : ERR_INVALID_HANDLE;
        EXPECT_EQ(ACLAddEntry(handle, "A", 2, nullptr, 0), expected);
        EXPECT_EQ(ACLDeleteEntry(handle, "A"), expected);
        EXPECT_EQ(ACLUpdateEntry(handle, "A", ACL_UPDATE_LEVEL, nullptr, 2, nullptr, 0), expected);
        EXPECT_EQ(ACLGetPrivName(handle, 0, name), expected);
        EXPECT_EQ(ACLSetPrivName(handle, 0, "R"), expected);
        EXPECT_EQ(ACLEnumEntries(handle, acl_test::CollectEntry, nullptr), expected);
        EXPECT_EQ(ACLLookupAccess(handle, names, nullptr, nullptr, nullptr, nullptr), expected);
        EXPECT_EQ(NSFDbStoreACL(db_, handle, 0, 0), expected);
    }
    EXPECT_NOERROR(OSMemFree(memory));
    DHANDLE none = 0xDEAD;
    EXPECT_EQ(NSFDbReadACL(0, &none), ERR_INVALID_HANDLE);
    EXPECT_EQ(none, NULLHANDLE);
    EXPECT_EQ(NSFDbReadACL(db_, nullptr), ERR_BAD_PARAM);
}

TEST_F(AclTest, EveryCallFailsAtItsFaultPoint) {
    std::vector<char> list = NamesList({});
    const auto *names = reinterpret_cast<const NAMES_LIST *>(list.data());
    char name[ACL_PRIVSTRINGMAX];
    DBHANDLE other = CreateAndOpen("other.nsf");
    DHANDLE read = NULLHANDLE;
    const struct {
        const char *point;
        const char *path;
        std::function<STATUS()> call;
    } cases[] = {
        {"NSFDbReadACL", "acl.nsf", [&] { return NSFDbReadACL(db_, &read); }},
        {"NSFDbStoreACL", "acl.nsf", [&] { return NSFDbStoreACL(db_, acl_, 0, 0); }},
        {"NSFDbCopyTemplateACL", "acl.nsf",
         [&] { return NSFDbCopyTemplateACL(other, db_, nullptr, 0); }},
        {"ACLEnumEntries", nullptr,
         [&] { return ACLEnumEntries(acl_, acl_test::CollectEntry, nullptr); }},
        {"ACLGetPrivName", nullptr, [&] { return ACLGetPrivName(acl_, 0, name); }},
        {"ACLSetPrivName", nullptr, [&] { return ACLSetPrivName(acl_, 0, "R"); }},
        {"ACLAddEntry", nullptr, [&] { return ACLAddEntry(acl_, "A", 2, nullptr, 0); }},
        {"ACLDeleteEntry", nullptr, [&] { return ACLDeleteEntry(acl_, "A"); }},
        {"ACLUpdateEntry", nullptr,
         [&] { return ACLUpdateEntry(acl_, nullptr, ACL_UPDATE_LEVEL, nullptr, 2, nullptr, 0); }},
        {"ACLLookupAccess", nullptr,
         [&] { return ACLLookupAccess(acl_, names, nullptr, nullptr, nullptr, nullptr); }},
    };
    for (const auto &c : cases) {
        StandinFaultInject({c.point, ERR_FAULT_INJECTED, 0, 0, c.path});
        EXPECT_EQ(c.call(), ERR_FAULT_INJECTED) << c.point;
        StandinFaultClear();
    }
    EXPECT_EQ(read, NULLHANDLE);
    EXPECT_EQ(acl_test::Text(acl_), kDefaultAcl);
    // A rule for another database does not fire.
    StandinFaultInject({"NSFDbReadACL", ERR_FAULT_INJECTED, 0, 0, "other.nsf"});
    ASSERT_NOERROR(NSFDbReadACL(db_, &read));
    EXPECT_NOERROR(OSMemFree(read));
    NSFDbClose(other);
}

// A database of an older layout gets the default ACL by its first open,
// from the first layout and from the one just before the ACL alike.
TEST_F(AclTest, DatabasesOfOlderLayoutsOpenWithTheDefaultAcl) {
    const std::string v1 = dataFile("v1.nsf");
    nsf_test::WriteVersionOneFile(v1);
    ASSERT_NOERROR(NSFDbCreate("v5.nsf", DBCLASS_BY_EXTENSION, FALSE));
    const std::string v5 = dataFile("v5.nsf");
    ASSERT_TRUE(nsf_test::RawExec(v5,
                                  "DROP TABLE acl_entries; DROP TABLE acl_roles;"
                                  " DELETE FROM dbinfo WHERE key LIKE 'acl_%';"
                                  " PRAGMA user_version=5;"));
    for (const char *path : {"v1.nsf", "v5.nsf"}) {
        DBHANDLE old = NULLHANDLE;
        ASSERT_EQ(NSFDbOpen(path, &old), NOERROR) << path;
        EXPECT_EQ(acl_test::DbText(old), kDefaultAcl) << path;
        NSFDbClose(old);
        char problem[256];
        EXPECT_EQ(StandinDbCheck(path, problem, sizeof problem), NOERROR)
            << path << ": " << problem;
    }
}

TEST_F(AclTest, RowsThatNoAclCanHoldAreDamage) {
    const struct {
        const char *what;
        const char *sql;
    } cases[] = {
        {"no default entry", "DELETE FROM acl_entries"},
        {"a level above manager", "UPDATE acl_entries SET level=7"},
        {"privileges of another size", "UPDATE acl_entries SET privileges=zeroblob(3)"},
        {"a role slot beyond the last", "INSERT INTO acl_roles VALUES(80, '[R]')"},
        {"a default entry in second place",
         "INSERT INTO acl_entries VALUES(-1, CAST('Jo' AS BLOB), 2, 0, zeroblob(10))"},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string name = "damaged" + std::to_string(n++) + ".nsf";
        ASSERT_NOERROR(NSFDbCreate(name.c_str(), DBCLASS_BY_EXTENSION, FALSE));
        ASSERT_TRUE(nsf_test::RawExec(dataFile(name), c.sql)) << c.what;
        char problem[256];
        EXPECT_EQ(StandinDbCheck(name.c_str(), problem, sizeof problem), ERR_DB_DAMAGED) << c.what;
        EXPECT_STREQ(problem, "an access control list whose rows no ACL can hold") << c.what;
        DBHANDLE db = NULLHANDLE;
        ASSERT_NOERROR(NSFDbOpen(name.c_str(), &db));
        DHANDLE acl = 0xDEAD;
        EXPECT_EQ(NSFDbReadACL(db, &acl), ERR_DB_DAMAGED) << c.what;
        EXPECT_EQ(acl, NULLHANDLE) << c.what;
        NSFDbClose(db);
    }
}

// A template's entries in brackets are what a new database inherits.
class CopyTemplateAclTest : public AclTest {
  protected:
    void SetUp() override {
        AclTest::SetUp();
        tpl_ = CreateAndOpen("tpl.ntf");
        DHANDLE acl = NULLHANDLE;
        ASSERT_NOERROR(NSFDbReadACL(tpl_, &acl));
        ASSERT_NOERROR(ACLSetPrivName(acl, 0, "[Spare]"));
        ASSERT_NOERROR(ACLSetPrivName(acl, 1, "[Admin]"));
        ASSERT_NOERROR(ACLSetPrivName(acl, 2, "[SysAdmin]"));
        const ACL_PRIVILEGES both = Privs({1, 2});
        ASSERT_NOERROR(ACLAddEntry(acl, "-Default-", ACL_LEVEL_MANAGER, nullptr, 0));
        ASSERT_NOERROR(ACLAddEntry(acl, "CN=Srv/O=Acme", ACL_LEVEL_MANAGER, nullptr, 2));
        ASSERT_NOERROR(ACLAddEntry(acl, "[CN=Srv/O=Acme]", ACL_LEVEL_MANAGER, nullptr, 2));
        ASSERT_NOERROR(ACLAddEntry(acl, "[CN=Ann Lee/O=Acme]", ACL_LEVEL_MANAGER, &both, 0));
        ASSERT_NOERROR(
            ACLAddEntry(acl, "[Anonymous]", ACL_LEVEL_NOACCESS, nullptr, ACL_FLAG_PUBLICREADER));
        ASSERT_NOERROR(NSFDbStoreACL(tpl_, acl, 0, 0));
        EXPECT_NOERROR(OSMemFree(acl));
    }
    void TearDown() override {
        NSFDbClose(tpl_);
        AclTest::TearDown();
    }
    void WithDefaultEntry(WORD level) {
        DHANDLE acl = NULLHANDLE;
        ASSERT_NOERROR(NSFDbReadACL(tpl_, &acl));
        ASSERT_NOERROR(ACLAddEntry(acl, "[-Default-]", level, nullptr, ACL_FLAG_PUBLICWRITER));
        ASSERT_NOERROR(NSFDbStoreACL(tpl_, acl, 0, 0));
        EXPECT_NOERROR(OSMemFree(acl));
    }
    DBHANDLE tpl_ = NULLHANDLE;
};

TEST_F(CopyTemplateAclTest, BracketedEntriesComeWithoutBracketsAndTheRolesByName) {
    WithDefaultEntry(ACL_LEVEL_READER);
    // The destination has a role of its own in the template's first slot,
    // and a plain entry of an inherited name.
    ASSERT_NOERROR(ACLSetPrivName(acl_, 0, "[Own]"));
    ASSERT_NOERROR(ACLAddEntry(acl_, "Ann Lee/Acme", ACL_LEVEL_READER, nullptr, 0));
    ASSERT_NOERROR(ACLAddEntry(acl_, "Kept", ACL_LEVEL_EDITOR, nullptr, 0));
    ASSERT_NOERROR(NSFDbStoreACL(db_, acl_, 0, 0));
    ASSERT_NOERROR(NSFDbCopyTemplateACL(tpl_, db_, nullptr, ACL_LEVEL_NOACCESS));
    EXPECT_EQ(acl_test::DbText(db_),
              "roles [Own] [Spare] [Admin] [SysAdmin]\n"
              "-Default- 2 0x0400\n"
              "CN=Ann Lee/O=Acme 6 0x0000 [Admin] [SysAdmin]\n"
              "Kept 4 0x0000\n"
              "CN=Srv/O=Acme 6 0x0002\n"
              "Anonymous 0 0x0200\n");
    // The template itself is unchanged, and a second copy gives the same.
    const std::string once = acl_test::DbText(db_);
    ASSERT_NOERROR(NSFDbCopyTemplateACL(tpl_, db_, nullptr, ACL_LEVEL_NOACCESS));
    EXPECT_EQ(acl_test::DbText(db_), once);
}

TEST_F(CopyTemplateAclTest, WithoutABracketedDefaultTheDefaultLevelAndTheManagerApply) {
    ASSERT_NOERROR(NSFDbCopyTemplateACL(tpl_, db_, "CN=Boss/O=Acme", ACL_LEVEL_AUTHOR));
    EXPECT_EQ(acl_test::DbText(db_),
              "roles [Spare] [Admin] [SysAdmin]\n"
              "-Default- 3 0x0000\n"
              "CN=Srv/O=Acme 6 0x0002\n"
              "CN=Ann Lee/O=Acme 6 0x0000 [Admin] [SysAdmin]\n"
              "Anonymous 0 0x0200\n"
              "CN=Boss/O=Acme 6 0x0000\n");
    const std::string before = acl_test::DbText(db_);
    EXPECT_EQ(NSFDbCopyTemplateACL(tpl_, db_, nullptr, 7), ERR_ACL_BAD_LEVEL);
    EXPECT_EQ(NSFDbCopyTemplateACL(tpl_, db_, std::string(MAXUSERNAME, 'm').c_str(), 0),
              ERR_ACL_BAD_NAME);
    EXPECT_EQ(NSFDbCopyTemplateACL(0, db_, nullptr, 0), ERR_INVALID_HANDLE);
    EXPECT_EQ(acl_test::DbText(db_), before);
}

TEST_F(CopyTemplateAclTest, ADestinationWithoutAFreeRoleSlotIsRefusedAndUnchanged) {
    for (WORD slot = 0; slot < ACL_PRIVCOUNT; slot++)
        ASSERT_NOERROR(ACLSetPrivName(acl_, slot, ("R" + std::to_string(slot)).c_str()));
    ASSERT_NOERROR(NSFDbStoreACL(db_, acl_, 0, 0));
    const std::string before = acl_test::DbText(db_);
    EXPECT_EQ(NSFDbCopyTemplateACL(tpl_, db_, nullptr, 0), ERR_ACL_FULL);
    EXPECT_EQ(acl_test::DbText(db_), before);
}

}  // namespace
