#include "PkgProgram/CommandMatrix.h"

#include <cmath>
#include <exception>
#include <stdexcept>

#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/ProgramMemory.h"
#include "common/LogSingleton.h"

namespace GridMath {

double StepFactor(int count) { return count > 1 ? 1.0 / static_cast<double>(count - 1) : 0.0; }

double WrapAngle(double angle) {
    double wrapped = std::fmod(angle, 360.0);
    if (wrapped > 180.0) wrapped -= 360.0;
    if (wrapped <= -180.0) wrapped += 360.0;
    return wrapped;
}

double AngleDifference(double from, double to) { return WrapAngle(to - from); }

DataTypes::Vector3 AngleDifferences(const DataTypes::RobotState& from, const DataTypes::RobotState& to) {
    return DataTypes::Vector3(static_cast<float>(AngleDifference(from.A, to.A)),
                              static_cast<float>(AngleDifference(from.B, to.B)),
                              static_cast<float>(AngleDifference(from.C, to.C)));
}

void PlacePoint(DataTypes::RobotState& point, const DataTypes::RobotState& a, const DataTypes::Vector3& deltaB,
                const DataTypes::Vector3& deltaC, const DataTypes::Vector3& deltaAngleB,
                const DataTypes::Vector3& deltaAngleC, double u, double v) {
    point.pose = a.pose;
    point.pose.SetTranslation(a.pose.GetTranslation() + deltaB * u + deltaC * v);
    point.A = static_cast<float>(WrapAngle(a.A + deltaAngleB.x * u + deltaAngleC.x * v));
    point.B = static_cast<float>(WrapAngle(a.B + deltaAngleB.y * u + deltaAngleC.y * v));
    point.C = static_cast<float>(WrapAngle(a.C + deltaAngleB.z * u + deltaAngleC.z * v));
    point.UpdateMatrixFromABC();
}

}  // namespace GridMath

CommandMatrix::CommandMatrix() { className = "CommandMatrix"; }

void CommandMatrix::ReadXML(tinyxml2::XMLElement* element, bool /*quiet*/) {
    // The listing is written even for a quiet load.
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = QueryInt(element, "Nr", 0);
        cntX = QueryInt(element, "CntX", cntX);
        cntY = QueryInt(element, "CntY", cntY);
        const char* names[] = {"VarPointA", "VarPointB", "VarPointC", "VarTargetPos", "VarCntX", "VarCntY"};
        bool complete = cntX >= 1 && cntY >= 1;
        for (const char* name : names) complete = complete && CommandSupport::HasAttribute(element, name);
        if (!complete) {
            const std::string missing = FirstMissing(element, {"VarPointA", "VarPointB", "VarPointC", "VarTargetPos",
                                                               "VarCntX", "VarCntY"});
            Refuse(cntX >= 1 && cntY >= 1 ? missing
                                          : IntAttributeProblem(element, cntX >= 1 ? "CntY" : "CntX", "is below 1"));
            log->addError("Could not read CommandMatrix, incomplete arguments");
            return;
        }
        varPointA = ReadString(element, "VarPointA");
        varPointB = ReadString(element, "VarPointB");
        varPointC = ReadString(element, "VarPointC");
        varTargetPos = ReadString(element, "VarTargetPos");
        varCntX = ReadString(element, "VarCntX");
        varCntY = ReadString(element, "VarCntY");
        valid = true;
        log->addFormat("   Nr. %d: Matrix: [%i,%i] A: %s, B: %s, C: %s, Target: %s, cntX: %s, cntY: %s", nr, cntX, cntY,
                       varPointA, varPointB, varPointC, varTargetPos, varCntX, varCntY);
    } catch (const std::exception& e) {
        Refuse(e.what());
        log->addError("Error: could not read Matrix command...");
    }
}

void CommandMatrix::WriteXML(std::ofstream* out, int index) {
    using CommandSupport::EscapeXml;
    CommandSupport::WriteLine(
        out, CommandSupport::Format("<Matrix Nr=\"%d\" CntX=\"%d\" CntY=\"%d\" VarPointA=\"%s\" VarPointB=\"%s\" "
                                    "VarPointC=\"%s\" VarTargetPos=\"%s\" VarCntX=\"%s\" VarCntY=\"%s\" Descr=\"\" />",
                                    index, cntX, cntY, EscapeXml(varPointA).c_str(), EscapeXml(varPointB).c_str(),
                                    EscapeXml(varPointC).c_str(), EscapeXml(varTargetPos).c_str(),
                                    EscapeXml(varCntX).c_str(), EscapeXml(varCntY).c_str()));
}

DataTypes::RobotState CommandMatrix::GetMemory(const std::string& name) {
    std::shared_ptr<const Programs::MemoryPosition> entry = memory != nullptr ? memory->Get(name) : nullptr;
    if (!entry) {
        const std::string text = "CommandMatrix: Variable '" + name + "' is not defined.";
        LogSingleton::instance()->addError(text);
        throw std::invalid_argument(text);
    }
    return entry->position;
}

void CommandMatrix::StoreMemory(const std::string& name, double value) {
    if (memory != nullptr) memory->SetVariableSingle(name, value, true);
}

void CommandMatrix::StoreMemory(const std::string& name, const DataTypes::RobotState& state) {
    if (memory != nullptr) memory->SetVariable(Programs::MemoryPosition(name, state, false), Programs::StoreBoth);
}

int CommandMatrix::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* state) {
    if (firstVisit) {
        firstVisit = false;
        i = 0;
        j = 0;
        pointA = GetMemory(varPointA);
        pointB = GetMemory(varPointB);
        pointC = GetMemory(varPointC);
        deltaB = pointB.pose.GetTranslation() - pointA.pose.GetTranslation();
        deltaC = pointC.pose.GetTranslation() - pointA.pose.GetTranslation();
        deltaAngleB = GridMath::AngleDifferences(pointA, pointB);
        deltaAngleC = GridMath::AngleDifferences(pointA, pointC);
        for (int k = 0; k < 9; ++k) {
            deltaJointB[k] = static_cast<double>(pointB.jointSetPoint[k]) - pointA.jointSetPoint[k];
            deltaJointC[k] = static_cast<double>(pointC.jointSetPoint[k]) - pointA.jointSetPoint[k];
        }
        fx = GridMath::StepFactor(cntX);
        fy = GridMath::StepFactor(cntY);
    }
    if (j < cntY) {
        DataTypes::RobotState point = state != nullptr ? *state : DataTypes::RobotState();
        const double u = i * fx;
        const double v = j * fy;
        GridMath::PlacePoint(point, pointA, deltaB, deltaC, deltaAngleB, deltaAngleC, u, v);
        for (int k = 0; k < 9; ++k)
            point.jointSetPoint[k] = static_cast<float>(pointA.jointSetPoint[k] + deltaJointB[k] * u + deltaJointC[k] * v);
        StoreMemory(varTargetPos, point);
        StoreMemory(varCntX, i);
        StoreMemory(varCntY, j);
        if (++i >= cntX) {
            i = 0;
            ++j;
        }
        return succ[1];
    }
    firstVisit = true;
    return succ[0];
}

std::string CommandMatrix::ToString() {
    return CommandSupport::Format("Command Matrix [%i,%i] A: %s, B: %s, C: %s, Target: %s, cntX: %s, cntY: %s", cntX,
                                  cntY, varPointA.c_str(), varPointB.c_str(), varPointC.c_str(), varTargetPos.c_str(),
                                  varCntX.c_str(), varCntY.c_str()) +
           CommandSupport::LinkText(*this);
}
