#include "common/RepeatedEventLog.h"

#include <utility>

RepeatedEventLog::RepeatedEventLog(Clock::duration interval, NowFunction now)
    : m_Interval(interval), m_Now(std::move(now)) {}

RepeatedEventLog::Decision RepeatedEventLog::Note(double magnitude) {
    const Clock::time_point now = m_Now();
    // A quiet interval since the last line ends the run, polled or not.
    if (m_InRun && m_Count == 0 && now - m_LastLine >= m_Interval) m_InRun = false;
    if (!m_InRun) {
        m_InRun = true;
        m_LastLine = now;
        m_Count = 0;
        m_Worst = 0.0;
        return {Action::LogEvent, 1, magnitude};
    }
    if (m_Count == 0 || magnitude > m_Worst) m_Worst = magnitude;
    ++m_Count;
    return DueSummary(now);
}

RepeatedEventLog::Decision RepeatedEventLog::Poll() {
    if (!m_InRun) return {};
    return DueSummary(m_Now());
}

RepeatedEventLog::Decision RepeatedEventLog::DueSummary(Clock::time_point now) {
    if (now - m_LastLine < m_Interval) return {};
    if (m_Count == 0) {
        // A quiet interval ends the run: the next event is logged in full again.
        m_InRun = false;
        return {};
    }
    Decision decision{Action::LogSummary, m_Count, m_Worst};
    m_LastLine = now;
    m_Count = 0;
    m_Worst = 0.0;
    return decision;
}
