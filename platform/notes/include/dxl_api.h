// DXL import through an importer, as the platform's calls do it: the text
// comes from a reader callback, in chunks of any size, cut anywhere. The
// text is the stand-in's DXL (standin/dxl.h).
//
// What the importer takes from the text is set by its properties. The
// stand-in's importer imports the access control list only:
//   iACLImportOption  DXLIMPORTOPTION_IGNORE (the default): nothing is
//                     taken; DXLIMPORTOPTION_REPLACE_ELSE_IGNORE: the
//                     text's <acl> replaces the database's ACL (entries,
//                     roles and all: acl.h), and a text without an <acl>
//                     leaves the ACL as it is.
// The notes of the text (<note>, <document>) are read and checked (a
// malformed note still refuses the whole text) and never stored: the
// stand-in's own StandinDxlImport stores notes.
//
// An import is one transaction: a refused text, a reader that gives no
// data, or a failing write changes nothing. Importing the same text again
// gives the same ACL.
//
// Fault points (standin/fault.h): each call under its own name; DXLImport
// with the database's path.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

typedef DHANDLE DXLIMPORTHANDLE;

typedef DWORD DXL_IMPORTPROPERTY;
#define iACLImportOption ((DXL_IMPORTPROPERTY)1)

// The values of an import option (a DWORD that the property's value points
// to).
typedef DWORD DXLIMPORTOPTION;
#define DXLIMPORTOPTION_IGNORE ((DXLIMPORTOPTION)1)
#define DXLIMPORTOPTION_REPLACE_ELSE_IGNORE ((DXLIMPORTOPTION)5)

// Places up to length bytes of the text into pBuffer and returns their
// number; 0 means that the text has ended.
typedef DWORD(LNCALLBACK *XML_READER_PROC)(BYTE far *pBuffer, DWORD length, void far *pContext);

// A new importer with its properties at their defaults; free it with
// DXLDeleteImporter. ERR_BAD_PARAM for a null prethDXLImport, which is
// NULLHANDLE on failure.
STATUS LNPUBLIC DXLCreateImporter(DXLIMPORTHANDLE far *prethDXLImport);

// Sets a property; propValue points to its value. ERR_DXL_BAD_PROPERTY for
// a property that is not known or a value it does not take (the property
// keeps its value); ERR_BAD_PARAM for a null propValue.
STATUS LNPUBLIC DXLSetImporterProperty(DXLIMPORTHANDLE hDXLImport, DXL_IMPORTPROPERTY prop,
                                       void far *propValue);

// Imports the text that pDXLReaderFunc gives (called with pImAction) into
// hDB, as the importer's properties say. Statuses: ERR_DXL_NO_DATA when
// the reader gives no byte at all; ERR_DXL_READER when it says it placed
// more bytes than it was asked for; the DXL statuses of a refused text
// (ERR_DXL_MALFORMED, ERR_DXL_BAD_ACL, ...); the store's write statuses;
// ERR_BAD_PARAM for a null reader. Each failure leaves hDB as it was.
STATUS LNPUBLIC DXLImport(DXLIMPORTHANDLE hDXLImport, XML_READER_PROC pDXLReaderFunc, DBHANDLE hDB,
                          void far *pImAction);

// Frees the importer.
STATUS LNPUBLIC DXLDeleteImporter(DXLIMPORTHANDLE hDXLImport);

NOTES_EXTERN_C_END
