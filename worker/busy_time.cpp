// The busy-time calendar entry: one "Appointment" per mail file, recorded
// by its UNID in the profile's "CalendarEntryUNID", moved to the new dates
// when booked again and marked free (never deleted) when out-of-office ends.
#include <cstdio>
#include <cstring>

#include "iphcr.h"
#include "ip_exception.h"
#include "note_items.h"

namespace {

constexpr WORD kTextBuffer = 256;

using note_items::RemoveIfPresent;
using note_items::ReplaceText;
using note_items::ReplaceTime;

// The open of a recorded entry that the user deleted, or that the recorded
// text does not name: the entry is gone, not the mail file at fault.
bool EntryGone(STATUS status) {
    return status == ERR_UNID_NOT_FOUND || status == ERR_NOTE_DELETED;
}

std::string UnidText(const UNID &unid) {
    char text[33];
    std::snprintf(text, sizeof text, "%.8X%.8X%.8X%.8X", unid.File.Innards[1], unid.File.Innards[0],
                  unid.Note.Innards[1], unid.Note.Innards[0]);
    return text;
}

// Busy: "$BusyPriority" "1" and "BookFreeTime" empty; free: "2" and "1".
STATUS SetMark(NOTEHANDLE entry, bool busy) {
    STATUS status = ReplaceText(entry, "$BusyPriority", busy ? "1" : "2");
    if (status == NOERROR)
        status = ReplaceText(entry, "BookFreeTime", busy ? "" : "1");
    return status;
}

// The four date items of an entry, each replaced: the start at the leave
// time, the end at the return time.
STATUS SetEntryDates(NOTEHANDLE entry, const TIMEDATE &start, const TIMEDATE &end) {
    STATUS status = NOERROR;
    for (const char *item : {"StartDate", "StartDateTime"}) {
        if (status == NOERROR)
            status = ReplaceTime(entry, item, start);
    }
    for (const char *item : {"EndDate", "EndDateTime"}) {
        if (status == NOERROR)
            status = ReplaceTime(entry, item, end);
    }
    return status;
}

// Opens the entry that the UNID text names; the handle stays 0 on failure.
STATUS OpenEntry(DBHANDLE db, const std::string &unidText, note_items::OpenNote &entry) {
    UNID unid;
    IPHCR::ParseUnidText(unidText, unid);
    STATUS status = NSFNoteOpenByUNID(db, &unid, 0, &entry.handle);
    if (status != NOERROR)
        entry.handle = NULLHANDLE;
    return status;
}

}  // namespace

STATUS IPHCR::RewriteEntry(NOTEHANDLE entry, bool busy) {
    GetUITimes();
    STATUS status = SetEntryDates(entry, uiFirstDayOut, uiFirstDayBack);
    if (status == NOERROR)
        status = RemoveIfPresent(entry, "$BusyPriority");
    if (status == NOERROR)
        status = SetMark(entry, busy);
    if (status == NOERROR)
        status = NSFNoteUpdate(entry, 0);
    return status;
}

std::string IPHCR::CalendarOwner() {
    const char kProfile[] = "CalendarProfile";
    const char kField[] = "Owner";
    WORD type = 0;
    BLOCKID value = {};
    DWORD length = 0;
    if (NSFProfileGetField(mailDb, kProfile, note_items::NameLength(kProfile), nullptr, 0, kField,
                           note_items::NameLength(kField), &type, &value, &length) != NOERROR) {
        return userName;
    }
    std::string owner;
    const char *pool = static_cast<const char *>(OSLockObject(value.pool));
    if (pool != nullptr && length >= sizeof(WORD)) {
        const char *bytes = pool + value.block;
        char *entry = nullptr;
        WORD entryLength = 0;
        if (type == TYPE_TEXT) {
            owner.assign(bytes + sizeof(WORD), length - sizeof(WORD));
        } else if (type == TYPE_TEXT_LIST &&
                   ListGetText(bytes, TRUE, 0, &entry, &entryLength) == NOERROR) {
            owner.assign(entry, entryLength);
        }
    }
    if (pool != nullptr)
        OSUnlockObject(value.pool);
    OSMemFree(value.pool);  // the value block is ours
    // An empty owner is nobody: the entry, and an agent, would act for no
    // one.
    return owner.empty() ? userName : owner;
}

void IPHCR::HexToUInt32(const std::string &text, uint32_t &value) {
    value = 0;
    uint32_t weight = 1;
    for (size_t k = 0; k < text.size(); k++) {
        const unsigned char c = static_cast<unsigned char>(text[text.size() - 1 - k]);
        uint32_t digit;
        if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10u;
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10u;
        else
            digit = static_cast<uint32_t>(static_cast<int32_t>(c) - '0');
        value += digit * weight;  // wraps, as 32-bit arithmetic does
        weight *= 16u;            // 0 from the ninth digit on
    }
}

void IPHCR::ParseUnidText(const std::string &text, UNID &unid) {
    auto group = [&text](size_t n) {
        uint32_t value = 0;
        if (text.size() > 8 * n)
            HexToUInt32(text.substr(8 * n, 8), value);
        return value;
    };
    unid.File.Innards[1] = group(0);
    unid.File.Innards[0] = group(1);
    unid.Note.Innards[1] = group(2);
    unid.Note.Innards[0] = group(3);
}

int32_t IPHCR::BookBusyTime() {
    const char kContext[] = "BookBusyTime";
    if (mailDb == NULLHANDLE)
        return 0;
    const std::string recorded = note_items::Text(profileNote, "CalendarEntryUNID", kTextBuffer);
    if (!recorded.empty()) {
        note_items::OpenNote entry;
        STATUS status = OpenEntry(mailDb, recorded, entry);
        // An entry that is gone is replaced by a new one below.
        if (!EntryGone(status)) {
            if (status != NOERROR)
                ThrowStatus(kContext, status);
            const bool busy =
                note_items::Text(profileNote, "BookBusyTime", kTextBuffer).compare(0, 1, "1") == 0;
            status = RewriteEntry(entry.handle, busy);
            entry.Close();
            if (status != NOERROR)
                ThrowStatus(kContext, status);
            return 1;
        }
    }

    const std::string owner = CalendarOwner();
    note_items::OpenNote entry;
    STATUS status = NSFNoteCreate(mailDb, &entry.handle);
    if (status != NOERROR) {
        entry.handle = NULLHANDLE;
        ThrowStatus(kContext, status);
    }
    status = NSFItemSetText(entry.handle, "Form", "Appointment", MAXWORD);
    if (status == NOERROR) {
        GetUITimes();
        status = SetEntryDates(entry.handle, uiFirstDayOut, uiFirstDayBack);
    }
    const struct {
        const char *item;
        const char *text;
    } texts[] = {{"From", nullptr},        {"PRINCIPAL", nullptr},   {"$BusyName", nullptr},
                 {"$BusyPriority", "1"},   {"BookFreeTime", ""},     {"$PublicAccess", "1"},
                 {"AppointmentType", "2"}, {"ExcludeFromView", "D"}, {"Subject", "Out Of Office"}};
    for (const auto &t : texts) {
        if (status == NOERROR)
            status = note_items::SetText(entry.handle, t.item, t.text ? t.text : owner);
    }
    const NUMBER viewIcon = 9;
    if (status == NOERROR)
        status = NSFItemSetNumber(entry.handle, "_ViewIcon", &viewIcon);
    if (status == NOERROR)
        status = NSFItemSetText(entry.handle, "CreatedByAgent", "1", MAXWORD);
    if (status == NOERROR)
        status = NSFNoteUpdate(entry.handle, 0);
    if (status == NOERROR) {
        OID oid;
        NSFNoteGetInfo(entry.handle, _NOTE_OID, &oid);
        unrecordedEntry.File = oid.File;
        unrecordedEntry.Note = oid.Note;
        entryUnrecorded = true;
        const std::string unid = UnidText(unrecordedEntry);
        status = NSFItemSetText(entry.handle, "ApptUNID", unid.c_str(), MAXWORD);
        if (status == NOERROR)
            status = NSFNoteUpdate(entry.handle, 0);
        if (status == NOERROR)
            status = NSFItemSetText(profileNote, "CalendarEntryUNID", unid.c_str(), MAXWORD);
        if (status == NOERROR)
            SetOptionField("OwnerOfCalendarEntry", 2);
    }
    entry.Close();
    if (status != NOERROR)
        ThrowStatus(kContext, status);
    return 1;
}

int32_t IPHCR::RemoveBusyTime() {
    const char kContext[] = "RemoveBusyTime";
    const std::string recorded = note_items::Text(profileNote, "CalendarEntryUNID", kTextBuffer);
    if (recorded.empty())
        return 0;
    auto forget = [this] {
        SetOptionField("OwnerOfCalendarEntry", 2);
        SetOptionField("CalendarEntryUNID", 2);
    };
    note_items::OpenNote entry;
    STATUS status = OpenEntry(mailDb, recorded, entry);
    if (EntryGone(status)) {
        // Nothing is left to free: the profile forgets it and goes on.
        forget();
        return 0;
    }
    if (status != NOERROR)
        ThrowStatus(kContext, status);
    // The entry keeps its place in the calendar, at the profile's dates.
    status = RewriteEntry(entry.handle, false);
    entry.Close();
    forget();
    if (status != NOERROR)
        ThrowStatus(kContext, status);
    return 1;
}

void IPHCR::FreeUnrecordedEntry() {
    if (!entryUnrecorded || mailDb == NULLHANDLE)
        return;
    entryUnrecorded = false;
    // Best effort: the request fails with its own error either way.
    note_items::OpenNote entry;
    if (OpenEntry(mailDb, UnidText(unrecordedEntry), entry) != NOERROR)
        return;
    if (SetMark(entry.handle, false) == NOERROR)
        NSFNoteUpdate(entry.handle, 0);
}
