#pragma once

#include <cstdint>
#include <string>

#include "PkgProgram/Command.h"
#include "datatypes/RobotState.h"
#include "datatypes/Vector3.h"

namespace Programs {
class MatrixDefinition;
}

// Grid arithmetic shared by the grid commands.
namespace GridMath {

// 1 / (count - 1); 0 for a single point, which then stays on corner A.
double StepFactor(int count);
// to - from taken the short way round, in (-180, 180].
double AngleDifference(double from, double to);
// An angle brought into (-180, 180].
double WrapAngle(double angle);
// The A, B, C differences from corner `from` to corner `to`, each the short way.
DataTypes::Vector3 AngleDifferences(const DataTypes::RobotState& from, const DataTypes::RobotState& to);
// Pose of the point at fractions u (towards B) and v (towards C): translation and
// angles interpolated, the rotation rebuilt from the angles. Joints are left alone.
void PlacePoint(DataTypes::RobotState& point, const DataTypes::RobotState& a, const DataTypes::Vector3& deltaB,
                const DataTypes::Vector3& deltaC, const DataTypes::Vector3& deltaAngleB,
                const DataTypes::Vector3& deltaAngleC, double u, double v);

}  // namespace GridMath

// Runs its body (succ[1]) once for every point of a grid spanned by three
// corner variables, row by row with X fastest, storing each point in the
// target variable; leaves through succ[0].
class CommandMatrix : public Command {
public:
    CommandMatrix();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // Writes the opening element only; the writer closes the grid loop.
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    std::string ToString() override;

    // Logs and throws std::invalid_argument when the variable does not exist.
    DataTypes::RobotState GetMemory(const std::string& name);
    void StoreMemory(const std::string& name, double value);
    void StoreMemory(const std::string& name, const DataTypes::RobotState& state);

    DataTypes::RobotState pointA;
    DataTypes::RobotState pointB;
    DataTypes::RobotState pointC;
    DataTypes::Vector3 deltaB;
    DataTypes::Vector3 deltaC;
    DataTypes::Vector3 deltaAngleB;
    DataTypes::Vector3 deltaAngleC;
    std::string varPointA = "myPosVar1";
    std::string varPointB = "myPosVar2";
    std::string varPointC = "myPosVar3";
    std::string varTargetPos = "myTargetPos";
    std::string varCntX = "myCounterX";
    std::string varCntY = "myCounterY";
    double deltaJointB[9] = {};
    double deltaJointC[9] = {};
    double fx = 0.0;
    double fy = 0.0;
    int i = 0;
    int j = 0;
    int cntX = 0;
    int cntY = 0;
};
