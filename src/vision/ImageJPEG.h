#pragma once
// A JPEG file kept as it came (smart cameras); never decoded, so its size stays 0 x 0.

#include <vector>

#include "vision/Image.h"

namespace Imaging {

class ImageJPEG : public Image {
public:
    ImageJPEG(unsigned char const* data, unsigned int length);

    void Parse(unsigned char const* data, unsigned int length);
    const std::vector<unsigned char>& GetData() const { return bytes; }

    void EncodeHXP(std::vector<char>& out, bool compress) const override;
    void EncodeCloud(std::vector<unsigned char>& out) const override;

private:
    std::vector<unsigned char> bytes;
};

}  // namespace Imaging
