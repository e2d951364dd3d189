// Status texts.
#pragma once

#include "global.h"

enum : STATUS {
#define STATUS_CODE(name, value, text) name = (value),
#include "status_codes.def"
#undef STATUS_CODE
};

NOTES_EXTERN_C_BEGIN

// Copies the text of StringCode (its low 14 bits) into retBuffer, cut to
// BufferLength - 1 bytes and always NUL-terminated, and returns its length.
// hModule is ignored: every text of this library is built in. Status 0
// gives "No error"; a status that the table does not know gives
// "Unknown error 0xNNNN", so a caller always has something to show.
WORD LNPUBLIC OSLoadString(HMODULE hModule, STATUS StringCode, char far *retBuffer,
                           WORD BufferLength);

NOTES_EXTERN_C_END
