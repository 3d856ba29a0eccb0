// The drivers' short status texts turned into the wording the cloud shows.

#include <gtest/gtest.h>

#include <ostream>

#include "cloud/HwErrorText.h"

namespace {

struct Translation {
    const char* in;
    const char* out;
};

void PrintTo(const Translation& t, std::ostream* out) { *out << (*t.in != '\0' ? t.in : "(empty)"); }

class TranslateHwErrorTest : public ::testing::TestWithParam<Translation> {};

TEST_P(TranslateHwErrorTest, GivesTheReadableText) {
    EXPECT_EQ(Cloud::TranslateHwError(GetParam().in), GetParam().out) << GetParam().in;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TranslateHwErrorTest,
    ::testing::Values(Translation{"", ""}, Translation{"All fine here", "All fine here"},
                      Translation{"Status: NotConnected", "Bus not connected"},
                      Translation{"MNE OC", "Motors not enabled Overcurrent"},
                      Translation{"no error", "No error"}, Translation{"No_Error", "No error"},
                      Translation{"VLAG", "Velocity lag"}, Translation{"velLag", "Velocity lag"},
                      Translation{"LAG", "Position lag"}, Translation{"DEAD", "Module dead"},
                      Translation{"bus dead", "Bus dead"}, Translation{"BUS", "Bus dead"},
                      Translation{"PROC", "PROvercurrent"}, Translation{"CAN", "CAN error"},
                      Translation{"CAN CAN", "CAN error CAN error"},
                      Translation{"Remote_disconnected", "Remote disconnected"},
                      Translation{"Not_Connected", "Bus not connected"},
                      Translation{"Bus not connected", "Bus Bus not connected"},
                      Translation{"Ctrl Running", "Ctrl running"}, Translation{"A_B_C", "ABC"},
                      Translation{"COM BOWD ENC", "Comm. watchdog Brown out/Watchdog Encoder error"},
                      Translation{"comm watch dog, brown out or watch dog, over current",
                                  "Comm. watchdog, Brown out/Watchdog, Overcurrent"},
                      Translation{"motor not enabled, position lag, encoder error, module dead",
                                  "Motors not enabled, Position lag, Encoder error, Module dead"},
                      // Case-sensitive: lower-case words that are no rule stay.
                      Translation{"mne lag oc", "mne lag oc"}));

TEST(ReplaceTest, ReplacesEveryMatchOfTheExpression) {
    EXPECT_EQ(Cloud::Replace("a1b22c333", "[0-9]+", "#"), "a#b#c#");
    EXPECT_EQ(Cloud::Replace("abab", "ab", "$&$&"), "abababab");
    EXPECT_EQ(Cloud::Replace("nothing", "x", "y"), "nothing");
}

}  // namespace
