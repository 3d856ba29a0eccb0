#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <tinyxml2.h>

#include "PkgProgram/CommandCamera.h"
#include "PkgProgram/CommandCameraTrigger.h"
#include "PkgProgram/CommandPlugin.h"
#include "PkgProgram/CommandXml.h"
#include "PkgProgram/IPOTestSupport.h"
#include "PkgProgram/MotionTestSupport.h"
#include "support/LogCapture.h"
#include "vision/CameraManager.h"
#include "vision/CameraSimulated.h"

using IPOTest::Event;
using IPOTest::Events;
using IPOTest::Interpreter;
using IPOTest::WriteProgram;

namespace {

// A camera of the process-wide manager whose target the test sets; leaves
// what it does not know unchanged, as the real drivers may.
class ScriptedCamera : public Camera::CameraInterface {
public:
    ScriptedCamera(const std::string& name, const std::string& type) : CameraInterface(type, name) {}
    void Start() override {}
    void Stop() override {}
    bool GetTargetPos(DataTypes::Vector3& p, DataTypes::Vector3& o, int& m) const override {
        if (!hasTarget) return false;
        p = position;
        o = orientation;
        m = modelClass;
        return true;
    }
    int Read(tinyxml2::XMLElement&) override { return 0; }
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument&) override { return nullptr; }
    void TriggerImageRecognition() override { ++triggers; }
    std::string GetHXPConfigString(int) const override { return ""; }
    int GetStatus() const override { return 2; }

    bool hasTarget = true;
    DataTypes::Vector3 position{1, 2, 3};
    DataTypes::Vector3 orientation{10, 20, 30};
    int modelClass = 4;
    std::atomic<int> triggers{0};
};

// Cameras live in the process-wide manager; each test leaves it empty.
class CameraCommands : public ::testing::Test {
protected:
    void SetUp() override {
        in.ipo.replayMode = IPO::ReplaySingle;
        // Targets are stored as poses: the memory solves their joints.
        kinematic = MotionTest::Kinematic();
        ASSERT_NE(kinematic, nullptr);
        in.memory.SetKinematic(kinematic.get());
        const float joints[9] = {10, 20, 30, 5, 40, 15, 0, 0, 0};
        std::unique_ptr<RobotKinematic> model(kinematic->clone());
        model->SetJoints(joints, false);
        model->GetPosition(&reachable);
        reachable.UpdateABC();
    }
    void TearDown() override { Camera::CameraManager::Instance()->Clear(); }

    ScriptedCamera* AddCamera(const std::string& name, const std::string& type) {
        auto* camera = new ScriptedCamera(name, type);
        Camera::CameraManager::Instance()->Add(camera);
        return camera;
    }

    // Stores position p at (7, 8, 9, 1, 2, 3) and number m = 55 first.
    std::string Variables() const {
        return "<Store Nr=\"1\" Type=\"position\" Name=\"P\" Value=\"7 8 9 1 2 3\"/>\n"
               "<Store Nr=\"2\" Type=\"number\" Name=\"M\" Value=\"55\"/>\n";
    }

    // Runs the program to its end; the text of its error event, empty without one.
    std::string Run(const std::string& body) {
        WriteProgram(root, "cam.xml", Variables() + body);
        EXPECT_TRUE(in.Load("cam.xml"));
        Events::Take();
        in.ipo.Start();
        // A plug-in still connecting asks again each cycle until its connect has failed.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (in.RunToEnd(200) < 0 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_FALSE(in.ipo.IsReplayRunning());
        for (const Event& e : Events::Take()) {
            if (e.type == HXPEventError) return e.text;
        }
        return "";
    }

    DataTypes::RobotState Position(const std::string& name) { return in.memory.GetVariable(name).position; }

    TestSupport::ScratchRoot root;
    std::unique_ptr<RobotKinematic> kinematic;
    DataTypes::RobotState reachable;
    Interpreter in;
    TestSupport::LogCapture log;
};

}  // namespace

TEST_F(CameraCommands, ReadingNeedsEveryTextAttribute) {
    struct Case {
        std::string xml;
        bool valid;
        const char* line;
    };
    const Case cases[] = {
        {"<Camera Nr=\"3\" CameraName=\"Cam1\" CameraType=\"IFMO2D\" VarTargetPos=\"Pos\" VarModelClass=\"Cls\"/>", true,
         "   Nr. 3: Camera: Cam1 Type: IFMO2D PosVariable: pos ClassVariable: cls"},
        {"<Camera CameraName=\"Cam1\" CameraType=\"IFMO2D\" VarTargetPos=\"Pos\"/>", false,
         "Could not read CommandCamera, incomplete arguments"},
        {"<CameraTrigger Nr=\"4\" CameraName=\"Cam1\"/>", true, "   Nr. 4: CameraTrigger: Cam1"},
        {"<CameraTrigger Nr=\"4\"/>", false, "Could not read CommandCameraTrigger, incomplete arguments"},
        {"<Plugin Nr=\"5\" PluginName=\"PluginSmartCameraIFMO2D\" VarTargetPos=\"Pos\" VarModelClass=\"Cls\"/>", true,
         "   Nr. 5: Plugin: pluginsmartcameraifmo2d PosVariable: pos ClassVariable: cls"},
        {"<Plugin Nr=\"5\" VarTargetPos=\"Pos\" VarModelClass=\"Cls\"/>", false,
         "Could not read CommandPlugin, incomplete arguments"},
    };
    for (const Case& c : cases) {
        std::unique_ptr<Command> command;
        if (c.xml.rfind("<CameraTrigger", 0) == 0) {
            command = std::make_unique<CommandCameraTrigger>();
        } else if (c.xml.rfind("<Camera", 0) == 0) {
            command = std::make_unique<CommandCamera>();
        } else {
            command = std::make_unique<CommandPlugin>();
        }
        log.Clear();
        CommandXml::Read(*command, c.xml);
        EXPECT_EQ(command->valid, c.valid) << c.xml;
        EXPECT_TRUE(log.Has(c.line, !c.valid)) << c.line;
        EXPECT_EQ(command->motionKind, 2) << c.xml;
    }
}

TEST_F(CameraCommands, ProgramsWithCameraCommandsAreWrittenBackWhole) {
    const std::string body =
        "<CameraTrigger Nr=\"1\" CameraName=\"Cam &amp; 1\"/>\n"
        "<Camera Nr=\"2\" CameraName=\"Cam &amp; 1\" CameraType=\"IFMO2D\" VarTargetPos=\"Pos\" VarModelClass=\"Cls\"/>\n"
        "<Plugin Nr=\"3\" PluginName=\"PluginSmartCameraIFMO2D\" VarTargetPos=\"Pos\" VarModelClass=\"Cls\"/>\n";
    WriteProgram(root, "vision.xml", body);
    ASSERT_TRUE(in.Load("vision.xml"));
    EXPECT_TRUE(in.ipo.usesPlugins);
    ASSERT_TRUE(in.ipo.WriteXMLFile(0, "again.xml"));
    Interpreter second;
    ASSERT_TRUE(second.Load("again.xml"));
    const std::vector<std::string> graph = second.Graph();
    ASSERT_EQ(graph.size(), 3u);
    auto lock = second.ipo.LockPrograms();
    const auto& commands = second.ipo.programs[0].commands;
    EXPECT_EQ(commands[0]->ToString(), "Command CameraTrigger Cam & 1 - Pre: 0 - Succ: 1 -2 -2");
    EXPECT_EQ(commands[1]->ToString(),
              "Command Camera Cam & 1 (IFMO2D) PosVariable: pos ClassVariable: cls - Pre: 0 - Succ: 2 -2 -2");
    EXPECT_EQ(commands[2]->ToString(),
              "Command Plugin pluginsmartcameraifmo2d PosVariable: pos ClassVariable: cls - Pre: 1 - Succ: -2 -2 -2");
    // The loader hands each Plugin command its interpreter's plug-ins.
    EXPECT_EQ(static_cast<CommandPlugin&>(*commands[2]).pluginManager, &second.ipo.pluginManager);

    // A program without the command clears the mark.
    WriteProgram(root, "plain.xml", "<Comment Nr=\"1\" Descr=\"c\"/>\n");
    ASSERT_TRUE(in.Load("plain.xml"));
    EXPECT_FALSE(in.ipo.usesPlugins);
}

TEST_F(CameraCommands, CameraCommandStoresTheTargetAndTheClass) {
    ScriptedCamera* camera = AddCamera("Cam1", "IFMO2D");
    camera->position = reachable.pose.GetTranslation();
    camera->orientation = DataTypes::Vector3(reachable.A, reachable.B, reachable.C);
    EXPECT_EQ(Run("<CameraTrigger Nr=\"3\" CameraName=\"cam1\"/>\n"
                  "<Camera Nr=\"4\" CameraName=\"CAM1\" CameraType=\"ifmo2d\" VarTargetPos=\"p\" VarModelClass=\"m\"/>\n"),
              "");
    EXPECT_EQ(camera->triggers, 1);
    const DataTypes::RobotState p = Position("p");
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 4; ++column)
            EXPECT_NEAR(p.pose(row, column), reachable.pose(row, column), 1e-3) << row << " " << column;
    }
    EXPECT_NEAR(p.A, reachable.A, 1e-3);
    EXPECT_NEAR(p.C, reachable.C, 1e-3);
    // The memory solved the joints of the stored pose.
    EXPECT_NEAR(p.jointSetPoint[1], 20.0f, 1e-2);
    EXPECT_DOUBLE_EQ(in.Number("m"), 4.0);

    // A camera without a target leaves the variable as it was, and the class at -1.
    camera->hasTarget = false;
    EXPECT_EQ(Run("<Camera Nr=\"3\" CameraName=\"Cam1\" CameraType=\"IFMO2D\" VarTargetPos=\"p\" VarModelClass=\"m\"/>\n"),
              "");
    EXPECT_FLOAT_EQ(Position("p").pose(1, 3), 8.0f);
    EXPECT_FLOAT_EQ(Position("p").B, 2.0f);
    EXPECT_DOUBLE_EQ(in.Number("m"), -1.0);

    // "No part" as the drivers give it, a valid answer at pose 0 that no arm reaches: the class, no error.
    camera->hasTarget = true;
    camera->position = DataTypes::Vector3();
    camera->orientation = DataTypes::Vector3();
    camera->modelClass = -1;
    EXPECT_EQ(Run("<Camera Nr=\"3\" CameraName=\"Cam1\" CameraType=\"IFMO2D\" VarTargetPos=\"p\" VarModelClass=\"m\"/>\n"),
              "");
    EXPECT_FLOAT_EQ(Position("p").pose(0, 3), 7.0f);
    EXPECT_FLOAT_EQ(Position("p").C, 3.0f);
    EXPECT_DOUBLE_EQ(in.Number("m"), -1.0);
}

TEST_F(CameraCommands, SimulatedCamerasPassAnyTypeCheck) {
    auto* sim = new Camera::CameraSimulated("sim");
    tinyxml2::XMLDocument document;
    document.Parse(("<HwCamera Name=\"sim\" X=\"" + std::to_string(reachable.pose(0, 3)) + "\" Y=\"" +
                    std::to_string(reachable.pose(1, 3)) + "\" Z=\"" + std::to_string(reachable.pose(2, 3)) +
                    "\" A=\"" + std::to_string(reachable.A) + "\" B=\"" + std::to_string(reachable.B) + "\" C=\"" +
                    std::to_string(reachable.C) + "\"/>")
                       .c_str());
    sim->Read(*document.RootElement());
    Camera::CameraManager::Instance()->Add(sim);
    EXPECT_EQ(Run("<Camera Nr=\"3\" CameraName=\"SIM\" CameraType=\"USB\" VarTargetPos=\"p\" VarModelClass=\"m\"/>\n"),
              "");
    EXPECT_DOUBLE_EQ(in.Number("m"), 1.0);
    EXPECT_NEAR(Position("p").pose(0, 3), reachable.pose(0, 3), 1e-3);
}

TEST_F(CameraCommands, FailuresStopTheProgramWithTheirTexts) {
    ScriptedCamera* camera = AddCamera("usb1", "USB");
    struct Case {
        const char* what;
        std::string body;
        std::string text;
    };
    const Case cases[] = {
        {"no camera", "<Camera Nr=\"3\" CameraName=\"none\" CameraType=\"USB\" VarTargetPos=\"p\" VarModelClass=\"m\"/>\n",
         "CommandCamera: Camera none does not exist"},
        {"no camera to trigger", "<CameraTrigger Nr=\"3\" CameraName=\"none\"/>\n",
         "CommandCameraTrigger: Camera none does not exist"},
        {"wrong type", "<Camera Nr=\"3\" CameraName=\"usb1\" CameraType=\"IFMO2D\" VarTargetPos=\"p\" VarModelClass=\"m\"/>\n",
         "CommandCamera: Type of camera usb1 does not match, expected IFMO2D, is USB"},
        {"missing variable", "<Camera Nr=\"3\" CameraName=\"usb1\" CameraType=\"USB\" VarTargetPos=\"q\" VarModelClass=\"m\"/>\n",
         "Command: Could not find variable \"q\"!"},
        {"class variable is a position",
         "<Camera Nr=\"3\" CameraName=\"usb1\" CameraType=\"USB\" VarTargetPos=\"p\" VarModelClass=\"p\"/>\n",
         "Variable p is not a number variable"},
        {"plug-in not connected",
         "<Plugin Nr=\"3\" PluginName=\"PluginSmartCameraIFMO2D\" VarTargetPos=\"p\" VarModelClass=\"m\"/>\n",
         "PluginManager - Camera not connected!"},
        {"unknown plug-in", "<Plugin Nr=\"3\" PluginName=\"Lidar\" VarTargetPos=\"p\" VarModelClass=\"m\"/>\n",
         "PluginManager - Plugin not available!"},
    };
    for (const Case& c : cases) {
        const std::string text = Run(c.body);
        EXPECT_NE(text.find(c.text), std::string::npos) << c.what << ": " << text;
        EXPECT_EQ(in.ipo.lastStopReason, IPO::COMMAND_ERROR) << c.what;
    }
    EXPECT_TRUE(log.HasError("Error! Plugin not available: lidar"));
    EXPECT_TRUE(log.HasError("Error! IFM-O2D not connected!"));

    // A new target the robot cannot reach is not taken silently: the robot must not go to the old one.
    camera->position = DataTypes::Vector3(5000, 0, 0);
    std::string unreachable =
        Run("<Camera Nr=\"3\" CameraName=\"usb1\" CameraType=\"USB\" VarTargetPos=\"p\" VarModelClass=\"m\"/>\n");
    EXPECT_NE(unreachable.find("Target of variable p could not be stored"), std::string::npos) << unreachable;
    EXPECT_DOUBLE_EQ(in.Number("m"), 55.0);

    // A target that is not a number is refused and nothing is stored.
    camera->position = DataTypes::Vector3(std::numeric_limits<float>::quiet_NaN(), 0, 0);
    const std::string text =
        Run("<Camera Nr=\"3\" CameraName=\"usb1\" CameraType=\"USB\" VarTargetPos=\"p\" VarModelClass=\"m\"/>\n");
    EXPECT_NE(text.find("CommandCamera: Camera usb1 gave a target that is not finite"), std::string::npos) << text;
    EXPECT_FLOAT_EQ(Position("p").pose(0, 3), 7.0f);
    EXPECT_DOUBLE_EQ(in.Number("m"), 55.0);
}
