// The product database HCR.nsf and the files beside it: its templates
// HCR.ntf and HCREx.ntf and the optional DXL file HCR.xml.
#pragma once

#include <stdio.h>
#include <sys/stat.h>

#include <string>

#include "notes_api.h"

extern const char kProductDbFile[];          // "HCR.nsf"
extern const char kProductTemplateFile[];    // "HCR.ntf"
extern const char kProductTemplateExFile[];  // "HCREx.ntf"
extern const char kProductDxlFile[];         // "HCR.xml"

// The path of a product file (HCR.nsf, its templates, HCR.xml): the product
// folder, one backslash and the file name; the file name alone when the
// folder is empty, so that it is found in the Notes data directory. The
// folder is taken as it stands: one that already ends in a backslash gives
// two of them.
std::string ProductFilePath(const char *productDirectory, const char *fileName);

// Where a product path is on this machine's disk, for the file calls that
// do not go through the platform: "\" and "/" both separate folders, and a
// relative path is found against the Notes data directory, as the
// platform finds databases. "" when the data directory cannot be told.
std::string ProductFileOnDisk(const std::string &productPath);

// Makes HCR.nsf ready for the task and gives its build version in
// *productDbBuild, which is written only when HCR.nsf could be opened at
// the end. With notes.ini "HCRSetup" non-zero, first rebuilds the ACL of
// both templates (or imports HCR.xml into them) and signs their design;
// with 2, also replaces the design of an existing HCR.nsf from its
// template. Creates HCR.nsf from a template when it cannot be opened.
// Called once at start-up, before any request queue exists. 0 when the
// task can go on; any other status ends start-up.
STATUS SetUpProductDatabase(const char *productDirectory, WORD *productDbBuild);

// Creates the database dbPath as a copy of the design of the template
// templatePath, with the template's bracketed ACL entries, naming the
// template as the one it inherits its design from. The template keeps its
// template name on every path.
STATUS CreateDatabaseFromTemplate(const char *dbPath, const char *templatePath);

// NSFSearch routine: signs one design note of the database whose handle
// EnumRoutineParameter points to, with the server's ID, dropping its
// "$POID", and saves it.
STATUS LNCALLBACK SignDesignNoteCallback(void *EnumRoutineParameter, SEARCH_MATCH *SearchMatch,
                                         ITEM_TABLE *SummaryBuffer);

// What DxlFileReaderCallback needs to deliver a file in pieces; all zero
// before the first read, with path set.
struct DxlReaderContext {
    FILE *file;        // open from the first read until the file is done
    const char *path;  // the file on disk; the caller's
    int descriptor;
    DWORD size;  // bytes in the file
    DWORD left;  // bytes not yet delivered
    struct stat status;
    bool finished;  // the file was closed: nothing more comes
};

// DXLImport reader: places up to length bytes of the file of the
// DxlReaderContext pContext points to into pBuffer and returns their
// number; 0 once there is nothing more (or the file cannot be read).
DWORD LNCALLBACK DxlFileReaderCallback(BYTE *pBuffer, DWORD length, void *pContext);
