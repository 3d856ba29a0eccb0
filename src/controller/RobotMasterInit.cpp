// Set-up of the robot master: the robot file, the kinematic model and the
// joint-bus driver (Init), and the second step that starts the robot thread
// (FinishInit).

#include "controller/RobotMaster.h"

#include <algorithm>
#include <cctype>

#include "common/LogSingleton.h"
#include "hardware/HardwareProtocol.h"
#include "hardware/HardwareProtocolFactory.h"
#include "hardware/HardwareProtocolVQTCANV2.h"
#include "kinematics/KinematicFactory.h"
#include "kinematics/RobotKinematic.h"
#include "kinematics/RobotKinematicDravo4.h"

void RobotMaster::Init(const std::string& name, const std::string& type, const std::string& robotFileName) {
    LogSingleton* log = LogSingleton::instance();
    robotName = name;
    robotType = type;
    const std::string path = log->get_rootPath() + "Data/Robots/" + robotFileName;

    const int result = ReadConfigFile(path);

    ipoMain.SetVelocitySetting(VelocitySetting);
    ipoLogic.SetVelocitySetting(VelocitySetting);
    for (IPO* ipo : {&ipoMain, &ipoLogic, &ipoDirect})
        ipo->InitPathGen(GeneratorType, SmoothDistCart, SmoothDistJoint, LookAhead);

    if (result != 0) {
        CreatePlaceholderObjects();
        return;
    }

    log->addFormat("RobotMaster: %d ms cycle time", CycleTimeMS);
    jogAccelJoint.Init(AccelerationJogActive, CycleTimeMS, AccelJogJoint, FastDecelJogJoint);
    jogAccelCart.Init(AccelerationJogActive, CycleTimeMS, AccelJogCartMMPerSec2, FastDecelJogCartMMPerSec2,
                      AccelJogCartDegPerSec2, FastDecelJogCartDegPerSec2);

    kinematic = KinematicFactory::Create(kinematicType);
    if (!kinematic) return;  // reason 10 is set; no model, no driver
    kinematic->Init(robotName, robotType, path, VelocitySetting);

    hardware = Hardware::HardwareProtocolFactory::Create(protocolType, kinematic.get());
    if (!hardware) return;  // reason 11 is set; a model but no driver
    hardware->Init(robotName, robotType, path);

    log->add(" ");
    log->add(DebugMode ? "Korvella DebugMode: On" : "Korvella DebugMode: Off");
    log->add("Set to true to run without or with partial hardware. Tag \"DebugMode\" in line \"Korvella\", robot "
             "ini file.");
    log->add(" ");

    InitGripper(log->get_robotGripper());
    wait(20);

    kinematic->cycleTimeMs = static_cast<double>(CycleTimeMS);
    for (int i = 0; i < 9; ++i) {
        kinematic->joints[i] = 0.0f;
        workingState.jointSetPoint[i] = kinematic->joints[i];
        jointMaxVelocity[i] = kinematic->maxJointVelocities[i];
    }
    wait(1);
}

void RobotMaster::CreatePlaceholderObjects() {
    // The robot file could not be read: the controller is in serious-fail
    // mode already. A model and a driver, neither initialised, keep the rest
    // of the start-up from meeting a missing object.
    kinematic = std::make_unique<RobotKinematicDravo4>();
    hardware = std::make_unique<Hardware::HardwareProtocolVQTCANV2>(kinematic.get());
}

void RobotMaster::InitExternalJoints() {
    for (int slot = 0; slot < 3; ++slot) {
        if (!HasExternalAxis(slot)) continue;
        const ExternalAxis axis = GetExternalAxis(slot);
        if (hardware) hardware->InitExternalJoint(axis);
        if (kinematic) kinematic->AddExternalAxis(axis);
    }
}

void RobotMaster::InitDIOModule(int32_t id) {
    if (hardware) hardware->InitDIOModules(id);
}

void RobotMaster::InitGripper(const std::string& name) {
    LogSingleton* log = LogSingleton::instance();
    log->add("Gripper initialization:");
    if (name.empty()) {
        log->add("No gripper attached to the robot (to change set type in project file).");
        return;
    }
    if (kinematic) {
        Tool& tool = kinematic->tool;
        tool.Init(name);
        std::string protocol = tool.protocol;
        std::transform(protocol.begin(), protocol.end(), protocol.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (protocol == "bus" && hardware) hardware->InitTool(1, tool.busId, tool.gearScale, tool.gearZero);
    }
    log->add("");
}

void RobotMaster::SyncJointVelData() {
    if (!kinematic) return;
    RobotKinematic& model = *kinematic;
    for (int i = 0; i < 9; ++i) {
        jointMaxVelocity[i] = model.maxJointVelocities[i];
        jointMaxAcceleration[i] = model.maxJointAccelerations[i];
        jointMaxAccelerationInc[i] = model.maxJointAccelerationIncs[i];
    }
    cartTransVelocity = model.velTrans;
    cartLinearAcceleration = model.accLin;
    cartLinearAccelerationInc = model.accLinInc;
    cartOriVelocity = model.velOri;
    cartOriAcceleration = model.accOri;
    cartOriAccelerationInc = model.accOriInc;
    {
        std::lock_guard<std::mutex> lock(axesMutex);
        for (int e = 0; e < 3; ++e) {
            if (!externalAxisDefined[e]) continue;
            jointMaxVelocity[6 + e] = externalAxes[e].velMax;
            jointMaxAcceleration[6 + e] = externalAxes[e].acc;
            jointMaxAccelerationInc[6 + e] = externalAxes[e].accInc;
        }
    }
    for (IPO* ipo : {&ipoMain, &ipoLogic, &ipoDirect}) {
        ipo->InitJointMaxValues(model.maxJointVelocities, model.maxJointAccelerations, model.maxJointAccelerationIncs,
                                static_cast<float>(model.velTrans), static_cast<float>(model.accLin),
                                static_cast<float>(model.accLinInc), model.velOri, model.accOri, model.accOriInc);
    }
}

void RobotMaster::FinishInit() {
    LogSingleton* log = LogSingleton::instance();
    wait(1);

    operationModesEnabled = log->Active.load();
    ManualMaxVelMMPerSec = log->ManualMaxVelMMPerSec.load();
    DInOpModeAuto = log->DInOpModeAuto.load();
    DInEnableMotionInManualMode = log->DInEnableMotionInManualMode.load();
    if (operationModesEnabled)
        log->addFormat(
            "RobotMaster: OperationModes: Active=%d ManualModeMaxVel=%.2f [mm/s]   DInCh-Auto: %d  "
            "DInCh-EnableManualMotion: %d",
            operationModesEnabled.load(), ManualMaxVelMMPerSec, DInOpModeAuto, DInEnableMotionInManualMode);

    SyncJointVelData();

    if (kinematic) {
        for (IPO* ipo : {&ipoMain, &ipoLogic, &ipoDirect}) ipo->SetKinematic(kinematic->clone());
        kinematicCopy.reset(kinematic->clone());
        programMemory.SetKinematic(kinematicCopy.get());
    }
    programMemory.SetRobotState(&workingState);

    programMemory.SetVariableSingle("#parts-good", log->PartsGood.load(), false);
    programMemory.SetVariableSingle("#parts-bad", log->PartsBad.load(), false);

    StartMainLoop();
    cycleSuspended = false;
}

void RobotMaster::StartMainLoop() {
    if (robotThread.joinable()) return;
    stopLoop = false;
    robotThreadActive = true;
    robotThread = std::thread([this]() {
        robotThreadId = std::this_thread::get_id();
        for (IPO* ipo : {&ipoMain, &ipoLogic, &ipoDirect}) ipo->SetStepThread(std::this_thread::get_id());
        ThreadRobotLoop();
    });
}

void RobotMaster::StopMainLoop() {
    stopLoop = true;
    if (!robotThread.joinable() || std::this_thread::get_id() == robotThread.get_id()) return;
    robotThread.join();
    robotThreadId = std::thread::id();
    robotThreadActive = false;
}
