// Process-wide state and the message channels of the log singleton.

#include <cstdio>

#include "common/LogSingleton.h"

namespace {

constexpr std::size_t MaxDisplayMessages = 10;
constexpr long long DisplayTimeMS = 500;

long long ElapsedMS(const timespec& since, const timespec& now) {
    return (static_cast<long long>(now.tv_sec) - since.tv_sec) * 1000 +
           (static_cast<long long>(now.tv_nsec) - since.tv_nsec) / 1000000;
}

}  // namespace

void LogSingleton::set_softwareVersion(const std::string& text, const SoftwareVersion& version) {
    std::lock_guard<std::mutex> lock(m_StateMutex);
    m_SoftwareVersionText = text;
    m_SoftwareVersion = version;
}

std::string LogSingleton::get_softwareVersion() const {
    std::lock_guard<std::mutex> lock(m_StateMutex);
    return m_SoftwareVersionText;
}

int LogSingleton::get_softwareVersionMajor() const {
    std::lock_guard<std::mutex> lock(m_StateMutex);
    return m_SoftwareVersion.Minor;
}

int LogSingleton::get_softwreVersionMinor() const {
    std::lock_guard<std::mutex> lock(m_StateMutex);
    return m_SoftwareVersion.Patch;
}

SoftwareVersion LogSingleton::get_softwareVersionRecord() const {
    std::lock_guard<std::mutex> lock(m_StateMutex);
    return m_SoftwareVersion;
}

void LogSingleton::set_robotName(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_StateMutex);
    m_RobotName = text;
}

void LogSingleton::set_robotType(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_StateMutex);
    m_RobotType = text;
}

void LogSingleton::set_robotGripper(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_StateMutex);
    m_RobotGripper = text;
}

std::string LogSingleton::get_robotName() const {
    std::lock_guard<std::mutex> lock(m_StateMutex);
    return m_RobotName;
}

std::string LogSingleton::get_robotType() const {
    std::lock_guard<std::mutex> lock(m_StateMutex);
    return m_RobotType;
}

std::string LogSingleton::get_robotGripper() const {
    std::lock_guard<std::mutex> lock(m_StateMutex);
    return m_RobotGripper;
}

void LogSingleton::set_pathGeneratorFlagOptimize(bool optimize) { m_PathGeneratorFlagOptimize.store(optimize); }

bool LogSingleton::get_pathGeneratorFlagOptimize() const { return m_PathGeneratorFlagOptimize.load(); }

void LogSingleton::set_pathGeneratorSlicingMS(int slicingMS) { m_PathGeneratorSlicingMS.store(slicingMS); }

int LogSingleton::get_pathGeneratorSlicingMS() const { return m_PathGeneratorSlicingMS.load(); }

void LogSingleton::set_opMode(operationMode mode) { m_OpMode.store(mode); }

operationMode LogSingleton::get_opMode() const { return m_OpMode.load(); }

void LogSingleton::set_seriousFailReason(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(m_StateMutex);
        m_SeriousFailReason = text;
    }
    if (!text.empty()) ServerSetMessage("Serious Failure " + text);
}

std::string LogSingleton::get_seriousFailReason() const {
    std::lock_guard<std::mutex> lock(m_StateMutex);
    return m_SeriousFailReason;
}

void LogSingleton::ServerSetMessage(const std::string& message) {
    if (serverMessageCallback) serverMessageCallback(message);
}

void LogSingleton::DisplayAndServerSetMessage(const std::string& message) {
    ServerSetMessage(message);
    std::lock_guard<std::mutex> lock(m_DisplayMutex);
    m_DisplayMessages.push_back(message);
    if (m_DisplayMessages.size() > MaxDisplayMessages) {
        m_DisplayMessages.pop_front();
        m_DisplayHeadShown = false;
    }
}

bool LogSingleton::DisplayGetMessage(std::string* out) {
    std::lock_guard<std::mutex> lock(m_DisplayMutex);
    if (m_DisplayMessages.empty()) return false;
    if (out != nullptr) *out = m_DisplayMessages.front();

    // Each message stays at the head for 500 ms from its first hand-out.
    const timespec now = Now(CLOCK_MONOTONIC);
    if (!m_DisplayHeadShown) {
        m_DisplayHeadShown = true;
        m_DisplayShownSince = now;
    } else if (ElapsedMS(m_DisplayShownSince, now) > DisplayTimeMS) {
        m_DisplayMessages.pop_front();
        m_DisplayHeadShown = false;
    }
    return true;
}

void LogSingleton::DisplaySetFilename(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_DisplayMutex);
    m_DisplayFilename = name;
    m_DisplayFilenameNew = true;
}

bool LogSingleton::DisplayGetFilename(std::string* out) {
    std::lock_guard<std::mutex> lock(m_DisplayMutex);
    if (!m_DisplayFilenameNew) return false;
    if (out != nullptr) *out = m_DisplayFilename;
    m_DisplayFilenameNew = false;
    return true;
}

std::string LogSingleton::getIPAdress() {
    std::string output;
    std::FILE* pipe = popen("ifconfig", "r");
    if (pipe != nullptr) {
        char chunk[256];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0) output.append(chunk, got);
        pclose(pipe);
    }
    return ParseIPAddresses(output);
}

std::string LogSingleton::ParseIPAddresses(const std::string& ifconfigOutput) {
    std::string result = "Running on IP address: ";
    std::string::size_type begin = 0;
    while (begin < ifconfigOutput.size()) {
        std::string::size_type end = ifconfigOutput.find('\n', begin);
        if (end == std::string::npos) end = ifconfigOutput.size();
        const std::string line = ifconfigOutput.substr(begin, end - begin);
        begin = end + 1;

        const std::string::size_type inet = line.find("inet ");
        if (inet == std::string::npos) continue;
        const std::string::size_type colon = line.find(':', inet);
        if (colon == std::string::npos) continue;
        const std::string::size_type blank = line.find(' ', colon + 1);
        const std::string address =
            line.substr(colon + 1, blank == std::string::npos ? std::string::npos : blank - colon - 1);
        if (address != "127.0.0.1") result += address + "   ";
    }
    if (result.size() > 511) result.resize(511);
    return result;
}
