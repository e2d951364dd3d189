// The request worker: one object serves one request on one request thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <xercesc/util/XercesDefs.hpp>

#include "notes_api.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMNode;
class XercesDOMParser;
XERCES_CPP_NAMESPACE_END

class RequestParserGuards;
class XMLStringTranslate;

class IPHCR {
  public:
    // Starts the XML library, makes the translator and the parser; every
    // handle is 0.
    IPHCR();
    // Resets the worker, deletes the parser and the translator and stops the
    // XML library. The request thread resets the worker while it may still
    // call Notes, so no handle is left for the destructor to close.
    virtual ~IPHCR();
    IPHCR(const IPHCR &) = delete;
    IPHCR &operator=(const IPHCR &) = delete;

    // Closes the agent, the two profile notes and the mail database, in
    // that order, each only when open. With clear, also empties the
    // request and reply fields (the profile's message templates, the
    // subject, the owner's name, the notified names, the last error reply
    // and the action stay).
    void Reset(bool clear);
    void SetUseOooApi(int32_t flag);

    // Request handlers: each answers the requester itself, with one reply
    // message on the queue that the request names.
    void HandleXmlRequest(const std::string &requestFilePath);
    void HandleAppConfigRequest(const std::string &requestFilePath,
                                const std::string &productDirectory, const std::string &serverUrl,
                                const std::string &appQuery);
    void HandleMobileRequest(const std::string &requestFilePath,
                             const std::string &productDirectory, const std::string &serverUrl,
                             const std::string &appQuery);
    void HandleInstallIosRequest(const std::string &requestFilePath,
                                 const std::string &productDirectory, const std::string &serverUrl,
                                 const std::string &iosInstallPage);
    // Puts text on the reply queue; nothing is reported.
    void SendReply(const std::string &text);

    // resultText := the platform's text for the status.
    void SetErrorFromStatus(STATUS status);

    // Reads the request file into the request fields; throws IPException.
    bool xmlParser(const std::string &requestFilePath);
    void receiveElements(xercesc::DOMNode *node);

    // The operations behind the handlers; each returns resultText.
    const std::string &ReadOutOfOffice(const std::string &requestFilePath);
    const std::string &setHCR(const std::string &requestFilePath);
    const std::string &getUserStatus(const std::string &requestFilePath);
    const std::string &WriteMobileConfigPage(const std::string &requestFilePath,
                                             const std::string &productDirectory,
                                             const std::string &serverUrl,
                                             const std::string &appQuery);
    const std::string &WriteAppConfigPage(const std::string &requestFilePath,
                                          const std::string &productDirectory,
                                          const std::string &serverUrl,
                                          const std::string &appQuery);
    const std::string &WriteIosInstallPage(const std::string &requestFilePath,
                                           const std::string &productDirectory,
                                           const std::string &serverUrl,
                                           const std::string &iosInstallPage);

  private:
    friend struct IPHCRTestAccess;  // defined by the unit tests only

    // The intake of every handler ends with the parse; false when the
    // request file does not exist.
    static bool RequestFileExists(const std::string &requestFilePath);
    void ReplyWithError(const char *text);

    // What the page handlers share: the intake, then the page that
    // writePage makes is the reply; an IPException on the way gives the
    // error reply instead.
    using PageWriter = const std::string &(IPHCR::*)(const std::string &requestFilePath,
                                                     const std::string &productDirectory,
                                                     const std::string &serverUrl,
                                                     const std::string &page);
    void HandlePageRequest(PageWriter writePage, const std::string &requestFilePath,
                           const std::string &productDirectory, const std::string &serverUrl,
                           const std::string &page);

    XMLStringTranslate *translator;
    xercesc::XercesDOMParser *parser;
    DBHANDLE mailDb;
    NOTEHANDLE profileNote;
    NOTEHANDLE serviceProfileNote;
    HAGENT agent;
    std::string userName;  // LMBCS
    std::string message;   // LMBCS; line breaks as NUL bytes
    TIMEDATE leaveTime;    // GMT
    TIMEDATE returnTime;   // GMT
    std::string subject;   // LMBCS; line breaks as NUL bytes
    std::string replyQueueName;
    int32_t enabled;
    int32_t excludeInternetMail;
    std::string mailServer;
    std::string mailFile;
    uint16_t action;  // 1 read, 2 update, 3 query, else 0
    std::string ownerDisplayName;
    std::vector<std::string> notifiedNames;
    std::string loginName;
    std::string loginServer;
    std::string queryUser;
    std::string resultText;
    TIMEDATE uiFirstDayOut;
    TIMEDATE uiFirstDayBack;
    TIMEDATE uiStartTime;
    TIMEDATE uiEndTime;
    std::string showHours;
    int32_t agentType;  // 1 the agent, 0 the service
    int32_t appendSubject;
    int32_t appendSubjectPresent;
    std::string appendSubjectDate;
    std::string appendSubjectDateValue;
    std::string daysOut;
    std::string daysOutValue;
    std::string daysOutS;
    std::string daysOutV;
    int32_t wasDisabledBefore;
    int32_t useOooApi;
    std::string resetSubject;
    std::string errorReplyText;

    // State of the request walk: the leave and return dates as the current
    // "Username" element gives them, and whether it gave any.
    TIME startRecord;
    TIME endRecord;
    int32_t timeSeen;
    // Whether this worker's start of the XML library worked, so that only a
    // start of its own is given back.
    bool xmlStarted;
    // What the parser points at (its memory budget among them): made before
    // the parser and destroyed after it.
    std::unique_ptr<RequestParserGuards> parserGuards;
};
