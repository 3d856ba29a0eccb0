#include "hardware/HardwareProtocolVQTCAN.h"

#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"
#include "hardware/PauseCyclic.h"

#include "hardware/RobotFileReading.h"

#include <tinyxml2.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace Hardware {

namespace {

using Codec = VQTCANCodec;

std::mutex g_ExitMutex;
HardwareProtocolVQTCAN::ExitFunction g_Exit;

// Threads of the controller are running: leave without static destructors.
void ExitProcess(int status) {
    LogSingleton::instance()->Flush();
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace

HardwareProtocolVQTCAN::HardwareProtocolVQTCAN(RobotKinematic* kinematic_)
    : HardwareProtocolVQTCAN(kinematic_, nullptr) {}

HardwareProtocolVQTCAN::HardwareProtocolVQTCAN(RobotKinematic* kinematic_, CANInterfaceSocketCAN::ClockFunction clock)
    : HardwareProtocol(kinematic_, clock) {
    robotJointCount = 3;
    mainIoState[1] = 0;
}

HardwareProtocolVQTCAN::~HardwareProtocolVQTCAN() = default;

void HardwareProtocolVQTCAN::SetExitFunction(ExitFunction exitFunction) {
    std::lock_guard<std::mutex> lock(g_ExitMutex);
    g_Exit = std::move(exitFunction);
}

void HardwareProtocolVQTCAN::ConfigError(const std::string& line) {
    LogSingleton::instance()->addError(line);
    ExitFunction exitFunction;
    {
        std::lock_guard<std::mutex> lock(g_ExitMutex);
        exitFunction = g_Exit;
    }
    if (exitFunction) {
        exitFunction(ConfigErrorExitStatus);
    } else {
        ExitProcess(ConfigErrorExitStatus);
    }
}

int HardwareProtocolVQTCAN::RobotJoints() const {
    return robotJointCount < 0 ? 0 : (robotJointCount > 6 ? 6 : robotJointCount);
}

void HardwareProtocolVQTCAN::SendFrame(const VQTCANCodec::Frame& frame) {
    canInterface.WriteMessage(frame.id, frame.dlc, frame.data);
}

// ---------------------------------------------------------------- set-up

void HardwareProtocolVQTCAN::Init(const std::string& robotName_, const std::string& robotType_,
                                  const std::string& robotFilePath) {
    robotName = robotName_;
    robotType = robotType_;
    noError = false;
    cyclicSending = false;
    gapMs = 3.0f;
    static const uint8_t defaultIds[4] = {0x10, 0x20, 0x30, 0x08};
    for (int i = 0; i < 4; ++i) jointData[i].canId = defaultIds[i];
    for (int i = 0; i < 9; ++i) {
        jointData[i].gearScale = 190.0f;
        jointData[i].gearZero = 32000.0f;
        jointData[i].actualPosition = 0.0f;
        jointData[i].errorCode = Codec::kErrModuleDead;
        digitalOutputBytes[i] = 0;
    }
    ReadIniFile(robotFilePath);
}

bool HardwareProtocolVQTCAN::ReadIniFile(const std::string& path) {
    LogSingleton* log = LogSingleton::instance();
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        ConfigError("ProtocolVQTCAN: could not read ini correctly: " + path);
        return false;
    }
    const tinyxml2::XMLElement* robot = doc.FirstChildElement("Robot");
    if (robot == nullptr) {
        ConfigError("ProtocolVQTCAN: line Robot not found in project file!");
        return false;
    }
    const tinyxml2::XMLElement* bus = robot->FirstChildElement("BusConfiguration");
    if (bus == nullptr) {
        ConfigError("ProtocolVQTCAN: line BusConfiguration not found in project file!");
        return false;
    }
    float gap = -1.0f;
    if (!QueryFinite(bus, "GapMS", gap) || gap <= -1.0f) {
        ConfigError("ProtocolVQTCAN: attribute GapMS not found in line BusConfiguration of project file!");
        return false;
    }
    gapMs = gap;
    log->addFormat("ProtocolVQTCAN: GapMS: %.1f", gapMs);

    const tinyxml2::XMLElement* joints = bus->FirstChildElement("Joints");
    if (joints == nullptr) {
        ConfigError("ProtocolVQTCAN: line Joints not found in project file!");
        return false;
    }
    int count = -1;
    // More than six robot joints would run past the joint arrays of the robot state.
    if (joints->QueryIntAttribute("NrOfJoints", &count) != tinyxml2::XML_SUCCESS || count < 0 || count > 6) {
        ConfigError("ProtocolVQTCAN: attribute NrOfJoints not found in line Joints of project file!");
        return false;
    }
    robotJointCount = count;
    moduleCount = count;
    log->addFormat("Protocol VQTCAN: %d joints:", robotJointCount);

    for (int i = 0; i < robotJointCount; ++i) {
        char name[16];
        std::snprintf(name, sizeof(name), "Joint%d", i);
        const tinyxml2::XMLElement* j = bus->FirstChildElement(name);
        if (j == nullptr) {
            ConfigError("ProtocolVQTCAN: joint definition not found!");
            return false;
        }
        Hardware::jointData& r = jointData[i];
        int id = -1;
        // One byte of identifier; the status frame follows it.
        if (j->QueryIntAttribute("ID", &id) != tinyxml2::XML_SUCCESS || id < 0 || id > 0xFF) {
            ConfigError("ProtocolVQTCAN: joint ID not found!");
            return false;
        }
        r.canId = static_cast<uint8_t>(id);
        float v = 0.0f;
        // A zero scale would divide every read-back position by zero.
        if (!QueryFinite(j, "GearScale", v) || v == 0.0f) {
            ConfigError("ProtocolVQTCAN: joint GearScale not found!");
            return false;
        }
        r.gearScale = v;
        if (!QueryFinite(j, "GearZero", v)) {
            ConfigError("ProtocolVQTCAN: joint GearZero not found!");
            return false;
        }
        r.gearZero = v;
        log->addFormat("   Joint %d: CAN ID %d - GearScale %.3lf - GearZero %.3lf", i, id, r.gearScale.load(),
                       r.gearZero.load());
        if (QueryFinite(j, "CurrentScale", v)) {
            r.currentScale = v;
        } else {
            r.currentScale = 1.0f;
            log->addError("ProtocolVQTCANV: joint CurrentScale not found!");
        }
        if (QueryFinite(j, "CurrentZero", v)) {
            r.currentZero = v;
        } else {
            r.currentZero = 30.0f;
            log->addError("ProtocolVQTCANV: joint CurrentZero not found!");
        }
    }
    return true;
}

void HardwareProtocolVQTCAN::InitDIOModules(int) {}
void HardwareProtocolVQTCAN::SetDIOModuleIDs(unsigned char, unsigned char, unsigned char) {}

void HardwareProtocolVQTCAN::GetDIOModuleIDs(unsigned char& id1, unsigned char& id2, unsigned char& id3) {
    id1 = 0;
    id2 = 0;
    id3 = 0;
}

// ---------------------------------------------------------------- connection

bool HardwareProtocolVQTCAN::Connect() {
    LogSingleton::instance()->add("ProtocolVQTCAN: connecting");
    noError = false;
    for (auto& known : m_PositionKnown) known = false;
    if (!canInterface.IsConnected()) canInterface.Connect();
    const bool connected = canInterface.IsConnected();
    // Modules that kept power (a restart of the controller) may still be
    // enabled: they would follow the first set-points, which are no position
    // they reported. Motion starts with the operator's reset and enable.
    if (connected) EnableMotors(false);
    cyclicSending = connected;
    return connected;
}

void HardwareProtocolVQTCAN::Disconnect() {
    noError = false;
    if (canInterface.IsConnected()) canInterface.Disconnect();
}

bool HardwareProtocolVQTCAN::GetConnectionStatus() { return canInterface.IsConnected(); }

// ---------------------------------------------------------------- cycle

void HardwareProtocolVQTCAN::SetJoints(const DataTypes::RobotState& state) {
    if (!canInterface.IsConnected() || !cyclicSending.load()) return;
    const int joints = RobotJoints();
    for (int i = 0; i < joints; ++i) {
        Hardware::jointData& r = jointData[i];
        const float target = state.jointSetPoint[i];
        // A set-point that is not a number keeps the last one.
        if (std::isfinite(target)) r.setPosition = target;
        SendFrame(Codec::EncodePositionSetPoint(r.canId, VQTCANV2Codec::VelocityByte(r.setVelocity),
                                                Codec::PositionRaw(r.setPosition, r.gearScale, r.gearZero), counter,
                                                static_cast<uint8_t>(digitalOutputBytes[i].load())));
        counter = Codec::NextCounter(counter);
        if (gapMs > 0.0f) wait(gapMs);
    }
    ReadBack();
}

void HardwareProtocolVQTCAN::ReadBack() {
    const bool connected = canInterface.IsConnected();
    const int joints = RobotJoints();
    std::lock_guard<std::mutex> lock(m_TextMutex);
    bool all = joints > 0;
    for (int i = 0; i < joints; ++i) {
        Hardware::jointData& r = jointData[i];
        unsigned char data[8] = {};
        int dlc = 0;
        const int age = canInterface.GetLastMessage(r.canId + Codec::kStatusOffset, &dlc, data, nullptr);
        std::string text;
        if (dlc > 0 && age < StatusMaxAge) {
            const Codec::Status s = Codec::DecodeStatus(data);
            r.errorCode = s.errorBits;
            r.motorReady = s.errorBits == 0 ? 1 : 0;
            r.actualVelocity = static_cast<float>(s.velocity);
            r.actualPosition = Codec::PositionFromRaw(s.positionRaw, r.gearScale, r.gearZero);
            m_PositionKnown[i] = true;
            r.current = r.currentScale * static_cast<float>(s.current) + r.currentZero;
            r.digitalInputs = s.inputs;
            r.referencedV1 = s.referenced ? 1 : 0;
        } else {
            // Silent (or never heard): the last status would hide a dead joint.
            r.errorCode = connected ? Codec::kErrModuleDead : Codec::kErrBusDead;
            r.motorReady = 0;
            r.referencedV1 = 0;
        }
        all = all && r.referencedV1 != 0;
        Codec::DecodeErrorCode(r.errorCode, text, r.errorText);
    }
    referencedAll = all;
}

void HardwareProtocolVQTCAN::GetReferenceStatus(bool* referenced, int* allReferenced) {
    const int joints = RobotJoints();
    bool all = joints > 0;
    for (int i = 0; i < joints; ++i) {
        const bool r = jointData[i].referencedV1 != 0;
        if (referenced != nullptr) referenced[i] = r;
        all = all && r;
    }
    if (allReferenced != nullptr) *allReferenced = all ? 1 : 0;
}

void HardwareProtocolVQTCAN::GetJoints(DataTypes::RobotState* state) {
    if (state == nullptr) return;
    const int joints = RobotJoints();
    for (int i = 0; i < joints; ++i) state->jointActual[i] = jointData[i].actualPosition;
}

// ---------------------------------------------------------------- errors

void HardwareProtocolVQTCAN::GetError(std::string& status, std::string& shortCode) {
    noError = false;
    std::string text;
    if (canInterface.IsConnected()) {
        unsigned combined = 0;
        const int joints = RobotJoints();
        for (int i = 0; i < joints; ++i) combined |= jointData[i].errorCode;
        Codec::DecodeErrorCode(combined, text, shortCode);
        if (text == "no error") noError = true;
    } else {
        text = "not connected";
        shortCode = "NotConnected";
    }
    {
        std::lock_guard<std::mutex> lock(m_TextMutex);
        if (text != m_LastStatusText) {
            LogSingleton::instance()->addFormat("CAN status changed: %s", text);
            m_LastStatusText = text;
        }
    }
    status = "Status: " + text;
}

void HardwareProtocolVQTCAN::GetError(std::string* moduleErrors) {
    if (moduleErrors == nullptr) return;
    std::lock_guard<std::mutex> lock(m_TextMutex);
    const int joints = RobotJoints();
    for (int i = 0; i < joints; ++i) moduleErrors[i] = jointData[i].errorText;
}

void HardwareProtocolVQTCAN::GetErrorHexCode(int* codes) {
    if (codes == nullptr) return;
    const int joints = RobotJoints();
    for (int i = 0; i < joints; ++i) codes[i] = static_cast<int>(jointData[i].errorCode);
}

bool HardwareProtocolVQTCAN::GetMotorEnabled() {
    const int joints = RobotJoints();
    for (int i = 0; i < joints; ++i) {
        if (jointData[i].motorReady != 1) return false;
    }
    return true;
}

bool HardwareProtocolVQTCAN::JointPositionsKnown() {
    // Without a bus no set-point reaches a module: nothing to guard.
    if (!canInterface.IsConnected()) return true;
    const int joints = RobotJoints();
    for (int i = 0; i < joints; ++i)
        if (!m_PositionKnown[i]) return false;
    return true;
}

// ---------------------------------------------------------------- commands

void HardwareProtocolVQTCAN::ResetError() {
    PauseCyclic pause(pausedSequences, cyclicSending);
    const int joints = RobotJoints();
    for (int i = 0; i < joints; ++i) {
        SendFrame(Codec::EncodeResetError(jointData[i].canId));
        wait(0.5f);
    }
}

void HardwareProtocolVQTCAN::EnableMotors(bool enable) {
    LogSingleton::instance()->add(enable ? "Enabling motors" : "Disabling motors");
    PauseCyclic pause(pausedSequences, cyclicSending);
    const int joints = RobotJoints();
    for (int i = 0; i < joints; ++i) {
        const int id = jointData[i].canId;
        SendFrame(enable ? Codec::EncodeEnableMotor(id) : Codec::EncodeDisableMotor(id));
        wait(2);
    }
}

void HardwareProtocolVQTCAN::SetToZeroPos(int joint) {
    LogSingleton* log = LogSingleton::instance();
    if (!canInterface.IsConnected()) {
        log->add("ProtocolVQTCAN: Can not set to zero pos before connecting");
        return;
    }
    if (joint < 0 || joint >= RobotJoints()) return;
    PauseCyclic pause(pausedSequences, cyclicSending);
    SendFrame(Codec::EncodeSetToZero(jointData[joint].canId));
    wait(1);
    SendFrame(Codec::EncodeSetToZero(jointData[joint].canId));
    log->addFormat("Setting joint %d to zero pos", joint);
}

void HardwareProtocolVQTCAN::SetIO(int module, int bit, bool value) {
    if (!canInterface.IsConnected() || bit < 0 || bit > 3 || module < 0 || module >= RobotJoints()) return;
    if (value) {
        digitalOutputBytes[module] |= (1 << bit);
    } else {
        digitalOutputBytes[module] &= ~(1 << bit);
    }
}

}  // namespace Hardware
