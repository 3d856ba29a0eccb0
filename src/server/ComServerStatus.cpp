// The lines a connection sends without being asked: the periodic status line
// with its rotating companions, the configuration block, interpreter events,
// variable pushes, server messages, the cloud state and log lines.

#include <cinttypes>
#include <cstdio>
#include <sstream>
#include <string>

#include "PkgProgram/MemoryPosition.h"
#include "cloud/MqttClient.h"
#include "common/LogSingleton.h"
#include "common/StringHelper.h"
#include "controller/RobotMaster.h"
#include "server/ComServer.h"
#include "vision/CameraManager.h"

namespace {

constexpr std::size_t LineBufferSize = 2048;

const char* MotionTypeWord(int motionType) {
    switch (motionType) {
        case MotionTypeRobotCartBase: return "cartbase";
        case MotionTypeRobotCartTool: return "carttool";
        case MotionTypePlatform: return "platform";
        case MotionTypeFSM: return "fsm";
        default: return "joint";
    }
}

// Bits 0 to 62 of the flags; bit 63 is never set.
unsigned long long Bits63(const bool* flags) {
    unsigned long long bits = 0;
    for (int i = 0; i < 63; ++i)
        if (flags[i]) bits |= 1ull << i;
    return bits;
}

const char* TrueFalse(bool value) { return value ? "True" : "False"; }

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

std::string ComServer::FormatStatusLine(const DataTypes::RobotState& s, int motionType, int operationMode) {
    char line[LineBufferSize];
    const float* sp = s.jointSetPoint;
    const float* ac = s.jointActual;
    const int* cu = s.jointCurrents;
    const int* er = s.jointErrorCodes;
    std::snprintf(
        line, sizeof(line),
        "STATUS MODE %s POSJOINTSETPOINT %4.2f %4.2f %4.2f %4.2f %4.2f %4.2f %4.2f %4.2f %4.2f 0.0 0.0 0.0 0.0 0.0 "
        "0.0 0.0 POSJOINTCURRENT %4.2f %4.2f %4.2f %4.2f %4.2f %4.2f %4.2f %4.2f %4.2f 0.0 0.0 0.0 0.0 0.0 0.0 0.0 "
        "POSCARTROBOT %1.1f %1.1f %1.1f %1.2f %1.2f %1.2f POSCARTPLATTFORM 0.0 0.0 0.0 OVERRIDE %1.1f DIN %llu DOUT "
        "%llu ESTOP %d SUPPLY %d CURRENTALL %d CURRENTJOINTS %d %d %d %d %d %d %d %d %d 0 0 0 0 0 0 0 ERROR %s %d %d "
        "%d %d %d %d %d %d %d %d %d %d %d %d %d %d KINSTATE %d OPMODE %d CARTSPEED %1.1lf",
        MotionTypeWord(motionType), sp[0], sp[1], sp[2], sp[3], sp[4], sp[5], sp[6], sp[7], sp[8], ac[0], ac[1],
        ac[2], ac[3], ac[4], ac[5], ac[6], ac[7], ac[8], s.pose(0, 3), s.pose(1, 3), s.pose(2, 3), s.A, s.B, s.C,
        s.override, Bits63(s.digitalInputs), Bits63(s.digitalOutputs), s.eStop, s.supply, s.currentAll, cu[0], cu[1],
        cu[2], cu[3], cu[4], cu[5], cu[6], cu[7], cu[8], s.errorText.c_str(), er[0], er[1], er[2], er[3], er[4],
        er[5], er[6], er[7], er[8], er[9], er[10], er[11], er[12], er[13], er[14], er[15], s.kinematicState,
        operationMode, static_cast<double>(s.cartSpeed));
    return line;
}

std::string ComServer::FormatGlobalSignals(const DataTypes::RobotState& state) {
    unsigned long long low = 0;
    unsigned long long high = 0;
    for (int i = 0; i < DataTypes::RobotState::maxSignals; ++i) {
        if (!state.globalSignals[i]) continue;
        if (i < 64)
            low |= 1ull << i;
        else
            high |= 1ull << (i - 64);
    }
    char line[LineBufferSize];
    std::snprintf(line, sizeof(line), "GSIG %llu %llu", low, high);
    return line;
}

int ComServer::OperationModeField() const {
    if (m_RobotMaster == nullptr || !m_RobotMaster->IsOperationModesEnabled()) return -1;
    const int mode = m_RobotMaster->GetOperationMode();
    return mode >= 0 && mode <= 2 ? mode : -1;
}

std::string ComServer::FormatRunState() const {
    std::string name = "None";
    int count = 0;
    int index = -1;
    int replayMode = IPO::ReplayRepeat;
    bool replaying = false;
    if (m_ProgramIPO != nullptr) {
        m_ProgramIPO->GetProgramInformation(&name, &count, &index);
        replaying = m_ProgramIPO->IsReplayRunning();
        replayMode = m_ProgramIPO->replayMode.load();
    }
    const int runState = index < 0 && index < count ? 0 : (replaying ? 2 : 1);
    char line[LineBufferSize];
    std::snprintf(line, sizeof(line), "RUNSTATE %s %i %i %i %i", name.c_str(), count, index, runState, replayMode);
    return line;
}

std::string ComServer::FormatOperatingInfo() const {
    LogSingleton* log = LogSingleton::instance();
    const long lastRunMs =
        m_ProgramIPO != nullptr ? static_cast<long>(m_ProgramIPO->GetLastProgramDuration().count() / 1000000) : 0;
    char line[LineBufferSize];
    std::snprintf(line, sizeof(line), "OPINFO %i %i %i %i %i %li", log->GetSystemVar(sysVarProgramStarts),
                  log->GetSystemVar(sysVarUpTimeComplete), log->GetSystemVar(sysVarUpTimeEnabled),
                  log->GetSystemVar(sysVarUpTimeMotion), log->GetSystemVar(sysVarUpTimeLast), lastRunMs);
    return line;
}

void ComServer::SetCurrentPos(const DataTypes::RobotState& state) {
    std::lock_guard<std::mutex> lock(m_StateMutex);
    m_CurrentState = state;
}

void ComServer::PublishData() {
    if (!m_Running) return;
    try {
        if (!m_ConfigurationSent) {
            m_ConfigurationSent = true;
            PublishConfiguration();
        }
        DataTypes::RobotState state;
        {
            std::lock_guard<std::mutex> lock(m_StateMutex);
            state = m_CurrentState;
        }
        const int motionType = m_RobotMaster != nullptr ? m_RobotMaster->GetMotionType() : MotionTypeRobotJoint;
        SendToClient(FormatStatusLine(state, motionType, OperationModeField()));

        switch (m_StatusPhase) {
            case 4:
                SendToClient(FormatRunState());
                break;
            case 8: {
                // The published state carries the tool's gripper value of its cycle.
                char line[LineBufferSize];
                std::snprintf(line, sizeof(line), "GRIPPERSTATE %.1f", static_cast<double>(state.toolValue[0]));
                SendToClient(line);
                break;
            }
            case 12:
                if (m_RobotMaster != nullptr) SendToClient(FormatGlobalSignals(m_RobotMaster->GetRobotState()));
                break;
            case 16: {
                Camera::CameraManager* cameras = Camera::CameraManager::Instance();
                // Whole: a picture line is as long as its encoded picture.
                for (const std::string& text : cameras->GetHXPResultStrings())
                    if (!text.empty()) SendToClient(text);
                for (const std::string& text : cameras->GetHXPImageStrings())
                    if (!text.empty()) SendToClient(text);
                break;
            }
            default:
                break;
        }
        if (m_StatusCalls == 0) SendToClient(FormatOperatingInfo());

        m_StatusPhase = m_StatusPhase >= 20 ? 0 : m_StatusPhase + 1;
        m_StatusCalls = m_StatusCalls >= 100 ? 0 : m_StatusCalls + 1;
    } catch (const std::exception&) {
        LogSingleton::instance()->addError("ERROR: HXP-Server Write error");
        StopFromError();
    }
}

void ComServer::PublishConfiguration() {
    LogSingleton* log = LogSingleton::instance();
    SendToClient("MESSAGE Korvella Version " + log->get_softwareVersion());
    SendToClient("MESSAGE Configuration: " + Quoted(log->get_robotName()) + " Type: " +
                 Quoted(StringHelper::SplitGetLast(log->get_robotType(), "/")) + " Gripper: " +
                 Quoted(log->get_robotGripper()));
    const int velocitySetting = m_RobotMaster != nullptr ? m_RobotMaster->GetVelocitySetting() : 0;
    SendToClient("MESSAGE VelocitySetting: " + Quoted(std::to_string(velocitySetting)));
    if (log->get_opMode() == opModeSeriousFail) SendToClient("MESSAGE Serious Failure " + log->get_seriousFailReason());
    PublishActiveState();
}

void ComServer::PublishCloudInfo() {
    if (m_Cloud == nullptr) return;
    SendToClient(std::string("CONFIG Cloud ") + TrueFalse(m_Cloud->IsEnabled()) + " " +
                 TrueFalse(m_Cloud->AreCredentialsSet()) + " " + TrueFalse(m_Cloud->IsConnected()) + " " +
                 Quoted(m_Cloud->GetClientId()) + " " + Quoted(m_Cloud->GetRobotName()) + " " +
                 Quoted(m_Cloud->GetRobotOwner()) + " " + Quoted(m_Cloud->GetCameraEnvironment()) + " " +
                 Quoted(m_Cloud->GetCameraWorkarea()));
}

void ComServer::PublishLogMessage() {
    if (!m_LogMessages || !m_Running) return;
    std::string text = "na";
    if (LogSingleton::instance()->GetLogMessage(&text) <= 0) return;
    char line[1024];
    std::snprintf(line, sizeof(line), "LOGMSG %s", text.c_str());
    SendToClient(line);
}

void ComServer::OnServerMessage(const std::string& text) {
    if (!m_Running) return;
    std::lock_guard<std::mutex> lock(m_SendMutex);
    m_ServerMessages.push_back(text);
    while (m_ServerMessages.size() > static_cast<std::size_t>(MaxServerMessages)) m_ServerMessages.pop_front();
}

void ComServer::SendServerMessage() {
    if (!m_Running) return;
    std::lock_guard<std::mutex> lock(m_SendMutex);
    for (const std::string& text : m_ServerMessages) {
        m_SendQueue.push_back("MESSAGE " + text);
        m_SendQueueBytes += m_SendQueue.back().size();
    }
    m_ServerMessages.clear();
}

void ComServer::ProcessIPOResults(HXPEventType type, int first, int second, const std::string& text) {
    if (!m_Running) return;
    char line[512];
    switch (type) {
        case HXPEventStart: std::snprintf(line, sizeof(line), "EXECACK %d %d", first, second); break;
        case HXPEventPause: std::snprintf(line, sizeof(line), "EXECPAUSE %d %d", first, second); break;
        case HXPEventStop: std::snprintf(line, sizeof(line), "EXECEND %d %d %s", first, second, text.c_str()); break;
        case HXPEventError:
            std::snprintf(line, sizeof(line), "EXECERROR %d %d %s", first, second, text.c_str());
            break;
        default: return;
    }
    SendToClient(line);
}

void ComServer::SendVariable(std::shared_ptr<const Programs::MemoryPosition> variable) {
    if (!m_Running || variable == nullptr) return;
    std::ostringstream line;
    if (variable->type == Programs::MemoryPosition::TypeNumber) {
        line << "VARINFO ValueNrVariable " << variable->name << " " << variable->number;
    } else if (variable->type == Programs::MemoryPosition::TypePosition) {
        const DataTypes::RobotState& p = variable->position;
        line << "VARINFO ValuePosVariable " << variable->name;
        for (int row = 0; row < 3; ++row) line << " " << p.pose(row, 3);
        line << " " << p.A << " " << p.B << " " << p.C;
        for (float joint : p.jointSetPoint) line << " " << joint;
    } else {
        return;
    }
    SendToClient(line.str());
}

bool ComServer::CANReceiveCallback(int id, int length, const unsigned char* data, long time, timespec stamp) {
    if (LogSingleton::instance()->get_opMode() != opModeCANBridge) return false;
    unsigned char bytes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    if (data != nullptr)
        for (int i = 0; i < 8; ++i) bytes[i] = data[i];
    char line[512];
    std::snprintf(line, sizeof(line),
                  "CANBridge Msg ID %d Len %d Data %d %d %d %d %d %d %d %d Time %ld SystemTime %ld", id, length,
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], time,
                  static_cast<long>(stamp.tv_nsec));
    SendToClient(line);
    return true;
}

void variableChangedCallback(std::shared_ptr<ComServer> connection,
                             std::shared_ptr<const Programs::MemoryPosition> variable) {
    if (connection == nullptr || variable == nullptr || variable->name == "#position") return;
    connection->SendVariable(variable);
}
