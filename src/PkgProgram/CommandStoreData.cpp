#include "PkgProgram/CommandStoreData.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/IPO.h"
#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/ProgramMemory.h"
#include "common/LogSingleton.h"
#include "common/StringHelper.h"
#include "datatypes/RobotState.h"

namespace {

// "nan" and "inf" scan as numbers; a stored position must not hold them.
void RequireFinite(const float* values, int count, const char* what) {
    for (int i = 0; i < count; ++i) {
        if (!std::isfinite(values[i])) throw std::invalid_argument(std::string("non-finite number in ") + what);
    }
}

}  // namespace

CommandStoreData::CommandStoreData() : useCurrentPosition(false), joints{}, numberValue(0.0f) {
    className = "CommandStoreData";
}

void CommandStoreData::ReadXML(tinyxml2::XMLElement* element, bool /*quiet*/) {
    // The listing is written even for a quiet load.
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = QueryInt(element, "Nr", 0);
        if (!CommandSupport::HasAttribute(element, "Type") || !CommandSupport::HasAttribute(element, "Name")) {
            Refuse(FirstMissing(element, {"Type", "Name"}));
            log->addError("Could not read CommandStoreData, incomplete arguments");
            return;
        }
        const std::string type = ReadString(element, "Type");
        if (type != "number" && type != "position") {
            Refuse("unknown variable type " + AttributeText(element, "Type"));
            log->addError("ERROR: could not read StoreData cmd, wrong type!");
            return;
        }
        varType = type;
        varName = StringHelper::ToLower(ReadString(element, "Name"));

        if (varType == "number") {
            numberValue = CommandSupport::HasAttribute(element, "Value") ? ReadFloat(element, "Value") : 0.0f;
            valid = true;
            log->addFormat("   Nr. %d: Store number Variable: %s Value: %lf", nr, varName, numberValue);
            return;
        }

        const std::string value = QueryString(element, "Value", "");
        float v[6] = {};
        useCurrentPosition = std::sscanf(value.c_str(), "%f %f %f %f %f %f", &v[0], &v[1], &v[2], &v[3], &v[4],
                                         &v[5]) != 6;
        for (float& j : joints) j = 0.0f;
        if (useCurrentPosition) {
            valid = true;
            log->addFormat("   Nr. %d: Store position Variable: %s Value: current position", nr, varName);
            return;
        }
        RequireFinite(v, 6, "Value");
        position[0] = DataTypes::Vector3(v[0], v[1], v[2]);
        position[1] = DataTypes::Vector3(v[3], v[4], v[5]);
        const std::string jointText = QueryString(element, "ValueJoints", "");
        float j[9] = {};
        if (std::sscanf(jointText.c_str(), "%f %f %f %f %f %f %f %f %f", &j[0], &j[1], &j[2], &j[3], &j[4], &j[5],
                        &j[6], &j[7], &j[8]) == 9) {
            RequireFinite(j, 9, "ValueJoints");
            for (int i = 0; i < 9; ++i) joints[i] = j[i];
        }
        valid = true;
        log->addFormat(
            "   Nr. %d: Store position Variable: %s Value: X=%.1lf Y=%.1lf Z=%.1lf A=%.1lf B=%.1lf C=%.1lf "
            "A1=%.1lf A2=%.1lf A3=%.1lf A4=%.1lf A5=%.1lf A6=%.1lf E1=%.1lf E2=%.1lf E3=%.1lf",
            nr, varName, position[0].x, position[0].y, position[0].z, position[1].x, position[1].y, position[1].z,
            joints[0], joints[1], joints[2], joints[3], joints[4], joints[5], joints[6], joints[7], joints[8]);
    } catch (const std::exception& e) {
        Refuse(e.what());
        log->addError("Error: could not read StoreData command");
    }
}

void CommandStoreData::WriteXML(std::ofstream* out, int index) {
    using CommandSupport::FloatText;
    const std::string name = CommandSupport::EscapeXml(varName);
    std::string line;
    if (varType == "number") {
        line = CommandSupport::Format("<Store Nr=\"%d\" Type=\"number\" Name=\"%s\" Value=\"%s\" Descr=\"\" />", index,
                                      name.c_str(), FloatText(numberValue).c_str());
    } else if (useCurrentPosition) {
        line = CommandSupport::Format("<Store Nr=\"%d\" Type=\"position\" Name=\"%s\" Descr=\"\" />", index,
                                      name.c_str());
    } else {
        std::string value;
        for (const DataTypes::Vector3& v : position) {
            for (const float f : {v.x, v.y, v.z}) value += (value.empty() ? "" : " ") + FloatText(f);
        }
        std::string jointText;
        for (const float f : joints) jointText += (jointText.empty() ? "" : " ") + FloatText(f);
        line = CommandSupport::Format(
            "<Store Nr=\"%d\" Type=\"position\" Name=\"%s\" Value=\"%s\" ValueJoints=\"%s\" Descr=\"\" />", index,
            name.c_str(), value.c_str(), jointText.c_str());
    }
    CommandSupport::WriteLine(out, line);
}

int CommandStoreData::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* state) {
    const bool isNumber = varType == "number";
    if (!isNumber && varType != "position") {
        LogSingleton::instance()->addError("ERROR - StoreData: var type not correct!");
        return -2;
    }
    if (memory == nullptr) {
        LogSingleton::instance()->addError("ERROR in CMD: memory not initialized!");
        throw std::runtime_error("Command: memory not initialized");
    }
    // Variables of the logic program survive the clearing of the robot program's.
    const bool isStatic = ipo != nullptr && ipo->type == IPO::IpoTypeLogic;
    if (isNumber) {
        memory->SetVariable(Programs::MemoryPosition(varName, static_cast<double>(numberValue), isStatic),
                            Programs::StoreAsGiven);
        return succ[0];
    }
    if (state == nullptr) throw std::invalid_argument("StoreData: no robot state");
    DataTypes::RobotState s = *state;
    if (!useCurrentPosition) {
        s.pose(0, 3) = position[0].x;
        s.pose(1, 3) = position[0].y;
        s.pose(2, 3) = position[0].z;
        s.A = position[1].x;
        s.B = position[1].y;
        s.C = position[1].z;
        for (int i = 0; i < 9; ++i) s.jointSetPoint[i] = joints[i];
    }
    memory->SetVariable(Programs::MemoryPosition(varName, s, isStatic), Programs::StoreBoth);
    return succ[0];
}

std::string CommandStoreData::ToString() { return "Command Store " + varName + CommandSupport::LinkText(*this); }
