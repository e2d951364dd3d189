// SHA-256 against the published test vectors, whole and in pieces of every
// size, so that the block boundary and the padding are both crossed.
#include <gtest/gtest.h>

#include <string>

#include "sha256.h"

namespace {

std::string Hex(const std::string &message, size_t piece) {
    notes_internal::Sha256 hash;
    for (size_t at = 0; at < message.size(); at += piece)
        hash.Update(message.data() + at, std::min(piece, message.size() - at));
    unsigned char digest[notes_internal::Sha256::kDigestSize];
    hash.Final(digest);
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

TEST(Sha256, GivesThePublishedDigestsInPiecesOfAnySize) {
    const struct {
        std::string message;
        const char *digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message.substr(0, 20));
        const size_t pieces[] = {1, 3, 55, 56, 63, 64, 65, 1000000};
        for (size_t piece : pieces) {
            if (c.message.size() > 1000 && piece < 55)
                continue;  // a million one-byte updates add nothing but time
            EXPECT_EQ(Hex(c.message, piece), c.digest) << "pieces of " << piece;
        }
    }
}

}  // namespace
