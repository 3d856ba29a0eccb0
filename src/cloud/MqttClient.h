#pragma once
// The cloud client: publishes the robot's state, statistics and pictures to
// the cloud broker over MQTT with TLS. The connection, the updater thread and
// the payloads join this class later; until then it keeps its settings and
// connects nothing.

#include <functional>
#include <mutex>
#include <string>

class RobotMaster;

namespace Cloud {

class MqttClient {
public:
    explicit MqttClient(RobotMaster* robotMaster);
    ~MqttClient();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    void SetEnabled(bool enabled);
    bool IsEnabled() const;
    bool IsConnected() const;

    void SetClientId(const std::string& clientId);
    std::string GetClientId() const;
    void SetRobotName(const std::string& name);
    std::string GetRobotName() const;
    void SetRobotOwner(const std::string& owner);
    std::string GetRobotOwner() const;
    void SetCameraEnvironment(const std::string& camera);
    std::string GetCameraEnvironment() const;
    void SetCameraWorkarea(const std::string& camera);
    std::string GetCameraWorkarea() const;
    // The credentials as the project file holds them (already encrypted).
    void SetEncryptedCredentials(const std::string& credentials);
    std::string GetEncryptedCredentials() const;
    void ClearCredentials();
    bool AreCredentialsSet() const;

    void Start();
    void Stop();

    // Called after connection-state and credential changes; set by the server manager.
    std::function<void()> cloudInfoCallback;

private:
    void NotifyCloudInfo();

    mutable std::recursive_mutex m_Mutex;
    RobotMaster* m_RobotMaster;
    bool m_Enabled = false;
    bool m_Connected = false;
    std::string m_EncryptedCredentials;
    std::string m_ClientId = "na";
    std::string m_RobotName;
    std::string m_RobotOwner;
    std::string m_CameraEnvironment;
    std::string m_CameraWorkarea;
};

}  // namespace Cloud
