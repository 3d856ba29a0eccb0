#include "controller/CycleWait.h"

#include <cerrno>
#include <ctime>
#include <utility>

CycleWait::CycleWait(int32_t marginUs, bool precise, NowFunction now, SleepUntilFunction sleepUntil)
    : m_MarginUs(marginUs > 0 ? static_cast<uint64_t>(marginUs) : 0),
      m_Precise(precise),
      m_Now(std::move(now)),
      m_SleepUntil(std::move(sleepUntil)) {}

uint64_t CycleWait::Until(uint64_t targetUs) const {
    uint64_t now = m_Now();
    if (!m_Precise && targetUs > m_MarginUs && targetUs - m_MarginUs > now) {
        m_SleepUntil(targetUs - m_MarginUs);
        now = m_Now();
    }
    while (now < targetUs) now = m_Now();
    return now;
}

uint64_t CycleWait::MonotonicUs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void CycleWait::SleepUntilMonotonicUs(uint64_t untilUs) {
    timespec until;
    until.tv_sec = static_cast<time_t>(untilUs / 1000000u);
    until.tv_nsec = static_cast<long>((untilUs % 1000000u) * 1000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}
