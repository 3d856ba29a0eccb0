#include "server/ComServerManager.h"

#include "server/ComServer.h"

ComServerManager* ComServerManager::Instance() {
    // Built on first use, thread-safely; lives for the whole process.
    static ComServerManager instance;
    return &instance;
}

ComServerManager::~ComServerManager() {
    std::lock_guard<std::mutex> lock(m_ConnectionsMutex);
    for (auto& connection : m_Connections) connection->StopServer();
    m_Connections.clear();
}

void ComServerManager::Init(RobotMaster* robotMaster, ProjectManager* projectManager, Cloud::MqttClient* cloud) {
    m_RobotMaster = robotMaster;
    m_ProjectManager = projectManager;
    m_Cloud = cloud;
    // Registering the callbacks with the robot master, the interpreters, the
    // CAN interface, the log and the cloud client joins here.
}

void ComServerManager::Start() {
    // The listener thread on the port joins here.
}

void ComServerManager::Stop() { m_Running = false; }

std::shared_ptr<ComServer> ComServerManager::GetActiveServer() {
    std::lock_guard<std::mutex> lock(m_ConnectionsMutex);
    for (auto& connection : m_Connections)
        if (connection->IsActive()) return connection;
    return nullptr;
}

std::vector<std::shared_ptr<ComServer>> ComServerManager::GetInstances() {
    std::lock_guard<std::mutex> lock(m_ConnectionsMutex);
    return std::vector<std::shared_ptr<ComServer>>(m_Connections.begin(), m_Connections.end());
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
}

void ComServerManager::SendServerMessages() {
    std::queue<std::string> texts;
    {
        std::lock_guard<std::mutex> lock(m_ServerMessagesMutex);
        std::swap(texts, m_ServerMessages);
    }
    const auto connections = GetInstances();
    while (!texts.empty()) {
        for (auto& connection : connections) connection->OnServerMessage(texts.front());
        texts.pop();
    }
    for (auto& connection : connections) connection->SendServerMessage();
}

void ComServerManager::VariableChangedCallback(std::shared_ptr<const Programs::MemoryPosition> /*variable*/) {
    // Reporting changed variables to the clients joins here.
}

void ComServerManager::IpoResultsCallback(HXPEventType /*event*/, int /*command*/, int /*program*/,
                                          const std::string& /*text*/) {
    // Sending interpreter events to the clients joins here.
}

bool ComServerManager::CANReceiveCallback(int /*id*/, int /*length*/, const unsigned char* /*data*/, long /*time*/,
                                          timespec /*stamp*/) {
    return false;
}
