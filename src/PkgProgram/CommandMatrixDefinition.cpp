#include "PkgProgram/CommandMatrixDefinition.h"

#include <exception>
#include <stdexcept>

#include "PkgProgram/CommandMatrix.h"
#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/IPO.h"
#include "PkgProgram/MatrixDefinition.h"
#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/ProgramMemory.h"
#include "common/LogSingleton.h"

CommandMatrixDefinition::CommandMatrixDefinition() { className = "CommandMatrixDefinition"; }

void CommandMatrixDefinition::ReadXML(tinyxml2::XMLElement* element, bool /*quiet*/) {
    // The listing is written even for a quiet load.
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = ReadInt(element, "Nr");
        cntX = ReadInt(element, "CntX");
        cntY = ReadInt(element, "CntY");
        name = ReadString(element, "Name");
        varPointA = ReadString(element, "VarPointA");
        varPointB = ReadString(element, "VarPointB");
        varPointC = ReadString(element, "VarPointC");
        // A grid needs at least one point in each direction.
        if (cntX < 1 || cntY < 1)
            throw std::invalid_argument("grid counts must be at least 1, not " + std::to_string(cntX) + "x" +
                                        std::to_string(cntY));
        valid = true;
        log->addFormat("   Nr. %d: MatrixDefinition: %s [%i,%i] A: %s, B: %s, C: %s", nr, name, cntX, cntY, varPointA,
                       varPointB, varPointC);
    } catch (const std::exception& e) {
        Refuse(e.what());
        log->addErrorFormat("Error: Could not read MatrixDefinition: %s", e.what());
    }
}

void CommandMatrixDefinition::WriteXML(std::ofstream* out, int index) {
    using CommandSupport::EscapeXml;
    CommandSupport::WriteLine(
        out, CommandSupport::Format("<MatrixDefinition Nr=\"%d\" CntX=\"%d\" CntY=\"%d\" Name=\"%s\" VarPointA=\"%s\" "
                                    "VarPointB=\"%s\" VarPointC=\"%s\" Descr=\"\" />",
                                    index, cntX, cntY, EscapeXml(name).c_str(), EscapeXml(varPointA).c_str(),
                                    EscapeXml(varPointB).c_str(), EscapeXml(varPointC).c_str()));
}

int CommandMatrixDefinition::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* /*state*/) {
    if (memory == nullptr) throw std::runtime_error("Command MatrixDefinition: no program memory");
    const DataTypes::RobotState a = memory->GetVariable(varPointA).position;
    const DataTypes::RobotState b = memory->GetVariable(varPointB).position;
    const DataTypes::RobotState c = memory->GetVariable(varPointC).position;
    Programs::MatrixDefinition definition(cntX, cntY);
    definition.base = a;
    definition.deltaB = b.pose.GetTranslation() - a.pose.GetTranslation();
    definition.deltaC = c.pose.GetTranslation() - a.pose.GetTranslation();
    definition.deltaAngleB = GridMath::AngleDifferences(a, b);
    definition.deltaAngleC = GridMath::AngleDifferences(a, c);
    definition.stepX = GridMath::StepFactor(cntX);
    definition.stepY = GridMath::StepFactor(cntY);
    // A grid of the logic program outlives the robot program's memory.
    const bool isStatic = ipo != nullptr && ipo->type == IPO::IpoTypeLogic;
    memory->SetMatrixDefinition(name, definition, isStatic);
    return succ[0];
}

std::string CommandMatrixDefinition::ToString() {
    return CommandSupport::Format("Command MatrixDefinition %s [%i,%i] A: %s, B: %s, C: %s", name.c_str(), cntX, cntY,
                                  varPointA.c_str(), varPointB.c_str(), varPointC.c_str()) +
           CommandSupport::LinkText(*this);
}
