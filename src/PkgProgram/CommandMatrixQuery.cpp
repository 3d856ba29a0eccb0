#include "PkgProgram/CommandMatrixQuery.h"

#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <stdexcept>

#include "PkgProgram/CommandMatrix.h"
#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/MatrixDefinition.h"
#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/ProgramMemory.h"
#include "common/LogSingleton.h"

CommandMatrixQuery::CommandMatrixQuery() { className = "CommandMatrixQuery"; }

void CommandMatrixQuery::ReadXML(tinyxml2::XMLElement* element, bool /*quiet*/) {
    // The listing is written even for a quiet load.
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = ReadInt(element, "Nr");
        name = ReadString(element, "Name");
        varIndex = ReadString(element, "VarIndex");
        varTargetPos = ReadString(element, "VarTargetPos");
        varCntX = ReadString(element, "VarCntX");
        varCntY = ReadString(element, "VarCntY");
        valid = true;
        log->addFormat("   Nr. %d: MatrixQuery: %s, Index: %s, Target: %s, cntX: %s, cntY: %s", nr, name, varIndex,
                       varTargetPos, varCntX, varCntY);
    } catch (const std::exception& e) {
        Refuse(e.what());
        log->addErrorFormat("Error: Could not read MatrixQuery: %s", e.what());
    }
}

void CommandMatrixQuery::WriteXML(std::ofstream* out, int index) {
    using CommandSupport::EscapeXml;
    CommandSupport::WriteLine(
        out, CommandSupport::Format("<MatrixQuery Nr=\"%d\" Name=\"%s\" VarIndex=\"%s\" VarTargetPos=\"%s\" "
                                    "VarCntX=\"%s\" VarCntY=\"%s\" Descr=\"\" />",
                                    index, EscapeXml(name).c_str(), EscapeXml(varIndex).c_str(),
                                    EscapeXml(varTargetPos).c_str(), EscapeXml(varCntX).c_str(),
                                    EscapeXml(varCntY).c_str()));
}

int CommandMatrixQuery::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* state) {
    if (memory == nullptr || !memory->HasMatrixDefinition(name))
        throw std::runtime_error("Command MatrixQuery: Matrix " + name + " is not defined");
    const Programs::MatrixDefinition grid = memory->GetMatrixDefinition(name);
    std::shared_ptr<const Programs::MemoryPosition> indexVariable = memory->Get(varIndex);
    if (!indexVariable) throw std::runtime_error("Command MatrixQuery: Index variable " + varIndex + " is not defined");

    const std::string outOfRange = "Command MatrixQuery : Index for matrix " + name + " is out of range: ";
    const double number = indexVariable->number;
    // Anything that is no int is no point of any grid.
    if (!std::isfinite(number) || number >= 2147483648.0 || number <= -2147483649.0)
        throw std::runtime_error(outOfRange + CommandSupport::Format("%g is not an index", number));
    const int index = static_cast<int>(number);
    const int64_t points = static_cast<int64_t>(grid.cntX) * grid.cntY;
    if (index < 0) throw std::runtime_error(outOfRange + CommandSupport::Format("%d < 0", index));
    if (grid.cntX < 1 || grid.cntY < 1 || index >= points)
        throw std::runtime_error(outOfRange + CommandSupport::Format("%d >= %dx%d", index, grid.cntX, grid.cntY));
    const int x = index % grid.cntX;
    const int y = index / grid.cntX;

    DataTypes::RobotState point = state != nullptr ? *state : DataTypes::RobotState();
    GridMath::PlacePoint(point, grid.base, grid.deltaB, grid.deltaC, grid.deltaAngleB, grid.deltaAngleC,
                         x * grid.stepX, y * grid.stepY);
    memory->SetVariable(Programs::MemoryPosition(varTargetPos, point, false), Programs::StoreCartesian);
    memory->SetVariableSingle(varCntX, x, true);
    memory->SetVariableSingle(varCntY, y, true);
    return succ[0];
}

std::string CommandMatrixQuery::ToString() {
    return CommandSupport::Format("Command MatrixQuery %s, Index: %s, Target: %s, cntX: %s, cntY: %s", name.c_str(),
                                  varIndex.c_str(), varTargetPos.c_str(), varCntX.c_str(), varCntY.c_str()) +
           CommandSupport::LinkText(*this);
}
