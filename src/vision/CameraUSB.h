#pragma once
// A Video4Linux2 capture device ("/dev/video" and the device number), such as
// a USB web camera. Gives no targets, only pictures: its capture thread opens
// and initialises the device, takes at most one frame a second as the latest
// picture, encodes it for the remote clients when pictures are enabled, and
// reconnects about every 10 s after a failure.

#include <linux/videodev2.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vision/CameraInterface.h"
#include "vision/CameraThread.h"
#include "vision/MonotonicClock.h"
#include "vision/VideoDeviceIO.h"

namespace Camera {

// ioctl, repeated while it is interrupted.
int xioctl(VideoDeviceIO& io, int fd, unsigned long request, void* argument);
// The four characters of a pixel-format code, lowest byte first.
std::string FourCCToString(uint32_t code);
std::string VideoFormatToString(const v4l2_format& format);

class CameraUSB : public CameraInterface {
public:
    static const char* const TYPE_ID;
    enum IOMethod : int { IORead = 0, IOMmap = 1 };
    enum PixelKind : int { PixelRGB24 = 0, PixelYUYV = 1, PixelUnknown = 2 };

    CameraUSB(const std::string& name, int deviceNumber, std::shared_ptr<VideoDeviceIO> io = nullptr,
              MonotonicClock clock = MonotonicNow);
    // Ends and joins the capture thread.
    ~CameraUSB() override;

    void SetDeviceNumber(int number);
    int GetDeviceNumber() const { return deviceNumber; }
    const std::string& GetDevicePath() const { return devicePath; }

    void Start() override;
    void Stop() override;
    bool GetTargetPos(DataTypes::Vector3&, DataTypes::Vector3&, int&) const override { return false; }
    int Read(tinyxml2::XMLElement& element) override;
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& document) override;
    std::string GetHXPConfigString(int cameraCount) const override;
    int GetStatus() const override;

    unsigned int GetFrameDurationMS() const;
    int GetIOMethod() const { return ioMethod; }
    int GetPixelKind() const { return pixelKind; }

protected:
    // Makes room for the table of streaming buffers; throws std::bad_alloc when it cannot.
    virtual void AllocateBufferTable(unsigned int count);

private:
    struct MappedBuffer {
        void* start;
        std::size_t length;
    };

    void ThreadMainLoop();
    void Connect(bool quiet);
    void Disconnect();
    void OpenDevice();
    void CloseDevice();
    void InitDevice(bool quiet);
    bool NegotiateVideoFormats(bool quiet);
    bool NegotiateVideoFormat(const v4l2_format& requested, v4l2_format& returned, bool quiet);
    void RequestVideoFormat(v4l2_format& format, bool quiet);
    void QueryVideoFormat(v4l2_format& format, bool quiet);
    void InitRead(std::size_t size);
    void InitMmap();
    void ReleaseBuffers();
    void UninitDevice();
    void StartCapturing();
    void StopCapturing();
    void CaptureFrame();
    void ProcessImage(const unsigned char* data, std::size_t size);
    static int TranslatePixelFormat(uint32_t code);
    std::string SystemError() const;

    std::atomic<int> deviceNumber{0};
    std::string devicePath;
    int ioMethod = IORead;
    int pixelKind = PixelUnknown;
    int width = 800;
    int height = 600;
    uint32_t frameNumerator = 1;
    uint32_t frameDenominator = 1;
    timespec lastPictureTime{};
    std::atomic<int> fd{-1};
    v4l2_format format{};
    std::vector<unsigned char> readBuffer;
    std::vector<MappedBuffer> buffers;
    uint32_t streamType = V4L2_BUF_TYPE_VIDEO_CAPTURE;

    std::shared_ptr<VideoDeviceIO> io;
    MonotonicClock clock;
    CameraThread captureThread;
};

}  // namespace Camera
