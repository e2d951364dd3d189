// Notes as DXL text. Every value is written in the element that carries it
// exactly, checked by encoding what was written back again; a value that
// does not come back the same is written as raw bytes.
#include <cstdio>
#include <cstring>

#include "dxl.h"
#include "nsf_note.h"
#include "os_error.h"
#include "value_codec.h"

namespace notes_internal {
namespace dxl {

namespace {

// Escapes for an attribute in single quotes, or for element text.
std::string Escape(const std::string &utf8, bool attribute) {
    std::string out;
    out.reserve(utf8.size());
    for (char c : utf8) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\r':
                // A parser turns a carriage return it reads into a line feed.
                out += "&#13;";
                break;
            case '\'':
                out += attribute ? "&apos;" : "'";
                break;
            case '\n':
                out += attribute ? "&#10;" : "\n";
                break;
            case '\t':
                out += attribute ? "&#9;" : "\t";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string RawElement(WORD type, const std::string &bytes) {
    return "<rawitemdata type='" + std::to_string(type) + "'>" + Base64Encode(bytes) +
           "</rawitemdata>";
}

std::string TimeElement(const std::string &text, bool dst) {
    return dst ? "<datetime dst='true'>" + text + "</datetime>"
               : "<datetime>" + text + "</datetime>";
}

// The value's element, or "" when only raw bytes carry it exactly.
std::string ValueElement(const Item &item) {
    if (!IsCodecType(item.type))
        return "";
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(item.value.data());
    Value value;
    if (DecodeValue(item.type, bytes, item.value.size(), &value) != NOERROR)
        return "";
    // The entries of a range's pairs would come back as list entries.
    if ((item.type == TYPE_NUMBER_RANGE || item.type == TYPE_TIME_RANGE) &&
        (item.value.size() < 4 || item.value[2] != 0 || item.value[3] != 0))
        return "";
    const bool list = item.type == TYPE_TEXT_LIST || item.type == TYPE_NUMBER_RANGE ||
                      item.type == TYPE_TIME_RANGE;
    WORD type = 0;
    std::string again;
    if (EncodeValue(value, list, &type, &again) != NOERROR || type != item.type ||
        again != item.value)
        return "";

    std::string out;
    switch (value.kind) {
        case ValueKind::Text:
            for (const std::string &text : value.texts) {
                std::string utf8;
                if (!TextToXml(text, &utf8))
                    return "";
                out += "<text>" + Escape(utf8, false) + "</text>";
            }
            return list ? "<textlist>" + out + "</textlist>" : out;
        case ValueKind::Number:
            for (NUMBER number : value.numbers) {
                std::string text;
                if (!NumberToXml(number, &text))
                    return "";
                out += "<number>" + text + "</number>";
            }
            return list ? "<numberlist>" + out + "</numberlist>" : out;
        case ValueKind::Time:
            for (const TIMEDATE &time : value.times) {
                std::string text;
                bool dst = false;
                if (!TimeToXml(time, &text, &dst))
                    return "";
                out += TimeElement(text, dst);
            }
            return list ? "<datetimelist>" + out + "</datetimelist>" : out;
    }
    return "";
}

constexpr WORD kWrittenFlags = ITEM_SIGN | ITEM_SEAL | ITEM_SUMMARY | ITEM_READWRITERS |
                               ITEM_NAMES | ITEM_PLACEHOLDER | ITEM_PROTECTED | ITEM_READERS;

std::string FlagAttributes(WORD flags) {
    std::string out;
    static const struct {
        WORD flag;
        const char *name;
    } kFlags[] = {
        {ITEM_SUMMARY, "summary"},        {ITEM_READWRITERS, "authors"}, {ITEM_READERS, "readers"},
        {ITEM_PROTECTED, "protected"},    {ITEM_SIGN, "sign"},           {ITEM_SEAL, "seal"},
        {ITEM_PLACEHOLDER, "placeholder"}};
    for (const auto &f : kFlags) {
        if (flags & f.flag)
            out += std::string(" ") + f.name + "='true'";
    }
    // authors and readers stand for names too.
    const bool implied = (flags & (ITEM_READWRITERS | ITEM_READERS)) != 0;
    const bool names = (flags & ITEM_NAMES) != 0;
    if (names != implied)
        out += names ? " names='true'" : " names='false'";
    return out;
}

}  // namespace

std::string ExportHead(const std::string &path) {
    std::string utf8;
    if (!TextToXml(path, &utf8))
        utf8.clear();
    return "<?xml version='1.0' encoding='utf-8'?>\n<database path='" + Escape(utf8, true) + "'>\n";
}

std::string ExportTail() {
    return "</database>\n";
}

STATUS ExportNote(const Note &note, std::string *out, std::string *problem) {
    bool isDefault = false;
    const std::string classText = ClassToXml(note.noteClass, &isDefault);
    char noteId[16];
    std::snprintf(noteId, sizeof noteId, "%x", note.id);
    std::string text = "<note class='" + classText + "'" + (isDefault ? " default='true'" : "") +
                       ">\n<noteinfo noteid='" + noteId + "' unid='" + UnidToText(note.unid) +
                       "' sequence='" + std::to_string(note.seq) + "'>";
    std::string timeText;
    bool dst = false;
    if (TimeToXml(note.seqTime, &timeText, &dst))
        text += "<revised>" + TimeElement(timeText, dst) + "</revised>";
    text += "</noteinfo>\n";
    for (const Item &item : note.items) {
        std::string name;
        if (!TextToXml(item.name, &name) || name.find('\n') != std::string::npos) {
            *problem = "the item name of note " + std::string(noteId) + " \"" + name +
                       "\" does not come back the same through UTF-8";
            return ERR_DXL_UNWRITABLE;
        }
        if (item.flags & static_cast<WORD>(~kWrittenFlags)) {
            char flags[16];
            std::snprintf(flags, sizeof flags, "0x%04X", item.flags);
            *problem = "the item \"" + name + "\" of note " + noteId + " has the flags " + flags +
                       ", which DXL does not carry";
            return ERR_DXL_UNWRITABLE;
        }
        std::string value = ValueElement(item);
        if (value.empty())
            value = RawElement(item.type, item.value);
        text += "<item name='" + Escape(name, true) + "'" + FlagAttributes(item.flags) + ">" +
                value + "</item>\n";
    }
    text += "</note>\n";
    out->append(text);
    return NOERROR;
}

}  // namespace dxl
}  // namespace notes_internal
