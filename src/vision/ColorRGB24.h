#pragma once
// One RGB pixel; an array of them is handed to the JPEG compressor as bytes.

namespace Imaging {

struct ColorRGB24 {
    ColorRGB24() = default;
    ColorRGB24(unsigned char red, unsigned char green, unsigned char blue) : r(red), g(green), b(blue) {}
    unsigned char r = 0;
    unsigned char g = 0;
    unsigned char b = 0;
};
static_assert(sizeof(ColorRGB24) == 3, "pixel arrays are compressed as packed bytes");

}  // namespace Imaging
