#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

#include "FakeCameras.h"
#include "common/SendAll.h"

namespace VisionTest {

LoopbackServer::LoopbackServer() {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) throw std::runtime_error("socket");
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(listener, 4) != 0)
        throw std::runtime_error("bind");
    socklen_t length = sizeof(address);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    thread = std::thread(&LoopbackServer::Loop, this);
}

LoopbackServer::~LoopbackServer() {
    running = false;
    if (thread.joinable()) thread.join();
    Disconnect();
    ::close(listener);
}

void LoopbackServer::SetHandler(Handler newHandler) {
    std::lock_guard<std::mutex> lock(mutex);
    handler = std::move(newHandler);
}

bool LoopbackServer::IsConnected() const {
    std::lock_guard<std::mutex> lock(mutex);
    return connection >= 0;
}

bool LoopbackServer::Send(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    if (connection < 0) return false;
    return Net::SendAll(connection, bytes.data(), bytes.size()) == bytes.size();
}

void LoopbackServer::Disconnect() {
    std::lock_guard<std::mutex> lock(mutex);
    if (connection >= 0) ::close(connection);
    connection = -1;
}

std::string LoopbackServer::Received() const {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}

int LoopbackServer::Count(const std::string& needle) const {
    const std::string all = Received();
    int count = 0;
    for (std::size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + needle.size())) ++count;
    return count;
}

void LoopbackServer::ClearReceived() {
    std::lock_guard<std::mutex> lock(mutex);
    received.clear();
}

bool LoopbackServer::WaitForConnections(int count, std::chrono::milliseconds deadline) const {
    return WaitFor([&] { return connections >= count; }, deadline);
}

bool LoopbackServer::WaitForReceived(const std::string& needle, int count, std::chrono::milliseconds deadline) const {
    return WaitFor([&] { return Count(needle) >= count; }, deadline);
}

void LoopbackServer::Loop() {
    std::vector<char> buffer(65536);
    while (running) {
        int current = -1;
        {
            std::lock_guard<std::mutex> lock(mutex);
            current = connection;
        }
        pollfd entries[2] = {{listener, POLLIN, 0}, {current, POLLIN, 0}};
        if (::poll(entries, current >= 0 ? 2 : 1, 20) <= 0) continue;
        if (entries[0].revents & POLLIN) {
            const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (accepted >= 0) {
                std::lock_guard<std::mutex> lock(mutex);
                if (connection >= 0) ::close(connection);
                connection = accepted;
                ++connections;
            }
            continue;
        }
        if (current < 0 || entries[1].revents == 0) continue;
        std::string piece;
        Handler call;
        {
            std::lock_guard<std::mutex> lock(mutex);
            // The test may have closed or replaced it meanwhile.
            if (connection != current) continue;
            const ssize_t n = ::recv(current, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n <= 0) {
                if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    ::close(connection);
                    connection = -1;
                }
                continue;
            }
            piece.assign(buffer.data(), static_cast<std::size_t>(n));
            received += piece;
            call = handler;
        }
        if (call) call(piece);
    }
}

}  // namespace VisionTest
