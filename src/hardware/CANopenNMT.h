#pragma once
// CANopen network management commands (CiA 301) of the master.

#include "hardware/CANInterfaceSocketCAN.h"

#include <string>

namespace Hardware {

enum NMTFunction : int {
    ENTER_OPERATIONAL = 1,
    ENTER_STOP = 2,
    ENTER_PREOPERATIONAL = 0x80,
    RESET_NODE = 0x81,
    RESET_COMMUNICATION = 0x82,
};

// "ENTER_OPERATIONAL" ... for the commands above, "UNKNOWN" for others.
std::string NMTFunctionToString(int command);

// Logs the request and sends identifier 0, data [command, node] (node 0: all
// devices). The caller waits the 50 ms a node needs to change state.
void SendNMTFrame(CANInterfaceSocketCAN& can, int node, NMTFunction command, bool debug);

}  // namespace Hardware
