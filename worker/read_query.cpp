// The read and the query of out-of-office states.
#include <algorithm>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/util/XMLException.hpp>

#include "iphcr.h"
#include "ip_exception.h"
#include "name_forms.h"
#include "state_reply.h"
#include "xml_string_translate.h"

using namespace xercesc;

namespace {

const char kQuery[] = "getUserStatus";
const char kUnexpected[] = "Unexpected Exception\n";
constexpr WORD kNameBuffer = 256;

// A memory handle of the platform, freed with the object.
class MemoryObject {
  public:
    MemoryObject() = default;
    ~MemoryObject() {
        if (locked_ != nullptr)
            OSUnlockObject(handle);
        if (handle != NULLHANDLE)
            OSMemFree(handle);
    }
    MemoryObject(const MemoryObject &) = delete;
    MemoryObject &operator=(const MemoryObject &) = delete;

    const void *Lock() {
        if (locked_ == nullptr)
            locked_ = OSLockObject(handle);
        return locked_;
    }
    void Unlock() {
        if (locked_ != nullptr)
            OSUnlockObject(handle);
        locked_ = nullptr;
    }

    DHANDLE handle = NULLHANDLE;

  private:
    void *locked_ = nullptr;
};

std::string ToUtf8(std::string text) {
    XMLStringTranslate::LmbcsToUtf8InPlace(text);
    return text;
}

// The platform's text for a status with each "%a" replaced by the name; the
// text goes on after each name, so a name that holds "%a" is not searched
// again.
std::string TextWithName(STATUS status, const std::string &name) {
    char text[kNameBuffer] = "";
    OSLoadString(nullptr, ERR(status), text, sizeof text);
    const std::string platform = text;
    std::string result;
    size_t from = 0;
    for (;;) {
        const size_t at = platform.find("%a", from);
        if (at == std::string::npos)
            break;
        result.append(platform, from, at - from);
        result += name;
        from = at + 2;
    }
    result.append(platform, from, std::string::npos);
    return result;
}

}  // namespace

const std::string &IPHCR::ReadOutOfOffice(const std::string &requestFilePath) {
    resultText = "OK";
    getHCRProfile(true);
    getHCRType();
    LoadProfileSettings();
    resultText = getHCRInfo(requestFilePath);
    return resultText;
}

void IPHCR::AddQueryErrorElement(DOMDocument *document, DOMElement *root,
                                 const std::string &errorText, const std::string &name) {
    XMLStringTranslate utf8("utf-8");
    TranscodedText userTag("User");
    TranscodedText statusName("User_Status");
    TranscodedText errorName("ErrorMsg");
    DOMElement *user = document->createElement(userTag.getText());
    user->setAttribute(statusName.getText(), utf8.toXMLCh("0"));
    user->setAttribute(errorName.getText(), utf8.toXMLCh(ToUtf8(errorText).c_str()));
    root->appendChild(user);
    user->appendChild(document->createTextNode(utf8.toXMLCh(ToUtf8(name).c_str())));
}

void IPHCR::ServeQueryMember(DOMDocument *document, DOMElement *root, const std::string &member) {
    // A member that cannot be served shows in its error element by the name
    // that the expansion gave, abbreviated: the form in which the front end
    // asked and in which the served members are shown.
    const std::string shownName = name_forms::Abbreviated(member);
    std::vector<MailLocation> locations;
    STATUS status = LookupMailLocations(member, locations, 0);
    if (status != NOERROR || locations.empty()) {
        AddQueryErrorElement(
            document, root,
            TextWithName(status != NOERROR ? status : STATUS(ERR_NAME_NOT_FOUND), shownName),
            shownName);
        return;
    }
    // The previous member's handles go; its fields stay until overwritten.
    Reset(false);
    const MailLocation &location = locations.front();
    userName = name_forms::Abbreviated(location.fullName);
    mailServer = location.mailServer;
    mailFile = location.mailFile;
    if (mailServer.empty() && mailFile.empty()) {
        AddQueryErrorElement(document, root, "No mail file", userName);
        return;
    }
    status = getHCRProfile(false);
    if (status != NOERROR) {
        AddQueryErrorElement(document, root, TextWithName(status, shownName), shownName);
        return;
    }
    getHCRType();
    // A "TaskState" that tells nothing leaves enabled as it is: it must not
    // be the previous member's.
    enabled = 0;
    LoadProfileSettings();
    getHCRInfo(document, root);
}

const std::string &IPHCR::getUserStatus(const std::string &requestFilePath) {
    resultText = "OK";
    MemoryObject request;
    MemoryObject expanded;
    try {
        auto fail = [this](STATUS status) {
            SetErrorFromStatus(status);
            throw IPException(kQuery, resultText);
        };
        // The requested name as a text list with its data type, which the
        // expansion takes.
        void *list = nullptr;
        WORD size = 0;
        STATUS status = ListAllocate(0, 0, TRUE, &request.handle, &list, &size);
        if (status != NOERROR)
            fail(status);
        const WORD entries = ListGetNumEntries(list, TRUE);
        OSUnlockObject(request.handle);
        status = ListAddEntry(request.handle, TRUE, &size, entries, userName.data(),
                              static_cast<WORD>(std::min<size_t>(userName.size(), MAXWORD)));
        if (status != NOERROR)
            fail(status);
        WORD expandedSize = 0;
        status = NAMEExpandNamesList(request.handle, size, &expanded.handle, &expandedSize, 0, 0);
        if (status != NOERROR)
            fail(status);

        state_reply::DocumentWriter writer(requestFilePath);
        const void *names = expanded.Lock();
        const WORD count = ListGetNumEntries(names, TRUE);
        if (count == 0)
            AddQueryErrorElement(writer.document, writer.root(), "Empty Group", userName);
        for (WORD i = 0; i < count; i++) {
            char *text = nullptr;
            WORD length = 0;
            if (ListGetText(names, TRUE, i, &text, &length) != NOERROR)
                continue;  // an entry that cannot be read is skipped
            ServeQueryMember(writer.document, writer.root(), std::string(text, length));
        }
        expanded.Unlock();
        writer.Write();
        resultText = "OK";
        return resultText;
    } catch (const XMLException &e) {
        throw IPException(kQuery, LocalText::Message(e.getMessage()).c_str());
    } catch (const DOMException &e) {
        throw IPException(kQuery, LocalText::Message(e.msg).c_str());
    } catch (const IPException &) {
        throw;
    } catch (...) {
        throw IPException(kQuery, kUnexpected);
    }
}
