#pragma once
// Which controller board the system runs on, and its processor temperature.

#include <string>

namespace Hardware {

class BoardSupport {
public:
    enum BoardType : int {
        Phytec = 0,
        Raspberry = 1,
        Unknown = 2,
    };

    // Reads the issue file: "Raspbian" gives Raspberry, else "Phytec" gives
    // Phytec, else the board stays unknown.
    static void DetectBoardType();
    // Detects again while the board is unknown.
    static BoardType GetBoardType();
    static std::string BoardTypeToString(int type);
    // Degrees Celsius from the thermal file's millidegrees; 0.0 when unreadable.
    static double GetCPUTemperature();

    // The system files read; tests point them elsewhere. An empty path
    // restores the default.
    static void SetIssuePath(const std::string& path);
    static void SetThermalPath(const std::string& path);

    static constexpr const char* DefaultIssuePath = "/etc/issue";
    static constexpr const char* DefaultThermalPath = "/sys/class/thermal/thermal_zone0/temp";
};

}  // namespace Hardware
