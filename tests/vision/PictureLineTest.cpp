// A camera's picture reaches a remote client over the real server whole: the
// "CAMINFO CameraImage" line of a full-size picture decodes to the picture,
// as gzip-compressed gray scale and as JPEG.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FakeCameras.h"
#include "SimulatedDevices.h"
#include "VisionTestSupport.h"
#include "server/RemoteTestSupport.h"
#include "vision/Base64.h"
#include "vision/CameraManager.h"
#include "vision/ImageBitmap8BppIndexed.h"
#include "vision/ImageYUV.h"

namespace {

using VisionTest::Bytes;

class PictureLine : public RemoteTest::Remote {
protected:
    void SetUp() override {
        StartServer(&rm);
        // Passes before the second client joins, so that its camera turn comes first.
        for (int pass = 0; pass < 17; ++pass) manager->CallPublishData();
        second = Connect();
        ASSERT_NE(second, nullptr);
        camera = new VisionTest::TestCamera("cell");
        Camera::CameraManager::Instance()->Add(camera);
        ASSERT_TRUE(RemoteTest::WaitFor([] { return Camera::CameraManager::Instance()->Count() == 1; }));
    }
    void TearDown() override {
        Camera::CameraManager::Instance()->Clear();
        RemoteTest::WaitFor([] { return Camera::CameraManager::Instance()->Count() == 0; });
        RemoteTest::Remote::TearDown();
    }

    // The picture text the second client receives for the picture.
    std::string PictureText(std::shared_ptr<Imaging::Image const> picture) {
        camera->SetImage(std::move(picture));
        camera->CheckEncodeHXPImage();
        if (!camera->HasNewEncodedImage()) return "<not encoded>";
        for (int pass = 0; pass < 21; ++pass) manager->CallPublishData();
        const std::string prefix = "CAMINFO CameraImage cell ";
        const RemoteTest::Frame frame = second->NextStartingWith(prefix);
        if (frame.counter < 0) return "<no picture line>";
        return frame.body.substr(prefix.size());
    }

    RobotMaster rm;
    std::unique_ptr<RemoteTest::Client> second;
    VisionTest::TestCamera* camera = nullptr;
};

Bytes Decode(const std::string& text) {
    const std::vector<char> characters(text.begin(), text.end());
    return VisionTest::DecodeText(characters);
}

TEST_F(PictureLine, GrayScalePictureInflatesWhole) {
    const std::string bmp = VisionTest::FullBmp();
    const std::string text = PictureText(std::make_shared<Imaging::ImageBitmap8BppIndexed>(
        reinterpret_cast<const unsigned char*>(bmp.data()), static_cast<unsigned int>(bmp.size())));
    ASSERT_GT(text.size(), 2047u) << text.substr(0, 40);
    const Bytes bytes = Decode(text);
    ASSERT_GT(bytes.size(), 1u);
    EXPECT_EQ(bytes[0], 17);
    Bytes payload;
    std::size_t consumed = 0;
    ASSERT_TRUE(VisionTest::Gunzip(bytes.data() + 1, bytes.size() - 1, payload, &consumed));
    // The member, then the one zero byte the text always carries.
    EXPECT_EQ(consumed + 2, bytes.size());
    // A 12-byte header, then the 640 x 480 pixels.
    ASSERT_EQ(payload.size(), 12u + 640u * 480u);
    auto field = [&payload](int f) {
        return uint32_t(payload[4 * f]) | uint32_t(payload[4 * f + 1]) << 8 | uint32_t(payload[4 * f + 2]) << 16 |
               uint32_t(payload[4 * f + 3]) << 24;
    };
    EXPECT_EQ(field(0), 640u);
    EXPECT_EQ(field(1), 480u);
    // Every pixel of the gray palette arrives (rows in whichever order the line keeps).
    Bytes sent = VisionTest::RandomBytes(640 * 480, 11);
    Bytes received(payload.begin() + 12, payload.end());
    std::sort(sent.begin(), sent.end());
    std::sort(received.begin(), received.end());
    EXPECT_TRUE(sent == received);
}

TEST_F(PictureLine, ColourPictureDecodesAsWholeJpeg) {
    // YUYV pixels with some detail, so the JPEG is far longer than one status line.
    const unsigned int width = 640, height = 480;
    const Bytes yuyv = VisionTest::RandomBytes(width * height * 2, 5);
    const std::string text = PictureText(std::make_shared<Imaging::ImageYUV>(yuyv.data(), width * height * 2, width, height));
    ASSERT_GT(text.size(), 2047u) << text.substr(0, 40);
    const VisionTest::DecodedJpeg jpeg = VisionTest::DecodeJpeg(Decode(text));
    ASSERT_TRUE(jpeg.ok);
    EXPECT_EQ(jpeg.width, width);
    EXPECT_EQ(jpeg.height, height);
}

}  // namespace
