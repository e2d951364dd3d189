#include "request_context.h"

#include <cstring>

void CopyToField(char *field, size_t fieldSize, const char *text, size_t length) {
    if (field == nullptr || fieldSize == 0)
        return;
    if (text == nullptr)
        length = 0;
    const void *nul = length > 0 ? std::memchr(text, '\0', length) : nullptr;
    if (nul != nullptr)
        length = static_cast<size_t>(static_cast<const char *>(nul) - text);
    if (length > fieldSize - 1)
        length = fieldSize - 1;
    if (length > 0)
        std::memcpy(field, text, length);
    field[length] = '\0';
}

void FillRequestContext(RequestContext &record, const char *productDirectory, WORD productDbBuild,
                        const std::string &serverUrl, const std::string &iosInstallPage,
                        const std::string &appQuery) {
    CopyToField(record.iosInstallPage, iosInstallPage);
    CopyToField(record.appQuery, appQuery);
    CopyToField(record.serverUrl, serverUrl);
    record.productDbBuild = productDbBuild;
    CopyToField(record.productDirectory, sizeof record.productDirectory, productDirectory,
                productDirectory != nullptr
                    ? strnlen(productDirectory, sizeof record.productDirectory)
                    : 0);
}
