// AES-256-CBC of the stored credentials: known answers, round trips, the
// vector and key types, and the failures the callers rely on.

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "cloud/Encryption.h"
#include "support/LogCapture.h"
#include "vision/Base64.h"

namespace {

using Encryption::InitializationVector;
using Encryption::Key256;

std::vector<unsigned char> Hex(const std::string& hex) {
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// NIST SP 800-38A, F.2.5 (CBC-AES256.Encrypt), first block.
const std::string NistKey = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
const std::string NistIv = "000102030405060708090a0b0c0d0e0f";
const std::string NistPlain = "6bc1bee22e409f96e93d7e117393172a";
const std::string NistCipher = "f58c4c04d6e5f1ba779eabfb5f7bfbd6";

TEST(EncryptionTest, MatchesTheStandardVectorAndPadsOneBlock) {
    const std::vector<unsigned char> key = Hex(NistKey);
    const std::vector<unsigned char> iv = Hex(NistIv);
    const std::vector<unsigned char> plain = Hex(NistPlain);
    std::vector<unsigned char> out(plain.size() + Encryption::BlockSize);
    const int written = Encryption::Encrypt(plain.data(), static_cast<int>(plain.size()), key.data(), iv.data(),
                                            out.data());
    ASSERT_EQ(written, 32);  // a full padding block follows a whole block
    EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + 16), Hex(NistCipher));

    std::vector<unsigned char> back(written + Encryption::BlockSize);
    const int plainLength = Encryption::Decrypt(out.data(), written, key.data(), iv.data(), back.data());
    EXPECT_EQ(std::vector<unsigned char>(back.begin(), back.begin() + plainLength), plain);
}

TEST(EncryptionTest, RoundTripsEveryLengthAroundTheBlockSize) {
    const Key256 key("device-identifier");
    const InitializationVector iv;
    for (int length = 0; length <= 48; ++length) {
        std::string text(static_cast<std::size_t>(length), 'x');
        for (int i = 0; i < length; ++i) text[static_cast<std::size_t>(i)] = static_cast<char>(i * 37);
        std::vector<unsigned char> cipher(text.size() + Encryption::BlockSize);
        const int n = Encryption::Encrypt(reinterpret_cast<const unsigned char*>(text.data()), length, key, iv,
                                          cipher.data());
        EXPECT_EQ(n, 16 * (length / 16 + 1)) << length;
        const std::vector<unsigned char> plain = Encryption::Decrypt(cipher.data(), n, key, iv);
        EXPECT_EQ(std::string(plain.begin(), plain.end()), text) << length;

        // The text forms carry the same bytes as Base64.
        const std::string base64 = Encryption::Encrypt(text, key, iv);
        EXPECT_EQ(Base64::Decode(base64), std::vector<unsigned char>(cipher.begin(), cipher.begin() + n));
        EXPECT_EQ(Encryption::Decrypt(base64, key, iv), text);
    }
}

TEST(EncryptionTest, WrongKeyVectorOrLengthFailsWithTheLibrarysLine) {
    // Fixed inputs: about one foreign key in 256 happens to leave valid padding.
    const Key256 key("device-a");
    const InitializationVector iv("fixed-vector-16b");
    const std::string cipher = Encryption::Encrypt(std::string("user\npassword\n"), key, iv);

    TestSupport::LogCapture log;
    try {
        Encryption::Decrypt(cipher, Key256("device-b"), iv);
        FAIL() << "a foreign key decrypted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Decryption failed");
    }
    EXPECT_EQ(log.CountContaining("OpenSSL: "), 1);

    const std::vector<unsigned char> bytes = Base64::Decode(cipher);
    EXPECT_THROW(Encryption::Decrypt(bytes.data(), 15, key, iv), std::runtime_error);
    EXPECT_THROW(Encryption::Decrypt(bytes.data(), 0, key, iv), std::runtime_error);
    // Each failure reports its own error, never one left over from before.
    EXPECT_EQ(log.CountContaining("OpenSSL: "), 3);
}

TEST(InitializationVectorTest, FreshVectorsDifferAndUseEveryByteValue) {
    std::set<std::string> vectors;
    std::set<int> values;
    for (int i = 0; i < 200; ++i) {
        const InitializationVector iv;
        vectors.insert(std::string(reinterpret_cast<const char*>(iv.bytes), InitializationVector::Size));
        for (unsigned char b : iv.bytes) values.insert(b);
    }
    EXPECT_EQ(vectors.size(), 200u);
    // 3200 random bytes miss a given value with probability below 1e-5.
    EXPECT_EQ(values.count(255), 1u);
    EXPECT_GT(values.size(), 250u);
}

TEST(InitializationVectorTest, Base64FormRoundTripsAndMustHoldSixteenBytes) {
    const InitializationVector iv;
    const std::string text = iv.ToBase64();
    ASSERT_EQ(text.size(), 24u);
    EXPECT_EQ(text.substr(22), "==");
    const InitializationVector back(text);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.bytes), 16),
              std::string(reinterpret_cast<const char*>(iv.bytes), 16));

    const char raw[] = "0123456789abcdefXYZ";
    const InitializationVector fromBytes(raw);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(fromBytes.bytes), 16), "0123456789abcdef");

    for (const char* bad : {"", "AAAA", "AAAAAAAAAAAAAAAAAAAA", "AAAAAAAAAAAAAAAAAAAAAAAAAA=="})
        EXPECT_THROW(InitializationVector(std::string(bad)), std::runtime_error) << bad;
}

TEST(Key256Test, FirstThirtyTwoBytesPaddedWithZeros) {
    const Key256 shortKey("abc");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(shortKey.bytes), 3), "abc");
    for (std::size_t i = 3; i < Key256::Size; ++i) EXPECT_EQ(shortKey.bytes[i], 0) << i;

    const std::string exact(32, 'k');
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(Key256(exact).bytes), 32), exact);
    // Beyond 32 bytes the text plays no part.
    const Key256 a(exact + "tail-one");
    const Key256 b(exact + "another");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.bytes), 32),
              std::string(reinterpret_cast<const char*>(b.bytes), 32));
}

}  // namespace
