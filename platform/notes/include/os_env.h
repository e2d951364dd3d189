// Environment: the keys of notes.ini.
//
// Keys are compared without regard to case. Every read sees the file as it
// is on disk (another process may have changed it); every write rewrites the
// whole file through a temporary file and a rename, under a lock, so that a
// crash never leaves a damaged notes.ini and two writers never lose each
// other's keys.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// Copies the value of the key into retValueBuffer, cut to BufferLength - 1
// bytes and NUL-terminated; TRUE when the key is present. An absent key
// leaves an empty string (when BufferLength > 0) and gives FALSE.
BOOL LNPUBLIC OSGetEnvironmentString(const char far *VariableName, char far *retValueBuffer,
                                     WORD BufferLength);

// The value read as a decimal integer (leading blanks, an optional sign,
// digits; the first other character ends it); 0 when the key is absent or
// holds no number.
int LNPUBLIC OSGetEnvironmentInt(const char far *VariableName);
long LNPUBLIC OSGetEnvironmentLong(const char far *VariableName);

// Sets the key (adds it at the end when absent). A null or empty Value
// removes the key.
void LNPUBLIC OSSetEnvironmentVariable(const char far *VariableName, const char far *Value);
void LNPUBLIC OSSetEnvironmentInt(const char far *VariableName, int Value);

// The canonical name of the running ID: notes.ini "ServerName" in canonical
// form (CN=.../O=...). retUserName must hold MAXUSERNAME bytes.
// ERR_NO_SERVER_NAME when the key is absent or empty.
STATUS LNPUBLIC SECKFMGetUserName(char far *retUserName);

NOTES_EXTERN_C_END
