#pragma once
// Machines whose joints are not linked into an arm: each joint is converted,
// checked against its limits and stored; there is no Cartesian transform and
// the pose stays the identity. The linear and the rotational variant differ
// only in their names (and the unit their values stand for).

#include <string>

#include "kinematics/RobotKinematic.h"

class SeparateJoints : public RobotKinematic {
public:
    ~SeparateJoints() override;

    void Init(const std::string& robotName, const std::string& robotType, const std::string& robotFile,
              int velocitySet) override;
    void SetJoints(const float* userJoints, bool check) override;
    // Does nothing: a Cartesian set-point leaves the machine where it is.
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    void ReadIniFile(const std::string& robotFile);

protected:
    SeparateJoints(const char* typeName, const char* headerName);

private:
    const char* m_HeaderName;
};
