#include "cloud/CloudTestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <cstdint>
#include <thread>

#include "cloud/DeviceIdentifier.h"
#include "vision/FakeCameras.h"

extern char** environ;

namespace CloudTest {

namespace {

// Starts the program with its output in a file; returns its process id.
int Spawn(const std::vector<std::string>& args, const std::string& output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("could not start " + args[0]);
    return pid;
}

void End(int& pid) {
    if (pid <= 0) return;
    kill(pid, SIGCONT);
    kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

void Run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) throw std::runtime_error("failed: " + command);
}

bool Accepts(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(s);
    return ok;
}

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

const char* const ProbeTopic = "user/probe/ready";

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    return VisionTest::WaitFor(condition, limit);
}

// ---------------------------------------------------------------- device root

DeviceRoot::DeviceRoot(const std::string& deviceId) { SetDeviceId(deviceId); }

DeviceRoot::~DeviceRoot() { Cloud::SetDeviceIdentifierFile("/etc/machine-id"); }

void DeviceRoot::SetDeviceId(const std::string& deviceId) {
    TestSupport::WriteFile(scratch.File("machine-id"), deviceId + "\n");
    Cloud::SetDeviceIdentifierFile(scratch.File("machine-id"));
}

// ---------------------------------------------------------------- broker

TestBroker::TestBroker(const std::string& serverNames, bool expired) {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvella-broker-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    // The broker drops root for its own user, which must still read all of it.
    chmod(dir.c_str(), 0755);
    const std::string ssl = KORVELLA_OPENSSL;
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    TestSupport::WriteFile(dir + "/server.ext",
                           "basicConstraints=CA:FALSE\nsubjectAltName=" + serverNames + "\n"
                           "extendedKeyUsage=serverAuth\n");
    Run(ssl + " req -x509" + ec + " -keyout " + dir + "/ca.key -out " + dir +
        "/ca.pem -days 2 -subj /CN=Korvella-Test-CA");
    Run(ssl + " req -x509" + ec + " -keyout " + dir + "/other-ca.key -out " + dir +
        "/other-ca.pem -days 2 -subj /CN=Korvella-Test-CA");
    Run(ssl + " req" + ec + " -keyout " + dir + "/server.key -out " + dir + "/server.csr -subj /CN=localhost");
    Run(ssl + " x509 -req -in " + dir + "/server.csr -CA " + dir + "/ca.pem -CAkey " + dir + "/ca.key -CAcreateserial -out " +
        dir + "/server.pem -days " + (expired ? "-1" : "2") + " -extfile " + dir + "/server.ext");
    for (const char* file : {"ca.pem", "other-ca.pem", "server.pem", "server.key"})
        chmod((dir + "/" + file).c_str(), 0644);
    port = TestSupport::FreeLoopbackPort();
    if (port == 0) throw std::runtime_error("no free port");
    TestSupport::WriteFile(dir + "/mosquitto.conf", "listener " + std::to_string(port) +
                                                        " 127.0.0.1\n"
                                                        "cafile " + dir + "/ca.pem\n"
                                                        "certfile " + dir + "/server.pem\n"
                                                        "keyfile " + dir + "/server.key\n"
                                                        "allow_anonymous true\n"
                                                        "persistence false\n"
                                                        "log_dest stdout\n");
    Start();
}

TestBroker::~TestBroker() {
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

void TestBroker::Start() {
    if (pid > 0) return;
    pid = Spawn({KORVELLA_MOSQUITTO, "-c", dir + "/mosquitto.conf"}, dir + "/broker.log");
    if (!WaitUntil([this]() { return Accepts(port); }, std::chrono::seconds(20)))
        throw std::runtime_error("broker did not start: " + TestSupport::ReadFile(dir + "/broker.log"));
}

void TestBroker::Stop() { End(pid); }

std::string TestBroker::Log() const { return TestSupport::ReadFile(dir + "/broker.log"); }

void TestBroker::Pause() const {
    if (pid > 0) kill(pid, SIGSTOP);
}

void TestBroker::Resume() const {
    if (pid > 0) kill(pid, SIGCONT);
}

// ---------------------------------------------------------------- stalling broker

StallingBroker::StallingBroker(Mode mode) : mode(mode) {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 16) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        pipe2(wake, O_CLOEXEC) != 0) {
        if (listener >= 0) close(listener);
        throw std::runtime_error("stalling broker: no listener");
    }
    port = ntohs(address.sin_port);
    thread = std::thread(&StallingBroker::Run, this);
}

StallingBroker::~StallingBroker() {
    const char stop = 's';
    [[maybe_unused]] const ssize_t written = write(wake[1], &stop, 1);
    thread.join();
    close(listener);
    close(wake[0]);
    close(wake[1]);
}

void StallingBroker::Run() {
    // The start of a ServerHello record that announces 16 kB and never completes.
    static const unsigned char trickle[] = {0x16, 0x03, 0x03, 0x40, 0x00, 0x02, 0x00, 0x3f, 0xfc, 0x03,
                                            0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    struct Peer {
        int fd;
        std::size_t sent;
        std::chrono::steady_clock::time_point next;
        bool gone;
    };
    std::vector<Peer> peers;
    while (true) {
        std::vector<pollfd> fds = {{wake[0], POLLIN, 0}, {listener, POLLIN, 0}};
        for (const Peer& p : peers) fds.push_back({p.fd, POLLIN, 0});
        poll(fds.data(), fds.size(), 50);
        if (fds[0].revents != 0) break;
        if (fds[1].revents != 0) {
            const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                int left = toClose.load();
                while (left > 0 && !toClose.compare_exchange_weak(left, left - 1)) {
                }
                if (left > 0) {
                    close(fd);
                } else {
                    peers.push_back({fd, 0, std::chrono::steady_clock::now(), false});
                }
                ++accepted;
            }
        }
        // fds holds the peers that were there before this pass's accept, in order.
        for (std::size_t i = 0; i + 2 < fds.size(); ++i) {
            if (fds[i + 2].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = recv(peers[i].fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) peers[i].gone = true;
        }
        for (Peer& p : peers) {
            if (p.gone || mode != Mode::Trickle || p.sent >= sizeof(trickle) ||
                std::chrono::steady_clock::now() < p.next)
                continue;
            if (send(p.fd, trickle + p.sent, 1, MSG_NOSIGNAL) != 1) p.gone = true;
            ++p.sent;
            p.next += std::chrono::seconds(1);
        }
        for (auto p = peers.begin(); p != peers.end();) {
            if (p->gone) {
                close(p->fd);
                p = peers.erase(p);
            } else {
                ++p;
            }
        }
    }
    for (const Peer& p : peers) close(p.fd);
}

// ---------------------------------------------------------------- subscriber

Subscriber::Subscriber(const TestBroker& broker, const std::string& filter) {
    char name[] = "/tmp/korvella-sub-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    output = name;
    const std::string port = std::to_string(broker.Port());
    pid = Spawn({KORVELLA_MOSQUITTO_SUB, "-h", "127.0.0.1", "-p", port, "--cafile", broker.CaFile(), "-t", filter, "-t",
                 ProbeTopic, "-V", "mqttv5", "--retain-as-published", "-q", "2", "-F", "%t|%q|%r|%x"},
                output);
    // Subscribed once a probe comes back.
    const bool ready = WaitUntil(
        [&]() {
            if (TestSupport::ReadFile(output).find(ProbeTopic) != std::string::npos) return true;
            Run(std::string(KORVELLA_MOSQUITTO_PUB) + " -h 127.0.0.1 -p " + port + " --cafile " + broker.CaFile() +
                " -t " + ProbeTopic + " -m ready");
            return false;
        },
        std::chrono::seconds(20));
    if (!ready) throw std::runtime_error("subscriber did not start: " + TestSupport::ReadFile(output));
}

Subscriber::~Subscriber() {
    End(pid);
    std::remove(output.c_str());
}

std::vector<Message> Subscriber::Messages() const {
    std::vector<Message> messages;
    std::istringstream in(TestSupport::ReadFile(output));
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (int i = 0; i < 3; ++i) {
            const std::size_t bar = line.find('|', start);
            if (bar == std::string::npos) break;
            fields.push_back(line.substr(start, bar - start));
            start = bar + 1;
        }
        if (fields.size() != 3 || fields[0] == ProbeTopic) continue;
        Message m;
        m.topic = fields[0];
        m.qos = std::atoi(fields[1].c_str());
        m.retained = fields[2] == "1";
        m.payload = FromHex(line.substr(start));
        messages.push_back(m);
    }
    return messages;
}

std::vector<Message> Subscriber::On(const std::string& suffix) const {
    std::vector<Message> found;
    for (const Message& m : Messages())
        if (m.topic.size() >= suffix.size() && m.topic.compare(m.topic.size() - suffix.size(), suffix.size(), suffix) == 0)
            found.push_back(m);
    return found;
}

bool Subscriber::WaitFor(const std::function<bool(const std::vector<Message>&)>& condition,
                         std::chrono::milliseconds limit) const {
    return WaitUntil([&]() { return condition(Messages()); }, limit);
}

bool Subscriber::WaitForCount(const std::string& suffix, std::size_t count, std::chrono::milliseconds limit) const {
    return WaitUntil([&]() { return On(suffix).size() >= count; }, limit);
}

}  // namespace CloudTest
