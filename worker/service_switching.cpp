// Out-of-office switched on and off through the server's out-of-office
// service: the service serves a mail file whose icon note's "$Flags" holds
// "O". Switching off leaves the icon note as it is.
#include <string>

#include "iphcr.h"
#include "ip_exception.h"
#include "note_items.h"

namespace {

constexpr WORD kTextBuffer = 256;
const NOTEID kIconNote = NOTE_ID_SPECIAL | NOTE_CLASS_ICON;

}  // namespace

int32_t IPHCR::IsServiceEnabled() {
    note_items::OpenNote icon;
    if (STATUS status = NSFNoteOpen(mailDb, kIconNote, 0, &icon.handle)) {
        icon.handle = NULLHANDLE;
        ThrowStatus("IsServiceEnabled", status);
    }
    return note_items::WholeText(icon.handle, "$Flags").find('O') != std::string::npos ? 1 : 0;
}

int32_t IPHCR::EnableService() {
    const char kContext[] = "EnableService";
    SaveHCRProfile(false);
    note_items::OpenNote icon;
    STATUS status = NSFNoteOpen(mailDb, kIconNote, 0, &icon.handle);
    if (status != NOERROR) {
        icon.handle = NULLHANDLE;
        ThrowStatus(kContext, status);
    }
    if (IsServiceEnabled()) {
        // On already: the icon note and the notified names stay as they are.
        icon.Close();
    } else {
        const NOTEHANDLE h = icon.handle;
        // Read whole: other flags of the database must not be cut off.
        std::string flags = note_items::WholeText(h, "$Flags");
        if (flags.find('O') == std::string::npos)
            flags += 'O';
        status = note_items::ReplaceText(h, "$Flags", flags);
        // The profile's sequence as just saved, one step behind.
        OID oid;
        NSFNoteGetInfo(profileNote, _NOTE_OID, &oid);
        const NUMBER sequence = static_cast<DWORD>(oid.Sequence - 1u);
        TIMEDATE sequenceTime = oid.SequenceTime;
        if (status == NOERROR)
            status = TimeDateAdjust(&sequenceTime, -1, 0, 0, 0, 0, 0);
        if (status == NOERROR)
            status = note_items::RemoveIfPresent(h, "$OOOProfSeqNum");
        if (status == NOERROR)
            status = NSFItemSetNumber(h, "$OOOProfSeqNum", &sequence);
        if (status == NOERROR)
            status = note_items::ReplaceTime(h, "$OOOProfSeqTime", sequenceTime);
        if (status == NOERROR)
            status = NSFNoteSign(h);
        if (status == NOERROR)
            status = NSFNoteUpdate(h, 0);
        icon.Close();
        if (status == NOERROR && serviceProfileNote != NULLHANDLE)
            status = RemoveNotifiedItems();
    }
    if (status != NOERROR)
        ThrowStatus(kContext, status);
    if (!IsServiceEnabled())
        return 0;
    if (note_items::Text(profileNote, "BookBusyTime", kTextBuffer).compare(0, 1, "1") == 0)
        BookBusyTime();
    SetOptionField("CurrentStatus", 1);
    SetTaskType(2);
    SetTaskState(1);
    SetOptionField("Notified", 2);
    SaveHCRProfile(false);
    return 1;
}

int32_t IPHCR::DisableService() {
    RemoveBusyTime();
    SetOptionField("CurrentStatus", 0);
    SetTaskType(2);
    SetTaskState(0);
    if (!wasDisabledBefore)
        ResetDateTime(11);
    return 1;
}
