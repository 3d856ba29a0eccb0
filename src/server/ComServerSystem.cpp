// "SYSTEM" messages (power-off, reboot, temperatures) and "CANBridge"
// messages (raw frames between the client and the joint bus).

#include <cstdio>
#include <cstring>
#include <string>

#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "controller/Shutdown.h"
#include "hardware/HardwareProtocol.h"
#include "server/ComServer.h"
#include "server/HXPScanner.h"

namespace {

constexpr int MaxStandardCanId = 2047;

std::string TemperatureLine(const char* head, const float* values) {
    std::string body = head;
    for (int i = 0; i < DataTypes::RobotState::maxModules; ++i) body += std::to_string(values[i]) + " ";
    return body;
}

}  // namespace

void ComServer::HandleSystem(const char* message, char** save) {
    LogSingleton* log = LogSingleton::instance();
    const char* token = strtok_r(nullptr, " ", save);
    const std::string keyword = token != nullptr ? token : "";

    if (keyword == "Shutdown" && IsActive()) {
        int32_t counter = 0;
        int32_t code = -1;
        HXPScanner scan(message);
        scan.Literal("HXPSTART").Int(counter).Literal("SYSTEM").Literal("Shutdown").Int(code);
        if (scan.Count() != 2) {
            log->add("HXP-Server: Incomplete or incorrect shutdown command");
        } else if (code == 100) {
            Shutdown::ShutdownSystem(true);
        } else if (code == 101) {
            Shutdown::RestartSystem(true);
        } else {
            log->addFormat("HXP-Server: Unknown shutdown code %d", code);
        }
    } else if (keyword == "GetBoardTemp" || keyword == "GetMotorTemp") {
        const bool board = keyword == "GetBoardTemp";
        DataTypes::RobotState state;
        {
            std::lock_guard<std::mutex> lock(m_StateMutex);
            state = m_CurrentState;
        }
        SendToClient(board ? TemperatureLine("INFO BoardTemp ", state.jointTemperatures)
                           : TemperatureLine("INFO MotorTemp ", state.jointTemperatures2));
        if (!board) log->add("HXP-Server: GetMotorTemp - not implemented!");
    } else if (IsActive()) {
        log->addFormat("HXP-Server: ERROR Could not parse system command '%s'", message);
    }
}

void ComServer::HandleCANBridge(const char* message, char** save) {
    LogSingleton* log = LogSingleton::instance();
    const char* token = strtok_r(nullptr, " ", save);
    const std::string keyword = token != nullptr ? token : "";
    if (!IsActive()) return;

    if (keyword == "SwitchOn") {
        // A controller whose set-up failed must not leave serious-fail mode this way.
        if (log->get_opMode() == opModeSeriousFail) {
            log->addError("HXP-Server: CANBridge not switched on: the controller is in serious-fail mode");
            return;
        }
        if (m_RobotMaster != nullptr) m_RobotMaster->EnableMotors(false);
        log->add("HXP-Server: Switch on CANBridge");
        s_BridgeOwner = this;
        log->set_opMode(opModeCANBridge);
    } else if (keyword == "SwitchOff") {
        // Only the bridge ends here; a serious failure stays.
        if (log->get_opMode() == opModeSeriousFail) {
            log->addError("HXP-Server: CANBridge not switched off: the controller is in serious-fail mode");
            return;
        }
        log->add("HXP-Server: Switch off CANBridge");
        s_BridgeOwner = nullptr;
        log->set_opMode(opModeNormal);
    } else if (keyword == "Msg") {
        SendBridgedFrame(message);
    } else {
        log->addFormat("HXP-Server: ERROR Could not parse CANBridge command: '%s'", message);
    }
}

void ComServer::SendBridgedFrame(const char* message) {
    LogSingleton* log = LogSingleton::instance();
    if (log->get_opMode() != opModeCANBridge) {
        log->add("Request to send CAN message: switch to CANBridge mode first!");
        return;
    }
    int32_t counter = 0;
    int32_t id = -1;
    int32_t length = -1;
    int32_t data[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    HXPScanner scan(message);
    scan.Literal("HXPSTART").Int(counter).Literal("CANBridge").Literal("Msg").Literal("ID").Int(id);
    scan.Literal("Len").Int(length).Literal("Data");
    for (int32_t& value : data) scan.Int(value);

    // -1 would set the frame's flag bits, a longer length makes the bus copy past the data.
    if (id < 0 || id > MaxStandardCanId) {
        log->addFormat("HXP-Server: CANBridge frame dropped, ID %d is missing or outside 0..%d", id,
                       MaxStandardCanId);
        return;
    }
    if (length < 0 || length > 8) {
        log->addFormat("HXP-Server: CANBridge frame dropped, Len %d is missing or outside 0..8", length);
        return;
    }
    Hardware::HardwareProtocol* hardware = m_RobotMaster != nullptr ? m_RobotMaster->GetHardware() : nullptr;
    if (hardware == nullptr) {
        log->add("HXP-Server: CANBridge frame dropped, there is no joint bus");
        return;
    }
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(data[i] & 0xFF);
    hardware->canInterface.WriteMessage(id, length, bytes);
}
