#pragma once
// Driver of the maker's first-generation joint modules (protocol v1): robot
// joints only, a 6-byte set-point frame with a 16-bit position and a frame
// counter, status polled from the last-frame table. Configuration errors end
// the process with exit status 46. The frames are in VQTCANCodec.

#include "hardware/HardwareProtocol.h"
#include "hardware/VQTCANCodec.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

namespace Hardware {

class HardwareProtocolVQTCAN : public HardwareProtocol {
public:
    // Ends the process after a configuration error; replaceable so tests see
    // the status instead.
    using ExitFunction = std::function<void(int status)>;
    static constexpr int ConfigErrorExitStatus = 46;
    // Status frames older than this (in 100 us) count as missing: 2 s.
    static constexpr int StatusMaxAge = 20000;

    explicit HardwareProtocolVQTCAN(RobotKinematic* kinematic);
    HardwareProtocolVQTCAN(RobotKinematic* kinematic, CANInterfaceSocketCAN::ClockFunction clock);
    ~HardwareProtocolVQTCAN() override;

    using HardwareProtocol::GetError;

    void Init(const std::string& robotName, const std::string& robotType, const std::string& robotFilePath) override;

    bool Connect() override;
    void Disconnect() override;
    bool GetConnectionStatus() override;

    void SetJoints(const DataTypes::RobotState& state) override;
    void GetJoints(DataTypes::RobotState* state) override;
    void GetError(std::string& status, std::string& shortCode) override;
    void GetError(std::string* moduleErrors) override;
    void GetErrorHexCode(int* codes) override;
    bool GetMotorEnabled() override;
    bool JointPositionsKnown() override;
    // The modules' own referenced flags (bit 7 of their status).
    void GetReferenceStatus(bool* referenced, int* allReferenced) override;
    void ResetError() override;
    void EnableMotors(bool enable) override;
    void SetToZeroPos(int joint) override;
    void SetIO(int module, int bit, bool value) override;
    void InitDIOModules(int canId) override;
    void SetDIOModuleIDs(unsigned char id1, unsigned char id2, unsigned char id3) override;
    void GetDIOModuleIDs(unsigned char& id1, unsigned char& id2, unsigned char& id3) override;

    // Reads "BusConfiguration" of the robot file; false after a configuration
    // error (the exit function has then been called).
    bool ReadIniFile(const std::string& robotFilePath);

    static void SetExitFunction(ExitFunction exitFunction);

    // ---- Fields ----
    std::atomic<bool> cyclicSending{false};
    std::atomic<bool> noError{false};
    std::atomic<int> pausedSequences{0};  // command sequences under way
    int counter = 0;                      // robot thread
    float gapMs = 3.0f;
    std::atomic<int> digitalOutputBytes[9] = {};

private:
    int RobotJoints() const;
    void SendFrame(const VQTCANCodec::Frame& frame);
    // Logs the line, then ends the process (or what a test put in its place).
    void ConfigError(const std::string& line);
    void ReadBack();

    // Guards the records' error texts and lastStatusText, which other threads read.
    mutable std::mutex m_TextMutex;
    // Set once a joint's position has been read since the connect.
    std::atomic<bool> m_PositionKnown[MaxModules] = {};
    std::string m_LastStatusText;
};

}  // namespace Hardware
