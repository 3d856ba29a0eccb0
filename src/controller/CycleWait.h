#pragma once
// The robot thread's wait for the start of its next cycle. It sleeps on the
// monotonic clock to an absolute time a short margin before that start and
// busy-waits only the margin, which takes up the wake-up latency of the
// sleep; a whole spin would keep a core busy for a little more precision. With
// precise timing it busy-waits throughout. Clock and sleep are injectable so
// that tests can see where it sleeps to without waiting.

#include <cstdint>
#include <functional>

class CycleWait {
public:
    // Microseconds on the monotonic clock.
    using NowFunction = std::function<uint64_t()>;
    using SleepUntilFunction = std::function<void(uint64_t untilUs)>;

    // Busy-waited before each cycle start unless the robot file sets another margin.
    static constexpr int32_t DefaultMarginUs = 300;

    explicit CycleWait(int32_t marginUs = DefaultMarginUs, bool precise = false, NowFunction now = MonotonicUs,
                       SleepUntilFunction sleepUntil = SleepUntilMonotonicUs);

    // Returns at `targetUs` or later (at once when it has passed), with the time it read last.
    uint64_t Until(uint64_t targetUs) const;

    static uint64_t MonotonicUs();
    // clock_nanosleep to an absolute time, resumed after a signal.
    static void SleepUntilMonotonicUs(uint64_t untilUs);

private:
    uint64_t m_MarginUs;
    bool m_Precise;
    NowFunction m_Now;
    SleepUntilFunction m_SleepUntil;
};
