// SHA-256, for the digest of a signed note's items. Written here so that the
// stand-in needs no cryptography library for the one hash it makes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace notes_internal {

class Sha256 {
  public:
    static constexpr size_t kDigestSize = 32;

    Sha256();
    void Update(const void *data, size_t size);
    // The digest of everything given so far; the object is spent after it.
    void Final(unsigned char digest[kDigestSize]);

  private:
    void Block(const unsigned char *block);

    uint32_t state_[8];
    uint64_t length_ = 0;  // bytes given so far
    unsigned char buffer_[64];
    size_t buffered_ = 0;
};

}  // namespace notes_internal
