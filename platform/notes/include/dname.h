// Hierarchical names: canonical ("CN=John Doe/OU=Sales/O=Acme/C=US") and
// abbreviated ("John Doe/Sales/Acme/US") forms.
//
// A name without "=" and without "/" (a flat name such as "Anonymous",
// "-Default-", "LocalDomainServers" or "[SysAdmin]") is left exactly as it
// is by both conversions. A name with "=" in any component is canonical:
// every component then has a label, CN, OU, O or C (recognised without
// regard to case, written in upper case), in that order, with at most four
// OUs, an O whenever there is an OU or a C, and a C of two ASCII letters. In
// an abbreviated name of several components the first is the common name,
// the last the organisation, those between organisational units; a last
// component of two letters after an organisation is taken as a country. An
// abbreviated name that begins with "/" has no common name ("/Sales/Acme" is
// "OU=Sales/O=Acme"). Blanks around "/" and "=" are dropped ("CN = John Doe
// / O = Acme" is "CN=John Doe/O=Acme"); blanks inside a component are kept.
// Both conversions accept either form, so each is idempotent; a canonical
// name of a common name alone abbreviates to a flat name. Names are LMBCS
// (os_text.h): the data bytes after a group byte belong to its character
// and are never taken for "/", "=" or a blank.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

#define DN_OUNITS 4
#define MAXDNAME 1024

// Canonical form of InName (TemplateName, when given and hierarchical,
// supplies the units, organisation and country of a name that has only a
// common name, flat or "CN=..."). OutSize counts the terminator; *OutLength
// (may be null) gets the length without it. ERR_DN_INVALID for a name that
// cannot be parsed (an empty component, an unknown label, labels out of
// order, more than four units, a value holding "="), or for such a
// template; ERR_DN_TOO_LONG for a name of MAXDNAME bytes or more, or when
// the result does not fit OutSize; ERR_BAD_PARAM for a null InName or
// OutName. On any failure OutName holds the empty string (when OutSize > 0)
// and *OutLength 0; nothing is written past OutSize. Flags are not used.
STATUS LNPUBLIC DNCanonicalize(DWORD Flags, const char far *TemplateName, const char far *InName,
                               char far *OutName, WORD OutSize, WORD far *OutLength);

// Abbreviated form; the same rules and errors.
STATUS LNPUBLIC DNAbbreviate(DWORD Flags, const char far *TemplateName, const char far *InName,
                             char far *OutName, WORD OutSize, WORD far *OutLength);

// The components of a name, canonical or abbreviated. Each pointer points
// into InName (or into TemplateName for what the template supplies), past
// the label and the blanks, with the length beside it and no terminator; an
// absent component has length 0 and a null pointer. OU[0] is the unit
// nearest the common name. A flat name is its common name, whole; the empty
// name has no component. Flags is 0.
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

// ERR_DN_INVALID and ERR_DN_TOO_LONG as DNCanonicalize; ERR_BAD_PARAM when
// CompSize is smaller than the record or a pointer is null. The record is
// cleared first, so after a failure every component is absent.
STATUS LNPUBLIC DNParse(DWORD Flags, const char far *TemplateName, const char far *InName,
                        DN_COMPONENTS far *Comp, WORD CompSize);

NOTES_EXTERN_C_END
