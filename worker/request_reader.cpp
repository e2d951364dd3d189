// The request file reader: parses the request file and copies the
// "Username" element's text and attributes into the request fields.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/util/XMLException.hpp>

#include "iphcr.h"
#include "ip_exception.h"
#include "request_parser.h"
#include "xml_string_translate.h"

using namespace xercesc;

namespace {

const char kUnexpected[] = "Unexpected Exception\n";

// Limits for request files, which the front end writes small (a few hundred
// bytes; the longest message that a reply can carry back is 16383 UTF-16
// units). A file beyond them is refused as malformed: the size limit bounds
// what each allowed entity expansion can copy, the parser's memory budget
// (request_parser.h) bounds every other copy, and the depth limit keeps the
// walk (and the library's text gathering, both recursive) off the end of the
// thread's stack.
constexpr size_t kMaxRequestFileBytes = 256 * 1024;
constexpr unsigned kMaxElementDepth = 100;

// A request that the reader refuses on its own account; it reaches the
// guard's catch-all like any failure that is not the library's.
struct MalformedRequest {};

// Closes a descriptor on every path.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            close(fd_);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// The request file, read whole through one descriptor, so that the check
// and the parse see the same file, and a name of any bytes is opened as it
// stands (the library would open a name converted from the local code
// page). The open does not wait: a pipe or a device put in the file's place
// could hold the thread for ever. Only a regular file within the size limit
// is read; one that grows beyond it while it is read is refused too.
std::string ReadRequestFile(const std::string &path) {
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status;
    if (file.get() < 0 || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size < 0 || static_cast<size_t>(status.st_size) > kMaxRequestFileBytes) {
        throw MalformedRequest();
    }
    // One byte more than the file holds, so that a file that grew shows.
    std::string content(static_cast<size_t>(status.st_size) + 1, '\0');
    size_t length = 0;
    for (;;) {
        if (length == content.size()) {
            if (content.size() > kMaxRequestFileBytes)
                throw MalformedRequest();
            content.resize(std::min(2 * content.size(), kMaxRequestFileBytes + 1));
        }
        ssize_t got = read(file.get(), &content[length], content.size() - length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw MalformedRequest();
        if (got == 0)
            break;
        length += static_cast<size_t>(got);
    }
    content.resize(length);
    return content;
}

// Measures the tree without recursion.
void CheckDepth(DOMNode *root) {
    unsigned depth = 1;
    DOMNode *node = root;
    for (;;) {
        if (DOMNode *child = node->getFirstChild()) {
            node = child;
            if (++depth > kMaxElementDepth)
                throw MalformedRequest();
            continue;
        }
        while (node != root && node->getNextSibling() == nullptr) {
            node = node->getParentNode();
            depth--;
        }
        if (node == root)
            return;
        node = node->getNextSibling();
    }
}

bool StartsWithNoCase(const char *text, const char *prefix) {
    for (; *prefix != '\0'; text++, prefix++) {
        if (std::tolower(static_cast<unsigned char>(*text)) !=
            std::tolower(static_cast<unsigned char>(*prefix))) {
            return false;  // also when text ends first
        }
    }
    return true;
}

// Leading blanks, an optional sign, then digits; the first other character
// ends it, and no digits give 0. Values beyond the int range are held at
// its ends.
int ParseNumber(const char *text) {
    while (std::isspace(static_cast<unsigned char>(*text)))
        text++;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        if (value <= INT_MAX)
            value = value * 10 + (*text - '0');
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

// Whether a mail file name already has its extension: it holds ".nsf", or
// ends in it in another case ("jdoe.NSF" must not become "jdoe.NSF.nsf").
bool NamesNsf(const std::string &name) {
    const char kExtension[] = ".nsf";
    const size_t length = sizeof kExtension - 1;
    return name.find(kExtension) != std::string::npos ||
           (name.size() >= length &&
            StartsWithNoCase(name.c_str() + name.size() - length, kExtension));
}

int32_t ParseFlag(const char *text) {
    return text[0] == '1' ? 1 : 0;
}

uint16_t ParseAction(const char *text) {
    return (text[0] >= '1' && text[0] <= '3') ? static_cast<uint16_t>(text[0] - '0') : 0;
}

// Message and subject texts carry line breaks as NUL bytes.
void LineFeedsToNul(std::string &text) {
    for (char &c : text) {
        if (c == '\n')
            c = '\0';
    }
}

enum class Row {
    Message,
    MQName,
    HCREnable,
    MailServer,
    MailBox,
    Subject,
    StartTimeYear,
    StartTimeMonth,
    StartTimeDay,
    StartTimeHour,
    StartTimeMin,
    StartTimeSec,
    EndTimeYear,
    EndTimeMonth,
    EndTimeDay,
    EndTimeHour,
    EndTimeMin,
    EndTimeSec,
    ShowHours,
    Action,
    DaysOut,
    AppendSubjectDate,
    AppendSubject,
    ASDEnable,
    InternetAddress,
    LoginName,
    LoginServer,
    QueryUser,
};

// An attribute belongs to the first row whose name begins its own name
// (ASCII case ignored): "MessageBody" is a Message. "AppendSubjectDate"
// stands before "AppendSubject" for that reason.
const struct {
    const char *name;
    Row row;
} kRows[] = {
    {"Message", Row::Message},
    {"MQName", Row::MQName},
    {"HCREnable", Row::HCREnable},
    {"MailServer", Row::MailServer},
    {"MailBox", Row::MailBox},
    {"Subject", Row::Subject},
    {"StartTimeYear", Row::StartTimeYear},
    {"StartTimeMonth", Row::StartTimeMonth},
    {"StartTimeDay", Row::StartTimeDay},
    {"StartTimeHour", Row::StartTimeHour},
    {"StartTimeMin", Row::StartTimeMin},
    {"StartTimeSec", Row::StartTimeSec},
    {"EndTimeYear", Row::EndTimeYear},
    {"EndTimeMonth", Row::EndTimeMonth},
    {"EndTimeDay", Row::EndTimeDay},
    {"EndTimeHour", Row::EndTimeHour},
    {"EndTimeMin", Row::EndTimeMin},
    {"EndTimeSec", Row::EndTimeSec},
    {"ShowHours", Row::ShowHours},
    {"Action", Row::Action},
    {"DaysOut", Row::DaysOut},
    {"AppendSubjectDate", Row::AppendSubjectDate},
    {"AppendSubject", Row::AppendSubject},
    {"ASDEnable", Row::ASDEnable},
    {"InternetAddress", Row::InternetAddress},
    {"LoginName", Row::LoginName},
    {"LoginServer", Row::LoginServer},
    {"QueryUser", Row::QueryUser},
};

const Row *FindRow(const char *attributeName) {
    for (const auto &entry : kRows) {
        if (StartsWithNoCase(attributeName, entry.name))
            return &entry.row;
    }
    return nullptr;
}

// The local zone and daylight flag, then the conversion to GMT.
bool ConvertToGM(TIME &record, TIMEDATE &result) {
    int zone = 0;
    int dst = 0;
    OSCurrentTimeZone(&zone, &dst);
    record.zone = zone;
    record.dst = dst;
    if (TimeLocalToGM(&record))
        return false;
    result = record.GM;
    return true;
}

}  // namespace

bool IPHCR::xmlParser(const std::string &requestFilePath) {
    try {
        // A parse that failed may leave the parser unusable (after running
        // out of memory it holds itself to be still parsing, and its setters
        // throw), so it was deleted then, and this parse gets a new one.
        if (parser == nullptr && parserGuards)
            parser = parserGuards->MakeParser();
        if (parser == nullptr)
            throw MalformedRequest();  // the XML library did not start
        parser->setValidationScheme(XercesDOMParser::Val_Auto);
        parser->setDoNamespaces(false);
        parser->setDoSchema(false);
        parser->setLoadExternalDTD(false);
        const std::string content = ReadRequestFile(requestFilePath);
        // The name stays out of the library: external references are
        // refused, so none is resolved against it. The source's stream comes
        // from the budget too, which takes it back when the library loses it.
        MemBufInputSource source(reinterpret_cast<const XMLByte *>(content.data()), content.size(),
                                 "request file", false, &parserGuards->memory());
        try {
            // The parser keeps every document that it made until told
            // otherwise; one request's document is all it needs.
            parser->resetDocumentPool();
            parser->parse(source);
        } catch (...) {
            delete parser;  // with what it had built of the document
            parser = nullptr;
            throw;
        }
        DOMDocument *document = parser->getDocument();
        DOMElement *root = document != nullptr ? document->getDocumentElement() : nullptr;
        if (root == nullptr)
            throw IPException("xmlParser", "Empty XML document");
        CheckDepth(root);
        receiveElements(root);
        return true;
    } catch (const XMLException &e) {
        throw IPException("xmlParser", LocalText::Message(e.getMessage()).c_str());
    } catch (const DOMException &e) {
        throw IPException("xmlParser", LocalText::Message(e.msg).c_str());
    } catch (const IPException &) {
        throw;
    } catch (...) {
        throw IPException("xmlParser", kUnexpected);
    }
}

void IPHCR::receiveElements(DOMNode *node) {
    if (node == nullptr || node->getNodeType() != DOMNode::ELEMENT_NODE)
        return;
    try {
        LocalText name(node->getNodeName());
        if (StartsWithNoCase(name.c_str(), "Username")) {
            XMLStringTranslate utf8("UTF-8");
            userName = utf8.toNative(node->getTextContent());
            XMLStringTranslate::Utf8ToLmbcsInPlace(userName);
            if (node->hasAttributes()) {
                startRecord = TIME();
                endRecord = TIME();
                timeSeen = 0;
                DOMNamedNodeMap *attributes = node->getAttributes();
                const XMLSize_t count = attributes->getLength();
                for (XMLSize_t i = 0; i < count; i++) {
                    DOMAttr *attribute = static_cast<DOMAttr *>(attributes->item(i));
                    LocalText attributeName(attribute->getName());
                    const Row *row = FindRow(attributeName.c_str());
                    if (row == nullptr)
                        continue;  // never converted, so it cannot fail
                    // Only the rows that read it take the local text.
                    auto local = [attribute] { return LocalText(attribute->getValue()).str(); };
                    switch (*row) {
                        case Row::Message:
                            message = utf8.toNative(attribute->getValue());
                            LineFeedsToNul(message);
                            XMLStringTranslate::Utf8ToLmbcsInPlace(message);
                            break;
                        case Row::MQName:
                            replyQueueName = local();
                            XMLStringTranslate::Utf8ToLmbcsInPlace(replyQueueName);
                            break;
                        case Row::HCREnable:
                            enabled = ParseFlag(local().c_str());
                            break;
                        case Row::MailServer:
                            mailServer = local();
                            XMLStringTranslate::Utf8ToLmbcsInPlace(mailServer);
                            break;
                        case Row::MailBox:
                            mailFile = local();
                            XMLStringTranslate::Utf8ToLmbcsInPlace(mailFile);
                            if (!NamesNsf(mailFile))
                                mailFile += ".nsf";
                            break;
                        case Row::Subject:
                            subject = utf8.toNative(attribute->getValue());
                            LineFeedsToNul(subject);
                            XMLStringTranslate::Utf8ToLmbcsInPlace(subject);
                            break;
                        case Row::StartTimeYear:
                            startRecord.year = ParseNumber(local().c_str());
                            timeSeen = 1;
                            break;
                        case Row::StartTimeMonth:
                            startRecord.month = ParseNumber(local().c_str());
                            timeSeen = 1;
                            break;
                        case Row::StartTimeDay:
                            startRecord.day = ParseNumber(local().c_str());
                            timeSeen = 1;
                            break;
                        case Row::StartTimeHour:
                            startRecord.hour = ParseNumber(local().c_str());
                            timeSeen = 1;
                            break;
                        case Row::StartTimeMin:
                            startRecord.minute = ParseNumber(local().c_str());
                            timeSeen = 1;
                            break;
                        case Row::StartTimeSec:
                            startRecord.second = ParseNumber(local().c_str());
                            timeSeen = 1;
                            break;
                        case Row::EndTimeYear:
                            endRecord.year = ParseNumber(local().c_str());
                            timeSeen = 1;
                            break;
                        case Row::EndTimeMonth:
                            endRecord.month = ParseNumber(local().c_str());
                            timeSeen = 1;
                            break;
                        case Row::EndTimeDay:
                            endRecord.day = ParseNumber(local().c_str());
                            timeSeen = 1;
                            break;
                        case Row::EndTimeHour:
                            endRecord.hour = ParseNumber(local().c_str());
                            timeSeen = 1;
                            break;
                        case Row::EndTimeMin:
                            endRecord.minute = ParseNumber(local().c_str());
                            timeSeen = 1;
                            break;
                        case Row::EndTimeSec:
                            endRecord.second = ParseNumber(local().c_str());
                            timeSeen = 1;
                            break;
                        case Row::ShowHours:
                            showHours = local();
                            break;
                        case Row::Action:
                            action = ParseAction(local().c_str());
                            break;
                        case Row::DaysOut:
                            daysOut = utf8.toNative(attribute->getValue());
                            XMLStringTranslate::Utf8ToLmbcsInPlace(daysOut);
                            break;
                        case Row::AppendSubjectDate:
                            appendSubjectDate = utf8.toNative(attribute->getValue());
                            XMLStringTranslate::Utf8ToLmbcsInPlace(appendSubjectDate);
                            break;
                        case Row::AppendSubject:
                            appendSubject = ParseFlag(local().c_str());
                            break;
                        case Row::ASDEnable:
                            appendSubjectPresent = ParseFlag(local().c_str());
                            break;
                        case Row::InternetAddress:
                            excludeInternetMail = ParseFlag(local().c_str());
                            break;
                        case Row::LoginName:
                            loginName = utf8.toNative(attribute->getValue());
                            break;
                        case Row::LoginServer:
                            loginServer = utf8.toNative(attribute->getValue());
                            break;
                        case Row::QueryUser:
                            queryUser = utf8.toNative(attribute->getValue());
                            break;
                    }
                }
                // Both dates are converted when any time attribute was
                // given, so a request that names only one of them fails on
                // the other.
                if (timeSeen) {
                    if (!ConvertToGM(startRecord, leaveTime)) {
                        throw IPException("receiveElements", "The leaving date is invalid..");
                    }
                    if (!ConvertToGM(endRecord, returnTime)) {
                        throw IPException("receiveElements", "The returning date is invalid.");
                    }
                }
            }
        }
        for (DOMNode *child = node->getFirstChild(); child != nullptr;
             child = child->getNextSibling()) {
            receiveElements(child);
        }
    } catch (const XMLException &e) {
        throw IPException("receiveElements", LocalText::Message(e.getMessage()).c_str());
    } catch (const DOMException &e) {
        throw IPException("receiveElements", LocalText::Message(e.msg).c_str());
    } catch (const IPException &) {
        throw;
    } catch (...) {
        throw IPException("receiveElements", kUnexpected);
    }
}
