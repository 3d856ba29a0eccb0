#include "vision/ImageRGB24.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace Imaging {

ImageRGB24::ImageRGB24(unsigned char const* data, unsigned int length, unsigned int w, unsigned int h)
    : Image(w, h) {
    Parse(data, length);
}

void ImageRGB24::Parse(unsigned char const* data, unsigned int length) {
    // 64-bit products: no size wraps round to a short frame.
    const uint64_t rowLength = 3 * static_cast<uint64_t>(width);
    const uint64_t needed = rowLength * height;
    if (length < needed)
        throw std::invalid_argument("invalid image data length (" + std::to_string(length) + " < " +
                                    std::to_string(needed) + ")");
    const std::size_t count = static_cast<std::size_t>(width) * height;
    if (pixels.size() != count) pixels.assign(count, ColorRGB24());
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* p = data + 3 * i;
        pixels[i] = ColorRGB24(p[0], p[1], p[2]);
    }
}

void ImageRGB24::EncodeHXP(std::vector<char>& out, bool) const { EncodeCloudAsHXP(out); }

void ImageRGB24::EncodeCloud(std::vector<unsigned char>& out) const {
    if (pixels.empty()) {
        out.clear();
        return;
    }
    // The compressor reads the pixels only.
    unsigned char* bytes = const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(pixels.data()));
    ImageDataToCloudRGB24(bytes, static_cast<unsigned int>(3 * pixels.size()), out);
}

}  // namespace Imaging
