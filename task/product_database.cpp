#include "product_database.h"

const char kProductDbFile[] = "HCR.nsf";

std::string ProductFilePath(const char *productDirectory, const char *fileName) {
    std::string path;
    if (productDirectory != nullptr && productDirectory[0] != '\0') {
        path = productDirectory;
        path += '\\';
    }
    path += fileName;
    return path;
}

STATUS SetUpProductDatabase(const char *productDirectory, WORD *productDbBuild) {
    // Creating HCR.nsf from its templates, and the template work that
    // notes.ini "HCRSetup" asks for, are not built yet: an HCR.nsf that cannot
    // be opened ends start-up with the status of the open, so that the task
    // never runs without its database.
    std::string path = ProductFilePath(productDirectory, kProductDbFile);
    DBHANDLE db = NULLHANDLE;
    STATUS status = NSFDbOpen(path.c_str(), &db);
    if (status != NOERROR)
        return status;
    WORD build = 0;
    if (NSFDbGetBuildVersion(db, &build) == NOERROR && productDbBuild != nullptr) {
        *productDbBuild = build;
    }
    NSFDbClose(db);
    return NOERROR;
}
