// Text conversion between the XML library's UTF-16 strings, 8-bit text in a
// named encoding, and LMBCS, the Notes character set.
#pragma once

#include <string>

#include <xercesc/framework/XMLFormatter.hpp>
#include <xercesc/util/XercesDefs.hpp>

// Converts between UTF-16 and one named encoding (the worker always names
// UTF-8) by letting the library's formatter write into the object itself.
// The XML library must be running while an object exists.
class XMLStringTranslate : public xercesc::XMLFormatTarget {
  public:
    // Units of the working buffer of toXMLCh: at most one less are converted.
    static constexpr XMLSize_t kBufferUnits = 16384;

    explicit XMLStringTranslate(const char *encoding);
    ~XMLStringTranslate() override;
    XMLStringTranslate(const XMLStringTranslate &) = delete;
    XMLStringTranslate &operator=(const XMLStringTranslate &) = delete;

    // The formatter's output: appends the bytes to the conversion under way.
    void writeChars(const XMLByte *const toWrite, const XMLSize_t count,
                    xercesc::XMLFormatter *const formatter) override;

    void clearBuffer();

    // The whole text in the object's encoding; a null text gives "". A text
    // with half a surrogate pair cannot be converted whole (the library's
    // formatter would spin on one at its end for ever) and throws
    // std::invalid_argument before the formatter sees it.
    std::string toNative(const XMLCh *text);

    // The UTF-16 form of a NUL-terminated text in the object's encoding, in
    // the object's working buffer: valid until the next toXMLCh or
    // clearBuffer on this object. A text that does not come back unchanged
    // from the round trip (among them one that needs kBufferUnits units or
    // more) throws std::length_error; the transcoder's own exceptions (an
    // invalid byte sequence) pass through.
    const XMLCh *toXMLCh(const char *text);

    // In-place conversions between UTF-8 and LMBCS through the platform's
    // translate call, NUL bytes included (line breaks travel as NUL bytes).
    // They use nothing of the object. The translate call takes 16-bit
    // lengths, so a text longer than one call can take whole is converted in
    // pieces cut between characters, and comes out whole. Always true.
    static bool Utf8ToLmbcsInPlace(std::string &text);
    static bool LmbcsToUtf8InPlace(std::string &text);

  private:
    xercesc::XMLFormatter *formatter;
    XMLCh *encodingName;
    XMLCh *buffer;
    std::string output;
};

// A string of the local code page in the XML library's UTF-16, given back to
// the library when the object dies.
class TranscodedText {
  public:
    explicit TranscodedText(const char *text);
    ~TranscodedText();
    TranscodedText(const TranscodedText &) = delete;
    TranscodedText &operator=(const TranscodedText &) = delete;

    const XMLCh *getText() const { return text; }

  private:
    XMLCh *text;
};

// Whether a UTF-16 text holds half a surrogate pair: a high one not followed
// by a low one, or a low one without a high one before it. No conversion
// can give such a text whole.
bool HasUnpairedSurrogate(const XMLCh *text);

// The reverse: a UTF-16 string of the library in the local code page, as
// XMLString::transcode gives it, given back when the object dies. A null
// string, or one that the local code page cannot hold, reads as "". A text
// with half a surrogate pair throws std::invalid_argument, as toNative does.
class LocalText {
  public:
    explicit LocalText(const XMLCh *text);
    // The same for the text of an error message, which must never fail in
    // turn: half a surrogate pair becomes '?', and a conversion that fails
    // gives "".
    static std::string Message(const XMLCh *text);
    ~LocalText();
    LocalText(const LocalText &) = delete;
    LocalText &operator=(const LocalText &) = delete;

    const char *c_str() const { return text ? text : ""; }
    std::string str() const { return c_str(); }

  private:
    char *text;
};
