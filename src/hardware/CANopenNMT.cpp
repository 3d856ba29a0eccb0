#include "hardware/CANopenNMT.h"

#include "common/LogSingleton.h"

#include <cstdio>

namespace Hardware {

std::string NMTFunctionToString(int command) {
    switch (command) {
        case ENTER_OPERATIONAL: return "ENTER_OPERATIONAL";
        case ENTER_STOP: return "ENTER_STOP";
        case ENTER_PREOPERATIONAL: return "ENTER_PREOPERATIONAL";
        case RESET_NODE: return "RESET_NODE";
        case RESET_COMMUNICATION: return "RESET_COMMUNICATION";
        default: return "UNKNOWN";
    }
}

void SendNMTFrame(CANInterfaceSocketCAN& can, int node, NMTFunction command, bool debug) {
    LogSingleton* log = LogSingleton::instance();
    const std::string name = NMTFunctionToString(command);
    if (node == 0) {
        log->addFormat("CANopen: NMT-Request %s for all devices", name);
    } else {
        log->addFormat("CANopen: NMT-Request %s for device %d", name, node);
    }
    const unsigned char data[8] = {static_cast<unsigned char>(command), static_cast<unsigned char>(node), 0, 0, 0, 0,
                                   0, 0};
    can.WriteMessage(0, 2, data);
    if (debug) {
        std::printf("NMT ID: 0x%02X cmd: 0x%02X\n", node & 0xFF, static_cast<int>(command) & 0xFF);
        std::fflush(stdout);
    }
}

}  // namespace Hardware
