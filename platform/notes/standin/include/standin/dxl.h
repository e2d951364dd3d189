// Stand-in administration: DXL, the stand-in's import and export format, for
// tools and tests.
//
// THE FORMAT
//
// XML in UTF-8, the raw note form of the platform's public XML format, in the
// subset below. Element and attribute names are matched in any namespace
// (or none); an element or attribute that is not listed is refused, so is
// one out of its place. Booleans are "true" or "false".
//
//   <database>               the root; attributes version, maintenanceversion,
//                            replicaid, path, title, fromtemplate are read
//                            and not used. Children: <databaseinfo> (skipped
//                            whole), <acl>, <note>, <document>.
//   <note class=C [default=B]>   one note. C is a class name (document, info,
//                            form, view, icon, design, acl, helpindex, help,
//                            agent or filter, field, replformula, private),
//                            several of them separated by blanks, or a
//                            number (decimal or 0x-hex) for any class word;
//                            default="true" adds NOTE_CLASS_DEFAULT.
//   <document form=F>        a document note whose "Form" item is F (put
//                            first, unless the note has a "Form" item).
//   <noteinfo [noteid=] [unid=U] [sequence=N]>   U is 32 hex digits (the
//                            UNID's File words, high first, then its Note
//                            words) and is kept; N (1 or more) is kept for a
//                            new note. Children <created>, <modified>,
//                            <revised>, <lastaccessed>, <addedtofile>, each
//                            holding one <datetime>: <revised> is the
//                            sequence time, the others are read and not used.
//   <updatedby>, <revisions>, <wassignedby>   skipped whole.
//   <item name=N [summary=] [names=] [authors=] [readers=] [protected=]
//         [sign=] [seal=] [placeholder=]>    one item, in the order of the
//                            file; each boolean sets its item flag
//                            (ITEM_SUMMARY ...); authors and readers also set
//                            ITEM_NAMES unless names="false" is given. It
//                            holds exactly one value:
//     <text>T</text>         TYPE_TEXT; a line break in T is a NUL byte
//     <textlist><text>..</text>...</textlist>   TYPE_TEXT_LIST (none or more)
//     <number>D</number>     TYPE_NUMBER (a decimal number; no NaN or infinity)
//     <numberlist><number>..</number>...</numberlist>   TYPE_NUMBER_RANGE
//     <datetime [dst=B]>V</datetime>            TYPE_TIME
//     <datetimelist><datetime>..</datetime>...</datetimelist>  TYPE_TIME_RANGE
//     <rawitemdata type=T>B64</rawitemdata>     any type T (decimal or
//                            0x-hex): the value's bytes after the type word,
//                            in base64 (blanks and line breaks allowed);
//                            a value of one of the six types above must hold
//                            its layout whole.
//   A time V is "YYYYMMDDTHHMMSS,hh" and a zone: "Z" (GMT), "+hh", "-hh",
//   "+hhmm" or "-hhmm" (east of Greenwich positive, minutes 00, 15, 30 or
//   45), the wall time of that zone; without a zone the time is GMT. A date
//   alone is "YYYYMMDD" (a zone after it is kept in the value's zone bits), a
//   time alone "THHMMSS,hh" (a zone after it is read and not used); ",hh"
//   (hundredths) may be left out. dst="true" sets the value's
//   daylight-saving flag.
//   <acl [maxinternetaccess=L] [consistentacl=B]>   <role>NAME</role>...
//                            then <aclentry name=N level=L [type=T]
//                            [default=B] [readpublicdocs=B]
//                            [writepublicdocs=B] [deletedocs=B]
//                            [createdocs=B] [createpersonalagents=B]
//                            [createpersonalviews=B] [createsharedviews=B]
//                            [createlsjavaagents=B] [replicateorcopydocs=B]>
//                            holding <role>NAME</role> for each role it has.
//                            L: noaccess, depositor, reader, author, editor,
//                            designer, manager; T: unspecified, person,
//                            server, mixedgroup, persongroup, servergroup.
//                            Refused: an unknown level or type, an empty or
//                            repeated name, more than one default entry, a
//                            role that <acl> does not declare, more than 80
//                            roles. The stand-in keeps no ACL yet: the result
//                            tells what was read and that it was not stored.
//
// A profile is a document whose "$Name" is "$profile_", the length of the
// profile's name in three digits, the name in lower case, "_" and the user
// name (empty for none): it is stored as that profile (what NSFProfileOpen
// finds), its "$Name" item kept. An export writes such a "$Name" first in a
// profile that has none.
//
// IMPORT
//
// One import is one store transaction: every note of the text is stored, or
// none (a refused text, a failing write, a reader's failure). A note whose
// UNID the database holds replaces that note's items; a note of a class
// that a database holds once (info, icon, design, acl, helpindex, help,
// replformula) replaces the database's note of that class; a profile
// replaces the database's profile of that name and user. Refused as
// ERR_DXL_CONFLICT: a UNID, a profile or a once-only class twice in one
// text, a UNID of a deletion stub. Limits (ERR_DXL_LIMIT): elements nest at
// most 32 deep, one value's text is at most 16 MiB, one note's items at most
// 64 MiB together. A DOCTYPE is read and not loaded; an entity declaration
// or a reference to an external entity is refused (ERR_DXL_ENTITY).
//
// EXPORT
//
// Every note but deletion stubs, in increasing note ID, one <note> each,
// its items in stored order with their flags. A value the elements above
// cannot carry exactly (a text that does not come back the same through
// UTF-8, a number that is not finite, a time of no valid date, a range with
// pairs) is written as <rawitemdata>, so an import of an export stores the
// same notes and items, UNIDs and sequences. ERR_DXL_UNWRITABLE for an item
// name that does not come back the same through UTF-8.
//
// Fault points (standin/fault.h): each call below under its own name, with
// the database's path.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// Hands the next bytes of the text: up to BufferLength bytes into Buffer,
// their number in *retLength; 0 bytes at the end. Chunks may end anywhere.
// A non-zero status ends the import with that status.
typedef STATUS(LNCALLBACK *STANDINDXLREADPROC)(void far *Context, char far *Buffer,
                                               DWORD BufferLength, DWORD far *retLength);

// Takes the next Length bytes of an export; a non-zero status ends it.
typedef STATUS(LNCALLBACK *STANDINDXLWRITEPROC)(void far *Context, const char far *Bytes,
                                                DWORD Length);

struct StandinDxlResult {
    DWORD notes;       // notes stored (profiles included)
    DWORD profiles;    // of them, profiles
    DWORD aclEntries;  // entries of the text's <acl>, 0 without one
    DWORD aclRoles;    // roles it declares
    BOOL aclFound;     // the text holds an <acl>
    BOOL aclStored;    // an ACL store took it (FALSE until the stand-in has one)
    DWORD line;        // the line of a refused text, 0 when no line applies
    // Why the text was refused ("line 12: unknown element <foo> in <item>"),
    // or, for a stored text, what was not stored (the ACL); "" otherwise.
    char message[512];
};

// Imports the DXL text that Reader hands into the open database hDB (see
// above). retResult may be null. ERR_DXL_* for a refused text (message and
// line in the result), the reader's status, the store's write statuses;
// ERR_BAD_PARAM without a reader.
STATUS StandinDxlImport(DBHANDLE hDB, STANDINDXLREADPROC Reader, void *Context,
                        StandinDxlResult *retResult);

// Writes every note of hDB as DXL to Writer, in one piece once the whole
// text is made (a note that cannot be written stops it before any byte
// goes out). *retNotes (may be null) gets the number of notes written.
// What went wrong goes to retProblem as StandinDbCheck's does (may be null
// when ProblemLength is 0). ERR_BAD_PARAM without a writer.
STATUS StandinDxlExport(DBHANDLE hDB, STANDINDXLWRITEPROC Writer, void *Context, DWORD *retNotes,
                        char *retProblem, WORD ProblemLength);

// Copies every note of hFrom that is no document (the design: forms, views,
// agents, the icon note, ...) into hTo, with its UNID and sequence, as an
// import of them would: in one transaction, replacing notes of the same
// UNID and hTo's notes of the once-only classes. *retNotes (may be null)
// gets the number of notes copied.
STATUS StandinDbCopyDesign(DBHANDLE hFrom, DBHANDLE hTo, DWORD *retNotes);

NOTES_EXTERN_C_END
