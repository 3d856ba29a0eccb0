#pragma once
// The remote-control server: the listener on TCP port 3920 and the list of
// client connections, with the calls the main loop makes once per pass.
//
// The listener, the callbacks it registers and the fan-out to the clients
// join this class later; until then it accepts no client, so there is never
// an active connection.

#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <vector>

#include "PkgProgram/IPO.h"

class ComServer;
class RobotMaster;
class ProjectManager;
namespace Cloud {
class MqttClient;
}
namespace DataTypes {
class RobotState;
}
namespace Programs {
class MemoryPosition;
}

class ComServerManager {
public:
    static ComServerManager* Instance();

    ~ComServerManager();
    ComServerManager(const ComServerManager&) = delete;
    ComServerManager& operator=(const ComServerManager&) = delete;

    void Init(RobotMaster* robotMaster, ProjectManager* projectManager, Cloud::MqttClient* cloud);
    void Start();
    void Stop();

    // The first active connection, or an empty pointer.
    std::shared_ptr<ComServer> GetActiveServer();
    std::vector<std::shared_ptr<ComServer>> GetInstances();

    void CallResetJogValues();
    void CallSetCurrentPos(const DataTypes::RobotState& state);
    void CallPublishData();
    void CallPublishLogMessage();
    void CallPublishCloudInfo();
    void SendServerMessages();
    void OnServerMessage(const std::string& text);

    static void VariableChangedCallback(std::shared_ptr<const Programs::MemoryPosition> variable);
    static void IpoResultsCallback(HXPEventType event, int command, int program, const std::string& text);
    static bool CANReceiveCallback(int id, int length, const unsigned char* data, long time, timespec stamp);

    int GetPort() const { return m_Port; }
    int GetMaxClients() const { return m_MaxClients; }

private:
    ComServerManager() = default;

    int32_t m_Port = 3920;
    int32_t m_MaxClients = 5;
    RobotMaster* m_RobotMaster = nullptr;
    ProjectManager* m_ProjectManager = nullptr;
    Cloud::MqttClient* m_Cloud = nullptr;
    std::deque<std::shared_ptr<ComServer>> m_Connections;
    std::mutex m_ConnectionsMutex;
    bool m_Running = false;
    std::queue<std::string> m_ServerMessages;
    std::mutex m_ServerMessagesMutex;
};
