// Picture encoding: one encoding pass (the work a camera's encoding thread
// does for each new picture) of a 640 x 480 YUYV picture and of a 640 x 480
// 8-bit bitmap, and the pieces it is made of.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <vector>

#include "vision/CameraInterface.h"
#include "vision/ImageBitmap8BppIndexed.h"
#include "vision/ImageYUV.h"

namespace {

constexpr unsigned kWidth = 640;
constexpr unsigned kHeight = 480;

// A camera-like picture: smooth shading with some noise.
std::vector<unsigned char> YuyvFrame() {
    std::vector<unsigned char> frame(2 * kWidth * kHeight);
    uint32_t noise = 12345;
    for (unsigned y = 0; y < kHeight; ++y) {
        for (unsigned x = 0; x < kWidth; ++x) {
            noise = noise * 1103515245u + 12345u;
            const std::size_t i = 2 * (y * kWidth + x);
            frame[i] = static_cast<unsigned char>((x / 3 + y / 2 + (noise >> 28)) & 0xFF);
            frame[i + 1] = static_cast<unsigned char>(x % 2 == 0 ? 110 + y / 16 : 140 + x / 32);
        }
    }
    return frame;
}

std::vector<unsigned char> BitmapFile() {
    const unsigned stride = kWidth;
    std::vector<unsigned char> file(54 + 1024 + stride * kHeight);
    auto put4 = [&](std::size_t at, uint32_t v) {
        for (int b = 0; b < 4; ++b) file[at + b] = static_cast<unsigned char>(v >> (8 * b));
    };
    file[0] = 'B';
    file[1] = 'M';
    put4(2, static_cast<uint32_t>(file.size()));
    put4(10, 54 + 1024);
    put4(14, 40);
    put4(18, kWidth);
    put4(22, kHeight);
    file[26] = 1;
    file[28] = 8;
    for (uint32_t i = 0; i < 256; ++i) put4(54 + 4 * i, i * 0x010101u);
    uint32_t noise = 99;
    for (unsigned y = 0; y < kHeight; ++y) {
        for (unsigned x = 0; x < kWidth; ++x) {
            noise = noise * 1103515245u + 12345u;
            file[54 + 1024 + y * stride + x] = static_cast<unsigned char>((x / 4 + y / 3 + (noise >> 29)) & 0xFF);
        }
    }
    return file;
}

class BenchCamera : public Camera::CameraInterface {
public:
    BenchCamera() : CameraInterface("Bench", "bench") {}
    void Start() override {}
    void Stop() override {}
    bool GetTargetPos(DataTypes::Vector3&, DataTypes::Vector3&, int&) const override { return false; }
    int Read(tinyxml2::XMLElement&) override { return 0; }
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument&) override { return nullptr; }
    std::string GetHXPConfigString(int) const override { return std::string(); }
    int GetStatus() const override { return 2; }
};

void EncodingPass(benchmark::State& state, std::shared_ptr<Imaging::Image const> picture) {
    BenchCamera camera;
    camera.SetImage(picture);
    std::size_t length = 0;
    for (auto _ : state) {
        camera.EncodeHXPImage();
        std::ostringstream out;
        length = camera.GetEncodedImage(out);
        benchmark::DoNotOptimize(length);
    }
    state.counters["text_bytes"] = static_cast<double>(length);
}

void BM_EncodingPassYuyv640x480(benchmark::State& state) {
    const std::vector<unsigned char> frame = YuyvFrame();
    EncodingPass(state, std::make_shared<Imaging::ImageYUV>(frame.data(), static_cast<unsigned>(frame.size()),
                                                            kWidth, kHeight));
}
BENCHMARK(BM_EncodingPassYuyv640x480)->Unit(benchmark::kMillisecond);

void BM_EncodingPassBitmap640x480(benchmark::State& state) {
    const std::vector<unsigned char> file = BitmapFile();
    EncodingPass(state,
                 std::make_shared<Imaging::ImageBitmap8BppIndexed>(file.data(), static_cast<unsigned>(file.size())));
}
BENCHMARK(BM_EncodingPassBitmap640x480)->Unit(benchmark::kMillisecond);

void BM_ParseYuyv640x480(benchmark::State& state) {
    const std::vector<unsigned char> frame = YuyvFrame();
    for (auto _ : state) {
        Imaging::ImageYUV picture(frame.data(), static_cast<unsigned>(frame.size()), kWidth, kHeight);
        benchmark::DoNotOptimize(picture.GetPixels().data());
    }
}
BENCHMARK(BM_ParseYuyv640x480)->Unit(benchmark::kMicrosecond);

void BM_ParseBitmap640x480(benchmark::State& state) {
    const std::vector<unsigned char> file = BitmapFile();
    for (auto _ : state) {
        Imaging::ImageBitmap8BppIndexed picture(file.data(), static_cast<unsigned>(file.size()));
        benchmark::DoNotOptimize(picture.GetWidth());
    }
}
BENCHMARK(BM_ParseBitmap640x480)->Unit(benchmark::kMicrosecond);

void BM_CloudJpegYuyv640x480(benchmark::State& state) {
    const std::vector<unsigned char> frame = YuyvFrame();
    const Imaging::ImageYUV picture(frame.data(), static_cast<unsigned>(frame.size()), kWidth, kHeight);
    std::vector<unsigned char> jpeg;
    for (auto _ : state) {
        picture.EncodeCloud(jpeg);
        benchmark::DoNotOptimize(jpeg.data());
    }
    state.counters["jpeg_bytes"] = static_cast<double>(jpeg.size());
}
BENCHMARK(BM_CloudJpegYuyv640x480)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
