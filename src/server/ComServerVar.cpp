// "VAR" messages: program variables and the persistent counters, read by
// every client and set (never created) by the active one.

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "PkgProgram/MemoryPosition.h"
#include "common/LogSingleton.h"
#include "common/StringHelper.h"
#include "controller/RobotMaster.h"
#include "server/ComServer.h"
#include "server/HXPScanner.h"

namespace {

// Name words are scanned only to fill the format; the lookup uses the next token.
constexpr std::size_t NameWordLength = 511;

}  // namespace

std::string ComServer::NextTokenLower(char** save) {
    const char* token = strtok_r(nullptr, " ", save);
    return token != nullptr ? StringHelper::ToLower(token) : std::string();
}

void ComServer::VarGetNr(const char*, int, char** save) {
    const std::string name = NextTokenLower(save);
    // One lookup, so a variable removed meanwhile is simply not known.
    const auto variable = m_RobotMaster != nullptr ? m_RobotMaster->programMemory.Get(name) : nullptr;
    if (variable == nullptr) {
        SendToClient("VARERROR ValueNrVariable " + name + " variable_not_known");
        return;
    }
    std::ostringstream line;
    line << "VARINFO ValueNrVariable " << name << " " << variable->number;
    SendToClient(line.str());
}

void ComServer::VarGetPos(const char*, int, char** save) {
    const std::string name = NextTokenLower(save);
    const auto variable = m_RobotMaster != nullptr ? m_RobotMaster->programMemory.Get(name) : nullptr;
    if (variable == nullptr) {
        SendToClient("VARERROR ValuePosVariable " + name + " variable_not_known");
        return;
    }
    const DataTypes::RobotState& p = variable->position;
    std::ostringstream line;
    line << "VARINFO ValuePosVariable " << name;
    for (int row = 0; row < 3; ++row) line << " " << p.pose(row, 3);
    line << " " << p.A << " " << p.B << " " << p.C;
    for (float joint : p.jointSetPoint) line << " " << joint;
    SendToClient(line.str());
}

void ComServer::VarGetSystem(const char* message, int, char**) {
    LogSingleton* log = LogSingleton::instance();
    int32_t counter = 0;
    int32_t id = -1;
    HXPScanner(message).Literal("HXPSTART").Int(counter).Literal("VAR").Literal("GetSystemVariable").Int(id);
    if (id < 0) {
        SendToClient("VARERROR ValueSystemVariable " + std::to_string(id) + " variable_not_known");
        log->addFormat("HXP-Server: GetSystemVariable %d: ERROR, variable not found", id);
        return;
    }
    const int value = log->GetSystemVar(static_cast<SystemVar>(id));
    SendToClient("VARINFO ValueSystemVariable " + std::to_string(id) + " Value " + std::to_string(value));
    log->addFormat("HXP-Server: GetSystemVariable %d value %d", id, value);
}

void ComServer::VarGetPersistentNr(const char*, int, char**) {
    LogSingleton::instance()->add("HXP-Server: GetPersistentNrVariable - not implemented yet!");
}

void ComServer::VarSetSingle(const char* message, int, char** save) { VarSet(message, save, 1); }
void ComServer::VarSetPosCart(const char* message, int, char** save) { VarSet(message, save, 2); }
void ComServer::VarSetPosJoint(const char* message, int, char** save) { VarSet(message, save, 3); }

void ComServer::VarSet(const char* message, char** save, int kind) {
    static const char* const Keywords[] = {"", "SetVariableSingle", "SetVariablePosCart", "SetVariablePosJoint"};
    const std::string name = NextTokenLower(save);
    int32_t counter = 0;
    std::string scannedName;
    float values[9] = {};
    const int valueCount = kind == 1 ? 1 : 9;
    HXPScanner scan(message);
    scan.Literal("HXPSTART").Int(counter).Literal("VAR").Literal(Keywords[kind]).Word(scannedName, NameWordLength);
    for (int i = 0; i < valueCount; ++i) scan.Float(values[i]);
    scan.Literal("HXPEND");

    char reply[256];
    if (scan.Count() != 2 + valueCount) {
        std::snprintf(reply, sizeof(reply), "CMDERROR %d wrong_nr_of_arguments_in_cmd", counter);
        SendToClient(reply);
        return;
    }
    const auto v = [&](int i) { return static_cast<double>(values[i]); };
    bool known = false;
    if (m_RobotMaster == nullptr) {
        known = false;
    } else if (kind == 1) {
        known = m_RobotMaster->programMemory.SetVariableSingle(name, v(0), false);
    } else {
        // Converting a position reads the robot's working state, which the robot thread writes.
        Programs::ProgramMemory& memory = m_RobotMaster->programMemory;
        m_RobotMaster->ChangeSettings([&]() {
            known = kind == 2 ? memory.SetVariablePosCart(name, v(0), v(1), v(2), v(3), v(4), v(5), v(6), v(7), v(8), false)
                              : memory.SetVariablePosJoint(name, v(0), v(1), v(2), v(3), v(4), v(5), v(6), v(7), v(8), false);
        });
    }
    if (known) {
        std::snprintf(reply, sizeof(reply), "CMDACK %d", counter);
    } else {
        std::snprintf(reply, sizeof(reply), "CMDERROR %d variable_not_known", counter);
    }
    SendToClient(reply);
}
