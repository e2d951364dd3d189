#include "value_codec.h"

#include <cstring>

#include "nsf_note.h"
#include "os_error.h"

namespace notes_internal {

namespace {

constexpr size_t kMaxListBytes = 0xFFFF;

WORD ReadWord(const unsigned char *at) {
    WORD value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void AppendWord(std::string *out, WORD value) {
    out->append(reinterpret_cast<const char *>(&value), sizeof value);
}

template <typename T>
void AppendFixed(std::string *out, const T &value) {
    out->append(reinterpret_cast<const char *>(&value), sizeof value);
}

template <typename T>
STATUS DecodeFixed(const unsigned char *bytes, size_t size, std::vector<T> *out) {
    if (size != sizeof(T))
        return ERR_BAD_PARAM;
    T value;
    std::memcpy(&value, bytes, sizeof value);
    out->assign(1, value);
    return NOERROR;
}

// The list part then the pairs of a range, each pair as its two ends.
template <typename T>
STATUS DecodeRange(const unsigned char *bytes, size_t size, std::vector<T> *out) {
    if (size < 4)
        return ERR_BAD_PARAM;
    const size_t entries = ReadWord(bytes);
    const size_t pairs = ReadWord(bytes + 2);
    const size_t count = entries + 2 * pairs;
    if (size != 4 + count * sizeof(T))
        return ERR_BAD_PARAM;
    out->resize(count);
    for (size_t i = 0; i < count; i++)
        std::memcpy(&(*out)[i], bytes + 4 + i * sizeof(T), sizeof(T));
    return NOERROR;
}

template <typename T>
STATUS EncodeFixed(const std::vector<T> &entries, bool asList, WORD single, WORD list, WORD *type,
                   std::string *out) {
    out->clear();
    if (entries.size() == 1 && !asList) {
        *type = single;
        AppendFixed(out, entries[0]);
        return NOERROR;
    }
    if (entries.size() > 0xFFFF)
        return ERR_LIST_FULL;
    *type = list;
    AppendWord(out, static_cast<WORD>(entries.size()));
    AppendWord(out, 0);
    for (const T &entry : entries)
        AppendFixed(out, entry);
    return NOERROR;
}

}  // namespace

size_t Value::Count() const {
    switch (kind) {
        case ValueKind::Text:
            return texts.size();
        case ValueKind::Number:
            return numbers.size();
        case ValueKind::Time:
            return times.size();
    }
    return 0;
}

Value Value::Text(std::string text) {
    Value value;
    value.texts.push_back(std::move(text));
    return value;
}

Value Value::Texts(std::vector<std::string> texts) {
    Value value;
    value.texts = std::move(texts);
    return value;
}

Value Value::Number(NUMBER number) {
    return Numbers({number});
}

Value Value::Numbers(std::vector<NUMBER> numbers) {
    Value value;
    value.kind = ValueKind::Number;
    value.numbers = std::move(numbers);
    return value;
}

Value Value::Time(TIMEDATE time) {
    return Times({time});
}

Value Value::Times(std::vector<TIMEDATE> times) {
    Value value;
    value.kind = ValueKind::Time;
    value.times = std::move(times);
    return value;
}

bool IsCodecType(WORD type) {
    switch (type) {
        case TYPE_TEXT:
        case TYPE_TEXT_LIST:
        case TYPE_NUMBER:
        case TYPE_NUMBER_RANGE:
        case TYPE_TIME:
        case TYPE_TIME_RANGE:
            return true;
        default:
            return false;
    }
}

STATUS DecodeValue(WORD type, const unsigned char *bytes, size_t size, Value *out) {
    if (bytes == nullptr && size != 0)
        return ERR_BAD_PARAM;
    Value value;
    STATUS status = NOERROR;
    switch (type) {
        case TYPE_TEXT:
            value.texts.emplace_back(reinterpret_cast<const char *>(bytes), size);
            break;
        case TYPE_TEXT_LIST: {
            TextListView list(bytes, size);
            if (!list.Whole())
                return ERR_BAD_PARAM;
            value.texts.reserve(list.Count());
            for (size_t i = 0; i < list.Count(); i++) {
                const unsigned char *text = nullptr;
                size_t length = 0;
                list.Entry(i, &text, &length);
                value.texts.emplace_back(reinterpret_cast<const char *>(text), length);
            }
            break;
        }
        case TYPE_NUMBER:
            value.kind = ValueKind::Number;
            status = DecodeFixed(bytes, size, &value.numbers);
            break;
        case TYPE_NUMBER_RANGE:
            value.kind = ValueKind::Number;
            status = DecodeRange(bytes, size, &value.numbers);
            break;
        case TYPE_TIME:
            value.kind = ValueKind::Time;
            status = DecodeFixed(bytes, size, &value.times);
            break;
        case TYPE_TIME_RANGE:
            value.kind = ValueKind::Time;
            status = DecodeRange(bytes, size, &value.times);
            break;
        default:
            return ERR_ITEM_TYPE;
    }
    if (status != NOERROR)
        return status;
    *out = std::move(value);
    return NOERROR;
}

STATUS EncodeValue(const Value &value, bool asList, WORD *type, std::string *bytes) {
    switch (value.kind) {
        case ValueKind::Number:
            return EncodeFixed(value.numbers, asList, TYPE_NUMBER, TYPE_NUMBER_RANGE, type, bytes);
        case ValueKind::Time:
            return EncodeFixed(value.times, asList, TYPE_TIME, TYPE_TIME_RANGE, type, bytes);
        case ValueKind::Text:
            break;
    }
    bytes->clear();
    if (value.texts.size() == 1 && !asList) {
        *type = TYPE_TEXT;
        *bytes = value.texts[0];
        return NOERROR;
    }
    size_t total = 2 + 2 * value.texts.size();
    for (const std::string &text : value.texts) {
        if (text.size() > 0xFFFF)
            return ERR_LIST_FULL;
        total += text.size();
    }
    if (value.texts.size() > 0xFFFF || total > kMaxListBytes)
        return ERR_LIST_FULL;
    *type = TYPE_TEXT_LIST;
    bytes->reserve(total);
    AppendWord(bytes, static_cast<WORD>(value.texts.size()));
    for (const std::string &text : value.texts)
        AppendWord(bytes, static_cast<WORD>(text.size()));
    for (const std::string &text : value.texts)
        bytes->append(text);
    return NOERROR;
}

WORD TextListView::Declared() const {
    return size_ >= 2 ? ReadWord(bytes_) : 0;
}

bool TextListView::Whole() const {
    if (size_ < 2)
        return false;
    const size_t count = Declared();
    size_t offset = 2 + 2 * count;
    if (offset > size_)
        return false;
    for (size_t i = 0; i < count; i++)
        offset += ReadWord(bytes_ + 2 + 2 * i);
    return offset == size_;
}

size_t TextListView::Count() const {
    const size_t count = Declared();
    size_t offset = 2 + 2 * count;
    if (offset > size_)
        return 0;
    size_t whole = 0;
    for (; whole < count; whole++) {
        const size_t length = ReadWord(bytes_ + 2 + 2 * whole);
        if (offset + length > size_)
            break;
        offset += length;
    }
    return whole;
}

bool TextListView::Entry(size_t index, const unsigned char **text, size_t *length) const {
    const size_t count = Declared();
    size_t offset = 2 + 2 * count;
    if (index >= count || offset > size_)
        return false;
    for (size_t i = 0;; i++) {
        const size_t entryLength = ReadWord(bytes_ + 2 + 2 * i);
        if (offset + entryLength > size_)
            return false;
        if (i == index) {
            *text = bytes_ + offset;
            *length = entryLength;
            return true;
        }
        offset += entryLength;
    }
}

bool TextEntry(WORD type, const unsigned char *bytes, size_t size, size_t index,
               const unsigned char **text, size_t *length) {
    if (type == TYPE_TEXT) {
        if (index != 0)
            return false;
        *text = bytes;
        *length = size;
        return true;
    }
    if (type == TYPE_TEXT_LIST)
        return TextListView(bytes, size).Entry(index, text, length);
    return false;
}

}  // namespace notes_internal
