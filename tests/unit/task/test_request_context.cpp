#include <string>

#include "request_context.h"
#include "test_support.h"

namespace {

// A page of many lines and characters of several bytes, longer than any
// fixed field would have held, so that a cut anywhere shows.
std::string LongPage(size_t length) {
    const std::string line = "<p style=\"x\">caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80</p>\n";
    std::string page;
    while (page.size() + line.size() <= length)
        page += line;
    return page + "</span></p>";
}

TEST(RequestContext, TextsOfAnyLengthArriveWholeAndApart) {
    struct Case {
        const char *what;
        std::string directory, ios, query, url;
    } cases[] = {
        {"a page past 4096 bytes", "apps", LongPage(5000), "&ssl=1", "https://mail.acme.com"},
        {"every text long", std::string(512, 'd'), LongPage(70000),
         "&ssl=1&lang=" + std::string(600, 'q'), "https://" + std::string(700, 'u')},
        {"all empty", "", "", "", ""},
    };
    for (const Case &c : cases) {
        RequestContext record;
        record.requestFilePath = "C:\\requests\\ND_REQUEST_INSTALL_IOS_HCR_1.xml";
        record.messageLength = static_cast<WORD>(record.requestFilePath.size());
        FillRequestContext(record, c.directory.c_str(), 379, c.url, c.ios, c.query);

        EXPECT_EQ(record.requestFilePath, "C:\\requests\\ND_REQUEST_INSTALL_IOS_HCR_1.xml")
            << c.what;
        EXPECT_EQ(record.messageLength, record.requestFilePath.size()) << c.what;
        EXPECT_EQ(record.productDirectory, c.directory) << c.what;
        EXPECT_TRUE(record.iosInstallPage == c.ios)
            << c.what << ": " << record.iosInstallPage.size() << " of " << c.ios.size();
        EXPECT_EQ(record.appQuery, c.query) << c.what;
        EXPECT_EQ(record.serverUrl, c.url) << c.what;
        EXPECT_EQ(record.productDbBuild, 379) << c.what;
    }
}

// The product folder comes from a 512-byte buffer that need not end with a
// NUL: it is read up to the buffer's end, never past it.
TEST(RequestContext, ProductDirectoryIsReadWithinItsBuffer) {
    struct Buffer {
        char directory[kMaxProductDirectory];
        char after[16];
    } buffer;
    std::string full(kMaxProductDirectory, 'd');
    full.copy(buffer.directory, sizeof buffer.directory);
    std::string("spill").copy(buffer.after, sizeof buffer.after);
    buffer.after[5] = '\0';

    RequestContext record;
    FillRequestContext(record, buffer.directory, 0, "", "", "");
    EXPECT_EQ(record.productDirectory, full);

    buffer.directory[3] = '\0';
    FillRequestContext(record, buffer.directory, 0, "", "", "");
    EXPECT_EQ(record.productDirectory, "ddd");

    FillRequestContext(record, nullptr, 0, "", "", "");
    EXPECT_EQ(record.productDirectory, "");
}

TEST(RequestContext, MessageTextEndsAtItsFirstNul) {
    const char message[] = {'a', '/', 'b', '\0', 'c'};
    EXPECT_EQ(TextBeforeNul(message, sizeof message), "a/b");
    EXPECT_EQ(TextBeforeNul(message, 2), "a/");
    EXPECT_EQ(TextBeforeNul(nullptr, 5), "");
    const std::string full(512, 'p');
    EXPECT_EQ(TextBeforeNul(full.data(), full.size()), full);
}

}  // namespace
