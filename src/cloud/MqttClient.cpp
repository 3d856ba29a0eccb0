#include "cloud/MqttClient.h"

namespace Cloud {

MqttClient::MqttClient(RobotMaster* robotMaster) : m_RobotMaster(robotMaster) {}

MqttClient::~MqttClient() { Stop(); }

void MqttClient::SetEnabled(bool enabled) {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    if (enabled == m_Enabled) return;
    m_Enabled = enabled;
    // Connecting and starting the updater (or stopping and disconnecting) join here.
}

bool MqttClient::IsEnabled() const {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    return m_Enabled;
}

bool MqttClient::IsConnected() const {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    return m_Connected;
}

void MqttClient::SetClientId(const std::string& clientId) {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    m_ClientId = clientId;
}

std::string MqttClient::GetClientId() const {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    return m_ClientId;
}

void MqttClient::SetRobotName(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    m_RobotName = name;
}

std::string MqttClient::GetRobotName() const {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    return m_RobotName;
}

void MqttClient::SetRobotOwner(const std::string& owner) {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    m_RobotOwner = owner;
}

std::string MqttClient::GetRobotOwner() const {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    return m_RobotOwner;
}

void MqttClient::SetCameraEnvironment(const std::string& camera) {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    m_CameraEnvironment = camera;
}

std::string MqttClient::GetCameraEnvironment() const {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    return m_CameraEnvironment;
}

void MqttClient::SetCameraWorkarea(const std::string& camera) {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    m_CameraWorkarea = camera;
}

std::string MqttClient::GetCameraWorkarea() const {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    return m_CameraWorkarea;
}

void MqttClient::SetEncryptedCredentials(const std::string& credentials) {
    {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        m_EncryptedCredentials = credentials;
    }
    NotifyCloudInfo();
}

std::string MqttClient::GetEncryptedCredentials() const {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    return m_EncryptedCredentials;
}

void MqttClient::ClearCredentials() {
    SetEnabled(false);
    {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        m_EncryptedCredentials.clear();
    }
    NotifyCloudInfo();
}

bool MqttClient::AreCredentialsSet() const {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    return !m_EncryptedCredentials.empty();
}

void MqttClient::Start() {
    // The updater thread joins here.
}

void MqttClient::Stop() {}

void MqttClient::NotifyCloudInfo() {
    if (cloudInfoCallback) cloudInfoCallback();
}

}  // namespace Cloud
