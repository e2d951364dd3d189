// The mail file's "OutOfOffice" agent, for mail files whose out-of-office
// runs through it.
#include "iphcr.h"
#include "ip_exception.h"

bool IPHCR::IsAgentEnabled(bool reopen) {
    getAgent(reopen);
    if (agent == 0)
        return true;  // no mail file open: nothing says otherwise
    return AgentIsEnabled(agent) != FALSE;
}
