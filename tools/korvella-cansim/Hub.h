#pragma once
// The simulated CAN bus: a hub on an AF_UNIX SOCK_SEQPACKET socket. Each
// message is one 16-byte struct can_frame. Every frame goes to every other
// peer and every device, never back to its sender, like a SocketCAN bus
// without loop-back.
//
// Frames longer than 8 bytes: the kernel refuses them in the sender's write
// (EINVAL). A SEQPACKET write cannot be failed from the far end, so the
// sender's transport checks the length before writing and fails with EINVAL
// itself (CANInterfaceSocketCAN and CanSim::Peer do). The hub also refuses
// and drops whatever still arrives that is not a 16-byte frame with at most
// 8 data bytes, so no peer can put such a frame on the bus.

#include "korvella-cansim/Device.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace CanSim {

class Hub {
public:
    Hub();
    ~Hub();
    Hub(const Hub&) = delete;
    Hub& operator=(const Hub&) = delete;

    // Listens on socketPath (a stale socket file there is replaced) and starts
    // the hub thread. A non-empty logPath gets one line per frame. On failure
    // returns false and, when error is given, the reason.
    bool Start(const std::string& socketPath, const std::string& logPath = std::string(),
               std::string* error = nullptr);
    // Asks the hub thread to end and returns at once.
    void RequestStop();
    // Waits for the hub thread, closes every connection and removes the
    // socket file. Never call it from a device callback.
    void Join();
    void Stop();
    bool IsRunning() const { return m_Running.load(); }

    // Devices may be added before or after Start, from any thread.
    void AddDevice(std::shared_ptr<Device> device);
    // A frame from outside every peer and device (fault injection, tests).
    void Inject(const can_frame& frame);

    int PeerCount() const { return m_PeerCount.load(); }
    uint64_t FramesCarried() const { return m_FramesCarried.load(); }
    uint64_t FramesRefused() const { return m_FramesRefused.load(); }
    // Deliveries dropped because a peer did not read its socket.
    uint64_t FramesDropped() const { return m_FramesDropped.load(); }
    const std::string& SocketPath() const { return m_SocketPath; }

private:
    enum class Source { Peer, Device, Outside };
    struct Pending {
        can_frame frame;
        timespec time;
        Source source;
        uint64_t sender;  // peer id or device index
    };
    struct PeerConnection {
        int fd;
        uint64_t id;
        bool closing;
    };
    class DeviceSlot;

    void Run();
    void Push(const can_frame& frame, Source source, uint64_t sender);
    void Wake();
    void AcceptPeers();
    void ReadPeer(PeerConnection& peer);
    void Deliver(const Pending& pending);
    void DrainQueue();
    void TickDevices();
    void AdoptNewDevices();
    void CloseAll();

    std::string m_SocketPath;
    int m_ListenFd = -1;
    std::atomic<int> m_WakeFd{-1};
    FILE* m_Log = nullptr;
    std::thread m_Thread;
    std::atomic<bool> m_StopRequested{false};
    std::atomic<bool> m_Running{false};
    std::atomic<int> m_PeerCount{0};
    std::atomic<uint64_t> m_FramesCarried{0};
    std::atomic<uint64_t> m_FramesRefused{0};
    std::atomic<uint64_t> m_FramesDropped{0};

    std::mutex m_Mutex;  // guards m_Queue and m_NewDevices
    std::deque<Pending> m_Queue;
    std::vector<std::shared_ptr<Device>> m_NewDevices;

    // Hub thread only.
    std::vector<PeerConnection> m_Peers;
    std::vector<std::unique_ptr<DeviceSlot>> m_Devices;
    uint64_t m_NextPeerId = 1;
    timespec m_LastTick{0, 0};
};

}  // namespace CanSim
