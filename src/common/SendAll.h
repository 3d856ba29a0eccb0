#pragma once
// Writes a whole buffer to a stream socket. Header only, so the tools that
// do not link the controller's libraries use the same loop.

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

namespace Net {

// Sends until all `size` bytes are out or a call sends nothing or fails
// (errno tells why); returns the number of bytes sent. MSG_NOSIGNAL: a peer
// that has closed must not end the process with SIGPIPE. The caller decides
// what a short count means.
inline std::size_t SendAll(int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(fd, bytes + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    return sent;
}

}  // namespace Net
