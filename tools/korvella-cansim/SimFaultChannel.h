#pragma once
// The simulated modules of one robot on a hub, and the fault channel that
// reaches them: an in-process API for tests and a line protocol for the
// program's standard input.
//
// Line protocol (numbers in decimal or 0x hex; one reply line "OK ..." or
// "ERROR ..." per command):
//   silence <id>|all [on|off]        module stops (or resumes) sending and hearing
//   errorbits <id> <bits>            latched error bits of a module (cleared by reset)
//   event <id> <code> [<w1> [<w2>]]  error event frame from identifier <id>
//   alien <id>                       set-point frame on <id> as a second master sends it
//   inputs <id> <bits>               digital inputs of a joint or I/O module (64 bits for a node)
//   supply <raw> [<c1> <c2>]         main I/O supply value and circuits (0/1)
//   estop on|off                     both supply circuits off (on) or back on (off)
//   shutdown [<ms>]                  two-stage shutdown request, second stage after <ms>
//   shutdownstage <code>             one shutdown frame with any stage code
//   restart <id>                     power-cycle a joint module (start-up message follows)
//   heartbeat <id> on|off            a CANopen node keeps (or stops) sending its heartbeat
//   emcy <id> <code> [<reg>]         emergency of a CANopen node, kept in its 0x1001 and 0x1003
//   fault <id> [<code> [<reg>]]      CiA 402 drive into fault, with its emergency (until a fault reset)
//   window <id> <counts>             the drive's following error window (0x6065), kept over its resets
//   homingfail <id> on|off           the drive's next homing runs end in a homing error
//   modes <id> <m>[,<m>...]          modes of operation the drive accepts (others refused)
//   sdosilence <id> on|off           a CANopen node stops (or resumes) answering SDOs
//   powercycle <id>                  a CANopen node powers off and on (defaults, boot-up)
//   list | help | quit

#include "korvella-cansim/Hub.h"
#include "korvella-cansim/SimCANopenDrive.h"
#include "korvella-cansim/SimCANopenNode.h"
#include "korvella-cansim/SimIOModule.h"
#include "korvella-cansim/SimJointModuleV1.h"
#include "korvella-cansim/SimJointModuleV2.h"
#include "korvella-cansim/SimMainIOModule.h"
#include "korvella-cansim/SimRobotConfig.h"

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace CanSim {

class SimFaultChannel {
public:
    explicit SimFaultChannel(Hub& hub);

    // Puts the modules of a configuration on the hub. Protocol v2/v3: one
    // joint module per joint, the DIO modules and the main I/O module;
    // protocol v1: one v1 module per joint; CANopen: one node per joint (node
    // id "ID") and an I/O node per DIO module id.
    bool Populate(const SimRobotConfig& config, std::string& error);
    std::shared_ptr<SimJointModuleV2> AddJointModule(const SimJointModuleV2::Config& config);
    std::shared_ptr<SimJointModuleV1> AddJointModuleV1(const SimJointModuleV1::Config& config);
    std::shared_ptr<SimIOModule> AddIOModule(int canId);
    std::shared_ptr<SimMainIOModule> AddMainIOModule();
    void AddNode(std::shared_ptr<SimCANopenNode> node);

    std::shared_ptr<SimJointModuleV2> Joint(int canId) const;
    std::shared_ptr<SimJointModuleV1> JointV1(int canId) const;
    std::shared_ptr<SimIOModule> IOModule(int canId) const;
    std::shared_ptr<SimMainIOModule> MainIO() const;
    std::shared_ptr<SimCANopenNode> Node(int nodeId) const;
    std::vector<std::shared_ptr<SimCANopenNode>> Nodes() const;
    std::shared_ptr<SimCANopenDrive> Drive(int nodeId) const;
    std::vector<std::shared_ptr<SimJointModuleV2>> Joints() const;
    void SetJointTiming(const SimJointModuleV2::Timing& timing);

    // Faults. Those naming a module return false when no module has that id.
    bool Silence(int canId, bool silent);
    void SilenceAll(bool silent);
    bool SetErrorBits(int canId, uint8_t bits);
    // Communication watchdog time-out of one v2/v3 joint module, or of all (canId < 0); 0 switches it off.
    bool SetCommWatchdog(int canId, int ms);
    void SendErrorEvent(int id, uint8_t code, uint16_t word1, uint16_t word2);
    void SendAlienFrame(int canId);
    bool SetDigitalInputs(int canId, uint64_t bits);
    bool SetHeartbeat(int nodeId, bool on);
    bool SendEmergency(int nodeId, uint16_t code, uint8_t errorRegister);
    bool InjectDriveFault(int nodeId, uint16_t code, uint8_t errorRegister);
    bool SetHomingFails(int nodeId, bool fails);
    bool SetSupply(uint16_t raw, bool firstCircuitOn, bool secondCircuitOn);
    bool SetEmergencyStop(bool active);
    bool RequestShutdown(int secondStageDelayMs = 100);
    bool SendShutdownStage(uint8_t stage);
    bool RestartModule(int canId);

    // One line of the protocol above; returns the reply line.
    std::string HandleLine(const std::string& line);
    // Serves lines until end of input or "quit".
    void RunLines(std::istream& in, std::ostream& out);
    // Waits up to timeoutMs for input on fd and answers the complete lines
    // that came. For a program that serves the channel from its own loop.
    enum class Input { Open, Ended, Quit };
    Input ServeAvailable(int fd, int timeoutMs, std::ostream& out);

private:
    Hub& m_Hub;
    mutable std::mutex m_Mutex;  // guards the module lists
    std::vector<std::shared_ptr<SimJointModuleV2>> m_Joints;
    std::vector<std::shared_ptr<SimJointModuleV1>> m_JointsV1;
    std::vector<std::shared_ptr<SimIOModule>> m_IOModules;
    std::vector<std::shared_ptr<SimCANopenNode>> m_Nodes;
    std::shared_ptr<SimMainIOModule> m_MainIO;
    std::string m_Pending;  // ServeAvailable: input after the last complete line
};

}  // namespace CanSim
