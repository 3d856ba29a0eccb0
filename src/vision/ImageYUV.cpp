#include "vision/ImageYUV.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace Imaging {

ImageYUV::ImageYUV(unsigned char const* data, unsigned int length, unsigned int w, unsigned int h) : Image(w, h) {
    Parse(data, length);
}

void ImageYUV::Parse(unsigned char const* data, unsigned int length) {
    // 64-bit products: no size wraps round to the frame's length.
    const uint64_t count = static_cast<uint64_t>(width) * height;
    if (static_cast<uint64_t>(length) != 2 * count)
        throw std::invalid_argument("invalid image data length (" + std::to_string(length) + " < " +
                                    std::to_string(2 * count) + ")");
    if (count % 2 != 0) throw std::invalid_argument("invalid image data length while parsing");
    if (pixels.size() != count) pixels.assign(static_cast<std::size_t>(count), ColorYUV());
    for (std::size_t i = 0; i < count; i += 2) {
        const unsigned char* p = data + 2 * i;
        pixels[i] = ColorYUV(p[0], p[1], p[3]);
        pixels[i + 1] = ColorYUV(p[2], p[1], p[3]);
    }
}

void ImageYUV::EncodeHXP(std::vector<char>& out, bool) const { EncodeCloudAsHXP(out); }

void ImageYUV::EncodeCloud(std::vector<unsigned char>& out) const {
    if (pixels.empty()) {
        out.clear();
        return;
    }
    // The compressor reads the pixels only.
    unsigned char* bytes = const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(pixels.data()));
    ImageDataToCloudYCbCr(bytes, static_cast<unsigned int>(3 * pixels.size()), out);
}

}  // namespace Imaging
