// The interpreter's step on the robot thread: the next set-point of a cycle
// and the program flow that the commands' results drive.

#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "PkgProgram/Command.h"
#include "PkgProgram/IPO.h"
#include "PkgProgram/PathGenerator.h"
#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"

namespace {

constexpr int MaxCommandsPerCycle = 10;

}  // namespace

bool IPO::GetNextPosition(int cycleMs, float override, DataTypes::RobotState* state) {
    // A load, delete or added command holds the list for a moment: skip this step.
    std::unique_lock<std::recursive_mutex> lock(programsMutex, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    struct SteppingScope {
        explicit SteppingScope(const IPO* ipo) : previous(steppingIpo) { steppingIpo = ipo; }
        ~SteppingScope() { steppingIpo = previous; }
        const IPO* previous;
    } scope(this);
    stepThread.store(std::this_thread::get_id(), std::memory_order_relaxed);

    if (restartWaitMs > 0) {
        restartWaitMs -= cycleMs;
        programStartTime = std::chrono::system_clock::now();
        return false;
    }
    if (type == IpoTypeLogic) return StepLogic(cycleMs, override, state);
    if (!replayRunning) return false;
    StepCommands(cycleMs, override, state);
    return false;
}

bool IPO::StepLogic(int cycleMs, float override, DataTypes::RobotState* state) {
    if (currentCommand < 0) return false;
    int32_t kind = 2;
    try {
        kind = CurrentCommand("Interpolate").motionKind;
        kind = StepCombinable(cycleMs, override, state, false);
    } catch (const std::exception& e) {
        ReportStepError(std::string("IPO Error in ") + std::to_string(currentCommand) + ": " + e.what(), false, false);
    } catch (int code) {
        // Nothing may leave the logic step: a kinematic code is an error like any other.
        ReportStepError("IPO Error in " + std::to_string(currentCommand) + ": " + KinematicErrorText(code), false,
                        false);
    } catch (...) {
        ReportStepError("IPO Error in " + std::to_string(currentCommand) + ": unknown exception", false, false);
    }
    return kind == 1;
}

void IPO::StepCommands(int cycleMs, float override, DataTypes::RobotState* state) {
    int32_t kind = 2;
    try {
        kind = CurrentCommand("Interpolate").motionKind;
    } catch (const std::exception& e) {
        ReportStepError(std::string("IPO ERROR: ") + e.what(), true, true);
        return;
    }
    if (kind == 2) {
        try {
            StepCombinable(cycleMs, override, state, true);
        } catch (const std::exception& e) {
            ReportStepError(std::string("IPO ERROR: ") + e.what(), true, true);
        } catch (int) {
            std::cout << " ********************* CATCH INT ***************************" << std::endl;
        }
    } else {
        StepMotion(cycleMs, override, state);
    }
    if (NeedsPath()) {
        try {
            PreparePath(state);
        } catch (const std::exception& e) {
            ReportStepError("PathGen Error in command " + std::to_string(currentCommand) + ": " + e.what(), true,
                            true);
        }
    }
}

bool IPO::NeedsPath() const {
    if (!replayRunning) return false;
    const int32_t program = activeProgram;
    const int32_t command = currentCommand;
    if (program < 0 || static_cast<std::size_t>(program) >= programs.size()) return false;
    const auto& commands = programs[static_cast<std::size_t>(program)].commands;
    if (command < 0 || static_cast<std::size_t>(command) >= commands.size()) return false;
    if (commands[static_cast<std::size_t>(command)]->motionKind == 2) return false;
    const bool prepared = command == preparedCommand && pathGenerator->IsPathAvailable();
    return !prepared && !pathGenerator->IsPathGenWorking();
}

void IPO::PreparePath(DataTypes::RobotState* state) {
    PathGenerator& generator = *pathGenerator;
    const int32_t current = currentCommand;
    const auto& commands = programs.at(static_cast<std::size_t>(activeProgram)).commands;
    const int size = static_cast<int>(commands.size());
    preparedCommand = current;
    generator.eventCallback = hxpCallback;
    const std::shared_ptr<Command>& first = commands.at(static_cast<std::size_t>(current));
    generator.SetFirstCmd(first, state, current, first->succ[0]);
    int count = 1;
    int last = current;
    while (count < generator.GetLookAhead() && replayMode != ReplayStep) {
        const int next = commands[static_cast<std::size_t>(last)]->succ[0];
        if (next <= 0 || next >= size) break;
        const std::shared_ptr<Command>& candidate = commands[static_cast<std::size_t>(next)];
        if (candidate->motionKind == 2 || !(commands[static_cast<std::size_t>(last)]->smoothing > 0.0f)) break;
        generator.SetNextCmd(candidate, next, candidate->succ[0]);
        last = next;
        ++count;
    }
    generator.ComputePathStartThread();
    timeFromUs = 0;
    timeToUs = 0;
}

int32_t IPO::StepCombinable(int cycleMs, float override, DataTypes::RobotState* state, bool resetPrepared) {
    int32_t kind = CurrentCommand("Interpolate").motionKind;
    for (int i = 0; i < MaxCommandsPerCycle; ++i) {
        const int32_t notedProgram = activeProgram;
        const int32_t notedCommand = currentCommand;
        if (resetPrepared) preparedCommand = 0;
        const int result = Interpolate(cycleMs, override, state);
        HandleResult(result);
        if ((result == -2 && activeProgram == 0) || replayMode == ReplayStep) break;
        const RobotProgram& noted = programs.at(static_cast<std::size_t>(notedProgram));
        if (!noted.commands.at(static_cast<std::size_t>(notedCommand))->IsCombinable()) break;
        if (programs.at(static_cast<std::size_t>(activeProgram)).commands.empty())
            throw std::runtime_error("no command in program");
        if (currentCommand < 0) break;
        kind = CurrentCommand("Interpolate").motionKind;
        if (kind != 2) break;
    }
    return kind;
}

void IPO::StepMotion(int cycleMs, float override, DataTypes::RobotState* state) {
    PathGenerator& generator = *pathGenerator;
    // The generator names the command its error belongs to, also when it throws.
    int commandIndex = -1;
    try {
        int result = InterpolateLogic(cycleMs, override, state);
        if (result == -1) {
            if (generator.IsPathGenerationFailed()) {
                ErrorState(PATHGEN_ERROR, true, generator.GetGenerationError());
                generator.ResetError();
            } else if (generator.IsPathAvailable()) {
                long usedTime = 0;
                result = generator.GetJointPosition(static_cast<long>(timeFromUs), static_cast<long>(timeToUs), cycleMs,
                                                    *state, velocityLimit, state->jointSetPoint, commandIndex,
                                                    usedTime);
                if (commandIndex != currentCommand && replayMode == ReplayStep) {
                    Pause(REPLAY_STEP);
                    SetPathUnavailable();
                }
                currentCommand = commandIndex;
                preparedCommand = commandIndex;
                timeFromUs += usedTime;
                timeToUs = timeFromUs + static_cast<int64_t>(static_cast<double>(cycleMs) * override * 1000.0 / 100.0);
            }
        }
        HandleResult(result);
    } catch (int code) {
        const int command = commandIndex >= 0 ? commandIndex : static_cast<int>(currentCommand);
        ReportStepError("PathGen Error in command " + std::to_string(command) + ": " + KinematicErrorText(code), true,
                        true, command);
    } catch (const std::exception& e) {
        ReportStepError("PathGen Error in command " + std::to_string(currentCommand) + ": " + e.what(), true, true);
    }
}

void IPO::ReportStepError(const std::string& message, bool withBlankLines, bool toDisplay, int command) {
    LogSingleton* log = LogSingleton::instance();
    SendHXPServerCallback(HXPEventError, command >= 0 ? command : static_cast<int>(currentCommand), activeProgram,
                          message);
    if (withBlankLines) log->add("");
    log->addError(message);
    if (withBlankLines) log->add("");
    if (toDisplay) {
        log->DisplayAndServerSetMessage(message);
    } else {
        log->ServerSetMessage(message);
    }
    ErrorState(COMMAND_ERROR, true, message, command);
}

Command& IPO::CurrentCommand(const char* where) {
    const int32_t program = activeProgram;
    const int32_t command = currentCommand;
    try {
        return *programs.at(static_cast<std::size_t>(program)).commands.at(static_cast<std::size_t>(command));
    } catch (const std::out_of_range& e) {
        char text[512];
        std::snprintf(text, sizeof(text),
                      "IPO-Error: Invalid command index in %s: activeProgram=%d, currentPoint=%d: %s", where, program,
                      command, e.what());
        throw std::out_of_range(text);
    }
}

int IPO::Interpolate(int cycleMs, float override, DataTypes::RobotState* state) {
    Command& command = CurrentCommand("Interpolate");
    UpdateRunstate();
    return command.Interpolate(cycleMs, override, state);
}

int IPO::InterpolateLogic(int cycleMs, float override, DataTypes::RobotState* state) {
    Command& command = CurrentCommand("InterpolateLogic");
    const std::string& cls = command.className;
    if (cls == "CommandJoint" || cls == "CommandLinear" || cls == "CommandCircular" || cls == "CommandRelative")
        return command.InterpolateLogic(cycleMs, override, state);
    LogSingleton::instance()->addFormat("IPO:    Unknown command '%s' in InterpolateLogic!", cls);
    return -1;
}

void IPO::ResetPathWindow() {
    SetPathUnavailable();
    timeFromUs = 0;
    timeToUs = 0;
    preparedCommand = -1;
}

void IPO::HandleResult(int result) {
    LogSingleton* log = LogSingleton::instance();
    if (type == IpoTypeLogic && currentCommand == -1) {
        log->add("Logic-IPO: Program stopped by command");
        activeProgram = 0;
        result = -2;
    }
    if (result >= 0) {
        currentCommand = result;
        if (replayMode == ReplayStep) {
            SetPathUnavailable();
            Pause(REPLAY_STEP);
        }
    } else if (result == -2) {
        while (result == -2 && activeProgram != 0) {
            const int32_t program = activeProgram;
            if (program < 0 || static_cast<std::size_t>(program) >= programs.size()) break;
            const RobotProgram& sub = programs[static_cast<std::size_t>(program)];
            currentCommand = sub.returnIndex;
            activeProgram = sub.parent < 0 ? 0 : sub.parent;
            result = sub.returnIndex;
            ResetPathWindow();
            if (replayMode == ReplayStep) {
                SetPathUnavailable();
                Pause(REPLAY_STEP);
            }
        }
        if (result == -2) {
            const auto now = std::chrono::system_clock::now();
            if (replayMode == ReplayRepeat && replayRunning) {
                currentCommand = 0;
                ResetPathWindow();
                SetReplayRunning(true);
                if (type == IpoTypeMain) {
                    log->DisplayAndServerSetMessage("Program done, restarting");
                    log->add("IPO: Program done, restarting");
                    log->IncreaseSystemVariables(4, 1);
                }
                const auto elapsed = now - programStartTime;
                if (elapsed < m_MinimumExecutionTime) {
                    restartWaitMs = static_cast<int32_t>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(m_MinimumExecutionTime - elapsed)
                            .count());
                }
                lastRunDuration = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed);
                programStartTime = now;
            } else {
                currentCommand = -1;
                ResetPathWindow();
                SetReplayRunning(false);
                lastRunDuration = std::chrono::duration_cast<std::chrono::nanoseconds>(now - programStartTime);
                if (type == IpoTypeMain) {
                    SendHXPServerCallback(HXPEventStop, -1, activeProgram, "PLAN");
                    log->DisplayAndServerSetMessage("Program done");
                    log->add("IPO: Program done");
                    log->add(" ");
                } else if (type == IpoTypeDirect) {
                    SendHXPServerCallback(HXPEventStop, -1, activeProgram, "PLAN");
                    log->add("IPO: MoveTo done");
                }
            }
        }
    } else if (result <= -11) {
        const int32_t n = -10 - result;
        if (n >= 0 && static_cast<std::size_t>(n) < programs.size()) {
            const int32_t parent = activeProgram;
            int32_t returnIndex = -2;
            const int32_t current = currentCommand;
            const RobotProgram& caller = programs.at(static_cast<std::size_t>(parent));
            if (current >= 0 && static_cast<std::size_t>(current) < caller.commands.size())
                returnIndex = caller.commands[static_cast<std::size_t>(current)]->succ[0];
            RobotProgram& sub = programs[static_cast<std::size_t>(n)];
            sub.parent = parent;
            sub.returnIndex = returnIndex;
            activeProgram = n;
            currentCommand = 0;
            ResetPathWindow();
            if (type == IpoTypeMain)
                log->addFormat("IPO - changing to program %d, from %d, %d", n, parent, returnIndex);
        } else {
            throw std::out_of_range("IPO-Error: sub program " + std::to_string(n) + " is not loaded");
        }
    }
    // -1 and -3 to -10 keep the current command.

    const int32_t command = currentCommand;
    const int32_t program = activeProgram;
    if (command >= 0 && program >= 0 && (command != lastReportedCommand || program != lastReportedProgram)) {
        lastReportedCommand = command;
        lastReportedProgram = program;
        if (type != IpoTypeLogic) SendHXPServerCallback(HXPEventStart, command, program, "");
    }
}
