// Fuzz entry point of the BMP reader (smart-camera pictures come from the
// network): any bytes must either give a picture that encodes, or be refused
// with std::invalid_argument; never read outside the bytes, crash or hang.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "vision/ImageBitmap8BppIndexed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) return 0;
    try {
        const Imaging::ImageBitmap8BppIndexed image(data, static_cast<unsigned int>(size));
        if (image.GetWidth() == 0 || image.GetHeight() == 0) std::abort();
        if (static_cast<uint64_t>(image.GetWidth()) * image.GetHeight() > size) std::abort();
        image.GetPixel(image.GetWidth() - 1, image.GetHeight() - 1);
        // Keep the encoders to pictures of a sensible size so a run stays fast.
        if (static_cast<uint64_t>(image.GetWidth()) * image.GetHeight() <= 1u << 16) {
            std::vector<char> text;
            image.EncodeHXP(text, true);
            if (text.empty() || text.back() != '\0') std::abort();
            image.EncodeHXP(text, false);
            std::vector<unsigned char> jpeg;
            image.EncodeCloud(jpeg);
        }
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
