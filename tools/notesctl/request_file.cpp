#include "request_file.h"

#include <cstddef>
#include <memory>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUni.hpp>

using namespace xercesc;

namespace notesctl {
namespace {

constexpr size_t kMaxFileBytes = 1024 * 1024;
constexpr XMLSize_t kMaxEntityExpansions = 100;

std::string ToUtf8(const XMLCh *text) {
    if (text == nullptr)
        return std::string();
    TranscodeToStr utf8(text, "UTF-8");
    return std::string(reinterpret_cast<const char *>(utf8.str()), utf8.length());
}

// Compares the start of an XML name with an ASCII word, without regard to
// ASCII case.
bool BeginsWith(const XMLCh *name, const char *word) {
    for (size_t i = 0; word[i] != '\0'; i++) {
        XMLCh c = name[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<XMLCh>(c - 'A' + 'a');
        char w = word[i];
        if (w >= 'A' && w <= 'Z')
            w = static_cast<char>(w - 'A' + 'a');
        if (c != static_cast<XMLCh>(w))
            return false;  // also ends at the name's NUL
    }
    return true;
}

class Handler : public DefaultHandler {
  public:
    // Every external entity (and DTD) reads as empty: nothing outside the
    // file is opened. The parser adopts the source.
    InputSource *resolveEntity(const XMLCh *const, const XMLCh *const) override {
        static const XMLByte kNothing[] = {0};
        return new MemBufInputSource(kNothing, 0, "empty entity");
    }
    void startElement(const XMLCh *const, const XMLCh *const, const XMLCh *const qname,
                      const Attributes &attributes) override {
        if (!BeginsWith(qname, "Username"))
            return;
        for (XMLSize_t i = 0; i < attributes.getLength(); i++) {
            if (BeginsWith(attributes.getQName(i), "MQName")) {
                name = ToUtf8(attributes.getValue(i));
            }
        }
    }
    void fatalError(const SAXParseException &e) override { throw e; }
    void error(const SAXParseException &) override {}
    void warning(const SAXParseException &) override {}

    std::string name;
};

// The library's counted start and stop around one read.
class XmlLibrary {
  public:
    XmlLibrary() { XMLPlatformUtils::Initialize(); }
    ~XmlLibrary() { XMLPlatformUtils::Terminate(); }
    XmlLibrary(const XmlLibrary &) = delete;
    XmlLibrary &operator=(const XmlLibrary &) = delete;
};

}  // namespace

ReplyQueueName ReplyQueueNameOf(const std::string &content) {
    ReplyQueueName result;
    if (content.size() > kMaxFileBytes) {
        result.problem = "the file is larger than 1 MiB";
        return result;
    }
    try {
        XmlLibrary library;
        Handler handler;
        SecurityManager security;
        security.setEntityExpansionLimit(kMaxEntityExpansions);
        std::unique_ptr<SAX2XMLReader> reader(XMLReaderFactory::createXMLReader());
        reader->setFeature(XMLUni::fgSAX2CoreNameSpaces, false);
        reader->setFeature(XMLUni::fgSAX2CoreValidation, false);
        reader->setFeature(XMLUni::fgXercesSchema, false);
        reader->setFeature(XMLUni::fgXercesLoadExternalDTD, false);
        reader->setFeature(XMLUni::fgXercesDisableDefaultEntityResolution, true);
        reader->setProperty(XMLUni::fgXercesSecurityManager, &security);
        reader->setEntityResolver(&handler);
        reader->setContentHandler(&handler);
        reader->setErrorHandler(&handler);
        MemBufInputSource source(reinterpret_cast<const XMLByte *>(content.data()), content.size(),
                                 "request file");
        try {
            reader->parse(source);
            result.parsed = true;
            result.name = handler.name;
        } catch (const SAXParseException &e) {
            result.problem =
                "line " + std::to_string(e.getLineNumber()) + ": " + ToUtf8(e.getMessage());
        } catch (const XMLException &e) {
            result.problem = ToUtf8(e.getMessage());
        } catch (const OutOfMemoryException &) {
            result.problem = "the file needs too much memory";
        }
    } catch (const XMLException &) {
        // Only the library's start gets here; its message cannot be
        // transcoded without the library.
        result.problem = "the XML library cannot start";
    }
    return result;
}

}  // namespace notesctl
