#include "datatypes/RobotState.h"

#include <algorithm>
#include <iterator>

namespace DataTypes {

const int RobotState::maxIOs;
const int RobotState::maxSignals;
const int RobotState::maxJoints;
const int RobotState::maxModules;

RobotState::RobotState() = default;

RobotState::RobotState(const RobotState& other) { CopyFrom(other); }

RobotState& RobotState::operator=(const RobotState& other) {
    if (this != &other) {
        CopyFrom(other);
    }
    return *this;
}

RobotState::~RobotState() = default;

void RobotState::CopyFrom(const RobotState& o) {
    pose = o.pose;
    A = o.A;
    B = o.B;
    C = o.C;
    vector = o.vector;
    std::copy(std::begin(o.jointSetPoint), std::end(o.jointSetPoint), jointSetPoint);
    std::copy(std::begin(o.jointActual), std::end(o.jointActual), jointActual);
    std::copy(std::begin(o.jointVelocitySetPoint), std::end(o.jointVelocitySetPoint), jointVelocitySetPoint);
    std::copy(std::begin(o.jointArray4), std::end(o.jointArray4), jointArray4);
    cartSpeed = o.cartSpeed;
    std::copy(std::begin(o.toolValue), std::end(o.toolValue), toolValue);
    std::copy(std::begin(o.toolHWValue), std::end(o.toolHWValue), toolHWValue);
    std::copy(std::begin(o.platformSetPoint), std::end(o.platformSetPoint), platformSetPoint);
    std::copy(std::begin(o.platformActual), std::end(o.platformActual), platformActual);
    std::copy(std::begin(o.digitalInputs), std::end(o.digitalInputs), digitalInputs);
    std::copy(std::begin(o.digitalOutputs), std::end(o.digitalOutputs), digitalOutputs);
    flag = o.flag;
    override = o.override;
    errorText = o.errorText;
    std::copy(std::begin(o.jointErrorCodes), std::end(o.jointErrorCodes), jointErrorCodes);
    kinematicState = o.kinematicState;
    supply = o.supply;
    currentAll = o.currentAll;
    std::copy(std::begin(o.jointCurrents), std::end(o.jointCurrents), jointCurrents);
    eStop = o.eStop;
    std::copy(std::begin(o.jointTemperatures), std::end(o.jointTemperatures), jointTemperatures);
    std::copy(std::begin(o.jointTemperatures2), std::end(o.jointTemperatures2), jointTemperatures2);
    cpuTemperature = o.cpuTemperature;
    referenceStatus = o.referenceStatus;
    std::copy(std::begin(o.jointsReferenced), std::end(o.jointsReferenced), jointsReferenced);
    programCommandIndex = o.programCommandIndex;
    programCommandCount = o.programCommandCount;
    programState = o.programState;
    programValue4 = o.programValue4;
    programText = o.programText;
    std::copy(std::begin(o.globalSignals), std::end(o.globalSignals), globalSignals);
}

void RobotState::UpdateABC() { pose.GetABCDeg(&A, &B, &C); }

void RobotState::UpdateMatrixFromABC() { pose.SetRotationABCDeg2(A, B, C); }

std::string RobotState::ToStringPos() const {
    const Vector3 t = pose.GetTranslation();
    return "( " + std::to_string(t.x) + " " + std::to_string(t.y) + " " + std::to_string(t.z) + " )";
}

std::string RobotState::ToStringJoints() const {
    return "( " + std::to_string(jointSetPoint[0]) + " " + std::to_string(jointSetPoint[1]) + " " +
           std::to_string(jointSetPoint[2]) + " )";
}

}  // namespace DataTypes
