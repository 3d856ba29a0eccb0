#pragma once
// A plain participant on the simulated bus, for tests and tools: connects to
// a hub's socket and sends and receives whole frames.

#include <linux/can.h>
#include <string>
#include <sys/types.h>

namespace CanSim {

class Peer {
public:
    Peer() = default;
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // False with errno set when the hub cannot be reached.
    bool Connect(const std::string& socketPath);
    void Close();
    bool IsConnected() const { return m_Fd >= 0; }

    // One frame; false with errno set on failure. A length over 8 fails with
    // EINVAL before anything is written, as a raw CAN socket does.
    bool Send(const can_frame& frame);
    // Any message, unchecked: lets tests hand the hub what a careless peer would.
    ssize_t SendRaw(const void* data, size_t size);
    // Waits up to timeoutMs for the next frame; false on time-out or when the
    // hub closed the connection.
    bool Receive(can_frame& frame, int timeoutMs);

private:
    int m_Fd = -1;
};

}  // namespace CanSim
