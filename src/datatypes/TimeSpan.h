#pragma once
// A duration in seconds and nanoseconds.

#include <ctime>

namespace DataTypes {
namespace Time {

class TimeSpan {
public:
    explicit TimeSpan(const timespec& span) : m_Span(span) {}

    // Whole seconds, saturated to the range of int.
    int TotalSeconds() const;
    // Seconds * 1000 + nanoseconds / 1000000, saturated to the range of int.
    int TotalMilliseconds() const;

private:
    timespec m_Span;
};

}  // namespace Time
}  // namespace DataTypes
