// The robot master's part of the robot configuration file: reading it at
// start-up, the timing mode, and the partial rewrite.

#include "controller/RobotMaster.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <tinyxml2.h>
#include <unistd.h>

#include "common/Filesystem.h"
#include "common/LogSingleton.h"
#include "kinematics/RobotKinematic.h"

using tinyxml2::XML_SUCCESS;
using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Numbers that are missing, unparsable or not finite count as not given.
bool QueryFinite(const XMLElement* element, const char* name, float& value) {
    float parsed = 0.0f;
    if (element->QueryFloatAttribute(name, &parsed) != XML_SUCCESS || !std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

bool QueryInt(const XMLElement* element, const char* name, int& value) {
    int parsed = 0;
    if (element->QueryIntAttribute(name, &parsed) != XML_SUCCESS) return false;
    value = parsed;
    return true;
}

bool QueryBool(const XMLElement* element, const char* name, bool& value) {
    bool parsed = false;
    if (element->QueryBoolAttribute(name, &parsed) != XML_SUCCESS) return false;
    value = parsed;
    return true;
}

int Fail(const std::string& message, const char* reason, int result) {
    LogSingleton* log = LogSingleton::instance();
    log->addError(message);
    log->set_seriousFailReason(reason);
    log->set_opMode(opModeSeriousFail);
    return result;
}

// Saves the document beside the file and renames it into place, so a crash
// or a full disk never leaves a half-written robot file.
bool SaveAtomically(XMLDocument& document, const std::string& path, std::string& error) {
    const Filesystem::AtomicWriteResult written = Filesystem::WriteAtomically(
        path, [&](std::FILE* file) { return document.SaveFile(file, false) == XML_SUCCESS; });
    if (!written.ok) error = written.moveFailed ? "Could not move temporary file" : "Could not write temporary file";
    return written.ok;
}

}  // namespace

int RobotMaster::ReadConfigFile(const std::string& path) {
    LogSingleton* log = LogSingleton::instance();
    robotFile = path;

    std::FILE* probe = std::fopen(path.c_str(), "r");
    if (probe == nullptr)
        return Fail("RobotMaster: could not find robot ini file: " + path, "31 Robot Ini file not found", 2);
    std::fclose(probe);

    XMLDocument document;
    if (document.LoadFile(path.c_str()) != XML_SUCCESS)
        return Fail("RobotMaster: could not read robot ini file XML code correctly: " + path,
                    "32 Robot Ini file not valid", 3);

    XMLElement* robot = document.FirstChildElement("Robot");
    if (robot == nullptr)
        return Fail("RobotMaster: line Robot not found in robot ini file!", "33 Robot Ini file not complete", 4);
    const XMLElement* bus = robot->FirstChildElement("BusConfiguration");
    if (bus == nullptr)
        return Fail("RobotMaster: line BusConfiguration not found in robot ini file!",
                    "34 Robot Ini file not complete", 5);

    const char* protocol = bus->Attribute("Protocol");
    if (protocol == nullptr) {
        protocolType = "VQTCANV2";
        return Fail("RobotMaster: attribute Protocol not found in line BusConfiguration of robot ini file!",
                    "35 Robot Ini file not complete", 6);
    }
    protocolType = protocol;

    int cycleTime = 0;
    QueryInt(bus, "CycleTimeMS", cycleTime);
    if (cycleTime < 1)
        return Fail("RobotMaster: attribute CycleTimeMS not found in line BusConfiguration of robot ini file!",
                    "36 Robot Ini file not complete", 7);
    CycleTimeMS = cycleTime;

    int timing = 0;
    QueryInt(bus, "TimingMode", timing);
    TimingMode = (timing == 1 || timing == 2) ? timing : 0;
    UpdateTimingMode();
    if (const char* precise = bus->Attribute("PreciseTiming")) {
        const std::string text = Lower(precise);
        PreciseTiming = text == "true" || text == "1";
        if (PreciseTiming) log->add("RobotMaster: Using precise timing. Warning, this can cause heavy CPU load.");
    }
    // Without it the preset margin holds, as for every file written before it existed.
    if (bus->Attribute("SpinMarginMS") != nullptr) {
        float margin = -1.0f;
        if (QueryFinite(bus, "SpinMarginMS", margin) && margin >= 0.0f && margin <= static_cast<float>(CycleTimeMS)) {
            SpinMarginUs = static_cast<int32_t>(std::lround(margin * 1000.0f));
        } else {
            log->addErrorFormat("RobotMaster: attribute \"SpinMarginMS\" in line \"BusConfiguration\" of robot ini "
                                "file is not a time from 0 to %d ms! Preset: %.2f ms",
                                CycleTimeMS, SpinMarginUs / 1000.0);
        }
    }

    const XMLElement* kin = robot->FirstChildElement("Kinematic");
    if (kin == nullptr)
        return Fail("RobotMaster: line Kinematic not found in robot ini file!", "37 Robot Ini file not complete", 8);
    const char* type = kin->Attribute("Type");
    if (type == nullptr)
        return Fail("RobotMaster: attribute \"Type\" not found in line \"Kinematic\" of robot ini file!",
                    "38 Robot Ini file not complete", 9);
    kinematicType = type;

    // ---- Brake ----
    DOutChannel = -1;
    if (const XMLElement* brake = robot->FirstChildElement("Brake")) {
        bool active = false;
        if (!QueryBool(brake, "Active", active))
            log->addError("RobotMaster: attribute \"Active\" not found in line \"Brake\" of robot ini file!");
        if (active) {
            int delay = DelayMS;
            if (QueryInt(brake, "DelayMS", delay)) DelayMS = delay;
            int channel = -1;
            QueryInt(brake, "DOutChannel", channel);
            // A channel beyond the 64 outputs could never be switched: treat it as missing.
            if (!IsValidIONum(channel)) {
                log->addError(
                    "RobotMaster: Brake functionality NOT activated! Attribute \"DOutChannel\" not found in line "
                    "\"Brake\" of robot ini file!");
            } else {
                DOutChannel = channel;
                log->addFormat("RobotMaster: Brake functionality activated on DOut %d with delay %d ms",
                               DOutChannel + 1, DelayMS);
            }
        } else {
            log->add("RobotMaster: Brake functionality NOT activated.");
        }
    } else {
        log->addError("RobotMaster: line \"Brake\" not found in robot ini file!");
    }

    // ---- E-stop monitoring ----
    DInChannel = -1;
    if (const XMLElement* estop = robot->FirstChildElement("EStopMonitoring")) {
        int channel = -1;
        QueryInt(estop, "DInChannel", channel);
        if (IsValidIONum(channel)) {
            DInChannel = channel;
            log->addFormat("RobotMaster: EStop monitoring enabled, using DIn %d", DInChannel + 1);
        }
    }

    // ---- Controller settings ----
    DebugMode = false;
    if (const XMLElement* own = robot->FirstChildElement("Korvella")) {
        if (!QueryBool(own, "DebugMode", DebugMode)) {
            DebugMode = false;
            log->addError("RobotMaster: attribute \"DebugMode\" not found in line \"Korvella\" of robot ini file!");
        }
        if (const char* port = own->Attribute("DisplayPort")) {
            DisplayPort = port;
        } else {
            log->addError("RobotMaster: attribute \"DisplayPort\" not found in line \"Korvella\" of robot ini file!");
        }
        if (own->Attribute("JogBias") != nullptr) {
            int bias = 0;
            if (QueryInt(own, "JogBias", bias)) {
                jogBias = bias;
            } else {
                log->addError("RobotMaster: Could not parse JogBias value");
            }
        }
        if (const char* button = own->Attribute("FunctionButtonRefAll")) {
            FunctionButtonRefAll = button;
            log->add("RobotMaster: FunctionButtonRefAll set to: " + FunctionButtonRefAll);
        } else {
            log->addError(
                "RobotMaster: attribute \"FunctionButtonRefAll\" (refall, settozero, alignmotors)  not found in line "
                "\"Korvella\" of robot ini file. Preset: refall.");
        }
        IgnoreConsistencyCheck = false;
        if (QueryBool(own, "IgnoreConsistencyCheck", IgnoreConsistencyCheck)) {
            log->add(IgnoreConsistencyCheck ? "RobotMaster: flagIgnoreConsistencyCheck set to true"
                                            : "RobotMaster: flagIgnoreConsistencyCheck set to false");
        } else {
            IgnoreConsistencyCheck = false;
            log->addError(
                "RobotMaster: attribute \"IgnoreConsistencyCheck\" (true, false) not found in line \"Korvella\" of "
                "robot ini file! Preset: false");
        }
    } else {
        log->addError("RobotMaster: line \"Korvella\" not found in robot ini file!");
    }
    ipoMain.flagIgnoreConsistencyCheck = IgnoreConsistencyCheck;

    // ---- Path generation ----
    bool optimize = true;
    int slicing = 50;
    if (const XMLElement* path = robot->FirstChildElement("PathGeneration")) {
        auto missing = [log](const char* name) {
            log->addError(std::string("RobotMaster: attribute \"") + name +
                          "\" not found in line \"PathGeneration\" of robot ini file!");
        };
        if (!QueryBool(path, "Optimize", optimize)) missing("Optimize");
        if (!QueryInt(path, "SlicingMS", slicing)) missing("SlicingMS");
        if (!QueryInt(path, "LookAhead", LookAhead)) missing("LookAhead");
        if (const char* generator = path->Attribute("GeneratorType")) {
            GeneratorType = std::string(generator) == "02Linear" ? 1 : 0;
        } else {
            missing("GeneratorType");
        }
        if (!QueryFinite(path, "SmoothDistCart", SmoothDistCart)) missing("SmoothDistCart");
        if (!QueryFinite(path, "SmoothDistJoint", SmoothDistJoint)) missing("SmoothDistJoint");
    } else {
        log->addError("RobotMaster: line \"PathGeneration\" not found in robot ini file!");
    }
    log->set_pathGeneratorFlagOptimize(optimize);
    log->set_pathGeneratorSlicingMS(slicing);

    // ---- Jog velocities ----
    float jogCart = 200.0f;
    float jogOri = 45.0f;
    float jogJoint = 1.0f;
    if (const XMLElement* velocities = robot->FirstChildElement("Velocities")) {
        auto note = [log](const char* name) {
            log->add(std::string("RobotMaster: attribute \"") + name +
                     "\" not found in line \"Velocities\" of robot ini file!");
        };
        if (!QueryFinite(velocities, "JogCart", jogCart)) note("JogCart");
        if (!QueryFinite(velocities, "JogOri", jogOri)) note("JogOri");
        if (!QueryFinite(velocities, "JogJoint", jogJoint)) note("JogJoint");
    } else {
        log->add("RobotMaster: line \"Velocities\" not found in robot file! Using default jog velocities.");
    }
    for (int i = 0; i < 3; ++i) {
        JogCart[i] = jogCart;
        JogOri[i] = jogOri;
    }
    JogJoint = jogJoint;
    log->addFormat("RobotMaster: JogVelocities: JogCart=%.2f, JogOri=%.2f, JogJoint=%.2f", jogCart, jogOri,
                   jogJoint);

    // ---- Jog accelerations ----
    if (const XMLElement* accel = robot->FirstChildElement("AccelerationJog")) {
        struct Rate {
            const char* name;
            float* value;
        };
        const Rate rates[] = {
            {"AccelJogJointDegPerSec2", &AccelJogJointDegPerSec2},
            {"FastDecelJogJointDegPerSec2", &FastDecelJogJointDegPerSec2},
            {"AccelJogCartMMPerSec2", &AccelJogCartMMPerSec2},
            {"FastDecelJogCartMMPerSec2", &FastDecelJogCartMMPerSec2},
            {"AccelJogCartDegPerSec2", &AccelJogCartDegPerSec2},
            {"FastDecelJogCartDegPerSec2", &FastDecelJogCartDegPerSec2},
        };
        for (const Rate& rate : rates) {
            if (!QueryFinite(accel, rate.name, *rate.value))
                log->add(std::string("RobotMaster: attribute \"") + rate.name +
                         "\" not found in line \"AccelerationJog\" of robot ini file!");
        }
        for (int i = 0; i < 9; ++i) {
            AccelJogJoint[i] = AccelJogJointDegPerSec2;
            FastDecelJogJoint[i] = FastDecelJogJointDegPerSec2;
        }
        char name[16];
        for (int i = 0; i < 9; ++i) {
            const bool robotJoint = i < 6;
            std::snprintf(name, sizeof(name), robotJoint ? "AJJA%d" : "AJJE%d", robotJoint ? i : i - 6);
            QueryFinite(accel, name, AccelJogJoint[i]);
            std::snprintf(name, sizeof(name), robotJoint ? "DJJA%d" : "DJJE%d", robotJoint ? i : i - 6);
            QueryFinite(accel, name, FastDecelJogJoint[i]);
        }
        if (!QueryBool(accel, "Active", AccelerationJogActive))
            log->addError("RobotMaster: attribute \"Active\" not found in line \"AccelerationJog\" of robot ini file!");
    } else {
        log->add("RobotMaster: line \"AccelerationJog\" not found in robot file! Using default mechanism.");
    }
    if (AccelerationJogActive)
        log->addFormat(
            "RobotMaster: JogAccelerations/FastDecay: Active=%d Joint=%.2f/%.2f [deg/s2], Cart=%.2f/%.2f [mm/s2], "
            "CartOri=%.2f/%.2f [deg/s2]",
            AccelerationJogActive, AccelJogJointDegPerSec2, FastDecelJogJointDegPerSec2, AccelJogCartMMPerSec2,
            FastDecelJogCartMMPerSec2, AccelJogCartDegPerSec2, FastDecelJogCartDegPerSec2);

    // ---- Zero torque ----
    const XMLElement* zeroTorque = robot->FirstChildElement("ZeroTorque");
    if (zeroTorque == nullptr) {
        log->add("RobotMaster: line \"ZeroTorque\" not found in robot file! Disabling Zero Torque mode.");
        return 0;
    }
    char name[8];
    for (int i = 1; i <= 16; ++i) {
        std::snprintf(name, sizeof(name), "A%d", i);
        const char* text = zeroTorque->Attribute(name);
        zeroTorqueAllowed[static_cast<std::size_t>(i - 1)] = text != nullptr && Lower(text) == "true";
    }
    if (IsZeroTorqueAllowed()) {
        std::string line = "RobotMaster: Zero Torque mode enabled for joints:";
        for (std::size_t i = 0; i < 9; ++i) line += zeroTorqueAllowed[i] ? " 1" : " 0";
        log->add(line);
    } else {
        log->add("RobotMaster: Zero Torque not enabled for any joint");
    }
    return 0;
}

void RobotMaster::UpdateTimingMode() {
    LogSingleton* log = LogSingleton::instance();
    if (TimingMode == 0) TimingMode = protocolType.compare(0, 7, "CANopen") == 0 ? 1 : 2;
    if (TimingMode == 1) {
        log->add("RobotMaster: Timing mode: Mode 1");
    } else if (TimingMode == 2) {
        log->add("RobotMaster: Timing mode: Mode 2");
    } else if (TimingMode == 0) {
        log->addError("RobotMaster: Timing mode auto detection failed");
        log->set_seriousFailReason("00 timing not init'd");
        log->set_opMode(opModeSeriousFail);
    } else {
        log->addError("RobotMaster: Timing mode: unknown mode");
        log->set_seriousFailReason("00 invalid timing");
        log->set_opMode(opModeSeriousFail);
    }
}

// ---------------------------------------------------------------- rewrite

void RobotMaster::UpdateConfigurationFile() {
    LogSingleton* log = LogSingleton::instance();
    if (!kinematic) return;
    // A remote client and the main loop may ask at the same time.
    std::lock_guard<std::mutex> lock(robotFileMutex);

    XMLDocument document;
    if (document.LoadFile(robotFile.c_str()) != XML_SUCCESS) {
        log->addError("RobotMaster: Updating robot configuration: Could not parse configuration file correctly: " +
                      robotFile);
        return;
    }
    XMLElement* robot = document.FirstChildElement("Robot");
    if (robot == nullptr) {
        log->addError("RobotMaster: line Robot not found in robot configuration file!");
        return;
    }

    kinematic->UpdateConfigurationFile(&document, robot);

    XMLElement* brake = robot->FirstChildElement("Brake");
    if (brake == nullptr) brake = robot->InsertNewChildElement("Brake");
    const int32_t doutChannel = DOutChannel.load();
    const int32_t delayMs = DelayMS.load();
    brake->SetAttribute("Active", doutChannel >= 0 ? "True" : "False");
    brake->SetAttribute("DOutChannel", doutChannel);
    brake->SetAttribute("DelayMS", static_cast<unsigned>(delayMs < 0 ? 0 : delayMs));

    XMLElement* estop = robot->FirstChildElement("EStopMonitoring");
    if (estop == nullptr) {
        estop = document.NewElement("EStopMonitoring");
        robot->InsertAfterChild(brake, estop);
    }
    estop->SetAttribute("DInChannel", DInChannel.load());

    XMLElement* limits = robot->FirstChildElement("SoftwareMinMax");
    if (limits == nullptr) limits = robot->InsertNewChildElement("SoftwareMinMax");
    float minMax[9][2] = {};
    kinematic->GetMinMaxValues(minMax);
    const int joints = std::min(kinematic->nrOfJoints, 6);
    char name[16];
    for (int i = 0; i < joints; ++i) {
        std::snprintf(name, sizeof(name), "A%dMin", i + 1);
        limits->SetAttribute(name, minMax[i][0]);
        std::snprintf(name, sizeof(name), "A%dMax", i + 1);
        limits->SetAttribute(name, minMax[i][1]);
    }

    std::string error;
    if (!SaveAtomically(document, robotFile, error)) {
        log->addError("RobotMaster: Error while updating robot configuration file: " + error);
        return;
    }
    sync();
    log->addFormat("RobotMaster: robot configuration file %s updated", robotFile);
}

void RobotMaster::QueueUpdateRobotFile() { UpdateConfigurationFile(); }

void RobotMaster::RequestRobotFileUpdate() {
    const int64_t now = static_cast<int64_t>(Now());
    int64_t expected = 0;
    robotFileFirstRequest.compare_exchange_strong(expected, now);
    robotFileLastRequest = now;
}

void RobotMaster::UpdateConfiguration() {
    const int64_t first = robotFileFirstRequest.load();
    if (first == 0) return;
    const int64_t now = static_cast<int64_t>(Now());
    if (now - first > robotFileMaxDelay || now - robotFileLastRequest.load() > robotFileQuietTime) {
        robotFileFirstRequest = 0;
        robotFileLastRequest = 0;
        UpdateConfigurationFile();
    }
}

void RobotMaster::SetClock(Clock newClock) { clock = std::move(newClock); }

std::time_t RobotMaster::Now() const { return clock ? clock() : std::time(nullptr); }
