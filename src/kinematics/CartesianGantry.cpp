#include "kinematics/CartesianGantry.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <fstream>
#include <tinyxml2.h>

#include "common/Filesystem.h"
#include "common/LogSingleton.h"
#include "kinematics/KinMath.h"

using KinMath::Frame;
using KinMath::kRadToDeg;

namespace {

// "dirA1" and its sisters: up to three numbers separated by blanks; the
// components after the last number read keep their values.
void ParseDirection(const char* text, DataTypes::Vector3& dir) {
    float v[3] = {dir.x, dir.y, dir.z};
    const int n = std::sscanf(text, "%f %f %f", &v[0], &v[1], &v[2]);
    float* out[3] = {&dir.x, &dir.y, &dir.z};
    for (int i = 0; i < n && i < 3; ++i) {
        if (!std::isfinite(v[i])) break;
        *out[i] = v[i];
    }
}

}  // namespace

CartesianGantry::Layout CartesianGantry::LayoutOf(Member member) {
    using DataTypes::Vector3;
    const Vector3 standardOffset(-195, -250, 130);
    switch (member) {
        case Member::OneAxis:
            return Layout{3, true, Vector3(), -1, true, false, 3, "RKCartesian", "RobotKinematicCartesian1Axis",
                          standardOffset};
        case Member::TwoAxisLine:
            return Layout{2, false, Vector3(0, 1, 0), 1, true, true, 2, "RKCartesian", "RobotKinematicCartesian",
                          Vector3()};
        case Member::TwoAxisPlane:
            return Layout{2, false, Vector3(0, 0, 1), 2, false, true, 3, "RKCartesianFlat",
                          "RobotKinematicCartesian2AxisPlane", Vector3()};
        case Member::ThreeAxis:
        default:
            return Layout{3, true, Vector3(), -1, true, true, 3, "RKCartesian", "RobotKinematicCartesian3Axis",
                          standardOffset};
    }
}

CartesianGantry::CartesianGantry(const char* typeName, const Layout& layout) : m_Layout(layout) {
    kinematicTypeName = typeName;
    nrOfJoints = layout.axes;
    axisDirections[0] = DataTypes::Vector3(1, 0, 0);
    axisDirections[1] = DataTypes::Vector3(0, 1, 0);
    axisDirections[2] = layout.axes == 3 ? DataTypes::Vector3(0, 0, -1) : layout.fixedColumn;
    gantryOffset = layout.defaultOffset;
    for (int i = 0; i < maxJoints; ++i) {
        maxJointVelocities[i] = 100;
        maxJointAccelerations[i] = 100;
        maxJointAccelerationIncs[i] = 100;
    }
    accLin = 1000;
    accLinInc = 2000;
    const float limits[maxJoints][2] = {{-5, 500},        {-5, 500},        {-5, 300},
                                        {-179.5f, 179.5f}, {0, 0},           {0, 0},
                                        {-179.5f, 179.5f}, {-179.5f, 179.5f}, {-179.5f, 179.5f}};
    for (int i = 0; i < maxJoints; ++i) {
        jointLimits[i][0] = limits[i][0];
        jointLimits[i][1] = limits[i][1];
    }
    for (int i = 0; i < 4; ++i) joints[i] = 0;
    pose = DataTypes::Matrix44();
}

CartesianGantry::~CartesianGantry() = default;

void CartesianGantry::clone(RobotKinematic* from) {
    RobotKinematic::clone(from);
    auto* other = dynamic_cast<CartesianGantry*>(from);
    if (other == nullptr || other == this) return;
    for (int i = 0; i < 3; ++i) {
        axisLengths[i] = other->axisLengths[i];
        axisDirections[i] = other->axisDirections[i];
    }
    axisMatrix = other->axisMatrix;
    axisMatrixInverse = other->axisMatrixInverse;
    gantryOffset = other->gantryOffset;
    fourthAxis = other->fourthAxis;
}

int CartesianGantry::LimitCount() const { return m_Layout.limitsInFile + (fourthAxis ? 1 : 0); }

void CartesianGantry::Init(const std::string& name, const std::string& type, const std::string& robotFile,
                           int velSet) {
    RobotKinematic::Init(name, type, robotFile, velSet);
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->addFormat(std::string(m_Layout.header) + " %s / %s  - Kinematic Data: ", robotName, robotType);

    ReadIniFile(robotFile);

    const DataTypes::Vector3 third = m_Layout.axes == 3 ? axisDirections[2] : m_Layout.fixedColumn;
    axisMatrix = DataTypes::Matrix44(axisDirections[0], axisDirections[1], third, DataTypes::Vector3(0, 0, 0));
    try {
        axisMatrixInverse = axisMatrix.Inverse();
    } catch (const std::exception& e) {
        // Dependent directions leave no inverse: the gantry cannot be moved.
        // Without a readable file the file's own reason stands.
        log->addError(kinematicTypeName + ": axis directions are linearly dependent (" + e.what() + ")");
        if (m_FileRead) SetSeriousFail("54 Robot Ini not complete");
    }

    const char* lengthNames[3] = {"1", "2", "3"};
    for (int i = 0; i < m_Layout.axes; ++i) {
        log->addFormat(std::string("   Linear Axis ") + lengthNames[i] + ":  Dir %.1lf, %.1lf, %.1lf   Length: %.1lf",
                       axisDirections[i].x, axisDirections[i].y, axisDirections[i].z, axisLengths[i]);
    }
    if (m_Layout.axes == 3) {
        log->addFormat("   Offset: %.1lf, %.1lf, %.1lf", gantryOffset.x, gantryOffset.y, gantryOffset.z);
        log->add(fourthAxis ? "Fourth Axis is available" : "Fourth Axis is NOT available");
    }
    for (int i = 0; i < nrOfJoints; ++i) {
        log->addFormat(
            "   Joint %d:  Min %.1lf  Max %.1lf   MaxVel %.1lf   MaxAcc %.1lf   JointOffset %.1lf   JointDirection %.1lf",
            i, jointLimits[i][0], jointLimits[i][1], maxJointVelocities[i], maxJointAccelerations[i], jointOffsets[i],
            jointDirections[i]);
    }
    for (int j = 0; j < nrOfExternalAxes; ++j) {
        const int i = 6 + j;
        log->addFormat("   ExtJoint %d: Min %.1lf Max %.1lf MaxVel %.1lf JointOffset %.1lf JointDirection %.1lf", j,
                       jointLimits[i][0], jointLimits[i][1], maxJointVelocities[i], jointOffsets[i], jointDirections[i]);
    }
    SetMinMaxValues(jointLimits);
    log->add(" ");
}

void CartesianGantry::ReadIniFile(const std::string& robotFile) {
    m_FileRead = false;
    std::ifstream probe(robotFile);
    if (!probe.is_open() || !Filesystem::IsFile(robotFile)) {
        LogSingleton::instance()->addError(std::string(m_Layout.missingFileName) +
                                           ": could not find robot ini file: " + robotFile);
        SetSeriousFail("51 Robot Ini not found");
        return;
    }
    probe.close();
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    tinyxml2::XMLElement* robot = OpenRobotFile(doc, robotFile);
    if (robot == nullptr) return;
    m_FileRead = true;

    if (tinyxml2::XMLElement* e = RequireElement(robot, "Kinematic", "54 Robot Ini not complete")) {
        if (m_Layout.mayHaveFourthAxis) {
            bool value = false;
            if (e->QueryBoolAttribute("FourthAxis", &value) == tinyxml2::XML_SUCCESS) {
                fourthAxis = value;
                if (fourthAxis) nrOfJoints = 4;
            }
        }
        ReadFloatAttribute(e, "lx", axisLengths[0]);
        ReadFloatAttribute(e, "ly", axisLengths[1]);
        ReadFloatAttribute(e, "lz", axisLengths[2]);
        ReadFloatAttribute(e, "xOffset", gantryOffset.x);
        ReadFloatAttribute(e, "yOffset", gantryOffset.y);
        ReadFloatAttribute(e, "zOffset", gantryOffset.z);
        const char* names[3] = {"dirA1", "dirA2", "dirA3"};
        for (int i = 0; i < m_Layout.axes; ++i) {
            if (const char* text = e->Attribute(names[i])) ParseDirection(text, axisDirections[i]);
        }
    }
    if (tinyxml2::XMLElement* e = RequireElement(robot, "SoftwareMinMax", "55 Robot Ini not complete")) {
        char name[16];
        for (int i = 0; i < LimitCount(); ++i) {
            std::snprintf(name, sizeof(name), "A%dMin", i + 1);
            ReadFloatAttribute(e, name, jointLimits[i][0]);
            std::snprintf(name, sizeof(name), "A%dMax", i + 1);
            ReadFloatAttribute(e, name, jointLimits[i][1]);
        }
    }
    ReadIniFileVelocities(robot);
}

void CartesianGantry::FlangeRotation(double q4, double r[3][3]) const {
    if (fourthAxis) {
        // Rx(180)·Rz(-q4): tool down, its X axis turned to q4 about the vertical.
        const double c = std::cos(q4 * KinMath::kDegToRad), s = std::sin(q4 * KinMath::kDegToRad);
        const double m[3][3] = {{c, s, 0}, {s, -c, 0}, {0, 0, -1}};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) r[i][j] = m[i][j];
        }
        return;
    }
    const double d = m_Layout.toolDown ? -1.0 : 1.0;
    const double m[3][3] = {{1, 0, 0}, {0, d, 0}, {0, 0, d}};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) r[i][j] = m[i][j];
    }
}

void CartesianGantry::SetJoints(const float* userJoints, bool check) {
    float q[maxJoints];
    float velocities[maxJoints];
    UserToInternal(userJoints, q);
    if (check) {
        for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
        CheckJointsPending(q, velocities);
    }
    Frame flange;
    FlangeRotation(fourthAxis ? q[3] : 0.0, flange.r);
    const DataTypes::Vector3 o = gantryOffset;
    flange.t[0] = o.x;
    flange.t[1] = o.y;
    flange.t[2] = o.z;
    for (int a = 0; a < m_Layout.axes; ++a) {
        flange.t[0] += static_cast<double>(q[a]) * axisDirections[a].x;
        flange.t[1] += static_cast<double>(q[a]) * axisDirections[a].y;
        flange.t[2] += static_cast<double>(q[a]) * axisDirections[a].z;
    }
    DataTypes::Matrix44 newPose;
    KinMath::ToMatrix(KinMath::Mul(flange, KinMath::FromMatrix(tool.toolMatrix)), &newPose);
    if (m_Layout.externalShift) AddLinearAxisPositionOffset(q, newPose);
    // The box guards the tool centre point, as for Cartesian set-points.
    if (check) CheckVirtualBox(newPose.GetTranslation(), pose.GetTranslation());

    CommitJoints(q, check ? velocities : nullptr);
    pose = newPose;
}

void CartesianGantry::SetPosition(const DataTypes::Matrix44& target, float* extJoints) {
    CheckVirtualBox(target.GetTranslation(), pose.GetTranslation());
    float j[maxJoints] = {};

    // The fourth axis turns the flange: its angle comes from the flange's X
    // axis, the tool's own turn taken off.
    double q4 = 0;
    if (fourthAxis) {
        const Frame f0 = KinMath::Mul(KinMath::FromMatrix(target), KinMath::FromMatrix(tool.inverseToolMatrix));
        q4 = KinMath::NearestDeg(std::atan2(f0.r[1][0], f0.r[0][0]) * kRadToDeg, joints[3]);
    }
    // The flange takes the gantry's own orientation whatever the target's:
    // the tool's offset is taken off along that orientation, so the tool
    // centre point reaches the target's position.
    Frame flange;
    FlangeRotation(q4, flange.r);
    const Frame t = KinMath::FromMatrix(tool.toolMatrix);
    for (int i = 0; i < 3; ++i) {
        flange.t[i] = target(i, 3) - (flange.r[i][0] * t.t[0] + flange.r[i][1] * t.t[1] + flange.r[i][2] * t.t[2]);
    }
    if (m_Layout.externalShift) {
        const DataTypes::Vector3 s = ComputeLinearAxisPositionOffset(extJoints);
        flange.t[0] -= s.x;
        flange.t[1] -= s.y;
        flange.t[2] -= s.z;
    }
    double stored[3] = {target(0, 3), target(1, 3), target(2, 3)};
    if (m_Layout.unservedComponent >= 0) {
        const int c = m_Layout.unservedComponent;
        stored[c] -= flange.t[c];
        flange.t[c] = 0;
    }

    const double v[3] = {flange.t[0] - gantryOffset.x, flange.t[1] - gantryOffset.y, flange.t[2] - gantryOffset.z};
    for (int a = 0; a < m_Layout.axes; ++a) {
        j[a] = static_cast<float>(axisMatrixInverse(a, 0) * v[0] + axisMatrixInverse(a, 1) * v[1] +
                                  axisMatrixInverse(a, 2) * v[2]);
    }
    if (fourthAxis) j[3] = static_cast<float>(q4);
    for (int i = 6; i < maxJoints; ++i) j[i] = extJoints[i];

    float velocities[maxJoints];
    for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
    CheckJointsPending(j, velocities);

    Frame reached = KinMath::Mul(flange, t);
    for (int i = 0; i < 3; ++i) reached.t[i] = stored[i];
    CommitJoints(j, velocities);
    pose = KinMath::ToMatrix(reached);
}

void CartesianGantry::UpdateConfigurationFile(tinyxml2::XMLDocument*, tinyxml2::XMLElement* robot) {
    tinyxml2::XMLElement* e = robot != nullptr ? robot->FirstChildElement("SoftwareMinMax") : nullptr;
    if (e == nullptr) {
        LogSingleton::instance()->addError(kinematicTypeName +
                                           ": line SoftwareMinMax not found in robot configuration file!");
        return;
    }
    char name[16];
    for (int i = 0; i < LimitCount(); ++i) {
        std::snprintf(name, sizeof(name), "A%dMin", i + 1);
        e->SetAttribute(name, jointLimits[i][0]);
        std::snprintf(name, sizeof(name), "A%dMax", i + 1);
        e->SetAttribute(name, jointLimits[i][1]);
    }
}
