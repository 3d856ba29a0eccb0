#include "cloud/MqttClient.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <system_error>
#include <vector>

#include "cloud/DeviceIdentifier.h"
#include "cloud/Encryption.h"
#include "common/Filesystem.h"
#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "hardware/HardwareProtocol.h"
#include "kinematics/RobotKinematic.h"
#include "vision/Base64.h"

namespace Cloud {

namespace {

const char* const DefaultServerUri = "ssl://broker.korvella-cloud.invalid:8883";

std::string ServerUriAtStartUp() {
    static const std::string uri = [] {
        const char* configured = std::getenv("KORVELLA_CLOUD_URI");
        return std::string(configured != nullptr && *configured != '\0' ? configured : DefaultServerUri);
    }();
    return uri;
}

bool HasTopicWildcard(const std::string& text) { return text.find_first_of("/#+") != std::string::npos; }

MqttClient* Client(void* context) { return static_cast<MqttClient*>(context); }

}  // namespace

// ---------------------------------------------------------------- construction

MqttClient::MqttClient(RobotMaster* robotMaster)
    : m_ServerUri(ServerUriAtStartUp()), m_RobotMaster(robotMaster) {
    // Before the MQTT library initialises it, so that its settings hold.
    Encryption::InitializeOpenSSL();
    m_LastTelemetryTime = Now();
    SetClientId("");
}

MqttClient::~MqttClient() {
    // First, so that a diagnosis under way holds up neither the exit nor the
    // library calls below.
    DropDiagnosis(true);
    if (m_DiagnosisThread.joinable()) m_DiagnosisThread.join();
    Stop();
    // Nobody listens for the link's state any more at exit.
    cloudInfoCallback = nullptr;
    // An orderly end says so: the broker drops the will at a disconnect.
    Disconnect();
    std::unique_lock<std::recursive_mutex> lock(m_Mutex);
    ReleaseLibraryClient(lock);
}

// ---------------------------------------------------------------- settings

void MqttClient::SetEnabled(bool enabled) {
    std::lock_guard<std::mutex> control(m_ControlMutex);
    if (m_Enabled.exchange(enabled) == enabled) return;
    if (enabled) {
        Connect();
        StartUpdater();
    } else {
        DropDiagnosis(false);
        StopUpdater();
        Disconnect();
    }
}

void MqttClient::SetClientId(const std::string& clientId) {
    LogSingleton* log = LogSingleton::instance();
    std::lock_guard<std::mutex> lock(m_SettingsMutex);
    if (clientId == m_ClientId) return;
    if (clientId.find_first_of("/#+") != std::string::npos) {
        log->addFormat("MQTT Client: Could not set client ID '%s', invalid character", clientId);
        m_ClientId.clear();
    } else if (clientId.size() > MaxClientIdLength) {
        log->addFormat("MQTT Client: Could not set client ID '%s', too long, will be truncated", clientId);
        m_ClientId = clientId.substr(0, MaxClientIdLength);
    } else {
        m_ClientId = clientId;
    }
    if (m_ClientId.empty()) {
        const std::string device = GetDeviceIdentifier();
        if (device.size() > 8) m_ClientId = device.substr(0, 8);
    }
}

std::string MqttClient::GetClientId() const {
    std::lock_guard<std::mutex> lock(m_SettingsMutex);
    return m_ClientId;
}

void MqttClient::SetRobotName(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(m_SettingsMutex);
        if (name == m_RobotName) return;
        m_RobotName = name;
    }
    PublishMessage(GetTopicBase() + MqttTopics::BasicsRobotName, name, 1, true);
}

std::string MqttClient::GetRobotName() const {
    std::lock_guard<std::mutex> lock(m_SettingsMutex);
    return m_RobotName;
}

void MqttClient::SetRobotOwner(const std::string& owner) {
    {
        std::lock_guard<std::mutex> lock(m_SettingsMutex);
        if (owner == m_RobotOwner) return;
        m_RobotOwner = owner;
    }
    PublishMessage(GetTopicBase() + MqttTopics::BasicsRobotOwner, owner, 1, true);
}

std::string MqttClient::GetRobotOwner() const {
    std::lock_guard<std::mutex> lock(m_SettingsMutex);
    return m_RobotOwner;
}

void MqttClient::SetCameraEnvironment(const std::string& camera) { m_EnvironmentPicture.SetCameraName(camera); }

std::string MqttClient::GetCameraEnvironment() const { return m_EnvironmentPicture.GetCameraName(); }

void MqttClient::SetCameraWorkarea(const std::string& camera) { m_WorkareaPicture.SetCameraName(camera); }

std::string MqttClient::GetCameraWorkarea() const { return m_WorkareaPicture.GetCameraName(); }

bool MqttClient::CheckUserName(const std::string& user) {
    if (!HasTopicWildcard(user)) return true;
    LogSingleton::instance()->addFormat("MQTT Client: Could not set username '%s', invalid character", user);
    return false;
}

void MqttClient::SetCredentials(const std::string& user, const std::string& password) {
    LogSingleton* log = LogSingleton::instance();
    if (!CheckUserName(user)) {
        ClearCredentials();
        return;
    }
    if (password.empty()) {
        log->add("MQTT Client: Could not set password, empty string");
        ClearCredentials();
        return;
    }
    try {
        const std::string plain = user + "\n" + password + "\n";
        const Encryption::InitializationVector iv;
        const Encryption::Key256 key(GetDeviceIdentifier());
        std::vector<unsigned char> buffer(plain.size() + 2 * Encryption::BlockSize);
        std::copy(iv.bytes, iv.bytes + Encryption::InitializationVector::Size, buffer.begin());
        const int written = Encryption::Encrypt(reinterpret_cast<const unsigned char*>(plain.data()),
                                                static_cast<int>(plain.size()), key, iv,
                                                buffer.data() + Encryption::InitializationVector::Size);
        const std::string stored =
            Base64::Encode(reinterpret_cast<const char*>(buffer.data()),
                           static_cast<unsigned int>(Encryption::InitializationVector::Size + written));
        std::lock_guard<std::mutex> lock(m_SettingsMutex);
        m_EncryptedCredentials = stored;
    } catch (const std::exception& e) {
        ClearCredentials();
        log->addFormat("MQTT Client: Could not encrypt credentials: %s", e.what());
    }
}

bool MqttClient::GetCredentials(std::string& user, std::string& password) const {
    const std::string stored = GetEncryptedCredentials();
    if (stored.empty()) return false;
    LogSingleton* log = LogSingleton::instance();
    try {
        const std::vector<unsigned char> decoded = Base64::Decode(stored);
        if (decoded.size() < Encryption::InitializationVector::Size)
            throw std::runtime_error("Credentials shorter than the initialization vector");
        const Encryption::InitializationVector iv(reinterpret_cast<const char*>(decoded.data()));
        const Encryption::Key256 key(GetDeviceIdentifier());
        const int cipherLength = static_cast<int>(decoded.size() - Encryption::InitializationVector::Size);
        const std::vector<unsigned char> plain =
            Encryption::Decrypt(decoded.data() + Encryption::InitializationVector::Size, cipherLength, key, iv);
        // Read as a C string: a zero byte ends the text.
        std::string text(plain.begin(), plain.end());
        text = text.substr(0, text.find('\0'));
        const std::size_t first = text.find('\n');
        const std::size_t second = first == std::string::npos ? std::string::npos : text.find('\n', first + 1);
        if (second == std::string::npos) {
            log->add("MQTT Client: Could not parse credentials");
            return false;
        }
        user = text.substr(0, first);
        password = text.substr(first + 1, second - first - 1);
        return true;
    } catch (const std::exception& e) {
        log->addFormat("MQTT Client: Could not decrypt credentials: %s", e.what());
        return false;
    }
}

void MqttClient::SetEncryptedCredentials(const std::string& credentials) {
    {
        std::lock_guard<std::mutex> lock(m_SettingsMutex);
        m_EncryptedCredentials = credentials;
    }
    NotifyCloudInfo();
}

std::string MqttClient::GetEncryptedCredentials() const {
    std::lock_guard<std::mutex> lock(m_SettingsMutex);
    return m_EncryptedCredentials;
}

void MqttClient::ClearCredentials() {
    SetEnabled(false);
    {
        std::lock_guard<std::mutex> lock(m_SettingsMutex);
        m_EncryptedCredentials.clear();
    }
    NotifyCloudInfo();
}

bool MqttClient::AreCredentialsSet() const {
    std::lock_guard<std::mutex> lock(m_SettingsMutex);
    return !m_EncryptedCredentials.empty();
}

// ---------------------------------------------------------------- updater

void MqttClient::Start() {
    std::lock_guard<std::mutex> control(m_ControlMutex);
    StartUpdater();
}

void MqttClient::Stop() {
    std::lock_guard<std::mutex> control(m_ControlMutex);
    StopUpdater();
}

void MqttClient::StartUpdater() {
    if (!m_Enabled) return;
    // The previous updater was joined when the link went off; a leftover is joined here.
    if (m_UpdaterThread.joinable() && m_UpdaterThread.get_id() != std::this_thread::get_id()) {
        ++m_UpdaterGeneration;
        m_UpdaterThread.join();
    }
    const int32_t generation = ++m_UpdaterGeneration;
    m_UpdaterThread = std::thread(Updater2, this, generation);
}

void MqttClient::StopUpdater() {
    ++m_UpdaterGeneration;
    // The updater never joins itself; it ends on its own at the next check.
    if (m_UpdaterThread.joinable() && m_UpdaterThread.get_id() != std::this_thread::get_id())
        m_UpdaterThread.join();
}

void MqttClient::Updater2(MqttClient* client, int32_t generation) { client->Updater(generation); }

void MqttClient::Updater(int32_t generation) {
    constexpr int64_t FirstWait = 15;
    constexpr int64_t LongestWait = 60;
    bool wasConnected = true;
    int64_t lastAttempt = 0;
    int64_t wait = 0;
    const auto running = [&]() { return m_Enabled && m_UpdaterGeneration == generation; };
    while (running()) {
        if (m_Connected) {
            if (m_BasicDataDue.exchange(false)) SendBasicData();
            SendData();
            wasConnected = true;
        } else if (wasConnected) {
            wasConnected = false;
            lastAttempt = Now();
            wait = FirstWait;
        } else if (Now() - lastAttempt > wait) {
            lastAttempt = Now();
            if (wait < LongestWait) wait = std::min(wait * 2, LongestWait);
            Connect();
        }
        // 500 ms between passes, ended early when the link goes off.
        for (int slice = 0; slice < 10 && running(); ++slice)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// ---------------------------------------------------------------- connection

void MqttClient::SwitchOff() {
    m_Enabled = false;
    ++m_UpdaterGeneration;
}

bool MqttClient::UpdateTopicBase() {
    std::string user;
    std::string password;
    const std::string clientId = GetClientId();
    if (GetCredentials(user, password) && !user.empty() && !clientId.empty()) {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        m_TopicBase = "user/" + user + "/robot/" + clientId;
        return true;
    }
    // Never joins the updater from here: this runs on it.
    SwitchOff();
    return false;
}

bool MqttClient::AwaitDisconnect() const {
    for (int i = 0; i < 100 && m_DisconnectPending; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return !m_DisconnectPending;
}

void MqttClient::ReleaseLibraryClient(std::unique_lock<std::recursive_mutex>& lock) {
    if (m_Client == nullptr) return;
    MQTTAsync old = m_Client;
    m_Client = nullptr;
    m_ClientIdentity.clear();
    lock.unlock();
    // Destroying drops a disconnect request that has not gone out yet, and the
    // broker would then publish the will.
    AwaitDisconnect();
    m_DisconnectPending = false;
    MQTTAsync_destroy(&old);
    lock.lock();
}

void MqttClient::Connect() {
    LogSingleton* log = LogSingleton::instance();
    std::unique_lock<std::recursive_mutex> lock(m_Mutex);
    if (m_ClientCreated) Disconnect();
    if (!m_Enabled) return;

    const std::string caPath = log->get_rootPath() + m_CaFileName;
    if (!Filesystem::IsFile(caPath)) {
        log->addFormat("MQTT Client: Tried to connect but CA file '%s' does not exist", caPath);
        return;
    }
    if (!AreCredentialsSet()) {
        log->add("MQTT Client: Tried to connect but credentials are not set");
        return;
    }
    std::string user;
    std::string password;
    if (!GetCredentials(user, password)) {
        log->add("MQTT Client: Tried to connect but could not get credentials");
        return;
    }
    if (user.empty() || password.empty()) {
        log->add("MQTT Client: Tried to connect but username or password is empty");
        return;
    }
    const std::string clientId = GetClientId();
    log->addFormat("MQTT Client: Connecting, username=%s, client ID=\"%s\", robot name=\"%s\" robot owner=\"%s\"",
                   user, clientId, GetRobotName(), GetRobotOwner());
    if (clientId.empty()) {
        log->add("MQTT Client: Could not connect, client ID not defined!");
        return;
    }

    // The library client is kept across reconnects while it is made for the
    // same broker, client ID and user: destroying it while the link is down
    // leaks the publications still queued in it, and a reconnect sends them.
    const std::string identity = m_ServerUri + '\n' + clientId + '\n' + user;
    if (m_Client != nullptr && (identity != m_ClientIdentity || !AwaitDisconnect())) ReleaseLibraryClient(lock);
    if (m_Client == nullptr) {
        int rc = MQTTAsync_create(&m_Client, m_ServerUri.c_str(), clientId.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                                  nullptr);
        if (rc != MQTTASYNC_SUCCESS) {
            m_Client = nullptr;
            log->addFormat("MQTT Client: Could not connect, failed to create client: %s", MQTTAsync_strerror(rc));
            return;
        }
        rc = MQTTAsync_setCallbacks(m_Client, this, onConnectionLost, onMessageReceived, onMessageDelivered);
        if (rc != MQTTASYNC_SUCCESS) {
            log->addFormat("MQTT Client: Could not connect, failed to set callbacks: %s", MQTTAsync_strerror(rc));
            ReleaseLibraryClient(lock);
            return;
        }
        m_ClientIdentity = identity;
    }
    if (!UpdateTopicBase()) return;
    m_WillTopic = m_TopicBase + MqttTopics::BasicsConnectionStatus;

    MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
    will.topicName = m_WillTopic.c_str();
    will.message = "LostConnection";
    will.retained = 1;
    will.qos = 1;

    MQTTAsync_SSLOptions tls = MQTTAsync_SSLOptions_initializer;
    tls.trustStore = caPath.c_str();
    tls.enableServerCertAuth = 1;
    // The certificate must also name the broker: any certificate from the CA
    // would otherwise be taken, and the login sent to whoever holds one.
    tls.verify = 1;
    tls.sslVersion = MQTT_SSL_VERSION_TLS_1_2;
    tls.disableDefaultTrustStore = 1;

    MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
    options.keepAliveInterval = 30;
    options.cleansession = 1;
    options.will = &will;
    options.username = user.c_str();
    options.password = password.c_str();
    options.connectTimeout = 5;
    options.ssl = &tls;
    options.onSuccess = onConnect;
    options.onFailure = onConnectFailure;
    options.context = this;

    {
        std::lock_guard<std::mutex> attempt(m_AttemptMutex);
        m_AttemptUri = m_ServerUri;
        m_AttemptCaPath = caPath;
    }
    const int rc = MQTTAsync_connect(m_Client, &options);
    if (rc != MQTTASYNC_SUCCESS) {
        log->addFormat("MQTT Client: Failed to connect: %s", MQTTAsync_strerror(rc));
        return;
    }
    m_ClientCreated = true;
}

void MqttClient::Disconnect() {
    LogSingleton* log = LogSingleton::instance();
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    if (!m_ClientCreated) return;
    if (m_Connected) {
        const int token = PublishMessage(m_TopicBase + MqttTopics::BasicsConnectionStatus, "Disconnected", 1, true);
        m_AwaitedDeliveryToken = token;
        // The acknowledgement may have come before the token was known.
        if (m_LastDeliveredToken == token) m_AwaitedDeliveryToken = -1;
        for (int i = 0; i < 20 && m_AwaitedDeliveryToken != -1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (m_AwaitedDeliveryToken != -1) {
            m_AwaitedDeliveryToken = -1;
            log->add("MQTT Client: Disconnect message not confirmed");
        }
    }
    m_Connected = false;
    m_ClientCreated = false;

    MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
    options.timeout = 5000;
    options.onSuccess = onDisconnect;
    options.onFailure = onDisconnectFailure;
    options.context = this;
    const int rc = m_Client == nullptr ? MQTTASYNC_FAILURE : MQTTAsync_disconnect(m_Client, &options);
    if (rc != MQTTASYNC_SUCCESS) {
        log->addFormat("MQTT Client: Failed to disconnect: %s", MQTTAsync_strerror(rc));
    } else {
        m_DisconnectPending = true;
    }
}

// ---------------------------------------------------------------- publication

int MqttClient::PublishMessage(const std::string& topic, const unsigned char* payload, unsigned int length, int qos,
                               bool retained) {
    static unsigned char empty = 0;
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    if (!m_Connected || m_Client == nullptr) return -1;
    MQTTAsync_message message = MQTTAsync_message_initializer;
    message.payload = length > 0 ? const_cast<unsigned char*>(payload) : &empty;
    message.payloadlen = static_cast<int>(length);
    message.qos = qos;
    message.retained = retained ? 1 : 0;
    MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
    options.onSuccess = onSend;
    options.onFailure = onSendFailure;
    options.context = this;
    const int rc = MQTTAsync_sendMessage(m_Client, topic.c_str(), &message, &options);
    if (rc != MQTTASYNC_SUCCESS)
        LogSingleton::instance()->addFormat("MQTT Client: Failed to publish message: %s", MQTTAsync_strerror(rc));
    return options.token;
}

int MqttClient::PublishMessage(const std::string& topic, const std::string& payload, int qos, bool retained) {
    return PublishMessage(topic, reinterpret_cast<const unsigned char*>(payload.data()),
                          static_cast<unsigned int>(payload.size()), qos, retained);
}

void MqttClient::SendBasicData() {
    if (!m_Connected) return;
    std::string type;
    std::string modules;
    if (m_RobotMaster != nullptr) {
        if (const RobotKinematic* kinematic = m_RobotMaster->GetKinematic()) type = RobotTypeText(kinematic->robotType);
        if (const Hardware::HardwareProtocol* hardware = m_RobotMaster->GetHardware())
            modules = ModuleCountText(*hardware);
    }
    const std::string base = GetTopicBase();
    PublishMessage(base + MqttTopics::BasicsRobotName, GetRobotName(), 1, false);
    PublishMessage(base + MqttTopics::BasicsRobotOwner, GetRobotOwner(), 1, false);
    // Retained like the will and "Disconnected", so a subscriber that joins later reads the state.
    PublishMessage(base + MqttTopics::BasicsConnectionStatus, "Connected", 1, true);
    PublishMessage(base + MqttTopics::BasicsSWVersion, "Korvella " + LogSingleton::instance()->get_softwareVersion(), 1,
                   false);
    PublishMessage(base + MqttTopics::BasicsSWDeviceID, GetDeviceIdentifier(), 1, false);
    PublishMessage(base + MqttTopics::BasicsSWType, type, 1, false);
    PublishMessage(base + MqttTopics::BasicsModuleCount, modules, 1, false);
    LogSingleton::instance()->add("MQTT Client: Basic data published");
}

void MqttClient::SendData() {
    TelemetryData fresh;
    fresh.CollectData(m_RobotMaster);
    const int64_t now = Now();
    if (now > m_LastTelemetryTime + m_TelemetryInterval || fresh != m_Telemetry) {
        m_LastTelemetryTime = now;
        m_Telemetry.swap(fresh);
        const std::string base = GetTopicBase();
        const TelemetryData& t = m_Telemetry;
        PublishMessage(base + MqttTopics::StatusCurrentCommandTopic, t.currentCommand, 0, false);
        PublishMessage(base + MqttTopics::StatusErrorCodesTopic, t.errorCodes, 0, false);
        PublishMessage(base + MqttTopics::StatusErrorStringTopic, t.errorString, 0, false);
        PublishMessage(base + MqttTopics::StatusLastMessageTopic, t.lastMessage, 0, false);
        PublishMessage(base + MqttTopics::StatusProgramRunningTopic, t.programRunning, 0, false);
        PublishMessage(base + MqttTopics::StatusSubProgramsTopic, t.subPrograms, 0, false);
        PublishMessage(base + MqttTopics::StatusTemperaturesPCBTopic, t.temperaturesPCB, 0, false);
        PublishMessage(base + MqttTopics::StatisticsProgramStartsTopic, t.programStarts, 0, false);
        PublishMessage(base + MqttTopics::StatisticsUpTimeCompleteTopic, t.upTimeComplete, 0, false);
        PublishMessage(base + MqttTopics::StatisticsUpTimeEnabledTopic, t.upTimeEnabled, 0, false);
        PublishMessage(base + MqttTopics::StatisticsUpTimeLastTopic, t.upTimeLast, 0, false);
        PublishMessage(base + MqttTopics::StatisticsUpTimeMotionTopic, t.upTimeMotion, 0, false);
    }
    PublishPicture(m_EnvironmentPicture, MqttTopics::ImageEnvironmentTopic, now);
    PublishPicture(m_WorkareaPicture, MqttTopics::ImageWorkareaTopic, now);
}

void MqttClient::PublishPicture(CameraData& slot, const std::string& suffix, int64_t now) {
    if (now <= slot.lastPublished + m_PictureInterval) return;
    if (!slot.CollectData()) return;
    slot.lastPublished = now;
    const std::string topic = GetTopicBase() + suffix;
    if (slot.HasImage()) {
        PublishMessage(topic, slot.imageData.data(), static_cast<unsigned int>(slot.imageData.size()), 0, false);
    } else {
        PublishMessage(topic, nullptr, 0, 0, false);
    }
}

// ---------------------------------------------------------------- callbacks

void MqttClient::OnConnect() {
    LogSingleton::instance()->add("MQTT-Client: Connected");
    // The library holds its own lock around this callback, and publishing
    // takes ours, which other threads hold while they call the library: the
    // updater publishes the basic data at its next pass instead.
    m_BasicDataDue = true;
    m_Connected = true;
    NotifyCloudInfo();
}

void MqttClient::OnConnectFailure(int code, const char* message) {
    m_Connected = false;
    std::string reason = message != nullptr && *message != '\0' ? message : MQTTAsync_strerror(code);
    reason += " (code " + std::to_string(code) + ")";
    // The library gives one text for every TCP or TLS failure; a handshake of
    // our own with the same trust tells a down broker from a refused
    // certificate, and logs the line when it is done. Other failures (the
    // broker refused the login) keep the library's words.
    if (code == MQTTASYNC_FAILURE && RequestDiagnosis(reason)) return;
    LogSingleton::instance()->add("MQTT-Client: Connect failed: " + reason);
}

bool MqttClient::RequestDiagnosis(const std::string& libraryReason) {
    DiagnosisRequest request;
    {
        std::lock_guard<std::mutex> attempt(m_AttemptMutex);
        request.uri = m_AttemptUri;
        request.caPath = m_AttemptCaPath;
    }
    request.libraryReason = libraryReason;
    std::string replaced;
    {
        std::lock_guard<std::mutex> lock(m_DiagnosisMutex);
        // A switch-off stores the flag before it drops the diagnoses, so a
        // failure that comes after it starts none.
        if (m_DiagnosisEnding || !m_Enabled) return false;
        if (m_PendingDiagnosis) replaced = m_PendingDiagnosis->libraryReason;
        m_PendingDiagnosis = std::move(request);
        if (!m_DiagnosisThread.joinable()) {
            try {
                m_DiagnosisThread = std::thread(&MqttClient::DiagnosisWorker, this);
            } catch (const std::system_error&) {
                m_PendingDiagnosis.reset();
                return false;
            }
        }
    }
    m_DiagnosisWake.notify_one();
    if (!replaced.empty()) LogSingleton::instance()->add("MQTT-Client: Connect failed: " + replaced);
    return true;
}

void MqttClient::DiagnosisWorker() {
    std::unique_lock<std::mutex> lock(m_DiagnosisMutex);
    while (true) {
        m_DiagnosisWake.wait(lock, [this]() { return m_DiagnosisEnding || m_PendingDiagnosis.has_value(); });
        if (m_DiagnosisEnding) return;
        const DiagnosisRequest request = std::move(*m_PendingDiagnosis);
        m_PendingDiagnosis.reset();
        const auto cancel = std::make_shared<DiagnosisCancel>();
        m_RunningDiagnosis = cancel;
        lock.unlock();
        std::string reason = DiagnoseTlsConnect(request.uri, request.caPath,
                                                static_cast<int>(TlsDiagnosisDeadline.count()), cancel.get());
        // A dropped diagnosis still leaves the failure in the log, in the library's words.
        if (reason.empty()) reason = request.libraryReason;
        LogSingleton::instance()->add("MQTT-Client: Connect failed: " + reason);
        lock.lock();
        m_RunningDiagnosis.reset();
    }
}

void MqttClient::DropDiagnosis(bool ending) {
    std::string dropped;
    {
        std::lock_guard<std::mutex> lock(m_DiagnosisMutex);
        if (ending) m_DiagnosisEnding = true;
        if (m_PendingDiagnosis) dropped = m_PendingDiagnosis->libraryReason;
        m_PendingDiagnosis.reset();
        if (m_RunningDiagnosis) m_RunningDiagnosis->Cancel();
    }
    m_DiagnosisWake.notify_one();
    if (!dropped.empty()) LogSingleton::instance()->add("MQTT-Client: Connect failed: " + dropped);
}

void MqttClient::OnDisconnect() {
    m_DisconnectPending = false;
    LogSingleton::instance()->add("MQTT-Client: Disconnected");
    NotifyCloudInfo();
}

void MqttClient::OnDisconnectFailure() {
    m_DisconnectPending = false;
    LogSingleton::instance()->add("MQTT-Client: Disconnect failed");
    NotifyCloudInfo();
}

void MqttClient::OnConnectionLost(const char*) {
    LogSingleton::instance()->add("MQTT-Client: Connection lost");
    m_Connected = false;
    NotifyCloudInfo();
}

void MqttClient::OnSend() {}

void MqttClient::OnSendFailure() { LogSingleton::instance()->add("MQTT-Client: Send failed"); }

int MqttClient::OnMessageReceived() { return 1; }

void MqttClient::OnMessageDelivered(int token) {
    m_LastDeliveredToken = token;
    int32_t expected = token;
    m_AwaitedDeliveryToken.compare_exchange_strong(expected, -1);
}

void onConnect(void* context, MQTTAsync_successData*) { Client(context)->OnConnect(); }
void onConnectFailure(void* context, MQTTAsync_failureData* response) {
    Client(context)->OnConnectFailure(response != nullptr ? response->code : MQTTASYNC_FAILURE,
                                      response != nullptr ? response->message : nullptr);
}
void onDisconnect(void* context, MQTTAsync_successData*) { Client(context)->OnDisconnect(); }
void onDisconnectFailure(void* context, MQTTAsync_failureData*) { Client(context)->OnDisconnectFailure(); }
void onConnectionLost(void* context, char* cause) { Client(context)->OnConnectionLost(cause); }
void onSend(void* context, MQTTAsync_successData*) { Client(context)->OnSend(); }
void onSendFailure(void* context, MQTTAsync_failureData*) { Client(context)->OnSendFailure(); }

int onMessageReceived(void* context, char* topic, int, MQTTAsync_message* message) {
    // Taken, so the library leaves the freeing to us.
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic);
    return Client(context)->OnMessageReceived();
}

void onMessageDelivered(void* context, MQTTAsync_token token) { Client(context)->OnMessageDelivered(token); }

// ---------------------------------------------------------------- seams and helpers

void MqttClient::SetClock(Clock clock) {
    std::lock_guard<std::mutex> lock(m_ClockMutex);
    m_Clock = std::move(clock);
}

int64_t MqttClient::Now() const {
    std::lock_guard<std::mutex> lock(m_ClockMutex);
    return m_Clock ? m_Clock() : static_cast<int64_t>(std::time(nullptr));
}

void MqttClient::SetServerUri(const std::string& uri) {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    m_ServerUri = uri;
}

std::string MqttClient::GetServerUri() const {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    return m_ServerUri;
}

std::string MqttClient::GetTopicBase() const {
    std::lock_guard<std::recursive_mutex> lock(m_Mutex);
    return m_TopicBase;
}

void MqttClient::NotifyCloudInfo() { cloudInfoCallback(); }

}  // namespace Cloud
