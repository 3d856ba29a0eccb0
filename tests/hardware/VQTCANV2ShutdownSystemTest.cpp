// The power-off that the main I/O module's shutdown request ends in, and the
// command runner it goes through. No test here reaches a real power-off.

#include "hardware/VQTCANV2TestSupport.h"

#include "controller/CommandRunner.h"
#include "controller/RobotMaster.h"
#include "controller/Shutdown.h"

#include <algorithm>

namespace {

class VQTCANV2ShutdownSystem : public ::testing::Test {
protected:
    TestSupport::ScratchRoot root;
    HardwareTest::LogCapture log;
};

}  // namespace

TEST_F(VQTCANV2ShutdownSystem, RunsPowerOffThroughTheRunner) {
    V2Test::RunnerCapture runner(0);
    // Nothing recorded yet (start-up failed or has not finished): no step touches them.
    EXPECT_EQ(Shutdown::GetRobotMaster(), nullptr);
    EXPECT_EQ(Shutdown::GetProjectManager(), nullptr);
    Shutdown::ShutdownSystem(true);
    Shutdown::ShutdownSystem(false);
    EXPECT_EQ(runner.Commands(), (std::vector<std::string>{"systemctl poweroff", "systemctl poweroff"}));
    EXPECT_EQ(log.Count("Shutting down the system..."), 2);
    EXPECT_EQ(log.Count("Could not execute shutdown"), 0);
}

TEST_F(VQTCANV2ShutdownSystem, StopsAndResetsTheRecordedRobotBeforePowerOff) {
    V2Test::RunnerCapture runner(0);
    auto robotMaster = std::make_unique<RobotMaster>();
    Shutdown::Init(nullptr, robotMaster.get());
    EXPECT_EQ(Shutdown::GetRobotMaster(), robotMaster.get());
    Shutdown::ShutdownSystem(true);  // no project manager recorded: no rewrite
    Shutdown::Init(nullptr, nullptr);

    const auto lines = log.Lines();
    const auto at = [&](const std::string& text) {
        return std::find(lines.begin(), lines.end(), text) - lines.begin();
    };
    const auto shuttingDown = at("Shutting down the system...");
    const auto reset = at("RobotMaster:  Resetting Joints");
    ASSERT_LT(shuttingDown, static_cast<long>(lines.size()));
    ASSERT_LT(reset, static_cast<long>(lines.size()));
    EXPECT_LT(shuttingDown, reset);
    EXPECT_EQ(runner.Commands(), std::vector<std::string>{"systemctl poweroff"});
}

TEST_F(VQTCANV2ShutdownSystem, FailedCommandIsLoggedAndReturns) {
    for (int result : {-1, 1, 127}) {
        log.Clear();
        V2Test::RunnerCapture runner(result);
        Shutdown::ShutdownSystem(true);
        EXPECT_EQ(runner.Commands().size(), 1u);
        EXPECT_EQ(log.Count("Could not execute shutdown"), 1) << result;
    }
}

TEST(VQTCANV2CommandRunner, DefaultRunsThroughTheShellAndReportsTheExitStatus) {
    EXPECT_EQ(CommandRunner::RunWithShell("true"), 0);
    EXPECT_EQ(CommandRunner::RunWithShell("exit 3"), 3);
    EXPECT_EQ(CommandRunner::RunWithShell("kill -9 $$"), -1);  // did not exit normally

    CommandRunner::SetRunFunction(nullptr);
    EXPECT_TRUE(CommandRunner::Run("exit 0"));
    EXPECT_FALSE(CommandRunner::Run("exit 2"));
    EXPECT_FALSE(CommandRunner::Run("/nonexistent-korvella-command"));
    // Back to refusing everything for the rest of the binary.
    CommandRunner::SetRunFunction([](const std::string&) { return -1; });
    EXPECT_FALSE(CommandRunner::Run("true"));
}
