#pragma once
// What the project manager needs from the robot side while it reads the
// project file and when it writes the settings back. The robot master
// implements it; tests give the project manager a fake or no target at all
// (a null target skips every robot set-up call and keeps the robot-owned
// elements of the project file as they stand).

#include <cstdint>
#include <string>
#include <vector>

#include "controller/DOutTargetState.h"
#include "controller/PLCInterfaceTrigger.h"
#include "datatypes/Vector3.h"
#include "hardware/ExternalAxis.h"

class ProjectTarget {
public:
    virtual ~ProjectTarget() = default;

    // ---- Set-up while the project file is read ----
    // Velocity set number of the project; written before Init runs.
    virtual void SetVelocitySetting(int32_t velocitySetting) = 0;
    virtual int32_t GetVelocitySetting() const = 0;
    // Reads the robot file (relative to Data/Robots/) and creates the model and the driver.
    virtual void Init(const std::string& robotName, const std::string& robotType,
                      const std::string& robotFileName) = 0;
    virtual void SetHomePos(const double joints[9]) = 0;
    // The kinematic model's virtual box; ignored when there is no model.
    virtual void SetVirtualBox(bool active, const DataTypes::Vector3& min, const DataTypes::Vector3& max) = 0;
    // The main interpreter's stop-on-error setting: 1 an error stops the program, 0 it pauses it.
    virtual void SetProgramDefaultState(int32_t state) = 0;
    virtual void SetExternalAxis(const ExternalAxis& axis) = 0;
    virtual void InitExternalJoints() = 0;
    virtual void InitDIOModule(int32_t id) = 0;
    // Output states applied on reset / on error; channel 0..63.
    virtual void SetDOutOnReset(int32_t channel, DOutTargetState state) = 0;
    virtual void SetDOutOnError(int32_t channel, DOutTargetState state) = 0;
    virtual void AddPLCTrigger(const PLCTrigger::PLCInterfaceTrigger& trigger) = 0;

    // ---- Current values, written back by the rewrite ----
    virtual std::vector<PLCTrigger::PLCInterfaceTrigger> GetPLCTriggers() const = 0;
    virtual bool HasExternalAxis(int32_t index) const = 0;
    virtual ExternalAxis GetExternalAxis(int32_t index) const = 0;
    virtual DOutTargetState GetDOutOnReset(int32_t channel) const = 0;
    virtual DOutTargetState GetDOutOnError(int32_t channel) const = 0;
    // False when there is no kinematic model.
    virtual bool GetVirtualBox(bool& active, DataTypes::Vector3& min, DataTypes::Vector3& max) const = 0;
    // Bus ids of up to three I/O modules (0 = none); false when there is no driver.
    virtual bool GetDIOModuleIDs(uint8_t& id1, uint8_t& id2, uint8_t& id3) const = 0;
    // File of the program loaded in the main / logic interpreter; empty when none is loaded.
    virtual std::string GetProgramFile() const = 0;
    virtual std::string GetLogicProgramFile() const = 0;
    // Replay mode of the main interpreter (1 repeat).
    virtual int32_t GetReplayMode() const = 0;
    // Program velocity override, percent.
    virtual float GetOverride() const = 0;
    virtual int32_t GetProgramDefaultState() const = 0;
};
