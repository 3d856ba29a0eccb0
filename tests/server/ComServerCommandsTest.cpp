// Robot control, program, direct-move and camera keywords on a connection
// without a socket: what each frame posts, replies and logs, and how bad
// arguments are refused.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/LogSingleton.h"
#include "controller/ProjectManager.h"
#include "controller/RobotMaster.h"
#include "server/ComServer.h"
#include "server/ServerTestSupport.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"
#include "vision/CameraInterface.h"
#include "vision/CameraManager.h"

namespace {

using Bodies = std::vector<std::string>;
using namespace std::chrono_literals;

// A program that waits until global signal 99 is set.
const char* const WaitingProgram =
    "<?xml version=\"1.0\"?>\n<Program>\n<Wait Nr=\"1\" Type=\"Conditional\" Condition=\"gsig99\"/>\n"
    "<Wait Nr=\"2\" Type=\"Conditional\" Condition=\"gsig99\"/>\n</Program>\n";

struct Pending {
    int32_t code = 0;
    int32_t parameter = 0;
    float value = 0.0f;
};

class CommandsTest : public ::testing::Test {
protected:
    CommandsTest() : connection(std::make_shared<ComServer>(&rm, &projects, nullptr, -1)) {}
    ~CommandsTest() override {
        rm.ipoDirect.Stop(IPO::USER, "");
        rm.ipoDirect.DeleteAll();
        rm.ipoMain.SetReplayRunning(false);
        rm.ipoMain.DeleteAll();
        rm.ipoLogic.DeleteAll();
    }

    bool Parse(const std::string& frame) {
        std::vector<char> buffer(frame.begin(), frame.end());
        buffer.push_back('\0');
        return connection->ParseMessage(buffer.data(), static_cast<int>(frame.size()));
    }
    bool Cmd(int counter, const std::string& rest) {
        return Parse("HXPSTART " + std::to_string(counter) + " CMD " + rest + " HXPEND");
    }
    Pending Take() {
        Pending p;
        connection->TakePendingCommand(p.code, p.parameter, p.value);
        return p;
    }
    // The bodies queued since the last call.
    Bodies Replies() {
        const Bodies all = connection->QueuedBodies();
        Bodies fresh(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end());
        seen = all.size();
        return fresh;
    }
    void WriteProgram(const std::string& name) {
        TestSupport::WriteFile(root.File("Data/Programs/" + name), WaitingProgram);
    }

    TestSupport::ScratchRoot root;
    RobotMaster rm;
    ProjectManager projects;
    std::shared_ptr<ComServer> connection;
    TestSupport::LogCapture log;
    std::size_t seen = 0;
};

// ---------------------------------------------------------------- robot control

TEST_F(CommandsTest, DigitalOutputPostsItsChannelAndRefusesChannelsOutsideTheRobot) {
    struct Case {
        const char* args;
        bool parsed;  // ParseMessage's result
        int code;
        int channel;
        Bodies replies;
        const char* logLine;
    };
    const Case cases[] = {
        {"0 true", true, 31, 0, {"CMDACK 4"}, "HXP-Server: CMD-DOUT to TRUE: channel  0"},
        {"63 false", true, 32, 63, {"CMDACK 4"}, "HXP-Server: CMD-DOUT to FALSE: channel  63"},
        {"0x10 true", true, 31, 16, {"CMDACK 4"}, nullptr},
        // Only the exact word switches on.
        {"5 True", true, 32, 5, {"CMDACK 4"}, nullptr},
        {"64 true", false, 0, 0, {"CMDERROR 4 invalid DOut channel"}, "HXP-Server: DOUT channel > 64!"},
        {"-1 true", false, 0, 0, {"CMDERROR 4 invalid DOut channel"}, "HXP-Server: DOUT channel < 0!"},
        // No channel at all is refused too, never run on an older argument.
        {"", false, 0, 0, {"CMDERROR 4 invalid DOut channel"}, "HXP-Server: DOUT channel < 0!"},
        {"nan true", false, 0, 0, {"CMDERROR 4 invalid DOut channel"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        log.Clear();
        EXPECT_EQ(Cmd(4, std::string("DOUT ") + c.args), c.parsed);
        const Pending p = Take();
        EXPECT_EQ(p.code, c.code);
        if (c.code != 0) {
            EXPECT_EQ(p.parameter, c.channel);
        }
        EXPECT_EQ(Replies(), c.replies);
        if (c.logLine != nullptr) {
            EXPECT_TRUE(log.Has(c.logLine));
        }
    }
}

TEST_F(CommandsTest, RefusedOrOtherCommandsLeaveAPendingOutputOnItsChannel) {
    ASSERT_TRUE(Cmd(1, "DOUT 5 true"));
    EXPECT_FALSE(Cmd(2, "DOUT 99 true"));
    EXPECT_FALSE(Cmd(3, "GSIG 150 true"));
    ASSERT_TRUE(Cmd(4, "GSIG 7 true"));
    Pending p = Take();
    EXPECT_EQ(p.code, 31);
    EXPECT_EQ(p.parameter, 5);

    EXPECT_EQ(Take().code, 0);

    // Each waits with its own argument, in the order received.
    ASSERT_TRUE(Cmd(5, "DOUT 6 true"));
    ASSERT_TRUE(Cmd(6, "ProgramReplayMode 2"));
    p = Take();
    EXPECT_EQ(p.code, 31);
    EXPECT_EQ(p.parameter, 6);
    p = Take();
    EXPECT_EQ(p.code, 9);
    EXPECT_EQ(p.parameter, 2);
}

TEST_F(CommandsTest, DigitalOutputWhileTheProgramReplaysIsRefusedThenAcknowledged) {
    rm.ipoMain.SetReplayRunning(true);
    ASSERT_TRUE(Cmd(8, "DOUT 3 true"));
    EXPECT_EQ(Replies(), (Bodies{"CMDERROR 8 can not set DOut while program is running", "CMDACK 8"}));
    EXPECT_EQ(Take().code, 0);
}

TEST_F(CommandsTest, GlobalSignalsAreSetAtOnceForTheActiveClientWithinTheirRange) {
    ASSERT_TRUE(Cmd(1, "GSIG 99 true"));
    EXPECT_TRUE(log.Has("HXP-Server: CMD-GSIG to TRUE: channel  99"));
    EXPECT_FALSE(Cmd(2, "GSIG 100 true"));
    EXPECT_TRUE(log.Has("HXP-Server: GSIG channel > 100!"));
    EXPECT_FALSE(Cmd(3, "GSIG -1 false"));
    EXPECT_TRUE(log.Has("HXP-Server: GSIG channel < 0!"));
    ASSERT_TRUE(Cmd(4, "GSIG 0 false"));
    EXPECT_TRUE(log.Has("HXP-Server: CMD-GSIG to FALSE: channel  0"));
    EXPECT_EQ(Take().code, 0);
    // A passive client's signal would fire the active client's triggers: it is not taken, nor answered.
    connection->SetActive(false);
    Replies();
    log.Clear();
    ASSERT_TRUE(Cmd(5, "GSIG 1 true"));
    EXPECT_EQ(log.CountContaining("GSIG"), 0);
    EXPECT_EQ(Replies(), Bodies{});
}

TEST_F(CommandsTest, ReplayModesPostTheirCodeAndUnknownOrMissingModesAreRefused) {
    struct Case {
        const char* args;
        int code;
        const char* reply;
        const char* logLine;
    };
    const Case cases[] = {
        {"0", 7, "CMDACK 2", "HXP-Server: Replay Mode set to Single"},
        {"1", 8, "CMDACK 2", "HXP-Server: Replay Mode set to Repeat"},
        {"2", 9, "CMDACK 2", "HXP-Server: Replay Mode set to Step"},
        {"3", 0, "CMDERROR 2 invalid replay mode", "HXP-Server: Replay Mode not recongnized!"},
        {"", 0, "CMDERROR 2 invalid replay mode", "HXP-Server: Replay Mode not recongnized!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        log.Clear();
        ASSERT_TRUE(Cmd(2, std::string("ProgramReplayMode ") + c.args));
        EXPECT_EQ(Take().code, c.code);
        EXPECT_EQ(Replies(), Bodies{c.reply});
        EXPECT_TRUE(log.Has(c.logLine));
    }
    // A passive client's code would run once it became active: it is not taken, nor answered.
    connection->SetActive(false);
    Replies();
    ASSERT_TRUE(Cmd(3, "ProgramReplayMode 0"));
    EXPECT_EQ(Replies(), Bodies{});
    connection->SetActive(true);
    Replies();
    EXPECT_EQ(Take().code, 0);
}

TEST_F(CommandsTest, OverrideIsClampedStoredAtOnceAndQueuesTheProjectRewrite) {
    struct Case {
        const char* args;
        float stored;
    };
    // Values that do not parse ("nan", "inf") count as missing: 0.
    const Case cases[] = {{"42.5", 42.5f}, {"150", 100.0f}, {"-5", 0.0f}, {"", 0.0f}, {"nan", 0.0f}, {"inf", 0.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        rm.override = 77.0f;
        ASSERT_TRUE(Cmd(5, std::string("Override ") + c.args));
        EXPECT_EQ(rm.override.load(), c.stored);
        EXPECT_EQ(Replies(), Bodies{"CMDACK 5"});
    }
    EXPECT_TRUE(log.Has("HXP-Server: Change override to  42.5"));
    EXPECT_TRUE(projects.IsRewritePending());
}

TEST_F(CommandsTest, InformationKeywordsAnswerEveryClient) {
    connection->SetActive(false);
    Replies();
    ASSERT_TRUE(Cmd(1, "GetVersion"));
    ASSERT_TRUE(Cmd(2, "GetReferencingInfo"));
    ASSERT_TRUE(Cmd(3, "ZeroTorque"));
    // A passive client's switch is a query.
    ASSERT_TRUE(Cmd(4, "ZeroTorque true"));
    ASSERT_TRUE(Cmd(5, "GetProgramInfo"));
    ASSERT_TRUE(Cmd(6, "GetLogicProgramInfo"));
    EXPECT_EQ(Replies(), (Bodies{"INFO Version Korvella 16", "INFO ReferencingInfo 0 Joints 0 0 0 0 0 0 0 0 0 0 0 0",
                                 "CMD ZeroTorque False False", "CMD ZeroTorque False False",
                                 "INFO ProgramInfo n/a 0 0", "INFO LogicProgramInfo n/a 0 0"}));
    EXPECT_TRUE(log.Has("HXP-Server: Protocol version requested from client (Korvella 16)"));
}

TEST_F(CommandsTest, ConnectAndDisconnectAreNotAvailable) {
    ASSERT_TRUE(Cmd(1, "Connect"));
    ASSERT_TRUE(Cmd(2, "Disconnect"));
    EXPECT_EQ(Replies(), (Bodies{"CMDERROR 1 not available", "CMDERROR 2 not available"}));
    EXPECT_TRUE(log.Has("HXP-Server: Connect command not available"));
    EXPECT_TRUE(log.Has("HXP-Server: Disconnect command not available"));
}

TEST_F(CommandsTest, SingleJointReferencingOutsideTheRobotsJointsIsRefused) {
    // Without a driver the robot has no joint to reference.
    for (const char* joint : {"0", "-1", "12", ""}) {
        SCOPED_TRACE(joint);
        log.Clear();
        ASSERT_TRUE(Cmd(9, std::string("ReferenceSingleJoint ") + joint));
        EXPECT_EQ(Replies(), Bodies{"CMDERROR 9 invalid joint"});
        EXPECT_TRUE(log.HasErrorContaining("HXP-Server: Can not reference joint"));
        EXPECT_FALSE(log.HasStartingWith("Ref Joint"));
    }
}

// ---------------------------------------------------------------- programs

TEST_F(CommandsTest, StartWithOffsetSetsTheOffsetAndPostsTheStart) {
    ASSERT_TRUE(Cmd(3, "StartProgramWithOffset 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15"));
    EXPECT_EQ(Take().code, 2);
    EXPECT_EQ(Replies(), Bodies{"CMDACK 3"});
    EXPECT_TRUE(log.HasStartingWith("IPO: Offset defined: joint 1.0 2.0 3.0   4.0 5.0 6.0   7.0 8.0 9.0   cart 10.0"));

    // Missing values are 0 and the start is posted all the same.
    log.Clear();
    ASSERT_TRUE(Cmd(4, "StartProgramWithOffset 5"));
    EXPECT_EQ(Take().code, 2);
    EXPECT_TRUE(log.HasStartingWith("IPO: Offset defined: joint 5.0 0.0 0.0   0.0 0.0 0.0"));
}

TEST_F(CommandsTest, ProgramsAreLoadedInspectedAndDeleted) {
    WriteProgram("Waiting.xml");
    ASSERT_TRUE(Cmd(1, "LoadProgram Waiting.xml"));
    EXPECT_EQ(Replies(), Bodies{"CMDACK 1"});
    ASSERT_TRUE(ServerTest::WaitFor([&]() { return rm.ipoMain.IsProgramLoaded() && !rm.ipoMain.IsLoading(); }));
    EXPECT_TRUE(projects.IsRewritePending());
    ASSERT_TRUE(Cmd(2, "GetProgramInfo"));
    EXPECT_EQ(Replies(), Bodies{"INFO ProgramInfo Waiting.xml 2 -1"});

    ASSERT_TRUE(Cmd(3, "GetProgramName 0"));
    ASSERT_TRUE(Cmd(4, "GetProgramName 5"));
    EXPECT_EQ(Replies(), (Bodies{"INFO ProgramName Waiting.xml 0 1", "INFO ProgramName n/a 5 1"}));

    ASSERT_TRUE(Cmd(5, "DeleteProgram"));
    EXPECT_EQ(Replies(), Bodies{"CMDACK 5"});
    EXPECT_FALSE(rm.ipoMain.IsProgramLoaded());

    ASSERT_TRUE(Cmd(6, "DeleteProgramFromFileSystem Waiting.xml"));
    EXPECT_EQ(Replies(), Bodies{"CMDACK 6"});
    EXPECT_FALSE(std::filesystem::exists(root.File("Data/Programs/Waiting.xml")));
    // A file that is not there is acknowledged as well; the interpreter logs it.
    ASSERT_TRUE(Cmd(7, "DeleteProgramFromFileSystem Waiting.xml"));
    EXPECT_EQ(Replies(), Bodies{"CMDACK 7"});
    EXPECT_TRUE(log.HasError("Error: Could not delete file Waiting.xml"));
}

TEST_F(CommandsTest, ARefusedLoadKeepsTheProgramAndTheProjectsStartProgram) {
    WriteProgram("Waiting.xml");
    TestSupport::WriteFile(root.File("Data/Programs/Broken.xml"), "<?xml version=\"1.0\"?>\n<Program>\n<Move Nr=\"1\"/>\n</Program>\n");
    TestSupport::WriteFile(root.File("Data/Programs/Wrapped.xml"),
                           "<?xml version=\"1.0\"?>\n<Program>\n<Loop Nr=\"1\" Mode=\"Count\" Times=\"4294967296\"/>\n"
                           "<EndLoop/>\n</Program>\n");
    ASSERT_TRUE(Cmd(1, "LoadProgram Waiting.xml"));
    ASSERT_TRUE(ServerTest::WaitFor([&]() { return rm.ipoMain.IsProgramLoaded() && !rm.ipoMain.IsLoading(); }));
    rm.ipoMain.OffsetSet(std::vector<float>(15, 2.0f).data());

    // A client of a project whose start program is Waiting.xml: no refused file may replace either.
    ProjectManager project;
    auto client = std::make_shared<ComServer>(&rm, &project, nullptr, -1);
    const auto send = [&](int counter, const std::string& body) {
        const std::string frame = "HXPSTART " + std::to_string(counter) + " CMD " + body + " HXPEND";
        std::vector<char> buffer(frame.begin(), frame.end());
        buffer.push_back('\0');
        return client->ParseMessage(buffer.data(), static_cast<int>(frame.size()));
    };
    int counter = 10;
    for (const char* name : {"Broken.xml", "Wrapped.xml", "Missing.xml"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(send(++counter, std::string("LoadProgram ") + name));
        ASSERT_TRUE(ServerTest::WaitFor([&]() { return !rm.ipoMain.IsLoading(); }));
        ASSERT_TRUE(send(++counter, "GetProgramInfo"));
        const Bodies replies = client->QueuedBodies();
        ASSERT_FALSE(replies.empty());
        EXPECT_EQ(replies.back(), "INFO ProgramInfo Waiting.xml 2 -1");
        EXPECT_FALSE(project.IsRewritePending());
        EXPECT_EQ(rm.ipoMain.jointOffsets[0], 2.0f);
    }
    // A program that loads replaces it, resets the offsets and is written to the project.
    WriteProgram("Other.xml");
    ASSERT_TRUE(send(++counter, "LoadProgram Other.xml"));
    ASSERT_TRUE(ServerTest::WaitFor([&]() { return !rm.ipoMain.IsLoading() && project.IsRewritePending(); }));
    EXPECT_EQ(rm.ipoMain.GetProgramFile(), "Other.xml");
    EXPECT_EQ(rm.ipoMain.jointOffsets[0], 0.0f);
}

TEST_F(CommandsTest, FileNamesThatLeaveTheDataDirectoryAreRefused) {
    TestSupport::WriteFile(root.File("outside.xml"), WaitingProgram);
    WriteProgram("Waiting.xml");
    ASSERT_TRUE(Cmd(1, "LoadProgram Waiting.xml"));
    ASSERT_TRUE(ServerTest::WaitFor([&]() { return rm.ipoMain.IsProgramLoaded() && !rm.ipoMain.IsLoading(); }));
    Replies();
    log.Clear();

    for (const char* name : {"../../outside.xml", "/etc/passwd", "sub/../../../outside.xml", "..", ""}) {
        for (const char* keyword : {"LoadProgram", "LoadLogicProgram", "DeleteProgramFromFileSystem", "StartAt"}) {
            const std::string args = std::string(keyword) + " " + name + (std::string(keyword) == "StartAt" ? " 0" : "");
            SCOPED_TRACE(args);
            ASSERT_TRUE(Cmd(2, args));
            EXPECT_EQ(Replies(), Bodies{std::string("CMDERROR 2 ") +
                                        (std::string(keyword) == "StartAt" && *name == '\0' ? "invalid command"
                                                                                             : "invalid file name")});
        }
    }
    // Nothing was loaded, deleted or started: the program loaded before is still there.
    EXPECT_FALSE(log.HasStartingWith("IPO: Loading program"));
    EXPECT_EQ(TestSupport::ReadFile(root.File("outside.xml")), WaitingProgram);
    EXPECT_EQ(rm.ipoMain.GetLoadedProgramName(), "Waiting.xml");
    EXPECT_FALSE(rm.ipoLogic.IsProgramLoaded());
}

TEST_F(CommandsTest, LogicProgramIsLoadedAndStartedInRepeatMode) {
    WriteProgram("Logic.xml");
    rm.ipoLogic.replayMode = IPO::ReplaySingle;
    ASSERT_TRUE(Cmd(4, "LoadLogicProgram Logic.xml"));
    // The handler waits for the load itself.
    EXPECT_EQ(Replies(), Bodies{"CMDACK 4"});
    EXPECT_TRUE(log.Has("HXP-Server: Loading logic program Logic.xml"));
    EXPECT_TRUE(rm.ipoLogic.IsProgramLoaded());
    EXPECT_TRUE(rm.ipoLogic.IsReplayRunning());
    EXPECT_EQ(rm.ipoLogic.replayMode.load(), IPO::ReplayRepeat);
    EXPECT_EQ(rm.ipoLogic.name, "LogicIPO");
    EXPECT_TRUE(projects.IsRewritePending());
    ASSERT_TRUE(Cmd(5, "GetLogicProgramInfo"));
    EXPECT_EQ(Replies(), Bodies{"INFO LogicProgramInfo Logic.xml 2 0"});

    ASSERT_TRUE(Cmd(6, "DeleteLogicProgram"));
    EXPECT_EQ(Replies(), Bodies{"CMDACK 6"});
    EXPECT_FALSE(rm.ipoLogic.IsProgramLoaded());

    // Without a project manager there is nothing to load with.
    auto bare = std::make_shared<ComServer>(&rm, nullptr, nullptr, -1);
    std::string frame = "HXPSTART 7 CMD LoadLogicProgram Logic.xml HXPEND";
    ASSERT_TRUE(bare->ParseMessage(frame.data(), static_cast<int>(frame.size())));
    EXPECT_EQ(bare->QueuedBodies(), Bodies{"CMDERROR 7 could not load logic program"});
    EXPECT_TRUE(log.Has("LogicIPO: could not load logic program, no ipo / pmptr"));
}

TEST_F(CommandsTest, StartAtPositionsTheProgramAndARunningProgramRefusesItWithItsReason) {
    WriteProgram("Waiting.xml");
    ASSERT_TRUE(Cmd(1, "StartAt Waiting.xml"));
    EXPECT_EQ(Replies(), Bodies{"CMDERROR 1 invalid command"});

    ASSERT_TRUE(Cmd(2, "StartAt Waiting.xml 1"));
    EXPECT_EQ(Replies(), Bodies{"CMDACK 2"});
    EXPECT_TRUE(log.Has("Start command requested: program 'Waiting.xml', command 1"));
    ASSERT_TRUE(ServerTest::WaitFor([&]() {
        int index = -1;
        std::string name;
        int count = 0;
        rm.ipoMain.GetProgramInformation(&name, &count, &index);
        return name == "Waiting.xml" && index == 1;
    }));

    rm.ipoMain.SetReplayRunning(true);
    EXPECT_FALSE(Cmd(3, "StartAt Waiting.xml 0"));
    EXPECT_TRUE(log.HasError("HXP-Server: Exception while parsing message of type 'StartAt': program is running"));
    EXPECT_EQ(Replies(), Bodies{"CMDERROR 3 program is running"});
}

// ---------------------------------------------------------------- direct moves and camera trigger

TEST_F(CommandsTest, EachMoveKindStartsOneMotionOnTheDirectMoveInterpreter) {
    for (const char* kind : {"Joint", "Cart", "RelativeJoint", "RelativeBase", "RelativeTool"}) {
        SCOPED_TRACE(kind);
        ASSERT_TRUE(Cmd(3, std::string("Move ") + kind + " 1 2 3 4 5 6 0 0 0 20"));
        EXPECT_EQ(Replies(), Bodies{"CMDACK 3"});
        std::string name;
        int count = 0;
        int index = -1;
        rm.ipoDirect.GetProgramInformation(&name, &count, &index);
        EXPECT_EQ(count, 1);
        EXPECT_TRUE(rm.ipoDirect.IsReplayRunning());
        // The robot program is not touched.
        EXPECT_FALSE(rm.ipoMain.IsProgramLoaded());
    }
    ASSERT_TRUE(Cmd(4, "Move Stop"));
    EXPECT_EQ(Replies(), Bodies{"CMDACK 4"});
    EXPECT_FALSE(rm.ipoDirect.IsReplayRunning());
    // Stop without a move is acknowledged too.
    ASSERT_TRUE(Cmd(5, "Move Stop"));
    EXPECT_EQ(Replies(), Bodies{"CMDACK 5"});
}

// A move that could never end, or whose target lies beyond any robot's reach, is refused at once:
// a client waiting for its end event would otherwise wait for ever. The move in progress goes on.
TEST_F(CommandsTest, AMoveWithoutVelocityOrWithAHugeTargetIsRefused) {
    ASSERT_TRUE(Cmd(1, "Move Joint 1 2 3 4 5 6 0 0 0 20"));
    Replies();
    struct Case {
        const char* args;
        const char* reply;
        const char* logLine;
    };
    const Case cases[] = {
        {"Joint 1 2 3 4 5 6 0 0 0 0", "CMDERROR 2 invalid move velocity",
         "ComServer: Move Joint refused, velocity must be above 0"},
        {"Cart 500 0 300 180 0 180 0 0 0 -20", "CMDERROR 2 invalid move velocity",
         "ComServer: Move Cart refused, velocity must be above 0"},
        {"RelativeBase 0 0 10 0 0 0 0 0 0 0.0005", "CMDERROR 2 invalid move velocity",
         "ComServer: Move RelativeBase refused, velocity must be above 0"},
        {"Cart 1e30 0 0 180 0 180 0 0 0 100", "CMDERROR 2 invalid move target",
         "ComServer: Move Cart refused, target beyond any reach"},
        {"RelativeTool 0 -3e38 0 0 0 0 0 0 0 100", "CMDERROR 2 invalid move target",
         "ComServer: Move RelativeTool refused, target beyond any reach"},
        {"Joint 1e7 0 0 0 0 0 0 0 0 50", "CMDERROR 2 invalid move target",
         "ComServer: Move Joint refused, target beyond any reach"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        ASSERT_TRUE(Cmd(2, std::string("Move ") + c.args));
        EXPECT_EQ(Replies(), Bodies{c.reply});
        EXPECT_TRUE(log.HasError(c.logLine));
        EXPECT_TRUE(rm.ipoDirect.IsReplayRunning());
        std::string name;
        int count = 0;
        int index = -1;
        rm.ipoDirect.GetProgramInformation(&name, &count, &index);
        EXPECT_EQ(count, 1);
    }
}

TEST_F(CommandsTest, IncompleteMovesAreRefusedAndLeaveTheMoveInProgress) {
    ASSERT_TRUE(Cmd(1, "Move Joint 1 2 3 4 5 6 0 0 0 20"));
    Replies();
    struct Case {
        const char* args;
        const char* logLine;
    };
    const Case cases[] = {
        {"Joint 1 2 3 4 5 6 0 0 0", "ComServer: Incomplete Move Joint command"},
        {"Cart 1 2 nan 4 5 6 0 0 0 20", "ComServer: Incomplete Move Cart command"},
        {"RelativeJoint 1 2 3 4 5 6 0 0 0 inf", "ComServer: Incomplete Move RelativeJoint command"},
        {"RelativeBase", "ComServer: Incomplete Move RelativeBase command"},
        {"RelativeTool 1 x 3 4 5 6 0 0 0 20", "ComServer: Incomplete Move RelativeTool command"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        ASSERT_TRUE(Cmd(2, std::string("Move ") + c.args));
        EXPECT_EQ(Replies(), Bodies{"CMDERROR 2 incomplete move command"});
        EXPECT_TRUE(log.HasError(c.logLine));
        EXPECT_TRUE(rm.ipoDirect.IsReplayRunning());
    }
    for (const char* kind : {"Fly 1 2 3", "", "joint 1 2 3 4 5 6 0 0 0 20"}) {
        SCOPED_TRACE(kind);
        ASSERT_TRUE(Cmd(6, std::string("Move ") + kind));
        EXPECT_EQ(Replies(), Bodies{"CMDERROR 6 invalid move command"});
    }
    EXPECT_EQ(log.Count("ComServer: Invalid Move command"), 3);
}

class CountingCamera : public Camera::CameraInterface {
public:
    explicit CountingCamera(std::atomic<int>& triggers) : CameraInterface("Test", "Counting"), triggers(triggers) {}
    void Start() override {}
    void Stop() override {}
    bool GetTargetPos(DataTypes::Vector3&, DataTypes::Vector3&, int&) const override { return false; }
    int Read(tinyxml2::XMLElement&) override { return 0; }
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument&) override { return nullptr; }
    void TriggerImageRecognition() override { ++triggers; }
    std::string GetHXPConfigString(int) const override { return std::string(); }
    int GetStatus() const override { return 0; }

private:
    std::atomic<int>& triggers;
};

TEST_F(CommandsTest, TheCameraTriggerReachesTheNamedCameraOnly) {
    ASSERT_TRUE(Cmd(1, "TriggerCamera NoSuchCamera"));
    ASSERT_TRUE(Cmd(2, "TriggerCamera"));
    EXPECT_EQ(Replies(), (Bodies{"CMDERROR 1 could not find camera", "CMDERROR 2 invalid TriggerCamera command"}));

    static std::atomic<int> triggers{0};
    Camera::CameraManager* cameras = Camera::CameraManager::Instance();
    cameras->Add(new CountingCamera(triggers));
    // Camera names are compared without case.
    ASSERT_TRUE(Cmd(3, "TriggerCamera counting"));
    EXPECT_EQ(Replies(), Bodies{"CMDACK 3"});
    EXPECT_EQ(triggers.load(), 1);
    cameras->Remove("Counting");
    EXPECT_FALSE(cameras->Get("Counting"));
}

}  // namespace
