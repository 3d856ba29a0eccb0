#include "server/ComServer.h"

#include "common/LogSingleton.h"

ComServer::ComServer(RobotMaster* robotMaster, ProjectManager* projectManager, Cloud::MqttClient* cloud, int socket)
    : m_Socket(socket), m_RobotMaster(robotMaster), m_ProjectManager(projectManager), m_Cloud(cloud) {}

ComServer::~ComServer() = default;

void ComServer::StartServer() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_StopRequested = false;
}

void ComServer::StopServer() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_StopRequested = true;
}

void ComServer::SendToClient(const std::string& body) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_SendQueue.push_back(body);
}

void ComServer::SendCmdAck(int counter) { SendToClient("CMDACK " + std::to_string(counter)); }

void ComServer::SendCmdError(int counter, const std::string& text) {
    SendToClient("CMDERROR " + std::to_string(counter) + " " + text);
}

void ComServer::GetJogValues(float* out) {
    bool dropped = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        --m_Watchdog;
        if (m_Watchdog == 0) {
            m_Watchdog = -1;
            m_Running = false;
            for (float& v : m_JogValues) v = 0.0f;
            dropped = true;
        }
        if (out != nullptr)
            for (int i = 0; i < 9; ++i) out[i] = m_JogValues[i];
    }
    if (dropped)
        LogSingleton::instance()->add("HXP-Server: client does not send anymore (watchdog), closing connection");
}

void ComServer::ResetJogValues() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (float& v : m_JogValues) v = 0.0f;
}

void ComServer::SetJogValues(const float* values) {
    if (values == nullptr) return;
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (int i = 0; i < 9; ++i) m_JogValues[i] = values[i];
    m_Watchdog = 100;
}

void ComServer::PostCommand(int32_t code, int32_t parameter, float value) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_PendingCode = code;
    m_PendingParameter = parameter;
    m_PendingValue = value;
}

bool ComServer::TakePendingCommand(int32_t& code, int32_t& parameter, float& value) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_PendingCode == 0) return false;
    code = m_PendingCode;
    parameter = m_PendingParameter;
    value = m_PendingValue;
    m_PendingCode = 0;
    return true;
}

void ComServer::SetCurrentPos(const DataTypes::RobotState& state) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_CurrentState = state;
}

void ComServer::PublishData() {
    // The periodic status lines join here.
}

void ComServer::PublishLogMessage() {
    // The "LOGMSG" lines join here.
}

void ComServer::PublishCloudInfo() {
    // The cloud information line joins here.
}

void ComServer::OnServerMessage(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_ServerMessages.push_back(text);
    while (m_ServerMessages.size() > 10) m_ServerMessages.pop_front();
}

void ComServer::SendServerMessage() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    while (!m_ServerMessages.empty()) {
        m_SendQueue.push_back("MESSAGE " + m_ServerMessages.front());
        m_ServerMessages.pop_front();
    }
}

bool ComServer::IsActive() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return !m_Passive;
}

void ComServer::SetActive(bool active) {
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Passive != !active) {
            m_Passive = !active;
            changed = true;
        }
    }
    if (changed) PublishActiveState();
}

void ComServer::SetPassive(bool passive) {
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Passive != passive) {
            m_Passive = passive;
            changed = true;
        }
    }
    if (changed)
        LogSingleton::instance()->add(passive ? "ComServer: Switching to passive mode"
                                              : "ComServer: Switching to active mode");
}

void ComServer::RequestActivate(bool active) {
    if (changeActiveRequestCallback) changeActiveRequestCallback(GetSocket(), active);
}

void ComServer::PublishActiveState() { SendToClient(IsActive() ? "CMD Active true" : "CMD Active false"); }

bool ComServer::IsRunning() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Running;
}

int ComServer::GetSocket() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Socket;
}
