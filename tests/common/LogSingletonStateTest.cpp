// Process-wide state, settings and the display and server message channels.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CommonTestHelpers.h"
#include "common/LogSingleton.h"
#include "common/PLCInterfaceSettings.h"
#include "common/SoftwareVersion.h"

using CommonTest::FakeClock;

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

// Empties the display queue by letting every message's time run out.
void DrainDisplay(FakeClock& clock) {
    std::string message;
    for (int i = 0; i < 100 && Log()->DisplayGetMessage(&message); ++i) clock.AdvanceMS(501);
}

// Collects what the server-message callback receives while it lives.
class ServerMessages {
public:
    ServerMessages() {
        Log()->serverMessageCallback = [this](const std::string& message) { m_Messages.push_back(message); };
    }
    ~ServerMessages() { Log()->serverMessageCallback = nullptr; }
    const std::vector<std::string>& Messages() const { return m_Messages; }

private:
    std::vector<std::string> m_Messages;
};

}  // namespace

// Other tests put back what they change.
TEST(ProcessState, DefaultsBeforeTheProjectIsRead) {
    EXPECT_EQ(Log()->get_robotType(), "");
    EXPECT_EQ(Log()->get_robotName(), "");
    EXPECT_EQ(Log()->get_robotGripper(), "");
    EXPECT_EQ(Log()->get_softwareVersion(), "");
    EXPECT_EQ(Log()->get_seriousFailReason(), "na");
    EXPECT_EQ(Log()->get_opMode(), opModeNormal);
    EXPECT_TRUE(Log()->get_pathGeneratorFlagOptimize());
    EXPECT_EQ(Log()->get_pathGeneratorSlicingMS(), 50);
    EXPECT_FALSE(Log()->Active);
    EXPECT_FLOAT_EQ(Log()->ManualMaxVelMMPerSec, 250.0f);
    EXPECT_EQ(Log()->DInEnableMotionInManualMode, -1);
    EXPECT_EQ(Log()->DInOpModeAuto, -1);
    std::string name = "untouched";
    EXPECT_FALSE(Log()->DisplayGetFilename(&name));
    EXPECT_EQ(name, "untouched");
}

TEST(ProcessState, PLCInterfaceRecordDefaultsAndIsSharedByReference) {
    const PLCInterfaceSettings defaults;
    EXPECT_FALSE(defaults.Active);
    EXPECT_FALSE(defaults.AutoConnect);
    for (int32_t number : {defaults.RequestReferenceNumber, defaults.EnableNumber, defaults.PlayNumber,
                           defaults.PauseNumber, defaults.StartMissionNumber, defaults.ShutdownNumber,
                           defaults.AltStartNumber, defaults.AltStopNumber, defaults.AddJointNumber,
                           defaults.AddLinearNumber, defaults.NoFaultNumber, defaults.RobotIsReferenced,
                           defaults.MissionRunningNumber, defaults.FaultNumber, defaults.ProgramNotRunningNumber,
                           defaults.ProgramRunningNumber}) {
        EXPECT_EQ(number, -1);
    }
    for (int step = 0; step < PLCInterfaceSettings::RefSteps; ++step) {
        EXPECT_EQ(defaults.JointToRef(step), -1) << step;
        EXPECT_EQ(defaults.RefDelay(step), 5) << step;
    }
    EXPECT_EQ(defaults.JointToRef(9), -1);
    EXPECT_EQ(defaults.RefDelay(-1), -1);

    PLCInterfaceSettings& plc = Log()->get_plcInterfaceNr();
    const PLCInterfaceSettings saved = plc;
    plc.PlayNumber = 3;
    plc.JointToRef4 = 2;
    plc.RefDelay8 = 11;
    EXPECT_EQ(Log()->get_plcInterfaceNr().PlayNumber, 3);
    EXPECT_EQ(Log()->get_plcInterfaceNr().JointToRef(4), 2);
    EXPECT_EQ(Log()->get_plcInterfaceNr().RefDelay(8), 11);
    plc = saved;
}

TEST(ProcessState, SoftwareVersionAccessors) {
    EXPECT_EQ(KorvellaSoftwareVersion.ToString(), "R980-13-039");
    EXPECT_EQ((SoftwareVersion{1, 2, 3}).ToString(), "R1-2-003");

    Log()->set_softwareVersion(KorvellaSoftwareVersion.ToString(), KorvellaSoftwareVersion);
    EXPECT_EQ(Log()->get_softwareVersion(), "R980-13-039");
    // Program headers carry the number after "R980-"; the last number is 39.
    EXPECT_EQ(Log()->get_softwareVersionMajor(), 13);
    EXPECT_EQ(Log()->get_softwreVersionMinor(), 39);
    EXPECT_EQ(Log()->get_softwareVersionRecord(), KorvellaSoftwareVersion);
    Log()->set_softwareVersion("", SoftwareVersion{});
}

TEST(ProcessState, SettingsRoundTrip) {
    Log()->set_robotName("Cell 4");
    Log()->set_robotType("Arms/SixAxis");
    Log()->set_robotGripper("Gripper.xml");
    Log()->set_pathGeneratorFlagOptimize(false);
    Log()->set_pathGeneratorSlicingMS(20);
    Log()->set_opMode(opModeCANBridge);
    EXPECT_EQ(Log()->get_robotName(), "Cell 4");
    EXPECT_EQ(Log()->get_robotType(), "Arms/SixAxis");
    EXPECT_EQ(Log()->get_robotGripper(), "Gripper.xml");
    EXPECT_FALSE(Log()->get_pathGeneratorFlagOptimize());
    EXPECT_EQ(Log()->get_pathGeneratorSlicingMS(), 20);
    EXPECT_EQ(Log()->get_opMode(), opModeCANBridge);

    Log()->set_robotName("");
    Log()->set_robotType("");
    Log()->set_robotGripper("");
    Log()->set_pathGeneratorFlagOptimize(true);
    Log()->set_pathGeneratorSlicingMS(50);
    Log()->set_opMode(opModeNormal);
}

TEST(ProcessState, SeriousFailReasonIsAnnouncedUnlessEmpty) {
    ServerMessages server;
    Log()->set_seriousFailReason("1 VQTFrontend.xml missing");
    EXPECT_EQ(Log()->get_seriousFailReason(), "1 VQTFrontend.xml missing");
    // Setting the reason does not change the operation mode.
    EXPECT_EQ(Log()->get_opMode(), opModeNormal);

    Log()->set_seriousFailReason("");
    EXPECT_EQ(Log()->get_seriousFailReason(), "");
    ASSERT_EQ(server.Messages().size(), 1u);
    EXPECT_EQ(server.Messages()[0], "Serious Failure 1 VQTFrontend.xml missing");
    Log()->set_seriousFailReason("na");
}

TEST(ProcessState, ServerMessagesWithoutCallbackStillReachTheDisplay) {
    FakeClock clock;
    DrainDisplay(clock);
    Log()->ServerSetMessage("nobody listens");  // no callback installed: nothing happens
    Log()->DisplayAndServerSetMessage("early message");
    std::string message;
    ASSERT_TRUE(Log()->DisplayGetMessage(&message));
    EXPECT_EQ(message, "early message");

    ServerMessages server;
    Log()->ServerSetMessage("server only");
    Log()->DisplayAndServerSetMessage("both");
    EXPECT_EQ(server.Messages(), (std::vector<std::string>{"server only", "both"}));
    DrainDisplay(clock);
}

TEST(DisplayQueue, TwelveMessagesShowThreeToTwelveEachFor500ms) {
    FakeClock clock;
    DrainDisplay(clock);
    for (int i = 1; i <= 12; ++i) Log()->DisplayAndServerSetMessage("message " + std::to_string(i));

    std::string message;
    for (int i = 3; i <= 12; ++i) {
        const std::string expected = "message " + std::to_string(i);
        ASSERT_TRUE(Log()->DisplayGetMessage(&message));  // first hand-out starts its time
        EXPECT_EQ(message, expected);
        clock.AdvanceMS(500);
        ASSERT_TRUE(Log()->DisplayGetMessage(&message));  // 500 ms: still at the head
        EXPECT_EQ(message, expected);
        clock.AdvanceMS(1);
        ASSERT_TRUE(Log()->DisplayGetMessage(&message));  // over 500 ms: handed out and removed
        EXPECT_EQ(message, expected);
    }
    message = "unchanged";
    EXPECT_FALSE(Log()->DisplayGetMessage(&message));
    EXPECT_EQ(message, "unchanged");
}

TEST(DisplayQueue, MessageAfterIdleQueueIsShownForItsFull500ms) {
    FakeClock clock;
    DrainDisplay(clock);
    clock.AdvanceMS(10000);
    Log()->DisplayAndServerSetMessage("late");

    std::string message;
    ASSERT_TRUE(Log()->DisplayGetMessage(&message));
    EXPECT_EQ(message, "late");
    clock.AdvanceMS(300);
    ASSERT_TRUE(Log()->DisplayGetMessage(&message));
    EXPECT_EQ(message, "late");
    clock.AdvanceMS(201);
    ASSERT_TRUE(Log()->DisplayGetMessage(&message));
    EXPECT_EQ(message, "late");
    EXPECT_FALSE(Log()->DisplayGetMessage(&message));
}

TEST(DisplayQueue, DroppedHeadGivesTheNextMessageItsOwnTime) {
    FakeClock clock;
    DrainDisplay(clock);
    for (int i = 1; i <= 10; ++i) Log()->DisplayAndServerSetMessage("m" + std::to_string(i));
    std::string message;
    ASSERT_TRUE(Log()->DisplayGetMessage(&message));
    EXPECT_EQ(message, "m1");
    clock.AdvanceMS(600);
    Log()->DisplayAndServerSetMessage("m11");  // drops m1 while it is shown

    ASSERT_TRUE(Log()->DisplayGetMessage(&message));
    EXPECT_EQ(message, "m2");
    ASSERT_TRUE(Log()->DisplayGetMessage(&message));
    EXPECT_EQ(message, "m2");  // m2's time starts now, not at m1's hand-out
    DrainDisplay(clock);
}

TEST(DisplayQueue, FilenameIsHandedOutOncePerChange) {
    std::string name;
    Log()->DisplaySetFilename("prog1.xml");
    ASSERT_TRUE(Log()->DisplayGetFilename(&name));
    EXPECT_EQ(name, "prog1.xml");
    name = "unchanged";
    EXPECT_FALSE(Log()->DisplayGetFilename(&name));
    EXPECT_EQ(name, "unchanged");
    Log()->DisplaySetFilename("prog2.xml");
    ASSERT_TRUE(Log()->DisplayGetFilename(&name));
    EXPECT_EQ(name, "prog2.xml");
    EXPECT_FALSE(Log()->DisplayGetFilename(&name));
}

TEST(DisplayQueue, ConcurrentWritersAndPollersSeeWholeMessages) {
    FakeClock clock;
    DrainDisplay(clock);
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread poller([&] {
        std::string message;
        std::string name;
        while (!done.load()) {
            if (Log()->DisplayGetMessage(&message) && message.rfind("display message ", 0) != 0) ++bad;
            if (Log()->DisplayGetFilename(&name) && name.rfind("file ", 0) != 0) ++bad;
            const std::string reason = Log()->get_seriousFailReason();
            if (reason != "na" && reason.rfind("reason ", 0) != 0) ++bad;
            clock.AdvanceMS(1);
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 2000; ++i) {
                Log()->DisplayAndServerSetMessage("display message " + std::to_string(t) + " " + std::to_string(i));
                Log()->DisplaySetFilename("file " + std::string(static_cast<std::size_t>(i % 40), 'f'));
                Log()->set_seriousFailReason("reason " + std::string(static_cast<std::size_t>(i % 50), 'r'));
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    done.store(true);
    poller.join();
    EXPECT_EQ(bad.load(), 0);
    Log()->set_seriousFailReason("na");
    DrainDisplay(clock);
    std::string name;
    Log()->DisplayGetFilename(&name);
}

TEST(ProcessState, IPAddressesFromIfconfigOutput) {
    const std::string output =
        "eth0      Link encap:Ethernet  HWaddr 00:11:22:33:44:55\n"
        "          inet addr:192.168.1.20  Bcast:192.168.1.255  Mask:255.255.255.0\n"
        "          inet6 addr: fe80::211:22ff:fe33:4455/64 Scope:Link\n"
        "lo        Link encap:Local Loopback\n"
        "          inet addr:127.0.0.1  Mask:255.0.0.0\n"
        "wlan0: flags=4163<UP>  mtu 1500\n"
        "        inet 10.0.0.5  netmask 255.255.255.0\n"  // no colon after "inet ": skipped
        "usb0      inet addr:172.16.0.1\n";
    EXPECT_EQ(LogSingleton::ParseIPAddresses(output), "Running on IP address: 192.168.1.20   172.16.0.1   ");
    EXPECT_EQ(LogSingleton::ParseIPAddresses(""), "Running on IP address: ");

    std::string many;
    for (int i = 0; i < 100; ++i) many += "inet addr:10.0.0." + std::to_string(i) + " Mask\n";
    EXPECT_EQ(LogSingleton::ParseIPAddresses(many).size(), 511u);
}
