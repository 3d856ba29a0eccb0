// Jogging in the robot cycle: one step of motion per cycle from the current
// jog values, per joint or Cartesian in the base or the tool frame, with the
// speeds ramped by the jog ramps and, in the velocity-limited operating mode,
// kept below the TCP speed limit. Runs on the robot thread with the working
// state locked.

#include "controller/RobotMaster.h"

#include <cmath>

#include "common/LogSingleton.h"
#include "datatypes/Matrix44.h"
#include "hardware/HardwareProtocol.h"
#include "kinematics/RobotKinematic.h"
#include "server/ModbusServer.h"

bool RobotMaster::IsCartesianMotionAllowed() {
    if (!hardware) return true;
    return !(hardware->GetConnectionStatus() && hardware->referencingMandatory && !hardware->referencedAll);
}

bool RobotMaster::IsExternalVelocityAxis(int slot) const {
    if (slot < 0 || slot > 2) return false;
    std::lock_guard<std::mutex> lock(axesMutex);
    return externalAxisDefined[slot] && externalAxes[slot].motionMode == Hardware::JointModeVelocity;
}

void RobotMaster::TakeModbusVelocities() {
    Modbus::ModbusServer* modbus = Modbus::ModbusServer::Instance();
    for (int slot = 0; slot < 3; ++slot) {
        if (!IsExternalVelocityAxis(slot)) continue;
        float velocity = 0.0f;
        modbus->GetExternalJointVelocity(slot, velocity);
        workingState.jointVelocitySetPoint[6 + slot] = velocity;
    }
}

void RobotMaster::RefuseJog(const float jog[9], const char* message) {
    if (!IsJogRequested(jog)) return;
    jogRefused = true;
    if (jogMessageShown) return;
    jogMessageShown = true;
    LogSingleton::instance()->DisplayAndServerSetMessage(message);
}

void RobotMaster::JogMotion(int32_t operationMode) {
    float jog[9];
    GetJogValues(jog);
    // A source may keep sending the refused values after the program or move
    // ended (a held key, a stop that left them): they are not a request to
    // jog now. Jogging starts again only once every value was let go.
    if (jogRefused) {
        if (IsJogRequested(jog)) {
            for (float& v : jog) v = 0.0f;
        } else {
            jogRefused = false;
        }
    }
    switch (motionType.load()) {
        case MotionTypeRobotJoint:
            JogJoints(jog, operationMode);
            break;
        case MotionTypeRobotCartBase:
        case MotionTypeRobotCartTool:
            // Cartesian targets mean nothing before the joints are referenced.
            if (IsCartesianMotionAllowed())
                JogCartesian(jog, operationMode, motionType.load() == MotionTypeRobotCartTool);
            break;
        default:
            // Platform and cell state machine: no jog motion.
            break;
    }
}

void RobotMaster::JogJoints(const float jog[9], int32_t operationMode) {
    LogSingleton* log = LogSingleton::instance();
    Modbus::ModbusServer* modbus = Modbus::ModbusServer::Instance();
    const double dt = CycleTimeMS / 1000.0;
    const double overrideFactor = override.load() / 100.0;

    double target[9];
    for (int i = 0; i < 9; ++i) {
        const double jogFactor = jog[i] / 100.0 * JogJoint;
        if (i >= 6 && IsExternalVelocityAxis(i - 6)) {
            // Driven by velocity, not by position: the jog wins over a Modbus velocity.
            float modbusVelocity = 0.0f;
            const bool modbusPending = modbus->GetExternalJointVelocity(i - 6, modbusVelocity);
            workingState.jointVelocitySetPoint[i] = modbusVelocity;
            if (std::fabs(jog[i]) > 0.0001f) {
                if (modbusPending) modbus->ResetExternalJointVelocities();
                workingState.jointVelocitySetPoint[i] = static_cast<float>(jogFactor * jointMaxVelocity[i]);
            }
            target[i] = 0.0;
        } else {
            workingState.jointVelocitySetPoint[i] = 0.0f;
            target[i] = jogFactor * overrideFactor * jointMaxVelocity[i];
        }
    }
    double speed[9];
    jogAccelJoint.SetTargetVel(target, speed);

    if (operationMode == OperationModeVelocityLimited && kinematic) {
        // Try the step on a copy of the model and measure how fast the TCP would move.
        if (!jogTrialKinematic) jogTrialKinematic.reset(kinematic->clone());
        jogTrialKinematic->clone(kinematic.get());
        float current[9];
        float trial[9];
        for (int i = 0; i < 9; ++i) {
            current[i] = workingState.jointSetPoint[i];
            trial[i] = current[i] + static_cast<float>(speed[i] * dt);
        }
        try {
            jogTrialKinematic->SetJoints(current, false);
            const DataTypes::Vector3 from = jogTrialKinematic->pose.GetTranslation();
            jogTrialKinematic->SetJoints(trial, false);
            const DataTypes::Vector3 step = jogTrialKinematic->pose.GetTranslation() - from;
            const double tcpSpeed = step.Magnitude() * 1000.0 / CycleTimeMS;
            if (tcpSpeed <= ManualMaxVelMMPerSec) {
                speedReductionMessageArmed = true;
            } else {
                const double scale = ManualMaxVelMMPerSec / tcpSpeed;
                for (int i = 0; i < 6; ++i) speed[i] *= scale;
                if (speedReductionMessageArmed) {
                    log->addFormat("Safety speed reduction getting active: %.2lf mm/s maximum!",
                                   static_cast<double>(ManualMaxVelMMPerSec));
                    speedReductionMessageArmed = false;
                }
            }
        } catch (...) {
            // The step itself is checked below and reports what is wrong with it.
        }
    }

    for (int i = 0; i < 9; ++i) workingState.jointSetPoint[i] += static_cast<float>(speed[i] * dt);
    try {
        // A refused step leaves the model where it was; the read-back takes the set-points from it.
        if (kinematic) kinematic->SetJoints(workingState.jointSetPoint, true);
        workingState.kinematicState = 0;
    } catch (int code) {
        workingState.kinematicState = code;
    } catch (const std::exception& e) {
        log->addErrorFormat("Error during joint motion: %s", e.what());
    }
}

void RobotMaster::JogCartesian(const float jog[9], int32_t operationMode, bool toolFrame) {
    const double dt = CycleTimeMS / 1000.0;
    const float overrideFactor = override.load() / 100.0f;
    DataTypes::Vector3 linear(jog[0] / 100.0f * JogCart[0] * overrideFactor, jog[1] / 100.0f * JogCart[1] * overrideFactor,
                              jog[2] / 100.0f * JogCart[2] * overrideFactor);
    const DataTypes::Vector3 angular(jog[3] / 100.0f * JogOri[0] * overrideFactor,
                                     jog[4] / 100.0f * JogOri[1] * overrideFactor,
                                     jog[5] / 100.0f * JogOri[2] * overrideFactor);
    double linearSpeed = linear.Magnitude();
    if (operationMode == OperationModeVelocityLimited && linearSpeed > ManualMaxVelMMPerSec) {
        linear = linear * (ManualMaxVelMMPerSec / linearSpeed);
        linearSpeed = ManualMaxVelMMPerSec;
    }
    const double angularSpeed = angular.Magnitude();
    double rampedLinear = 0.0;
    double rampedAngular = 0.0;
    jogAccelCart.SetTargetVel(linearSpeed, angularSpeed, &rampedLinear, &rampedAngular);
    const double linearScale = linearSpeed < 0.00001 ? 0.0 : rampedLinear / linearSpeed;
    const double angularScale = angularSpeed < 0.00001 ? 0.0 : rampedAngular / angularSpeed;

    const DataTypes::Vector3 displacement = linear * (linearScale * dt);
    const DataTypes::Vector3 angles = angular * (angularScale * dt);
    DataTypes::Matrix44 rotation;
    rotation.SetRotationABCDeg2(angles.x, angles.y, angles.z);

    // Matrix44's product a * b is b·a in ordinary notation.
    const DataTypes::Matrix44& pose = workingState.pose;
    DataTypes::Matrix44 target;
    if (toolFrame) {
        target = rotation * pose;  // pose·R: about the tool axes
        target.SetTranslation(pose * displacement);
    } else {
        target = pose * rotation;  // R·pose: about the base axes
        target.SetTranslation(pose.GetTranslation() + displacement);
    }
    try {
        if (kinematic) kinematic->SetPosition(target, workingState.jointSetPoint);
        workingState.kinematicState = 0;
    } catch (int code) {
        workingState.kinematicState = code;
    } catch (const std::exception& e) {
        LogSingleton::instance()->addErrorFormat(
            toolFrame ? "Error during cart-tool motion: %s" : "Error during cart-base motion: %s", e.what());
    }
    TakeModbusVelocities();
}
