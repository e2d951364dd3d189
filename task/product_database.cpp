#include "product_database.h"

#include <cstring>

#include "product_acl.h"
#include "win32.h"

const char kProductDbFile[] = "HCR.nsf";
const char kProductTemplateFile[] = "HCR.ntf";
const char kProductTemplateExFile[] = "HCREx.ntf";
const char kProductDxlFile[] = "HCR.xml";

namespace {

const char kSetupKey[] = "HCRSetup";
const char kLogDb[] = "log.nsf";
const char kPoidItem[] = "$POID";
const char kTitleItem[] = "$TITLE";
const char kExTemplateMark[] = "HCREx";
const char kNotesModule[] = "nnotes";
const char kDesignReplaceName[] = "DesignReplace";

// From this build of the server's log on, HCR.nsf is made from HCREx.ntf.
const WORD kExTemplateBuild = 400;
const int kReplaceDesignSetup = 2;
const WORD kTemplateFileNameSize = 512;
// The design notes that are signed expanded and contracted again.
const WORD kExpandedClasses =
    NOTE_CLASS_FORM | NOTE_CLASS_INFO | NOTE_CLASS_HELP | NOTE_CLASS_FIELD;

void Log(const char *text) {
    AddInLogMessageText("Halcyra: %s", NOERROR, text);
}

STATUS SignDesign(DBHANDLE db) {
    return NSFSearch(db, NULLHANDLE, nullptr, SEARCH_SUMMARY, NOTE_CLASS_ALLNONDATA, nullptr,
                     SignDesignNoteCallback, &db, nullptr);
}

// Imports HCR.xml into the template as the importer's ACL option allows:
// the file's ACL replaces the template's. Its bytes are read from the
// start for each template.
STATUS ImportDxlFile(DBHANDLE db, const std::string &file) {
    DXLIMPORTHANDLE importer = NULLHANDLE;
    STATUS status = DXLCreateImporter(&importer);
    if (status != NOERROR)
        return status;
    DXLIMPORTOPTION option = DXLIMPORTOPTION_REPLACE_ELSE_IGNORE;
    status = DXLSetImporterProperty(importer, iACLImportOption, &option);
    if (status == NOERROR) {
        DxlReaderContext context;
        std::memset(&context, 0, sizeof context);
        context.path = file.c_str();
        status = DXLImport(importer, DxlFileReaderCallback, db, &context);
        // A reader stopped early by a failed import still holds its file.
        if (context.file != nullptr)
            fclose(context.file);
    }
    DXLDeleteImporter(importer);
    return status;
}

// One template's pass: its ACL rebuilt, or HCR.xml imported into it, then
// its design signed. The result is the open's status or the signing's.
STATUS PrepareTemplate(const std::string &templatePath, const std::string &dxlPath,
                       const char *signingLine) {
    Log(signingLine);
    DBHANDLE db = NULLHANDLE;
    STATUS status = NSFDbOpen(templatePath.c_str(), &db);
    if (status != NOERROR) {
        // The same line for both templates.
        Log("Error signing the Halcyra Database Template (HCR.ntf).");
        return status;
    }
    const std::string dxlFile = ProductFileOnDisk(dxlPath);
    struct stat fileStatus;
    if (dxlFile.empty() || stat(dxlFile.c_str(), &fileStatus) != 0) {
        SetTemplateAcl(db);
    } else {
        ImportDxlFile(db, dxlFile);
        FixAclAfterDxlImport(db);
    }
    status = SignDesign(db);
    NSFDbClose(db);
    return status;
}

// The template named by "$TemplateFileName" of HCR.nsf's icon note:
// HCREx.ntf when that names it, else HCR.ntf.
const char *SourceTemplate(DBHANDLE db, STATUS &status) {
    char templateFile[kTemplateFileNameSize] = {};
    NOTEID iconId = 0;
    status = NSFDbGetSpecialNoteID(db, SPECIAL_ID_NOTE | NOTE_CLASS_ICON, &iconId);
    NOTEHANDLE icon = NULLHANDLE;
    if (status == NOERROR)
        status = NSFNoteOpen(db, iconId, 0, &icon);
    if (status == NOERROR) {
        NSFItemGetText(icon, TEMPLATE_FILE_NAME_ITEM, templateFile, sizeof templateFile);
        NSFNoteClose(icon);
    }
    return std::strstr(templateFile, kExTemplateMark) != nullptr ? kProductTemplateExFile
                                                                 : kProductTemplateFile;
}

// Replaces the design of an existing HCR.nsf from its template, sets its
// ACL right and signs its design again. An HCR.nsf that does not exist is
// no error: it is created later.
STATUS ReplaceProductDesign(const char *productDirectory, const std::string &dbPath) {
    DBHANDLE db = NULLHANDLE;
    STATUS status = NSFDbOpen(dbPath.c_str(), &db);
    if (status != NOERROR)
        return ERR(status) == ERR_NOEXIST ? NOERROR : status;

    const char *source = SourceTemplate(db, status);
    Log("Replacing the Halcyra Database Design");
    DBHANDLE templateDb = NULLHANDLE;
    const std::string templatePath = ProductFilePath(productDirectory, source);
    status = NSFDbOpen(templatePath.c_str(), &templateDb);
    if (status == NOERROR) {
        HMODULE notes = GetModuleHandleA(kNotesModule);
        DESIGNREPLACEPROC designReplace =
            notes != nullptr
                ? reinterpret_cast<DESIGNREPLACEPROC>(GetProcAddress(notes, kDesignReplaceName))
                : nullptr;
        if (designReplace != nullptr) {
            status = designReplace(templateDb, db, DESIGN_REPLACE_ALL, DESIGN_REPLACE_KEEP_INFO,
                                   nullptr, nullptr);
        }
        NSFDbClose(templateDb);
    }
    EnsureAnonymousAclEntry(db);
    FixAclAfterDxlImport(db);
    NSFDbClose(db);

    status = NSFDbOpen(dbPath.c_str(), &db);
    if (status == NOERROR) {
        status = SignDesign(db);
        NSFDbClose(db);
    }
    return status;
}

// The build version of the server's log; 0 when it cannot be read.
WORD LogBuildVersion() {
    WORD build = 0;
    DBHANDLE log = NULLHANDLE;
    if (NSFDbOpen(kLogDb, &log) == NOERROR) {
        NSFDbGetBuildVersion(log, &build);
        NSFDbClose(log);
    }
    return build;
}

// Reads the build version of HCR.nsf into *productDbBuild; the open's
// status.
STATUS ReadProductBuild(const std::string &dbPath, WORD *productDbBuild) {
    DBHANDLE db = NULLHANDLE;
    STATUS status = NSFDbOpen(dbPath.c_str(), &db);
    if (status != NOERROR)
        return status;
    WORD build = 0;
    if (NSFDbGetBuildVersion(db, &build) == NOERROR && productDbBuild != nullptr)
        *productDbBuild = build;
    NSFDbClose(db);
    return NOERROR;
}

// Sets the template name (the part under which a database serves as a
// master template) in the information of db. Information that could not be
// read is not written, so that nothing else of it is overwritten.
STATUS PutTemplateName(DBHANDLE db, char *info, const char *templateName) {
    STATUS status = NSFDbInfoGet(db, info);
    if (status == NOERROR)
        status = NSFDbInfoModify(info, INFOPARSE_CLASS, templateName);
    if (status == NOERROR)
        status = NSFDbInfoSet(db, info);
    return status;
}

}  // namespace

std::string ProductFilePath(const char *productDirectory, const char *fileName) {
    std::string path;
    if (productDirectory != nullptr && productDirectory[0] != '\0') {
        path = productDirectory;
        path += '\\';
    }
    path += fileName;
    return path;
}

std::string ProductFileOnDisk(const std::string &productPath) {
    std::string path = productPath;
    for (char &c : path) {
        if (c == '\\')
            c = '/';
    }
    if (!path.empty() && path[0] == '/')
        return path;
    char dataDirectory[MAXPATH] = {};
    if (OSGetDataDirectory(dataDirectory) == 0)
        return std::string();
    return std::string(dataDirectory) + "/" + path;
}

STATUS CreateDatabaseFromTemplate(const char *dbPath, const char *templatePath) {
    char info[NSF_INFO_SIZE];
    char templateName[NSF_INFO_SIZE];
    std::memset(info, 0, sizeof info);
    std::memset(templateName, 0, sizeof templateName);

    DBHANDLE source = NULLHANDLE;
    STATUS status = NSFDbOpen(templatePath, &source);
    if (status != NOERROR)
        return status;

    // The template carries no template name while it is copied, so that the
    // copy does not serve as a template of that name. Only a name that was
    // read is taken out, and it goes back in on every path after that.
    bool nameTakenOut = false;
    if (NSFDbInfoGet(source, info) == NOERROR &&
        NSFDbInfoParse(info, INFOPARSE_CLASS, templateName, sizeof templateName) == NOERROR) {
        nameTakenOut = true;
        if (NSFDbInfoModify(info, INFOPARSE_CLASS, "") == NOERROR)
            NSFDbInfoSet(source, info);
    }

    DBHANDLE reopened = NULLHANDLE;
    status = NSFDbReopen(source, &reopened);
    if (status != NOERROR) {
        if (nameTakenOut)
            PutTemplateName(source, info, templateName);
        NSFDbClose(source);
        return status;
    }
    NSFDbClose(source);

    DBHANDLE db = NULLHANDLE;
    status = NSFDbCreateAndCopy(templatePath, dbPath, NOTE_CLASS_ALLNONDATA, 0, 0, &db);
    if (status == NOERROR)
        status = NSFDbCopyTemplateACL(reopened, db, nullptr, 0);
    if (nameTakenOut)
        PutTemplateName(reopened, info, templateName);
    NSFDbClose(reopened);

    if (status == NOERROR) {
        // The new database serves as no template; it names the one whose
        // design it inherits. A text that could not be read is not written
        // back, so the new database keeps its title.
        status = NSFDbInfoGet(db, info);
        if (status == NOERROR) {
            NSFDbInfoModify(info, INFOPARSE_CLASS, "");
            NSFDbInfoModify(info, INFOPARSE_DESIGN_CLASS, templateName);
            NSFDbInfoSet(db, info);
        }
    }
    if (status == NOERROR) {
        NOTEHANDLE icon = NULLHANDLE;
        status = NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon);
        if (status == NOERROR) {
            status = NSFItemSetText(icon, kTitleItem, info, static_cast<WORD>(std::strlen(info)));
            if (status == NOERROR)
                status = NSFNoteUpdate(icon, 0);
            NSFNoteClose(icon);
        }
    }
    if (db != NULLHANDLE)
        NSFDbClose(db);
    return status;
}

STATUS LNCALLBACK SignDesignNoteCallback(void *EnumRoutineParameter, SEARCH_MATCH *SearchMatch,
                                         ITEM_TABLE *SummaryBuffer) {
    (void)SummaryBuffer;
    if ((SearchMatch->SERetFlags & SE_FMATCH) == 0)
        return NOERROR;
    const DBHANDLE db = *static_cast<DBHANDLE *>(EnumRoutineParameter);
    NOTEHANDLE note = NULLHANDLE;
    STATUS status = NSFNoteOpen(db, SearchMatch->NoteID, 0, &note);
    if (status != NOERROR)
        return status;
    WORD noteClass = 0;
    NSFNoteGetInfo(note, _NOTE_CLASS, &noteClass);
    const bool expanded = (noteClass & kExpandedClasses) != 0;
    if (expanded) {
        NSFNoteClose(note);
        status = NSFNoteOpen(db, SearchMatch->NoteID, OPEN_EXPAND, &note);
        if (status != NOERROR)
            return status;
    }
    const WORD poidLength = static_cast<WORD>(sizeof kPoidItem - 1);
    if (NSFItemInfo(note, kPoidItem, poidLength, nullptr, nullptr, nullptr, nullptr) == NOERROR)
        NSFItemDelete(note, kPoidItem, poidLength);
    status = NSFNoteSign(note);
    if (status == NOERROR) {
        if (expanded)
            NSFNoteContract(note);
        status = NSFNoteUpdate(note, UPDATE_FORCE);
    }
    NSFNoteClose(note);
    return status;
}

DWORD LNCALLBACK DxlFileReaderCallback(BYTE *pBuffer, DWORD length, void *pContext) {
    DxlReaderContext *context = static_cast<DxlReaderContext *>(pContext);
    if (context->finished)
        return 0;
    if (context->file == nullptr) {
        context->file = fopen(context->path, "r+b");
        if (context->file == nullptr) {
            context->finished = true;
            return 0;
        }
        context->descriptor = fileno(context->file);
        if (fstat(context->descriptor, &context->status) != 0) {
            fclose(context->file);
            context->file = nullptr;
            context->finished = true;
            return 0;
        }
        context->size = static_cast<DWORD>(context->status.st_size);
        context->left = context->size;
    }
    auto finish = [context]() -> DWORD {
        fclose(context->file);
        context->file = nullptr;
        context->finished = true;
        return 0;
    };
    if (context->left == 0)
        return finish();
    const DWORD wanted = context->left < length ? context->left : length;
    const size_t got = fread(pBuffer, 1, wanted, context->file);
    if (ferror(context->file))
        return finish();
    if (feof(context->file)) {
        if (got == 0)
            return finish();
        return static_cast<DWORD>(got);
    }
    if (got == wanted) {
        context->left -= wanted;
        return wanted;
    }
    return finish();
}

STATUS SetUpProductDatabase(const char *productDirectory, WORD *productDbBuild) {
    const std::string dbPath = ProductFilePath(productDirectory, kProductDbFile);
    STATUS status = NOERROR;

    const int setup = OSGetEnvironmentInt(kSetupKey);
    if (setup != 0) {
        const std::string dxlPath = ProductFilePath(productDirectory, kProductDxlFile);
        // Only the second pass decides: the first one's failure is logged
        // (when it is the open) and dropped.
        PrepareTemplate(ProductFilePath(productDirectory, kProductTemplateFile), dxlPath,
                        "Signing the Halcyra Database Template with the server ID");
        status = PrepareTemplate(ProductFilePath(productDirectory, kProductTemplateExFile), dxlPath,
                                 "Signing the Halcyra Database Template(EX) with the server ID");
        // The key keeps its value, so the work is asked for again next time.
        if (status != NOERROR)
            return status;
        if (setup == kReplaceDesignSetup)
            status = ReplaceProductDesign(productDirectory, dbPath);
        OSSetEnvironmentInt(kSetupKey, 0);
        if (status != NOERROR)
            return status;
    }

    if (ReadProductBuild(dbPath, productDbBuild) == NOERROR)
        return NOERROR;

    // Any failure to open HCR.nsf leads here; the creation refuses a file
    // that exists, so an HCR.nsf that is busy or damaged is never replaced.
    const WORD logBuild = LogBuildVersion();
    Log("Setting up the Halcyra Database");
    const char *templateFile =
        logBuild < kExTemplateBuild ? kProductTemplateFile : kProductTemplateExFile;
    status = CreateDatabaseFromTemplate(dbPath.c_str(),
                                        ProductFilePath(productDirectory, templateFile).c_str());
    if (status != NOERROR) {
        Log("Error setting up the Halcyra Database.");
        return status;
    }
    status = ReadProductBuild(dbPath, productDbBuild);
    Log("Finished setting up the Halcyra Database");
    return status;
}
