#pragma once
// Powering the controller off on request (remote client, PLC input, Modbus
// coil, the main I/O module on the joint bus). The robot master and the
// project manager are recorded once start-up has succeeded; before that the
// sequence skips the steps that need them.

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

}  // namespace Shutdown
