// The state reply: one "User" element per reported user under the root
// "HCRReadObject", written over the request file (read and update) or added
// to the query's document.
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/LocalFileFormatTarget.hpp>
#include <xercesc/util/XMLException.hpp>

#include "iphcr.h"
#include "ip_exception.h"
#include "state_reply.h"
#include "xml_string_translate.h"

using namespace xercesc;

namespace {

const char kContext[] = "getHCRInfo";
const char kUnexpected[] = "Unexpected Exception\n";

// The zone bits of a TIMEDATE's second word for a zone as TIME.zone gives
// it (hours plus 100 times the quarter hours, positive west of Greenwich)
// and a daylight-saving flag.
DWORD ZoneBits(int zone, int dst) {
    const int magnitude = zone < 0 ? -zone : zone;
    DWORD bits = (static_cast<DWORD>(magnitude % 100) & 0xF) << 24 |
                 (static_cast<DWORD>(magnitude / 100) & 0x3) << 28;
    if (zone < 0)
        bits |= 0x40000000u;
    if (dst)
        bits |= 0x80000000u;
    return bits;
}

std::string Number(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return text;
}

// A short text of the international settings, of at most ISTRMAX bytes
// with or without its terminator.
std::string IntlText(const char (&text)[ISTRMAX]) {
    return std::string(text, strnlen(text, ISTRMAX));
}

}  // namespace

namespace state_reply {

bool ServerLocalTime(const TIMEDATE &value, TIME &local) {
    local = TIME();
    local.GM = value;
    // A value with a date and a time names a moment, shown on the server's
    // clock whatever zone it was made in; a date or a time alone is shown as
    // it stands.
    if (value.Innards[0] != ALLDAY && value.Innards[1] != ANYDAY) {
        int zone = 0;
        int dst = 0;
        OSCurrentTimeZone(&zone, &dst);
        local.GM.Innards[1] = (value.Innards[1] & 0x00FFFFFFu) | ZoneBits(zone, dst);
    }
    return !TimeGMToLocal(&local);
}

DocumentWriter::DocumentWriter(const std::string &path) {
    try {
        Open(path);
    } catch (...) {
        Release();
        throw;
    }
}

void DocumentWriter::Open(const std::string &path) {
    XMLCh features[1024];
    XMLString::transcode("LS", features, 1023);
    DOMImplementation *implementation = DOMImplementationRegistry::getDOMImplementation(features);
    if (implementation == nullptr)
        throw std::runtime_error("no DOM implementation for LS");
    serializer = implementation->createLSSerializer();
    output = implementation->createLSOutput();
    // Opens (creates or empties) the file at once; a file that cannot be
    // opened throws the library's exception here.
    target = new LocalFileFormatTarget(path.c_str());
    output->setByteStream(target);
    {
        TranscodedText root("HCRReadObject");
        document = implementation->createDocument(nullptr, root.getText(), nullptr);
    }
    // The encoding the document is written in; this version of the library
    // takes it from the output rather than from the document.
    TranscodedText encoding("UTF-8");
    output->setEncoding(encoding.getText());
}

DocumentWriter::~DocumentWriter() {
    Release();
}

void DocumentWriter::Release() {
    if (document != nullptr)
        document->release();
    if (serializer != nullptr)
        serializer->release();
    if (output != nullptr)
        output->release();
    document = nullptr;
    serializer = nullptr;
    output = nullptr;
    if (target != nullptr) {
        try {
            target->flush();
        } catch (...) {
            // the file is closed below all the same
        }
        delete target;
        target = nullptr;
    }
}

DOMElement *DocumentWriter::root() const {
    return document->getDocumentElement();
}

void DocumentWriter::Write() {
    serializer->write(document, output);
    document->release();
    document = nullptr;
    serializer->release();
    serializer = nullptr;
    output->release();
    output = nullptr;
    target->flush();
    delete target;
    target = nullptr;
}

}  // namespace state_reply

void IPHCR::BuildUserElement(DOMDocument *document, DOMElement *parent, XMLStringTranslate &utf8,
                             bool fileForm) {
    INTLFORMAT intl;
    std::memset(&intl, 0, sizeof intl);
    OSGetIntlSettings(&intl, sizeof intl);

    TranscodedText userTag("User");
    DOMElement *user = document->createElement(userTag.getText());
    bool appended = false;
    // The element joins the document with its first attribute and stays
    // there, so a failure further on leaves what was set.
    auto joinParent = [&] {
        if (!appended) {
            parent->appendChild(user);
            appended = true;
        }
    };
    // Worker texts (UTF-8) go through the translator; the library copies
    // each value before the next conversion reuses the translator's buffer.
    auto setText = [&](const char *name, const std::string &value) {
        TranscodedText attribute(name);
        user->setAttribute(attribute.getText(), utf8.toXMLCh(value.c_str()));
        joinParent();
    };
    auto setPlain = [&](const char *name, const std::string &value) {
        TranscodedText attribute(name);
        TranscodedText text(value.c_str());
        user->setAttribute(attribute.getText(), text.getText());
        joinParent();
    };
    auto setFlag = [&](const char *name, int32_t flag) { setPlain(name, flag ? "1" : "0"); };
    auto setIfAny = [&](const char *name, const std::string &value) {
        if (!value.empty())
            setText(name, value);
    };
    auto toLocal = [](const TIMEDATE &value) {
        TIME local;
        if (!state_reply::ServerLocalTime(value, local))
            throw IPException(kContext, "Convert Time error");
        return local;
    };

    if (!subject.empty())
        setText("Subject", subject);
    setText("Message", message);
    setPlain("TaskType", agentType ? "1" : "2");
    setFlag("HCREnable", enabled);
    setPlain("ShowHours", agentType ? std::string("0") : showHours);
    setFlag("ASDEnable", appendSubjectPresent);
    setFlag("AppendSubject", appendSubject);
    setFlag("InternetAddress", excludeInternetMail);

    TIME local = toLocal(uiFirstDayOut);
    setPlain("StartTimeYear", Number(local.year));
    setPlain("StartTimeMonth", Number(local.month));
    setPlain("StartTimeDay", Number(local.day));
    local = toLocal(leaveTime);
    setPlain("StartTimeHour", Number(local.hour));
    setPlain("StartTimeMin", Number(local.minute));
    setPlain("StartTimeSec", Number(local.second));
    local = toLocal(uiFirstDayBack);
    setPlain("EndTimeYear", Number(local.year));
    setPlain("EndTimeMonth", Number(local.month));
    setPlain("EndTimeDay", Number(local.day));
    local = toLocal(returnTime);
    setPlain("EndTimeHour", Number(local.hour));
    setPlain("EndTimeMin", Number(local.minute));
    setPlain("EndTimeSec", Number(local.second));

    setIfAny("DaysOut", daysOut);
    setIfAny("DaysOut_S", daysOutS);
    setIfAny("DaysOut_V", daysOutV);
    if (fileForm)
        setIfAny("DaysOutValue", daysOutValue);
    setIfAny("AppendSubjectDate", appendSubjectDate);
    if (fileForm)
        setIfAny("AppendSubjectDateValue", appendSubjectDateValue);
    setIfAny("ResetSubject", resetSubject);

    setPlain("DateFlag", Number(intl.Flags));
    setText("AMString", IntlText(intl.AMString));
    setText("PMString", IntlText(intl.PMString));
    setText("DateString", IntlText(intl.DateString));
    setText("TimeString", IntlText(intl.TimeString));
    setText("User_Status", "1");

    std::string notified;
    for (size_t i = 0; i < notifiedNames.size(); i++) {
        if (i > 0)
            notified += ';';
        notified += notifiedNames[i];
    }
    setText("Notified", notified);
    setText("BuildVersion", "230");

    std::string name = "Unknow";
    if (!ownerDisplayName.empty()) {
        if (fileForm) {
            name = ownerDisplayName;
        } else {
            // A query member's abbreviated name, as the platform gave it.
            name = userName;
            XMLStringTranslate::LmbcsToUtf8InPlace(name);
        }
    }
    user->appendChild(document->createTextNode(utf8.toXMLCh(name.c_str())));
}

const std::string &IPHCR::getHCRInfo(const std::string &requestFilePath) {
    resultText.clear();
    try {
        std::unique_ptr<XMLStringTranslate> utf8(new XMLStringTranslate("utf-8"));
        state_reply::DocumentWriter writer(requestFilePath);
        BuildUserElement(writer.document, writer.root(), *utf8, true);
        writer.Write();
        resultText = "OK";
        return resultText;
    } catch (const XMLException &e) {
        throw IPException(kContext, LocalText::Message(e.getMessage()).c_str());
    } catch (const DOMException &e) {
        throw IPException(kContext, LocalText::Message(e.msg).c_str());
    } catch (const IPException &) {
        throw;
    } catch (...) {
        throw IPException(kContext, kUnexpected);
    }
}

const std::string &IPHCR::getHCRInfo(DOMDocument *document, DOMElement *parent) {
    resultText.clear();
    try {
        std::unique_ptr<XMLStringTranslate> utf8(new XMLStringTranslate("utf-8"));
        BuildUserElement(document, parent, *utf8, false);
        return resultText;
    } catch (const XMLException &e) {
        throw IPException(kContext, LocalText::Message(e.getMessage()).c_str());
    } catch (const DOMException &e) {
        throw IPException(kContext, LocalText::Message(e.msg).c_str());
    } catch (const IPException &) {
        throw;
    } catch (...) {
        throw IPException(kContext, kUnexpected);
    }
}
