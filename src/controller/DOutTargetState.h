#pragma once
// State a digital output is driven to on a reset or on an error.

#include <algorithm>
#include <cctype>
#include <string>

enum class DOutTargetState { True = 0, False = 1, NoChange = 2 };

inline unsigned int DOutTargetStateToUInt(DOutTargetState state) {
    switch (state) {
        case DOutTargetState::True: return 1;
        case DOutTargetState::False: return 0;
        default: return 2;
    }
}

inline DOutTargetState DOutTargetStateFromUInt(unsigned int value) {
    switch (value & 3u) {
        case 0: return DOutTargetState::False;
        case 1: return DOutTargetState::True;
        default: return DOutTargetState::NoChange;
    }
}

inline std::string DOutTargetStateToString(DOutTargetState state) {
    switch (state) {
        case DOutTargetState::True: return "True";
        case DOutTargetState::False: return "False";
        default: return "NoChange";
    }
}

inline DOutTargetState DOutTargetStateFromString(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (text == "true") return DOutTargetState::True;
    if (text == "false") return DOutTargetState::False;
    return DOutTargetState::NoChange;
}
