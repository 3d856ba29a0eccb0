#include "korvella-cansim/Hub.h"

#include "korvella-cansim/FrameFormat.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace CanSim {

namespace {

timespec MonotonicNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

int64_t MicrosBetween(const timespec& from, const timespec& to) {
    return (static_cast<int64_t>(to.tv_sec) - from.tv_sec) * 1000000 + (to.tv_nsec - from.tv_nsec) / 1000;
}

// A device storm must not starve the peers: at most this many queued frames
// per pass of the hub loop.
constexpr size_t kMaxFramesPerPass = 10000;

}  // namespace

class Hub::DeviceSlot : public Bus {
public:
    DeviceSlot(Hub& hub, std::shared_ptr<Device> device, uint64_t index)
        : m_Hub(hub), m_Device(std::move(device)), m_Index(index) {}
    void Send(const can_frame& frame) override { m_Hub.Push(frame, Source::Device, m_Index); }
    timespec Now() const override { return MonotonicNow(); }
    Device& Get() { return *m_Device; }
    uint64_t Index() const { return m_Index; }

private:
    Hub& m_Hub;
    std::shared_ptr<Device> m_Device;
    uint64_t m_Index;
};

Hub::Hub() = default;

Hub::~Hub() { Stop(); }

bool Hub::Start(const std::string& socketPath, const std::string& logPath, std::string* error) {
    auto fail = [&](const std::string& what, int err) {
        if (error != nullptr) *error = what + ": " + std::strerror(err);
        CloseAll();
        return false;
    };
    if (m_Thread.joinable()) {
        // The running hub keeps its socket, peers and thread.
        if (error != nullptr) *error = std::string("hub already running: ") + std::strerror(EBUSY);
        return false;
    }

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof(addr.sun_path)) {
        return fail("invalid socket path '" + socketPath + "'", ENAMETOOLONG);
    }
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);

    struct stat st{};
    if (lstat(socketPath.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return fail("'" + socketPath + "' exists and is not a socket", EEXIST);
        // Replace a stale socket file, never a hub that still answers on it.
        const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
        if (probe >= 0) close(probe);
        if (live) return fail("'" + socketPath + "' is in use", EADDRINUSE);
        unlink(socketPath.c_str());
    }

    m_ListenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_ListenFd < 0) return fail("socket", errno);
    if (bind(m_ListenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        return fail("bind '" + socketPath + "'", errno);
    }
    m_SocketPath = socketPath;
    if (listen(m_ListenFd, 64) != 0) return fail("listen", errno);

    m_WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_WakeFd.load() < 0) return fail("eventfd", errno);

    if (!logPath.empty()) {
        m_Log = std::fopen(logPath.c_str(), "w");
        if (m_Log == nullptr) return fail("frame log '" + logPath + "'", errno);
    }

    m_StopRequested = false;
    m_Running = true;
    m_Thread = std::thread(&Hub::Run, this);
    return true;
}

void Hub::RequestStop() {
    m_StopRequested = true;
    Wake();
}

void Hub::Join() {
    if (m_Thread.joinable()) m_Thread.join();
    CloseAll();
}

void Hub::Stop() {
    RequestStop();
    Join();
}

void Hub::AddDevice(std::shared_ptr<Device> device) {
    if (!device) return;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_NewDevices.push_back(std::move(device));
    }
    Wake();
}

void Hub::Inject(const can_frame& frame) {
    Push(frame, Source::Outside, 0);
    Wake();
}

void Hub::Push(const can_frame& frame, Source source, uint64_t sender) {
    if (!IsValidFrame(frame)) {
        ++m_FramesRefused;
        return;
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Queue.push_back(Pending{frame, MonotonicNow(), source, sender});
}

void Hub::Wake() {
    const int fd = m_WakeFd;
    if (fd < 0) return;
    const uint64_t one = 1;
    ssize_t written = write(fd, &one, sizeof(one));
    (void)written;  // a full counter still wakes the loop
}

void Hub::Run() {
    std::vector<pollfd> fds;
    while (!m_StopRequested.load()) {
        AdoptNewDevices();
        fds.clear();
        fds.push_back(pollfd{m_WakeFd, POLLIN, 0});
        fds.push_back(pollfd{m_ListenFd, POLLIN, 0});
        for (const PeerConnection& peer : m_Peers) fds.push_back(pollfd{peer.fd, POLLIN, 0});

        bool queued;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            queued = !m_Queue.empty();
        }
        const int timeoutMs = queued ? 0 : (m_Devices.empty() ? 100 : 1);
        const int ready = poll(fds.data(), fds.size(), timeoutMs);
        if (ready < 0 && errno != EINTR) break;

        if (fds[0].revents & POLLIN) {
            uint64_t count;
            ssize_t got = read(m_WakeFd, &count, sizeof(count));
            (void)got;
        }
        if (fds[1].revents & POLLIN) AcceptPeers();
        // fds[2 + i] belongs to m_Peers[i]; peers accepted above come after them.
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents != 0) ReadPeer(m_Peers[i - 2]);
        }
        DrainQueue();
        TickDevices();
        DrainQueue();

        for (auto it = m_Peers.begin(); it != m_Peers.end();) {
            if (it->closing) {
                close(it->fd);
                it = m_Peers.erase(it);
                --m_PeerCount;
            } else {
                ++it;
            }
        }
    }
    m_Running = false;
}

void Hub::AcceptPeers() {
    for (;;) {
        const int fd = accept4(m_ListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;  // EAGAIN: all taken; anything else: try again next pass
        m_Peers.push_back(PeerConnection{fd, m_NextPeerId++, false});
        ++m_PeerCount;
    }
}

void Hub::ReadPeer(PeerConnection& peer) {
    // Larger than a frame so that an oversized message shows its real size.
    unsigned char buf[sizeof(can_frame) * 4];
    for (;;) {
        const ssize_t n = recv(peer.fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) peer.closing = true;
            return;
        }
        if (n == 0) {
            peer.closing = true;
            return;
        }
        if (static_cast<size_t>(n) != sizeof(can_frame)) {
            ++m_FramesRefused;
            continue;
        }
        can_frame frame;
        std::memcpy(&frame, buf, sizeof(frame));
        Push(frame, Source::Peer, peer.id);
    }
}

void Hub::DrainQueue() {
    for (size_t done = 0; done < kMaxFramesPerPass; ++done) {
        Pending pending;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_Queue.empty()) return;
            pending = m_Queue.front();
            m_Queue.pop_front();
        }
        Deliver(pending);
    }
}

void Hub::Deliver(const Pending& pending) {
    ++m_FramesCarried;
    if (m_Log != nullptr) {
        const std::string line = FormatLogLine(pending.time, pending.frame);
        std::fprintf(m_Log, "%s\n", line.c_str());
        std::fflush(m_Log);
    }
    for (PeerConnection& peer : m_Peers) {
        if (peer.closing || (pending.source == Source::Peer && pending.sender == peer.id)) continue;
        const ssize_t n = send(peer.fd, &pending.frame, sizeof(pending.frame), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
                ++m_FramesDropped;  // a full receive queue drops frames, as on a real socket
            } else {
                peer.closing = true;
            }
        }
    }
    for (auto& slot : m_Devices) {
        if (pending.source == Source::Device && pending.sender == slot->Index()) continue;
        slot->Get().OnFrame(pending.frame, pending.time, *slot);
    }
}

void Hub::TickDevices() {
    if (m_Devices.empty()) return;
    const timespec now = MonotonicNow();
    if (MicrosBetween(m_LastTick, now) < 1000) return;
    m_LastTick = now;
    for (auto& slot : m_Devices) slot->Get().OnTick(now, *slot);
}

void Hub::AdoptNewDevices() {
    std::vector<std::shared_ptr<Device>> added;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        added.swap(m_NewDevices);
    }
    for (auto& device : added) {
        m_Devices.push_back(std::make_unique<DeviceSlot>(*this, std::move(device), m_Devices.size()));
    }
}

void Hub::CloseAll() {
    for (const PeerConnection& peer : m_Peers) close(peer.fd);
    m_Peers.clear();
    m_PeerCount = 0;
    if (m_ListenFd >= 0) {
        close(m_ListenFd);
        m_ListenFd = -1;
        if (!m_SocketPath.empty()) unlink(m_SocketPath.c_str());
    }
    m_SocketPath.clear();
    const int wakeFd = m_WakeFd.exchange(-1);
    if (wakeFd >= 0) close(wakeFd);
    if (m_Log != nullptr) {
        std::fclose(m_Log);
        m_Log = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Queue.clear();
    }
    m_Running = false;
}

}  // namespace CanSim
