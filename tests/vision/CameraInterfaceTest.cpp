#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "vision/FakeCameras.h"

using VisionTest::LetterImage;
using VisionTest::TestCamera;

namespace {

std::string Encoded(const Camera::CameraInterface& camera) {
    std::ostringstream out;
    const std::size_t length = camera.GetEncodedImage(out);
    EXPECT_EQ(length, out.str().size());
    return out.str();
}

}  // namespace

TEST(CameraInterface, StatusTexts) {
    TestCamera camera("c");
    const std::pair<int, const char*> cases[] = {
        {0, "INACTIVE"}, {1, "NOTCONNECTED"}, {2, "CONNECTED"}, {3, "ERROR"}, {-1, "ERROR"}, {-100, "ERROR"}};
    for (const auto& [status, text] : cases) {
        camera.status = status;
        EXPECT_EQ(camera.GetStatusString(), text) << status;
    }
}

TEST(CameraInterface, SamePictureTwiceIsEncodedOnce) {
    TestCamera camera("c");
    auto picture = std::make_shared<LetterImage>('a', 10);
    camera.SetImage(picture);
    camera.SetImage(picture);
    camera.CheckEncodeHXPImage();
    camera.SetImage(picture);
    camera.CheckEncodeHXPImage();
    EXPECT_EQ(picture->encodings, 1);
    EXPECT_EQ(camera.GetImage(), picture);
}

TEST(CameraInterface, BuffersAlternateAndReadersGetTheLatestWithoutNul) {
    TestCamera camera("c");
    EXPECT_EQ(Encoded(camera), "");
    EXPECT_FALSE(camera.HasNewEncodedImage());

    camera.SetImage(std::make_shared<LetterImage>('a', 3));
    camera.CheckEncodeHXPImage();
    EXPECT_EQ(Encoded(camera), "aaa");
    EXPECT_TRUE(camera.HasNewEncodedImage());
    camera.SetImage(std::make_shared<LetterImage>('b', 4));
    camera.CheckEncodeHXPImage();
    EXPECT_EQ(Encoded(camera), "bbbb");
    camera.SetImage(std::make_shared<LetterImage>('c', 2));
    camera.CheckEncodeHXPImage();
    EXPECT_EQ(Encoded(camera), "cc");

    // A dropped picture, or one that encodes to nothing, keeps the last text.
    camera.SetImage(nullptr);
    camera.CheckEncodeHXPImage();
    EXPECT_EQ(camera.GetImage(), nullptr);
    EXPECT_EQ(Encoded(camera), "cc");
    camera.SetImage(std::make_shared<LetterImage>('d', 0));
    camera.CheckEncodeHXPImage();
    EXPECT_EQ(Encoded(camera), "cc");
}

// Readers copy while the encoder writes new pictures: every copy must be one
// whole picture, never a mix of two.
TEST(CameraInterface, ReadersNeverSeeAHalfWrittenBuffer) {
    TestCamera camera("c");
    camera.StartEncoding();
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 60; ++i) {
            camera.SetImage(std::make_shared<LetterImage>(static_cast<char>('a' + i % 26), 200000));
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        done = true;
    });
    int reads = 0;
    while (!done) {
        const std::string text = Encoded(camera);
        if (!text.empty()) {
            ++reads;
            ASSERT_EQ(text.size(), 200000u);
            ASSERT_EQ(text.find_first_not_of(text[0]), std::string::npos);
        }
    }
    writer.join();
    camera.StopEncoding();
    EXPECT_GT(reads, 0);
}

TEST(CameraInterface, EncodingThreadEncodesNewPicturesWithinItsPeriod) {
    TestCamera camera("c");
    camera.StartEncoding();
    camera.SetImage(std::make_shared<LetterImage>('q', 5));
    EXPECT_TRUE(VisionTest::WaitFor([&] { return Encoded(camera) == "qqqqq"; }));
    camera.StopEncoding();
    // Stopping before the thread has begun still ends it.
    camera.StartEncoding();
    camera.StopEncoding();
}

TEST(CameraInterface, DestructorWaitsForTheEncodingPass) {
    auto picture = std::make_shared<LetterImage>('z', 10, std::chrono::milliseconds(150));
    {
        TestCamera camera("c");
        camera.StartEncoding();
        camera.SetImage(picture);
        ASSERT_TRUE(VisionTest::WaitFor([&] { return picture->encodings > 0; }));
    }
    // The pass ran to its end before the camera was gone (ASan sees any use after it).
    EXPECT_EQ(picture->encodings, 1);
}
