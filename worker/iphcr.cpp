// Construction, reset and destruction of the request worker.
#include "iphcr.h"

#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "ip_exception.h"
#include "request_parser.h"
#include "xml_string_translate.h"
#include "xml_toolkit.h"

IPHCR::IPHCR()
    : translator(nullptr),
      parser(nullptr),
      mailDb(NULLHANDLE),
      profileNote(NULLHANDLE),
      serviceProfileNote(NULLHANDLE),
      agent(0),
      leaveTime(),
      returnTime(),
      enabled(0),
      excludeInternetMail(0),
      action(0),
      uiFirstDayOut(),
      uiFirstDayBack(),
      uiStartTime(),
      uiEndTime(),
      agentType(1),
      appendSubject(0),
      appendSubjectPresent(0),
      wasDisabledBefore(0),
      useOooApi(0),
      unrecordedEntry(),
      entryUnrecorded(false),
      startRecord(),
      endRecord(),
      timeSeen(0),
      xmlStarted(false) {
    xmlStarted = xml_toolkit::Start();
    // Without a running library neither object can be made; the worker is
    // built all the same, and a request that needs the parser fails in
    // order (the reader reports it as an unexpected failure).
    if (xmlStarted) {
        try {
            translator = new XMLStringTranslate("utf-8");
            parserGuards.reset(new RequestParserGuards);
            parser = parserGuards->MakeParser();
        } catch (...) {
            parserGuards.reset();
            delete translator;
            xml_toolkit::Stop();
            throw;
        }
    }
    Reset(true);
}

IPHCR::~IPHCR() {
    Reset(true);
    delete parser;
    parser = nullptr;
    parserGuards.reset();
    delete translator;
    translator = nullptr;
    if (xmlStarted)
        xml_toolkit::Stop();
}

void IPHCR::Reset(bool clear) {
    // Close results are not acted on: each handle is given up either way.
    if (agent != 0) {
        AgentClose(agent);
        agent = 0;
    }
    if (profileNote != NULLHANDLE) {
        NSFNoteClose(profileNote);
        profileNote = NULLHANDLE;
    }
    if (serviceProfileNote != NULLHANDLE) {
        NSFNoteClose(serviceProfileNote);
        serviceProfileNote = NULLHANDLE;
    }
    if (mailDb != NULLHANDLE) {
        NSFDbClose(mailDb);
        mailDb = NULLHANDLE;
    }
    if (!clear)
        return;
    enabled = 0;
    resetSubject.clear();
    appendSubjectDate.clear();
    daysOut.clear();
    showHours.clear();
    resultText.clear();
    mailFile.clear();
    mailServer.clear();
    replyQueueName.clear();
    message.clear();
    userName.clear();
    queryUser.clear();
    loginServer.clear();
    loginName.clear();
}

void IPHCR::SetUseOooApi(int32_t flag) {
    useOooApi = flag;
}

void IPHCR::SetErrorFromStatus(STATUS status) {
    char text[256];
    WORD length = OSLoadString(nullptr, ERR(status), text, sizeof text);
    if (length >= sizeof text)
        length = sizeof text - 1;
    resultText.assign(text, length);
}

void IPHCR::ThrowStatus(const char *operation, STATUS status) {
    SetErrorFromStatus(status);
    throw IPException(operation, resultText);
}
