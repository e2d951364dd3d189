// notesctl dump: every note and item of a database, as JSON.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

#include "common.h"
#include "json.h"
#include "notes_api.h"
#include "standin/nsf.h"
#include "standin/sign.h"
#include "standin/text.h"
#include "verbs.h"

namespace notesctl {
namespace {

const char kHelp[] =
    "Usage: notesctl dump DIR DATABASE\n"
    "\n"
    "Writes every note of DATABASE (a path relative to the data directory DIR,\n"
    "or an absolute one) and every item of each note, in order, as one JSON\n"
    "document on standard output:\n"
    "\n"
    "  {\"database\": ..., \"path\": ..., \"buildVersion\": N,\n"
    "   \"info\": {\"text\": ..., \"title\": ..., \"categories\": ..., \"templateName\": ...,\n"
    "            \"inheritsFrom\": ...},\n"
    "   \"acl\": {\"roles\": [{\"slot\": N, \"name\": \"[Admin]\"}, ...],\n"
    "           \"entries\": [{\"name\": ..., \"level\": N, \"levelName\": ..., \"flags\": N,\n"
    "                        \"flagNames\": [...], \"roles\": [...]}, ...]},\n"
    "   \"notes\": [\n"
    "    {\"noteId\": N, \"unid\": HEX, \"oid\": {\"sequence\": N, \"sequenceTime\": TIME},\n"
    "     \"class\": N, \"classNames\": [...],\n"
    "     \"signature\": {\"signer\": ..., \"signed\": TIME, \"digestMatches\": true|false},\n"
    "     \"items\": [\n"
    "       {\"name\": ..., \"type\": N, \"typeName\": ..., \"flags\": N,\n"
    "        \"flagNames\": [...], \"value\": ...}, ...]}, ...]}\n"
    "\n"
    "\"info\" is the information text of the icon note's \"$TITLE\" and its four\n"
    "parts (null, with \"infoError\", when the database has no icon note).\n"
    "\"acl\" is the access control list: the role slots that have a name, and the\n"
    "entries in order, the default entry first, each with its roles' names.\n"
    "\"signature\" stands only in a signed note: who signed it, when, and whether\n"
    "its items are still as signed (\"damaged\": true for a \"$Signature\" that\n"
    "holds no signature).\n"
    "\n"
    "Item values: text as UTF-8 (translated from LMBCS; a NUL byte, the line\n"
    "separator of stored text, shows as a line feed \"\\n\"); a text list as an\n"
    "array of texts; a number as a number; a time as TIME, that is\n"
    "{\"iso\": ISO-8601 in GMT, or the date or time alone when the value has only\n"
    "one, \"zone\": the zone it was made in, \"dst\": ..., \"innards\": [word 0, word 1]};\n"
    "number and time lists as arrays (with \"ranges\" when they hold ranges); any\n"
    "other type as \"hex\": its bytes in hex, instead of \"value\". A value that\n"
    "cannot be decoded as its type also comes as \"hex\", with \"damaged\": true.\n"
    "A deletion stub is {\"noteId\": N, \"deleted\": true}.\n"
    "\n"
    "Fails (exit code 1) when the database does not exist or cannot be read as\n"
    "one; a note that cannot be opened is shown with its \"error\", the others\n"
    "are still written, and the exit code is 1.\n";

// Closes a note handle on every path.
class NoteHandle {
  public:
    ~NoteHandle() {
        if (handle_ != NULLHANDLE)
            NSFNoteClose(handle_);
    }
    NOTEHANDLE handle_ = NULLHANDLE;
};

// LMBCS to UTF-8, in pieces that OSTranslate's 16-bit lengths can carry.
// A piece ends only after a whole character, by the library's one rule.
std::string LmbcsToUtf8(const char *text, size_t length) {
    const size_t kPiece = 20000;  // its UTF-8 is at most three times as long
    std::string out;
    std::vector<char> buffer(3 * kPiece + 16);
    size_t pos = 0;
    while (pos < length) {
        size_t end = pos;
        while (end < length && end - pos < kPiece)
            end += StandinLmbcsCharLength(reinterpret_cast<const unsigned char *>(text + end),
                                          length - end);
        WORD written =
            OSTranslate(OS_TRANSLATE_LMBCS_TO_UTF8, text + pos, static_cast<WORD>(end - pos),
                        buffer.data(), static_cast<WORD>(buffer.size()));
        out.append(buffer.data(), written);
        pos = end;
    }
    for (char &c : out) {
        if (c == '\0')
            c = '\n';
    }
    return out;
}

WORD ReadWord(const unsigned char *p) {
    WORD w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

std::string TimeJson(const TIMEDATE &td) {
    const DWORD w0 = td.Innards[0];
    const DWORD w1 = td.Innards[1];
    std::string iso;
    bool valid = !(w0 == ALLDAY && w1 == ANYDAY);
    if (w1 != ANYDAY) {
        // Julian day number to the Gregorian calendar.
        long a = static_cast<long>(w1 & 0xFFFFFF) + 32044;
        long b = (4 * a + 3) / 146097;
        long c = a - 146097 * b / 4;
        long d = (4 * c + 3) / 1461;
        long e = c - 1461 * d / 4;
        long m = (5 * e + 2) / 153;
        long day = e - (153 * m + 2) / 5 + 1;
        long month = m + 3 - 12 * (m / 10);
        long year = 100 * b + d - 4800 + m / 10;
        if (year < 1 || year > 9999)
            valid = false;
        char text[64];
        std::snprintf(text, sizeof text, "%04ld-%02ld-%02ld", year, month, day);
        iso = text;
    }
    if (w0 != ALLDAY) {
        if (w0 >= TICKS_IN_DAY)
            valid = false;
        char text[24];
        std::snprintf(text, sizeof text, "%02u:%02u:%02u.%02u", w0 / TICKS_IN_HOUR,
                      w0 / TICKS_IN_MINUTE % 60, w0 / TICKS_IN_SECOND % 60, w0 % 100);
        iso += iso.empty() ? text : std::string("T") + text + "Z";
    }
    std::string out = "{\"iso\": " + (valid ? JsonString(iso) : std::string("null"));
    if (w1 != ANYDAY) {
        unsigned hours = (w1 >> 24) & 0x0F;
        unsigned quarters = (w1 >> 28) & 0x03;
        bool east = (w1 >> 30) & 1;
        bool dst = (w1 >> 31) & 1;
        char zone[24];
        std::snprintf(zone, sizeof zone, "%c%02u:%02u", east ? '+' : '-', hours, quarters * 15);
        out += ", \"zone\": " + JsonString(hours == 0 && quarters == 0 ? "+00:00" : zone);
        out += std::string(", \"dst\": ") + (dst ? "true" : "false");
    }
    out += ", \"innards\": [" + std::to_string(w0) + ", " + std::to_string(w1) + "]}";
    return out;
}

double ReadNumber(const unsigned char *p) {
    double value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

TIMEDATE ReadTime(const unsigned char *p) {
    TIMEDATE td;
    std::memcpy(&td, p, sizeof td);
    return td;
}

// A text list: count, lengths, texts. False when the bytes do not hold one.
bool DecodeTextList(const unsigned char *p, size_t n, std::string &value) {
    if (n < 2)
        return false;
    size_t count = ReadWord(p);
    if (n < 2 + 2 * count)
        return false;
    size_t pos = 2 + 2 * count;
    std::vector<std::string> entries;
    for (size_t i = 0; i < count; i++) {
        size_t length = ReadWord(p + 2 + 2 * i);
        if (pos + length > n)
            return false;
        entries.push_back(JsonString(LmbcsToUtf8(reinterpret_cast<const char *>(p + pos), length)));
        pos += length;
    }
    if (pos != n)
        return false;
    value = JsonArray(entries);
    return true;
}

// A number or time list: list count, range count, the entries, then the
// ranges as pairs. entry formats one entry of entrySize bytes.
template <typename Format>
bool DecodeRange(const unsigned char *p, size_t n, size_t entrySize, Format entry,
                 std::string &value) {
    if (n < 4)
        return false;
    size_t listEntries = ReadWord(p);
    size_t rangeEntries = ReadWord(p + 2);
    if (n != 4 + listEntries * entrySize + rangeEntries * 2 * entrySize)
        return false;
    std::vector<std::string> list;
    const unsigned char *at = p + 4;
    for (size_t i = 0; i < listEntries; i++, at += entrySize)
        list.push_back(entry(at));
    if (rangeEntries == 0) {
        value = JsonArray(list);
        return true;
    }
    std::vector<std::string> ranges;
    for (size_t i = 0; i < rangeEntries; i++, at += 2 * entrySize) {
        ranges.push_back(JsonArray({entry(at), entry(at + entrySize)}));
    }
    value = "{\"list\": " + JsonArray(list) + ", \"ranges\": " + JsonArray(ranges) + "}";
    return true;
}

const char *TypeName(WORD type) {
    switch (type) {
        case TYPE_TEXT:
            return "text";
        case TYPE_TEXT_LIST:
            return "textList";
        case TYPE_NUMBER:
            return "number";
        case TYPE_NUMBER_RANGE:
            return "numberList";
        case TYPE_TIME:
            return "time";
        case TYPE_TIME_RANGE:
            return "timeList";
        case TYPE_COMPOSITE:
            return "composite";
        case TYPE_FORMULA:
            return "formula";
        case TYPE_USERID:
            return "userId";
        case TYPE_ERROR:
            return "error";
        case TYPE_UNAVAILABLE:
            return "unavailable";
        case TYPE_ASSISTANT_INFO:
            return "assistantInfo";
        default:
            return "unknown";
    }
}

// The "value" (or "hex") members of an item.
std::string ValueJson(WORD type, const unsigned char *p, size_t n) {
    std::string value;
    bool decoded = false;
    switch (type) {
        case TYPE_TEXT:
            value = JsonString(LmbcsToUtf8(reinterpret_cast<const char *>(p), n));
            decoded = true;
            break;
        case TYPE_TEXT_LIST:
            decoded = DecodeTextList(p, n, value);
            break;
        case TYPE_NUMBER:
            decoded = n == sizeof(double);
            if (decoded)
                value = JsonNumber(ReadNumber(p));
            break;
        case TYPE_TIME:
            decoded = n == sizeof(TIMEDATE);
            if (decoded)
                value = TimeJson(ReadTime(p));
            break;
        case TYPE_NUMBER_RANGE:
            decoded = DecodeRange(
                p, n, sizeof(double),
                [](const unsigned char *at) { return JsonNumber(ReadNumber(at)); }, value);
            break;
        case TYPE_TIME_RANGE:
            decoded = DecodeRange(
                p, n, sizeof(TIMEDATE),
                [](const unsigned char *at) { return TimeJson(ReadTime(at)); }, value);
            break;
        default:
            return "\"hex\": \"" + Hex(p, n) + "\"";
    }
    if (!decoded)
        return "\"hex\": \"" + Hex(p, n) + "\", \"damaged\": true";
    return "\"value\": " + value;
}

std::string FlagNames(WORD flags) {
    static const struct {
        WORD flag;
        const char *name;
    } kFlags[] = {{ITEM_SIGN, "sign"},           {ITEM_SEAL, "seal"},
                  {ITEM_SUMMARY, "summary"},     {ITEM_READWRITERS, "readWriters"},
                  {ITEM_NAMES, "names"},         {ITEM_PLACEHOLDER, "placeholder"},
                  {ITEM_PROTECTED, "protected"}, {ITEM_READERS, "readers"}};
    std::vector<std::string> names;
    for (const auto &f : kFlags) {
        if (flags & f.flag)
            names.push_back(JsonString(f.name));
    }
    return JsonArray(names);
}

std::string ClassNames(WORD noteClass) {
    static const struct {
        WORD bit;
        const char *name;
    } kClasses[] = {{NOTE_CLASS_DOCUMENT, "document"}, {NOTE_CLASS_INFO, "info"},
                    {NOTE_CLASS_FORM, "form"},         {NOTE_CLASS_VIEW, "view"},
                    {NOTE_CLASS_ICON, "icon"},         {NOTE_CLASS_DESIGN, "design"},
                    {NOTE_CLASS_ACL, "acl"},           {NOTE_CLASS_HELP_INDEX, "helpIndex"},
                    {NOTE_CLASS_HELP, "help"},         {NOTE_CLASS_FILTER, "filter"},
                    {NOTE_CLASS_FIELD, "field"},       {NOTE_CLASS_REPLFORMULA, "replFormula"},
                    {NOTE_CLASS_PRIVATE, "private"},   {NOTE_CLASS_DEFAULT, "default"}};
    std::vector<std::string> names;
    for (const auto &c : kClasses) {
        if (noteClass & c.bit)
            names.push_back(JsonString(c.name));
    }
    return JsonArray(names);
}

std::string UnidHex(const TIMEDATE &file, const TIMEDATE &note) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X%08X%08X%08X", file.Innards[1], file.Innards[0],
                  note.Innards[1], note.Innards[0]);
    return text;
}

std::string ItemJson(NOTEHANDLE note, BLOCKID item) {
    char name[1024] = {};
    WORD nameLength = 0, flags = 0, type = 0;
    BLOCKID value{};
    DWORD valueLength = 0;
    NSFItemQuery(note, item, name, sizeof name, &nameLength, &flags, &type, &value, &valueLength);
    if (nameLength >= sizeof name)
        nameLength = sizeof name - 1;
    std::string out =
        "{\"name\": " + JsonString(LmbcsToUtf8(name, std::strlen(name))) +
        ", \"type\": " + std::to_string(type) + ", \"typeName\": " + JsonString(TypeName(type)) +
        ", \"flags\": " + std::to_string(flags) + ", \"flagNames\": " + FlagNames(flags) + ", ";
    const unsigned char *bytes = ISNULLBLOCKID(value) ? nullptr : OSLockBlock(unsigned char, value);
    if (bytes == nullptr || valueLength < sizeof(WORD)) {
        out += "\"hex\": \"\", \"damaged\": true}";
    } else {
        out += ValueJson(type, bytes + sizeof(WORD), valueLength - sizeof(WORD)) + "}";
    }
    if (bytes != nullptr)
        OSUnlockBlock(value);
    return out;
}

// The signature member of a signed note ("" for an unsigned one).
std::string SignatureJson(NOTEHANDLE note) {
    char signer[MAXUSERNAME] = {};
    TIMEDATE when{};
    STATUS status = StandinNoteVerifySignature(note, signer, sizeof signer, &when);
    if (status == ERR_NOTE_NOT_SIGNED)
        return "";
    if (status == ERR_SIGNATURE_DAMAGED)
        return "     \"signature\": {\"damaged\": true},\n";
    if (status != NOERROR && status != ERR_SIGNATURE_MISMATCH)
        return "     \"signature\": {\"error\": " + JsonString(StatusText(status)) + "},\n";
    return "     \"signature\": {\"signer\": " +
           JsonString(LmbcsToUtf8(signer, std::strlen(signer))) +
           ", \"signed\": " + TimeJson(when) +
           ", \"digestMatches\": " + (status == NOERROR ? "true" : "false") + "},\n";
}

// The "info" member: the information text and its parts.
std::string InfoJson(DBHANDLE db) {
    char info[NSF_INFO_SIZE] = {};
    STATUS status = NSFDbInfoGet(db, info);
    if (status != NOERROR)
        return "null, \"infoError\": " + JsonString(StatusText(status));
    static const struct {
        WORD part;
        const char *name;
    } kParts[] = {{INFOPARSE_TITLE, "title"},
                  {INFOPARSE_CATEGORIES, "categories"},
                  {INFOPARSE_CLASS, "templateName"},
                  {INFOPARSE_DESIGN_CLASS, "inheritsFrom"}};
    std::string out = "{\"text\": " + JsonString(LmbcsToUtf8(info, std::strlen(info)));
    for (const auto &p : kParts) {
        char part[NSF_INFO_SIZE] = {};
        status = NSFDbInfoParse(info, p.part, part, sizeof part);
        if (status != NOERROR)
            throw Failure("cannot read the information of the database: " + StatusText(status));
        out += std::string(", \"") + p.name +
               "\": " + JsonString(LmbcsToUtf8(part, std::strlen(part)));
    }
    return out + "}";
}

struct AclEntryJson {
    std::string name;
    WORD level;
    WORD flags;
    ACL_PRIVILEGES privileges;
};

void CollectAclEntry(void *context, const char *name, WORD level, const ACL_PRIVILEGES *privileges,
                     WORD flags) {
    static_cast<std::vector<AclEntryJson> *>(context)->push_back({name, level, flags, *privileges});
}

// A memory handle freed on every path.
class MemHandle {
  public:
    ~MemHandle() {
        if (handle_ != NULLHANDLE)
            OSMemFree(handle_);
    }
    DHANDLE handle_ = NULLHANDLE;
};

// The "acl" member.
std::string AclJson(DBHANDLE db) {
    MemHandle acl;
    STATUS status = NSFDbReadACL(db, &acl.handle_);
    if (status != NOERROR)
        throw Failure("cannot read the access control list: " + StatusText(status));
    std::vector<std::string> roles(ACL_PRIVCOUNT), slots;
    for (WORD slot = 0; slot < ACL_PRIVCOUNT; slot++) {
        char name[ACL_PRIVSTRINGMAX] = {};
        status = ACLGetPrivName(acl.handle_, slot, name);
        if (status != NOERROR)
            throw Failure("cannot read the roles of the access control list: " +
                          StatusText(status));
        roles[slot] = LmbcsToUtf8(name, std::strlen(name));
        if (name[0])
            slots.push_back("{\"slot\": " + std::to_string(slot) +
                            ", \"name\": " + JsonString(roles[slot]) + "}");
    }
    std::vector<AclEntryJson> entries;
    status = ACLEnumEntries(acl.handle_, CollectAclEntry, &entries);
    if (status != NOERROR)
        throw Failure("cannot read the access control list: " + StatusText(status));
    static const char *const kLevels[] = {"noAccess", "depositor", "reader", "author",
                                          "editor",   "designer",  "manager"};
    static const struct {
        WORD flag;
        const char *name;
    } kFlags[] = {{ACL_FLAG_PERSON, "person"},
                  {ACL_FLAG_SERVER, "server"},
                  {ACL_FLAG_GROUP, "group"},
                  {ACL_FLAG_CREATE_DOCS, "createDocuments"},
                  {ACL_FLAG_DELETE_DOCS, "deleteDocuments"},
                  {ACL_FLAG_CREATE_PRAGENT, "createPersonalAgents"},
                  {ACL_FLAG_CREATE_PRFOLDER, "createPersonalViews"},
                  {ACL_FLAG_CREATE_FOLDER, "createSharedViews"},
                  {ACL_FLAG_CREATE_SCRIPT, "createScriptAgents"},
                  {ACL_FLAG_PUBLICREADER, "readPublicDocuments"},
                  {ACL_FLAG_PUBLICWRITER, "writePublicDocuments"},
                  {ACL_FLAG_REPLICATE, "replicateOrCopyDocuments"}};
    std::vector<std::string> list;
    for (const AclEntryJson &entry : entries) {
        std::vector<std::string> flagNames, roleNames;
        for (const auto &f : kFlags) {
            if (entry.flags & f.flag)
                flagNames.push_back(JsonString(f.name));
        }
        for (WORD slot = 0; slot < ACL_PRIVCOUNT; slot++) {
            if (ACLIsPrivSet(entry.privileges, slot))
                roleNames.push_back(JsonString(roles[slot]));
        }
        list.push_back(
            "{\"name\": " + JsonString(LmbcsToUtf8(entry.name.data(), entry.name.size())) +
            ", \"level\": " + std::to_string(entry.level) + ", \"levelName\": " +
            JsonString(entry.level <= ACL_LEVEL_HIGHEST ? kLevels[entry.level] : "") +
            ", \"flags\": " + std::to_string(entry.flags) + ", \"flagNames\": " +
            JsonArray(flagNames) + ", \"roles\": " + JsonArray(roleNames) + "}");
    }
    std::string out = "{\"roles\": " + JsonArray(slots) + ",\n          \"entries\": [";
    for (size_t i = 0; i < list.size(); i++)
        out += (i ? ",\n            " : "\n            ") + list[i];
    return out + "]}";
}

// One note's JSON; false when the note cannot be read (its error is shown).
bool NoteJson(DBHANDLE db, NOTEID id, std::string &out) {
    const std::string head = "    {\"noteId\": " + std::to_string(id);
    NoteHandle note;
    STATUS status = NSFNoteOpen(db, id, 0, &note.handle_);
    if (status == ERR_NOTE_DELETED) {
        out = head + ", \"deleted\": true}";
        return true;
    }
    if (status != NOERROR) {
        out = head + ", \"error\": " + JsonString(StatusText(status)) + "}";
        return false;
    }
    OID oid{};
    WORD noteClass = 0;
    NSFNoteGetInfo(note.handle_, _NOTE_OID, &oid);
    NSFNoteGetInfo(note.handle_, _NOTE_CLASS, &noteClass);
    out = head + ",\n     \"unid\": \"" + UnidHex(oid.File, oid.Note) + "\",\n" +
          "     \"oid\": {\"sequence\": " + std::to_string(oid.Sequence) +
          ", \"sequenceTime\": " + TimeJson(oid.SequenceTime) + "},\n" +
          "     \"class\": " + std::to_string(noteClass) +
          ", \"classNames\": " + ClassNames(noteClass) + ",\n" + SignatureJson(note.handle_) +
          "     \"items\": [";
    BLOCKID item{};
    status = NSFItemInfo(note.handle_, nullptr, 0, &item, nullptr, nullptr, nullptr);
    bool first = true;
    while (status == NOERROR) {
        out += first ? "\n       " : ",\n       ";
        out += ItemJson(note.handle_, item);
        first = false;
        BLOCKID next{};
        status = NSFItemInfoNext(note.handle_, item, nullptr, 0, &next, nullptr, nullptr, nullptr);
        item = next;
    }
    out += first ? "]}" : "\n     ]}";
    if (status != ERR_ITEM_NOT_FOUND) {
        out.insert(out.size() - 1, ",\n     \"error\": " + JsonString(StatusText(status)));
        return false;
    }
    return true;
}

int Run(const Words &words) {
    Args args(words, {});
    if (args.help()) {
        PrintHelp(kDumpVerb);
        return kExitOk;
    }
    args.expect({"DIR", "DATABASE"}, 2);
    const std::string &path = DatabaseWord(args);

    Runtime runtime(args.positional()[0]);
    DbHandle db;
    OpenDatabase(path, db);
    WORD build = 0;
    NSFDbGetBuildVersion(db.handle_, &build);
    DWORD count = 0;
    STATUS status = StandinDbNoteIDs(db.handle_, nullptr, 0, &count);
    std::vector<NOTEID> ids(count);
    if (status == NOERROR && count > 0) {
        status = StandinDbNoteIDs(db.handle_, ids.data(), count, &count);
        if (count < ids.size())
            ids.resize(count);
    }
    if (status != NOERROR)
        throw Failure("cannot list the notes of " + path + ": " + StatusText(status));

    const std::string full = path[0] == '/' ? path : runtime.dataDirectory() + "/" + path;
    const std::string info = InfoJson(db.handle_);
    const std::string acl = AclJson(db.handle_);
    std::cout << "{\n  \"database\": " << JsonString(path) << ",\n  \"path\": " << JsonString(full)
              << ",\n  \"buildVersion\": " << build << ",\n  \"info\": " << info
              << ",\n  \"acl\": " << acl << ",\n  \"notes\": [";
    size_t failed = 0;
    for (size_t i = 0; i < ids.size(); i++) {
        std::string note;
        if (!NoteJson(db.handle_, ids[i], note))
            failed++;
        std::cout << (i == 0 ? "\n" : ",\n") << note;
    }
    std::cout << (ids.empty() ? "]\n}\n" : "\n  ]\n}\n");
    std::cout.flush();
    if (failed > 0) {
        throw Failure(std::to_string(failed) + " of the " + std::to_string(ids.size()) +
                      " notes of " + path + " cannot be read");
    }
    return kExitOk;
}

}  // namespace

const Verb kDumpVerb = {"dump", "write every note and item of a database as JSON", kHelp, Run};

}  // namespace notesctl
