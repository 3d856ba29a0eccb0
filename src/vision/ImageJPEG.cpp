#include "vision/ImageJPEG.h"

namespace Imaging {

ImageJPEG::ImageJPEG(unsigned char const* data, unsigned int length) : Image(0, 0) { Parse(data, length); }

void ImageJPEG::Parse(unsigned char const* data, unsigned int length) {
    if (data == nullptr || length == 0) {
        bytes.clear();
        return;
    }
    bytes.assign(data, data + length);
}

void ImageJPEG::EncodeHXP(std::vector<char>& out, bool) const {
    if (bytes.empty()) {
        out.clear();
        return;
    }
    EncodeTextHXP(bytes.data(), bytes.size(), out);
}

void ImageJPEG::EncodeCloud(std::vector<unsigned char>& out) const { out = bytes; }

}  // namespace Imaging
