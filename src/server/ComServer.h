#pragma once
// One remote-control connection: a client of the text protocol on port 3920.
// It holds what the rest of the system takes from a client: its nine jog
// values with the alive watchdog, its one-slot pending command for the main
// loop, and its active or passive role.
//
// The socket, the connection thread, the framing and the command interpreter
// join this class later; until then a connection only keeps these values.

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "datatypes/RobotState.h"

class RobotMaster;
class ProjectManager;
class IPO;
namespace Cloud {
class MqttClient;
}

class ComServer {
public:
    ComServer(RobotMaster* robotMaster, ProjectManager* projectManager, Cloud::MqttClient* cloud, int socket);
    virtual ~ComServer();
    ComServer(const ComServer&) = delete;
    ComServer& operator=(const ComServer&) = delete;

    void StartServer();
    void StopServer();

    void SendToClient(const std::string& body);
    void SendCmdAck(int counter);
    void SendCmdError(int counter, const std::string& text);

    // ---- Jog values and alive watchdog (main thread) ----
    // Counts the watchdog down (at 0 the client is dropped) and copies the nine jog values.
    void GetJogValues(float* out);
    void ResetJogValues();
    // What an "ALIVEJOG" message stores: nine values, watchdog 100.
    void SetJogValues(const float* values);

    // ---- Pending command: one slot, a later post replaces an earlier one ----
    void PostCommand(int32_t code, int32_t parameter, float value);
    // Takes the pending command and clears its code; false when none is pending.
    bool TakePendingCommand(int32_t& code, int32_t& parameter, float& value);

    void SetCurrentPos(const DataTypes::RobotState& state);
    void PublishData();
    void PublishLogMessage();
    void PublishCloudInfo();
    void OnServerMessage(const std::string& text);
    void SendServerMessage();

    bool IsActive() const;
    void SetActive(bool active);
    void SetPassive(bool passive);
    void RequestActivate(bool active);
    void PublishActiveState();
    bool IsRunning() const;
    int GetSocket() const;

    std::function<void(int)> connectionClosedCallback;
    std::function<void(int, bool)> changeActiveRequestCallback;

private:
    mutable std::mutex m_Mutex;  // guards every field below
    int32_t m_PendingCode = 0;
    int32_t m_PendingParameter = 0;
    float m_PendingValue = 0.0f;
    float m_JogValues[9] = {};
    int32_t m_Watchdog = 0;
    DataTypes::RobotState m_CurrentState;
    bool m_StopRequested = false;
    bool m_Running = false;
    bool m_Passive = false;
    int m_Socket;
    std::deque<std::string> m_SendQueue;
    std::deque<std::string> m_ServerMessages;

    RobotMaster* m_RobotMaster;
    ProjectManager* m_ProjectManager;
    Cloud::MqttClient* m_Cloud;
};
