#include <unicode/ucnv.h>

#include <cstring>
#include <string>
#include <vector>

#include "dname.h"
#include "os_error.h"
#include "os_text.h"
#include "standin/fault.h"
#include "test_support.h"

namespace {

struct Result {
    STATUS status;
    std::string text;
    WORD length;
};

Result Canonical(const char *name, const char *templateName = nullptr, WORD size = MAXUSERNAME) {
    std::vector<char> out(size ? size : 1, '\x5A');
    WORD length = 0xBEEF;
    STATUS status = DNCanonicalize(0, templateName, name, out.data(), size, &length);
    return {status, size ? std::string(out.data()) : std::string(), length};
}

Result Abbreviated(const char *name, const char *templateName = nullptr, WORD size = MAXUSERNAME) {
    std::vector<char> out(size ? size : 1, '\x5A');
    WORD length = 0xBEEF;
    STATUS status = DNAbbreviate(0, templateName, name, out.data(), size, &length);
    return {status, size ? std::string(out.data()) : std::string(), length};
}

TEST(DName, ConversionsBothWaysAndIdempotent) {
    struct Case {
        const char *in, *canonical, *abbreviated;
    } cases[] = {
        {"John Doe/Sales/Acme", "CN=John Doe/OU=Sales/O=Acme", "John Doe/Sales/Acme"},
        {"CN=John Doe/OU=Sales/O=Acme", "CN=John Doe/OU=Sales/O=Acme", "John Doe/Sales/Acme"},
        {"John Doe/Acme/US", "CN=John Doe/O=Acme/C=US", "John Doe/Acme/US"},
        {"John Doe/Acme", "CN=John Doe/O=Acme", "John Doe/Acme"},
        {"John/US", "CN=John/O=US", "John/US"},  // two letters but no organisation before them
        {"J/A/B/C/D/Acme/US", "CN=J/OU=A/OU=B/OU=C/OU=D/O=Acme/C=US", "J/A/B/C/D/Acme/US"},
        {"cn=john/ou=east/o=acme/c=us", "CN=john/OU=east/O=acme/C=us", "john/east/acme/us"},
        {"CN = John Doe / O = Acme", "CN=John Doe/O=Acme", "John Doe/Acme"},
        {"  John  Doe  /\tAcme ", "CN=John  Doe/O=Acme", "John  Doe/Acme"},
        {"CN=John Doe", "CN=John Doe", "John Doe"},
        {"O=Acme", "O=Acme", "/Acme"},
        {"/Sales/Acme/US", "OU=Sales/O=Acme/C=US", "/Sales/Acme/US"},
        {"J\x81rgen M\x94ller/Acme", "CN=J\x81rgen M\x94ller/O=Acme", "J\x81rgen M\x94ller/Acme"},
        {"*/Acme", "CN=*/O=Acme", "*/Acme"},
    };
    for (const Case &c : cases) {
        Result canonical = Canonical(c.in);
        ASSERT_NOERROR(canonical.status);
        EXPECT_EQ(canonical.text, c.canonical) << c.in;
        EXPECT_EQ(canonical.length, std::strlen(c.canonical)) << c.in;
        Result abbreviated = Abbreviated(c.in);
        ASSERT_NOERROR(abbreviated.status);
        EXPECT_EQ(abbreviated.text, c.abbreviated) << c.in;
        EXPECT_EQ(abbreviated.length, std::strlen(c.abbreviated)) << c.in;
        EXPECT_EQ(Canonical(c.canonical).text, c.canonical) << "canonical of canonical";
        EXPECT_EQ(Abbreviated(c.abbreviated).text, c.abbreviated) << "abbreviated of abbreviated";
        EXPECT_EQ(Abbreviated(c.canonical).text, c.abbreviated);
        if (std::strchr(c.abbreviated, '/')) {
            EXPECT_EQ(Canonical(c.abbreviated).text, c.canonical) << c.abbreviated;
        }
    }
}

std::string Lmbcs(const std::string &utf8) {
    char out[256];
    WORD n = OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, utf8.data(), static_cast<WORD>(utf8.size()),
                         out, sizeof out);
    return std::string(out, n);
}

// Characters whose data bytes look like "/", "=" and a blank, in every kind
// of group: U+014C is 06 20, U+000F is 0F 2F, U+001D is 0F 3D, U+022F is
// 14 02 2F, U+2015 is 10 81 5C.
TEST(DName, LmbcsCharactersAreWhole) {
    const std::string cn = Lmbcs("Jurgi\xC8\xAF \xC5\x8C"), unit = Lmbcs("\xC5\x8C\x0F"),
                      org = Lmbcs("Acme\x1D\xE2\x80\x95");
    ASSERT_EQ(cn, "Jurgi\x14\x02\x2F \x06\x20");
    ASSERT_EQ(unit, "\x06\x20\x0F\x2F");
    ASSERT_EQ(org, "Acme\x0F\x3D\x10\x81\x5C");
    const std::string abbreviated = cn + " / " + unit + "/" + org;
    const std::string canonical = "CN=" + cn + "/OU=" + unit + "/O=" + org;
    EXPECT_EQ(Canonical(abbreviated.c_str()).text, canonical);
    EXPECT_EQ(Abbreviated(canonical.c_str()).text, cn + "/" + unit + "/" + org);
    DN_COMPONENTS comp;
    ASSERT_NOERROR(DNParse(0, nullptr, canonical.c_str(), &comp, sizeof comp));
    EXPECT_EQ(std::string(comp.CN, comp.CNLength), cn) << "its last byte is a blank's";
    ASSERT_EQ(comp.OUCount, 1);
    EXPECT_EQ(std::string(comp.OU[0], comp.OULength[0]), unit);
    EXPECT_EQ(std::string(comp.O, comp.OLength), org) << "its value holds an \"=\" byte";
    // A flat name whose characters hold "/" and "=" stays flat and whole.
    const std::string flat = Lmbcs("\x0F\xC8\xAF\x1D group");
    EXPECT_EQ(Canonical(flat.c_str()).text, flat);
    EXPECT_EQ(Abbreviated(flat.c_str()).text, flat);
}

// The bytes after a lead byte that belong to its character are those that
// ICU's LMBCS converter reads with it: here "/" bytes, which then separate
// nothing.
TEST(DName, EveryLeadByteTakesTheBytesThatIcuReadsWithIt) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter *converter = ucnv_open("LMBCS-1", &status);
    ASSERT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    int lengths[4] = {};
    for (int lead = 0x01; lead <= 0xFF; lead++) {
        const char bytes[] = {static_cast<char>(lead), '/', '/', 'B'};
        UChar units[8];
        int32_t offsets[8];
        UChar *target = units;
        const char *source = bytes;
        ucnv_reset(converter);
        ucnv_toUnicode(converter, &target, units + 8, &source, bytes + sizeof bytes, offsets, TRUE,
                       &status);
        ASSERT_TRUE(U_SUCCESS(status)) << u_errorName(status);
        ASSERT_GE(target - units, 2);
        const int length = offsets[1];  // where ICU's second character starts
        ASSERT_TRUE(length >= 1 && length <= 3) << lead;
        lengths[length]++;
        const std::string name = std::string("A") + bytes[0] + "//B/Acme";
        const std::string character(bytes, length);
        const Result canonical = Canonical(name.c_str());
        if (length == 1) {
            EXPECT_EQ(canonical.status, ERR_DN_INVALID) << "an empty unit after " << lead;
        } else if (length == 2) {
            EXPECT_EQ(canonical.text, "CN=A" + character + "/OU=B/O=Acme") << lead;
        } else {
            EXPECT_EQ(canonical.text, "CN=A" + character + "B/O=Acme") << lead;
        }
    }
    ucnv_close(converter);
    EXPECT_EQ(lengths[2], 9) << "single-byte and control groups";
    EXPECT_EQ(lengths[3], 5) << "double-byte and Unicode groups";
}

TEST(DName, FlatNamesPassUnchanged) {
    for (const char *name :
         {"Anonymous", "-Default-", "LocalDomainServers", "[SysAdmin]", "Sales Group", " padded ",
          "jdoe@acme.com", "OtherDomainServers", ""}) {
        Result canonical = Canonical(name), abbreviated = Abbreviated(name);
        EXPECT_NOERROR(canonical.status);
        EXPECT_NOERROR(abbreviated.status);
        EXPECT_EQ(canonical.text, name);
        EXPECT_EQ(abbreviated.text, name);
        EXPECT_EQ(canonical.length, std::strlen(name));
    }
}

TEST(DName, UnparsableNamesFailWithAnEmptyResult) {
    const char *names[] = {
        "John Doe//Acme",           // empty component
        "John Doe/",                // empty organisation
        "/",                        // nothing at all
        "/ /Acme",                  // a blank unit
        "CN=John/Sales/O=Acme",     // labels on some components only
        "XY=John/O=Acme",           // unknown label
        "a=b",                      // unknown label, no "/"
        "CN=/O=Acme",               // empty value
        "CN=John Doe/O= ",          // blank value
        "=John/O=Acme",             // no label
        "O=Acme/CN=John",           // out of order
        "CN=John/O=Acme/OU=Sales",  // unit after the organisation
        "CN=a/CN=b/O=c",            // two common names
        "CN=a/O=b/O=c",             // two organisations
        "CN=John/OU=Sales",         // unit without organisation
        "CN=John/C=US",             // country without organisation
        "CN=John/O=Acme/C=USA",     // a country is two letters
        "CN=a=b/O=c",               // "=" inside a value
        "a/b/c/d/e/f/Acme",         // five units
        "CN=a/OU=1/OU=2/OU=3/OU=4/OU=5/O=Acme",
        "a/1/2/3/4/5/6/Acme/US",  // more components than any name has
    };
    for (const char *name : names) {
        Result canonical = Canonical(name), abbreviated = Abbreviated(name);
        EXPECT_EQ(canonical.status, ERR_DN_INVALID) << name;
        EXPECT_EQ(abbreviated.status, ERR_DN_INVALID) << name;
        EXPECT_EQ(canonical.text, "") << name;
        EXPECT_EQ(canonical.length, 0) << name;
        DN_COMPONENTS comp;
        std::memset(&comp, 0x5A, sizeof comp);
        EXPECT_EQ(DNParse(0, nullptr, name, &comp, sizeof comp), ERR_DN_INVALID) << name;
        EXPECT_EQ(comp.CN, nullptr) << name;
        EXPECT_EQ(comp.OUCount, 0) << name;
    }
}

// The result fits exactly or fails; nothing is written past OutSize.
TEST(DName, OutputBufferEdges) {
    struct Case {
        bool canonical;
        const char *in, *out;
    } cases[] = {
        {true, "John Doe/Sales/Acme", "CN=John Doe/OU=Sales/O=Acme"},
        {false, "CN=John Doe/OU=Sales/O=Acme", "John Doe/Sales/Acme"},
        {true, "Anonymous", "Anonymous"},
    };
    for (const Case &c : cases) {
        const WORD exact = static_cast<WORD>(std::strlen(c.out) + 1);
        for (WORD size = 0; size <= exact + 1; size++) {
            std::vector<char> out(size + 8, '\x5A');
            WORD length = 0xBEEF;
            STATUS status = c.canonical
                                ? DNCanonicalize(0, nullptr, c.in, out.data(), size, &length)
                                : DNAbbreviate(0, nullptr, c.in, out.data(), size, &length);
            if (size >= exact) {
                EXPECT_NOERROR(status);
                EXPECT_STREQ(out.data(), c.out);
                EXPECT_EQ(length, exact - 1);
            } else {
                EXPECT_EQ(status, ERR_DN_TOO_LONG) << c.in << " into " << size;
                EXPECT_EQ(length, 0);
                if (size > 0) {
                    EXPECT_EQ(out[0], '\0') << "terminated";
                }
            }
            for (size_t i = size ? (size >= exact ? exact : 1) : 0; i < out.size(); i++)
                ASSERT_EQ(out[i], '\x5A') << c.in << ": byte " << i << " written, OutSize " << size;
        }
    }
    std::string longest(MAXDNAME - 1, 'a');
    std::vector<char> big(MAXDNAME + 1);
    EXPECT_NOERROR(DNCanonicalize(0, nullptr, longest.c_str(), big.data(), MAXDNAME, nullptr));
    EXPECT_EQ(std::string(big.data()), longest);
    std::string tooLong(MAXDNAME, 'a');
    EXPECT_EQ(Canonical(tooLong.c_str()).status, ERR_DN_TOO_LONG);
    EXPECT_EQ(Canonical(nullptr).status, ERR_BAD_PARAM);
    EXPECT_EQ(DNCanonicalize(0, nullptr, "a/b", nullptr, 10, nullptr), ERR_BAD_PARAM);
}

std::string Text(const char *p, WORD length) {
    return p ? std::string(p, length) : "(absent)";
}

TEST(DName, ParseGivesComponentsInsideTheName) {
    const char *name = "CN=John Doe/OU=Sales/OU = East /O=Acme/C=US";
    DN_COMPONENTS comp;
    ASSERT_NOERROR(DNParse(0, nullptr, name, &comp, sizeof comp));
    EXPECT_EQ(comp.CN, name + 3);
    EXPECT_EQ(Text(comp.CN, comp.CNLength), "John Doe");
    ASSERT_EQ(comp.OUCount, 2);
    EXPECT_EQ(Text(comp.OU[0], comp.OULength[0]), "Sales") << "nearest the common name first";
    EXPECT_EQ(Text(comp.OU[1], comp.OULength[1]), "East");
    EXPECT_EQ(comp.OU[2], nullptr);
    EXPECT_EQ(Text(comp.O, comp.OLength), "Acme");
    EXPECT_EQ(Text(comp.C, comp.CLength), "US");
    EXPECT_EQ(comp.Flags, 0u);

    struct Case {
        const char *name, *cn, *o, *c;
        int units;
    } cases[] = {
        {"John Doe/Sales/Acme", "John Doe", "Acme", "(absent)", 1},
        {" Jane / Acme / DE", "Jane", "Acme", "DE", 0},
        {"Anonymous", "Anonymous", "(absent)", "(absent)", 0},
        {" padded flat ", " padded flat ", "(absent)", "(absent)", 0},
        {"/Sales/Acme", "(absent)", "Acme", "(absent)", 1},
        {"", "(absent)", "(absent)", "(absent)", 0},
    };
    for (const Case &c : cases) {
        ASSERT_NOERROR(DNParse(0, nullptr, c.name, &comp, sizeof comp));
        EXPECT_EQ(Text(comp.CN, comp.CNLength), c.cn) << c.name;
        EXPECT_EQ(Text(comp.O, comp.OLength), c.o) << c.name;
        EXPECT_EQ(Text(comp.C, comp.CLength), c.c) << c.name;
        EXPECT_EQ(comp.OUCount, c.units) << c.name;
        if (comp.CN) {
            EXPECT_GE(comp.CN, c.name);
            EXPECT_LE(comp.CN + comp.CNLength, c.name + std::strlen(c.name));
        }
    }
    EXPECT_EQ(DNParse(0, nullptr, name, &comp, sizeof comp - 1), ERR_BAD_PARAM);
    EXPECT_EQ(DNParse(0, nullptr, name, nullptr, sizeof comp), ERR_BAD_PARAM);
    EXPECT_EQ(DNParse(0, nullptr, nullptr, &comp, sizeof comp), ERR_BAD_PARAM);
}

TEST(DName, TemplateSuppliesTheOrganisation) {
    const char *tmpl = "CN=Admin/OU=IT/O=Acme/C=US";
    EXPECT_EQ(Canonical("John Doe", tmpl).text, "CN=John Doe/OU=IT/O=Acme/C=US");
    EXPECT_EQ(Canonical("CN=John Doe", tmpl).text, "CN=John Doe/OU=IT/O=Acme/C=US");
    EXPECT_EQ(Abbreviated("John Doe", "Admin/Acme").text, "John Doe/Acme");
    EXPECT_EQ(Canonical("John Doe/Other", tmpl).text, "CN=John Doe/O=Other")
        << "a hierarchical name keeps its own";
    EXPECT_EQ(Canonical("John Doe", "Admins").text, "John Doe") << "a flat template adds nothing";
    EXPECT_EQ(Canonical("John Doe", "").text, "John Doe");
    EXPECT_EQ(Canonical("John Doe", "a//b").status, ERR_DN_INVALID);

    DN_COMPONENTS comp;
    ASSERT_NOERROR(DNParse(0, tmpl, "John Doe", &comp, sizeof comp));
    EXPECT_EQ(Text(comp.CN, comp.CNLength), "John Doe");
    EXPECT_EQ(Text(comp.O, comp.OLength), "Acme");
    EXPECT_TRUE(comp.O > tmpl && comp.O < tmpl + std::strlen(tmpl)) << "points into the template";
}

TEST(DName, InjectedFaultLeavesAnEmptyResult) {
    StandinFaultInject({"DNAbbreviate", ERR_MEMORY, 0, 1, nullptr});
    Result r = Abbreviated("CN=John Doe/O=Acme");
    EXPECT_EQ(r.status, ERR_MEMORY);
    EXPECT_EQ(r.text, "");
    StandinFaultClear();
    EXPECT_EQ(Abbreviated("CN=John Doe/O=Acme").text, "John Doe/Acme");
}

}  // namespace
