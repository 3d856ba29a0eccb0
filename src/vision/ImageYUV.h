#pragma once
// A YUYV 4:2:2 frame (two pixels share one U and one V), kept as one Y, U, V
// record per pixel for the JPEG compressor (USB and simulated cameras).

#include <vector>

#include "vision/ColorYUV.h"
#include "vision/Image.h"

namespace Imaging {

class ImageYUV : public Image {
public:
    // Throws std::invalid_argument unless the frame is exactly 2 x width x height bytes.
    ImageYUV(unsigned char const* data, unsigned int length, unsigned int width, unsigned int height);

    void Parse(unsigned char const* data, unsigned int length);
    const std::vector<ColorYUV>& GetPixels() const { return pixels; }

    void EncodeHXP(std::vector<char>& out, bool compress) const override;
    void EncodeCloud(std::vector<unsigned char>& out) const override;

private:
    std::vector<ColorYUV> pixels;
};

}  // namespace Imaging
