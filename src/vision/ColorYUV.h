#pragma once
// One YCbCr pixel; an array of them is handed to the JPEG compressor as bytes.

namespace Imaging {

struct ColorYUV {
    ColorYUV() = default;
    ColorYUV(unsigned char luma, unsigned char blue, unsigned char red) : y(luma), u(blue), v(red) {}
    unsigned char y = 0;
    unsigned char u = 0;
    unsigned char v = 0;
};
static_assert(sizeof(ColorYUV) == 3, "pixel arrays are compressed as packed bytes");

}  // namespace Imaging
