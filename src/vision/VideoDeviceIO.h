#pragma once
// The system calls through which the USB camera reaches its Video4Linux2
// device. The default makes the real calls; tests replace it with a fake
// device. Each returns what the system call returns and sets errno likewise.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace Camera {

class VideoDeviceIO {
public:
    virtual ~VideoDeviceIO() = default;
    virtual int Stat(const char* path, struct stat* info);
    virtual int Open(const char* path, int flags);
    virtual int Close(int fd);
    virtual int Ioctl(int fd, unsigned long request, void* argument);
    virtual void* Mmap(std::size_t length, int protection, int flags, int fd, off_t offset);
    virtual int Munmap(void* address, std::size_t length);
    virtual ssize_t Read(int fd, void* buffer, std::size_t count);
};

}  // namespace Camera
