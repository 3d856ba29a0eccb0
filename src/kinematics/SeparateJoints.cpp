#include "kinematics/SeparateJoints.h"

#include <cstdio>
#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "kinematics/KinematicLog.h"

SeparateJoints::SeparateJoints(const char* typeName, const char* headerName) : m_HeaderName(headerName) {
    kinematicTypeName = typeName;
    nrOfJoints = 5;
    tcpXDirToFront = false;
    for (int i = 0; i < maxJoints; ++i) {
        joints[i] = 0;
        jointOffsets[i] = 0;
        jointDirections[i] = 1.0f;
    }
}

SeparateJoints::~SeparateJoints() = default;

void SeparateJoints::Init(const std::string& name, const std::string& type, const std::string& robotFile,
                          int velSet) {
    RobotKinematic::Init(name, type, robotFile, velSet);
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->addFormat(std::string(m_HeaderName) + " %s / %s  - Kinematic Data: ", robotName, robotType);
    for (int i = 0; i < maxJoints; ++i) {
        maxJointVelocities[i] = 20;
        maxJointAccelerations[i] = 100;
        jointLimits[i][0] = -100;
        jointLimits[i][1] = 100;
    }
    accLin = 1000;
    accLinInc = 2000;

    ReadIniFile(robotFile);

    KinematicLog::JointLines(*this, 6);
    SetMinMaxValues(jointLimits);
    log->add(" ");
}

void SeparateJoints::ReadIniFile(const std::string& robotFile) {
    LogSingleton* log = LogSingleton::instance();
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    tinyxml2::XMLElement* robot = OpenRobotFile(doc, robotFile);
    if (robot == nullptr) return;

    if (tinyxml2::XMLElement* bus = RequireElement(robot, "BusConfiguration", "59 Robot Ini not complete")) {
        tinyxml2::XMLElement* jointsElement = bus->FirstChildElement("Joints");
        if (jointsElement == nullptr) {
            log->addError(kinematicTypeName + ": line Joints not found in robot ini file!");
            SetSeriousFail("60 Robot Ini not complete");
        } else {
            int count = nrOfJoints;
            if (jointsElement->QueryIntAttribute("NrOfJoints", &count) == tinyxml2::XML_SUCCESS) {
                // The robot joints occupy indices 0..5 of every joint array.
                if (count >= 0 && count <= 6) {
                    nrOfJoints = count;
                } else {
                    log->addErrorFormat("%s: attribute NrOfJoints %d in line Joints must lie between 0 and 6",
                                        kinematicTypeName, count);
                    SetSeriousFail("60 Robot Ini not complete");
                }
            }
        }
    }

    if (tinyxml2::XMLElement* e = RequireElement(robot, "SoftwareMinMax", "55 Robot Ini not complete")) {
        char attribute[16];
        for (int i = 0; i < 6; ++i) {
            std::snprintf(attribute, sizeof(attribute), "A%dMin", i + 1);
            ReadFloatAttribute(e, attribute, jointLimits[i][0]);
            std::snprintf(attribute, sizeof(attribute), "A%dMax", i + 1);
            ReadFloatAttribute(e, attribute, jointLimits[i][1]);
        }
    }
    ReadIniFileVelocities(robot);
}

void SeparateJoints::SetJoints(const float* userJoints, bool check) {
    float q[maxJoints];
    UserToInternal(userJoints, q);
    float velocities[maxJoints];
    if (check) {
        for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
        CheckJointsPending(q, velocities);
    }
    for (int i = 0; i < maxJoints; ++i) {
        joints[i] = q[i];
        if (check) jointVelocities[i] = velocities[i];
    }
}

void SeparateJoints::SetPosition(const DataTypes::Matrix44&, float*) {}
