#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/ProgramMemory.h"
#include "support/LogCapture.h"
#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"

namespace {

using Programs::MemoryPosition;
using Programs::ProgramMemory;

// Records every change the memory reports.
struct ChangeRecorder {
    explicit ChangeRecorder(ProgramMemory& memory) {
        memory.SetChangeCallback([this](std::shared_ptr<const MemoryPosition> v) { names.push_back(v->name); });
    }
    std::vector<std::string> names;
};

std::set<std::string> ExpectedStaticNames() {
    std::set<std::string> names = {"#position", "#programrunning", "#logicprogramrunning", "#parts-good",
                                   "#parts-bad"};
    for (int n = 1; n <= 16; ++n) {
        for (const char* prefix : {"mb_num_w", "mb_pos_w", "mb_num_r", "mb_pos_r"}) {
            names.insert(prefix + std::to_string(n));
        }
    }
    return names;
}

std::set<std::string> NamesIn(const ProgramMemory& memory, const std::set<std::string>& candidates) {
    std::set<std::string> present;
    for (const auto& n : candidates) {
        if (memory.HasVariable(n)) present.insert(n);
    }
    return present;
}

TEST(ProgramMemory, NewMemoryHoldsExactlyTheSystemAndModbusVariables) {
    LogSingleton::instance()->PartsGood = 12;
    LogSingleton::instance()->PartsBad = 3;
    ProgramMemory memory;
    const std::set<std::string> expected = ExpectedStaticNames();
    EXPECT_EQ(memory.VariableCount(), expected.size());
    EXPECT_EQ(expected.size(), 69u);
    EXPECT_EQ(NamesIn(memory, expected), expected);

    EXPECT_TRUE(memory.HasVariable("#POSITION"));
    EXPECT_EQ(memory.GetVariableType("mb_pos_r16"), MemoryPosition::TypePosition);
    EXPECT_EQ(memory.GetVariableType("MB_NUM_W1"), MemoryPosition::TypeNumber);
    EXPECT_FALSE(memory.HasVariable("mb_num_w17"));
    EXPECT_FALSE(memory.HasVariable("mb_pos_r0"));
    EXPECT_EQ(memory.GetVariableType("mb_num_w17"), MemoryPosition::TypeNone);

    EXPECT_DOUBLE_EQ(memory.GetVariable("#parts-good").number, 12.0);
    EXPECT_DOUBLE_EQ(memory.GetVariable("#parts-bad").number, 3.0);
    EXPECT_DOUBLE_EQ(memory.GetVariable("#programrunning").number, 0.0);
    for (const auto& n : expected) EXPECT_TRUE(memory.GetVariable(n).isStatic) << n;
    LogSingleton::instance()->PartsGood = 0;
    LogSingleton::instance()->PartsBad = 0;
}

TEST(ProgramMemory, NamesCompareWithoutCase) {
    ProgramMemory memory;
    EXPECT_FALSE(memory.SetVariableSingle("Counter", 2.0, true));
    EXPECT_TRUE(memory.HasVariable("COUNTER"));
    EXPECT_EQ(memory.GetVariable("cOuNtEr").name, "counter");
    EXPECT_TRUE(memory.SetVariableSingle("COUNTER", 3.0, false));
    EXPECT_DOUBLE_EQ(memory.Get("counter")->number, 3.0);
    // A record built with an upper-case name replaces the same variable.
    memory.SetVariable(MemoryPosition("COUNTER", 4.0, false), Programs::StoreAsGiven);
    EXPECT_DOUBLE_EQ(memory.GetVariable("counter").number, 4.0);
    EXPECT_EQ(memory.VariableCount(), 70u);
}

TEST(ProgramMemory, NumberChangesReportOnlyBeyondTolerance) {
    ProgramMemory memory;
    memory.SetVariableSingle("x", 1.0, true);
    ChangeRecorder changes(memory);

    EXPECT_TRUE(memory.SetVariableSingle("X", 1.005, false));
    EXPECT_DOUBLE_EQ(memory.GetVariable("x").number, 1.005);  // stored anyway
    EXPECT_TRUE(changes.names.empty());

    EXPECT_TRUE(memory.SetVariableSingle("X", 1.02, false));
    ASSERT_EQ(changes.names.size(), 1u);
    EXPECT_EQ(changes.names[0], "x");

    // create=true reports even an unchanged value.
    EXPECT_TRUE(memory.SetVariableSingle("x", 1.02, true));
    EXPECT_EQ(changes.names.size(), 2u);

    // SetVariable uses the same tolerance through the equality of records.
    memory.SetVariable(MemoryPosition("x", 1.025, false), Programs::StoreAsGiven);
    EXPECT_EQ(changes.names.size(), 2u);
    memory.SetVariable(MemoryPosition("x", 1.2, false), Programs::StoreAsGiven);
    EXPECT_EQ(changes.names.size(), 3u);
}

TEST(ProgramMemory, MissingNumberIsCreatedOnlyOnRequest) {
    ProgramMemory memory;
    ChangeRecorder changes(memory);
    EXPECT_FALSE(memory.SetVariableSingle("fresh", 7.0, false));
    EXPECT_FALSE(memory.HasVariable("fresh"));
    EXPECT_TRUE(changes.names.empty());

    EXPECT_FALSE(memory.SetVariableSingle("fresh", 7.0, true));
    ASSERT_TRUE(memory.HasVariable("fresh"));
    EXPECT_FALSE(memory.GetVariable("fresh").isStatic);
    EXPECT_EQ(memory.GetVariableType("fresh"), MemoryPosition::TypeNumber);
    ASSERT_EQ(changes.names.size(), 1u);

    try {
        memory.GetVariable("Nope");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Variable Nope is not defined");
    }
    EXPECT_EQ(memory.Get("nope"), nullptr);
}

TEST(ProgramMemory, PositionChangesReportOnlyBeyondTolerance) {
    ProgramMemory memory;
    DataTypes::RobotState s;
    s.pose.SetTranslation(100.0f, 0.0f, 50.0f);
    s.jointSetPoint[2] = 10.0f;
    EXPECT_FALSE(memory.SetVariablePos("p", s, true, Programs::StoreBoth));
    ChangeRecorder changes(memory);

    struct Step {
        const char* what;
        void (*apply)(DataTypes::RobotState&);
        bool reported;
    };
    const Step steps[] = {
        {"joint within 0.01", [](DataTypes::RobotState& r) { r.jointSetPoint[2] += 0.005f; }, false},
        {"joint beyond 0.01", [](DataTypes::RobotState& r) { r.jointSetPoint[2] += 0.02f; }, true},
        {"external axis beyond 0.01", [](DataTypes::RobotState& r) { r.jointSetPoint[8] += 0.5f; }, true},
        {"angle within 0.01", [](DataTypes::RobotState& r) { r.A += 0.005f; }, false},
        {"angle beyond 0.01", [](DataTypes::RobotState& r) { r.B += 0.02f; }, true},
        {"pose element within 0.0001", [](DataTypes::RobotState& r) { r.pose(0, 3) += 0.00004f; }, false},
        {"pose element beyond 0.0001", [](DataTypes::RobotState& r) { r.pose(1, 3) += 0.001f; }, true},
        {"fields other than pose and joints", [](DataTypes::RobotState& r) { r.override = 55.0f; }, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.apply(s);
        const size_t before = changes.names.size();
        EXPECT_TRUE(memory.SetVariablePos("P", s, false, Programs::StoreBoth));
        EXPECT_EQ(changes.names.size() - before, step.reported ? 1u : 0u);
    }
    // create=true reports every store, as the robot thread's "#position" each cycle.
    const size_t before = changes.names.size();
    EXPECT_TRUE(memory.SetVariablePos("p", s, true, Programs::StoreBoth));
    EXPECT_EQ(changes.names.size(), before + 1);
    // Only pose, angles and joints are taken over.
    EXPECT_FLOAT_EQ(memory.GetVariable("p").position.override, 0.0f);
    EXPECT_FALSE(memory.SetVariablePos("missing", s, false, Programs::StoreBoth));
    EXPECT_FALSE(memory.HasVariable("missing"));
}

TEST(ProgramMemory, PositionsCompareByPoseAndAnglesNotJoints) {
    DataTypes::RobotState a;
    a.pose.SetTranslation(1.0f, 2.0f, 3.0f);
    DataTypes::RobotState b = a;
    b.jointSetPoint[0] = 45.0f;
    EXPECT_EQ(MemoryPosition("p", a, false), MemoryPosition("p", b, false));
    b.C = 0.02f;
    EXPECT_NE(MemoryPosition("p", a, false), MemoryPosition("p", b, false));
    EXPECT_NE(MemoryPosition("p", a, false), MemoryPosition("q", a, false));
    EXPECT_NE(MemoryPosition("p", a, false), MemoryPosition("p", 0.0, false));
    EXPECT_EQ(MemoryPosition("n", 1.0, false), MemoryPosition("N", 1.005, true));
    EXPECT_NE(MemoryPosition("n", 1.0, false), MemoryPosition("n", 1.02, false));
}

TEST(ProgramMemory, StoringNeverChangesTheStaticFlagOfAnExistingVariable) {
    ProgramMemory memory;
    memory.SetVariable(MemoryPosition("mb_num_w3", 5.0, false), Programs::StoreAsGiven);
    EXPECT_TRUE(memory.GetVariable("mb_num_w3").isStatic);
    EXPECT_DOUBLE_EQ(memory.GetVariable("mb_num_w3").number, 5.0);

    memory.SetVariable(MemoryPosition("user", 1.0, false), Programs::StoreAsGiven);
    memory.SetVariable(MemoryPosition("user", 2.0, true), Programs::StoreAsGiven);
    EXPECT_FALSE(memory.GetVariable("user").isStatic);
}

TEST(ProgramMemory, ClearKeepsStaticVariablesAndMatricesAndLogs) {
    ProgramMemory memory;
    DataTypes::RobotState here;
    here.pose.SetTranslation(10.0f, 20.0f, 30.0f);
    memory.SetVariablePos("#position", here, true, Programs::StoreBoth);
    memory.SetVariableSingle("mb_num_r2", 42.0, false);
    memory.SetVariableSingle("user", 1.0, true);
    memory.SetVariable(MemoryPosition("keeper", 3.0, true), Programs::StoreAsGiven);
    memory.SetMatrixDefinition("Grid", Programs::MatrixDefinition(3, 4), true);
    memory.SetMatrixDefinition("temp", Programs::MatrixDefinition(2, 2), false);

    TestSupport::LogCapture log;
    memory.Clear();

    EXPECT_TRUE(log.Has("Clearing variables...", false));
    EXPECT_TRUE(log.Has("ProgramMemory: 70 static variables remained", false));
    EXPECT_FALSE(memory.HasVariable("user"));
    EXPECT_TRUE(memory.HasVariable("keeper"));
    EXPECT_FLOAT_EQ(memory.GetVariable("#position").position.pose(1, 3), 20.0f);
    EXPECT_DOUBLE_EQ(memory.GetVariable("mb_num_r2").number, 42.0);
    EXPECT_EQ(memory.VariableCount(), 70u);

    EXPECT_TRUE(memory.HasMatrixDefinition("GRID"));
    EXPECT_EQ(memory.GetMatrixDefinition("grid").cntY, 4);
    EXPECT_FALSE(memory.HasMatrixDefinition("temp"));
    try {
        memory.GetMatrixDefinition("temp");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Matrix temp is not defined");
    }
}

TEST(ProgramMemory, ClearRecreatesSystemVariablesThatWentMissing) {
    // Only static variables survive, so a memory never loses its system
    // variables through Clear; the re-creation still fills any gap.
    ProgramMemory memory;
    memory.Clear();
    EXPECT_EQ(NamesIn(memory, ExpectedStaticNames()), ExpectedStaticNames());
    EXPECT_EQ(memory.VariableCount(), 69u);
}

TEST(ProgramMemory, ChangeCallbackRunsWithoutTheLockHeld) {
    ProgramMemory memory;
    std::vector<double> seen;
    memory.SetChangeCallback([&](std::shared_ptr<const MemoryPosition> v) {
        // Reading and writing the memory from inside the callback must not deadlock.
        seen.push_back(memory.GetVariable(v->name).number);
        if (v->name == "a") memory.SetVariableSingle("b", v->number * 2.0, true);
    });
    memory.SetVariableSingle("a", 4.0, true);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_DOUBLE_EQ(seen[0], 4.0);
    EXPECT_DOUBLE_EQ(seen[1], 8.0);
}

TEST(ProgramMemory, HeldEntriesAreSnapshots) {
    ProgramMemory memory;
    memory.SetVariableSingle("n", 1.0, true);
    const auto held = memory.Get("n");
    memory.SetVariableSingle("n", 2.0, false);
    EXPECT_DOUBLE_EQ(held->number, 1.0);
    EXPECT_DOUBLE_EQ(memory.Get("n")->number, 2.0);
}

TEST(ProgramMemory, PartCountersFollowTheirVariables) {
    ProgramMemory memory;
    LogSingleton* log = LogSingleton::instance();
    memory.SetVariable(MemoryPosition("#parts-good", 17.9, false), Programs::StoreAsGiven);
    EXPECT_EQ(log->PartsGood.load(), 17);
    memory.SetVariableSingle("#PARTS-BAD", 4.2, false);
    EXPECT_EQ(log->PartsBad.load(), 4);
    memory.SetVariableSingle("#parts-bad", 1e12, false);  // saturates, never undefined
    EXPECT_EQ(log->PartsBad.load(), INT_MAX);
    memory.SetVariableSingle("#parts-good", 0.0, false);
    memory.SetVariableSingle("#parts-bad", 0.0, false);
    EXPECT_EQ(log->PartsGood.load(), 0);
    EXPECT_EQ(log->PartsBad.load(), 0);
}

TEST(ProgramMemory, RunStateVariablesReportOnlyRealChanges) {
    ProgramMemory memory;
    ChangeRecorder changes(memory);
    memory.OnProgramRunStateChanged(true);
    EXPECT_DOUBLE_EQ(memory.GetVariable("#programrunning").number, 1.0);
    memory.OnProgramRunStateChanged(true);
    memory.OnLogicProgramRunStateChanged(false);
    ASSERT_EQ(changes.names.size(), 1u);
    memory.OnLogicProgramRunStateChanged(true);
    memory.OnProgramRunStateChanged(false);
    EXPECT_DOUBLE_EQ(memory.GetVariable("#logicprogramrunning").number, 1.0);
    EXPECT_DOUBLE_EQ(memory.GetVariable("#programrunning").number, 0.0);
    EXPECT_EQ(changes.names.size(), 3u);
    EXPECT_TRUE(memory.GetVariable("#programrunning").isStatic);
}

TEST(ProgramMemory, CompletionWithoutKinematicStoresNothing) {
    ProgramMemory memory;
    TestSupport::LogCapture log;
    EXPECT_FALSE(memory.SetVariablePosJoint("j", 1, 2, 3, 4, 5, 6, 0, 0, 0, true));
    EXPECT_FALSE(memory.HasVariable("j"));
    EXPECT_TRUE(log.HasErrorContaining("no kinematic"));
    // Positions stored as given need no kinematic.
    memory.SetVariable(MemoryPosition("given", DataTypes::RobotState(), false), Programs::StoreBoth);
    EXPECT_TRUE(memory.HasVariable("given"));
}

TEST(ProgramMemory, ElementsOfAPosition) {
    DataTypes::RobotState s;
    MemoryPosition p("p", s, false);
    const char* names[] = {"x", "y", "z", "a", "b", "c", "a1", "a2", "a3", "a4", "a5", "a6", "e1", "e2", "e3"};
    float v = 1.0f;
    for (const char* n : names) {
        SCOPED_TRACE(n);
        EXPECT_TRUE(MemoryPosition::IsElementName(n));
        EXPECT_TRUE(p.SetElement(n, v));
        float read = 0.0f;
        EXPECT_TRUE(p.GetElement(n, read));
        EXPECT_FLOAT_EQ(read, v);
        v += 1.0f;
    }
    EXPECT_FLOAT_EQ(p.position.pose(2, 3), 3.0f);
    EXPECT_FLOAT_EQ(p.position.jointSetPoint[8], 15.0f);
    float unused = 0.0f;
    for (const char* bad : {"", "X", "a0", "a7", "e0", "e4", "xx", "pos"}) {
        EXPECT_FALSE(MemoryPosition::IsElementName(bad)) << bad;
        EXPECT_FALSE(p.GetElement(bad, unused)) << bad;
    }
}

TEST(ProgramMemory, GridRecords) {
    const Programs::MatrixDefinition d(3, 5);
    EXPECT_EQ(d.cntX, 3);
    EXPECT_EQ(d.cntY, 5);
    EXPECT_FLOAT_EQ(d.deltaB.x, 0.0f);
    const Programs::MemoryMatrix m;
    EXPECT_FALSE(m.isStatic);
    EXPECT_EQ(m.definition.cntX, 0);

    ProgramMemory memory;
    Programs::MatrixDefinition g(2, 2);
    g.stepX = 1.0;
    memory.SetMatrixDefinition("g", g, false);
    g.stepX = 0.5;
    memory.SetMatrixDefinition("G", g, false);  // replaces
    EXPECT_DOUBLE_EQ(memory.GetMatrixDefinition("g").stepX, 0.5);
}

}  // namespace
