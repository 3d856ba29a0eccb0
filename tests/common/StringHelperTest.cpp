// String helpers.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/StringHelper.h"

TEST(StringHelper, SplitGetLast) {
    struct Case {
        std::string text, separator, expected;
    };
    const Case cases[] = {
        {"a.b.c", ".", "c"},
        {"a.b.c", "", "a.b.c"},
        {"Data/Robots/Arm/Arm.xml", "/", "Arm.xml"},
        {"Arms/SixAxis", "/", "SixAxis"},
        {"noseparator", "/", "noseparator"},
        {"trailing/", "/", ""},
        {"a::b::c", "::", "c"},
        {"", "/", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StringHelper::SplitGetLast(c.text, c.separator), c.expected) << c.text << " " << c.separator;
    }
}

TEST(StringHelper, ToLower) {
    EXPECT_EQ(StringHelper::ToLower("MiXeD Case 123_/"), "mixed case 123_/");
    EXPECT_EQ(StringHelper::ToLower(""), "");
    // Bytes above 127 pass through unchanged instead of reaching tolower as negative values.
    const std::string bytes = "\xC4\xD6\xFF" "ABC";
    EXPECT_EQ(StringHelper::ToLower(bytes), "\xC4\xD6\xFF" "abc");
}

TEST(StringHelper, FileComparatorOrdersEmptyThenDirectoriesThenFiles) {
    struct Case {
        std::string a, b;
        bool less;
    };
    const Case cases[] = {
        {"", "x", true},          {"x", "", false},         {"", "", false},
        {"dir/", "a.xml", true},  {"a.xml", "dir/", false}, {"Alpha.xml", "beta.xml", true},
        {"beta.xml", "ALPHA.xml", false}, {"same.xml", "SAME.XML", false}, {"a/", "B/", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StringHelper::FileComparator(c.a, c.b), c.less) << "'" << c.a << "' < '" << c.b << "'";
    }

    std::vector<std::string> files = {"zeta.xml", "", "Sub/", "alpha.xml", "", "beta/", "Gamma.xml"};
    std::sort(files.begin(), files.end(), StringHelper::FileComparator);
    EXPECT_EQ(files, (std::vector<std::string>{"", "", "beta/", "Sub/", "alpha.xml", "Gamma.xml", "zeta.xml"}));
}
