#include "server/ModbusServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus-tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "controller/ProjectManager.h"
#include "server/ModbusReply.h"
#include "server/ModbusRequestReader.h"

namespace Modbus {

namespace {

// How often the listener looks at its flags while nothing happens.
constexpr int PollMs = 100;
// A request must be complete this long after its first byte arrived.
constexpr auto RequestTimeLimit = std::chrono::seconds(1);
// The most clients served at once, whatever the configured limit.
constexpr std::size_t ClientCap = 1024;

}  // namespace

struct ModbusServer::Client {
    int fd = -1;
    RequestReader reader;
    bool partial = false;
    std::chrono::steady_clock::time_point partialSince{};
    // One line per connection, however many answers fail.
    bool replyErrorLogged = false;
};

ModbusServer* ModbusServer::Instance() {
    static ModbusServer instance;
    return &instance;
}

ModbusServer::ModbusServer() { m_Callbacks.SetupCallbacks(); }

ModbusServer::~ModbusServer() { Stop(); }

void ModbusServer::Init(RobotMaster* robotMaster, ProjectManager* projectManager) {
    m_RobotMaster = robotMaster;
    m_ProjectManager = projectManager;
}

void ModbusServer::SetSoftwareInfo(int major, int minor, int patch) {
    m_Major = major;
    m_Minor = minor;
    m_Patch = patch;
}

void ModbusServer::SetPort(int port) {
    m_Port = port;
    LogSingleton::instance()->addFormat("Modbus: Port set to %d", port);
}

void ModbusServer::SetMaxConnections(unsigned int count) {
    m_MaxConnections = count;
    LogSingleton::instance()->addFormat("Modbus: Max connections set to %d", count);
}

std::size_t ModbusServer::GetClientCount() const { return m_ClientCount.load(); }

// ---------------------------------------------------------------- lifecycle

void ModbusServer::Start() {
    std::lock_guard<std::mutex> lifecycle(m_LifecycleMutex);
    if (m_Running) return;
    // A listener that ended on its own (no context, no socket) is collected first.
    if (m_Listener.joinable()) m_Listener.join();
    LogSingleton::instance()->add("Modbus: Starting server");
    m_Restart = false;
    m_Running = true;
    m_Listener = std::thread(&ModbusServer::Listener, this);
}

void ModbusServer::Stop() {
    // From a mapping callback the listener cannot wait for itself; it ends after this request.
    if (std::this_thread::get_id() == m_ListenerId.load()) {
        m_Running = false;
        return;
    }
    std::lock_guard<std::mutex> lifecycle(m_LifecycleMutex);
    if (m_Running.exchange(false)) LogSingleton::instance()->add("Modbus: Stopping server");
    if (m_Listener.joinable()) m_Listener.join();
}

void ModbusServer::Restart() {
    if (m_Running && IsListening()) {
        LogSingleton::instance()->add("Modbus: Restarting server");
        m_Restart = true;
        return;
    }
    Start();
}

// ---------------------------------------------------------------- listener

void ModbusServer::Listener() {
    LogSingleton* log = LogSingleton::instance();
    m_ListenerId = std::this_thread::get_id();
    log->add("Modbus: Initializing");
    {
        std::lock_guard<std::mutex> lock(m_ImageMutex);
        m_Mapping = modbus_mapping_new(BitCount, BitCount, RegisterCount, RegisterCount);
        if (m_Mapping != nullptr) m_Mapping->tab_registers[180] = 500;
    }
    if (m_Mapping == nullptr) {
        log->addFormat("Modbus: Could not allocate memory for mapping: %s", modbus_strerror(errno));
        m_ListenerId = std::thread::id();
        m_Running = false;
        return;
    }
    m_PreviousCoils.resize(BitCount, 0);

    while (m_Running) {
        m_Restart = false;
        if (!Serve()) break;
        if (!m_Restart) break;
    }
    FreeImage();
    m_ListenerId = std::thread::id();
    m_Running = false;
}

void ModbusServer::FreeImage() {
    std::lock_guard<std::mutex> lock(m_ImageMutex);
    if (m_Mapping != nullptr) modbus_mapping_free(m_Mapping);
    m_Mapping = nullptr;
}

bool ModbusServer::Serve() {
    LogSingleton* log = LogSingleton::instance();
    const std::string service = std::to_string(m_Port.load());
    const unsigned maxConnections = m_MaxConnections.load();
    log->addFormat("Modbus: Starting server at interface %s and port %s, max %d clients, mapping version %d",
                   m_Interface.empty() ? "any" : m_Interface.c_str(), service.c_str(), maxConnections,
                   MODBUS_MAPPING_VERSION);

    m_Context = modbus_new_tcp_pi(m_Interface.empty() ? nullptr : m_Interface.c_str(), service.c_str());
    if (m_Context == nullptr) {
        log->addFormat("Modbus: Could not create context: %s", modbus_strerror(errno));
        log->add("Modbus: Server stopped");
        return false;
    }
    // The library waits its response time-out before flushing after some exception answers.
    modbus_set_response_timeout(m_Context, 0, 1);

    const int listening = modbus_tcp_pi_listen(m_Context, static_cast<int>(maxConnections));
    bool listened = listening >= 0;
    if (!listened) {
        log->addFormat("Modbus: Could not create listener socket: %s", modbus_strerror(errno));
    } else {
        sockaddr_storage bound{};
        socklen_t boundLength = sizeof(bound);
        if (getsockname(listening, reinterpret_cast<sockaddr*>(&bound), &boundLength) == 0) {
            const int port = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                                         : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
            m_BoundPort = port;
        }
        log->add("Modbus Server started");
    }

    while (listened && m_Running && !m_Restart) {
        std::vector<pollfd> entries;
        entries.push_back(pollfd{listening, POLLIN, 0});
        auto now = std::chrono::steady_clock::now();
        int timeout = PollMs;
        for (const Client& client : m_Clients) {
            entries.push_back(pollfd{client.fd, POLLIN, 0});
            if (client.partial) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    client.partialSince + RequestTimeLimit - now);
                timeout = std::max(0, std::min(timeout, static_cast<int>(left.count()) + 1));
            }
        }
        const int ready = poll(entries.data(), entries.size(), timeout);
        if (ready < 0 && errno != EINTR) log->addFormat("Modbus: Select() failed: %s", std::strerror(errno));

        std::vector<bool> drop(m_Clients.size(), false);
        if (ready > 0 && (entries[0].revents & POLLIN) != 0) {
            AcceptClient(listening);
            drop.resize(m_Clients.size(), false);
        } else if (ready > 0) {
            for (std::size_t i = 0; i < m_Clients.size(); ++i) {
                if (entries[i + 1].revents == 0) continue;
                drop[i] = !ServeClient(m_Clients[i]);
            }
        }
        now = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < m_Clients.size(); ++i) {
            const Client& client = m_Clients[i];
            if (drop[i] || !client.partial || now - client.partialSince < RequestTimeLimit) continue;
            log->add("Modbus: Dropping client, its request was not complete within 1 s");
            drop[i] = true;
        }
        for (std::size_t i = m_Clients.size(); i-- > 0;) {
            if (!drop[i]) continue;
            close(m_Clients[i].fd);
            m_Clients.erase(m_Clients.begin() + static_cast<std::ptrdiff_t>(i));
        }
        m_ClientCount = m_Clients.size();
    }

    if (listened) {
        log->add("Modbus: Stopping...");
        close(listening);
    }
    for (Client& client : m_Clients) close(client.fd);
    m_Clients.clear();
    m_ClientCount = 0;
    m_BoundPort = 0;
    // The context's own socket is one of the clients, already closed.
    modbus_set_socket(m_Context, -1);
    modbus_free(m_Context);
    m_Context = nullptr;
    log->add("Modbus: Server stopped");
    return listened;
}

void ModbusServer::AcceptClient(int listening) {
    LogSingleton* log = LogSingleton::instance();
    const std::size_t limit = std::min<std::size_t>(m_MaxConnections.load(), ClientCap);
    int socket = listening;
    const int fd = modbus_tcp_pi_accept(m_Context, &socket);
    if (fd < 0) {
        log->addFormat("Modbus: Could not accept new client: %s", modbus_strerror(errno));
        return;
    }
    if (m_Clients.size() >= limit) {
        log->addFormat("Modbus: Cannot accept new client (limit %d reached), closing connection",
                       static_cast<int>(m_Clients.size()));
        close(fd);
        return;
    }
    // Answers never block the listener, which holds the image lock while the library sends.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    Client client;
    client.fd = fd;
    m_Clients.push_back(std::move(client));
    m_ClientCount = m_Clients.size();
    log->add("Modbus: Accepted new client");
}

bool ModbusServer::ServeClient(Client& client) {
    LogSingleton* log = LogSingleton::instance();
    uint8_t buffer[1024];
    // Everything that has arrived, so the library's flush after an exception finds nothing of the next request.
    for (int reads = 0; reads < 16; ++reads) {
        const ssize_t n = recv(client.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n > 0) {
            client.reader.Append(buffer, static_cast<std::size_t>(n));
            if (static_cast<std::size_t>(n) < sizeof(buffer)) break;
            continue;
        }
        if (n == 0) {
            log->addFormat("Modbus: Lost client during read (%s)", modbus_strerror(ECONNRESET));
            return false;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        log->addFormat("Modbus: Lost client during read (%s)", modbus_strerror(errno));
        return false;
    }

    bool answered = false;
    std::vector<uint8_t> request;
    while (true) {
        const RequestReader::Status status = client.reader.Next(request);
        if (status == RequestReader::Status::Incomplete) break;
        if (status == RequestReader::Status::Invalid) {
            log->add("Modbus: Dropping client, invalid frame header");
            return false;
        }
        answered = true;
        modbus_set_socket(m_Context, client.fd);
        const int result = Reply(m_Context, request.data(), static_cast<int>(request.size()), m_Mapping);
        if (result != -1) continue;
        const int error = errno;
        if (error == EBADF || error == ECONNREFUSED || error == EINVAL || error == ENOTCONN || error == ENOTSOCK) {
            log->addFormat("Modbus: Lost client while replying (%s)", modbus_strerror(error));
            return false;
        }
        if (!client.replyErrorLogged) log->addFormat("Modbus: Error while replying (%s)", modbus_strerror(error));
        client.replyErrorLogged = true;
        // A callback's exception sent nothing on purpose; any other failure left the answer unsent or
        // cut, so the client reads no more answers (a full send buffer) or would read garbage.
        if (error != ECANCELED) {
            log->add("Modbus: Dropping client, its answers cannot be sent");
            return false;
        }
    }
    if (!client.reader.HasPending()) {
        client.partial = false;
    } else if (!client.partial || answered) {
        client.partial = true;
        client.partialSince = std::chrono::steady_clock::now();
    }
    return true;
}

// ---------------------------------------------------------------- image

bool ModbusServer::HasImage() const {
    std::lock_guard<std::mutex> lock(m_ImageMutex);
    return m_Mapping != nullptr;
}

uint16_t ModbusServer::GetHoldingRegister(int address) const {
    std::lock_guard<std::mutex> lock(m_ImageMutex);
    if (m_Mapping == nullptr || address < 0 || address >= RegisterCount) return 0;
    return m_Mapping->tab_registers[address];
}

uint16_t ModbusServer::GetInputRegister(int address) const {
    std::lock_guard<std::mutex> lock(m_ImageMutex);
    if (m_Mapping == nullptr || address < 0 || address >= RegisterCount) return 0;
    return m_Mapping->tab_input_registers[address];
}

uint8_t ModbusServer::GetCoil(int address) const {
    std::lock_guard<std::mutex> lock(m_ImageMutex);
    if (m_Mapping == nullptr || address < 0 || address >= BitCount) return 0;
    return m_Mapping->tab_bits[address];
}

std::vector<uint8_t> ModbusServer::CopyBits(bool coils) const {
    std::lock_guard<std::mutex> lock(m_ImageMutex);
    if (m_Mapping == nullptr) return {};
    const uint8_t* table = coils ? m_Mapping->tab_bits : m_Mapping->tab_input_bits;
    return std::vector<uint8_t>(table, table + BitCount);
}

void ModbusServer::StoreBits(bool coils, const std::vector<uint8_t>& bits) {
    std::lock_guard<std::mutex> lock(m_ImageMutex);
    if (m_Mapping == nullptr || bits.size() != static_cast<std::size_t>(BitCount)) return;
    std::memcpy(coils ? m_Mapping->tab_bits : m_Mapping->tab_input_bits, bits.data(), bits.size());
}

std::vector<uint16_t> ModbusServer::CopyRegisters(bool holding) const {
    std::lock_guard<std::mutex> lock(m_ImageMutex);
    if (m_Mapping == nullptr) return {};
    const uint16_t* table = holding ? m_Mapping->tab_registers : m_Mapping->tab_input_registers;
    return std::vector<uint16_t>(table, table + RegisterCount);
}

void ModbusServer::StoreRegisters(bool holding, const std::vector<uint16_t>& regs, int first, int last) {
    std::lock_guard<std::mutex> lock(m_ImageMutex);
    if (m_Mapping == nullptr || regs.size() != static_cast<std::size_t>(RegisterCount)) return;
    first = std::max(first, 0);
    last = std::min(last, RegisterCount - 1);
    uint16_t* table = holding ? m_Mapping->tab_registers : m_Mapping->tab_input_registers;
    for (int a = first; a <= last; ++a) table[a] = regs[static_cast<std::size_t>(a)];
}

bool ModbusServer::GetExternalJointVelocity(int axis, float& velocity) {
    velocity = 0.0f;
    if (axis < 0 || axis > 2) return false;
    uint16_t low = 0;
    uint16_t high = 0;
    {
        std::lock_guard<std::mutex> lock(m_ImageMutex);
        if (m_Mapping == nullptr) return false;
        low = m_Mapping->tab_registers[181 + 2 * axis];
        high = m_Mapping->tab_registers[182 + 2 * axis];
    }
    if (low == 0 && high == 0) return false;
    velocity = ToFloat(low, high) * 0.1f;
    return true;
}

void ModbusServer::ResetExternalJointVelocities() {
    std::lock_guard<std::mutex> lock(m_ImageMutex);
    if (m_Mapping == nullptr) return;
    for (int a = 181; a <= 186; ++a) m_Mapping->tab_registers[a] = 0;
}

void ModbusServer::SaveProject() {
    if (m_ProjectManager != nullptr) m_ProjectManager->QueueUpdateProjectFile();
}

}  // namespace Modbus
