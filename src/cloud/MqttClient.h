#pragma once
// The cloud client: publishes the robot's identity, state, statistics and
// pictures to the cloud broker over MQTT with TLS. It only sends; nothing is
// subscribed. The identity goes out after every connect, the telemetry when
// it changes and at least every 5 s, each picture slot at most every 2 s.

#include <MQTTAsync.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "cloud/CameraData.h"
#include "cloud/TelemetryData.h"
#include "cloud/TlsDiagnosis.h"

class RobotMaster;

namespace Cloud {

namespace MqttTopics {
inline const std::string BasicsRobotName = "/Basics/RobotName";
inline const std::string BasicsRobotOwner = "/Basics/RobotOwner";
inline const std::string BasicsConnectionStatus = "/Basics/ConnectionStatus";
inline const std::string BasicsSWVersion = "/Basics/SWVersion";
inline const std::string BasicsSWDeviceID = "/Basics/DeviceID";
inline const std::string BasicsSWType = "/Basics/Type";
inline const std::string BasicsModuleCount = "/Basics/ModuleCount";
inline const std::string StatusLastMessageTopic = "/Status/LastMessage";
inline const std::string StatusErrorStringTopic = "/Status/ErrorString";
inline const std::string StatusErrorCodesTopic = "/Status/ErrorCodes";
inline const std::string StatusTemperaturesPCBTopic = "/Status/TemperaturesPCB";
inline const std::string StatusProgramRunningTopic = "/Status/ProgramRunning";
inline const std::string StatusSubProgramsTopic = "/Status/SubPrograms";
inline const std::string StatusCurrentCommandTopic = "/Status/CurrentCommand";
inline const std::string StatisticsUpTimeCompleteTopic = "/Statistics/UpTimeComplete";
inline const std::string StatisticsUpTimeLastTopic = "/Statistics/UpTimeLast";
inline const std::string StatisticsUpTimeEnabledTopic = "/Statistics/UpTimeEnabled";
inline const std::string StatisticsUpTimeMotionTopic = "/Statistics/UpTimeMotion";
inline const std::string StatisticsProgramStartsTopic = "/Statistics/ProgramStarts";
inline const std::string ImageEnvironmentTopic = "/Pictures/2DEnvironment";
inline const std::string ImageWorkareaTopic = "/Pictures/2DWorkarea";
}  // namespace MqttTopics

// The cloud-information callback: assigned by the server manager while the
// library's threads may already call it, so both sides take a lock.
class CloudInfoCallback {
public:
    CloudInfoCallback& operator=(std::function<void()> callback) {
        std::lock_guard<std::mutex> lock(mutex);
        function = std::move(callback);
        return *this;
    }
    explicit operator bool() const {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<bool>(function);
    }
    // Runs a copy, so the callback may be replaced while it runs.
    void operator()() const {
        std::function<void()> copy;
        {
            std::lock_guard<std::mutex> lock(mutex);
            copy = function;
        }
        if (copy) copy();
    }

private:
    mutable std::mutex mutex;
    std::function<void()> function;
};

class MqttClient {
public:
    // Wall-clock seconds, like time(); replaceable so tests need not wait.
    using Clock = std::function<int64_t()>;

    static constexpr std::size_t MaxClientIdLength = 23;
    // How long the diagnosis of a failed TLS connect may take in all.
    static constexpr std::chrono::milliseconds TlsDiagnosisDeadline{4000};

    explicit MqttClient(RobotMaster* robotMaster);
    ~MqttClient();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    // ---- Settings ----
    void SetEnabled(bool enabled);
    bool IsEnabled() const { return m_Enabled.load(); }
    bool IsConnected() const { return m_Connected.load(); }
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
    // Encrypts and stores user name and password; clears the credentials on failure.
    void SetCredentials(const std::string& user, const std::string& password);
    // False, with its log line, for a user name that SetCredentials refuses.
    static bool CheckUserName(const std::string& user);
    // Decrypts the stored credentials; true when both were read back.
    bool GetCredentials(std::string& user, std::string& password) const;
    // The credentials as the project file holds them (already encrypted).
    void SetEncryptedCredentials(const std::string& credentials);
    std::string GetEncryptedCredentials() const;
    void ClearCredentials();
    bool AreCredentialsSet() const;

    // ---- Link control and publication ----
    void Start();
    void Stop();
    void Connect();
    void Disconnect();
    // The library's token of the message, or -1 when not connected.
    int PublishMessage(const std::string& topic, const unsigned char* payload, unsigned int length, int qos,
                       bool retained);
    int PublishMessage(const std::string& topic, const std::string& payload, int qos, bool retained);
    void SendBasicData();
    void SendData();
    // Runs until the link is switched off or a newer updater or Stop took over.
    void Updater(int32_t generation);
    static void Updater2(MqttClient* client, int32_t generation);
    // False (and the link switched off) when credentials or client ID are missing.
    bool UpdateTopicBase();

    // ---- Library callbacks, forwarded by the free functions below ----
    void OnConnect();
    // `code` and `message` as the library reports the failure (message may be null).
    void OnConnectFailure(int code, const char* message);
    void OnDisconnect();
    void OnDisconnectFailure();
    void OnConnectionLost(const char* cause);
    void OnSend();
    void OnSendFailure();
    int OnMessageReceived();
    void OnMessageDelivered(int token);

    // ---- Seams ----
    void SetClock(Clock clock);
    // The broker address; by default "ssl://" + the cloud endpoint + ":8883",
    // or KORVELLA_CLOUD_URI when set at start-up.
    void SetServerUri(const std::string& uri);
    std::string GetServerUri() const;
    std::string GetTopicBase() const;

    // Called after connection-state and credential changes; set by the server manager.
    CloudInfoCallback cloudInfoCallback;

private:
    int64_t Now() const;
    void NotifyCloudInfo();
    void StartUpdater();
    void StopUpdater();
    // Ends the link without joining anything; for the connect path.
    void SwitchOff();
    // Destroys the library client outside the lock, once its disconnect
    // request went out.
    void ReleaseLibraryClient(std::unique_lock<std::recursive_mutex>& lock);
    // True once no disconnect request is pending; waits up to 1 s for it.
    bool AwaitDisconnect() const;
    void PublishPicture(CameraData& slot, const std::string& suffix, int64_t now);

    // The diagnosis of a failed connect runs on a thread of its own, never on
    // the library's callback thread: the library holds its lock around the
    // callback, and every call into it (the updater's connect, a switch-off,
    // the exit) would wait for the diagnosis.
    struct DiagnosisRequest {
        std::string uri;
        std::string caPath;
        // Logged when the diagnosis finds nothing or is dropped.
        std::string libraryReason;
    };
    // False when no diagnosis can run (link off, client ending); the caller logs then.
    bool RequestDiagnosis(const std::string& libraryReason);
    void DiagnosisWorker();
    // Drops the waiting diagnosis and cancels the running one; `ending` for good.
    void DropDiagnosis(bool ending);

    std::string m_ServerUri;
    std::string m_CaFileName = "ISRG_Root_X1.pem";
    // Broker address and CA path of the connect under way, for the failure
    // callback's diagnosis; guarded by m_AttemptMutex (callbacks never take m_Mutex).
    std::string m_AttemptUri;
    std::string m_AttemptCaPath;
    mutable std::mutex m_AttemptMutex;
    // Guarded by m_Mutex.
    std::string m_TopicBase;
    std::string m_WillTopic;
    MQTTAsync m_Client = nullptr;
    // Server URI, client ID and user name the library client was made for.
    std::string m_ClientIdentity;

    RobotMaster* m_RobotMaster;
    // Updater thread only.
    TelemetryData m_Telemetry;
    CameraData m_EnvironmentPicture;
    CameraData m_WorkareaPicture;
    int64_t m_LastTelemetryTime = 0;
    int64_t m_TelemetryInterval = 5;
    int64_t m_PictureInterval = 2;

    std::atomic<bool> m_ClientCreated{false};
    std::atomic<bool> m_Connected{false};
    std::atomic<bool> m_Enabled{false};
    std::atomic<bool> m_DisconnectPending{false};
    // Set by the connect callback; the updater publishes the identity.
    std::atomic<bool> m_BasicDataDue{false};

    // Settings texts, guarded by m_SettingsMutex.
    std::string m_EncryptedCredentials;
    std::string m_ClientId = "na";
    std::string m_RobotName;
    std::string m_RobotOwner;

    std::atomic<int32_t> m_UpdaterGeneration{0};
    std::atomic<int32_t> m_AwaitedDeliveryToken{-1};
    std::atomic<int32_t> m_LastDeliveredToken{-1};
    std::thread m_UpdaterThread;

    // Connect, Disconnect and every publication.
    mutable std::recursive_mutex m_Mutex;
    mutable std::mutex m_SettingsMutex;
    // Serialises switching on and off with the updater's start and join.
    std::mutex m_ControlMutex;
    mutable std::mutex m_ClockMutex;
    Clock m_Clock;

    // Guards the diagnosis fields below; never held while diagnosing.
    std::mutex m_DiagnosisMutex;
    std::condition_variable m_DiagnosisWake;
    std::optional<DiagnosisRequest> m_PendingDiagnosis;
    std::shared_ptr<DiagnosisCancel> m_RunningDiagnosis;
    bool m_DiagnosisEnding = false;
    std::thread m_DiagnosisThread;
};

// Library callbacks with the client as context.
void onConnect(void* context, MQTTAsync_successData* response);
void onConnectFailure(void* context, MQTTAsync_failureData* response);
void onDisconnect(void* context, MQTTAsync_successData* response);
void onDisconnectFailure(void* context, MQTTAsync_failureData* response);
void onConnectionLost(void* context, char* cause);
void onSend(void* context, MQTTAsync_successData* response);
void onSendFailure(void* context, MQTTAsync_failureData* response);
int onMessageReceived(void* context, char* topic, int topicLength, MQTTAsync_message* message);
void onMessageDelivered(void* context, MQTTAsync_token token);

}  // namespace Cloud
