#include "vision/CameraUSB.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "common/StringHelper.h"
#include "vision/CameraXml.h"
#include "vision/ImageRGB24.h"
#include "vision/ImageYUV.h"

namespace Camera {

const char* const CameraUSB::TYPE_ID = "USB";

namespace {

constexpr int64_t kRetryIntervalSeconds = 10;
constexpr unsigned int kRequestedBuffers = 4;

}  // namespace

int xioctl(VideoDeviceIO& io, int fd, unsigned long request, void* argument) {
    int result;
    do {
        result = io.Ioctl(fd, request, argument);
    } while (result == -1 && errno == EINTR);
    return result;
}

std::string FourCCToString(uint32_t code) {
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) text[i] = static_cast<char>((code >> (8 * i)) & 0xFF);
    return text;
}

std::string VideoFormatToString(const v4l2_format& format) {
    const v4l2_pix_format& pix = format.fmt.pix;
    return "size= " + std::to_string(pix.width) + "x" + std::to_string(pix.height) +
           ", pixel format= " + FourCCToString(pix.pixelformat) + ", field order= " + std::to_string(pix.field) +
           ", bytes per line= " + std::to_string(pix.bytesperline);
}

CameraUSB::CameraUSB(const std::string& cameraName, int number, std::shared_ptr<VideoDeviceIO> deviceIO,
                     MonotonicClock monotonicClock)
    : CameraInterface(TYPE_ID, cameraName),
      io(deviceIO ? std::move(deviceIO) : std::make_shared<VideoDeviceIO>()),
      clock(std::move(monotonicClock)) {
    SetDeviceNumber(number);
}

CameraUSB::~CameraUSB() { Stop(); }

void CameraUSB::SetDeviceNumber(int number) {
    deviceNumber = number;
    devicePath = number < 0 ? std::string() : "/dev/video" + std::to_string(number);
}

int CameraUSB::GetStatus() const {
    if (!active) return 0;
    return fd >= 0 ? 2 : 1;
}

unsigned int CameraUSB::GetFrameDurationMS() const {
    if (frameDenominator == 0) return 0;
    return 1000u * frameNumerator / frameDenominator;
}

int CameraUSB::Read(tinyxml2::XMLElement& element) {
    LogSingleton* log = LogSingleton::instance();
    log->add("Camera USB: Loading configuration");
    if (const char* text = element.Attribute("Name")) name = text;
    if (const char* text = element.Attribute("Description")) description = text;
    active = StringHelper::ToLower(AttributeText(element, "Active")).find("true") != std::string::npos;
    imageEnabled = StringHelper::ToLower(AttributeText(element, "ImageEnabled")).find("true") != std::string::npos;
    if (const char* text = element.Attribute("DeviceNum")) SetDeviceNumber(std::atoi(text));
    log->add("Camera USB '" + name + "': Configuration loaded");
    return 0;
}

tinyxml2::XMLElement* CameraUSB::Write(tinyxml2::XMLDocument& document) {
    tinyxml2::XMLElement* element = document.NewElement("HwCamera");
    element->SetAttribute("Type", TYPE_ID);
    element->SetAttribute("Name", name.c_str());
    element->SetAttribute("Active", active ? "True" : "False");
    element->SetAttribute("ImageEnabled", imageEnabled ? "True" : "False");
    element->SetAttribute("Description", description.c_str());
    element->SetAttribute("DeviceNum", deviceNumber.load());
    return element;
}

std::string CameraUSB::GetHXPConfigString(int cameraCount) const {
    char text[512];
    std::snprintf(text, sizeof(text), "CONFIG Camera %d %s %s %s %d %s", cameraCount, typeId.c_str(), name.c_str(),
                  active ? "True" : "False", deviceNumber.load(), imageEnabled ? "True" : "False");
    return text;
}

void CameraUSB::Start() {
    if (!active) return;
    captureThread.Start([this] { ThreadMainLoop(); });
}

void CameraUSB::Stop() { captureThread.Stop(); }

void CameraUSB::ThreadMainLoop() {
    LogSingleton* log = LogSingleton::instance();
    bool firstConnection = true;
    int64_t lastAttempt = clock().tv_sec - 20;
    while (captureThread.IsRunning() && active) {
        if (fd < 0) {
            const int64_t now = clock().tv_sec;
            if (now - lastAttempt <= kRetryIntervalSeconds) {
                captureThread.Pause(std::chrono::milliseconds(500));
                continue;
            }
            lastAttempt = now;
            try {
                Connect(!firstConnection);
                StartCapturing();
            } catch (const std::exception& e) {
                log->addErrorFormat("Camera USB '%s': Caught exception, stopping: %s", name, e.what());
                Disconnect();
            }
            firstConnection = false;
            continue;
        }
        try {
            CaptureFrame();
            if (imageEnabled) CheckEncodeHXPImage();
        } catch (const std::exception& e) {
            log->addErrorFormat("Camera USB '%s': Caught exception, stopping: %s", name, e.what());
            Disconnect();
        }
        captureThread.Pause(std::chrono::milliseconds(50));
    }
    Disconnect();
    // Made inactive: a later Start may begin anew.
    captureThread.MarkEnded();
}

void CameraUSB::Connect(bool quiet) {
    LogSingleton::instance()->addFormat("Camera USB '%s' connecting to '%s'", name, devicePath);
    lastPictureTime = clock();
    OpenDevice();
    InitDevice(quiet);
}

void CameraUSB::Disconnect() {
    // No stale picture for the cloud while the device is gone.
    SetImage(nullptr);
    StopCapturing();
    UninitDevice();
    CloseDevice();
}

std::string CameraUSB::SystemError() const { return std::strerror(errno); }

void CameraUSB::OpenDevice() {
    LogSingleton* log = LogSingleton::instance();
    CloseDevice();
    if (devicePath.empty()) {
        log->addErrorFormat("Camera USB '%s': Invalid device file name", name);
        return;
    }
    struct stat info {};
    if (io->Stat(devicePath.c_str(), &info) == -1) {
        log->addErrorFormat("Camera USB '%s': Could not identify device file: %s", name, SystemError());
        return;
    }
    if (!S_ISCHR(info.st_mode)) {
        log->addErrorFormat("Camera USB '%s': File is no device", name);
        return;
    }
    const int opened = io->Open(devicePath.c_str(), O_RDWR | O_NONBLOCK);
    if (opened == -1) {
        log->addErrorFormat("Camera USB '%s': Could not open device file: %s", name, SystemError());
        return;
    }
    fd = opened;
}

void CameraUSB::CloseDevice() {
    if (fd < 0) return;
    LogSingleton* log = LogSingleton::instance();
    log->addFormat("Camera USB '%s': Closing device", name);
    if (io->Close(fd) == -1) log->addErrorFormat("Camera USB '%s': Could not close device file: %s", name, SystemError());
    fd = -1;
}

void CameraUSB::InitDevice(bool quiet) {
    if (fd < 0) return;
    LogSingleton* log = LogSingleton::instance();
    // Every failure ends the attempt: buffers made so far are released, the device closed.
    auto fail = [&]() {
        ReleaseBuffers();
        CloseDevice();
    };

    v4l2_capability capability{};
    if (xioctl(*io, fd, VIDIOC_QUERYCAP, &capability) == -1) {
        log->addErrorFormat("Camera USB '%s': Could not query capabilities: %s", name, SystemError());
        return fail();
    }
    if (!quiet) {
        char line[512];
        std::snprintf(line, sizeof(line),
                      "Camera USB '%s': Driver: \"%.32s\" Card: \"%.32s\" Bus: \"%.32s\" Version: \"%u.%u.%u\" "
                      "Capabilities: \"%08x\"",
                      name.c_str(), reinterpret_cast<const char*>(capability.driver),
                      reinterpret_cast<const char*>(capability.card), reinterpret_cast<const char*>(capability.bus_info),
                      (capability.version >> 16) & 0xFF, (capability.version >> 8) & 0xFF, capability.version & 0xFF,
                      capability.capabilities);
        log->add(line);
    }
    if (!(capability.capabilities & V4L2_CAP_VIDEO_CAPTURE)) {
        log->addErrorFormat("Camera USB '%s': Is no video capture device", name);
        return fail();
    }
    if (capability.capabilities & V4L2_CAP_STREAMING) {
        ioMethod = IOMmap;
        if (!quiet) log->addFormat("Camera USB '%s': Supports streaming, using method Memory Map", name);
    } else if (capability.capabilities & V4L2_CAP_READWRITE) {
        ioMethod = IORead;
        if (!quiet) log->addFormat("Camera USB '%s': Supports readwrite, using method read", name);
    } else {
        if (!quiet) log->addErrorFormat("Camera USB '%s': Could not find supported access method", name);
        return fail();
    }

    v4l2_cropcap cropcap{};
    cropcap.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(*io, fd, VIDIOC_CROPCAP, &cropcap) == 0) {
        v4l2_crop crop{};
        crop.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        crop.c = cropcap.defrect;
        xioctl(*io, fd, VIDIOC_S_CROP, &crop);
    }

    if (!NegotiateVideoFormats(quiet)) return fail();

    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(*io, fd, VIDIOC_G_PARM, &parameters) == -1) {
        log->addErrorFormat("Camera USB '%s': Could not get streaming parameters: %s", name, SystemError());
        return fail();
    }
    auto interval = [&]() {
        const v4l2_fract& t = parameters.parm.capture.timeperframe;
        return t.denominator == 0 ? 0.0f : static_cast<float>(t.numerator) / static_cast<float>(t.denominator);
    };
    float cameraInterval = interval();
    if (parameters.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) {
        parameters.parm.capture.timeperframe.numerator = frameNumerator;
        parameters.parm.capture.timeperframe.denominator = frameDenominator;
        if (xioctl(*io, fd, VIDIOC_S_PARM, &parameters) == -1) {
            log->addErrorFormat("Camera USB '%s': Could not set streaming parameters: %s", name, SystemError());
            return fail();
        }
        if (xioctl(*io, fd, VIDIOC_G_PARM, &parameters) == -1) {
            log->addErrorFormat("Camera USB '%s': Could not get streaming parameters: %s", name, SystemError());
            return fail();
        }
        cameraInterval = interval();
    }
    if (!quiet)
        log->addFormat("Camera USB '%s': Camera frame interval: %.2fs, limit by Korvella to %.2fs", name,
                       cameraInterval, GetFrameDurationMS() / 1000.0);

    v4l2_pix_format& pix = format.fmt.pix;
    pix.bytesperline = std::max(pix.bytesperline, 2 * pix.width);
    pix.sizeimage = std::max(pix.sizeimage, pix.bytesperline * pix.height);

    try {
        if (ioMethod == IORead)
            InitRead(pix.sizeimage);
        else
            InitMmap();
    } catch (const std::exception& e) {
        log->addErrorFormat("Camera USB '%s': %s", name, e.what());
        return fail();
    }
    log->addFormat("Camera USB '%s': Successfully initialized", name);
}

bool CameraUSB::NegotiateVideoFormats(bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    v4l2_format current{};
    try {
        QueryVideoFormat(current, true);
    } catch (const std::exception&) {
        return false;
    }
    if (!quiet) log->addFormat("Camera USB '%s' Default format: %s", name, VideoFormatToString(current));

    v4l2_format requested{};
    requested.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    requested.fmt.pix.width = static_cast<uint32_t>(width);
    requested.fmt.pix.height = static_cast<uint32_t>(height);
    requested.fmt.pix.field = V4L2_FIELD_NONE;
    v4l2_format returned{};
    try {
        requested.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
        bool accepted = NegotiateVideoFormat(requested, returned, quiet);
        if (!accepted) {
            requested.fmt.pix.pixelformat = V4L2_PIX_FMT_RGB24;
            accepted = NegotiateVideoFormat(requested, returned, quiet);
        }
        if (!accepted) {
            log->addErrorFormat("Camera USB '%s': Could not get supported video format", name);
            return false;
        }
    } catch (const std::exception&) {
        return false;
    }
    format = returned;
    pixelKind = TranslatePixelFormat(returned.fmt.pix.pixelformat);
    if (pixelKind == PixelUnknown) {
        log->addErrorFormat("Camera USB '%s': Unknown pixel format: %s", name,
                            FourCCToString(returned.fmt.pix.pixelformat));
        return false;
    }
    return true;
}

bool CameraUSB::NegotiateVideoFormat(const v4l2_format& requested, v4l2_format& returned, bool quiet) {
    v4l2_format request = requested;
    RequestVideoFormat(request, quiet);
    QueryVideoFormat(returned, quiet);
    const v4l2_pix_format& want = requested.fmt.pix;
    const v4l2_pix_format& got = returned.fmt.pix;
    return got.pixelformat == want.pixelformat && got.width == want.width && got.height == want.height &&
           (got.field == V4L2_FIELD_NONE || got.field == V4L2_FIELD_INTERLACED);
}

void CameraUSB::RequestVideoFormat(v4l2_format& request, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    if (!quiet) log->addFormat("Camera USB '%s' Requesting format: %s", name, VideoFormatToString(request));
    if (xioctl(*io, fd, VIDIOC_S_FMT, &request) == -1) {
        const std::string error = SystemError();
        log->addErrorFormat("Camera USB '%s': Could not set video format: %s", name, error);
        throw std::runtime_error("Could not set video format: " + error);
    }
}

void CameraUSB::QueryVideoFormat(v4l2_format& query, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    query = v4l2_format{};
    query.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(*io, fd, VIDIOC_G_FMT, &query) == -1) {
        const std::string error = SystemError();
        log->addErrorFormat("Camera USB '%s': Could not get video format: %s", name, error);
        throw std::runtime_error("Could not get video format: " + error);
    }
    if (!quiet) log->addFormat("Camera USB '%s' Negotiated format: %s", name, VideoFormatToString(query));
}

int CameraUSB::TranslatePixelFormat(uint32_t code) {
    if (code == V4L2_PIX_FMT_RGB24) return PixelRGB24;
    if (code == V4L2_PIX_FMT_YUYV) return PixelYUYV;
    return PixelUnknown;
}

void CameraUSB::InitRead(std::size_t size) {
    try {
        readBuffer.assign(size, 0);
    } catch (const std::bad_alloc& e) {
        throw std::runtime_error(std::string("Could not allocate read buffer: ") + e.what());
    }
}

void CameraUSB::AllocateBufferTable(unsigned int count) { buffers.reserve(count); }

void CameraUSB::InitMmap() {
    v4l2_requestbuffers request{};
    request.count = kRequestedBuffers;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (xioctl(*io, fd, VIDIOC_REQBUFS, &request) == -1) {
        if (errno == EINVAL) throw std::runtime_error("Does not support memory mapping I/O");
        throw std::runtime_error("Could not request memory mapping buffers");
    }
    if (request.count < 2) throw std::runtime_error("Insufficient buffer memory");
    try {
        AllocateBufferTable(request.count);
    } catch (const std::bad_alloc&) {
        throw std::runtime_error("Out of memory");
    }
    for (uint32_t index = 0; index < request.count; ++index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        if (xioctl(*io, fd, VIDIOC_QUERYBUF, &buffer) == -1) throw std::runtime_error("Could not query buffer");
        void* start = io->Mmap(buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buffer.m.offset);
        if (start == MAP_FAILED) throw std::runtime_error("mmap failed");
        buffers.push_back({start, buffer.length});
    }
}

void CameraUSB::ReleaseBuffers() {
    for (const MappedBuffer& buffer : buffers) {
        if (io->Munmap(buffer.start, buffer.length) == -1)
            LogSingleton::instance()->addErrorFormat("Camera USB '%s': munmap failed: %s", name, SystemError());
    }
    std::vector<MappedBuffer>().swap(buffers);
    std::vector<unsigned char>().swap(readBuffer);
}

void CameraUSB::UninitDevice() {
    if (fd < 0) return;
    LogSingleton::instance()->addFormat("Camera USB '%s': Uninitializing", name);
    ReleaseBuffers();
}

void CameraUSB::StartCapturing() {
    if (fd < 0) return;
    LogSingleton::instance()->addFormat("Camera USB '%s': Starting Capture", name);
    if (ioMethod != IOMmap) return;
    for (uint32_t index = 0; index < buffers.size(); ++index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        if (xioctl(*io, fd, VIDIOC_QBUF, &buffer) == -1)
            throw std::runtime_error("Could not set VIDIOC_QBUF: " + SystemError());
    }
    streamType = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(*io, fd, VIDIOC_STREAMON, &streamType) == -1)
        throw std::runtime_error("Could not set VIDIOC_STREAMON: " + SystemError());
}

void CameraUSB::StopCapturing() {
    LogSingleton* log = LogSingleton::instance();
    log->addFormat("Camera USB '%s': Stopping Capture", name);
    if (fd < 0 || ioMethod != IOMmap) return;
    if (xioctl(*io, fd, VIDIOC_STREAMOFF, &streamType) == -1)
        log->addErrorFormat("Camera USB '%s': Could not set VIDIOC_STREAMOFF: %s", name, SystemError());
}

void CameraUSB::CaptureFrame() {
    if (ioMethod == IOMmap) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (xioctl(*io, fd, VIDIOC_DQBUF, &buffer) == -1) {
            if (errno == EAGAIN) return;
            throw std::runtime_error("Could not set VIDIOC_DQBUF: " + SystemError());
        }
        if (buffer.index >= buffers.size()) throw std::runtime_error("buffer index is larger than number of buffers");
        const MappedBuffer& mapped = buffers[buffer.index];
        // A driver's byte count never takes the read past its buffer.
        ProcessImage(static_cast<const unsigned char*>(mapped.start),
                     std::min<std::size_t>(buffer.bytesused, mapped.length));
        if (xioctl(*io, fd, VIDIOC_QBUF, &buffer) == -1)
            throw std::runtime_error("Could not set VIDIOC_QBUF: " + SystemError());
        return;
    }
    const ssize_t count = io->Read(fd, readBuffer.data(), readBuffer.size());
    if (count == -1) {
        if (errno == EAGAIN) return;
        throw std::runtime_error("Could not read frame: " + SystemError());
    }
    ProcessImage(readBuffer.data(), static_cast<std::size_t>(count));
}

void CameraUSB::ProcessImage(const unsigned char* data, std::size_t size) {
    const timespec now = clock();
    const int64_t elapsed = ToMilliseconds(now) - ToMilliseconds(lastPictureTime);
    if (elapsed <= static_cast<int64_t>(GetFrameDurationMS())) return;
    lastPictureTime = now;
    std::shared_ptr<Imaging::Image const> picture;
    const unsigned int length = static_cast<unsigned int>(std::min<std::size_t>(size, UINT32_MAX));
    if (pixelKind == PixelYUYV) {
        picture = std::make_shared<Imaging::ImageYUV>(data, length, width, height);
    } else if (pixelKind == PixelRGB24) {
        picture = std::make_shared<Imaging::ImageRGB24>(data, length, width, height);
    } else {
        LogSingleton::instance()->addErrorFormat("Camera USB '%s': Could not process image, unknown pixel format",
                                                 name);
        return;
    }
    SetImage(picture);
}

}  // namespace Camera
