#include "vision/ImageBitmap8BppIndexed.h"

#include <stdexcept>

namespace Imaging {

namespace {

constexpr std::size_t kHeaderSize = 54;  // file header and the 40-byte information header

}  // namespace

ImageBitmap8BppIndexed::ImageBitmap8BppIndexed(unsigned char const* data, unsigned int length) : Image(0, 0) {
    Parse(data, length);
}

unsigned int ImageBitmap8BppIndexed::Read2Byte(unsigned char const* data) const {
    return static_cast<unsigned int>(data[0]) | static_cast<unsigned int>(data[1]) << 8;
}

unsigned int ImageBitmap8BppIndexed::Read4Byte(unsigned char const* data) const {
    return static_cast<unsigned int>(data[0]) | static_cast<unsigned int>(data[1]) << 8 |
           static_cast<unsigned int>(data[2]) << 16 | static_cast<unsigned int>(data[3]) << 24;
}

void ImageBitmap8BppIndexed::Parse(unsigned char const* data, unsigned int length) {
    if (data == nullptr || length < 2 || data[0] != 'B' || data[1] != 'M')
        throw std::invalid_argument("invalid file type");
    if (length < kHeaderSize) throw std::invalid_argument("invalid header size");
    if (Read4Byte(data + 2) > length) throw std::invalid_argument("invalid file size");

    const uint64_t dataOffset = Read4Byte(data + 10);
    const uint32_t newWidth = Read4Byte(data + 18);
    const uint32_t newHeight = Read4Byte(data + 22);
    const unsigned int bitsPerPixel = Read2Byte(data + 28);
    const unsigned int compression = Read4Byte(data + 30);
    const unsigned int coloursUsed = Read4Byte(data + 46);
    if (newWidth == 0 || newHeight == 0) throw std::invalid_argument("invalid image size");
    if (bitsPerPixel != 8) throw std::invalid_argument("bit depth not supported");
    if (compression != 0) throw std::invalid_argument("compression not supported");

    const uint64_t paletteCount = coloursUsed == 0 ? (1u << bitsPerPixel) : coloursUsed;
    if (paletteCount > palette.size()) throw std::invalid_argument("invalid palette size");
    if (kHeaderSize + 4 * paletteCount > length) throw std::invalid_argument("palette exceeds file size");

    // Rows are stored padded to a multiple of 4 bytes; the last row needs only its pixels.
    const uint64_t stride = (static_cast<uint64_t>(newWidth) + 3) / 4 * 4;
    if (dataOffset > length || newWidth > length - dataOffset ||
        newHeight - 1 > (length - dataOffset - newWidth) / stride)
        throw std::invalid_argument("pixel data exceeds file size");

    for (uint64_t i = 0; i < paletteCount; ++i) {
        const unsigned char* entry = data + kHeaderSize + 4 * i;
        for (int b = 0; b < 4; ++b) palette[i].bytes[b] = entry[b];
    }
    std::vector<unsigned char> newPixels(static_cast<std::size_t>(newWidth) * newHeight);
    for (uint32_t y = 0; y < newHeight; ++y) {
        const unsigned char* row = data + dataOffset + y * stride;
        std::copy(row, row + newWidth, newPixels.begin() + static_cast<std::ptrdiff_t>(y) * newWidth);
    }
    pixels.swap(newPixels);
    width = newWidth;
    height = newHeight;
}

ColorARGB ImageBitmap8BppIndexed::GetPixel(unsigned int x, unsigned int y) const {
    if (pixels.empty()) throw std::runtime_error("Bitmap8BppIndexed: image data not allocated!");
    if (x >= width || y >= height) throw std::out_of_range("Bitmap8BppIndexed: pixel outside the image");
    return palette[pixels[static_cast<std::size_t>(y) * width + x]];
}

std::vector<unsigned char> ImageBitmap8BppIndexed::GrayPixels(std::size_t header) const {
    std::vector<unsigned char> gray(header + pixels.size());
    for (std::size_t i = 0; i < pixels.size(); ++i) gray[header + i] = GrayValue(palette[pixels[i]]);
    return gray;
}

void ImageBitmap8BppIndexed::EncodeHXP(std::vector<char>& out, bool compress) const {
    if (pixels.empty()) {
        out.clear();
        return;
    }
    std::vector<unsigned char> payload = GrayPixels(12);
    const uint32_t fields[3] = {width, height, width};
    for (int f = 0; f < 3; ++f) {
        for (int b = 0; b < 4; ++b) payload[4 * f + b] = static_cast<unsigned char>(fields[f] >> (8 * b));
    }
    ImageDataToHXPGrayScale(payload.data(), static_cast<unsigned int>(payload.size()), out, compress);
}

void ImageBitmap8BppIndexed::EncodeCloud(std::vector<unsigned char>& out) const {
    if (pixels.empty()) {
        out.clear();
        return;
    }
    std::vector<unsigned char> gray = GrayPixels(0);
    ImageDataToCloudGrayScale(gray.data(), static_cast<unsigned int>(gray.size()), out);
}

}  // namespace Imaging
