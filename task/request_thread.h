// The request thread: one per queue message, serving one request through
// the out-of-office worker.
#pragma once

#include <atomic>
#include <memory>

#include "notes_api.h"
#include "request_context.h"

class IPHCR;

// The kinds of request, by the key that the request file's path holds.
enum class RequestKind {
    InstallIosPage,  // "ND_REQUEST_INSTALL_IOS_HCR_": the iOS install page
    MobilePage,      // "ND_REQUEST_MOBILE_HCR_": the phone configure page
    AppConfigPage,   // "ND_REQUEST_HCR_": the desktop configure page
    XmlRequest,      // no key: an out-of-office request, chosen by its "Action"
};

// The kind of the request whose file has this path. The keys are tested in
// the order of RequestKind, case-sensitively, anywhere in the path; the first
// one found decides.
RequestKind SelectRequestKind(const char *requestFilePath);

// Whether the worker may ask the platform's out-of-office API: only for an
// HCR.nsf of build 379 or later.
bool MayUseOooApi(WORD productDbBuild);

// Hands the record's request to the worker's handler for its kind.
void DispatchRequest(IPHCR &worker, const RequestContext &record);

// The number of request threads that are running. TaskMain owns it and hands
// it to every request thread beside its record, so that shutdown can wait for
// the threads before the Notes runtime is ended; a thread that outlives the
// wait keeps the object alive through its own reference. Only an atomic
// count, so that request threads take no lock.
class RunningRequests {
  public:
    void Started() { count_.fetch_add(1); }
    void Finished() { count_.fetch_sub(1); }
    unsigned Count() const { return count_.load(); }
    // Waits until no request thread runs, at most boundMs milliseconds,
    // looking every pollMs milliseconds. True when none runs any more.
    bool WaitUntilNone(DWORD boundMs, DWORD pollMs = 50) const;

  private:
    std::atomic<unsigned> count_{0};
};

// What a request thread is started with.
struct RequestThreadStart {
    std::unique_ptr<RequestContext> record;
    std::shared_ptr<RunningRequests> running;
};

// The body of a request thread; start is a RequestThreadStart made with new,
// which the thread owns and releases, its record with it. It makes the thread
// ready for Notes calls (and ends at once, without an answer, when that
// fails), builds one worker, tells it whether it may use the out-of-office
// API, runs the handler of the request's kind, resets the worker while Notes
// calls are still allowed and ends the thread's use of Notes. A failure that
// escapes the handler ends only this request. Always 0.
unsigned RequestThreadProc(void *start);

// Starts a detached request thread for the record, counted in running from
// before it starts until it has released everything. A thread that cannot
// be started is not counted, and its record is released. False then.
bool StartRequestThread(std::unique_ptr<RequestContext> record,
                        const std::shared_ptr<RunningRequests> &running);
