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

namespace {

constexpr std::size_t MaxWordLength = 511;

}  // namespace

// Keywords whose handler is null belong to parts of the protocol that are not
// served yet: they keep their access rule and get a "not available" reply.
const ComServer::Keyword ComServer::CmdKeywords[] = {
    {"Connect", true, nullptr},
    {"Disconnect", true, nullptr},
    {"GetVersion", false, nullptr},
    {"DOUT", true, nullptr},
    {"GSIG", false, nullptr},
    {"ProgramReplayMode", false, nullptr},
    {"Reset", true, &ComServer::CmdReset},
    {"Enable", true, &ComServer::CmdEnable},
    {"Disable", true, &ComServer::CmdDisable},
    {"SetJointsToZero", true, &ComServer::CmdSetJointsToZero},
    {"ReferenceAllJoints", true, &ComServer::CmdReferenceAllJoints},
    {"ReferenceSingleJoint", true, nullptr},
    {"GetReferencingInfo", false, nullptr},
    {"Override", true, nullptr},
    {"MotionTypeJoint", true, &ComServer::CmdMotionTypeJoint},
    {"MotionTypeCartBase", true, &ComServer::CmdMotionTypeCartBase},
    {"MotionTypeCartTool", true, &ComServer::CmdMotionTypeCartTool},
    {"MotionTypePlatform", true, &ComServer::CmdMotionTypePlatform},
    {"ZeroTorque", false, nullptr},
    {"Gripper", true, nullptr},
    {"GetActive", false, &ComServer::CmdGetActive},
    {"SetActive", false, &ComServer::CmdSetActive},
    {"StartProgram", true, &ComServer::CmdStartProgram},
    {"StartProgramWithOffset", true, nullptr},
    {"PauseProgram", true, &ComServer::CmdPauseProgram},
    {"StopProgram", true, &ComServer::CmdStopProgram},
    {"DeleteProgram", true, nullptr},
    {"DeleteLogicProgram", true, nullptr},
    {"DeleteProgramFromFileSystem", true, nullptr},
    {"GetProgramInfo", false, nullptr},
    {"GetLogicProgramInfo", false, nullptr},
    {"GetProgramName", false, nullptr},
    {"LoadProgram", true, nullptr},
    {"LoadLogicProgram", true, nullptr},
    {"StartAt", true, nullptr},
    {"UploadFileInit", true, nullptr},
    {"UploadFileLine", true, nullptr},
    {"UploadFileFinish", true, nullptr},
    {"Move", true, nullptr},
    {"TriggerCamera", true, nullptr},
    {nullptr, false, nullptr},
};

const ComServer::Keyword ComServer::VarKeywords[] = {
    {"GetNrVariable", false, nullptr},
    {"GetPosVariable", false, nullptr},
    {"GetSystemVariable", false, nullptr},
    {"GetPersistentNrVariable", false, nullptr},
    {"SetVariableSingle", true, nullptr},
    {"SetVariablePosCart", true, nullptr},
    {"SetVariablePosJoint", true, nullptr},
    {nullptr, false, nullptr},
};

bool ComServer::ParseMessage(char* message, int length) {
    if (message == nullptr || length <= 0) return false;
    LogSingleton* log = LogSingleton::instance();

    std::vector<char> copy(message, message + length);
    copy.push_back('\0');
    char* save = nullptr;
    const char* token = strtok_r(copy.data(), " ", &save);
    if (token == nullptr || std::strncmp(token, "HXPSTART", 8) != 0) return false;
    // The handlers scan the received frame, bounded by its length.
    // The handlers scan the received frame, which ends at its first NUL byte.
    const std::string frame(message, strnlen(message, static_cast<std::size_t>(length)));

    try {
        const char* counter = strtok_r(nullptr, " ", &save);
        const char* type = counter != nullptr ? strtok_r(nullptr, " ", &save) : nullptr;
        if (type == nullptr) {
            log->add("HXP-Server: Dropping a frame without message type");
            return true;
        }
        token = type;
        if (std::strncmp(type, "ALIVEJOG", 8) == 0) {
            HandleAliveJog(frame.c_str());
        } else if (std::strncmp(type, "CMD", 3) == 0 || std::strncmp(type, "VAR", 3) == 0) {
            const bool isCmd = type[0] == 'C';
            const char* keyword = strtok_r(nullptr, " ", &save);
            if (keyword == nullptr) {
                log->addFormat("HXP-Server: Dropping a %s frame without keyword", isCmd ? "CMD" : "VAR");
                return true;
            }
            token = keyword;
            Dispatch(isCmd ? CmdKeywords : VarKeywords, isCmd ? "CMD" : "VAR", keyword, frame.c_str(), &save);
        } else if (std::strncmp(type, "SYSTEM", 6) == 0 || std::strncmp(type, "CANBridge", 6) == 0 ||
                   std::strncmp(type, "PROG", 4) == 0 || std::strcmp(type, "CONFIG") == 0) {
            NotHandledYet(type, nullptr, frame.c_str());
        } else {
            std::string line = std::string("Read, but not parsed: PROG ") + type + ": ";
            line.append(message, static_cast<std::size_t>(length));
            line += "\n";
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
        }
    } catch (const std::exception& e) {
        log->addErrorFormat("HXP-Server: Exception while parsing message of type '%s': %s", token, e.what());
        // The connection thread ends the connection on it.
        throw std::exception();
    }
    return true;
}

void ComServer::Dispatch(const Keyword* table, const char* family, const char* keyword, const char* message,
                         char** save) {
    const bool isCmd = family[0] == 'C';
    for (const Keyword* k = table; k->name != nullptr; ++k) {
        if (std::strcmp(k->name, keyword) != 0) continue;
        // An acting keyword from a passive connection counts as not recognised; nothing is answered.
        if (k->activeOnly && !IsActive()) return;
        if (k->handler == nullptr) {
            NotHandledYet(family, keyword, message);
        } else {
            (this->*(k->handler))(message, HXPScanner::Counter(message), save);
        }
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
    if (logLine != nullptr) LogSingleton::instance()->add(logLine);
    {
        // The integer and float arguments keep what they held: these codes take none.
        std::lock_guard<std::mutex> lock(m_PendingMutex);
        m_PendingCode = code;
    }
    SendCmdAck(HXPScanner::Counter(message));
}

void ComServer::CmdReset(const char* message, int, char**) { PostAndAck(10, message, "HXP-Server: Reset joints"); }

void ComServer::CmdEnable(const char* message, int, char**) { PostAndAck(11, message, "HXP-Server: Enable joints"); }

void ComServer::CmdDisable(const char* message, int, char**) {
    PostAndAck(12, message, "HXP-Server: Disable joints");
}

void ComServer::CmdSetJointsToZero(const char* message, int, char**) {
    PostAndAck(13, message, "HXP-Server: Set joints to zero");
}

void ComServer::CmdReferenceAllJoints(const char* message, int, char**) {
    PostAndAck(16, message, "HXP-Server: Reference all joints");
}

void ComServer::CmdMotionTypeJoint(const char* message, int, char**) {
    PostAndAck(21, message, "HXP-Server: Set motion type to: Joint");
}

void ComServer::CmdMotionTypeCartBase(const char* message, int, char**) {
    PostAndAck(22, message, "HXP-Server: Set motion type to: CartBase");
}

void ComServer::CmdMotionTypeCartTool(const char* message, int, char**) {
    PostAndAck(23, message, "HXP-Server: Set motion type to: CartTool");
}

void ComServer::CmdMotionTypePlatform(const char* message, int, char**) {
    PostAndAck(24, message, "HXP-Server: Set motion type to: Platform");
}

void ComServer::CmdStartProgram(const char* message, int, char**) {
    if (m_ProgramIPO != nullptr) m_ProgramIPO->OffsetReset();
    PostAndAck(2, message, nullptr);
}

void ComServer::CmdPauseProgram(const char* message, int, char**) { PostAndAck(3, message, nullptr); }

void ComServer::CmdStopProgram(const char* message, int, char**) { PostAndAck(4, message, nullptr); }

// ---------------------------------------------------------------- role

void ComServer::CmdGetActive(const char*, int, char**) { PublishActiveState(); }

void ComServer::CmdSetActive(const char*, int, char** save) {
    const char* next = strtok_r(nullptr, " ", save);
    std::string word = next != nullptr ? next : "";
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    RequestActivate(word == "true");
    PublishActiveState();
}
