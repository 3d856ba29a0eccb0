#include "controller/Shutdown.h"

#include "common/LogSingleton.h"
#include "controller/CommandRunner.h"
#include "controller/ProjectManager.h"
#include "controller/RobotMaster.h"

#include <atomic>
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

// Writes a queued project and robot file rewrite at once.
void ForceConfigurationWrite(ProjectManager* projectManager, RobotMaster* robotMaster) {
    if (projectManager == nullptr || robotMaster == nullptr) return;
    projectManager->UpdateConfiguration(robotMaster, true);
}

}  // namespace

void Init(ProjectManager* projectManager, RobotMaster* robotMaster) {
    g_ProjectManager = projectManager;
    g_RobotMaster = robotMaster;
}

ProjectManager* GetProjectManager() { return g_ProjectManager.load(); }
RobotMaster* GetRobotMaster() { return g_RobotMaster.load(); }

void ShutdownSystem(bool forceProjectWrite) {
    LogSingleton* log = LogSingleton::instance();
    log->add("Shutting down the system...");
    RobotMaster* robotMaster = g_RobotMaster.load();
    ProjectManager* projectManager = g_ProjectManager.load();
    StopAndResetRobot(robotMaster);
    usleep(50000);
    log->WriteVariablesToStorage();
    if (forceProjectWrite) ForceConfigurationWrite(projectManager, robotMaster);
    // A command that ran but failed (systemctl missing, refused) is a failure
    // too: the system is not going down.
    if (!CommandRunner::Run("systemctl poweroff")) log->addError("Could not execute shutdown");
}

}  // namespace Shutdown
