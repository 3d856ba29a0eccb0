#include "hardware/CANInterfaceSocketCAN.h"

#include "common/LogSingleton.h"

#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace {

timespec MonotonicClock() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

std::string ErrorText(int err) {
    char buf[256];
    return strerror_r(err, buf, sizeof(buf));
}

// Waits up to 250 ms for the socket to become readable; 1 when it is.
int WaitReadable(int fd) {
    if (fd < FD_SETSIZE) {
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(fd, &readSet);
        timeval timeout{0, 250000};
        return select(fd + 1, &readSet, nullptr, nullptr, &timeout);
    }
    // select cannot watch descriptors this high.
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, 250);
}

}  // namespace

CANInterfaceSocketCAN::CANInterfaceSocketCAN() : CANInterfaceSocketCAN(MonotonicClock) {}

CANInterfaceSocketCAN::CANInterfaceSocketCAN(ClockFunction clock) : m_Clock(clock != nullptr ? clock : MonotonicClock) {
    const char* simulated = std::getenv(SimulatedBusVariable);
    if (simulated != nullptr) m_SimulatedBus = simulated;

    // Every record starts as "nothing received, 10 s ago", so a module that
    // never sent looks stale rather than fresh.
    timespec start = m_Clock();
    start.tv_sec -= 10;
    uint64_t filler;
    const unsigned char pattern[8] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
    std::memcpy(&filler, pattern, sizeof(filler));
    for (int i = 0; i < LastFrameCount; ++i) {
        LastFrameSlot& slot = m_LastFrames[i];
        slot.id.store(i, std::memory_order_relaxed);
        slot.dlc.store(0, std::memory_order_relaxed);
        slot.data.store(filler, std::memory_order_relaxed);
        slot.seconds.store(start.tv_sec, std::memory_order_relaxed);
        slot.nanoseconds.store(start.tv_nsec, std::memory_order_relaxed);
    }
}

CANInterfaceSocketCAN::~CANInterfaceSocketCAN() {
    std::lock_guard<std::mutex> lock(m_LifecycleMutex);
    m_Connected = false;
    StopReadThread();
    CloseSocket();
}

bool CANInterfaceSocketCAN::Connect() {
    std::lock_guard<std::mutex> lock(m_LifecycleMutex);
    LogSingleton* log = LogSingleton::instance();

    // A connection that was never disconnected is closed first, so that a
    // second Connect leaks neither a socket nor a read thread.
    m_Connected = false;
    StopReadThread();
    CloseSocket();

    log->add("....... SocketCAN connect ......");
    try {
        m_OnSimulatedBus = !m_SimulatedBus.empty();
        m_Socket = m_OnSimulatedBus ? OpenSimulatedBus() : OpenSocketCAN();

        m_Stop = false;
        // Connected before the read thread starts: a thread that found itself
        // unconnected would pause 100 ms and leave the first answers unread.
        m_Connected = true;
        m_ReadThread = std::thread(threadReadLoop, this);
        log->add("Connected to CAN module via SocketCAN...");

        const unsigned char test[8] = {0x42, 0x43, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
        WriteMessage(0x10, 8, test);
    } catch (const std::exception& e) {
        m_Connected = false;
        log->addFormat("Could not connect to CAN module via SocketCAN! (1): %s", e.what());
    } catch (...) {
        m_Connected = false;
        log->add("Could NOT connect to CAN module via SocketCAN!! (3)");
    }
    if (!m_Connected) {
        StopReadThread();
        CloseSocket();
    }
    return m_Connected;
}

int CANInterfaceSocketCAN::OpenSocketCAN() {
    const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) throw std::runtime_error("Could not create socket: " + ErrorText(errno));

    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "can0", IFNAMSIZ - 1);
    int err = 0;
    if (ioctl(fd, SIOCGIFINDEX, &ifr) != 0) {
        err = errno;
    } else {
        sockaddr_can addr{};
        addr.can_family = AF_CAN;
        addr.can_ifindex = ifr.ifr_ifindex;
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) err = errno;
    }
    if (err != 0) {
        close(fd);
        throw std::runtime_error("Could not bind CAN socket: " + ErrorText(err));
    }
    return fd;
}

int CANInterfaceSocketCAN::OpenSimulatedBus() {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("Could not create socket: " + ErrorText(errno));

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    int err = 0;
    if (m_SimulatedBus.size() >= sizeof(addr.sun_path)) {
        err = ENAMETOOLONG;
    } else {
        std::memcpy(addr.sun_path, m_SimulatedBus.c_str(), m_SimulatedBus.size() + 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) err = errno;
    }
    if (err != 0) {
        close(fd);
        throw std::runtime_error("Could not bind CAN socket: " + ErrorText(err));
    }
    return fd;
}

bool CANInterfaceSocketCAN::Disconnect() {
    std::lock_guard<std::mutex> lock(m_LifecycleMutex);
    m_Connected = false;
    m_Stop = true;
    if (m_Socket.load() >= 0) {
        wait2(500);
        StopReadThread();
        CloseSocket();
        LogSingleton::instance()->add("CAN interface SocketCAN disconnected.");
    } else {
        StopReadThread();
    }
    return m_Connected;
}

void CANInterfaceSocketCAN::StopReadThread() {
    m_Stop = true;
    if (!m_ReadThread.joinable()) return;
    if (m_ReadThread.get_id() == std::this_thread::get_id()) {
        // Called from a callback on the read thread: it sees the stop flag as
        // soon as the callback returns.
        m_ReadThread.detach();
    } else {
        m_ReadThread.join();
    }
}

void CANInterfaceSocketCAN::CloseSocket() {
    const int fd = m_Socket.exchange(-1);
    if (fd >= 0) close(fd);
}

void CANInterfaceSocketCAN::wait2(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void* threadReadLoop(void* canInterface) {
    static_cast<CANInterfaceSocketCAN*>(canInterface)->ThreadReadLoop();
    return nullptr;
}

void CANInterfaceSocketCAN::ThreadReadLoop() {
    LogSingleton* log = LogSingleton::instance();
    log->add("Starting SocketCAN ReadLoop..");
    bool endOfStreamLogged = false;
    for (;;) {
        if (m_Stop.load()) {
            log->add("SocketCAN ReadLoop has stopped...");
            return;
        }
        if (!m_Connected.load()) {
            wait2(100);
            continue;
        }
        const int fd = m_Socket.load();
        if (fd < 0 || WaitReadable(fd) != 1) continue;

        can_frame frame;
        std::memset(&frame, 0, sizeof(frame));
        const ssize_t n = read(fd, &frame, sizeof(frame));
        if (n < 0) {
            const int err = errno;
            log->addFormat("SocketCAN ReadLoop: failed to read: %s", ErrorText(err));
            AddCanDumpEntry(frame, true, err);
            continue;
        }
        if (n == 0) {
            // End of stream: only the simulated bus does this, when its hub
            // has gone. The socket then stays readable, so report it once and
            // pause instead of spinning.
            if (!endOfStreamLogged) {
                log->addFormat("SocketCAN ReadLoop: failed to read: %s", ErrorText(ECONNRESET));
                AddCanDumpEntry(frame, true, ECONNRESET);
                endOfStreamLogged = true;
            }
            wait2(100);
            continue;
        }
        if (frame.can_dlc == 0) continue;

        const timespec now = m_Clock();
        if (frame.can_id < static_cast<canid_t>(LastFrameCount)) StoreLastFrame(frame, now);
        AddCanDumpEntry(frame, true, 0);

        const int id = static_cast<int>(frame.can_id);
        const int dlc = frame.can_dlc;
        bool consumed = false;
        const CANMonitorCallback monitor = monitorCallback.load();
        if (monitor != nullptr && LogSingleton::instance()->get_opMode() == opModeCANBridge) {
            consumed = monitor(id, dlc, frame.data, 0, now);
        }
        const CANReceiveCallback receive = receiveCallback.load();
        if (receive != nullptr && !consumed) receive(id, dlc, frame.data, 0, now);
    }
}

void CANInterfaceSocketCAN::StoreLastFrame(const can_frame& frame, const timespec& time) {
    LastFrameSlot& slot = m_LastFrames[frame.can_id];
    uint64_t data;
    std::memcpy(&data, frame.data, sizeof(data));
    // Only the read thread writes; odd while the record is being rewritten.
    // The release stores keep the odd count ahead of the new contents.
    const uint32_t sequence = slot.sequence.load(std::memory_order_relaxed);
    slot.sequence.store(sequence + 1, std::memory_order_relaxed);
    slot.id.store(static_cast<int>(frame.can_id), std::memory_order_release);
    slot.dlc.store(frame.can_dlc, std::memory_order_release);
    slot.data.store(data, std::memory_order_release);
    slot.seconds.store(time.tv_sec, std::memory_order_release);
    slot.nanoseconds.store(time.tv_nsec, std::memory_order_release);
    slot.sequence.store(sequence + 2, std::memory_order_release);
}

LastFrame CANInterfaceSocketCAN::LoadLastFrame(int id) const {
    const LastFrameSlot& slot = m_LastFrames[id];
    LastFrame result;
    for (unsigned attempt = 0;; ++attempt) {
        const uint32_t before = slot.sequence.load(std::memory_order_acquire);
        if ((before & 1u) == 0) {
            // Acquire loads: a value of a newer frame brings its odd count
            // with it, so the second look at the count tells.
            result.id = slot.id.load(std::memory_order_acquire);
            result.dlc = slot.dlc.load(std::memory_order_acquire);
            const uint64_t data = slot.data.load(std::memory_order_acquire);
            result.time.tv_sec = static_cast<time_t>(slot.seconds.load(std::memory_order_acquire));
            result.time.tv_nsec = slot.nanoseconds.load(std::memory_order_acquire);
            if (slot.sequence.load(std::memory_order_relaxed) == before) {
                std::memcpy(result.data, &data, sizeof(result.data));
                return result;
            }
        }
        if (attempt > 64) std::this_thread::yield();
    }
}

int CANInterfaceSocketCAN::GetLastMessage(int id, int* dlc, unsigned char* data, long* reserved) {
    (void)reserved;
    if (id < 0 || id >= LastFrameCount) throw std::invalid_argument("invalid message id!");
    if (!m_Connected.load()) return 0;

    const LastFrame frame = LoadLastFrame(id);
    if (dlc != nullptr) *dlc = frame.dlc;
    if (data != nullptr) std::memcpy(data, frame.data, sizeof(frame.data));

    // In 64 bits: an int of 100 us units overflows after about 60 hours, and a
    // record that old must still read as old.
    const timespec now = m_Clock();
    int64_t seconds = static_cast<int64_t>(now.tv_sec) - frame.time.tv_sec;
    int64_t nanoseconds = static_cast<int64_t>(now.tv_nsec) - frame.time.tv_nsec;
    if (nanoseconds < 0) {
        seconds -= 1;
        nanoseconds += 1000000000;
    }
    const int64_t age = seconds * 10000 + nanoseconds / 100000;
    if (age < 0) return 0;
    if (age > INT_MAX) return INT_MAX;
    return static_cast<int>(age);
}

ssize_t CANInterfaceSocketCAN::WriteFrame(int fd, const can_frame& frame) {
    // The kernel refuses a classic frame longer than 8 bytes in the write
    // itself; the simulated bus cannot fail a write from the far end, so the
    // check is made here.
    if (m_OnSimulatedBus.load() && frame.can_dlc > CAN_MAX_DLEN) {
        errno = EINVAL;
        return -1;
    }
    return send(fd, &frame, sizeof(frame), MSG_NOSIGNAL);
}

void CANInterfaceSocketCAN::WriteMessage(int id, int dlc, const unsigned char* data) {
    const int fd = m_Socket.load();
    if (!m_Connected.load() || fd < 0) return;

    can_frame frame;
    std::memset(&frame, 0, sizeof(frame));
    frame.can_id = static_cast<canid_t>(id);
    frame.can_dlc = static_cast<__u8>(dlc);
    const int copy = std::max(0, std::min(dlc, 8));
    if (data != nullptr && copy > 0) std::memcpy(frame.data, data, static_cast<size_t>(copy));

    if (WriteFrame(fd, frame) == static_cast<ssize_t>(sizeof(frame))) {
        m_LastWriteError = 0;
        AddCanDumpEntry(frame, false, 0);
        return;
    }

    const int err = errno;
    if (err != m_LastWriteError.load()) {
        m_WriteErrorCount = 0;
        m_LastWriteError = err;
    }
    const int count = m_WriteErrorCount.load();
    LogSingleton* log = LogSingleton::instance();
    if (count == 0) {
        log->addFormat("CAN write failed on ID %d (first byte %d): %s", id, static_cast<int>(frame.data[0]),
                       ErrorText(err));
    } else if (count == 10 || count == 25 || count % 50 == 0) {
        log->addFormat("CAN write failed on ID %d (first byte %d): %s (%d)", id, static_cast<int>(frame.data[0]),
                       ErrorText(err), count);
    }
    if (count < INT_MAX) m_WriteErrorCount = count + 1;
    AddCanDumpEntry(frame, false, err);
}

void CANInterfaceSocketCAN::SetCanDumpSize(unsigned int n) {
    if (m_DumpSize.load() == n) return;
    LogSingleton::instance()->addFormat("Setting CAN Dump size to %d messages", static_cast<int>(n));
    std::lock_guard<std::mutex> lock(m_DumpMutex);
    m_Dump.assign(n, CanDumpEntry());
    m_DumpSize = n;
    m_DumpIndex = 0;
    m_DumpCount = 0;
}

void CANInterfaceSocketCAN::AddCanDumpEntry(const CanDumpEntry& entry) {
    if (m_DumpSize.load() == 0) return;
    std::lock_guard<std::mutex> lock(m_DumpMutex);
    const size_t size = m_Dump.size();
    if (size == 0) return;
    const unsigned int slot = m_DumpIndex;
    m_DumpIndex = (m_DumpIndex + 1 >= size) ? 0 : m_DumpIndex + 1;
    if (m_DumpCount != size) ++m_DumpCount;
    m_Dump[slot] = entry;
}

void CANInterfaceSocketCAN::AddCanDumpEntry(const can_frame& frame, bool incoming, int error) {
    if (m_DumpSize.load() == 0) return;
    CanDumpEntry entry;
    entry.frame = frame;
    entry.time = m_Clock();
    entry.incoming = incoming;
    entry.error = error;
    AddCanDumpEntry(entry);
}

void CANInterfaceSocketCAN::WriteCanDump() {
    if (m_DumpSize.load() == 0) return;
    std::vector<CanDumpEntry> ring;
    unsigned int index;
    unsigned int count;
    {
        std::lock_guard<std::mutex> lock(m_DumpMutex);
        if (m_Dump.empty() || m_DumpCount == 0) return;
        ring = m_Dump;
        index = m_DumpIndex;
        count = m_DumpCount;
        m_DumpCount = 0;
    }
    const size_t size = ring.size();
    LogSingleton* log = LogSingleton::instance();
    int line = 0;
    for (size_t k = size - count; k < size; ++k, ++line) {
        const CanDumpEntry& entry = ring[(index + k) % size];
        std::ostringstream os;
        os << (entry.incoming ? "I --> " : "O <-- ");
        os << std::setfill(' ') << std::setw(3) << line << " ";
        os << std::setw(2) << entry.time.tv_sec << "." << std::setfill('0') << std::setw(6)
           << entry.time.tv_nsec / 1000;
        os << " ID: 0x" << std::hex << std::setw(2) << entry.frame.can_id;
        os << " DLC: " << std::dec << std::setw(1) << static_cast<int>(entry.frame.can_dlc);
        os << " MSG:";
        const int len = std::min<int>(8, entry.frame.can_dlc);
        for (int i = 0; i < len; ++i) {
            os << " " << std::hex << std::setw(2) << static_cast<int>(entry.frame.data[i]);
        }
        if (entry.error != 0) os << " ERROR: " << ErrorText(entry.error);
        log->add(os.str());
    }
}
