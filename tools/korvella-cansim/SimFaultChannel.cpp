#include "korvella-cansim/SimFaultChannel.h"

#include "hardware/VQTCANV2Codec.h"
#include "korvella-cansim/SimFrames.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <istream>
#include <ostream>
#include <poll.h>
#include <unistd.h>
#include <sstream>

namespace CanSim {

using Codec = Hardware::VQTCANV2Codec;

namespace {

// Whole token as a number in [lo, hi]; decimal or 0x hex.
bool ParseNumber(const std::string& token, long lo, long hi, long& value) {
    if (token.empty() || token.size() > 20) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(token.c_str(), &end, 0);
    if (errno != 0 || end == token.c_str() || *end != '\0' || v < lo || v > hi) return false;
    value = v;
    return true;
}

// Whole token as an unsigned 64-bit number; decimal or 0x hex.
bool ParseUnsigned64(const std::string& token, uint64_t& value) {
    if (token.empty() || token.size() > 24 || token[0] == '-' || token[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(token.c_str(), &end, 0);
    if (errno != 0 || end == token.c_str() || *end != '\0') return false;
    value = static_cast<uint64_t>(v);
    return true;
}

bool ParseOnOff(const std::string& token, bool& value) {
    if (token == "on" || token == "1") {
        value = true;
        return true;
    }
    if (token == "off" || token == "0") {
        value = false;
        return true;
    }
    return false;
}

const char* kHelp =
    "commands: silence <id>|all [on|off], errorbits <id> <bits>, watchdog <id>|all <ms>|off, "
    "event <id> <code> [<w1> [<w2>]], "
    "alien <id>, inputs <id> <bits>, supply <raw> [<c1> <c2>], estop on|off, shutdown [<ms>], "
    "shutdownstage <code>, restart <id>, heartbeat <id> on|off, emcy <id> <code> [<reg>], fault <id> [<code> [<reg>]], window <id> <counts>, "
    "homingfail <id> on|off, "
    "modes <id> <m>[,<m>...], sdosilence <id> on|off, powercycle <id>, list, "
    "help, quit";

}  // namespace

SimFaultChannel::SimFaultChannel(Hub& hub) : m_Hub(hub) {}

bool SimFaultChannel::Populate(const SimRobotConfig& config, std::string& error) {
    if (config.IsVQTCAN()) {
        for (const SimRobotConfig::Joint& j : config.joints) {
            SimJointModuleV1::Config c;
            c.canId = j.canId;
            c.initialPositionRaw = j.gearZero;
            AddJointModuleV1(c);
        }
        return true;
    }
    if (config.IsCANopen()) {
        for (const SimRobotConfig::Joint& j : config.joints) {
            if (j.canId < 1 || j.canId > 127) {
                error = "CANopen node id " + std::to_string(j.canId) + " out of range (1..127)";
                return false;
            }
        }
        for (int id : config.dioModuleIds) {
            if (id < 1 || id > 127) {
                error = "CANopen node id " + std::to_string(id) + " out of range (1..127)";
                return false;
            }
        }
        for (const SimRobotConfig::Joint& j : config.joints) {
            SimCANopenNode::Config c;
            c.nodeId = j.canId;
            c.kind = SimCANopenNode::Kind::Drive;
            auto drive = std::make_shared<SimCANopenDrive>(c);
            // A motor with twice the acceleration the robot file gives its joint, in counts.
            if (j.acceleration > 0.0f)
                drive->SetAcceleration(2.0 * j.acceleration * std::fabs(static_cast<double>(j.gearScale)));
            AddNode(drive);
        }
        for (int id : config.dioModuleIds) {
            SimCANopenNode::Config c;
            c.nodeId = id;
            c.kind = SimCANopenNode::Kind::IO;
            AddNode(std::make_shared<SimCANopenNode>(c));
        }
        return true;
    }
    if (!config.IsVQTCANV2()) {
        error = "protocol '" + config.protocol + "' has no simulated modules";
        return false;
    }
    for (std::size_t i = 0; i < config.joints.size(); ++i) {
        const SimRobotConfig::Joint& j = config.joints[i];
        SimJointModuleV2::Config c;
        c.canId = j.canId;
        c.gearScale = j.gearScale;
        // The driver reads joint = (raw - GearZero) / GearScale.
        const double home = i < config.home.size() ? config.home[i] : 0.0;
        c.initialPositionRaw = static_cast<double>(j.gearZero) + home * static_cast<double>(j.gearScale);
        AddJointModule(c);
    }
    for (int id : config.dioModuleIds) AddIOModule(id);
    if (config.mainIOModule) AddMainIOModule();
    return true;
}

std::shared_ptr<SimJointModuleV2> SimFaultChannel::AddJointModule(const SimJointModuleV2::Config& config) {
    auto m = std::make_shared<SimJointModuleV2>(config);
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Joints.push_back(m);
    }
    m_Hub.AddDevice(m);
    return m;
}

std::shared_ptr<SimJointModuleV1> SimFaultChannel::AddJointModuleV1(const SimJointModuleV1::Config& config) {
    auto m = std::make_shared<SimJointModuleV1>(config);
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_JointsV1.push_back(m);
    }
    m_Hub.AddDevice(m);
    return m;
}

std::shared_ptr<SimIOModule> SimFaultChannel::AddIOModule(int canId) {
    auto m = std::make_shared<SimIOModule>(canId);
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_IOModules.push_back(m);
    }
    m_Hub.AddDevice(m);
    return m;
}

std::shared_ptr<SimMainIOModule> SimFaultChannel::AddMainIOModule() {
    auto m = std::make_shared<SimMainIOModule>();
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_MainIO) return m_MainIO;
        m_MainIO = m;
    }
    m_Hub.AddDevice(m);
    return m;
}

void SimFaultChannel::AddNode(std::shared_ptr<SimCANopenNode> node) {
    if (!node) return;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Nodes.push_back(node);
    }
    m_Hub.AddDevice(node);
}

std::shared_ptr<SimCANopenNode> SimFaultChannel::Node(int nodeId) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (const auto& n : m_Nodes)
        if (n->NodeId() == nodeId) return n;
    return nullptr;
}

std::vector<std::shared_ptr<SimCANopenNode>> SimFaultChannel::Nodes() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Nodes;
}

std::shared_ptr<SimCANopenDrive> SimFaultChannel::Drive(int nodeId) const {
    return std::dynamic_pointer_cast<SimCANopenDrive>(Node(nodeId));
}

bool SimFaultChannel::InjectDriveFault(int nodeId, uint16_t code, uint8_t errorRegister) {
    auto d = Drive(nodeId);
    if (!d) return false;
    d->InjectFault(code, errorRegister);
    return true;
}

bool SimFaultChannel::SetHomingFails(int nodeId, bool fails) {
    auto d = Drive(nodeId);
    if (!d) return false;
    d->SetHomingFails(fails);
    return true;
}

bool SimFaultChannel::SetHeartbeat(int nodeId, bool on) {
    auto n = Node(nodeId);
    if (!n) return false;
    n->SetHeartbeatEnabled(on);
    return true;
}

bool SimFaultChannel::SendEmergency(int nodeId, uint16_t code, uint8_t errorRegister) {
    auto n = Node(nodeId);
    if (!n) return false;
    n->RaiseEmergency(code, errorRegister);
    return true;
}

std::shared_ptr<SimJointModuleV2> SimFaultChannel::Joint(int canId) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (const auto& j : m_Joints)
        if (j->CanId() == canId) return j;
    return nullptr;
}

std::shared_ptr<SimJointModuleV1> SimFaultChannel::JointV1(int canId) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (const auto& j : m_JointsV1)
        if (j->CanId() == canId) return j;
    return nullptr;
}

std::shared_ptr<SimIOModule> SimFaultChannel::IOModule(int canId) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (const auto& m : m_IOModules)
        if (m->CanId() == canId) return m;
    return nullptr;
}

std::shared_ptr<SimMainIOModule> SimFaultChannel::MainIO() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_MainIO;
}

std::vector<std::shared_ptr<SimJointModuleV2>> SimFaultChannel::Joints() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Joints;
}

void SimFaultChannel::SetJointTiming(const SimJointModuleV2::Timing& timing) {
    for (const auto& j : Joints()) j->SetTiming(timing);
}

bool SimFaultChannel::Silence(int canId, bool silent) {
    if (auto j = Joint(canId)) {
        j->SetSilent(silent);
        return true;
    }
    if (auto j = JointV1(canId)) {
        j->SetSilent(silent);
        return true;
    }
    if (auto n = Node(canId)) {
        n->SetSilent(silent);
        return true;
    }
    if (auto m = IOModule(canId)) {
        m->SetSilent(silent);
        return true;
    }
    return false;
}

void SimFaultChannel::SilenceAll(bool silent) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (const auto& j : m_Joints) j->SetSilent(silent);
    for (const auto& j : m_JointsV1) j->SetSilent(silent);
    for (const auto& n : m_Nodes) n->SetSilent(silent);
    for (const auto& m : m_IOModules) m->SetSilent(silent);
    if (m_MainIO) m_MainIO->SetSilent(silent);
}

bool SimFaultChannel::SetCommWatchdog(int canId, int ms) {
    if (canId < 0) {
        for (const auto& j : Joints()) j->SetCommWatchdog(ms);
        return true;
    }
    auto j = Joint(canId);
    if (!j) return false;
    j->SetCommWatchdog(ms);
    return true;
}

bool SimFaultChannel::SetErrorBits(int canId, uint8_t bits) {
    if (auto j = Joint(canId)) {
        j->SetErrorBits(bits);
        return true;
    }
    if (auto j = JointV1(canId)) {
        j->SetErrorBits(bits);
        return true;
    }
    if (auto m = IOModule(canId)) {
        m->SetErrorBits(bits);
        return true;
    }
    return false;
}

void SimFaultChannel::SendErrorEvent(int id, uint8_t code, uint16_t word1, uint16_t word2) {
    m_Hub.Inject(ToCanFrame(Codec::EncodeErrorEvent(id, code, word1, word2)));
}

void SimFaultChannel::SendAlienFrame(int canId) {
    m_Hub.Inject(ToCanFrame(Codec::EncodePositionSetPoint(canId, 128, 0, 0, 0)));
}

bool SimFaultChannel::SetDigitalInputs(int canId, uint64_t bits) {
    if (auto n = Node(canId)) {
        n->SetInputs(bits);
        return true;
    }
    // The joint-module protocols carry one input byte.
    if (bits > 0xFF) return false;
    const uint8_t byte = static_cast<uint8_t>(bits);
    if (auto j = Joint(canId)) {
        j->SetInputs(byte);
        return true;
    }
    if (auto j = JointV1(canId)) {
        j->SetInputs(byte);
        return true;
    }
    if (auto m = IOModule(canId)) {
        m->SetInputs(byte);
        return true;
    }
    return false;
}

bool SimFaultChannel::SetSupply(uint16_t raw, bool firstCircuitOn, bool secondCircuitOn) {
    auto m = MainIO();
    if (!m) return false;
    m->SetSupply(raw, firstCircuitOn, secondCircuitOn);
    return true;
}

bool SimFaultChannel::SetEmergencyStop(bool active) {
    auto m = MainIO();
    if (!m) return false;
    const auto s = m->GetSnapshot();
    m->SetSupply(s.supplyRaw, !active, !active);
    return true;
}

bool SimFaultChannel::RequestShutdown(int secondStageDelayMs) {
    auto m = MainIO();
    if (!m) return false;
    m->RequestShutdown(secondStageDelayMs);
    return true;
}

bool SimFaultChannel::SendShutdownStage(uint8_t stage) {
    auto m = MainIO();
    if (!m) return false;
    m->SendShutdownStage(stage);
    return true;
}

bool SimFaultChannel::RestartModule(int canId) {
    auto j = Joint(canId);
    if (!j) return false;
    j->Restart();
    return true;
}

std::string SimFaultChannel::HandleLine(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> t;
    std::string word;
    while (in >> word && t.size() < 8) t.push_back(word);
    if (t.empty()) return "ERROR empty command";
    const std::string& cmd = t[0];
    long id = 0, a = 0, b = 0, c = 0;
    const auto noModule = [&]() { return "ERROR no module with id " + t[1]; };
    const auto usage = [&](const char* form) { return std::string("ERROR usage: ") + form; };

    if (cmd == "help") return std::string("OK ") + kHelp;
    if (cmd == "list") {
        std::ostringstream out;
        out << "OK joints:";
        for (const auto& j : Joints()) out << " 0x" << std::hex << j->CanId();
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            for (const auto& j : m_JointsV1) out << " 0x" << std::hex << j->CanId();
        }
        out << " io:";
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            for (const auto& m : m_IOModules) out << " 0x" << std::hex << m->CanId();
            out << " main-io: " << (m_MainIO ? "yes" : "no");
            if (!m_Nodes.empty()) {
                out << " nodes:";
                for (const auto& n : m_Nodes) out << " " << std::dec << n->NodeId();
            }
        }
        return out.str();
    }
    if (cmd == "silence") {
        bool on = true;
        if (t.size() < 2 || t.size() > 3 || (t.size() == 3 && !ParseOnOff(t[2], on)))
            return usage("silence <id>|all [on|off]");
        if (t[1] == "all") {
            SilenceAll(on);
            return "OK";
        }
        if (!ParseNumber(t[1], 0, 0x7FF, id)) return usage("silence <id>|all [on|off]");
        return Silence(static_cast<int>(id), on) ? "OK" : noModule();
    }
    if (cmd == "errorbits") {
        if (t.size() != 3 || !ParseNumber(t[1], 0, 0x7FF, id) || !ParseNumber(t[2], 0, 0xFF, a))
            return usage("errorbits <id> <bits 0..255>");
        return SetErrorBits(static_cast<int>(id), static_cast<uint8_t>(a)) ? "OK" : noModule();
    }
    if (cmd == "watchdog") {
        const char* form = "watchdog <id>|all <ms 0..60000>|off";
        if (t.size() != 3) return usage(form);
        if (t[2] == "off") {
            a = 0;
        } else if (!ParseNumber(t[2], 0, 60000, a)) {
            return usage(form);
        }
        if (t[1] == "all") return SetCommWatchdog(-1, static_cast<int>(a)) ? "OK" : noModule();
        if (!ParseNumber(t[1], 0, 0x7FF, id)) return usage(form);
        return SetCommWatchdog(static_cast<int>(id), static_cast<int>(a)) ? "OK" : noModule();
    }
    if (cmd == "event") {
        if (t.size() < 3 || t.size() > 5 || !ParseNumber(t[1], 0, 0x7FF, id) || !ParseNumber(t[2], 0, 0xFF, a) ||
            (t.size() > 3 && !ParseNumber(t[3], 0, 0xFFFF, b)) || (t.size() > 4 && !ParseNumber(t[4], 0, 0xFFFF, c)))
            return usage("event <id> <code> [<word1> [<word2>]]");
        SendErrorEvent(static_cast<int>(id), static_cast<uint8_t>(a), static_cast<uint16_t>(b),
                       static_cast<uint16_t>(c));
        return "OK";
    }
    if (cmd == "alien") {
        if (t.size() != 2 || !ParseNumber(t[1], 0, 0x7FF, id)) return usage("alien <id>");
        SendAlienFrame(static_cast<int>(id));
        return "OK";
    }
    if (cmd == "inputs") {
        uint64_t bits = 0;
        if (t.size() != 3 || !ParseNumber(t[1], 0, 0x7FF, id) || !ParseUnsigned64(t[2], bits))
            return usage("inputs <id> <bits>");
        if (!Node(static_cast<int>(id)) && bits > 0xFF) return usage("inputs <id> <bits 0..255>");
        return SetDigitalInputs(static_cast<int>(id), bits) ? "OK" : noModule();
    }
    if (cmd == "heartbeat") {
        bool on = true;
        if (t.size() != 3 || !ParseNumber(t[1], 1, 127, id) || !ParseOnOff(t[2], on))
            return usage("heartbeat <node id> on|off");
        return SetHeartbeat(static_cast<int>(id), on) ? "OK" : noModule();
    }
    if (cmd == "fault") {
        a = 0x1000;
        b = 0x01;
        if (t.size() < 2 || t.size() > 4 || !ParseNumber(t[1], 1, 127, id) ||
            (t.size() > 2 && !ParseNumber(t[2], 0, 0xFFFF, a)) || (t.size() > 3 && !ParseNumber(t[3], 0, 0xFF, b)))
            return usage("fault <node id> [<code> [<register>]]");
        return InjectDriveFault(static_cast<int>(id), static_cast<uint16_t>(a), static_cast<uint8_t>(b))
                   ? "OK"
                   : "ERROR no drive with id " + t[1];
    }
    if (cmd == "modes") {
        // modes <id> <m>[,<m>...]: what the drive accepts in 0x6060.
        if (t.size() != 3 || !ParseNumber(t[1], 1, 127, id)) return usage("modes <node id> <mode>[,<mode>...]");
        std::vector<int> modes;
        std::istringstream list(t[2]);
        std::string item;
        while (std::getline(list, item, ',')) {
            if (!ParseNumber(item, -128, 127, a)) return usage("modes <node id> <mode>[,<mode>...]");
            modes.push_back(static_cast<int>(a));
        }
        auto d = Drive(static_cast<int>(id));
        if (!d) return "ERROR no drive with id " + t[1];
        d->SetSupportedModes(modes);
        return "OK";
    }
    if (cmd == "sdosilence") {
        bool on = true;
        if (t.size() != 3 || !ParseNumber(t[1], 1, 127, id) || !ParseOnOff(t[2], on))
            return usage("sdosilence <node id> on|off");
        auto n = Node(static_cast<int>(id));
        if (!n) return noModule();
        n->SetSdoSilent(on);
        return "OK";
    }
    if (cmd == "powercycle") {
        if (t.size() != 2 || !ParseNumber(t[1], 1, 127, id)) return usage("powercycle <node id>");
        auto n = Node(static_cast<int>(id));
        if (!n) return noModule();
        n->PowerCycle();
        return "OK";
    }
    if (cmd == "window") {
        // window <id> <counts>: the drive's following error window (0x6065), kept over its resets.
        uint64_t counts = 0;
        if (t.size() != 3 || !ParseNumber(t[1], 1, 127, id) || !ParseUnsigned64(t[2], counts) || counts > 0xFFFFFFFFu)
            return usage("window <node id> <counts>");
        auto d = Drive(static_cast<int>(id));
        if (!d) return "ERROR no drive with id " + t[1];
        d->SetFollowingWindow(static_cast<uint32_t>(counts));
        return "OK";
    }
    if (cmd == "homingfail") {
        bool on = true;
        if (t.size() != 3 || !ParseNumber(t[1], 1, 127, id) || !ParseOnOff(t[2], on))
            return usage("homingfail <node id> on|off");
        return SetHomingFails(static_cast<int>(id), on) ? "OK" : "ERROR no drive with id " + t[1];
    }
    if (cmd == "emcy") {
        if (t.size() < 3 || t.size() > 4 || !ParseNumber(t[1], 1, 127, id) || !ParseNumber(t[2], 0, 0xFFFF, a) ||
            (t.size() == 4 && !ParseNumber(t[3], 0, 0xFF, b)))
            return usage("emcy <node id> <code> [<register>]");
        if (t.size() == 3) b = 0x01;  // generic error
        return SendEmergency(static_cast<int>(id), static_cast<uint16_t>(a), static_cast<uint8_t>(b)) ? "OK"
                                                                                                      : noModule();
    }
    if (cmd == "supply") {
        bool c1 = true, c2 = true;
        if ((t.size() != 2 && t.size() != 4) || !ParseNumber(t[1], 0, 0xFFFF, a) ||
            (t.size() == 4 && (!ParseOnOff(t[2], c1) || !ParseOnOff(t[3], c2))))
            return usage("supply <raw 0..65535> [<c1> <c2>]");
        return SetSupply(static_cast<uint16_t>(a), c1, c2) ? "OK" : "ERROR no main I/O module";
    }
    if (cmd == "estop") {
        bool on = true;
        if (t.size() != 2 || !ParseOnOff(t[1], on)) return usage("estop on|off");
        return SetEmergencyStop(on) ? "OK" : "ERROR no main I/O module";
    }
    if (cmd == "shutdown") {
        a = 100;
        if (t.size() > 2 || (t.size() == 2 && !ParseNumber(t[1], 0, 60000, a))) return usage("shutdown [<ms>]");
        return RequestShutdown(static_cast<int>(a)) ? "OK" : "ERROR no main I/O module";
    }
    if (cmd == "shutdownstage") {
        if (t.size() != 2 || !ParseNumber(t[1], 0, 0xFF, a)) return usage("shutdownstage <code>");
        return SendShutdownStage(static_cast<uint8_t>(a)) ? "OK" : "ERROR no main I/O module";
    }
    if (cmd == "restart") {
        if (t.size() != 2 || !ParseNumber(t[1], 0, 0x7FF, id)) return usage("restart <id>");
        return RestartModule(static_cast<int>(id)) ? "OK" : noModule();
    }
    return "ERROR unknown command '" + cmd.substr(0, 32) + "' (try help)";
}

namespace {

// "quit" (and nothing else) on the line.
bool IsQuit(const std::string& line) {
    std::istringstream in(line);
    std::string cmd, rest;
    in >> cmd;
    return cmd == "quit" && !(in >> rest);
}

bool IsBlank(const std::string& line) { return line.find_first_not_of(" \t\r") == std::string::npos; }

}  // namespace

SimFaultChannel::Input SimFaultChannel::ServeAvailable(int fd, int timeoutMs, std::ostream& out) {
    pollfd pfd{fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, timeoutMs);
    if (ready <= 0) return ready == 0 || errno == EINTR ? Input::Open : Input::Ended;
    char buf[512];
    const ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0) return errno == EINTR || errno == EAGAIN ? Input::Open : Input::Ended;
    if (n == 0) return Input::Ended;
    m_Pending.append(buf, static_cast<size_t>(n));
    size_t end;
    while ((end = m_Pending.find('\n')) != std::string::npos) {
        const std::string line = m_Pending.substr(0, end);
        m_Pending.erase(0, end + 1);
        if (IsBlank(line)) continue;
        if (IsQuit(line)) return Input::Quit;
        out << (line.size() > 256 ? std::string("ERROR line too long") : HandleLine(line)) << std::endl;
    }
    if (m_Pending.size() > 256) {
        m_Pending.clear();
        out << "ERROR line too long" << std::endl;
    }
    return Input::Open;
}

void SimFaultChannel::RunLines(std::istream& in, std::ostream& out) {
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() > 256) {
            out << "ERROR line too long" << std::endl;
            continue;
        }
        if (IsBlank(line)) continue;
        if (IsQuit(line)) break;
        out << HandleLine(line) << std::endl;
    }
}

}  // namespace CanSim
