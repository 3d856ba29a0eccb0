#include "korvella-soak/SoakClients.h"

#include "common/SendAll.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace Soak {

namespace {

constexpr std::size_t KeptFrames = 4000;

// The pieces of the pattern between '*' appear in the line in that order.
bool Matches(const std::string& line, const std::string& pattern) {
    std::size_t from = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t star = pattern.find('*', start);
        const std::string piece = pattern.substr(start, star == std::string::npos ? std::string::npos : star - start);
        const std::size_t found = line.find(piece, from);
        if (found == std::string::npos) return false;
        from = found + piece.size();
        if (star == std::string::npos) return true;
        start = star + 1;
    }
}

}  // namespace

// ---------------------------------------------------------------- HxpClient

int ConnectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
    close(fd);
    return -1;
}

bool HxpClient::Connect(int port) {
    Close();
    m_Fd = ConnectLoopback(port);
    if (m_Fd < 0) return false;
    m_Stop = false;
    m_Closed = false;
    m_Reader = std::thread([this]() { Read(); });
    return true;
}

void HxpClient::Close() {
    m_Stop = true;
    if (m_Reader.joinable()) m_Reader.join();
    if (m_Fd >= 0) close(m_Fd);
    m_Fd = -1;
    m_Closed = true;
}

bool HxpClient::SendRaw(const std::string& bytes) {
    return Net::SendAll(m_Fd, bytes.data(), bytes.size()) == bytes.size();
}

bool HxpClient::Send(const std::string& body) {
    const int counter = m_Counter.fetch_add(1) % 1000;
    return SendRaw("HXPSTART " + std::to_string(counter) + " " + body + " HXPEND");
}

uint64_t HxpClient::Seq() const { return m_Frames.load(); }

bool HxpClient::WaitFor(uint64_t since, const std::string& prefix, Seconds limit, std::string* body,
                        const std::function<bool(const std::string&)>& filter) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(limit);
    std::unique_lock<std::mutex> lock(m_Mutex);
    while (true) {
        for (const auto& entry : m_Recent) {
            if (entry.first <= since || entry.second.compare(0, prefix.size(), prefix) != 0) continue;
            if (filter && !filter(entry.second)) continue;
            if (body != nullptr) *body = entry.second;
            return true;
        }
        if (!m_Recent.empty()) since = std::max(since, m_Recent.back().first);
        if (m_Arrived.wait_until(lock, end) == std::cv_status::timeout) return false;
    }
}

uint64_t HxpClient::Count(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto found = m_Counts.find(prefix);
    return found == m_Counts.end() ? 0 : found->second;
}

std::string HxpClient::LastError() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_LastError;
}

void HxpClient::Read() {
    // The prefixes whose frames the run counts.
    static const char* const Counted[] = {"STATUS", "MESSAGE Program done, restarting", "EXECACK", "EXECEND",
                                          "EXECERROR", "EXECPAUSE", "CMDACK", "CMDERROR", "VARINFO",
                                          "RUNSTATE", "CAMINFO CameraResult", "CAMINFO CameraImage",
                                          "MESSAGE Serious Failure"};
    std::string pending;
    char buffer[8192];
    while (!m_Stop.load()) {
        pollfd entry{m_Fd, POLLIN, 0};
        const int ready = poll(&entry, 1, 100);
        if (ready <= 0) continue;
        const ssize_t n = recv(m_Fd, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            m_Closed = true;
            m_Arrived.notify_all();
            return;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find(" HXPEND\n")) != std::string::npos) {
            const std::string text = pending.substr(0, end);
            pending.erase(0, end + 8);
            const std::size_t first = text.find(' ');
            const std::size_t second = first == std::string::npos ? std::string::npos : text.find(' ', first + 1);
            const std::string body = second == std::string::npos ? text : text.substr(second + 1);
            std::lock_guard<std::mutex> lock(m_Mutex);
            const uint64_t seq = m_Frames.load() + 1;
            m_Recent.emplace_back(seq, body);
            if (m_Recent.size() > KeptFrames) m_Recent.pop_front();
            for (const char* prefix : Counted)
                if (body.compare(0, std::strlen(prefix), prefix) == 0) ++m_Counts[prefix];
            if (body.compare(0, 7, "STATUS ") == 0) {
                const std::size_t error = body.find(" ERROR ");
                if (error != std::string::npos) {
                    const std::size_t start = error + 7;
                    m_LastError = body.substr(start, body.find(' ', start) - start);
                }
            }
            m_Frames = seq;
            m_Arrived.notify_all();
        }
    }
}

// ---------------------------------------------------------------- LogWatch

LogWatch::LogWatch(std::string path, std::vector<std::string> watched) : m_Path(std::move(path)) {
    for (auto& text : watched) m_Counts[text] = 0;
}

void LogWatch::Poll() {
    const int fd = open(m_Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buffer[65536];
    ssize_t n;
    while ((n = pread(fd, buffer, sizeof(buffer), m_Offset)) > 0) {
        m_Offset += n;
        m_Partial.append(buffer, static_cast<std::size_t>(n));
        std::size_t newline;
        while ((newline = m_Partial.find('\n')) != std::string::npos) {
            const std::string line = m_Partial.substr(0, newline);
            m_Partial.erase(0, newline + 1);
            for (auto& entry : m_Counts) {
                if (!Matches(line, entry.first)) continue;
                ++entry.second;
                auto& kept = m_Lines[entry.first];
                kept.push_back(line);
                if (kept.size() > 20) kept.pop_front();
            }
        }
    }
    close(fd);
}

uint64_t LogWatch::Count(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Poll();
    return m_Counts[text];
}

bool LogWatch::WaitCount(const std::string& text, uint64_t atLeast, Seconds limit) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(limit);
    while (true) {
        if (Count(text) >= atLeast) return true;
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::vector<std::string> LogWatch::Lines(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Poll();
    const auto& kept = m_Lines[text];
    return {kept.begin(), kept.end()};
}

// ---------------------------------------------------------------- /proc

ProcessFigures ReadProcess(pid_t pid) {
    ProcessFigures figures;
    const std::string base = "/proc/" + std::to_string(pid);
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line)) {
        figures.alive = true;
        if (line.compare(0, 6, "VmRSS:") == 0) figures.rssKiB = std::atol(line.c_str() + 6);
        if (line.compare(0, 8, "Threads:") == 0) figures.threads = std::atoi(line.c_str() + 8);
        // A zombie has no memory left to measure.
        if (line.compare(0, 6, "State:") == 0 && line.find('Z') != std::string::npos) figures.alive = false;
    }
    if (DIR* dir = opendir((base + "/fd").c_str())) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++figures.fds;
        closedir(dir);
    }
    return figures;
}

}  // namespace Soak
