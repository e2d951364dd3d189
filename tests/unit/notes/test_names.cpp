#include "names.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "directory_test_util.h"
#include "os_error.h"
#include "os_mem.h"
#include "os_text.h"
#include "standin/dxl.h"
#include "standin/fault.h"
#include "standin/nsf.h"
#include "standin/runtime.h"
#include "textlist.h"

namespace {

using directory_test::ItemSpec;
using directory_test::StoreDocument;
using directory_test::StoreGroup;
using directory_test::StorePerson;
using directory_test::StoreServer;

// NUL-terminated texts one after the other, as the lookup takes them.
std::string Pack(const std::vector<std::string> &texts) {
    std::string packed;
    for (const std::string &text : texts)
        packed += text + '\0';
    return packed;
}

// An item of a match as text: "text", "a|b" for a list (read member by
// member through NAMEGetTextItem2), "<type 0x0300>" for another type,
// "<none>" when the document lacks it.
std::string Describe(const void *match, WORD item) {
    WORD type = 0xFFFF, size = 0xFFFF;
    const auto *value = static_cast<const char *>(NAMELocateItem2(match, item, &type, &size));
    if (value == nullptr) {
        EXPECT_EQ(type, TYPE_INVALID_OR_UNKNOWN);
        EXPECT_EQ(size, 0u);
        return "<none>";
    }
    WORD inValue = 0;
    std::memcpy(&inValue, value, sizeof inValue);
    EXPECT_EQ(inValue, type) << "the value begins with its type word";
    if (type == TYPE_TEXT)
        return std::string(value + 2, size - 2u);
    if (type != TYPE_TEXT_LIST) {
        char text[32];
        std::snprintf(text, sizeof text, "<type 0x%04X>", type);
        return text;
    }
    std::string out;
    for (WORD member = 0;; member++) {
        char buffer[256];
        STATUS status = NAMEGetTextItem2(match, item, member, buffer, sizeof buffer);
        if (status == ERR_LIST_ENTRY)
            return out;
        EXPECT_EQ(status, NOERROR);
        if (status != NOERROR)
            return out + "<error>";
        out += (member ? "|" : "") + std::string(buffer);
    }
}

// A lookup's result: per name entry, per match, each item described.
using Matches = std::vector<std::vector<std::string>>;
struct Lookup {
    STATUS status = NOERROR;
    std::vector<Matches> entries;
};

// Looks up as the worker does, and walks the whole result.
Lookup LookUp(const std::vector<std::string> &spaces, const std::vector<std::string> &names,
              const std::vector<std::string> &items, const char *server = nullptr) {
    Lookup result;
    const std::string packedSpaces = Pack(spaces), packedNames = Pack(names),
                      packedItems = Pack(items);
    DHANDLE buffer = 0xDEAD;
    result.status = NAMELookup2(server, 0, static_cast<WORD>(spaces.size()), packedSpaces.data(),
                                static_cast<WORD>(names.size()), packedNames.data(),
                                static_cast<WORD>(items.size()), packedItems.data(), &buffer);
    if (result.status != NOERROR) {
        EXPECT_EQ(buffer, NULLHANDLE);
        return result;
    }
    const void *lookup = OSLockObject(buffer);
    WORD count = 0;
    for (const void *name = NAMELocateNextName2(lookup, nullptr, &count); name != nullptr;
         name = NAMELocateNextName2(lookup, name, &count)) {
        Matches matches;
        for (const void *match = NAMELocateNextMatch2(lookup, name, nullptr); match != nullptr;
             match = NAMELocateNextMatch2(lookup, name, match)) {
            std::vector<std::string> values;
            for (WORD item = 0; item < items.size(); item++)
                values.push_back(Describe(match, item));
            EXPECT_EQ(NAMELocateItem2(match, static_cast<WORD>(items.size()), nullptr, nullptr),
                      nullptr)
                << "an item beyond those asked";
            matches.push_back(values);
        }
        EXPECT_EQ(matches.size(), count);
        result.entries.push_back(matches);
    }
    EXPECT_EQ(count, 0u) << "no entry after the last";
    OSUnlockObject(buffer);
    EXPECT_NOERROR(OSMemFree(buffer));
    return result;
}

// A text list with the data-type prefix holding the names, made as the
// worker makes it.
DHANDLE NamesList(const std::vector<std::string> &names, WORD *size) {
    DHANDLE list = NULLHANDLE;
    void *locked = nullptr;
    EXPECT_NOERROR(ListAllocate(0, 0, TRUE, &list, &locked, size));
    WORD count = ListGetNumEntries(locked, TRUE);
    OSUnlockObject(list);
    for (const std::string &name : names)
        EXPECT_NOERROR(
            ListAddEntry(list, TRUE, size, count++, name.data(), static_cast<WORD>(name.size())));
    return list;
}

std::vector<std::string> ListTexts(DHANDLE list) {
    std::vector<std::string> texts;
    const void *p = OSLockObject(list);
    EXPECT_NE(p, nullptr);
    if (p == nullptr)
        return texts;
    WORD prefix = 0;
    std::memcpy(&prefix, p, sizeof prefix);
    EXPECT_EQ(prefix, TYPE_TEXT_LIST);
    for (WORD i = 0; i < ListGetNumEntries(p, TRUE); i++) {
        char *text = nullptr;
        WORD length = 0;
        EXPECT_NOERROR(ListGetText(p, TRUE, i, &text, &length));
        texts.emplace_back(text, length);
    }
    OSUnlockObject(list);
    return texts;
}

class DirectoryTest : public nsf_test::NsfTest {
  protected:
    void SetUp() override {
        nsf_test::NsfTest::SetUp();
        names_ = CreateAndOpen("names.nsf");
        directory_test::StoreDirectoryViews(names_);
    }
    void TearDown() override {
        if (names_ != NULLHANDLE)
            EXPECT_NOERROR(NSFDbClose(names_));
        nsf_test::NsfTest::TearDown();
    }

    // Expands the names as the worker does; the status, and the list in
    // *out.
    STATUS Expand(const std::vector<std::string> &names, std::vector<std::string> *out) {
        out->clear();
        WORD size = 0;
        DHANDLE list = NamesList(names, &size);
        DHANDLE expanded = 0xDEAD;
        WORD expandedSize = 0xDEAD;
        STATUS status = NAMEExpandNamesList(list, size, &expanded, &expandedSize, 0, 0);
        EXPECT_EQ(ListTexts(list), names) << "the names given stay as they were";
        EXPECT_NOERROR(OSMemFree(list));
        if (status != NOERROR) {
            EXPECT_EQ(expanded, NULLHANDLE);
            EXPECT_EQ(expandedSize, 0u);
            return status;
        }
        *out = ListTexts(expanded);
        const void *p = OSLockObject(expanded);
        EXPECT_EQ(ListGetSize(p, TRUE), expandedSize);
        OSUnlockObject(expanded);
        EXPECT_NOERROR(OSMemFree(expanded));
        return NOERROR;
    }

    DBHANDLE names_ = NULLHANDLE;
};

const std::vector<std::string> kMailItems{"MailServer", "MailFile", "FullName"};

// Every form of a person's names finds the person, through the collation.
TEST_F(DirectoryTest, APersonIsFoundByEveryFormOfItsNames) {
    StorePerson(names_, {"CN=John Doe/O=Acme", "John Doe"}, "jdoe", "CN=Mail1/O=Acme", "mail/jdoe");
    StorePerson(names_, {"CN=Jane Roe/O=Acme"}, "jroe", "CN=Mail2/O=Acme", "mail/jroe.nsf");
    const Matches john{{"CN=Mail1/O=Acme", "mail/jdoe", "CN=John Doe/O=Acme|John Doe"}};
    struct Case {
        const char *name;
        bool found;
    } cases[] = {
        {"CN=John Doe/O=Acme", true},
        {"John Doe/Acme", true},
        {"cn=john doe/o=acme", true},
        {"JOHN DOE/ACME", true},
        {"John Doe", true},
        {"jdoe", true},
        {"JDoe", true},
        {"CN = John Doe / O = Acme", true},
        {"John", false},
        {"Doe/Acme", false},
        {"CN=John Doe/O=Other", false},
        {"John Doe ", false},
        {"", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Lookup result = LookUp({"$Users"}, {c.name}, kMailItems);
        ASSERT_NOERROR(result.status);
        ASSERT_EQ(result.entries.size(), 1u);
        EXPECT_EQ(result.entries[0], c.found ? john : Matches{});
    }
    Lookup jane = LookUp({"$Users"}, {"Jane Roe/Acme"}, {"FullName", "MailFile"});
    EXPECT_EQ(jane.entries, (std::vector<Matches>{{{"CN=Jane Roe/O=Acme", "mail/jroe.nsf"}}}));
}

// Several matches: in key order, then note ID order, each document once.
TEST_F(DirectoryTest, MatchesComeInKeyOrderThenNoteIdOrder) {
    StorePerson(names_, {"CN=Al One/O=Acme"}, "al", "", "one");
    StorePerson(names_, {"CN=Al Two/O=Acme"}, "AL", "", "two");
    StorePerson(names_, {"CN=Al Three/O=Acme"}, "Al", "", "three");
    Lookup al = LookUp({"$Users"}, {"al"}, {"MailFile"});
    EXPECT_EQ(al.entries, (std::vector<Matches>{{{"one"}, {"two"}, {"three"}}}));

    // The one stored abbreviated has only the key "x y/acme", which sorts
    // after "cn=x y/o=acme": it comes second though its note ID is lower.
    StorePerson(names_, {"X Y/Acme"}, "", "", "abbreviated");
    StorePerson(names_, {"CN=X Y/O=Acme"}, "", "", "canonical");
    for (const char *name : {"X Y/Acme", "CN=X Y/O=Acme"}) {
        SCOPED_TRACE(name);
        Lookup xy = LookUp({"$Users"}, {name}, {"MailFile"});
        EXPECT_EQ(xy.entries, (std::vector<Matches>{{{"canonical"}, {"abbreviated"}}}));
    }
}

// A name that matches nothing succeeds with no matches, and the walk calls
// are safe past the end and with pointers that are no records.
TEST_F(DirectoryTest, AnUnknownNameHasNoMatchesAndTheWalkEndsSafely) {
    StorePerson(names_, {"CN=John Doe/O=Acme"}, "jdoe");
    const std::string spaces = Pack({"$Users"}), names = Pack({"Nobody", "jdoe"}),
                      items = Pack({"FullName"});
    DHANDLE buffer = NULLHANDLE;
    ASSERT_NOERROR(
        NAMELookup2(nullptr, 0, 1, spaces.data(), 2, names.data(), 1, items.data(), &buffer));
    const auto *lookup = static_cast<const unsigned char *>(OSLockObject(buffer));
    WORD count = 99;
    const void *nobody = NAMELocateNextName2(lookup, nullptr, &count);
    ASSERT_NE(nobody, nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(NAMELocateNextMatch2(lookup, nobody, nullptr), nullptr);
    const void *jdoe = NAMELocateNextName2(lookup, nobody, &count);
    ASSERT_NE(jdoe, nullptr);
    EXPECT_EQ(count, 1u);
    const void *match = NAMELocateNextMatch2(lookup, jdoe, nullptr);
    ASSERT_NE(match, nullptr);
    EXPECT_EQ(NAMELocateNextMatch2(lookup, jdoe, match), nullptr);
    EXPECT_EQ(NAMELocateNextMatch2(lookup, nobody, match), nullptr) << "a match of another name";
    count = 99;
    EXPECT_EQ(NAMELocateNextName2(lookup, jdoe, &count), nullptr);
    EXPECT_EQ(count, 0u);

    EXPECT_EQ(NAMELocateNextName2(nullptr, nullptr, &count), nullptr);
    EXPECT_EQ(NAMELocateNextName2(lookup, match, &count), nullptr) << "a match is no name entry";
    EXPECT_EQ(NAMELocateNextName2(lookup, lookup + 1, &count), nullptr);
    EXPECT_EQ(NAMELocateNextName2(lookup, lookup + 4096, &count), nullptr) << "outside";
    EXPECT_EQ(NAMELocateNextMatch2(nullptr, jdoe, nullptr), nullptr);
    EXPECT_EQ(NAMELocateNextMatch2(lookup, nullptr, nullptr), nullptr);
    EXPECT_EQ(NAMELocateNextMatch2(lookup, jdoe, lookup + 2), nullptr);
    WORD type = 99, size = 99;
    EXPECT_EQ(NAMELocateItem2(nullptr, 0, &type, &size), nullptr);
    EXPECT_EQ(type, TYPE_INVALID_OR_UNKNOWN);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(NAMELocateItem2(jdoe, 0, &type, &size), nullptr) << "a name entry is no match";
    char text[16] = "x";
    EXPECT_EQ(NAMEGetTextItem2(nullptr, 0, 0, text, sizeof text), ERR_BAD_PARAM);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(NAMEGetTextItem2(jdoe, 0, 0, text, sizeof text), ERR_BAD_PARAM);
    EXPECT_NOERROR(NAMEGetTextItem2(match, 0, 0, text, sizeof text));
    EXPECT_STREQ(text, "CN=John Doe/O=A");
    OSUnlockObject(buffer);
    EXPECT_NOERROR(OSMemFree(buffer));
}

// The servers of a cluster, as the mail-file fail-over finds them, and the
// order of entries for several names and name spaces, read by the layout
// that names.h documents.
TEST_F(DirectoryTest, ServersAndClustersAndTheLayoutOfSeveralNamesAndSpaces) {
    StoreServer(names_, "CN=Mail1/O=Acme", "East");
    StoreServer(names_, "CN=Mail2/O=Acme", "East");
    StoreServer(names_, "CN=Mail3/O=Acme");
    StoreServer(names_, "CN=Mail4/O=Acme", "West");
    StoreDocument(names_, {ItemSpec::T("Form", "Person"), ItemSpec::T("ClusterName", "East"),
                           ItemSpec::T("ServerName", "CN=Mail9/O=Acme")});

    Lookup mail1 = LookUp({"($Servers)"}, {"Mail1/Acme"}, {"ServerName", "ClusterName"});
    EXPECT_EQ(mail1.entries, (std::vector<Matches>{{{"CN=Mail1/O=Acme", "East"}}}));
    Lookup east = LookUp({"($Clusters)"}, {"east"}, {"ServerName"});
    EXPECT_EQ(east.entries, (std::vector<Matches>{{{"CN=Mail1/O=Acme"}, {"CN=Mail2/O=Acme"}}}));
    Lookup mail3 = LookUp({"($Servers)"}, {"CN=Mail3/O=Acme"}, {"ClusterName"});
    EXPECT_EQ(mail3.entries, (std::vector<Matches>{{{"<none>"}}}));

    const std::string spaces = Pack({"($Servers)", "($Clusters)"}),
                      names = Pack({"Mail3/Acme", "East"}), items = Pack({"ServerName"});
    DHANDLE buffer = NULLHANDLE;
    ASSERT_NOERROR(NAMELookup2("", 0, 2, spaces.data(), 2, names.data(), 1, items.data(), &buffer));
    DWORD size = 0;
    ASSERT_NOERROR(OSMemGetSize(buffer, &size));
    const auto *p = static_cast<const unsigned char *>(OSLockObject(buffer));
    auto dword = [&](size_t at) {
        DWORD v;
        std::memcpy(&v, p + at, 4);
        return v;
    };
    auto word = [&](size_t at) {
        WORD v;
        std::memcpy(&v, p + at, 2);
        return v;
    };
    EXPECT_EQ(dword(0), NAME_LOOKUP_MAGIC);
    EXPECT_EQ(dword(4), size);
    EXPECT_EQ(word(8), 4u);
    EXPECT_EQ(word(10), 1u);
    struct Expected {
        WORD matches, name, space;
    } expected[] = {{1, 0, 0}, {0, 0, 1}, {0, 1, 0}, {2, 1, 1}};
    size_t at = 16;
    const void *entry = nullptr;
    for (const Expected &e : expected) {
        WORD count = 0;
        entry = NAMELocateNextName2(p, entry, &count);
        ASSERT_EQ(entry, p + at);
        EXPECT_EQ(dword(at), NAME_ENTRY_MAGIC);
        EXPECT_EQ(word(at + 8), e.matches);
        EXPECT_EQ(count, e.matches);
        EXPECT_EQ(word(at + 10), e.name);
        EXPECT_EQ(word(at + 12), e.space);
        EXPECT_EQ(dword(at + 4) % 4, 0u);
        if (e.matches > 0) {
            const size_t match = at + 16;
            EXPECT_EQ(dword(match), NAME_MATCH_MAGIC);
            EXPECT_EQ(word(match + 12), 1u);
            const DWORD offset = dword(match + 16);
            EXPECT_EQ(word(match + offset), TYPE_TEXT);
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(p + match + offset + 2),
                                  word(match + 20) - 2u),
                      e.name == 0 ? "CN=Mail3/O=Acme" : "CN=Mail1/O=Acme");
        }
        at += dword(at + 4);
    }
    EXPECT_EQ(at, size);
    OSUnlockObject(buffer);
    EXPECT_NOERROR(OSMemFree(buffer));
}

// Name spaces are the directory's views, by name or alias.
TEST_F(DirectoryTest, NameSpacesAreTheViewsOfTheDirectory) {
    StorePerson(names_, {"CN=John Doe/O=Acme"}, "jdoe", "", "mail/jdoe");
    StoreGroup(names_, "Staff", {"jdoe"});
    directory_test::StoreView(names_, "Mail files | ($ByMailFile)", nullptr, "MailFile");
    agents_test::StoreDesignNote(names_, NOTE_CLASS_FORM, {ItemSpec::T("$TITLE", "Person")});
    EXPECT_EQ(LookUp({"($ByMailFile)"}, {"MAIL/JDOE"}, {"ShortName"}).entries,
              (std::vector<Matches>{{{"jdoe"}}}));
    EXPECT_EQ(LookUp({"($Groups)"}, {"staff"}, {"Members"}).entries,
              (std::vector<Matches>{{{"jdoe"}}}));
    for (const char *space : {"($Users)", "Users", "Person", "", "$Users|x"}) {
        SCOPED_TRACE(space);
        EXPECT_EQ(LookUp({"$Users", space}, {"jdoe"}, {}).status, ERR_NAMESPACE_NOT_FOUND);
    }
}

TEST_F(DirectoryTest, LookupRefusesBadArguments) {
    const std::string spaces = Pack({"$Users"}), names = Pack({"jdoe"}), items = Pack({"X"});
    struct Case {
        const char *what;
        DWORD flags;
        WORD spaceCount;
        const char *spaces;
        WORD nameCount;
        const char *names;
        WORD itemCount;
        const char *items;
        bool out;
    } cases[] = {
        {"no output", 0, 1, spaces.data(), 1, names.data(), 1, items.data(), false},
        {"flags", 1, 1, spaces.data(), 1, names.data(), 1, items.data(), true},
        {"no name spaces", 0, 1, nullptr, 1, names.data(), 1, items.data(), true},
        {"no names", 0, 1, spaces.data(), 1, nullptr, 1, items.data(), true},
        {"no items", 0, 1, spaces.data(), 1, names.data(), 1, nullptr, true},
        {"more than 65535 entries", 0, 256, spaces.data(), 257, names.data(), 0, nullptr, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DHANDLE buffer = 0xDEAD;
        EXPECT_EQ(NAMELookup2(nullptr, c.flags, c.spaceCount, c.spaces, c.nameCount, c.names,
                              c.itemCount, c.items, c.out ? &buffer : nullptr),
                  ERR_BAD_PARAM);
        EXPECT_EQ(buffer, c.out ? NULLHANDLE : 0xDEADu);
    }
    DHANDLE buffer = NULLHANDLE;
    // Nothing asked: a buffer without name entries.
    ASSERT_NOERROR(NAMELookup2(nullptr, 0, 0, nullptr, 0, nullptr, 0, nullptr, &buffer));
    WORD count = 9;
    const void *p = OSLockObject(buffer);
    EXPECT_EQ(NAMELocateNextName2(p, nullptr, &count), nullptr);
    OSUnlockObject(buffer);
    EXPECT_NOERROR(OSMemFree(buffer));
}

// Item values come as the document holds them; a value too large for a
// WORD size fails the lookup; text members are cut to the buffer.
TEST_F(DirectoryTest, ItemValuesAndTextMembersAsStored) {
    StoreDocument(names_,
                  {ItemSpec::T("Form", "Person"), ItemSpec::T("ShortName", "kim"),
                   ItemSpec::L("FullName", {"CN=Kim Ko/O=Acme", "Kim Ko", "ab\x14\x20\xAC"}),
                   ItemSpec::T("MailFile", "mail/kko"), ItemSpec::N("Age", 42),
                   ItemSpec::T("Big", std::string(65533, 'b'))});
    const std::string spaces = Pack({"$Users"}), names = Pack({"kim"}),
                      items = Pack({"FullName", "MailFile", "Age", "Missing", "Big"});
    DHANDLE buffer = NULLHANDLE;
    ASSERT_NOERROR(
        NAMELookup2(nullptr, 0, 1, spaces.data(), 1, names.data(), 5, items.data(), &buffer));
    const void *lookup = OSLockObject(buffer);
    const void *match =
        NAMELocateNextMatch2(lookup, NAMELocateNextName2(lookup, nullptr, nullptr), nullptr);
    ASSERT_NE(match, nullptr);
    WORD type = 0, size = 0;
    const auto *age = static_cast<const unsigned char *>(NAMELocateItem2(match, 2, &type, &size));
    ASSERT_NE(age, nullptr);
    EXPECT_EQ(type, TYPE_NUMBER);
    EXPECT_EQ(size, 2u + sizeof(NUMBER));
    NUMBER number = 0;
    std::memcpy(&number, age + 2, sizeof number);
    EXPECT_EQ(number, 42);
    ASSERT_NE(NAMELocateItem2(match, 4, &type, &size), nullptr);
    EXPECT_EQ(size, 65535u);

    struct Case {
        WORD item, member, length;
        STATUS status;
        const char *text;
    } cases[] = {
        {0, 0, 256, NOERROR, "CN=Kim Ko/O=Acme"},
        {0, 1, 256, NOERROR, "Kim Ko"},
        {0, 3, 256, ERR_LIST_ENTRY, ""},
        {0, 0, 5, NOERROR, "CN=K"},
        {0, 2, 6, NOERROR, "ab\x14\x20\xAC"},
        {0, 2, 5, NOERROR, "ab"},
        {1, 0, 256, NOERROR, "mail/kko"},
        {1, 1, 256, ERR_LIST_ENTRY, ""},
        {1, 0, 1, NOERROR, ""},
        {2, 0, 256, ERR_ITEM_TYPE, ""},
        {3, 0, 256, ERR_ITEM_NOT_FOUND, ""},
        {5, 0, 256, ERR_ITEM_NOT_FOUND, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("item " + std::to_string(c.item) + " member " + std::to_string(c.member) +
                     " length " + std::to_string(c.length));
        char text[256];
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(NAMEGetTextItem2(match, c.item, c.member, text, c.length), c.status);
        EXPECT_STREQ(text, c.text);
    }
    char text[8];
    EXPECT_EQ(NAMEGetTextItem2(match, 0, 0, text, 0), ERR_BAD_PARAM);
    EXPECT_EQ(NAMEGetTextItem2(match, 0, 0, nullptr, 8), ERR_BAD_PARAM);
    OSUnlockObject(buffer);
    EXPECT_NOERROR(OSMemFree(buffer));

    StoreDocument(names_, {ItemSpec::T("Form", "Person"), ItemSpec::T("ShortName", "huge"),
                           ItemSpec::T("Big", std::string(65534, 'b'))});
    EXPECT_EQ(LookUp({"$Users"}, {"huge"}, {"Big"}).status, ERR_NAME_ITEM_TOO_BIG);
    EXPECT_EQ(LookUp({"$Users"}, {"huge"}, {"ShortName"}).status, NOERROR);
}

// The directory of this server, of another, and of none.
TEST_F(DirectoryTest, TheDirectoryOfAServer) {
    StorePerson(names_, {"CN=Here Person/O=Acme"}, "here");
    const std::string remote = dataFile("remote");
    ASSERT_EQ(mkdir(remote.c_str(), 0755), 0);
    ASSERT_NOERROR(StandinServerRegister("CN=Remote/O=Acme", remote.c_str()));
    ASSERT_NOERROR(NSFDbCreate("Remote/Acme!!names.nsf", DBCLASS_BY_EXTENSION, FALSE));
    DBHANDLE other = NULLHANDLE;
    ASSERT_NOERROR(NSFDbOpen("Remote/Acme!!names.nsf", &other));
    directory_test::StoreDirectoryViews(other);
    StorePerson(other, {"CN=There Person/O=Acme"}, "there");
    ASSERT_NOERROR(NSFDbClose(other));

    EXPECT_EQ(LookUp({"$Users"}, {"there"}, {"ShortName"}, "Remote/Acme").entries,
              (std::vector<Matches>{{{"there"}}}));
    EXPECT_EQ(LookUp({"$Users"}, {"here"}, {"ShortName"}, "Remote/Acme").entries,
              (std::vector<Matches>{{}}));
    EXPECT_EQ(LookUp({"$Users"}, {"here"}, {"ShortName"}, "CN=Vanterra Test/O=Acme").entries,
              (std::vector<Matches>{{{"here"}}}));
    EXPECT_EQ(LookUp({"$Users"}, {"here"}, {}, "Elsewhere/Acme").status, ERR_UNKNOWN_SERVER);
    ASSERT_NOERROR(StandinServerSetDown("Remote/Acme", TRUE));
    EXPECT_EQ(LookUp({"$Users"}, {"there"}, {}, "Remote/Acme").status, ERR_SERVER_NOT_RESPONDING);

    ASSERT_NOERROR(NSFDbClose(names_));
    names_ = NULLHANDLE;
    ASSERT_EQ(unlink(dataFile("names.nsf").c_str()), 0);
    EXPECT_EQ(LookUp({"$Users"}, {"here"}, {}).status, ERR_NOEXIST);
    std::vector<std::string> expanded;
    EXPECT_EQ(Expand({"here"}, &expanded), ERR_NOEXIST);
}

// A person saved by another process is found through the index it wrote.
TEST_F(DirectoryTest, APersonSavedByAnotherProcessIsFound) {
    StorePerson(names_, {"CN=Parent/O=Acme"}, "parent");
    EXPECT_EQ(LookUp({"$Users"}, {"child"}, {}).entries, (std::vector<Matches>{{}}));
    // No connection of this process may be open on the file across fork.
    ASSERT_NOERROR(NSFDbClose(names_));
    names_ = NULLHANDLE;
    const int code = nsf_test::InChild([] {
        DBHANDLE db = NULLHANDLE;
        NOTEHANDLE note = NULLHANDLE;
        if (NSFDbOpen("names.nsf", &db) != NOERROR || NSFNoteCreate(db, &note) != NOERROR)
            return 10;
        if (NSFItemSetText(note, "Form", "Person", MAXWORD) != NOERROR ||
            NSFItemSetText(note, "FullName", "CN=Child/O=Acme", MAXWORD) != NOERROR ||
            NSFItemSetText(note, "ShortName", "child", MAXWORD) != NOERROR ||
            NSFNoteUpdate(note, 0) != NOERROR)
            return 11;
        NSFNoteClose(note);
        NSFDbClose(db);
        return 0;
    });
    ASSERT_EQ(code, 0);
    EXPECT_EQ(LookUp({"$Users"}, {"Child/Acme"}, {"ShortName"}).entries,
              (std::vector<Matches>{{{"child"}}}));
    ASSERT_NOERROR(NSFDbOpen("names.nsf", &names_));
}

// Lookups on many threads while people are added: each sees a whole
// snapshot, the person it looks for once.
TEST_F(DirectoryTest, LookupsOnManyThreadsBesideWrites) {
    StorePerson(names_, {"CN=Fixed Person/O=Acme"}, "fixed", "", "mail/fixed");
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, done{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; t++) {
        readers.emplace_back([&] {
            const std::string spaces = Pack({"$Users"}), names = Pack({"fixed"}),
                              items = Pack({"MailFile"});
            for (int i = 0; i < 25; i++) {
                DHANDLE buffer = NULLHANDLE;
                if (NAMELookup2(nullptr, 0, 1, spaces.data(), 1, names.data(), 1, items.data(),
                                &buffer) != NOERROR) {
                    wrong++;
                    continue;
                }
                const void *p = OSLockObject(buffer);
                WORD count = 0;
                const void *name = NAMELocateNextName2(p, nullptr, &count);
                char text[64] = "";
                if (count != 1 ||
                    NAMEGetTextItem2(NAMELocateNextMatch2(p, name, nullptr), 0, 0, text,
                                     sizeof text) != NOERROR ||
                    std::string(text) != "mail/fixed")
                    wrong++;
                OSUnlockObject(buffer);
                OSMemFree(buffer);
            }
            done++;
        });
    }
    for (int i = 0; !stop; i++) {
        StorePerson(names_, {"CN=Person " + std::to_string(i) + "/O=Acme"}, "fix");
        stop = done.load() == 4;
    }
    for (std::thread &reader : readers)
        reader.join();
    EXPECT_EQ(wrong.load(), 0);
}

// The names expansion: people, groups depth first, groups that contain
// themselves, names that are nobody.
TEST_F(DirectoryTest, ExpansionGivesPeopleAndTheMembersOfGroupsDepthFirst) {
    StorePerson(names_, {"CN=Ann Ames/O=Acme", "Ann Ames"}, "aames");
    StorePerson(names_, {"CN=Bob Burr/O=Acme"}, "bburr");
    StorePerson(names_, {"CN=Cy Cole/O=Acme"}, "ccole");
    StoreDocument(names_, {ItemSpec::T("Form", "Person"), ItemSpec::T("ShortName", "nofull")});
    StoreGroup(names_, "Sales", {"CN=Ann Ames/O=Acme", "bburr", "Support", "outsider@example.com"});
    StoreGroup(names_, "Support", {"Cy Cole/Acme", "Ann Ames", "Sales"});
    StoreGroup(names_, "Self", {"Self", "ccole"});
    StoreGroup(names_, "Empty", {});
    StoreGroup(names_, "Strangers", {"Ghost One", "", "Ghost Two", "GHOST ONE"});
    StoreGroup(names_, "Outer", {"Inner", "aames"});
    StoreGroup(names_, "Inner", {"Innermost", "bburr"});
    StoreGroup(names_, "Innermost", {"ccole"});
    const std::string ann = "CN=Ann Ames/O=Acme", bob = "CN=Bob Burr/O=Acme",
                      cy = "CN=Cy Cole/O=Acme";
    struct Case {
        std::vector<std::string> names;
        std::vector<std::string> expanded;
    } cases[] = {
        {{"aames"}, {ann}},
        {{"Ann Ames"}, {ann}},
        {{"ann ames/acme"}, {ann}},
        {{"nofull"}, {"nofull"}},
        {{"Sales"}, {ann, bob, cy, "outsider@example.com"}},
        {{"SALES"}, {ann, bob, cy, "outsider@example.com"}},
        {{"Support"}, {cy, ann, bob, "outsider@example.com"}},
        {{"Self"}, {cy}},
        {{"Outer"}, {cy, bob, ann}},
        {{"Empty"}, {}},
        {{"Strangers"}, {"Ghost One", "Ghost Two"}},
        {{"Nobody"}, {}},
        {{"Nobody", "ccole", "Sales"}, {cy, ann, bob, "outsider@example.com"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.names[0] + (c.names.size() > 1 ? " and more" : ""));
        std::vector<std::string> expanded;
        EXPECT_NOERROR(Expand(c.names, &expanded));
        EXPECT_EQ(expanded, c.expanded);
    }
}

TEST_F(DirectoryTest, ExpansionRefusesWhatItCannotReadOrHold) {
    std::vector<std::string> many;
    for (int i = 0; i < 300; i++)
        many.push_back(std::string(240, 'm') + std::to_string(i));
    StoreGroup(names_, "Many", many);
    std::vector<std::string> expanded;
    EXPECT_EQ(Expand({"Many"}, &expanded), ERR_LIST_FULL);

    WORD size = 0;
    DHANDLE list = NamesList({"Many"}, &size);
    struct Case {
        const char *what;
        DHANDLE list;
        WORD size;
        bool out;
        DWORD reserved;
        STATUS status;
    } cases[] = {
        {"no such handle", 0x7FFFFFF0, size, true, 0, ERR_INVALID_HANDLE},
        {"a database handle", names_, size, true, 0, ERR_WRONG_HANDLE_KIND},
        {"reserved values", list, size, true, 1, ERR_BAD_PARAM},
        {"no output", list, size, false, 0, ERR_BAD_PARAM},
        {"a size that cuts the list", list, static_cast<WORD>(size - 1), true, 0, ERR_BAD_PARAM},
        {"a size beyond the memory", list, static_cast<WORD>(size + 1), true, 0, ERR_BAD_PARAM},
        {"a size without a count", list, 3, true, 0, ERR_BAD_PARAM},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DHANDLE out = 0xDEAD;
        WORD outSize = 0xDEAD;
        EXPECT_EQ(
            NAMEExpandNamesList(c.list, c.size, c.out ? &out : nullptr, &outSize, c.reserved, 0),
            c.status);
        EXPECT_EQ(out, c.out ? NULLHANDLE : 0xDEADu);
        EXPECT_EQ(outSize, 0u);
    }
    EXPECT_NOERROR(OSMemFree(list));

    NOTEID groups = 0;
    ASSERT_NOERROR(NIFFindDesignNoteExt(names_, "($Groups)", NOTE_CLASS_VIEW, "", &groups, 0));
    ASSERT_NOERROR(NSFNoteDelete(names_, groups, 0));
    EXPECT_EQ(Expand({"Many"}, &expanded), ERR_NAMESPACE_NOT_FOUND);
}

TEST_F(DirectoryTest, FaultPointsFailEachCall) {
    StorePerson(names_, {"CN=John Doe/O=Acme"}, "jdoe");
    const std::string spaces = Pack({"$Users"}), names = Pack({"jdoe"}),
                      items = Pack({"ShortName"});
    DHANDLE buffer = NULLHANDLE;
    ASSERT_NOERROR(
        NAMELookup2(nullptr, 0, 1, spaces.data(), 1, names.data(), 1, items.data(), &buffer));
    const void *lookup = OSLockObject(buffer);
    const void *name = NAMELocateNextName2(lookup, nullptr, nullptr);
    const void *match = NAMELocateNextMatch2(lookup, name, nullptr);
    ASSERT_NE(match, nullptr);

    StandinFaultInject({"NAMELookup2", ERR_DB_IO, 0, 0, "names.nsf"});
    StandinFaultInject({"NAMEExpandNamesList", ERR_DB_IO, 0, 0, "names.nsf"});
    for (const char *call :
         {"NAMELocateNextName2", "NAMELocateNextMatch2", "NAMELocateItem2", "NAMEGetTextItem2"})
        StandinFaultInject({call, ERR_FAULT_INJECTED, 0, 0, nullptr});
    DHANDLE failed = 0xDEAD;
    EXPECT_EQ(NAMELookup2(nullptr, 0, 1, spaces.data(), 1, names.data(), 1, items.data(), &failed),
              ERR_DB_IO);
    EXPECT_EQ(failed, NULLHANDLE);
    std::vector<std::string> expanded;
    EXPECT_EQ(Expand({"jdoe"}, &expanded), ERR_DB_IO);
    EXPECT_EQ(NAMELocateNextName2(lookup, nullptr, nullptr), nullptr);
    EXPECT_EQ(NAMELocateNextMatch2(lookup, name, nullptr), nullptr);
    EXPECT_EQ(NAMELocateItem2(match, 0, nullptr, nullptr), nullptr);
    char text[16];
    EXPECT_EQ(NAMEGetTextItem2(match, 0, 0, text, sizeof text), ERR_FAULT_INJECTED);
    for (const char *call : {"NAMELookup2", "NAMEExpandNamesList", "NAMELocateNextName2",
                             "NAMELocateNextMatch2", "NAMELocateItem2", "NAMEGetTextItem2"})
        EXPECT_EQ(StandinFaultHits(call), 1u) << call;
    StandinFaultClear();
    EXPECT_NOERROR(NAMEGetTextItem2(match, 0, 0, text, sizeof text));
    EXPECT_STREQ(text, "jdoe");
    OSUnlockObject(buffer);
    EXPECT_NOERROR(OSMemFree(buffer));
}

#ifdef DESIGNS_DIR
struct TextReader {
    std::string text;
    size_t pos = 0;
};

STATUS LNCALLBACK ReadText(void *context, char *buffer, DWORD length, DWORD *retLength) {
    auto *r = static_cast<TextReader *>(context);
    const size_t n = std::min<size_t>(length, r->text.size() - r->pos);
    std::memcpy(buffer, r->text.data() + r->pos, n);
    r->pos += n;
    *retLength = static_cast<DWORD>(n);
    return NOERROR;
}

std::string Lmbcs(const std::string &utf8) {
    char out[256];
    const WORD n = OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, utf8.data(),
                               static_cast<WORD>(utf8.size()), out, sizeof out);
    return std::string(out, n);
}

// The directory as the shipped designs and the sample organisation make it,
// read as the worker and the task read it.
class ShippedDirectoryTest : public nsf_test::NsfTest {
  protected:
    void SetUp() override {
        nsf_test::NsfTest::SetUp();
        names_ = CreateAndOpen("names.nsf");
        for (const char *file : {DESIGNS_DIR "/names-views.xml", DESIGNS_DIR "/sample/names.xml"}) {
            TextReader reader{test_support::ReadFile(file)};
            StandinDxlResult result{};
            ASSERT_EQ(StandinDxlImport(names_, ReadText, &reader, &result), NOERROR)
                << file << ": " << result.message;
        }
    }
    void TearDown() override {
        EXPECT_NOERROR(NSFDbClose(names_));
        nsf_test::NsfTest::TearDown();
    }
    DBHANDLE names_ = NULLHANDLE;
};

TEST_F(ShippedDirectoryTest, TheShippedViewsAnswerTheLookupsOfTheWorkerAndTheTask) {
    const std::string zoe = Lmbcs("CN=Zoë Ünal/O=Demo");
    WORD size = 0;
    DHANDLE list = NamesList({"Out of Office Team"}, &size);
    DHANDLE expanded = NULLHANDLE;
    ASSERT_NOERROR(NAMEExpandNamesList(list, size, &expanded, &size, 0, 0));
    EXPECT_NOERROR(OSMemFree(list));
    const std::vector<std::string> members = ListTexts(expanded);
    EXPECT_NOERROR(OSMemFree(expanded));
    EXPECT_EQ(members, (std::vector<std::string>{"CN=Jo Doe/O=Demo", "CN=Ann Lee/O=Demo", zoe,
                                                 "CN=Max Rowe/O=Demo"}));
    const char *files[] = {"mail\\jdoe.nsf", "mail\\alee.nsf", "mail\\zunal.nsf",
                           "mail\\mrowe.nsf"};
    for (size_t i = 0; i < members.size() && i < 4; i++) {
        SCOPED_TRACE(members[i]);
        Lookup found = LookUp({"$Users"}, {members[i]}, kMailItems);
        ASSERT_NOERROR(found.status);
        ASSERT_EQ(found.entries.size(), 1u);
        ASSERT_EQ(found.entries[0].size(), 1u);
        EXPECT_EQ(found.entries[0][0][1], files[i]);
    }
    // Code page 850 letters fold through the collation as the ASCII ones do.
    EXPECT_EQ(LookUp({"$Users"}, {Lmbcs("ZOË ÜNAL")}, {"ShortName"}).entries,
              (std::vector<Matches>{{{"zunal"}}}));

    // The cluster of a server that is down, as the fail-over finds it.
    EXPECT_EQ(LookUp({"($Servers)"}, {"Vanterra2/Demo"}, {"ClusterName"}).entries,
              (std::vector<Matches>{{{"Demo Cluster"}}}));
    EXPECT_EQ(LookUp({"($Clusters)"}, {"Demo Cluster"}, {"ServerName"}).entries,
              (std::vector<Matches>{{{"CN=Vanterra2/O=Demo"}}}));

    // The administrators of a server document, as the task's ACL set-up
    // reads them.
    NOTEID view = 0;
    ASSERT_NOERROR(NIFFindDesignNoteExt(names_, "($Servers)", NOTE_CLASS_VIEW, "-G40n^", &view, 0));
    HCOLLECTION collection = NULLHANDLE;
    ASSERT_NOERROR(NIFOpenCollection(names_, names_, view, 0, NULLHANDLE, &collection, nullptr,
                                     nullptr, nullptr, nullptr));
    COLLECTIONPOSITION position{};
    DWORD matches = 0;
    ASSERT_NOERROR(NIFFindByName(collection, "CN=Vanterra2/O=Demo", FIND_CASE_INSENSITIVE,
                                 &position, &matches));
    DHANDLE buffer = NULLHANDLE;
    DWORD returned = 0;
    ASSERT_NOERROR(NIFReadEntries(collection, &position, NAVIGATE_CURRENT, 0, NAVIGATE_NEXT,
                                  matches, READ_MASK_NOTEID, &buffer, nullptr, nullptr, &returned,
                                  nullptr));
    EXPECT_NOERROR(NIFCloseCollection(collection));
    ASSERT_EQ(returned, 1u);
    NOTEID server = 0;
    std::memcpy(&server, OSLockObject(buffer), sizeof server);
    OSUnlockObject(buffer);
    EXPECT_NOERROR(OSMemFree(buffer));
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(names_, server, 0, &note));
    char admin[256];
    NSFItemGetTextListEntry(note, "Administrator", 0, admin, sizeof admin);
    EXPECT_STREQ(admin, "CN=Jo Doe/O=Demo");
    EXPECT_NOERROR(NSFNoteClose(note));
}
#endif

}  // namespace
