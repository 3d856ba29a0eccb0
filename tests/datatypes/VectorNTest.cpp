#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "datatypes/VectorN.h"

using DataTypes::VectorN;

namespace {

template <typename Ex, typename F>
void ExpectThrowText(F&& f, const std::string& text) {
    try {
        f();
        FAIL() << "nothing thrown, expected: " << text;
    } catch (const Ex& e) {
        EXPECT_EQ(text, e.what());
    }
}

}  // namespace

TEST(VectorN, Construction) {
    const VectorN zeros(3);
    EXPECT_EQ(3, zeros.size());
    EXPECT_EQ("(0.0, 0.0, 0.0)", zeros.ToString(1));

    const float values[] = {1, 2, 3, 4};
    EXPECT_EQ("(1, 2)", VectorN(2, values).ToString(0));
    EXPECT_EQ("(3.0, 4.0)", VectorN(std::vector<float>{3, 4}).ToString(1));
    EXPECT_EQ(0, VectorN(0).size());
    EXPECT_EQ("()", VectorN(0).ToString(2));
    EXPECT_THROW(VectorN(-1), std::invalid_argument);
    EXPECT_THROW(VectorN(2, nullptr), std::invalid_argument);
}

TEST(VectorN, CopyAndAssignmentAreDeep) {
    VectorN a(std::vector<float>{1, 2});
    VectorN b(a);
    VectorN c(5);
    c = a;
    a[0] = 9;
    EXPECT_EQ(1.0f, b[0]);
    EXPECT_EQ(1.0f, c[0]);
    EXPECT_EQ(2, c.size());
    const VectorN& self = c;
    c = self;
    EXPECT_EQ("(1.00, 2.00)", c.ToString(2));
}

TEST(VectorN, IndexOutOfRange) {
    VectorN v(3);
    ExpectThrowText<std::out_of_range>([&] { v[3] = 1; }, "vector component out of range");
    const VectorN& cv = v;
    ExpectThrowText<std::out_of_range>([&] { (void)cv[3]; }, "vector component out of range");
    EXPECT_EQ("(0.0, 0.0, 0.0)", v.ToString(1));
}

TEST(VectorN, SizeMismatchThrowsAndLeavesOperandUnchanged) {
    VectorN a(std::vector<float>{1, 2, 3});
    const VectorN b(4);
    ExpectThrowText<std::invalid_argument>([&] { (void)(a + b); }, "tried to add VectorN with different sizes");
    ExpectThrowText<std::invalid_argument>([&] { a += b; }, "tried to add VectorN with different sizes");
    ExpectThrowText<std::invalid_argument>([&] { (void)(a - b); }, "tried to subtract VectorN with different sizes");
    ExpectThrowText<std::invalid_argument>([&] { a -= b; }, "tried to subtract VectorN with different sizes");
    EXPECT_EQ("(1.0, 2.0, 3.0)", a.ToString(1));
}

TEST(VectorN, Arithmetic) {
    const VectorN a(std::vector<float>{1, 2, 3});
    const VectorN b(std::vector<float>{0.5f, -1, 4});
    EXPECT_EQ("(1.50, 1.00, 7.00)", (a + b).ToString(2));
    EXPECT_EQ("(0.50, 3.00, -1.00)", (a - b).ToString(2));
    EXPECT_EQ("(-1.00, -2.00, -3.00)", (-a).ToString(2));
    EXPECT_EQ("(2.00, 4.00, 6.00)", (a * 2.0f).ToString(2));
    EXPECT_EQ("(0.50, 1.00, 1.50)", (a / 2.0).ToString(2));
    VectorN c = a;
    c += b;
    c -= a;
    EXPECT_EQ("(0.50, -1.00, 4.00)", c.ToString(2));
    EXPECT_DOUBLE_EQ(14.0, a.MagnitudeQ());
    EXPECT_NEAR(3.7416573867739413, a.Magnitude(), 1e-12);
}

TEST(VectorN, NormalizeKeepsZeroVector) {
    VectorN v(std::vector<float>{3, 0, 4});
    v.Normalize();
    EXPECT_EQ("(0.600, 0.000, 0.800)", v.ToString(3));
    VectorN zero(2);
    zero.Normalize();
    EXPECT_EQ("(0.0, 0.0)", zero.ToString(1));
}

TEST(VectorN, ToStringPrecision) {
    EXPECT_EQ("(1.50, 2.25)", VectorN(std::vector<float>{1.5f, 2.25f}).ToString(2));
    EXPECT_EQ("(2)", VectorN(std::vector<float>{1.5f}).ToString(0));
}
