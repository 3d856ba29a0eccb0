#include "vision/VideoDeviceIO.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace Camera {

int VideoDeviceIO::Stat(const char* path, struct stat* info) { return ::stat(path, info); }

int VideoDeviceIO::Open(const char* path, int flags) { return ::open(path, flags); }

int VideoDeviceIO::Close(int fd) { return ::close(fd); }

int VideoDeviceIO::Ioctl(int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); }

void* VideoDeviceIO::Mmap(std::size_t length, int protection, int flags, int fd, off_t offset) {
    return ::mmap(nullptr, length, protection, flags, fd, offset);
}

int VideoDeviceIO::Munmap(void* address, std::size_t length) { return ::munmap(address, length); }

ssize_t VideoDeviceIO::Read(int fd, void* buffer, std::size_t count) { return ::read(fd, buffer, count); }

}  // namespace Camera
