#include "kinematics/RobotKinematicTuskoKid.h"

#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "kinematics/KinMath.h"
#include "kinematics/KinematicLog.h"

using KinMath::kDegToRad;

RobotKinematicTuskoKid::RobotKinematicTuskoKid() {
    nrOfJoints = 5;
    kinematicTypeName = "RobotKinematicTuskoKid";
    joints[1] = 30;
    joints[2] = 40;
    jointOffsets[2] = 90;
}

RobotKinematicTuskoKid::~RobotKinematicTuskoKid() = default;

void RobotKinematicTuskoKid::clone(RobotKinematic* from) {
    RobotKinematic::clone(from);
    auto* other = dynamic_cast<RobotKinematicTuskoKid*>(from);
    if (other == nullptr || other == this) return;
    lz0 = other->lz0;
    lz1 = other->lz1;
    lz2 = other->lz2;
    lz3 = other->lz3;
    lz4 = other->lz4;
    lz5 = other->lz5;
    errorLogged = other->errorLogged;
}

RobotKinematic* RobotKinematicTuskoKid::clone() {
    auto* copy = new RobotKinematicTuskoKid();
    copy->clone(this);
    return copy;
}

void RobotKinematicTuskoKid::Init(const std::string& name, const std::string& type, const std::string& robotFile,
                                  int velSet) {
    RobotKinematic::Init(name, type, robotFile, velSet);
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->addFormat("RKTuskoKid %s / %s  - Kinematic Data: ", robotName, robotType);
    SetArmStartDefaults();
    accLin = 1000;
    accLinInc = 2000;

    ReadIniFile(robotFile);

    KinematicLog::JointLines(*this, nrOfJoints);
    SetMinMaxValues(jointLimits);
    log->addFormat("   Joint length: lz0 %.1lf, lz1 %.1lf, lz2 %.1lf, lz3 %.1lf, lz4 %.1lf, lz5 %.1lf", lz0, lz1, lz2, lz3,
                   lz4, lz5);
    log->add(" ");
    errorLogged = false;
}

void RobotKinematicTuskoKid::ReadIniFile(const std::string& robotFile) {
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    tinyxml2::XMLElement* robot = OpenRobotFile(doc, robotFile);
    if (robot == nullptr) return;
    if (tinyxml2::XMLElement* e = RequireElement(robot, "Kinematic", "54 Robot Ini not complete")) {
        ReadFloatAttribute(e, "lz0", lz0);
        ReadFloatAttribute(e, "lz1", lz1);
        ReadFloatAttribute(e, "lz2", lz2);
        ReadFloatAttribute(e, "lz3", lz3);
        ReadFloatAttribute(e, "lz4", lz4);
        ReadFloatAttribute(e, "lz5", lz5);
    }
    ReadSoftwareMinMax(robot);
    ReadIniFileVelocities(robot);
    ReadManufacturerJointConfig(robot);
}

void RobotKinematicTuskoKid::ForwardKin(const float* q, DataTypes::Matrix44* out) {
    // [Rz(q1) | lz0]·[Ry(q2) | lz1]·[Rz(q3) | lz2]·[Ry(q4) | lz3]·[Rz(q5) | lz4]·[I | lz5]·tool
    KinMath::Frame f = KinMath::RotZ(q[0] * kDegToRad, 0, 0, lz0);
    f = KinMath::Mul(f, KinMath::RotY(q[1] * kDegToRad, 0, 0, lz1));
    f = KinMath::Mul(f, KinMath::RotZ(q[2] * kDegToRad, 0, 0, lz2));
    f = KinMath::Mul(f, KinMath::RotY(q[3] * kDegToRad, 0, 0, lz3));
    f = KinMath::Mul(f, KinMath::RotZ(q[4] * kDegToRad, 0, 0, lz4));
    f = KinMath::Mul(f, KinMath::Trans(0, 0, lz5));
    KinMath::ToMatrix(KinMath::Mul(f, KinMath::FromMatrix(tool.toolMatrix)), out);
}

void RobotKinematicTuskoKid::SetJoints(const float* userJoints, bool check) {
    float q[maxJoints];
    UserToInternal(userJoints, q);
    float velocities[maxJoints];
    if (check) {
        for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
        CheckJointsPending(q, velocities);
    }
    DataTypes::Matrix44 newPose;
    ForwardKin(q, &newPose);
    if (check) CheckVirtualBox(newPose.GetTranslation(), pose.GetTranslation());
    for (int i = 0; i < maxJoints; ++i) {
        joints[i] = q[i];
        if (check) jointVelocities[i] = velocities[i];
    }
    pose = newPose;
}

void RobotKinematicTuskoKid::SetPosition(const DataTypes::Matrix44&, float*) {}
