#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "PkgProgram/CircleParameters.h"
#include "PkgProgram/Command.h"
#include "datatypes/Matrix44.h"
#include "datatypes/Vector3.h"

// Moves the tool centre point on an arc from where the motion starts, through a
// via point to an end point (or a given angle along that circle), turning the
// orientation and moving the external axes along.
class CommandCircular : public Command {
public:
    CommandCircular();

    // Every attribute is required: a missing or unparsable one throws the attribute exceptions.
    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // A fresh start plans the arc again from where the motion then begins.
    void Init() override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    int InterpolateLogic(int cycleMs, float override, DataTypes::RobotState* state) override;
    void GetTargetPosition(DataTypes::RobotState* start, DataTypes::RobotState* target, float& cartVel,
                           float& jointVelPercent, float& acc, float& smooth) override;
    void CalculateCircleParameters(const DataTypes::Vector3& P1, const DataTypes::Vector3& P2,
                                   const DataTypes::Vector3& P3);

    DataTypes::Vector3 endPoint;
    DataTypes::Vector3 viaPoint;
    DataTypes::Vector3 targetOrientation;  // A, B, C degrees
    DataTypes::Vector3 targetExternal;
    bool variableSource = false;
    std::string viaVariableName = "Position1";
    std::string endVariableName = "Position2";
    bool useAngle = false;
    double angle = 0.0;  // degrees
    std::string abortCondition = "false";
    std::shared_ptr<CircleParameters> circle;
    double angleStep = 0.0;     // rad per call
    double currentAngle = 0.0;  // rad
    double rotationStep = 0.0;  // degrees per call
    DataTypes::Vector3 externalStep;
    bool circularFirstVisit = true;
    DataTypes::Vector3 startOrientation;
    DataTypes::Vector3 startExternal;
    DataTypes::Vector3 rotationAxis;
    int32_t number = 0;

private:
    // Via point, end point, orientation and external axes from the numbers or the two variables.
    void TakeTargets();
    DataTypes::Vector3 EndOfArc() const;

    // One count of calls for arc, rotation and axes, so all arrive together on the last.
    int64_t callCount = 0;
    int64_t callsDone = 0;
    double rotationAngle = 0.0;  // degrees
    DataTypes::Vector3 goalExternal;
    DataTypes::Matrix44 startRotation;
};
