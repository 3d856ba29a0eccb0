#include "controller/CycleWait.h"

#include <cerrno>
#include <ctime>
#include <utility>

#include "controller/RobotMaster.h"

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
    return RobotMaster::ToMicroSec(now);
}

void CycleWait::SleepUntilMonotonicUs(uint64_t untilUs) {
    const timespec until = RobotMaster::FromMicroSec(untilUs);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}
