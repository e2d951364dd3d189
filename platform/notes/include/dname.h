// Hierarchical names: canonical ("CN=John Doe/OU=Sales/O=Acme/C=US") and
// abbreviated ("John Doe/Sales/Acme/US") forms.
//
// A name without "=" and without "/" (a flat name such as "Anonymous" or
// "LocalDomainServers") is left as it is by both conversions. In an
// abbreviated name of several components the first is the common name, the
// last the organisation, those between are organisational units; a last
// component of two letters after an organisation is taken as a country.
// Component labels (CN, OU, O, C) are recognised without regard to case and
// written in upper case.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

#define DN_OUNITS 4
#define MAXDNAME 1024

// Canonical form of InName (TemplateName, when given, supplies the missing
// organisational components of a name that has only a common name). OutSize
// counts the terminator; *OutLength gets the length without it.
// ERR_DN_INVALID for a name that cannot be parsed (an empty component, an
// unknown label, more than four units); ERR_DN_TOO_LONG when the result does
// not fit OutSize. Flags are not used.
STATUS LNPUBLIC DNCanonicalize(DWORD Flags, const char far *TemplateName, const char far *InName,
                               char far *OutName, WORD OutSize, WORD far *OutLength);

// Abbreviated form; the same rules and errors.
STATUS LNPUBLIC DNAbbreviate(DWORD Flags, const char far *TemplateName, const char far *InName,
                             char far *OutName, WORD OutSize, WORD far *OutLength);

// The components of a name, canonical or abbreviated. Each pointer points
// into InName, with the length beside it and no terminator; an absent
// component has length 0 and a null pointer. A flat name is its common name.
struct DN_COMPONENTS {
    DWORD Flags;
    WORD CLength;
    char far *C;
    WORD OLength;
    char far *O;
    WORD OUCount;
    WORD OULength[DN_OUNITS];
    char far *OU[DN_OUNITS];
    WORD CNLength;
    char far *CN;
};

// ERR_DN_INVALID as DNCanonicalize; ERR_BAD_PARAM when CompSize is smaller
// than the record.
STATUS LNPUBLIC DNParse(DWORD Flags, const char far *TemplateName, const char far *InName,
                        DN_COMPONENTS far *Comp, WORD CompSize);

NOTES_EXTERN_C_END
