// Set-up, configuration, parameter file, connection and receive dispatch of
// the CANopen driver. Drive control lives in HardwareProtocolCANopenControl.cpp.

#include "hardware/HardwareProtocolCANopen.h"

#include "common/LogSingleton.h"
#include "hardware/ExternalAxis.h"

#include "hardware/RobotFileReading.h"

#include <tinyxml2.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace Hardware {

HardwareProtocolCANopen* ctxHWPCANopen = nullptr;

namespace {

// Guards ctxHWPCANopen: a frame never reaches a driver that is being destroyed.
std::mutex g_LiveMutex;

timespec MonotonicNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

// A whole hexadecimal attribute, or -1 (absent or not a number).
long HexAttribute(const tinyxml2::XMLElement* e, const char* name) {
    const char* text = e->Attribute(name);
    if (text == nullptr || *text == '\0') return -1;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 16);
    if (errno != 0 || end == text || *end != '\0') return -1;
    return v;
}

}  // namespace

void ReceiveCallbackCANopen(int id, int dlc, const unsigned char* data, long reserved, timespec time) {
    std::lock_guard<std::mutex> lock(g_LiveMutex);
    if (ctxHWPCANopen != nullptr) ctxHWPCANopen->ReceiveCallback(id, dlc, data, reserved, time);
}

std::string ControlWordStatusToString(int status) {
    switch (status) {
        case ControlWordFault: return "fault";
        case ControlWordQuickStopActive: return "quick_stop_active";
        case ControlWordSwitchOnDisabled: return "switch_on_disabled";
        case ControlWordReadyToSwitchOn: return "ready_to_switch_on";
        case ControlWordSwitchedOn: return "switched_on";
        case ControlWordOperationEnabled: return "operation_enabled";
        default: return "unknown";
    }
}

ControlWordStatus ControlWordStringToStatus(const std::string& text) {
    if (text == "quick_stop_active") return ControlWordQuickStopActive;
    if (text == "switch_on_disabled") return ControlWordSwitchOnDisabled;
    if (text == "ready_to_switch_on") return ControlWordReadyToSwitchOn;
    if (text == "switched_on") return ControlWordSwitchedOn;
    if (text == "operation_enabled") return ControlWordOperationEnabled;
    return ControlWordFault;
}

HardwareProtocolCANopen::HardwareProtocolCANopen(RobotKinematic* kinematic_, CANopenProfile profile_)
    : HardwareProtocolCANopen(kinematic_, profile_, nullptr) {}

HardwareProtocolCANopen::HardwareProtocolCANopen(RobotKinematic* kinematic_, CANopenProfile profile_,
                                                 CANInterfaceSocketCAN::ClockFunction clock)
    : HardwareProtocol(kinematic_, clock),
      profile(profile_),
      sdo(&canInterface, false),
      pdo(&canInterface, &sdo, false),
      m_Clock(clock != nullptr ? clock : &MonotonicNow) {
    for (auto& n : nodeMap) n = -1;
    for (int i = 0; i < MaxModules; ++i) {
        Hardware::jointData& r = jointData[i];
        r.canId = static_cast<uint8_t>(i + 1);
        r.gearScale = 100.0f;
        r.gearZero = 0.0f;
        r.actualPosition = 0.0f;
        r.errorCode = 0x100;
        r.current = 0.0f;
        r.gearPlayOffset = 0.0f;
        r.gearPlayExtreme = 0.0f;
    }
    std::lock_guard<std::mutex> lock(g_LiveMutex);
    ctxHWPCANopen = this;
    canInterface.receiveCallback = ReceiveCallbackCANopen;
}

HardwareProtocolCANopen::~HardwareProtocolCANopen() {
    canInterface.receiveCallback = nullptr;
    std::lock_guard<std::mutex> lock(g_LiveMutex);
    if (ctxHWPCANopen == this) ctxHWPCANopen = nullptr;
}

HardwareProtocolCANopen::Operation::Operation(HardwareProtocolCANopen& driver) : m_Driver(driver) {
    m_Driver.sdo.BeginOperation();
}

HardwareProtocolCANopen::Operation::~Operation() {
    for (int node : m_Driver.sdo.EndOperation()) {
        const int index = m_Driver.nodeMap[node].load();
        if (index < 0 || index >= m_Driver.Records() || m_Driver.jointData[index].kind != 0) continue;
        m_Driver.sdo.SetDriveError(m_Driver.jointData[index],
                                   HardwareProtocolCANopenSDO::AbortCodeText(HardwareProtocolCANopenSDO::AbortTimeout));
    }
}

void HardwareProtocolCANopen::SetSleepFunction(SleepFunction sleep) {
    m_Sleep = std::move(sleep);
    if (m_Sleep) {
        SleepFunction copy = m_Sleep;
        pdo.SetSleepFunction([copy](int ms) { copy(static_cast<float>(ms)); });
    } else {
        pdo.SetSleepFunction(nullptr);
    }
}

void HardwareProtocolCANopen::Sleep(float ms) {
    if (m_Sleep) {
        m_Sleep(ms);
    } else {
        wait(ms);
    }
}

int64_t HardwareProtocolCANopen::NowUs() const { return ToMicroSec(m_Clock()); }

bool HardwareProtocolCANopen::IsFirmware1650(const JointRecord& record) const {
    return sdo.FirmwareVersion(record).find("FIR-v1650") != std::string::npos;
}

int HardwareProtocolCANopen::Records() const {
    return moduleCount < 0 ? 0 : (moduleCount > MaxModules ? MaxModules : moduleCount);
}

int HardwareProtocolCANopen::DriveCount() const {
    const int n = Records() - dioModuleCount;
    return n < 0 ? 0 : n;
}

int HardwareProtocolCANopen::FirstDIORecord() const { return DriveCount(); }

bool HardwareProtocolCANopen::IsRobotOrExternalJoint(int record) const {
    return record >= 0 && record < robotJointCount + externalJointCount && record < MaxModules;
}

std::string HardwareProtocolCANopen::StateText(int record) const {
    if (record < 0 || record >= MaxModules) return std::string();
    return sdo.StateText(jointData[record]);
}

std::string HardwareProtocolCANopen::DeviceName(int record) const {
    if (record < 0 || record >= MaxModules) return std::string();
    return sdo.DeviceName(jointData[record]);
}

std::string HardwareProtocolCANopen::FirmwareVersion(int record) const {
    if (record < 0 || record >= MaxModules) return std::string();
    return sdo.FirmwareVersion(jointData[record]);
}

// ---------------------------------------------------------------- configuration

void HardwareProtocolCANopen::Init(const std::string& robotName_, const std::string& robotType_,
                                   const std::string& robotFilePath) {
    robotName = robotName_;
    robotType = robotType_;
    ReadConfigFile(robotFilePath);
    UpdateModuleCount();
}

bool HardwareProtocolCANopen::ReadConfigFile(const std::string& path) {
    LogSingleton* log = LogSingleton::instance();
    std::FILE* probe = std::fopen(path.c_str(), "r");
    if (probe == nullptr) {
        SeriousFailure("File " + path + " not available! Aborting read()", "61 Protocol Ini file not found");
        return false;
    }
    std::fclose(probe);
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        SeriousFailure("ProtocolCANopen: could not read ini correctly: " + path, "62 Protocol Ini file not valid");
        return false;
    }
    const tinyxml2::XMLElement* robot = doc.FirstChildElement("Robot");
    if (robot == nullptr) {
        SeriousFailure("ProtocolCANopen: line Robot not found in robot ini file!", "33 Robot Ini file not complete");
        return false;
    }
    const tinyxml2::XMLElement* bus = robot->FirstChildElement("BusConfiguration");
    if (bus == nullptr) {
        SeriousFailure("ProtocolCANopen: line BusConfiguration not found in robot ini file!",
                    "34 Robot Ini file not complete");
        return false;
    }
    int cycle = 0;
    if (bus->QueryIntAttribute("CycleTimeMS", &cycle) != tinyxml2::XML_SUCCESS || cycle <= 0) {
        SeriousFailure("ProtocolCANopen: attribute CycleTimeMS not found in line BusConfiguration of robot ini file!",
                    "36 Robot Ini file not complete");
        return false;
    }
    cycleTimeMs = cycle;
    log->addFormat("ProtocolCANopen: cycletime: %d ms", cycleTimeMs);
    float v = 0.0f;
    if (!QueryFinite(bus, "GapMS", v) || v < 0.0f) {
        SeriousFailure("ProtocolCANopen: attribute GapMS not found in line BusConfiguration of robot ini file!",
                    "65 Protocol Ini file not complete");
        return false;
    }
    gapMs = v;
    if (QueryFinite(bus, "SyncGapMS", v) && v >= 0.0f) {
        syncGapMs = v;
    } else {
        syncGapMs = 0.0f;
        log->addFormat("ProtocolCANopen: attribute SyncGapMS not found in line BusConfiguration of robot ini file! "
                       "Using default value %d ms.",
                       0);
    }
    bool flag = true;
    if (bus->QueryBoolAttribute("UsePDOs", &flag) == tinyxml2::XML_SUCCESS) {
        usePDOs = flag;
    } else {
        usePDOs = true;
        log->add("ProtocolCANopen: attribute UsePDOs not found in line BusConfiguration of robot ini file!");
    }
    flag = false;
    allowAlienMessages = bus->QueryBoolAttribute("AllowAlienMessages", &flag) == tinyxml2::XML_SUCCESS && flag;
    if (allowAlienMessages) {
        log->add("ProtocolCANopen: WARNING: Alien CAN message check is disabled!");
        log->add("Use parameter 'AllowAlienMessages' in line 'BusConfiguration' only for debugging!");
    }

    const tinyxml2::XMLElement* joints = bus->FirstChildElement("Joints");
    if (joints == nullptr) {
        SeriousFailure("ProtocolCANopen: line Joints not found in robot ini file!", "66 Protocol Ini file not complete");
        return false;
    }
    int count = -1;
    // More than six robot joints would run into the external axes' slots.
    if (joints->QueryIntAttribute("NrOfJoints", &count) != tinyxml2::XML_SUCCESS || count < 0 || count > 6) {
        SeriousFailure("ProtocolCANopen: attribute NrOfJoints not found in line Joints of project file!",
                    "67 Protocol Ini file not complete");
        return false;
    }
    for (int i = 0; i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof(name), "Joint%d", i);
        const tinyxml2::XMLElement* j = bus->FirstChildElement(name);
        if (j == nullptr) {
            SeriousFailure("ProtocolCANopen: joint definition not found!", "68 Protocol Ini file not complete");
            return false;
        }
        int id = 0;
        if (j->QueryIntAttribute("ID", &id) != tinyxml2::XML_SUCCESS) {
            SeriousFailure("ProtocolCANopen: joint ID not found!", "69 Protocol Ini file not complete");
            return false;
        }
        if (id < 1 || id > 127) {
            char line[96];
            std::snprintf(line, sizeof(line), "ProtocolCANopen: joint ID %d out of range (1..127)!", id);
            SeriousFailure(line, "69 Protocol Ini file invalid");
            return false;
        }
        Hardware::jointData& r = jointData[i];
        // A zero scale would divide every read-back position by zero.
        if (!QueryFinite(j, "GearScale", v) || v == 0.0f) {
            SeriousFailure("ProtocolCANopen: joint GearScale not found!", "70 Protocol Ini file not complete");
            return false;
        }
        r.gearScale = v;
        if (!QueryFinite(j, "GearZero", v)) {
            SeriousFailure("ProtocolCANopen: joint GearZero not found!", "71 Protocol Ini file not complete");
            return false;
        }
        r.gearZero = v;
        if (QueryFinite(j, "GearPlay", v)) {
            r.gearPlay = v;
        } else {
            log->addError("ProtocolCANopen: joint GearPlay not found!");
        }
        if (QueryFinite(j, "GearPlayInc", v)) {
            r.gearPlayInc = v;
        } else {
            log->addError("ProtocolCANopen: joint GearPlayInc not found!");
        }
        r.kind = 0;
        r.jointMode = JointModePosition;
        r.canId = static_cast<uint8_t>(id);
        r.errorCode = 0x100;
        sdo.SetStateText(r, "na");
        nodeMap[id] = i;
    }
    robotJointCount = count;
    UpdateModuleCount();

    const tinyxml2::XMLElement* referencing = robot->FirstChildElement("Referencing");
    if (referencing == nullptr) {
        SeriousFailure("ProtocolCANopen: line Referencing not found in project file!",
                    "72 Protocol Ini file not complete");
        return false;
    }
    bool mandatory = true;
    referencing->QueryBoolAttribute("Mandatory", &mandatory);
    referencingMandatory = mandatory;
    log->add(mandatory ? "Protocol ProtocolCANopen: Referencing mandatory: true"
                       : "Protocol ProtocolCANopen: Referencing mandatory: false");
    return true;
}

// ---------------------------------------------------------------- devices

void HardwareProtocolCANopen::InitDIOModules(int canId) {
    LogSingleton* log = LogSingleton::instance();
    if (dioModuleCount >= 3) {
        log->add("CANopen: cannot add more than 3 DIO modules!");
        return;
    }
    if (canId < 1 || canId > 127) {
        log->addFormat("CANopen: CAN ID %d for DIO module is out of range (1..127)", canId);
        return;
    }
    if (moduleCount >= MaxModules) return;
    ++dioModuleCount;
    UpdateModuleCount();
    Hardware::jointData& r = jointData[moduleCount - 1];
    r.kind = 1;
    r.canId = static_cast<uint8_t>(canId);
    r.errorCode = 0x100;
    nodeMap[canId] = moduleCount - 1;
    log->add("CANopen: added DIO module on ID " + std::to_string(canId));
    log->add("");
}

void HardwareProtocolCANopen::InitExternalJoint(const ExternalAxis& axis) {
    LogSingleton* log = LogSingleton::instance();
    if (externalJointCount >= 3) {
        log->add("Cannot add more then 3 External Joints!");
        return;
    }
    if (axis.canId < 1 || axis.canId > 127) {
        log->addFormat("CANopen: CAN ID %d for External Joint is out of range (1..127)", axis.canId);
        return;
    }
    if (moduleCount >= MaxModules) return;
    ++externalJointCount;
    UpdateModuleCount();
    Hardware::jointData& r = jointData[moduleCount - 1];
    r.kind = 0;
    r.canId = static_cast<uint8_t>(axis.canId);
    switch (axis.motionMode) {
        case JointModeVelocity:
        case JointModePosition:
        case JointModeTorque: r.jointMode = axis.motionMode; break;
        default: r.jointMode = JointModePosition; break;
    }
    r.errorCode = 0x100;
    r.gearZero = 0.0f;
    r.gearScale = static_cast<float>(axis.gearScale);
    r.actualPosition = 0.0f;
    r.tempScale = 0.3125f;
    r.tempZero = -25.6f;
    r.maxVelocity = static_cast<float>(axis.velMax);
    nodeMap[axis.canId] = moduleCount - 1;
    log->addFormat("   External Joint %d: CAN ID %d - GearScale %.3lf - TempScale %.3lf - TempZero %.3lf - Mode %d",
                   externalJointCount, axis.canId, r.gearScale.load(), 0.3125, -25.6,
                   static_cast<int>(r.jointMode.load()));
}

void HardwareProtocolCANopen::SetDIOModuleIDs(unsigned char id1, unsigned char id2, unsigned char id3) {
    LogSingleton* log = LogSingleton::instance();
    log->addFormat("Setting DIO module IDs: %d %d %d", id1, id2, id3);
    unsigned char ids[3] = {id1, id2, id3};
    for (unsigned char& id : ids) {
        if (id > 127) {
            log->addError("CANopen: CAN ID for DIO module is out of range (1..127)");
            id = 0;
        }
    }
    if (ids[0] == 0) {
        ids[1] = 0;
        ids[2] = 0;
    } else if (ids[1] == 0) {
        ids[2] = 0;
    }
    const int first = FirstDIORecord();
    for (int k = 0; k < dioModuleCount && first + k < MaxModules; ++k) {
        const int id = jointData[first + k].canId;
        if (id < 128 && nodeMap[id] == first + k) nodeMap[id] = -1;
    }
    int count = 0;
    for (int k = 0; k < 3 && first + k < MaxModules; ++k) {
        Hardware::jointData& r = jointData[first + k];
        r.kind = 1;
        r.canId = ids[k];
        if (ids[k] != 0) {
            r.errorCode = 0x100;
            nodeMap[ids[k]] = first + k;
            ++count;
        }
    }
    dioModuleCount = count;
    UpdateModuleCount();
}

void HardwareProtocolCANopen::GetDIOModuleIDs(unsigned char& id1, unsigned char& id2, unsigned char& id3) {
    unsigned char ids[3] = {0, 0, 0};
    const int first = FirstDIORecord();
    for (int k = 0; k < dioModuleCount && k < 3 && first + k < MaxModules; ++k) ids[k] = jointData[first + k].canId;
    id1 = ids[0];
    id2 = ids[1];
    id3 = ids[2];
}

// ---------------------------------------------------------------- parameter file

void HardwareProtocolCANopen::InitCANopenParameterFile(const std::string& robotType_, int onlyNode) {
    LogSingleton* log = LogSingleton::instance();
    if (robotType_.empty()) {
        log->add("CANopen ERROR: Trying to load parameter file but robot type is empty!");
        return;
    }
    const std::string path = log->get_rootPath() + "Data/Robots/" + robotType_ + "/CANopenParameter.xml";
    log->add("");
    log->add("CANopen parameter file: " + path);

    std::FILE* probe = std::fopen(path.c_str(), "r");
    tinyxml2::XMLDocument doc;
    const tinyxml2::XMLElement* root = nullptr;
    if (probe == nullptr) {
        log->addError("File " + path + " not available! Aborting read()");
    } else {
        std::fclose(probe);
        if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
            log->addError("ProtocolCANopen: could not read parameter file correctly: " + path);
            log->set_seriousFailReason("80 Could not read CANopen parameters");
            log->set_opMode(opModeSeriousFail);
            return;
        }
        root = doc.FirstChildElement("CANopenParameter");
        if (root == nullptr) log->addError("ProtocolCANopen: line CANopenParameter not found in parameter file!");
    }

    for (const tinyxml2::XMLElement* p = root != nullptr ? root->FirstChildElement("Parameter") : nullptr;
         p != nullptr; p = p->NextSiblingElement("Parameter")) {
        int node = -1;
        int size = -1;
        int value = -1;
        if (p->QueryIntAttribute("NodeID", &node) != tinyxml2::XML_SUCCESS) node = -1;
        if (p->QueryIntAttribute("SizeInByte", &size) != tinyxml2::XML_SUCCESS) size = -1;
        const bool hasValue = p->QueryIntAttribute("ValueDec", &value) == tinyxml2::XML_SUCCESS;
        const long index = HexAttribute(p, "AdressHex");
        const long subindex = HexAttribute(p, "SubAdressHex");
        const char* nameText = p->Attribute("Name");
        const std::string name = nameText != nullptr ? nameText : "n/a";
        const bool valid = node >= 1 && node <= 127 && index >= 1 && index <= 0xFFFF && subindex >= 0 &&
                           subindex <= 0xFF && (size == 1 || size == 2 || size == 4) && hasValue;
        const int shownIndex = index < -1 || index > 0x7FFFFFFF ? -1 : static_cast<int>(index);
        const int shownSub = subindex < -1 || subindex > 0x7FFFFFFF ? -1 : static_cast<int>(subindex);
        if (onlyNode != 0 && node != onlyNode) continue;
        if (!valid) {
            log->addFormat("INVALID Parameter - ID: %d Adr: 0x%04X:0x%02X Size: %d Name: %s Value: %d", node,
                           shownIndex, shownSub, size, name, value);
            continue;
        }
        log->addFormat("Parameter - ID: %d Adr: 0x%04X:0x%02X Size: %d Name: %s Value: %d", node, shownIndex,
                       shownSub, size, name, value);
        sdo.SendSDO(node, static_cast<int>(index), static_cast<int>(subindex), size, static_cast<unsigned>(value));
        const int record = nodeMap[node];
        if (record >= 0 && record < MaxModules) {
            Hardware::jointData& r = jointData[record];
            if (index == 0x607C) r.homeOffset = value;
            if (index == 0x607D && subindex == 1) r.minPositionLimit = value;
            if (index == 0x607D && subindex == 2) r.maxPositionLimit = value;
            if (index == 0x3243 && subindex == 1) r.homingCaptureMode = static_cast<uint32_t>(value);
            if (index == 0x3701) r.limitSwitchOption = static_cast<int16_t>(value);
            if (index == 0x6098) r.homingMethod = static_cast<uint8_t>(value);
        }
        Sleep(3);
    }

    // Values the file did not set come from the drives, whether or not it had any.
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) {
        const int id = jointData[i].canId;
        if (onlyNode != 0 && id != onlyNode) continue;
        sdo.RequestSDO(id, 0x6098, 0);
        Sleep(5);
        sdo.RequestSDO(id, 0x607C, 0);
        Sleep(5);
        sdo.RequestSDO(id, 0x607D, 1);
        Sleep(5);
        sdo.RequestSDO(id, 0x607D, 2);
        Sleep(5);
        if (!IsFirmware1650(jointData[i])) {
            sdo.RequestSDO(id, 0x3701, 0);
            Sleep(5);
            sdo.RequestSDO(id, 0x3243, 1);
            Sleep(5);
        }
    }
    log->add("");
}

// ---------------------------------------------------------------- connection

void HardwareProtocolCANopen::ResetRecords() {
    for (int i = 0; i < MaxModules; ++i) {
        Hardware::jointData& r = jointData[i];
        r.referenced = 0;
        r.motorReady = 0;
        r.profile = 0;
        r.referencingState = 0;
        r.homingStatus = 0;
        r.positionKnown = 0;
        r.needsSetUp = 0;
        sdo.SetStateText(r, "na");
        sdo.SetDriveError(r, "");
        sdo.ClearDeviceTexts(r);
    }
}

bool HardwareProtocolCANopen::Connect() {
    LogSingleton* log = LogSingleton::instance();
    log->add("CANopen: connecting");
    communicationEnabled = false;
    sdo.ClearTransfers();
    Operation operation(*this);
    lastFrameTimeUs = 0;
    watchdogCounter = 0;
    ResetRecords();
    if (!canInterface.IsConnected()) canInterface.Connect();
    if (!canInterface.IsConnected()) {
        log->add("CANopen: No connection!");
        return false;
    }
    log->add("CANopen: Connection succeeded");
    Sleep(100);

    const int records = Records();
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) sdo.SendSDO(jointData[i].canId, 0x1017, 0, 1000);
    Sleep(5);

    for (int k = 0; k < 32; ++k) {
        for (int i = 0; i < records; ++i) {
            Hardware::jointData& r = jointData[i];
            if (k == 0 || static_cast<int>(sdo.DeviceName(r).size()) >= k) {
                sdo.RequestSDO(r.canId, 0x1008, k + 1);
                Sleep(3);
            }
            if (k == 0 || static_cast<int>(sdo.FirmwareVersion(r).size()) >= k) {
                sdo.RequestSDO(r.canId, 0x100A, k + 1);
                Sleep(3);
            }
        }
    }
    for (int i = 0; i < robotJointCount && i < MaxModules; ++i) {
        sdo.RequestSDO(jointData[i].canId, 0x3202, 0);
        Sleep(3);
    }
    for (int i = 0; i < records; ++i) {
        log->addFormat("CANopen: Device ID: %d Name: '%s' Firmware '%s'", static_cast<int>(jointData[i].canId),
                       sdo.DeviceName(jointData[i]), sdo.FirmwareVersion(jointData[i]));
    }
    InitCANopenParameterFile(robotType);
    Sleep(100);
    SendNMT(0, ENTER_OPERATIONAL);
    Sleep(2000);
    RequestControlWord();
    Sleep(10);
    RequestStatusWord();
    Sleep(10);
    InitProfileMotors(false);
    InitProfileIO();
    return GetConnectionStatus();
}

void HardwareProtocolCANopen::Disconnect() {
    if (canInterface.IsConnected()) canInterface.Disconnect();
}

bool HardwareProtocolCANopen::GetConnectionStatus() {
    if (watchdogCounter > WatchdogLimit) {
        watchdogCounter = 0;
        LogSingleton::instance()->add("CANopen: Connection timed out, disconnecting");
        Disconnect();
    }
    return canInterface.IsConnected();
}

void HardwareProtocolCANopen::SendNMT(int node, NMTFunction command) {
    SendNMTFrame(canInterface, node, command, debug);
    Sleep(50);
}

void HardwareProtocolCANopen::SendSync() {
    sdo.CheckTimeouts();
    if (!communicationEnabled) return;
    const int64_t now = NowUs();
    if (lastSyncUs == 0) {
        syncsSinceUs = now;
    } else if (now - lastSyncUs >= SyncPauseUs) {
        if (syncPauses.size() >= MaxSyncPauses) syncPauses.erase(syncPauses.begin());
        syncPauses.emplace_back(lastSyncUs, now);
    }
    lastSyncUs = now;
    canInterface.WriteMessage(0x80, 0, nullptr);
}

int64_t HardwareProtocolCANopen::NowSteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void HardwareProtocolCANopen::EnableCommunication() { communicationEnabled = true; }

void HardwareProtocolCANopen::DisableCommunication() {
    if (communicationEnabled.exchange(false)) Sleep(static_cast<float>(cycleTimeMs));
}

void HardwareProtocolCANopen::RequestControlWord() {
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) {
        sdo.RequestSDO(jointData[i].canId, 0x6040, 0);
        Sleep(3);
    }
}

void HardwareProtocolCANopen::RequestStatusWord() {
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) {
        RequestStatusWord(jointData[i]);
        Sleep(3);
    }
}

void HardwareProtocolCANopen::RequestStatusWord(const JointRecord& record) {
    sdo.RequestSDO(record.canId, 0x6041, 0);
}

void HardwareProtocolCANopen::RequestActualProfiles() {
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) sdo.RequestSDO(jointData[i].canId, 0x6061, 0);
    Sleep(5);
}

std::string HardwareProtocolCANopen::MsgToString(int id, int dlc, const unsigned char* data, long time) {
    unsigned char d[8] = {};
    if (data != nullptr) {
        for (int k = 0; k < 8; ++k) d[k] = data[k];
    }
    char text[160];
    std::snprintf(text, sizeof(text),
                  "CANmsg - ID: %d Length: %d Data: 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X   Time: %ld",
                  id, dlc, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], time);
    return text;
}

// ---------------------------------------------------------------- profile set-ups

void HardwareProtocolCANopen::InitProfileMotors(bool switchOn) {
    DisableCommunication();
    const int records = Records();
    for (int i = 0; i < records; ++i) {
        if (jointData[i].kind == 0) InitProfile(jointData[i], switchOn);
    }
    RequestActualProfiles();
    HoldPositionsBeforeSync();
    EnableCommunication();
}

std::vector<int> HardwareProtocolCANopen::SetUpRebootedDevices() {
    LogSingleton* log = LogSingleton::instance();
    const int records = Records();
    std::vector<int> setUp;
    for (int i = 0; i < records; ++i) {
        Hardware::jointData& r = jointData[i];
        if (r.canId == 0 || (r.needsSetUp == 0 && r.nmtState != 127)) continue;
        if (setUp.empty()) DisableCommunication();
        setUp.push_back(i);
        log->addFormat("CANopen: Device %d is set up again (parameters, PDOs, NMT start)", static_cast<int>(r.canId));
        r.needsSetUp = 0;
        r.pdosConfigured = 0;
        if (r.kind == 0) sdo.SendSDOConfirmed(r.canId, 0x1017, 0, 1000);
        if (sdo.Skipped(r.canId)) continue;
        InitCANopenParameterFile(robotType, r.canId);
        if (r.kind == 1) InitProfile(r, true);
        // The drives' PDOs come with their profile set-up; without PDOs the start is ours.
        if (!usePDOs) SendNMT(r.canId, ENTER_OPERATIONAL);
    }
    if (!setUp.empty()) EnableCommunication();
    return setUp;
}

void HardwareProtocolCANopen::InitProfileIO() {
    DisableCommunication();
    const int records = Records();
    for (int i = 0; i < records; ++i) {
        if (jointData[i].kind == 1) InitProfile(jointData[i], true);
    }
    EnableCommunication();
}

void HardwareProtocolCANopen::InitProfile(JointRecord& record, bool switchOn) {
    if (record.canId == 0) return;
    if (record.kind == 1) {
        InitDigitalIO(record);
        return;
    }
    // The rest of the walk of a node that does not answer is skipped.
    if (record.kind != 0 || sdo.Skipped(record.canId)) return;
    const bool switchedOn = (record.controlword & 0x0007) == 0x0007;
    const bool fir1650 = IsFirmware1650(record);
    sdo.SetDriveError(record, "");
    ControlWordStatus target = ControlWordReadyToSwitchOn;
    if (switchOn) {
        target = fir1650 ? ControlWordSwitchedOn : ControlWordOperationEnabled;
    } else if (switchedOn && !fir1650) {
        // Found switched on (a restart of the controller while the drives kept
        // power): without torque, so nothing moves before the operator's reset
        // has taken the set-points from the drive's position.
        target = ControlWordSwitchedOn;
    }
    if (!fir1650 && (record.actualProfile == CANopenProfileHoming ||
                     record.actualProfile == CANopenProfileHomingSetToZero)) {
        SendControlWord(record, record.controlword & ~0x0008u);
        // Operation is disabled now: a walk from the last statusword's
        // operation_enabled would take the drive for enabled and leave it so.
        if (ControlWordStringToStatus(sdo.StateText(record)) == ControlWordOperationEnabled)
            sdo.SetStateText(record, "switched_on");
        RequestStatusWord(record);
        Sleep(10);
    }
    SetControlWord(record, target);
    if (sdo.Skipped(record.canId)) return;
    Sleep(10);
    const uint32_t p = record.jointMode == JointModeVelocity ? CANopenProfileVelocity : profile;
    record.referencingState = 0;
    switch (p) {
        case CANopenProfilePosition: InitJointForProfilePositionMode(record); break;
        case CANopenProfileIPO: InitJointForInterpolatedPositionMode(record); break;
        case CANopenProfileCSP: InitJointForCyclicSynchronousPosition(record); break;
        case CANopenProfileVelocity: InitJointForProfileVelocityMode(record); break;
        case CANopenProfileCSV: InitJointForCyclicSynchronousVelocity(record); break;
        case CANopenProfileHoming: InitJointForHoming(record); break;
        case CANopenProfileHomingSetToZero: InitJointForHomingSetToZero(record); break;
        default: break;
    }
}

namespace {

// The log line of a profile set-up, the PDO mapping when due, and the common
// writes of profiles 1 to 5.
void BeginProfile(HardwareProtocolCANopen& d, jointData& record, uint32_t profile, const char* line,
                  bool fir1650, const std::function<void(float)>& sleep) {
    LogSingleton::instance()->addFormat(line, static_cast<int>(record.canId), d.cycleTimeMs);
    if (d.usePDOs && record.pdosConfigured == 0 && !d.pdo.ConfigureDrivePDOs(record, profile))
        d.sdo.SetDriveError(record, "PDO mapping refused");
    if (!fir1650) {
        d.sdo.SendSDO(record.canId, 0x3701, 0, static_cast<unsigned>(static_cast<uint16_t>(record.limitSwitchOption)));
        sleep(5);
        d.sdo.SendSDO(record.canId, 0x3243, 1, record.homingCaptureMode);
        sleep(5);
    }
}

}  // namespace

bool HardwareProtocolCANopen::SetMode(JointRecord& record, uint32_t wanted, int mode) {
    uint32_t abortCode = 0;
    if (sdo.SendSDOConfirmed(record.canId, 0x6060, 0, static_cast<unsigned>(mode), &abortCode)) {
        record.profile = wanted;
        return true;
    }
    // Refused (or unanswered): the drive runs in no profile of ours.
    record.profile = CANopenProfileNone;
    const std::string text = HardwareProtocolCANopenSDO::AbortCodeText(
        abortCode != 0 ? abortCode : HardwareProtocolCANopenSDO::AbortTimeout);
    sdo.SetDriveError(record, "mode of operation refused: " + text);
    LogSingleton::instance()->addErrorFormat("CANopen: Joint %d: mode of operation %d refused: %s",
                                             static_cast<int>(record.canId), mode, text);
    return false;
}

namespace {

}  // namespace

void HardwareProtocolCANopen::InitJointForProfilePositionMode(JointRecord& r) {
    BeginProfile(*this, r, CANopenProfilePosition,
                 "CANopen: initializing Profile Position mode for CANid %d, protocol cycle time %d ms",
                 IsFirmware1650(r), [this](float ms) { Sleep(ms); });
    SetMode(r, CANopenProfilePosition, 1);
    sdo.SendSDO(r.canId, 0x6082, 0, 4, 0);
}

void HardwareProtocolCANopen::InitJointForInterpolatedPositionMode(JointRecord& r) {
    BeginProfile(*this, r, CANopenProfileIPO, "CANopen: initializing IPO mode for CANid %d, protocol cycle time %d ms",
                 IsFirmware1650(r), [this](float ms) { Sleep(ms); });
    sdo.SendSDO(r.canId, 0x60C2, 1, static_cast<unsigned>(cycleTimeMs));
    sdo.SendSDO(r.canId, 0x60C2, 2, static_cast<unsigned>(-3));
    Sleep(5);
    sdo.SendSDO(r.canId, 0x60C4, 6, 1);
    Sleep(5);
    SetMode(r, CANopenProfileIPO, 7);
}

void HardwareProtocolCANopen::InitJointForCyclicSynchronousPosition(JointRecord& r) {
    BeginProfile(*this, r, CANopenProfileCSP, "CANopen: initializing CSP mode for CANid %d, protocol cycle time %d ms",
                 IsFirmware1650(r), [this](float ms) { Sleep(ms); });
    SetMode(r, CANopenProfileCSP, 8);
    Sleep(5);
    sdo.SendSDO(r.canId, 0x60C2, 1, static_cast<unsigned>(cycleTimeMs));
    Sleep(5);
    sdo.SendSDO(r.canId, 0x60C2, 2, static_cast<unsigned>(-3));
    Sleep(5);
}

void HardwareProtocolCANopen::InitJointForProfileVelocityMode(JointRecord& r) {
    BeginProfile(*this, r, CANopenProfileVelocity,
                 "CANopen: initializing Profile Velocity mode for CANid %d, protocol cycle time %d ms",
                 IsFirmware1650(r), [this](float ms) { Sleep(ms); });
    sdo.SendSDO(r.canId, 0x60A9, 0, 0x00410300);
    sdo.SendSDO(r.canId, 0x60FF, 0, 0);
    SetMode(r, CANopenProfileVelocity, 3);
}

void HardwareProtocolCANopen::InitJointForCyclicSynchronousVelocity(JointRecord& r) {
    BeginProfile(*this, r, CANopenProfileCSV, "CANopen: initializing CSV mode for CANid %d, protocol cycle time %d ms",
                 IsFirmware1650(r), [this](float ms) { Sleep(ms); });
    sdo.SendSDO(r.canId, 0x60A9, 0, 0x00410300);
    sdo.SendSDO(r.canId, 0x60FF, 0, 0);
    SetMode(r, CANopenProfileCSV, 9);
    sdo.SendSDO(r.canId, 0x60C2, 1, static_cast<unsigned>(cycleTimeMs));
    sdo.SendSDO(r.canId, 0x60C2, 2, static_cast<unsigned>(-3));
}

void HardwareProtocolCANopen::InitDigitalIO(JointRecord& record) {
    sdo.RequestSDO(record.canId, 0x6000, 0);
    Sleep(5);
    sdo.RequestSDO(record.canId, 0x6200, 0);
    Sleep(5);
    if (usePDOs && record.pdosConfigured == 0 && !pdo.ConfigureIOModulePDOs(record))
        sdo.SetDriveError(record, "PDO mapping refused");
}

// ---------------------------------------------------------------- receive dispatch

int HardwareProtocolCANopen::ReceiveCallback(int id, int dlc, const unsigned char* data, long reserved,
                                             timespec time) {
    LogSingleton* log = LogSingleton::instance();
    if (log->get_opMode() != opModeNormal || data == nullptr) return 0;

    if (!allowAlienMessages) {
        const char* alien = nullptr;
        if (id == 0) {
            alien = "CANopen: Received alien NMT message (ID %d) - ABORT!";
        } else if (id == 0x80) {
            alien = "CANopen: Received alien Sync message (ID %d) - ABORT!";
        } else if (id == 0x100) {
            alien = "CANopen: Received alien TimeStamp message (ID %d) - ABORT!";
        } else if ((id >= 0x200 && id <= 0x280) || (id >= 0x300 && id <= 0x380) || (id >= 0x400 && id <= 0x480) ||
                   (id >= 0x500 && id <= 0x580) || (id >= 0x600 && id <= 0x700)) {
            alien = "CANopen: Received alien PDO or SDO (ID %d) - ABORT!";
        }
        if (alien != nullptr) {
            log->addErrorFormat(alien, id);
            log->set_seriousFailReason("79 alien CAN msg");
            log->set_opMode(opModeSeriousFail);
        }
    }

    int node = 0;
    int base = 0;
    if (id >= 0x701 && id <= 0x77F) {
        base = 0x700;
    } else if (id >= 0x81 && id <= 0xFF) {
        base = 0x80;
    } else if ((id >= 0x181 && id <= 0x1FF) || (id >= 0x281 && id <= 0x2FF) || (id >= 0x381 && id <= 0x3FF) ||
               (id >= 0x481 && id <= 0x4FF)) {
        base = id & 0x780;
    } else if (id >= 0x581 && id <= 0x5FF) {
        base = 0x580;
    } else {
        return 0;
    }
    node = id - base;
    const int index = node >= 0 && node < 128 ? nodeMap[node].load() : -1;
    if (index < 0 || index >= Records()) return 0;
    Hardware::jointData& r = jointData[index];

    switch (base) {
        case 0x700: {
            const int state = dlc > 0 ? (data[0] & 0x7F) : 0;
            if (dlc > 0 && state == 0) {
                log->addFormat("CANopen: Device %d sent its boot-up message (restarted)", node);
                // Booted (a power cycle): its dictionary is back at its defaults.
                if (r.nmtState != 255) {
                    r.needsSetUp = 1;
                    r.pdosConfigured = 0;
                    if (r.kind == 0) {
                        // Switch on disabled in no mode of ours from now on: the joint's error
                        // at once, not once its transmit PDOs have been missed for long.
                        r.motorReady = 0;
                        r.actualProfile = CANopenProfileNone;
                        r.statusword = 0x0040;
                        sdo.SetStateText(r, "switch_on_disabled");
                        sdo.SetDriveError(r, "drive restarted");
                    }
                }
                r.nmtState = 0;
            } else if (state != r.nmtState) {
                r.nmtState = static_cast<uint8_t>(state);
                const char* name = state == 5 ? "OPERATIONAL"
                                              : (state == 127 ? "PRE-OPERATIONAL" : (state == 4 ? "STOPPED" : "UNKNOWN"));
                log->addFormat("CANopen: Device %d changed state to %s", node, name);
            }
            break;
        }
        case 0x80:
            sdo.ParseEmergency(&r, node, data);
            sdo.RequestSDO(node, 0x1001, 0);
            break;
        case 0x580: sdo.ParseSDOAnswer(&r, dlc, data, reserved); break;
        default:
            if (usePDOs) {
                if (r.kind == 1) {
                    pdo.ParseDIOPDO(r, base, dlc, data, reserved);
                } else {
                    pdo.ParsePDO(r, base, dlc, data, reserved);
                }
            }
            break;
    }
    lastFrameTimeUs = ToMicroSec(time);
    watchdogCounter = 0;
    return 1;
}

}  // namespace Hardware
