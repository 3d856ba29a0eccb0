#include "vision/FakeCameras.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

#include <tinyxml2.h>

namespace VisionTest {

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

tinyxml2::XMLElement* TestCamera::Write(tinyxml2::XMLDocument& document) {
    tinyxml2::XMLElement* element = document.NewElement("HwCamera");
    element->SetAttribute("Type", typeId.c_str());
    element->SetAttribute("Name", name.c_str());
    return element;
}

namespace {

void FillFormat(v4l2_format& format, uint32_t fourcc, uint32_t width, uint32_t height) {
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = width;
    format.fmt.pix.height = height;
    format.fmt.pix.pixelformat = fourcc;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    const uint32_t bytesPerPixel = fourcc == V4L2_PIX_FMT_RGB24 ? 3 : 2;
    format.fmt.pix.bytesperline = width * bytesPerPixel;
    format.fmt.pix.sizeimage = width * height * bytesPerPixel;
}

int Fail(int error) {
    errno = error;
    return -1;
}

}  // namespace

int FakeVideoDevice::Stat(const char*, struct stat* info) {
    if (!exists) return Fail(ENOENT);
    std::memset(info, 0, sizeof(*info));
    info->st_mode = characterDevice ? S_IFCHR | 0660 : S_IFREG | 0644;
    return 0;
}

int FakeVideoDevice::Open(const char*, int) {
    std::lock_guard<std::mutex> lock(mutex);
    ++opens;
    open = true;
    queued.clear();
    return kFd;
}

int FakeVideoDevice::Close(int fd) {
    std::lock_guard<std::mutex> lock(mutex);
    if (fd != kFd || !open) return Fail(EBADF);
    ++closes;
    open = false;
    return 0;
}

int FakeVideoDevice::Ioctl(int fd, unsigned long request, void* argument) {
    std::lock_guard<std::mutex> lock(mutex);
    if (fd != kFd || !open) return Fail(EBADF);
    if (!formatSet) {
        FillFormat(current, V4L2_PIX_FMT_MJPEG, 640, 480);
        formatSet = true;
    }
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* cap = static_cast<v4l2_capability*>(argument);
            std::memset(cap, 0, sizeof(*cap));
            std::strcpy(reinterpret_cast<char*>(cap->driver), "fakevideo");
            std::strcpy(reinterpret_cast<char*>(cap->card), "Fake Camera");
            std::strcpy(reinterpret_cast<char*>(cap->bus_info), "usb-fake-1");
            cap->version = 0x050A03;
            cap->capabilities = capabilities;
            return 0;
        }
        case VIDIOC_CROPCAP: return Fail(EINVAL);
        case VIDIOC_S_CROP: return 0;
        case VIDIOC_G_FMT: *static_cast<v4l2_format*>(argument) = current; return 0;
        case VIDIOC_S_FMT: {
            auto* format = static_cast<v4l2_format*>(argument);
            const uint32_t w = answerWidth != 0 ? answerWidth : format->fmt.pix.width;
            const uint32_t h = answerHeight != 0 ? answerHeight : format->fmt.pix.height;
            const uint32_t fourcc =
                accepted.count(format->fmt.pix.pixelformat) != 0 ? format->fmt.pix.pixelformat : V4L2_PIX_FMT_MJPEG;
            FillFormat(current, fourcc, w, h);
            *format = current;
            return 0;
        }
        case VIDIOC_G_PARM:
        case VIDIOC_S_PARM: {
            auto* parm = static_cast<v4l2_streamparm*>(argument);
            parm->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
            parm->parm.capture.timeperframe = {1, 30};
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto* request = static_cast<v4l2_requestbuffers*>(argument);
            request->count = grantedBuffers;
            buffersGranted = request->count;
            return 0;
        }
        case VIDIOC_QUERYBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (static_cast<int>(buffer->index) == queryBufFailsAt) return Fail(EIO);
            if (buffer->index >= buffersGranted) return Fail(EINVAL);
            buffer->length = current.fmt.pix.sizeimage;
            buffer->m.offset = buffer->index * 0x100000u;
            return 0;
        }
        case VIDIOC_QBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (buffer->index >= buffersGranted) return Fail(EINVAL);
            queued.push_back(buffer->index);
            return 0;
        }
        case VIDIOC_DQBUF: {
            if (dqbufErrno != 0) return Fail(dqbufErrno);
            if (!framesAvailable || queued.empty()) return Fail(EAGAIN);
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            buffer->index = queued.front();
            buffer->bytesused = current.fmt.pix.sizeimage;
            queued.pop_front();
            ++framesTaken;
            return 0;
        }
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF: return 0;
        default: return Fail(ENOTTY);
    }
}

void* FakeVideoDevice::Mmap(std::size_t length, int, int, int fd, off_t) {
    std::lock_guard<std::mutex> lock(mutex);
    if (fd != kFd || !open) {
        errno = EBADF;
        return MAP_FAILED;
    }
    void* memory = std::calloc(1, length);
    live[memory] = length;
    ++mappings;
    return memory;
}

int FakeVideoDevice::Munmap(void* address, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = live.find(address);
    if (found == live.end() || found->second != length) return Fail(EINVAL);
    std::free(address);
    live.erase(found);
    return 0;
}

ssize_t FakeVideoDevice::Read(int fd, void* buffer, std::size_t count) {
    std::lock_guard<std::mutex> lock(mutex);
    if (fd != kFd || !open) return Fail(EBADF);
    if (dqbufErrno != 0) return Fail(dqbufErrno);
    if (!framesAvailable) return Fail(EAGAIN);
    const std::size_t size = std::min<std::size_t>(count, current.fmt.pix.sizeimage);
    std::memset(buffer, 0x80, size);
    ++framesTaken;
    return static_cast<ssize_t>(size);
}

int FakeVideoDevice::Opens() const {
    std::lock_guard<std::mutex> lock(mutex);
    return opens;
}
int FakeVideoDevice::Closes() const {
    std::lock_guard<std::mutex> lock(mutex);
    return closes;
}
int FakeVideoDevice::LiveMappings() const {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(live.size());
}
int FakeVideoDevice::Mappings() const {
    std::lock_guard<std::mutex> lock(mutex);
    return mappings;
}
int FakeVideoDevice::FramesTaken() const {
    std::lock_guard<std::mutex> lock(mutex);
    return framesTaken;
}
bool FakeVideoDevice::IsOpen() const {
    std::lock_guard<std::mutex> lock(mutex);
    return open;
}

}  // namespace VisionTest
