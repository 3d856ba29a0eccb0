// "CONFIG" messages, first half: digital I/O modules and output defaults,
// kinematic limits, PLC interface and triggers, brake, program default
// state, tool and virtual box. Get keywords answer with "CONFIG" lines; Set
// keywords change the running setting and have the project file (delayed)
// or the robot file (at once) rewritten.

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <string>

#include "common/Filesystem.h"
#include "common/LogSingleton.h"
#include "common/StringHelper.h"
#include "controller/PLCInterfaceTrigger.h"
#include "controller/ProjectManager.h"
#include "controller/RobotMaster.h"
#include "hardware/HardwareProtocol.h"
#include "kinematics/RobotKinematic.h"
#include "server/ComServer.h"
#include "server/ComServerTokens.h"
#include "server/HXPScanner.h"

namespace {

using namespace ComServerTokens;

const char* TrueFalse(bool value) { return value ? "True" : "False"; }

// A whole hexadecimal number of 64 bits.
bool ParseHex64(const std::string& text, uint64_t& out) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 16);
    if (end == text.c_str() || *end != '\0' || errno == ERANGE) return false;
    out = static_cast<uint64_t>(value);
    return true;
}

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(value));
    return text;
}

// The sixteen PLC interface numbers in the order of the remote messages.
int32_t* PLCNumber(PLCInterfaceSettings& plc, int position) {
    int32_t* const numbers[16] = {
        &plc.EnableNumber,      &plc.RequestReferenceNumber, &plc.PlayNumber,         &plc.NoFaultNumber,
        &plc.ProgramRunningNumber, &plc.RobotIsReferenced,   &plc.PauseNumber,        &plc.AltStartNumber,
        &plc.AltStopNumber,     &plc.StartMissionNumber,     &plc.ShutdownNumber,     &plc.AddJointNumber,
        &plc.AddLinearNumber,   &plc.FaultNumber,            &plc.ProgramNotRunningNumber,
        &plc.MissionRunningNumber,
    };
    return numbers[position];
}

}  // namespace

void ComServer::QueueProjectRewrite() {
    if (m_ProjectManager != nullptr) m_ProjectManager->QueueUpdateProjectFile();
}

void ComServer::HandleConfig(const char* message, char** save) {
    struct Entry {
        const char* keyword;
        bool activeOnly;
        void (ComServer::*handler)(const char* message, char** save);
    };
    static const Entry Entries[] = {
        {"GetDIOModules", false, &ComServer::ConfigGetDIOModules},
        {"SetDIOModules", true, &ComServer::ConfigSetDIOModules},
        {"GetDOutDefaults", false, &ComServer::ConfigGetDOutDefaults},
        {"SetDOutDefaults", true, &ComServer::ConfigSetDOutDefaults},
        {"GetKinematicLimits", false, &ComServer::ConfigGetKinematicLimits},
        {"SetKinematicLimits", true, &ComServer::ConfigSetKinematicLimits},
        {"GetPLCInterface", false, &ComServer::ConfigGetPLCInterface},
        {"SetPLCInterface", true, &ComServer::ConfigSetPLCInterface},
        {"GetPLCInterfaceEnabled", false, &ComServer::ConfigGetPLCInterfaceEnabled},
        {"SetPLCInterfaceEnabled", true, &ComServer::ConfigSetPLCInterfaceEnabled},
        {"GetPLCTriggers", false, &ComServer::ConfigGetPLCTriggers},
        {"ClearPLCTriggers", true, &ComServer::ConfigClearPLCTriggers},
        {"AddPLCTrigger", true, &ComServer::ConfigAddPLCTrigger},
        {"GetBrake", false, &ComServer::ConfigGetBrake},
        {"SetBrake", true, &ComServer::ConfigSetBrake},
        {"GetProgramDefaultState", false, &ComServer::ConfigGetProgramDefaultState},
        {"SetProgramDefaultState", true, &ComServer::ConfigSetProgramDefaultState},
        {"GetTool", false, &ComServer::ConfigGetTool},
        {"SetTool", true, &ComServer::ConfigSetTool},
        {"GetVBox", false, &ComServer::ConfigGetVBox},
        {"SetVBox", true, &ComServer::ConfigSetVBox},
        {"SetCamera", true, &ComServer::ConfigSetCamera},
        {"GetCameras", false, &ComServer::ConfigGetCameras},
        {"ClearCameras", true, &ComServer::ConfigClearCameras},
        {"SetExternalAxes", true, &ComServer::ConfigSetExternalAxes},
        {"SetExternalAxis", true, &ComServer::ConfigSetExternalAxis},
        {"GetExternalAxes", false, &ComServer::ConfigGetExternalAxes},
        {"GetExternalAxes2", false, &ComServer::ConfigGetExternalAxes2},
        {"SetModbus", true, &ComServer::ConfigSetModbus},
        {"GetModbus", false, &ComServer::ConfigGetModbus},
        {"SetCloudConnection", true, &ComServer::ConfigSetCloudConnection},
        {"SetCloudInfo", true, &ComServer::ConfigSetCloudInfo},
        {"GetCloud", false, &ComServer::ConfigGetCloud},
    };
    const char* token = strtok_r(nullptr, " ", save);
    if (token == nullptr) return;
    for (const Entry& entry : Entries) {
        if (std::strcmp(entry.keyword, token) != 0) continue;
        // Unknown keywords, and acting ones from a passive client, are ignored.
        if (entry.activeOnly && !IsActive()) return;
        // Without the robot's model and driver there is nothing to read or change.
        if (m_RobotMaster == nullptr) return;
        (this->*entry.handler)(message, save);
        return;
    }
}

// ---------------------------------------------------------------- digital I/O modules and output defaults

void ComServer::ConfigGetDIOModules(const char*, char**) {
    uint8_t ids[3] = {0, 0, 0};
    m_RobotMaster->GetDIOModuleIDs(ids[0], ids[1], ids[2]);
    SendToClient("CONFIG DIOModules " + std::to_string(ids[0]) + " " + std::to_string(ids[1]) + " " +
                 std::to_string(ids[2]));
}

void ComServer::ConfigSetDIOModules(const char* message, char**) {
    LogSingleton* log = LogSingleton::instance();
    int32_t counter = 0;
    int32_t ids[3] = {0, 0, 0};
    HXPScanner scan(message);
    scan.Literal("HXPSTART").Int(counter).Literal("CONFIG").Literal("SetDIOModules");
    for (int32_t& id : ids) scan.Int(id);
    // The ids are bytes on the bus.
    bool inRange = true;
    for (int32_t id : ids) inRange = inRange && id >= 0 && id <= 255;
    Hardware::HardwareProtocol* hardware = m_RobotMaster->GetHardware();
    if (scan.Count() != 4 || !inRange || hardware == nullptr) {
        log->add("HXP-Server: ERROR, received SetDIOModules request but could not parse parameters");
        return;
    }
    hardware->SetDIOModuleIDs(static_cast<unsigned char>(ids[0]), static_cast<unsigned char>(ids[1]),
                              static_cast<unsigned char>(ids[2]));
    log->addFormat("HXP-Server: DIO module configuration changed, CAN-IDs: %d %d %d", ids[0], ids[1], ids[2]);
    QueueProjectRewrite();
}

void ComServer::ConfigGetDOutDefaults(const char*, char**) {
    uint64_t words[4] = {0, 0, 0, 0};
    for (int i = 0; i < 64; ++i) {
        const int h = i < 32 ? 0 : 1;
        const int shift = 2 * (i - 32 * h);
        words[h] |= static_cast<uint64_t>(DOutTargetStateToUInt(m_RobotMaster->GetDOutOnReset(i))) << shift;
        words[2 + h] |= static_cast<uint64_t>(DOutTargetStateToUInt(m_RobotMaster->GetDOutOnError(i))) << shift;
    }
    SendToClient("CONFIG DOutDefaults " + Hex(words[0]) + " " + Hex(words[1]) + " " + Hex(words[2]) + " " +
                 Hex(words[3]));
}

void ComServer::ConfigSetDOutDefaults(const char*, char** save) {
    LogSingleton* log = LogSingleton::instance();
    uint64_t words[4] = {0, 0, 0, 0};
    for (uint64_t& word : words) {
        // A missing or unreadable word would silently reset outputs: change nothing.
        if (!ParseHex64(NextValueToken(save), word)) {
            log->addError("HXP-Server: ERROR, incomplete or invalid SetDOutDefaults message, DOut defaults unchanged");
            return;
        }
    }
    m_RobotMaster->ChangeSettings([&]() {
        for (int i = 0; i < 64; ++i) {
            const int h = i < 32 ? 0 : 1;
            const int shift = 2 * (i - 32 * h);
            m_RobotMaster->SetDOutOnReset(i, DOutTargetStateFromUInt(static_cast<unsigned>((words[h] >> shift) & 3u)));
            m_RobotMaster->SetDOutOnError(
                i, DOutTargetStateFromUInt(static_cast<unsigned>((words[2 + h] >> shift) & 3u)));
        }
    });
    log->add("HXP-Server: DOut defaults set");
    QueueProjectRewrite();
}

// ---------------------------------------------------------------- kinematic limits

void ComServer::ConfigGetKinematicLimits(const char*, char**) {
    RobotKinematic* kinematic = m_RobotMaster->GetKinematic();
    if (kinematic == nullptr) return;
    float limits[RobotKinematic::maxJoints][2] = {};
    int joints = 0;
    m_RobotMaster->ChangeSettings([&]() {
        kinematic->GetMinMaxValues(limits);
        joints = kinematic->nrOfJoints;
    });
    std::ostringstream line;
    line << std::setprecision(5) << "CONFIG KinematicLimits";
    for (int i = 0; i < joints && i < RobotKinematic::maxJoints; ++i) line << " " << limits[i][0] << " " << limits[i][1];
    SendToClient(line.str());
}

void ComServer::ConfigSetKinematicLimits(const char* message, char**) {
    LogSingleton* log = LogSingleton::instance();
    constexpr int Slots = RobotKinematic::maxJoints;
    int32_t counter = 0;
    float received[Slots][2] = {};
    HXPScanner scan(message);
    scan.Literal("HXPSTART").Int(counter).Literal("CONFIG").Literal("SetKinematicLimits");
    for (auto& pair : received) scan.Float(pair[0]).Float(pair[1]);
    const int n = scan.Count();
    RobotKinematic* kinematic = m_RobotMaster->GetKinematic();

    if (n > 2 && kinematic != nullptr) {
        const int pairs = (n - 1) / 2;
        const int joints = kinematic->nrOfJoints;
        log->addFormat("HXP-Server: Setting kinematic limits, number of received values: %d", n);
        for (int i = 0; i < pairs; ++i)
            log->addFormat("HXP-Server: Kin limits axis %d: %f %f", i, received[i][0], received[i][1]);
        if (n < 1 + 2 * Slots && !scan.NextIs("HXPEND")) {
            // A value that is no finite number ends the scan there: nothing changes rather than a part.
            log->addError("HXP-Server: ERROR, kinematic limits not changed: a value is not a number");
        } else if (pairs < joints) {
            // The robot file would get 0..0 for the joints the message left out.
            log->addErrorFormat("HXP-Server: ERROR, kinematic limits not changed: %d pairs for %d joints", pairs,
                                joints);
        } else {
            float target[Slots][2] = {};
            for (int i = 0; i < pairs; ++i) {
                const int slot = i < joints ? i : i + 6 - joints;
                // Past the last slot (fewer than six joints): dropped.
                if (slot < 0 || slot >= Slots) continue;
                target[slot][0] = received[i][0];
                target[slot][1] = received[i][1];
            }
            m_RobotMaster->ChangeSettings([&]() { kinematic->SetMinMaxValues(target); });
        }
    }
    m_RobotMaster->QueueUpdateRobotFile();
}

// ---------------------------------------------------------------- PLC interface and triggers

void ComServer::ConfigGetPLCInterface(const char*, char**) {
    PLCInterfaceSettings plc;
    m_RobotMaster->ChangeSettings([&]() { plc = LogSingleton::instance()->get_plcInterfaceNr(); });
    std::string line = "CONFIG PLCInterface";
    for (int i = 0; i < 16; ++i) line += " " + std::to_string(*PLCNumber(plc, i));
    SendToClient(line);
}

void ComServer::ConfigSetPLCInterface(const char* message, char**) {
    LogSingleton* log = LogSingleton::instance();
    int32_t counter = 0;
    int32_t numbers[16];
    for (int32_t& number : numbers) number = -1;
    HXPScanner scan(message);
    scan.Literal("HXPSTART").Int(counter).Literal("CONFIG").Literal("SetPLCInterface");
    for (int32_t& number : numbers) scan.Int(number);
    log->add("HXP-Server: Setting PLC interface numbers");
    m_RobotMaster->ChangeSettings([&]() {
        PLCInterfaceSettings& plc = log->get_plcInterfaceNr();
        for (int i = 0; i < 16; ++i) *PLCNumber(plc, i) = numbers[i];
    });
    QueueProjectRewrite();
}

void ComServer::ConfigGetPLCInterfaceEnabled(const char*, char**) {
    bool active = false;
    bool autoConnect = false;
    m_RobotMaster->ChangeSettings([&]() {
        const PLCInterfaceSettings& plc = LogSingleton::instance()->get_plcInterfaceNr();
        active = plc.Active;
        autoConnect = plc.AutoConnect;
    });
    SendToClient(std::string("CONFIG PLCInterfaceEnabled ") + TrueFalse(active) + " " + TrueFalse(autoConnect));
}

void ComServer::ConfigSetPLCInterfaceEnabled(const char*, char** save) {
    LogSingleton* log = LogSingleton::instance();
    const bool active = NextValueToken(save) == "True";
    const bool autoConnect = NextValueToken(save) == "True";
    m_RobotMaster->ChangeSettings([&]() {
        PLCInterfaceSettings& plc = log->get_plcInterfaceNr();
        plc.Active = active;
        plc.AutoConnect = autoConnect;
    });
    log->add(active ? "HXP-Server: Setting PLC interface enabled" : "HXP-Server: Setting PLC interface disabled");
    log->add(autoConnect ? "HXP-Server: Setting PLC interface auto connect"
                         : "HXP-Server: Setting PLC interface no auto connect");
    QueueProjectRewrite();
}

void ComServer::ConfigGetPLCTriggers(const char*, char**) {
    using Trigger = PLCTrigger::PLCInterfaceTrigger;
    const std::vector<Trigger> triggers = m_RobotMaster->GetPLCTriggers();
    if (triggers.empty()) {
        SendToClient("CONFIG PLCTrigger 0 0");
        return;
    }
    for (std::size_t i = 0; i < triggers.size(); ++i) {
        const Trigger& t = triggers[i];
        const std::string file = t.GetTargetFileRelative().empty() ? "none" : t.GetTargetFileRelative();
        // A blank would split the name on the client's side.
        if (file.find(' ') != std::string::npos) continue;
        SendToClient("CONFIG PLCTrigger " + std::to_string(i) + " " + std::to_string(triggers.size()) + " " +
                     TrueFalse(t.IsActive()) + " " + (t.GetSignalType() == Trigger::GSig ? "GSig" : "DIn") + " " +
                     std::to_string(t.GetChannel()) + " " +
                     (t.GetTargetType() == Trigger::Mission ? "Mission" : "Program") + " " + file);
    }
}

void ComServer::ConfigClearPLCTriggers(const char*, char**) {
    m_RobotMaster->ClearPLCTriggers();
    LogSingleton::instance()->add("HXP-Server: PLC triggers cleared");
}

void ComServer::ConfigAddPLCTrigger(const char*, char** save) {
    using Trigger = PLCTrigger::PLCInterfaceTrigger;
    LogSingleton* log = LogSingleton::instance();
    const std::string activeWord = NextValueToken(save);
    const std::string signalWord = NextValueToken(save);
    const std::string channelWord = NextValueToken(save);
    const std::string targetWord = NextValueToken(save);
    std::string file = NextValueToken(save);
    int32_t channel = -1;
    if (file.empty() || !ParseInt(channelWord, channel)) {
        log->add("HXP-Server: Received incomplete AddPLCTrigger message");
        return;
    }
    if (file == "none") file.clear();
    if (HasControlCharacter(file)) {
        log->addError("HXP-Server: ERROR, PLC trigger not added: the file name holds control characters");
        return;
    }
    // The trigger loads the file when it fires: it must stay below the programs folder.
    const std::string slashed = Slashes(file);
    if (!file.empty() && !Filesystem::StaysInside(slashed)) {
        log->addError("HXP-Server: ERROR, PLC trigger not added: file name '" + file + "' leaves the programs folder");
        return;
    }
    const bool active = StringHelper::ToLower(activeWord) == "true";
    const Trigger::SignalType signal = StringHelper::ToLower(signalWord) == "din" ? Trigger::DIn : Trigger::GSig;
    // Kept inactive, it would still be written to the project file with a number no signal has.
    if (!Trigger::ChannelInRange(signal, channel)) {
        log->addErrorFormat("HXP-Server: ERROR, PLC trigger not added: %s channel %d outside 0..%d",
                            signal == Trigger::DIn ? "DIn" : "GSig", channel, Trigger::LastChannel(signal));
        return;
    }
    const Trigger::TargetType target =
        StringHelper::ToLower(targetWord) == "program" ? Trigger::Program : Trigger::Mission;
    const Trigger trigger(active, signal, channel, target, file);
    m_RobotMaster->AddPLCTrigger(trigger);
    QueueProjectRewrite();
    log->addFormat("HXP-Server: PLC-Trigger added: %s", trigger.ToString());
}

// ---------------------------------------------------------------- brake and program default state

void ComServer::ConfigGetBrake(const char*, char**) {
    char line[64];
    std::snprintf(line, sizeof(line), "CONFIG Brake %d %d %d", m_RobotMaster->GetBrakeChannel(),
                  m_RobotMaster->GetBrakeDelayMS(), m_RobotMaster->GetEStopChannel());
    SendToClient(line);
}

void ComServer::ConfigSetBrake(const char* message, char**) {
    LogSingleton* log = LogSingleton::instance();
    int32_t counter = 0;
    int32_t output = -1;
    int32_t delay = 0;
    int32_t input = -1;
    HXPScanner scan(message);
    scan.Literal("HXPSTART").Int(counter).Literal("CONFIG").Literal("SetBrake").Int(output).Int(delay).Int(input);
    // Filling a missing value with -1 would switch the E-stop monitoring off unasked.
    if (scan.Count() != 4) {
        log->addError("HXP-Server: ERROR, incomplete or invalid SetBrake message, brake unchanged");
        return;
    }
    if (output < -1 || output > 63) output = -1;
    if (input < -1 || input > 63) input = -1;
    if (delay < 0) log->addErrorFormat("HXP-Server: ERROR, negative brake delay %d not stored", delay);
    m_RobotMaster->SetBrakeSettings(output, delay, input);
    log->addFormat("HXP-Server: Brake DOut set to %d", output);
    m_RobotMaster->QueueUpdateRobotFile();
}

void ComServer::ConfigGetProgramDefaultState(const char*, char**) {
    int32_t state = 0;
    m_RobotMaster->ChangeSettings([&]() { state = m_RobotMaster->GetProgramDefaultState() != 0 ? 1 : 0; });
    SendToClient("CONFIG ProgramDefaultState " + std::to_string(state));
}

void ComServer::ConfigSetProgramDefaultState(const char*, char** save) {
    LogSingleton* log = LogSingleton::instance();
    int32_t value = 0;
    if (!ParseInt(NextValueToken(save), value)) {
        log->addError("HXP-Server: ERROR, incomplete or invalid SetProgramDefaultState message");
        return;
    }
    const int32_t state = value != 0 ? 1 : 0;
    // The interpreter reads it in the robot cycle.
    m_RobotMaster->ChangeSettings([&]() { m_RobotMaster->SetProgramDefaultState(state); });
    log->add("HXP-Server: Program default state set to " + std::to_string(state));
    QueueProjectRewrite();
}

// ---------------------------------------------------------------- tool and virtual box

void ComServer::ConfigGetTool(const char*, char**) {
    const std::string tool = LogSingleton::instance()->get_robotGripper();
    SendToClient("CONFIG Tool " + (tool.empty() ? std::string("none") : tool));
}

void ComServer::ConfigSetTool(const char*, char** save) {
    LogSingleton* log = LogSingleton::instance();
    std::string name = NextValueToken(save);
    bool valid = name == "none";
    if (valid) {
        name.clear();
    } else {
        name = Slashes(name);
        // Only names below the tools folder; the check refuses absolute names and "..".
        RobotKinematic* kinematic = m_RobotMaster->GetKinematic();
        valid = !name.empty() && kinematic != nullptr && Filesystem::StaysInside(name) && !HasControlCharacter(name) &&
                kinematic->tool.CheckConfigFileExists(name);
    }
    if (!valid) {
        log->addErrorFormat("HXPServer: ERROR: Tool configuration file %s does not exist", name);
        SendToClient("CONFIGERROR Tool invalid_file");
        return;
    }
    log->set_robotGripper(name);
    QueueProjectRewrite();
}

void ComServer::ConfigGetVBox(const char*, char**) {
    bool active = false;
    DataTypes::Vector3 low;
    DataTypes::Vector3 high;
    bool known = false;
    m_RobotMaster->ChangeSettings([&]() { known = m_RobotMaster->GetVirtualBox(active, low, high); });
    if (!known) return;
    std::ostringstream line;
    line << "CONFIG VBox " << TrueFalse(active) << " " << low.x << " " << high.x << " " << low.y << " " << high.y
         << " " << low.z << " " << high.z;
    SendToClient(line.str());
}

void ComServer::ConfigSetVBox(const char*, char** save) {
    const std::string flag = NextValueToken(save);
    double values[6] = {};
    for (double& value : values) {
        // Any missing, unreadable or unstorable corner value: nothing changes.
        if (!ParseFloat(NextValueToken(save), value)) {
            LogSingleton::instance()->addError("HXP-Server: ERROR, incomplete or invalid SetVBox message, virtual box unchanged");
            return;
        }
    }
    const DataTypes::Vector3 low(static_cast<float>(values[0]), static_cast<float>(values[2]),
                                 static_cast<float>(values[4]));
    const DataTypes::Vector3 high(static_cast<float>(values[1]), static_cast<float>(values[3]),
                                  static_cast<float>(values[5]));
    m_RobotMaster->ChangeSettings([&]() { m_RobotMaster->SetVirtualBox(flag == "True", low, high); });
    QueueProjectRewrite();
}
