// The interpreter's program files: the loader with its structure linking and
// header check, and the writer of the main program.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <tinyxml2.h>

#include "PkgProgram/Command.h"
#include "PkgProgram/CommandCamera.h"
#include "PkgProgram/CommandCameraTrigger.h"
#include "PkgProgram/CommandCircular.h"
#include "PkgProgram/CommandComment.h"
#include "PkgProgram/CommandDIO.h"
#include "PkgProgram/CommandGripper.h"
#include "PkgProgram/CommandIf.h"
#include "PkgProgram/CommandJoint.h"
#include "PkgProgram/CommandLinear.h"
#include "PkgProgram/CommandLoop.h"
#include "PkgProgram/CommandMathFunction.h"
#include "PkgProgram/CommandMatrix.h"
#include "PkgProgram/CommandMatrixDefinition.h"
#include "PkgProgram/CommandMatrixQuery.h"
#include "PkgProgram/CommandPause.h"
#include "PkgProgram/CommandPlugin.h"
#include "PkgProgram/CommandRelative.h"
#include "PkgProgram/CommandSetVelocity.h"
#include "PkgProgram/CommandStop.h"
#include "PkgProgram/CommandStoreData.h"
#include "PkgProgram/CommandSub.h"
#include "PkgProgram/CommandSystem.h"
#include "PkgProgram/CommandWait.h"
#include "PkgProgram/IPO.h"
#include "common/Filesystem.h"
#include "common/LogSingleton.h"
#include "common/StringHelper.h"

namespace {

// What the loader does with a command element beyond reading it.
struct CommandKind {
    std::function<std::shared_ptr<Command>()> create;
    bool jointMaxVelocities = false;
    bool offsetLinks = false;      // links to the interpreter's joint and Cartesian offsets
    bool capCartVelocity = false;  // Cartesian velocity held to the robot's maximum
};

template <class T>
std::shared_ptr<Command> Make() {
    return std::make_shared<T>();
}

const std::map<std::string, CommandKind>& CommonCommands() {
    static const std::map<std::string, CommandKind> table = {
        {"Joint", {Make<CommandJoint>, true, true, false}},
        {"Linear", {Make<CommandLinear>, true, true, true}},
        {"Circular", {Make<CommandCircular>, true, false, true}},
        {"Relative", {Make<CommandRelative>, true, true, true}},
        {"Comment", {Make<CommandComment>, false}},
        {"Pause", {Make<CommandPause>, false}},
        {"Stop", {Make<CommandStop>, false}},
        {"Wait", {Make<CommandWait>, false}},
        {"Store", {Make<CommandStoreData>, false}},
        {"MathOperator", {Make<CommandMathFunction>, false}},
        {"System", {Make<CommandSystem>, false}},
        {"Output", {Make<CommandDIO>, false}},
        {"Gripper", {Make<CommandGripper>, true}},
        {"SetVel", {Make<CommandSetVelocity>, true}},
        {"MatrixDefinition", {Make<CommandMatrixDefinition>, false}},
        {"MatrixQuery", {Make<CommandMatrixQuery>, false}},
        {"Plugin", {Make<CommandPlugin>, true}},
        {"Camera", {Make<CommandCamera>, false}},
        {"CameraTrigger", {Make<CommandCameraTrigger>, false}},
    };
    return table;
}

// The open structures of one file, innermost last.
enum class Structure { Loop, Matrix, If, IfElse };

const char* StructureName(Structure s) {
    switch (s) {
        case Structure::Loop: return "Loop";
        case Structure::Matrix: return "Matrix";
        default: return "If";
    }
}

// Deeper structures than any real program needs are refused: the writer recurses once per level.
constexpr std::size_t MaxStructureDepth = 256;

void CheckStructureDepth(std::size_t open) {
    if (open >= MaxStructureDepth)
        throw std::runtime_error("Loop, Matrix and If nested deeper than " + std::to_string(MaxStructureDepth) +
                                 " levels");
}

// Link stack entry: a command whose successor slot the next command fills.
struct Pending {
    int command;
    int slot;
};

// The refusal of a known command whose reader left it invalid: the command,
// where it stands, and its own reason when it gave one.
std::string RefusedCommandText(const std::string& tag, const tinyxml2::XMLElement* element, const Command& command) {
    if (command.invalidReason.empty()) return "Unknown command '" + tag + "' in program";
    std::string where = "line " + std::to_string(element->GetLineNum());
    const char* nr = element->Attribute("Nr");
    const std::size_t length = nr != nullptr ? std::char_traits<char>::length(nr) : 0;
    if (length > 0 && length <= 10 && std::all_of(nr, nr + length, [](char c) { return c >= '0' && c <= '9'; }))
        where = "Nr. " + std::string(nr) + ", " + where;
    return "Invalid command '" + tag + "' (" + where + ") in program: " + command.invalidReason;
}

}  // namespace

// ---------------------------------------------------------------- loading

bool IPO::BeginLoad(const std::string& file, bool quiet, std::function<void()> onLoaded) {
    LogSingleton* log = LogSingleton::instance();
    bool expected = false;
    if (!loading.compare_exchange_strong(expected, true)) {
        log->add("IPO: Cannot load a new program while loading!");
        return false;
    }
    if (file.find(' ') != std::string::npos) {
        log->add("IPO: Cannot load program, whitespace in filename not allowed!");
        loading = false;
        return false;
    }
    fileToLoad = file;
    loadQuiet = quiet;
    onLoadedOnce = std::move(onLoaded);
    return true;
}

int IPO::LoadProgram(const std::string& file, bool quiet) {
    if (!BeginLoad(file, quiet)) return 2;
    // Busy from here on, so a start right after this call is refused until the load ends.
    std::thread(threadLoadProg, this).detach();
    return 0;
}

int IPO::LoadProgramSynchronous(const std::string& file, bool quiet) {
    if (!BeginLoad(file, quiet)) return 2;
    const int result = RunLoad();
    loading = false;
    return result;
}

void IPO::threadLoadProg(IPO* ipo) {
    if (ipo->loadHold) ipo->loadHold();
    ipo->RunLoad();
    ipo->loading = false;
}

int IPO::RunLoad() {
    staging.clear();
    std::function<void()> onLoaded = std::move(onLoadedOnce);
    onLoadedOnce = nullptr;
    const int result = LoadXMLFile2(0, fileToLoad, loadQuiet, -1);
    if (result < 0 || staging.empty() || staging[0].commands.empty()) {
        // A refused file leaves the loaded program as it was.
        staging.clear();
        return result < 0 ? result : -3;
    }
    SwapInStaged();
    if (onLoaded) onLoaded();
    return 0;
}

void IPO::SwapInStaged() {
    std::lock_guard<std::recursive_mutex> lock(programsMutex);
    SetReplayRunning(false);
    programs.swap(staging);
    staging.clear();
    activeProgram = 0;
    currentCommand = -1;
    lastReportedCommand = -1;
    preparedCommand = -1;
    ResetPathWindow();
    programFile = fileToLoad;
    loadedProgramName = programs[0].name;
    commandsOfProgram = static_cast<int32_t>(programs[0].commands.size());
    // Of the programs now loaded, not of the ones they replaced.
    bool plugins = false;
    for (const RobotProgram& program : programs) {
        for (const std::shared_ptr<Command>& command : program.commands) {
            if (command->className == "CommandPlugin") plugins = true;
        }
    }
    usesPlugins = plugins;
}

bool IPO::SetupAndAddCommand(int program, const std::shared_ptr<Command>& command, tinyxml2::XMLElement* element,
                             bool quiet) {
    command->nrRobotJoints = GetNrRobotJoints();
    command->nrExternalJoints = GetNrExternalJoints();
    command->ReadXML(element, quiet);
    command->memory = memory;
    command->ipo = this;
    if (command->valid) staging.at(static_cast<std::size_t>(program)).commands.push_back(command);
    return command->valid;
}

int IPO::LoadXMLFile2(int index, const std::string& file, bool quiet, int parent) {
    LogSingleton* log = LogSingleton::instance();
    try {
        if (file.size() < 4) {
            log->addError(name + " - Empty filename to load!");
            log->DisplayAndServerSetMessage(name + " - Empty filename to load!");
            throw std::runtime_error("Empty filename!");
        }
        if (!Filesystem::StaysInside(file)) {
            log->addError(name + " - Program not found: " + file);
            log->DisplayAndServerSetMessage(name + " - Program not found: " + file);
            throw std::runtime_error("Program " + file + " is outside the program directory!");
        }
        const std::string path = log->get_rootPath() + programDirectory + file;
        log->addFormat(" %s: Starting to read program from %s", name, path);
        const int32_t size = Filesystem::IsFile(path) ? Filesystem::GetFileSize(path) : -1;
        if (size < 0) {
            log->addError(name + " - Program not found: " + file);
            log->DisplayAndServerSetMessage(name + " - Program not found: " + file);
            throw std::runtime_error("Program " + file + " not found!");
        }
        if (size == 0) {
            log->addError("File empty: " + file);
            log->DisplayAndServerSetMessage("File empty: " + file);
            throw std::runtime_error("Program file " + file + " empty!!");
        }

        RobotProgram program(file);
        if (parent >= 0) program.AddAncestor(parent);

        tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
        if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
            log->addError("XML parsing failed! ");
            log->DisplayAndServerSetMessage("XML parsing failed! ");
            throw std::runtime_error("XML parsing failed!");
        }
        staging.push_back(std::move(program));
        const int self = static_cast<int>(staging.size()) - 1;
        auto commands = [this, self]() -> std::vector<std::shared_ptr<Command>>& {
            return staging.at(static_cast<std::size_t>(self)).commands;
        };

        tinyxml2::XMLElement* root = doc.FirstChildElement("Program");
        if (root == nullptr || root->FirstChildElement() == nullptr) throw std::runtime_error("No entries in program");

        std::vector<Pending> links{{0, 0}};
        std::vector<Structure> open;
        auto pop = [&links]() {
            if (links.empty()) throw std::runtime_error("Program structure is broken");
            const Pending p = links.back();
            links.pop_back();
            return p;
        };
        auto top = [&links]() {
            if (links.empty()) throw std::runtime_error("Program structure is broken");
            return links.back().command;
        };
        auto cmd = [&commands](int i) -> Command& { return *commands().at(static_cast<std::size_t>(i)); };
        auto last = [&commands]() { return static_cast<int>(commands().size()) - 1; };
        // A closer may only close the innermost open structure.
        auto matches = [](Structure have, Structure wanted) {
            return have == wanted || (wanted == Structure::If && have == Structure::IfElse);
        };
        auto closeStructure = [&open, &matches](const char* closer, Structure wanted) {
            if (!open.empty() && matches(open.back(), wanted)) return;
            bool anyOpen = false;
            for (Structure s : open) anyOpen = anyOpen || matches(s, wanted);
            if (!anyOpen) throw std::runtime_error(std::string(closer) + " without " + StructureName(wanted) + "!");
            throw std::runtime_error(std::string(closer) + " does not close the open " + StructureName(open.back()) +
                                     "!");
        };
        // Links a new command n to the pending successor slot.
        auto link = [&](int n) {
            const Pending p = pop();
            if (p.slot == 0 && n != 0) cmd(p.command).succ[0] = n;
            if (p.slot == 1 || p.slot == 2) cmd(p.command).succ[p.slot] = n;
            cmd(n).pre = p.command;
            links.push_back({n, 0});
        };
        // Opens a structure command n (already appended): body fills slot 1, the command after it slot 0.
        auto openStructure = [&](int n, const std::vector<int>& slots) {
            if (n > 0) {
                const Pending p = pop();
                cmd(p.command).succ[p.slot] = n;
                cmd(n).pre = p.command;
            }
            for (int slot : slots) links.push_back({n, slot});
        };
        // The last command inside a structure that opened at `owner` and still has no successor.
        auto danglingAfter = [&](int owner) {
            for (int i = last(); i > owner; --i) {
                if (cmd(i).succ[0] == -2) return i;
            }
            return -1;
        };

        for (tinyxml2::XMLElement* element = root->FirstChildElement(); element != nullptr;
             element = element->NextSiblingElement()) {
            const std::string tag = element->Name();
            const auto common = CommonCommands().find(tag);
            if (tag == "Header") {
                CheckHeaderConsistency(element, quiet);
            } else if (common != CommonCommands().end()) {
                std::shared_ptr<Command> command = common->second.create();
                if (!SetupAndAddCommand(self, command, element, quiet))
                    throw std::runtime_error(RefusedCommandText(tag, element, *command));
                if (common->second.jointMaxVelocities) command->InitJointMaxVelocities(jointMaxVelocities);
                if (common->second.offsetLinks) LinkOffsets(*command, jointOffsets, cartOffsets);
                if (common->second.capCartVelocity) CapCartVelocity(*command);
                if (auto plugin = std::dynamic_pointer_cast<CommandPlugin>(command)) plugin->pluginManager = &pluginManager;
                link(last());
            } else if (tag == "Sub") {
                auto sub = std::make_shared<CommandSub>();
                sub->nrRobotJoints = GetNrRobotJoints();
                sub->nrExternalJoints = GetNrExternalJoints();
                sub->ReadXML(element, quiet);
                if (!sub->valid) throw std::runtime_error(RefusedCommandText(tag, element, *sub));
                const std::string subFile = sub->fileName;
                if (staging.at(static_cast<std::size_t>(self)).IsAncestor(subFile, staging))
                    throw std::runtime_error("Sub program loop");
                if (staging.size() > programLimit) throw std::runtime_error("Max number of programs reached");
                int found = -1;
                for (std::size_t p = 0; p < staging.size(); ++p) {
                    if (staging[p].name == subFile) {
                        found = static_cast<int>(p);
                        break;
                    }
                }
                if (found >= 0) {
                    staging[static_cast<std::size_t>(found)].AddAncestor(self);
                } else {
                    const int at = static_cast<int>(staging.size());
                    if (LoadXMLFile2(at, subFile, quiet, self) == 0) found = at;
                }
                if (found < 0 || static_cast<std::size_t>(found) >= staging.size())
                    throw std::logic_error("Loading sub program failed");
                if (staging[static_cast<std::size_t>(found)].commands.empty())
                    throw std::runtime_error("No commands in sub program");
                sub->subProgramNumber = found;
                sub->memory = memory;
                sub->ipo = this;
                commands().push_back(sub);
                link(last());
            } else if (tag == "Loop" || tag == "Matrix") {
                const bool isLoop = tag == "Loop";
                std::shared_ptr<Command> loop;
                if (isLoop) loop = std::make_shared<CommandLoop>();
                else loop = std::make_shared<CommandMatrix>();
                if (!SetupAndAddCommand(self, loop, element, quiet))
                    throw std::runtime_error(RefusedCommandText(tag, element, *loop));
                CheckStructureDepth(open.size());
                const int n = last();
                open.push_back(isLoop ? Structure::Loop : Structure::Matrix);
                loop->succ[1] = n;
                openStructure(n, {0, 1});
            } else if (tag == "If") {
                auto branch = std::make_shared<CommandIf>();
                if (!SetupAndAddCommand(self, branch, element, quiet))
                    throw std::runtime_error(RefusedCommandText(tag, element, *branch));
                CheckStructureDepth(open.size());
                const int n = last();
                open.push_back(Structure::If);
                branch->succ[1] = n;
                branch->succ[2] = n;
                openStructure(n, {0, 2, 1});
            } else if (tag == "EndLoop" || tag == "MatrixEnd") {
                const bool isLoop = tag == "EndLoop";
                closeStructure(tag.c_str(), isLoop ? Structure::Loop : Structure::Matrix);
                open.pop_back();
                pop();
                const int owner = top();
                const int dangling = danglingAfter(owner);
                if (dangling >= 0) cmd(dangling).succ[0] = owner;
                if (cmd(owner).succ[1] == -2) cmd(owner).succ[1] = owner;
                if (!quiet) log->add(isLoop ? "          EndLoop" : "          MatrixEnd");
            } else if (tag == "Else") {
                closeStructure("Else", Structure::If);
                if (open.back() == Structure::IfElse) throw std::runtime_error("Second Else in one If!");
                open.back() = Structure::IfElse;
                const Pending p = pop();
                const int owner = top();
                cmd(p.command).succ[p.slot] = owner;
                const int dangling = danglingAfter(owner);
                if (dangling >= 0) cmd(dangling).succ[0] = owner;
                if (!quiet) log->add("          Else");
            } else if (tag == "EndIf") {
                closeStructure("EndIf", Structure::If);
                const bool hadElse = open.back() == Structure::IfElse;
                open.pop_back();
                if (!hadElse) {
                    const Pending p = pop();
                    const int owner = top();
                    cmd(p.command).succ[p.slot] = owner;
                    const int dangling = danglingAfter(owner);
                    if (dangling >= 0) cmd(dangling).succ[0] = owner;
                }
                const Pending p = pop();
                const int owner = top();
                cmd(p.command).succ[p.slot] = owner;
                const int dangling = danglingAfter(owner);
                if (dangling >= 0) cmd(dangling).succ[0] = owner;
                if (cmd(owner).succ[1] == -2) cmd(owner).succ[1] = owner;
                if (cmd(owner).succ[2] == -2) cmd(owner).succ[2] = owner;
                if (!quiet) log->add("          EndIf");
            } else {
                throw std::runtime_error("Unknown command '" + tag + "' in program");
            }
        }
        for (Structure s : open) {
            if (s == Structure::Loop) throw std::runtime_error("Nr of Loop and EndLoop do not fit!");
        }
        for (Structure s : open) {
            // Unclosed, its body would run once and end the program.
            if (s == Structure::Matrix) throw std::runtime_error("Nr of Matrix and MatrixEnd do not fit!");
        }
        for (Structure s : open) {
            if (s == Structure::If || s == Structure::IfElse)
                throw std::runtime_error("Nr of If and EndIf do not fit!");
        }

        const RobotProgram& loaded = staging.at(static_cast<std::size_t>(self));
        log->addFormat("%s: Program: %s (%d of %d) with %d points", name, loaded.name, self,
                       static_cast<int>(staging.size()), static_cast<int>(loaded.commands.size()));
        log->add(" ");
        if (type == IpoTypeMain) log->DisplayAndServerSetMessage("Program loaded: " + loaded.name);
        return 0;
    } catch (int) {
        log->addError("defective xml file");
        return -4;
    } catch (const std::exception& e) {
        const std::string text = e.what();
        log->addError("Could not parse program " + file + ": " + text);
        log->DisplayAndServerSetMessage("Error in Loading");
        if (index >= 0 && static_cast<std::size_t>(index) < staging.size()) {
            SendHXPServerCallback(HXPEventError,
                                  static_cast<int>(staging[static_cast<std::size_t>(index)].commands.size()), index,
                                  text);
        }
        return -3;
    }
}

int IPO::CheckHeaderConsistency(tinyxml2::XMLElement* header, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    if (flagIgnoreConsistencyCheck) {
        log->add(
            "IPO.LoadProgram: Consistency check skipped (flagIgnoreConsistencyCheck in project file is set to true)");
        return 8;
    }
    const int systemVersion = log->get_softwareVersionMajor();
    int programVersion = systemVersion;
    const char* software = header->Attribute("Software");
    if (software != nullptr) {
        const char* mark = std::strstr(software, "R902-");
        if (mark != nullptr) {
            int parsed = 0;
            if (std::sscanf(mark, "R902-%d", &parsed) == 1) {
                programVersion = parsed;
            } else {
                log->addError("Could not parse software version number in program");
            }
        }
    }
    const char* robotType = header->Attribute("RobotType");
    if (robotType == nullptr) {
        if (!quiet) {
            log->add("Information on robot name/type/gripper not found, skipping consistency check.");
            log->add("");
        }
        return 0;
    }
    const char* robotName = header->Attribute("RobotName");
    const char* gripper = header->Attribute("GripperType");
    const std::string programType = robotType;
    const std::string programName = robotName != nullptr ? robotName : "";
    const std::string programGripper = gripper != nullptr ? gripper : "";
    // A value that is no int is refused, never read as "not given".
    const int programVelocity =
        header->Attribute("VelocitySetting") != nullptr ? Command::ReadInt(header, "VelocitySetting") : -1;
    const std::string systemType = StringHelper::SplitGetLast(log->get_robotType(), "/");
    const std::string systemName = log->get_robotName();
    const std::string systemGripper = log->get_robotGripper();
    if (!quiet) {
        log->add("");
        log->add("IPO.LoadProgram: Consistency check:");
        log->addFormat(
            "System:   Robot Name=\"%s\"  type=\"%s\" gripper=\"%s\" velocitySetting=\"%d\" sw version=\"R980-%d-xxx\"",
            systemName, systemType, systemGripper, velocitySetting, systemVersion);
        log->addFormat(
            "Program:  Robot Name=\"%s\"  type=\"%s\" gripper=\"%s\" velocitySetting=\"%d\" sw version=\"%s\"",
            programName, programType, programGripper, programVelocity, software != nullptr ? software : "");
        log->add("");
    }
    if (programVersion != systemVersion) {
        log->DisplayAndServerSetMessage("Error: wrong program version");
        char need[64];
        std::snprintf(need, sizeof(need), "V%d-XXX", systemVersion);
        throw std::runtime_error(std::string("Version check failed: program was created with ") +
                                 (programVersion > systemVersion ? "newer" : "older") +
                                 " version of Tavix/Norrik (need " + need + ")");
    }
    if (programName != systemName || programType != systemType) {
        log->DisplayAndServerSetMessage("Error: prog for different robot");
        throw std::runtime_error("Consistency check failed: program was created for a different robot type!");
    }
    if (programVelocity >= 0 && programVelocity != velocitySetting) {
        log->DisplayAndServerSetMessage("Error: prog uses wrong config");
        throw std::runtime_error(
            "Consistency check failed: program was created for a different velocity/voltage setting!");
    }
    if (programGripper != systemGripper) {
        log->DisplayAndServerSetMessage("Error: prog uses wrong gripper");
        throw std::runtime_error("Consistency check failed: program was created for a different gripper type!");
    }
    if (!quiet) {
        log->add("Consistency verified.");
        log->add("");
    }
    return 0;
}

// ---------------------------------------------------------------- writing

void IPO::WriteCommands(std::ostream& out, const std::vector<std::shared_ptr<Command>>& commands, int from, int to,
                        int& written) const {
    // Structures are rebuilt from the graph: a body or branch runs up to the
    // structure's successor, or to the end of the enclosing range when its
    // successor leads back out.
    int i = from;
    while (i < to) {
        Command& command = *commands[static_cast<std::size_t>(i)];
        std::ostringstream text;
        {
            // WriteXML takes a file stream; write through a temporary one on the same buffer.
            std::ofstream line;
            line.basic_ios<char>::rdbuf(text.rdbuf());
            command.WriteXML(&line, written);
        }
        out << text.str();
        ++written;
        const bool isLoop = command.className == "CommandLoop" || command.className == "CommandMatrix";
        const bool isIf = command.className == "CommandIf";
        if (!isLoop && !isIf) {
            ++i;
            continue;
        }
        const int after = command.succ[0] > i && command.succ[0] <= to ? command.succ[0] : to;
        if (isLoop) {
            WriteCommands(out, commands, i + 1, after, written);
            out << (command.className == "CommandLoop" ? "<EndLoop />\n" : "<MatrixEnd />\n");
        } else {
            const int elseStart = command.succ[2] > i && command.succ[2] < after ? command.succ[2] : -1;
            WriteCommands(out, commands, i + 1, elseStart >= 0 ? elseStart : after, written);
            if (elseStart >= 0) {
                out << "<Else />\n";
                WriteCommands(out, commands, elseStart, after, written);
            }
            out << "<EndIf />\n";
        }
        i = after;
    }
}

bool IPO::WriteXMLFile(int /*unused*/, const std::string& fileName) {
    LogSingleton* log = LogSingleton::instance();
    std::ostringstream body;
    int count = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(programsMutex);
        if (programs.empty() || programs[0].commands.empty()) {
            log->add("IPO:    Cannot write, no Program loaded");
            log->ServerSetMessage("No Program to write");
            return false;
        }
        const auto& commands = programs[0].commands;
        count = static_cast<int>(commands.size());
        body << "<?xml version=\"1.0\" encoding=\"utf-8\"?>" << "<Program>";
        int written = 0;
        WriteCommands(body, commands, 0, count, written);
        body << "</Program>";
    }
    if (!Filesystem::StaysInside(fileName)) {
        log->addError("IPO: Cannot write program outside the program directory: " + fileName);
        return false;
    }
    const std::string path = log->get_rootPath() + programDirectory + fileName;
    log->add("IPO: Starting to write XML program file " + path);
    const std::string content = body.str();
    const Filesystem::AtomicWriteResult result = Filesystem::WriteAtomically(path, [&content](std::FILE* file) {
        return std::fwrite(content.data(), 1, content.size(), file) == content.size();
    });
    if (!result.ok) {
        log->addError("IPO: Could not write XML program file " + path);
        return false;
    }
    log->addFormat("IPO: XML program file written with %d commands", count);
    char text[64];
    std::snprintf(text, sizeof(text), "%d Cmds written", count);
    log->ServerSetMessage(text);
    return true;
}

int IPO::PrintCommands(int program) {
    LogSingleton* log = LogSingleton::instance();
    log->add("PrintCommands: ");
    std::lock_guard<std::recursive_mutex> lock(programsMutex);
    if (program < 0 || static_cast<std::size_t>(program) >= programs.size()) return 0;
    for (const std::shared_ptr<Command>& command : programs[static_cast<std::size_t>(program)].commands)
        log->add("IPO: cmd " + command->ToString());
    return 0;
}
