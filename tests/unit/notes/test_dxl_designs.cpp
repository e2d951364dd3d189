// The designs the project ships (designs/): they import, the mail design
// lets the worker's template learning find its texts, the agent is the
// disabled "OutOfOffice" agent, and the directory's views select and key
// the sample organisation's documents.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "notes_api.h"
#include "nsf_test_util.h"
#include "standin/dxl.h"
#include "test_support.h"

namespace {

using nsf_test::NoteIds;
using nsf_test::Text;

struct TextReader {
    std::string text;
    size_t pos = 0;
};

STATUS LNCALLBACK ReadText(void *context, char *buffer, DWORD length, DWORD *retLength) {
    auto *r = static_cast<TextReader *>(context);
    size_t n = std::min<size_t>(length, r->text.size() - r->pos);
    std::memcpy(buffer, r->text.data() + r->pos, n);
    r->pos += n;
    *retLength = static_cast<DWORD>(n);
    return NOERROR;
}

WORD LNCALLBACK IgnoreErrors(const char *, WORD, STATUS, const char *, void *) {
    return CWF_NEXT_FIELD;
}

// The texts of a formula's result on a note (a result of another kind: none).
STATUS Evaluate(NOTEHANDLE note, const std::string &formula, std::vector<std::string> *texts) {
    texts->clear();
    FORMULAHANDLE compiled = NULLHANDLE;
    if (STATUS s =
            NSFFormulaCompile(nullptr, 0, formula.data(), static_cast<WORD>(formula.size()),
                              &compiled, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
        return s;
    HCOMPUTE compute = NULLHANDLE;
    STATUS status = NSFComputeStart(0, OSLockObject(compiled), &compute);
    DHANDLE result = NULLHANDLE;
    DWORD length = 0;
    if (status == NOERROR) {
        status = NSFComputeEvaluate(compute, note, &result, &length, nullptr, nullptr, nullptr);
        NSFComputeStop(compute);
    }
    OSUnlockObject(compiled);
    OSMemFree(compiled);
    if (status != NOERROR)
        return status;
    const unsigned char *p = static_cast<const unsigned char *>(OSLockObject(result));
    WORD type = 0, count = 0;
    std::memcpy(&type, p, 2);
    if (type == TYPE_TEXT_LIST) {
        std::memcpy(&count, p + 2, 2);
        size_t at = 4 + 2u * count;
        for (WORD i = 0; i < count; i++) {
            WORD entry = 0;
            std::memcpy(&entry, p + 4 + 2 * i, 2);
            texts->emplace_back(reinterpret_cast<const char *>(p + at), entry);
            at += entry;
        }
    }
    OSUnlockObject(result);
    OSMemFree(result);
    return NOERROR;
}

// The last text, as the worker takes it.
std::string LastText(NOTEHANDLE note, const std::string &formula) {
    std::vector<std::string> texts;
    EXPECT_EQ(Evaluate(note, formula, &texts), NOERROR) << formula;
    return texts.empty() ? "<none>" : texts.back();
}

std::string ReplaceFirst(std::string text, const std::string &what, const std::string &with) {
    size_t at = text.find(what);
    if (at != std::string::npos)
        text.replace(at, what.size(), with);
    return text;
}

std::string Lmbcs(const std::string &utf8) {
    char out[256];
    WORD n = OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, utf8.data(), static_cast<WORD>(utf8.size()),
                         out, sizeof out);
    return std::string(out, n);
}

std::string Design(const std::string &name) {
    return test_support::ReadFile(std::string(DESIGNS_DIR) + "/" + name);
}

class DesignsTest : public nsf_test::NsfTest {
  protected:
    void ImportInto(DBHANDLE db, const std::string &text) {
        TextReader reader{text};
        StandinDxlResult result{};
        ASSERT_EQ(StandinDxlImport(db, ReadText, &reader, &result), NOERROR) << result.message;
    }
    // A mail file as notesctl import makes one: the template's design, then
    // the sample file.
    DBHANDLE MailFile(const char *sample) {
        DBHANDLE ntf = CreateAndOpen("mail.ntf");
        ImportInto(ntf, Design("mail.ntf.xml"));
        DBHANDLE mail = CreateAndOpen("mail.nsf");
        EXPECT_NOERROR(StandinDbCopyDesign(ntf, mail, nullptr));
        NSFDbClose(ntf);
        ImportInto(mail, Design(std::string("sample/mail/") + sample));
        return mail;
    }
    // The first note of a class whose "$TITLE" begins with the title.
    NOTEID FindNote(DBHANDLE db, WORD noteClass, const std::string &title) {
        for (NOTEID id : NoteIds(db)) {
            NOTEHANDLE note = NULLHANDLE;
            if (NSFNoteOpen(db, id, 0, &note) != NOERROR)
                continue;
            WORD c = 0;
            NSFNoteGetInfo(note, _NOTE_CLASS, &c);
            bool match = c == noteClass && Text(note, "$TITLE").rfind(title, 0) == 0;
            NSFNoteClose(note);
            if (match)
                return id;
        }
        return 0;
    }
};

// The steps of the worker's template learning, through the library's
// calls, on a sample profile: the form computes, and its texts come out
// with the placeholders in place.
TEST_F(DesignsTest, TheTemplateLearningFindsItsTextsInTheMailDesign) {
    for (const char *sample : {"jdoe.xml", "alee.xml", "zunal.xml"}) {
        SCOPED_TRACE(sample);
        DBHANDLE mail = MailFile(sample);
        NOTEHANDLE profile = NULLHANDLE;
        ASSERT_NOERROR(NSFProfileOpen(mail, "OutOfOfficeProfile", 18, nullptr, 0, TRUE, &profile));
        // The learning runs only on a profile that has a "Form" item.
        ASSERT_NOERROR(NSFItemDelete(profile, "Form", 4));
        const char form[] = "(Out Of Office Profile)";
        ASSERT_NOERROR(NSFItemSetText(profile, "Form", form, sizeof form - 1));
        TIMEDATE t1, t2;
        OSCurrentTIMEDATE(&t1);
        t2 = t1;
        ASSERT_NOERROR(TimeDateAdjust(&t2, 0, 0, 0, 1, 0, 0));
        NSFItemDelete(profile, "DaysOut", 7);
        for (const char *name : {"FirstDayOut", "FirstDayBack", "GeneralSubject"})
            NSFItemDelete(profile, name, static_cast<WORD>(std::strlen(name)));
        ASSERT_NOERROR(NSFItemSetTime(profile, "FirstDayOut", &t1));
        ASSERT_NOERROR(NSFItemSetTime(profile, "FirstDayBack", &t2));
        LastText(profile, "@Text(FirstDayOut;\"T1\")");
        LastText(profile, "@Text(FirstDayBack;\"T1\")");

        // The first computation succeeds: the learning takes its first way.
        ASSERT_NOERROR(NSFNoteComputeWithForm(profile, NULLHANDLE, 0, IgnoreErrors, nullptr));
        const std::string f = LastText(profile, "@Text(@Date(dateFirstDayOut))");
        const std::string b = LastText(profile, "@Text(@Date(dateFirstDayBack))");
        EXPECT_NE(f, b);
        const std::string daysOut =
            ReplaceFirst(ReplaceFirst(Text(profile, "DaysOut"), f, "var_First"), b, "var_Back");
        EXPECT_EQ(daysOut, "I am out of the office from var_First until var_Back.");
        // The owner's common name, in the profile's LMBCS.
        std::vector<std::string> owner;
        ASSERT_NOERROR(Evaluate(profile, "@Name([CN]; $Owner)", &owner));
        ASSERT_EQ(owner.size(), 1u);
        EXPECT_EQ(ReplaceFirst(Text(profile, "GeneralSubject"), owner[0], "var_User"),
                  "var_User is out of the office");
        EXPECT_EQ(ReplaceFirst(Text(profile, "AppendSubjectDate"), b, "var_Back"),
                  "(returning var_Back)");
        // The leave time keeps the clock of StartTime (08:00), on the day
        // of FirstDayOut.
        EXPECT_EQ(LastText(profile, "@Text(dateFirstDayOut; \"T1S1\")"),
                  LastText(profile, "@Text(StartTime; \"T1S1\")"));
        ASSERT_NOERROR(NSFNoteClose(profile));
        NSFDbClose(mail);
        ASSERT_EQ(std::remove(dataFile("mail.nsf").c_str()), 0);
        ASSERT_EQ(std::remove(dataFile("mail.ntf").c_str()), 0);
    }
}

TEST_F(DesignsTest, TheMailFilesCarryTheDisabledAgentTheIconAndTheirProfiles) {
    DBHANDLE mail = MailFile("alee.xml");
    NOTEID agentId = FindNote(mail, NOTE_CLASS_FILTER, "OutOfOffice");
    ASSERT_NE(agentId, 0u);
    HAGENT agent = 0;
    ASSERT_NOERROR(AgentOpen(mail, agentId, &agent));
    EXPECT_FALSE(AgentIsEnabled(agent));
    AgentClose(agent);
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(mail, agentId, 0, &note));
    EXPECT_EQ(Text(note, "$FlagsExt").find('a'), std::string::npos);
    EXPECT_EQ(Text(note, "$AssistFlags").find('E'), std::string::npos);
    WORD type = 0;
    const std::string info = nsf_test::ValueBytes(note, "$AssistInfo", &type);
    EXPECT_EQ(type, TYPE_ASSISTANT_INFO);
    ASSERT_GE(info.size(), 2u);
    EXPECT_EQ(info.substr(0, 2), std::string("\x01\x00", 2));  // version 1
    ASSERT_NOERROR(NSFNoteClose(note));

    // Ann's icon note came with her file and shows the service on.
    ASSERT_NOERROR(NSFNoteOpen(mail, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &note));
    EXPECT_EQ(Text(note, "$Flags"), "O");
    ASSERT_NOERROR(NSFNoteClose(note));

    ASSERT_NOERROR(NSFProfileOpen(mail, "OutOfOfficeProfile", 18, nullptr, 0, TRUE, &note));
    EXPECT_EQ(Text(note, "Form"), "OutOfOfficeProfile");
    EXPECT_EQ(Text(note, "$Owner"), "CN=Ann Lee/O=Demo");
    EXPECT_EQ(Text(note, "TaskType"), "2");
    EXPECT_EQ(Text(note, "GeneralMessage"),
              std::string("I am on holiday.\0For urgent matters call the office.", 52));
    EXPECT_EQ(NSFItemGetTextListEntries(note, "Notified"), 2);
    ASSERT_NOERROR(NSFNoteClose(note));
    ASSERT_NOERROR(NSFProfileOpen(mail, "ooserviceprofile", 16, nullptr, 0, TRUE, &note));
    EXPECT_EQ(NSFItemGetTextListEntries(note, "Notified_20300701"), 1);
    ASSERT_NOERROR(NSFNoteClose(note));
    NSFDbClose(mail);
}

// Each view's formulas select the documents of its kind and give the keys
// a name is looked up by.
TEST_F(DesignsTest, TheDirectorysViewsSelectAndKeyTheSampleOrganisation) {
    DBHANDLE names = CreateAndOpen("names.nsf");
    ImportInto(names, Design("names-views.xml"));
    ImportInto(names, Design("sample/names.xml"));
    const std::string zoe = Lmbcs("Zoë Ünal");
    struct View {
        const char *title;
        std::vector<std::string> keys;  // of every document it selects, in note order
    };
    const std::vector<View> views = {
        {"$Users",
         {"CN=Jo Doe/O=Demo",
          "Jo Doe/Demo",
          "Jo Doe",
          "Jo Doe/Demo",
          "Jo Doe/Demo",
          "Jo Doe",
          "jdoe",
          "CN=Ann Lee/O=Demo",
          "Ann Lee/Demo",
          "Ann Lee",
          "Ann Lee/Demo",
          "Ann Lee/Demo",
          "Ann Lee",
          "alee",
          "CN=" + zoe + "/O=Demo",
          zoe + "/Demo",
          zoe,
          zoe + "/Demo",
          zoe + "/Demo",
          zoe,
          "zunal",
          "CN=Max Rowe/O=Demo",
          "Max Rowe/Demo",
          "Max Rowe",
          "Max Rowe/Demo",
          "Max Rowe/Demo",
          "Max Rowe",
          "mrowe"}},
        {"($Servers)", {"CN=Vanterra2/O=Demo", "Vanterra2/Demo"}},
        {"($Clusters)", {"Demo Cluster"}},
        {"($Groups)", {"Sales", "Out of Office Team"}},
    };
    for (const View &view : views) {
        SCOPED_TRACE(view.title);
        NOTEID viewId = FindNote(names, NOTE_CLASS_VIEW, view.title);
        ASSERT_NE(viewId, 0u);
        NOTEHANDLE viewNote = NULLHANDLE;
        ASSERT_NOERROR(NSFNoteOpen(names, viewId, 0, &viewNote));
        const std::string selection = Text(viewNote, "$SelectionFormula");
        const std::string key = Text(viewNote, "$KeyFormula");
        ASSERT_NOERROR(NSFNoteClose(viewNote));
        std::vector<std::string> keys;
        for (NOTEID id : NoteIds(names)) {
            NOTEHANDLE doc = NULLHANDLE;
            STATUS opened = NSFNoteOpen(names, id, 0, &doc);
            if (opened == ERR_NOTE_DELETED)
                continue;  // the icon note that the directory's own replaced
            ASSERT_NOERROR(opened);
            WORD c = 0;
            NSFNoteGetInfo(doc, _NOTE_CLASS, &c);
            if (c == NOTE_CLASS_DOCUMENT) {
                FORMULAHANDLE compiled = NULLHANDLE;
                ASSERT_NOERROR(NSFFormulaCompile(
                    nullptr, 0, selection.data(), static_cast<WORD>(selection.size()), &compiled,
                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
                HCOMPUTE compute = NULLHANDLE;
                ASSERT_NOERROR(NSFComputeStart(0, OSLockObject(compiled), &compute));
                BOOL matches = FALSE;
                ASSERT_NOERROR(
                    NSFComputeEvaluate(compute, doc, nullptr, nullptr, &matches, nullptr, nullptr));
                NSFComputeStop(compute);
                OSUnlockObject(compiled);
                OSMemFree(compiled);
                if (matches) {
                    std::vector<std::string> entries;
                    ASSERT_NOERROR(Evaluate(doc, key, &entries));
                    keys.insert(keys.end(), entries.begin(), entries.end());
                }
            }
            ASSERT_NOERROR(NSFNoteClose(doc));
        }
        EXPECT_EQ(keys, view.keys);
    }
    NSFDbClose(names);
}

}  // namespace
