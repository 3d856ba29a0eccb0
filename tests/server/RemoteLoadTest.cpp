// "CMD LoadProgram" over loopback: a program file whose command is refused
// tells the client which command, where, and why.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/LogSingleton.h"
#include "server/RemoteTestSupport.h"
#include "support/TestSupport.h"

namespace {

class RemoteLoad : public RemoteTest::Remote {
protected:
    void SetUp() override {
        InitRobot(rm);
        StartServer(&rm);
    }
    void WriteProgram(const std::string& name, const std::string& commands) {
        TestSupport::WriteFile(LogSingleton::instance()->get_rootPath() + "Data/Programs/" + name,
                               "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Program>\n" + commands + "</Program>\n");
    }

    RobotMaster rm;
};

TEST_F(RemoteLoad, ARefusedCommandNamesItselfAndItsReason) {
    const char* const comment = "<Comment Nr=\"1\" Descr=\"c\"/>\n";
    struct Case {
        const char* file;
        std::string commands;
        std::string error;  // as the client receives it
    };
    const Case cases[] = {
        {"Times.xml", "<Loop Nr=\"1\" Mode=\"Count\" Times=\"4294967296\"/>\n" + std::string(comment) + "<EndLoop/>\n",
         "EXECERROR 0 0 Invalid command 'Loop' (Nr. 1, line 3) in program: Could not parse attribute 'Times': "
         "4294967296 is out of range"},
        {"Velocity.xml",
         std::string(comment) +
             "<Joint Nr=\"2\" velPercent=\"0\" acc=\"50\" smooth=\"0\" AbortCondition=\"\" a1=\"10\" a2=\"0\"/>\n",
         "EXECERROR 1 0 Invalid command 'Joint' (Nr. 2, line 4) in program: invalid velocity velPercent=\"0\", it "
         "must be above 0"},
    };
    int counter = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        WriteProgram(c.file, c.commands);
        log.Clear();
        ASSERT_TRUE(active->SendFrame(++counter, std::string("CMD LoadProgram ") + c.file));
        // The load runs on the interpreter's loader thread: its error may come before
        // the acknowledgement or after it.
        std::string ack, error;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while ((ack.empty() || error.empty()) && std::chrono::steady_clock::now() < end) {
            const ServerTest::Frame frame = active->Next(std::chrono::seconds(1));
            if (frame.body.rfind("CMDACK", 0) == 0) ack = frame.body;
            if (frame.body.rfind("EXECERROR", 0) == 0) error = frame.body;
        }
        EXPECT_EQ(ack, "CMDACK " + std::to_string(counter));
        EXPECT_EQ(error, c.error);
        const std::string text = c.error.substr(c.error.find("Invalid"));
        EXPECT_TRUE(log.HasError(std::string("Could not parse program ") + c.file + ": " + text));
        EXPECT_FALSE(rm.ipoMain.IsProgramLoaded());
    }
}

}  // namespace
