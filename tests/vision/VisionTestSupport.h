#pragma once
// Helpers of the vision tests: BMP files built in memory, JPEG decoding and
// gunzip to check what the encoders produced.

#include <cstdint>
#include <string>
#include <vector>

namespace VisionTest {

using Bytes = std::vector<unsigned char>;

// An 8-bit palette BMP, bottom row first as stored, rows padded to 4 bytes.
// `pixels` holds width x height indices row by row; the palette is gray
// (entry i = i, i, i, 0) unless given.
struct BmpLayout {
    uint32_t width = 2;
    uint32_t height = 2;
    uint16_t bitsPerPixel = 8;
    uint32_t compression = 0;
    uint32_t coloursUsed = 0;
    Bytes pixels;
    std::vector<uint32_t> palette;  // 4 bytes per entry, little-endian; empty: gray
};
Bytes MakeBmp(const BmpLayout& layout);
void Put4(Bytes& bytes, std::size_t offset, uint32_t value);
void Put2(Bytes& bytes, std::size_t offset, uint16_t value);

struct DecodedJpeg {
    bool ok = false;
    unsigned int width = 0;
    unsigned int height = 0;
    int components = 0;
    Bytes pixels;
};
// Decodes a JPEG; `rawYCbCr` keeps colour pictures in YCbCr instead of RGB.
DecodedJpeg DecodeJpeg(const Bytes& jpeg, bool rawYCbCr = false);

// Inflates one gzip member; `consumed` gets the bytes the member took.
bool Gunzip(const unsigned char* data, std::size_t length, Bytes& out, std::size_t* consumed = nullptr);

// Base64 text of a HXP picture text (without its NUL), decoded.
Bytes DecodeText(const std::vector<char>& text);

// Deterministic pseudo-random bytes.
Bytes RandomBytes(std::size_t count, uint32_t seed);

}  // namespace VisionTest
