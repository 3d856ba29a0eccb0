#include "kinematics/RobotKinematicDelta.h"

#include <cmath>

#include "common/LogSingleton.h"
#include "kinematics/GeometryCopy.h"
#include "kinematics/KinMath.h"

namespace {
// The search ends below this fitness (rod length error, mm).
constexpr double kFitnessReached = 0.005;
constexpr int kSearchIterations = 20;
// One search moves the point less than 20 mm per axis; it is repeated from
// its best point so that larger joint jumps are followed too.
constexpr int kSearchRounds = 50;

struct P3 {
    double x, y, z;
};

// Arm frame i is the base frame turned by +120·i degrees about Z.
const double kArmCos[3] = {1.0, -0.5, -0.5};
const double kArmSin[3] = {0.0, 0.8660254037844386, -0.8660254037844386};

// Ordinary product a·b (b applied first), in double precision.
DataTypes::Matrix44 Then(const DataTypes::Matrix44& a, const DataTypes::Matrix44& b) {
    return KinMath::ToMatrix(KinMath::Mul(KinMath::FromMatrix(a), KinMath::FromMatrix(b)));
}

}  // namespace

RobotKinematicDelta::RobotKinematicDelta() {
    nrOfJoints = 3;
    for (int i = 0; i < 4; ++i) joints[i] = 0;
}

RobotKinematicDelta::~RobotKinematicDelta() = default;

void RobotKinematicDelta::clone(RobotKinematic* from) {
    if (!CopyGeometry(*this, from)) RobotKinematic::clone(from);
}

RobotKinematic* RobotKinematicDelta::clone() { return NewCopy(*this); }

void RobotKinematicDelta::Init(const std::string& name, const std::string& type, const std::string& robotFile,
                               int velSet) {
    RobotKinematic::Init(name, type, robotFile, velSet);
    shoulderHeight = 20;
    baseRadius = 50;
    upperArmLength = 140;
    rodLength = 180;
    effectorRadius = 30;
    effectorJointHeight = 10;
    maxLinkageAngle = 30;
    reachMargin = 20;
    pose = DataTypes::Matrix44();
    pose.SetTranslation(0, 0, 300);
    for (int i = 0; i < 3; ++i) {
        jointLimits[i][0] = -90;
        jointLimits[i][1] = 120;
    }
    for (int i = 0; i < maxJoints; ++i) {
        maxJointVelocities[i] = 100;
        maxJointAccelerations[i] = 100;
        maxJointAccelerationIncs[i] = 100;
    }
    accLin = 1000;
    accLinInc = 2000;
    SetMinMaxValues(jointLimits);
    LogSingleton::instance()->add("RKDelta: Init");
}

float RobotKinematicDelta::ComputeError(float t, const DataTypes::Vector3& p) {
    const double a = t * KinMath::kDegToRad;
    const double vx = static_cast<double>(p.x) + effectorRadius - baseRadius - upperArmLength * std::cos(a);
    const double vy = p.y;
    const double vz = static_cast<double>(p.z) - effectorJointHeight - shoulderHeight - upperArmLength * std::sin(a);
    return static_cast<float>(rodLength - std::sqrt(vx * vx + vy * vy + vz * vz));
}

float RobotKinematicDelta::Fitness(float* q, const DataTypes::Vector3& position) {
    double sum = 0;
    for (int arm = 0; arm < 3; ++arm) {
        DataTypes::Vector3 local = position;
        local.RotateZDeg(120.0f * arm);
        const double e = ComputeError(q[arm], local);
        sum += e * e;
    }
    return static_cast<float>(std::sqrt(sum));
}

void RobotKinematicDelta::ForwardKin(float* q, DataTypes::Matrix44& out) {
    // Each arm holds its platform joint on a sphere of rodLength around the
    // elbow; seen from the platform centre, around the elbow less the
    // platform joint's offset. The centres in the base frame:
    P3 centre[3];
    for (int arm = 0; arm < 3; ++arm) {
        const double a = q[arm] * KinMath::kDegToRad;
        const double lx = static_cast<double>(baseRadius) + upperArmLength * std::cos(a) - effectorRadius;
        const double lz = static_cast<double>(shoulderHeight) + upperArmLength * std::sin(a) + effectorJointHeight;
        // Back from the arm frame: turn by -120·arm (local y is 0).
        centre[arm] = {kArmCos[arm] * lx, -kArmSin[arm] * lx, lz};
    }
    const double rod = rodLength;
    auto fitness = [&](double x, double y, double z) {
        double sum = 0;
        for (const P3& c : centre) {
            const double dx = x - c.x, dy = y - c.y, dz = z - c.z;
            const double e = rod - std::sqrt(dx * dx + dy * dy + dz * dz);
            sum += e * e;
        }
        return std::sqrt(sum);
    };

    const DataTypes::Vector3 seed = out.GetTranslation();
    P3 best = {seed.x, seed.y, seed.z};
    double fit = fitness(best.x, best.y, best.z);
    for (int round = 0; round < kSearchRounds && !(fit < kFitnessReached); ++round) {
        double step = 10;
        double previousFit = 1e10;
        P3 c = best;
        for (int it = 0; it < kSearchIterations; ++it) {
            double bestFit = 1e9;
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j) {
                    for (int k = 0; k < 3; ++k) {
                        const double x = c.x + (i - 1) * step, y = c.y + (j - 1) * step, z = c.z + (k - 1) * step;
                        const double f = fitness(x, y, z);
                        if (f < bestFit) {
                            bestFit = f;
                            best = {x, y, z};
                        }
                    }
                }
            }
            c = best;
            fit = bestFit;
            if (bestFit < kFitnessReached) break;
            if (previousFit - bestFit >= 0) step *= 0.5;
            previousFit = bestFit;
        }
    }
    if (!(fit < kFitnessReached)) throw 5;
    out.SetTranslation(static_cast<float>(best.x), static_cast<float>(best.y), static_cast<float>(best.z));
}

float RobotKinematicDelta::ComputeOneJoint(int, const DataTypes::Vector3& p) {
    const double vx = static_cast<double>(p.x) + effectorRadius - baseRadius;
    const double vy = p.y;
    const double vz = static_cast<double>(p.z) - effectorJointHeight - shoulderHeight;
    const double d2 = vx * vx + vy * vy + vz * vz;
    const double d = std::sqrt(d2);
    if (!(reachMargin + d <= static_cast<double>(upperArmLength) + rodLength)) throw 5;
    const double phi = std::atan2(vx, vz);
    const double rod = rodLength, upper = upperArmLength;
    const double r2 = rod * rod - vy * vy;
    const double s = std::sqrt(d2 - vy * vy);
    // NaN when the rod cannot reach the arm's plane or the triangle does not close.
    const double beta = std::acos((upper * upper - r2 + s * s) / (2 * upper * s));
    return static_cast<float>(90.0 - (phi + beta) * KinMath::kRadToDeg);
}

void RobotKinematicDelta::InverseKin(const DataTypes::Matrix44& target, float* q) {
    DataTypes::Vector3 p = target.GetTranslation();
    for (int arm = 0; arm < 3; ++arm) {
        q[arm] = ComputeOneJoint(arm, p);
        p.RotateZDeg(120);
    }
}

void RobotKinematicDelta::checkLinkages(float* q, const DataTypes::Vector3& position) {
    DataTypes::Vector3 p = position;
    for (int arm = 0; arm < 3; ++arm) {
        const double a = q[arm] * KinMath::kDegToRad;
        const DataTypes::Vector3 rod(
            static_cast<float>(static_cast<double>(p.x) + effectorRadius - baseRadius - upperArmLength * std::cos(a)),
            p.y,
            static_cast<float>(static_cast<double>(p.z) - effectorJointHeight - shoulderHeight -
                               upperArmLength * std::sin(a)));
        const double w = DataTypes::Vector3::Cos(rod, DataTypes::Vector3(0, 100, 0));
        const double lean = 90.0 - std::acos(std::fmin(1.0, w)) * KinMath::kRadToDeg;
        if (lean > maxLinkageAngle) throw 12;
        p.RotateZDeg(120);
    }
}

DataTypes::Vector3 RobotKinematicDelta::PlatformPoint(const float* q) {
    return pose.GetTranslation() - tool.toolMatrix.GetTranslation() - ComputeLinearAxisPositionOffset(q);
}

DataTypes::Matrix44 RobotKinematicDelta::PoseOfPlatform(const DataTypes::Vector3& platform) const {
    DataTypes::Matrix44 m;
    m.SetTranslation(platform);
    return Then(m, tool.toolMatrix);
}

void RobotKinematicDelta::SetJoints(const float* userJoints, bool check) {
    float q[maxJoints];
    float velocities[maxJoints];
    UserToInternal(userJoints, q);
    if (check) {
        for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
        CheckJointsPending(q, velocities);
    }
    // The search starts at the last platform point: the tool and the external
    // axes' shift are no part of it.
    DataTypes::Matrix44 platform;
    platform.SetTranslation(PlatformPoint(joints));
    ForwardKin(q, platform);
    const DataTypes::Vector3 found = platform.GetTranslation();
    DataTypes::Matrix44 newPose = PoseOfPlatform(found);
    AddLinearAxisPositionOffset(q, newPose);
    if (check) CheckVirtualBox(newPose.GetTranslation(), pose.GetTranslation());
    checkLinkages(q, found);
    CommitJoints(q, check ? velocities : nullptr);
    pose = newPose;
}

void RobotKinematicDelta::SetPosition(const DataTypes::Matrix44& target, float* extJoints) {
    CheckVirtualBox(target.GetTranslation(), pose.GetTranslation());
    // The platform keeps its orientation, so the tool comes off along fixed axes.
    const DataTypes::Vector3 p = SubtractLinearAxisPositionOffset(extJoints, target.GetTranslation()) -
                                 tool.toolMatrix.GetTranslation();
    DataTypes::Matrix44 platform;
    platform.SetTranslation(p);
    float q[maxJoints] = {};
    InverseKin(platform, q);
    for (int i = 6; i < maxJoints; ++i) q[i] = extJoints[i];
    float velocities[maxJoints];
    for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
    CheckJointsPending(q, velocities);
    checkLinkages(q, p);
    CommitJoints(q, velocities);
    pose = PoseOfPlatform(p);
    pose.SetTranslation(target.GetTranslation());
}
