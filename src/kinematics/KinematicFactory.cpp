#include "kinematics/KinematicFactory.h"

#include "common/LogSingleton.h"
#include "kinematics/RobotKinematicSixAxis.h"

namespace {

template <typename T>
RobotKinematic* Make() {
    return new T();
}

struct TypeEntry {
    const char* name;
    RobotKinematic* (*create)();  // null: no geometry in this build yet
};

// Robot type names and their geometries. "Parallel2Axis" names no geometry
// and is refused like any unknown name.
const TypeEntry kTypes[] = {
    {"StandardSixAxisPlus", &Make<RobotKinematicSixAxis>},
    {"Cartesian1Axis", nullptr},            // RobotKinematicCartesian1Axis
    {"Cartesian2AxisLine", nullptr},        // RobotKinematicCartesian2AxisLine
    {"Cartesian2AxisPlane", nullptr},       // RobotKinematicCartesian2AxisPlane
    {"Cartesian3Axis", nullptr},            // RobotKinematicCartesian3Axis
    {"Cartesian", nullptr},                 // RobotKinematicCartesian3Axis
    {"VQT3AxisPlane", nullptr},             // RobotKinematic3AxisPlane
    {"VQTDravo4", nullptr},                 // RobotKinematicDravo4
    {"VQTDravo5", nullptr},                 // RobotKinematicDravo5
    {"TuskoKid", nullptr},                  // RobotKinematicTuskoKid
    {"VQTMardux", nullptr},                 // RobotKinematicMardux
    {"Delta", nullptr},                     // RobotKinematicDelta
    {"DeltaLinear", nullptr},               // RobotKinematicDeltaLinear
    {"Delta2Linear", nullptr},              // RobotKinematicDelta2Linear
    {"SCARA-LRRR", nullptr},                // RobotKinematicSCARALRRR
    {"SCARA-RRLR", nullptr},                // RobotKinematicSCARARRLR
    {"SCARA-RRR", nullptr},                 // RobotKinematicSCARARRR
    {"SeparateJointsLinear", nullptr},      // RobotKinematicSeparateJointsLinear
    {"SeparateJoints", nullptr},            // RobotKinematicSeparateJointsLinear
    {"SeparateJointsRotational", nullptr},  // RobotKinematicSeparateJointsRotational
};

const TypeEntry* Find(const std::string& robotType) {
    for (const TypeEntry& e : kTypes) {
        if (robotType == e.name) return e.create != nullptr ? &e : nullptr;
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<RobotKinematic> KinematicFactory::Create(const std::string& robotType) {
    const TypeEntry* entry = Find(robotType);
    if (entry == nullptr) {
        LogSingleton* log = LogSingleton::instance();
        log->addError("RobotMaster: could not recognize robot type " + robotType);
        log->set_opMode(opModeSeriousFail);
        log->set_seriousFailReason("10 robot type unknown");
        return nullptr;
    }
    return std::unique_ptr<RobotKinematic>(entry->create());
}
