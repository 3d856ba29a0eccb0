#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "PkgProgram/CommandDIO.h"
#include "PkgProgram/CommandGripper.h"
#include "PkgProgram/CommandSetVelocity.h"
#include "PkgProgram/CommandXml.h"
#include "datatypes/RobotState.h"
#include "support/LogCapture.h"

namespace {

using CommandXml::Read;
using CommandXml::RoundTrip;

TEST(ProgramIOCommands, ConstructorDefaults) {
    CommandDIO dio;
    EXPECT_EQ(dio.className, "CommandDIO");
    EXPECT_EQ(dio.channel, 0);
    EXPECT_FALSE(dio.outputState);
    EXPECT_TRUE(dio.isDigitalOut);
    CommandGripper gripper;
    EXPECT_EQ(gripper.className, "CommandGripper");
    EXPECT_FLOAT_EQ(gripper.gripper[0], 0.0f);
    CommandSetVelocity setVel;
    EXPECT_EQ(setVel.className, "CommandSetVelocity");
    EXPECT_EQ(setVel.joint, 0);
    EXPECT_FLOAT_EQ(setVel.targetVelocity, 90.0f);
    for (const Command* c : {static_cast<const Command*>(&dio), static_cast<const Command*>(&gripper),
                             static_cast<const Command*>(&setVel)}) {
        EXPECT_EQ(c->motionKind, 2);
        EXPECT_TRUE(c->combinable);
    }
}

TEST(ProgramIOCommands, OutputSetsDigitalOutputsAndGlobalSignals) {
    TestSupport::LogCapture log;
    DataTypes::RobotState state;

    CommandDIO out;
    Read(out, R"(<Output Nr="1" Channel="DOut3" State="true"/>)");
    ASSERT_TRUE(out.valid);
    EXPECT_EQ(out.channel, 2);
    EXPECT_TRUE(log.HasNote("   Nr. 1: DOut channel 2 state 1"));
    out.succ[0] = 4;
    EXPECT_EQ(out.Interpolate(10, 100.0f, &state), 4);
    EXPECT_TRUE(state.digitalOutputs[2]);
    EXPECT_EQ(out.ToString(), "Command DIO 2 to 1 - Pre: -42 - Succ: 4 -2 -2");

    state.globalSignals[9] = true;
    CommandDIO signal;
    Read(signal, R"(<Output Nr="2" Channel="gsig10" State="false"/>)");
    ASSERT_TRUE(signal.valid);
    EXPECT_FALSE(signal.isDigitalOut);
    EXPECT_TRUE(log.HasNote("   Nr. 2: GSig channel 9 state 0"));
    signal.Interpolate(10, 100.0f, &state);
    EXPECT_FALSE(state.globalSignals[9]);
    EXPECT_EQ(signal.ToString(), "Command GSig 9 to 0 - Pre: -42 - Succ: -2 -2 -2");

    struct Case {
        const char* channel;
        const char* state;
        bool digitalOut;
        int index;
        bool on;
    };
    const Case edges[] = {
        {"DOut1", "True", true, 0, true},     {"DOut64", "True", true, 63, true},
        {"GSig100", "True", false, 99, true}, {"gsig1", "yes", false, 0, false},
        {"XOut5", "true", true, 4, true},     {"DOut07", "TRUE", true, 6, false},
    };
    for (const Case& c : edges) {
        CommandDIO cmd;
        tinyxml2::XMLDocument doc;
        tinyxml2::XMLElement* element = doc.NewElement("Output");
        element->SetAttribute("Channel", c.channel);
        element->SetAttribute("State", c.state);
        cmd.ReadXML(element, true);
        ASSERT_TRUE(cmd.valid) << c.channel;
        EXPECT_EQ(cmd.isDigitalOut, c.digitalOut) << c.channel;
        EXPECT_EQ(cmd.channel, c.index) << c.channel;
        EXPECT_EQ(cmd.outputState, c.on) << c.channel;
    }
}

TEST(ProgramIOCommands, OutputWithABadChannelDoesNotLoad) {
    const char* channels[] = {"DOut",  "DOut0",  "DOut65", "GSig101", "gsig0",         "DOut-1",
                              "DOutx", "DOut3x", "DOut",   "Dout1.5", "DOut99999999999", "GSig 1 2"};
    for (const char* channel : channels) {
        CommandDIO cmd;
        TestSupport::LogCapture log;
        tinyxml2::XMLDocument doc;
        tinyxml2::XMLElement* element = doc.NewElement("Output");
        element->SetAttribute("Channel", channel);
        element->SetAttribute("State", "true");
        cmd.ReadXML(element, true);
        EXPECT_FALSE(cmd.valid) << channel;
        EXPECT_EQ(log.StartingWith("Error: could not read Digital-Out command: ").size(), 1u) << channel;
    }
    CommandDIO noNumber;
    TestSupport::LogCapture log;
    Read(noNumber, R"(<Output Channel="DOut" State="true"/>)");
    EXPECT_TRUE(log.HasError("Error: could not read Digital-Out command: invalid channel name in DIO command"));

    for (const char* xml : {R"(<Output Channel="DOut1"/>)", R"(<Output State="true"/>)"}) {
        CommandDIO cmd;
        log.Clear();
        Read(cmd, xml);
        EXPECT_FALSE(cmd.valid) << xml;
        EXPECT_TRUE(log.HasError("Could not read CommandDIO, incomplete arguments")) << xml;
    }

    // A direct command with a channel outside the arrays writes nothing.
    DataTypes::RobotState state;
    for (int channel : {-1, 64, std::numeric_limits<int>::max()}) {
        CommandDIO direct;
        direct.channel = channel;
        direct.outputState = true;
        EXPECT_THROW(direct.Interpolate(10, 100.0f, &state), std::out_of_range) << channel;
    }
    CommandDIO signal;
    signal.isDigitalOut = false;
    signal.channel = 99;
    signal.outputState = true;
    signal.Interpolate(10, 100.0f, &state);
    EXPECT_TRUE(state.globalSignals[99]);
    signal.channel = 100;
    EXPECT_THROW(signal.Interpolate(10, 100.0f, &state), std::out_of_range);
}

TEST(ProgramIOCommands, GripperHoldsItsPositionTo0To100) {
    struct Case {
        const char* xml;
        bool valid;
        float position;
    };
    const Case cases[] = {
        {R"(<Gripper Nr="1" Position="42.5"/>)", true, 42.5f},  {R"(<Gripper Nr="1" Position="150"/>)", true, 100.0f},
        {R"(<Gripper Nr="1" Position="-5"/>)", true, 0.0f},     {R"(<Gripper Nr="1"/>)", true, 0.0f},
        {R"(<Gripper Nr="1" Position="nan"/>)", false, 0.0f},   {R"(<Gripper Nr="1" Position="wide"/>)", false, 0.0f},
    };
    for (const Case& c : cases) {
        CommandGripper cmd;
        TestSupport::LogCapture log;
        Read(cmd, c.xml, true);
        EXPECT_EQ(cmd.valid, c.valid) << c.xml;
        EXPECT_FLOAT_EQ(cmd.gripper[0], c.position) << c.xml;
        if (c.valid) {
            EXPECT_EQ(log.StartingWith("   Nr. 1: Gripper Position ").size(), 1u) << c.xml;
        } else {
            EXPECT_TRUE(log.HasError("ERROR - IPO: Could not read gripper command")) << c.xml;
        }
    }
    EXPECT_FLOAT_EQ(CommandGripper(55.0f).gripper[0], 55.0f);
    EXPECT_FLOAT_EQ(CommandGripper(300.0f).gripper[0], 100.0f);
    EXPECT_FLOAT_EQ(CommandGripper(std::nanf("")).gripper[0], 0.0f);

    CommandGripper cmd(30.0f);
    cmd.gripper[1] = 1.0f;
    cmd.gripper[2] = 2.0f;
    cmd.succ[0] = 9;
    DataTypes::RobotState state;
    EXPECT_EQ(cmd.Interpolate(10, 100.0f, &state), 9);
    EXPECT_FLOAT_EQ(state.toolValue[0], 30.0f);
    EXPECT_FLOAT_EQ(state.toolValue[1], 1.0f);
    EXPECT_FLOAT_EQ(state.toolValue[2], 2.0f);
}

TEST(ProgramIOCommands, SetVelocityIsHeldToTheAxisLimit) {
    CommandSetVelocity cmd;
    TestSupport::LogCapture log;
    Read(cmd, R"(<SetVel Nr="4" Joint="1" Vel="500" Acc="20"/>)");
    ASSERT_TRUE(cmd.valid);
    EXPECT_TRUE(log.HasNote("   Nr. 4: SetVelocity joint 1 vel 500.0 acc 20.0"));
    EXPECT_FLOAT_EQ(cmd.acceleration, 20.0f);
    cmd.jointMaxVelocity[7] = 200.0f;
    cmd.succ[0] = 6;
    DataTypes::RobotState state;
    EXPECT_EQ(cmd.Interpolate(10, 100.0f, &state), 6);
    EXPECT_FLOAT_EQ(state.jointVelocitySetPoint[7], 200.0f);
    cmd.targetVelocity = -500.0f;
    cmd.Interpolate(10, 100.0f, &state);
    EXPECT_FLOAT_EQ(state.jointVelocitySetPoint[7], -200.0f);
    cmd.targetVelocity = 50.0f;
    cmd.Interpolate(10, 100.0f, &state);
    EXPECT_FLOAT_EQ(state.jointVelocitySetPoint[7], 50.0f);

    cmd.targetVelocity = std::nanf("");
    cmd.Interpolate(10, 100.0f, &state);
    EXPECT_FLOAT_EQ(state.jointVelocitySetPoint[7], 0.0f);

    state.jointVelocitySetPoint[7] = 1.0f;
    EXPECT_EQ(cmd.InterpolateLogic(10, 100.0f, &state), 6);
    EXPECT_FLOAT_EQ(state.jointVelocitySetPoint[7], 1.0f);

    // A joint number beyond the array stops the command instead of writing past it.
    cmd.joint = 3;
    EXPECT_THROW(cmd.Interpolate(10, 100.0f, &state), std::out_of_range);
    EXPECT_EQ(cmd.ToString(), "VCmd CommandSetVelocity: 6 -2 -2");
}

TEST(ProgramIOCommands, SetVelocityReadingErrors) {
    struct Case {
        const char* xml;
        const char* error;
    };
    const Case cases[] = {
        {R"(<SetVel Nr="1" Joint="3" Vel="5" Acc="5"/>)", "Error: Could not read SetVelocity command: invalid joint number"},
        {R"(<SetVel Nr="1" Joint="-1" Vel="5" Acc="5"/>)", "Error: Could not read SetVelocity command: invalid joint number"},
        {R"(<SetVel Joint="1" Vel="5" Acc="5"/>)", nullptr},
        {R"(<SetVel Nr="1" Vel="5" Acc="5"/>)", nullptr},
        {R"(<SetVel Nr="1" Joint="1" Acc="5"/>)", nullptr},
        {R"(<SetVel Nr="1" Joint="1" Vel="fast" Acc="5"/>)", nullptr},
        {R"(<SetVel Nr="1" Joint="1" Vel="inf" Acc="5"/>)", nullptr},
        {R"(<SetVel Nr="1" Joint="1" Vel="5"/>)", nullptr},
        {R"(<SetVel Nr="1" Joint="1" Vel="5" Acc="nan"/>)", nullptr},
    };
    for (const Case& c : cases) {
        CommandSetVelocity cmd;
        TestSupport::LogCapture log;
        Read(cmd, c.xml, true);
        EXPECT_FALSE(cmd.valid) << c.xml;
        EXPECT_GE(cmd.joint, 0) << c.xml;
        EXPECT_LE(cmd.joint, 2) << c.xml;
        if (c.error != nullptr) {
            EXPECT_TRUE(log.HasError(c.error)) << c.xml;
        } else {
            EXPECT_EQ(log.StartingWith("Error: Could not read SetVelocity command: Could not").size(), 1u) << c.xml;
        }
    }
    // The listing comes even when an attribute was missing.
    CommandSetVelocity missing;
    TestSupport::LogCapture log;
    Read(missing, R"(<SetVel Nr="2" Joint="2" Vel="5"/>)");
    EXPECT_TRUE(log.HasNote("   Nr. 2: SetVelocity joint 2 vel 5.0 acc 30.0"));
}

TEST(ProgramIOCommands, WrittenIOCommandsLoadBackEqual) {
    CommandDIO out;
    out.channel = 63;
    out.outputState = true;
    EXPECT_EQ(CommandXml::Written(out, 1), "<Output Nr=\"1\" Channel=\"DOut64\" State=\"True\" Descr=\"\" />\n");
    auto outBack = RoundTrip(out);
    EXPECT_EQ(outBack->channel, 63);
    EXPECT_TRUE(outBack->isDigitalOut);
    EXPECT_TRUE(outBack->outputState);

    CommandDIO signal;
    signal.channel = 99;
    signal.isDigitalOut = false;
    EXPECT_EQ(CommandXml::Written(signal, 2), "<Output Nr=\"2\" Channel=\"GSig100\" State=\"False\" Descr=\"\" />\n");
    auto signalBack = RoundTrip(signal);
    EXPECT_EQ(signalBack->channel, 99);
    EXPECT_FALSE(signalBack->isDigitalOut);
    EXPECT_FALSE(signalBack->outputState);

    CommandGripper gripper(42.5f);
    EXPECT_EQ(CommandXml::Written(gripper, 3), "<Gripper Nr=\"3\" Position=\"42.5\" Descr=\"\" />\n");
    EXPECT_FLOAT_EQ(RoundTrip(gripper)->gripper[0], 42.5f);
    // One decimal is what the file keeps.
    gripper.gripper[0] = 33.333f;
    EXPECT_NEAR(RoundTrip(gripper)->gripper[0], 33.333f, 0.05f);
    // Values a direct command set outside what a file may hold are written as reading holds them.
    gripper.gripper[0] = std::nanf("");
    EXPECT_EQ(CommandXml::Written(gripper, 3), "<Gripper Nr=\"3\" Position=\"0.0\" Descr=\"\" />\n");
    gripper.gripper[0] = 120.0f;
    EXPECT_FLOAT_EQ(RoundTrip(gripper)->gripper[0], 100.0f);

    CommandSetVelocity setVel;
    setVel.joint = 2;
    setVel.targetVelocity = -12.5f;
    setVel.acceleration = 40.0f;
    testing::internal::CaptureStdout();
    const std::string line = CommandXml::Written(setVel, 4);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(line, "<SetVel Nr=\"4\" Joint=\"2\" Vel=\"-12.5\" Acc=\"40.0\" Descr=\"\" />\n");
    EXPECT_NE(printed.find("****************** Writing Set Velocity*********************"), std::string::npos);
    auto setVelBack = RoundTrip(setVel);
    EXPECT_EQ(setVelBack->joint, 2);
    EXPECT_FLOAT_EQ(setVelBack->targetVelocity, -12.5f);
    EXPECT_FLOAT_EQ(setVelBack->acceleration, 40.0f);
}

}  // namespace
