#pragma once
// Helpers for the tests of the log singleton: a fake clock (and the shared line capture).

#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "common/LogSingleton.h"
#include "support/LogCapture.h"

namespace CommonTest {

using TestSupport::CapturedLine;
using TestSupport::LogCapture;


// Replaces both clocks of the log singleton while it lives.
class FakeClock {
public:
    explicit FakeClock(time_t realSeconds = 1700000000, time_t monotonicSeconds = 1000) {
        m_Real.tv_sec = realSeconds;
        m_Monotonic.tv_sec = monotonicSeconds;
        LogSingleton::instance()->SetNowFunction([this](clockid_t clock) {
            std::lock_guard<std::mutex> lock(m_Mutex);
            return clock == CLOCK_MONOTONIC ? m_Monotonic : m_Real;
        });
    }
    ~FakeClock() { LogSingleton::instance()->SetNowFunction(nullptr); }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    void AdvanceMS(long long milliseconds) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        Advance(m_Real, milliseconds);
        Advance(m_Monotonic, milliseconds);
    }
    time_t RealSeconds() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Real.tv_sec;
    }

private:
    static void Advance(timespec& ts, long long milliseconds) {
        long long ns = static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec + milliseconds * 1000000LL;
        ts.tv_sec = static_cast<time_t>(ns / 1000000000LL);
        ts.tv_nsec = static_cast<long>(ns % 1000000000LL);
    }

    mutable std::mutex m_Mutex;
    timespec m_Real{};
    timespec m_Monotonic{};
};

// Reads the remaining lines of the log ring.
inline void DrainLogRing() {
    std::string line;
    while (LogSingleton::instance()->GetLogMessage(&line) > 0) {
    }
}

}  // namespace CommonTest
