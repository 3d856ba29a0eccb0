#pragma once
// A serial device played by the test on a pseudo-terminal: the controller opens
// the port by its name, the test writes and reads the other end.

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace PtyTest {

class PtyDevice {
public:
    PtyDevice() {
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
        portName = name;
        termios raw {};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyDevice() {
        StopSending();
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    bool Ok() const { return master >= 0; }
    const std::string& Name() const { return portName; }

    bool Write(const std::vector<uint8_t>& bytes) {
        std::size_t done = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (done < bytes.size() && std::chrono::steady_clock::now() < end) {
            const ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return done == bytes.size();
    }

    // Whatever arrived, waiting up to `ms` for the first byte and a little for the rest.
    std::vector<uint8_t> Read(int ms = 200) {
        std::vector<uint8_t> got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        auto quietSince = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() < end) {
            uint8_t buffer[512];
            const ssize_t n = read(master, buffer, sizeof(buffer));
            if (n > 0) {
                got.insert(got.end(), buffer, buffer + n);
                quietSince = std::chrono::steady_clock::now();
            } else if (!got.empty() && std::chrono::steady_clock::now() - quietSince > std::chrono::milliseconds(20)) {
                break;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return got;
    }

    // Repeats `bytes` every `periodMs` on a thread until StopSending (a device that talks on its own).
    void StartSending(const std::vector<uint8_t>& bytes, int periodMs) {
        StopSending();
        sending = true;
        sender = std::thread([this, bytes, periodMs]() {
            while (sending) {
                if (write(master, bytes.data(), bytes.size()) < 0) {
                    // A full buffer: try again next period.
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
            }
        });
    }
    void StopSending() {
        sending = false;
        if (sender.joinable()) sender.join();
    }

    int master = -1;
    int slave = -1;

private:
    std::string portName;
    std::atomic<bool> sending{false};
    std::thread sender;
};

}  // namespace PtyTest
