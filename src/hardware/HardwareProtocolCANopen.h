#pragma once
// Driver of CANopen servo and stepper drives (CiA 402) and digital I/O
// modules (CiA 401): reads its part of the robot file and the per-robot-type
// parameter file, connects the devices (NMT, names, parameters, PDOs, modes),
// walks each drive through the CiA 402 states, references it by homing,
// sends the set-points of every cycle after the SYNC and reads back states,
// positions, currents, temperatures, supply and inputs.
//
// Record order: robot joints, external joints, I/O modules. Answers and PDOs
// arrive on the CAN read thread; the state texts and device texts go through
// the SDO client's text lock, everything else in the records is atomic.

#include "hardware/CANopenNMT.h"
#include "hardware/HardwareProtocol.h"
#include "hardware/HardwareProtocolCANopenPDO.h"
#include "hardware/HardwareProtocolCANopenSDO.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace Hardware {

// CiA 402 states as the driver counts them.
enum ControlWordStatus : int {
    ControlWordFault = 0,  // also fault_reaction_active and any other text
    ControlWordQuickStopActive = 1,
    ControlWordSwitchOnDisabled = 2,
    ControlWordReadyToSwitchOn = 3,
    ControlWordSwitchedOn = 4,
    ControlWordOperationEnabled = 5,
};

// "fault" ... "operation_enabled", "unknown" for other values.
std::string ControlWordStatusToString(int status);
// The state of a state text; "fault", "fault_reaction_active" and unlisted texts give fault.
ControlWordStatus ControlWordStringToStatus(const std::string& text);

class HardwareProtocolCANopen;
// The one live CANopen driver, which the free receive callback forwards to.
extern HardwareProtocolCANopen* ctxHWPCANopen;
void ReceiveCallbackCANopen(int id, int dlc, const unsigned char* data, long reserved, timespec time);

class HardwareProtocolCANopen : public HardwareProtocol {
public:
    // Waits of the set-up sequences (ms); replaceable so tests need not sit
    // through the connect's seconds.
    using SleepFunction = std::function<void(float ms)>;

    // Frames older than this (in 100 us) count as missing: 2 s.
    static constexpr int FrameMaxAge = 20000;
    // A pause of the SYNCs at least this long (a driver operation holding the
    // cycle) is left out of a node's silence: nodes answer on SYNCs.
    static constexpr int64_t SyncPauseUs = 500000;
    static constexpr int WatchdogLimit = 100;
    static constexpr int64_t WatchdogSilenceMs = 20000;
    // How long a drive may take to confirm homing to zero.
    static constexpr int64_t HomingConfirmMs = 2000;

    HardwareProtocolCANopen(RobotKinematic* kinematic, CANopenProfile profile);
    HardwareProtocolCANopen(RobotKinematic* kinematic, CANopenProfile profile,
                            CANInterfaceSocketCAN::ClockFunction clock);
    ~HardwareProtocolCANopen() override;

    using HardwareProtocol::GetError;

    // ---- Configuration and connection ----
    void Init(const std::string& robotName, const std::string& robotType, const std::string& robotFilePath) override;
    void InitDIOModules(int canId) override;
    void InitExternalJoint(const ExternalAxis& axis) override;
    void SetDIOModuleIDs(unsigned char id1, unsigned char id2, unsigned char id3) override;
    void GetDIOModuleIDs(unsigned char& id1, unsigned char& id2, unsigned char& id3) override;
    bool Connect() override;
    void Disconnect() override;
    bool GetConnectionStatus() override;
    void SendSync() override;

    bool ReadConfigFile(const std::string& path);
    // With onlyNode, the parameters of that node alone (a device set up again).
    void InitCANopenParameterFile(const std::string& robotType, int onlyNode = 0);
    int ReceiveCallback(int id, int dlc, const unsigned char* data, long reserved, timespec time);
    void SendNMT(int node, NMTFunction command);
    void InitProfileMotors(bool switchOn);
    void InitProfileIO();
    void InitProfile(JointRecord& record, bool switchOn);
    void InitJointForProfilePositionMode(JointRecord& record);
    void InitJointForInterpolatedPositionMode(JointRecord& record);
    void InitJointForCyclicSynchronousPosition(JointRecord& record);
    void InitJointForProfileVelocityMode(JointRecord& record);
    void InitJointForCyclicSynchronousVelocity(JointRecord& record);
    void InitDigitalIO(JointRecord& record);
    void EnableCommunication();
    void DisableCommunication();
    void RequestControlWord();
    void RequestStatusWord();
    void RequestStatusWord(const JointRecord& record);
    void RequestActualProfiles();
    static std::string MsgToString(int id, int dlc, const unsigned char* data, long time);

    // ---- Drive control ----
    void GetError(std::string& longText, std::string& shortText) override;
    void GetError(std::string* texts) override;
    void GetErrorHexCode(int* codes) override;
    void GetCurrentValues(int* currents) override;
    void GetTempValues(float* temperatures) override;
    void GetReferenceStatus(bool* referenced, int* allReferenced) override;
    void ResetError() override;
    void ReferenceSingleJoint(int joint) override;
    void ReferenceReset() override;
    void EnableMotors(bool enable) override;
    bool GetMotorEnabled() override;
    // Every drive has reported its position since the connect.
    bool JointPositionsKnown() override;
    void SetJoints(const DataTypes::RobotState& state) override;
    void GetJoints(DataTypes::RobotState* state) override;
    void SetToZeroPos(int joint) override;
    void SetRailIO(int dioModule, int bit, bool value) override;
    void GetDigitalIORail(bool* inputs) override;

    // False when a step had no valid controlword or the drive did not confirm one.
    bool SetControlWord(JointRecord& record, ControlWordStatus target);
    bool SetControlWordApplyState(JointRecord& record, ControlWordStatus from, ControlWordStatus to);
    // Writes 0x6040 and waits for the confirmation (command sequences).
    bool SendControlWord(JointRecord& record, unsigned int value);
    // The same without waiting (the robot thread's cycle).
    void SendControlWordCyclic(JointRecord& record, unsigned int value);
    void HaltVelocityModeJoints();
    void CheckHomingFinished();
    void InitJointForHoming(JointRecord& record);
    void InitJointForHomingSetToZero(JointRecord& record);
    void RequestPosition();
    void RequestPosition(const JointRecord& record);
    void RequestTemperatures();
    void RequestCurrents();
    void ReadVoltagePower();
    void RequestErrorsErrorCount();
    void RequestErrorsErrorRegister();
    int TranslateJointErrorCode(const JointRecord& record);

    void SetSleepFunction(SleepFunction sleep);

    // The state text, device name and firmware text of a record, copied under the text lock.
    std::string StateText(int record) const;
    std::string DeviceName(int record) const;
    std::string FirmwareVersion(int record) const;
    // Node ids of the drives (not the I/O modules).
    int DriveCount() const;

    // ---- Fields ----
    CANopenProfile profile;
    std::atomic<bool> usePDOs{true};
    std::atomic<bool> communicationEnabled{false};
    int cycleTimeMs = 20;
    float gapMs = 0.0f;
    float syncGapMs = 0.0f;
    std::atomic<int64_t> lastFrameTimeUs{0};  // reception of the last dispatched frame
    std::atomic<int> watchdogCounter{0};
    int64_t lastSyncUs = 0;      // robot thread
    int64_t syncsSinceUs = 0;    // robot thread: the first SYNC
    // Robot thread: the latest pauses of the SYNCs (start, end), oldest first.
    // Older ones are forgotten, which can only make a silence longer.
    static constexpr std::size_t MaxSyncPauses = 64;
    std::vector<std::pair<int64_t, int64_t>> syncPauses;
    int slowPollCounter = 0;  // robot thread
    int statusPollIndex = 0;  // robot thread
    bool debug = false;
    std::atomic<bool> allowAlienMessages{false};  // read on the CAN read thread
    HardwareProtocolCANopenSDO sdo;
    HardwareProtocolCANopenPDO pdo;
    std::atomic<int> nodeMap[128];

private:
    // One operation of SDO walks: a node that times out in it is skipped for
    // the rest of it and reported in error at its end.
    class Operation {
    public:
        explicit Operation(HardwareProtocolCANopen& driver);
        ~Operation();
        Operation(const Operation&) = delete;
        Operation& operator=(const Operation&) = delete;

    private:
        HardwareProtocolCANopen& m_Driver;
    };

    void Sleep(float ms);
    int64_t NowUs() const;
    bool IsFirmware1650(const JointRecord& record) const;
    bool IsRobotOrExternalJoint(int record) const;
    int FirstDIORecord() const;
    int Records() const;
    void ResetRecords();
    // Motor value of a set-point, rounded to the nearest count and saturated to 32 bits.
    static int32_t MotorValue(float setPoint, float gearScale, float gearZero);
    void CheckFrameAges();
    // Time from `since` to `now` during which SYNCs ran (pauses left out), us.
    int64_t SyncTimeBetween(int64_t since, int64_t now) const;
    bool WaitForHoming(JointRecord& record);
    void HoldPositionsBeforeSync();
    // Writes the mode of operation; the record takes the profile only when the drive confirmed it.
    bool SetMode(JointRecord& record, uint32_t profile, int mode);
    // Parameters, PDOs and NMT start again for devices that booted since their
    // set-up; returns their records.
    std::vector<int> SetUpRebootedDevices();
    static int64_t NowSteadyMs();
    void SendSetPoint(JointRecord& record, int index, const DataTypes::RobotState& state);
    void SlowPolls();

    CANInterfaceSocketCAN::ClockFunction m_Clock;
    SleepFunction m_Sleep;
};

}  // namespace Hardware
