#pragma once
// An 8-bit palette picture parsed from a BMP file in memory (smart cameras).
// Sent to the remote clients as the gray-scale text, to the cloud as a gray JPEG.

#include <array>
#include <cstdint>
#include <vector>

#include "vision/ColorARGB.h"
#include "vision/Image.h"

namespace Imaging {

class ImageBitmap8BppIndexed : public Image {
public:
    // Parses the BMP file; throws std::invalid_argument when it is not one this reads.
    ImageBitmap8BppIndexed(unsigned char const* data, unsigned int length);

    void Parse(unsigned char const* data, unsigned int length);
    // Palette entry of column x, row y (rows as stored in the file). Throws
    // std::runtime_error without pixel data, std::out_of_range outside the picture.
    ColorARGB GetPixel(unsigned int x, unsigned int y) const;
    // The gray value of a palette entry.
    static unsigned char GrayValue(const ColorARGB& color) { return color.bytes[0]; }

    void EncodeHXP(std::vector<char>& out, bool compress) const override;
    void EncodeCloud(std::vector<unsigned char>& out) const override;

    unsigned int Read2Byte(unsigned char const* data) const;
    unsigned int Read4Byte(unsigned char const* data) const;

private:
    // Gray values row by row, after `header` zero bytes.
    std::vector<unsigned char> GrayPixels(std::size_t header) const;

    std::array<ColorARGB, 256> palette{};
    std::vector<unsigned char> pixels;
};

}  // namespace Imaging
