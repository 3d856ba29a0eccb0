#include "PkgProgram/CommandCamera.h"

#include <cmath>
#include <stdexcept>

#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/ProgramMemory.h"
#include "common/LogSingleton.h"
#include "common/StringHelper.h"
#include "datatypes/RobotState.h"
#include "vision/CameraManager.h"
#include "vision/CameraSimulated.h"

CommandCamera::CommandCamera() { className = "CommandCamera"; }

void CommandCamera::FetchTargetVariables(Command& command, const std::string& position, const std::string& modelClass,
                                         Programs::MemoryPosition& target, Programs::MemoryPosition& number) {
    command.GetVariableFromProgramMemory(position, &target);
    command.GetVariableFromProgramMemory(modelClass, &number);
    if (target.type != Programs::MemoryPosition::TypePosition)
        throw std::invalid_argument("Variable " + position + " is not a position variable");
    if (number.type != Programs::MemoryPosition::TypeNumber)
        throw std::invalid_argument("Variable " + modelClass + " is not a number variable");
}

void CommandCamera::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    const int nr = QueryInt(element, "Nr", 0);
    for (const char* name : {"CameraName", "CameraType", "VarTargetPos", "VarModelClass"}) {
        if (!CommandSupport::HasAttribute(element, name)) {
            Refuse(FirstMissing(element, {name}));
            log->addError("Could not read CommandCamera, incomplete arguments");
            return;
        }
    }
    cameraName = ReadString(element, "CameraName");
    cameraType = ReadString(element, "CameraType");
    varTargetPos = StringHelper::ToLower(ReadString(element, "VarTargetPos"));
    varModelClass = StringHelper::ToLower(ReadString(element, "VarModelClass"));
    valid = true;
    if (!quiet) {
        log->addFormat("   Nr. %d: Camera: %s Type: %s PosVariable: %s ClassVariable: %s", nr, cameraName, cameraType,
                       varTargetPos, varModelClass);
    }
}

void CommandCamera::WriteXML(std::ofstream* out, int index) {
    using CommandSupport::EscapeXml;
    CommandSupport::WriteLine(
        out, CommandSupport::Format("<Camera Nr=\"%d\" CameraName=\"%s\" CameraType=\"%s\" VarTargetPos=\"%s\" "
                                    "VarModelClass=\"%s\" Descr=\"\" />",
                                    index, EscapeXml(cameraName).c_str(), EscapeXml(cameraType).c_str(),
                                    EscapeXml(varTargetPos).c_str(), EscapeXml(varModelClass).c_str()));
}

int CommandCamera::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* /*state*/) {
    LogSingleton* log = LogSingleton::instance();
    Programs::MemoryPosition target, number;
    FetchTargetVariables(*this, varTargetPos, varModelClass, target, number);

    const std::shared_ptr<Camera::CameraInterface> camera = Camera::CameraManager::Instance()->Get(cameraName);
    if (!camera) {
        const std::string text = CommandSupport::Format("CommandCamera: Camera %.90s does not exist", cameraName.c_str());
        log->addError(text);
        throw std::invalid_argument(text);
    }
    const std::string type = StringHelper::ToLower(camera->GetTypeId());
    if (type != StringHelper::ToLower(cameraType) && type != StringHelper::ToLower(Camera::CameraSimulated::TYPE_ID)) {
        const std::string text =
            CommandSupport::Format("CommandCamera: Type of camera %.60s does not match, expected %.60s, is %.60s",
                                   cameraName.c_str(), cameraType.c_str(), camera->GetTypeId().c_str());
        log->addError(text);
        throw std::invalid_argument(text);
    }

    DataTypes::RobotState& pose = target.position;
    DataTypes::Vector3 position = pose.pose.GetTranslation();
    DataTypes::Vector3 orientation(pose.A, pose.B, pose.C);
    int modelClass = -1;
    const bool newTarget = camera->GetTargetPos(position, orientation, modelClass);
    if (!HasPart(newTarget, modelClass)) {
        // No part, so no pose: a program reads the class and tries again.
        StoreClass(*this, number, modelClass);
        return succ[0];
    }
    for (const float value : {position.x, position.y, position.z, orientation.x, orientation.y, orientation.z}) {
        if (!std::isfinite(value)) {
            const std::string text =
                CommandSupport::Format("CommandCamera: Camera %.90s gave a target that is not finite", cameraName.c_str());
            log->addError(text);
            throw std::invalid_argument(text);
        }
    }
    pose.pose(0, 3) = position.x;
    pose.pose(1, 3) = position.y;
    pose.pose(2, 3) = position.z;
    pose.A = orientation.x;
    pose.B = orientation.y;
    pose.C = orientation.z;
    pose.UpdateMatrixFromABC();
    StoreTarget(*this, target);
    StoreClass(*this, number, modelClass);
    return succ[0];
}

bool CommandCamera::HasPart(bool valid, int modelClass) { return valid && modelClass != -1; }

void CommandCamera::StoreClass(Command& command, Programs::MemoryPosition& number, int modelClass) {
    number.number = modelClass;
    command.memory->SetVariable(number, Programs::StoreAsGiven);
}

void CommandCamera::StoreTarget(Command& command, const Programs::MemoryPosition& target) {
    command.memory->SetVariable(target, Programs::StoreCartesian);
    Programs::MemoryPosition stored;
    command.GetVariableFromProgramMemory(target.name, &stored);
    const DataTypes::RobotState& a = stored.position;
    const DataTypes::RobotState& b = target.position;
    bool same = std::fabs(a.A - b.A) < 1e-3f && std::fabs(a.B - b.B) < 1e-3f && std::fabs(a.C - b.C) < 1e-3f;
    for (int row = 0; row < 3; ++row) same = same && std::fabs(a.pose(row, 3) - b.pose(row, 3)) < 1e-3f;
    if (same) return;
    const std::string text = "Target of variable " + target.name + " could not be stored";
    LogSingleton::instance()->addError(text);
    throw std::invalid_argument(text);
}

std::string CommandCamera::ToString() {
    return "Command Camera " + cameraName + " (" + cameraType + ") PosVariable: " + varTargetPos +
           " ClassVariable: " + varModelClass + CommandSupport::LinkText(*this);
}
