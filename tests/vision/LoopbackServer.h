#pragma once
// A device on loopback for the network camera tests: listens on an ephemeral
// port, takes one connection at a time (a new one replaces the old), keeps
// what it receives and hands each piece to a handler on its own thread, and
// lets the test send bytes or close the connection.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace VisionTest {

class LoopbackServer {
public:
    // Called on the server thread with each piece received.
    using Handler = std::function<void(const std::string& piece)>;

    LoopbackServer();
    // Closes everything and joins the thread.
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    void SetHandler(Handler handler);
    int Port() const { return port; }
    int Connections() const { return connections; }
    bool IsConnected() const;
    // To the current connection; false when there is none or the send failed.
    bool Send(const std::string& bytes);
    // Closes the current connection.
    void Disconnect();
    // Everything received on any connection.
    std::string Received() const;
    int Count(const std::string& needle) const;
    void ClearReceived();
    bool WaitForConnections(int count, std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
    bool WaitForReceived(const std::string& needle, int count = 1,
                         std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;

private:
    void Loop();

    int listener = -1;
    int port = 0;
    std::atomic<bool> running{true};
    std::atomic<int> connections{0};
    mutable std::mutex mutex;  // connection, received, handler
    int connection = -1;
    std::string received;
    Handler handler;
    std::thread thread;
};

}  // namespace VisionTest
