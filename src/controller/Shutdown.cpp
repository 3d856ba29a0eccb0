#include "controller/Shutdown.h"

#include "common/LogSingleton.h"
#include "controller/CommandRunner.h"
#include "controller/ProjectManager.h"
#include "controller/RobotMaster.h"

#include <unistd.h>

namespace Shutdown {

namespace {

// Set once on the main thread, read by any thread that asks for a shutdown.
std::atomic<ProjectManager*> g_ProjectManager{nullptr};
std::atomic<RobotMaster*> g_RobotMaster{nullptr};

void StopAndResetRobot(RobotMaster* robotMaster) {
    if (robotMaster == nullptr) return;
    robotMaster->StopProgram(IPO::SHUTDOWN);
    robotMaster->Reset();
}

void EndSystem(const char* startText, const char* command, const char* failureText, bool forceProjectWrite) {
    LogSingleton* log = LogSingleton::instance();
    log->add(startText);
    RobotMaster* robotMaster = g_RobotMaster.load();
    ProjectManager* projectManager = g_ProjectManager.load();
    StopAndResetRobot(robotMaster);
    usleep(50000);
    // The counters are read at start-up before Init; before that, writing
    // them would replace the stored ones with what this run counted alone.
    // Once read, they are written whatever the time since the last write.
    if (robotMaster != nullptr) log->ForceWriteVariablesToStorage();
    if (forceProjectWrite && projectManager != nullptr && robotMaster != nullptr)
        projectManager->UpdateConfiguration(robotMaster, true);
    // A command that ran but failed (systemctl missing, refused) is a failure
    // too: the system is not going down.
    if (!CommandRunner::Run(command)) log->addError(failureText);
}

}  // namespace

void Init(ProjectManager* projectManager, RobotMaster* robotMaster) {
    g_ProjectManager = projectManager;
    g_RobotMaster = robotMaster;
}

ProjectManager* GetProjectManager() { return g_ProjectManager.load(); }
RobotMaster* GetRobotMaster() { return g_RobotMaster.load(); }

void ShutdownSystem(bool forceProjectWrite) {
    EndSystem("Shutting down the system...", "systemctl poweroff", "Could not execute shutdown", forceProjectWrite);
}

void RestartSystem(bool forceProjectWrite) {
    EndSystem("Rebooting the system...", "systemctl reboot", "Could not execute reboot", forceProjectWrite);
}

void ShutdownApplication(RobotMaster* robotMaster, std::atomic<bool>& stopFlag) {
    LogSingleton* log = LogSingleton::instance();
    log->add("Shutdown: ... closing down");
    StopAndResetRobot(robotMaster);
    usleep(50000);
    log->add("Shutdown done");
    stopFlag = true;
}

}  // namespace Shutdown
