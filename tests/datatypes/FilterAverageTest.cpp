#include <gtest/gtest.h>

#include "datatypes/FilterAverage.h"

using DataTypes::FilterAverage;

TEST(FilterAverage, WindowIsClamped) {
    FilterAverage one(0);
    EXPECT_FLOAT_EQ(7.0f, one.GetNewAverage(7));
    EXPECT_FLOAT_EQ(-3.0f, one.GetNewAverage(-3));

    FilterAverage wide(40);
    // 25 slots: the first value counts 1/25.
    EXPECT_FLOAT_EQ(1.0f, wide.GetNewAverage(25));
    for (int i = 0; i < 30; ++i) wide.GetNewAverage(2);
    EXPECT_FLOAT_EQ(2.0f, wide.GetAverage());

    FilterAverage negative(-5);
    EXPECT_FLOAT_EQ(4.0f, negative.GetNewAverage(4));
}

TEST(FilterAverage, FillsThenSlides) {
    FilterAverage f;  // window 5
    EXPECT_FLOAT_EQ(0.0f, f.GetAverage());
    EXPECT_FLOAT_EQ(2.0f, f.GetNewAverage(10));
    EXPECT_FLOAT_EQ(4.0f, f.GetNewAverage(10));
    EXPECT_FLOAT_EQ(6.0f, f.GetNewAverage(10));
    EXPECT_FLOAT_EQ(8.0f, f.GetNewAverage(10));
    EXPECT_FLOAT_EQ(10.0f, f.GetNewAverage(10));
    // The oldest 10 drops out each time.
    EXPECT_FLOAT_EQ(8.0f, f.GetNewAverage(0));
    EXPECT_FLOAT_EQ(6.0f, f.GetNewAverage(0));
    EXPECT_FLOAT_EQ(6.0f, f.GetAverage());
}

TEST(FilterAverage, ResetAndCopy) {
    FilterAverage f(3);
    f.GetNewAverage(3);
    f.GetNewAverage(6);
    FilterAverage copy;
    copy = f;
    EXPECT_FLOAT_EQ(3.0f, copy.GetAverage());
    EXPECT_FLOAT_EQ(5.0f, copy.GetNewAverage(6));  // window 3 copied with its samples

    f.ResetFilter();
    EXPECT_FLOAT_EQ(0.0f, f.GetAverage());
    EXPECT_FLOAT_EQ(1.0f, f.GetNewAverage(3));
}
