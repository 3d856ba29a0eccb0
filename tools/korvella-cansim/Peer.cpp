#include "korvella-cansim/Peer.h"

#include "korvella-cansim/FrameFormat.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace CanSim {

Peer::~Peer() { Close(); }

bool Peer::Connect(const std::string& socketPath) {
    Close();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof(addr.sun_path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return false;
    }
    m_Fd = fd;
    return true;
}

void Peer::Close() {
    if (m_Fd >= 0) {
        close(m_Fd);
        m_Fd = -1;
    }
}

bool Peer::Send(const can_frame& frame) {
    if (!IsValidFrame(frame)) {
        errno = EINVAL;
        return false;
    }
    return SendRaw(&frame, sizeof(frame)) == static_cast<ssize_t>(sizeof(frame));
}

ssize_t Peer::SendRaw(const void* data, size_t size) {
    if (m_Fd < 0) {
        errno = ENOTCONN;
        return -1;
    }
    return send(m_Fd, data, size, MSG_NOSIGNAL);
}

bool Peer::Receive(can_frame& frame, int timeoutMs) {
    if (m_Fd < 0) return false;
    pollfd pfd{m_Fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&pfd, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return false;
    const ssize_t n = recv(m_Fd, &frame, sizeof(frame), 0);
    return n == static_cast<ssize_t>(sizeof(frame));
}

}  // namespace CanSim
