#include "PkgProgram/CommandPlugin.h"

#include <cmath>
#include <stdexcept>

#include "PkgProgram/CommandCamera.h"
#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/ProgramMemory.h"
#include "common/LogSingleton.h"
#include "common/StringHelper.h"
#include "datatypes/RobotState.h"
#include "vision/PluginManager.h"

CommandPlugin::CommandPlugin() { className = "CommandPlugin"; }

void CommandPlugin::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    const int nr = QueryInt(element, "Nr", 0);
    for (const char* name : {"PluginName", "VarTargetPos", "VarModelClass"}) {
        if (!CommandSupport::HasAttribute(element, name)) {
            Refuse(FirstMissing(element, {name}));
            log->addError("Could not read CommandPlugin, incomplete arguments");
            return;
        }
    }
    pluginName = StringHelper::ToLower(ReadString(element, "PluginName"));
    varTargetPos = StringHelper::ToLower(ReadString(element, "VarTargetPos"));
    varModelClass = StringHelper::ToLower(ReadString(element, "VarModelClass"));
    valid = true;
    if (!quiet) {
        log->addFormat("   Nr. %d: Plugin: %s PosVariable: %s ClassVariable: %s", nr, pluginName, varTargetPos,
                       varModelClass);
    }
}

void CommandPlugin::WriteXML(std::ofstream* out, int index) {
    using CommandSupport::EscapeXml;
    CommandSupport::WriteLine(
        out, CommandSupport::Format(
                 "<Plugin Nr=\"%d\" PluginName=\"%s\" VarTargetPos=\"%s\" VarModelClass=\"%s\" Descr=\"\" />", index,
                 EscapeXml(pluginName).c_str(), EscapeXml(varTargetPos).c_str(), EscapeXml(varModelClass).c_str()));
}

int CommandPlugin::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* state) {
    Programs::MemoryPosition target, number;
    CommandCamera::FetchTargetVariables(*this, varTargetPos, varModelClass, target, number);
    if (pluginManager == nullptr) throw std::runtime_error("PluginManager - Plugin not available!");

    DataTypes::RobotState& pose = target.position;
    float orientation[3] = {pose.A, pose.B, pose.C};
    float matrix[12];
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 4; ++column) matrix[row * 4 + column] = pose.pose(row, column);
    }
    int modelClass = -1;
    const int result = pluginManager->ExecutePluginCmdTarget(
        pluginName, &modelClass, state != nullptr ? state->jointSetPoint : nullptr, matrix, orientation,
        state != nullptr ? state->digitalInputs : nullptr, state != nullptr ? state->digitalOutputs : nullptr);
    // No part, no pose: the position variable keeps its target.
    if (CommandCamera::HasPart(result == 1, modelClass)) {
        for (const float value : {matrix[3], matrix[7], matrix[11], orientation[0], orientation[1], orientation[2]}) {
            if (!std::isfinite(value)) {
                const std::string text = "CommandPlugin: Plugin " + pluginName + " gave a target that is not finite";
                LogSingleton::instance()->addError(text);
                throw std::invalid_argument(text);
            }
        }
        pose.pose(0, 3) = matrix[3];
        pose.pose(1, 3) = matrix[7];
        pose.pose(2, 3) = matrix[11];
        pose.A = orientation[0];
        pose.B = orientation[1];
        pose.C = orientation[2];
        pose.UpdateMatrixFromABC();
        CommandCamera::StoreTarget(*this, target);
    }
    CommandCamera::StoreClass(*this, number, modelClass);
    if (result != 1) return -1;
    LogSingleton::instance()->addFormat(
        "Plugin: X=%.1lf Y=%.1lf Z=%.1lf -- A=%.1lf B=%.1lf C=%.1lf  - ModelClass=%d", static_cast<double>(matrix[3]),
        static_cast<double>(matrix[7]), static_cast<double>(matrix[11]), static_cast<double>(orientation[0]),
        static_cast<double>(orientation[1]), static_cast<double>(orientation[2]), modelClass);
    return succ[0];
}

std::string CommandPlugin::ToString() {
    return "Command Plugin " + pluginName + " PosVariable: " + varTargetPos + " ClassVariable: " + varModelClass +
           CommandSupport::LinkText(*this);
}
