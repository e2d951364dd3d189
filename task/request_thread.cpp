#include "request_thread.h"

#include <chrono>
#include <cstring>
#include <new>
#include <string>

#include "iphcr.h"
#include "win32.h"

namespace {

const char kInstallIosKey[] = "ND_REQUEST_INSTALL_IOS_HCR_";
const char kMobileKey[] = "ND_REQUEST_MOBILE_HCR_";
const char kAppConfigKey[] = "ND_REQUEST_HCR_";

const WORD kFirstBuildWithOooApi = 379;

// Builds the worker, runs the request and resets the worker, on a thread
// that is ready for Notes calls. The worker is destroyed by the caller after
// the thread's use of Notes has ended: by then every handle is closed, and
// its destructor only stops the XML library.
void ServeRequest(const RequestContext &record, std::unique_ptr<IPHCR> &worker) {
    try {
        worker.reset(new IPHCR());
        worker->SetUseOooApi(MayUseOooApi(record.productDbBuild) ? 1 : 0);
        DispatchRequest(*worker, record);
    } catch (...) {
        // The handlers answer their own errors; anything else (memory
        // exhausted, an error of the XML library outside a handler's guard)
        // ends this request without an answer, and the worker is still
        // reset below.
    }
    if (worker) {
        try {
            worker->Reset(true);
        } catch (...) {
        }
    }
}

}  // namespace

RequestKind SelectRequestKind(const char *requestFilePath) {
    if (requestFilePath == nullptr)
        return RequestKind::XmlRequest;
    if (std::strstr(requestFilePath, kInstallIosKey) != nullptr)
        return RequestKind::InstallIosPage;
    if (std::strstr(requestFilePath, kMobileKey) != nullptr)
        return RequestKind::MobilePage;
    if (std::strstr(requestFilePath, kAppConfigKey) != nullptr)
        return RequestKind::AppConfigPage;
    return RequestKind::XmlRequest;
}

bool MayUseOooApi(WORD productDbBuild) {
    return productDbBuild >= kFirstBuildWithOooApi;
}

void DispatchRequest(IPHCR &worker, const RequestContext &record) {
    const std::string &path = record.requestFilePath;
    switch (SelectRequestKind(path.c_str())) {
        case RequestKind::InstallIosPage:
            worker.HandleInstallIosRequest(path, record.productDirectory, record.serverUrl,
                                           record.iosInstallPage);
            break;
        case RequestKind::MobilePage:
            worker.HandleMobileRequest(path, record.productDirectory, record.serverUrl,
                                       record.appQuery);
            break;
        case RequestKind::AppConfigPage:
            worker.HandleAppConfigRequest(path, record.productDirectory, record.serverUrl,
                                          record.appQuery);
            break;
        case RequestKind::XmlRequest:
            worker.HandleXmlRequest(path);
            break;
    }
}

bool RunningRequests::WaitUntilNone(DWORD boundMs, DWORD pollMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (Count() != 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        Sleep(static_cast<DWORD>(left) < pollMs ? static_cast<DWORD>(left) : pollMs);
    }
    return true;
}

unsigned RequestThreadProc(void *arg) {
    std::unique_ptr<RequestThreadStart> start(static_cast<RequestThreadStart *>(arg));
    if (!start)
        return 0;
    std::shared_ptr<RunningRequests> running = std::move(start->running);
    if (start->record && NotesInitThread() == NOERROR) {
        std::unique_ptr<IPHCR> worker;
        ServeRequest(*start->record, worker);
        NotesTermThread();
        worker.reset();
    }
    // Everything the thread holds is released before it stops counting, so
    // that shutdown, which waits for the count, ends the runtime after it.
    start.reset();
    if (running)
        running->Finished();
    return 0;
}

bool StartRequestThread(std::unique_ptr<RequestContext> record,
                        const std::shared_ptr<RunningRequests> &running) {
    RequestThreadStart *start = new (std::nothrow) RequestThreadStart;
    if (start == nullptr)
        return false;
    start->record = std::move(record);
    start->running = running;
    if (running)
        running->Started();
    unsigned threadId = 0;
    if (_beginthreadex(nullptr, 0, RequestThreadProc, start, 0, &threadId) == 0) {
        if (running)
            running->Finished();
        delete start;
        return false;
    }
    return true;
}
