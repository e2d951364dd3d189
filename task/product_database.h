// The product database HCR.nsf and the files beside it.
#pragma once

#include <string>

#include "notes_api.h"

extern const char kProductDbFile[];  // "HCR.nsf"

// The path of a product file (HCR.nsf, its templates, HCR.xml): the product
// folder, one backslash and the file name; the file name alone when the
// folder is empty, so that it is found in the Notes data directory. The
// folder is taken as it stands: one that already ends in a backslash gives
// two of them.
std::string ProductFilePath(const char *productDirectory, const char *fileName);

// Makes HCR.nsf ready for the task and gives its build version in
// *productDbBuild, which is written only when HCR.nsf could be opened and
// its build version read. Called once at start-up, before any request
// queue exists. 0 when the task can go on; any other status ends start-up.
STATUS SetUpProductDatabase(const char *productDirectory, WORD *productDbBuild);
