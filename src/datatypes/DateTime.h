#pragma once
// A point in time as seconds and nanoseconds.

#include <ctime>

#include "datatypes/TimeSpan.h"

namespace DataTypes {
namespace Time {

class DateTime {
public:
    DateTime() : m_Time{0, 0} {}
    explicit DateTime(long seconds) : m_Time{seconds, 0} {}
    explicit DateTime(const timespec& time) : m_Time(time) {}

    // The current time of the given base (TIME_UTC); an unsupported base
    // throws std::invalid_argument.
    static DateTime Now(int base);

    // This minus other, borrowing a second when the nanoseconds require it.
    TimeSpan operator-(const DateTime& other) const { return Subtract(other); }
    TimeSpan Subtract(const DateTime& other) const;
    // Seconds minus the given number; nanoseconds unchanged.
    TimeSpan operator-(long seconds) const { return Subtract(seconds); }
    TimeSpan Subtract(long seconds) const;

private:
    timespec m_Time;
};

}  // namespace Time
}  // namespace DataTypes
