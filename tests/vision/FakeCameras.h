#pragma once
// Stand-ins for the camera tests: a camera with settable target and status, a
// picture that counts its encodings, a hand-moved monotonic clock, and a fake
// Video4Linux2 device behind the USB camera's device seam.

#include <linux/videodev2.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "vision/CameraInterface.h"
#include "vision/MonotonicClock.h"
#include "vision/VideoDeviceIO.h"

namespace VisionTest {

// Polls until the condition holds or the deadline passes.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds deadline = std::chrono::seconds(10));

class FakeClock {
public:
    explicit FakeClock(int64_t startMs = 1000000) : nowMs(startMs) {}
    void Advance(int64_t ms) { nowMs += ms; }
    int64_t Now() const { return nowMs; }
    Camera::MonotonicClock Function() {
        return [this] {
            const int64_t ms = nowMs.load();
            timespec t{};
            t.tv_sec = static_cast<time_t>(ms / 1000);
            t.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
            return t;
        };
    }

private:
    std::atomic<int64_t> nowMs;
};

// A picture whose text is `length` copies of one letter; counts its encodings
// and can take its time.
class LetterImage : public Imaging::Image {
public:
    LetterImage(char letter, std::size_t length, std::chrono::milliseconds delay = std::chrono::milliseconds(0))
        : Image(1, 1), letter(letter), length(length), delay(delay) {}
    void EncodeHXP(std::vector<char>& out, bool) const override {
        ++encodings;
        if (delay.count() > 0) std::this_thread::sleep_for(delay);
        out.assign(length, letter);
        if (length > 0) out.push_back('\0');
    }
    void EncodeCloud(std::vector<unsigned char>& out) const override { out.clear(); }
    mutable std::atomic<int> encodings{0};

private:
    char letter;
    std::size_t length;
    std::chrono::milliseconds delay;
};

class TestCamera : public Camera::CameraInterface {
public:
    explicit TestCamera(const std::string& name, const std::string& type = "Test") : CameraInterface(type, name) {}
    ~TestCamera() override {
        if (destroyed != nullptr) *destroyed = true;
    }
    void Start() override { ++starts; }
    void Stop() override { ++stops; }
    bool GetTargetPos(DataTypes::Vector3& p, DataTypes::Vector3& o, int& m) const override {
        if (!hasTarget) return false;
        p = position;
        o = orientation;
        m = modelClass;
        return true;
    }
    int Read(tinyxml2::XMLElement&) override { return 0; }
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& document) override;
    std::string GetHXPConfigString(int count) const override {
        return "CONFIG Camera " + std::to_string(count) + " " + typeId + " " + name;
    }
    int GetStatus() const override { return status; }
    void MarkNewResult() { newResult = true; }

    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
    std::atomic<int> status{2};
    bool hasTarget = false;
    DataTypes::Vector3 position, orientation;
    int modelClass = 0;
    std::atomic<bool>* destroyed = nullptr;
};

// The device answers the ioctls the USB camera makes. Formats named in
// `accepted` are taken at the requested size (unless `answerSize` says
// otherwise); others make it fall back to MJPG. Frames are handed out while
// `framesAvailable` is set, else EAGAIN.
class FakeVideoDevice : public Camera::VideoDeviceIO {
public:
    static constexpr int kFd = 77;

    int Stat(const char* path, struct stat* info) override;
    int Open(const char* path, int flags) override;
    int Close(int fd) override;
    int Ioctl(int fd, unsigned long request, void* argument) override;
    void* Mmap(std::size_t length, int protection, int flags, int fd, off_t offset) override;
    int Munmap(void* address, std::size_t length) override;
    ssize_t Read(int fd, void* buffer, std::size_t count) override;

    // ---- Behaviour ----
    std::atomic<bool> exists{true};
    std::atomic<bool> characterDevice{true};
    std::atomic<uint32_t> capabilities{V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_READWRITE};
    std::set<uint32_t> accepted{V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_RGB24};
    uint32_t answerWidth = 0;  // 0: the requested size
    uint32_t answerHeight = 0;
    std::atomic<uint32_t> grantedBuffers{4};
    std::atomic<int> queryBufFailsAt{-1};
    std::atomic<int> dqbufErrno{0};
    std::atomic<bool> framesAvailable{true};

    // ---- What happened ----
    int Opens() const;
    int Closes() const;
    int LiveMappings() const;
    int Mappings() const;
    int FramesTaken() const;
    bool IsOpen() const;

private:
    mutable std::mutex mutex;
    v4l2_format current{};
    bool formatSet = false;
    int opens = 0;
    int closes = 0;
    bool open = false;
    int mappings = 0;
    int framesTaken = 0;
    std::map<void*, std::size_t> live;
    std::deque<uint32_t> queued;
    uint32_t buffersGranted = 0;
};

}  // namespace VisionTest
