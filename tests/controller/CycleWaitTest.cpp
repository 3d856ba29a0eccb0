// The robot thread's wait for its next cycle start, on a fake clock: where it
// sleeps to, what it leaves to the busy-wait, and when it does not sleep.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "controller/CycleWait.h"

namespace {

// A clock that moves 1 µs per reading and jumps to where a sleep ends, a
// little late as a real wake-up is.
struct FakeClock {
    uint64_t now = 1000000;
    uint64_t wakeUpLatency = 0;
    std::vector<uint64_t> sleeps;
    int readings = 0;

    CycleWait Wait(int32_t marginUs, bool precise) {
        return CycleWait(
            marginUs, precise,
            [this]() {
                ++readings;
                return now++;
            },
            [this](uint64_t until) {
                sleeps.push_back(until);
                if (until > now) now = until;
                now += wakeUpLatency;
            });
    }
};

}  // namespace

TEST(CycleWait, SleepsToTheMarginBeforeTheTargetAndSpinsOnlyTheMargin) {
    const struct {
        int32_t marginUs;
        bool precise;
        uint64_t aheadUs;            // target - now at the call
        uint64_t latencyUs;          // how late the sleep wakes
        std::vector<uint64_t> sleep;  // relative to the target, µs before it
    } cases[] = {
        {500, false, 10000, 0, {500}},     // a 10 ms period: one sleep to 0.5 ms before the start
        {500, false, 10000, 200, {500}},   // a late wake-up is taken up by the margin
        {2000, false, 4000, 0, {2000}},    // a wider margin from the robot file
        {0, false, 1000, 0, {0}},          // margin 0: sleeps to the start itself
        {500, false, 400, 0, {}},          // less than the margin left: spin only
        {500, false, 500, 0, {}},          // exactly the margin left: spin only
        {500, true, 10000, 0, {}},         // precise timing spins throughout
        {-3, false, 1000, 0, {0}},         // a negative margin counts as 0
    };
    for (const auto& c : cases) {
        FakeClock clock;
        clock.wakeUpLatency = c.latencyUs;
        const uint64_t target = clock.now + c.aheadUs;
        const uint64_t ended = clock.Wait(c.marginUs, c.precise).Until(target);
        std::vector<uint64_t> expected;
        for (uint64_t before : c.sleep) expected.push_back(target - before);
        EXPECT_EQ(clock.sleeps, expected) << c.marginUs << " " << c.precise << " " << c.aheadUs;
        EXPECT_GE(ended, target);
        // The spin reads the clock about once per µs of what is left after the sleep.
        if (!c.sleep.empty()) {
            EXPECT_LE(clock.readings, static_cast<int>(c.sleep.front()) + 3) << c.marginUs << " " << c.aheadUs;
        }
    }
}

TEST(CycleWait, AnOverrunCycleNeitherSleepsNorWaits) {
    FakeClock clock;
    const uint64_t target = clock.now - 3000;
    const uint64_t ended = clock.Wait(500, false).Until(target);
    EXPECT_TRUE(clock.sleeps.empty());
    EXPECT_EQ(clock.readings, 1);
    EXPECT_EQ(ended, target + 3000);
}

TEST(CycleWait, TheRealClockSleepsAndEndsAtTheTarget) {
    // No bound on lateness here: only that the absolute sleep does not end early.
    const uint64_t start = CycleWait::MonotonicUs();
    const uint64_t target = start + 20000;
    const uint64_t ended = CycleWait().Until(target);
    EXPECT_GE(ended, target);
    EXPECT_GE(CycleWait::MonotonicUs(), target);
}
