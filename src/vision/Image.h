#pragma once
// A camera picture: immutable once built, shared as a pointer to a constant
// picture, and able to encode itself as text for the remote clients
// (EncodeHXP) and as JPEG bytes for the cloud (EncodeCloud). The helpers keep
// no state, so several threads may encode the same picture at once.

#include <cstdint>
#include <ctime>
#include <vector>

namespace Imaging {

class Image {
public:
    Image(unsigned int width, unsigned int height);
    Image(const Image&) = default;
    Image& operator=(const Image&) = default;
    virtual ~Image() = default;

    // Replaces the content with the text for the remote clients: Base64 with a
    // terminating NUL that is part of the size; empty when there is nothing to send.
    virtual void EncodeHXP(std::vector<char>& out, bool compress) const = 0;
    // Replaces the content with the bytes for the cloud (a JPEG file).
    virtual void EncodeCloud(std::vector<unsigned char>& out) const = 0;

    unsigned int GetWidth() const { return width; }
    unsigned int GetHeight() const { return height; }
    std::time_t GetTimestamp() const { return timestamp; }

    // One gzip member of the input into the output (at most its capacity):
    // the count of compressed bytes plus one, or 0 on failure.
    unsigned int CompressDataGZip(unsigned char* input, unsigned int length, unsigned char* output,
                                  unsigned int capacity) const;
    // Base64 text of the input and a NUL; the output has room for
    // 4 * ceil(length / 3) + 1 characters. Returns the characters written, NUL included.
    unsigned int EncodeDataB64(unsigned char const* input, unsigned int length, char* output) const;
    // Gray-scale text for the remote clients from a prepared payload: type
    // byte 17 and a gzip member when compressing, else type byte 16 and the payload.
    void ImageDataToHXPGrayScale(unsigned char* payload, unsigned int length, std::vector<char>& out,
                                 bool compress) const;
    // JPEG (quality 75) of width x height pixels of `components` bytes in the
    // given input colour space (1 gray, 2 RGB, 3 YCbCr). A compressor error
    // leaves the output empty and logs why.
    void ImageDataToJPEG(unsigned char* pixels, unsigned int length, std::vector<unsigned char>& out,
                         int colorSpace, int components) const;
    void ImageDataToCloudGrayScale(unsigned char* pixels, unsigned int length, std::vector<unsigned char>& out) const;
    void ImageDataToCloudRGB24(unsigned char* pixels, unsigned int length, std::vector<unsigned char>& out) const;
    void ImageDataToCloudYCbCr(unsigned char* pixels, unsigned int length, std::vector<unsigned char>& out) const;

    // Worst-case size of one gzip member of `length` bytes.
    static uint64_t GZipBound(unsigned int length);

protected:
    // Appends the Base64 text of bytes and its NUL to an emptied output.
    void EncodeTextHXP(const unsigned char* bytes, std::size_t length, std::vector<char>& out) const;
    // The Base64 text of EncodeCloud's JPEG; empty when that is empty.
    void EncodeCloudAsHXP(std::vector<char>& out) const;

    uint32_t width;
    uint32_t height;
    std::time_t timestamp;
};

}  // namespace Imaging
