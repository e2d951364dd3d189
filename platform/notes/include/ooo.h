// The out-of-office API: asks how a mail file runs its out-of-office (its
// own "OutOfOffice" agent or the server's service) and whether it is on.
//
// What the worker may rely on:
// - The five calls are exported by name (nnotes.exports); a caller that
//   resolves them at run time with GetProcAddress casts to the *PROC types
//   below.
// - OOOInit and OOOTerm are counted and may be called on several threads at
//   once: each successful OOOInit takes one count, each OOOTerm gives one
//   back. OOOStartOperation needs a count (ERR_OOO_NOT_INITIALIZED without
//   one). An OOOTerm without a count left gives ERR_OOO_NOT_INITIALIZED and
//   changes nothing. The OOOTerm that gives back the last count ends every
//   operation still open, and so does the end of the runtime, which also
//   drops every count (a restarted runtime needs OOOInit again).
// - The operation handle and the context of an OOOStartOperation stay valid
//   until their OOOEndOperation (or the sweep above). The context is an
//   opaque value, never reused while the process lives: OOOGetState and
//   OOOEndOperation refuse (ERR_OOO_BAD_CONTEXT) a context that has ended
//   or, in OOOEndOperation, one of another operation (which then stays
//   open). An unknown operation handle gives ERR_INVALID_HANDLE.
// - An operation holds its mail database: it stays usable after NSFDbClose
//   of the handle it was started with, until the operation ends.
// - OOOGetState reads the mail file when it is called, so a change saved
//   between two calls is seen by the second.
// - The version, OOO_VERSION_AGENT (1) or OOO_VERSION_SERVICE (2): a mark
//   "$OOOVersion" in the mail file's icon note decides, as a text "1" or
//   "2" (blanks around it ignored; a text list of one entry counts as that
//   text) or a number 1 or 2. Without a mark (no item, an empty or blank
//   text, an empty list, no icon note) the server's default decides:
//   notes.ini "StandinOOOVersion", "1" or "2" the same way, and 1 when the
//   key is absent or empty, so that a server without it answers as a mail
//   file without any setting runs. Any other mark or key value (another
//   number or text, a list of several entries, a time) gives
//   ERR_OOO_BAD_VERSION.
// - The state: OOO_STATE_ON (1) or OOO_STATE_OFF (0). For version 1 it is
//   on when the mail file's agent "OutOfOffice" (the NOTE_CLASS_FILTER note
//   whose "$TITLE", or one of its "|"-separated names, is "OutOfOffice"
//   without regard to case; the lowest note ID when several are) has
//   "$AssistFlags" holding "E"; a mail file without the agent is off. For
//   version 2 it is on when the icon note's "$Flags" holds "O". Both tests
//   are case-sensitive and read a text, or a text list's first entry.
// - Owner and home server names are checked (not null, the owner not
//   empty) but not otherwise used: the stand-in serves the mail file that
//   the database handle opened, and isHomeServer changes nothing.
// - Each call is a fault point of its own name (standin/fault.h), with the
//   mail database's path where the call has one (OOOStartOperation,
//   OOOGetState, OOOEndOperation). An armed rule makes the call return its
//   status and do nothing else: a failed OOOTerm keeps its count, a failed
//   OOOEndOperation leaves the operation open.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

#define OOO_VERSION_AGENT 1
#define OOO_VERSION_SERVICE 2
#define OOO_STATE_OFF 0
#define OOO_STATE_ON 1

// The context of one operation; opaque, only handed back to the library.
typedef struct OOOCONTEXT OOOCONTEXT;

// ERR_NOT_INITIALIZED before NotesRuntimeStart.
STATUS LNPUBLIC OOOInit(void);

// Starts an operation on the mail database hMailFile for its owner. On
// success *rethOperation and *retpContext are set; on failure they are 0 and
// null (where the pointers are given). ERR_BAD_PARAM for a null output, a
// null name or an empty owner name; the statuses of a database handle
// (ERR_INVALID_HANDLE, ERR_WRONG_HANDLE_KIND).
STATUS LNPUBLIC OOOStartOperation(const char far *pMailOwnerName, const char far *pHomeMailServer,
                                  BOOL isHomeServer, DBHANDLE hMailFile, DHANDLE far *rethOperation,
                                  OOOCONTEXT far *far *retpContext);

// The version and state of the operation's mail file (see above). Both are
// 0 unless the call succeeds. ERR_BAD_PARAM for a null output; the store's
// read errors (ERR_DB_BUSY, ERR_DB_IO, ...).
STATUS LNPUBLIC OOOGetState(OOOCONTEXT far *pContext, WORD far *retVersion, WORD far *retState);

// Ends the operation: its handle is released and its context refused from
// then on.
STATUS LNPUBLIC OOOEndOperation(DHANDLE hOperation, OOOCONTEXT far *pContext);

STATUS LNPUBLIC OOOTerm(void);

typedef STATUS(LNCALLBACK *OOOINITPROC)(void);
typedef STATUS(LNCALLBACK *OOOSTARTOPERATIONPROC)(const char far *, const char far *, BOOL,
                                                  DBHANDLE, DHANDLE far *, OOOCONTEXT far *far *);
typedef STATUS(LNCALLBACK *OOOGETSTATEPROC)(OOOCONTEXT far *, WORD far *, WORD far *);
typedef STATUS(LNCALLBACK *OOOENDOPERATIONPROC)(DHANDLE, OOOCONTEXT far *);
typedef STATUS(LNCALLBACK *OOOTERMPROC)(void);

NOTES_EXTERN_C_END
