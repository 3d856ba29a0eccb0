#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vision/Base64.h"
#include "vision/ImageJPEG.h"
#include "vision/VisionTestSupport.h"

using VisionTest::Bytes;

namespace {

// Straight from RFC 4648, section 4.
std::string Reference(const Bytes& in) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const uint32_t v = in[i] << 16 | in[i + 1] << 8 | in[i + 2];
        for (int s = 18; s >= 0; s -= 6) out += alphabet[(v >> s) & 63];
    }
    if (in.size() - i == 1) {
        const uint32_t v = in[i] << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += "==";
    } else if (in.size() - i == 2) {
        const uint32_t v = in[i] << 16 | in[i + 1] << 8;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

}  // namespace

TEST(Base64, RfcTestVectors) {
    const std::pair<std::string, std::string> vectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, text] : vectors) {
        EXPECT_EQ(Base64::Encode(plain.data(), static_cast<unsigned>(plain.size())), text);
        const Bytes decoded = Base64::Decode(text);
        EXPECT_EQ(std::string(decoded.begin(), decoded.end()), plain);
    }
}

// libb64 breaks its output into lines of 72 characters and ends it with a line
// feed; none of that may reach the text, whatever the length.
TEST(Base64, AllLengthsUpTo3000MatchTheRfcWithoutLineFeeds) {
    for (std::size_t n = 0; n <= 3000; ++n) {
        const Bytes data = VisionTest::RandomBytes(n, static_cast<uint32_t>(n));
        const std::string text = Base64::Encode(reinterpret_cast<const char*>(data.data()), static_cast<unsigned>(n));
        ASSERT_EQ(text, Reference(data)) << "length " << n;
        ASSERT_EQ(Base64::Decode(text), data) << "length " << n;
    }
    const Bytes big = VisionTest::RandomBytes(3000, 7);
    EXPECT_EQ(Base64::Encode(reinterpret_cast<const char*>(big.data()), 3000).size(), 4000u);
}

// The picture helper writes into a buffer of exactly 4 * ceil(n / 3) + 1
// characters (ASan sees any write past it).
TEST(Base64, PictureHelperFillsItsExactBufferAndEndsWithNul) {
    Imaging::ImageJPEG image(nullptr, 0);
    for (std::size_t n : {0u, 1u, 2u, 3u, 53u, 54u, 55u, 108u, 1000u, 3000u, 10000u}) {
        const Bytes data = VisionTest::RandomBytes(n, 3);
        const std::size_t room = (n + 2) / 3 * 4 + 1;
        std::unique_ptr<char[]> out(new char[room]);
        const unsigned written = image.EncodeDataB64(data.data(), static_cast<unsigned>(n), out.get());
        ASSERT_EQ(written, room);
        EXPECT_EQ(out[room - 1], '\0');
        EXPECT_EQ(std::string(out.get()), Reference(data));
    }
}

TEST(Base64, DecodeSkipsLineBreaksBlanksAndPadding) {
    const Bytes data = VisionTest::RandomBytes(200, 11);
    const std::string text = Base64::Encode(reinterpret_cast<const char*>(data.data()), 200);
    std::string broken;
    for (std::size_t i = 0; i < text.size(); ++i) {
        broken += text[i];
        if (i % 10 == 9) broken += "\r\n ";
    }
    EXPECT_EQ(Base64::Decode(broken), data);

    // A final incomplete byte is dropped; the raw buffer form counts the same.
    EXPECT_EQ(Base64::Decode("Zm9vY"), (Bytes{'f', 'o', 'o'}));
    char buffer[8];
    EXPECT_EQ(Base64::Decode(std::string("Zm9vYg=="), buffer), 4u);
    EXPECT_EQ(std::string(buffer, 4), "foob");
    EXPECT_TRUE(Base64::Decode("").empty());
    EXPECT_TRUE(Base64::Decode("*** ===").empty());
}
