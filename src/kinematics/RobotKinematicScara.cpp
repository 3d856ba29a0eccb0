#include "kinematics/RobotKinematicScara.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "common/StringHelper.h"
#include "kinematics/KinMath.h"
#include "kinematics/KinematicLog.h"

namespace {
// Kept from the stretched arm, mm.
constexpr double kReachMargin = 5;

// Ordinary product a·b (b applied first), in double precision.
DataTypes::Matrix44 Then(const DataTypes::Matrix44& a, const DataTypes::Matrix44& b) {
    return KinMath::ToMatrix(KinMath::Mul(KinMath::FromMatrix(a), KinMath::FromMatrix(b)));
}

}  // namespace

RobotKinematicScara::RobotKinematicScara(const char* typeName, int elbowJoint) : m_ElbowJoint(elbowJoint) {
    kinematicTypeName = typeName;
    nrOfJoints = 4;
    joints[0] = 100;
    joints[1] = 30;
    joints[2] = -40;
    zOffset = 0;
    jointOffsets[2] = 90;
}

RobotKinematicScara::~RobotKinematicScara() = default;

void RobotKinematicScara::Init(const std::string& name, const std::string& type, const std::string& robotFile,
                               int velSet) {
    RobotKinematic::Init(name, type, robotFile, velSet);
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    if (const char* header = HeaderFormat()) log->addFormat(header, robotName, robotType);

    SetArmStartDefaults();

    ReadIniFile(robotFile);

    log->add("Nr of joints: ", nrOfJoints + nrOfExternalAxes);
    KinematicLog::JointLines(*this, nrOfJoints);
    SetMinMaxValues(jointLimits);
    log->addFormat("Kinematic length: hbase %.1lf, distx1 %.1lf, radius1 %.1lf, radius2 %.1lf, radius3 %.1lf", hbase,
                   distx1, radius1, radius2, radius3);
    log->add(" ");
    reachErrorLogged = false;
}

void RobotKinematicScara::ReadIniFile(const std::string& robotFile) {
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    tinyxml2::XMLElement* robot = OpenRobotFile(doc, robotFile);
    if (robot == nullptr) return;
    if (tinyxml2::XMLElement* e = RequireElement(robot, "Kinematic", "54 Robot Ini not complete")) {
        ReadFloatAttribute(e, "hbase", hbase);
        ReadFloatAttribute(e, "distx1", distx1);
        ReadFloatAttribute(e, "radius1", radius1);
        ReadFloatAttribute(e, "radius2", radius2);
        ReadFloatAttribute(e, "radius3", radius3);
        ReadKinematic(e);
    }
    ReadSoftwareMinMax(robot);
    ReadIniFileVelocities(robot);
    ReadManufacturerJointConfig(robot);
}

bool RobotKinematicScara::ReadBoolAttribute(const tinyxml2::XMLElement* e, const char* name, bool& value) {
    const char* text = e->Attribute(name);
    if (text == nullptr) return false;
    const std::string word = StringHelper::ToLower(text);
    if (word == "true" || word == "false") {
        value = word == "true";
        return true;
    }
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0) return false;
    value = number != 0;
    return true;
}

void RobotKinematicScara::OutOfReach() {
    if (!reachErrorLogged) {
        LogSingleton::instance()->add("InvKin: OutofReach");
        reachErrorLogged = true;
    }
    throw 22;
}

void RobotKinematicScara::SolvePlanar(const DataTypes::Vector3& p, const DataTypes::Vector3& lastArm, bool withLast,
                                      float* q) {
    const double phi = std::atan2(static_cast<double>(lastArm.y), static_cast<double>(lastArm.x));
    double px = p.x, py = p.y;
    if (withLast) {
        px -= radius3 * std::cos(phi);
        py -= radius3 * std::sin(phi);
    }
    const double r1 = radius1, r2 = radius2;
    const double dx = px - distx1, dy = py;
    const double d = std::sqrt(dx * dx + dy * dy);
    if (!(d <= r1 + r2 - kReachMargin)) OutOfReach();
    const double alpha = std::acos((r2 * r2 - d * d - r1 * r1) / (-2.0 * d * r1)) * KinMath::kRadToDeg;
    const double beta = std::atan2(dy, dx) * KinMath::kRadToDeg;
    const double gamma = std::acos((d * d - r1 * r1 - r2 * r2) / (-2.0 * r1 * r2)) * KinMath::kRadToDeg - 180.0;
    // Closer to the shoulder axis than the arms fold (or on it): no solution.
    if (std::isnan(alpha) || std::isnan(beta) || std::isnan(gamma) || d == 0.0) OutOfReach();
    const double shoulder = elbowNegative ? alpha + beta : beta - alpha;
    const double elbow = elbowNegative ? gamma : -gamma;
    q[0] = static_cast<float>(KinMath::NearestDeg(shoulder, joints[m_ElbowJoint - 1]));
    q[1] = static_cast<float>(KinMath::NearestDeg(elbow, joints[m_ElbowJoint]));
    q[2] = withLast ? static_cast<float>(KinMath::WrapDeg(phi * KinMath::kRadToDeg - q[0] - q[1])) : 0.0f;
}

void RobotKinematicScara::PlanarForward(float shoulder, float elbow, float last, bool withLast, double* x, double* y,
                                        double* directionDeg) const {
    const double t1 = shoulder * KinMath::kDegToRad;
    const double t2 = t1 + elbow * KinMath::kDegToRad;
    *x = distx1 + radius1 * std::cos(t1) + radius2 * std::cos(t2);
    *y = radius1 * std::sin(t1) + radius2 * std::sin(t2);
    double direction = t2;
    if (withLast) {
        direction = t2 + last * KinMath::kDegToRad;
        *x += radius3 * std::cos(direction);
        *y += radius3 * std::sin(direction);
    }
    *directionDeg = direction * KinMath::kRadToDeg;
}

DataTypes::Matrix44 RobotKinematicScara::ToolPose(double x, double y, double z, double directionDeg,
                                                  bool toolDown) const {
    const double a = directionDeg * KinMath::kDegToRad;
    const float c = static_cast<float>(std::cos(a)), s = static_cast<float>(std::sin(a));
    const DataTypes::Vector3 arm(c, s, 0), down(0, 0, -1);
    DataTypes::Matrix44 flange = toolDown ? DataTypes::Matrix44(arm, DataTypes::Vector3(s, -c, 0), down,
                                                                DataTypes::Vector3())
                                          : DataTypes::Matrix44(down, DataTypes::Vector3(-s, c, 0), arm,
                                                                DataTypes::Vector3());
    flange.SetTranslation(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z));
    return Then(flange, tool.toolMatrix);
}

void RobotKinematicScara::SetJoints(const float* userJoints, bool check) {
    float q[maxJoints];
    float velocities[maxJoints];
    UserToInternal(userJoints, q);
    if (check) {
        for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
        CheckJointsPending(q, velocities);
    }
    DataTypes::Matrix44 newPose = pose;
    ForwardKin(q, &newPose);
    AddLinearAxisPositionOffset(q, newPose);
    if (check) CheckVirtualBox(newPose.GetTranslation(), pose.GetTranslation());
    CommitJoints(q, check ? velocities : nullptr);
    pose = newPose;
    // An elbow turned past +-180 bends to the other side.
    elbowNegative = KinMath::WrapDeg(q[m_ElbowJoint]) < 0;
}

void RobotKinematicScara::SolveTarget(const DataTypes::Matrix44& target, float* q) {
    InverseKin(Then(target, tool.inverseToolMatrix), q);
}

DataTypes::Matrix44 RobotKinematicScara::PoseAfterSolve(const DataTypes::Matrix44& target, float*,
                                                        const DataTypes::Vector3&) {
    return target;
}

void RobotKinematicScara::SetPosition(const DataTypes::Matrix44& target, float* extJoints) {
    float q[maxJoints] = {};
    CheckVirtualBox(target.GetTranslation(), pose.GetTranslation());
    DataTypes::Matrix44 m = target;
    const DataTypes::Vector3 shift = SubtractLinearAxisPositionOffset(extJoints, m);
    SolveTarget(m, q);
    for (int i = 6; i < maxJoints; ++i) q[i] = extJoints[i];
    float velocities[maxJoints];
    for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
    CheckJointsPending(q, velocities);
    const DataTypes::Matrix44 newPose = PoseAfterSolve(target, q, shift);
    CommitJoints(q, velocities);
    pose = newPose;
    reachErrorLogged = false;
}
