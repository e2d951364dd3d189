#include "collation.h"

#include <array>

#include "lmbcs.h"

namespace notes_internal {

namespace {

// Capital and small letter of each code page 850 pair above 0x7F.
constexpr unsigned char kPairs[][2] = {
    {0x80, 0x87},  // C cedilla
    {0x8E, 0x84},  // A diaeresis
    {0x8F, 0x86},  // A ring
    {0x90, 0x82},  // E acute
    {0x92, 0x91},  // AE
    {0x99, 0x94},  // O diaeresis
    {0x9A, 0x81},  // U diaeresis
    {0x9D, 0x9B},  // O stroke
    {0xA5, 0xA4},  // N tilde
    {0xB5, 0xA0},  // A acute
    {0xB6, 0x83},  // A circumflex
    {0xB7, 0x85},  // A grave
    {0xC7, 0xC6},  // A tilde
    {0xD1, 0xD0},  // Eth
    {0xD2, 0x88},  // E circumflex
    {0xD3, 0x89},  // E diaeresis
    {0xD4, 0x8A},  // E grave
    {0xD6, 0xA1},  // I acute
    {0xD7, 0x8C},  // I circumflex
    {0xD8, 0x8B},  // I diaeresis
    {0xDE, 0x8D},  // I grave
    {0xE0, 0xA2},  // O acute
    {0xE2, 0x93},  // O circumflex
    {0xE3, 0x95},  // O grave
    {0xE5, 0xE4},  // O tilde
    {0xE8, 0xE7},  // Thorn
    {0xE9, 0xA3},  // U acute
    {0xEA, 0x96},  // U circumflex
    {0xEB, 0x97},  // U grave
    {0xED, 0xEC},  // Y acute
};

constexpr std::array<unsigned char, 256> MakeFold() {
    std::array<unsigned char, 256> fold{};
    for (int i = 0; i < 256; i++)
        fold[i] = static_cast<unsigned char>(i >= 'A' && i <= 'Z' ? i - 'A' + 'a' : i);
    for (const auto &pair : kPairs)
        fold[pair[0]] = pair[1];
    return fold;
}

constexpr std::array<unsigned char, 256> kFold = MakeFold();

// The key bytes of a name, one at a time.
class KeyReader {
  public:
    KeyReader(const char *text, size_t length)
        : p_(reinterpret_cast<const unsigned char *>(text)), left_(length) {}

    bool Next(unsigned char *out) {
        if (left_ == 0)
            return false;
        if (inChar_ > 0) {
            inChar_--;
            *out = *p_;
        } else {
            size_t length = LmbcsCharLength(p_, left_);
            *out = length == 1 ? kFold[*p_] : *p_;
            inChar_ = length - 1;
        }
        p_++;
        left_--;
        return true;
    }

  private:
    const unsigned char *p_;
    size_t left_;
    size_t inChar_ = 0;  // data bytes of the current character still to come
};

}  // namespace

std::string CollationKey(const char *text, size_t length) {
    std::string key;
    key.resize(length);
    KeyReader reader(text, length);
    unsigned char byte;
    for (size_t i = 0; reader.Next(&byte); i++)
        key[i] = static_cast<char>(byte);
    return key;
}

int CollationCompare(const char *a, size_t aLength, const char *b, size_t bLength) {
    KeyReader ra(a, aLength), rb(b, bLength);
    for (;;) {
        unsigned char ca, cb;
        bool moreA = ra.Next(&ca), moreB = rb.Next(&cb);
        if (!moreA || !moreB)
            return moreA ? 1 : moreB ? -1 : 0;
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
}

}  // namespace notes_internal
