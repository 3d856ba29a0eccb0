#include "kinematics/RobotKinematic.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <tinyxml2.h>

#include "common/Filesystem.h"
#include "common/LogSingleton.h"
#include "hardware/ExternalAxis.h"

RobotKinematic::RobotKinematic() = default;

RobotKinematic::~RobotKinematic() = default;

void RobotKinematic::clone(RobotKinematic* from) {
    if (from == nullptr || from == this) return;
    tool = from->tool;
    robotName = from->robotName;
    robotType = from->robotType;
    kinematicTypeName = from->kinematicTypeName;
    nrOfJoints = from->nrOfJoints;
    nrOfExternalAxes = from->nrOfExternalAxes;
    pose = from->pose;
    for (int i = 0; i < 3; ++i) {
        poseExtra[i] = from->poseExtra[i];
        extAxisPresent[i] = from->extAxisPresent[i];
        extAxisIndependent[i] = from->extAxisIndependent[i];
        extAxisPositionOffset[i] = from->extAxisPositionOffset[i];
        extAxisBaseOffset[i] = from->extAxisBaseOffset[i];
        directionAngleToY[i] = from->directionAngleToY[i];
    }
    for (int i = 0; i < maxJoints; ++i) {
        joints[i] = from->joints[i];
        jointVelocities[i] = from->jointVelocities[i];
        jointLimits[i][0] = from->jointLimits[i][0];
        jointLimits[i][1] = from->jointLimits[i][1];
        maxJointVelocities[i] = from->maxJointVelocities[i];
        maxJointAccelerations[i] = from->maxJointAccelerations[i];
        maxJointAccelerationIncs[i] = from->maxJointAccelerationIncs[i];
        jointOffsets[i] = from->jointOffsets[i];
        jointDirections[i] = from->jointDirections[i];
    }
    velTrans = from->velTrans;
    accLin = from->accLin;
    accLinInc = from->accLinInc;
    accOri = from->accOri;
    accOriInc = from->accOriInc;
    velOri = from->velOri;
    tcpXDirToFront = from->tcpXDirToFront;
    zOffset = from->zOffset;
    cycleTimeMs = from->cycleTimeMs;
    virtualBoxActive = from->virtualBoxActive;
    virtualBoxMin = from->virtualBoxMin;
    virtualBoxMax = from->virtualBoxMax;
}

void RobotKinematic::AdaptJointsToMotors(float*) {}

void RobotKinematic::AdaptMotorsToJoints(float*) {}

void RobotKinematic::Init(const std::string& name, const std::string& type, const std::string&, int velSet) {
    robotName = name;
    robotType = type;
    velocitySet = velSet;
}

void RobotKinematic::SetJoints(const float*, bool) {}

void RobotKinematic::SetPosition(const DataTypes::Matrix44&, float*) {}

void RobotKinematic::UpdateConfigurationFile(tinyxml2::XMLDocument*, tinyxml2::XMLElement*) {
    LogSingleton::instance()->add("RobotKinematic: UpdateConfigurationFile not implemented for this kinematic");
}

void RobotKinematic::GetJoints(float* out) const {
    for (int i = 0; i < maxJoints; ++i) out[i] = jointDirections[i] * (joints[i] - jointOffsets[i]);
}

void RobotKinematic::GetPosition(DataTypes::RobotState* state) const {
    state->pose = pose;
    state->A = poseExtra[0];
    state->B = poseExtra[1];
    state->C = poseExtra[2];
}

void RobotKinematic::SetMinMaxValues(float limits[maxJoints][2]) {
    float in[maxJoints][2];
    for (int i = 0; i < maxJoints; ++i) {
        in[i][0] = limits[i][0];
        in[i][1] = limits[i][1];
    }
    for (int i = 0; i < maxJoints; ++i) {
        float lo = jointDirections[i] * in[i][0] + jointOffsets[i];
        float hi = jointDirections[i] * in[i][1] + jointOffsets[i];
        if (lo > hi) std::swap(lo, hi);
        jointLimits[i][0] = lo;
        jointLimits[i][1] = hi;
    }
}

void RobotKinematic::GetMinMaxValues(float limits[maxJoints][2]) const {
    for (int i = 0; i < maxJoints; ++i) {
        if (jointDirections[i] == 0.0f) {
            LogSingleton::instance()->addFormat(
                "Error while converting kinematic limits: brandTrafoJointDirections for axis %d is 0, skipping axis", i);
            continue;
        }
        float lo = (jointLimits[i][0] - jointOffsets[i]) / jointDirections[i];
        float hi = (jointLimits[i][1] - jointOffsets[i]) / jointDirections[i];
        if (lo > hi) std::swap(lo, hi);
        limits[i][0] = lo;
        limits[i][1] = hi;
    }
}

void RobotKinematic::AddExternalAxis(const ExternalAxis& axis) {
    if (nrOfExternalAxes >= 3) {
        LogSingleton::instance()->add("Cannot add more then 3 External Joints!");
        return;
    }
    const int i = nrOfExternalAxes++;
    extAxisPresent[i] = true;
    extAxisIndependent[i] = static_cast<int>(axis.kinematic) == 1;
    extAxisBaseOffset[i] = DataTypes::Vector3(0, 0, extAxisIndependent[i] ? 0.0f : static_cast<float>(axis.lz0));
    directionAngleToY[i] = axis.directionAngleToY;
    jointLimits[6 + i][0] = static_cast<float>(axis.min);
    jointLimits[6 + i][1] = static_cast<float>(axis.max);
    maxJointVelocities[6 + i] = static_cast<float>(axis.velMax);
    maxJointAccelerations[6 + i] = static_cast<float>(axis.acc);
    maxJointAccelerationIncs[6 + i] = static_cast<float>(axis.accInc);
    LogSingleton::instance()->addFormat(
        "Kin: Ext%d - lz0: %.1lf  DirectionAngleToY: %d  Min: %.1lf  Max: %.1lf  -  MaxVel: %.1lf  -  MaxAcc: %.1lf",
        i + 1, static_cast<double>(axis.lz0), directionAngleToY[i], static_cast<double>(jointLimits[6 + i][0]),
        static_cast<double>(jointLimits[6 + i][1]), static_cast<double>(maxJointVelocities[6 + i]),
        static_cast<double>(maxJointAccelerations[6 + i]));
}

void RobotKinematic::ResetLastJoints(const float* userJoints) {
    for (int i = 0; i < maxJoints; ++i) {
        joints[i] = jointDirections[i] * userJoints[i] + jointOffsets[i];
        jointVelocities[i] = 0;
    }
}

void RobotKinematic::KinAdaptorToInternalFormat(float* j, float* z) const {
    *z += zOffset;
    for (int i = 0; i < maxJoints; ++i) j[i] = j[i] * jointDirections[i] + jointOffsets[i];
}

void RobotKinematic::UserToInternal(const float* userJoints, float* internal) const {
    for (int i = 0; i < maxJoints; ++i) internal[i] = jointDirections[i] * userJoints[i] + jointOffsets[i];
}

void RobotKinematic::SetArmStartDefaults() {
    pose = DataTypes::Matrix44();
    pose.SetTranslation(400.0f, 50.0f, 300.0f);
    for (int i = 0; i < maxJoints; ++i) {
        maxJointVelocities[i] = 20;
        maxJointAccelerations[i] = 100;
        jointLimits[i][0] = -150;
        jointLimits[i][1] = 150;
    }
}

void RobotKinematic::CheckJoints(float* internalJoints) {
    float velocities[maxJoints];
    for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
    CheckJointsPending(internalJoints, velocities);
    for (int i = 0; i < maxJoints; ++i) jointVelocities[i] = velocities[i];
}

void RobotKinematic::CheckJointsPending(const float* q, float* velocities) {
    LogSingleton* log = LogSingleton::instance();
    auto velocity = [this](float next, float last) {
        const float diff = next - last;
        return static_cast<float>(static_cast<double>(diff) / cycleTimeMs * 1000.0);
    };
    // An infinite value is as unusable as NaN and must not reach the motors.
    for (int i = 0; i < nrOfJoints; ++i) {
        if (!std::isfinite(q[i])) {
            log->addErrorFormat("Error in computation, NAN in Joint %d: %lf", i, static_cast<double>(q[i]));
            throw 50;
        }
        velocities[i] = velocity(q[i], joints[i]);
    }
    for (int j = 0; j < nrOfExternalAxes; ++j) {
        const int i = 6 + j;
        if (!std::isfinite(q[i])) {
            log->addErrorFormat("Error in computation, NAN in Ext%d", j + 1);
            throw 50;
        }
        velocities[i] = velocity(q[i], joints[i]);
    }

    auto limited = [this](int i) {
        return std::fabs(jointLimits[i][0]) > 0.001f || std::fabs(jointLimits[i][1]) > 0.001f;
    };
    auto check = [&](int i, int number, const char* minText, const char* maxText) {
        if (!limited(i)) return;
        if (q[i] < jointLimits[i][0] && velocities[i] < -0.001f) {
            if (logLimitViolation) {
                log->addErrorFormat(minText, number, static_cast<double>(q[i]), static_cast<double>(jointLimits[i][0]),
                                    static_cast<double>(velocities[i]));
                logLimitViolation = false;
            }
            throw 13;
        }
        if (q[i] > jointLimits[i][1] && velocities[i] > 0.001f) {
            if (logLimitViolation) {
                log->addErrorFormat(maxText, number, static_cast<double>(q[i]), static_cast<double>(jointLimits[i][1]),
                                    static_cast<double>(velocities[i]));
                logLimitViolation = false;
            }
            throw 14;
        }
    };
    for (int i = 0; i < nrOfJoints; ++i) {
        check(i, i, "JointLimits Min exceeded: Nr %d requested %.1lf° allowed %.1lf°, joint vel %.2lf",
              "JointLimits Max exceeded: Nr %d requested %.1lf° allowed %.1lf°, joint vel %.2lf");
    }
    for (int j = 0; j < nrOfExternalAxes; ++j) {
        check(6 + j, j + 1, "ExtJointLimits Min exceeded: Nr %d requested %.1lf allowed %.1lf, joint vel %.2lf",
              "ExtJointLimits Max exceeded: Nr %d requested %.1lf allowed %.1lf, joint vel %.2lf");
    }
    logLimitViolation = true;
}

void RobotKinematic::CommitJoints(const float* internal, const float* velocities) {
    for (int i = 0; i < maxJoints; ++i) {
        if (i < nrOfJoints || i >= 6) {
            joints[i] = internal[i];
            if (velocities != nullptr) jointVelocities[i] = velocities[i];
        }
    }
}

void RobotKinematic::CheckVirtualBox(const DataTypes::Vector3& newPos, const DataTypes::Vector3& lastPos) {
    if (!virtualBoxActive) return;
    const float n[3] = {newPos.x, newPos.y, newPos.z};
    const float d[3] = {lastPos.x - newPos.x, lastPos.y - newPos.y, lastPos.z - newPos.z};
    const float lo[3] = {virtualBoxMin.x, virtualBoxMin.y, virtualBoxMin.z};
    const float hi[3] = {virtualBoxMax.x, virtualBoxMax.y, virtualBoxMax.z};
    const char* names[3] = {"x ", "y ", "z "};
    std::ostringstream text;
    int code = 0;
    for (int a = 0; a < 3; ++a) {
        if (n[a] > hi[a] && d[a] < 0) {
            text << names[a] << n[a] << " > " << hi[a];
            code = 30 + 2 * a;
        } else if (n[a] < lo[a] && d[a] > 0) {
            text << names[a] << n[a] << " < " << lo[a];
            code = 31 + 2 * a;
        }
    }
    if (code != 0) {
        LogSingleton::instance()->addError("Virtual box violated: " + text.str());
        throw code;
    }
}

DataTypes::Vector3 RobotKinematic::ComputeLinearAxisPositionOffset(const float* j) {
    DataTypes::Vector3 sum;
    for (int i = 0; i < nrOfExternalAxes && i < 3; ++i) {
        if (!extAxisPresent[i] || extAxisIndependent[i]) continue;
        const float v = j[6 + i];
        float x = 0, y = 0;
        switch (directionAngleToY[i]) {
            case -90: x = v; break;
            case 90: x = -v; break;
            case 180: y = -v; break;
            default: y = v; break;
        }
        extAxisPositionOffset[i] = DataTypes::Vector3(x, y, extAxisBaseOffset[i].z);
        sum = sum + extAxisPositionOffset[i];
    }
    return sum;
}

DataTypes::Vector3 RobotKinematic::AddLinearAxisPositionOffset(const float* j, DataTypes::Matrix44& m) {
    const DataTypes::Vector3 s = ComputeLinearAxisPositionOffset(j);
    m(0, 3) += s.x;
    m(1, 3) += s.y;
    m(2, 3) += s.z;
    return s;
}

DataTypes::Vector3 RobotKinematic::AddLinearAxisPositionOffset(const float* j, const DataTypes::Vector3& v) {
    return v + ComputeLinearAxisPositionOffset(j);
}

DataTypes::Vector3 RobotKinematic::SubtractLinearAxisPositionOffset(const float* j, DataTypes::Matrix44& m) {
    const DataTypes::Vector3 s = ComputeLinearAxisPositionOffset(j);
    m(0, 3) -= s.x;
    m(1, 3) -= s.y;
    m(2, 3) -= s.z;
    return s;
}

DataTypes::Vector3 RobotKinematic::SubtractLinearAxisPositionOffset(const float* j, const DataTypes::Vector3& v) {
    return v - ComputeLinearAxisPositionOffset(j);
}

// ---- robot file ----

void RobotKinematic::SetSeriousFail(const std::string& reason) {
    LogSingleton::instance()->set_opMode(opModeSeriousFail);
    LogSingleton::instance()->set_seriousFailReason(reason);
}

bool RobotKinematic::ReadFloatAttribute(const tinyxml2::XMLElement* e, const char* name, float& value) {
    float v = 0;
    if (e->QueryFloatAttribute(name, &v) != tinyxml2::XML_SUCCESS || !std::isfinite(v)) return false;
    value = v;
    return true;
}

bool RobotKinematic::ReadDoubleAttribute(const tinyxml2::XMLElement* e, const char* name, double& value) {
    double v = 0;
    if (e->QueryDoubleAttribute(name, &v) != tinyxml2::XML_SUCCESS || !std::isfinite(v)) return false;
    value = v;
    return true;
}

tinyxml2::XMLElement* RobotKinematic::OpenRobotFile(tinyxml2::XMLDocument& doc, const std::string& robotFile,
                                                    const char* reasonNotValid) {
    LogSingleton* log = LogSingleton::instance();
    std::ifstream probe(robotFile);
    if (!probe.is_open() || !Filesystem::IsFile(robotFile)) {
        log->addError(kinematicTypeName + ": could not find robot ini file: " + robotFile);
        SetSeriousFail("51 Robot Ini not found");
        return nullptr;
    }
    probe.close();
    if (doc.LoadFile(robotFile.c_str()) != tinyxml2::XML_SUCCESS) {
        log->addError(kinematicTypeName + ": could not read robot ini file correctly: " + robotFile);
        SetSeriousFail(reasonNotValid);
        return nullptr;
    }
    tinyxml2::XMLElement* robot = doc.FirstChildElement("Robot");
    if (robot == nullptr) {
        log->addError(kinematicTypeName + ": line Robot not found in robot ini file!");
        SetSeriousFail("53 Robot Ini not complete");
    }
    return robot;
}

tinyxml2::XMLElement* RobotKinematic::RequireElement(tinyxml2::XMLElement* robot, const char* name,
                                                     const char* reason, bool quoteName) {
    tinyxml2::XMLElement* e = robot->FirstChildElement(name);
    if (e == nullptr) {
        const std::string shown = quoteName ? std::string("\"") + name + "\"" : std::string(name);
        LogSingleton::instance()->addError(kinematicTypeName + ": line " + shown + " not found in robot ini file!");
        SetSeriousFail(reason);
    }
    return e;
}

void RobotKinematic::ReadSoftwareMinMax(tinyxml2::XMLElement* robot) {
    tinyxml2::XMLElement* e = RequireElement(robot, "SoftwareMinMax", "55 Robot Ini not complete");
    if (e == nullptr) return;
    char name[16];
    for (int i = 0; i < nrOfJoints && i < 6; ++i) {
        std::snprintf(name, sizeof(name), "A%dMin", i + 1);
        ReadFloatAttribute(e, name, jointLimits[i][0]);
        std::snprintf(name, sizeof(name), "A%dMax", i + 1);
        ReadFloatAttribute(e, name, jointLimits[i][1]);
    }
}

void RobotKinematic::ReadManufacturerJointConfig(tinyxml2::XMLElement* robot) {
    tinyxml2::XMLElement* e = RequireElement(robot, "ManufacturerJointConfig", "58 Robot Ini not complete");
    if (e == nullptr) return;
    ReadFloatAttribute(e, "zOffset", zOffset);
    char name[16];
    for (int i = 0; i < nrOfJoints && i < 6; ++i) {
        std::snprintf(name, sizeof(name), "A%dOffset", i + 1);
        ReadFloatAttribute(e, name, jointOffsets[i]);
        std::snprintf(name, sizeof(name), "A%dDir", i + 1);
        float dir = jointDirections[i];
        if (!ReadFloatAttribute(e, name, dir)) continue;
        // Any other factor would scale the joint or freeze it (0).
        if (dir == 1.0f || dir == -1.0f) {
            jointDirections[i] = dir;
        } else {
            LogSingleton::instance()->addErrorFormat("%s: %s must be 1 or -1, keeping %.0lf", kinematicTypeName, name,
                                                     static_cast<double>(jointDirections[i]));
        }
    }
}

void RobotKinematic::ReadIniFileVelocities(tinyxml2::XMLElement* robot) {
    LogSingleton* log = LogSingleton::instance();
    if (velocitySet < 0) velocitySet = 0;
    auto find = [&](const char* base) {
        char name[64];
        std::snprintf(name, sizeof(name), "%s%d", base, velocitySet);
        tinyxml2::XMLElement* e = robot->FirstChildElement(name);
        if (e == nullptr) e = robot->FirstChildElement(base);
        return e;
    };
    auto readJoints = [](tinyxml2::XMLElement* e, float* values) {
        char name[8];
        for (int i = 0; i < maxJoints; ++i) {
            std::snprintf(name, sizeof(name), "A%d", i + 1);
            ReadFloatAttribute(e, name, values[i]);
        }
    };

    if (tinyxml2::XMLElement* e = find("JointVelocities")) {
        readJoints(e, maxJointVelocities);
    } else {
        log->addError("RobotKinematic: line JointVelocities not found in robot ini file!");
        SetSeriousFail("56 Robot Ini not complete");
    }
    if (tinyxml2::XMLElement* e = find("JointAccelerations")) {
        readJoints(e, maxJointAccelerations);
    } else {
        log->addError("RobotKinematic: line JointAccelerations not found in robot ini file!");
        SetSeriousFail("57 Robot Ini not complete");
    }
    if (tinyxml2::XMLElement* e = find("JointAccelerationIncs")) {
        readJoints(e, maxJointAccelerationIncs);
    } else {
        log->addError("RobotKinematic: line JointAccelerationIncs not found in robot ini file!");
    }
    if (tinyxml2::XMLElement* e = find("CartVelocities")) {
        ReadDoubleAttribute(e, "VelTrans", velTrans);
        ReadDoubleAttribute(e, "VelOri", velOri);
    } else {
        log->addError("RobotKinematic: line CartVelocities not found in robot ini file!");
    }
    if (tinyxml2::XMLElement* e = find("CartAccelerations")) {
        ReadDoubleAttribute(e, "AccLin", accLin);
        ReadDoubleAttribute(e, "AccLinInc", accLinInc);
        ReadDoubleAttribute(e, "AccOri", accOri);
        ReadDoubleAttribute(e, "AccOriInc", accOriInc);
    } else {
        log->addError("RobotKinematic: line CartAccelerations not found in robot ini file!");
    }
}
