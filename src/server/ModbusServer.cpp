#include "server/ModbusServer.h"

#include "common/LogSingleton.h"
#include "controller/ProjectManager.h"

namespace Modbus {

ModbusServer* ModbusServer::Instance() {
    static ModbusServer instance;
    return &instance;
}

void ModbusServer::Init(RobotMaster* robotMaster, ProjectManager* projectManager) {
    m_RobotMaster = robotMaster;
    m_ProjectManager = projectManager;
}

void ModbusServer::SetSoftwareInfo(int major, int minor, int patch) {
    m_Major = major;
    m_Minor = minor;
    m_Patch = patch;
}

void ModbusServer::SetPort(int port) {
    m_Port = port;
    LogSingleton::instance()->addFormat("Modbus: Port set to %d", port);
}

void ModbusServer::SetMaxConnections(unsigned int count) {
    m_MaxConnections = count;
    LogSingleton::instance()->addFormat("Modbus: Max connections set to %d", count);
}

void ModbusServer::Start() {
    // The listener and its register image join here.
}

void ModbusServer::Stop() {}

void ModbusServer::Restart() { Start(); }

bool ModbusServer::GetExternalJointVelocity(int /*axis*/, float& velocity) {
    velocity = 0.0f;
    return false;  // no register image yet
}

void ModbusServer::ResetExternalJointVelocities() {}

void ModbusServer::SaveProject() {
    if (m_ProjectManager != nullptr) m_ProjectManager->QueueUpdateProjectFile();
}

}  // namespace Modbus
