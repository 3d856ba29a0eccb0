// Pacing of a repeated log line.

#include <gtest/gtest.h>

#include <chrono>

#include "common/RepeatedEventLog.h"

namespace {

using Clock = RepeatedEventLog::Clock;
using Action = RepeatedEventLog::Action;

struct FakeClock {
    Clock::time_point now{std::chrono::seconds(100)};
    RepeatedEventLog::NowFunction Function() {
        return [this] { return now; };
    }
};

}  // namespace

TEST(RepeatedEventLog, FirstEventAtOnceThenOneSummaryPerIntervalWithCountAndWorst) {
    FakeClock clock;
    RepeatedEventLog log(std::chrono::seconds(5), clock.Function());

    EXPECT_EQ(log.Note(1.0).action, Action::LogEvent);
    // A thousand events a second for 4.9 s: nothing more is logged.
    int lines = 0;
    for (int i = 1; i < 4900; ++i) {
        clock.now += std::chrono::milliseconds(1);
        if (log.Note(i == 2000 ? 9.0 : 2.0).action != Action::None) ++lines;
    }
    EXPECT_EQ(lines, 0);
    clock.now += std::chrono::milliseconds(200);
    const RepeatedEventLog::Decision summary = log.Note(3.0);
    EXPECT_EQ(summary.action, Action::LogSummary);
    EXPECT_EQ(summary.count, 4900u);  // every event after the first, this one included
    EXPECT_DOUBLE_EQ(summary.worst, 9.0);

    // The next summary counts only what came after the last one.
    clock.now += std::chrono::seconds(1);
    EXPECT_EQ(log.Note(4.0).action, Action::None);
    clock.now += std::chrono::seconds(5);
    const RepeatedEventLog::Decision polled = log.Poll();
    EXPECT_EQ(polled.action, Action::LogSummary);
    EXPECT_EQ(polled.count, 1u);
    EXPECT_DOUBLE_EQ(polled.worst, 4.0);
}

TEST(RepeatedEventLog, AQuietIntervalEndsTheRunAndTheNextEventIsLoggedInFull) {
    FakeClock clock;
    RepeatedEventLog log(std::chrono::seconds(5), clock.Function());
    EXPECT_EQ(log.Note().action, Action::LogEvent);
    clock.now += std::chrono::seconds(6);
    EXPECT_EQ(log.Poll().action, Action::None);  // nothing counted: no summary line
    clock.now += std::chrono::milliseconds(1);
    EXPECT_EQ(log.Note().action, Action::LogEvent);

    // Without a poll in between, a lone event after a long quiet spell is in full too.
    clock.now += std::chrono::seconds(60);
    const RepeatedEventLog::Decision late = log.Note(7.0);
    EXPECT_EQ(late.action, Action::LogEvent);
    EXPECT_DOUBLE_EQ(late.worst, 7.0);
}
