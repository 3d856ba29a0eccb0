// "CONFIG" messages over loopback, first half: I/O modules, output defaults,
// kinematic limits, PLC interface and triggers, brake, program default
// state, tool and virtual box. Get answers what Set changed; Set queues the
// project rewrite or rewrites the robot file at once.

#include <gtest/gtest.h>

#include <string>
#include <tinyxml2.h>
#include <vector>

#include "controller/ProjectManager.h"
#include "kinematics/RobotKinematic.h"
#include "server/RemoteTestSupport.h"
#include "support/TestSupport.h"

namespace {

using Bodies = std::vector<std::string>;

class RemoteConfig : public RemoteTest::Remote {
protected:
    void SetUp() override {
        LogSingleton::instance()->get_plcInterfaceNr() = PLCInterfaceSettings{};
        LogSingleton::instance()->set_robotGripper("");
        InitRobot(rm);
        StartServer(&rm, &pm);
    }
    void TearDown() override {
        Remote::TearDown();
        // The robot thread reads the PLC record every cycle.
        rm.StopMainLoop();
        LogSingleton::instance()->get_plcInterfaceNr() = PLCInterfaceSettings{};
        LogSingleton::instance()->set_robotGripper("");
    }
    // Whether the frame queued a project rewrite (and clears the request).
    bool QueuedRewrite(const std::string& body) {
        pm.UpdateConfiguration(nullptr, true);  // nothing pending afterwards (no project: nothing written)
        Replies(body);
        const bool pending = pm.IsRewritePending();
        pm.UpdateConfiguration(nullptr, true);
        return pending;
    }
    // An attribute of the robot file's element, as stored on disk now.
    std::string RobotFileAttribute(const char* element, const char* attribute) {
        tinyxml2::XMLDocument document;
        if (document.LoadFile(robotFile.Path().c_str()) != tinyxml2::XML_SUCCESS) return "<unreadable>";
        const tinyxml2::XMLElement* e = document.RootElement()->FirstChildElement(element);
        const char* value = e != nullptr ? e->Attribute(attribute) : nullptr;
        return value != nullptr ? value : "<none>";
    }
    std::vector<float> Limits() {
        float limits[RobotKinematic::maxJoints][2] = {};
        rm.GetKinematic()->GetMinMaxValues(limits);
        std::vector<float> flat;
        for (auto& pair : limits) flat.insert(flat.end(), {pair[0], pair[1]});
        return flat;
    }

    RobotMaster rm;
    ProjectManager pm;
};

TEST_F(RemoteConfig, DigitalIOModuleIdsAreBytes) {
    EXPECT_TRUE(QueuedRewrite("CONFIG SetDIOModules 10 20 0"));
    EXPECT_EQ(Reply("CONFIG GetDIOModules"), "CONFIG DIOModules 10 20 0");
    EXPECT_TRUE(log.Has("HXP-Server: DIO module configuration changed, CAN-IDs: 10 20 0"));

    for (const char* bad : {"CONFIG SetDIOModules 10 20", "CONFIG SetDIOModules 256 20 0",
                            "CONFIG SetDIOModules -1 20 0", "CONFIG SetDIOModules 1.5 2 3", "CONFIG SetDIOModules a b c"}) {
        log.Clear();
        EXPECT_FALSE(QueuedRewrite(bad)) << bad;
        EXPECT_TRUE(log.Has("HXP-Server: ERROR, received SetDIOModules request but could not parse parameters")) << bad;
    }
    EXPECT_EQ(Reply("CONFIG GetDIOModules"), "CONFIG DIOModules 10 20 0");
}

TEST_F(RemoteConfig, OutputDefaultsTravelAsFourHexWords) {
    for (int i = 0; i < 64; ++i) {
        rm.SetDOutOnReset(i, DOutTargetState::NoChange);
        rm.SetDOutOnError(i, DOutTargetState::False);
    }
    EXPECT_EQ(Reply("CONFIG GetDOutDefaults"), "CONFIG DOutDefaults aaaaaaaaaaaaaaaa aaaaaaaaaaaaaaaa 0 0");

    EXPECT_TRUE(QueuedRewrite("CONFIG SetDOutDefaults 1 0 0 0"));
    EXPECT_EQ(rm.GetDOutOnReset(0), DOutTargetState::True);
    for (int i = 1; i < 64; ++i) EXPECT_EQ(rm.GetDOutOnReset(i), DOutTargetState::False) << i;
    for (int i = 0; i < 64; ++i) EXPECT_EQ(rm.GetDOutOnError(i), DOutTargetState::False) << i;
    EXPECT_TRUE(log.Has("HXP-Server: DOut defaults set"));

    // Output 33 (bit 0 of the fourth word) on error, output 64 NoChange at reset (code 3 reads as 2).
    EXPECT_TRUE(QueuedRewrite("CONFIG SetDOutDefaults 0 c000000000000000 0 1"));
    EXPECT_EQ(rm.GetDOutOnReset(63), DOutTargetState::NoChange);
    EXPECT_EQ(rm.GetDOutOnError(32), DOutTargetState::True);
    EXPECT_EQ(Reply("CONFIG GetDOutDefaults"), "CONFIG DOutDefaults 0 8000000000000000 0 1");

    // A missing or unreadable word would reset outputs by accident: nothing changes.
    for (const char* bad : {"CONFIG SetDOutDefaults 1 0 0", "CONFIG SetDOutDefaults 1 0 0 xyz",
                            "CONFIG SetDOutDefaults 1 0 0 10000000000000000", "CONFIG SetDOutDefaults 1 0 0 -1"}) {
        EXPECT_FALSE(QueuedRewrite(bad)) << bad;
    }
    EXPECT_EQ(Reply("CONFIG GetDOutDefaults"), "CONFIG DOutDefaults 0 8000000000000000 0 1");
}

TEST_F(RemoteConfig, KinematicLimitsGoToTheJointsAndExternalSlotsAndTheRobotFileAtOnce) {
    ASSERT_EQ(rm.GetKinematic()->nrOfJoints, 6);
    EXPECT_EQ(Replies("CONFIG SetKinematicLimits -10 10 -20 20 -30 30 -40 40 -50 50 -60 60 -1 1 -2 2"), Bodies{});
    EXPECT_EQ(Reply("CONFIG GetKinematicLimits"), "CONFIG KinematicLimits -10 10 -20 20 -30 30 -40 40 -50 50 -60 60");
    // Eight pairs on six joints: the external axes 1 and 2 follow, axis 3 gets 0..0.
    const std::vector<float> limits = Limits();
    EXPECT_EQ(std::vector<float>(limits.begin() + 12, limits.end()), (std::vector<float>{-1, 1, -2, 2, 0, 0}));
    EXPECT_EQ(RobotFileAttribute("SoftwareMinMax", "A6Max"), "60");
    EXPECT_TRUE(log.Has("HXP-Server: Setting kinematic limits, number of received values: 17"));
    EXPECT_TRUE(log.Has("HXP-Server: Kin limits axis 7: -2.000000 2.000000"));

    struct Case {
        const char* values;
        const char* why;
    };
    const Case unchanged[] = {
        {"", "only the counter"},
        {"-1 1 -2 2 -3 3 -4 4 -5 5", "fewer pairs than joints"},
        {"-1 1 -2 2 -3 3 nan 4 -5 5 -6 6", "a value that is no number"},
        {"-1 1 -2 2 -3 3 -4 4 -5 5 -6 inf", "an infinite value"},
        {"-1 1 -2 2 -3 3 -4 4 -5 5 -6 6x", "a value that is no whole number"},
    };
    const std::string rewritten = "RobotMaster: robot configuration file " + robotFile.Path() + " updated";
    for (const Case& c : unchanged) {
        SCOPED_TRACE(c.why);
        log.Clear();
        EXPECT_EQ(Replies(std::string("CONFIG SetKinematicLimits ") + c.values), Bodies{});
        EXPECT_EQ(Limits(), limits);
        // The robot file is rewritten all the same.
        EXPECT_EQ(log.Count(rewritten), 1);
    }

    // More pairs than slots: the ones past the last slot are dropped.
    EXPECT_EQ(Replies("CONFIG SetKinematicLimits -1 1 -2 2 -3 3 -4 4 -5 5 -6 6 -7 7 -8 8 -9 9 -99 99"), Bodies{});
    EXPECT_EQ(Limits(), (std::vector<float>{-1, 1, -2, 2, -3, 3, -4, 4, -5, 5, -6, 6, -7, 7, -8, 8, -9, 9}));
}

TEST_F(RemoteConfig, PLCInterfaceNumbersAndFlags) {
    EXPECT_TRUE(QueuedRewrite("CONFIG SetPLCInterface 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16"));
    EXPECT_EQ(Reply("CONFIG GetPLCInterface"), "CONFIG PLCInterface 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16");
    const PLCInterfaceSettings& plc = LogSingleton::instance()->get_plcInterfaceNr();
    EXPECT_EQ(plc.EnableNumber, 1);
    EXPECT_EQ(plc.NoFaultNumber, 4);
    EXPECT_EQ(plc.ShutdownNumber, 11);
    EXPECT_EQ(plc.MissionRunningNumber, 16);
    EXPECT_TRUE(log.Has("HXP-Server: Setting PLC interface numbers"));

    // Numbers the frame lacks, or from a value that is no number on, become -1.
    EXPECT_TRUE(QueuedRewrite("CONFIG SetPLCInterface 5 6 7 x 9"));
    EXPECT_EQ(Reply("CONFIG GetPLCInterface"), "CONFIG PLCInterface 5 6 7 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1");

    EXPECT_TRUE(QueuedRewrite("CONFIG SetPLCInterfaceEnabled true True"));
    EXPECT_EQ(Reply("CONFIG GetPLCInterfaceEnabled"), "CONFIG PLCInterfaceEnabled False True");
    EXPECT_TRUE(log.Has("HXP-Server: Setting PLC interface disabled"));
    EXPECT_TRUE(log.Has("HXP-Server: Setting PLC interface auto connect"));
    EXPECT_TRUE(QueuedRewrite("CONFIG SetPLCInterfaceEnabled True"));
    EXPECT_EQ(Reply("CONFIG GetPLCInterfaceEnabled"), "CONFIG PLCInterfaceEnabled True False");
}

TEST_F(RemoteConfig, PLCTriggersAreListedAddedAndCleared) {
    EXPECT_EQ(Reply("CONFIG GetPLCTriggers"), "CONFIG PLCTrigger 0 0");
    EXPECT_TRUE(QueuedRewrite("CONFIG AddPLCTrigger TRUE DIn 3 Program main.xml"));
    EXPECT_TRUE(QueuedRewrite("CONFIG AddPLCTrigger false gsig 99 mission sub\\m1.xml"));
    EXPECT_EQ(Replies("CONFIG GetPLCTriggers"), (Bodies{"CONFIG PLCTrigger 0 2 True DIn 3 Program main.xml",
                                                        "CONFIG PLCTrigger 1 2 False GSig 99 Mission sub/m1.xml"}));
    EXPECT_TRUE(log.Has("HXP-Server: PLC-Trigger added: Active=True, SignalType=DIn, Channel=3, TargetType=Program, "
                        "FileName=main.xml"));

    struct Case {
        const char* body;
        const char* logLine;
    };
    const Case refused[] = {
        {"CONFIG AddPLCTrigger TRUE DIn 3 Program", "HXP-Server: Received incomplete AddPLCTrigger message"},
        {"CONFIG AddPLCTrigger TRUE DIn x Program a.xml", "HXP-Server: Received incomplete AddPLCTrigger message"},
        {"CONFIG AddPLCTrigger TRUE DIn 3 Program ../../etc/x.xml",
         "HXP-Server: ERROR, PLC trigger not added: file name '../../etc/x.xml' leaves the programs folder"},
        {"CONFIG AddPLCTrigger TRUE DIn 3 Program /etc/x.xml",
         "HXP-Server: ERROR, PLC trigger not added: file name '/etc/x.xml' leaves the programs folder"},
        {"CONFIG AddPLCTrigger TRUE DIn 3 Program sub\\..\\..\\x.xml",
         "HXP-Server: ERROR, PLC trigger not added: file name 'sub\\..\\..\\x.xml' leaves the programs folder"},
        // Numbers no signal has: kept inactive they would still reach the project file.
        {"CONFIG AddPLCTrigger TRUE GSig 65536 Program a.xml",
         "HXP-Server: ERROR, PLC trigger not added: GSig channel 65536 outside 0..99"},
        {"CONFIG AddPLCTrigger TRUE GSig 70000 Program a.xml",
         "HXP-Server: ERROR, PLC trigger not added: GSig channel 70000 outside 0..99"},
        {"CONFIG AddPLCTrigger TRUE gsig 100 Mission a.xml",
         "HXP-Server: ERROR, PLC trigger not added: GSig channel 100 outside 0..99"},
        {"CONFIG AddPLCTrigger false GSig -1 Program a.xml",
         "HXP-Server: ERROR, PLC trigger not added: GSig channel -1 outside 0..99"},
        {"CONFIG AddPLCTrigger TRUE DIn 64 Program a.xml",
         "HXP-Server: ERROR, PLC trigger not added: DIn channel 64 outside 0..63"},
        {"CONFIG AddPLCTrigger TRUE DIn -1 Program a.xml",
         "HXP-Server: ERROR, PLC trigger not added: DIn channel -1 outside 0..63"},
        {"CONFIG AddPLCTrigger TRUE DIn 2147483647 Program a.xml",
         "HXP-Server: ERROR, PLC trigger not added: DIn channel 2147483647 outside 0..63"},
    };
    for (const Case& c : refused) {
        log.Clear();
        EXPECT_FALSE(QueuedRewrite(c.body)) << c.body;
        EXPECT_TRUE(log.Has(c.logLine)) << c.body;
    }
    EXPECT_EQ(rm.GetPLCTriggers().size(), 2u);

    // Clearing keeps to memory; the next rewrite takes it along.
    EXPECT_FALSE(QueuedRewrite("CONFIG ClearPLCTriggers"));
    EXPECT_TRUE(log.Has("HXP-Server: PLC triggers cleared"));
    EXPECT_EQ(Reply("CONFIG GetPLCTriggers"), "CONFIG PLCTrigger 0 0");
}

TEST_F(RemoteConfig, BrakeIsStoredInTheRobotFileAtOnce) {
    EXPECT_EQ(Replies("CONFIG SetBrake 5 200 3"), Bodies{});
    EXPECT_EQ(Reply("CONFIG GetBrake"), "CONFIG Brake 5 200 3");
    EXPECT_EQ(RobotFileAttribute("Brake", "DOutChannel"), "5");
    EXPECT_EQ(RobotFileAttribute("Brake", "DelayMS"), "200");
    EXPECT_EQ(RobotFileAttribute("Brake", "Active"), "True");
    EXPECT_EQ(RobotFileAttribute("EStopMonitoring", "DInChannel"), "3");
    EXPECT_TRUE(log.Has("HXP-Server: Brake DOut set to 5"));

    struct Case {
        const char* values;
        const char* expected;
    };
    const Case cases[] = {
        {"70 200 3", "CONFIG Brake -1 200 3"},     // a channel that does not exist means no brake
        {"5 300 64", "CONFIG Brake 5 300 -1"},     // no E-stop input
        {"5 -10 3", "CONFIG Brake 5 300 3"},       // a negative delay is not stored
        {"6 100", "CONFIG Brake 5 300 3"},         // a missing value changes nothing
        {"6 100 x", "CONFIG Brake 5 300 3"},       // so does one that is no number
        {"", "CONFIG Brake 5 300 3"},
        {"6 100.5 2", "CONFIG Brake 5 300 3"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Replies(std::string("CONFIG SetBrake ") + c.values), Bodies{}) << c.values;
        EXPECT_EQ(Reply("CONFIG GetBrake"), c.expected) << c.values;
    }
    EXPECT_EQ(RobotFileAttribute("Brake", "DelayMS"), "300");

    // Not from a passive client: it would switch the E-stop monitoring in the robot file.
    auto passive = Connect();
    ASSERT_TRUE(passive != nullptr);
    const std::string stored = RobotFileAttribute("EStopMonitoring", "DInChannel");
    EXPECT_EQ(Replies(*passive, "CONFIG SetBrake -1 0 -1"), Bodies{});
    EXPECT_EQ(Reply("CONFIG GetBrake"), "CONFIG Brake 5 300 3");
    EXPECT_EQ(RobotFileAttribute("EStopMonitoring", "DInChannel"), stored);
}

TEST_F(RemoteConfig, ProgramDefaultState) {
    EXPECT_TRUE(QueuedRewrite("CONFIG SetProgramDefaultState 0"));
    EXPECT_EQ(Reply("CONFIG GetProgramDefaultState"), "CONFIG ProgramDefaultState 0");
    EXPECT_TRUE(log.Has("HXP-Server: Program default state set to 0"));
    EXPECT_TRUE(QueuedRewrite("CONFIG SetProgramDefaultState 5"));
    EXPECT_EQ(Reply("CONFIG GetProgramDefaultState"), "CONFIG ProgramDefaultState 1");
    for (const char* bad : {"CONFIG SetProgramDefaultState", "CONFIG SetProgramDefaultState off",
                            "CONFIG SetProgramDefaultState 0.0"})
        EXPECT_FALSE(QueuedRewrite(bad)) << bad;
    EXPECT_EQ(Reply("CONFIG GetProgramDefaultState"), "CONFIG ProgramDefaultState 1");
}

TEST_F(RemoteConfig, ToolMustBeAFileBelowTheToolsFolder) {
    TestSupport::WriteFile(LogSingleton::instance()->get_rootPath() + "Data/Tools/remote-grip.xml", "<Tool/>");
    EXPECT_EQ(Reply("CONFIG GetTool"), "CONFIG Tool none");
    EXPECT_TRUE(QueuedRewrite("CONFIG SetTool remote-grip.xml"));
    EXPECT_EQ(Reply("CONFIG GetTool"), "CONFIG Tool remote-grip.xml");

    for (const char* bad : {"missing.xml", "../Tools/remote-grip.xml", "/etc/passwd", "..\\Tools\\remote-grip.xml", ""}) {
        EXPECT_EQ(Replies(std::string("CONFIG SetTool ") + bad), Bodies{"CONFIGERROR Tool invalid_file"}) << bad;
        EXPECT_EQ(Reply("CONFIG GetTool"), "CONFIG Tool remote-grip.xml") << bad;
    }
    EXPECT_TRUE(log.HasError("HXPServer: ERROR: Tool configuration file missing.xml does not exist"));

    EXPECT_TRUE(QueuedRewrite("CONFIG SetTool none"));
    EXPECT_EQ(Reply("CONFIG GetTool"), "CONFIG Tool none");
}

TEST_F(RemoteConfig, VirtualBoxTakesAllSixCornersOrNothing) {
    EXPECT_TRUE(QueuedRewrite("CONFIG SetVBox True -100 100 -200 200 0 300.5"));
    EXPECT_EQ(Reply("CONFIG GetVBox"), "CONFIG VBox True -100 100 -200 200 0 300.5");
    for (const char* bad : {"CONFIG SetVBox False -1 1 -2 2 0", "CONFIG SetVBox False -1 1 -2 2 0 nan",
                            "CONFIG SetVBox False -1 1 -2 2 0 3m"})
        EXPECT_FALSE(QueuedRewrite(bad)) << bad;
    EXPECT_EQ(Reply("CONFIG GetVBox"), "CONFIG VBox True -100 100 -200 200 0 300.5");
    EXPECT_TRUE(QueuedRewrite("CONFIG SetVBox true -1 1 -2 2 0 3"));
    EXPECT_EQ(Reply("CONFIG GetVBox"), "CONFIG VBox False -1 1 -2 2 0 3");
}

TEST_F(RemoteConfig, PassiveClientReadsButDoesNotChangeAndUnknownKeywordsAreIgnored) {
    auto passive = Connect();
    ASSERT_TRUE(passive != nullptr);
    for (const char* body : {"CONFIG SetVBox True 1 2 3 4 5 6", "CONFIG SetTool none", "CONFIG SetDIOModules 1 2 3",
                             "CONFIG SetPLCInterface 1 2 3", "CONFIG AddPLCTrigger TRUE DIn 3 Program main.xml",
                             "CONFIG SetKinematicLimits 1 2", "CONFIG GetNothing", "CONFIGX GetBrake"}) {
        log.Clear();
        EXPECT_EQ(Replies(*passive, body), Bodies{}) << body;
        EXPECT_EQ(log.CountContaining("HXP-Server"), 0) << body;
    }
    EXPECT_FALSE(pm.IsRewritePending());
    EXPECT_EQ(Replies(*passive, "CONFIG GetBrake"), Bodies{"CONFIG Brake -1 500 -1"});
    EXPECT_EQ(Replies("CONFIG GetNothing"), Bodies{});
}

}  // namespace
