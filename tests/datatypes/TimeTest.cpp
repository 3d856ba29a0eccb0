#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <stdexcept>

#include "datatypes/DateTime.h"
#include "datatypes/TimeSpan.h"

using DataTypes::Time::DateTime;
using DataTypes::Time::TimeSpan;

namespace {

timespec Ts(long s, long ns) {
    timespec t;
    t.tv_sec = s;
    t.tv_nsec = ns;
    return t;
}

}  // namespace

TEST(TimeSpan, Totals) {
    const TimeSpan span(Ts(2, 5000000));
    EXPECT_EQ(2, span.TotalSeconds());
    EXPECT_EQ(2005, span.TotalMilliseconds());
    EXPECT_EQ(0, TimeSpan(Ts(0, 999999)).TotalMilliseconds());
    EXPECT_EQ(-3000, TimeSpan(Ts(-3, 0)).TotalMilliseconds());
}

TEST(TimeSpan, LongSpansSaturateInsteadOfOverflowing) {
    // 30 days in milliseconds does not fit an int.
    EXPECT_EQ(INT_MAX, TimeSpan(Ts(30L * 86400, 0)).TotalMilliseconds());
    EXPECT_EQ(INT_MIN, TimeSpan(Ts(-30L * 86400, 0)).TotalMilliseconds());
    EXPECT_EQ(30 * 86400, TimeSpan(Ts(30L * 86400, 0)).TotalSeconds());
}

TEST(DateTime, SubtractBorrowsASecond) {
    const DateTime a(Ts(5, 100));
    const DateTime b(Ts(3, 200));
    // 1 s and 999999900 ns.
    const TimeSpan d = a - b;
    EXPECT_EQ(1, d.TotalSeconds());
    EXPECT_EQ(1999, d.TotalMilliseconds());
    EXPECT_EQ(1999, a.Subtract(b).TotalMilliseconds());

    const TimeSpan e = DateTime(Ts(5, 300000000)) - DateTime(Ts(3, 100000000));
    EXPECT_EQ(2, e.TotalSeconds());
    EXPECT_EQ(2200, e.TotalMilliseconds());
    EXPECT_EQ(-2200, (DateTime(Ts(3, 100000000)) - DateTime(Ts(5, 300000000))).TotalMilliseconds());
}

TEST(DateTime, SubtractSeconds) {
    const DateTime a(Ts(100, 250000000));
    EXPECT_EQ(90250, (a - 10L).TotalMilliseconds());
    EXPECT_EQ(90, a.Subtract(10L).TotalSeconds());
    EXPECT_EQ(-5, DateTime(5L).Subtract(10L).TotalSeconds());
    EXPECT_EQ(0, (DateTime() - DateTime()).TotalMilliseconds());
}

TEST(DateTime, Now) {
    const DateTime before = DateTime::Now(TIME_UTC);
    const DateTime after = DateTime::Now(TIME_UTC);
    EXPECT_GE((after - before).TotalMilliseconds(), 0);
    EXPECT_GT((before - DateTime(0L)).TotalSeconds(), 1600000000);
    EXPECT_THROW((void)DateTime::Now(0), std::invalid_argument);
}
