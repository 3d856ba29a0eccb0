#include "cloud/HwErrorText.h"

#include <regex>

namespace Cloud {

std::string Replace(const std::string& text, const std::string& pattern, const char* replacement) {
    return std::regex_replace(text, std::regex(pattern, std::regex::ECMAScript), replacement);
}

std::string TranslateHwError(const std::string& text) {
    // The order matters: underscores go only after the words that contain
    // them, and "VLAG" before "LAG".
    static const char* const Rules[][2] = {
        {"Status: ", ""},
        {"No_Error", "No error"},
        {"no error", "No error"},
        {"not connected", "Bus not connected"},
        {"Not_Connected", "Bus not connected"},
        {"NotConnected", "Bus not connected"},
        {"Ctrl Running", "Ctrl running"},
        {"Remote_disconnected", "Remote disconnected"},
        {"_", ""},
        {"MNE", "Motors not enabled"},
        {"motor not enabled", "Motors not enabled"},
        {"COM", "Comm. watchdog"},
        {"comm watch dog", "Comm. watchdog"},
        {"BOWD", "Brown out/Watchdog"},
        {"brown out or watch dog", "Brown out/Watchdog"},
        {"VLAG", "Velocity lag"},
        {"velLag", "Velocity lag"},
        {"LAG", "Position lag"},
        {"position lag", "Position lag"},
        {"ENC", "Encoder error"},
        {"encoder error", "Encoder error"},
        {"OC", "Overcurrent"},
        {"over current", "Overcurrent"},
        {"CAN", "CAN error"},
        {"BUS", "Bus dead"},
        {"bus dead", "Bus dead"},
        {"DEAD", "Module dead"},
        {"module dead", "Module dead"},
    };
    std::string result = text;
    for (const auto& rule : Rules) result = Replace(result, rule[0], rule[1]);
    return result;
}

}  // namespace Cloud
