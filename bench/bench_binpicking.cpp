// The bin-picking camera's poll loop against a vision computer that answers
// every "REQUEST" at once, on loopback: requests per second, and the CPU the
// controller's side (the camera's connection thread) takes, as a share of one
// core. The peer's own CPU is measured on its thread and left out.
//
//     build/bench/bench_binpicking [--seconds N]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <tinyxml2.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "vision/CameraBinPicking.h"

namespace {

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& v) { return static_cast<double>(v.tv_sec) + static_cast<double>(v.tv_usec) * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Accepts one connection and answers each "REQUEST" with a pass at once.
class InstantPeer {
public:
    InstantPeer() {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(listener, 1) != 0) {
            std::perror("listen");
            std::exit(1);
        }
        socklen_t length = sizeof(address);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        worker = std::thread([this] { Serve(); });
    }
    ~InstantPeer() {
        stop = true;
        worker.join();
        close(listener);
    }
    int Port() const { return port; }
    long Requests() const { return requests; }
    double CpuSeconds() const { return cpuSeconds; }

private:
    void Serve() {
        const std::string reply = "0000startPASS#0.9#1#2#400#300#12.5#0.5stop";
        int fd = -1;
        std::string pending;
        char buffer[4096];
        while (!stop) {
            pollfd entry{fd >= 0 ? fd : listener, POLLIN, 0};
            if (poll(&entry, 1, 50) <= 0) continue;
            if (fd < 0) {
                fd = accept(listener, nullptr, nullptr);
                continue;
            }
            const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                close(fd);
                fd = -1;
                continue;
            }
            pending.append(buffer, static_cast<std::size_t>(n));
            std::size_t at;
            while ((at = pending.find("REQUEST")) != std::string::npos) {
                pending.erase(0, at + 7);
                ++requests;
                if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) break;
            }
            cpuSeconds = ThreadCpuSeconds();
        }
        if (fd >= 0) close(fd);
        cpuSeconds = ThreadCpuSeconds();
    }

    int listener = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::atomic<long> requests{0};
    std::atomic<double> cpuSeconds{0};
    std::thread worker;
};

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--seconds N]\n", argv[0]);
            return 2;
        }
    }
    InstantPeer peer;
    Camera::CameraBinPicking camera("bin");
    tinyxml2::XMLDocument document;
    document.Parse(("<HwCamera Type=\"SolutionBinPicking\" Name=\"bin\" Active=\"True\" IP=\"127.0.0.1\" Port=\"" +
                    std::to_string(peer.Port()) + "\"/>")
                       .c_str());
    camera.Read(*document.RootElement());
    camera.Start();
    while (!camera.IsConnected()) std::this_thread::sleep_for(std::chrono::milliseconds(10));

    const long requestsBefore = peer.Requests();
    const double peerBefore = peer.CpuSeconds();
    const double processBefore = ProcessCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long requests = peer.Requests() - requestsBefore;
    const double controller = (ProcessCpuSeconds() - processBefore) - (peer.CpuSeconds() - peerBefore);
    camera.Stop();

    std::printf("bin-picking poll against an instant peer: %.1f s, %ld requests, %.0f requests/s, controller CPU %.1f %% "
                "of a core\n",
                elapsed, requests, static_cast<double>(requests) / elapsed, 100.0 * controller / elapsed);
    return 0;
}
