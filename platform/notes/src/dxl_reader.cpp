// The DXL parser: expat, fed from the reader in chunks, with a stack of the
// elements open and what each may hold. Every refusal stops the parser at
// once and keeps the first problem, with the line of the element.
#include <expat.h>

#include <cstring>
#include <memory>

#include "collation.h"
#include "dxl.h"
#include "nsf_internal.h"
#include "nsf_note.h"
#include "os_error.h"
#include "value_codec.h"

namespace notes_internal {
namespace dxl {

namespace {

constexpr size_t kMaxDepth = 32;
constexpr size_t kMaxValueText = 16u << 20;
constexpr size_t kMaxNoteBytes = 64u << 20;
constexpr size_t kMaxAclRoles = 80;
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kMaxItemName = 255;

enum class Kind {
    Document,  // before the root
    Database,
    Skip,  // an element read and not used, with all it holds
    Note,
    NoteInfo,
    NoteInfoTime,      // <created> and its kind
    NoteInfoDateTime,  // the <datetime> inside it
    Item,
    Text,
    TextList,
    TextListText,
    Number,
    NumberList,
    NumberListNumber,
    DateTime,
    DateTimeList,
    DateTimeListDateTime,
    Raw,
    Acl,
    AclRole,
    AclEntry,
    AclEntryRole,
};

bool CollectsText(Kind kind) {
    switch (kind) {
        case Kind::Text:
        case Kind::TextListText:
        case Kind::Number:
        case Kind::NumberListNumber:
        case Kind::DateTime:
        case Kind::DateTimeListDateTime:
        case Kind::NoteInfoDateTime:
        case Kind::Raw:
        case Kind::AclRole:
        case Kind::AclEntryRole:
            return true;
        default:
            return false;
    }
}

struct Frame {
    Kind kind;
    std::string name;  // the element's local name, for messages
    unsigned long line;
};

// The local name of an element or attribute: expat hands namespaced names
// as "URI\x01local".
const char *LocalName(const char *name) {
    const char *sep = std::strrchr(name, '\x01');
    return sep ? sep + 1 : name;
}

// A value as a message shows it: cut, so that a huge value makes no huge
// message.
std::string Shown(const std::string &text) {
    return text.size() <= 60 ? text : text.substr(0, 60) + "...";
}

const char *const kLevels[kAclLevels] = {"noaccess", "depositor", "reader", "author",
                                         "editor",   "designer",  "manager"};
const char *const kTypes[kAclTypes] = {"unspecified", "person",      "server",
                                       "mixedgroup",  "persongroup", "servergroup"};
const char *const kAclOptions[] = {
    "readpublicdocs",    "writepublicdocs",      "deletedocs",
    "createdocs",        "createpersonalagents", "createpersonalviews",
    "createsharedviews", "createlsjavaagents",   "replicateorcopydocs"};

bool FindName(const char *const *names, size_t count, const std::string &value, WORD *out) {
    for (size_t i = 0; i < count; i++) {
        if (value == names[i]) {
            *out = static_cast<WORD>(i);
            return true;
        }
    }
    return false;
}

class Parser {
  public:
    Parser(Sink &sink, Problem *problem) : sink_(sink), problem_(problem) {}
    ~Parser() {
        if (parser_)
            XML_ParserFree(parser_);
    }

    STATUS Run(const ReadChunk &read);

  private:
    static void XMLCALL StartThunk(void *self, const XML_Char *name, const XML_Char **atts) {
        static_cast<Parser *>(self)->Start(LocalName(name), atts);
    }
    static void XMLCALL EndThunk(void *self, const XML_Char *name) {
        (void)name;
        static_cast<Parser *>(self)->End();
    }
    static void XMLCALL TextThunk(void *self, const XML_Char *s, int len) {
        static_cast<Parser *>(self)->Characters(s, static_cast<size_t>(len));
    }
    static void XMLCALL EntityDeclThunk(void *self, const XML_Char *name, int, const XML_Char *,
                                        int, const XML_Char *, const XML_Char *, const XML_Char *,
                                        const XML_Char *) {
        static_cast<Parser *>(self)->Fail(
            ERR_DXL_ENTITY, std::string("the document type declares the entity \"") + name +
                                "\"; entities are not allowed");
    }
    static int XMLCALL ExternalEntityThunk(XML_Parser parser, const XML_Char *, const XML_Char *,
                                           const XML_Char *systemId, const XML_Char *) {
        auto *self = static_cast<Parser *>(XML_GetUserData(parser));
        self->Fail(ERR_DXL_ENTITY, std::string("a reference to the external entity \"") +
                                       (systemId ? systemId : "") + "\" is not allowed");
        return XML_STATUS_ERROR;
    }

    unsigned long Line() const {
        return parser_ ? static_cast<unsigned long>(XML_GetCurrentLineNumber(parser_)) : 0;
    }

    // Keeps the first problem and stops the parser.
    void Fail(STATUS status, const std::string &message, unsigned long line = 0) {
        if (failed_)
            return;
        failed_ = true;
        problem_->status = status;
        problem_->line = line ? line : Line();
        problem_->message = "line " + std::to_string(problem_->line) + ": " + message;
        XML_StopParser(parser_, XML_FALSE);
    }
    void FailFromSink(STATUS status) {
        if (failed_)
            return;
        failed_ = true;
        if (problem_->status == NOERROR)
            problem_->status = status;
        XML_StopParser(parser_, XML_FALSE);
    }

    std::string Parent() const {
        return stack_.empty() ? "the document" : "<" + stack_.back().name + ">";
    }

    void Start(const char *name, const XML_Char **atts);
    void End();
    void Characters(const char *s, size_t len);

    bool Attributes(const char *element, const XML_Char **atts,
                    std::initializer_list<const char *> known,
                    std::vector<std::pair<std::string, std::string>> *out);
    bool Boolean(const std::string &element, const std::string &attribute, const std::string &value,
                 bool *out);
    bool BeginNote(const std::string &element, const XML_Char **atts);
    bool BeginItem(const XML_Char **atts);
    bool BeginValue(Kind kind, const std::string &element, const XML_Char **atts);
    void EndValue(const Frame &frame);
    void EndItem(const Frame &frame);
    void EndNote(const Frame &frame);
    void EndAcl(const Frame &frame);
    bool AddText(const std::string &element, unsigned long line, std::string *lmbcs);

    Sink &sink_;
    Problem *problem_;
    XML_Parser parser_ = nullptr;
    bool failed_ = false;
    bool sawRoot_ = false;
    std::vector<Frame> stack_;
    std::string text_;  // character data of the innermost value element

    // The note, item and ACL being read.
    Note note_;
    size_t noteBytes_ = 0;
    std::string formAttribute_;
    bool hasForm_ = false;
    Item item_;
    bool itemHasValue_ = false;
    Value list_;
    bool dst_ = false;
    WORD rawType_ = 0;
    Kind noteInfoTime_ = Kind::Skip;
    std::string noteInfoTimeName_;
    Acl acl_;
    AclEntry entry_;
};

bool Parser::Attributes(const char *element, const XML_Char **atts,
                        std::initializer_list<const char *> known,
                        std::vector<std::pair<std::string, std::string>> *out) {
    for (size_t i = 0; atts[i] != nullptr; i += 2) {
        const char *name = LocalName(atts[i]);
        bool ok = false;
        for (const char *k : known) {
            if (std::strcmp(k, name) == 0)
                ok = true;
        }
        if (!ok) {
            Fail(ERR_DXL_UNKNOWN,
                 std::string("unknown attribute \"") + name + "\" of <" + element + ">");
            return false;
        }
        out->emplace_back(name, atts[i + 1]);
    }
    return true;
}

bool Parser::Boolean(const std::string &element, const std::string &attribute,
                     const std::string &value, bool *out) {
    if (value == "true" || value == "false") {
        *out = value == "true";
        return true;
    }
    Fail(ERR_DXL_BAD_VALUE, "the attribute \"" + attribute + "\" of <" + element + "> is \"" +
                                Shown(value) + "\", not \"true\" or \"false\"");
    return false;
}

void Parser::Start(const char *name, const XML_Char **atts) {
    if (failed_)
        return;
    const std::string element = name;
    const Kind parent = stack_.empty() ? Kind::Document : stack_.back().kind;
    const unsigned long line = Line();
    if (stack_.size() >= kMaxDepth) {
        Fail(ERR_DXL_LIMIT, "elements nest deeper than " + std::to_string(kMaxDepth));
        return;
    }
    Kind kind = Kind::Skip;
    bool known = true;
    std::vector<std::pair<std::string, std::string>> attributes;
    auto unknown = [&]() {
        Fail(ERR_DXL_UNKNOWN, "unknown element <" + element + "> in " + Parent());
    };

    switch (parent) {
        case Kind::Document:
            if (element != "database") {
                Fail(ERR_DXL_UNKNOWN, "the root element is <" + element + ">, not <database>");
                return;
            }
            if (!Attributes(
                    name, atts,
                    {"version", "maintenanceversion", "replicaid", "path", "title", "fromtemplate"},
                    &attributes))
                return;
            sawRoot_ = true;
            kind = Kind::Database;
            break;
        case Kind::Skip:
            kind = Kind::Skip;  // anything goes inside what is skipped
            break;
        case Kind::Database:
            if (element == "databaseinfo") {
                kind = Kind::Skip;
            } else if (element == "note" || element == "document") {
                if (!BeginNote(element, atts))
                    return;
                kind = Kind::Note;
            } else if (element == "acl") {
                if (acl_.found) {
                    Fail(ERR_DXL_BAD_ACL, "a second <acl>");
                    return;
                }
                if (!Attributes(name, atts, {"maxinternetaccess", "consistentacl"}, &attributes))
                    return;
                acl_ = Acl();
                acl_.found = true;
                acl_.line = line;
                for (const auto &a : attributes) {
                    if (a.first == "maxinternetaccess") {
                        if (!FindName(kLevels, kAclLevels, a.second, &acl_.maxInternetAccess)) {
                            Fail(ERR_DXL_BAD_ACL,
                                 "unknown access level \"" + Shown(a.second) + "\"");
                            return;
                        }
                    } else if (!Boolean(element, a.first, a.second, &acl_.consistent)) {
                        return;
                    }
                }
                kind = Kind::Acl;
            } else {
                known = false;
            }
            break;
        case Kind::Note:
            if (element == "noteinfo") {
                if (!Attributes(name, atts, {"noteid", "unid", "sequence"}, &attributes))
                    return;
                for (const auto &a : attributes) {
                    if (a.first == "unid") {
                        if (!UnidFromText(a.second, &note_.unid)) {
                            Fail(ERR_DXL_BAD_VALUE,
                                 "the UNID \"" + Shown(a.second) + "\" is not 32 hex digits");
                            return;
                        }
                        note_.unidGiven = true;
                    } else if (a.first == "sequence") {
                        char *end = nullptr;
                        unsigned long seq = std::strtoul(a.second.c_str(), &end, 10);
                        if (a.second.empty() || *end != '\0' || a.second[0] == '-' || seq == 0 ||
                            seq > 0xFFFFFFFFul) {
                            Fail(ERR_DXL_BAD_VALUE,
                                 "the sequence \"" + Shown(a.second) + "\" is not a number from 1");
                            return;
                        }
                        note_.seq = static_cast<DWORD>(seq);
                    } else {
                        char *end = nullptr;
                        note_.id = static_cast<NOTEID>(std::strtoul(a.second.c_str(), &end, 16));
                    }
                }
                kind = Kind::NoteInfo;
            } else if (element == "updatedby" || element == "revisions" ||
                       element == "wassignedby") {
                kind = Kind::Skip;
            } else if (element == "item") {
                if (!BeginItem(atts))
                    return;
                kind = Kind::Item;
            } else {
                known = false;
            }
            break;
        case Kind::NoteInfo:
            if (element == "created" || element == "modified" || element == "revised" ||
                element == "lastaccessed" || element == "addedtofile") {
                if (!Attributes(name, atts, {}, &attributes))
                    return;
                kind = Kind::NoteInfoTime;
                noteInfoTimeName_ = element;
                noteInfoTime_ = Kind::Skip;
            } else {
                known = false;
            }
            break;
        case Kind::NoteInfoTime:
            if (element == "datetime" && noteInfoTime_ == Kind::Skip) {
                if (!BeginValue(Kind::NoteInfoDateTime, element, atts))
                    return;
                noteInfoTime_ = Kind::NoteInfoDateTime;
                kind = Kind::NoteInfoDateTime;
            } else {
                known = false;
            }
            break;
        case Kind::Item: {
            static const struct {
                const char *name;
                Kind kind;
            } kValues[] = {{"text", Kind::Text},         {"textlist", Kind::TextList},
                           {"number", Kind::Number},     {"numberlist", Kind::NumberList},
                           {"datetime", Kind::DateTime}, {"datetimelist", Kind::DateTimeList},
                           {"rawitemdata", Kind::Raw}};
            known = false;
            for (const auto &v : kValues) {
                if (element == v.name) {
                    known = true;
                    kind = v.kind;
                }
            }
            if (!known)
                break;
            if (itemHasValue_) {
                Fail(ERR_DXL_BAD_VALUE, "the item \"" +
                                            LmbcsToUtf8(item_.name.data(), item_.name.size()) +
                                            "\" holds a second value <" + element + ">");
                return;
            }
            itemHasValue_ = true;
            if (!BeginValue(kind, element, atts))
                return;
            break;
        }
        case Kind::TextList:
        case Kind::NumberList:
        case Kind::DateTimeList: {
            const char *entry = parent == Kind::TextList     ? "text"
                                : parent == Kind::NumberList ? "number"
                                                             : "datetime";
            if (element != entry) {
                known = false;
                break;
            }
            kind = parent == Kind::TextList     ? Kind::TextListText
                   : parent == Kind::NumberList ? Kind::NumberListNumber
                                                : Kind::DateTimeListDateTime;
            if (!BeginValue(kind, element, atts))
                return;
            break;
        }
        case Kind::Acl:
            if (element == "role") {
                if (!acl_.entries.empty()) {
                    Fail(ERR_DXL_BAD_ACL, "a <role> after the first <aclentry>");
                    return;
                }
                if (!Attributes(name, atts, {}, &attributes))
                    return;
                kind = Kind::AclRole;
            } else if (element == "aclentry") {
                if (!Attributes(
                        name, atts,
                        {"name", "level", "type", "default", "readpublicdocs", "writepublicdocs",
                         "deletedocs", "createdocs", "createpersonalagents", "createpersonalviews",
                         "createsharedviews", "createlsjavaagents", "replicateorcopydocs"},
                        &attributes))
                    return;
                entry_ = AclEntry();
                entry_.line = line;
                bool hasName = false, hasLevel = false;
                for (const auto &a : attributes) {
                    if (a.first == "name") {
                        if (!TextFromXml(a.second, &entry_.name) || entry_.name.empty()) {
                            Fail(ERR_DXL_BAD_ACL, "an <aclentry> with an empty name");
                            return;
                        }
                        hasName = true;
                    } else if (a.first == "level") {
                        if (!FindName(kLevels, kAclLevels, a.second, &entry_.level)) {
                            Fail(ERR_DXL_BAD_ACL,
                                 "unknown access level \"" + Shown(a.second) + "\"");
                            return;
                        }
                        hasLevel = true;
                    } else if (a.first == "type") {
                        if (!FindName(kTypes, kAclTypes, a.second, &entry_.type)) {
                            Fail(ERR_DXL_BAD_ACL, "unknown entry type \"" + Shown(a.second) + "\"");
                            return;
                        }
                    } else if (a.first == "default") {
                        if (!Boolean(element, a.first, a.second, &entry_.isDefault))
                            return;
                    } else {
                        bool value = false;
                        if (!Boolean(element, a.first, a.second, &value))
                            return;
                        entry_.options.emplace_back(a.first, value);
                    }
                }
                if (!hasName || !hasLevel) {
                    Fail(ERR_DXL_BAD_ACL, std::string("an <aclentry> without its \"") +
                                              (hasName ? "level" : "name") + "\" attribute");
                    return;
                }
                kind = Kind::AclEntry;
            } else {
                known = false;
            }
            break;
        case Kind::AclEntry:
            if (element == "role") {
                if (!Attributes(name, atts, {}, &attributes))
                    return;
                kind = Kind::AclEntryRole;
            } else {
                known = false;
            }
            break;
        default:
            // Values hold text only.
            known = false;
            break;
    }
    if (!known) {
        unknown();
        return;
    }
    text_.clear();
    stack_.push_back(Frame{kind, element, line});
}

bool Parser::BeginNote(const std::string &element, const XML_Char **atts) {
    note_ = Note();
    note_.line = Line();
    noteBytes_ = 0;
    formAttribute_.clear();
    hasForm_ = false;
    std::vector<std::pair<std::string, std::string>> attributes;
    if (element == "document") {
        if (!Attributes(element.c_str(), atts, {"form"}, &attributes))
            return false;
        note_.noteClass = NOTE_CLASS_DOCUMENT;
        for (const auto &a : attributes) {
            if (!TextFromXml(a.second, &formAttribute_)) {
                Fail(ERR_DXL_BAD_VALUE, "the form \"" + Shown(a.second) + "\" is no text");
                return false;
            }
            hasForm_ = true;
        }
        return true;
    }
    if (!Attributes(element.c_str(), atts, {"class", "default"}, &attributes))
        return false;
    std::string classText;
    bool hasClass = false, isDefault = false;
    for (const auto &a : attributes) {
        if (a.first == "class") {
            classText = a.second;
            hasClass = true;
        } else if (!Boolean(element, a.first, a.second, &isDefault)) {
            return false;
        }
    }
    if (!hasClass) {
        Fail(ERR_DXL_BAD_VALUE, "a <note> without its \"class\" attribute");
        return false;
    }
    if (!ClassFromXml(classText, isDefault, &note_.noteClass)) {
        Fail(ERR_DXL_BAD_VALUE, "unknown note class \"" + Shown(classText) + "\"");
        return false;
    }
    return true;
}

bool Parser::BeginItem(const XML_Char **atts) {
    std::vector<std::pair<std::string, std::string>> attributes;
    if (!Attributes("item", atts,
                    {"name", "summary", "names", "authors", "readers", "protected", "sign", "seal",
                     "placeholder"},
                    &attributes))
        return false;
    item_ = Item();
    itemHasValue_ = false;
    bool hasName = false, namesGiven = false, names = false;
    WORD flags = 0;
    for (const auto &a : attributes) {
        if (a.first == "name") {
            if (!TextFromXml(a.second, &item_.name) || item_.name.empty() ||
                item_.name.size() > kMaxItemName || item_.name.find('\0') != std::string::npos) {
                Fail(ERR_DXL_BAD_VALUE,
                     "the item name \"" + Shown(a.second) + "\" is not 1 to 255 bytes of one line");
                return false;
            }
            hasName = true;
            continue;
        }
        bool value = false;
        if (!Boolean("item", a.first, a.second, &value))
            return false;
        static const struct {
            const char *name;
            WORD flags;
        } kFlags[] = {{"summary", ITEM_SUMMARY},
                      {"authors", ITEM_READWRITERS | ITEM_NAMES},
                      {"readers", ITEM_READERS | ITEM_NAMES},
                      {"protected", ITEM_PROTECTED},
                      {"sign", ITEM_SIGN},
                      {"seal", ITEM_SEAL},
                      {"placeholder", ITEM_PLACEHOLDER}};
        if (a.first == "names") {
            namesGiven = true;
            names = value;
            continue;
        }
        for (const auto &f : kFlags) {
            if (a.first == f.name && value)
                flags |= f.flags;
        }
    }
    if (!hasName) {
        Fail(ERR_DXL_BAD_VALUE, "an <item> without its \"name\" attribute");
        return false;
    }
    if (namesGiven)
        flags = names ? (flags | ITEM_NAMES) : (flags & static_cast<WORD>(~ITEM_NAMES));
    item_.flags = flags;
    return true;
}

bool Parser::BeginValue(Kind kind, const std::string &element, const XML_Char **atts) {
    std::vector<std::pair<std::string, std::string>> attributes;
    dst_ = false;
    switch (kind) {
        case Kind::DateTime:
        case Kind::DateTimeListDateTime:
        case Kind::NoteInfoDateTime:
            if (!Attributes(element.c_str(), atts, {"dst"}, &attributes))
                return false;
            for (const auto &a : attributes) {
                if (!Boolean(element, a.first, a.second, &dst_))
                    return false;
            }
            return true;
        case Kind::Raw: {
            if (!Attributes(element.c_str(), atts, {"type"}, &attributes))
                return false;
            if (attributes.empty()) {
                Fail(ERR_DXL_BAD_VALUE, "a <rawitemdata> without its \"type\" attribute");
                return false;
            }
            const std::string &t = attributes[0].second;
            char *end = nullptr;
            bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
            unsigned long type = std::strtoul(t.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
            if (t.empty() || *end != '\0' || t[0] == '-' || t[0] == '+' || type == 0 ||
                type > 0xFFFF) {
                Fail(ERR_DXL_BAD_VALUE,
                     "the data type \"" + Shown(t) + "\" is not a number from 1 to 65535");
                return false;
            }
            rawType_ = static_cast<WORD>(type);
            return true;
        }
        case Kind::TextList:
            list_ = Value::Texts({});
            break;
        case Kind::NumberList:
            list_ = Value::Numbers({});
            break;
        case Kind::DateTimeList:
            list_ = Value::Times({});
            break;
        default:
            break;
    }
    return Attributes(element.c_str(), atts, {}, &attributes);
}

bool Parser::AddText(const std::string &element, unsigned long line, std::string *lmbcs) {
    if (!TextFromXml(text_, lmbcs)) {
        Fail(ERR_DXL_BAD_VALUE, "the <" + element + "> holds text that is not UTF-8", line);
        return false;
    }
    return true;
}

void Parser::Characters(const char *s, size_t len) {
    if (failed_ || stack_.empty())
        return;
    const Frame &top = stack_.back();
    if (top.kind == Kind::Skip)
        return;
    if (!CollectsText(top.kind)) {
        for (size_t i = 0; i < len; i++) {
            char c = s[i];
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
                Fail(ERR_DXL_UNKNOWN, "text in <" + top.name + ">, which holds elements only");
                return;
            }
        }
        return;
    }
    if (text_.size() + len > kMaxValueText) {
        Fail(ERR_DXL_LIMIT,
             "the <" + top.name + "> holds more than " + std::to_string(kMaxValueText >> 20) +
                 " MiB of text",
             top.line);
        return;
    }
    text_.append(s, len);
}

void Parser::EndValue(const Frame &frame) {
    const std::string &element = frame.name;
    std::string lmbcs;
    NUMBER number = 0;
    TIMEDATE time{};
    Value value;
    bool asList = false;
    auto badNumber = [&]() {
        Fail(ERR_DXL_BAD_VALUE, "\"" + Shown(text_) + "\" is not a finite decimal number",
             frame.line);
    };
    auto badTime = [&]() {
        Fail(ERR_DXL_BAD_VALUE,
             "\"" + Shown(text_) +
                 "\" is not a time (YYYYMMDDTHHMMSS,hh and a zone, a date alone or a time alone)",
             frame.line);
    };
    switch (frame.kind) {
        case Kind::Text:
            if (!AddText(element, frame.line, &lmbcs))
                return;
            value = Value::Text(std::move(lmbcs));
            break;
        case Kind::TextListText:
            if (!AddText(element, frame.line, &lmbcs))
                return;
            list_.texts.push_back(std::move(lmbcs));
            return;
        case Kind::Number:
            if (!NumberFromXml(text_, &number))
                return badNumber();
            value = Value::Number(number);
            break;
        case Kind::NumberListNumber:
            if (!NumberFromXml(text_, &number))
                return badNumber();
            list_.numbers.push_back(number);
            return;
        case Kind::DateTime:
            if (!TimeFromXml(text_, dst_, &time))
                return badTime();
            value = Value::Time(time);
            break;
        case Kind::DateTimeListDateTime:
            if (!TimeFromXml(text_, dst_, &time))
                return badTime();
            list_.times.push_back(time);
            return;
        case Kind::NoteInfoDateTime:
            if (!TimeFromXml(text_, dst_, &time))
                return badTime();
            if (noteInfoTimeName_ == "revised") {
                note_.seqTime = time;
                note_.seqTimeGiven = true;
            }
            return;
        case Kind::TextList:
        case Kind::NumberList:
        case Kind::DateTimeList:
            value = std::move(list_);
            asList = true;
            break;
        case Kind::Raw: {
            std::string bytes;
            if (!Base64Decode(text_, &bytes)) {
                Fail(ERR_DXL_BAD_VALUE, "the <rawitemdata> is not base64", frame.line);
                return;
            }
            if (IsCodecType(rawType_)) {
                Value check;
                if (DecodeValue(rawType_, reinterpret_cast<const unsigned char *>(bytes.data()),
                                bytes.size(), &check) != NOERROR) {
                    Fail(ERR_DXL_BAD_VALUE,
                         "the <rawitemdata> does not hold a whole value of type " +
                             std::to_string(rawType_),
                         frame.line);
                    return;
                }
            }
            item_.type = rawType_;
            item_.value = std::move(bytes);
            return;
        }
        default:
            return;
    }
    WORD type = 0;
    std::string bytes;
    if (EncodeValue(value, asList, &type, &bytes) != NOERROR) {
        Fail(ERR_DXL_LIMIT,
             "the <" + element + "> is too long for an item (65535 entries or bytes at most)",
             frame.line);
        return;
    }
    item_.type = type;
    item_.value = std::move(bytes);
}

void Parser::EndItem(const Frame &frame) {
    if (!itemHasValue_) {
        Fail(
            ERR_DXL_BAD_VALUE,
            "the item \"" + LmbcsToUtf8(item_.name.data(), item_.name.size()) + "\" holds no value",
            frame.line);
        return;
    }
    noteBytes_ += item_.name.size() + item_.value.size();
    if (noteBytes_ > kMaxNoteBytes) {
        Fail(ERR_DXL_LIMIT,
             "the note's items hold more than " + std::to_string(kMaxNoteBytes >> 20) + " MiB",
             note_.line);
        return;
    }
    note_.items.push_back(std::move(item_));
    item_ = Item();
}

void Parser::EndNote(const Frame &frame) {
    (void)frame;
    if (hasForm_) {
        bool formItem = false;
        for (const Item &item : note_.items) {
            if (CollationEqual(item.name.data(), item.name.size(), "Form", 4))
                formItem = true;
        }
        if (!formItem) {
            Item form;
            form.name = "Form";
            form.type = TYPE_TEXT;
            form.flags = ITEM_SUMMARY;
            form.value = formAttribute_;
            note_.items.insert(note_.items.begin(), std::move(form));
        }
    }
    if (STATUS status = sink_.OnNote(note_, problem_))
        FailFromSink(status);
    note_ = Note();
}

void Parser::EndAcl(const Frame &frame) {
    (void)frame;
    if (STATUS status = sink_.OnAcl(acl_, problem_))
        FailFromSink(status);
}

void Parser::End() {
    if (failed_ || stack_.empty())
        return;
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    switch (frame.kind) {
        case Kind::Note:
            EndNote(frame);
            break;
        case Kind::Item:
            EndItem(frame);
            break;
        case Kind::Acl:
            EndAcl(frame);
            break;
        case Kind::AclRole: {
            std::string role;
            if (!AddText("role", frame.line, &role))
                break;
            if (role.empty()) {
                Fail(ERR_DXL_BAD_ACL, "an empty <role>", frame.line);
                break;
            }
            for (const std::string &r : acl_.roles) {
                if (r == role) {
                    Fail(ERR_DXL_BAD_ACL, "the role \"" + Shown(text_) + "\" is declared twice",
                         frame.line);
                    return;
                }
            }
            if (acl_.roles.size() >= kMaxAclRoles) {
                Fail(ERR_DXL_BAD_ACL, "more than " + std::to_string(kMaxAclRoles) + " roles",
                     frame.line);
                break;
            }
            acl_.roles.push_back(std::move(role));
            break;
        }
        case Kind::AclEntryRole: {
            std::string role;
            if (!AddText("role", frame.line, &role))
                break;
            bool declared = false;
            for (const std::string &r : acl_.roles)
                declared = declared || r == role;
            if (!declared) {
                Fail(ERR_DXL_BAD_ACL, "the role \"" + Shown(text_) + "\" is not declared in <acl>",
                     frame.line);
                break;
            }
            entry_.roles.push_back(std::move(role));
            break;
        }
        case Kind::AclEntry: {
            for (const AclEntry &e : acl_.entries) {
                if (nsf::NormaliseName(e.name) == nsf::NormaliseName(entry_.name)) {
                    Fail(ERR_DXL_BAD_ACL,
                         "a second entry for \"" +
                             LmbcsToUtf8(entry_.name.data(), entry_.name.size()) +
                             "\" (the first at line " + std::to_string(e.line) + ")",
                         frame.line);
                    return;
                }
                if (e.isDefault && entry_.isDefault) {
                    Fail(
                        ERR_DXL_BAD_ACL,
                        "a second default entry (the first at line " + std::to_string(e.line) + ")",
                        frame.line);
                    return;
                }
            }
            acl_.entries.push_back(std::move(entry_));
            entry_ = AclEntry();
            break;
        }
        default:
            if (CollectsText(frame.kind) || frame.kind == Kind::TextList ||
                frame.kind == Kind::NumberList || frame.kind == Kind::DateTimeList)
                EndValue(frame);
            break;
    }
    text_.clear();
}

STATUS Parser::Run(const ReadChunk &read) {
    parser_ = XML_ParserCreateNS(nullptr, '\x01');
    if (parser_ == nullptr)
        return ERR_MEMORY;
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, StartThunk, EndThunk);
    XML_SetCharacterDataHandler(parser_, TextThunk);
    XML_SetEntityDeclHandler(parser_, EntityDeclThunk);
    XML_SetExternalEntityRefHandler(parser_, ExternalEntityThunk);
    XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);

    bool done = false;
    while (!done) {
        void *buffer = XML_GetBuffer(parser_, static_cast<int>(kChunk));
        if (buffer == nullptr)
            return ERR_MEMORY;
        size_t got = 0;
        if (STATUS status = read(static_cast<char *>(buffer), kChunk, &got)) {
            problem_->status = status;
            problem_->line = Line();
            problem_->message =
                "line " + std::to_string(problem_->line) + ": the text could not be read further";
            return status;
        }
        if (got > kChunk)
            got = kChunk;
        done = got == 0;
        if (XML_ParseBuffer(parser_, static_cast<int>(got), done) != XML_STATUS_OK) {
            if (failed_)
                return problem_->status;
            problem_->status = ERR_DXL_MALFORMED;
            problem_->line = static_cast<unsigned long>(XML_GetErrorLineNumber(parser_));
            enum XML_Error code = XML_GetErrorCode(parser_);
            // An entity that no declaration names, or a declaration that
            // the parser refused: entities are what is wrong.
            if (code == XML_ERROR_UNDEFINED_ENTITY || code == XML_ERROR_RECURSIVE_ENTITY_REF ||
                code == XML_ERROR_EXTERNAL_ENTITY_HANDLING ||
                code == XML_ERROR_AMPLIFICATION_LIMIT_BREACH)
                problem_->status = ERR_DXL_ENTITY;
            problem_->message =
                "line " + std::to_string(problem_->line) + ": " + XML_ErrorString(code);
            return problem_->status;
        }
        if (failed_)
            return problem_->status;
    }
    if (!sawRoot_) {
        problem_->status = ERR_DXL_MALFORMED;
        problem_->line = 0;
        problem_->message = "the text holds no <database> element";
        return problem_->status;
    }
    return NOERROR;
}

}  // namespace

STATUS Parse(const ReadChunk &read, Sink &sink, Problem *problem) {
    *problem = Problem();
    Parser parser(sink, problem);
    return parser.Run(read);
}

}  // namespace dxl
}  // namespace notes_internal
