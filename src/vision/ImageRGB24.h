#pragma once
// A raw RGB frame, 3 bytes per pixel, top row first (USB cameras).

#include <vector>

#include "vision/ColorRGB24.h"
#include "vision/Image.h"

namespace Imaging {

class ImageRGB24 : public Image {
public:
    // Throws std::invalid_argument when the frame is shorter than the picture.
    ImageRGB24(unsigned char const* data, unsigned int length, unsigned int width, unsigned int height);

    void Parse(unsigned char const* data, unsigned int length);
    const std::vector<ColorRGB24>& GetPixels() const { return pixels; }

    void EncodeHXP(std::vector<char>& out, bool compress) const override;
    void EncodeCloud(std::vector<unsigned char>& out) const override;

private:
    std::vector<ColorRGB24> pixels;
};

}  // namespace Imaging
