#pragma once
// Pictures with a chosen time stamp for the cloud's picture slots; the
// camera that holds them is the camera tests' TestCamera.

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "vision/FakeCameras.h"
#include "vision/ImageRGB24.h"

namespace CloudTest {

using VisionTest::TestCamera;

// An 8 x 8 colour picture of one colour, stamped with the given second.
class StampedPicture : public Imaging::ImageRGB24 {
public:
    StampedPicture(std::time_t stamp, unsigned char shade)
        : ImageRGB24(Pixels(shade).data(), 8 * 8 * 3, 8, 8) {
        timestamp = stamp;
    }

private:
    static std::vector<unsigned char> Pixels(unsigned char shade) { return std::vector<unsigned char>(8 * 8 * 3, shade); }
};

// A picture whose cloud encoding fails.
class BrokenPicture : public Imaging::Image {
public:
    explicit BrokenPicture(std::time_t stamp) : Image(8, 8) { timestamp = stamp; }
    void EncodeHXP(std::vector<char>& out, bool) const override { out.clear(); }
    void EncodeCloud(std::vector<unsigned char>&) const override { throw std::runtime_error("no encoder"); }
};

inline std::vector<unsigned char> CloudBytes(const Imaging::Image& picture) {
    std::vector<unsigned char> bytes;
    picture.EncodeCloud(bytes);
    return bytes;
}

}  // namespace CloudTest
