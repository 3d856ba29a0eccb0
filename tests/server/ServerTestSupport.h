#pragma once
// A remote-control client for the tests: a blocking TCP (or socket-pair)
// end that writes raw bytes and reads the frames the controller sends.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/SendAll.h"

namespace ServerTest {

// One frame as the controller sent it: "HXPSTART <counter> <body> HXPEND\n".
struct Frame {
    int counter = -1;
    std::string body;
};

inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

class Client {
public:
    Client() = default;
    explicit Client(int fd) : m_Fd(fd) {}
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Connects to 127.0.0.1:port; false when it could not.
    // `receiveBuffer` (bytes, 0 for the default) is set before the connect, so the
    // window offered to the server never exceeds what the client can hold.
    bool Connect(int port, int receiveBuffer = 0) {
        Close();
        m_Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_Fd < 0) return false;
        if (receiveBuffer > 0 && setsockopt(m_Fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer)) != 0)
            return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return connect(m_Fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    void Close() {
        if (m_Fd >= 0) close(m_Fd);
        m_Fd = -1;
    }
    int Fd() const { return m_Fd; }

    bool Send(const std::string& bytes) {
        return Net::SendAll(m_Fd, bytes.data(), bytes.size()) == bytes.size();
    }
    bool SendFrame(int counter, const std::string& body) {
        return Send("HXPSTART " + std::to_string(counter) + " " + body + " HXPEND");
    }

    // The next frame, or a frame with counter -1 after the limit.
    Frame Next(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (true) {
            Frame frame;
            if (TakeFrame(frame)) return frame;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Fill(static_cast<int>(left.count()))) return Frame{};
        }
    }
    // The next frame whose body starts with the prefix; earlier frames are dropped.
    Frame NextStartingWith(const std::string& prefix, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            Frame frame = Next(left);
            if (frame.counter < 0) break;
            if (frame.body.compare(0, prefix.size(), prefix) == 0) return frame;
        }
        return Frame{};
    }
    // Every frame that arrives within the time.
    std::vector<Frame> Drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(200)) {
        std::vector<Frame> frames;
        while (true) {
            Frame frame = Next(quiet);
            if (frame.counter < 0) return frames;
            frames.push_back(frame);
        }
    }
    // True once the peer closed the connection (reads return 0 or fail).
    bool WaitClosed(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            pollfd entry{m_Fd, POLLIN, 0};
            if (poll(&entry, 1, 50) > 0) {
                char buffer[4096];
                const ssize_t n = recv(m_Fd, buffer, sizeof(buffer), 0);
                if (n <= 0) return true;
                m_Pending.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return false;
    }

private:
    bool Fill(int timeoutMs) {
        pollfd entry{m_Fd, POLLIN, 0};
        if (poll(&entry, 1, timeoutMs) <= 0) return false;
        char buffer[4096];
        const ssize_t n = recv(m_Fd, buffer, sizeof(buffer), 0);
        if (n <= 0) return false;
        m_Pending.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    bool TakeFrame(Frame& frame) {
        const std::size_t end = m_Pending.find(" HXPEND\n");
        if (end == std::string::npos) return false;
        const std::string text = m_Pending.substr(0, end);
        m_Pending.erase(0, end + 8);
        // "HXPSTART <counter> <body>"
        const std::size_t first = text.find(' ');
        const std::size_t second = first == std::string::npos ? std::string::npos : text.find(' ', first + 1);
        if (text.compare(0, 8, "HXPSTART") != 0 || second == std::string::npos) {
            frame.counter = -2;
            frame.body = text;
            return true;
        }
        frame.counter = std::stoi(text.substr(first + 1, second - first - 1));
        frame.body = text.substr(second + 1);
        return true;
    }

    int m_Fd = -1;
    std::string m_Pending;
};

}  // namespace ServerTest
