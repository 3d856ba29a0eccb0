// The robot thread: one cycle per CycleTimeMS, the timing of both timing
// modes, the cycle statistics and the publishing of the robot state.

#include "controller/RobotMaster.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <pthread.h>

#include "common/LogSingleton.h"
#include "controller/Shutdown.h"
#include "hardware/BoardSupport.h"
#include "hardware/HardwareProtocol.h"
#include "kinematics/RobotKinematic.h"

namespace {

uint64_t NowUs() { return CycleWait::MonotonicUs(); }

uint64_t ThreadCpuUs() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return RobotMaster::ToMicroSec(now);
}

bool IsRunningErrorText(const std::string& text) {
    return text == "NoError" || text == "operation_enabled" || text == "Homing";
}

// Error texts that are not a fault of the drives.
bool IsHarmlessErrorText(const std::string& text) {
    return text == "NoError" || text == "_MNE" || text == "operation_enabled" || text == "Homing" ||
           text == "switched_on" || text == "n/a";
}

}  // namespace

// Time stamps and joint statistics that live as long as the robot thread.
struct RobotMaster::CycleClock {
    uint64_t lastCycleStart = 0;
    uint64_t lastWaitEnd = 0;
    uint64_t lastStatisticsTime = 0;
    uint64_t lastWaitEndCpu = 0;  // kept only for the cycle observer
    CycleWait wait;
    RepeatedEventLog lateCycles;
    int statisticsCounter = 0;
    float lastJoint[9] = {};
    float referenceJoint[9] = {};
    bool rising[9] = {};

    void Restart() {
        const uint64_t now = NowUs();
        lastCycleStart = now;
        lastWaitEnd = now;
        lastStatisticsTime = now;
        statisticsCounter = 0;
    }
};

void RobotMaster::ThreadRobotLoop() {
    LogSingleton* log = LogSingleton::instance();
    int policy = 0;
    sched_param param{};
    pthread_getschedparam(pthread_self(), &policy, &param);
    log->addFormat("RobotMainLoop is executing at priority %d", param.sched_priority);

    CycleClock clock;
    clock.wait = CycleWait(SpinMarginUs, PreciseTiming, CycleWait::MonotonicUs, cycleSleeper);
    clock.lateCycles = RepeatedEventLog(std::chrono::seconds(5), lateCycleLogNow);
    clock.Restart();
    bool gated = false;

    while (true) {
        if (stopLoop) {
            std::printf("RobotMainLoop stopped\n");
            std::fflush(stdout);
            return;
        }

        // No cycle runs in serious-fail or CAN-bridge mode; in serious fail the bus stays disconnected.
        const operationMode mode = log->get_opMode();
        if (mode != opModeNormal) {
            if (mode == opModeSeriousFail && hardware && hardware->GetConnectionStatus()) hardware->Disconnect();
            wait(50);
            gated = true;
            continue;
        }
        if (gated) {
            // Time spent in the gate is neither a cycle nor work.
            clock.Restart();
            gated = false;
        }

        if (TimingMode == 1) {
            uint64_t now = NowUs();
            StoreCycleTime(static_cast<int64_t>(now - clock.lastCycleStart));
            clock.lastCycleStart = now;
            const uint64_t busy = now - clock.lastWaitEnd;
            const uint64_t busyCpu = cycleObserver ? ThreadCpuUs() - clock.lastWaitEndCpu : 0;
            busyTimeSum += static_cast<float>(busy);
            const uint64_t period = static_cast<uint64_t>(CycleTimeMS) * 1000u;
            const uint64_t target = now + (period - now % period);
            now = clock.wait.Until(target);
            clock.lastWaitEnd = now;
            if (cycleObserver) {
                clock.lastWaitEndCpu = ThreadCpuUs();
                cycleObserver(now, busy, busyCpu);
            }
        }

        bool waited = false;
        {
            std::unique_lock<std::mutex> lock(workingMutex);
            ApplyMailboxes();
            if (!IsCycleSuspended()) {
                try {
                    RunCycle(clock, lock, waited);
                } catch (const std::exception& e) {
                    log->addErrorFormat("ROBOTMASTER LOOP EXCEPTION: %s", e.what());
                    std::printf("Error in Main Loop: %s\n", e.what());
                } catch (int code) {
                    // A kinematic error code that no motion step caught.
                    log->addErrorFormat("ROBOTMASTER LOOP EXCEPTION: %s", TranslateKinError(code));
                    std::printf("Error in Main Loop: %s\n", TranslateKinError(code).c_str());
                } catch (...) {
                    log->addError("ROBOTMASTER LOOP EXCEPTION: unknown exception");
                    std::printf("Error in Main Loop: unknown exception\n");
                }
                if (!lock.owns_lock()) lock.lock();
            }
        }
        // A suspended or failed cycle keeps its period too, so the thread never spins.
        if (TimingMode == 2 && !waited) WaitEndOfCycle(clock);

        std::lock_guard<std::mutex> lock(workingMutex);
        UpdateStatistics(clock);
        std::lock_guard<std::mutex> publish(publishedMutex);
        publishedState = workingState;
    }
}

void RobotMaster::RunCycle(CycleClock& clock, std::unique_lock<std::mutex>& lock, bool& waited) {
    LogSingleton* log = LogSingleton::instance();

    if (hardware) hardware->SendSync();
    workingState.override = override.load();
    workingState.kinematicState = 0;

    const int32_t operationModeUsed = UpdateOperationMode();

    if (refSequenceActive && !IsBrakeActive()) StepPLCReferencing();

    if (brakeReleasePending && NowUs() - brakeReleaseRequestTime.load() > static_cast<uint64_t>(DelayMS) * 1000u &&
        IsRunningErrorText(workingState.errorText)) {
        SetBrake(true, true);
        brakeReleasePending = false;
    }

    HandleErrorStateChange();

    if (fsmActive) stateMachine.ProcessFSM(workingState);

    SelectMotionSource(operationModeUsed);
    RunLogicProgram();
    UpdateTool();

    const PLCInterfaceSettings& plc = log->get_plcInterfaceNr();
    if (plc.Active) WritePLCOutputs();

    if (kinematic) {
        const Tool& tool = kinematic->tool;
        if ((tool.protocol == "digital" || tool.protocol == "Digital") && IsValidIONum(tool.channelEnable) &&
            IsValidIONum(tool.channelOpenClose)) {
            SetManualDOut(tool.channelEnable, true);
            SetManualDOut(tool.channelOpenClose, workingState.toolValue[0] > 50.0f);
        }
    }

    WriteOutputsToBus();
    ReadInputsAndEStop();
    if (plc.Active) ServePLCInputs();
    ScanPLCTriggers();
    ReadBack();

    if (TimingMode == 2) {
        lock.unlock();
        WaitEndOfCycle(clock);
        lock.lock();
        waited = true;
        // An operation of another thread may have suspended the cycle meanwhile.
        if (IsCycleSuspended()) return;
    }
    SendAndReadJoints();
}

int32_t RobotMaster::UpdateOperationMode() {
    if (!operationModesEnabled) return OperationModeNotLimited;
    LogSingleton* log = LogSingleton::instance();
    const bool* inputs = workingState.digitalInputs;
    int32_t mode;
    if (DInOpModeAuto < 0 && DInEnableMotionInManualMode < 0) {
        mode = OperationModeVelocityLimited;
    } else if (IsValidIONum(DInOpModeAuto) && inputs[DInOpModeAuto]) {
        mode = OperationModeNotLimited;
    } else if (IsValidIONum(DInEnableMotionInManualMode) && inputs[DInEnableMotionInManualMode]) {
        mode = OperationModeVelocityLimited;
    } else {
        mode = OperationModeNoMotion;
    }
    if (mode != currentOperationMode.load()) {
        if (mode == OperationModeVelocityLimited) {
            log->addFormat("Operation mode changed to velocity limited (%.1f mm/s)", ManualMaxVelMMPerSec);
            ipoMain.SetVelocityLimit(ManualMaxVelMMPerSec);
            ipoDirect.SetVelocityLimit(ManualMaxVelMMPerSec);
        } else if (mode == OperationModeNoMotion) {
            log->add("Operation mode changed to no motion");
        } else {
            log->add("Operation mode changed to not limited");
            ipoMain.VelocityLimitDisable();
            ipoDirect.VelocityLimitDisable();
        }
        // Published after its log line and limits, so whoever sees the new mode sees them too.
        currentOperationMode = mode;
        if (refSequenceActive || (hardware && hardware->IsReferencing())) {
            log->add("Resetting since operation mode changed while referencing is in progress");
            Reset();
        }
    }
    return mode;
}

void RobotMaster::HandleErrorStateChange() {
    const bool referencing = refSequenceActive || (hardware && hardware->IsReferencing());
    const std::string text = workingState.errorText;
    if (text == workingState.previousErrorText && !(wasReferencing && !referencing)) return;
    if (!(referencing && text == "_MNE_LAG") && !IsHarmlessErrorText(text)) {
        DOutResetOnError(true);
        refSequenceActive = false;
        LogSingleton::instance()->addFormat("RobotMaster: Resetting DOuts on error (main loop), error state: %s",
                                            text);
    }
    wasReferencing = referencing;
    workingState.previousErrorText = text;
}

void RobotMaster::SelectMotionSource(int32_t operationModeUsed) {
    float jog[9];
    GetJogValues(jog);
    const std::string errorText = workingState.errorText;

    if (!DebugMode && errorText != "NoError" && errorText != "operation_enabled") {
        const std::string reason = "Hardware error " + errorText;
        if (ipoMain.IsReplayRunning()) ErrorStateProgram(IPO::ERROR, true, reason);
        if (ipoDirect.IsReplayRunning()) {
            ipoDirect.Stop(IPO::ERROR, reason);
            ipoDirect.DeleteAll();
        }
        workingState.kinematicState = 99;
        ResetVelocities();
    } else if (IsBrakeActive()) {
        if (ipoMain.IsReplayRunning()) ErrorStateProgram(IPO::ERROR, false, "Brake active");
        if (ipoDirect.IsReplayRunning()) {
            ipoDirect.Stop(IPO::ERROR, "Brake active");
            ipoDirect.DeleteAll();
        }
        workingState.kinematicState = 98;
        ResetVelocities();
    } else if (operationModeUsed == OperationModeNoMotion) {
        // Nothing moves.
    } else if (ipoMain.GetRunState() == IPO::RunStatePaused) {
        if (ipoDirect.IsProgramLoaded()) ipoDirect.DeleteAll();
        RefuseJog(jog, "Cannot jog while program is paused");
    } else if (ipoMain.IsReplayRunning()) {
        if (ipoDirect.IsProgramLoaded()) ipoDirect.DeleteAll();
        RefuseJog(jog, "Cannot jog while program is running");
        RunInterpreter(ipoMain);
    } else if (ipoDirect.IsReplayRunning()) {
        RefuseJog(jog, "Cannot jog while moving to position");
        RunInterpreter(ipoDirect);
    } else {
        jogMessageShown = false;
        JogMotion(operationModeUsed);
    }
}

void RobotMaster::RunInterpreter(IPO& ipo) {
    workingState.toolValue[0] = -1.0f;
    try {
        const bool cartesian = ipo.GetNextPosition(CycleTimeMS, override.load(), &workingState);
        if (kinematic) {
            if (cartesian) {
                kinematic->SetPosition(workingState.pose, workingState.jointSetPoint);
            } else {
                kinematic->SetJoints(workingState.jointSetPoint, true);
            }
            if (workingState.toolValue[0] >= 0.0f) kinematic->tool.SetTargetValue(workingState.toolValue[0]);
        }
        workingState.kinematicState = 0;
    } catch (int code) {
        ResetVelocities();
        ipo.Stop(IPO::ERROR, "Kinematic error: " + TranslateKinError(code));
    } catch (const std::exception& e) {
        LogSingleton::instance()->addErrorFormat("Error during IPO motion: %s", e.what());
        ResetVelocities();
        ipo.Stop(IPO::ERROR, std::string("Kinematic error: ") + e.what());
    }
}

void RobotMaster::RunLogicProgram() {
    if (!ipoLogic.IsReplayRunning()) return;
    logicState = workingState;
    ipoLogic.GetNextPosition(CycleTimeMS, override.load(), &logicState);
    for (int i = 0; i < DataTypes::RobotState::maxIOs; ++i)
        workingState.digitalOutputs[i] = logicState.digitalOutputs[i];
    for (int i = 0; i < DataTypes::RobotState::maxSignals; ++i)
        workingState.globalSignals[i] = logicState.globalSignals[i];
}

void RobotMaster::UpdateTool() {
    if (!kinematic) return;
    Tool& tool = kinematic->tool;
    tool.Update();
    workingState.toolValue[0] = tool.GetJoint();
    workingState.toolHWValue[0] = tool.GetHWPosition();
}

void RobotMaster::WriteOutputsToBus() {
    if (!hardware) return;
    const bool* outputs = workingState.digitalOutputs;
    for (int n = 0; n < DataTypes::RobotState::maxIOs; ++n) {
        // 0..9 on the first module record, 10..19 on the fourth (bits 0..9 of each),
        // 20..49 on the three DIO modules (bits 0..9 of each); 50..63 stay here.
        const bool rail = n >= 20;
        const int module = n < 10 ? 0 : (n < 20 ? 3 : n / 10 - 2);
        const int bit = n % 10;
        bool reaches = false;
        if (n < 20) {
            hardware->SetIO(module, bit, outputs[n]);
            reaches = hardware->ReachesIO(module, bit);
        } else if (n < 50) {
            hardware->SetRailIO(module, bit, outputs[n]);
            reaches = hardware->ReachesRailIO(module, bit);
        }
        if (outputs[n] && !reaches && !unreachableOutputReported[static_cast<std::size_t>(n)]) {
            unreachableOutputReported[static_cast<std::size_t>(n)] = true;
            LogSingleton::instance()->addErrorFormat(
                "RobotMaster: Output DOut%d is set but reaches no %s of this robot", n + 1,
                rail ? "I/O module" : "joint module");
        }
    }
}

void RobotMaster::ReadInputsAndEStop() {
    if (hardware) hardware->GetDigitalIORail(workingState.digitalInputs);
    const int32_t channel = DInChannel.load();
    if (!IsValidIONum(channel)) return;
    const bool level = workingState.digitalInputs[channel];
    if (level == lastEStopLevel.load()) return;
    lastEStopLevel = level;
    if (!level) {
        LogSingleton* log = LogSingleton::instance();
        log->add("RobotMaster: ***** ESTOP DETECTED! ***** Resetting outputs and applying brake!");
        log->DisplayAndServerSetMessage("EStop detected! Resetting outputs and applying brake!");
        DOutResetOnError(true);
    }
}

void RobotMaster::ReadBack() {
    if (kinematic) kinematic->GetJoints(workingState.jointSetPoint);
    if (hardware) {
        std::string text = hardware->GetErrorShort();
        if (IsEStopDetected() && text.find("ESTOP") == std::string::npos)
            text = text == "NoError" ? "ESTOP" : text + "_ESTOP";
        workingState.errorText = text;
        workingState.supply = static_cast<int>(hardware->GetSupplyVoltage());
        workingState.currentAll = hardware->GetTotalCurrent();
        workingState.eStop = hardware->GetEStop();
        hardware->GetErrorHexCode(workingState.jointErrorCodes);
        hardware->GetCurrentValues(workingState.jointCurrents);
        hardware->GetReferenceStatus(workingState.jointsReferenced, &workingState.referenceStatus);
    }
    const DataTypes::Vector3 position = workingState.pose.GetTranslation();
    tcpSpeed = (position - lastTcpPosition).Magnitude() * 1000.0f / static_cast<float>(CycleTimeMS);
    workingState.cartSpeed = tcpSpeed;
    lastTcpPosition = position;
}

void RobotMaster::WaitEndOfCycle(CycleClock& clock) {
    uint64_t now = NowUs();
    const uint64_t busy = now - clock.lastWaitEnd;
    const uint64_t busyCpu = cycleObserver ? ThreadCpuUs() - clock.lastWaitEndCpu : 0;
    busyTimeSum += static_cast<float>(busy);
    const uint64_t target = clock.lastCycleStart + static_cast<uint64_t>(CycleTimeMS) * 1000u;
    now = clock.wait.Until(target);
    const uint64_t previous = clock.lastCycleStart;
    clock.lastWaitEnd = now;
    clock.lastCycleStart = now;
    const int64_t cycleTime = static_cast<int64_t>(now - previous);
    // The first late cycle of a run in full, then a count with the longest every few seconds while they go on.
    const bool late = cycleTime > static_cast<int64_t>(CycleTimeMS) * 1200;
    const RepeatedEventLog::Decision report =
        late ? clock.lateCycles.Note(static_cast<double>(cycleTime)) : clock.lateCycles.Poll();
    if (report.action == RepeatedEventLog::Action::LogEvent) {
        LogSingleton::instance()->addFormat("RobotMaster::Loop - CycleTime exceeded: %d us",
                                            static_cast<int>(cycleTime));
    } else if (report.action == RepeatedEventLog::Action::LogSummary) {
        LogSingleton::instance()->addFormat("RobotMaster::Loop - CycleTime exceeded %llu more times, longest: %d us",
                                            static_cast<unsigned long long>(report.count),
                                            static_cast<int>(report.worst));
    }
    StoreCycleTime(cycleTime);
    if (cycleObserver) {
        clock.lastWaitEndCpu = ThreadCpuUs();
        cycleObserver(now, busy, busyCpu);
    }
}

void RobotMaster::StoreCycleTime(int64_t cycleTimeUs) {
    const int32_t value = cycleTimeUs > 2000000000 ? 2000000000 : static_cast<int32_t>(cycleTimeUs);
    if (value > maxCycleTime.load()) maxCycleTime = value;
    if (value < minCycleTime.load()) minCycleTime = value;
}

void RobotMaster::SendAndReadJoints() {
    if (hardware) {
        hardware->SetJoints(workingState);
        hardware->GetJoints(&workingState);
    }

    if (zeroTorqueEnabled) {
        bool any = false;
        for (int j = 0; j < 9; ++j) {
            if (!zeroTorqueAllowed[static_cast<std::size_t>(j)]) continue;
            workingState.jointSetPoint[j] = workingState.jointActual[j];
            any = true;
        }
        if (any && kinematic) kinematic->SetJoints(workingState.jointSetPoint, false);
    }

    if (kinematic) kinematic->GetPosition(&workingState);
    workingState.UpdateABC();

    int count = 0;
    int index = -1;
    std::string name;
    if (ipoMain.IsProgramLoaded()) ipoMain.GetProgramInformation(&name, &count, &index);
    workingState.programText = name;
    workingState.programCommandIndex = index;
    workingState.programCommandCount = count;
    workingState.programState = ipoMain.IsReplayRunning() ? 1 : (ipoMain.currentCommand >= 0 ? 2 : 0);

    CheckJogValues();
    CheckRunStateChanged();
    // Updated in place; only a store that finds it missing creates it (and tells the listeners).
    if (!programMemory.SetVariablePos("#position", workingState, false, Programs::StoreBoth))
        programMemory.SetVariablePos("#position", workingState, true, Programs::StoreBoth);
}

void RobotMaster::UpdateStatistics(CycleClock& clock) {
    if (++clock.statisticsCounter < 50) return;
    clock.statisticsCounter = 0;
    LogSingleton* log = LogSingleton::instance();
    const uint64_t now = NowUs();
    const uint64_t elapsed = now - clock.lastStatisticsTime;
    clock.lastStatisticsTime = now;
    if (elapsed == 0 || elapsed / 1000 >= 50000) return;

    frequency = static_cast<float>(50000000.0 / static_cast<double>(elapsed));
    workload = busyTimeSum / (static_cast<float>(CycleTimeMS) * 50000.0f);
    busyTimeSum = 0.0f;
    workingState.cpuTemperature = static_cast<float>(Hardware::BoardSupport::GetCPUTemperature());
    const int elapsedMs = static_cast<int>(elapsed / 1000);
    log->IncreaseSystemVariables(sysVarUpTimeComplete, elapsedMs);

    if (!IsRunningErrorText(workingState.errorText)) return;
    log->IncreaseSystemVariables(sysVarUpTimeEnabled, elapsedMs);
    float movement = 0.0f;
    for (int j = 0; j < 9; ++j) {
        const float setPoint = workingState.jointSetPoint[j];
        movement += std::fabs(setPoint - clock.lastJoint[j]);
        clock.lastJoint[j] = setPoint;
        const float d = setPoint - clock.referenceJoint[j];
        if ((!clock.rising[j] && d > 0.1f) || (clock.rising[j] && d < -0.1f)) {
            log->IncreaseSystemVariables(sysVarJ1 + j, 1);
            clock.referenceJoint[j] = setPoint;
            clock.rising[j] = d > 0.0f;
        } else if ((clock.rising[j] && d >= 0.0f) || (!clock.rising[j] && d <= 0.0f)) {
            clock.referenceJoint[j] = setPoint;
        }
    }
    if (movement > 0.1f) log->IncreaseSystemVariables(sysVarUpTimeMotion, elapsedMs);
}

// ---------------------------------------------------------------- steps of later parts

void RobotMaster::StepPLCReferencing() {
    LogSingleton* log = LogSingleton::instance();
    const PLCInterfaceSettings& plc = log->get_plcInterfaceNr();
    if (refStep >= 0 && refStep < PLCInterfaceSettings::RefSteps) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - lastRefTime.tv_sec >= plc.RefDelay(refStep)) {
            const int n = plc.JointToRef(refStep);
            const int index = n > 5 && hardware ? hardware->robotJointCount + n - 6 : n;
            if (index >= 0 && index < DataTypes::RobotState::maxModules && hardware && hardware->IsAxisModule(index)) {
                const int code = workingState.jointErrorCodes[index];
                if (code == 0 || refRetryCount >= 10) {
                    if (code == 0) {
                        log->add("Referencing joint " + std::to_string(n));
                    } else {
                        log->addFormat("Referencing joint %d despite error code %d", n, code);
                    }
                    ReferenceJoint(index);
                    clock_gettime(CLOCK_MONOTONIC, &lastRefTime);
                    refRetryCount = 0;
                    ++refStep;
                } else {
                    ++refRetryCount;
                }
            } else {
                refStep = PLCInterfaceSettings::RefSteps;
            }
        }
    }
    if (refStep >= PLCInterfaceSettings::RefSteps || refStep < 0) {
        refSequenceActive = false;
        refStep = 0;
    }
}

void RobotMaster::WritePLCOutputs() {
    const PLCInterfaceSettings& plc = LogSingleton::instance()->get_plcInterfaceNr();
    const bool noFault = IsRunningErrorText(workingState.errorText) && !IsEStopDetected();
    const bool running = ipoMain.IsReplayRunning();
    const bool referenced = hardware && hardware->referencedAll;
    // A channel outside 0..63 switches the signal off.
    const std::pair<int32_t, bool> outputs[] = {
        {plc.NoFaultNumber, noFault},        {plc.FaultNumber, !noFault},
        {plc.ProgramRunningNumber, running}, {plc.ProgramNotRunningNumber, !running && noFault},
        {plc.RobotIsReferenced, referenced},
    };
    for (const auto& output : outputs) {
        if (IsValidIONum(output.first)) workingState.digitalOutputs[output.first] = output.second;
    }
}

void RobotMaster::ServePLCInputs() {
    LogSingleton* log = LogSingleton::instance();
    const PLCInterfaceSettings& plc = log->get_plcInterfaceNr();
    enum { Enable, Play, Pause, RequestReference, ShutdownInput, AltStart, AltStop, Inputs };
    const int32_t channels[Inputs] = {plc.EnableNumber,   plc.PlayNumber,     plc.PauseNumber, plc.RequestReferenceNumber,
                                      plc.ShutdownNumber, plc.AltStartNumber, plc.AltStopNumber};
    bool rising[Inputs];
    for (int k = 0; k < Inputs; ++k) {
        const bool level = IsValidIONum(channels[k]) && workingState.digitalInputs[channels[k]];
        rising[k] = level && !plcInputLevels[k];
        plcInputLevels[k] = level;
    }
    // Both halves of every action: the log line and the line to the remote clients.
    auto say = [log](const char* logText, const char* clientText) {
        log->add(logText);
        log->ServerSetMessage(clientText);
    };
    auto refusedByEStop = [&](const char* logText) {
        if (!IsEStopDetected()) return false;
        log->add(logText);
        return true;
    };
    auto startReferenceSequence = [this]() {
        // A paused program ends too: it would resume from the joints as they were.
        if (ipoMain.GetRunState() != IPO::RunStateIdle) StopProgram(IPO::PLC);
        refStep = 0;
        refRetryCount = 0;
        refSequenceActive = true;
    };
    const bool motorsOn = hardware && hardware->GetMotorEnabled();

    if (rising[Enable] && !refusedByEStop("PLCInterface: Enable requested but E-Stop detected")) {
        ErrorStateProgram(IPO::PLC, false, "");
        if (!motorsOn) {
            say("PLCInterface: Enable", "PLC: Enable");
            Reset();
            EnableMotors(true);
        } else {
            say("PLCInterface: Reset", "PLC: Reset");
            Reset();
        }
    }
    if (rising[Play] && !refusedByEStop("PLCInterface: Play requested but E-Stop detected")) {
        if (ipoMain.IsReplayRunning()) {
            say("PLCInterface: Stop", "PLC: Stop");
            OperatorStop(IPO::PLC);
        } else {
            say("PLCInterface: Play", "PLC: Play");
            StartProgram();
        }
    }
    if (rising[Pause] && !refusedByEStop("PLCInterface: Pause requested but E-Stop detected")) {
        const int32_t runState = ipoMain.GetRunState();
        if (runState == IPO::RunStatePaused) {
            say("PLCInterface: Continue", "PLC: Continue");
            StartProgram();
        } else if (runState == IPO::RunStateRunning) {
            say("PLCInterface: Pause", "PLC: Pause");
            PauseProgram(IPO::PLC);
        }
    }
    if (rising[RequestReference] &&
        !refusedByEStop("PLCInterface: Reference all requested but E-Stop detected")) {
        say("PLCInterface: Starting Reference All Joints", "PLC: RefAll");
        startReferenceSequence();
    }
    if (rising[ShutdownInput]) {
        say("PLCInterface: Shutting down the system", "PLC: Shutdown");
        if (ipoMain.IsReplayRunning()) StopProgram(IPO::PLC);
        Shutdown::ShutdownSystem(true);
    }
    if (rising[AltStart] && !refusedByEStop("PLCInterface: AltStart requested but E-Stop detected")) {
        const bool referenced = hardware && (hardware->referencedAll || !hardware->referencingMandatory);
        if (!motorsOn) {
            say("PLCInterface: AltStart - Reset/Enable", "PLC: Reset/Enable");
            Reset();
            EnableMotors(true);
        } else if (referenced) {
            if (!ipoMain.IsReplayRunning()) {
                say("PLCInterface: AltStart - StartProgram", "PLC: Start");
                StartProgram();
            }
        } else if (!refSequenceActive) {
            say("PLCInterface: AltStart - RefAll", "PLC: RefAll");
            startReferenceSequence();
        } else {
            say("PLCInterface: RefAll already running", "RefAll already running");
        }
    }
    if (rising[AltStop] && !refusedByEStop("PLCInterface: AltStop requested but E-Stop detected")) {
        const int32_t runState = ipoMain.GetRunState();
        if (runState == IPO::RunStateRunning) {
            say("PLCInterface: AltStop - Pause", "PLC: Pause");
            PauseProgram(IPO::PLC);
        } else if (runState == IPO::RunStatePaused) {
            say("PLCInterface: AltStart - StopProgram", "PLC: Stop");
            OperatorStop(IPO::PLC);
        } else {
            say("PLCInterface: AltStart - Reset", "PLC: Reset");
            Reset();
        }
    }
}

void RobotMaster::ScanPLCTriggers() {
    LogSingleton* log = LogSingleton::instance();
    std::vector<std::string> programsToStart;
    {
        std::lock_guard<std::mutex> lock(plcMutex);
        const uint32_t count = std::min<uint32_t>(plcTriggerCount, static_cast<uint32_t>(plcTriggers.size()));
        for (uint32_t k = 0; k < count; ++k) {
            PLCTrigger::PLCInterfaceTrigger& trigger = plcTriggers[k];
            const int32_t channel = trigger.GetChannel();
            if (channel < 0) continue;
            const bool digital = trigger.GetSignalType() == PLCTrigger::PLCInterfaceTrigger::DIn;
            const int32_t limit = digital ? 64 : 100;  // digital inputs, global signals
            if (channel >= limit) {
                // Reported once per setting: every cycle would flood the rotating log.
                const int32_t key = channel * 2 + (digital ? 0 : 1);
                if (invalidTriggerReported[k] != key) {
                    invalidTriggerReported[k] = key;
                    log->addFormat("RobotMaster: PLC-Interface - Trigger %d has invalid channel %d", static_cast<int>(k),
                                   channel);
                }
                continue;
            }
            invalidTriggerReported[k] = -1;
            const bool level = digital ? workingState.digitalInputs[channel] : workingState.globalSignals[channel];
            if (trigger.IsActive() && level && !trigger.lastLevel) {
                log->addFormat("RobotMaster: PLC-Interface - Trigger %d detected!", static_cast<int>(k));
                if (trigger.GetTargetType() == PLCTrigger::PLCInterfaceTrigger::Program)
                    programsToStart.push_back(trigger.GetTargetFileRelative());
            }
            trigger.lastLevel = level;
        }
    }
    for (const std::string& file : programsToStart) {
        // One load at a time: a second one would delete the program the first is about to start.
        if (asyncLoads.load() > 0 || ipoMain.IsLoading()) {
            log->addError("RobotMaster: Could not load program, IPO is still loading a program!");
            continue;
        }
        LoadProgramAndStartAsync(file, IPO::PLC);
    }
}
