// The worker's settings from the "OutOfOfficeProfile" note, and the message
// templates learned from the user's own mail design. The note is changed in
// memory only: nothing here saves it, and the worker's reset closes it
// unsaved.
#include <algorithm>
#include <cstring>

#include "iphcr.h"
#include "ip_exception.h"
#include "name_forms.h"
#include "note_items.h"
#include "xml_string_translate.h"

namespace {

constexpr WORD kItemBuffer = 1024;
constexpr size_t kMaxFormula = 1023;

const char kOutOfOfficeForm[] = "(Out Of Office Profile)";

using note_items::BeginsWithNoCase;
using note_items::NameLength;
using note_items::ValueTexts;

bool ItemPresent(NOTEHANDLE note, const char *item) {
    return note_items::Present(note, item);
}

std::string ItemText(NOTEHANDLE note, const char *item) {
    return note_items::Text(note, item, kItemBuffer);
}

// The texts that the reply shows and the front end sends back in its next
// update must not lose their end.
std::string WholeItemText(NOTEHANDLE note, const char *item) {
    return note_items::WholeText(note, item);
}

void NulsToLineFeeds(std::string &text) {
    for (char &c : text) {
        if (c == '\0')
            c = '\n';
    }
}

std::string ToUtf8(std::string text) {
    XMLStringTranslate::LmbcsToUtf8InPlace(text);
    return text;
}

// The common-name component of a name; the whole name when it cannot be
// parsed.
std::string CommonName(const std::string &name) {
    DN_COMPONENTS parts;
    if (DNParse(0, nullptr, name.c_str(), &parts, sizeof parts) != NOERROR)
        return name;
    if (parts.CN == nullptr)
        return std::string();
    return std::string(parts.CN, parts.CNLength);
}

bool EqualsNoCase(const std::string &text, const char *word) {
    return text.size() == std::strlen(word) && BeginsWithNoCase(text.data(), text.size(), word);
}

// The first occurrence of x in text, from the start, becomes p.
void ReplaceFirst(std::string &text, const std::string &x, const std::string &p) {
    const size_t at = text.find(x);
    if (at != std::string::npos)
        text.replace(at, x.size(), p);
}

void DeleteIfPresent(NOTEHANDLE note, const char *item) {
    if (ItemPresent(note, item))
        NSFItemDelete(note, item, NameLength(item));
}

TIMEDATE Now() {
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    return now;
}

TIMEDATE OneDayAfter(TIMEDATE time) {
    TimeDateAdjust(&time, 0, 0, 0, 1, 0, 0);
    return time;
}

// A failing step of the template learning: it ends the learning.
struct LearningStopped {};

}  // namespace

WORD LNCALLBACK IgnoreCallback(const char *, WORD, STATUS, const char *, void *) {
    return CWF_NEXT_FIELD;
}

STATUS IPHCR::EvaluateProfileFormula(const char *formula, std::string &text) {
    if (profileNote == NULLHANDLE)
        return NOERROR;
    const size_t length = std::min(std::strlen(formula), kMaxFormula);
    FORMULAHANDLE compiled = NULLHANDLE;
    DWORD compiledLength = 0;
    STATUS compileError = NOERROR;
    WORD line = 0, column = 0, offset = 0, errorLength = 0;
    STATUS status =
        NSFFormulaCompile(nullptr, 0, formula, static_cast<WORD>(length), &compiled,
                          &compiledLength, &compileError, &line, &column, &offset, &errorLength);
    if (status != NOERROR)
        return status;
    if (compiled == NULLHANDLE)
        return NOERROR;

    void *bytes = OSLockObject(compiled);
    HCOMPUTE compute = NULLHANDLE;
    status = NSFComputeStart(0, bytes, &compute);
    if (status == NOERROR && compute != NULLHANDLE) {
        DHANDLE result = NULLHANDLE;
        DWORD resultLength = 0;
        BOOL matches = FALSE;
        status = NSFComputeEvaluate(compute, profileNote, &result, &resultLength, &matches, nullptr,
                                    nullptr);
        if (status == NOERROR && result != NULLHANDLE) {
            const char *value = static_cast<const char *>(OSLockObject(result));
            WORD type = 0;
            if (value != nullptr)
                std::memcpy(&type, value, sizeof type);
            if (value != nullptr && type == TYPE_TEXT_LIST) {
                const WORD count = ListGetNumEntries(value, TRUE);
                for (WORD i = 0; i < count; i++) {
                    char *entry = nullptr;
                    WORD entryLength = 0;
                    status = ListGetText(value, TRUE, i, &entry, &entryLength);
                    if (status == NOERROR)
                        text.assign(entry, entryLength);  // the last readable entry wins
                }
            }
            if (value != nullptr)
                OSUnlockObject(result);
            OSMemFree(result);
        }
        NSFComputeStop(compute);
    }
    OSUnlockObject(compiled);
    OSMemFree(compiled);
    return status;
}

void IPHCR::LoadProfileSettings() {
    // 1. The owner. Its name stays in LMBCS here for the search in the
    // subject below, which is LMBCS too.
    const std::string owner = ItemText(profileNote, "$Owner");
    const std::string ownerLmbcs = owner.empty() ? userName : CommonName(owner);
    ownerDisplayName = ToUtf8(ownerLmbcs);

    // 2. The subject, else the default one.
    subject = WholeItemText(profileNote, "GeneralSubject");
    if (!subject.empty()) {
        NulsToLineFeeds(subject);
    } else {
        subject = CommonName(userName) + " is out of the office";
    }
    subject = ToUtf8(subject);

    // 3. The message.
    message.clear();
    if (ItemPresent(profileNote, "GeneralMessage")) {
        message = WholeItemText(profileNote, "GeneralMessage");
        NulsToLineFeeds(message);
        if (message == "(null)")
            message.clear();
        else
            message = ToUtf8(message);
    }

    // 4. ShowHours counts for the service only.
    showHours = agentType == 1 ? std::string() : ItemText(profileNote, "ShowHours");

    // 5. The dates.
    TIMEDATE now = Now();
    if (!NSFItemGetTime(profileNote, "dateFirstDayOut", &uiFirstDayOut))
        uiFirstDayOut = now;
    if (!NSFItemGetTime(profileNote, "StartTime", &leaveTime))
        leaveTime = now;
    if (!NSFItemGetTime(profileNote, "dateFirstDayBack", &uiFirstDayBack))
        uiFirstDayBack = now;
    if (!NSFItemGetTime(profileNote, "EndTime", &returnTime))
        returnTime = now;
    const bool pending = ItemText(profileNote, "UpdateSettings").compare(0, 1, "1") == 0;

    auto resetDates = [this] {
        uiFirstDayOut = leaveTime = Now();
        uiFirstDayBack = returnTime = OneDayAfter(uiFirstDayOut);
    };

    // 6. Whether out-of-office is on.
    const std::string taskState = ItemText(profileNote, "TaskState");
    const char state = taskState.empty() ? '\0' : taskState[0];
    bool resetByRow = false;
    if (state == '\0') {
        enabled = 0;
    } else if (state == '1' || state == '2') {
        if (agentType == 0) {
            now = Now();
            enabled = TimeDateCompare(&uiFirstDayBack, &now) >= 0 ? 1 : 0;
        } else if (EqualsNoCase(ItemText(profileNote, "AdminP_Status"), "ENABLE")) {
            enabled = 1;
        } else {
            enabled = IsAgentEnabled(true) ? 1 : 0;
        }
        resetByRow = state == '1';
    } else if (state == '0' || state == '3') {
        if (agentType == 0) {
            enabled = 0;
        } else if (EqualsNoCase(ItemText(profileNote, "AdminP_Status"), "DISABLE")) {
            enabled = 0;
        } else {
            enabled = IsAgentEnabled(true) ? 1 : 0;
        }
        resetByRow = state == '0';
    }
    if (resetByRow && enabled == 0 && !pending)
        resetDates();

    // 7. Dates of an earlier absence that is off are of no use.
    if (enabled == 0 && TimeDateDifference(&uiFirstDayBack, &now) < 0 &&
        TimeDateDifference(&uiFirstDayOut, &now) < 0) {
        resetDates();
    }

    // 8. The switches and the stored texts.
    if (ItemPresent(profileNote, "AppendSubject")) {
        appendSubjectPresent = 1;
        appendSubject = ItemText(profileNote, "AppendSubject").compare(0, 1, "1") == 0 ? 1 : 0;
    } else {
        appendSubjectPresent = 0;
        appendSubject = 0;
    }
    excludeInternetMail =
        ItemText(profileNote, "ExcludeInternetEmail").compare(0, 1, "1") == 0 ? 1 : 0;
    const std::string storedDate = WholeItemText(profileNote, "AppendSubjectDate");
    if (!storedDate.empty())
        appendSubjectDateValue = ToUtf8(storedDate);
    const std::string storedDaysOut = WholeItemText(profileNote, "DaysOut");
    if (!storedDaysOut.empty())
        daysOutValue = ToUtf8(storedDaysOut);

    // 9. The default templates.
    daysOut = "I am out of the office from var_First until var_Back.";
    daysOutS = "I am out of the office until var_Back.";
    daysOutV = "I am out of the office from var_First until var_Back.";
    appendSubjectDate = "(returning var_Back)";
    resetSubject = "var_User is Out Of Office";

    // 10 and 11. The templates of the user's own mail design.
    LearnTemplates(CommonName(ownerLmbcs));

    // 12. The names already notified, of this profile only.
    notifiedNames.clear();
    if (ItemPresent(profileNote, "Notified")) {
        const WORD count = NSFItemGetTextListEntries(profileNote, "Notified");
        for (WORD i = 0; i < count; i++) {
            char entry[kItemBuffer] = "";
            WORD length = NSFItemGetTextListEntry(profileNote, "Notified", i, entry, sizeof entry);
            if (length >= sizeof entry)
                length = sizeof entry - 1;
            if (length > 0)
                notifiedNames.push_back(
                    ToUtf8(name_forms::Abbreviated(std::string(entry, length))));
        }
    }
    if (serviceProfileNote != NULLHANDLE) {
        BLOCKID item = {};
        WORD type = 0;
        BLOCKID value = {};
        DWORD valueLength = 0;
        STATUS status =
            NSFItemInfo(serviceProfileNote, nullptr, 0, &item, &type, &value, &valueLength);
        while (status == NOERROR && !ISNULLBLOCKID(item)) {
            char name[kItemBuffer] = "";
            WORD nameLength = 0;
            NSFItemQuery(serviceProfileNote, item, name, sizeof name, &nameLength, nullptr, nullptr,
                         nullptr, nullptr);
            if (BeginsWithNoCase(name, nameLength, "Notified_")) {
                for (const std::string &entry : ValueTexts(value, valueLength)) {
                    if (entry.empty())
                        continue;
                    const std::string abbreviated = ToUtf8(name_forms::Abbreviated(entry));
                    bool listed = false;
                    for (const std::string &known : notifiedNames)
                        listed = listed || known == abbreviated;
                    if (!listed)
                        notifiedNames.push_back(abbreviated);
                }
            }
            const BLOCKID current = item;
            item = BLOCKID();
            status = NSFItemInfoNext(serviceProfileNote, current, nullptr, 0, &item, &type, &value,
                                     &valueLength);
        }
    }

    // 13. The learned templates are the mail design's LMBCS.
    daysOut = ToUtf8(daysOut);
    daysOutS = ToUtf8(daysOutS);
    appendSubjectDate = ToUtf8(appendSubjectDate);
    resetSubject = ToUtf8(resetSubject);
}

void IPHCR::LearnTemplates(const std::string &ownerCommonName) {
    // 10. Point the profile at the out-of-office form; without it the
    // defaults stand.
    if (NSFItemDelete(profileNote, "Form", NameLength("Form")) != NOERROR)
        return;
    if (NSFItemSetText(profileNote, "Form", kOutOfOfficeForm, MAXWORD) != NOERROR)
        return;
    const TIMEDATE t1 = Now();
    const TIMEDATE t2 = OneDayAfter(Now());
    if (ItemPresent(profileNote, "DaysOut")) {
        daysOutV = ToUtf8(WholeItemText(profileNote, "DaysOut"));
        NSFItemDelete(profileNote, "DaysOut", NameLength("DaysOut"));
    }

    // 11. Let the design compute the texts for known dates, then put the
    // placeholders where the dates and the owner's name stand.
    auto check = [](STATUS status) {
        if (status != NOERROR)
            throw LearningStopped();
    };
    auto compute = [this] {
        return NSFNoteComputeWithForm(profileNote, NULLHANDLE, 0, IgnoreCallback, nullptr);
    };
    auto setText = [this, &check](const char *item, const std::string &text) {
        check(NSFItemSetText(profileNote, item, text.c_str(), MAXWORD));
    };
    std::string f, b;
    try {
        DeleteIfPresent(profileNote, "FirstDayOut");
        DeleteIfPresent(profileNote, "FirstDayBack");
        DeleteIfPresent(profileNote, "GeneralSubject");
        check(NSFItemSetTime(profileNote, "FirstDayOut", &t1));
        check(NSFItemSetTime(profileNote, "FirstDayBack", &t2));
        check(EvaluateProfileFormula("@Text(FirstDayOut;\"T1\")", f));
        check(EvaluateProfileFormula("@Text(FirstDayBack;\"T1\")", b));
        if (compute() == NOERROR) {
            check(EvaluateProfileFormula("@Text(@Date(dateFirstDayOut))", f));
            check(EvaluateProfileFormula("@Text(@Date(dateFirstDayBack))", b));
            daysOut = WholeItemText(profileNote, "DaysOut");
            ReplaceFirst(daysOut, f, "var_First");
            ReplaceFirst(daysOut, b, "var_Back");
            resetSubject = WholeItemText(profileNote, "GeneralSubject");
            ReplaceFirst(resetSubject, ownerCommonName, "var_User");
            daysOutS = daysOut;
            appendSubjectDate.clear();
            return;
        }
        // The design's dates did not compute from time values: give it the
        // date texts instead.
        for (const char *item :
             {"DaysOut", "FirstDayOut", "FirstDayBack", "StartTime", "EndTime", "ShowHours"}) {
            DeleteIfPresent(profileNote, item);
        }
        setText("FirstDayOut", f);
        setText("StartTime", f);
        setText("FirstDayBack", b);
        setText("EndTime", b);
        setText("ShowHours", "1");
        check(compute());
        daysOut = WholeItemText(profileNote, "DaysOut");
        ReplaceFirst(daysOut, f, "var_First");
        ReplaceFirst(daysOut, b, "var_Back");
        for (const char *item : {"DaysOut", "FirstDayOut", "FirstDayBack", "ShowHours"})
            DeleteIfPresent(profileNote, item);
        setText("FirstDayOut", f);
        setText("FirstDayBack", b);
        check(EvaluateProfileFormula("@Text(dateFirstDayOut;\"S0\")", f));
        check(EvaluateProfileFormula("@Text(dateFirstDayBack;\"S0\")", b));
        check(compute());
        daysOutS = WholeItemText(profileNote, "DaysOut");
        ReplaceFirst(daysOutS, f, "var_First");
        ReplaceFirst(daysOutS, b, "var_Back");
        appendSubjectDate = WholeItemText(profileNote, "AppendSubjectDate");
        ReplaceFirst(appendSubjectDate, b, "var_Back");
        resetSubject = WholeItemText(profileNote, "GeneralSubject");
        ReplaceFirst(resetSubject, ownerCommonName, "var_User");
        if (appendSubjectPresent == 0)
            daysOut = daysOutS;
    } catch (const LearningStopped &) {
        // the templates keep what they had reached
    }
}
