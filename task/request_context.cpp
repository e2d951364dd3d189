#include "request_context.h"

#include <cstring>

std::string TextBeforeNul(const char *bytes, size_t length) {
    if (bytes == nullptr)
        return std::string();
    const void *nul = std::memchr(bytes, '\0', length);
    if (nul != nullptr)
        length = static_cast<size_t>(static_cast<const char *>(nul) - bytes);
    return std::string(bytes, length);
}

void FillRequestContext(RequestContext &record, const char *productDirectory, WORD productDbBuild,
                        const std::string &serverUrl, const std::string &iosInstallPage,
                        const std::string &appQuery) {
    record.iosInstallPage = iosInstallPage;
    record.appQuery = appQuery;
    record.serverUrl = serverUrl;
    record.productDbBuild = productDbBuild;
    record.productDirectory =
        productDirectory != nullptr
            ? std::string(productDirectory, strnlen(productDirectory, kMaxProductDirectory))
            : std::string();
}
