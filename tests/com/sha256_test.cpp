// SHA-256 from the platform's cryptography (libcrypto on Linux, CNG on
// Windows, where this runs under wine): the published test vectors, the same
// digest whatever the pieces the bytes come in, and the hexadecimal form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "com/sha256.h"

namespace {

std::string digest_of(const std::string& bytes, std::size_t piece)
{
    com::Sha256 hash;
    for (std::size_t at = 0; at < bytes.size(); at += piece)
        EXPECT_TRUE(hash.add(bytes.data() + at, std::min(piece, bytes.size() - at)));
    com::Sha256Digest digest;
    EXPECT_TRUE(hash.finish(&digest));
    return com::sha256_hex(digest);
}

TEST(Sha256, PublishedTestVectorsInAnyPieces)
{
    struct Case {
        std::string message;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqr"
         "stu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        // Whole, and in pieces that cross the 64-byte blocks at every offset.
        for (std::size_t piece : {c.message.size() + 1, std::size_t(1), std::size_t(7), std::size_t(63),
                                  std::size_t(65), std::size_t(4096)}) {
            if (c.message.size() > 100000 && piece < 63)
                continue;
            EXPECT_EQ(digest_of(c.message, piece), c.digest) << c.message.size() << " bytes in pieces of " << piece;
        }
    }
}

TEST(Sha256, AFinishedHashTakesNoMoreBytes)
{
    com::Sha256 hash;
    com::Sha256Digest digest;
    ASSERT_TRUE(hash.add("abc", 3));
    ASSERT_TRUE(hash.finish(&digest));
    EXPECT_FALSE(hash.add("d", 1));
    EXPECT_FALSE(hash.finish(&digest));
    EXPECT_EQ(com::sha256_hex(digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256, HexReadsEitherCaseAndNothingElse)
{
    const std::string lower = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    std::string upper = lower;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    com::Sha256Digest digest;
    ASSERT_TRUE(com::sha256_from_hex(upper, &digest));
    EXPECT_EQ(com::sha256_hex(digest), lower);
    for (const std::string& bad :
         {lower.substr(1), lower + "0", "g" + lower.substr(1), " " + lower.substr(1), lower.substr(0, 63) + "\n"})
        EXPECT_FALSE(com::sha256_from_hex(bad, &digest)) << bad;
}

}  // namespace
