// Signing notes with the server's ID, and checking the signature.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "notes_api.h"
#include "nsf_test_util.h"
#include "standin/dxl.h"
#include "standin/fault.h"
#include "standin/sign.h"
#include "test_support.h"

namespace {

using nsf_test::ItemNames;
using nsf_test::ValueBytes;

const char kSigner[] = "CN=Vanterra Test/O=Acme";

std::string Le16(WORD v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}
std::string Le32(DWORD v) {
    return Le16(static_cast<WORD>(v & 0xFFFF)) + Le16(static_cast<WORD>(v >> 16));
}

// The digest as coreutils' sha256sum makes it: a reference that shares no
// code with the library.
std::string Sha256(const std::string &bytes) {
    test_support::TempDir dir;
    const std::string path = dir.file("digested.bin");
    test_support::WriteFile(path, bytes);
    std::string hex;
    if (FILE *pipe = popen(("sha256sum '" + path + "'").c_str(), "r")) {
        char line[128] = {};
        if (std::fgets(line, sizeof line, pipe) != nullptr)
            hex.assign(line, std::strcspn(line, " "));
        pclose(pipe);
    }
    EXPECT_EQ(hex.size(), 64u) << "sha256sum gave no digest";
    std::string digest;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        digest.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return digest;
}

class SignTest : public nsf_test::NsfTest {
  protected:
    void SetUp() override {
        nsf_test::NsfTest::SetUp();
        db_ = CreateAndOpen("sign.nsf");
        ASSERT_NOERROR(NSFNoteCreate(db_, &note_));
        WORD form = NOTE_CLASS_FORM;
        NSFNoteSetInfo(note_, _NOTE_CLASS, &form);
        ASSERT_NOERROR(NSFItemSetText(note_, "$TITLE", "Settings", 8));
        ASSERT_NOERROR(
            NSFItemAppend(note_, ITEM_SIGN | ITEM_SUMMARY, "$Flags", 6, TYPE_TEXT, "E", 1));
    }
    void TearDown() override {
        StandinFaultClear();
        if (note_ != NULLHANDLE)
            NSFNoteClose(note_);
        NSFDbClose(db_);
        nsf_test::NsfTest::TearDown();
    }
    STATUS Verify(NOTEHANDLE note, std::string *signer = nullptr) {
        char name[MAXUSERNAME];
        std::strcpy(name, "sentinel");
        STATUS status = StandinNoteVerifySignature(note, name, sizeof name, nullptr);
        if (signer)
            *signer = name;
        return status;
    }
    DBHANDLE db_ = NULLHANDLE;
    NOTEHANDLE note_ = NULLHANDLE;
};

// The signature is the item the header describes: the digest of the class
// and of every other item, the signer and the time.
TEST_F(SignTest, TheSignatureItemHoldsTheDocumentedLayoutAndDigest) {
    TIMEDATE before{}, after{};
    OSCurrentTIMEDATE(&before);
    ASSERT_NOERROR(NSFNoteSign(note_));
    OSCurrentTIMEDATE(&after);
    EXPECT_EQ(ItemNames(note_), (std::vector<std::string>{"$TITLE", "$Flags", "$Signature"}));
    WORD type = 0;
    const std::string value = ValueBytes(note_, "$Signature", &type);
    EXPECT_EQ(type, TYPE_SIGNATURE);
    BLOCKID item{};
    WORD flags = 0xFFFF;
    ASSERT_NOERROR(NSFItemInfo(note_, "$Signature", 10, &item, nullptr, nullptr, nullptr));
    NSFItemQuery(note_, item, nullptr, 0, nullptr, &flags, nullptr, nullptr, nullptr);
    EXPECT_EQ(flags, 0);

    const std::string signer = kSigner;
    ASSERT_EQ(value.size(), 48 + signer.size());
    EXPECT_EQ(value.substr(0, 8),
              Le16(1) + Le16(1) + Le16(static_cast<WORD>(signer.size())) + Le16(0));
    TIMEDATE when{};
    std::memcpy(&when, value.data() + 8, 8);
    EXPECT_GE(TimeDateCompare(&when, &before), 0);
    EXPECT_LE(TimeDateCompare(&when, &after), 0);
    EXPECT_EQ(value.substr(48), signer);
    const std::string digested = Le16(NOTE_CLASS_FORM) + Le16(6) + "$TITLE" + Le16(TYPE_TEXT) +
                                 Le16(ITEM_SUMMARY) + Le32(8) + "Settings" + Le16(6) + "$Flags" +
                                 Le16(TYPE_TEXT) + Le16(ITEM_SIGN | ITEM_SUMMARY) + Le32(1) + "E";
    EXPECT_EQ(value.substr(16, 32), Sha256(digested));
}

TEST_F(SignTest, ASignatureHoldsThroughUpdatesAndBreaksWithAnyChange) {
    EXPECT_EQ(Verify(note_), ERR_NOTE_NOT_SIGNED);
    ASSERT_NOERROR(NSFNoteSign(note_));
    std::string signer;
    EXPECT_NOERROR(Verify(note_, &signer));
    EXPECT_EQ(signer, kSigner);
    ASSERT_NOERROR(NSFNoteUpdate(note_, 0));
    const NOTEID id = nsf_test::NoteId(note_);
    ASSERT_NOERROR(NSFNoteClose(note_));
    note_ = NULLHANDLE;

    struct Change {
        const char *what;
        std::function<void(NOTEHANDLE)> apply;
    };
    const Change changes[] = {
        {"a value", [](NOTEHANDLE n) { EXPECT_NOERROR(NSFItemSetText(n, "$TITLE", "Other", 5)); }},
        {"an item more",
         [](NOTEHANDLE n) { EXPECT_NOERROR(NSFItemAppend(n, 0, "New", 3, TYPE_TEXT, "x", 1)); }},
        {"an item less", [](NOTEHANDLE n) { EXPECT_NOERROR(NSFItemDelete(n, "$Flags", 6)); }},
        {"the class",
         [](NOTEHANDLE n) {
             WORD view = NOTE_CLASS_VIEW;
             NSFNoteSetInfo(n, _NOTE_CLASS, &view);
         }},
        {"the order",
         [](NOTEHANDLE n) {
             EXPECT_NOERROR(NSFItemDelete(n, "$TITLE", 6));
             EXPECT_NOERROR(NSFItemAppend(n, ITEM_SUMMARY, "$TITLE", 6, TYPE_TEXT, "Settings", 8));
         }},
        {"the flags",
         [](NOTEHANDLE n) {
             EXPECT_NOERROR(NSFItemDelete(n, "$Flags", 6));
             EXPECT_NOERROR(NSFItemAppend(n, ITEM_SUMMARY, "$Flags", 6, TYPE_TEXT, "E", 1));
         }},
    };
    for (const Change &change : changes) {
        NOTEHANDLE note = NULLHANDLE;
        ASSERT_NOERROR(NSFNoteOpen(db_, id, 0, &note));
        EXPECT_EQ(Verify(note), NOERROR) << change.what;
        change.apply(note);
        EXPECT_EQ(Verify(note, &signer), ERR_SIGNATURE_MISMATCH) << change.what;
        EXPECT_EQ(signer, kSigner) << change.what;
        // Signing again replaces the signature.
        ASSERT_NOERROR(NSFNoteSign(note));
        EXPECT_EQ(Verify(note), NOERROR) << change.what;
        size_t signatures = 0;
        for (const std::string &name : ItemNames(note))
            signatures += name == "$Signature";
        EXPECT_EQ(signatures, 1u) << change.what;
        ASSERT_NOERROR(NSFNoteClose(note));
    }
}

// A signature belongs to the items: a copy into another database and a DXL
// export and import keep it valid.
TEST_F(SignTest, ASignatureSurvivesACopyAndADxlRoundTrip) {
    ASSERT_NOERROR(NSFNoteSign(note_));
    ASSERT_NOERROR(NSFNoteUpdate(note_, 0));
    const OID oid = nsf_test::NoteOid(note_);
    ASSERT_NOERROR(
        NSFDbCreateAndCopy("sign.nsf", "copy.nsf", NOTE_CLASS_ALLNONDATA, 0, 0, nullptr));
    DBHANDLE copy = NULLHANDLE;
    ASSERT_NOERROR(NSFDbOpen("copy.nsf", &copy));
    UNID unid{oid.File, oid.Note};
    NOTEHANDLE copied = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpenByUNID(copy, &unid, 0, &copied));
    EXPECT_NOERROR(Verify(copied));
    ASSERT_NOERROR(NSFNoteClose(copied));

    std::string text;
    ASSERT_NOERROR(StandinDxlExport(
        db_,
        [](void *context, const char *bytes, DWORD length) {
            static_cast<std::string *>(context)->append(bytes, length);
            return static_cast<STATUS>(NOERROR);
        },
        &text, nullptr, nullptr, 0));
    EXPECT_NE(text.find("<wassignedby><name>CN=Vanterra Test/O=Acme</name></wassignedby>"),
              std::string::npos);
    DBHANDLE imported = CreateAndOpen("imported.nsf");
    std::pair<const std::string *, size_t> state{&text, 0};
    ASSERT_NOERROR(StandinDxlImport(
        imported,
        [](void *context, char *buffer, DWORD length, DWORD *got) {
            auto *state = static_cast<std::pair<const std::string *, size_t> *>(context);
            size_t n = std::min<size_t>(length, state->first->size() - state->second);
            std::memcpy(buffer, state->first->data() + state->second, n);
            state->second += n;
            *got = static_cast<DWORD>(n);
            return static_cast<STATUS>(NOERROR);
        },
        &state, nullptr));
    NOTEHANDLE again = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpenByUNID(imported, &unid, 0, &again));
    EXPECT_NOERROR(Verify(again));
    ASSERT_NOERROR(NSFNoteClose(again));
    NSFDbClose(imported);
    NSFDbClose(copy);
}

TEST_F(SignTest, ANoteIsSignedOnlyByANamedServerAndADamagedSignatureIsTold) {
    // A damaged signature: the wrong type, a cut value, a signer too long.
    const struct {
        const char *what;
        WORD type;
        std::string value;
    } damaged[] = {
        {"a text", TYPE_TEXT, "signed"},
        {"a cut value", TYPE_SIGNATURE, Le16(1) + Le16(1) + Le16(4)},
        {"a name longer than the value", TYPE_SIGNATURE,
         Le16(1) + Le16(1) + Le16(40) + std::string(42, 'x')},
        {"another layout", TYPE_SIGNATURE, Le16(2) + Le16(1) + Le16(1) + std::string(42, 'x')},
    };
    for (const auto &d : damaged) {
        ASSERT_NOERROR(NSFItemAppend(note_, 0, "$Signature", 10, d.type, d.value.data(),
                                     static_cast<DWORD>(d.value.size())));
        std::string signer;
        EXPECT_EQ(Verify(note_, &signer), ERR_SIGNATURE_DAMAGED) << d.what;
        EXPECT_EQ(signer, "") << d.what;
        ASSERT_NOERROR(NSFItemDelete(note_, "$Signature", 10));
    }

    // The signer is cut to the buffer.
    ASSERT_NOERROR(NSFNoteSign(note_));
    char shortName[6] = "xxxxx";
    EXPECT_NOERROR(StandinNoteVerifySignature(note_, shortName, sizeof shortName, nullptr));
    EXPECT_STREQ(shortName, "CN=Va");
    EXPECT_EQ(StandinNoteVerifySignature(note_, nullptr, 8, nullptr), ERR_BAD_PARAM);

    // A server without a name signs nothing, and the note stays as it was.
    ASSERT_NOERROR(NSFItemDelete(note_, "$Signature", 10));
    OSSetEnvironmentVariable("ServerName", "");
    EXPECT_EQ(NSFNoteSign(note_), ERR_NO_SERVER_NAME);
    EXPECT_EQ(ItemNames(note_), (std::vector<std::string>{"$TITLE", "$Flags"}));
    OSSetEnvironmentVariable("ServerName", "not/=valid");
    EXPECT_EQ(NSFNoteSign(note_), ERR_DN_INVALID);
    EXPECT_EQ(NSFNoteSign(NULLHANDLE), ERR_INVALID_HANDLE);
    StandinFaultInject({"NSFNoteSign", ERR_FAULT_INJECTED, 0, 0, "sign.nsf"});
    EXPECT_EQ(NSFNoteSign(note_), ERR_FAULT_INJECTED);
    EXPECT_EQ(ItemNames(note_), (std::vector<std::string>{"$TITLE", "$Flags"}));
}

}  // namespace
