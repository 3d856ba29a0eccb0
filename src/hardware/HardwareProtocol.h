#pragma once
// The joint-bus driver interface: what the controller core calls, whatever
// protocol the bus speaks. Every operation has a base body that does nothing,
// so a driver overrides only what its protocol supports. The base owns the
// bus connection, the module counts and the 16 per-module records.
//
// GetError has two overloads: a driver that overrides one adds
// "using HardwareProtocol::GetError;" to keep the other visible.
// Inside a driver the member jointData hides the record type of the same
// name: write Hardware::jointData (or JointRecord) for the type.
// A driver whose receive callback reaches into the driver disconnects (or
// clears canInterface.receiveCallback) in its own destructor: the base's
// CAN interface stops its read thread only after the driver part is gone.

#include "common/RelaxedAtomic.h"
#include "hardware/CANInterfaceSocketCAN.h"
#include "hardware/CANopenProfile.h"
#include "hardware/JointMode.h"
#include "hardware/jointData.h"

#include <cstdint>
#include <string>
#include <time.h>

class RobotKinematic;
class ExternalAxis;
namespace DataTypes {
class RobotState;
}

namespace Hardware {

class HardwareProtocol {
public:
    static constexpr int MaxModules = 16;
    using JointRecord = Hardware::jointData;

    explicit HardwareProtocol(RobotKinematic* kinematic);
    // Test seam: the bus connection reads this clock (frame ages, receive times).
    HardwareProtocol(RobotKinematic* kinematic, CANInterfaceSocketCAN::ClockFunction clock);
    virtual ~HardwareProtocol();
    HardwareProtocol(const HardwareProtocol&) = delete;
    HardwareProtocol& operator=(const HardwareProtocol&) = delete;

    // ---- Set-up ----
    virtual void Init(const std::string& robotName, const std::string& robotType, const std::string& robotFilePath);
    virtual void InitDIOModules(int canId);
    virtual void InitTool(int toolModuleCount, int canId, float gearScale, float gearZero);
    virtual void InitExternalJoint(const ExternalAxis& axis);

    // ---- Connection ----
    virtual bool Connect();
    virtual void Disconnect();
    virtual bool GetConnectionStatus();

    // ---- State of the modules ----
    virtual void GetError(std::string& status, std::string& shortCode);
    virtual void GetError(std::string* moduleErrors);
    virtual void GetErrorHexCode(int* codes);
    virtual void GetCurrentValues(int* currents);
    virtual void GetTempValues(float* temperatures);
    virtual void GetReferenceStatus(bool* referenced, int* allReferenced);

    // ---- Commands ----
    virtual void ResetError();
    virtual void AlignMotors();
    virtual void ReferenceSingleJoint(int joint);
    // References every joint that the PLC referencing sequence names, then resets errors.
    virtual void ReferenceReset();
    virtual void EnableMotors(bool enable);
    virtual bool GetMotorEnabled();
    // False while a joint has not reported its position since the connect:
    // its actual value is a placeholder, no set-point to take over.
    virtual bool JointPositionsKnown();

    // ---- Cycle ----
    virtual void SendSync();
    virtual void SetJoints(const DataTypes::RobotState& state);
    virtual void GetJoints(DataTypes::RobotState* state);
    virtual void SetJointMode(int joint, JointMode mode);
    virtual void SetToZeroPos(int joint);
    virtual void SetPlatformJointsToZeroPos();
    virtual void RestartMotorController(int module);
    virtual void RestartModules();
    virtual void SetCalibrationFlag(int flag);
    virtual void GetVelocity(float* velocities);
    // The bus supply voltage (mainIoState[1]).
    virtual float GetSupplyVoltage();
    // Total current of the modules (thousandths of an ampere) and the
    // emergency-stop state of the bus (1 while stopped); 0 where the bus
    // does not report them.
    virtual int GetTotalCurrent();
    virtual int GetEStop();
    virtual float GetFrequency();

    // ---- Digital I/O ----
    virtual void SetIO(int module, int bit, bool value);
    virtual void SetRailIO(int dioModule, int bit, bool value);
    // Whether SetIO / SetRailIO with these numbers reach a module of the configured robot.
    virtual bool ReachesIO(int module, int bit) const;
    virtual bool ReachesRailIO(int dioModule, int bit) const;
    virtual void GetDigitalIO(int module, int* value);
    virtual void GetDigitalIORail(bool* inputs);
    virtual void GetDIOModuleIDs(unsigned char& id1, unsigned char& id2, unsigned char& id3);
    virtual void SetDIOModuleIDs(unsigned char id1, unsigned char id2, unsigned char id3);

    virtual bool GetZeroContact(int joint);
    virtual bool GetCalibFlag(int joint);
    // A drive module (not a DIO module) with a CAN id, within the modules on the bus.
    virtual bool IsAxisModule(int index);

    // ---- Helpers ----
    // True while any joint module has a referencing run under way.
    bool IsReferencing();
    // Runs the first GetError and returns its short code.
    std::string GetErrorShort();
    // robot + tool + DIO + external + platform counts; call after changing one.
    void UpdateModuleCount();

    static void wait(int ms);
    static void wait(float ms);
    // Busy-waits without sleeping.
    static void waitActive(float ms);
    static int64_t ToMicroSec(const timespec& time);

    // ---- Fields ----
    CANInterfaceSocketCAN canInterface;
    RobotKinematic* kinematic;  // not owned
    int protocolVersion = 0;    // 2 or 3 for the v2/v3 driver
    std::string robotName;
    std::string robotType;
    int robotJointCount = 0;
    int toolJointCount = 0;
    int dioModuleCount = 0;
    int platformJointCount = 0;
    int externalJointCount = 0;
    int moduleCount = 0;
    Hardware::jointData jointData[MaxModules];
    // A spare, supplyVoltage, two spares, supply-state bits. Written by the
    // robot thread; the remote-control connections read these flags too.
    RelaxedAtomic<int> mainIoState[5] = {0, 0, 0, 0, 0};
    RelaxedAtomic<bool> referencedAll{false};
    RelaxedAtomic<bool> alignedAll{false};
    bool referencingMandatory = true;
};

}  // namespace Hardware
