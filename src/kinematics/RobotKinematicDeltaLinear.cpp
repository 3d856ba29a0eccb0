#include "kinematics/RobotKinematicDeltaLinear.h"

#include <cmath>
#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "kinematics/GeometryCopy.h"
#include "kinematics/KinMath.h"
#include "kinematics/LinearDeltaSetup.h"
#include "kinematics/Trilateration.h"

namespace {

// Ordinary product a·b (b applied first), in double precision.
DataTypes::Matrix44 Then(const DataTypes::Matrix44& a, const DataTypes::Matrix44& b) {
    return KinMath::ToMatrix(KinMath::Mul(KinMath::FromMatrix(a), KinMath::FromMatrix(b)));
}

}  // namespace

RobotKinematicDeltaLinear::RobotKinematicDeltaLinear() {
    kinematicTypeName = "RobotKinematicDeltaLinear";
    nrOfJoints = 3;
    LinearDeltaSetup::SetDefaults(*this);
    PrepareKinematic();
}

RobotKinematicDeltaLinear::~RobotKinematicDeltaLinear() = default;

void RobotKinematicDeltaLinear::clone(RobotKinematic* from) {
    if (!CopyGeometry(*this, from)) RobotKinematic::clone(from);
}

RobotKinematic* RobotKinematicDeltaLinear::clone() { return NewCopy(*this); }

void RobotKinematicDeltaLinear::Init(const std::string& name, const std::string& type, const std::string& robotFile,
                                     int velSet) {
    RobotKinematic::Init(name, type, robotFile, velSet);
    LinearDeltaSetup::Start(*this, "RKCartesian %s / %s  - Kinematic Data: ");

    ReadIniFile(robotFile);

    LogSingleton::instance()->add(fourthAxis ? "Fourth Axis is available" : "Fourth Axis is NOT available");
    LinearDeltaSetup::LogJoints(*this);
    SetMinMaxValues(jointLimits);
    PrepareKinematic();
    LogSingleton::instance()->add(" ");
}

void RobotKinematicDeltaLinear::ReadIniFile(const std::string& robotFile) {
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    tinyxml2::XMLElement* robot = OpenRobotFile(doc, robotFile);
    if (robot == nullptr) return;

    if (tinyxml2::XMLElement* e = RequireElement(robot, "Kinematic", "54 Robot Ini not complete")) {
        bool fourth = false;
        if (e->QueryBoolAttribute("FourthAxis", &fourth) == tinyxml2::XML_SUCCESS) {
            fourthAxis = fourth;
            if (fourth) nrOfJoints = 4;
        }
        ReadFloatAttribute(e, "mountZ", mountZ);
        ReadFloatAttribute(e, "distZ1", distZ1);
        ReadFloatAttribute(e, "distZ2", distZ2);
        ReadFloatAttribute(e, "radius1", radius1);
        ReadFloatAttribute(e, "radius2", radius2);
        ReadFloatAttribute(e, "lengthJoint", lengthJoint);
        ReadFloatAttribute(e, "distJoint", distJoint);
        ReadFloatAttribute(e, "tcpRadius", tcpRadius);
        ReadFloatAttribute(e, "tcpHeight", tcpHeight);
    }
    if (tinyxml2::XMLElement* e = RequireElement(robot, "Linkage", "55 Robot Ini not complete")) {
        ReadFloatAttribute(e, "MaxAngle", maxLinkageAngle);
    }
    ReadSoftwareMinMax(robot);
    ReadIniFileVelocities(robot);
}

void RobotKinematicDeltaLinear::PrepareKinematic() {
    const DataTypes::Vector3 top(radius1, 0, mountZ - distZ1);
    const DataTypes::Vector3 bottom(radius2, 0, mountZ - distZ1 - distZ2);
    const double dx = static_cast<double>(bottom.x) - top.x;
    const double dz = static_cast<double>(bottom.z) - top.z;
    const double len = std::sqrt(dx * dx + dz * dz);
    for (int i = 0; i < 3; ++i) {
        const double a = 120.0 * i / KinMath::kRadToDeg;
        const double c = std::cos(a), s = std::sin(a);
        auto turned = [c, s](double x, double y, double z) {
            return DataTypes::Vector3(static_cast<float>(c * x - s * y), static_cast<float>(s * x + c * y),
                                      static_cast<float>(z));
        };
        railTop[i] = turned(top.x, top.y, top.z);
        railBottom[i] = turned(bottom.x, bottom.y, bottom.z);
        railDirection[i] = len > 0 ? turned(dx / len, 0, dz / len) : DataTypes::Vector3();
        tcpOffset[i] = turned(tcpRadius, 0, tcpHeight);
        jointHalfDistance[i] = turned(0, distJoint / 2.0, 0);
        carriage[i] = railTop[i];
    }
}

void RobotKinematicDeltaLinear::SetCarriages(const float* q) {
    for (int i = 0; i < 3; ++i) carriage[i] = railTop[i] + railDirection[i] * q[i];
}

void RobotKinematicDeltaLinear::OutOfReach() {
    if (!errorLogged) {
        LogSingleton::instance()->addError("InvKin: OutofReach");
        errorLogged = true;
    }
    throw 22;
}

float RobotKinematicDeltaLinear::ComputeOneJoint(int i, const DataTypes::Vector3& p) {
    const DataTypes::Vector3 q = p + tcpOffset[i];
    const double L = lengthJoint;
    if (!std::isfinite(q.x) || !std::isfinite(q.y) || !std::isfinite(q.z)) OutOfReach();
    // Carriage c = top + dir·j with |q - c| = L: j² - 2·j·(dir·w) + |w|² - L² = 0, w = q - top.
    const double wx = static_cast<double>(q.x) - railTop[i].x;
    const double wy = static_cast<double>(q.y) - railTop[i].y;
    const double wz = static_cast<double>(q.z) - railTop[i].z;
    const DataTypes::Vector3& dir = railDirection[i];
    const double b = dir.x * wx + dir.y * wy + dir.z * wz;
    const double disc = b * b - (wx * wx + wy * wy + wz * wz) + L * L;
    // The rod cannot reach the rail's line. (Distance from the rail's lower end
    // is no measure: rails running outwards hold the platform farther away.)
    if (disc < 0) OutOfReach();
    // Of the two points the one nearer the upper end: the rod then leans
    // from its carriage along the rail's direction, as when the platform
    // hangs below inclined rails. (The other point lies beyond the rail's
    // lower end on rails running inwards.)
    const double j = b - std::sqrt(disc);
    carriage[i] = railTop[i] + dir * j;
    return static_cast<float>(j);
}

void RobotKinematicDeltaLinear::InverseKin(const DataTypes::Matrix44& target, float* q) {
    const DataTypes::Vector3 p = Then(target, tool.inverseToolMatrix).GetTranslation();
    for (int i = 0; i < 3; ++i) q[i] = ComputeOneJoint(i, p);
}

void RobotKinematicDeltaLinear::ForwardKin(float* q, DataTypes::Matrix44* out) {
    SetCarriages(q);
    DataTypes::Vector3 p;
    if (!Trilateration(carriage[0] - tcpOffset[0], carriage[1] - tcpOffset[1], carriage[2] - tcpOffset[2],
                       lengthJoint, lengthJoint, lengthJoint, &p)) {
        if (!errorLogged) {
            LogSingleton::instance()->addError("ForwKin: TrilaterationError");
            errorLogged = true;
        }
        throw 28;
    }
    DataTypes::Matrix44 m;
    m(1, 1) = -1;
    m(2, 2) = -1;
    m.SetTranslation(p);
    if (fourthAxis) {
        DataTypes::Matrix44 r;
        r.SetRotationDeg(DataTypes::Matrix44::Z, q[3]);
        m = Then(m, r);
    }
    *out = Then(m, tool.toolMatrix);
}

void RobotKinematicDeltaLinear::checkLinkages(float*, const DataTypes::Vector3&) {}

float RobotKinematicDeltaLinear::Fitness(float* q, const DataTypes::Vector3& p) {
    SetCarriages(q);
    double sum = 0;
    for (int i = 0; i < 3; ++i) {
        const double e = static_cast<double>((p + tcpOffset[i] - carriage[i]).Magnitude()) - lengthJoint;
        sum += e * e;
    }
    return static_cast<float>(std::sqrt(sum));
}

void RobotKinematicDeltaLinear::SetJoints(const float* userJoints, bool check) {
    float q[maxJoints];
    float velocities[maxJoints];
    UserToInternal(userJoints, q);
    if (check) {
        for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
        CheckJointsPending(q, velocities);
    }
    DataTypes::Matrix44 newPose;
    ForwardKin(q, &newPose);
    AddLinearAxisPositionOffset(q, newPose);
    if (check) {
        checkLinkages(q, newPose.GetTranslation());
        CheckVirtualBox(newPose.GetTranslation(), pose.GetTranslation());
    }
    CommitJoints(q, check ? velocities : nullptr);
    pose = newPose;
    errorLogged = false;
}

void RobotKinematicDeltaLinear::SetPosition(const DataTypes::Matrix44& target, float* extJoints) {
    CheckVirtualBox(target.GetTranslation(), pose.GetTranslation());
    float q[maxJoints] = {};
    DataTypes::Matrix44 t = target;
    SubtractLinearAxisPositionOffset(extJoints, t);
    InverseKin(t, q);
    for (int i = 6; i < maxJoints; ++i) q[i] = extJoints[i];
    if (fourthAxis) {
        // A4 turns the flange, so its angle is read off the flange's X axis
        // (the tool may be turned against it): X = (cos A4, -sin A4, 0).
        const DataTypes::Vector3 x = Then(t, tool.inverseToolMatrix).GetColumnVector(0);
        double a = -std::atan2(static_cast<double>(x.y), static_cast<double>(x.x)) * KinMath::kRadToDeg;
        if (a <= -180.0) a += 360.0;
        q[3] = static_cast<float>(a);
    }
    float velocities[maxJoints];
    for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
    CheckJointsPending(q, velocities);
    checkLinkages(q, t.GetTranslation());
    CommitJoints(q, velocities);
    pose = target;
}
