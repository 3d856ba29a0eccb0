#pragma once
// The Modbus TCP server for PLCs: register image of the robot's state and
// commands. The listener, the register image and its mapping join this class
// later; until then it keeps its settings, has no register image and starts
// nothing.

#include <atomic>
#include <cstdint>

class RobotMaster;
class ProjectManager;

namespace Modbus {

class ModbusServer {
public:
    static ModbusServer* Instance();

    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    void Init(RobotMaster* robotMaster, ProjectManager* projectManager);
    void SetSoftwareInfo(int major, int minor, int patch);
    void SetPort(int port);
    int GetPort() const { return m_Port.load(); }
    void SetMaxConnections(unsigned int count);
    unsigned GetMaxConnections() const { return m_MaxConnections.load(); }

    void Start();
    void Stop();
    void Restart();
    bool IsRunning() const { return m_Running.load(); }

    // Velocity of external axis 0..2 held in its two holding registers, times
    // 0.1; false (and 0) without a register image, for another axis, or when
    // both registers are 0.
    bool GetExternalJointVelocity(int axis, float& velocity);
    void ResetExternalJointVelocities();
    // Asks the project manager for a project-file rewrite.
    void SaveProject();

    int GetMajor() const { return m_Major; }
    int GetMinor() const { return m_Minor; }
    int GetPatch() const { return m_Patch; }

private:
    ModbusServer() = default;

    std::atomic<int> m_Port{502};
    std::atomic<unsigned> m_MaxConnections{5};
    std::atomic<bool> m_Running{false};
    RobotMaster* m_RobotMaster = nullptr;
    ProjectManager* m_ProjectManager = nullptr;
    int m_Major = 980;
    int m_Minor = 0;
    int m_Patch = 0;
};

}  // namespace Modbus
