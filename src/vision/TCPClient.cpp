#include "vision/TCPClient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "common/LogSingleton.h"
#include "common/SendAll.h"

namespace {

std::string ErrorText(int error) { return std::strerror(error); }

}  // namespace

TCPClient::TCPClient() = default;

TCPClient::~TCPClient() { Close(); }

TCPClient::TCPClient(TCPClient&& other) noexcept : descriptor(other.descriptor) { other.descriptor = -1; }

TCPClient& TCPClient::operator=(TCPClient&& other) noexcept {
    if (this != &other) {
        Close();
        descriptor = other.descriptor;
        other.descriptor = -1;
    }
    return *this;
}

bool TCPClient::Setup(const std::string& host, int port) {
    LogSingleton* log = LogSingleton::instance();
    if (descriptor == -1) {
        descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (descriptor == -1) {
            log->addError("TCPClient: Could not create socket: " + ErrorText(errno));
            return false;
        }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        // getaddrinfo, unlike gethostbyname, may run on several camera threads at once.
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (result != 0) {
            log->addErrorFormat("TCPClient: Failed to resolve hostname %s", gai_strerror(result));
            return false;
        }
        for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
            if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
                address.sin_addr = reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr;
                break;
            }
        }
        ::freeaddrinfo(found);
    }
    if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        log->addError("TCPClient: Connect failed: " + ErrorText(errno));
        return false;
    }
    return true;
}

bool TCPClient::Send(const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        errno = 0;
        sent += Net::SendAll(descriptor, text.data() + sent, text.size() - sent);
        if (sent < text.size() && errno != 0) {
            if (errno == EINTR) continue;
            LogSingleton::instance()->addError("TCPClient: Send failed: " + ErrorText(errno));
            return false;
        }
    }
    return true;
}

std::string TCPClient::Receive(int size) {
    if (size <= 0) return std::string();
    std::vector<char> buffer(static_cast<std::size_t>(size) + 1, '\0');
    const ssize_t result = ::recv(descriptor, buffer.data(), static_cast<std::size_t>(size), 0);
    if (result < 0) {
        LogSingleton::instance()->addError("TCPClient: Receive failed: " + ErrorText(errno));
        return std::string();
    }
    return std::string(buffer.data(), ::strnlen(buffer.data(), static_cast<std::size_t>(result)));
}

std::string TCPClient::ReadLine() {
    std::string line;
    char byte = 0;
    while (true) {
        const ssize_t result = ::recv(descriptor, &byte, 1, 0);
        if (result < 0) {
            if (errno == EINTR) continue;
            LogSingleton::instance()->addError("TCPClient: Receive failed: " + ErrorText(errno));
            return line;
        }
        if (result == 0) return line;
        line.push_back(byte);
        if (byte == '\n') return line;
    }
}

int TCPClient::ReadBytes(char* buffer, int length) {
    if (length <= 0) return 0;
    const ssize_t result = ::recv(descriptor, buffer, static_cast<std::size_t>(length), 0);
    if (result < 0) LogSingleton::instance()->addError("TCPClient: Receive failed: " + ErrorText(errno));
    return static_cast<int>(result);
}

bool TCPClient::DataAvailable(const timeval* timeout) {
    if (descriptor < 0) return false;
    int milliseconds = -1;
    if (timeout != nullptr) {
        const long long total =
            static_cast<long long>(timeout->tv_sec) * 1000 + static_cast<long long>(timeout->tv_usec) / 1000;
        milliseconds = total < 0 ? 0 : (total > INT_MAX ? INT_MAX : static_cast<int>(total));
    }
    pollfd entry{};
    entry.fd = descriptor;
    entry.events = POLLIN;
    return ::poll(&entry, 1, milliseconds) > 0 && entry.revents != 0;
}

void TCPClient::Close() {
    if (descriptor == -1) return;
    ::close(descriptor);
    descriptor = -1;
}
