// The DXL importer (dxl_api.h) over the DXL family's import (dxl.h).
#include "dxl_api.h"

#include <cstring>
#include <mutex>
#include <set>

#include "dxl.h"
#include "fault.h"
#include "nsf_internal.h"
#include "os_error.h"
#include "registry.h"
#include "runtime_state.h"
#include "standin/dxl.h"

using notes_internal::HandleKind;

namespace {

struct Importer : notes_internal::HandleObject {
    std::mutex mutex;
    DXLIMPORTOPTION aclOption = DXLIMPORTOPTION_IGNORE;
    StandinDxlResult last{};
};

// The importers not yet deleted; the end of the runtime deletes them, as it
// closes every other handle.
struct LiveImporters {
    std::mutex mutex;
    std::set<DHANDLE> handles;
};

LiveImporters &TheLiveImporters() {
    static LiveImporters *live = new LiveImporters;
    return *live;
}

void DeleteAllImporters() {
    std::set<DHANDLE> handles;
    {
        LiveImporters &live = TheLiveImporters();
        std::lock_guard<std::mutex> lock(live.mutex);
        handles.swap(live.handles);
    }
    for (DHANDLE handle : handles)
        notes_internal::ReleaseHandle(HandleKind::DxlImporter, handle);
}

}  // namespace

STATUS LNPUBLIC DXLCreateImporter(DXLIMPORTHANDLE far *prethDXLImport) {
    if (prethDXLImport != nullptr)
        *prethDXLImport = NULLHANDLE;
    if (STATUS fault = notes_internal::FaultCheck("DXLCreateImporter"))
        return fault;
    if (prethDXLImport == nullptr)
        return ERR_BAD_PARAM;
    DXLIMPORTHANDLE handle =
        notes_internal::RegisterHandle(HandleKind::DxlImporter, std::make_shared<Importer>());
    if (handle == NULLHANDLE)
        return ERR_MEMORY;
    notes_internal::AtRuntimeEnd(DeleteAllImporters);
    {
        LiveImporters &live = TheLiveImporters();
        std::lock_guard<std::mutex> lock(live.mutex);
        live.handles.insert(handle);
    }
    *prethDXLImport = handle;
    return NOERROR;
}

STATUS LNPUBLIC DXLSetImporterProperty(DXLIMPORTHANDLE hDXLImport, DXL_IMPORTPROPERTY prop,
                                       void far *propValue) {
    std::shared_ptr<Importer> importer;
    if (STATUS fault = notes_internal::FaultCheck("DXLSetImporterProperty"))
        return fault;
    if (STATUS status = notes_internal::Lookup(HandleKind::DxlImporter, hDXLImport, &importer))
        return status;
    if (propValue == nullptr)
        return ERR_BAD_PARAM;
    if (prop != iACLImportOption)
        return ERR_DXL_BAD_PROPERTY;
    DXLIMPORTOPTION option;
    std::memcpy(&option, propValue, sizeof option);
    if (option != DXLIMPORTOPTION_IGNORE && option != DXLIMPORTOPTION_REPLACE_ELSE_IGNORE)
        return ERR_DXL_BAD_PROPERTY;
    std::lock_guard<std::mutex> lock(importer->mutex);
    importer->aclOption = option;
    return NOERROR;
}

STATUS LNPUBLIC DXLImport(DXLIMPORTHANDLE hDXLImport, XML_READER_PROC pDXLReaderFunc, DBHANDLE hDB,
                          void far *pImAction) {
    std::shared_ptr<notes_internal::nsf::DbObject> db;
    STATUS dbStatus = notes_internal::nsf::LookupDb(hDB, &db);
    if (STATUS fault = notes_internal::FaultCheck(
            "DXLImport", dbStatus == NOERROR ? db->file->relPath().c_str() : nullptr))
        return fault;
    std::shared_ptr<Importer> importer;
    if (STATUS status = notes_internal::Lookup(HandleKind::DxlImporter, hDXLImport, &importer))
        return status;
    if (dbStatus != NOERROR)
        return dbStatus;
    if (pDXLReaderFunc == nullptr)
        return ERR_BAD_PARAM;
    notes_internal::dxl::ImportOptions options;
    {
        std::lock_guard<std::mutex> lock(importer->mutex);
        options.acl = importer->aclOption == DXLIMPORTOPTION_REPLACE_ELSE_IGNORE;
    }
    options.notes = false;  // the stand-in's importer takes the ACL only

    size_t total = 0;
    bool overrun = false;
    notes_internal::dxl::ImportResult result;
    STATUS status = notes_internal::dxl::Import(
        *db->file,
        [&](char *buffer, size_t capacity, size_t *got) -> STATUS {
            DWORD n = pDXLReaderFunc(reinterpret_cast<BYTE *>(buffer), static_cast<DWORD>(capacity),
                                     pImAction);
            if (n > capacity) {
                overrun = true;
                return ERR_DXL_READER;
            }
            *got = n;
            total += n;
            return static_cast<STATUS>(NOERROR);
        },
        &result, options);
    if (status != NOERROR && total == 0 && !overrun) {
        status = ERR_DXL_NO_DATA;
        result.problem.status = status;
        result.problem.line = 0;
        result.problem.message = "the reader gave no data";
    } else if (overrun) {
        result.problem.message = "line " + std::to_string(result.problem.line) +
                                 ": the reader said it placed more bytes than it was asked for";
    }
    std::lock_guard<std::mutex> lock(importer->mutex);
    notes_internal::dxl::FillStandinResult(result, status, &importer->last);
    return status;
}

STATUS LNPUBLIC DXLDeleteImporter(DXLIMPORTHANDLE hDXLImport) {
    if (STATUS fault = notes_internal::FaultCheck("DXLDeleteImporter"))
        return fault;
    STATUS status = notes_internal::ReleaseHandle(HandleKind::DxlImporter, hDXLImport);
    if (status == NOERROR) {
        LiveImporters &live = TheLiveImporters();
        std::lock_guard<std::mutex> lock(live.mutex);
        live.handles.erase(hDXLImport);
    }
    return status;
}

STATUS StandinDxlImporterResult(DWORD hDXLImport, StandinDxlResult *retResult) {
    if (retResult == nullptr)
        return ERR_BAD_PARAM;
    std::memset(retResult, 0, sizeof *retResult);
    std::shared_ptr<Importer> importer;
    if (STATUS status = notes_internal::Lookup(HandleKind::DxlImporter, hDXLImport, &importer))
        return status;
    std::lock_guard<std::mutex> lock(importer->mutex);
    *retResult = importer->last;
    return NOERROR;
}
