// Program entry of the controller: the process-wide objects, the start-up
// sequence and the main loop, which connects the joint bus, hands the robot
// state to the remote clients, runs the one operator command of each pass and
// does the periodic housekeeping. The robot thread does the cyclic work.

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <malloc.h>
#include <unistd.h>

#include "PkgProgram/IPO.h"
#include "cloud/MqttClient.h"
#include "common/LogSingleton.h"
#include "common/SoftwareVersion.h"
#include "controller/Display4DS.h"
#include "controller/KeyboardInput.h"
#include "controller/ProjectManager.h"
#include "controller/RobotMaster.h"
#include "controller/Shutdown.h"
#include "datatypes/RobotState.h"
#include "hardware/BoardSupport.h"
#include "hardware/HardwareProtocol.h"
#include "hardware/HardwareProtocolCANopen.h"
#include "server/ComServer.h"
#include "server/ComServerManager.h"
#include "server/ModbusServer.h"
#include "vision/CameraManager.h"

// ---- Process-wide objects, built in this order after the log and destroyed in reverse ----
std::string VersionSuffix;
DataTypes::RobotState rs;
RobotMaster rm;
// Reads console lines from here on, before main runs; stopped and joined at exit.
KeyboardInput keys;
Display4DS disp;
Cloud::MqttClient cloud(&rm);

float jogValues[9] = {};
std::atomic<bool> flagStop{false};
int slowCnt = 80;
int cntCANConnectionTries = 5;

namespace {

// The signal that ended the main loop; the handlers only store it.
std::atomic<int> g_StopSignal{0};
// The persistent counters were read at start-up, so writing them back loses nothing.
bool g_VariablesRead = false;

}  // namespace

std::string GetSoftwareVersion() {
    std::string text = KorvellaSoftwareVersion.ToString();
    if (!VersionSuffix.empty()) text += "-" + VersionSuffix;
    return text;
}

void wait(int ms) {
    if (ms > 0) usleep(static_cast<useconds_t>(ms) * 1000u);
}

void SIGINT_Handler(int) {
    g_StopSignal = SIGINT;
    flagStop = true;
}

void SIGTERM_Handler(int) {
    g_StopSignal = SIGTERM;
    flagStop = true;
}

namespace {

// Long waits of the main loop end early when a stop was asked for.
void WaitUnlessStopped(int ms) {
    while (ms > 0 && !flagStop) {
        const int slice = ms < 10 ? ms : 10;
        wait(slice);
        ms -= slice;
    }
}

}  // namespace

// Clears every jog input before a command runs.
void ResetJogValues() {
    keys.ResetJogValues();
    disp.ResetJogValues();
    ComServerManager::Instance()->CallResetJogValues();
    for (float& v : jogValues) v = 0.0f;
}

void ShutdownApplication() { Shutdown::ShutdownApplication(&rm, flagStop); }

namespace {

std::string Fixed1(double value) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.1f", value);
    return text;
}

std::string Joined(const float* values, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        if (i > 0) text += " ";
        text += Fixed1(values[i]);
    }
    return text;
}

std::string InterpreterState(const IPO& ipo) {
    if (!ipo.IsProgramLoaded()) return "None";
    switch (ipo.GetRunState()) {
        case IPO::RunStateRunning: return "Run";
        case IPO::RunStateIdle: return "Stp";
        case IPO::RunStatePaused: return "Pau";
        default: return "n/a";
    }
}

void LogStatusLine() {
    Hardware::HardwareProtocol* hardware = rm.GetHardware();
    const float pose[6] = {rs.pose(0, 3), rs.pose(1, 3), rs.pose(2, 3), rs.A, rs.B, rs.C};
    std::string line = "Pos: " + Joined(pose, 6);
    line += "    Joints: " + Joined(rs.jointSetPoint, 6);
    if (hardware != nullptr && hardware->externalJointCount > 0) {
        line += "   ExtJ: " + Joined(rs.jointSetPoint + 6, 3);
        line += "   Vel: " + Joined(rs.jointVelocitySetPoint + 6, 3);
    }
    if (hardware != nullptr && hardware->platformJointCount > 0) line += "   Pltf: " + Joined(rs.platformSetPoint, 4);
    if (hardware != nullptr && hardware->toolJointCount > 0) line += "   Grp: " + Fixed1(rs.toolValue[0]);
    line += "   Status: " + rs.errorText + ", " + rm.TranslateKinErrorLog(rs.kinematicState);
    line += "   Prog: " + InterpreterState(rm.ipoMain) + ", " + InterpreterState(rm.ipoLogic);
    const std::string cameras = Camera::CameraManager::Instance()->GetCLIStateString();
    if (!cameras.empty()) line += cameras;
    LogSingleton::instance()->add(line);
}

// Codes of one module group, 0 beyond the driver's count for it.
std::string ErrorCodes(int first, int available, int shown) {
    std::string text;
    for (int i = 0; i < shown; ++i) {
        if (i > 0) text += " ";
        const int index = first + i;
        const bool present = i < available && index >= 0 && index < DataTypes::RobotState::maxModules;
        text += std::to_string(present ? rs.jointErrorCodes[index] : 0);
    }
    return text;
}

// Control and status words of the first six drives, and each drive's profile.
void LogCANopenDiagnostics(const Hardware::HardwareProtocolCANopen& canopen) {
    unsigned control[6] = {};
    unsigned status[6] = {};
    const int drives = canopen.DriveCount();
    for (int i = 0; i < 6 && i < drives; ++i) {
        control[i] = canopen.jointData[i].controlword;
        status[i] = canopen.jointData[i].statusword;
    }
    char line[1024];
    std::snprintf(line, sizeof(line), "CANopen: ctrlword hex: %X %X %X %X %X %X, statusword hex: %X %X %X %X %X %X",
                  control[0], control[1], control[2], control[3], control[4], control[5], status[0], status[1],
                  status[2], status[3], status[4], status[5]);
    LogSingleton::instance()->add(line);
    std::string profiles;
    bool mismatch = false;
    for (int i = 0; i < drives; ++i) {
        const Hardware::jointData& r = canopen.jointData[i];
        if (r.kind == 1) continue;
        std::string item = "A" + std::to_string(i + 1) + ": ";
        if (r.actualProfile != r.profile) {
            mismatch = true;
            item += Hardware::CANopenProfileToString(r.actualProfile) + " (!)";
        } else {
            item += Hardware::CANopenProfileToString(r.profile);
        }
        profiles += (profiles.empty() ? "" : ", ") + item;
    }
    LogSingleton::instance()->add((mismatch ? "CANopen profiles (MISMATCH!): " : "CANopen profiles: ") + profiles);
}

void LogDiagnostics() {
    LogSingleton* log = LogSingleton::instance();
    // The statistics come in microseconds and as a share; the line names ms and %.
    log->addFormat("RobotThread Frequency: %.2lf Hz,  min CycleTime: %.2lf ms,  max CycleTime: %.2lf ms,  Workload %.1lf%%",
                   rm.GetFrequency(), rm.GetMinCycleTime() / 1000.0, rm.GetMaxCycleTime() / 1000.0,
                   rm.GetWorkload() * 100.0);
    rm.ResetMaxCycleTime();
    rm.ResetMinCycleTime();

    Hardware::HardwareProtocol* hardware = rm.GetHardware();
    const int arm = hardware != nullptr ? hardware->robotJointCount : 0;
    const int tool = hardware != nullptr ? hardware->toolJointCount : 0;
    const int external = hardware != nullptr ? hardware->externalJointCount : 0;
    const int platform = hardware != nullptr ? hardware->platformJointCount : 0;
    const int dio = hardware != nullptr ? hardware->dioModuleCount : 0;
    std::string line = "Error Codes Arm: " + ErrorCodes(0, arm, 6);
    int next = arm;
    if (tool > 0) line += " - Grp: " + ErrorCodes(next, tool, 1);
    next += tool;
    if (external > 0) line += " - Ext: " + ErrorCodes(next, external, 3);
    next += external;
    const int platformFirst = next;
    next += platform;
    if (dio > 0) line += " - DIO: " + ErrorCodes(next, dio, 3);
    if (platform > 0) line += " - Plft: " + ErrorCodes(platformFirst, platform, 4);
    char number[64];
    std::snprintf(number, sizeof(number), "%.1f", rs.supply / 1000.0);
    line += std::string(" - Supply: ") + number;
    std::snprintf(number, sizeof(number), "%.2f", rs.currentAll / 1000.0);
    line += std::string(" - Current: ") + number;
    line += " - EStop: " + std::to_string(rs.eStop);
    if (rm.IsOperationModesEnabled()) {
        switch (rm.GetOperationMode()) {
            case RobotMaster::OperationModeNotLimited: line += " - OpMode: NoLimit"; break;
            case RobotMaster::OperationModeNoMotion: line += " - OpMode: NoMotion"; break;
            default: line += " - OpMode: VelocityLimited"; break;
        }
    }
    log->add(line);

    if (auto* canopen = dynamic_cast<Hardware::HardwareProtocolCANopen*>(hardware)) LogCANopenDiagnostics(*canopen);

    const float* board = rs.jointTemperatures;
    const float* motor = rs.jointTemperatures2;
    log->addFormat(
        "Board Temp: %.1lf  %.1lf  %.1lf  %.1lf  %.1lf  %.1lf, Motor Temp: %.1lf  %.1lf  %.1lf  %.1lf  %.1lf  %.1lf, "
        "CPU: %.1lf",
        board[0], board[1], board[2], board[3], board[4], board[5], motor[0], motor[1], motor[2], motor[3], motor[4],
        motor[5], rs.cpuTemperature);
    const bool* referenced = rs.jointsReferenced;
    log->addFormat("Ref State: Overall %d  Detailed: %d  %d  %d  %d  %d  %d", rs.referenceStatus, referenced[0],
                   referenced[1], referenced[2], referenced[3], referenced[4], referenced[5]);
}

// Hands the settings that the project file holds for the servers and the
// cloud client to their owners (the reader hands the cameras over itself).
void HandOverProjectSettings(ProjectManager& projectManager) {
    Modbus::ModbusServer* modbus = Modbus::ModbusServer::Instance();
    modbus->SetPort(projectManager.modbusPort.load());
    modbus->SetMaxConnections(static_cast<unsigned>(projectManager.modbusMaxConnections.load()));

    // Only a complete "Cloud" element fills the record; an empty one hands nothing over.
    const ProjectCloudSettings settings = projectManager.GetCloudSettings();
    if (settings.clientId.empty() && settings.encryptedCredentials.empty() && settings.robotName.empty() &&
        settings.robotOwner.empty())
        return;
    cloud.SetClientId(settings.clientId);
    cloud.SetEncryptedCredentials(settings.encryptedCredentials);
    cloud.SetRobotName(settings.robotName);
    cloud.SetRobotOwner(settings.robotOwner);
    cloud.SetEnabled(settings.enabled);
    cloud.SetCameraEnvironment(settings.cameraEnvironment);
    cloud.SetCameraWorkarea(settings.cameraWorkarea);
}

void ConnectBus() {
    Hardware::HardwareProtocol* hardware = rm.GetHardware();
    if (hardware == nullptr || hardware->GetConnectionStatus() || cntCANConnectionTries <= 0) return;
    LogSingleton::instance()->add("***************** Connecting CAN bus... ******************");
    --cntCANConnectionTries;
    WaitUnlessStopped(1000);
    if (flagStop) return;
    hardware->Connect();
}

void MergeJogValues(ComServerManager* server) {
    // Values gathered before an operator stop are not handed on after it.
    const uint64_t stops = rm.GetOperatorStops();
    keys.GetJogValues(jogValues);
    for (int i = 0; i < 9; ++i) jogValues[i] += disp.jogValues[i];
    float sum = 0.0f;
    for (float v : jogValues) sum += v;
    if (sum == 0.0f) {
        if (std::shared_ptr<ComServer> active = server->GetActiveServer()) active->GetJogValues(jogValues);
    }
    rm.SetJogValuesUnlessStopped(jogValues, stops);
}

// Runs one operator command. `sequence` places a client's command among all commands
// (0: given now). False when an operator stop given after the command cancelled it.
bool RunCommand(int code, int parameter, float value, ProjectManager& projectManager, uint64_t sequence = 0) {
    LogSingleton* log = LogSingleton::instance();
    if (sequence == 0) sequence = rm.NextCommandSequence();
    switch (code) {
        case 4:
            ResetJogValues();
            rm.OperatorStop(IPO::USER, sequence);
            break;
        case 5:
            ResetJogValues();
            rm.DeleteProgram();
            projectManager.QueueUpdateProjectFile();
            break;
        case 7:
        case 8:
        case 9:
            ResetJogValues();
            rm.ipoMain.replayMode =
                code == 7 ? IPO::ReplaySingle : (code == 8 ? IPO::ReplayRepeat : IPO::ReplayStep);
            projectManager.QueueUpdateProjectFile();
            break;
        case 10:
            ResetJogValues();
            rm.Reset();
            break;
        case 11:
            ResetJogValues();
            rm.Reset();
            rm.EnableMotors(true);
            break;
        case 12:
            ResetJogValues();
            rm.EnableMotors(false);
            break;
        case 13:
            ResetJogValues();
            rm.ResetAllJointsToZero();
            rm.Reset();
            break;
        case 14:
            ResetJogValues();
            rm.ToggleMotionMode();
            break;
        case 15:
            ResetJogValues();
            rm.ReferenceJointAlt(parameter);
            break;
        case 16: {
            ResetJogValues();
            const std::string action = rm.GetFunctionButtonRefAll();
            if (action == "settozero") {
                rm.ResetAllJointsToZero();
            } else if (action == "alignmotors") {
                rm.AlignMotors();
            } else {
                // A client may ask right after enabling: the modules report their motors on a
                // few cycles later, and referencing is refused until they do.
                Hardware::HardwareProtocol* hardware = rm.GetHardware();
                for (int i = 0; i < 100 && hardware != nullptr && !hardware->GetMotorEnabled(); ++i)
                    RobotMaster::wait(10);
                rm.ReferenceAllJoints();
            }
            break;
        }
        case 17:
            ResetJogValues();
            rm.AlignMotors();
            break;
        case 21:
        case 22:
        case 23:
        case 24:
            ResetJogValues();
            rm.SetMotionMode(static_cast<MotionType>(code - 21));
            break;
        case 31:
        case 32:
            if (RobotMaster::IsValidIONum(parameter)) rm.SetManualDOut(parameter, code == 31);
            break;
        case 33:
            if (std::isfinite(value)) {
                rm.override = value > 100.0f ? 100.0f : (value < 0.0f ? 0.0f : value);
                projectManager.QueueUpdateProjectFile();
            }
            break;
        case 99:
            ResetJogValues();
            if (parameter == 99) {
                log->add("Shutdown requested");
                ShutdownApplication();
            } else if (parameter == 100) {
                log->add("System shutdown requested");
                Shutdown::ShutdownSystem(true);
            } else if (parameter == 101) {
                log->add("Module restart requested");
                rm.Reset();
                if (Hardware::HardwareProtocol* hardware = rm.GetHardware()) hardware->RestartModules();
            }
            break;
        case 2:
            ResetJogValues();
            return rm.StartProgramUnlessStopped(sequence);
        case 3:
            ResetJogValues();
            rm.PauseProgram(IPO::USER);
            break;
        case 61:
        case 62:
            ResetJogValues();
            if (rm.StoppedSince(sequence)) return false;
            rm.ipoMain.replayMode = code == 61 ? IPO::ReplaySingle : IPO::ReplayRepeat;
            return rm.StartProgramUnlessStopped(sequence);
        case 70:
            ResetJogValues();
            rm.StartStopEM67FSM();
            break;
        case 71:
            ResetJogValues();
            rm.SetEM67ManualOperation();
            break;
        case 83:
            ResetJogValues();
            rm.ipoMain.WriteXMLFile(0, "storage01.xml");
            break;
        case 51:
        case 53:
            ResetJogValues();
            break;
        case 80:
            ResetJogValues();
            rm.ipoMain.ProgShowCntIncrease();
            rm.ipoMain.SendCurrentProgShowName();
            break;
        case 81:
            ResetJogValues();
            rm.ipoMain.ProgShowCntDecrease();
            rm.ipoMain.SendCurrentProgShowName();
            break;
        case 82:
            ResetJogValues();
            // Only a started load (0) replaces the program; a directory (-1) or a refusal changes nothing.
            // The project names the new program only once it loaded.
            if (rm.ipoMain.LoadCurrentDirectoryOrProgram([&projectManager]() { projectManager.QueueUpdateProjectFile(); }) == 0)
                rm.StopProgram(IPO::USER);
            break;
        case 84:
            ResetJogValues();
            rm.ipoMain.SendCurrentProgShowName();
            break;
        case 50:
            ResetJogValues();
            rm.ipoMain.AddCommandLinear(4, rs.pose(0, 3), rs.pose(1, 3), rs.pose(2, 3), rs.A, rs.B, rs.C,
                                        rs.jointSetPoint[6], rs.jointSetPoint[7], rs.jointSetPoint[8], rs.override);
            break;
        case 52:
            ResetJogValues();
            rm.ipoMain.AddCommandJoint(5, 6, rs.jointSetPoint, rm.override.load() * 0.5f);
            break;
        case 54:
            ResetJogValues();
            rm.ipoMain.AddCommandWait(7, 1000);
            break;
        case 55:
            ResetJogValues();
            rm.ipoMain.AddCommandGripper(8, rs.toolValue);
            break;
        case 56:
            ResetJogValues();
            rm.ipoMain.AddCommandDIO(9, 0, rs.digitalOutputs[0]);
            break;
        case 57:
            ResetJogValues();
            rm.ipoMain.TouchUpLastCommand();
            break;
        default:
            break;
    }
    return true;
}

void LogStopSignal() {
    const int signal = g_StopSignal.exchange(0);
    if (signal == SIGINT) LogSingleton::instance()->add("SIGINT received.");
    if (signal == SIGTERM) LogSingleton::instance()->add("SIGTERM received.");
}

void MainLoop(ProjectManager& projectManager) {
    LogSingleton* log = LogSingleton::instance();
    ComServerManager* server = ComServerManager::Instance();
    while (true) {
        if (flagStop) {
            LogStopSignal();
            break;
        }
        try {
            disp.update();
            rs = rm.GetRobotState();
            server->CallSetCurrentPos(rs);
            server->CallPublishData();
            wait(1);
            server->SendServerMessages();
            wait(1);
            server->CallPublishLogMessage();

            const operationMode mode = log->get_opMode();
            if (mode == opModeSeriousFail) {
                char text[512];
                std::snprintf(text, sizeof(text), "ERROR: %s", log->get_seriousFailReason().c_str());
                log->DisplayAndServerSetMessage(text);
                log->add(text);
                if (server->GetActiveServer()) {
                    projectManager.UpdateConfiguration(&rm, false);
                    rm.UpdateConfiguration();
                }
                WaitUnlessStopped(2000);
                continue;
            }
            if (mode == opModeCANBridge) {
                log->DisplayAndServerSetMessage("CAN Bridge Mode");
                log->add("CAN Bridge Mode");
                WaitUnlessStopped(2000);
                continue;
            }

            ConnectBus();
            disp.SetValues(rs);
            MergeJogValues(server);

            // The client's command was acknowledged: it runs even when the console or
            // the display gives one in the same pass.
            ComServerManager::TakenCommand client;
            server->TakeCommand(client);
            int code = 0;
            int parameter = 0;
            float value = 0.0f;
            int consoleCode = 0;
            int consoleParameter = 0;
            int consoleValue = 0;
            if (keys.TakeCommand(consoleCode, consoleParameter, consoleValue)) {
                code = consoleCode;
                parameter = consoleParameter;
                value = static_cast<float>(consoleValue);
            }
            if (const int displayCode = disp.GetCommand()) {
                code = displayCode;
                parameter = disp.parameter;
                value = static_cast<float>(disp.value);
            }

            // SDO requests go to CANopen drives only; the joint-module protocols drop them.
            KeyboardInput::SDORequest sdo;
            if (keys.TakeSDORequest(sdo)) {
                if (auto* canopen = dynamic_cast<Hardware::HardwareProtocolCANopen*>(rm.GetHardware())) {
                    log->add("Sending requested SDO message");
                    canopen->sdo.SendSDO(sdo.device, sdo.address, sdo.subaddress, static_cast<unsigned>(sdo.value));
                    wait(5);
                    canopen->sdo.RequestSDO(sdo.device, sdo.address, sdo.subaddress);
                }
            }

            if (client.from) {
                const ComServer::QueuedCommand& command = client.command;
                const bool ran = RunCommand(command.code, command.parameter, command.value, projectManager,
                                            command.sequence);
                client.from->CommandDone();
                // The client heard CMDACK: it hears that a later stop cancelled the command.
                if (!ran) client.from->ReportCancelledByStop(command.counter);
                client.from.reset();
            }
            if (code != 0) RunCommand(code, parameter, value, projectManager);

            ++slowCnt;
            if (slowCnt % 160 == 0) {
                projectManager.UpdateConfiguration(&rm, false);
                rm.UpdateConfiguration();
                LogStatusLine();
            }
            if (slowCnt > 749) {
                slowCnt = 0;
                LogDiagnostics();
                log->WriteVariablesToStorage();
                // Freed pages inside the heaps go back as well: threads that come and
                // go (remote clients, program loads) can take another heap each time,
                // and the heap they left would keep its freed memory resident.
                malloc_trim(0);
            }
            wait(25);
        } catch (const std::exception& e) {
            log->addErrorFormat("MAIN LOOP EXCEPTION: %s", e.what());
            std::printf("Error in Main Loop: %s\n", e.what());
            break;
        }
    }
}

// Tests and side-by-side runs pick the remote-control port (0: any free port).
void SetRemoteControlPort(ComServerManager* server) {
    const char* text = std::getenv("KORVELLA_HXP_PORT");
    if (text == nullptr || *text == '\0') return;
    char* end = nullptr;
    const long port = std::strtol(text, &end, 10);
    if (*end != '\0' || port < 0 || port > 65535) {
        LogSingleton::instance()->addErrorFormat("Korvella: ignoring KORVELLA_HXP_PORT '%s'", text);
        return;
    }
    server->SetPort(static_cast<int>(port));
}

void LogNumericLimits() {
    LogSingleton* log = LogSingleton::instance();
    char text[512];
    log->add("Numeric Limits on this machine:");
    std::snprintf(text, sizeof(text), "Type (unsigned long long):    Size %u byte     Max %llu",
                  static_cast<unsigned>(sizeof(unsigned long long)), ULLONG_MAX);
    log->add(text);
    std::snprintf(text, sizeof(text), "Type (long):                  Size %u byte     Max %ld",
                  static_cast<unsigned>(sizeof(long)), LONG_MAX);
    log->add(text);
    std::snprintf(text, sizeof(text), "Type (int):                   Size %u byte     Max %d",
                  static_cast<unsigned>(sizeof(int)), INT_MAX);
    log->add(text);
    log->add("");
    log->add("");
}

}  // namespace

int main() {
    // Picture-sized buffers (camera frames, encodings, cloud payloads) are
    // mapped and given back when freed. Left to itself the allocator raises
    // this threshold and keeps each buffer's high-water mark in the heap of
    // whichever thread made it: resident memory then steps up over months.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    // A freed burst (a TLS handshake, the first payloads after a reconnect)
    // goes back too: by default a thread's heap keeps 128 KiB of free memory
    // at its top, and each of the dozen thread heaps can hold it for good.
    mallopt(M_TRIM_THRESHOLD, 64 * 1024);
    mallopt(M_TOP_PAD, 16 * 1024);
    LogSingleton* log = LogSingleton::instance();
    const std::string version = GetSoftwareVersion();

    log->add("");
    log->add("VQT - Korvella");
    log->add("");
    log->add(version);
    log->set_softwareVersion(version, KorvellaSoftwareVersion);
    log->set_opMode(opModeNormal);
    log->addFormat("Board Type: %s",
                   Hardware::BoardSupport::BoardTypeToString(Hardware::BoardSupport::GetBoardType()));
    log->add("");
    LogNumericLimits();

    ProjectManager projectManager(&cloud);
    const int projectResult = projectManager.OpenProject(&rm);
    if (projectResult == 0) HandOverProjectSettings(projectManager);
    wait(100);

    Display4DS::jogBias = rm.jogBias;
    disp.Connect(rm.GetDisplayPortDefault());
    wait(100);

    ComServerManager* server = ComServerManager::Instance();
    server->Init(&rm, &projectManager, &cloud);
    SetRemoteControlPort(server);
    server->Start();

    Modbus::ModbusServer* modbus = Modbus::ModbusServer::Instance();
    modbus->Init(&rm, &projectManager);
    projectManager.SetModbusServer(modbus);
    modbus->SetSoftwareInfo(KorvellaSoftwareVersion.Major, KorvellaSoftwareVersion.Minor,
                            KorvellaSoftwareVersion.Patch);
    if (projectManager.modbusActive) modbus->Start();

    Camera::CameraManager::Instance()->SetProjectManager(&projectManager);

    if (projectResult == 0) {
        wait(50);
        log->add("");
        log->ReadVariablesFromStorage();
        g_VariablesRead = true;
        log->add("");
        keys.PrintHelp();
        for (float& v : jogValues) v = 0.0f;
        wait(100);
        log->add("");

        log->DisplayAndServerSetMessage("Korvella " + version);

        rm.FinishInit();
        log->add("");
        wait(500);

        rm.ipoMain.OffsetReset();
        rm.ipoMain.LoadProgram(projectManager.startProgram, false);
        rm.override = projectManager.startOverride;
        rm.ipoMain.replayMode = projectManager.startRepeat ? IPO::ReplayRepeat : IPO::ReplaySingle;
        wait(500);

        rm.ipoLogic.name = "LogicIPO";
        if (!projectManager.logicStartFile.empty()) {
            rm.ipoLogic.OffsetReset();
            rm.ipoLogic.LoadProgram(projectManager.logicStartFile, false);
            wait(500);
            rm.ipoLogic.replayMode = IPO::ReplayRepeat;
            rm.ipoLogic.Start();
        }

        Shutdown::Init(&projectManager, &rm);
        log->add("");
        wait(1000);
    }

    // Every operator stop clears the console's and the display's jog values, whichever thread gives it.
    rm.AddOperatorStopListener([](uint64_t) {
        keys.ResetJogValues();
        disp.ResetJogValues();
    });
    flagStop = false;
    std::signal(SIGINT, SIGINT_Handler);
    std::signal(SIGTERM, SIGTERM_Handler);
    MainLoop(projectManager);

    log->add("Korvella: Exiting...");
    // The connections hold the project manager's address and call the robot master.
    server->Shutdown();
    // Its callbacks call the robot master and the project manager, which ends with main.
    modbus->Stop();
    rm.StopMainLoop();
    // The project manager ends with main; the camera manager outlives it.
    Camera::CameraManager::Instance()->SetProjectManager(nullptr);
    if (projectResult == 0) {
        // A queued settings change is written now rather than lost with the process.
        projectManager.UpdateConfiguration(&rm, true);
        // Counters that were read at start-up are stored whatever the 300 s rule says.
        if (g_VariablesRead) log->ForceWriteVariablesToStorage();
    }
    log->Flush();
    return 0;
}
