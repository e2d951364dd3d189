#include <stdlib.h>
#include <time.h>

#include "formula_test_util.h"
#include "nsf_test_util.h"
#include "standin/fault.h"

namespace {

using formula_test::Result;
using formula_test::SetText;
using formula_test::SetTextList;

struct FieldDef {
    std::string name, kind, formula;
};

struct Report {
    std::string field;
    WORD phase;
    STATUS status;
    std::string text;
};

// Collects what the error routine is told and answers with `answer`.
struct Routine {
    std::vector<Report> reports;
    WORD answer = CWF_NEXT_FIELD;
    NOTEHANDLE touch = NULLHANDLE;  // when set, the routine writes an item into it

    static WORD LNCALLBACK Proc(const char *field, WORD phase, STATUS status, const char *text,
                                void *context) {
        auto *self = static_cast<Routine *>(context);
        self->reports.push_back({field, phase, status, text});
        if (self->touch != NULLHANDLE)
            SetText(self->touch, "Seen", field);
        return self->answer;
    }
};

// The error routine of the profile loader: it goes on after every error.
WORD LNCALLBACK IgnoreCallback(const char *, WORD, STATUS, const char *, void *) {
    return 0;
}

class ComputeWithFormTest : public nsf_test::NsfTest {
  protected:
    void SetUp() override {
        const char *tz = getenv("TZ");
        hadTz_ = tz != nullptr;
        if (hadTz_)
            savedTz_ = tz;
        setenv("TZ", "UTC0", 1);
        tzset();
        NsfTest::SetUp();
        db_ = CreateAndOpen("mail/cwf.nsf");
    }
    void TearDown() override {
        EXPECT_NOERROR(NSFDbClose(db_));
        NsfTest::TearDown();
        if (hadTz_)
            setenv("TZ", savedTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    // A form note in memory (class NOTE_CLASS_FORM) with the given fields.
    NOTEHANDLE MakeForm(const std::string &title, const std::vector<FieldDef> &fields) {
        NOTEHANDLE form = NULLHANDLE;
        EXPECT_NOERROR(NSFNoteCreate(db_, &form));
        const WORD formClass = NOTE_CLASS_FORM;
        NSFNoteSetInfo(form, _NOTE_CLASS, &formClass);
        EXPECT_NOERROR(SetText(form, "$TITLE", title));
        std::vector<std::string> names, kinds;
        for (const FieldDef &field : fields) {
            names.push_back(field.name);
            kinds.push_back(field.kind);
            EXPECT_NOERROR(SetText(form, ("$FieldFormula_" + field.name).c_str(), field.formula));
        }
        EXPECT_NOERROR(SetTextList(form, "$Fields", names));
        EXPECT_NOERROR(SetTextList(form, "$FieldKinds", kinds));
        return form;
    }

    // The same, stored in the database and closed.
    void StoreForm(const std::string &title, const std::vector<FieldDef> &fields) {
        NOTEHANDLE form = MakeForm(title, fields);
        EXPECT_NOERROR(NSFNoteUpdate(form, 0));
        EXPECT_NOERROR(NSFNoteClose(form));
    }

    NOTEHANDLE Document(const std::string &form) {
        NOTEHANDLE note = NULLHANDLE;
        EXPECT_NOERROR(NSFNoteCreate(db_, &note));
        if (!form.empty())
            EXPECT_NOERROR(SetText(note, "Form", form));
        return note;
    }

    DBHANDLE db_ = NULLHANDLE;

  private:
    bool hadTz_ = false;
    std::string savedTz_;
};

const std::vector<FieldDef> kMemoFields = {
    {"Greeting", "computed", "\"Hello \" + @Name([CN]; Owner)"},
    {"Status", "Default", "\"new\""},
    {"Count", "computed", "@Elements(Names)"},
    {"Both", "COMPUTED", "Greeting + \"!\""},  // reads the field computed before it
    {"Tags", "default", "\"a\" : \"b\""},
};

TEST_F(ComputeWithFormTest, FieldsAreComputedInOrderWithTheFormThatTheNoteNames) {
    StoreForm("Other", {{"Greeting", "computed", "\"wrong form\""}});
    StoreForm("Memo|M| Note ", kMemoFields);
    struct {
        const char *form;  // by name, by alias, without regard to case and blanks
        bool hasStatus;
    } cases[] = {{"Memo", true}, {"m", false}, {"NOTE", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.form);
        NOTEHANDLE note = Document(c.form);
        ASSERT_NOERROR(SetText(note, "Owner", "CN=John Doe/O=Acme"));
        ASSERT_NOERROR(SetTextList(note, "Names", {"a", "b", "c"}));
        if (c.hasStatus)
            ASSERT_NOERROR(SetText(note, "Status", "old"));
        ASSERT_NOERROR(NSFNoteComputeWithForm(note, NULLHANDLE, 0, nullptr, nullptr));
        EXPECT_EQ(Result(note, "Greeting"), "\"Hello John Doe\"");
        EXPECT_EQ(Result(note, "Status"), c.hasStatus ? "\"old\"" : "\"new\"");
        EXPECT_EQ(Result(note, "Count"), "3");
        EXPECT_EQ(Result(note, "Both"), "\"Hello John Doe!\"");
        WORD type = 0, flags = 0;
        BLOCKID item;
        ASSERT_NOERROR(NSFItemInfo(note, "Count", 5, &item, &type, nullptr, nullptr));
        NSFItemQuery(note, item, nullptr, 0, nullptr, &flags, nullptr, nullptr, nullptr);
        EXPECT_EQ(type, TYPE_NUMBER);
        EXPECT_TRUE(flags & ITEM_SUMMARY);
        ASSERT_NOERROR(NSFItemInfo(note, "Tags", 4, nullptr, &type, nullptr, nullptr));
        EXPECT_EQ(type, TYPE_TEXT_LIST);
        ASSERT_NOERROR(NSFItemInfo(note, "Greeting", 8, nullptr, &type, nullptr, nullptr));
        EXPECT_EQ(type, TYPE_TEXT);

        // A computed field is computed again, a default one is not.
        ASSERT_NOERROR(SetText(note, "Owner", "Jane Roe/Acme"));
        ASSERT_NOERROR(SetText(note, "Status", "kept"));
        ASSERT_NOERROR(NSFNoteComputeWithForm(note, NULLHANDLE, 0, nullptr, nullptr));
        EXPECT_EQ(Result(note, "Both"), "\"Hello Jane Roe!\"");
        EXPECT_EQ(Result(note, "Status"), "\"kept\"");
        EXPECT_EQ(nsf_test::ItemNames(note).size(), 8u) << "one item per field, no copies";
        EXPECT_NOERROR(NSFNoteClose(note));
    }
}

TEST_F(ComputeWithFormTest, TheNoteChangesInMemoryOnly) {
    StoreForm("Memo", kMemoFields);
    NOTEHANDLE note = Document("Memo");
    ASSERT_NOERROR(SetText(note, "Owner", "CN=John Doe/O=Acme"));
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    const NOTEID id = nsf_test::NoteId(note);
    const std::vector<std::string> before = nsf_test::ItemNames(note);
    ASSERT_NOERROR(NSFNoteComputeWithForm(note, NULLHANDLE, 0, nullptr, nullptr));
    EXPECT_GT(nsf_test::ItemNames(note).size(), before.size());
    NOTEHANDLE stored = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(db_, id, 0, &stored));
    EXPECT_EQ(nsf_test::ItemNames(stored), before);
    EXPECT_NOERROR(NSFNoteClose(stored));
    EXPECT_NOERROR(NSFNoteClose(note));
}

TEST_F(ComputeWithFormTest, AGivenFormNoteIsUsedAsItIs) {
    NOTEHANDLE form = MakeForm("Unsaved", {{"X", "computed", "Y * 2"}});  // never stored
    NOTEHANDLE note = Document("");
    NUMBER y = 21;
    ASSERT_NOERROR(NSFItemSetNumber(note, "Y", &y));
    ASSERT_NOERROR(NSFNoteComputeWithForm(note, form, 0, nullptr, nullptr));
    EXPECT_EQ(Result(note, "X"), "42");
    // A form may compute itself.
    ASSERT_NOERROR(NSFItemSetNumber(form, "Y", &y));
    ASSERT_NOERROR(NSFNoteComputeWithForm(form, form, 0, nullptr, nullptr));
    EXPECT_EQ(Result(form, "X"), "42");
    EXPECT_NOERROR(NSFNoteClose(note));
    EXPECT_NOERROR(NSFNoteClose(form));
}

TEST_F(ComputeWithFormTest, AMissingFormIsAStatusAndChangesNothing) {
    StoreForm("Memo", kMemoFields);
    // A document that carries the title is no form.
    NOTEHANDLE impostor = Document("");
    ASSERT_NOERROR(SetText(impostor, "$TITLE", "Fake"));
    ASSERT_NOERROR(SetTextList(impostor, "$Fields", {"X"}));
    ASSERT_NOERROR(SetTextList(impostor, "$FieldKinds", {"computed"}));
    ASSERT_NOERROR(SetText(impostor, "$FieldFormula_X", "1"));
    ASSERT_NOERROR(NSFNoteUpdate(impostor, 0));
    ASSERT_NOERROR(NSFNoteClose(impostor));
    for (const char *form : {"", "Nope", "Fake", "   ", "Mem"}) {
        SCOPED_TRACE(form);
        NOTEHANDLE note = Document(form);
        const auto before = nsf_test::ItemNames(note);
        Routine routine;
        EXPECT_EQ(NSFNoteComputeWithForm(note, NULLHANDLE, 0, Routine::Proc, &routine),
                  ERR_FORM_NOT_FOUND);
        EXPECT_TRUE(routine.reports.empty());
        EXPECT_EQ(nsf_test::ItemNames(note), before);
        EXPECT_NOERROR(NSFNoteClose(note));
    }
    // "Form" that is not a text names no form either.
    NOTEHANDLE note = Document("");
    NUMBER n = 1;
    ASSERT_NOERROR(NSFItemSetNumber(note, "Form", &n));
    EXPECT_EQ(NSFNoteComputeWithForm(note, NULLHANDLE, 0, nullptr, nullptr), ERR_FORM_NOT_FOUND);
    EXPECT_NOERROR(NSFNoteClose(note));
}

const std::vector<FieldDef> kFaultyFields = {
    {"A", "computed", "1 +"},     // does not compile
    {"B", "computed", "1 / 0"},   // fails to evaluate
    {"C", "computed", "\"ok\""},  // fine
    // 80 texts of 1000 bytes: no text list item holds them.
    {"D", "computed",
     "x := \"abcdefghij\"; x := x + x + x + x + x + x + x + x + x + x; "
     "x := x + x + x + x + x + x + x + x + x + x; "
     "y := x : x : x : x : x : x : x : x : x : x; y : y : y : y : y : y : y : y"},
    {"E", "computed", "\"last\""},
};

TEST_F(ComputeWithFormTest, FieldErrorsGoToTheErrorRoutine) {
    NOTEHANDLE form = MakeForm("Faulty", kFaultyFields);
    // An answer of 0 goes on with every field; the call reports the first
    // error.
    NOTEHANDLE note = Document("Faulty");
    Routine routine;
    EXPECT_EQ(NSFNoteComputeWithForm(note, form, 0, Routine::Proc, &routine), ERR_FORMULA_SYNTAX);
    ASSERT_EQ(routine.reports.size(), 3u);
    EXPECT_EQ(routine.reports[0].field, "A");
    EXPECT_EQ(routine.reports[0].phase, CWF_PHASE_COMPILE);
    EXPECT_EQ(routine.reports[0].status, ERR_FORMULA_SYNTAX);
    EXPECT_EQ(routine.reports[0].text,
              test_support::StatusText(ERR_FORMULA_SYNTAX) + " (line 1, column 4)");
    EXPECT_EQ(routine.reports[1].field, "B");
    EXPECT_EQ(routine.reports[1].phase, CWF_PHASE_EVALUATE);
    EXPECT_EQ(routine.reports[1].status, ERR_FORMULA_ARITHMETIC);
    EXPECT_EQ(routine.reports[1].text, test_support::StatusText(ERR_FORMULA_ARITHMETIC));
    EXPECT_EQ(routine.reports[2].field, "D");
    EXPECT_EQ(routine.reports[2].phase, CWF_PHASE_STORE);
    EXPECT_EQ(routine.reports[2].status, ERR_LIST_FULL);
    EXPECT_EQ(Result(note, "@IsAvailable(A) : @IsAvailable(B) : @IsAvailable(D)"), "0 : 0 : 0");
    EXPECT_EQ(Result(note, "C + E"), "\"oklast\"");
    EXPECT_NOERROR(NSFNoteClose(note));

    // The profile loader's routine does the same.
    note = Document("Faulty");
    EXPECT_EQ(NSFNoteComputeWithForm(note, form, 0, IgnoreCallback, nullptr), ERR_FORMULA_SYNTAX);
    EXPECT_EQ(Result(note, "E"), "\"last\"");
    EXPECT_NOERROR(NSFNoteClose(note));
    // So does no routine.
    note = Document("Faulty");
    EXPECT_EQ(NSFNoteComputeWithForm(note, form, 0, nullptr, nullptr), ERR_FORMULA_SYNTAX);
    EXPECT_EQ(Result(note, "E"), "\"last\"");
    EXPECT_NOERROR(NSFNoteClose(note));

    // Any other answer stops at once with the field's status.
    for (WORD answer : {WORD{CWF_ABORT}, WORD{7}}) {
        note = Document("Faulty");
        Routine stop;
        stop.answer = answer;
        EXPECT_EQ(NSFNoteComputeWithForm(note, form, 0, Routine::Proc, &stop), ERR_FORMULA_SYNTAX);
        EXPECT_EQ(stop.reports.size(), 1u);
        EXPECT_EQ(Result(note, "@IsAvailable(C)"), "0");
        EXPECT_NOERROR(NSFNoteClose(note));
    }
    // Stopping at a later field keeps what the fields before it gave.
    NOTEHANDLE later = MakeForm(
        "Later", {{"C", "computed", "\"ok\""}, kFaultyFields[1], {"E", "computed", "\"last\""}});
    note = Document("");
    Routine stop;
    stop.answer = CWF_ABORT;
    EXPECT_EQ(NSFNoteComputeWithForm(note, later, 0, Routine::Proc, &stop), ERR_FORMULA_ARITHMETIC);
    EXPECT_EQ(Result(note, "C"), "\"ok\"");
    EXPECT_EQ(Result(note, "@IsAvailable(E)"), "0");
    EXPECT_NOERROR(NSFNoteClose(note));
    EXPECT_NOERROR(NSFNoteClose(later));
    EXPECT_NOERROR(NSFNoteClose(form));
}

TEST_F(ComputeWithFormTest, TheErrorRoutineMayWorkOnTheNote) {
    NOTEHANDLE form = MakeForm("Faulty", kFaultyFields);
    NOTEHANDLE note = Document("");
    Routine routine;
    routine.touch = note;
    EXPECT_EQ(NSFNoteComputeWithForm(note, form, 0, Routine::Proc, &routine), ERR_FORMULA_SYNTAX);
    EXPECT_EQ(Result(note, "Seen"), "\"D\"");
    EXPECT_NOERROR(NSFNoteClose(note));
    EXPECT_NOERROR(NSFNoteClose(form));
}

TEST_F(ComputeWithFormTest, AFormWithBadFieldDefinitionsChangesNothing) {
    struct Damage {
        const char *what;
        std::vector<std::string> names, kinds;
        bool formulas;
    } cases[] = {
        {"lists of different lengths", {"A", "B"}, {"computed"}, true},
        {"an unknown kind", {"A"}, {"sometimes"}, true},
        {"an empty field name", {""}, {"computed"}, true},
        {"a formula item missing", {"A"}, {"computed"}, false},
    };
    for (const Damage &d : cases) {
        SCOPED_TRACE(d.what);
        NOTEHANDLE form = MakeForm("Bad", {});
        ASSERT_NOERROR(SetTextList(form, "$Fields", d.names));
        ASSERT_NOERROR(SetTextList(form, "$FieldKinds", d.kinds));
        if (d.formulas) {
            for (const std::string &name : d.names)
                ASSERT_NOERROR(SetText(form, ("$FieldFormula_" + name).c_str(), "1"));
        }
        NOTEHANDLE note = Document("");
        const auto before = nsf_test::ItemNames(note);
        EXPECT_EQ(NSFNoteComputeWithForm(note, form, 0, nullptr, nullptr), ERR_FORM_DAMAGED);
        EXPECT_EQ(nsf_test::ItemNames(note), before);
        EXPECT_NOERROR(NSFNoteClose(note));
        EXPECT_NOERROR(NSFNoteClose(form));
    }
    // Field lists that are not texts, or one list without the other.
    NOTEHANDLE form = MakeForm("Bad", {{"A", "computed", "1"}});
    NUMBER n = 1;
    ASSERT_NOERROR(NSFItemSetNumber(form, "$FieldKinds", &n));
    NOTEHANDLE note = Document("");
    EXPECT_EQ(NSFNoteComputeWithForm(note, form, 0, nullptr, nullptr), ERR_FORM_DAMAGED);
    ASSERT_NOERROR(NSFItemDelete(form, "$FieldKinds", 11));
    EXPECT_EQ(NSFNoteComputeWithForm(note, form, 0, nullptr, nullptr), ERR_FORM_DAMAGED);
    // A form without field lists has nothing to compute.
    ASSERT_NOERROR(NSFItemDelete(form, "$Fields", 7));
    EXPECT_NOERROR(NSFNoteComputeWithForm(note, form, 0, nullptr, nullptr));
    EXPECT_NOERROR(NSFNoteClose(note));
    EXPECT_NOERROR(NSFNoteClose(form));
}

TEST_F(ComputeWithFormTest, BadArgumentsAndTheFaultPoint) {
    StoreForm("Memo", kMemoFields);
    NOTEHANDLE note = Document("Memo");
    EXPECT_EQ(NSFNoteComputeWithForm(note, NULLHANDLE, 1, nullptr, nullptr), ERR_BAD_PARAM);
    EXPECT_EQ(NSFNoteComputeWithForm(NULLHANDLE, NULLHANDLE, 0, nullptr, nullptr),
              ERR_INVALID_HANDLE);
    EXPECT_EQ(NSFNoteComputeWithForm(db_, NULLHANDLE, 0, nullptr, nullptr), ERR_WRONG_HANDLE_KIND);
    EXPECT_EQ(NSFNoteComputeWithForm(note, db_, 0, nullptr, nullptr), ERR_WRONG_HANDLE_KIND);
    // The rule names the database of the note.
    StandinFaultInject({"NSFNoteComputeWithForm", ERR_DB_IO, 0, 0, "mail/other.nsf"});
    EXPECT_NOERROR(NSFNoteComputeWithForm(note, NULLHANDLE, 0, nullptr, nullptr));
    StandinFaultInject({"NSFNoteComputeWithForm", ERR_DB_IO, 0, 1, "mail\\cwf.nsf"});
    ASSERT_NOERROR(NSFItemDelete(note, "Greeting", 8));
    EXPECT_EQ(NSFNoteComputeWithForm(note, NULLHANDLE, 0, nullptr, nullptr), ERR_DB_IO);
    EXPECT_EQ(Result(note, "@IsAvailable(Greeting)"), "0");
    EXPECT_EQ(StandinFaultHits("NSFNoteComputeWithForm"), 1u);
    EXPECT_NOERROR(NSFNoteClose(note));
}

// The way the profile loader learns its templates: known dates in, the
// form computes its texts, the date texts that the loader's own formulas
// give are found in them.
TEST_F(ComputeWithFormTest, TheProfileLoadersTemplateLearningWorksWithAMailDesign) {
    StoreForm("(Out Of Office Profile)|OOProfile",
              {
                  {"dateFirstDayOut", "computed",
                   "@If(@IsTime(FirstDayOut); FirstDayOut; @TextToTime(FirstDayOut))"},
                  {"dateFirstDayBack", "computed",
                   "@If(@IsTime(FirstDayBack); FirstDayBack; @TextToTime(FirstDayBack))"},
                  {"DaysOut", "computed",
                   "\"I am out of the office from \" + @Text(@Date(dateFirstDayOut)) + \" until \" "
                   "+ @Text(@Date(dateFirstDayBack)) + \".\""},
                  {"GeneralSubject", "default", "@Name([CN]; $Owner) + \" is out of the office\""},
                  {"AppendSubjectDate", "computed",
                   "\"(returning \" + @Text(dateFirstDayBack; \"S0\") + \")\""},
              });
    NOTEHANDLE profile = Document("(Out Of Office Profile)");
    ASSERT_NOERROR(SetText(profile, "$Owner", "CN=John Doe/O=Acme"));
    TIMEDATE t1, t2;
    OSCurrentTIMEDATE(&t1);
    t2 = t1;
    ASSERT_NOERROR(TimeDateAdjust(&t2, 0, 0, 0, 1, 0, 0));
    ASSERT_NOERROR(NSFItemSetTime(profile, "FirstDayOut", &t1));
    ASSERT_NOERROR(NSFItemSetTime(profile, "FirstDayBack", &t2));
    ASSERT_NOERROR(NSFNoteComputeWithForm(profile, NULLHANDLE, 0, IgnoreCallback, nullptr));
    std::string daysOut = nsf_test::Text(profile, "DaysOut");
    std::string first = Result(profile, "@Text(@Date(dateFirstDayOut))");
    std::string back = Result(profile, "@Text(@Date(dateFirstDayBack))");
    ASSERT_GE(first.size(), 2u);
    first = first.substr(1, first.size() - 2);  // without the quotes of Render
    back = back.substr(1, back.size() - 2);
    daysOut.replace(daysOut.find(first), first.size(), "var_First");
    daysOut.replace(daysOut.find(back), back.size(), "var_Back");
    EXPECT_EQ(daysOut, "I am out of the office from var_First until var_Back.");
    EXPECT_EQ(nsf_test::Text(profile, "GeneralSubject"), "John Doe is out of the office");
    EXPECT_EQ(nsf_test::Text(profile, "AppendSubjectDate"), "(returning " + back + ")");

    // Its second road: the dates as texts, as the loader stores them after a
    // failed computation.
    ASSERT_NOERROR(SetText(profile, "FirstDayOut", first));
    ASSERT_NOERROR(SetText(profile, "FirstDayBack", back));
    ASSERT_NOERROR(NSFItemDelete(profile, "DaysOut", 7));
    ASSERT_NOERROR(NSFNoteComputeWithForm(profile, NULLHANDLE, 0, IgnoreCallback, nullptr));
    EXPECT_EQ(nsf_test::Text(profile, "DaysOut"),
              "I am out of the office from " + first + " until " + back + ".");
    EXPECT_NOERROR(NSFNoteClose(profile));
}

}  // namespace
