#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "PkgProgram/CommandMatrix.h"
#include "PkgProgram/CommandMatrixDefinition.h"
#include "PkgProgram/CommandMatrixQuery.h"
#include "PkgProgram/CommandXml.h"
#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/MotionTestSupport.h"
#include "PkgProgram/ProgramMemory.h"
#include "datatypes/RobotState.h"
#include "support/LogCapture.h"

namespace {

using CommandXml::Read;
using CommandXml::RoundTrip;

const char* const kMatrix =
    R"(<Matrix Nr="3" CntX="3" CntY="2" VarPointA="pA" VarPointB="pB" VarPointC="pC" VarTargetPos="target" )"
    R"(VarCntX="ix" VarCntY="iy"/>)";

DataTypes::RobotState Corner(float x, float y, float z, float a, float b, float c, float joint0 = 0.0f) {
    DataTypes::RobotState s;
    s.pose.SetTranslation(x, y, z);
    s.A = a;
    s.B = b;
    s.C = c;
    s.UpdateMatrixFromABC();
    s.jointSetPoint[0] = joint0;
    return s;
}

class GridCommands : public ::testing::Test {
protected:
    void StoreCorner(const std::string& name, const DataTypes::RobotState& s) {
        memory.SetVariable(Programs::MemoryPosition(name, s, false), Programs::StoreAsGiven);
    }
    void StoreCorners(const DataTypes::RobotState& a, const DataTypes::RobotState& b, const DataTypes::RobotState& c) {
        StoreCorner("pA", a);
        StoreCorner("pB", b);
        StoreCorner("pC", c);
    }
    template <class C>
    void Attach(C& command) {
        command.memory = &memory;
        command.succ[0] = 10;
        command.succ[1] = 11;
    }
    DataTypes::RobotState Target(const std::string& name = "target") const {
        return memory.GetVariable(name).position;
    }
    static void ExpectSamePose(const DataTypes::RobotState& got, const DataTypes::RobotState& want,
                               const std::string& what) {
        const DataTypes::Vector3 g = got.pose.GetTranslation();
        const DataTypes::Vector3 w = want.pose.GetTranslation();
        EXPECT_NEAR(g.x, w.x, 1e-3) << what;
        EXPECT_NEAR(g.y, w.y, 1e-3) << what;
        EXPECT_NEAR(g.z, w.z, 1e-3) << what;
        EXPECT_TRUE(got.pose.Equals(want.pose, 1e-4f)) << what;
    }

    Programs::ProgramMemory memory;
    DataTypes::RobotState state;
    TestSupport::LogCapture log;
};

TEST_F(GridCommands, MatrixVisitsThreeByTwoRowByRowThenLeavesAndStartsAfresh) {
    const DataTypes::RobotState a = Corner(0, 0, 100, 10, 0, 0, 0.0f);
    const DataTypes::RobotState b = Corner(200, 0, 100, 30, 0, 0, 20.0f);
    const DataTypes::RobotState c = Corner(0, 50, 100, 10, 0, 0, -10.0f);
    StoreCorners(a, b, c);
    CommandMatrix cmd;
    Read(cmd, kMatrix);
    ASSERT_TRUE(cmd.valid);
    Attach(cmd);

    const std::pair<int, int> order[] = {{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {2, 1}};
    for (const auto& p : order) {
        const std::string at = "point (" + std::to_string(p.first) + "," + std::to_string(p.second) + ")";
        ASSERT_EQ(cmd.Interpolate(10, 100.0f, &state), 11) << at << " enters the body";
        EXPECT_EQ(memory.GetVariable("ix").number, p.first) << at;
        EXPECT_EQ(memory.GetVariable("iy").number, p.second) << at;
        const DataTypes::RobotState t = Target();
        const DataTypes::Vector3 pos = t.pose.GetTranslation();
        EXPECT_FLOAT_EQ(pos.x, 100.0f * p.first) << at;
        EXPECT_FLOAT_EQ(pos.y, 50.0f * p.second) << at;
        EXPECT_FLOAT_EQ(t.A, 10.0f + 10.0f * p.first) << at;
        EXPECT_FLOAT_EQ(t.jointSetPoint[0], 10.0f * p.first - 10.0f * p.second) << at << " joints are interpolated";
        if (p == std::make_pair(2, 0)) ExpectSamePose(t, b, "the end of the first row is corner B");
        if (p == std::make_pair(0, 1)) ExpectSamePose(t, c, "the start of the last row is corner C");
    }
    EXPECT_EQ(cmd.Interpolate(10, 100.0f, &state), 10) << "after the last point it leaves";

    // A later run starts at (0, 0) and reads the corners again.
    StoreCorner("pA", Corner(5, 5, 100, 10, 0, 0));
    EXPECT_EQ(cmd.Interpolate(10, 100.0f, &state), 11);
    EXPECT_EQ(memory.GetVariable("ix").number, 0);
    EXPECT_EQ(memory.GetVariable("iy").number, 0);
    EXPECT_FLOAT_EQ(Target().pose.GetTranslation().x, 5.0f);
}

TEST_F(GridCommands, SinglePointDirectionsStayOnCornerA) {
    StoreCorners(Corner(0, 0, 100, 0, 0, 0), Corner(200, 0, 100, 0, 0, 0), Corner(0, 50, 100, 0, 0, 0));
    const struct {
        const char* counts;
        std::vector<std::pair<float, float>> points;
    } cases[] = {
        {R"(CntX="1" CntY="1")", {{0, 0}}},
        {R"(CntX="1" CntY="2")", {{0, 0}, {0, 50}}},
        {R"(CntX="2" CntY="1")", {{0, 0}, {200, 0}}},
    };
    for (const auto& c : cases) {
        CommandMatrix cmd;
        Read(cmd, std::string("<Matrix Nr=\"1\" ") + c.counts +
                      R"( VarPointA="pA" VarPointB="pB" VarPointC="pC" VarTargetPos="target" VarCntX="ix" VarCntY="iy"/>)");
        ASSERT_TRUE(cmd.valid) << c.counts;
        Attach(cmd);
        for (const auto& p : c.points) {
            ASSERT_EQ(cmd.Interpolate(10, 100.0f, &state), 11) << c.counts;
            const DataTypes::Vector3 pos = Target().pose.GetTranslation();
            EXPECT_TRUE(std::isfinite(pos.x) && std::isfinite(pos.y)) << c.counts;
            EXPECT_FLOAT_EQ(pos.x, p.first) << c.counts;
            EXPECT_FLOAT_EQ(pos.y, p.second) << c.counts;
        }
        EXPECT_EQ(cmd.Interpolate(10, 100.0f, &state), 10) << c.counts << " ends";
    }
}

TEST_F(GridCommands, AnglesTakeTheShortWayAndTheRotationFollowsThem) {
    // Corners at C = 179 and C = -179 are 2 degrees apart, not 358.
    const DataTypes::RobotState a = Corner(0, 0, 100, 170, 0, 179);
    const DataTypes::RobotState b = Corner(100, 0, 100, -170, 0, -179);
    StoreCorners(a, b, a);
    CommandMatrix cmd;
    Read(cmd, std::string(kMatrix).replace(std::string(kMatrix).find("CntY=\"2\""), 8, "CntY=\"1\""));
    ASSERT_TRUE(cmd.valid);
    Attach(cmd);
    ASSERT_EQ(cmd.Interpolate(10, 100.0f, &state), 11);
    ASSERT_EQ(cmd.Interpolate(10, 100.0f, &state), 11);
    const DataTypes::RobotState middle = Target();
    EXPECT_NEAR(std::fabs(middle.C), 180.0f, 1e-3);
    EXPECT_NEAR(std::fabs(middle.A), 180.0f, 1e-3);
    DataTypes::RobotState want = Corner(50, 0, 100, 180, 0, 180);
    ExpectSamePose(middle, want, "middle point turns the short way");
    ASSERT_EQ(cmd.Interpolate(10, 100.0f, &state), 11);
    const DataTypes::RobotState end = Target();
    EXPECT_NEAR(end.C, -179.0f, 1e-3);
    EXPECT_NEAR(end.A, -170.0f, 1e-3);
    ExpectSamePose(end, b, "the last point is corner B");

    // The stored grid turns the same way.
    CommandMatrixDefinition def;
    Read(def, R"(<MatrixDefinition Nr="1" CntX="3" CntY="1" Name="g" VarPointA="pA" VarPointB="pB" VarPointC="pC"/>)");
    ASSERT_TRUE(def.valid);
    Attach(def);
    ASSERT_EQ(def.Interpolate(10, 100.0f, &state), 10);
    const Programs::MatrixDefinition grid = memory.GetMatrixDefinition("g");
    EXPECT_NEAR(grid.deltaAngleB.z, 2.0f, 1e-4);
    EXPECT_NEAR(grid.deltaAngleB.x, 20.0f, 1e-4);
}

TEST_F(GridCommands, MatrixWithoutACornerThrowsTheVariableText) {
    StoreCorner("pA", Corner(0, 0, 0, 0, 0, 0));
    StoreCorner("pC", Corner(0, 0, 0, 0, 0, 0));
    CommandMatrix cmd;
    Read(cmd, kMatrix);
    Attach(cmd);
    try {
        cmd.Interpolate(10, 100.0f, &state);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), "CommandMatrix: Variable 'pB' is not defined.");
    }
    EXPECT_TRUE(log.Has("CommandMatrix: Variable 'pB' is not defined."));
}

TEST_F(GridCommands, ReadingRefusesMissingOrTooSmallCounts) {
    const std::string names =
        R"( VarPointA="pA" VarPointB="pB" VarPointC="pC" VarTargetPos="t" VarCntX="ix" VarCntY="iy")";
    const struct {
        std::string xml;
        std::string error;
    } cases[] = {
        {"<Matrix Nr=\"1\" CntY=\"2\"" + names + "/>", "Could not read CommandMatrix, incomplete arguments"},
        {"<Matrix Nr=\"1\" CntX=\"3\"" + names + "/>", "Could not read CommandMatrix, incomplete arguments"},
        {"<Matrix Nr=\"1\" CntX=\"0\" CntY=\"2\"" + names + "/>", "Could not read CommandMatrix, incomplete arguments"},
        {"<Matrix Nr=\"1\" CntX=\"3\" CntY=\"-1\"" + names + "/>",
         "Could not read CommandMatrix, incomplete arguments"},
        {R"(<Matrix Nr="1" CntX="3" CntY="2" VarPointA="pA" VarPointB="pB" VarPointC="pC" VarCntX="ix" VarCntY="iy"/>)",
         "Could not read CommandMatrix, incomplete arguments"},
        {R"(<MatrixDefinition Nr="1" CntX="0" CntY="2" Name="g" VarPointA="pA" VarPointB="pB" VarPointC="pC"/>)",
         "Error: Could not read MatrixDefinition: grid counts must be at least 1, not 0x2"},
        {R"(<MatrixDefinition Nr="1" CntX="3" Name="g" VarPointA="pA" VarPointB="pB" VarPointC="pC"/>)",
         "Error: Could not read MatrixDefinition: Could not find attribute 'CntY'"},
        {R"(<MatrixDefinition Nr="1" CntX="x" CntY="2" Name="g" VarPointA="pA" VarPointB="pB" VarPointC="pC"/>)",
         "Error: Could not read MatrixDefinition: Could not parse attribute 'CntX'"},
        {R"(<MatrixQuery Nr="1" Name="g" VarTargetPos="t" VarCntX="ix" VarCntY="iy"/>)",
         "Error: Could not read MatrixQuery: Could not find attribute 'VarIndex'"},
    };
    for (const auto& c : cases) {
        log.Clear();
        std::unique_ptr<Command> cmd;
        if (c.xml.rfind("<Matrix ", 0) == 0) cmd = std::make_unique<CommandMatrix>();
        else if (c.xml.rfind("<MatrixDefinition", 0) == 0) cmd = std::make_unique<CommandMatrixDefinition>();
        else cmd = std::make_unique<CommandMatrixQuery>();
        Read(*cmd, c.xml);
        EXPECT_FALSE(cmd->valid) << c.xml;
        EXPECT_TRUE(log.HasError(c.error)) << c.xml;
    }
}

TEST_F(GridCommands, ReadCommandsListThemselvesAndWriteBackEqual) {
    CommandMatrix matrix;
    Read(matrix, kMatrix);
    EXPECT_TRUE(log.Has("   Nr. 3: Matrix: [3,2] A: pA, B: pB, C: pC, Target: target, cntX: ix, cntY: iy"));
    EXPECT_EQ(matrix.ToString(),
              "Command Matrix [3,2] A: pA, B: pB, C: pC, Target: target, cntX: ix, cntY: iy - Pre: -42 - Succ: -2 -2 -2");
    EXPECT_EQ(RoundTrip(matrix)->ToString(), matrix.ToString());

    CommandMatrixDefinition def;
    Read(def, R"(<MatrixDefinition Nr="4" CntX="3" CntY="2" Name="tray" VarPointA="pA" VarPointB="pB" VarPointC="pC"/>)");
    EXPECT_TRUE(log.Has("   Nr. 4: MatrixDefinition: tray [3,2] A: pA, B: pB, C: pC"));
    EXPECT_EQ(def.ToString(), "Command MatrixDefinition tray [3,2] A: pA, B: pB, C: pC - Pre: -42 - Succ: -2 -2 -2");
    EXPECT_EQ(RoundTrip(def)->ToString(), def.ToString());

    CommandMatrixQuery query;
    Read(query, R"(<MatrixQuery Nr="5" Name="tray" VarIndex="n" VarTargetPos="t" VarCntX="ix" VarCntY="iy"/>)");
    EXPECT_TRUE(log.Has("   Nr. 5: MatrixQuery: tray, Index: n, Target: t, cntX: ix, cntY: iy"));
    EXPECT_EQ(query.ToString(), "Command MatrixQuery tray, Index: n, Target: t, cntX: ix, cntY: iy - Pre: -42 - Succ: -2 -2 -2");
    EXPECT_EQ(RoundTrip(query)->ToString(), query.ToString());
}

// A stored grid queried by index, with the memory solving the joints of each point.
class GridQuery : public GridCommands {
protected:
    void SetUp() override {
        kinematic = MotionTest::Kinematic();
        ASSERT_NE(kinematic, nullptr);
        memory.SetKinematic(kinematic.get());
        memory.SetRobotState(&state);
        const float start[9] = {10, 20, 30, 5, 40, 15, 0, 0, 0};
        for (int k = 0; k < 9; ++k) state.jointSetPoint[k] = start[k];
        a = Forward({10, 20, 30, 5, 40, 15, 0, 0, 0});
        b = Forward({16, 20, 30, 5, 40, 15, 0, 0, 0});
        c = Forward({10, 26, 26, 5, 40, 15, 0, 0, 0});
        StoreCorners(a, b, c);
        CommandMatrixDefinition def;
        Read(def, R"(<MatrixDefinition Nr="1" CntX="3" CntY="2" Name="tray" VarPointA="pA" VarPointB="pB" VarPointC="pC"/>)");
        Attach(def);
        ASSERT_EQ(def.Interpolate(10, 100.0f, &state), 10);
        Read(query, R"(<MatrixQuery Nr="2" Name="tray" VarIndex="n" VarTargetPos="t" VarCntX="ix" VarCntY="iy"/>)");
        Attach(query);
    }
    DataTypes::RobotState Forward(std::vector<float> joints) {
        kinematic->SetJoints(joints.data(), false);
        DataTypes::RobotState s;
        kinematic->GetPosition(&s);
        s.UpdateABC();
        for (int k = 0; k < 9; ++k) s.jointSetPoint[k] = joints[static_cast<std::size_t>(k)];
        return s;
    }

    std::unique_ptr<RobotKinematic> kinematic;
    DataTypes::RobotState a, b, c;
    CommandMatrixQuery query;
};

TEST_F(GridQuery, IndexSelectsTheRowByRowPoint) {
    const struct {
        double index;
        int x;
        int y;
    } cases[] = {{0, 0, 0}, {2, 2, 0}, {2.9, 2, 0}, {3, 0, 1}, {5, 2, 1}, {-0.5, 0, 0}};
    for (const auto& c : cases) {
        memory.SetVariableSingle("n", c.index, true);
        ASSERT_EQ(query.Interpolate(10, 100.0f, &state), 10) << c.index;
        EXPECT_EQ(memory.GetVariable("ix").number, c.x) << c.index;
        EXPECT_EQ(memory.GetVariable("iy").number, c.y) << c.index;
    }
    memory.SetVariableSingle("n", 2, true);
    query.Interpolate(10, 100.0f, &state);
    const DataTypes::RobotState atB = Target("t");
    ExpectSamePose(atB, b, "index 2 is corner B");
    EXPECT_NEAR(atB.jointSetPoint[0], 16.0f, 0.05) << "the memory solved the joints";
    memory.SetVariableSingle("n", 3, true);
    query.Interpolate(10, 100.0f, &state);
    ExpectSamePose(Target("t"), c, "index 3 is corner C");
}

TEST_F(GridQuery, RefusesIndexesOutsideTheGridAndMissingNames) {
    const std::string range = "Command MatrixQuery : Index for matrix tray is out of range: ";
    const struct {
        double index;
        std::string text;
    } cases[] = {
        {6, range + "6 >= 3x2"},
        {-1, range + "-1 < 0"},
        {std::numeric_limits<double>::quiet_NaN(), range + "nan is not an index"},
        {std::numeric_limits<double>::infinity(), range + "inf is not an index"},
        {1e12, range + "1e+12 is not an index"},
        {-3e9, range + "-3e+09 is not an index"},
    };
    for (const auto& c : cases) {
        memory.SetVariableSingle("n", c.index, true);
        try {
            query.Interpolate(10, 100.0f, &state);
            ADD_FAILURE() << "no exception for " << c.index;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.text);
        }
    }

    const struct {
        const char* xml;
        const char* text;
    } missing[] = {
        {R"(<MatrixQuery Nr="2" Name="nothere" VarIndex="n" VarTargetPos="t" VarCntX="ix" VarCntY="iy"/>)",
         "Command MatrixQuery: Matrix nothere is not defined"},
        {R"(<MatrixQuery Nr="2" Name="tray" VarIndex="nope" VarTargetPos="t" VarCntX="ix" VarCntY="iy"/>)",
         "Command MatrixQuery: Index variable nope is not defined"},
    };
    for (const auto& c : missing) {
        CommandMatrixQuery other;
        Read(other, c.xml);
        Attach(other);
        try {
            other.Interpolate(10, 100.0f, &state);
            ADD_FAILURE() << "no exception for " << c.xml;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.text);
        }
    }
}

// Grid programs through the loader and the interpreter.
class GridPrograms : public ::testing::Test {
protected:
    TestSupport::ScratchRoot root;
    IPOTest::Interpreter in;
    TestSupport::LogCapture log;
};

TEST_F(GridPrograms, MatrixBodyRunsOncePerPointThenTheProgramGoesOn) {
    IPOTest::WriteProgram(root, "grid.xml",
                          "<Store Nr=\"1\" Type=\"number\" Name=\"n\" Value=\"0\"/>\n" + std::string(kMatrix) +
                              "\n<MathOperator Nr=\"4\" Function=\"add\" FirstOperand=\"n\" SecondOperand=\"1\"/>\n"
                              "<MatrixEnd/>\n"
                              "<Store Nr=\"5\" Type=\"number\" Name=\"after\" Value=\"1\"/>\n");
    ASSERT_TRUE(in.Load("grid.xml"));
    EXPECT_EQ(in.Graph(), (std::vector<std::string>{"CommandStoreData 1 -2 -2", "CommandMatrix 3 2 -2",
                                                    "CommandMathFunction 1 -2 -2", "CommandStoreData -2 -2 -2"}));
    // Definitions and queries load as plain commands.
    IPOTest::WriteProgram(
        root, "query.xml",
        R"(<MatrixDefinition Nr="1" CntX="3" CntY="2" Name="g" VarPointA="pA" VarPointB="pB" VarPointC="pC"/>
<MatrixQuery Nr="2" Name="g" VarIndex="n" VarTargetPos="t" VarCntX="ix" VarCntY="iy"/>
)");
    in.ipo.DeleteAll();
    ASSERT_TRUE(in.Load("query.xml"));
    EXPECT_EQ(in.Graph(), (std::vector<std::string>{"CommandMatrixDefinition 1 -2 -2", "CommandMatrixQuery -2 -2 -2"}));

    in.ipo.DeleteAll();
    ASSERT_TRUE(in.Load("grid.xml"));
    // Deleting the programs cleared the memory: the corners are taught now.
    in.memory.SetVariable(Programs::MemoryPosition("pA", Corner(0, 0, 0, 0, 0, 0), false), Programs::StoreAsGiven);
    in.memory.SetVariable(Programs::MemoryPosition("pB", Corner(20, 0, 0, 0, 0, 0), false), Programs::StoreAsGiven);
    in.memory.SetVariable(Programs::MemoryPosition("pC", Corner(0, 10, 0, 0, 0, 0), false), Programs::StoreAsGiven);
    in.ipo.replayMode = IPO::ReplaySingle;
    in.ipo.Start();
    ASSERT_GT(in.RunToEnd(), 0);
    EXPECT_EQ(in.Number("n"), 6);
    EXPECT_EQ(in.Number("after"), 1);
    EXPECT_EQ(in.Number("ix"), 2);
    EXPECT_EQ(in.Number("iy"), 1);
    EXPECT_FLOAT_EQ(in.memory.GetVariable("target").position.pose.GetTranslation().x, 20.0f);
    EXPECT_FLOAT_EQ(in.memory.GetVariable("target").position.pose.GetTranslation().y, 10.0f);
}

TEST_F(GridPrograms, UnclosedMatrixIsRefusedAndAWrittenGridLoadsBack) {
    IPOTest::WriteProgram(root, "open.xml", std::string(kMatrix) + "\n<Comment Nr=\"4\" Descr=\"c\"/>\n");
    EXPECT_NE(in.ipo.LoadProgramSynchronous("open.xml", true), 0);
    EXPECT_TRUE(log.HasError("Could not parse program open.xml: Nr of Matrix and MatrixEnd do not fit!"));
    EXPECT_FALSE(in.ipo.IsProgramLoaded());

    IPOTest::WriteProgram(
        root, "full.xml",
        R"(<MatrixDefinition Nr="1" CntX="3" CntY="2" Name="g" VarPointA="pA" VarPointB="pB" VarPointC="pC"/>
)" + std::string(kMatrix) +
            R"(
<MatrixQuery Nr="2" Name="g" VarIndex="n" VarTargetPos="t" VarCntX="ix" VarCntY="iy"/>
<MatrixEnd/>
<Comment Nr="4" Descr="c"/>
)");
    ASSERT_TRUE(in.Load("full.xml"));
    const std::vector<std::string> graph = in.Graph();
    ASSERT_TRUE(in.ipo.WriteXMLFile(0, "copy.xml"));
    in.ipo.DeleteAll();
    ASSERT_TRUE(in.Load("copy.xml")) << TestSupport::ReadFile(root.File("Data/Programs/copy.xml"));
    EXPECT_EQ(in.Graph(), graph);
}

}  // namespace
