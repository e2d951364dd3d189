// The user's settings written into the "OutOfOfficeProfile" note. Every
// change stays in memory until SaveHCRProfile saves the note; the worker's
// reset closes it unsaved, so whatever a request changed after its last save
// is dropped.
#include <cstdio>
#include <cstring>

#include "iphcr.h"
#include "ip_exception.h"
#include "note_items.h"
#include "xml_string_translate.h"

namespace {

constexpr WORD kTextBuffer = 256;

// What the state reply can carry of one text: XMLStringTranslate converts at
// most this many UTF-16 units.
constexpr size_t kMaxReplyUnits = 16383;

using note_items::ReplaceText;
using note_items::ReplaceTime;

// The value and its date part and time part into three items.
STATUS ReplaceTimeAndParts(NOTEHANDLE note, const TIMEDATE &value, const char *whole,
                           const char *datePart, const char *timePart) {
    TIMEDATE date, time;
    STATUS status = ReplaceTime(note, whole, value);
    if (status == NOERROR)
        status = TimeDateSplit(&value, TIMEDATE_PART_DATE, &date);
    if (status == NOERROR)
        status = ReplaceTime(note, datePart, date);
    if (status == NOERROR)
        status = TimeDateSplit(&value, TIMEDATE_PART_TIME, &time);
    if (status == NOERROR)
        status = ReplaceTime(note, timePart, time);
    return status;
}

// UTF-16 units of a UTF-8 text: one per character, two beyond the first
// plane.
size_t Utf16Units(const std::string &utf8) {
    size_t units = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80)
            units += c >= 0xF0 ? 2 : 1;
    }
    return units;
}

// Whether an LMBCS text of the request is stored whole (an item's text
// counts in 16 bits, of which the largest value means "up to the NUL") and
// comes back whole in the state reply.
bool FitsWhole(const std::string &lmbcs) {
    if (lmbcs.size() >= MAXWORD)
        return false;
    std::string utf8 = lmbcs;
    XMLStringTranslate::LmbcsToUtf8InPlace(utf8);
    return Utf16Units(utf8) <= kMaxReplyUnits;
}

void RemoveCarriageReturns(std::string &text) {
    std::string::size_type to = 0;
    for (char c : text) {
        if (c != '\r')
            text[to++] = c;
    }
    text.resize(to);
}

}  // namespace

int32_t IPHCR::SetOptionField(const char *item, WORD option) {
    if (profileNote == NULLHANDLE)
        return 0;
    STATUS status = NOERROR;
    switch (option) {
        case 0:
            status = ReplaceText(profileNote, item, "0");
            break;
        case 1:
            status = ReplaceText(profileNote, item, "1");
            break;
        case 2:
            status = note_items::RemoveIfPresent(profileNote, item);
            break;
        case 3:
            status = ReplaceText(profileNote, item, "");
            break;
        default:
            break;
    }
    if (status != NOERROR)
        ThrowStatus("SetOptionField", status);
    return 1;
}

int32_t IPHCR::SetTaskState(WORD value) {
    return SetDecimalText("TaskState", value, "SetTaskState");
}

int32_t IPHCR::SetTaskType(WORD value) {
    return SetDecimalText("TaskType", value, "SetTaskType");
}

int32_t IPHCR::SetDecimalText(const char *item, WORD value, const char *context) {
    if (profileNote == NULLHANDLE)
        return 0;
    char text[kTextBuffer];
    std::snprintf(text, sizeof text, "%d", value);
    if (STATUS status = ReplaceText(profileNote, item, text))
        ThrowStatus(context, status);
    return 1;
}

int32_t IPHCR::SetSaveOptions(double value) {
    if (profileNote == NULLHANDLE)
        return 0;
    STATUS status = note_items::RemoveIfPresent(profileNote, "SaveOptions");
    if (status == NOERROR)
        status = NSFItemSetNumber(profileNote, "SaveOptions", &value);
    if (status != NOERROR)
        ThrowStatus("SetSaveOptions", status);
    return 1;
}

void IPHCR::UpdateStatusFields() {
    if (agentType == 0 &&
        note_items::Text(profileNote, "ShowHours", kTextBuffer).compare(0, 1, "1") == 0) {
        SetOptionField("ShowHours", 1);
    }
    SetSaveOptions(0);
    if (enabled) {
        SetOptionField("CurrentStatus", 1);
    } else {
        SetOptionField("CurrentStatus", 0);
        SetOptionField("NotificationConfirmation", 0);
    }
    SetOptionField("AdminP_Counter", 0);
    SetOptionField("AdminP_Status", 3);
}

void IPHCR::setHCRContent() {
    const char kContext[] = "setHCRContent";
    // A text cut on its way into the profile, or one that the reply cannot
    // show whole, would silently lose the user's words: such a request is
    // refused before anything is written, switched or saved.
    std::string messageText = message;
    RemoveCarriageReturns(messageText);
    const struct {
        const char *name;
        const std::string &text;
    } texts[] = {{"Message", messageText},
                 {"Subject", subject},
                 {"DaysOut", daysOut},
                 {"AppendSubjectDate", appendSubjectDate}};
    for (const auto &t : texts) {
        if (!FitsWhole(t.text))
            throw IPException(kContext, std::string(t.name) + " is too long to be saved.");
    }

    auto check = [this, &kContext](STATUS status) {
        if (status != NOERROR)
            ThrowStatus(kContext, status);
    };
    bool present = false;
    check(note_items::Find(profileNote, "TaskState", present));
    if (present) {
        if (!enabled &&
            note_items::Text(profileNote, "TaskState", kTextBuffer).compare(0, 1, "0") == 0) {
            wasDisabledBefore = 1;
        }
        check(NSFItemDelete(profileNote, "TaskState", note_items::NameLength("TaskState")));
    }
    check(ReplaceText(profileNote, "TaskState", enabled ? "1" : "0"));
    check(ReplaceText(profileNote, "GeneralSubject", subject));
    message = messageText;
    check(ReplaceText(profileNote, "GeneralMessage", message));
    check(
        ReplaceTimeAndParts(profileNote, leaveTime, "dateFirstDayOut", "FirstDayOut", "StartTime"));
    check(ReplaceTimeAndParts(profileNote, returnTime, "dateFirstDayBack", "FirstDayBack",
                              "EndTime"));
    check(ReplaceText(profileNote, "ShowHours", showHours));
    check(ReplaceText(profileNote, "DaysOut", daysOut));
    if (appendSubjectPresent) {
        check(ReplaceText(profileNote, "AppendSubjectDate", appendSubjectDate));
        check(ReplaceText(profileNote, "AppendSubject", appendSubject ? "1" : "0"));
    }
    check(ReplaceText(profileNote, "ExcludeInternetEmail", excludeInternetMail ? "1" : "0"));
}

int32_t IPHCR::ResetDateTime(WORD mode) {
    if (mode != 11)
        return 0;
    TIMEDATE now, date, time;
    OSCurrentTIMEDATE(&now);
    STATUS status = TimeDateSplit(&now, TIMEDATE_PART_DATE, &date);
    if (status == NOERROR)
        status = ReplaceTime(profileNote, "FirstDayBack", date);
    if (status == NOERROR)
        status = TimeDateSplit(&now, TIMEDATE_PART_TIME, &time);
    if (status == NOERROR)
        status = ReplaceTime(profileNote, "EndTime", time);
    if (status != NOERROR)
        ThrowStatus("ResetDateTime", status);
    return 1;
}

// The profile is completed and saved. Its "Form" names the mail design's
// form "(Out Of Office Profile)" by its alias "OutofOfficeProfile", and
// computing the note with that form changes these saved items:
// "dateFirstDayOut" and "dateFirstDayBack" (from "FirstDayOut" with
// "StartTime" and "FirstDayBack" with "EndTime"), "DaysOut" (its text of
// the dates), and "GeneralSubject" and "AppendSubjectDate" only when the
// profile has none. "AppendSubjectDate" and "DaysOut" are then written from
// the request, so the form's texts of those two never reach the save.
int32_t IPHCR::SaveHCRProfile(bool removeForm) {
    const char kContext[] = "SaveHCRProfile";
    auto check = [this, &kContext](STATUS status) {
        if (status != NOERROR)
            ThrowStatus(kContext, status);
    };
    if (!note_items::Text(profileNote, "$MachineName", kTextBuffer).empty())
        check(ReplaceText(profileNote, "OwnerMailFile", mailServer));
    if (removeForm)
        SetOptionField("Form", 2);
    bool hasForm = false;
    check(note_items::Find(profileNote, "Form", hasForm));
    if (!hasForm)
        check(ReplaceText(profileNote, "Form", "OutofOfficeProfile"));
    NSFNoteComputeWithForm(profileNote, NULLHANDLE, 0, IgnoreCallback, nullptr);
    check(ReplaceText(profileNote, "AppendSubjectDate", appendSubjectDate));
    check(note_items::RemoveIfPresent(profileNote, "DaysOut"));
    check(note_items::RemoveIfPresent(profileNote, "DaysOutDisplay"));
    check(ReplaceText(profileNote, "DaysOut", daysOut));
    check(NSFNoteUpdate(profileNote, 0));
    // The profile now records the entry that this request made, if any.
    entryUnrecorded = false;
    return 1;
}
