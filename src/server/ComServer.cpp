#include "server/ComServer.h"

#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/LogSingleton.h"
#include "common/SendAll.h"
#include "controller/RobotMaster.h"
#include "server/HXPFrameReader.h"

namespace {

const char StartToken[] = "HXPSTART";
const char EndToken[] = "HXPEND";

}  // namespace

std::atomic<const ComServer*> ComServer::s_BridgeOwner{nullptr};

ComServer::ComServer(RobotMaster* robotMaster, ProjectManager* projectManager, Cloud::MqttClient* cloud, int socket)
    : m_Socket(socket),
      m_RobotMaster(robotMaster),
      m_ProgramIPO(robotMaster != nullptr ? &robotMaster->ipoMain : nullptr),
      m_LogicIPO(robotMaster != nullptr ? &robotMaster->ipoLogic : nullptr),
      m_ProjectManager(projectManager),
      m_Cloud(cloud) {
    for (auto& value : m_JogValues) value = 0.0f;
}

ComServer::~ComServer() {
    m_Running = false;
    m_Stop = true;
    const ComServer* self = this;
    s_BridgeOwner.compare_exchange_strong(self, nullptr);
    if (m_Thread.joinable()) {
        // The thread's own last reference may end here; it cannot wait for itself.
        if (m_Thread.get_id() == std::this_thread::get_id())
            m_Thread.detach();
        else
            m_Thread.join();
    }
    const int socket = m_Socket.exchange(-1);
    if (socket != -1) {
        wait(500);
        close(socket);
    }
}

void ComServer::StartServer() {
    m_Stop = false;
    std::shared_ptr<ComServer> self = shared_from_this();
    m_Thread = std::thread([self]() { threadComLoop(self.get()); });
    LogSingleton::instance()->add("HXP-Server: starting");
}

void ComServer::StopServer() { m_Stop = true; }

void ComServer::Join() {
    if (m_Thread.joinable() && m_Thread.get_id() != std::this_thread::get_id()) m_Thread.join();
}

void ComServer::threadComLoop(void* connection) { static_cast<ComServer*>(connection)->ThreadComLoop(); }

void ComServer::ThreadComLoop() {
    LogSingleton* log = LogSingleton::instance();
    {
        std::lock_guard<std::mutex> lock(m_PendingMutex);
        m_Pending.clear();
    }
    log->DisplayAndServerSetMessage("Client accepted!");
    m_Running = true;
    try {
        while (m_Running && !m_Stop) {
            SendQueueToClient();
            const int socket = m_Socket.load();
            if (socket < 0 || socket >= FD_SETSIZE) break;
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(socket, &readable);
            timeval timeout{0, 5000};
            if (select(socket + 1, &readable, nullptr, nullptr, &timeout) <= 0) continue;
            ReadFrame();
        }
    } catch (const std::exception& e) {
        m_Running = false;
        log->addErrorFormat("ERROR: HXP-Server Read error %s", e.what());
        m_Watchdog = -1;
    }
    EndConnection();
}

void ComServer::ReadFrame() {
    HXPFrameReader reader;
    const int socket = m_Socket.load();
    // A connection dropped meanwhile (a client that does not read) ends here too.
    while (!m_Stop && m_Running) {
        char byte = 0;
        errno = 0;
        const ssize_t got = recv(socket, &byte, 1, 0);
        if (got == 0 && !reader.InBody()) {
            // An orderly close between frames is how a client leaves.
            LogSingleton::instance()->add("HXP-Server: Client closed the connection");
            m_Running = false;
            return;
        }
        if (got < 1) {
            const std::string reason = std::strerror(errno);
            throw std::runtime_error(reader.InBody() ? "41 (read failed at body of message), " + reason
                                                     : "40 (read failed at head of message), " + reason);
        }
        switch (reader.Feed(byte)) {
            case HXPFrameReader::Result::Frame:
                ParseMessage(reader.Data(), reader.Length());
                return;
            case HXPFrameReader::Result::Overflow:
                LogSingleton::instance()->add("HXP-Server: Read buffer filled without HXPEND token, skipping message");
                return;
            case HXPFrameReader::Result::NeedMore:
                break;
        }
    }
}

void ComServer::EndConnection() {
    LogSingleton* log = LogSingleton::instance();
    // From here on the connection no longer counts as the active one: a client that
    // connects meanwhile takes the role by the usual rule.
    m_Ending = true;
    m_Running = false;
    ResetJogValues();
    m_Upload.Discard();  // an unfinished upload leaves the target as it was
    wait(200);
    const int socket = m_Socket.exchange(-1);
    if (socket != -1 && close(socket) != 0) log->addErrorFormat("Error while closing socket: %s", std::strerror(errno));
    log->add("HXP-Server: connection closed");
    // Only the end of the client that switched the bridge on ends the bridge.
    const ComServer* self = this;
    if (s_BridgeOwner.compare_exchange_strong(self, nullptr) && log->get_opMode() == opModeCANBridge) {
        log->add("HXP-Server: Switch off CANBridge");
        log->set_opMode(opModeNormal);
    }
    if (connectionClosedCallback) connectionClosedCallback(-1);
}

void ComServer::StopFromError() {
    m_Running = false;
    m_Watchdog = -1;
}

// ---------------------------------------------------------------- sending

void ComServer::SendToClient(const std::string& body) {
    std::size_t queued = 0;
    {
        std::lock_guard<std::mutex> lock(m_SendMutex);
        if (m_SendQueueOverflow) return;
        if (m_SendQueue.empty() || m_SendQueueBytes + body.size() <= MaxSendQueueBytes) {
            m_SendQueue.push_back(body);
            m_SendQueueBytes += body.size();
            return;
        }
        // The thread sends only between frames: a client that keeps a frame open and
        // never reads would grow the queue without end. It is dropped instead.
        queued = m_SendQueueBytes;
        m_SendQueueOverflow = true;
        m_SendQueue.clear();
        m_SendQueueBytes = 0;
    }
    StopFromError();
    LogSingleton::instance()->addErrorFormat(
        "HXP-Server: Client does not read its messages (%d bytes queued), closing connection", static_cast<int>(queued));
}

void ComServer::SendQueueToClient() {
    std::deque<std::string> bodies;
    {
        std::lock_guard<std::mutex> lock(m_SendMutex);
        if (m_SendQueue.empty()) return;
        bodies.swap(m_SendQueue);
        m_SendQueueBytes = 0;
    }
    const int socket = m_Socket.load();
    if (!m_Running || socket == -1) return;  // a closed connection drops what was queued

    LogSingleton* log = LogSingleton::instance();
    for (const std::string& body : bodies) {
        if (body.find(StartToken) != std::string::npos || body.find(EndToken) != std::string::npos) {
            log->addFormat("HXP-Server: Could not send message to HXP client, it contains a reserved token: %s",
                           body);
            continue;
        }
        const std::string frame = "HXPSTART " + std::to_string(m_SendCounter) + " " + body + " HXPEND\n";
        m_SendCounter = (m_SendCounter + 1) % 1000;
        if (!m_Running) continue;
        errno = 0;
        if (Net::SendAll(socket, frame.data(), frame.size()) < frame.size()) {
            const std::string reason = std::strerror(errno);
            StopFromError();
            log->addFormat("HXP-Server: Could not write to stream, closing connection (%s)", reason);
        }
    }
}

void ComServer::SendCmdAck(int counter) { SendToClient("CMDACK " + std::to_string(counter)); }

void ComServer::SendCmdError(int counter, const std::string& text) {
    SendToClient("CMDERROR " + std::to_string(counter) + " " + text);
}

std::vector<std::string> ComServer::QueuedBodies() const {
    std::lock_guard<std::mutex> lock(m_SendMutex);
    return std::vector<std::string>(m_SendQueue.begin(), m_SendQueue.end());
}

std::size_t ComServer::QueuedBytes() const {
    std::lock_guard<std::mutex> lock(m_SendMutex);
    return m_SendQueueBytes;
}

// ---------------------------------------------------------------- jog values and watchdog

void ComServer::GetJogValues(float* out) {
    int32_t watchdog = m_Watchdog.load();
    // Only a running watchdog counts down; one that fired or never started stays below 1.
    while (watchdog > 0 && !m_Watchdog.compare_exchange_weak(watchdog, watchdog - 1)) {
    }
    if (watchdog == 1) {
        m_Watchdog = -1;
        m_Running = false;
        LogSingleton::instance()->add("HXP-Server: client does not send anymore (watchdog), closing connection");
        ResetJogValues();
    }
    if (out != nullptr)
        for (int i = 0; i < 9; ++i) out[i] = m_JogValues[i].load();
}

void ComServer::ResetJogValues() {
    for (auto& value : m_JogValues) value = 0.0f;
}

// ---------------------------------------------------------------- pending command

bool ComServer::PostCommand(int32_t code, int32_t parameter, float value) {
    std::lock_guard<std::mutex> lock(m_PendingMutex);
    if (m_Pending.size() >= MaxPendingCommands) return false;
    m_Pending.push_back(PendingCommand{code, parameter, value});
    return true;
}

bool ComServer::TakePendingCommand(int32_t& code, int32_t& parameter, float& value) {
    std::lock_guard<std::mutex> lock(m_PendingMutex);
    if (m_Pending.empty()) return false;
    const PendingCommand command = m_Pending.front();
    m_Pending.pop_front();
    code = command.code;
    parameter = command.parameter;
    value = command.value;
    return true;
}

void ComServer::RefusePost(int counter) {
    LogSingleton::instance()->addFormat("HXP-Server: %d commands are waiting, command %d refused",
                                        static_cast<int>(MaxPendingCommands), counter);
    SendCmdError(counter, "too many commands waiting");
}

// ---------------------------------------------------------------- role

void ComServer::SetActive(bool active) {
    if (m_Passive.exchange(!active) == !active) return;
    if (!active) {
        // Commands posted while active must not run once the client is active again.
        std::lock_guard<std::mutex> lock(m_PendingMutex);
        m_Pending.clear();
    }
    PublishActiveState();
}

void ComServer::SetPassive(bool passive) {
    if (m_Passive.exchange(passive) != passive)
        LogSingleton::instance()->add(passive ? "ComServer: Switching to passive mode"
                                              : "ComServer: Switching to active mode");
}

void ComServer::RequestActivate(bool active) {
    if (changeActiveRequestCallback) changeActiveRequestCallback(GetSocket(), active);
}

void ComServer::PublishActiveState() { SendToClient(IsActive() ? "CMD Active true" : "CMD Active false"); }

// ---------------------------------------------------------------- helpers

std::string ComServer::Replace(const std::string& source, const std::string& from, const std::string& to) {
    std::string text = source;
    if (from.empty() || to.find(from) != std::string::npos) {
        // Replacing again from the start would never end; one pass does what can be done.
        if (from.empty()) return text;
        std::string out;
        std::size_t start = 0;
        for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, start)) {
            out.append(text, start, at - start).append(to);
            start = at + from.size();
        }
        return out.append(text, start, std::string::npos);
    }
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from))
        text.replace(at, from.size(), to);
    return text;
}

std::vector<std::string> ComServer::SplitIgnoreEscaped(const std::string& text, char delimiter) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    int backslashes = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\') {
            ++backslashes;
        } else if (c == delimiter) {
            if (backslashes % 2 == 0) {
                pieces.push_back(Replace(text.substr(start, i - start), "\\\\", "\\"));
                start = i + 1;
            }
        } else {
            backslashes = 0;
        }
    }
    if (start < text.size()) pieces.push_back(Replace(text.substr(start), "\\\\", "\\"));
    return pieces;
}

void ComServer::wait(int ms) {
    if (ms > 0) usleep(static_cast<useconds_t>(ms) * 1000u);
}
