// Agents.
//
// What the worker may rely on:
// - An agent is the design note of class NOTE_CLASS_FILTER that holds it;
//   AgentOpen takes that note's ID. Any other class gives ERR_NOT_AN_AGENT;
//   a missing note, note ID 0 or a deletion stub give the statuses of
//   NSFNoteOpen (ERR_INVALID_NOTE, ERR_NOTE_DELETED).
// - An open agent is what its note held when it was opened: a change saved
//   afterwards (through a note handle, by another request, by another
//   process) is not seen until the agent is opened again. To see another
//   request's change, close the agent and open it anew.
// - AgentIsEnabled is TRUE when the note's "$AssistFlags" (its text, or the
//   first entry of a text list) holds "E", case-sensitive. FALSE otherwise,
//   and for a closed or unknown handle.
// - An agent handle does not hold its database: it stays usable after
//   NSFDbClose. The end of the runtime closes every agent still open.
// - An HAGENT is 64 bits wide; the values handed out fit in 32 bits.
// - Fault points (standin/fault.h): "AgentOpen" with the database's path,
//   and "AgentIsEnabled" with the path of the agent's database (an armed
//   rule makes it answer FALSE).
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// Opens the agent whose design note has the ID AgentNoteID (a note ID of
// NOTE_ID_SPECIAL | class is resolved as by NSFNoteOpen). *rethAgent is 0
// unless the call succeeds. ERR_BAD_PARAM for a null rethAgent.
STATUS LNPUBLIC AgentOpen(DBHANDLE hDB, NOTEID AgentNoteID, HAGENT far *rethAgent);

// Whether the agent was enabled when it was opened.
BOOL LNPUBLIC AgentIsEnabled(HAGENT hAgent);

// Closes an agent handle; an unknown handle, or one of another kind, is
// ignored.
void LNPUBLIC AgentClose(HAGENT hAgent);

NOTES_EXTERN_C_END
