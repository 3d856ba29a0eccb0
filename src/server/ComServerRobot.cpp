// Robot control keywords of the "CMD" family: version, outputs, signals,
// replay mode, referencing, override, zero torque and gripper. Codes that act
// on the robot as a whole are posted for the main loop together with their
// argument; the rest act on the connection thread.

#include <cctype>
#include <cstring>
#include <string>

#include "common/LogSingleton.h"
#include "controller/ProjectManager.h"
#include "controller/RobotMaster.h"
#include "hardware/HardwareProtocol.h"
#include "server/ComServer.h"
#include "server/HXPScanner.h"

namespace {

constexpr int MaxDigitalOutput = 63;
constexpr int MaxReferencingPlaces = 12;
const char ProtocolVersion[] = "Korvella 16";
std::string Lower(std::string word) {
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return word;
}

const char* TrueFalse(bool value) { return value ? " True" : " False"; }

}  // namespace

// "Connect" and "Disconnect": the bus is connected by the main loop alone.
void ComServer::CmdNotAvailable(const char* message, int counter, char**) {
    int32_t ignored = 0;
    std::string keyword;
    HXPScanner(message).Literal("HXPSTART").Int(ignored).Literal("CMD").Word(keyword, 64);
    LogSingleton::instance()->add("HXP-Server: " + keyword + " command not available");
    SendCmdError(counter, "not available");
}

void ComServer::CmdGetVersion(const char*, int, char**) {
    LogSingleton::instance()->add(std::string("HXP-Server: Protocol version requested from client (") +
                                  ProtocolVersion + ")");
    SendToClient(std::string("INFO Version ") + ProtocolVersion);
}

void ComServer::CmdDigitalOutput(const char* message, int counter, char**) {
    LogSingleton* log = LogSingleton::instance();
    // A frame without a channel is refused rather than reusing an older argument.
    int32_t channel = -1;
    std::string value;
    HXPScanner::Command(message, "DOUT", counter).Int(channel, 0).Word(value, 511);
    if (channel < 0 || channel > MaxDigitalOutput) {
        log->add(channel < 0 ? "HXP-Server: DOUT channel < 0!" : "HXP-Server: DOUT channel > 64!");
        SendCmdError(counter, "invalid DOut channel");
        m_FrameRefused = true;
        return;
    }
    if (m_ProgramIPO != nullptr && m_ProgramIPO->IsReplayRunning()) {
        SendCmdError(counter, "can not set DOut while program is running");
    } else {
        const bool on = value == "true";
        if (!PostOrRefuse(counter, on ? 31 : 32, channel, 0.0f)) return;
        log->add(on ? "HXP-Server: CMD-DOUT to TRUE: channel " : "HXP-Server: CMD-DOUT to FALSE: channel ",
                 static_cast<int>(channel));
    }
    SendCmdAck(counter);
}

void ComServer::CmdGlobalSignal(const char* message, int counter, char**) {
    LogSingleton* log = LogSingleton::instance();
    int32_t channel = -1;
    std::string value;
    HXPScanner::Command(message, "GSIG", counter).Int(channel, 0).Word(value, 511);
    if (channel < 0 || channel >= DataTypes::RobotState::maxSignals) {
        if (channel < 0)
            log->add("HXP-Server: GSIG channel < 0!");
        else
            log->addFormat("HXP-Server: GSIG channel > %d!", static_cast<int>(DataTypes::RobotState::maxSignals));
        SendCmdError(counter, "invalid GSig channel");
        m_FrameRefused = true;
        return;
    }
    const bool on = value == "true";
    if (m_RobotMaster != nullptr) m_RobotMaster->SetGlobalSignal(channel, on);
    log->add(on ? "HXP-Server: CMD-GSIG to TRUE: channel " : "HXP-Server: CMD-GSIG to FALSE: channel ",
             static_cast<int>(channel));
    SendCmdAck(counter);
}

void ComServer::CmdProgramReplayMode(const char* message, int counter, char**) {
    static const char* const Names[] = {"Single", "Repeat", "Step"};
    int32_t mode = -1;
    HXPScanner::Command(message, "ProgramReplayMode", counter).Int(mode, 0);
    LogSingleton* log = LogSingleton::instance();
    if (mode < 0 || mode > 2) {
        log->add("HXP-Server: Replay Mode not recongnized!");
        SendCmdError(counter, "invalid replay mode");
        return;
    }
    if (!PostOrRefuse(counter, 7 + mode, mode, 0.0f)) return;
    log->add(std::string("HXP-Server: Replay Mode set to ") + Names[mode]);
    SendCmdAck(counter);
}

void ComServer::CmdReferenceSingleJoint(const char* message, int counter, char**) {
    LogSingleton* log = LogSingleton::instance();
    int32_t joint = 0;
    HXPScanner::Command(message, "ReferenceSingleJoint", counter).Int(joint, 0);
    log->add("HXP-Server: Reference Joint ", static_cast<int>(joint));
    const Hardware::HardwareProtocol* hardware = m_RobotMaster != nullptr ? m_RobotMaster->GetHardware() : nullptr;
    const int joints = hardware != nullptr ? hardware->moduleCount - hardware->dioModuleCount : 0;
    if (joint < 0 || joint >= joints) {
        log->addErrorFormat("HXP-Server: Can not reference joint %d, the robot has %d joint modules",
                            static_cast<int>(joint), joints);
        SendCmdError(counter, "invalid joint");
        return;
    }
    m_RobotMaster->ReferenceJoint(joint);
    SendCmdAck(counter);
}

void ComServer::CmdGetReferencingInfo(const char*, int, char**) {
    bool driverFlags[MaxReferencingPlaces] = {};
    bool places[MaxReferencingPlaces] = {};
    int state = 0;
    Hardware::HardwareProtocol* hardware = m_RobotMaster != nullptr ? m_RobotMaster->GetHardware() : nullptr;
    if (hardware != nullptr) {
        hardware->GetReferenceStatus(driverFlags, &state);
        const int robot = hardware->robotJointCount;
        const int external = hardware->externalJointCount;
        for (int i = 0; i < MaxReferencingPlaces; ++i) {
            if (i < robot && i < 6)
                places[i] = driverFlags[i];
            else if (i >= robot && i < robot + external && i + 6 - robot < MaxReferencingPlaces)
                places[i + 6 - robot] = driverFlags[i];
        }
    }
    std::string line = "INFO ReferencingInfo " + std::to_string(state) + " Joints";
    for (bool referenced : places) line += referenced ? " 1" : " 0";
    SendToClient(line);
}

void ComServer::CmdOverride(const char* message, int counter, char**) {
    float value = 0.0f;
    HXPScanner::Command(message, "Override", counter).Float(value);
    value = value < 0.0f ? 0.0f : (value > 100.0f ? 100.0f : value);
    if (m_RobotMaster != nullptr) m_RobotMaster->override = value;
    if (m_ProjectManager != nullptr) m_ProjectManager->QueueUpdateProjectFile();
    LogSingleton::instance()->add("HXP-Server: Change override to ", value);
    SendCmdAck(counter);
}

void ComServer::CmdZeroTorque(const char*, int, char** save) {
    const char* word = strtok_r(nullptr, " ", save);
    // Without an argument it is the query; only the active client may switch.
    if (word != nullptr && std::strcmp(word, "HXPEND") != 0 && IsActive() && m_RobotMaster != nullptr)
        m_RobotMaster->SetZeroTorqueMode(Lower(word) == "true");
    const bool allowed = m_RobotMaster != nullptr && m_RobotMaster->IsZeroTorqueAllowed();
    const bool enabled = m_RobotMaster != nullptr && m_RobotMaster->IsZeroTorqueEnabled();
    SendToClient(std::string("CMD ZeroTorque") + TrueFalse(allowed) + TrueFalse(enabled));
}

void ComServer::CmdGripper(const char* message, int counter, char**) {
    float value = 0.0f;
    HXPScanner::Command(message, "Gripper", counter).Float(value);
    if (m_RobotMaster != nullptr) m_RobotMaster->SetGripperPosition(value);
    SendCmdAck(counter);
}
