// Round trips of remote-control queries on loopback, one at a time: a client
// sends "CMD GetVersion", waits for its reply and, reading everything the
// server sends, pauses before the next query, while a main-loop thread
// publishes the status lines each pass as the controller does. Prints the
// median, the 95th percentile and the longest round trip, and a bare TCP echo
// on loopback in the same run for comparison.
//
//     KORVELLA_LOG_NO_WAIT=1 build/bench/bench_remote_roundtrip [--queries N] [--pause-ms MS]
//
// Run it in a scratch directory: the log singleton writes its files there.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/LogSingleton.h"
#include "common/SendAll.h"
#include "controller/RobotMaster.h"
#include "datatypes/RobotState.h"
#include "server/ComServerManager.h"

namespace {

using Clock = std::chrono::steady_clock;

int ConnectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

// Waits up to the time for bytes and appends what one read gives; false when the peer closed.
bool ReadSome(int fd, std::string& received, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) <= 0) return true;
    char buffer[65536];
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return false;
    received.append(buffer, static_cast<std::size_t>(n));
    return true;
}

// Reads everything that arrives within the time.
void ReadFor(int fd, std::string& received, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
        if (!ReadSome(fd, received, static_cast<int>(std::max<long long>(left, 1)))) return;
    }
}

struct Figures {
    double median = 0, p95 = 0, longest = 0;
    int over30 = 0;
};

Figures Summarise(std::vector<double> ms) {
    Figures f;
    if (ms.empty()) return f;
    std::sort(ms.begin(), ms.end());
    f.median = ms[ms.size() / 2];
    f.p95 = ms[std::min(ms.size() - 1, (ms.size() * 95 + 99) / 100 - 1)];
    f.longest = ms.back();
    f.over30 = static_cast<int>(std::count_if(ms.begin(), ms.end(), [](double v) { return v > 30.0; }));
    return f;
}

// The remote-control server with a main loop publishing status lines, and paced queries.
std::vector<double> ServerRoundTrips(int queries, int pauseMs) {
    static RobotMaster robotMaster;
    ComServerManager* manager = ComServerManager::Instance();
    manager->SetPort(0);
    manager->Init(&robotMaster, nullptr, nullptr);
    manager->Start();
    while (manager->GetBoundPort() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));

    std::atomic<bool> stop{false};
    std::thread mainLoop([&]() {
        DataTypes::RobotState state;
        while (!stop) {
            manager->CallSetCurrentPos(state);
            manager->CallPublishData();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            manager->SendServerMessages();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            manager->CallPublishLogMessage();
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    });

    const int fd = ConnectLoopback(manager->GetBoundPort());
    std::string received;
    ReadFor(fd, received, std::chrono::milliseconds(500));  // the greeting and the first status lines
    std::vector<double> trips;
    for (int i = 0; i < queries; ++i) {
        const std::string counter = std::to_string(100 + i % 800);
        const std::string query = "HXPSTART " + counter + " CMD GetVersion HXPEND";
        received.clear();
        const auto sent = Clock::now();
        if (Net::SendAll(fd, query.data(), query.size()) != query.size()) break;
        bool answered = false;
        while (!answered && Clock::now() - sent < std::chrono::seconds(5)) {
            if (!ReadSome(fd, received, 100)) break;
            answered = received.find(" INFO Version ") != std::string::npos;
        }
        if (!answered) {
            std::fprintf(stderr, "query %d got no reply\n", i);
            break;
        }
        trips.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        ReadFor(fd, received, std::chrono::milliseconds(pauseMs));
    }
    close(fd);
    stop = true;
    mainLoop.join();
    manager->Shutdown();
    return trips;
}

// A bare echo on loopback with the sockets' defaults, paced the same way.
std::vector<double> EchoRoundTrips(int queries, int pauseMs) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("echo listener");
        std::exit(1);
    }
    std::thread echo([listener]() {
        const int peer = accept(listener, nullptr, nullptr);
        char buffer[4096];
        ssize_t n = 0;
        while ((n = recv(peer, buffer, sizeof(buffer), 0)) > 0) Net::SendAll(peer, buffer, static_cast<std::size_t>(n));
        close(peer);
    });
    const int fd = ConnectLoopback(ntohs(address.sin_port));
    std::vector<double> trips;
    const std::string query = "HXPSTART 1 CMD GetVersion HXPEND";
    for (int i = 0; i < queries; ++i) {
        std::string received;
        const auto sent = Clock::now();
        Net::SendAll(fd, query.data(), query.size());
        while (received.size() < query.size() && ReadSome(fd, received, 100)) {
        }
        trips.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    close(fd);
    echo.join();
    close(listener);
    return trips;
}

void Print(const char* what, const std::vector<double>& trips) {
    const Figures f = Summarise(trips);
    std::printf("%-28s %4zu round trips: median %7.3f ms, 95th percentile %7.3f ms, longest %7.3f ms, over 30 ms: %d\n",
                what, trips.size(), f.median, f.p95, f.longest, f.over30);
}

}  // namespace

int main(int argc, char** argv) {
    int queries = 200;
    int pauseMs = 40;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--queries") == 0) queries = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--pause-ms") == 0) pauseMs = std::atoi(argv[i + 1]);
    }
    LogSingleton::instance()->set_opMode(opModeNormal);
    const std::vector<double> server = ServerRoundTrips(queries, pauseMs);
    const std::vector<double> echo = EchoRoundTrips(queries, pauseMs);
    std::fflush(stdout);
    std::printf("\n");
    Print("remote-control query", server);
    Print("bare TCP echo", echo);
    return server.size() == static_cast<std::size_t>(queries) ? 0 : 1;
}
