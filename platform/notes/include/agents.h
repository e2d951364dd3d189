// Agents.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// Closes an agent handle; an unknown handle, or one of another kind, is
// ignored.
void LNPUBLIC AgentClose(HAGENT hAgent);

NOTES_EXTERN_C_END
