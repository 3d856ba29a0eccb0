// Direct moves and the camera trigger. Both act on the connection thread: a
// move replaces the direct-move interpreter's program by one motion and starts
// it; the robot thread drops it while a robot program runs or is paused.

#include <cmath>
#include <cstring>
#include <string>

#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "datatypes/Vector3.h"
#include "server/ComServer.h"
#include "server/HXPScanner.h"
#include "vision/CameraInterface.h"
#include "vision/CameraManager.h"

namespace {

enum class MoveKind { Joint, Cart, RelativeJoint, RelativeBase, RelativeTool };

struct MoveEntry {
    const char* name;
    MoveKind kind;
};

// Far beyond the reach of any arm or gantry (mm, degrees): a value above it is a client's mistake.
constexpr double MaxMoveValue = 1.0e6;

// Huge finite values would overflow the motion length (its square in float) and stall the planning.
bool MoveValuesUsable(const float* values) {
    for (int i = 0; i < 9; ++i)
        if (!(std::fabs(static_cast<double>(values[i])) <= MaxMoveValue)) return false;
    return true;
}

const MoveEntry MoveKinds[] = {
    {"Joint", MoveKind::Joint},
    {"Cart", MoveKind::Cart},
    {"RelativeJoint", MoveKind::RelativeJoint},
    {"RelativeBase", MoveKind::RelativeBase},
    {"RelativeTool", MoveKind::RelativeTool},
};

}  // namespace

void ComServer::CmdMove(const char* message, int counter, char** save) {
    LogSingleton* log = LogSingleton::instance();
    const char* word = strtok_r(nullptr, " ", save);
    const std::string kindName = word != nullptr ? word : "";
    IPO* ipo = m_RobotMaster != nullptr ? &m_RobotMaster->ipoDirect : nullptr;

    if (kindName == "Stop") {
        if (ipo != nullptr) ipo->Stop(IPO::USER, std::string());
        SendCmdAck(counter);
        return;
    }
    const MoveEntry* entry = nullptr;
    for (const MoveEntry& e : MoveKinds)
        if (kindName == e.name) entry = &e;
    if (entry == nullptr) {
        log->addError("ComServer: Invalid Move command");
        SendCmdError(counter, "invalid move command");
        return;
    }

    // Nine joint values, or X Y Z A B C and three external axes; then the velocity.
    float values[9] = {};
    float velocity = 0.0f;
    HXPScanner scan = HXPScanner::Command(message, "Move", counter);
    scan.Literal(entry->name);
    for (float& value : values) scan.Float(value);
    scan.Float(velocity);
    if (scan.Count() != 11 || ipo == nullptr) {
        log->addError(std::string("ComServer: Incomplete Move ") + entry->name + " command");
        SendCmdError(counter, "incomplete move command");
        return;
    }
    // A move without velocity would leave no program, and a client waiting for its end would wait for ever.
    if (!(velocity > 0.001f)) {
        log->addError(std::string("ComServer: Move ") + entry->name + " refused, velocity must be above 0");
        SendCmdError(counter, "invalid move velocity");
        return;
    }
    if (!MoveValuesUsable(values)) {
        log->addError(std::string("ComServer: Move ") + entry->name + " refused, target beyond any reach");
        SendCmdError(counter, "invalid move target");
        return;
    }
    if (RefuseStoppedStart(counter)) return;
    // The robot thread drops a direct move while a program runs or is paused: it would be
    // acknowledged and never made.
    if (m_ProgramIPO != nullptr && m_ProgramIPO->GetRunState() != IPO::RunStateIdle) {
        log->addError(std::string("ComServer: Move ") + entry->name + " refused, program is running");
        SendCmdError(counter, "program is running");
        return;
    }
    const DataTypes::Vector3 position(values[0], values[1], values[2]);
    const DataTypes::Vector3 orientation(values[3], values[4], values[5]);
    const DataTypes::Vector3 external(values[6], values[7], values[8]);
    switch (entry->kind) {
        case MoveKind::Joint: ipo->MoveJoint(values, velocity); break;
        case MoveKind::Cart: ipo->MoveLinear(position, orientation, external, velocity); break;
        case MoveKind::RelativeJoint: ipo->MoveRelativeJoint(values, velocity); break;
        case MoveKind::RelativeBase: ipo->MoveRelativeBase(position, orientation, external, velocity); break;
        case MoveKind::RelativeTool: ipo->MoveRelativeTool(position, orientation, external, velocity); break;
    }
    ipo->Start();
    // A stop that came meanwhile wins: the move it raced is ended again.
    if (m_RobotMaster->StoppedSince(m_FrameSequence)) {
        ipo->Stop(IPO::USER, std::string());
        RefuseStoppedStart(counter);
        return;
    }
    SendCmdAck(counter);
}

void ComServer::CmdTriggerCamera(const char* message, int counter, char**) {
    std::string name;
    HXPScanner scan = HXPScanner::Command(message, "TriggerCamera", counter);
    scan.Word(name, 255);
    // The end token where the name should be: no name was given.
    if (scan.Count() != 2 || name == "HXPEND") {
        SendCmdError(counter, "invalid TriggerCamera command");
        return;
    }
    std::shared_ptr<Camera::CameraInterface> camera = Camera::CameraManager::Instance()->Get(name);
    if (!camera) {
        SendCmdError(counter, "could not find camera");
        return;
    }
    camera->TriggerImageRecognition();
    SendCmdAck(counter);
}
