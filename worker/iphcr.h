// The request worker: one object serves one request on one request thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <xercesc/util/XercesDefs.hpp>

#include "notes_api.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMDocument;
class DOMElement;
class DOMNode;
class XercesDOMParser;
XERCES_CPP_NAMESPACE_END

class RequestParserGuards;
class XMLStringTranslate;

// A person's mail location as the directory gives it: three texts of at
// most 512 characters each, NUL-terminated, all zero until filled.
struct MailLocation {
    static constexpr size_t kFieldBytes = 513;
    char mailServer[kFieldBytes];
    char mailFile[kFieldBytes];
    char fullName[kFieldBytes];
};

// The error routine handed to the compute-with-form call: every field error
// is passed over, so that the fields after it are still computed.
WORD LNCALLBACK IgnoreCallback(const char *fieldName, WORD phase, STATUS error,
                               const char *errorText, void *context);

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
    // The query: one "User" element per name that the requested person or
    // group expands to. A member that is not in the directory, or whose
    // mail file or profile cannot be opened, gets an error element whose
    // name (in "ErrorMsg" for "%a" and as its text) is the member's name as
    // the expansion gave it, abbreviated; a member without mail server and
    // mail file shows its directory full name, abbreviated. Names and texts
    // are converted from LMBCS to UTF-8.
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

    // The state reply. The file form writes a document of one "User"
    // element over the request file and returns "OK"; the append form adds
    // one "User" element to the caller's document and returns "". Both throw
    // IPException "getHCRInfo".
    const std::string &getHCRInfo(const std::string &requestFilePath);
    const std::string &getHCRInfo(xercesc::DOMDocument *document, xercesc::DOMElement *parent);

    // Opens the mail file on mailServer (or on a server of its cluster when
    // mailServer does not answer) and its two profiles. 0 when the mail file
    // and "OutOfOfficeProfile" are open; otherwise the status, thrown as
    // IPException "getHCRProfile" with raise.
    STATUS getHCRProfile(bool raise);
    // The directory of this server: the servers of a server's cluster (the
    // list is emptied first; every failure shows as an empty list), every
    // mail location that "$Users" gives for a name (appended), and a
    // person's full name.
    WORD GetClusterServers(const std::string &serverName, std::vector<std::string> &servers);
    STATUS LookupMailLocations(const std::string &name, std::vector<MailLocation> &locations,
                               int32_t firstMatch);
    STATUS LookupFullName(const std::string &name, std::string &fullName);

    // Agent (1) or service (0) for the open mail file, into agentType;
    // throws IPException "getHCRType" when an out-of-office call fails.
    int32_t getHCRType();

    // The worker's fields from the open "OutOfOfficeProfile", with the
    // message templates learned from the mail design; changes the note in
    // memory only.
    void LoadProfileSettings();
    // The text of a formula evaluated on the profile note: the last entry
    // of a text result goes into text. 0 on success.
    STATUS EvaluateProfileFormula(const char *formula, std::string &text);

    // The mail file's "OutOfOffice" agent: opened (afresh with reopen) and
    // held in agent; true when it was opened now. Throws IPException
    // "getAgent" when it cannot be found or opened.
    bool getAgent(bool reopen);
    // Whether the agent is enabled; true when no mail file is open.
    bool IsAgentEnabled(bool reopen);
    // Whether the agent note's "$FlagsExt" holds "a".
    bool isAgentActivation();

    // Profile writing: changes to the "OutOfOfficeProfile" note in memory,
    // saved only by SaveHCRProfile. Each throws IPException under its own
    // name when a platform call fails; the four setters report false (and
    // do nothing) when no profile is open.
    // Option 0 writes "0", 1 writes "1", 2 removes the item, 3 writes "".
    int32_t SetOptionField(const char *item, WORD option);
    int32_t SetTaskState(WORD value);
    int32_t SetTaskType(WORD value);
    int32_t SetSaveOptions(double value);
    void UpdateStatusFields();
    // The request's settings into the profile; texts that cannot be stored
    // or shown whole are refused before anything is written.
    void setHCRContent();
    // Mode 11: the return date and time become now.
    int32_t ResetDateTime(WORD mode);
    int32_t SaveHCRProfile(bool removeForm);

    // Date validation: throws IPException "ValidateSettings" with the
    // refusal's message, "GetUITimes" for a missing date item.
    int32_t ValidateSettings();
    int32_t GetUITimes();
    // The source moved back to the start of its local day on the server's
    // clock; the plain copy when it cannot be converted.
    static void TruncateToDayStart(const TIMEDATE &source, TIMEDATE &target);

    // The busy-time calendar entry that the profile's "CalendarEntryUNID"
    // records: booked (made or moved) and freed.
    int32_t BookBusyTime();
    int32_t RemoveBusyTime();
    static void ParseUnidText(const std::string &text, UNID &unid);
    static void HexToUInt32(const std::string &text, uint32_t &value);

    // Switching through the mail file's "OutOfOffice" agent.
    int32_t setAgentEnable(bool on);
    int32_t EnableByAgent();
    int32_t DisableByAgent();

    // Switching through the server's out-of-office service: the icon
    // note's "$Flags" holds "O" while it is on.
    int32_t IsServiceEnabled();
    int32_t EnableService();
    int32_t DisableService();

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

    // One "User" element of the state reply, appended to parent.
    void BuildUserElement(xercesc::DOMDocument *document, xercesc::DOMElement *parent,
                          XMLStringTranslate &utf8, bool fileForm);
    // Opens the two profiles of the open mail database; the status of the
    // "OutOfOfficeProfile" open.
    STATUS OpenProfiles();
    // One member of a query: its full element, or its error element.
    void ServeQueryMember(xercesc::DOMDocument *document, xercesc::DOMElement *root,
                          const std::string &member);
    void AddQueryErrorElement(xercesc::DOMDocument *document, xercesc::DOMElement *root,
                              const std::string &errorText, const std::string &name);
    // The profile loading's template learning (its steps 10 and 11).
    void LearnTemplates(const std::string &ownerCommonName);

    // The item := the value's decimal text; the setters of "TaskState" and
    // "TaskType".
    int32_t SetDecimalText(const char *item, WORD value, const char *context);
    // resultText := the status's text, thrown under the operation's name.
    [[noreturn]] void ThrowStatus(const char *operation, STATUS status);
    // The note ID of the mail file's "OutOfOffice" agent.
    STATUS FindAgentNote(NOTEID &id);
    // The owner that the mail file's "CalendarProfile" names, else userName.
    std::string CalendarOwner();
    // Removes the "Notified_" items of "ooserviceprofile" and saves it when
    // any went: NOERROR, or the first failing call's status.
    STATUS RemoveNotifiedItems();
    // The entry moved to the profile's dates with the busy or free mark, and
    // saved: NOERROR or the first failing call's status.
    STATUS RewriteEntry(NOTEHANDLE entry, bool busy);
    // The calendar entry that this request made while no saved profile
    // records it yet is marked free: busy time that nothing would ever free
    // must not stay behind a failed request.
    void FreeUnrecordedEntry();

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

    // The calendar entry that this request made, while no profile that
    // records it has been saved.
    UNID unrecordedEntry;
    bool entryUnrecorded;

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
