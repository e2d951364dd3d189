#include "xml_string_translate.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLString.hpp>

#include "notes_api.h"

using xercesc::XMLFormatter;
using xercesc::XMLPlatformUtils;
using xercesc::XMLString;

XMLStringTranslate::XMLStringTranslate(const char *encoding)
    : formatter(nullptr), encodingName(XMLString::transcode(encoding)), buffer(nullptr) {
    try {
        formatter =
            new XMLFormatter(encodingName, this, XMLFormatter::NoEscapes,
                             XMLFormatter::UnRep_CharRef, XMLPlatformUtils::fgMemoryManager);
        buffer = new XMLCh[kBufferUnits];
    } catch (...) {
        delete formatter;
        XMLString::release(&encodingName);
        throw;
    }
    clearBuffer();
}

XMLStringTranslate::~XMLStringTranslate() {
    delete formatter;
    XMLString::release(&encodingName);
    delete[] buffer;
}

void XMLStringTranslate::writeChars(const XMLByte *const toWrite, const XMLSize_t count,
                                    XMLFormatter *const) {
    output.append(reinterpret_cast<const char *>(toWrite), count);
}

void XMLStringTranslate::clearBuffer() {
    std::memset(buffer, 0, kBufferUnits * sizeof(XMLCh));
}

std::string XMLStringTranslate::toNative(const XMLCh *text) {
    output.clear();
    if (text != nullptr)
        *formatter << text;
    std::string result;
    result.swap(output);
    return result;
}

const XMLCh *XMLStringTranslate::toXMLCh(const char *text) {
    clearBuffer();
    if (text == nullptr || *text == '\0')
        return buffer;
    const XMLSize_t length = std::strlen(text);
    const XMLSize_t maxUnits = kBufferUnits - 1;
    std::unique_ptr<unsigned char[]> charSizes(new unsigned char[maxUnits]);
    XMLSize_t eaten = 0;
    XMLSize_t count = formatter->getTranscoder()->transcodeFrom(
        reinterpret_cast<const XMLByte *>(text), length, buffer, maxUnits, eaten, charSizes.get());
    buffer[count] = 0;
    // The round trip is the test: a text cut by the buffer, or one that the
    // encoding does not carry faithfully, does not come back unchanged.
    std::string back = toNative(buffer);
    if (back.size() != length || std::memcmp(back.data(), text, length) != 0) {
        throw std::length_error("text does not convert whole to UTF-16");
    }
    return buffer;
}

namespace {

// The longest input that one translate call converts whole: its output
// capacity, three bytes per input byte and one spare, must fit 16 bits.
constexpr size_t kMaxTranslateInput = 21844;

bool IsUtf8Continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// A cut point for a piece of UTF-8 that begins at start and may hold up to
// length bytes: the piece must not end inside a character.
size_t Utf8PieceLength(const std::string &text, size_t start, size_t length) {
    for (size_t back = 0; back < 4 && back < length; back++) {
        if (!IsUtf8Continuation(static_cast<unsigned char>(text[start + length - back]))) {
            return length - back;
        }
    }
    return length;  // not UTF-8 here; the translate call makes of it what it can
}

// The length of the LMBCS character at p, of which left bytes (at least
// one) are there, as the platform reads LMBCS (os_text.h): 0x01-0x06, 0x08,
// 0x0B and 0x0F take one byte after them, 0x10-0x14 two, every other byte
// stands alone; a NUL byte never belongs to the character before it.
size_t LmbcsCharLength(const unsigned char *p, size_t left) {
    size_t length = 1;
    if ((p[0] >= 0x01 && p[0] <= 0x06) || p[0] == 0x08 || p[0] == 0x0B || p[0] == 0x0F) {
        length = 2;
    } else if (p[0] >= 0x10 && p[0] <= 0x14) {
        length = 3;
    }
    for (size_t i = 1; i < length; i++) {
        if (i == left || p[i] == 0)
            return i;
    }
    return length;
}

// The high byte of the UTF-16 unit of a whole Unicode group (0x14 and two
// bytes, the pair 0xF6 h standing for h 0x00).
unsigned UnicodeGroupHighByte(const unsigned char *group) {
    return group[1] == 0xF6 ? group[2] : group[1];
}

bool IsUnicodeGroup(const unsigned char *p, size_t left) {
    return p[0] == 0x14 && LmbcsCharLength(p, left) == 3;
}

// A cut point for a piece of LMBCS: the piece ends after the last character
// that fits whole. A character beyond the Basic Multilingual Plane is two
// Unicode groups, a high and a low surrogate, which stay together.
size_t LmbcsPieceLength(const std::string &text, size_t start, size_t length) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data()) + start;
    const size_t remaining = text.size() - start;
    size_t cut = 0;
    while (cut < remaining) {
        size_t next = cut + LmbcsCharLength(p + cut, remaining - cut);
        if (IsUnicodeGroup(p + cut, remaining - cut) && next < remaining &&
            IsUnicodeGroup(p + next, remaining - next)) {
            const unsigned high = UnicodeGroupHighByte(p + cut);
            const unsigned low = UnicodeGroupHighByte(p + next);
            if (high >= 0xD8 && high <= 0xDB && low >= 0xDC && low <= 0xDF)
                next += 3;
        }
        if (next > length)
            break;
        cut = next;
    }
    return cut > 0 ? cut : length;
}

void TranslateInPlace(std::string &text, WORD mode,
                      size_t (*pieceLength)(const std::string &, size_t, size_t)) {
    if (text.empty())
        return;
    std::string result;
    size_t start = 0;
    while (start < text.size()) {
        size_t length = text.size() - start;
        if (length > kMaxTranslateInput)
            length = pieceLength(text, start, kMaxTranslateInput);
        const size_t capacity = 3 * length + 1;
        std::vector<char> work(capacity + 1, '\0');
        WORD written = OSTranslate(mode, text.data() + start, static_cast<WORD>(length),
                                   work.data(), static_cast<WORD>(capacity));
        result.append(work.data(), written);
        start += length;
    }
    text.swap(result);
}

}  // namespace

bool XMLStringTranslate::Utf8ToLmbcsInPlace(std::string &text) {
    TranslateInPlace(text, OS_TRANSLATE_UTF8_TO_LMBCS, Utf8PieceLength);
    return true;
}

bool XMLStringTranslate::LmbcsToUtf8InPlace(std::string &text) {
    TranslateInPlace(text, OS_TRANSLATE_LMBCS_TO_UTF8, LmbcsPieceLength);
    return true;
}

TranscodedText::TranscodedText(const char *text) : text(XMLString::transcode(text)) {}

TranscodedText::~TranscodedText() {
    XMLString::release(&text);
}

LocalText::LocalText(const XMLCh *text)
    : text(text != nullptr ? XMLString::transcode(text) : nullptr) {}

LocalText::~LocalText() {
    if (text != nullptr)
        XMLString::release(&text);
}
