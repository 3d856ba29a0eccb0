// Commands built in memory: direct moves, each replacing the programs by one
// motion, and single commands appended to the in-memory program for teach-in.

#include <algorithm>
#include <cmath>

#include "PkgProgram/CommandDIO.h"
#include "PkgProgram/CommandGripper.h"
#include "PkgProgram/CommandJoint.h"
#include "PkgProgram/CommandLinear.h"
#include "PkgProgram/CommandRelative.h"
#include "PkgProgram/CommandWait.h"
#include "PkgProgram/IPO.h"
#include "common/LogSingleton.h"
#include "datatypes/Vector3.h"

namespace {

constexpr float MaxJointPercent = 100.0f;
constexpr float TeachLinearFullSpeed = 150.0f;  // mm/s at 100 %

float CapPercent(float velocity) { return std::min(velocity, MaxJointPercent); }

// A motion without velocity would never end; a non-finite one would give NaN joints.
bool UsableVelocity(float velocity) { return std::isfinite(velocity) && velocity > 0.001f; }

int ClampCount(int count) { return std::min(std::max(count, 0), 9); }

}  // namespace

void IPO::LinkOffsets(Command& command, const RelaxedAtomic<float>* joints, const RelaxedAtomic<float>* cart) {
    if (auto* joint = dynamic_cast<CommandJoint*>(&command)) {
        joint->jointOffsets = joints;
        joint->cartOffsets = cart;
    } else if (auto* linear = dynamic_cast<CommandLinear*>(&command)) {
        linear->jointOffsets = joints;
        linear->cartOffsets = cart;
    } else if (auto* relative = dynamic_cast<CommandRelative*>(&command)) {
        relative->jointOffsets = joints;
        relative->cartOffsets = cart;
    }
}

void IPO::CapCartVelocity(Command& command) const {
    command.cartVelocity = static_cast<float>(std::min(static_cast<double>(command.cartVelocity), cartMaxVelocity));
}

void IPO::SetupMotionCommand(Command& command) {
    command.nrRobotJoints = GetNrRobotJoints();
    command.nrExternalJoints = GetNrExternalJoints();
    command.InitJointMaxVelocities(jointMaxVelocities);
    command.memory = memory;
    command.ipo = this;
    LinkOffsets(command, jointOffsets, cartOffsets);
}

void IPO::MoveWith(const std::shared_ptr<Command>& command, float velocity) {
    std::lock_guard<std::recursive_mutex> lock(programsMutex);
    DeleteAll();
    if (!(velocity > 0.001f) || !std::isfinite(velocity)) return;
    // A move runs once: repeated, a relative move would go on moving.
    replayMode = ReplaySingle;
    RobotProgram program("");
    program.commands.push_back(command);
    programs.push_back(std::move(program));
    commandsOfProgram = 1;
}

void IPO::MoveJoint(const float* joints, float velocity) {
    auto command = std::make_shared<CommandJoint>();
    SetupMotionCommand(*command);
    command->velocity = CapPercent(velocity);
    for (int i = 0; i < 9; ++i) command->target.jointSetPoint[i] = joints[i];
    MoveWith(command, velocity);
}

void IPO::MoveRelativeJoint(const float* deltas, float velocity) {
    auto command = std::make_shared<CommandRelative>();
    SetupMotionCommand(*command);
    command->SetMotionType(CommandRelative::Joint);
    command->velocity = CapPercent(velocity);
    for (int i = 0; i < 9; ++i) command->offset.jointSetPoint[i] = deltas[i];
    MoveWith(command, velocity);
}

void IPO::MoveLinear(const DataTypes::Vector3& position, const DataTypes::Vector3& orientation,
                     const DataTypes::Vector3& external, float velocity) {
    auto command = std::make_shared<CommandLinear>();
    SetupMotionCommand(*command);
    command->cartVelocity = velocity;
    CapCartVelocity(*command);
    command->SetTarget(position.x, position.y, position.z, orientation.x, orientation.y, orientation.z);
    command->target.jointSetPoint[6] = external.x;
    command->target.jointSetPoint[7] = external.y;
    command->target.jointSetPoint[8] = external.z;
    MoveWith(command, velocity);
}

std::shared_ptr<CommandRelative> IPO::RelativeCartesian(int type, const DataTypes::Vector3& translation,
                                                        const DataTypes::Vector3& external, float velocity) {
    auto command = std::make_shared<CommandRelative>();
    SetupMotionCommand(*command);
    command->SetMotionType(static_cast<CommandRelative::MotionType>(type));
    command->cartVelocity = velocity;
    CapCartVelocity(*command);
    command->offset.pose.SetTranslation(translation);
    command->offset.jointSetPoint[6] = external.x;
    command->offset.jointSetPoint[7] = external.y;
    command->offset.jointSetPoint[8] = external.z;
    return command;
}

// A relative move never turns the tool: the rotation is not used.
void IPO::MoveRelativeBase(const DataTypes::Vector3& translation, const DataTypes::Vector3& /*rotation*/,
                           const DataTypes::Vector3& external, float velocity) {
    MoveWith(RelativeCartesian(CommandRelative::CartBase, translation, external, velocity), velocity);
}

void IPO::MoveRelativeTool(const DataTypes::Vector3& translation, const DataTypes::Vector3& /*rotation*/,
                           const DataTypes::Vector3& external, float velocity) {
    MoveWith(RelativeCartesian(CommandRelative::CartTool, translation, external, velocity), velocity);
}

// ---------------------------------------------------------------- teach-in

void IPO::AppendCommand(const std::shared_ptr<Command>& command) {
    std::lock_guard<std::recursive_mutex> lock(programsMutex);
    if (programs.empty()) programs.emplace_back("new.xml");
    command->memory = memory;
    command->ipo = this;
    auto& commands = programs[0].commands;
    commands.push_back(command);
    const int n = static_cast<int>(commands.size());
    if (n > 1) {
        commands[static_cast<std::size_t>(n - 2)]->succ[0] = n - 1;
        commands[static_cast<std::size_t>(n - 1)]->pre = n - 2;
    }
    commandsOfProgram = n;
}

void IPO::AddCommandJoint(int nr, int count, const float* joints, float velocity) {
    LogSingleton* log = LogSingleton::instance();
    if (!UsableVelocity(velocity)) {
        log->addError("IPO:     Joint motion not added, velocity must be above 0");
        return;
    }
    auto command = std::make_shared<CommandJoint>();
    SetupMotionCommand(*command);
    command->number = nr;
    for (int i = 0; i < ClampCount(count); ++i) command->target.jointSetPoint[i] = joints[i];
    command->velocity = CapPercent(velocity);
    command->acceleration = 40.0f;
    command->smoothing = 20.0f;
    command->abortCondition = "false";
    AppendCommand(command);
    log->add("IPO:     Added joint motion");
}

void IPO::AddCommandRelativeJoint(int nr, int count, const float* deltas, float velocity) {
    LogSingleton* log = LogSingleton::instance();
    if (!UsableVelocity(velocity)) {
        log->addError("IPO:     Relative joint motion not added, velocity must be above 0");
        return;
    }
    auto command = std::make_shared<CommandRelative>();
    SetupMotionCommand(*command);
    command->number = nr;
    command->SetMotionType(CommandRelative::Joint);
    for (int i = 0; i < ClampCount(count); ++i) command->offset.jointSetPoint[i] = deltas[i];
    command->velocity = CapPercent(velocity);
    command->acceleration = 40.0f;
    command->smoothing = 20.0f;
    command->abortCondition = "false";
    AppendCommand(command);
    const float* d = command->offset.jointSetPoint;
    log->addFormat("IPO:     Added relative joint motion %.1lf %.1lf %.1lf", d[0], d[1], d[2]);
}

void IPO::AddRelativeCartesian(int type, int nr, float dx, float dy, float dz, float velocity) {
    LogSingleton* log = LogSingleton::instance();
    if (!UsableVelocity(velocity)) {
        log->addError("IPO:     Relative linear motion not added, velocity must be above 0");
        return;
    }
    std::shared_ptr<CommandRelative> command =
        RelativeCartesian(type, DataTypes::Vector3(dx, dy, dz), DataTypes::Vector3(), velocity);
    command->number = nr;
    command->acceleration = 40.0f;
    command->smoothing = 20.0f;
    command->abortCondition = "false";
    AppendCommand(command);
    log->addFormat("IPO:     Added relative linear motion %.1lf %.1lf %.1lf", dx, dy, dz);
}

void IPO::AddCommandRelativeLinear(int nr, float dx, float dy, float dz, float velocity) {
    AddRelativeCartesian(CommandRelative::CartBase, nr, dx, dy, dz, velocity);
}

void IPO::AddCommandRelativeTool(int nr, float dx, float dy, float dz, float velocity) {
    AddRelativeCartesian(CommandRelative::CartTool, nr, dx, dy, dz, velocity);
}

void IPO::AddCommandLinear(int nr, float x, float y, float z, float a, float b, float c, float e1, float e2, float e3,
                           float velocityPercent) {
    LogSingleton* log = LogSingleton::instance();
    const float velocity = velocityPercent / 100.0f * TeachLinearFullSpeed;
    if (!UsableVelocity(velocity)) {
        log->addError("IPO:     Linear motion not added, velocity must be above 0");
        return;
    }
    auto command = std::make_shared<CommandLinear>();
    SetupMotionCommand(*command);
    command->number = nr;
    command->SetTarget(x, y, z, a, b, c);
    command->target.UpdateABC();
    command->target.jointSetPoint[6] = e1;
    command->target.jointSetPoint[7] = e2;
    command->target.jointSetPoint[8] = e3;
    command->cartVelocity = velocity;
    CapCartVelocity(*command);
    command->abortCondition = "false";
    AppendCommand(command);
    log->addFormat("IPO:     Added Command Linear: %.1lf %.1lf %.1lf --  %.1lf %.1lf %.1lf  with %.1lf mm/s", x, y, z,
                   a, b, c, command->cartVelocity);
}

void IPO::AddCommandDIO(int nr, int channel, bool state) {
    LogSingleton* log = LogSingleton::instance();
    if (channel < 0 || channel >= DataTypes::RobotState::maxIOs) {
        log->addErrorFormat("IPO:     CommandDIO not added, channel %d out of range", channel);
        return;
    }
    (void)nr;
    auto command = std::make_shared<CommandDIO>();
    command->nrRobotJoints = GetNrRobotJoints();
    command->nrExternalJoints = GetNrExternalJoints();
    command->channel = channel;
    command->outputState = state;
    AppendCommand(command);
    log->addFormat("IPO:     Added CommandDIO ch: %d state: %d", channel, state ? 1 : 0);
}

void IPO::AddCommandGripper(int nr, const float* values) {
    (void)nr;
    auto command = std::make_shared<CommandGripper>(values[0]);
    command->gripper[1] = values[1];
    command->gripper[2] = values[2];
    command->nrRobotJoints = GetNrRobotJoints();
    command->nrExternalJoints = GetNrExternalJoints();
    command->InitJointMaxVelocities(jointMaxVelocities);
    AppendCommand(command);
    LogSingleton::instance()->addFormat("IPO:     Added CommandGripper %.1lf", values[0]);
}

void IPO::AddCommandWait(int nr, long ms) {
    (void)nr;
    auto command = std::make_shared<CommandWait>(static_cast<int>(std::min(ms, 2147483647L)));
    command->nrRobotJoints = GetNrRobotJoints();
    command->nrExternalJoints = GetNrExternalJoints();
    AppendCommand(command);
    LogSingleton::instance()->addFormat("IPO:     Added CommandWait %ld ms", ms);
}

void IPO::TouchUpLastCommand() { LogSingleton::instance()->add("IPO:     TouchUp - not implemented yet"); }
