// Set-up, configuration, connection and the receive callback of the v2/v3
// driver. The cycle and the command sequences live in their own files.

#include "hardware/HardwareProtocolVQTCANV2.h"

#include "common/LogSingleton.h"
#include "hardware/ExternalAxis.h"
#include "hardware/VQTCANV2Codec.h"

#include "hardware/RobotFileReading.h"

#include <tinyxml2.h>

#include <cmath>
#include <cstdio>

namespace Hardware {

namespace {

// The one live driver of this kind, for the free receive callback. The mutex
// keeps a callback from running into a driver that is being destroyed.
std::mutex g_InstanceMutex;
HardwareProtocolVQTCANV2* g_Instance = nullptr;

void ReceiveCallback(int id, int dlc, const unsigned char* data, long reserved, timespec time) {
    (void)reserved;
    std::lock_guard<std::mutex> lock(g_InstanceMutex);
    if (g_Instance != nullptr) g_Instance->ReceiveFrame(id, dlc, data, time);
}

}  // namespace

HardwareProtocolVQTCANV2::HardwareProtocolVQTCANV2(RobotKinematic* kinematic_)
    : HardwareProtocolVQTCANV2(kinematic_, nullptr) {}

HardwareProtocolVQTCANV2::HardwareProtocolVQTCANV2(RobotKinematic* kinematic_,
                                                   CANInterfaceSocketCAN::ClockFunction clock)
    : HardwareProtocol(kinematic_, clock) {
    robotJointCount = 6;
    referencedAll = true;
    referencingMandatory = true;
    mainIoState[4] = 3;
    std::lock_guard<std::mutex> lock(g_InstanceMutex);
    g_Instance = this;
}

HardwareProtocolVQTCANV2::~HardwareProtocolVQTCANV2() {
    canInterface.receiveCallback = nullptr;
    std::lock_guard<std::mutex> lock(g_InstanceMutex);
    if (g_Instance == this) g_Instance = nullptr;
}

void HardwareProtocolVQTCANV2::SetSleepFunction(SleepFunction sleep) { m_Sleep = std::move(sleep); }

void HardwareProtocolVQTCANV2::Sleep(float ms) {
    if (m_Sleep) {
        m_Sleep(ms);
    } else {
        wait(ms);
    }
}

void HardwareProtocolVQTCANV2::DecodeErrorCode(unsigned code, std::string& text, std::string& shortCode) {
    VQTCANV2Codec::DecodeErrorCode(code, text, shortCode);
}

int HardwareProtocolVQTCANV2::JointModuleCount() const {
    const int n = moduleCount - dioModuleCount;
    return n < 0 ? 0 : (n > MaxModules ? MaxModules : n);
}

bool HardwareProtocolVQTCANV2::IsRobotOrExternalJoint(int record) const {
    if (record >= 0 && record < robotJointCount) return true;
    const int first = FirstExternalRecord();
    return record >= first && record < first + externalJointCount;
}

void HardwareProtocolVQTCANV2::SendFrame(const VQTCANV2Codec::Frame& frame) {
    canInterface.WriteMessage(frame.id, frame.dlc, frame.data);
}

void HardwareProtocolVQTCANV2::SeriousFail(const std::string& errorLine, const char* reason) {
    SeriousFailure(errorLine, reason);
}

// ---------------------------------------------------------------- set-up

void HardwareProtocolVQTCANV2::Init(const std::string& robotName_, const std::string& robotType_,
                                    const std::string& robotFilePath) {
    robotName = robotName_;
    robotType = robotType_;
    for (int i = 0; i < 9; ++i) {
        Hardware::jointData& r = jointData[i];
        r.jointMode = JointModePosition;
        r.canId = 0;
        r.gearScale = 190.0f;
        r.gearZero = 0.0f;
        r.actualPosition = 0.0f;
        r.errorCode = VQTCANV2Codec::kErrBusDead;
        r.current = 0.0f;
        r.currentScale = 1.0f;
        r.currentZero = 0.0f;
        r.gearPlayOffset = 0.0f;
        r.gearPlayExtreme = 0.0f;
        r.tempScale = 0.0f;
        r.tempZero = 0.0f;
    }
    for (int& b : digitalOutputBytes) b = 0;
    for (int& b : railOutputBytes) b = 0;
    static const uint8_t defaultIds[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    for (int i = 0; i < 6; ++i) jointData[i].canId = defaultIds[i];

    ReadIniFile(robotFilePath);
    canInterface.receiveCallback = ReceiveCallback;
}

bool HardwareProtocolVQTCANV2::ReadIniFile(const std::string& path) {
    LogSingleton* log = LogSingleton::instance();
    log->add(protocolVersion == 3 ? "Reading robot config file for HardwareProtocol VQTCAN-V3..."
                                  : "Reading robot config file for HardwareProtocol VQTCAN-V2...");

    std::FILE* probe = std::fopen(path.c_str(), "r");
    if (probe == nullptr) {
        SeriousFail("File " + path + " not available! Aborting read()", "61 Protocol Ini file not found");
        return false;
    }
    std::fclose(probe);

    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        SeriousFail("ProtocolVQTCANV2: could not read ini correctly: " + path, "62 Protocol Ini file not valid");
        return false;
    }
    const tinyxml2::XMLElement* robot = doc.FirstChildElement("Robot");
    if (robot == nullptr) {
        SeriousFail("ProtocolVQTCANV2: line Robot not found in project file!", "63 Protocol Ini file not complete");
        return false;
    }
    const tinyxml2::XMLElement* bus = robot->FirstChildElement("BusConfiguration");
    if (bus == nullptr) {
        SeriousFail("ProtocolVQTCANV2: line BusConfiguration not found in project file!",
                    "64 Protocol Ini file not complete");
        return false;
    }
    float gap = -1.0f;
    if (!QueryFinite(bus, "GapMS", gap) || gap < 0.0f) {
        SeriousFail("ProtocolVQTCANV2: attribute GapMS not found in line BusConfiguration of project file!",
                    "65 Protocol Ini file not complete");
        return false;
    }
    gapMs = gap;
    log->addFormat("ProtocolVQTCANV2: GapMS: %.1f", gapMs);

    int dumpSize = 0;
    if (bus->QueryIntAttribute("CanDumpSize", &dumpSize) == tinyxml2::XML_SUCCESS && dumpSize > 0) {
        // The ring is allocated at once: a mistyped size must not exhaust memory.
        if (dumpSize > MaxCanDumpSize) {
            log->addErrorFormat("ProtocolVQTCANV2: CanDumpSize %d too large, using %d", dumpSize, MaxCanDumpSize);
            dumpSize = MaxCanDumpSize;
        }
        canInterface.SetCanDumpSize(static_cast<unsigned int>(dumpSize));
    }

    const tinyxml2::XMLElement* joints = bus->FirstChildElement("Joints");
    if (joints == nullptr) {
        SeriousFail("ProtocolVQTCANV2: line Joints not found in project file!", "66 Protocol Ini file not complete");
        return false;
    }
    int count = -1;
    // More than six robot joints would run into the external axes' slots of
    // the joint arrays.
    if (joints->QueryIntAttribute("NrOfJoints", &count) != tinyxml2::XML_SUCCESS || count < 0 || count > 6) {
        SeriousFail("ProtocolVQTCANV2: attribute NrOfJoints not found in line Joints of project file!",
                    "67 Protocol Ini file not complete");
        return false;
    }
    robotJointCount = count;
    UpdateModuleCount();
    log->addFormat("Protocol VQTCANV2: %d joints:", robotJointCount);

    for (int i = 0; i < robotJointCount; ++i) {
        char name[16];
        std::snprintf(name, sizeof(name), "Joint%d", i);
        const tinyxml2::XMLElement* j = bus->FirstChildElement(name);
        if (j == nullptr) {
            SeriousFail("ProtocolVQTCANV2: joint definition not found!", "68 Protocol Ini file not complete");
            return false;
        }
        Hardware::jointData& r = jointData[i];
        int id = -1;
        // The identifier is one byte; its status and temperature frames follow it.
        if (j->QueryIntAttribute("ID", &id) != tinyxml2::XML_SUCCESS || id < 0 || id > 0xFF) {
            SeriousFail("ProtocolVQTCAN: joint ID not found!", "69 Protocol Ini file not complete");
            return false;
        }
        r.canId = static_cast<uint8_t>(id);
        float v = 0.0f;
        // A zero scale would divide every read-back position by zero.
        if (!QueryFinite(j, "GearScale", v) || v == 0.0f) {
            SeriousFail("ProtocolVQTCAN: joint GearScale not found!", "70 Protocol Ini file not complete");
            return false;
        }
        r.gearScale = v;
        if (!QueryFinite(j, "GearZero", v)) {
            SeriousFail("ProtocolVQTCAN: joint GearZero not found!", "71 Protocol Ini file not complete");
            return false;
        }
        r.gearZero = v;
        if (QueryFinite(j, "GearPlay", v)) {
            r.gearPlay = v;
        } else {
            log->addError("ProtocolVQTCAN: joint GearPlay not found!");
        }
        if (QueryFinite(j, "GearPlayInc", v)) {
            r.gearPlayInc = v;
        } else {
            log->addError("ProtocolVQTCAN: joint GearPlayInc not found!");
        }
        r.tempScale = QueryFinite(j, "TempScale", v) ? v : 0.3125f;
        r.tempZero = QueryFinite(j, "TempZero", v) ? v : -25.6f;
        if (QueryFinite(j, "CurrentScale", v)) {
            r.currentScale = v;
        } else {
            r.currentScale = 0.0f;
            log->addError("ProtocolVQTCANV2: joint CurrentScale not found!");
        }
        if (QueryFinite(j, "CurrentZero", v)) {
            r.currentZero = v;
        } else {
            r.currentZero = 0.0f;
            log->addError("ProtocolVQTCANV2: joint CurrentZero not found!");
        }
        log->addFormat(
            "   Joint %d: CAN ID %d - GearScale %.3lf - GearZero %.3lf - GearPlay %.3lf - GearPlayInc %.3lf - "
            "TempScale %.3lf - TempZero %.3lf",
            i, static_cast<int>(r.canId), r.gearScale, r.gearZero, r.gearPlay, r.gearPlayInc, r.tempScale,
            r.tempZero);
    }

    const tinyxml2::XMLElement* referencing = robot->FirstChildElement("Referencing");
    if (referencing == nullptr) {
        SeriousFail("ProtocolVQTCAN: line Referencing not found in project file!", "72 Protocol Ini file not complete");
        return false;
    }
    bool mandatory = true;
    referencing->QueryBoolAttribute("Mandatory", &mandatory);
    referencingMandatory = mandatory;
    log->add(referencingMandatory ? "Protocol VQTCANV2: Referencing mandatory: true"
                                  : "Protocol VQTCANV2: Referencing mandatory: false");
    return true;
}

void HardwareProtocolVQTCANV2::InitTool(int toolModuleCount, int canId, float gearScale, float gearZero) {
    LogSingleton* log = LogSingleton::instance();
    const int index = robotJointCount + toolModuleCount - 1;
    if (toolModuleCount < 0 || index >= MaxModules || canId < 0 || canId > 0xFF) {
        log->addErrorFormat("ProtocolVQTCANV2: cannot add %d tool modules on CAN ID %d", toolModuleCount, canId);
        return;
    }
    toolJointCount = toolModuleCount;
    UpdateModuleCount();
    if (toolModuleCount > 0) {
        Hardware::jointData& r = jointData[index];
        r.canId = static_cast<uint8_t>(canId);
        r.gearScale = gearScale;
        r.gearZero = gearZero;
        r.actualPosition = 0.0f;
        r.errorCode = VQTCANV2Codec::kErrBusDead;
    }
    const Hardware::jointData& shown = jointData[robotJointCount < MaxModules ? robotJointCount : MaxModules - 1];
    log->addFormat("   Gripper Joint: CAN ID %d - GearScale %.3lf - GearZero %.3lf", static_cast<int>(shown.canId),
                   shown.gearScale, shown.gearZero);
}

void HardwareProtocolVQTCANV2::InitExternalJoint(const ExternalAxis& axis) {
    LogSingleton* log = LogSingleton::instance();
    if (externalJointCount >= 3) {
        log->add("Cannot add more then 3 External Joints!");
        return;
    }
    if (moduleCount >= MaxModules || axis.canId < 0 || axis.canId > 0xFF) {
        log->addErrorFormat("ProtocolVQTCANV2: cannot add external joint on CAN ID %d", axis.canId);
        return;
    }
    ++externalJointCount;
    UpdateModuleCount();
    Hardware::jointData& r = jointData[moduleCount - 1];
    r.canId = static_cast<uint8_t>(axis.canId);
    switch (axis.motionMode) {
    case JointModePosition:
    case JointModeTorque:
    case JointModeVelocity:
        r.jointMode = axis.motionMode;
        break;
    default:
        r.jointMode = JointModePosition;
        break;
    }
    r.errorCode = VQTCANV2Codec::kErrBusDead;
    r.gearZero = 0.0f;
    r.gearScale = static_cast<float>(axis.gearScale);
    r.actualPosition = 0.0f;
    r.tempScale = 0.3125f;
    r.tempZero = -25.6f;
    r.currentScale = 1.0f;
    r.currentZero = 0.0f;
    r.maxVelocity = static_cast<float>(axis.velMax);
    log->addFormat("   External Joint %d: CAN ID %d - GearScale %.3lf - TempScale %.3lf - TempZero %.3lf",
                   externalJointCount, static_cast<int>(r.canId), r.gearScale, r.tempScale, r.tempZero);
}

void HardwareProtocolVQTCANV2::InitDIOModules(int canId) {
    LogSingleton* log = LogSingleton::instance();
    if (dioModuleCount >= 3) {
        log->addError("ERROR: Cannot add more than 3 DIO modules!");
        return;
    }
    if (moduleCount >= MaxModules || canId < 0 || canId > 0xFF) {
        log->addErrorFormat("ProtocolVQTCANV2: cannot add DIO module on CAN ID %d", canId);
        return;
    }
    dioModuleIds[dioModuleCount] = static_cast<uint32_t>(canId);
    ++dioModuleCount;
    UpdateModuleCount();
    Hardware::jointData& r = jointData[moduleCount - 1];
    r.kind = 1;
    r.canId = static_cast<uint8_t>(canId);
    log->addFormat("DIO module added on CAN ID %d.", canId);
}

void HardwareProtocolVQTCANV2::InitPlatform(int wheelCount) {
    LogSingleton* log = LogSingleton::instance();
    static const uint8_t ids[4] = {0xA0, 0xB0, 0xC0, 0xD0};
    static const float scales[4] = {500.0f, -500.0f, -500.0f, 500.0f};
    const int first = FirstPlatformRecord();
    if (wheelCount < 0 || wheelCount > 4 || first + 4 > MaxModules) {
        log->addErrorFormat("ProtocolVQTCANV2: cannot add %d platform joints", wheelCount);
        return;
    }
    platformJointCount = wheelCount;
    for (int k = 0; k < 4; ++k) {
        Hardware::jointData& r = jointData[first + k];
        r.canId = ids[k];
        r.gearScale = scales[k];
        r.gearZero = 0.0f;
        r.actualPosition = 0.0f;
        r.errorCode = VQTCANV2Codec::kErrBusDead;
        r.tempScale = 0.3125f;
        r.tempZero = -25.6f;
        r.currentScale = 1.0f;
        r.currentZero = 0.0f;
        log->addFormat("   Platform Joint %d: CAN ID %d - GearScale %.3lf - GearZero %.3lf - TempScale %.3lf - "
                       "TempZero %.3lf",
                       k, static_cast<int>(r.canId), r.gearScale, r.gearZero, r.tempScale, r.tempZero);
    }
    UpdateModuleCount();
}

void HardwareProtocolVQTCANV2::SetDIOModuleIDs(unsigned char id1, unsigned char id2, unsigned char id3) {
    LogSingleton::instance()->addFormat("Setting DIO module IDs: %d %d %d (will be applied after restart)", id1, id2,
                                        id3);
    dioModuleIds[0] = id1;
    dioModuleIds[1] = id2;
    dioModuleIds[2] = id3;
}

void HardwareProtocolVQTCANV2::GetDIOModuleIDs(unsigned char& id1, unsigned char& id2, unsigned char& id3) {
    id1 = static_cast<unsigned char>(dioModuleIds[0] & 0xFF);
    id2 = static_cast<unsigned char>(dioModuleIds[1] & 0xFF);
    id3 = static_cast<unsigned char>(dioModuleIds[2] & 0xFF);
}

// ---------------------------------------------------------------- connection

bool HardwareProtocolVQTCANV2::Connect() {
    LogSingleton* log = LogSingleton::instance();
    log->add("ProtocolVQTCANV2: connecting");
    noError = false;
    for (auto& known : m_PositionKnown) known = false;
    // Modules that kept their power (a restart of the controller alone) may be
    // enabled: none is driven anywhere before the operator's reset.
    m_HoldAtReported = true;
    if (!canInterface.IsConnected()) canInterface.Connect();
    const bool connected = canInterface.IsConnected();
    cyclicSending = connected;
    log->add(connected ? "ProtocolVQTCANV2: Connection succeeded" : "ProtocolVQTCANV2: No connection!");
    return connected;
}

void HardwareProtocolVQTCANV2::Disconnect() {
    noError = false;
    if (canInterface.IsConnected()) canInterface.Disconnect();
}

bool HardwareProtocolVQTCANV2::GetConnectionStatus() {
    if (noAnswerCycles > NoAnswerLimit) {
        Disconnect();
        noAnswerCycles = 0;
    }
    return canInterface.IsConnected();
}

// ---------------------------------------------------------------- receive callback

void HardwareProtocolVQTCANV2::ReceiveFrame(int id, int dlc, const unsigned char* data, const timespec& time) {
    if (dlc < 1 || data == nullptr) return;
    LogSingleton* log = LogSingleton::instance();

    // Set-point frames on a module's identifier come only from a bus master:
    // another controller drives our modules.
    if (VQTCANV2Codec::IsMasterCommand(data[0]) && log->get_opMode() == opModeNormal) {
        const int records = moduleCount < MaxModules ? moduleCount : MaxModules;
        for (int i = 0; i < records; ++i) {
            if (jointData[i].canId == id) {
                log->addError("ERROR - alien CAN command detected - ABORT!");
                log->set_seriousFailReason("79 alien CAN msg");
                log->set_opMode(opModeSeriousFail);
                break;
            }
        }
    }

    const int axis = VQTCANV2Codec::AxisNumber(id);
    if (VQTCANV2Codec::IsStartupMessage(data)) {
        const uint8_t hw = VQTCANV2Codec::StartupHardwareId(data);
        const int version = VQTCANV2Codec::StartupFirmwareVersion(data);
        log->addFormat("VQTCAN: Received startup message on ID 0x%X (axis %d?): HW-ID '0x%X' '%s', version 0x%X (%d)",
                       id, axis, static_cast<int>(hw), VQTCANV2Codec::HardwareIdLabel(hw), version, version);
        return;
    }

    VQTCANV2Codec::ErrorEvent event;
    if (!VQTCANV2Codec::DecodeErrorEvent(data, event)) return;
    const int w1 = event.word1;
    const int w2 = event.word2;
    if (const char* format = VQTCANV2Codec::ErrorEventFormat(event.code)) {
        log->addFormat(format, id, axis, w1, w2);
        return;
    }

    auto it = unknownErrors.find(id);
    if (it != unknownErrors.end() && it->second.code == event.code && time.tv_sec - it->second.time.tv_sec <= 10) {
        LastUnknownErrorData& last = it->second;
        ++last.count;
        if (VQTCANV2Codec::LogRepeatedEvent(last.count)) {
            log->addFormat(VQTCANV2Codec::RepeatedErrorEventFormat(), static_cast<int>(event.code), id, axis, w1, w2,
                           last.count);
        }
        return;
    }
    LastUnknownErrorData& record = unknownErrors[id];
    record.code = event.code;
    record.word1 = event.word1;
    record.word2 = event.word2;
    record.time = time;
    record.count = 1;
    log->addFormat(VQTCANV2Codec::UnknownErrorEventFormat(), static_cast<int>(event.code), id, axis, w1, w2);
}

}  // namespace Hardware
