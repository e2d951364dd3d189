#include "agents.h"

#include "registry.h"

// Agent handles are registered by the calls that open agents; a handle
// value beyond 32 bits was never handed out and is ignored like any other
// unknown one.
void LNPUBLIC AgentClose(HAGENT hAgent) {
    if (hAgent == 0 || hAgent > 0xFFFFFFFFu)
        return;
    notes_internal::ReleaseHandle(notes_internal::HandleKind::Agent, static_cast<DHANDLE>(hAgent));
}
