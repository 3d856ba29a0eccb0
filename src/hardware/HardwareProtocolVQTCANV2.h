#pragma once
// Driver of the maker's joint modules, protocol versions 2 and 3: reads its
// part of the robot file, sends the set-points of every cycle and reads back
// positions, currents, inputs, errors, temperatures and supply, evaluates the
// module errors with a tolerance, runs the command sequences and watches the
// main I/O module's shutdown request. The frames are in VQTCANV2Codec.
//
// Record order: robot joints, tool modules, external axes, platform wheels,
// DIO modules.

#include "hardware/HardwareProtocol.h"
#include "hardware/VQTCANV2Codec.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <time.h>
#include <unordered_map>

namespace Hardware {

class HardwareProtocolVQTCANV2 : public HardwareProtocol {
public:
    // Throttling of one identifier's unknown error events.
    struct LastUnknownErrorData {
        uint8_t code = 0;
        uint16_t word1 = 0;
        uint16_t word2 = 0;
        timespec time{0, 0};  // of the first occurrence
        int count = 1;
    };

    // Sleeps of the command sequences (ms); replaceable so tests need not
    // sit through the alignment's seconds.
    using SleepFunction = std::function<void(float ms)>;

    explicit HardwareProtocolVQTCANV2(RobotKinematic* kinematic);
    HardwareProtocolVQTCANV2(RobotKinematic* kinematic, CANInterfaceSocketCAN::ClockFunction clock);
    ~HardwareProtocolVQTCANV2() override;

    using HardwareProtocol::GetError;

    void Init(const std::string& robotName, const std::string& robotType, const std::string& robotFilePath) override;
    void InitDIOModules(int canId) override;
    void InitTool(int toolModuleCount, int canId, float gearScale, float gearZero) override;
    void InitExternalJoint(const ExternalAxis& axis) override;
    // Platform wheels; the controller core does not call it.
    void InitPlatform(int wheelCount);

    bool Connect() override;
    void Disconnect() override;
    bool GetConnectionStatus() override;

    void GetError(std::string& status, std::string& shortCode) override;
    void GetError(std::string* moduleErrors) override;
    void GetErrorHexCode(int* codes) override;
    void GetCurrentValues(int* currents) override;
    // Sum of the joint modules' currents.
    int GetTotalCurrent() override;
    // 1 while the main I/O module reports a supply circuit off.
    int GetEStop() override;
    void GetTempValues(float* temperatures) override;
    void GetReferenceStatus(bool* referenced, int* allReferenced) override;

    void ResetError() override;
    void AlignMotors() override;
    void ReferenceSingleJoint(int joint) override;
    void EnableMotors(bool enable) override;
    bool GetMotorEnabled() override;
    bool JointPositionsKnown() override;

    void SetJoints(const DataTypes::RobotState& state) override;
    void GetJoints(DataTypes::RobotState* state) override;
    void SetJointMode(int joint, JointMode mode) override;
    void SetToZeroPos(int joint) override;
    void SetPlatformJointsToZeroPos() override;
    void RestartMotorController(int module) override;
    void RestartModules() override;

    void SetIO(int module, int bit, bool value) override;
    void SetRailIO(int dioModule, int bit, bool value) override;
    bool ReachesIO(int module, int bit) const override;
    bool ReachesRailIO(int dioModule, int bit) const override;
    void GetDigitalIO(int module, int* value) override;
    void GetDigitalIORail(bool* inputs) override;
    void GetDIOModuleIDs(unsigned char& id1, unsigned char& id2, unsigned char& id3) override;
    void SetDIOModuleIDs(unsigned char id1, unsigned char id2, unsigned char id3) override;

    // Frames from the CAN read thread: start-up messages, error events and
    // the check for a second bus master.
    void ReceiveFrame(int id, int dlc, const unsigned char* data, const timespec& time);

    // Text and short code of module error bits.
    static void DecodeErrorCode(unsigned code, std::string& text, std::string& shortCode);

    // Reads "BusConfiguration" and "Referencing" of the robot file; false
    // after setting a serious-fail reason 61 to 72.
    bool ReadIniFile(const std::string& robotFilePath);

    void SetSleepFunction(SleepFunction sleep);

    // ---- Fields ----
    std::string lastStatusText;
    int digitalOutputBytes[MaxModules] = {};
    int railOutputBytes[5] = {};
    int counter = 0;
    float gapMs = 3.0f;
    std::atomic<int> noAnswerCycles{0};  // read by the main loop's connection check
    int cycleCount = 0;
    int hwErrorCount = 0;
    int shutdownStage = 0;
    int shutdownCountdown = 0;
    RelaxedAtomic<uint32_t> dioModuleIds[3] = {0u, 0u, 0u};
    std::unordered_map<int, LastUnknownErrorData> unknownErrors;
    std::atomic<bool> cyclicSending{false};
    std::atomic<int> pausedSequences{0};  // command sequences under way
    std::atomic<bool> noError{false};

    static constexpr int HwErrorTolerance = 5;
    // Status frames older than this (in 100 us) count as missing: 2 s.
    static constexpr int StatusMaxAge = 20000;
    // A shutdown request frame is acted on while younger than 50 ms.
    static constexpr int ShutdownMaxAge = 500;
    static constexpr int NoAnswerLimit = 100;
    // Largest CAN dump ring the robot file may ask for.
    static constexpr int MaxCanDumpSize = 10000;

private:
    // Records 0..jointModules-1 are drives; DIO modules follow.
    int JointModuleCount() const;
    int FirstExternalRecord() const { return robotJointCount + toolJointCount; }
    int FirstPlatformRecord() const { return robotJointCount + toolJointCount + externalJointCount; }
    bool IsRobotOrExternalJoint(int record) const;
    void SendFrame(const VQTCANV2Codec::Frame& frame);
    void Sleep(float ms);
    void SeriousFail(const std::string& errorLine, const char* reason);
    void ReadBack();
    // Holds a module where it reports itself (before the operator's reset).
    void SendHold(int record);
    void ReadTemperatures();
    void ReadSupplyAndShutdown();
    void UpdateReferencingState();

    SleepFunction m_Sleep;
    // Guards the records' error texts and lastStatusText, which other threads read.
    mutable std::mutex m_TextMutex;
    // Position of each record in motor units as last received; fed to the
    // motor-to-joint conversion every cycle.
    float m_MotorPosition[MaxModules] = {};
    // Set once a record's position has been read since the connect.
    std::atomic<bool> m_PositionKnown[MaxModules] = {};
    // Robot thread: the position each record last reported, raw.
    int32_t m_ReportedRaw[MaxModules] = {};
    // From the connect until the operator's reset has taken the set-points from
    // the modules' positions, every module is held where it reports itself.
    std::atomic<bool> m_HoldAtReported{false};
    // Error code whose short text each record's errorText holds (-1: none yet).
    int m_TextCode[MaxModules] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
};

}  // namespace Hardware
