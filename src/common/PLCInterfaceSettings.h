#pragma once
// Digital I/O channels of the PLC interface, as the project file's
// "PLCInterface", "PLCInterfaceIn", "PLCInterfaceOut" and
// "PLCInterfaceRefSequence" elements give them. -1 means "not used".

#include <cstdint>

struct PLCInterfaceSettings {
    bool Active = false;
    bool AutoConnect = false;

    // Inputs.
    int32_t RequestReferenceNumber = -1;
    int32_t EnableNumber = -1;
    int32_t PlayNumber = -1;
    int32_t PauseNumber = -1;
    int32_t StartMissionNumber = -1;
    int32_t ShutdownNumber = -1;
    int32_t AltStartNumber = -1;
    int32_t AltStopNumber = -1;
    int32_t AddJointNumber = -1;
    int32_t AddLinearNumber = -1;

    // Outputs.
    int32_t NoFaultNumber = -1;
    int32_t RobotIsReferenced = -1;
    int32_t MissionRunningNumber = -1;
    int32_t FaultNumber = -1;
    int32_t ProgramNotRunningNumber = -1;
    int32_t ProgramRunningNumber = -1;

    // Referencing sequence: joint referenced at step 0..8.
    int32_t JointToRef0 = -1;
    int32_t JointToRef1 = -1;
    int32_t JointToRef2 = -1;
    int32_t JointToRef3 = -1;
    int32_t JointToRef4 = -1;
    int32_t JointToRef5 = -1;
    int32_t JointToRef6 = -1;
    int32_t JointToRef7 = -1;
    int32_t JointToRef8 = -1;

    // Referencing sequence: seconds to wait before step 0..8.
    int32_t RefDelay0 = 5;
    int32_t RefDelay1 = 5;
    int32_t RefDelay2 = 5;
    int32_t RefDelay3 = 5;
    int32_t RefDelay4 = 5;
    int32_t RefDelay5 = 5;
    int32_t RefDelay6 = 5;
    int32_t RefDelay7 = 5;
    int32_t RefDelay8 = 5;

    static constexpr int RefSteps = 9;

    // The sequence step's joint; -1 for a step outside 0..8.
    int32_t JointToRef(int step) const {
        switch (step) {
            case 0: return JointToRef0;
            case 1: return JointToRef1;
            case 2: return JointToRef2;
            case 3: return JointToRef3;
            case 4: return JointToRef4;
            case 5: return JointToRef5;
            case 6: return JointToRef6;
            case 7: return JointToRef7;
            case 8: return JointToRef8;
            default: return -1;
        }
    }

    // The sequence step's delay in seconds; -1 for a step outside 0..8.
    int32_t RefDelay(int step) const {
        switch (step) {
            case 0: return RefDelay0;
            case 1: return RefDelay1;
            case 2: return RefDelay2;
            case 3: return RefDelay3;
            case 4: return RefDelay4;
            case 5: return RefDelay5;
            case 6: return RefDelay6;
            case 7: return RefDelay7;
            case 8: return RefDelay8;
            default: return -1;
        }
    }
};
