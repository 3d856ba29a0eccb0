#include "datatypes/DateTime.h"

#include <stdexcept>

namespace DataTypes {
namespace Time {

DateTime DateTime::Now(int base) {
    timespec ts{0, 0};
    const int result = timespec_get(&ts, base);
    if (result == 0 || result != base) {
        throw std::invalid_argument("DateTime: unsupported time base");
    }
    return DateTime(ts);
}

TimeSpan DateTime::Subtract(const DateTime& other) const {
    timespec d;
    d.tv_sec = m_Time.tv_sec - other.m_Time.tv_sec;
    d.tv_nsec = m_Time.tv_nsec - other.m_Time.tv_nsec;
    if (m_Time.tv_nsec < other.m_Time.tv_nsec) {
        d.tv_sec -= 1;
        d.tv_nsec += 1000000000L;
    }
    return TimeSpan(d);
}

TimeSpan DateTime::Subtract(long seconds) const {
    timespec d = m_Time;
    d.tv_sec -= seconds;
    return TimeSpan(d);
}

}  // namespace Time
}  // namespace DataTypes
