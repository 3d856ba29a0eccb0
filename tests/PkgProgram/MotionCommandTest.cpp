// Joint, linear and relative motion commands: reading, their own per-call
// motion, and what they write.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "PkgProgram/CommandJoint.h"
#include "PkgProgram/CommandLinear.h"
#include "PkgProgram/CommandRelative.h"
#include "PkgProgram/CommandXml.h"
#include "PkgProgram/ProgramMemory.h"
#include "datatypes/RobotState.h"
#include "support/LogCapture.h"

namespace {

struct ReadCase {
    std::string xml;
    bool valid;
    std::string line;  // a log line the reading gives, if any
};

template <class T>
void CheckReadCases(const std::vector<ReadCase>& cases) {
    for (const ReadCase& c : cases) {
        TestSupport::LogCapture log;
        T command;
        CommandXml::Read(command, c.xml);
        EXPECT_EQ(command.valid, c.valid) << c.xml;
        if (!c.line.empty()) {
            EXPECT_GE(log.CountContaining(c.line), 1) << c.xml;
        }
    }
}

TEST(MotionCommandRead, JointElements) {
    CheckReadCases<CommandJoint>({
        {R"(<Joint Nr="3" a1="10" a2="-20" e1="5" velPercent="50" acc="40" smooth="10" AbortCondition="false"/>)",
         true,
         "   Nr. 3: Joint 10.0 -20.0 0.0 0.0 0.0 0.0  ExtJoints 5.0 0.0 0.0  with vel 50.0%, acc 40.0%, smooth 10.0%, "
         "abortcond false"},
        {R"(<Joint Nr="4" Source="VARIABLE" VariableName="Home" velPercent="20" AbortCondition="false"/>)", true,
         "   Nr. 4: JointbyVar home with vel 20.0%, acc 50.0%, smooth 20.0%, abortcond false"},
        {R"(<Joint a1="10" velPercent="50"/>)", false, "Could not read CommandJoint, incomplete arguments"},
        {R"(<Joint Source="variable" velPercent="50" AbortCondition="false"/>)", false, ""},
        {R"(<Joint Source="teach" velPercent="50" AbortCondition="false"/>)", false,
         "ERROR: could not read Joint cmd, wrong source type!"},
        // Without a velocity the motion would never end.
        {R"(<Joint a1="10" AbortCondition="false"/>)", false, "velocity must be above 0"},
        {R"(<Joint a1="10" velPercent="-5" AbortCondition="false"/>)", false, "velocity must be above 0"},
    });
}

TEST(MotionCommandRead, LinearElements) {
    CheckReadCases<CommandLinear>({
        {R"(<Linear Nr="2" x="100" y="20" z="300" a="90" b="0" c="180" e2="7" vel="80" acc="30" smooth="5" AbortCondition="false"/>)",
         true,
         "   Nr. 2: Linear 100.0 20.0 300.0 -- 90.0 0.0 180.0  Ext 0.0 7.0 0.0   with 80.0 mm/s acc 30.0%, smooth "
         "5.0%, abortcond false"},
        {R"(<Linear Nr="5" Source="variable" VariableName="P1" vel="50" AbortCondition="false"/>)", true,
         "   Nr. 5: Linear by Variable p1  with 50.0 mm/s acc 100.0%, smooth 0.0%, abortcond false"},
        {R"(<Linear x="1" vel="50"/>)", false, "Could not read CommandLinear, incomplete arguments"},
        {R"(<Linear Source="variable" vel="50" AbortCondition="false"/>)", false, ""},
        {R"(<Linear Source="cam" vel="50" AbortCondition="false"/>)", false,
         "ERROR: could not read CommandLinear, wrong source type!"},
        {R"(<Linear x="1" AbortCondition="false"/>)", false, "velocity must be above 0"},
    });
}

TEST(MotionCommandRead, RelativeElements) {
    CheckReadCases<CommandRelative>({
        {R"(<Relative Nr="1" MoType="Joint" a1="5" a6="-5" velPercent="30" AbortCondition="false"/>)", true,
         "   Nr. 1: Relative Joint 5.0 0.0 0.0 0.0 0.0 -5.0  ExtJoints 0.0 0.0 0.0  with vel 30.0%, acc 50.0%, smooth "
         "20.0%, abortcond false"},
        {R"(<Relative Nr="2" MoType="CARTBASE" z="10" vel="40" AbortCondition="false"/>)", true,
         "   Nr. 2: Relative CartBase 0.0 0.0 10.0 with 40.0 mm/s, acc 50.0%, smooth 20.0%, abortcond false"},
        {R"(<Relative Nr="3" MoType="anything" x="10" vel="40" AbortCondition="false"/>)", true,
         "   Nr. 3: Relative CartTool 10.0 0.0 0.0 with 40.0 mm/s, acc 50.0%, smooth 20.0%, abortcond false"},
        {R"(<Relative MoType="joint" a1="5" velPercent="30"/>)", false,
         "Could not read CommandRelative, incomplete arguments"},
        {R"(<Relative a1="5" velPercent="30" AbortCondition="false"/>)", false,
         "Command Relative: Attribute \"MoType\" not found! Cannot read command!"},
        {R"(<Relative MoType="joint" a1="5" AbortCondition="false"/>)", false, "velocity must be above 0"},
        {R"(<Relative MoType="cartbase" z="5" velPercent="30" AbortCondition="false"/>)", false,
         "velocity must be above 0"},
    });
}

TEST(MotionCommandRead, KindsAndAccelerationDefaults) {
    CommandLinear linear;
    CommandXml::Read(linear, R"(<Linear x="1" vel="50" smooth="true" AbortCondition="false"/>)", true);
    EXPECT_EQ(linear.motionKind, 1);
    EXPECT_FLOAT_EQ(linear.smoothing, 0.0f);  // "true" is no number
    // A Linear without "acc" would stall the acceleration limiting: it runs at the full acceleration.
    EXPECT_FLOAT_EQ(linear.acceleration, 100.0f);
    CommandJoint joint;
    CommandXml::Read(joint, R"(<Joint a1="1" velPercent="50" acc="0" AbortCondition="false"/>)", true);
    EXPECT_EQ(joint.motionKind, 0);
    EXPECT_FLOAT_EQ(joint.acceleration, 100.0f);
    CommandRelative relative;
    CommandXml::Read(relative, R"(<Relative MoType="joint" a1="1" velPercent="50" AbortCondition="false"/>)", true);
    EXPECT_EQ(relative.motionKind, 0);
    CommandXml::Read(relative, R"(<Relative MoType="cartbase" z="1" vel="50" AbortCondition="false"/>)", true);
    EXPECT_EQ(relative.motionKind, 1);
}

TEST(MotionCommandStep, JointsArriveTogetherAndAJointWithoutVelocityStays) {
    CommandJoint joint;
    CommandXml::Read(joint, R"(<Joint a1="30" a2="-10" a3="7" velPercent="50" AbortCondition="false"/>)", true);
    joint.jointMaxVelocity[2] = 0.0f;
    DataTypes::RobotState s;
    s.jointSetPoint[2] = 2.0f;
    int calls = 0;
    int result = -1;
    while (result == -1 && calls < 10000) {
        const float before = s.jointSetPoint[0];
        result = joint.Interpolate(10, 100.0f, &s);
        ++calls;
        // Joint 1 leads: 50 % of 45 deg/s.
        if (result == -1) {
            EXPECT_NEAR(s.jointSetPoint[0] - before, 0.225f, 1e-4f);
        }
        EXPECT_NEAR(s.jointSetPoint[1], -s.jointSetPoint[0] / 3.0f, 1e-3f);
        EXPECT_FLOAT_EQ(s.jointSetPoint[2], 2.0f);
    }
    EXPECT_EQ(result, joint.succ[0]);
    EXPECT_FLOAT_EQ(s.jointSetPoint[0], 30.0f);
    EXPECT_FLOAT_EQ(s.jointSetPoint[1], -10.0f);
    EXPECT_EQ(calls, 134);  // 30 / 0.225 = 133.3 steps
    // At its goal the next visit arrives at once, without a 0 / 0.
    EXPECT_EQ(joint.Interpolate(10, 100.0f, &s), joint.succ[0]);
    EXPECT_FALSE(std::isnan(s.jointSetPoint[0]));
    EXPECT_EQ(joint.Interpolate(10, 0.0f, &s), joint.succ[0]);
}

TEST(MotionCommandStep, LinearMovesStraightAndTurnsAboutOneAxis) {
    CommandLinear linear;
    CommandXml::Read(linear, R"(<Linear x="100" y="0" z="0" a="90" b="0" c="0" vel="100" AbortCondition="false"/>)", true);
    DataTypes::RobotState s;
    int calls = 0;
    int result = -1;
    while (result == -1 && calls < 10000) {
        result = linear.Interpolate(10, 100.0f, &s);
        ++calls;
        const DataTypes::Vector3 p = s.pose.GetTranslation();
        EXPECT_NEAR(p.y, 0.0f, 1e-3f);
        EXPECT_NEAR(p.z, 0.0f, 1e-3f);
    }
    EXPECT_EQ(result, linear.succ[0]);
    // 100 mm at 100 mm/s, 90 degrees at 90 deg/s: both take one second.
    EXPECT_NEAR(calls, 101, 2);
    s.UpdateABC();
    EXPECT_NEAR(s.A, 90.0f, 0.01f);
    EXPECT_NEAR(s.pose.GetTranslation().x, 100.0f, 1e-3f);
}

TEST(MotionCommandStep, RelativeToolMoveFollowsTheToolAxisAndKeepsTheOrientation) {
    CommandRelative relative;
    CommandXml::Read(relative, R"(<Relative MoType="tool" z="100" vel="200" AbortCondition="false"/>)", true);
    DataTypes::RobotState s;
    s.pose.SetRotationABCDeg2(0, 90, 0);  // tool z along base -x
    s.pose.SetTranslation(10, 20, 30);
    const DataTypes::Matrix44 start = s.pose;
    int result = -1;
    for (int i = 0; i < 1000 && result == -1; ++i) result = relative.Interpolate(10, 100.0f, &s);
    EXPECT_EQ(result, relative.succ[0]);
    const DataTypes::Vector3 p = s.pose.GetTranslation();
    const DataTypes::Vector3 expected = DataTypes::Vector3(10, 20, 30) + start.GetColumnVector(2) * 100.0f;
    EXPECT_LT((p - expected).Magnitude(), 0.01f);
    for (int c = 0; c < 3; ++c) EXPECT_LT((s.pose.GetColumnVector(c) - start.GetColumnVector(c)).Magnitude(), 1e-5f);
    // Visited again, it measures from where the robot now is.
    for (int i = 0; i < 1000 && result != -1; ++i) result = relative.Interpolate(10, 100.0f, &s);
    for (int i = 0; i < 1000 && result == -1; ++i) result = relative.Interpolate(10, 100.0f, &s);
    EXPECT_LT((s.pose.GetTranslation() - (expected + start.GetColumnVector(2) * 100.0f)).Magnitude(), 0.02f);
}

TEST(MotionCommandStep, RelativeJointWithoutMovableJointsEndsAtOnce) {
    CommandRelative relative;
    CommandXml::Read(relative, R"(<Relative MoType="joint" a1="5" velPercent="50" AbortCondition="false"/>)", true);
    for (float& v : relative.jointMaxVelocity) v = 0.0f;
    DataTypes::RobotState s;
    EXPECT_EQ(relative.Interpolate(10, 100.0f, &s), relative.succ[0]);
    EXPECT_FLOAT_EQ(s.jointSetPoint[0], 0.0f);
}

TEST(MotionCommandStep, VariableTargetIsReadAtEachFreshStartAndAMissingOneThrows) {
    Programs::ProgramMemory memory;
    DataTypes::RobotState target;
    target.jointSetPoint[0] = 12.0f;
    memory.SetVariablePos("goal", target, true, Programs::StoreBoth);
    CommandJoint joint;
    CommandXml::Read(joint, R"(<Joint Source="variable" VariableName="GOAL" velPercent="100" AbortCondition="false"/>)",
                     true);
    joint.memory = &memory;
    DataTypes::RobotState s;
    int result = -1;
    for (int i = 0; i < 1000 && result == -1; ++i) result = joint.Interpolate(10, 100.0f, &s);
    EXPECT_FLOAT_EQ(s.jointSetPoint[0], 12.0f);
    target.jointSetPoint[0] = -3.0f;
    memory.SetVariablePos("goal", target, true, Programs::StoreBoth);
    result = -1;
    for (int i = 0; i < 1000 && result == -1; ++i) result = joint.Interpolate(10, 100.0f, &s);
    EXPECT_FLOAT_EQ(s.jointSetPoint[0], -3.0f);

    CommandJoint missing;
    CommandXml::Read(missing, R"(<Joint Source="variable" VariableName="none" velPercent="100" AbortCondition="false"/>)",
                     true);
    missing.memory = &memory;
    EXPECT_THROW(missing.Interpolate(10, 100.0f, &s), std::invalid_argument);
}

// What a command writes reads back to the same command.
TEST(MotionCommandWrite, WrittenElementsLoadAgainAsTheyWere) {
    const std::vector<std::string> elements = {
        R"(<Joint a1="10.5" a2="-20" a6="3" e1="1" velPercent="55" acc="35" smooth="12" AbortCondition="n &gt; 2"/>)",
        R"(<Joint Source="variable" VariableName="p1" velPercent="40" AbortCondition="false"/>)",
        R"(<Linear x="100" y="-20" z="300.5" a="90" b="10" c="-170" e3="4" vel="80" acc="30" smooth="5" AbortCondition="false"/>)",
        R"(<Linear Source="variable" VariableName="p2" vel="80" AbortCondition="false"/>)",
        R"(<Relative MoType="joint" a1="5" a3="-2" velPercent="30" acc="20" smooth="0" AbortCondition="false"/>)",
        R"(<Relative MoType="carttool" z="25" vel="40" AbortCondition="false"/>)",
    };
    auto make = [](const std::string& xml) -> std::unique_ptr<Command> {
        if (xml.rfind("<Joint", 0) == 0) return std::make_unique<CommandJoint>();
        if (xml.rfind("<Linear", 0) == 0) return std::make_unique<CommandLinear>();
        return std::make_unique<CommandRelative>();
    };
    for (const std::string& xml : elements) {
        std::unique_ptr<Command> original = make(xml);
        CommandXml::Read(*original, xml, true);
        ASSERT_TRUE(original->valid) << xml;
        const std::string written = CommandXml::Written(*original, 7);
        ASSERT_FALSE(written.empty()) << xml;
        std::unique_ptr<Command> again = make(xml);
        CommandXml::Read(*again, written, true);
        ASSERT_TRUE(again->valid) << written;
        EXPECT_EQ(CommandXml::Written(*again, 7), written);
        EXPECT_FLOAT_EQ(again->acceleration, original->acceleration) << written;
        EXPECT_FLOAT_EQ(again->smoothing, original->smoothing) << written;
    }
}

}  // namespace
