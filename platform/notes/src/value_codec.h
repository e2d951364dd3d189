// The one reading and writing of item values: text, text list, number,
// number list, time and time list. Items, views, formulas, the directory
// and the DXL family all decode and encode through here, so the layouts
// live in one place.
//
// Layouts (the bytes after the item's WORD data type; WORDs and DWORDs in
// the machine's byte order, at any alignment):
//   TYPE_TEXT          the text's bytes, no terminator (NUL bytes allowed)
//   TYPE_TEXT_LIST     WORD count, one WORD length per entry, the entries
//   TYPE_NUMBER        one 8-byte NUMBER
//   TYPE_TIME          one 8-byte TIMEDATE
//   TYPE_NUMBER_RANGE  WORD list count, WORD pair count, the NUMBERs, then
//                      the pairs (two NUMBERs each)
//   TYPE_TIME_RANGE    the same with TIMEDATEs
// A range's pairs are read as their two ends, lower first, after the list
// entries; the system never writes pairs, and a formula sees the ends as
// ordinary entries.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "global.h"

namespace notes_internal {

enum class ValueKind { Text, Number, Time };

// A decoded value: a list of entries of one kind. A single text, number or
// time is a list of one entry.
struct Value {
    ValueKind kind = ValueKind::Text;
    std::vector<std::string> texts;  // Text: LMBCS bytes
    std::vector<NUMBER> numbers;     // Number
    std::vector<TIMEDATE> times;     // Time

    size_t Count() const;
    bool Empty() const { return Count() == 0; }

    static Value Text(std::string text);
    static Value Texts(std::vector<std::string> texts);
    static Value Number(NUMBER number);
    static Value Numbers(std::vector<NUMBER> numbers);
    static Value Time(TIMEDATE time);
    static Value Times(std::vector<TIMEDATE> times);
};

// True for the six types above.
bool IsCodecType(WORD type);

// Decodes a value of one of the six types. ERR_ITEM_TYPE for any other type;
// ERR_BAD_PARAM when the bytes do not hold the layout whole (a count or a
// length that runs past the end, a fixed value of the wrong size, bytes
// left over). Nothing is read past size.
STATUS DecodeValue(WORD type, const unsigned char *bytes, size_t size, Value *out);

// Encodes a value. A value of one entry is written as TYPE_TEXT,
// TYPE_NUMBER or TYPE_TIME unless asList is set; more entries (or none) as
// the list type. ERR_LIST_FULL when a text list would pass 65535 entries,
// an entry 65535 bytes, or the whole list 65535 bytes (the limits of the
// list calls).
STATUS EncodeValue(const Value &value, bool asList, WORD *type, std::string *bytes);

// Reads the entries of a text list in place, without copying. A list whose
// declared entries do not lie wholly within size reads as far as its whole
// entries go, never past its end.
class TextListView {
  public:
    TextListView(const unsigned char *bytes, size_t size) : bytes_(bytes), size_(size) {}

    // The count the list declares, and whether every declared entry lies
    // within the bytes (with nothing left over).
    WORD Declared() const;
    bool Whole() const;
    // The entries that lie wholly within the bytes.
    size_t Count() const;
    // Entry index; false when there is no such whole entry.
    bool Entry(size_t index, const unsigned char **text, size_t *length) const;

  private:
    const unsigned char *bytes_;
    size_t size_;
};

// Entry index of a TYPE_TEXT (index 0 only) or TYPE_TEXT_LIST value; false
// for any other type or when there is no such entry.
bool TextEntry(WORD type, const unsigned char *bytes, size_t size, size_t index,
               const unsigned char **text, size_t *length);

}  // namespace notes_internal
