// The mail file's "OutOfOffice" agent, for mail files whose out-of-office
// runs through it.
#include <cstring>

#include "iphcr.h"
#include "ip_exception.h"

STATUS IPHCR::FindAgentNote(NOTEID &id) {
    id = 0;
    return NIFFindDesignNoteExt(mailDb, "OutOfOffice", NOTE_CLASS_FILTER, nullptr, &id, 0);
}

bool IPHCR::getAgent(bool reopen) {
    if (reopen && agent != 0) {
        AgentClose(agent);
        agent = 0;
    }
    if (agent != 0 || mailDb == NULLHANDLE)
        return false;
    NOTEID id = 0;
    STATUS status = FindAgentNote(id);
    if (status == NOERROR)
        status = AgentOpen(mailDb, id, &agent);
    if (status != NOERROR) {
        agent = 0;
        ThrowStatus("getAgent", status);
    }
    return true;
}

bool IPHCR::IsAgentEnabled(bool reopen) {
    getAgent(reopen);
    if (agent == 0)
        return true;  // no mail file open: nothing says otherwise
    return AgentIsEnabled(agent) != FALSE;
}

bool IPHCR::isAgentActivation() {
    if (mailDb == NULLHANDLE)
        return false;
    NOTEID id = 0;
    STATUS status = FindAgentNote(id);
    NOTEHANDLE note = NULLHANDLE;
    if (status == NOERROR)
        status = NSFNoteOpen(mailDb, id, 0, &note);
    if (status != NOERROR)
        ThrowStatus("isAgentActivation", status);
    char flags[256] = "";
    NSFItemGetText(note, "$FlagsExt", flags, sizeof flags);
    NSFNoteClose(note);
    return std::strchr(flags, 'a') != nullptr;
}
