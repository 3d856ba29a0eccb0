#pragma once
// One remote-control connection: a client of the text protocol on port 3920.
// Its thread reads the client's frames, hands each to the command
// interpreter (ParseMessage) and writes everything queued for the client,
// never waiting for one while the other could go on. It
// holds what the rest of the system takes from a client: its nine jog values
// with the alive watchdog, its pending commands for the main loop, and its
// active or passive role.
//
// Threads: the connection thread is the only one that touches the socket.
// Any thread may queue bodies (SendToClient). Jog values, watchdog and flags
// are atomics; the pending commands and the robot state copy are each guarded
// by a lock of their own. The thread holds a reference to its connection, so
// the object outlives the thread's last step.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PkgProgram/IPO.h"
#include "common/RepeatedEventLog.h"
#include "datatypes/RobotState.h"
#include "server/HXPFrameReader.h"
#include "server/HXPUploadFile.h"

class RobotMaster;
class ProjectManager;
namespace Cloud {
class MqttClient;
}
namespace Programs {
class MemoryPosition;
}

class ComServer : public std::enable_shared_from_this<ComServer> {
public:
    static constexpr int WatchdogStart = 100;
    static constexpr int MaxServerMessages = 10;
    // A client that does not read is dropped before its queue holds more than
    // this; room for a whole camera picture line (several hundred kB) and the
    // status lines beside it. A single body is always taken into an empty queue,
    // and a camera's newer picture replaces its older one still queued.
    static constexpr std::size_t MaxSendQueueBytes = 2 * 1024 * 1024;
    // Acting commands waiting for the main loop, which runs one per pass; a
    // command past this is refused rather than acknowledged and dropped.
    static constexpr std::size_t MaxPendingCommands = 16;
    // A command that acts at once waits at most this long for the commands the
    // connection queued before it; then it is refused.
    static constexpr std::chrono::seconds MaxWaitForEarlierCommands{10};

    // An acting command waiting for the main loop.
    struct QueuedCommand {
        int32_t code = 0;
        int32_t parameter = 0;
        float value = 0.0f;
        int counter = -1;       // the client's counter, for a reply after the acknowledgement
        uint64_t sequence = 0;  // its place among all commands (RobotMaster::NextCommandSequence)
    };

    ComServer(RobotMaster* robotMaster, ProjectManager* projectManager, Cloud::MqttClient* cloud, int socket);
    virtual ~ComServer();
    ComServer(const ComServer&) = delete;
    ComServer& operator=(const ComServer&) = delete;

    // Starts the connection thread; the connection must be held by a shared pointer.
    void StartServer();
    void StopServer();
    // Waits for the connection thread to end; does nothing on that thread itself.
    void Join();
    static void threadComLoop(void* connection);

    // ---- Sending ----
    void SendToClient(const std::string& body);
    // Frames the queued bodies and writes what the socket takes without waiting; connection thread only.
    void SendQueueToClient();
    void SendCmdAck(int counter);
    void SendCmdError(int counter, const std::string& text);

    // ---- Jog values and alive watchdog ----
    // Main thread: counts the watchdog down (at 0 the client is dropped) and copies the nine values.
    void GetJogValues(float* out);
    void ResetJogValues();
    int GetWatchdog() const { return m_Watchdog.load(); }

    // ---- Pending commands: carried out in the order received ----
    // Takes the oldest pending command; false when none is pending.
    bool TakePendingCommand(int32_t& code, int32_t& parameter, float& value);
    // Takes the oldest pending command for running it; the caller calls CommandDone once it ran.
    // Commands of the connection that act at once wait until then.
    bool TakeCommand(QueuedCommand& command);
    void CommandDone();
    bool HasPendingCommands() const;
    // An operator stop: the start-like commands queued before it are dropped and
    // their client told.
    void CancelQueuedStarts(uint64_t stopSequence);
    // The client heard CMDACK for a command a later stop cancelled: it hears so.
    void ReportCancelledByStop(int counter);
    // Start-like commands: they must not run after a stop given after them.
    static bool IsStartLike(int32_t code) { return code == 2; }

    // ---- Command interpreter ----
    bool ParseMessage(char* message, int length);

    // ---- Status and event lines ----
    void SetCurrentPos(const DataTypes::RobotState& state);
    void PublishData();
    void PublishConfiguration();
    void PublishCloudInfo();
    void PublishLogMessage();
    void OnServerMessage(const std::string& text);
    void SendServerMessage();
    void ProcessIPOResults(HXPEventType type, int first, int second, const std::string& text);
    void SendVariable(std::shared_ptr<const Programs::MemoryPosition> variable);
    bool CANReceiveCallback(int id, int length, const unsigned char* data, long time, timespec stamp);

    // The "STATUS" line of a state; operationMode is -1 when operation modes are off.
    static std::string FormatStatusLine(const DataTypes::RobotState& state, int motionType, int operationMode);
    // The "GSIG" line of the 100 global signals.
    static std::string FormatGlobalSignals(const DataTypes::RobotState& state);

    // ---- Role ----
    bool IsActive() const { return !m_Passive.load(); }
    void SetActive(bool active);
    void SetPassive(bool passive);
    void RequestActivate(bool active);
    void PublishActiveState();
    bool IsRunning() const { return m_Running.load(); }
    // True once the connection thread has begun to close the connection.
    bool IsEnding() const { return m_Ending.load(); }
    int GetSocket() const { return m_Socket.load(); }
    // True when the client has closed its end, even if the thread has not read that yet.
    bool PeerHasClosed() const;
    void SetLogMessages(bool enabled) { m_LogMessages = enabled; }

    // ---- Helpers ----
    static std::vector<std::string> SplitIgnoreEscaped(const std::string& text, char delimiter);
    static std::string Replace(const std::string& source, const std::string& from, const std::string& to);
    static void wait(int ms);

    // A copy of the bodies waiting to be sent.
    std::vector<std::string> QueuedBodies() const;
    // Bytes of the bodies waiting to be sent.
    std::size_t QueuedBytes() const;

    std::function<void(int)> connectionClosedCallback;
    std::function<void(int, bool)> changeActiveRequestCallback;

private:
    void ThreadComLoop();
    // Reads what the socket holds and interprets each frame completed; throws on a failed read.
    void ReadFrames();
    void EndConnection();
    void StopFromError();
    // Connection thread: waits (sending meanwhile) until the commands the connection
    // queued earlier have run; false, with a CMDERROR when `counter` is not -1, after
    // the time-out or when the connection ends.
    bool WaitForEarlierCommands(int counter);
    // A command that starts motion and arrived before the latest operator stop is
    // refused: true, with a CMDERROR, when this frame's command is cancelled so.
    bool RefuseStoppedStart(int counter);
    // Logs a line a client can make repeat every frame once, then as a count every few seconds.
    struct PacedLog;
    void LogPaced(PacedLog& paced, const std::string& line);
    void PollPacedLogs();

    // ---- Interpreter ----
    using Handler = void (ComServer::*)(const char* message, int counter, char** save);
    struct Keyword {
        const char* name;
        bool activeOnly;
        Handler handler;      // runs first, when set
        int32_t postCode;     // posted for the main loop and acknowledged, when not 0
        const char* logLine;  // logged with the post, when set
    };
    static const Keyword CmdKeywords[];
    static const Keyword VarKeywords[];
    void Dispatch(const Keyword* table, const char* family, const char* keyword, const char* message, char** save);
    void HandleAliveJog(const char* message);
    void NotHandledYet(const char* family, const char* keyword, const char* message);
    void PostAndAck(int32_t code, const char* message, const char* logLine);
    // Posts the command of frame `counter`; when the pending queue is full, answers
    // it with CMDERROR instead and returns false.
    bool PostOrRefuse(int counter, int32_t code, int32_t parameter, float value);
    enum class PostResult { Posted, Full, Stopped };
    // sequence 0: numbered now.
    PostResult Post(int32_t code, int32_t parameter, float value, int counter, uint64_t sequence);
    void CmdStartProgram(const char* message, int counter, char** save);
    void CmdGetActive(const char* message, int counter, char** save);
    void CmdSetActive(const char* message, int counter, char** save);

    // Robot control (ComServerRobot.cpp).
    void CmdNotAvailable(const char* message, int counter, char** save);
    void CmdGetVersion(const char* message, int counter, char** save);
    void CmdDigitalOutput(const char* message, int counter, char** save);
    void CmdGlobalSignal(const char* message, int counter, char** save);
    void CmdProgramReplayMode(const char* message, int counter, char** save);
    void CmdReferenceSingleJoint(const char* message, int counter, char** save);
    void CmdGetReferencingInfo(const char* message, int counter, char** save);
    void CmdOverride(const char* message, int counter, char** save);
    void CmdZeroTorque(const char* message, int counter, char** save);
    void CmdGripper(const char* message, int counter, char** save);
    // Programs (ComServerProgram.cpp).
    void CmdStartProgramWithOffset(const char* message, int counter, char** save);
    void CmdDeleteProgram(const char* message, int counter, char** save);
    void CmdDeleteLogicProgram(const char* message, int counter, char** save);
    void CmdDeleteProgramFromFileSystem(const char* message, int counter, char** save);
    void CmdGetProgramInfo(const char* message, int counter, char** save);
    void CmdGetLogicProgramInfo(const char* message, int counter, char** save);
    void CmdGetProgramName(const char* message, int counter, char** save);
    void CmdLoadProgram(const char* message, int counter, char** save);
    void CmdLoadLogicProgram(const char* message, int counter, char** save);
    void CmdStartAt(const char* message, int counter, char** save);
    // False, with a log line and an error reply, for a name that would leave Data/.
    bool AcceptFileName(const std::string& name, int counter, const char* keyword);
    // File upload (ComServerUpload.cpp).
    void CmdUploadFileInit(const char* message, int counter, char** save);
    void CmdUploadFileLine(const char* message, int counter, char** save);
    void CmdUploadFileFinish(const char* message, int counter, char** save);
    // Direct moves and the camera trigger (ComServerMove.cpp).
    void CmdMove(const char* message, int counter, char** save);
    void CmdTriggerCamera(const char* message, int counter, char** save);

    // ---- Variables, system and CAN bridge, program lines, configuration ----
    static std::string NextTokenLower(char** save);
    void VarGetNr(const char* message, int counter, char** save);
    void VarGetPos(const char* message, int counter, char** save);
    void VarGetSystem(const char* message, int counter, char** save);
    void VarGetPersistentNr(const char* message, int counter, char** save);
    void VarSetSingle(const char* message, int counter, char** save);
    void VarSetPosCart(const char* message, int counter, char** save);
    void VarSetPosJoint(const char* message, int counter, char** save);
    // kind 1 number, 2 Cartesian position, 3 joint position.
    void VarSet(const char* message, char** save, int kind);
    void HandleSystem(const char* message, char** save);
    void HandleCANBridge(const char* message, char** save);
    void SendBridgedFrame(const char* message);
    void HandleProg(const char* message, char** save);
    void HandleConfig(const char* message, char** save);
    void QueueProjectRewrite();
    void ConfigGetDIOModules(const char* message, char** save);
    void ConfigSetDIOModules(const char* message, char** save);
    void ConfigGetDOutDefaults(const char* message, char** save);
    void ConfigSetDOutDefaults(const char* message, char** save);
    void ConfigGetKinematicLimits(const char* message, char** save);
    void ConfigSetKinematicLimits(const char* message, char** save);
    void ConfigGetPLCInterface(const char* message, char** save);
    void ConfigSetPLCInterface(const char* message, char** save);
    void ConfigGetPLCInterfaceEnabled(const char* message, char** save);
    void ConfigSetPLCInterfaceEnabled(const char* message, char** save);
    void ConfigGetPLCTriggers(const char* message, char** save);
    void ConfigClearPLCTriggers(const char* message, char** save);
    void ConfigAddPLCTrigger(const char* message, char** save);
    void ConfigGetBrake(const char* message, char** save);
    void ConfigSetBrake(const char* message, char** save);
    void ConfigGetProgramDefaultState(const char* message, char** save);
    void ConfigSetProgramDefaultState(const char* message, char** save);
    void ConfigGetTool(const char* message, char** save);
    void ConfigSetTool(const char* message, char** save);
    void ConfigGetVBox(const char* message, char** save);
    void ConfigSetVBox(const char* message, char** save);
    void ConfigSetCamera(const char* message, char** save);
    void ConfigGetCameras(const char* message, char** save);
    void ConfigClearCameras(const char* message, char** save);
    void ConfigSetExternalAxes(const char* message, char** save);
    void ConfigSetExternalAxis(const char* message, char** save);
    void ConfigGetExternalAxes(const char* message, char** save);
    void ConfigGetExternalAxes2(const char* message, char** save);
    void ConfigSetModbus(const char* message, char** save);
    void ConfigGetModbus(const char* message, char** save);
    void ConfigSetCloudConnection(const char* message, char** save);
    void ConfigSetCloudInfo(const char* message, char** save);
    void ConfigGetCloud(const char* message, char** save);

    // ---- Status lines ----
    std::string FormatRunState() const;
    std::string FormatOperatingInfo() const;
    int OperationModeField() const;

    // Pending commands, oldest first, and how many taken ones are still running
    // (guarded by m_PendingMutex; m_PendingDone signals a change).
    mutable std::mutex m_PendingMutex;
    std::condition_variable m_PendingDone;
    std::deque<QueuedCommand> m_Pending;
    int m_CommandsRunning = 0;
    // Connection thread: the place among all commands of the bytes read last, and of the
    // frame being interpreted (0: not read by the connection thread).
    uint64_t m_ChunkSequence = 0;
    uint64_t m_FrameSequence = 0;
    // Connection thread: lines a client can repeat with every frame.
    struct PacedLog {
        RepeatedEventLog pacer;
        std::string line;
        bool toStdout = false;
    };
    PacedLog m_OverflowLog;
    PacedLog m_UnknownTypeLog{RepeatedEventLog(), std::string(), true};

    std::atomic<float> m_JogValues[9];
    std::atomic<int32_t> m_Watchdog{0};

    // Robot state of the last main-loop pass (guarded by m_StateMutex).
    mutable std::mutex m_StateMutex;
    DataTypes::RobotState m_CurrentState;

    // Main thread only.
    int32_t m_StatusPhase = 0;
    int32_t m_StatusCalls = 0;
    bool m_ConfigurationSent = false;

    std::atomic<bool> m_Stop{false};
    std::atomic<bool> m_Running{false};
    std::atomic<bool> m_Ending{false};
    std::atomic<bool> m_LogMessages{false};
    std::atomic<bool> m_Passive{false};
    // Connection thread only: the send counter, the framed bytes being written, the frame being read.
    int32_t m_SendCounter = 0;
    std::string m_Outgoing;
    std::size_t m_OutgoingSent = 0;
    HXPFrameReader m_Reader;
    bool m_FrameBegun = false;  // bytes arrived since the last frame ended
    std::chrono::steady_clock::time_point m_LastByte;
    std::atomic<int> m_Socket;

    mutable std::mutex m_SendMutex;  // guards the send queue and the server messages
    std::deque<std::string> m_SendQueue;
    std::size_t m_SendQueueBytes = 0;
    bool m_SendQueueOverflow = false;  // the client stopped reading; nothing more is queued
    std::deque<std::string> m_ServerMessages;

    RobotMaster* m_RobotMaster;
    IPO* m_ProgramIPO;
    // For the program and configuration messages.
    [[maybe_unused]] IPO* m_LogicIPO;
    [[maybe_unused]] ProjectManager* m_ProjectManager;
    Cloud::MqttClient* m_Cloud;

    // Connection thread only: a refused output or signal channel makes ParseMessage return false.
    bool m_FrameRefused = false;
    // File upload, connection thread only.
    std::string m_UploadName;
    int32_t m_UploadLineCount = 0;
    int32_t m_UploadLinesWritten = 0;
    HXPUploadFile m_Upload;

    std::thread m_Thread;

    // The connection that switched the CAN bridge on; only its end switches it off.
    static std::atomic<const ComServer*> s_BridgeOwner;
};

// Sends a changed variable to the connection unless it is "#position".
void variableChangedCallback(std::shared_ptr<ComServer> connection,
                             std::shared_ptr<const Programs::MemoryPosition> variable);
