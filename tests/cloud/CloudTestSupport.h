#pragma once
// Shared pieces of the cloud tests: a scratch root with its own device
// identifier file, and a test broker with TLS from a throw-away CA together
// with a subscriber that records every message it receives.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace CloudTest {

// A scratch root (the log's root while it lives) whose device identifier is
// the given text; the identifier file goes back to the default afterwards.
class DeviceRoot {
public:
    explicit DeviceRoot(const std::string& deviceId = "3d1219c7c4c5404aaa1f6d2a48adfda4");
    ~DeviceRoot();
    void SetDeviceId(const std::string& deviceId);
    std::string File(const std::string& relative) const { return scratch.File(relative); }
    std::string Path() const { return scratch.Path(); }

private:
    TestSupport::ScratchRoot scratch;
};

// A settable wall clock for the client.
struct FakeClock {
    std::shared_ptr<std::atomic<int64_t>> now = std::make_shared<std::atomic<int64_t>>(1'700'000'000);
    std::function<int64_t()> Function() const {
        auto value = now;
        return [value]() { return value->load(); };
    }
    void Advance(int64_t seconds) const { *now += seconds; }
};

struct Message {
    std::string topic;
    int qos = -1;
    bool retained = false;
    std::string payload;
};

// A mosquitto on a free loopback port with TLS; its CA and server
// certificate are made for it in a directory of its own.
class TestBroker {
public:
    // `serverNames`: the subject alternative names of the broker's certificate;
    // an `expired` one ended its validity a day ago.
    explicit TestBroker(const std::string& serverNames = "IP:127.0.0.1,DNS:localhost", bool expired = false);
    ~TestBroker();
    TestBroker(const TestBroker&) = delete;
    TestBroker& operator=(const TestBroker&) = delete;

    void Start();
    void Stop();
    // Freezes and thaws the broker process: connections stay, nothing is answered.
    void Pause() const;
    void Resume() const;
    int Port() const { return port; }
    std::string Uri() const { return "ssl://127.0.0.1:" + std::to_string(port); }
    std::string CaFile() const { return dir + "/ca.pem"; }
    // A CA that did not sign the broker's certificate.
    std::string OtherCaFile() const { return dir + "/other-ca.pem"; }
    // What the broker logged so far.
    std::string Log() const;

private:
    std::string dir;
    int port = 0;
    int pid = -1;
};

// mosquitto_sub on "user/#" with the flags as published.
class Subscriber {
public:
    explicit Subscriber(const TestBroker& broker, const std::string& filter = "user/#");
    ~Subscriber();
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    std::vector<Message> Messages() const;
    // Messages on topics that end with the suffix.
    std::vector<Message> On(const std::string& suffix) const;
    bool WaitFor(const std::function<bool(const std::vector<Message>&)>& condition,
                 std::chrono::milliseconds limit = std::chrono::seconds(30)) const;
    bool WaitForCount(const std::string& suffix, std::size_t count,
                      std::chrono::milliseconds limit = std::chrono::seconds(30)) const;

private:
    std::string output;
    int pid = -1;
};

// A loopback listener that plays a broker stalling the TLS handshake. It
// closes at once the next connections it is told to (so the MQTT library's
// own attempts fail fast), and keeps every further one open: silent, or
// trickling the start of a TLS record one byte a second (the first at once)
// for at most 20 s. What the client sends is read and dropped.
class StallingBroker {
public:
    enum class Mode { Silent, Trickle };
    // The MQTT library tries each connect twice (two protocol versions).
    static constexpr int LibraryAttempts = 2;

    explicit StallingBroker(Mode mode);
    ~StallingBroker();
    StallingBroker(const StallingBroker&) = delete;
    StallingBroker& operator=(const StallingBroker&) = delete;

    void CloseNext(int count) { toClose += count; }
    // Connections accepted so far.
    int Accepted() const { return accepted.load(); }
    int Port() const { return port; }
    std::string Uri() const { return "ssl://127.0.0.1:" + std::to_string(port); }

private:
    void Run();

    Mode mode;
    int listener = -1;
    int port = 0;
    int wake[2] = {-1, -1};
    std::atomic<int> toClose{0};
    std::atomic<int> accepted{0};
    std::thread thread;
};

// Milliseconds, so that a failed bound prints readably.
inline long long Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace CloudTest
