#include "kinematics/RobotKinematicDelta2Linear.h"

#include <cmath>
#include <stdexcept>
#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "kinematics/GeometryCopy.h"
#include "kinematics/KinMath.h"
#include "kinematics/LinearDeltaSetup.h"

namespace {
const char* const kNotReachable = "Kinematics Error Delta2: not reachable";
// Rounding of a pose that went through other frames leaves a Y of a few µm.
constexpr float kYTolerance = 0.01f;

// Ordinary product a·b (b applied first), in double precision.
DataTypes::Matrix44 Then(const DataTypes::Matrix44& a, const DataTypes::Matrix44& b) {
    return KinMath::ToMatrix(KinMath::Mul(KinMath::FromMatrix(a), KinMath::FromMatrix(b)));
}

DataTypes::Vector3 InPlane(double x, double z) {
    return DataTypes::Vector3(static_cast<float>(x), 0.0f, static_cast<float>(z));
}

}  // namespace

RobotKinematicDelta2Linear::RobotKinematicDelta2Linear() {
    kinematicTypeName = "RobotKinematicDelta2Linear";
    nrOfJoints = 2;
    LinearDeltaSetup::SetDefaults(*this);
    PrepareKinematic();
}

RobotKinematicDelta2Linear::~RobotKinematicDelta2Linear() = default;

void RobotKinematicDelta2Linear::clone(RobotKinematic* from) {
    if (!CopyGeometry(*this, from)) RobotKinematic::clone(from);
}

RobotKinematic* RobotKinematicDelta2Linear::clone() { return NewCopy(*this); }

void RobotKinematicDelta2Linear::Init(const std::string& name, const std::string& type, const std::string& robotFile,
                                      int velSet) {
    RobotKinematic::Init(name, type, robotFile, velSet);
    LinearDeltaSetup::Start(*this, "RKDelta2Linear %s / %s  - Kinematic Data: ");

    ReadIniFile(robotFile);

    LinearDeltaSetup::LogJoints(*this);
    SetMinMaxValues(jointLimits);
    PrepareKinematic();
    LogSingleton::instance()->add(" ");
}

void RobotKinematicDelta2Linear::ReadIniFile(const std::string& robotFile) {
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    tinyxml2::XMLElement* robot = OpenRobotFile(doc, robotFile);
    if (robot == nullptr) return;

    if (tinyxml2::XMLElement* e = RequireElement(robot, "Kinematic", "54 Robot Ini not complete")) {
        struct Attribute {
            const char* name;
            float* field;
        };
        const Attribute attributes[] = {
            {"mountZ", &mountZ},       {"railLUX", &railLUX},         {"railLUZ", &railLUZ},
            {"railLDX", &railLDX},     {"railLDZ", &railLDZ},         {"railRUX", &railRUX},
            {"railRUZ", &railRUZ},     {"railRDX", &railRDX},         {"railRDZ", &railRDZ},
            {"distStab", &distStab},   {"connDepth", &connDepth},     {"lengthJoint", &lengthJoint},
            {"tcpLeft", &tcpLeft},     {"tcpRight", &tcpRight},       {"tcpHeight", &tcpHeight},
        };
        for (const Attribute& a : attributes) ReadFloatAttribute(e, a.name, *a.field);
    }
    ReadSoftwareMinMax(robot);
    ReadIniFileVelocities(robot);
}

void RobotKinematicDelta2Linear::PrepareKinematic() {
    railTop[0] = InPlane(-railLUX, mountZ - railLUZ);
    railBottom[0] = InPlane(-railLDX, mountZ - railLDZ);
    railTop[1] = InPlane(railRUX, mountZ - railRUZ);
    railBottom[1] = InPlane(railRDX, mountZ - railRDZ);
    for (int r = 0; r < 2; ++r) {
        railDirection[r] = railBottom[r] - railTop[r];
        railDirection[r].Normalize();
        carriage[r] = railTop[r];
    }
    // The rods' fixing points on the platform; kept for reference, no computation uses them.
    connLeft[0] = InPlane(-tcpLeft, tcpHeight);
    connLeft[1] = DataTypes::Vector3(-tcpLeft, connDepth, tcpHeight);
    connLeft[2] = DataTypes::Vector3(-tcpLeft, -connDepth, tcpHeight);
    connRight[0] = InPlane(tcpRight, tcpHeight);
    connRight[1] = DataTypes::Vector3(tcpRight, connDepth, tcpHeight);
    connRight[2] = DataTypes::Vector3(tcpRight, -connDepth, tcpHeight);
}

int RobotKinematicDelta2Linear::FindCircleCircleIntersections(const DataTypes::Vector3& c0, float r0,
                                                              const DataTypes::Vector3& c1, float r1,
                                                              DataTypes::Vector3* s1, DataTypes::Vector3* s2) {
    const double dx = static_cast<double>(c1.x) - c0.x;
    const double dz = static_cast<double>(c1.z) - c0.z;
    const double d = std::sqrt(dx * dx + dz * dz);
    const double R0 = r0, R1 = r1;
    if (d > R0 + R1 || d < std::fabs(R0 - R1) || (d == 0.0 && R0 == R1) || !std::isfinite(d)) {
        *s1 = *s2 = DataTypes::Vector3();
        return 0;
    }
    const double a = (R0 * R0 - R1 * R1 + d * d) / (2 * d);
    const double h = std::sqrt(std::fmax(0.0, R0 * R0 - a * a));
    const double px = c0.x + dx * a / d;
    const double pz = c0.z + dz * a / d;
    *s1 = InPlane(px + dz * h / d, pz - dx * h / d);
    *s2 = InPlane(px - dz * h / d, pz + dx * h / d);
    return d == R0 + R1 ? 1 : 2;
}

int RobotKinematicDelta2Linear::FindLineCircleIntersections(const DataTypes::Vector3& centre, float r,
                                                            const DataTypes::Vector3& p1, const DataTypes::Vector3& p2,
                                                            DataTypes::Vector3* s1, DataTypes::Vector3* s2) {
    const double dx = static_cast<double>(p2.x) - p1.x;
    const double dz = static_cast<double>(p2.z) - p1.z;
    const double ox = static_cast<double>(p1.x) - centre.x;
    const double oz = static_cast<double>(p1.z) - centre.z;
    const double qa = dx * dx + dz * dz;
    const double qb = 2 * (ox * dx + oz * dz);
    const double qc = ox * ox + oz * oz - static_cast<double>(r) * r;
    const double det = qb * qb - 4 * qa * qc;
    if (qa <= 1e-7 || det < 0 || !std::isfinite(det)) {
        *s1 = *s2 = DataTypes::Vector3();
        return 0;
    }
    auto at = [&](double t) { return InPlane(p1.x + t * dx, p1.z + t * dz); };
    if (det == 0) {
        *s1 = at(-qb / (2 * qa));
        *s2 = DataTypes::Vector3();
        return 1;
    }
    *s1 = at((std::sqrt(det) - qb) / (2 * qa));
    *s2 = at((-qb - std::sqrt(det)) / (2 * qa));
    return 2;
}

void RobotKinematicDelta2Linear::ForwardKin(float*, DataTypes::Matrix44* out) {
    DataTypes::Vector3 s1, s2;
    if (FindCircleCircleIntersections(carriage[0], lengthJoint, carriage[1], lengthJoint, &s1, &s2) == 0) {
        throw std::runtime_error(kNotReachable);
    }
    const DataTypes::Vector3 x = s1.z < s2.z ? s1 : s2;
    DataTypes::Matrix44 m;
    m(1, 1) = -1;
    m(2, 2) = -1;
    m.SetTranslation(x.x + tcpLeft, 0, x.z - tcpHeight);
    *out = Then(m, tool.toolMatrix);
}

void RobotKinematicDelta2Linear::InverseKin(const DataTypes::Matrix44& target, float* q) {
    DataTypes::Vector3 x = Then(target, tool.inverseToolMatrix).GetTranslation();
    x.x -= tcpLeft;
    x.z += tcpHeight;
    for (int r = 0; r < 2; ++r) {
        DataTypes::Vector3 s1, s2;
        const int n = FindLineCircleIntersections(x, lengthJoint, railTop[r], railBottom[r], &s1, &s2);
        if (n == 0) throw std::runtime_error(kNotReachable);
        // The carriage holds the rod from above: the upper point (the only one when the rod touches the line).
        const DataTypes::Vector3 c = (n == 1 || s1.z >= s2.z) ? s1 : s2;
        q[r] = DataTypes::Vector3::Dot(c - railTop[r], railDirection[r]);
    }
}

void RobotKinematicDelta2Linear::SetJoints(const float* userJoints, bool check) {
    float q[maxJoints];
    float velocities[maxJoints];
    UserToInternal(userJoints, q);
    if (check) {
        for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
        CheckJointsPending(q, velocities);
    }
    for (int r = 0; r < 2; ++r) carriage[r] = railTop[r] + railDirection[r] * q[r];
    DataTypes::Matrix44 newPose;
    ForwardKin(q, &newPose);
    newPose(1, 3) = 0;
    if (check) CheckVirtualBox(newPose.GetTranslation(), pose.GetTranslation());
    CommitJoints(q, check ? velocities : nullptr);
    pose = newPose;
}

void RobotKinematicDelta2Linear::SetPosition(const DataTypes::Matrix44& target, float* extJoints) {
    if (!(std::fabs(target(1, 3)) <= kYTolerance)) {
        throw std::runtime_error("Kinematics Error Delta2: Y motion is not allowed");
    }
    CheckVirtualBox(target.GetTranslation(), pose.GetTranslation());
    float q[maxJoints] = {};
    InverseKin(target, q);
    for (int i = 6; i < maxJoints; ++i) q[i] = extJoints[i];
    float velocities[maxJoints];
    for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
    CheckJointsPending(q, velocities);
    CommitJoints(q, velocities);
    pose = target;
    pose(1, 3) = 0;
}
