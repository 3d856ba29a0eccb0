#pragma once
// Gantries built from linear axes: the flange lies at an offset plus the sum
// of the axis values times their (not necessarily unit) directions, so the
// inverse is one multiplication with the inverse of the matrix of
// directions. The flange's orientation is fixed (tool down, or unchanged for
// the plane gantry); the one- and three-axis gantries may carry a fourth,
// rotary axis that turns the tool about the vertical. The four gantry
// classes differ only in the layout they hand to this class.

#include <string>

#include "datatypes/Matrix44.h"
#include "datatypes/Vector3.h"
#include "kinematics/RobotKinematic.h"

class CartesianGantry : public RobotKinematic {
public:
    struct Layout {
        int axes;                         // linear axes with a direction of their own: 2 or 3
        bool mayHaveFourthAxis;           // reads "FourthAxis"
        DataTypes::Vector3 fixedColumn;   // third column of the axis matrix when axes is 2
        int unservedComponent;            // position component no axis serves: -1 none, 1 Y, 2 Z
        bool toolDown;                    // flange rotation diag(1, -1, -1), else identity
        bool externalShift;               // dependent external linear axes shift the base
        int limitsInFile;                 // "SoftwareMinMax" A1 .. An read and written (without A4)
        const char* header;               // Init header, before " %s / %s  - Kinematic Data: "
        const char* missingFileName;      // name in the message for a file that cannot be opened
        DataTypes::Vector3 defaultOffset;
    };

    enum class Member { OneAxis, TwoAxisLine, TwoAxisPlane, ThreeAxis };
    static Layout LayoutOf(Member member);

    ~CartesianGantry() override;

    void clone(RobotKinematic* from) override;
    void Init(const std::string& robotName, const std::string& robotType, const std::string& robotFile,
              int velocitySet) override;
    void SetJoints(const float* userJoints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;
    // Writes the joint limits back into "SoftwareMinMax" of the loaded robot file.
    void UpdateConfigurationFile(tinyxml2::XMLDocument* doc, tinyxml2::XMLElement* robot) override;

    void ReadIniFile(const std::string& robotFile);

    float axisLengths[3] = {500, 500, 100};
    // Two-axis gantries use the first two; the third column of their axis
    // matrix is fixed by the layout.
    DataTypes::Vector3 axisDirections[3];
    DataTypes::Matrix44 axisMatrix;
    DataTypes::Matrix44 axisMatrixInverse;
    DataTypes::Vector3 gantryOffset;
    bool fourthAxis = false;

protected:
    CartesianGantry(const char* typeName, const Layout& layout);

private:
    // Flange rotation for the fourth axis at q4 degrees (or the fixed one).
    void FlangeRotation(double q4, double r[3][3]) const;
    int LimitCount() const;

    Layout m_Layout;
    bool m_FileRead = false;  // the robot file was opened and parsed by the last ReadIniFile
};
