// SHA-256: the standard test vectors first, then the same digest whatever the pieces it is fed in.
#include "engine/sha256.h"

#include <gtest/gtest.h>

#include <string.h>
#include <string>

namespace {

std::string Digest(const void *data, uint32_t length)
{
    Sha256 sha;
    uint8_t digest[Sha256Size];
    char hex[Sha256HexSize];
    Sha256Begin(&sha);
    Sha256Add(&sha, data, length);
    Sha256End(&sha, digest);
    Sha256Hex(digest, hex);
    return hex;
}

TEST(Sha256, StandardVectors)
{
    struct Case {
        const char *input;
        const char *digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
         "mnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Digest(c.input, (uint32_t)strlen(c.input)), c.digest) << c.input;
}

TEST(Sha256, MillionAs)
{
    std::string a(1000000, 'a');
    EXPECT_EQ(Digest(a.data(), (uint32_t)a.size()),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Every split of the input into two pieces, across the block and padding boundaries.
TEST(Sha256, PiecesGiveTheSameDigest)
{
    std::string data(200, 0);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (char)(i * 7 + 3);
    for (uint32_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 200u}) {
        std::string whole = Digest(data.data(), length);
        for (uint32_t cut = 0; cut <= length; cut++) {
            Sha256 sha;
            uint8_t digest[Sha256Size];
            char hex[Sha256HexSize];
            Sha256Begin(&sha);
            Sha256Add(&sha, data.data(), cut);
            Sha256Add(&sha, data.data() + cut, length - cut);
            Sha256End(&sha, digest);
            Sha256Hex(digest, hex);
            ASSERT_EQ(whole, hex) << length << " cut at " << cut;
        }
    }
}

// A hole's zeros, after any number of bytes and of any length, digest as the bytes would.
TEST(Sha256, ZerosGiveTheSameDigestAsZeroBytes)
{
    std::string data(300, 0);
    for (size_t i = 0; i < 100; i++)
        data[i] = (char)(i * 5 + 1);
    for (uint32_t before : {0u, 1u, 55u, 63u, 64u, 100u})
        for (uint32_t zeros : {0u, 1u, 8u, 63u, 64u, 65u, 129u, 200u}) {
            Sha256 sha;
            uint8_t digest[Sha256Size];
            char hex[Sha256HexSize];
            Sha256Begin(&sha);
            Sha256Add(&sha, data.data(), before);
            Sha256AddZeros(&sha, zeros);
            Sha256Add(&sha, "end", 3);
            Sha256End(&sha, digest);
            Sha256Hex(digest, hex);
            std::string bytes = data.substr(0, before) + std::string(zeros, '\0') + "end";
            EXPECT_EQ(Digest(bytes.data(), (uint32_t)bytes.size()), hex) << before << "+" << zeros;
        }
}

}  // namespace
