// Program keywords of the "CMD" family: start with an offset, delete, inspect,
// browse, load and start at a command, for the robot and the logic program.

#include <string>

#include "common/Filesystem.h"
#include "common/LogSingleton.h"
#include "controller/ProjectManager.h"
#include "controller/RobotMaster.h"
#include "server/ComServer.h"
#include "server/HXPScanner.h"

namespace {

constexpr std::size_t MaxNameLength = 511;

std::string ProgramInfoLine(const char* reply, const IPO* ipo) {
    std::string name = "n/a";
    int count = 0;
    int index = 0;
    if (ipo != nullptr) ipo->GetProgramInformation(&name, &count, &index);
    return std::string(reply) + name + " " + std::to_string(count) + " " + std::to_string(index);
}

}  // namespace

bool ComServer::AcceptFileName(const std::string& name, int counter, const char* keyword) {
    // The process runs as root: names from a client stay below Data/.
    // The end token where the name should be means none was given.
    if (!name.empty() && name != "HXPEND" && Filesystem::StaysInside(name)) return true;
    LogSingleton::instance()->addErrorFormat("HXP-Server: %s refused, invalid file name '%s'", keyword, name);
    SendCmdError(counter, "invalid file name");
    return false;
}

void ComServer::CmdStartProgramWithOffset(const char* message, int counter, char**) {
    float offsets[15] = {};
    HXPScanner scan = HXPScanner::Command(message, "StartProgramWithOffset", counter);
    for (float& value : offsets) scan.Float(value);
    if (m_ProgramIPO != nullptr) m_ProgramIPO->OffsetSet(offsets);
}

void ComServer::CmdDeleteProgram(const char*, int counter, char**) {
    if (m_RobotMaster != nullptr) m_RobotMaster->DeleteProgram();
    if (m_ProjectManager != nullptr) m_ProjectManager->QueueUpdateProjectFile();
    SendCmdAck(counter);
}

void ComServer::CmdDeleteLogicProgram(const char*, int counter, char**) {
    if (m_RobotMaster != nullptr) m_RobotMaster->DeleteLogicProgram();
    if (m_ProjectManager != nullptr) m_ProjectManager->QueueUpdateProjectFile();
    SendCmdAck(counter);
}

void ComServer::CmdDeleteProgramFromFileSystem(const char* message, int counter, char**) {
    std::string name;
    HXPScanner::Command(message, "DeleteProgramFromFileSystem", counter).Word(name, MaxNameLength);
    if (!AcceptFileName(name, counter, "DeleteProgramFromFileSystem")) return;
    // The interpreter logs whether the file went; the client is answered either way.
    if (m_ProgramIPO != nullptr) m_ProgramIPO->DeleteProgramFile(name.c_str());
    SendCmdAck(counter);
}

void ComServer::CmdGetProgramInfo(const char*, int, char**) {
    SendToClient(ProgramInfoLine("INFO ProgramInfo ", m_ProgramIPO));
}

void ComServer::CmdGetLogicProgramInfo(const char*, int, char**) {
    SendToClient(ProgramInfoLine("INFO LogicProgramInfo ", m_LogicIPO));
}

void ComServer::CmdGetProgramName(const char* message, int counter, char**) {
    int32_t index = 0;
    HXPScanner::Command(message, "GetProgramName", counter).Int(index);
    std::string name;
    const int entries = m_ProgramIPO != nullptr ? m_ProgramIPO->GetFilename(index, &name) : 0;
    SendToClient("INFO ProgramName " + name + " " + std::to_string(index) + " " + std::to_string(entries));
}

void ComServer::CmdLoadProgram(const char* message, int counter, char**) {
    std::string name;
    HXPScanner::Command(message, "LoadProgram", counter).Word(name, MaxNameLength);
    // "../" is the program browser's own way back up; it never leaves the program directory.
    if (name != "../" && !AcceptFileName(name, counter, "LoadProgram")) return;
    // The project names the new program only once it loaded: a refused file keeps the start program.
    ProjectManager* projectManager = m_ProjectManager;
    const auto loaded = [projectManager]() {
        if (projectManager != nullptr) projectManager->QueueUpdateProjectFile();
    };
    if (m_ProgramIPO != nullptr && m_ProgramIPO->LoadDirectoryOrProgram(name, loaded) == 0) {
        // The client's stop, as from any other source: the starts still queued go with the old program.
        if (m_RobotMaster != nullptr) m_RobotMaster->OperatorStop(IPO::USER, m_FrameSequence);
    }
    // The outcome of the load reaches the client through the interpreter's events.
    SendCmdAck(counter);
}

void ComServer::CmdLoadLogicProgram(const char* message, int counter, char**) {
    LogSingleton* log = LogSingleton::instance();
    std::string name;
    HXPScanner::Command(message, "LoadLogicProgram", counter).Word(name, MaxNameLength);
    log->addFormat("HXP-Server: Loading logic program %s", name);
    if (m_LogicIPO == nullptr || m_ProjectManager == nullptr || m_RobotMaster == nullptr) {
        log->add("LogicIPO: could not load logic program, no ipo / pmptr");
        SendCmdError(counter, "could not load logic program");
        return;
    }
    if (!AcceptFileName(name, counter, "LoadLogicProgram")) return;
    m_RobotMaster->StopLogicProgram(IPO::USER);
    m_LogicIPO->DeleteAll();
    m_LogicIPO->OffsetReset();
    const int result = m_LogicIPO->LoadProgram(name, false);
    // At most 50 + 51 x 20 ms: the connection neither reads nor sends meanwhile.
    wait(50);
    int waits = 0;
    while (m_LogicIPO->IsLoading()) {
        wait(20);
        if (++waits > 50) {
            log->add("LogicIPO: Loading program takes too long; try restart! ", waits);
            break;
        }
    }
    // The robot thread reads the name: write it only when it differs.
    if (m_LogicIPO->name != "LogicIPO") m_LogicIPO->name = "LogicIPO";
    m_LogicIPO->replayMode = IPO::ReplayRepeat;
    m_LogicIPO->Start();
    if (result == 0) m_ProjectManager->QueueUpdateProjectFile();
    SendCmdAck(counter);
}

void ComServer::CmdStartAt(const char* message, int counter, char**) {
    std::string name;
    int32_t index = 0;
    HXPScanner scan = HXPScanner::Command(message, "StartAt", counter);
    scan.Word(name, MaxNameLength).Int(index);
    if (scan.Count() != 3 || m_ProgramIPO == nullptr) {
        SendCmdError(counter, "invalid command");
        return;
    }
    if (!AcceptFileName(name, counter, "StartAt")) return;
    // Refusals ("program is running", "could not load program") throw; the client gets them as CMDERROR.
    m_ProgramIPO->StartAt(name, index);
    SendCmdAck(counter);
}
