#include <sys/wait.h>
#include <unistd.h>

#include "nsf_profile.h"
#include "nsf_test_util.h"
#include "os_error.h"
#include "standin/fault.h"

namespace {

using nsf_test::NoteId;
using nsf_test::Text;

class ProfileTest : public nsf_test::NsfTest {
  protected:
    void SetUp() override {
        NsfTest::SetUp();
        db_ = CreateAndOpen("mail/jdoe.nsf");
    }
    void TearDown() override {
        if (db_)
            EXPECT_NOERROR(NSFDbClose(db_));
        NsfTest::TearDown();
    }
    STATUS OpenProfile(const char *name, const char *user, NOTEHANDLE *note) {
        return NSFProfileOpen(db_, name, static_cast<WORD>(std::strlen(name)), user,
                              user ? static_cast<WORD>(std::strlen(user)) : 0, TRUE, note);
    }
    STATUS GetField(const char *profile, const char *user, const char *field, WORD *type,
                    std::string *value) {
        BLOCKID block{};
        DWORD length = 0;
        STATUS status =
            NSFProfileGetField(db_, profile, static_cast<WORD>(std::strlen(profile)), user,
                               user ? static_cast<WORD>(std::strlen(user)) : 0, field,
                               static_cast<WORD>(std::strlen(field)), type, &block, &length);
        if (status != NOERROR) {
            EXPECT_TRUE(ISNULLBLOCKID(block));
            return status;
        }
        const char *p = OSLockBlock(char, block);
        WORD typeWord = 0;
        std::memcpy(&typeWord, p, 2);
        EXPECT_EQ(typeWord, *type) << "the block starts with the type word";
        value->assign(p + 2, length - 2);
        OSUnlockBlock(block);
        EXPECT_EQ(OSMemFree(block.pool), NOERROR) << "the block is the caller's";
        return NOERROR;
    }
    DBHANDLE db_ = NULLHANDLE;
};

TEST_F(ProfileTest, AnAbsentProfileIsNewUntilItsFirstUpdate) {
    NOTEHANDLE profile;
    ASSERT_NOERROR(OpenProfile("OutOfOfficeProfile", nullptr, &profile));
    EXPECT_EQ(NoteId(profile), 0u);
    EXPECT_EQ(nsf_test::ItemNames(profile).size(), 0u);
    ASSERT_NOERROR(NSFItemSetText(profile, "TaskState", "0", MAXWORD));
    EXPECT_NOERROR(NSFNoteClose(profile));

    ASSERT_NOERROR(OpenProfile("OutOfOfficeProfile", nullptr, &profile));
    EXPECT_EQ(NoteId(profile), 0u) << "closed without an update: still not stored";
    ASSERT_NOERROR(NSFItemSetText(profile, "TaskState", "1", MAXWORD));
    ASSERT_NOERROR(NSFNoteUpdate(profile, 0));
    NOTEID id = NoteId(profile);
    EXPECT_NE(id, 0u);
    ASSERT_NOERROR(NSFItemSetText(profile, "TaskType", "2", MAXWORD));
    ASSERT_EQ(NSFNoteUpdate(profile, 0), NOERROR) << "a second update of the stored profile";
    EXPECT_EQ(NoteId(profile), id);
    EXPECT_NOERROR(NSFNoteClose(profile));

    for (const char *name : {"OutOfOfficeProfile", "outofofficeprofile", "OUTOFOFFICEPROFILE"}) {
        SCOPED_TRACE(name);
        ASSERT_NOERROR(OpenProfile(name, nullptr, &profile));
        EXPECT_EQ(NoteId(profile), id);
        EXPECT_EQ(Text(profile, "TaskState"), "1");
        EXPECT_EQ(Text(profile, "TaskType"), "2");
        EXPECT_EQ(nsf_test::NoteOid(profile).Sequence, 2u);
        EXPECT_NOERROR(NSFNoteClose(profile));
    }
    EXPECT_EQ(nsf_test::NoteIds(db_).size(), 2u) << "the icon note and one profile";
}

TEST_F(ProfileTest, ProfilesAreKeptApartByNameAndUser) {
    struct Case {
        const char *name, *user, *value;
    };
    const Case stored[] = {
        {"ooserviceprofile", nullptr, "service"},
        {"OutOfOfficeProfile", nullptr, "plain"},
        {"OutOfOfficeProfile", "CN=John Doe/O=Acme", "john"},
        {"OutOfOfficeProfile", "Jane Roe/Acme", "jane"},
    };
    for (const Case &c : stored) {
        NOTEHANDLE profile;
        ASSERT_NOERROR(OpenProfile(c.name, c.user, &profile));
        ASSERT_NOERROR(NSFItemSetText(profile, "Who", c.value, MAXWORD));
        ASSERT_NOERROR(NSFNoteUpdate(profile, 0));
        EXPECT_NOERROR(NSFNoteClose(profile));
    }
    const Case found[] = {
        {"OOSERVICEPROFILE", nullptr, "service"},
        {"outofofficeprofile", nullptr, "plain"},
        {"OutOfOfficeProfile", "John Doe/Acme", "john"},
        {"OutOfOfficeProfile", "cn=john doe/o=acme", "john"},
        {"OutOfOfficeProfile", "CN=Jane Roe/O=Acme", "jane"},
        {"OutOfOfficeProfile", "Someone Else/Acme", ""},
        {"CalendarProfile", nullptr, ""},
    };
    for (const Case &c : found) {
        SCOPED_TRACE(std::string(c.name) + " / " + (c.user ? c.user : "(none)"));
        NOTEHANDLE profile;
        ASSERT_NOERROR(OpenProfile(c.name, c.user, &profile));
        EXPECT_EQ(Text(profile, "Who"), c.value);
        EXPECT_EQ(NoteId(profile) != 0, *c.value != '\0');
        EXPECT_NOERROR(NSFNoteClose(profile));
    }
    EXPECT_EQ(nsf_test::NoteIds(db_).size(), 5u);
}

TEST_F(ProfileTest, GetFieldReadsTheStoredProfileIntoTheCallersBlock) {
    NOTEHANDLE profile;
    ASSERT_NOERROR(OpenProfile("CalendarProfile", nullptr, &profile));
    auto owners = nsf_test::TextList({"CN=John Doe/O=Acme", "CN=Other/O=Acme"});
    ASSERT_NOERROR(NSFItemAppend(profile, ITEM_SUMMARY | ITEM_NAMES, "Owner", 5, TYPE_TEXT_LIST,
                                 owners.data(), owners.size()));
    ASSERT_NOERROR(NSFItemSetText(profile, "Subject", "away\0back", 9));
    ASSERT_NOERROR(NSFItemSetText(profile, "Owner", "shadowed", MAXWORD));
    ASSERT_NOERROR(NSFItemAppend(profile, 0, "Owner", 5, TYPE_TEXT, "second", 6));
    // SetText replaced the list; the first "Owner" is now the text "shadowed".
    ASSERT_NOERROR(NSFNoteUpdate(profile, 0));

    DWORD before = StandinHandleCount(STANDIN_HANDLE_MEMORY);
    WORD type = 0;
    std::string value;
    ASSERT_NOERROR(GetField("calendarprofile", nullptr, "owner", &type, &value));
    EXPECT_EQ(type, TYPE_TEXT);
    EXPECT_EQ(value, "shadowed") << "the first item of the name";
    ASSERT_NOERROR(GetField("CalendarProfile", nullptr, "Subject", &type, &value));
    EXPECT_EQ(value, std::string("away\0back", 9));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), before) << "every block freed";

    ASSERT_NOERROR(NSFItemDelete(profile, "Owner", 5));
    ASSERT_NOERROR(NSFItemDelete(profile, "Owner", 5));
    ASSERT_NOERROR(NSFItemAppend(profile, ITEM_NAMES, "Owner", 5, TYPE_TEXT_LIST, owners.data(),
                                 owners.size()));
    ASSERT_NOERROR(GetField("CalendarProfile", nullptr, "Owner", &type, &value));
    EXPECT_EQ(value, "shadowed") << "unsaved changes are not seen";
    ASSERT_NOERROR(NSFNoteUpdate(profile, 0));
    ASSERT_NOERROR(GetField("CalendarProfile", nullptr, "Owner", &type, &value));
    EXPECT_EQ(type, TYPE_TEXT_LIST);
    EXPECT_EQ(value, std::string(owners.begin(), owners.end()));
    EXPECT_NOERROR(NSFNoteClose(profile));

    EXPECT_EQ(GetField("CalendarProfile", nullptr, "Missing", &type, &value), ERR_ITEM_NOT_FOUND);
    EXPECT_EQ(GetField("NoSuchProfile", nullptr, "Owner", &type, &value), ERR_ITEM_NOT_FOUND);
    EXPECT_EQ(GetField("CalendarProfile", "John Doe/Acme", "Owner", &type, &value),
              ERR_ITEM_NOT_FOUND)
        << "a user's profile is another profile";

    // A new profile that was never stored has no fields.
    ASSERT_NOERROR(OpenProfile("Fresh", nullptr, &profile));
    ASSERT_NOERROR(NSFItemSetText(profile, "A", "b", 1));
    EXPECT_EQ(GetField("Fresh", nullptr, "A", &type, &value), ERR_ITEM_NOT_FOUND);
    EXPECT_NOERROR(NSFNoteClose(profile));
}

TEST_F(ProfileTest, BadArguments) {
    NOTEHANDLE profile = 5;
    EXPECT_EQ(NSFProfileOpen(db_, "", 0, nullptr, 0, TRUE, &profile), ERR_NOT_PROFILE);
    EXPECT_EQ(profile, NULLHANDLE);
    EXPECT_EQ(NSFProfileOpen(db_, nullptr, 4, nullptr, 0, TRUE, &profile), ERR_NOT_PROFILE);
    std::string longName(256, 'p');
    EXPECT_EQ(NSFProfileOpen(db_, longName.c_str(), 256, nullptr, 0, TRUE, &profile),
              ERR_NOT_PROFILE);
    EXPECT_EQ(NSFProfileOpen(db_, "P", 1, nullptr, 3, TRUE, &profile), ERR_BAD_PARAM);
    EXPECT_EQ(NSFProfileOpen(db_, "P", 1, nullptr, 0, TRUE, nullptr), ERR_BAD_PARAM);
    EXPECT_EQ(NSFProfileOpen(0x7FFFFFF0, "P", 1, nullptr, 0, TRUE, &profile), ERR_INVALID_HANDLE);
    WORD type;
    BLOCKID block;
    DWORD length;
    EXPECT_EQ(NSFProfileGetField(db_, "P", 1, nullptr, 0, "", 0, &type, &block, &length),
              ERR_BAD_ITEM_NAME);
    EXPECT_EQ(NSFProfileGetField(db_, "P", 1, nullptr, 0, "F", 1, &type, nullptr, &length),
              ERR_BAD_PARAM);

    StandinFaultInject({"NSFProfileOpen", ERR_DB_IO, 0, 1, "mail/jdoe.nsf"});
    EXPECT_EQ(OpenProfile("OutOfOfficeProfile", nullptr, &profile), ERR_DB_IO);
    EXPECT_NOERROR(OpenProfile("OutOfOfficeProfile", nullptr, &profile));
    EXPECT_NOERROR(NSFNoteClose(profile));
}

TEST_F(ProfileTest, TwoNewCopiesOfOneProfileNeverMakeTwoProfiles) {
    NOTEHANDLE a, b;
    ASSERT_NOERROR(OpenProfile("ooserviceprofile", nullptr, &a));
    ASSERT_NOERROR(OpenProfile("OOServiceProfile", nullptr, &b));
    ASSERT_NOERROR(NSFItemSetText(a, "From", "a", MAXWORD));
    ASSERT_NOERROR(NSFItemSetText(b, "From", "b", MAXWORD));
    ASSERT_NOERROR(NSFNoteUpdate(a, 0));
    EXPECT_EQ(NSFNoteUpdate(b, 0), ERR_CONFLICT) << "stored meanwhile by another copy";
    EXPECT_EQ(NoteId(b), 0u);
    ASSERT_EQ(NSFNoteUpdate(b, UPDATE_FORCE), NOERROR) << "forced: it overwrites the stored one";
    EXPECT_EQ(NoteId(b), NoteId(a));
    EXPECT_NOERROR(NSFNoteClose(a));
    EXPECT_NOERROR(NSFNoteClose(b));
    ASSERT_NOERROR(OpenProfile("ooserviceprofile", nullptr, &a));
    EXPECT_EQ(Text(a, "From"), "b");
    EXPECT_NOERROR(NSFNoteClose(a));
    EXPECT_EQ(nsf_test::NoteIds(db_).size(), 2u);
}

TEST_F(ProfileTest, ADeletedProfileIsNoProfile) {
    NOTEHANDLE profile;
    ASSERT_NOERROR(OpenProfile("OutOfOfficeProfile", nullptr, &profile));
    ASSERT_NOERROR(NSFItemSetText(profile, "TaskState", "1", MAXWORD));
    ASSERT_NOERROR(NSFNoteUpdate(profile, 0));
    NOTEID id = NoteId(profile);
    EXPECT_NOERROR(NSFNoteClose(profile));
    ASSERT_NOERROR(NSFNoteDelete(db_, id, 0));

    WORD type;
    std::string value;
    EXPECT_EQ(GetField("OutOfOfficeProfile", nullptr, "TaskState", &type, &value),
              ERR_ITEM_NOT_FOUND);
    ASSERT_NOERROR(OpenProfile("OutOfOfficeProfile", nullptr, &profile));
    EXPECT_EQ(NoteId(profile), 0u) << "a new profile";
    ASSERT_NOERROR(NSFItemSetText(profile, "TaskState", "0", MAXWORD));
    ASSERT_EQ(NSFNoteUpdate(profile, 0), NOERROR) << "no conflict with the deleted one";
    EXPECT_NE(NoteId(profile), id);
    EXPECT_NOERROR(NSFNoteClose(profile));
    ASSERT_NOERROR(GetField("outofofficeprofile", nullptr, "taskstate", &type, &value));
    EXPECT_EQ(value, "0");
}

TEST_F(ProfileTest, NamesAndUsersMatchThroughTheLmbcsCollation) {
    NOTEHANDLE profile;
    ASSERT_NOERROR(OpenProfile("\x8E-Profil", "CN=J\x99rg Roe/O=Acme", &profile));
    ASSERT_NOERROR(NSFItemSetText(profile, "\x90tat", "1", MAXWORD));
    ASSERT_NOERROR(NSFNoteUpdate(profile, 0));
    NOTEID id = NoteId(profile);
    EXPECT_NOERROR(NSFNoteClose(profile));

    ASSERT_NOERROR(OpenProfile("\x84-PROFIL", "j\x94rg roe/acme", &profile));
    EXPECT_EQ(NoteId(profile), id);
    EXPECT_NOERROR(NSFNoteClose(profile));
    WORD type;
    std::string value;
    ASSERT_NOERROR(GetField("\x84-profil", "J\x94RG ROE/ACME", "\x82TAT", &type, &value));
    EXPECT_EQ(value, "1");
    EXPECT_EQ(GetField("\x84-profil", "Jorg Roe/Acme", "\x82tat", &type, &value),
              ERR_ITEM_NOT_FOUND)
        << "another user";
}

TEST_F(ProfileTest, ProcessesRacingToCreateOneProfileLeaveOne) {
    // No connection of this process may be open on the file across fork.
    ASSERT_NOERROR(NSFDbClose(db_));
    db_ = NULLHANDLE;
    constexpr int kChildren = 6;
    int gate[2], ready[2];
    ASSERT_EQ(pipe(gate), 0);
    ASSERT_EQ(pipe(ready), 0);
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; c++) {
        pid_t pid = fork();
        if (pid == 0) {
            close(gate[1]);
            close(ready[0]);
            DBHANDLE db;
            NOTEHANDLE profile;
            if (NSFDbOpen("mail/jdoe.nsf", &db) != NOERROR)
                _exit(10);
            if (NSFProfileOpen(db, "OutOfOfficeProfile", 18, nullptr, 0, TRUE, &profile) != NOERROR)
                _exit(11);
            // Every child holds a new copy before any of them stores it.
            char byte;
            if (write(ready[1], "r", 1) != 1)
                _exit(14);
            (void)!read(gate[0], &byte, 1);
            std::string me = std::to_string(c);
            if (NSFItemSetText(profile, "Creator", me.c_str(), MAXWORD) != NOERROR)
                _exit(12);
            STATUS status = NSFNoteUpdate(profile, 0);
            _exit(status == NOERROR ? 0 : status == ERR_CONFLICT ? 1 : 13);
        }
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    close(ready[1]);
    for (int c = 0; c < kChildren; c++) {
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
    }
    close(ready[0]);
    close(gate[0]);
    close(gate[1]);  // opens the gate for all at once
    int stored = 0, conflicts = 0;
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        int code = WEXITSTATUS(status);
        ASSERT_TRUE(code == 0 || code == 1) << "child failed with " << code;
        (code == 0 ? stored : conflicts)++;
    }
    EXPECT_EQ(stored, 1);
    EXPECT_EQ(conflicts, kChildren - 1);

    ASSERT_NOERROR(NSFDbOpen("mail/jdoe.nsf", &db_));
    EXPECT_EQ(nsf_test::NoteIds(db_).size(), 2u) << "the icon note and one profile";
    NOTEHANDLE profile;
    ASSERT_NOERROR(OpenProfile("OutOfOfficeProfile", nullptr, &profile));
    EXPECT_NE(NoteId(profile), 0u);
    EXPECT_EQ(Text(profile, "Creator").size(), 1u);
    EXPECT_NOERROR(NSFNoteClose(profile));
}

}  // namespace
