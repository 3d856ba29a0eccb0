#pragma once
// The one gateway to the CAN bus: a raw SocketCAN socket on "can0" (or the
// simulated bus named by KORVELLA_CAN_SIM), a read thread that keeps the
// newest frame of every identifier below 2048 and hands each frame to the
// driver and the CAN bridge, frame writes, and a ring of recent traffic.

#include <linux/can.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Receive callback of the joint-bus driver; runs on the read thread.
typedef void (*CANReceiveCallback)(int id, int dlc, const unsigned char* data, long reserved, timespec time);
// CAN bridge hook of the remote-control server; true when it consumed the frame.
typedef bool (*CANMonitorCallback)(int id, int dlc, const unsigned char* data, long reserved, timespec time);

// One record of the last-frame table as a reader gets it.
struct LastFrame {
    int id = 0;
    int dlc = 0;  // 0: nothing received
    unsigned char data[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    timespec time{0, 0};  // CLOCK_MONOTONIC at reception
};

// One entry of the CAN dump ring.
struct CanDumpEntry {
    can_frame frame{};
    timespec time{0, 0};
    bool incoming = false;
    int error = 0;  // errno of a failed read or write
};

class CANInterfaceSocketCAN {
public:
    // Reads the monotonic clock; replaceable so tests can age frames.
    using ClockFunction = timespec (*)();

    static constexpr int LastFrameCount = 2048;
    // Environment variable naming the simulated bus's socket.
    static constexpr const char* SimulatedBusVariable = "KORVELLA_CAN_SIM";

    CANInterfaceSocketCAN();
    explicit CANInterfaceSocketCAN(ClockFunction clock);
    virtual ~CANInterfaceSocketCAN();
    CANInterfaceSocketCAN(const CANInterfaceSocketCAN&) = delete;
    CANInterfaceSocketCAN& operator=(const CANInterfaceSocketCAN&) = delete;

    bool Connect();
    bool Disconnect();
    bool IsConnected() const { return m_Connected.load(); }

    void WriteMessage(int id, int dlc, const unsigned char* data);
    // Copies the newest frame of id and returns its age in units of 100 us
    // (saturated to INT_MAX); 0 without copying when not connected. Throws
    // std::invalid_argument("invalid message id!") for an id outside 0..2047.
    int GetLastMessage(int id, int* dlc, unsigned char* data, long* reserved);

    void SetCanDumpSize(unsigned int n);
    void AddCanDumpEntry(const CanDumpEntry& entry);
    void AddCanDumpEntry(const can_frame& frame, bool incoming, int error);
    void WriteCanDump();

    // Body of the read thread.
    void ThreadReadLoop();
    static void wait2(int ms);

    // The simulated bus's socket path; empty for SocketCAN on "can0". Taken
    // from KORVELLA_CAN_SIM by the constructor.
    void SetSimulatedBus(const std::string& socketPath) { m_SimulatedBus = socketPath; }
    const std::string& GetSimulatedBus() const { return m_SimulatedBus; }

    // Set by the driver's Init and by the remote-control server at start-up.
    std::atomic<CANReceiveCallback> receiveCallback{nullptr};
    std::atomic<CANMonitorCallback> monitorCallback{nullptr};

private:
    // A record of the last-frame table. The read thread writes it while the
    // robot thread reads it: a sequence count (odd while a write is under
    // way) lets a reader retry instead of seeing bytes of two frames, and
    // keeps the read thread free of locks and allocation.
    struct LastFrameSlot {
        std::atomic<uint32_t> sequence{0};
        std::atomic<int> id{0};
        std::atomic<int> dlc{0};
        std::atomic<uint64_t> data{0};
        std::atomic<int64_t> seconds{0};
        std::atomic<long> nanoseconds{0};
    };

    void StoreLastFrame(const can_frame& frame, const timespec& time);
    LastFrame LoadLastFrame(int id) const;
    int OpenSocketCAN();
    int OpenSimulatedBus();
    ssize_t WriteFrame(int fd, const can_frame& frame);
    void StopReadThread();
    void CloseSocket();

    ClockFunction m_Clock;
    std::string m_SimulatedBus;

    std::atomic<bool> m_OnSimulatedBus{false};  // transport of the current connection
    std::atomic<bool> m_Stop{false};
    std::atomic<bool> m_Connected{false};
    LastFrameSlot m_LastFrames[LastFrameCount];
    std::atomic<int> m_Socket{-1};
    std::atomic<int> m_LastWriteError{0};
    std::atomic<int> m_WriteErrorCount{0};

    std::mutex m_DumpMutex;  // guards the dump ring, index and count
    std::vector<CanDumpEntry> m_Dump;
    std::atomic<size_t> m_DumpSize{0};  // the ring's size, for the lock-free "dump off" check
    unsigned int m_DumpIndex = 0;
    unsigned int m_DumpCount = 0;

    std::mutex m_LifecycleMutex;  // Connect, Disconnect and destruction one at a time
    std::thread m_ReadThread;
};

// Thread entry of the read thread: runs ThreadReadLoop of the object passed.
void* threadReadLoop(void* canInterface);
