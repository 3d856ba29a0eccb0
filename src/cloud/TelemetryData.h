#pragma once
// The twelve status and statistics texts that the cloud client publishes,
// collected from the robot master on every updater pass.

#include <string>

class IPO;
class RobotMaster;
namespace Hardware {
class HardwareProtocol;
}

namespace Cloud {

class TelemetryData {
public:
    TelemetryData() = default;
    ~TelemetryData() = default;

    void CollectData(RobotMaster* robotMaster);
    // The same from a driver (may be null) and the robot-program interpreter.
    void CollectData(Hardware::HardwareProtocol* hardware, const IPO& ipo);

    bool operator==(const TelemetryData& other) const;
    bool operator!=(const TelemetryData& other) const { return !(*this == other); }
    void swap(TelemetryData& other);

    std::string lastMessage;
    std::string errorString;
    std::string errorCodes;
    std::string temperaturesPCB;
    std::string programRunning;
    std::string subPrograms;
    std::string currentCommand;
    std::string upTimeComplete;
    std::string upTimeLast;
    std::string upTimeEnabled;
    std::string upTimeMotion;
    std::string programStarts;
};

// "-" joined module error texts; empty texts and "na" read "n/a".
std::string ErrorCodesText(const std::string* moduleErrors, int count);
// All 16 values, blank separated, three significant digits.
std::string TemperaturesText(const float* temperatures);
// The loaded program's file name without its directories; "n/a" and "na" read "none".
std::string ProgramRunningText(const std::string& name);
std::string CurrentCommandText(int program, int command, int commandCount);

// Identity texts of the basic data.
// The robot type after its last "/" or "\".
std::string RobotTypeText(const std::string& robotType);
// "R=.. E=.. G=.. P=.. IO=.." from the driver's module counts.
std::string ModuleCountText(const Hardware::HardwareProtocol& hardware);

}  // namespace Cloud
