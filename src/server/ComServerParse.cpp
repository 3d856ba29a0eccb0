// The command interpreter of the remote-control protocol: tokenises a frame,
// decides its message type, keeps acting keywords to the active connection
// and hands the message to its handler.

#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "server/ComServer.h"
#include "server/HXPScanner.h"

// Keywords with a code post it for the main loop (after their handler, if
// any). Every keyword that changes the robot, its settings, programs,
// outputs or signals is taken from the active connection only. Keywords with neither belong to parts of the protocol that are not
// served yet: they keep their access rule and get a "not available" reply.
const ComServer::Keyword ComServer::CmdKeywords[] = {
    {"Connect", true, &ComServer::CmdNotAvailable, 0, nullptr},
    {"Disconnect", true, &ComServer::CmdNotAvailable, 0, nullptr},
    {"GetVersion", false, &ComServer::CmdGetVersion, 0, nullptr},
    {"DOUT", true, &ComServer::CmdDigitalOutput, 0, nullptr},
    {"GSIG", true, &ComServer::CmdGlobalSignal, 0, nullptr},
    {"ProgramReplayMode", true, &ComServer::CmdProgramReplayMode, 0, nullptr},
    {"Reset", true, nullptr, 10, "HXP-Server: Reset joints"},
    {"Enable", true, nullptr, 11, "HXP-Server: Enable joints"},
    {"Disable", true, nullptr, 12, "HXP-Server: Disable joints"},
    {"SetJointsToZero", true, nullptr, 13, "HXP-Server: Set joints to zero"},
    {"ReferenceAllJoints", true, nullptr, 16, "HXP-Server: Reference all joints"},
    {"ReferenceSingleJoint", true, &ComServer::CmdReferenceSingleJoint, 0, nullptr},
    {"GetReferencingInfo", false, &ComServer::CmdGetReferencingInfo, 0, nullptr},
    {"Override", true, &ComServer::CmdOverride, 0, nullptr},
    {"MotionTypeJoint", true, nullptr, 21, "HXP-Server: Set motion type to: Joint"},
    {"MotionTypeCartBase", true, nullptr, 22, "HXP-Server: Set motion type to: CartBase"},
    {"MotionTypeCartTool", true, nullptr, 23, "HXP-Server: Set motion type to: CartTool"},
    {"MotionTypePlatform", true, nullptr, 24, "HXP-Server: Set motion type to: Platform"},
    {"ZeroTorque", false, &ComServer::CmdZeroTorque, 0, nullptr},
    {"Gripper", true, &ComServer::CmdGripper, 0, nullptr},
    {"GetActive", false, &ComServer::CmdGetActive, 0, nullptr},
    {"SetActive", false, &ComServer::CmdSetActive, 0, nullptr},
    {"StartProgram", true, &ComServer::CmdStartProgram, 2, nullptr},
    {"StartProgramWithOffset", true, &ComServer::CmdStartProgramWithOffset, 2, nullptr},
    {"PauseProgram", true, nullptr, 3, nullptr},
    {"StopProgram", true, nullptr, 4, nullptr},
    {"DeleteProgram", true, &ComServer::CmdDeleteProgram, 0, nullptr},
    {"DeleteLogicProgram", true, &ComServer::CmdDeleteLogicProgram, 0, nullptr},
    {"DeleteProgramFromFileSystem", true, &ComServer::CmdDeleteProgramFromFileSystem, 0, nullptr},
    {"GetProgramInfo", false, &ComServer::CmdGetProgramInfo, 0, nullptr},
    {"GetLogicProgramInfo", false, &ComServer::CmdGetLogicProgramInfo, 0, nullptr},
    {"GetProgramName", false, &ComServer::CmdGetProgramName, 0, nullptr},
    {"LoadProgram", true, &ComServer::CmdLoadProgram, 0, nullptr},
    {"LoadLogicProgram", true, &ComServer::CmdLoadLogicProgram, 0, nullptr},
    {"StartAt", true, &ComServer::CmdStartAt, 0, nullptr},
    {"UploadFileInit", true, &ComServer::CmdUploadFileInit, 0, nullptr},
    {"UploadFileLine", true, &ComServer::CmdUploadFileLine, 0, nullptr},
    {"UploadFileFinish", true, &ComServer::CmdUploadFileFinish, 0, nullptr},
    {"Move", true, &ComServer::CmdMove, 0, nullptr},
    {"TriggerCamera", true, &ComServer::CmdTriggerCamera, 0, nullptr},
    {nullptr, false, nullptr, 0, nullptr},
};

const ComServer::Keyword ComServer::VarKeywords[] = {
    {"GetNrVariable", false, &ComServer::VarGetNr, 0, nullptr},
    {"GetPosVariable", false, &ComServer::VarGetPos, 0, nullptr},
    {"GetSystemVariable", false, &ComServer::VarGetSystem, 0, nullptr},
    {"GetPersistentNrVariable", false, &ComServer::VarGetPersistentNr, 0, nullptr},
    {"SetVariableSingle", true, &ComServer::VarSetSingle, 0, nullptr},
    {"SetVariablePosCart", true, &ComServer::VarSetPosCart, 0, nullptr},
    {"SetVariablePosJoint", true, &ComServer::VarSetPosJoint, 0, nullptr},
    {nullptr, false, nullptr, 0, nullptr},
};

bool ComServer::ParseMessage(char* message, int length) {
    if (message == nullptr || length <= 0) return false;
    LogSingleton* log = LogSingleton::instance();

    std::vector<char> copy(message, message + length);
    copy.push_back('\0');
    char* save = nullptr;
    const char* token = strtok_r(copy.data(), " ", &save);
    if (token == nullptr || std::strncmp(token, "HXPSTART", 8) != 0) return false;
    m_FrameRefused = false;
    // The handlers scan the received frame, which ends at its first NUL byte.
    const std::string frame(message, strnlen(message, static_cast<std::size_t>(length)));
    // Commands and variable messages answer a refusal with CMDERROR.
    bool answered = false;

    try {
        const char* counter = strtok_r(nullptr, " ", &save);
        const char* type = counter != nullptr ? strtok_r(nullptr, " ", &save) : nullptr;
        if (type == nullptr) {
            log->add("HXP-Server: Dropping a frame without message type");
            return true;
        }
        token = type;
        const bool aliveJog = std::strncmp(type, "ALIVEJOG", 8) == 0;
        // Its place among all commands, from when its bytes were read: a stop given after
        // that wins over a motion it starts.
        if (!aliveJog && m_RobotMaster != nullptr)
            m_FrameSequence = m_ChunkSequence != 0 ? m_ChunkSequence : m_RobotMaster->NextCommandSequence();
        const bool actsAtOnce = (std::strncmp(type, "PROG", 4) == 0 && IsActive()) || std::strcmp(type, "CONFIG") == 0;
        // What acts at once acts after the commands this connection queued before it.
        if (actsAtOnce && !WaitForEarlierCommands(-1)) return true;
        if (aliveJog) {
            HandleAliveJog(frame.c_str());
        } else if (std::strncmp(type, "CMD", 3) == 0 || std::strncmp(type, "VAR", 3) == 0) {
            const bool isCmd = type[0] == 'C';
            answered = true;
            const char* keyword = strtok_r(nullptr, " ", &save);
            if (keyword == nullptr) {
                log->addFormat("HXP-Server: Dropping a %s frame without keyword", isCmd ? "CMD" : "VAR");
                return true;
            }
            token = keyword;
            Dispatch(isCmd ? CmdKeywords : VarKeywords, isCmd ? "CMD" : "VAR", keyword, frame.c_str(), &save);
        } else if (std::strncmp(type, "SYSTEM", 6) == 0) {
            HandleSystem(frame.c_str(), &save);
        } else if (std::strncmp(type, "CANBridge", 6) == 0) {
            HandleCANBridge(frame.c_str(), &save);
        } else if (std::strncmp(type, "PROG", 4) == 0 && IsActive()) {
            // From a passive connection a program line is a message of unknown type.
            HandleProg(frame.c_str(), &save);
        } else if (std::strcmp(type, "CONFIG") == 0) {
            HandleConfig(frame.c_str(), &save);
        } else {
            std::string line = std::string("Read, but not parsed: PROG ") + type + ": ";
            line.append(message, static_cast<std::size_t>(length));
            LogPaced(m_UnknownTypeLog, line);
        }
    } catch (const std::exception& e) {
        log->addErrorFormat("HXP-Server: Exception while parsing message of type '%s': %s", token, e.what());
        // A handler's refusal ends only this frame: the client hears why, and its
        // connection and the frames behind this one go on.
        if (answered) SendCmdError(HXPScanner::Counter(frame.c_str()), e.what());
        return false;
    }
    return !m_FrameRefused;
}

void ComServer::Dispatch(const Keyword* table, const char* family, const char* keyword, const char* message,
                         char** save) {
    const bool isCmd = family[0] == 'C';
    for (const Keyword* k = table; k->name != nullptr; ++k) {
        if (std::strcmp(k->name, keyword) != 0) continue;
        // An acting keyword from a passive connection counts as not recognised; nothing is answered.
        if (k->activeOnly && !IsActive()) return;
        if (k->handler != nullptr) {
            // A command that acts at once acts after the commands this connection queued
            // before it, in the order sent; a posted one simply queues behind them.
            // Queries and role requests act on nothing the queue holds.
            if (k->activeOnly && !WaitForEarlierCommands(HXPScanner::Counter(message))) return;
            if (k->activeOnly && !IsActive()) return;
            (this->*(k->handler))(message, HXPScanner::Counter(message), save);
        }
        if (k->postCode != 0) PostAndAck(k->postCode, message, k->logLine);
        if (k->handler == nullptr && k->postCode == 0) NotHandledYet(family, keyword, message);
        return;
    }
    if (!IsActive()) return;
    LogSingleton* log = LogSingleton::instance();
    if (isCmd) {
        log->addErrorFormat("HXP-Server: ERROR Could not parse robot command '%s'!", keyword);
        SendCmdError(HXPScanner::Counter(message), "could not parse command");
    } else {
        log->addError("HXP-Server: ERROR Could not parse VAR command!");
    }
}

void ComServer::NotHandledYet(const char* family, const char* keyword, const char* message) {
    LogSingleton* log = LogSingleton::instance();
    if (keyword == nullptr) {
        log->addFormat("HXP-Server: Messages of type '%s' are not available", family);
        return;
    }
    log->addFormat("HXP-Server: %s command '%s' is not available", family, keyword);
    if (family[0] == 'C') SendCmdError(HXPScanner::Counter(message), "not available");
}

void ComServer::HandleAliveJog(const char* message) {
    // Values the frame does not supply (or that are not finite numbers) keep their previous value.
    float values[9];
    for (int i = 0; i < 9; ++i) values[i] = m_JogValues[i].load();
    int32_t counter = 0;
    HXPScanner scan(message);
    scan.Literal("HXPSTART").Int(counter).Literal("ALIVEJOG");
    for (float& value : values) scan.Float(value);
    for (int i = 0; i < 9; ++i) m_JogValues[i] = values[i];
    m_Watchdog = WatchdogStart;
}

// ---------------------------------------------------------------- acting keywords posted to the main loop

void ComServer::PostAndAck(int32_t code, const char* message, const char* logLine) {
    const int counter = HXPScanner::Counter(message);
    // These codes take no arguments.
    if (!PostOrRefuse(counter, code, 0, 0.0f)) return;
    if (logLine != nullptr) LogSingleton::instance()->add(logLine);
    SendCmdAck(counter);
}

void ComServer::CmdStartProgram(const char*, int, char**) {
    if (m_ProgramIPO != nullptr) m_ProgramIPO->OffsetReset();
}

// ---------------------------------------------------------------- role

void ComServer::CmdGetActive(const char*, int, char**) { PublishActiveState(); }

void ComServer::CmdSetActive(const char*, int, char** save) {
    const char* next = strtok_r(nullptr, " ", save);
    std::string word = next != nullptr ? next : "";
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    RequestActivate(word == "true");
    PublishActiveState();
}
