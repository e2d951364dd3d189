#include "os_text.h"

#include <unicode/ucnv.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lmbcs.h"
#include "os_env.h"
#include "os_time.h"

static_assert(sizeof(INTLFORMAT) == 140, "INTLFORMAT must keep its 140-byte layout");

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The thread's LMBCS converter and work buffers. An ICU converter must not
// be shared between threads, and opening one (it opens a converter for
// every group) costs more than converting a short text, so each thread
// opens its own once and keeps it until it ends.
class ThreadConverter {
  public:
    ThreadConverter() = default;
    ThreadConverter(const ThreadConverter &) = delete;
    ThreadConverter &operator=(const ThreadConverter &) = delete;
    ~ThreadConverter() {
        if (converter_ != nullptr)
            ucnv_close(converter_);
    }

    // The converter in its initial state; null when ICU cannot open one
    // (its data is missing).
    UConverter *Get() {
        if (converter_ == nullptr) {
            UErrorCode status = U_ZERO_ERROR;
            converter_ = ucnv_open("LMBCS-1", &status);
            if (U_FAILURE(status) && converter_ != nullptr) {
                ucnv_close(converter_);
                converter_ = nullptr;
            }
        } else {
            ucnv_reset(converter_);
        }
        return converter_;
    }

    std::vector<UChar> units;
    std::vector<char> bytes;
    std::vector<int32_t> offsets;

  private:
    UConverter *converter_ = nullptr;
};

ThreadConverter &Converter() {
    thread_local ThreadConverter converter;
    return converter;
}

// A bounded output: a character goes in whole or not at all, and once one
// does not fit nothing more goes in.
class Output {
  public:
    Output(char *out, WORD capacity) : out_(out), capacity_(out ? capacity : 0) {}
    bool Put(const unsigned char *bytes, size_t count) {
        if (full_ || count > static_cast<size_t>(capacity_ - length_)) {
            full_ = true;
            return false;
        }
        std::memcpy(out_ + length_, bytes, count);
        length_ = static_cast<WORD>(length_ + count);
        return true;
    }
    WORD length() const { return length_; }

  private:
    char *out_;
    WORD capacity_;
    WORD length_ = 0;
    bool full_ = false;
};

// One character of UTF-8 input: the code point and the bytes it took. A
// byte that starts no valid sequence (stray continuation, overlong form,
// surrogate, beyond U+10FFFF, cut short) gives U+FFFD and takes one byte.
char32_t NextUtf8(const unsigned char *in, size_t left, size_t *used) {
    const unsigned char b0 = in[0];
    *used = 1;
    if (b0 < 0x80)
        return b0;
    size_t length;
    char32_t c;
    char32_t minimum;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2, c = b0 & 0x1F, minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3, c = b0 & 0x0F, minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4, c = b0 & 0x07, minimum = 0x10000;
    } else {
        return kReplacement;
    }
    if (left < length)
        return kReplacement;
    for (size_t i = 1; i < length; i++) {
        if ((in[i] & 0xC0) != 0x80)
            return kReplacement;
        c = (c << 6) | (in[i] & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return kReplacement;
    *used = length;
    return c;
}

size_t EncodeUtf8(char32_t c, unsigned char *out) {
    if (c < 0x80) {
        out[0] = static_cast<unsigned char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 4;
}

// A byte that stands for itself in UTF-8 and in LMBCS alike: a text of such
// bytes alone is copied as it is, without ICU.
bool IsPlain(unsigned char byte) {
    return (byte >= 0x20 && byte < 0x80) || byte == 0 || byte == '\t' || byte == '\n' ||
           byte == '\r' || byte == 0x19;
}

// Copies a text of plain bytes whole or, when it does not fit, as much as
// fits; false, copying nothing, when the text holds another byte.
bool CopyPlain(const unsigned char *in, WORD inLength, char *out, WORD outLength, WORD *written) {
    for (WORD i = 0; i < inLength; i++) {
        if (!IsPlain(in[i]))
            return false;
    }
    *written = inLength < outLength ? inLength : outLength;
    std::memcpy(out, in, *written);
    return true;
}

bool IsHighSurrogate(UChar unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(UChar unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// ICU's LMBCS of count units into capacity bytes at out, with the source
// unit of each byte in offsets when offsets is not null; *written is the
// number of bytes written.
UErrorCode FromUnicode(UConverter *converter, const UChar *units, size_t count, char *out,
                       size_t capacity, int32_t *offsets, size_t *written) {
    ucnv_resetFromUnicode(converter);
    char *target = out;
    const UChar *source = units;
    UErrorCode status = U_ZERO_ERROR;
    ucnv_fromUnicode(converter, &target, out + capacity, &source, units + count, offsets, TRUE,
                     &status);
    *written = static_cast<size_t>(target - out);
    return status;
}

WORD Utf8ToLmbcs(const unsigned char *in, WORD inLength, char *out, WORD outLength) {
    if (inLength == 0 || outLength == 0)
        return 0;
    WORD plain;
    if (CopyPlain(in, inLength, out, outLength, &plain))
        return plain;
    ThreadConverter &thread = Converter();
    UConverter *converter = thread.Get();
    if (converter == nullptr)
        return 0;
    // UTF-16 first: a valid character gives as many units as bytes at most.
    std::vector<UChar> &units = thread.units;
    units.resize(inLength);
    size_t count = 0;
    for (size_t i = 0; i < inLength;) {
        size_t used;
        const char32_t c = NextUtf8(in + i, inLength - i, &used);
        i += used;
        if (c < 0x10000) {
            units[count++] = static_cast<UChar>(c);
        } else {
            units[count++] = static_cast<UChar>(0xD800 + ((c - 0x10000) >> 10));
            units[count++] = static_cast<UChar>(0xDC00 + (c & 0x3FF));
        }
    }
    // LMBCS takes three bytes per unit at most: when that fits, ICU writes
    // straight into the output.
    size_t written = 0;
    if (3 * count <= outLength &&
        U_SUCCESS(FromUnicode(converter, units.data(), count, out, outLength, nullptr, &written)))
        return static_cast<WORD>(written);

    // Otherwise the whole result goes into the work buffer and the output
    // takes the characters that fit whole. A character's bytes never depend
    // on those after it, so that is what a conversion of those characters
    // alone gives.
    std::vector<char> &bytes = thread.bytes;
    std::vector<int32_t> &offsets = thread.offsets;
    size_t capacity = 3 * count + 16;
    for (;;) {
        bytes.resize(capacity);
        offsets.resize(capacity);
        const UErrorCode status = FromUnicode(converter, units.data(), count, bytes.data(),
                                              capacity, offsets.data(), &written);
        if (U_SUCCESS(status))
            break;
        if (status != U_BUFFER_OVERFLOW_ERROR)
            return 0;
        capacity *= 2;
    }
    if (written <= outLength) {
        std::memcpy(out, bytes.data(), written);
        return static_cast<WORD>(written);
    }
    // The character of a byte: the unit it came from, or the high surrogate
    // before it.
    auto character = [&](size_t at) {
        int32_t unit = offsets[at];
        if (unit > 0 && IsLowSurrogate(units[unit]) && IsHighSurrogate(units[unit - 1]))
            unit--;
        return unit;
    };
    size_t cut = outLength;
    while (cut > 0 && character(cut) == character(cut - 1))
        cut--;
    std::memcpy(out, bytes.data(), cut);
    return static_cast<WORD>(cut);
}

// UTF-8 of units into output; a surrogate that is not part of a pair
// becomes U+FFFD. False once the output is full.
bool PutUtf8(const UChar *units, size_t count, Output &output) {
    for (size_t i = 0; i < count; i++) {
        char32_t c = units[i];
        if (IsHighSurrogate(units[i]) && i + 1 < count && IsLowSurrogate(units[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        unsigned char bytes[4];
        if (!output.Put(bytes, EncodeUtf8(c, bytes)))
            return false;
    }
    return true;
}

// ICU's reading of count LMBCS bytes, written to output as UTF-8. False
// when the output is full or ICU fails.
bool PutRun(ThreadConverter &thread, UConverter *converter, const unsigned char *in, size_t count,
            Output &output) {
    if (count == 0)
        return true;
    std::vector<UChar> &units = thread.units;
    size_t capacity = count + 1;  // one unit per character, each at least a byte
    for (;;) {
        units.resize(capacity);
        ucnv_resetToUnicode(converter);
        UChar *target = units.data();
        const char *source = reinterpret_cast<const char *>(in);
        UErrorCode status = U_ZERO_ERROR;
        ucnv_toUnicode(converter, &target, units.data() + capacity, &source,
                       reinterpret_cast<const char *>(in + count), nullptr, TRUE, &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            capacity *= 2;
            continue;
        }
        if (U_FAILURE(status))
            return false;
        return PutUtf8(units.data(), static_cast<size_t>(target - units.data()), output);
    }
}

WORD LmbcsToUtf8(const unsigned char *in, WORD inLength, char *out, WORD outLength) {
    if (inLength == 0 || outLength == 0)
        return 0;
    WORD plain;
    if (CopyPlain(in, inLength, out, outLength, &plain))
        return plain;
    ThreadConverter &thread = Converter();
    UConverter *converter = thread.Get();
    if (converter == nullptr)
        return 0;
    Output output(out, outLength);
    // ICU reads runs of whole characters. A NUL byte ends a run, so that it
    // stays a NUL even after a group byte that lacks its data bytes; so do
    // the groups of U+FFFE and U+FFFF, which ICU reads as errors although it
    // writes them.
    size_t start = 0;
    size_t i = 0;
    while (i < inLength) {
        const size_t length = notes_internal::LmbcsCharLength(in + i, inLength - i);
        char32_t special;
        if (in[i] == 0) {
            special = 0;
        } else if (length == 3 && in[i] == 0x14 && in[i + 1] == 0xFF && in[i + 2] >= 0xFE) {
            special = 0xFF00 | in[i + 2];
        } else {
            i += length;
            continue;
        }
        if (!PutRun(thread, converter, in + start, i - start, output))
            return output.length();
        unsigned char bytes[4];
        if (!output.Put(bytes, EncodeUtf8(special, bytes)))
            return output.length();
        i += length;
        start = i;
    }
    PutRun(thread, converter, in + start, inLength - start, output);
    return output.length();
}

// A notes.ini string into a field of ISTRMAX bytes: at most four bytes,
// never cutting a UTF-8 character.
void SetShortString(char *field, const char *iniKey, const char *fallback) {
    char value[MAXENVVALUE];
    const char *text = fallback;
    if (OSGetEnvironmentString(iniKey, value, sizeof value) && value[0] != '\0')
        text = value;
    size_t length = std::strlen(text);
    if (length > ISTRMAX - 1) {
        length = ISTRMAX - 1;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
            length--;
    }
    std::memcpy(field, text, length);
    field[length] = '\0';
}

void SetString(char *field, size_t size, const char *text) {
    std::strncpy(field, text, size - 1);
    field[size - 1] = '\0';
}

}  // namespace

WORD LNPUBLIC OSTranslate(WORD TranslateMode, const char far *In, WORD InLength, char far *Out,
                          WORD OutLength) {
    if (Out == nullptr || (In == nullptr && InLength > 0))
        return 0;
    const auto *in = reinterpret_cast<const unsigned char *>(In);
    switch (TranslateMode) {
        case OS_TRANSLATE_NATIVE_TO_LMBCS:
        case OS_TRANSLATE_UTF8_TO_LMBCS:
            return Utf8ToLmbcs(in, InLength, Out, OutLength);
        case OS_TRANSLATE_LMBCS_TO_NATIVE:
        case OS_TRANSLATE_LMBCS_TO_UTF8:
            return LmbcsToUtf8(in, InLength, Out, OutLength);
        default:
            return 0;
    }
}

void LNPUBLIC OSGetIntlSettings(INTLFORMAT far *retIntlFormat, WORD BufferSize) {
    if (retIntlFormat == nullptr || BufferSize == 0)
        return;
    INTLFORMAT intl;
    std::memset(&intl, 0, sizeof intl);
    char flags[MAXENVVALUE];
    if (OSGetEnvironmentString("IntlFlags", flags, sizeof flags) && flags[0] != '\0') {
        intl.Flags = static_cast<WORD>(std::strtol(flags, nullptr, 10));
    } else {
        intl.Flags = DATE_MDY | DATE_4DIGIT_YEAR | NUMBER_LEADING_ZERO;
    }
    intl.CurrencyDigits = 2;
    intl.Length = static_cast<BYTE>(sizeof(INTLFORMAT));
    int dst = 0;
    OSCurrentTimeZone(&intl.TimeZone, &dst);
    SetShortString(intl.AMString, "IntlAMString", "AM");
    SetShortString(intl.PMString, "IntlPMString", "PM");
    SetShortString(intl.DateString, "IntlDateSeparator", "/");
    SetShortString(intl.TimeString, "IntlTimeSeparator", ":");
    SetString(intl.CurrencyString, ISTRMAX, "$");
    SetString(intl.ThousandString, ISTRMAX, ",");
    SetString(intl.DecimalString, ISTRMAX, ".");
    SetString(intl.YesterdayString, YTSTRMAX, "Yesterday");
    SetString(intl.TodayString, YTSTRMAX, "Today");
    SetString(intl.TomorrowString, YTSTRMAX, "Tomorrow");
    const size_t size = BufferSize < sizeof intl ? BufferSize : sizeof intl;
    std::memcpy(retIntlFormat, &intl, size);
}
