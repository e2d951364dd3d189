// The signature of a note (nsf_sign.h): its "$Signature" value, and the
// digest of a note's items, for the signing call, its check, and the DXL
// export that shows who signed a note.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "global.h"

namespace notes_internal {
namespace sign {

constexpr size_t kDigestSize = 32;
constexpr size_t kHeaderSize = 16 + kDigestSize;

// One item as the digest reads it.
struct ItemView {
    const char *name;
    size_t nameLength;
    WORD type;
    WORD flags;
    const unsigned char *value;  // after the type word
    size_t size;
};

// Whether an item name is "$Signature" (through the collation of names).
bool IsSignatureItem(const char *name, size_t length);

// The SHA-256 digest of a note's class and items, "$Signature" left out.
void Digest(WORD noteClass, const std::vector<ItemView> &items, unsigned char *digest);

// A "$Signature" value (after the type word).
std::string MakeValue(const std::string &signer, const TIMEDATE &when, const unsigned char *digest);

struct Parsed {
    std::string signer;
    TIMEDATE when{};
    unsigned char digest[kDigestSize] = {};
};
// false for a value that does not hold the layout.
bool ParseValue(const unsigned char *value, size_t size, Parsed *out);

enum class Verdict { Unsigned, Matches, Differs, Damaged };

// The verdict on a note's items: its first "$Signature" against the
// digest of the rest. *parsed holds the signature for Matches and Differs.
Verdict Check(WORD noteClass, const std::vector<ItemView> &items, Parsed *parsed);

}  // namespace sign
}  // namespace notes_internal
