// The request handlers and the reply message.
#include <sys/stat.h>

#include "iphcr.h"
#include "ip_exception.h"
#include "name_forms.h"

namespace {

constexpr WORD kNameBuffer = 256;

// How many bytes of a reply text go out. A queue takes at most
// MQ_MAX_MSGSIZE bytes, which also keeps the 16-bit length from wrapping;
// a longer text is cut to its longest prefix of whole UTF-8 characters that
// fits, so the requester still gets a readable text.
size_t ReplyLength(const std::string &text) {
    if (text.size() <= MQ_MAX_MSGSIZE)
        return text.size();
    size_t length = MQ_MAX_MSGSIZE;
    for (size_t back = 0; back < 4; back++) {
        if ((static_cast<unsigned char>(text[length - back]) & 0xC0) != 0x80) {
            return length - back;
        }
    }
    return length;  // not UTF-8 at the cut; cut it where it must be
}

}  // namespace

bool IPHCR::RequestFileExists(const std::string &requestFilePath) {
    struct stat status;
    return stat(requestFilePath.c_str(), &status) == 0;
}

void IPHCR::ReplyWithError(const char *text) {
    if (replyQueueName.empty())
        return;  // nobody to tell
    errorReplyText = text;
    SendReply(errorReplyText);
}

void IPHCR::SendReply(const std::string &text) {
    MQHANDLE queue = 0;
    if (MQOpen(replyQueueName.c_str(), 0, &queue) != NOERROR)
        return;
    MQPut(queue, 0, text.data(), static_cast<WORD>(ReplyLength(text)), 0);
    MQClose(queue, 0);
}

void IPHCR::HandleXmlRequest(const std::string &requestFilePath) {
    if (!RequestFileExists(requestFilePath))
        return;
    try {
        xmlParser(requestFilePath);
        if (replyQueueName.empty())
            return;

        // The name is abbreviated before the action is looked at, so this
        // failure is answered whatever the request asks for.
        std::string user;
        STATUS status = name_forms::Abbreviate(userName, user);
        if (status != NOERROR) {
            char text[kNameBuffer];
            OSLoadString(nullptr, ERR(status), text, sizeof text);
            AddInLogMessageText("Halcyra: %s", NOERROR, text);
            ReplyWithError(text);
            return;
        }

        switch (action) {
            case 1:
                SendReply(ReadOutOfOffice(requestFilePath));
                AddInLogMessageText("Halcyra: [%s] OutOfOfficeProfile has been read.", NOERROR,
                                    user.c_str());
                break;
            case 2:
                SendReply(setHCR(requestFilePath));
                AddInLogMessageText("Halcyra: [%s] OutOfOfficeProfile has been updated.", NOERROR,
                                    user.c_str());
                break;
            case 3: {
                // A requester's name that cannot be abbreviated is logged as the
                // request gave it.
                std::string requester;
                if (name_forms::Abbreviate(queryUser, requester) != NOERROR)
                    requester = queryUser;
                SendReply(getUserStatus(requestFilePath));
                AddInLogMessageText("Halcyra: [%s] OutOfOfficeProfile has been queried by [%s].",
                                    NOERROR, user.c_str(), requester.c_str());
                break;
            }
            default:
                break;  // not a request of ours: no reply, no trace
        }
    } catch (const IPException &e) {
        ReplyWithError(e.message());
    }
}

void IPHCR::HandlePageRequest(PageWriter writePage, const std::string &requestFilePath,
                              const std::string &productDirectory, const std::string &serverUrl,
                              const std::string &page) {
    if (!RequestFileExists(requestFilePath))
        return;
    try {
        xmlParser(requestFilePath);
        if (replyQueueName.empty())
            return;
        SendReply((this->*writePage)(requestFilePath, productDirectory, serverUrl, page));
    } catch (const IPException &e) {
        ReplyWithError(e.message());
    }
}

void IPHCR::HandleAppConfigRequest(const std::string &requestFilePath,
                                   const std::string &productDirectory,
                                   const std::string &serverUrl, const std::string &appQuery) {
    HandlePageRequest(&IPHCR::WriteAppConfigPage, requestFilePath, productDirectory, serverUrl,
                      appQuery);
}

void IPHCR::HandleMobileRequest(const std::string &requestFilePath,
                                const std::string &productDirectory, const std::string &serverUrl,
                                const std::string &appQuery) {
    HandlePageRequest(&IPHCR::WriteMobileConfigPage, requestFilePath, productDirectory, serverUrl,
                      appQuery);
}

void IPHCR::HandleInstallIosRequest(const std::string &requestFilePath,
                                    const std::string &productDirectory,
                                    const std::string &serverUrl,
                                    const std::string &iosInstallPage) {
    HandlePageRequest(&IPHCR::WriteIosInstallPage, requestFilePath, productDirectory, serverUrl,
                      iosInstallPage);
}
