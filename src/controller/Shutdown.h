#pragma once
// Ending the controller's work: powering the computer off or rebooting it on
// request (remote client, PLC input, Modbus coil, the main I/O module on the
// joint bus), and the application stop of the console. The robot master and
// the project manager are recorded once start-up has succeeded; before that
// the sequences skip the steps that need them.

#include <atomic>

class ProjectManager;
class RobotMaster;

namespace Shutdown {

// Recorded by main at the end of a successful start-up.
void Init(ProjectManager* projectManager, RobotMaster* robotMaster);
ProjectManager* GetProjectManager();
RobotMaster* GetRobotMaster();

// Stops and resets the robot, stores the persistent counters, rewrites the
// configuration files at once when forceProjectWrite is set, and runs
// "systemctl poweroff" through the command runner. Returns in every case;
// logs "Could not execute shutdown" when the command fails.
void ShutdownSystem(bool forceProjectWrite);

// The same, ending in "systemctl reboot" ("Could not execute reboot").
void RestartSystem(bool forceProjectWrite);

// Stops and resets the robot and sets stopFlag, which ends the main loop.
void ShutdownApplication(RobotMaster* robotMaster, std::atomic<bool>& stopFlag);

}  // namespace Shutdown
