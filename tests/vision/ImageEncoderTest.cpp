#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "vision/ImageBitmap8BppIndexed.h"
#include "vision/ImageJPEG.h"
#include "vision/ImageRGB24.h"
#include "vision/ImageYUV.h"
#include "vision/VisionTestSupport.h"

using VisionTest::Bytes;

namespace {

// Gives the tests the shared helpers on a picture of a chosen size.
class Helpers : public Imaging::ImageJPEG {
public:
    Helpers() : ImageJPEG(nullptr, 0) {}
    void Resize(unsigned w, unsigned h) {
        width = w;
        height = h;
    }
};

std::vector<char> GrayText(Bytes payload, bool compress) {
    Helpers helpers;
    std::vector<char> out{'x'};
    helpers.ImageDataToHXPGrayScale(payload.data(), static_cast<unsigned>(payload.size()), out, compress);
    return out;
}

int MaxDifference(const Bytes& a, const Bytes& b) {
    int worst = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

// A smooth pattern, so JPEG keeps it within a few levels.
Bytes Gradient(unsigned w, unsigned h, int components) {
    Bytes pixels(static_cast<std::size_t>(w) * h * components);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x)
            for (int c = 0; c < components; ++c)
                pixels[(y * w + x) * components + c] = static_cast<unsigned char>(60 + 3 * x + 2 * y + 20 * c);
    return pixels;
}

}  // namespace

TEST(GrayScaleText, RawTextOfAnEmptyPayloadIsTheTypeByteAndNul) {
    const std::vector<char> text = GrayText({}, false);
    EXPECT_EQ(std::string(text.begin(), text.end()), std::string("EA==\0", 5));
}

TEST(GrayScaleText, RawTextCarriesThePayloadByteForByte) {
    const Bytes payload = VisionTest::RandomBytes(777, 5);
    const Bytes decoded = VisionTest::DecodeText(GrayText(payload, false));
    ASSERT_EQ(decoded.size(), payload.size() + 1);
    EXPECT_EQ(decoded[0], 16);
    EXPECT_EQ(Bytes(decoded.begin() + 1, decoded.end()), payload);
}

// Small and incompressible payloads used to overflow a buffer of 1.02 x the
// payload; every size must now give a member that inflates to the payload,
// followed by the one zero byte the text has always carried.
TEST(GrayScaleText, CompressedTextInflatesToThePayloadForAnySize) {
    for (std::size_t n : {0u, 1u, 12u, 100u, 1000u, 65536u, 300000u}) {
        for (bool random : {false, true}) {
            const Bytes payload = random ? VisionTest::RandomBytes(n, 9) : Bytes(n, 0x42);
            const std::vector<char> text = GrayText(payload, true);
            ASSERT_FALSE(text.empty()) << n;
            EXPECT_EQ(text.back(), '\0');
            const Bytes decoded = VisionTest::DecodeText(text);
            ASSERT_GE(decoded.size(), 2u);
            EXPECT_EQ(decoded[0], 17);
            Bytes inflated;
            std::size_t consumed = 0;
            ASSERT_TRUE(VisionTest::Gunzip(decoded.data() + 1, decoded.size() - 1, inflated, &consumed)) << n;
            EXPECT_EQ(inflated, payload) << n << (random ? " random" : " constant");
            EXPECT_EQ(consumed + 2, decoded.size());
            EXPECT_EQ(decoded.back(), 0);
        }
    }
}

TEST(GrayScaleText, MemberThatDoesNotFitFailsWithItsLogLine) {
    TestSupport::LogCapture log;
    Helpers helpers;
    Bytes payload = VisionTest::RandomBytes(5000, 1);
    Bytes out(100);
    EXPECT_EQ(helpers.CompressDataGZip(payload.data(), 5000, out.data(), 100), 0u);
    EXPECT_TRUE(log.HasError("Could not compress image: not done yet"));

    unsigned char one = 1;
    Bytes roomy(Imaging::Image::GZipBound(1));
    const unsigned count = helpers.CompressDataGZip(&one, 1, roomy.data(), static_cast<unsigned>(roomy.size()));
    Bytes inflated;
    ASSERT_GT(count, 1u);
    ASSERT_TRUE(VisionTest::Gunzip(roomy.data(), count - 1, inflated));
    EXPECT_EQ(inflated, Bytes{1});
}

TEST(JpegEncoder, OnePixelGrayIsACompleteFile) {
    Helpers helpers;
    helpers.Resize(1, 1);
    unsigned char pixel = 200;
    Bytes jpeg;
    helpers.ImageDataToCloudGrayScale(&pixel, 1, jpeg);
    ASSERT_GE(jpeg.size(), 4u);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
    EXPECT_EQ(jpeg.back(), 0xD9);
    const VisionTest::DecodedJpeg decoded = VisionTest::DecodeJpeg(jpeg);
    ASSERT_TRUE(decoded.ok);
    EXPECT_NEAR(decoded.pixels[0], 200, 3);
}

TEST(JpegEncoder, RgbPictureDecodesBackWithinAFewLevels) {
    const unsigned w = 32, h = 16;
    const Bytes pixels = Gradient(w, h, 3);
    Imaging::ImageRGB24 image(pixels.data(), static_cast<unsigned>(pixels.size()), w, h);
    Bytes jpeg;
    image.EncodeCloud(jpeg);
    const VisionTest::DecodedJpeg decoded = VisionTest::DecodeJpeg(jpeg);
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.width, w);
    EXPECT_EQ(decoded.height, h);
    EXPECT_EQ(decoded.components, 3);
    EXPECT_LE(MaxDifference(decoded.pixels, pixels), 8);
}

TEST(JpegEncoder, YuyvPictureDecodesBackWithinAFewLevels) {
    const unsigned w = 32, h = 16;
    Bytes frame(2 * w * h);
    Bytes expected(3 * w * h);
    for (unsigned i = 0; i < w * h; i += 2) {
        const unsigned char y0 = static_cast<unsigned char>(50 + (i % w) * 4), y1 = static_cast<unsigned char>(y0 + 4);
        const unsigned char u = 110, v = 150;
        frame[2 * i] = y0;
        frame[2 * i + 1] = u;
        frame[2 * i + 2] = y1;
        frame[2 * i + 3] = v;
        expected[3 * i] = y0;
        expected[3 * i + 1] = u;
        expected[3 * i + 2] = v;
        expected[3 * i + 3] = y1;
        expected[3 * i + 4] = u;
        expected[3 * i + 5] = v;
    }
    Imaging::ImageYUV image(frame.data(), static_cast<unsigned>(frame.size()), w, h);
    Bytes jpeg;
    image.EncodeCloud(jpeg);
    const VisionTest::DecodedJpeg decoded = VisionTest::DecodeJpeg(jpeg, true);
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.width, w);
    EXPECT_LE(MaxDifference(decoded.pixels, expected), 8);
}

TEST(JpegEncoder, GrayBitmapGoesToTheCloudAsGrayJpeg) {
    VisionTest::BmpLayout layout;
    layout.width = 16;
    layout.height = 8;
    for (unsigned i = 0; i < 128; ++i) layout.pixels.push_back(static_cast<unsigned char>(100 + i % 16));
    const Bytes file = VisionTest::MakeBmp(layout);
    Imaging::ImageBitmap8BppIndexed image(file.data(), static_cast<unsigned>(file.size()));
    Bytes jpeg;
    image.EncodeCloud(jpeg);
    const VisionTest::DecodedJpeg decoded = VisionTest::DecodeJpeg(jpeg);
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.components, 1);
    EXPECT_LE(MaxDifference(decoded.pixels, layout.pixels), 4);
}

// The library's own handler would end the process; the encoder reports the
// error and gives nothing instead.
TEST(JpegEncoder, CompressorErrorGivesEmptyOutputAndAnErrorLine) {
    TestSupport::LogCapture log;
    const unsigned w = 70000;
    const Bytes pixels(3 * w, 128);
    Imaging::ImageRGB24 image(pixels.data(), static_cast<unsigned>(pixels.size()), w, 1);
    Bytes jpeg{1, 2, 3};
    image.EncodeCloud(jpeg);
    EXPECT_TRUE(jpeg.empty());
    std::vector<char> text{'x'};
    image.EncodeHXP(text, true);
    EXPECT_TRUE(text.empty());
    EXPECT_TRUE(log.HasErrorContaining("Could not compress image to JPEG: "));
}

TEST(PictureTexts, ColourPicturesIgnoreTheCompressFlagAndSendJpeg) {
    const Bytes rgb = Gradient(8, 8, 3);
    const Bytes yuyv(2 * 8 * 8, 100);
    const Bytes jpegFile = {0xFF, 0xD8, 0x01, 0x02, 0xFF, 0xD9};
    const std::vector<std::shared_ptr<const Imaging::Image>> images = {
        std::make_shared<Imaging::ImageRGB24>(rgb.data(), static_cast<unsigned>(rgb.size()), 8, 8),
        std::make_shared<Imaging::ImageYUV>(yuyv.data(), static_cast<unsigned>(yuyv.size()), 8, 8),
        std::make_shared<Imaging::ImageJPEG>(jpegFile.data(), static_cast<unsigned>(jpegFile.size()))};
    for (const auto& image : images) {
        std::vector<char> compressed, raw;
        image->EncodeHXP(compressed, true);
        image->EncodeHXP(raw, false);
        EXPECT_EQ(compressed, raw);
        ASSERT_FALSE(compressed.empty());
        EXPECT_EQ(compressed.back(), '\0');
        const Bytes decoded = VisionTest::DecodeText(compressed);
        Bytes cloud;
        image->EncodeCloud(cloud);
        EXPECT_EQ(decoded, cloud);
        EXPECT_EQ(decoded[0], 0xFF);
        EXPECT_EQ(decoded[1], 0xD8);
    }
    Bytes cloud;
    images[2]->EncodeCloud(cloud);
    EXPECT_EQ(cloud, jpegFile);
}

TEST(PictureTexts, PicturesWithoutDataEncodeToNothing) {
    const Imaging::ImageJPEG empty(nullptr, 0);
    std::vector<char> text{'x'};
    Bytes cloud{1};
    empty.EncodeHXP(text, true);
    empty.EncodeCloud(cloud);
    EXPECT_TRUE(text.empty());
    EXPECT_TRUE(cloud.empty());
    const Imaging::ImageRGB24 none(nullptr, 0, 0, 0);
    text = {'x'};
    cloud = {1};
    none.EncodeHXP(text, true);
    none.EncodeCloud(cloud);
    EXPECT_TRUE(text.empty());
    EXPECT_TRUE(cloud.empty());
}
