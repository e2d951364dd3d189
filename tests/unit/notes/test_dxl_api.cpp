// The DXL importer: the ACL option of the provisioning, the reader
// callback's chunks, and every refusal leaving the database as it was.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "acl_test_util.h"
#include "notes_api.h"
#include "nsf_test_util.h"
#include "standin/dxl.h"
#include "standin/fault.h"
#include "test_support.h"

namespace {

const char kAclText[] =
    "<?xml version='1.0' encoding='utf-8'?>\n"
    "<database>\n"
    "<acl><role>[Admin]</role><role>[SysAdmin]</role>\n"
    "<aclentry name='-Default-' default='true' level='reader' writepublicdocs='true'/>\n"
    "<aclentry name='CN=Ann Lee/O=Acme' level='manager' type='person'>"
    "<role>[Admin]</role><role>[SysAdmin]</role></aclentry>\n"
    "<aclentry name='Anonymous' level='noaccess' readpublicdocs='true'/>\n"
    "</acl>\n"
    "<note class='form'><item name='$TITLE'><text>Not stored</text></item></note>\n"
    "<document form='Memo'><item name='Subject'><text>Nor this</text></item></document>\n"
    "</database>\n";

const char kImportedAcl[] =
    "roles [Admin] [SysAdmin]\n"
    "-Default- 2 0x0400\n"
    "CN=Ann Lee/O=Acme 6 0x0020 [Admin] [SysAdmin]\n"
    "Anonymous 0 0x0200\n";

// Hands the text out in pieces of at most chunk bytes, as a file reader
// does that reads less than it is asked for.
struct Reader {
    std::string text;
    size_t chunk = 1 << 20;
    size_t pos = 0;
    size_t calls = 0;
    DWORD lie = 0;  // returned once instead of the true count, when not 0
};

DWORD LNCALLBACK Read(BYTE *buffer, DWORD wanted, void *context) {
    auto *r = static_cast<Reader *>(context);
    r->calls++;
    if (r->lie)
        return r->lie;
    size_t n = std::min<size_t>({wanted, r->chunk, r->text.size() - r->pos});
    std::memcpy(buffer, r->text.data() + r->pos, n);
    r->pos += n;
    return static_cast<DWORD>(n);
}

class DxlImporterTest : public nsf_test::NsfTest {
  protected:
    void SetUp() override {
        nsf_test::NsfTest::SetUp();
        db_ = CreateAndOpen("HCR.ntf");
        ASSERT_NOERROR(DXLCreateImporter(&importer_));
        ASSERT_NE(importer_, NULLHANDLE);
        before_ = nsf_test::NoteIds(db_);
    }
    void TearDown() override {
        StandinFaultClear();
        EXPECT_NOERROR(DXLDeleteImporter(importer_));
        NSFDbClose(db_);
        nsf_test::NsfTest::TearDown();
    }
    void ReplaceAcl() {
        DXLIMPORTOPTION option = DXLIMPORTOPTION_REPLACE_ELSE_IGNORE;
        ASSERT_NOERROR(DXLSetImporterProperty(importer_, iACLImportOption, &option));
    }
    STATUS Import(Reader &reader) { return DXLImport(importer_, Read, db_, &reader); }
    std::string LastMessage() {
        StandinDxlResult result{};
        EXPECT_NOERROR(StandinDxlImporterResult(importer_, &result));
        return result.message;
    }

    DBHANDLE db_ = NULLHANDLE;
    DXLIMPORTHANDLE importer_ = NULLHANDLE;
    std::vector<NOTEID> before_;
};

TEST_F(DxlImporterTest, TheAclOptionReplacesTheAclFromChunksOfAnySizeAndLeavesTheNotes) {
    ReplaceAcl();
    for (size_t chunk : {size_t(1), size_t(7), size_t(4096), size_t(1) << 20}) {
        // Start from another ACL each time: the import replaces it whole.
        DHANDLE acl = NULLHANDLE;
        ASSERT_NOERROR(NSFDbReadACL(db_, &acl));
        ASSERT_NOERROR(ACLSetPrivName(acl, 5, "[Old]"));
        ASSERT_NOERROR(ACLAddEntry(acl, "Gone", ACL_LEVEL_EDITOR, nullptr, 0));
        ASSERT_NOERROR(NSFDbStoreACL(db_, acl, 0, 0));
        ASSERT_NOERROR(OSMemFree(acl));

        Reader reader;
        reader.text = kAclText;
        reader.chunk = chunk;
        ASSERT_EQ(Import(reader), NOERROR) << "chunk " << chunk << ": " << LastMessage();
        EXPECT_EQ(acl_test::DbText(db_), kImportedAcl) << "chunk " << chunk;
        EXPECT_EQ(nsf_test::NoteIds(db_), before_) << "no note is stored";
        StandinDxlResult result{};
        ASSERT_NOERROR(StandinDxlImporterResult(importer_, &result));
        EXPECT_TRUE(result.aclStored);
        EXPECT_EQ(result.aclEntries, 3u);
        EXPECT_EQ(result.notes, 2u) << "read and checked";
        EXPECT_STREQ(result.message, "2 notes were read and checked but not stored");
        if (chunk == 1) {
            EXPECT_GT(reader.calls, std::strlen(kAclText));
        }
    }
}

TEST_F(DxlImporterTest, WithoutTheOptionOrWithoutAnAclTheAclStays) {
    const std::string before = acl_test::DbText(db_);
    Reader reader;
    reader.text = kAclText;
    ASSERT_NOERROR(Import(reader));
    EXPECT_EQ(acl_test::DbText(db_), before) << "the default option ignores the ACL";

    DXLIMPORTOPTION ignore = DXLIMPORTOPTION_IGNORE;
    ReplaceAcl();
    Reader noAcl;
    noAcl.text = "<database><note class='form'/></database>";
    ASSERT_NOERROR(Import(noAcl));
    EXPECT_EQ(acl_test::DbText(db_), before);
    ASSERT_NOERROR(DXLSetImporterProperty(importer_, iACLImportOption, &ignore));
    reader.pos = 0;
    ASSERT_NOERROR(Import(reader));
    EXPECT_EQ(acl_test::DbText(db_), before);
    EXPECT_EQ(nsf_test::NoteIds(db_), before_);
}

TEST_F(DxlImporterTest, NoDataMalformedDataAndALyingReaderChangeNothing) {
    ReplaceAcl();
    const std::string before = acl_test::DbText(db_);
    const struct {
        const char *what;
        std::string text;
        DWORD lie;
        STATUS expected;
        const char *message;
    } cases[] = {
        {"no data", "", 0, ERR_DXL_NO_DATA, "the reader gave no data"},
        {"not XML", "<database><acl>", 0, ERR_DXL_MALFORMED, "line 1: no element found"},
        {"a bad ACL", "<database><acl><aclentry name='x' level='boss'/></acl></database>", 0,
         ERR_DXL_BAD_ACL, "line 1: unknown access level \"boss\""},
        {"an ACL and a bad note",
         std::string(kAclText).replace(std::string(kAclText).find("<text>Not"), 6, "<txt>"), 0,
         ERR_DXL_UNKNOWN, "line 8: unknown element <txt> in <item>"},
        {"a role too long for an ACL",
         "<database><acl><role>" + std::string(70, 'r') +
             "</role><aclentry name='-Default-' level='reader'/></acl></database>",
         0, ERR_DXL_BAD_ACL, "line 1: the ACL cannot be stored: the role"},
        {"more bytes than asked for", kAclText, 0xFFFFFFFFu, ERR_DXL_READER,
         "line 1: the reader said it placed more bytes than it was asked for"},
    };
    for (const auto &c : cases) {
        Reader reader;
        reader.text = c.text;
        reader.lie = c.lie;
        EXPECT_EQ(Import(reader), c.expected) << c.what;
        EXPECT_EQ(LastMessage().rfind(c.message, 0), 0u) << c.what << ": " << LastMessage();
        EXPECT_EQ(acl_test::DbText(db_), before) << c.what;
        EXPECT_EQ(nsf_test::NoteIds(db_), before_) << c.what;
    }
    // A write that fails stores nothing either.
    Reader reader;
    reader.text = kAclText;
    StandinFaultInject({"SQLiteStep", ERR_DB_IO, 4, 1, "HCR.ntf"});
    EXPECT_EQ(Import(reader), ERR_DB_IO);
    StandinFaultClear();
    EXPECT_EQ(acl_test::DbText(db_), before);
}

TEST_F(DxlImporterTest, PropertiesHandlesAndFaultPoints) {
    DXLIMPORTOPTION option = 3;
    EXPECT_EQ(DXLSetImporterProperty(importer_, iACLImportOption, &option), ERR_DXL_BAD_PROPERTY);
    option = DXLIMPORTOPTION_REPLACE_ELSE_IGNORE;
    EXPECT_EQ(DXLSetImporterProperty(importer_, 2, &option), ERR_DXL_BAD_PROPERTY);
    EXPECT_EQ(DXLSetImporterProperty(importer_, iACLImportOption, nullptr), ERR_BAD_PARAM);
    // A refused value leaves the property as it was: still ignoring.
    Reader reader;
    reader.text = kAclText;
    const std::string before = acl_test::DbText(db_);
    ASSERT_NOERROR(Import(reader));
    EXPECT_EQ(acl_test::DbText(db_), before);

    EXPECT_EQ(DXLImport(importer_, nullptr, db_, nullptr), ERR_BAD_PARAM);
    EXPECT_EQ(DXLImport(importer_, Read, NULLHANDLE, &reader), ERR_INVALID_HANDLE);
    EXPECT_EQ(DXLImport(static_cast<DXLIMPORTHANDLE>(db_), Read, db_, &reader),
              ERR_WRONG_HANDLE_KIND);
    EXPECT_EQ(DXLCreateImporter(nullptr), ERR_BAD_PARAM);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_DXL_IMPORTER), 1u);

    DXLIMPORTHANDLE second = 0xDEAD;
    StandinFaultInject({"DXLCreateImporter", ERR_FAULT_INJECTED, 0, 1, nullptr});
    EXPECT_EQ(DXLCreateImporter(&second), ERR_FAULT_INJECTED);
    EXPECT_EQ(second, NULLHANDLE);
    StandinFaultInject({"DXLSetImporterProperty", ERR_FAULT_INJECTED, 0, 1, nullptr});
    EXPECT_EQ(DXLSetImporterProperty(importer_, iACLImportOption, &option), ERR_FAULT_INJECTED);
    StandinFaultInject({"DXLImport", ERR_FAULT_INJECTED, 0, 1, "HCR.ntf"});
    EXPECT_EQ(Import(reader), ERR_FAULT_INJECTED);
    StandinFaultInject({"DXLDeleteImporter", ERR_FAULT_INJECTED, 0, 1, nullptr});
    EXPECT_EQ(DXLDeleteImporter(importer_), ERR_FAULT_INJECTED);
    StandinFaultClear();

    ASSERT_NOERROR(DXLCreateImporter(&second));
    ASSERT_NOERROR(DXLDeleteImporter(second));
    EXPECT_EQ(DXLDeleteImporter(second), ERR_INVALID_HANDLE);
    StandinDxlResult result{};
    EXPECT_EQ(StandinDxlImporterResult(second, &result), ERR_INVALID_HANDLE);
}

// The round trip of an ACL through an export: roles, entries, kinds,
// rights, and the two attributes without calls.
TEST_F(DxlImporterTest, AnExportedAclImportsAsTheSameAcl) {
    ReplaceAcl();
    Reader reader;
    reader.text =
        "<database><acl maxinternetaccess='editor' consistentacl='true'>"
        "<role>[Admin]</role>"
        "<aclentry name='-Default-' level='depositor' createdocs='true' deletedocs='true'/>"
        "<aclentry name='Servers' level='designer' type='servergroup' "
        "createpersonalagents='true' createpersonalviews='true' createsharedviews='true' "
        "createlsjavaagents='true' replicateorcopydocs='true'><role>[Admin]</role></aclentry>"
        "<aclentry name='People' level='author' type='persongroup'/>"
        "<aclentry name='Mixed' level='reader' type='mixedgroup' readpublicdocs='false'/>"
        "</acl></database>";
    ASSERT_EQ(Import(reader), NOERROR) << LastMessage();
    const std::string first = acl_test::DbText(db_);
    EXPECT_EQ(first,
              "roles [Admin]\n"
              "-Default- 1 0x0005\n"
              "Servers 5 0x11DA [Admin]\n"
              "People 3 0x0060\n"
              "Mixed 2 0x0040\n");
    std::string text;
    ASSERT_NOERROR(StandinDxlExport(
        db_,
        [](void *context, const char *bytes, DWORD length) {
            static_cast<std::string *>(context)->append(bytes, length);
            return static_cast<STATUS>(NOERROR);
        },
        &text, nullptr, nullptr, 0));
    EXPECT_NE(text.find("<acl maxinternetaccess='editor' consistentacl='true'>"), std::string::npos)
        << text;
    DBHANDLE other = CreateAndOpen("other.nsf");
    Reader again;
    again.text = text;
    ASSERT_EQ(DXLImport(importer_, Read, other, &again), NOERROR) << LastMessage();
    EXPECT_EQ(acl_test::DbText(other), first);
    std::string second;
    ASSERT_NOERROR(StandinDxlExport(
        other,
        [](void *context, const char *bytes, DWORD length) {
            static_cast<std::string *>(context)->append(bytes, length);
            return static_cast<STATUS>(NOERROR);
        },
        &second, nullptr, nullptr, 0));
    const size_t a = text.find("<acl"), b = second.find("<acl");
    EXPECT_EQ(second.substr(b, second.find("</acl>") - b), text.substr(a, text.find("</acl>") - a));
    NSFDbClose(other);
}

}  // namespace

namespace {

class DxlImporterRuntimeTest : public test_support::DataDirTest {};

// An importer that was never deleted goes with the runtime, as every other
// handle does; a new runtime starts without it.
TEST_F(DxlImporterRuntimeTest, TheEndOfTheRuntimeDeletesTheImportersLeft) {
    DXLIMPORTHANDLE kept = NULLHANDLE, deleted = NULLHANDLE;
    ASSERT_NOERROR(DXLCreateImporter(&kept));
    ASSERT_NOERROR(DXLCreateImporter(&deleted));
    ASSERT_NOERROR(DXLDeleteImporter(deleted));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_DXL_IMPORTER), 1u);
    NotesRuntimeEnd();
    std::string arg = "=" + iniPath();
    char program[] = "unit-test";
    char *argv[] = {program, arg.data(), nullptr};
    ASSERT_NOERROR(NotesRuntimeStart(2, argv));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_DXL_IMPORTER), 0u);
    EXPECT_EQ(DXLDeleteImporter(kept), ERR_INVALID_HANDLE);
}

}  // namespace
