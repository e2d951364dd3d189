#include <cstring>
#include <string>
#include <vector>

#include "request_context.h"
#include "test_support.h"

namespace {

// The record with room behind it, so that a copy that runs past the record
// shows in the canary.
struct GuardedRecord {
    RequestContext record;
    unsigned char canary[256];
};

// What a field must hold after the text was copied in: the text cut to the
// field less its NUL, and zeros after it (the record was zeroed first).
template <size_t N>
void ExpectField(const char (&field)[N], const std::string &text, const char *name) {
    std::vector<char> expected(N, '\0');
    std::memcpy(expected.data(), text.data(), text.size() < N - 1 ? text.size() : N - 1);
    EXPECT_EQ(std::memcmp(field, expected.data(), N), 0)
        << name << " holds \"" << std::string(field, strnlen(field, N)).substr(0, 40)
        << "...\" of length " << strnlen(field, N);
    EXPECT_EQ(field[N - 1], '\0') << name << " is not NUL-terminated";
}

struct FillCase {
    const char *name;
    size_t directoryLength, iosLength, queryLength, urlLength;
};

void PrintTo(const FillCase &c, std::ostream *os) {
    *os << c.name;
}

class RequestContextFill : public ::testing::TestWithParam<FillCase> {};

// Each field gets its own letter, so that bytes that spill from one field
// into the next are seen there.
TEST_P(RequestContextFill, LongTextsAreCutWithinTheirFieldsAndNeverSpill) {
    const FillCase &c = GetParam();
    const std::string directory(c.directoryLength, 'd');
    const std::string ios(c.iosLength, 'i');
    const std::string query(c.queryLength, 'q');
    const std::string url(c.urlLength, 'u');
    const std::string path = "C:\\requests\\ND_REQUEST_HCR_1.xml";

    GuardedRecord guarded;
    std::memset(&guarded.record, 0, sizeof guarded.record);
    std::memset(guarded.canary, 0xA5, sizeof guarded.canary);
    std::memcpy(guarded.record.requestFilePath, path.data(), path.size());
    guarded.record.messageLength = static_cast<WORD>(path.size());

    FillRequestContext(guarded.record, directory.c_str(), 379, url, ios, query);

    EXPECT_EQ(guarded.record.messageLength, path.size());
    ExpectField(guarded.record.requestFilePath, path, "requestFilePath");
    ExpectField(guarded.record.productDirectory, directory, "productDirectory");
    ExpectField(guarded.record.iosInstallPage, ios, "iosInstallPage");
    ExpectField(guarded.record.appQuery, query, "appQuery");
    ExpectField(guarded.record.serverUrl, url, "serverUrl");
    EXPECT_EQ(guarded.record.productDbBuild, 379);
    for (unsigned char b : guarded.canary)
        ASSERT_EQ(b, 0xA5) << "written past the record";
}

INSTANTIATE_TEST_SUITE_P(Cases, RequestContextFill,
                         ::testing::Values(FillCase{"IosPage5000", 10, 5000, 20, 30},
                                           FillCase{"Query600", 10, 100, 600, 30},
                                           FillCase{"IosPageAndQueryTooLong", 0, 5000, 600, 30},
                                           FillCase{"EveryTextTooLong", 700, 9000, 700, 700},
                                           FillCase{"ExactFit", 512, 4096, 512, 512},
                                           FillCase{"AllEmpty", 0, 0, 0, 0}),
                         [](const ::testing::TestParamInfo<FillCase> &info) {
                             return std::string(info.param.name);
                         });

TEST(RequestContextText, CopyStopsAtAnEmbeddedNulAndLeavesTheRestOfTheFieldAlone) {
    char field[8];
    std::memset(field, 'x', sizeof field);
    const char text[] = {'a', 'b', '\0', 'c', 'd'};
    CopyToField(field, sizeof field, text, sizeof text);
    EXPECT_STREQ(field, "ab");
    EXPECT_EQ(field[3], 'x');  // only the text and its NUL are written

    CopyToField(field, sizeof field, nullptr, 5);
    EXPECT_STREQ(field, "");
}

TEST(RequestContextText, FieldTextNeverReadsPastTheField) {
    GuardedRecord guarded;
    std::memset(&guarded, 'z', sizeof guarded);
    std::memset(guarded.record.appQuery, 'q', sizeof guarded.record.appQuery);  // no NUL at all
    EXPECT_EQ(FieldText(guarded.record.appQuery), std::string(kAppQueryField, 'q'));

    guarded.record.serverUrl[3] = '\0';
    EXPECT_EQ(FieldText(guarded.record.serverUrl), "zzz");
}

}  // namespace
