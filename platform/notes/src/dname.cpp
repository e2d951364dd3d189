#include "dname.h"

#include <cstring>
#include <string>

#include "dname_internal.h"
#include "fault.h"
#include "lmbcs.h"
#include "os_error.h"

namespace {

struct Part {
    const char *text = nullptr;
    size_t length = 0;
    bool present() const { return text != nullptr; }
};

struct Name {
    bool flat = false;  // no "/" and no "=": kept exactly as written
    Part cn;
    Part ou[DN_OUNITS];
    int ouCount = 0;
    Part o;
    Part c;
    bool hierarchical() const { return o.present() || ouCount > 0 || c.present(); }
};

bool IsBlank(char ch) {
    return ch == ' ' || ch == '\t';
}

// Names are LMBCS: a group byte and its data bytes are one character, and
// its bytes are never taken for "/", "=" or a blank.
size_t CharLength(const char *p, const char *end) {
    return notes_internal::LmbcsCharLength(reinterpret_cast<const unsigned char *>(p),
                                           static_cast<size_t>(end - p));
}

const char *Find(const char *begin, const char *end, char ch) {
    for (const char *p = begin; p < end; p += CharLength(p, end))
        if (*p == ch)
            return p;
    return nullptr;
}

Part Trim(const char *begin, const char *end) {
    while (begin < end && IsBlank(*begin))
        begin++;
    const char *last = begin;
    for (const char *p = begin; p < end;) {
        const size_t n = CharLength(p, end);
        if (n > 1 || !IsBlank(*p))
            last = p + n;
        p += n;
    }
    return Part{begin, static_cast<size_t>(last - begin)};
}

bool Contains(const Part &p, char ch) {
    return Find(p.text, p.text + p.length, ch) != nullptr;
}

bool IsCountry(const Part &p) {
    auto letter = [](char ch) { return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z'); };
    return p.length == 2 && letter(p.text[0]) && letter(p.text[1]);
}

bool LabelIs(const Part &label, const char *upper) {
    if (label.length != std::strlen(upper))
        return false;
    for (size_t i = 0; i < label.length; i++) {
        char ch = label.text[i];
        if (ch >= 'a' && ch <= 'z')
            ch = static_cast<char>(ch - 'a' + 'A');
        if (ch != upper[i])
            return false;
    }
    return true;
}

// "CN=John Doe/OU=Sales/O=Acme/C=US": labels in that order, units repeated
// at most four times, an organisation under every unit and country.
STATUS ParseCanonical(const Part *pieces, int count, Name *name) {
    enum Rank { kCommonName, kUnit, kOrganisation, kCountry };
    int last = -1;
    for (int i = 0; i < count; i++) {
        const Part &piece = pieces[i];
        const char *equals = Find(piece.text, piece.text + piece.length, '=');
        if (equals == nullptr)
            return ERR_DN_INVALID;
        const Part label = Trim(piece.text, equals);
        const Part value = Trim(equals + 1, piece.text + piece.length);
        if (value.length == 0 || Contains(value, '='))
            return ERR_DN_INVALID;
        int rank;
        if (LabelIs(label, "CN")) {
            rank = kCommonName;
        } else if (LabelIs(label, "OU")) {
            rank = kUnit;
        } else if (LabelIs(label, "O")) {
            rank = kOrganisation;
        } else if (LabelIs(label, "C")) {
            rank = kCountry;
        } else {
            return ERR_DN_INVALID;
        }
        if (rank < last || (rank == last && rank != kUnit))
            return ERR_DN_INVALID;
        last = rank;
        switch (rank) {
            case kCommonName:
                name->cn = value;
                break;
            case kUnit:
                if (name->ouCount == DN_OUNITS)
                    return ERR_DN_INVALID;
                name->ou[name->ouCount++] = value;
                break;
            case kOrganisation:
                name->o = value;
                break;
            default:
                if (!IsCountry(value))
                    return ERR_DN_INVALID;
                name->c = value;
                break;
        }
    }
    if ((name->ouCount > 0 || name->c.present()) && !name->o.present())
        return ERR_DN_INVALID;
    return NOERROR;
}

// "John Doe/Sales/Acme/US", or "/Sales/Acme" for a name without a common
// name.
STATUS ParseAbbreviated(const Part *pieces, int count, Name *name) {
    // The first piece is the common name; empty, there is none.
    const int first = 1;
    if (pieces[0].length > 0)
        name->cn = pieces[0];
    const int rest = count - first;
    if (rest < 1)
        return ERR_DN_INVALID;
    for (int i = first; i < count; i++)
        if (pieces[i].length == 0)
            return ERR_DN_INVALID;
    int orgIndex = count - 1;
    if (rest >= 2 && IsCountry(pieces[count - 1])) {
        name->c = pieces[count - 1];
        orgIndex = count - 2;
    }
    name->o = pieces[orgIndex];
    if (orgIndex - first > DN_OUNITS)
        return ERR_DN_INVALID;
    for (int i = first; i < orgIndex; i++)
        name->ou[name->ouCount++] = pieces[i];
    return NOERROR;
}

STATUS ParseName(const char *text, Name *name) {
    *name = Name{};
    if (text == nullptr)
        return ERR_BAD_PARAM;
    const size_t length = std::strlen(text);
    if (length >= MAXDNAME)
        return ERR_DN_TOO_LONG;
    const char *end = text + length;
    if (Find(text, end, '/') == nullptr && Find(text, end, '=') == nullptr) {
        name->flat = true;
        if (length > 0)
            name->cn = Part{text, length};
        return NOERROR;
    }
    // More pieces than a name can have is invalid anyway.
    constexpr int kMaxPieces = DN_OUNITS + 4;
    Part pieces[kMaxPieces];
    int count = 0;
    bool labelled = false;
    const char *start = text;
    while (true) {
        const char *slash = Find(start, end, '/');
        if (count == kMaxPieces)
            return ERR_DN_INVALID;
        pieces[count] = Trim(start, slash ? slash : end);
        labelled = labelled || Contains(pieces[count], '=');
        count++;
        if (slash == nullptr)
            break;
        start = slash + 1;
    }
    return labelled ? ParseCanonical(pieces, count, name) : ParseAbbreviated(pieces, count, name);
}

// The template's units, organisation and country for a name that has only
// a common name.
STATUS ApplyTemplate(const char *templateName, Name *name) {
    if (templateName == nullptr || *templateName == '\0' || name->hierarchical() ||
        !name->cn.present())
        return NOERROR;
    Name source;
    if (STATUS status = ParseName(templateName, &source))
        return status;
    if (!source.hierarchical())
        return NOERROR;
    name->flat = false;
    name->ouCount = source.ouCount;
    for (int i = 0; i < source.ouCount; i++)
        name->ou[i] = source.ou[i];
    name->o = source.o;
    name->c = source.c;
    return NOERROR;
}

std::string Format(const Name &name, bool canonical) {
    if (name.flat)
        return std::string(name.cn.text ? name.cn.text : "", name.cn.length);
    struct Labelled {
        const char *label;
        Part part;
    } parts[DN_OUNITS + 3];
    int count = 0;
    if (name.cn.present())
        parts[count++] = {"CN=", name.cn};
    for (int i = 0; i < name.ouCount; i++)
        parts[count++] = {"OU=", name.ou[i]};
    if (name.o.present())
        parts[count++] = {"O=", name.o};
    if (name.c.present())
        parts[count++] = {"C=", name.c};
    // An abbreviated name without a common name starts with "/".
    std::string out = (!canonical && !name.cn.present()) ? "/" : "";
    for (int i = 0; i < count; i++) {
        if (i > 0)
            out += '/';
        if (canonical)
            out += parts[i].label;
        out.append(parts[i].part.text, parts[i].part.length);
    }
    return out;
}

STATUS Convert(const char *call, bool canonical, const char *templateName, const char *inName,
               char *outName, WORD outSize, WORD *outLength) {
    if (outLength)
        *outLength = 0;
    if (outName == nullptr)
        return ERR_BAD_PARAM;
    if (outSize > 0)
        outName[0] = '\0';
    if (STATUS fault = notes_internal::FaultCheck(call))
        return fault;
    Name name;
    if (STATUS status = ParseName(inName, &name))
        return status;
    if (STATUS status = ApplyTemplate(templateName, &name))
        return status;
    const std::string result = Format(name, canonical);
    if (result.size() + 1 > outSize)
        return ERR_DN_TOO_LONG;
    std::memcpy(outName, result.c_str(), result.size() + 1);
    if (outLength)
        *outLength = static_cast<WORD>(result.size());
    return NOERROR;
}

}  // namespace

namespace notes_internal {

STATUS NameForm(const std::string &name, bool canonical, std::string *out) {
    Name parsed;
    if (STATUS status = ParseName(name.c_str(), &parsed))
        return status;
    *out = Format(parsed, canonical);
    return NOERROR;
}

}  // namespace notes_internal

STATUS LNPUBLIC DNCanonicalize(DWORD, const char far *TemplateName, const char far *InName,
                               char far *OutName, WORD OutSize, WORD far *OutLength) {
    return Convert("DNCanonicalize", true, TemplateName, InName, OutName, OutSize, OutLength);
}

STATUS LNPUBLIC DNAbbreviate(DWORD, const char far *TemplateName, const char far *InName,
                             char far *OutName, WORD OutSize, WORD far *OutLength) {
    return Convert("DNAbbreviate", false, TemplateName, InName, OutName, OutSize, OutLength);
}

STATUS LNPUBLIC DNParse(DWORD, const char far *TemplateName, const char far *InName,
                        DN_COMPONENTS far *Comp, WORD CompSize) {
    if (Comp == nullptr || CompSize < sizeof(DN_COMPONENTS))
        return ERR_BAD_PARAM;
    std::memset(Comp, 0, sizeof(DN_COMPONENTS));
    if (STATUS fault = notes_internal::FaultCheck("DNParse"))
        return fault;
    Name name;
    if (STATUS status = ParseName(InName, &name))
        return status;
    if (STATUS status = ApplyTemplate(TemplateName, &name))
        return status;
    auto set = [](const Part &part, char **text, WORD *length) {
        *text = const_cast<char *>(part.text);
        *length = static_cast<WORD>(part.length);
    };
    set(name.cn, &Comp->CN, &Comp->CNLength);
    set(name.o, &Comp->O, &Comp->OLength);
    set(name.c, &Comp->C, &Comp->CLength);
    Comp->OUCount = static_cast<WORD>(name.ouCount);
    for (int i = 0; i < name.ouCount; i++)
        set(name.ou[i], &Comp->OU[i], &Comp->OULength[i]);
    return NOERROR;
}
