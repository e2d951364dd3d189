// Out-of-office switched on and off through the mail file's "OutOfOffice"
// agent: its design note is rewritten, signed with the server's ID and
// saved; the profile's status items, the busy time and the notification
// items of "ooserviceprofile" follow.
#include <cstring>

#include "iphcr.h"
#include "ip_exception.h"
#include "note_items.h"

namespace {

constexpr WORD kTextBuffer = 256;
constexpr WORD kNameBuffer = 1024;
// The assistant-information value in memory: the data type word, then the
// record in its on-disk form.
constexpr WORD kAssistInfoBlock = 0x4000;

using note_items::NameLength;
using note_items::RemoveIfPresent;

STATUS AppendText(NOTEHANDLE note, WORD flags, const char *item, const std::string &text) {
    return NSFItemAppend(note, flags, item, NameLength(item), TYPE_TEXT, text.data(),
                         static_cast<DWORD>(text.size()));
}

// "$AssistInfo" raised to version 2 when it holds a whole record of a lower
// version; any other value is left as it is.
STATUS RaiseAssistInfoVersion(NOTEHANDLE note) {
    const char kItem[] = "$AssistInfo";
    WORD type = 0;
    BLOCKID value = {};
    DWORD length = 0;
    const STATUS found =
        NSFItemInfo(note, kItem, NameLength(kItem), nullptr, &type, &value, &length);
    if (found != NOERROR)
        return found == ERR_ITEM_NOT_FOUND ? NOERROR : found;
    if (type != TYPE_ASSISTANT_INFO)
        return NOERROR;
    const WORD recordLength = ODSLength(_ASSISTANT_INFO);
    if (recordLength == 0)
        return ERR_ODS_UNKNOWN_TYPE;  // its size unknown, the record cannot be read
    if (length < sizeof(WORD) + recordLength)
        return NOERROR;
    ASSISTANT_INFO info;
    const void *record = OSLockBlock(char, value) + sizeof(WORD);
    STATUS status = ODSReadMemory(&record, _ASSISTANT_INFO, &info, 1);
    OSUnlockObject(value.pool);
    if (status != NOERROR || info.Version >= 2)
        return status;
    info.Version = 2;

    const DWORD blockLength = sizeof(WORD) + recordLength;
    DHANDLE block = NULLHANDLE;
    status = OSMemAlloc(kAssistInfoBlock, blockLength, &block);
    if (status != NOERROR)
        return status;
    char *bytes = static_cast<char *>(OSLockObject(block));
    const WORD dataType = TYPE_ASSISTANT_INFO;
    std::memcpy(bytes, &dataType, sizeof dataType);
    void *at = bytes + sizeof dataType;
    status = ODSWriteMemory(&at, _ASSISTANT_INFO, &info, 1);
    OSUnlockObject(block);
    if (status == NOERROR)
        status = NSFItemDelete(note, kItem, NameLength(kItem));
    if (status == NOERROR) {
        const BLOCKID blockId = {block, 0};
        // The note takes the block over when the append works.
        status = NSFItemAppendByBLOCKID(note, ITEM_SIGN, kItem, NameLength(kItem), blockId,
                                        blockLength, nullptr);
    }
    if (status != NOERROR)
        OSMemFree(block);
    return status;
}

}  // namespace

int32_t IPHCR::setAgentEnable(bool on) {
    const char kContext[] = "setAgentEnable";
    if (mailDb == NULLHANDLE)
        return 0;
    const WORD signSummary = ITEM_SIGN | ITEM_SUMMARY;
    NOTEID id = 0;
    STATUS status = FindAgentNote(id);
    note_items::OpenNote note;
    if (status == NOERROR)
        status = NSFNoteOpen(mailDb, id, 0, &note.handle);
    if (status != NOERROR) {
        note.handle = NULLHANDLE;
        ThrowStatus(kContext, status);
    }
    auto check = [this, &kContext](STATUS status) {
        if (status != NOERROR)
            ThrowStatus(kContext, status);  // the note is closed unsaved
    };
    const NOTEHANDLE h = note.handle;

    check(RemoveIfPresent(h, "$UpdatedBy"));
    check(RemoveIfPresent(h, "$MachineName"));
    // Flag texts are taken whole: a cut text written back would lose flags.
    std::string assistFlags;
    bool present = false;
    check(note_items::Find(h, "$AssistFlags", present));
    if (present) {
        assistFlags = note_items::WholeText(h, "$AssistFlags");
        check(NSFItemDelete(h, "$AssistFlags", NameLength("$AssistFlags")));
    }
    check(AppendText(h, signSummary, "$MachineName", mailServer));
    check(AppendText(h, ITEM_SUMMARY, "$UpdatedBy", mailServer));

    if (on) {
        check(RaiseAssistInfoVersion(h));
        if (assistFlags.find('E') == std::string::npos)
            assistFlags += 'E';
        check(AppendText(h, signSummary, "$AssistFlags", assistFlags));
        check(RemoveIfPresent(h, "$OnBehalfOf"));
        check(AppendText(h, signSummary, "$OnBehalfOf", CalendarOwner()));
        // An enabled agent is an activated one: "a" in "$FlagsExt", also
        // when the note had no such item.
        bool hasFlagsExt = false;
        check(note_items::Find(h, "$FlagsExt", hasFlagsExt));
        std::string flagsExt = note_items::WholeText(h, "$FlagsExt");
        if (!hasFlagsExt || flagsExt.find('a') == std::string::npos) {
            if (hasFlagsExt)
                check(NSFItemDelete(h, "$FlagsExt", NameLength("$FlagsExt")));
            flagsExt += 'a';
            check(AppendText(h, signSummary, "$FlagsExt", flagsExt));
        }
        NUMBER restricted = 0;
        bool hasRestricted = false;
        check(note_items::Find(h, "$Restricted", hasRestricted));
        if (!hasRestricted || !NSFItemGetNumber(h, "$Restricted", &restricted) || restricted != 0) {
            if (hasRestricted)
                check(NSFItemDelete(h, "$Restricted", NameLength("$Restricted")));
            const NUMBER zero = 0;
            check(NSFItemAppend(h, signSummary, "$Restricted", NameLength("$Restricted"),
                                TYPE_NUMBER, &zero, sizeof zero));
        }
        check(RemoveIfPresent(h, "$AssistFlags2"));
    } else {
        const std::string::size_type first = assistFlags.find('E');
        if (first != std::string::npos)
            assistFlags.erase(first, 1);
        check(AppendText(h, signSummary, "$AssistFlags", assistFlags));
    }
    check(NSFNoteSign(h));
    check(NSFNoteUpdate(h, UPDATE_FORCE));
    return 1;
}

STATUS IPHCR::RemoveNotifiedItems() {
    const NOTEHANDLE note = serviceProfileNote;
    BLOCKID item = {};
    STATUS status = NSFItemInfo(note, nullptr, 0, &item, nullptr, nullptr, nullptr);
    bool removed = false;
    while (status == NOERROR && !ISNULLBLOCKID(item)) {
        char name[kNameBuffer] = "";
        WORD nameLength = 0;
        NSFItemQuery(note, item, name, sizeof name, &nameLength, nullptr, nullptr, nullptr,
                     nullptr);
        // The next item is found before this one may go.
        BLOCKID next = {};
        const bool last =
            NSFItemInfoNext(note, item, nullptr, 0, &next, nullptr, nullptr, nullptr) != NOERROR;
        if (note_items::BeginsWithNoCase(name, nameLength, "Notified_")) {
            if (STATUS deleted = NSFItemDeleteByBLOCKID(note, item))
                return deleted;
            removed = true;
        }
        if (last)
            break;
        item = next;
    }
    return removed ? NSFNoteUpdate(note, 0) : NOERROR;
}

int32_t IPHCR::EnableByAgent() {
    if (IsAgentEnabled(false)) {
        SetTaskType(1);
        SetTaskState(0);
        return 1;
    }
    ValidateSettings();
    SetOptionField("UserDefineProhibitDesignUpdate", 1);
    setAgentEnable(true);
    SetTaskType(1);
    SetTaskState(1);
    // Who was told of the absence before is told again; a failure here only
    // leaves the old names.
    if (serviceProfileNote != NULLHANDLE)
        RemoveNotifiedItems();
    if (!IsAgentEnabled(true))
        return 0;
    if (note_items::Text(profileNote, "BookBusyTime", kTextBuffer).compare(0, 1, "1") == 0)
        BookBusyTime();
    SetOptionField("AgentLastRun", 2);
    SetOptionField("CurrentStatus", 1);
    SetOptionField("AdminP_Status", 3);
    SetOptionField("Notified", 3);
    SetOptionField("NotificationReport", 3);
    SetTaskType(1);
    SetTaskState(1);
    return 1;
}

// Succeeds once the agent is switched off: a profile that records no
// calendar entry has none to free, which is the common case and no failure.
int32_t IPHCR::DisableByAgent() {
    if (!IsAgentEnabled(false)) {
        SetTaskType(1);
        SetTaskState(1);
        return 1;
    }
    const int32_t switched = setAgentEnable(false);
    SetOptionField("CurrentStatus", 0);
    SetOptionField("AdminP_Status", 3);
    SetOptionField("Notified", 3);
    SetOptionField("NotificationReport", 3);
    SetTaskType(1);
    SetTaskState(0);
    RemoveBusyTime();
    if (!wasDisabledBefore)
        ResetDateTime(11);
    return switched;
}
