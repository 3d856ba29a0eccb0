#pragma once
// The remote-control server: the listener on TCP port 3920, the list of
// client connections and which of them is active, and the one entry point
// through which the rest of the system reaches the clients (robot state,
// status lines, interpreter events, changed variables, CAN frames, server
// messages, the cloud state).
//
// Threads: the listener thread accepts clients; each connection runs its own
// thread. The connections mutex guards only the list; fan-outs work on a
// copy. Shutdown stops the listener and every connection and waits for all
// their threads, so nothing of the server runs once it returns.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "PkgProgram/IPO.h"
#include "server/ComServer.h"

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
    static constexpr int DefaultPort = 3920;

    static ComServerManager* Instance();

    ~ComServerManager();
    ComServerManager(const ComServerManager&) = delete;
    ComServerManager& operator=(const ComServerManager&) = delete;

    // Keeps the pointers and registers the callbacks with the robot master's
    // program memory and interpreters, the CAN interface, the log and the cloud client.
    void Init(RobotMaster* robotMaster, ProjectManager* projectManager, Cloud::MqttClient* cloud);
    void Start();
    // Asks the listener to end.
    void Stop();
    // Stops the listener and every connection and waits for their threads.
    void Shutdown();
    bool IsRunning() const { return m_Running.load(); }

    // The port takes effect at the next Start; 0 picks a free port.
    void SetPort(int port) { m_Port = port; }
    int GetPort() const { return m_Port.load(); }
    // The port the listener is bound to; 0 while it is not listening.
    int GetBoundPort() const { return m_BoundPort.load(); }
    int GetMaxClients() const { return m_MaxClients; }

    // The first active connection that is not closing, or an empty pointer.
    std::shared_ptr<ComServer> GetActiveServer();
    std::vector<std::shared_ptr<ComServer>> GetInstances();

    // ---- Main loop, once per pass ----
    // Takes the oldest command the active client posted; false when none waits.
    // Commands a closing connection acknowledged while it was active run first.
    bool TakePendingCommand(int32_t& code, int32_t& parameter, float& value);
    // The same for running it: the main loop calls CommandDone on `from` once it ran,
    // and the connection's commands that act at once wait until then.
    struct TakenCommand {
        ComServer::QueuedCommand command;
        std::shared_ptr<ComServer> from;
    };
    bool TakeCommand(TakenCommand& taken);
    // An operator stop: every connection drops its start-like commands queued before it.
    void CancelQueuedStarts(uint64_t stopSequence);
    void CallResetJogValues();
    void CallSetCurrentPos(const DataTypes::RobotState& state);
    void CallPublishData();
    void CallPublishLogMessage();
    void CallPublishCloudInfo();
    void SendServerMessages();
    // Any thread: a text for every client as a "MESSAGE" line.
    void OnServerMessage(const std::string& text);

    // ---- Callbacks of the rest of the system ----
    static void VariableChangedCallback(std::shared_ptr<const Programs::MemoryPosition> variable);
    static void IpoResultsCallback(HXPEventType event, int command, int program, const std::string& text);
    static bool CANReceiveCallback(int id, int length, const unsigned char* data, long time, timespec stamp);
    void OnVariableChanged(std::shared_ptr<const Programs::MemoryPosition> variable);
    void OnIpoResultsReceived(HXPEventType event, int command, int program, const std::string& text);
    bool OnCANMessageReceived(int id, int length, const unsigned char* data, long time, timespec stamp);

    // ---- Connections ----
    // Removes the connection whose thread ended.
    void OnConnectionClosed(const ComServer* connection);
    // Makes the connection the only active one (true) or passive (false).
    void OnChangeActiveRequest(const ComServer* connection, bool active);
    void StartComServer(int socket);

private:
    ComServerManager() = default;

    void Listener();
    // Joins the threads of connections that have ended.
    void ReapClosed();

    std::atomic<int> m_Port{DefaultPort};
    std::atomic<int> m_BoundPort{0};
    const int32_t m_MaxClients = 5;
    RobotMaster* m_RobotMaster = nullptr;
    ProjectManager* m_ProjectManager = nullptr;
    Cloud::MqttClient* m_Cloud = nullptr;

    // The connection that the next one may take commands from, in the order they count:
    // ended ones still holding acknowledged commands, closing active ones, then the active one.
    std::vector<std::shared_ptr<ComServer>> CommandSources();

    std::mutex m_ConnectionsMutex;  // guards m_Connections, m_Closed and m_Draining
    std::deque<std::shared_ptr<ComServer>> m_Connections;
    std::vector<std::shared_ptr<ComServer>> m_Closed;
    // Ended connections that were active and still hold acknowledged commands.
    std::deque<std::shared_ptr<ComServer>> m_Draining;

    std::mutex m_LifecycleMutex;  // Start, Shutdown one at a time
    std::atomic<bool> m_Running{false};
    std::thread m_ListenerThread;

    std::mutex m_ServerMessagesMutex;  // guards m_ServerMessages
    std::queue<std::string> m_ServerMessages;
    std::atomic<bool> m_HasServerMessages{false};
};
