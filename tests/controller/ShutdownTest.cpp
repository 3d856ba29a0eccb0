// Power-off, reboot and the application stop: the sequence before the shell
// command, the counters and the forced project rewrite written before it,
// failures reported, and nothing touched before start-up recorded the robot.
// No test of this binary can reach a real power-off: the command runner
// refuses everything unless a test records the commands.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ProjectManagerTestSupport.h"
#include "common/LogSingleton.h"
#include "controller/CommandRunner.h"
#include "controller/ProjectManager.h"
#include "controller/RobotMaster.h"
#include "controller/Shutdown.h"
#include "support/LogCapture.h"

namespace {

struct RefuseCommands {
    RefuseCommands() {
        CommandRunner::SetRunFunction([](const std::string&) { return -1; });
    }
} g_RefuseCommands;

// Records the commands and what the test wants to know at the moment each runs.
class Runner {
public:
    explicit Runner(int result, std::function<void()> atRun = nullptr) {
        CommandRunner::SetRunFunction([this, result, atRun](const std::string& command) {
            if (atRun) atRun();
            std::lock_guard<std::mutex> lock(mutex);
            commands.push_back(command);
            return result;
        });
    }
    ~Runner() {
        CommandRunner::SetRunFunction([](const std::string&) { return -1; });
    }
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;
    std::vector<std::string> Commands() const {
        std::lock_guard<std::mutex> lock(mutex);
        return commands;
    }

private:
    mutable std::mutex mutex;
    std::vector<std::string> commands;
};

std::string CountersPath() { return LogSingleton::instance()->get_rootPath() + "variableStorage.xml"; }

bool Exists(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

struct EndCase {
    const char* name;
    void (*run)(bool force);
    const char* startText;
    const char* command;
    const char* failureText;
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

const EndCase kPowerOff{"PowerOff", &Shutdown::ShutdownSystem, "Shutting down the system...", "systemctl poweroff",
                        "Could not execute shutdown"};
const EndCase kReboot{"Reboot", &Shutdown::RestartSystem, "Rebooting the system...", "systemctl reboot",
                      "Could not execute reboot"};

class ShutdownSequence : public ::testing::TestWithParam<EndCase> {
protected:
    void SetUp() override {
        ProjectManagerTest::ResetGlobalSettings();
        Shutdown::Init(nullptr, nullptr);
        std::remove(CountersPath().c_str());
    }
    void TearDown() override {
        Shutdown::Init(nullptr, nullptr);
        std::remove(CountersPath().c_str());
        ProjectManagerTest::ResetGlobalSettings();
    }
    TestSupport::LogCapture log;
};

TEST_P(ShutdownSequence, BeforeStartUpRecordedTheRobotOnlyTheCommandRuns) {
    const EndCase& c = GetParam();
    Runner runner(0);
    c.run(true);
    c.run(false);
    EXPECT_EQ(runner.Commands(), (std::vector<std::string>{c.command, c.command}));
    EXPECT_EQ(log.Count(c.startText), 2);
    EXPECT_EQ(log.Count("RobotMaster:  Resetting Joints"), 0);
    EXPECT_FALSE(log.HasError(c.failureText));
    // Counters that were never read are not written over.
    EXPECT_FALSE(Exists(CountersPath()));
}

TEST_P(ShutdownSequence, StopsResetsAndStoresEverythingBeforeTheCommand) {
    const EndCase& c = GetParam();
    ProjectManagerTest::ProjectRoot root;
    ProjectManagerTest::FakeTarget target;
    ProjectManager pm;
    pm.SetRootPath(root.Path());
    ASSERT_EQ(pm.OpenProject(&target), 0);
    RobotMaster rm;
    // A program at a command: the stop records its reason.
    rm.ipoMain.lastStopReason = IPO::USER;
    rm.ipoMain.currentCommand = 0;
    Shutdown::Init(&pm, &rm);

    // Counters written a moment ago: the 300 s rule would skip the next write.
    LogSingleton::instance()->ForceWriteVariablesToStorage();
    std::remove(CountersPath().c_str());
    pm.QueueUpdateProjectFile();

    bool countersWritten = false;
    bool rewritePending = true;
    Runner runner(0, [&]() {
        countersWritten = Exists(CountersPath());
        rewritePending = pm.IsRewritePending();
    });
    c.run(true);
    EXPECT_EQ(runner.Commands(), std::vector<std::string>{c.command});
    EXPECT_TRUE(countersWritten) << "counters stored before the command";
    EXPECT_FALSE(rewritePending) << "the queued project rewrite is forced before the command";
    EXPECT_TRUE(log.HasNote("ProjectManager: Project file " + root.ProjectPath() + " updated"));
    EXPECT_EQ(rm.ipoMain.lastStopReason, IPO::SHUTDOWN);

    EXPECT_EQ(log.Count(c.startText), 1);
    EXPECT_EQ(log.Count("RobotMaster:  Resetting Joints"), 1);
    EXPECT_EQ(log.Count("RobotMaster: Resetting DOuts on reset"), 1);

    // Without force a queued rewrite stays queued.
    pm.QueueUpdateProjectFile();
    c.run(false);
    EXPECT_TRUE(pm.IsRewritePending());
}

TEST_P(ShutdownSequence, ACommandThatFailsIsReportedAndTheCallReturns) {
    const EndCase& c = GetParam();
    for (int result : {-1, 1, 127}) {
        log.Clear();
        Runner runner(result);
        c.run(false);
        EXPECT_EQ(runner.Commands().size(), 1u) << result;
        EXPECT_TRUE(log.HasError(c.failureText)) << result;
    }
}

INSTANTIATE_TEST_SUITE_P(Ends, ShutdownSequence, ::testing::Values(kPowerOff, kReboot),
                         [](const ::testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

TEST(ShutdownApplication, StopsAndResetsTheRobotThenEndsTheMainLoop) {
    TestSupport::LogCapture log;
    Runner runner(0);
    RobotMaster rm;
    std::atomic<bool> stop{false};
    rm.ipoMain.lastStopReason = IPO::USER;
    rm.ipoMain.currentCommand = 0;
    Shutdown::ShutdownApplication(&rm, stop);
    EXPECT_TRUE(stop.load());
    EXPECT_EQ(rm.ipoMain.lastStopReason, IPO::SHUTDOWN);
    EXPECT_TRUE(log.HasNote("Shutdown: ... closing down"));
    EXPECT_TRUE(log.HasNote("RobotMaster:  Resetting Joints"));
    EXPECT_TRUE(log.HasNote("Shutdown done"));
    EXPECT_TRUE(runner.Commands().empty()) << "the application stop runs no command";

    std::atomic<bool> stopWithout{false};
    Shutdown::ShutdownApplication(nullptr, stopWithout);
    EXPECT_TRUE(stopWithout.load());
}

}  // namespace
