#include "server/ComServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"

namespace {

const char StartToken[] = "HXPSTART";
const char EndToken[] = "HXPEND";
const char PicturePrefix[] = "CAMINFO CameraImage ";
constexpr std::size_t PicturePrefixLength = sizeof(PicturePrefix) - 1;

// How long the connection thread waits for the socket before it looks at its queue again.
constexpr int PollMs = 5;
// Once a byte arrived, the next must follow within this, until a frame is complete.
constexpr auto ReadGap = std::chrono::seconds(1);
// Bytes taken from the socket at a time, so that sending goes on beside a client that writes a lot.
constexpr std::size_t ReadChunk = 4096;
// Queued bodies framed at a time for writing (a larger body goes alone).
constexpr std::size_t OutgoingChunk = 16 * 1024;

// Length of the part that names the camera of a picture line ("CAMINFO CameraImage
// <name> "), or 0 for other bodies. The picture text itself holds no blank.
std::size_t PictureKeyLength(const std::string& body) {
    if (body.compare(0, PicturePrefixLength, PicturePrefix) != 0) return 0;
    return body.rfind(' ') + 1;
}

bool SamePicture(const std::string& body, std::size_t key, const std::string& other) {
    return PictureKeyLength(other) == key && other.compare(0, key, body, 0, key) == 0;
}

// The connection's end on a failed read, named by where in the frame it failed.
std::runtime_error ReadFailure(bool inBody, const std::string& reason) {
    return std::runtime_error(inBody ? "41 (read failed at body of message), " + reason
                                     : "40 (read failed at head of message), " + reason);
}

}  // namespace

std::atomic<const ComServer*> ComServer::s_BridgeOwner{nullptr};

namespace {
// The connection whose thread this is, if any.
thread_local const ComServer* t_ServedConnection = nullptr;
}  // namespace

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
    t_ServedConnection = this;
    LogSingleton* log = LogSingleton::instance();
    {
        std::lock_guard<std::mutex> lock(m_PendingMutex);
        m_Pending.clear();
    }
    log->DisplayAndServerSetMessage("Client accepted!");
    m_Running = true;
    try {
        // Reads and writes never wait for each other: a client that reads slowly
        // still has its frames read and acted on while its queue drains.
        while (m_Running && !m_Stop) {
            SendQueueToClient();
            const int socket = m_Socket.load();
            if (socket < 0) break;
            pollfd entry{socket, POLLIN, 0};
            if (m_OutgoingSent < m_Outgoing.size()) entry.events |= POLLOUT;
            const int ready = poll(&entry, 1, PollMs);
            if (ready > 0 && (entry.revents & POLLNVAL) != 0) break;
            if (ready > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0) ReadFrames();
            if (m_FrameBegun && std::chrono::steady_clock::now() - m_LastByte > ReadGap)
                throw ReadFailure(m_Reader.InBody(), std::strerror(EAGAIN));
            PollPacedLogs();
        }
    } catch (const std::exception& e) {
        m_Running = false;
        log->addErrorFormat("ERROR: HXP-Server Read error %s", e.what());
        m_Watchdog = -1;
    }
    EndConnection();
}

void ComServer::ReadFrames() {
    const int socket = m_Socket.load();
    char bytes[ReadChunk];
    errno = 0;
    const ssize_t got = recv(socket, bytes, sizeof(bytes), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (got == 0 && !m_Reader.InBody()) {
        // An orderly close between frames is how a client leaves.
        LogSingleton::instance()->add("HXP-Server: Client closed the connection");
        m_Running = false;
        return;
    }
    if (got <= 0) throw ReadFailure(m_Reader.InBody(), std::strerror(errno));
    m_LastByte = std::chrono::steady_clock::now();
    // The frames of these bytes were sent before any stop given from now on, however
    // long the ones before them keep them waiting.
    if (m_RobotMaster != nullptr) m_ChunkSequence = m_RobotMaster->NextCommandSequence();
    for (ssize_t i = 0; i < got; ++i) {
        // A connection dropped meanwhile (a client that does not read) ends here too.
        if (m_Stop || !m_Running) return;
        switch (m_Reader.Feed(bytes[i])) {
            case HXPFrameReader::Result::Frame:
                ParseMessage(m_Reader.Data(), m_Reader.Length());
                m_Reader.Reset();
                m_FrameBegun = false;
                break;
            case HXPFrameReader::Result::Overflow:
                LogPaced(m_OverflowLog, "HXP-Server: Read buffer filled without HXPEND token, skipping message");
                m_Reader.Reset();
                m_FrameBegun = false;
                break;
            case HXPFrameReader::Result::NeedMore:
                m_FrameBegun = true;
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

bool ComServer::PeerHasClosed() const {
    const int socket = m_Socket.load();
    if (socket < 0) return true;
    pollfd entry{socket, POLLRDHUP, 0};
    return poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void ComServer::LogPaced(PacedLog& paced, const std::string& line) {
    const RepeatedEventLog::Decision decision = paced.pacer.Note();
    paced.line = line;
    std::string text;
    if (decision.action == RepeatedEventLog::Action::LogEvent) text = line;
    if (decision.action == RepeatedEventLog::Action::LogSummary)
        text = line + " (" + std::to_string(decision.count) + " times more)";
    if (text.empty()) return;
    if (paced.toStdout) {
        text += "\n";
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    } else {
        LogSingleton::instance()->add(text);
    }
}

void ComServer::PollPacedLogs() {
    for (PacedLog* paced : {&m_OverflowLog, &m_UnknownTypeLog}) {
        const RepeatedEventLog::Decision decision = paced->pacer.Poll();
        if (decision.action != RepeatedEventLog::Action::LogSummary) continue;
        std::string text = paced->line + " (" + std::to_string(decision.count) + " times more)";
        if (paced->toStdout) {
            text += "\n";
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
        } else {
            LogSingleton::instance()->add(text);
        }
    }
}

// ---------------------------------------------------------------- sending

void ComServer::SendToClient(const std::string& body) {
    std::size_t queued = 0;
    {
        std::lock_guard<std::mutex> lock(m_SendMutex);
        if (m_SendQueueOverflow) return;
        // A picture is a state, not an event: a camera's newer picture replaces its
        // older one still waiting, so a client that reads slowly gets the newest.
        if (const std::size_t key = PictureKeyLength(body)) {
            for (auto it = m_SendQueue.begin(); it != m_SendQueue.end(); ++it) {
                if (!SamePicture(body, key, *it)) continue;
                m_SendQueueBytes -= it->size();
                m_SendQueue.erase(it);
                break;
            }
        }
        if (m_SendQueue.empty() || m_SendQueueBytes + body.size() <= MaxSendQueueBytes) {
            m_SendQueue.push_back(body);
            m_SendQueueBytes += body.size();
            return;
        }
        // Only a client that reads nothing at all lets the queue grow past the
        // bound while its connection keeps sending; it is dropped.
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
    if (m_OutgoingSent == m_Outgoing.size()) {
        m_Outgoing.clear();
        m_OutgoingSent = 0;
        // Bodies are framed a few at a time: what is queued meanwhile waits at most
        // for the frames being written, and a newer picture can still replace a queued one.
        std::deque<std::string> bodies;
        {
            std::lock_guard<std::mutex> lock(m_SendMutex);
            if (!m_Running || m_Socket.load() == -1) {
                // A closed connection drops what was queued.
                m_SendQueue.clear();
                m_SendQueueBytes = 0;
                return;
            }
            std::size_t taken = 0;
            while (!m_SendQueue.empty() && (taken == 0 || taken + m_SendQueue.front().size() <= OutgoingChunk)) {
                taken += m_SendQueue.front().size();
                m_SendQueueBytes -= m_SendQueue.front().size();
                bodies.push_back(std::move(m_SendQueue.front()));
                m_SendQueue.pop_front();
            }
        }
        LogSingleton* log = LogSingleton::instance();
        for (const std::string& body : bodies) {
            if (body.find(StartToken) != std::string::npos || body.find(EndToken) != std::string::npos) {
                log->addFormat("HXP-Server: Could not send message to HXP client, it contains a reserved token: %s",
                               body);
                continue;
            }
            m_Outgoing.append("HXPSTART ").append(std::to_string(m_SendCounter)).append(" ").append(body).append(
                " HXPEND\n");
            m_SendCounter = (m_SendCounter + 1) % 1000;
        }
    }
    // What the socket takes now; the rest goes once it has room, between reads.
    const int socket = m_Socket.load();
    while (m_OutgoingSent < m_Outgoing.size() && m_Running && socket != -1) {
        errno = 0;
        const ssize_t sent = send(socket, m_Outgoing.data() + m_OutgoingSent, m_Outgoing.size() - m_OutgoingSent,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            m_OutgoingSent += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        const std::string reason = std::strerror(errno);
        StopFromError();
        LogSingleton::instance()->addFormat("HXP-Server: Could not write to stream, closing connection (%s)", reason);
    }
    if (!m_Running || socket == -1) {
        m_Outgoing.clear();
        m_OutgoingSent = 0;
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

ComServer::PostResult ComServer::Post(int32_t code, int32_t parameter, float value, int counter, uint64_t sequence) {
    std::lock_guard<std::mutex> lock(m_PendingMutex);
    if (m_Pending.size() >= MaxPendingCommands) return PostResult::Full;
    // Numbered or checked under the lock: a stop clears the queue only after it has
    // its own number, so a start numbered before it is either cleared or refused here.
    if (sequence == 0 && m_RobotMaster != nullptr) sequence = m_RobotMaster->NextCommandSequence();
    if (IsStartLike(code) && m_RobotMaster != nullptr && m_RobotMaster->StoppedSince(sequence))
        return PostResult::Stopped;
    m_Pending.push_back(QueuedCommand{code, parameter, value, counter, sequence});
    return PostResult::Posted;
}

bool ComServer::TakePendingCommand(int32_t& code, int32_t& parameter, float& value) {
    QueuedCommand command;
    if (!TakeCommand(command)) return false;
    code = command.code;
    parameter = command.parameter;
    value = command.value;
    CommandDone();
    return true;
}

bool ComServer::TakeCommand(QueuedCommand& command) {
    std::lock_guard<std::mutex> lock(m_PendingMutex);
    if (m_Pending.empty()) return false;
    command = m_Pending.front();
    m_Pending.pop_front();
    ++m_CommandsRunning;
    return true;
}

void ComServer::CommandDone() {
    std::lock_guard<std::mutex> lock(m_PendingMutex);
    if (m_CommandsRunning > 0) --m_CommandsRunning;
    m_PendingDone.notify_all();
}

bool ComServer::HasPendingCommands() const {
    std::lock_guard<std::mutex> lock(m_PendingMutex);
    return !m_Pending.empty();
}

void ComServer::CancelQueuedStarts(uint64_t stopSequence) {
    std::vector<int> cancelled;
    {
        std::lock_guard<std::mutex> lock(m_PendingMutex);
        for (auto it = m_Pending.begin(); it != m_Pending.end();) {
            if (IsStartLike(it->code) && it->sequence < stopSequence) {
                cancelled.push_back(it->counter);
                it = m_Pending.erase(it);
            } else {
                ++it;
            }
        }
        if (!cancelled.empty()) m_PendingDone.notify_all();
    }
    // The client heard CMDACK for each: it hears that a stop cancelled it.
    for (const int counter : cancelled) ReportCancelledByStop(counter);
}

void ComServer::ReportCancelledByStop(int counter) {
    LogSingleton::instance()->addFormat("HXP-Server: command %d cancelled by a stop", counter);
    if (counter >= 0) SendCmdError(counter, "cancelled by a stop");
}

bool ComServer::WaitForEarlierCommands(int counter) {
    // Only the connection's own thread waits (and sends meanwhile); a frame handed in
    // from elsewhere is interpreted at once.
    if (t_ServedConnection != this) return true;
    const auto deadline = std::chrono::steady_clock::now() + MaxWaitForEarlierCommands;
    std::unique_lock<std::mutex> lock(m_PendingMutex);
    while (!m_Pending.empty() || m_CommandsRunning > 0) {
        if (!m_Running || m_Stop || std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            LogSingleton::instance()->addFormat("HXP-Server: command %d refused, earlier commands still waiting",
                                                counter);
            if (counter >= 0) SendCmdError(counter, "earlier commands still waiting");
            return false;
        }
        // Replies and status lines go on meanwhile.
        lock.unlock();
        SendQueueToClient();
        lock.lock();
        m_PendingDone.wait_for(lock, std::chrono::milliseconds(PollMs));
    }
    return true;
}

bool ComServer::RefuseStoppedStart(int counter) {
    if (m_RobotMaster == nullptr || !m_RobotMaster->StoppedSince(m_FrameSequence)) return false;
    ReportCancelledByStop(counter);
    return true;
}

bool ComServer::PostOrRefuse(int counter, int32_t code, int32_t parameter, float value) {
    const PostResult result = Post(code, parameter, value, counter, m_FrameSequence);
    if (result == PostResult::Posted) return true;
    if (result == PostResult::Stopped) {
        ReportCancelledByStop(counter);
        return false;
    }
    LogSingleton::instance()->addFormat("HXP-Server: %d commands are waiting, command %d refused",
                                        static_cast<int>(MaxPendingCommands), counter);
    SendCmdError(counter, "too many commands waiting");
    return false;
}

// ---------------------------------------------------------------- role

void ComServer::SetActive(bool active) {
    if (m_Passive.exchange(!active) == !active) return;
    if (!active) {
        // Commands posted while active must not run once the client is active again.
        std::lock_guard<std::mutex> lock(m_PendingMutex);
        m_Pending.clear();
        m_PendingDone.notify_all();
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
