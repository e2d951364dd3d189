#include "task_main.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "product_database.h"
#include "request_context.h"
#include "request_thread.h"
#include "server_settings.h"
#include "win32.h"
#include "xml_toolkit.h"

namespace {

const char kTaskName[] = "Halcyra";
const char kListQueueName[] = "MQ$HCRServletList";
const char kRequestQueueName[] = "MQ$OutOfOffice";
const int kListMessageCount = 50;

const WORD kMaxRequestMessage = 512;
const DWORD kRequestWaitMs = 10000;
const DWORD kPauseAfterRequestMs = 1000;
const WORD kLongInterval = 60;
const WORD kShortInterval = 1;

const WORD kErrorTextSize = 256;

void LogStatusText(STATUS status) {
    char text[kErrorTextSize];
    OSLoadString(nullptr, ERR(status), text, sizeof text);
    AddInLogMessageText("Halcyra: %s", NOERROR, text);
}

// The task's status line replaces the default one that the runtime made.
void SetUpStatusLine() {
    HMODULE module = nullptr;
    HANDLE defaultLine = 0;
    AddInQueryDefaults(&module, &defaultLine);
    AddInDeleteStatusLine(defaultLine);
    HANDLE line = AddInCreateStatusLine(kTaskName);
    AddInSetDefaults(module, line);
}

// Creates and opens the servlet list queue and fills it with one message per
// servlet name for the front end; the task never reads it.
STATUS SetUpListQueue(MQHANDLE &listQueue, bool &listOpen) {
    STATUS status = MQCreate(kListQueueName, 0, 0);
    if (status == NOERROR)
        status = MQOpen(kListQueueName, 0, &listQueue);
    listOpen = status == NOERROR;
    for (int i = 0; status == NOERROR && i < kListMessageCount; i++) {
        char text[sizeof kListQueueName + 16];
        int length = std::snprintf(text, sizeof text, "%s_%d", kListQueueName, i);
        status = MQPut(listQueue, 0, text, static_cast<WORD>(length), 0);
    }
    return status;
}

STATUS SetUpRequestQueue(MQHANDLE &requestQueue, bool &requestOpen) {
    STATUS status = MQCreate(kRequestQueueName, 0, 0);
    if (status == NOERROR)
        status = MQOpen(kRequestQueueName, 0, &requestQueue);
    requestOpen = status == NOERROR;
    return status;
}

// Takes one request message and hands it to a request thread of its own.
// The result is the status of the turn, which the caller keeps as the last
// one: the quit-pending status, or that of MQGet.
STATUS ServeOneMessage(MQHANDLE requestQueue, const char *serverName, const char *productDirectory,
                       WORD productDbBuild, const std::shared_ptr<RunningRequests> &running) {
    if (MQIsQuitPending(requestQueue))
        return ERR_MQ_QUITTING;

    char message[kMaxRequestMessage];
    WORD messageLength = 0;
    STATUS status =
        MQGet(requestQueue, message, kMaxRequestMessage, 0, kRequestWaitMs, &messageLength);
    if (status != NOERROR)
        return status;

    std::unique_ptr<RequestContext> record;
    try {
        record.reset(new RequestContext());
        record->messageLength = messageLength;
        record->requestFilePath =
            TextBeforeNul(message, messageLength < sizeof message ? messageLength : sizeof message);
        std::string serverUrl, iosInstallPage, appQuery;
        BuildServerAppSettings(serverName, productDirectory, serverUrl, iosInstallPage, appQuery);
        FillRequestContext(*record, productDirectory, productDbBuild, serverUrl, iosInstallPage,
                           appQuery);
    } catch (const std::bad_alloc &) {
        // The request is dropped; the loop goes on with the next message.
        return status;
    }
    StartRequestThread(std::move(record), running);
    Sleep(kPauseAfterRequestMs);
    return status;
}

}  // namespace

STATUS TaskMain(HMODULE module, int argc, char **argv) {
    (void)module;
    (void)argc;
    (void)argv;

    STATUS lastStatus = NOERROR;
    MQHANDLE listQueue = 0;
    MQHANDLE requestQueue = 0;
    bool listOpen = false;
    bool requestOpen = false;
    auto running = std::make_shared<RunningRequests>();

    SetUpStatusLine();
    AddInLogMessageText("Halcyra: Initializing", NOERROR);
    // The XML library's start and stop are counted: with one start of the
    // task's own held for its whole life, the start and stop that each
    // worker makes only move the count, instead of setting the library up
    // and tearing it down again for every request.
    const bool xmlHeld = xml_toolkit::Start();

    char productDirectory[512];
    std::memset(productDirectory, 0, sizeof productDirectory);
    OSGetEnvironmentString("HCRDirectory", productDirectory, sizeof productDirectory);

    char serverName[MAXUSERNAME];
    if (SECKFMGetUserName(serverName) != NOERROR) {
        std::snprintf(serverName, sizeof serverName, "%s", "Unknown");
    }

    WORD productDbBuild = 0;
    lastStatus = SetUpProductDatabase(productDirectory, &productDbBuild);
    if (lastStatus == NOERROR) {
        AddInLogMessageText("Halcyra: Initialization Complete", NOERROR);
        AddInLogMessageText("Halcyra: Program Version 2.3.1 Build 2051", NOERROR);
        AddInSetStatusText("Idle");
        lastStatus = SetUpListQueue(listQueue, listOpen);
    }
    if (lastStatus == NOERROR)
        lastStatus = SetUpRequestQueue(requestQueue, requestOpen);

    if (lastStatus == NOERROR) {
        while (!AddInShouldStop()) {
            if (AddInIntervalElapsed(kLongInterval))
                continue;
            if (!AddInIntervalElapsed(kShortInterval))
                continue;
            lastStatus = ServeOneMessage(requestQueue, serverName, productDirectory, productDbBuild,
                                         running);
        }
    }

    if (requestOpen)
        MQClose(requestQueue, 0);
    if (listOpen)
        MQClose(listQueue, 0);

    // Request threads use the runtime until their last step; it must not be
    // ended under them.
    if (!running->WaitUntilNone(kRequestShutdownWaitMs)) {
        AddInLogMessageText(
            "Halcyra: %u request(s) still running after %u seconds; shutting down without them",
            NOERROR, running->Count(), static_cast<unsigned>(kRequestShutdownWaitMs / 1000));
    } else if (xmlHeld) {
        // Only once no worker is left; one still running keeps the library.
        xml_toolkit::Stop();
    }

    if (lastStatus != NOERROR && ERR(lastStatus) != ERR_MQ_TIMEOUT)
        LogStatusText(lastStatus);
    AddInLogMessageText("Halcyra: Shutdown Complete", NOERROR);
    return NOERROR;
}

STATUS RunAddInMain(int argc, char **argv) {
    STATUS status = AddInTaskStart(argc, argv);
    if (status != NOERROR)
        return status;
    HMODULE module = nullptr;
    AddInTaskModule(&module, 0, 0);
    return AddInTaskResult(TaskMain(module, argc, argv));
}

void ShowStartupError(const char *text) {
    std::printf("\r\n%s\r\n\r\n", text != nullptr ? text : "");
    std::fflush(stdout);
}
