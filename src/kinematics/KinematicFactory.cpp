#include "kinematics/KinematicFactory.h"

#include "common/LogSingleton.h"
#include "kinematics/RobotKinematic3AxisPlane.h"
#include "kinematics/RobotKinematicCartesian1Axis.h"
#include "kinematics/RobotKinematicCartesian2AxisLine.h"
#include "kinematics/RobotKinematicCartesian2AxisPlane.h"
#include "kinematics/RobotKinematicCartesian3Axis.h"
#include "kinematics/RobotKinematicDelta.h"
#include "kinematics/RobotKinematicDelta2Linear.h"
#include "kinematics/RobotKinematicDeltaLinear.h"
#include "kinematics/RobotKinematicDravo4.h"
#include "kinematics/RobotKinematicDravo5.h"
#include "kinematics/RobotKinematicMardux.h"
#include "kinematics/RobotKinematicSCARALRRR.h"
#include "kinematics/RobotKinematicSCARARRLR.h"
#include "kinematics/RobotKinematicSCARARRR.h"
#include "kinematics/RobotKinematicSeparateJointsLinear.h"
#include "kinematics/RobotKinematicSeparateJointsRotational.h"
#include "kinematics/RobotKinematicSixAxis.h"
#include "kinematics/RobotKinematicTuskoKid.h"

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
    {"Cartesian1Axis", &Make<RobotKinematicCartesian1Axis>},
    {"Cartesian2AxisLine", &Make<RobotKinematicCartesian2AxisLine>},
    {"Cartesian2AxisPlane", &Make<RobotKinematicCartesian2AxisPlane>},
    {"Cartesian3Axis", &Make<RobotKinematicCartesian3Axis>},
    {"Cartesian", &Make<RobotKinematicCartesian3Axis>},
    {"VQT3AxisPlane", &Make<RobotKinematic3AxisPlane>},
    {"VQTDravo4", &Make<RobotKinematicDravo4>},
    {"VQTDravo5", &Make<RobotKinematicDravo5>},
    {"TuskoKid", &Make<RobotKinematicTuskoKid>},
    {"VQTMardux", &Make<RobotKinematicMardux>},
    {"Delta", &Make<RobotKinematicDelta>},
    {"DeltaLinear", &Make<RobotKinematicDeltaLinear>},
    {"Delta2Linear", &Make<RobotKinematicDelta2Linear>},
    {"SCARA-LRRR", &Make<RobotKinematicSCARALRRR>},
    {"SCARA-RRLR", &Make<RobotKinematicSCARARRLR>},
    {"SCARA-RRR", &Make<RobotKinematicSCARARRR>},
    {"SeparateJointsLinear", &Make<RobotKinematicSeparateJointsLinear>},
    {"SeparateJoints", &Make<RobotKinematicSeparateJointsLinear>},
    {"SeparateJointsRotational", &Make<RobotKinematicSeparateJointsRotational>},
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
