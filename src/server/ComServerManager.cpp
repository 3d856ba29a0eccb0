#include "server/ComServerManager.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cloud/MqttClient.h"
#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "hardware/HardwareProtocol.h"
#include "server/ComServer.h"

namespace {

// How often the listener looks at its stop flag while no client connects.
constexpr int ListenerPollMs = 100;

}  // namespace

ComServerManager* ComServerManager::Instance() {
    // Built on first use, thread-safely; stopped and joined at the latest when the process ends.
    static ComServerManager instance;
    return &instance;
}

ComServerManager::~ComServerManager() { Shutdown(); }

void ComServerManager::Init(RobotMaster* robotMaster, ProjectManager* projectManager, Cloud::MqttClient* cloud) {
    m_RobotMaster = robotMaster;
    m_ProjectManager = projectManager;
    m_Cloud = cloud;
    LogSingleton* log = LogSingleton::instance();
    if (robotMaster != nullptr) {
        robotMaster->programMemory.SetChangeCallback(&ComServerManager::VariableChangedCallback);
        robotMaster->ipoMain.hxpCallback = &ComServerManager::IpoResultsCallback;
        robotMaster->ipoLogic.hxpCallback = &ComServerManager::IpoResultsCallback;
        robotMaster->ipoDirect.hxpCallback = &ComServerManager::IpoResultsCallback;
        // In serious-fail mode the bus frames are never offered to the clients.
        Hardware::HardwareProtocol* hardware = robotMaster->GetHardware();
        if (log->get_opMode() != opModeSeriousFail && hardware != nullptr)
            hardware->canInterface.monitorCallback = &ComServerManager::CANReceiveCallback;
    }
    // An operator stop from any source clears the clients' jog values and their queued starts.
    if (robotMaster != nullptr) {
        robotMaster->AddOperatorStopListener([this](uint64_t sequence) {
            CallResetJogValues();
            CancelQueuedStarts(sequence);
        });
    }
    log->serverMessageCallback = [](const std::string& text) { ComServerManager::Instance()->OnServerMessage(text); };
    if (cloud != nullptr) cloud->cloudInfoCallback = []() { ComServerManager::Instance()->CallPublishCloudInfo(); };
}

void ComServerManager::Start() {
    LogSingleton* log = LogSingleton::instance();
    std::lock_guard<std::mutex> lifecycle(m_LifecycleMutex);
    if (m_Running) {
        log->add("ComServerManager: Can not start, already running");
        return;
    }
    // A listener that ended on its own (failed bind) is collected first.
    if (m_ListenerThread.joinable()) m_ListenerThread.join();
    log->add("ComServerManager: Starting");
    m_Running = true;
    m_ListenerThread = std::thread(&ComServerManager::Listener, this);
}

void ComServerManager::Stop() {
    LogSingleton* log = LogSingleton::instance();
    if (m_Running.exchange(false))
        log->add("ComServerManager: Stopping");
    else
        log->add("ComServerManager: Can not stop, not running");
}

void ComServerManager::Shutdown() {
    std::lock_guard<std::mutex> lifecycle(m_LifecycleMutex);
    if (m_Running) Stop();
    if (m_ListenerThread.joinable()) m_ListenerThread.join();

    std::vector<std::shared_ptr<ComServer>> connections;
    {
        std::lock_guard<std::mutex> lock(m_ConnectionsMutex);
        connections.assign(m_Connections.begin(), m_Connections.end());
    }
    for (auto& connection : connections) connection->StopServer();
    for (auto& connection : connections) connection->Join();
    {
        std::lock_guard<std::mutex> lock(m_ConnectionsMutex);
        m_Connections.clear();
        m_Draining.clear();
    }
    ReapClosed();
}

void ComServerManager::ReapClosed() {
    std::vector<std::shared_ptr<ComServer>> closed;
    {
        std::lock_guard<std::mutex> lock(m_ConnectionsMutex);
        closed.swap(m_Closed);
    }
    for (auto& connection : closed) connection->Join();
}

// ---------------------------------------------------------------- listener

void ComServerManager::Listener() {
    LogSingleton* log = LogSingleton::instance();
    const int port = m_Port.load();
    log->addFormat("ComServerManager: port %d, max %d clients", port, m_MaxClients);

    const int listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listening < 0) log->addError("ComServerManager: Error opening socket");
    const int reuse = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (listening < 0 || setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) != 0 ||
        bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(listening, 5) != 0) {
        const std::string reason = std::strerror(errno);
        log->addError("ComServerManager: error on binding socket");
        std::printf("%s\n", reason.c_str());
        std::fflush(stdout);
        if (listening >= 0) close(listening);
        // Not listening, so not running: a later Start may try again.
        m_Running = false;
        return;
    }
    sockaddr_in bound{};
    socklen_t boundLength = sizeof(bound);
    if (getsockname(listening, reinterpret_cast<sockaddr*>(&bound), &boundLength) == 0)
        m_BoundPort = ntohs(bound.sin_port);

    bool waitingLogged = false;
    while (m_Running) {
        ReapClosed();
        std::size_t count = 0;
        {
            std::lock_guard<std::mutex> lock(m_ConnectionsMutex);
            count = m_Connections.size();
        }
        if (!waitingLogged && count < static_cast<std::size_t>(m_MaxClients)) {
            log->add("ComServerManager: Waiting for client");
            waitingLogged = true;
        }
        pollfd entry{listening, POLLIN, 0};
        if (poll(&entry, 1, ListenerPollMs) <= 0) continue;
        const int client = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            log->addError("ComServerManager: Error on accept");
            continue;
        }
        {
            // Counted again: a connection may have ended while the listener waited.
            std::lock_guard<std::mutex> lock(m_ConnectionsMutex);
            count = m_Connections.size();
        }
        if (count >= static_cast<std::size_t>(m_MaxClients)) {
            // A client past the limit hears at once that it is not served, rather than
            // waiting in the backlog for nothing.
            log->addFormat("ComServerManager: Cannot accept new client (limit %d reached), closing connection",
                           m_MaxClients);
            close(client);
            continue;
        }
        waitingLogged = false;
        timeval timeout{1, 0};
        if (setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0)
            log->addError("ComServerManager: setsockopt failed (1)");
        if (setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout)) != 0)
            log->addError("ComServerManager: setsockopt failed (2)");
        // Replies and events are small frames written one by one: with Nagle's algorithm a
        // reply would wait for the client's delayed acknowledgement of the frame before it.
        const int noDelay = 1;
        if (setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay)) != 0)
            log->addError("ComServerManager: setsockopt failed (3)");
        // The connection writes only what the socket takes without waiting. Little
        // unsent data in the kernel keeps a slow client's replies close behind the
        // frames before them, and leaves its pictures in the queue where a newer one
        // can replace them.
        const int unsentLimit = 32 * 1024;
        if (setsockopt(client, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsentLimit, sizeof(unsentLimit)) != 0)
            log->addError("ComServerManager: setsockopt failed (4)");
        log->add("ComServerManager: Client accepted");
        StartComServer(client);
    }
    close(listening);
    m_BoundPort = 0;
    log->add("ComServerManager: Stopped");
}

void ComServerManager::StartComServer(int socket) {
    // An active client that has closed its end counts as gone already, though its thread
    // may not have read the end yet: a client that reconnects at once takes the role.
    bool active = true;
    for (const auto& connection : GetInstances())
        if (connection->IsActive() && !connection->IsEnding() && !connection->PeerHasClosed()) active = false;
    auto connection = std::make_shared<ComServer>(m_RobotMaster, m_ProjectManager, m_Cloud, socket);
    connection->SetActive(active);
    const ComServer* identity = connection.get();
    std::lock_guard<std::mutex> lock(m_ConnectionsMutex);
    m_Connections.push_back(connection);
    // The connection is named by identity: every closed connection's socket reads -1.
    connection->connectionClosedCallback = [this, identity](int) { OnConnectionClosed(identity); };
    connection->changeActiveRequestCallback = [this, identity](int, bool wanted) {
        OnChangeActiveRequest(identity, wanted);
    };
    connection->StartServer();
    LogSingleton::instance()->addFormat("ComServerManager: Client connected as %s", active ? "active" : "passive");
}

void ComServerManager::OnConnectionClosed(const ComServer* connection) {
    LogSingleton::instance()->add("ComServerManager: Removing closed ComServer");
    std::shared_ptr<ComServer> found;
    {
        std::lock_guard<std::mutex> lock(m_ConnectionsMutex);
        for (auto it = m_Connections.begin(); it != m_Connections.end(); ++it) {
            if (it->get() != connection) continue;
            found = *it;
            m_Connections.erase(it);
            // Kept until its thread is joined, so it is never destroyed on that thread.
            m_Closed.push_back(found);
            // What it acknowledged while active still runs, to its end.
            if (found->IsActive() && found->HasPendingCommands()) m_Draining.push_back(found);
            break;
        }
    }
    if (found) found->StopServer();
}

void ComServerManager::OnChangeActiveRequest(const ComServer* connection, bool active) {
    LogSingleton* log = LogSingleton::instance();
    std::lock_guard<std::mutex> lock(m_ConnectionsMutex);
    if (!active) {
        log->add("ComServerManager: Instance requested passive mode");
        for (auto& c : m_Connections)
            if (c.get() == connection) {
                c->SetActive(false);
                break;
            }
        return;
    }
    log->add("ComServerManager: Instance requested active mode");
    // Only the others turn passive (and lose their pending commands); a requester
    // that is active already keeps its role and what it posted.
    std::shared_ptr<ComServer> requester;
    for (auto& c : m_Connections) {
        if (c.get() == connection)
            requester = c;
        else
            c->SetActive(false);
    }
    if (requester) requester->SetActive(true);
}

// ---------------------------------------------------------------- fan-out

std::shared_ptr<ComServer> ComServerManager::GetActiveServer() {
    std::lock_guard<std::mutex> lock(m_ConnectionsMutex);
    for (auto& connection : m_Connections)
        if (connection->IsActive() && !connection->IsEnding()) return connection;
    return nullptr;
}

std::vector<std::shared_ptr<ComServer>> ComServerManager::GetInstances() {
    std::lock_guard<std::mutex> lock(m_ConnectionsMutex);
    return std::vector<std::shared_ptr<ComServer>>(m_Connections.begin(), m_Connections.end());
}

std::vector<std::shared_ptr<ComServer>> ComServerManager::CommandSources() {
    std::vector<std::shared_ptr<ComServer>> sources;
    std::lock_guard<std::mutex> lock(m_ConnectionsMutex);
    for (auto it = m_Draining.begin(); it != m_Draining.end();) {
        if ((*it)->HasPendingCommands()) {
            sources.push_back(*it);
            ++it;
        } else {
            it = m_Draining.erase(it);
        }
    }
    for (auto& connection : m_Connections)
        if (connection->IsEnding() && connection->IsActive()) sources.push_back(connection);
    for (auto& connection : m_Connections)
        if (connection->IsActive() && !connection->IsEnding()) {
            sources.push_back(connection);
            break;
        }
    return sources;
}

bool ComServerManager::TakePendingCommand(int32_t& code, int32_t& parameter, float& value) {
    TakenCommand taken;
    if (!TakeCommand(taken)) return false;
    code = taken.command.code;
    parameter = taken.command.parameter;
    value = taken.command.value;
    taken.from->CommandDone();
    return true;
}

bool ComServerManager::TakeCommand(TakenCommand& taken) {
    for (auto& connection : CommandSources())
        if (connection->TakeCommand(taken.command)) {
            taken.from = connection;
            return true;
        }
    return false;
}

void ComServerManager::CancelQueuedStarts(uint64_t stopSequence) {
    std::vector<std::shared_ptr<ComServer>> connections;
    {
        std::lock_guard<std::mutex> lock(m_ConnectionsMutex);
        connections.assign(m_Draining.begin(), m_Draining.end());
        connections.insert(connections.end(), m_Connections.begin(), m_Connections.end());
    }
    for (auto& connection : connections) connection->CancelQueuedStarts(stopSequence);
}

void ComServerManager::CallResetJogValues() {
    for (auto& connection : GetInstances()) connection->ResetJogValues();
}

void ComServerManager::CallSetCurrentPos(const DataTypes::RobotState& state) {
    for (auto& connection : GetInstances()) connection->SetCurrentPos(state);
}

void ComServerManager::CallPublishData() {
    for (auto& connection : GetInstances()) connection->PublishData();
}

void ComServerManager::CallPublishLogMessage() {
    for (auto& connection : GetInstances()) connection->PublishLogMessage();
}

void ComServerManager::CallPublishCloudInfo() {
    for (auto& connection : GetInstances()) connection->PublishCloudInfo();
}

void ComServerManager::OnServerMessage(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_ServerMessagesMutex);
    m_ServerMessages.push(text);
    m_HasServerMessages = true;
}

void ComServerManager::SendServerMessages() {
    if (!m_HasServerMessages) return;
    const auto connections = GetInstances();
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::unique_lock<std::mutex> lock(m_ServerMessagesMutex, std::try_to_lock);
        if (!lock.owns_lock()) {
            ComServer::wait(1);
            continue;
        }
        std::queue<std::string> texts;
        texts.swap(m_ServerMessages);
        m_HasServerMessages = false;
        lock.unlock();
        const auto fresh = GetInstances();
        for (; !texts.empty(); texts.pop())
            for (auto& connection : fresh) connection->OnServerMessage(texts.front());
        break;
    }
    for (auto& connection : connections) connection->SendServerMessage();
}

void ComServerManager::VariableChangedCallback(std::shared_ptr<const Programs::MemoryPosition> variable) {
    Instance()->OnVariableChanged(std::move(variable));
}

void ComServerManager::OnVariableChanged(std::shared_ptr<const Programs::MemoryPosition> variable) {
    for (auto& connection : GetInstances()) variableChangedCallback(connection, variable);
}

void ComServerManager::IpoResultsCallback(HXPEventType event, int command, int program, const std::string& text) {
    Instance()->OnIpoResultsReceived(event, command, program, text);
}

void ComServerManager::OnIpoResultsReceived(HXPEventType event, int command, int program, const std::string& text) {
    for (auto& connection : GetInstances()) connection->ProcessIPOResults(event, command, program, text);
}

bool ComServerManager::CANReceiveCallback(int id, int length, const unsigned char* data, long time, timespec stamp) {
    return Instance()->OnCANMessageReceived(id, length, data, time, stamp);
}

bool ComServerManager::OnCANMessageReceived(int id, int length, const unsigned char* data, long time,
                                            timespec stamp) {
    for (auto& connection : GetInstances())
        if (connection->CANReceiveCallback(id, length, data, time, stamp)) return true;
    return false;
}
