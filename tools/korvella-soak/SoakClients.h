#pragma once
// The outside world of a soak run: remote-control clients, the controller's
// console log and its /proc figures.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Soak {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// A TCP connection to 127.0.0.1:port, or -1.
int ConnectLoopback(int port);

// A remote-control connection whose reader thread keeps the frames that arrive.
class HxpClient {
public:
    explicit HxpClient(std::string name) : m_Name(std::move(name)) {}
    ~HxpClient() { Close(); }
    HxpClient(const HxpClient&) = delete;
    HxpClient& operator=(const HxpClient&) = delete;

    bool Connect(int port);
    void Close();
    // Raw bytes, as a client that breaks off mid-frame sends them.
    bool SendRaw(const std::string& bytes);
    bool Send(const std::string& body);

    // Sequence number of the newest frame; Wait* look only at later frames.
    uint64_t Seq() const;
    // The first frame after `since` whose body starts with the prefix (and passes the filter).
    bool WaitFor(uint64_t since, const std::string& prefix, Seconds limit, std::string* body = nullptr,
                 const std::function<bool(const std::string&)>& filter = nullptr);
    // Bodies starting with the prefix counted since the connection opened.
    uint64_t Count(const std::string& prefix) const;
    uint64_t Frames() const { return m_Frames.load(); }
    bool Closed() const { return m_Closed.load(); }
    // The error word of the newest status line.
    std::string LastError() const;
    const std::string& Name() const { return m_Name; }

private:
    void Read();

    std::string m_Name;
    int m_Fd = -1;
    std::thread m_Reader;
    std::atomic<bool> m_Stop{false};
    std::atomic<bool> m_Closed{true};
    std::atomic<uint64_t> m_Frames{0};
    std::atomic<int> m_Counter{0};
    mutable std::mutex m_Mutex;
    std::condition_variable m_Arrived;
    std::deque<std::pair<uint64_t, std::string>> m_Recent;
    std::map<std::string, uint64_t> m_Counts;
    std::string m_LastError;
};

// The controller's console output, read as it grows; counts the lines that hold each
// watched text ("*" in a text stands for anything).
class LogWatch {
public:
    LogWatch(std::string path, std::vector<std::string> watched);
    uint64_t Count(const std::string& text);
    bool WaitCount(const std::string& text, uint64_t atLeast, Seconds limit);
    // Lines read so far that hold the text (at most the last 20).
    std::vector<std::string> Lines(const std::string& text);

private:
    void Poll();

    std::string m_Path;
    std::mutex m_Mutex;
    off_t m_Offset = 0;
    std::string m_Partial;
    std::map<std::string, uint64_t> m_Counts;
    std::map<std::string, std::deque<std::string>> m_Lines;
};

struct ProcessFigures {
    bool alive = false;
    long rssKiB = 0;
    int threads = 0;
    int fds = 0;
};
ProcessFigures ReadProcess(pid_t pid);

}  // namespace Soak
