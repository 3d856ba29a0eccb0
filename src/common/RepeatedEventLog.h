#pragma once
// Pacing for a log line that an event can repeat many times a second (a late
// robot cycle, a client that keeps sending bad frames): the first event of a
// run is logged in full at once, later ones are only counted, and a summary
// with their count and the worst magnitude is due once per interval while they
// go on. One thread uses an instance; the clock is injectable for tests.

#include <chrono>
#include <cstdint>
#include <functional>

class RepeatedEventLog {
public:
    using Clock = std::chrono::steady_clock;
    using NowFunction = std::function<Clock::time_point()>;

    enum class Action { None, LogEvent, LogSummary };
    struct Decision {
        Action action = Action::None;
        uint64_t count = 0;    // events the summary stands for (LogSummary)
        double worst = 0.0;    // largest magnitude among them (LogSummary)
    };

    explicit RepeatedEventLog(Clock::duration interval = std::chrono::seconds(5), NowFunction now = Clock::now);

    // One event. LogEvent: log this event in full. LogSummary: log the summary
    // of the events counted so far, this one included.
    Decision Note(double magnitude = 0.0);
    // No event now: a summary of counted events is due once the interval has run.
    Decision Poll();

private:
    Decision DueSummary(Clock::time_point now);

    Clock::duration m_Interval;
    NowFunction m_Now;
    bool m_InRun = false;
    Clock::time_point m_LastLine{};
    uint64_t m_Count = 0;
    double m_Worst = 0.0;
};
