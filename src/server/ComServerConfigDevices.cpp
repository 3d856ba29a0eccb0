// "CONFIG" messages, second half: cameras, external axes, the Modbus server
// and the cloud link.

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tinyxml2.h>
#include <vector>

#include "cloud/MqttClient.h"
#include "common/LogSingleton.h"
#include "common/StringHelper.h"
#include "controller/ProjectManager.h"
#include "controller/RobotMaster.h"
#include "hardware/ExternalAxis.h"
#include "server/ComServer.h"
#include "server/ComServerTokens.h"
#include "server/HXPScanner.h"
#include "server/ModbusServer.h"
#include "vision/CameraBinPicking.h"
#include "vision/CameraIFMO2D.h"
#include "vision/CameraManager.h"
#include "vision/CameraUSB.h"

namespace {

using namespace ComServerTokens;

// Buffers of the one-axis scan: the file name and the two words.
constexpr std::size_t FileWordLength = 255;
constexpr std::size_t ShortWordLength = 31;

// A text the handler needs; without it the message is refused, as on any exception in a handler.
std::string RequiredToken(char** save, const char* what) {
    std::string token = NextValueToken(save);
    if (token.empty()) throw std::runtime_error(std::string("missing ") + what);
    return token;
}

double NumberOrZero(char** save) {
    double value = 0.0;
    ParseDouble(NextValueToken(save), value);
    return value;
}

int32_t IntOrZero(char** save) {
    int32_t value = 0;
    ParseInt(NextValueToken(save), value);
    return value;
}

bool IsTrueWord(const std::string& word) { return StringHelper::ToLower(word) == "true"; }

// "na" stands for no configuration file; a given one is kept but no longer used.
std::string ConfigurationFile(const std::string& word) {
    if (word == "na") return std::string();
    const std::string file = Slashes(word);
    if (!file.empty())
        LogSingleton::instance()->add("HXP-Server: ERROR: Configuration file for external axis is not supported anymore");
    return file;
}

int DirectionAngle(float angle) {
    if (angle < 0.0f) angle += 360.0f;
    if (angle >= 0.0f && angle < 89.0f) return 0;
    if (angle < 179.0f) return 90;
    if (angle < 269.0f) return 180;
    return 270;
}

std::string AxisFields(const ExternalAxis& axis, bool withMode) {
    std::ostringstream out;
    out << (axis.name.empty() ? std::string("na") : axis.name) << " " << ExternalAxis::KinematicToString(axis.kinematic);
    if (withMode) out << " " << ExternalAxis::MotionModeToString(axis.motionMode);
    out << " " << axis.canId << " " << axis.gearScale << " " << axis.min << " " << axis.max << " " << axis.velMax << " "
        << axis.acc << " " << axis.accInc << " " << axis.directionAngleToY << " " << axis.lz0 << " " << axis.dir << " "
        << axis.offset;
    return out.str();
}

// The configuration element of a network camera from the message's words
// after the type: the active word (ignored: a camera set this way is always
// active), IP, port, the scale (IFM O2D only), origin, look and up vectors,
// Z distance and the picture word.
tinyxml2::XMLElement* NetworkCameraElement(tinyxml2::XMLDocument& document, const std::string& name, char** save,
                                           bool withScale) {
    NextValueToken(save);
    tinyxml2::XMLElement* element = document.NewElement("HwCamera");
    element->SetAttribute("Name", name.c_str());
    element->SetAttribute("Active", "True");
    element->SetAttribute("IP", NextValueToken(save).c_str());
    element->SetAttribute("Port", IntOrZero(save));
    if (withScale)
        for (const char* attribute : {"ScaleX", "ScaleY"}) element->SetAttribute(attribute, NumberOrZero(save));
    for (const char* attribute :
         {"OriginX", "OriginY", "OriginZ", "LookX", "LookY", "LookZ", "UpX", "UpY", "UpZ", "ZDistance"})
        element->SetAttribute(attribute, NumberOrZero(save));
    element->SetAttribute("ImageEnabled", IsTrueWord(NextValueToken(save)) ? "True" : "False");
    return element;
}

// A camera whose port or address cannot be stored is refused, with a log line.
bool UsableNetworkCamera(const tinyxml2::XMLElement& element) {
    const int port = element.IntAttribute("Port", 0);
    const std::string address = element.Attribute("IP") != nullptr ? element.Attribute("IP") : "";
    const std::string name = element.Attribute("Name") != nullptr ? element.Attribute("Name") : "";
    if (port < 1 || port > 65535) {
        LogSingleton::instance()->addErrorFormat(
            "HXP-Server: ERROR, camera '%s' not changed: port %d outside 1..65535", name, port);
        return false;
    }
    if (HasControlCharacter(address)) {
        LogSingleton::instance()->addErrorFormat(
            "HXP-Server: ERROR, camera '%s' not changed: the address holds control characters", name);
        return false;
    }
    return true;
}

// Waits for the listener that a start or restart set going: true once it listens
// on the port, false when it ended (the port is taken) or did not listen in time.
bool ModbusListensOn(const Modbus::ModbusServer& modbus, int port) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < end) {
        if (modbus.IsListening() && modbus.GetBoundPort() == port) return true;
        if (!modbus.IsRunning()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return modbus.IsListening() && modbus.GetBoundPort() == port;
}

}  // namespace

// ---------------------------------------------------------------- cameras

void ComServer::ConfigSetCamera(const char*, char** save) {
    LogSingleton* log = LogSingleton::instance();
    const std::string name = RequiredToken(save, "camera name");
    const std::string type = RequiredToken(save, "camera type");
    if (HasControlCharacter(name)) {
        log->addError("HXP-Server: ERROR, camera configuration not changed: the name holds control characters");
        return;
    }
    m_RobotMaster->OperatorStop(IPO::USER);
    Camera::CameraManager* cameras = Camera::CameraManager::Instance();

    if (type == "None") {
        cameras->Remove(name);
    } else if (type == Camera::CameraIFMO2D::TYPE_ID) {
        tinyxml2::XMLDocument document;
        tinyxml2::XMLElement* element = NetworkCameraElement(document, name, save, true);
        element->SetAttribute("CoordinateType", NextValueToken(save) == "1" ? "RobotCoordinates" : "ImageCoordinates");
        if (!UsableNetworkCamera(*element)) return;
        auto* camera = new Camera::CameraIFMO2D(name);
        camera->Read(*element);
        cameras->Add(camera);
    } else if (type == Camera::CameraBinPicking::TYPE_ID) {
        tinyxml2::XMLDocument document;
        tinyxml2::XMLElement* element = NetworkCameraElement(document, name, save, false);
        if (!UsableNetworkCamera(*element)) return;
        auto* camera = new Camera::CameraBinPicking(name);
        camera->Read(*element);
        cameras->Add(camera);
    } else if (type == Camera::CameraUSB::TYPE_ID) {
        NextValueToken(save);
        const int32_t device = IntOrZero(save);
        const bool imageEnabled = IsTrueWord(NextValueToken(save));
        auto* camera = new Camera::CameraUSB(name, device);
        camera->SetActive(true);
        camera->SetImageEnabled(imageEnabled);
        cameras->Add(camera);
    } else {
        log->addFormat("HXP-Server: Could not change camera configuration of camera '%s', type '%s' is not implemented",
                       name, type);
    }
    QueueProjectRewrite();
}

void ComServer::ConfigGetCameras(const char*, char**) {
    Camera::CameraManager* cameras = Camera::CameraManager::Instance();
    const std::vector<std::string> lines = cameras->GetHXPConfigStrings();
    if (lines.empty()) {
        SendToClient("CONFIG Camera 0");
        return;
    }
    for (const std::string& line : lines) SendToClient(line);
}

void ComServer::ConfigClearCameras(const char*, char**) { Camera::CameraManager::Instance()->Clear(); }

// ---------------------------------------------------------------- external axes

void ComServer::ConfigSetExternalAxes(const char*, char** save) {
    LogSingleton* log = LogSingleton::instance();
    int32_t count = IntOrZero(save);
    if (count > 3) count = 3;
    // The message carries no motion mode: each slot keeps the one it had.
    ExternalAxis::JointMode modes[3] = {Hardware::JointModePosition, Hardware::JointModePosition,
                                        Hardware::JointModePosition};
    for (int i = 0; i < 3 && m_RobotMaster->HasExternalAxis(i); ++i)
        modes[i] = m_RobotMaster->GetExternalAxis(i).motionMode;

    // All axes are read before any changes, so a message that ends early changes nothing.
    std::vector<ExternalAxis> axes;
    for (int i = 0; i < count; ++i) {
        ExternalAxis axis;
        axis.index = i;
        axis.motionMode = modes[i];
        const std::string file = RequiredToken(save, "external axis configuration file");
        if (HasControlCharacter(file)) {
            // It could not be stored: nothing changes.
            log->addError("HXP-Server: ERROR, external axes not changed: a file name holds control characters");
            return;
        }
        axis.name = ConfigurationFile(file);
        axis.kinematic = ExternalAxis::KinematicFromString(RequiredToken(save, "external axis coupling"));
        axis.canId = IntOrZero(save);
        axis.gearScale = NumberOrZero(save);
        axis.min = NumberOrZero(save);
        axis.max = NumberOrZero(save);
        axis.velMax = NumberOrZero(save);
        axis.acc = NumberOrZero(save);
        axis.accInc = NumberOrZero(save);
        const std::string angle = NextValueToken(save);
        if (!angle.empty()) {
            int32_t value = 0;
            if (ParseInt(angle, value)) axis.directionAngleToY = value;
            axis.lz0 = NumberOrZero(save);
            axis.dir = NumberOrZero(save);
            axis.offset = NumberOrZero(save);
        }
        axes.push_back(axis);
    }
    m_RobotMaster->ClearExternalAxes();
    for (const ExternalAxis& axis : axes) {
        // The driver divides by the gear scale.
        if (axis.gearScale == 0.0) {
            log->addErrorFormat("HXP-Server: ERROR, external axis %d not set: gear scale 0", axis.index);
            continue;
        }
        m_RobotMaster->SetExternalAxis(axis);
    }
    QueueProjectRewrite();
}

void ComServer::ConfigSetExternalAxis(const char* message, char**) {
    LogSingleton* log = LogSingleton::instance();
    int32_t counter = 0;
    int32_t count = 0;
    ExternalAxis axis;
    std::string file;
    std::string coupling;
    std::string mode;
    float angle = 0.0f;
    HXPScanner scan(message);
    scan.Literal("HXPSTART").Int(counter).Literal("CONFIG").Literal("SetExternalAxis").Int(count).Int(axis.index);
    scan.Word(file, FileWordLength).Word(coupling, ShortWordLength).Word(mode, ShortWordLength).Int(axis.canId);
    scan.Double(axis.gearScale).Double(axis.min).Double(axis.max).Double(axis.velMax).Double(axis.acc);
    scan.Double(axis.accInc).Float(angle).Double(axis.lz0).Double(axis.dir).Double(axis.offset);
    const int n = scan.Count();

    if (n == 17 && HasControlCharacter(file)) {
        log->addError("HXP-Server: ERROR, external axis not changed: the file name holds control characters");
    } else if (n == 17) {
        axis.kinematic = ExternalAxis::KinematicFromString(coupling);
        axis.motionMode = ExternalAxis::MotionModeFromString(mode);
        axis.directionAngleToY = DirectionAngle(angle);
        axis.name = ConfigurationFile(file);
        for (int i = 2; i >= 0 && i >= count; --i) m_RobotMaster->RemoveExternalAxis(i);
        if (axis.gearScale == 0.0) {
            // The driver divides by the gear scale.
            log->addErrorFormat("HXP-Server: ERROR, external axis %d not set: gear scale 0", axis.index);
        } else {
            m_RobotMaster->SetExternalAxis(axis);
        }
        QueueProjectRewrite();
    } else if (n >= 3) {
        if (count == 0) {
            log->add("HXP-Server: Clearing external axes");
            m_RobotMaster->ClearExternalAxes();
            QueueProjectRewrite();
        }
    } else {
        log->add("HXP-Server: Invalid SetExternalAxis message");
    }
}

void ComServer::ConfigGetExternalAxes(const char*, char**) {
    std::vector<ExternalAxis> axes;
    for (int i = 0; i < 3; ++i)
        if (m_RobotMaster->HasExternalAxis(i)) axes.push_back(m_RobotMaster->GetExternalAxis(i));
    std::string line = "CONFIG ExternalAxes " + std::to_string(axes.size());
    for (const ExternalAxis& axis : axes) line += " " + AxisFields(axis, false);
    SendToClient(line);
}

void ComServer::ConfigGetExternalAxes2(const char*, char**) {
    std::vector<ExternalAxis> axes;
    for (int i = 0; i < 3 && m_RobotMaster->HasExternalAxis(i); ++i) axes.push_back(m_RobotMaster->GetExternalAxis(i));
    if (axes.empty()) {
        SendToClient("CONFIG ExternalAxis 0 0");
        return;
    }
    for (std::size_t i = 0; i < axes.size(); ++i)
        SendToClient("CONFIG ExternalAxis " + std::to_string(axes.size()) + " " + std::to_string(i) + " " +
                     AxisFields(axes[i], true));
}

// ---------------------------------------------------------------- Modbus server

void ComServer::ConfigSetModbus(const char* message, char**) {
    LogSingleton* log = LogSingleton::instance();
    int32_t counter = 0;
    std::string word;
    int32_t port = 502;
    int32_t limit = 5;
    HXPScanner scan(message);
    scan.Literal("HXPSTART").Int(counter).Literal("CONFIG").Literal("SetModbus").Word(word, FileWordLength);
    scan.Int(port).Int(limit);
    if (scan.Count() != 4 || port < 1 || port > 65535 || limit < 1) {
        log->add("HXP-Server: Error: Incomplete or invalid SetModbus message");
        return;
    }
    const bool enabled = IsTrueWord(word);
    Modbus::ModbusServer* modbus = Modbus::ModbusServer::Instance();
    const bool wasEnabled = m_ProjectManager != nullptr && m_ProjectManager->modbusActive.load();
    if (enabled == wasEnabled && port == modbus->GetPort() && static_cast<unsigned>(limit) == modbus->GetMaxConnections())
        return;
    log->addFormat("HXP-Server: Changing Modbus server configuration: enabled=%s, port=%d, max connections=%d",
                   enabled ? "true" : "false", port, limit);
    modbus->SetPort(port);
    modbus->SetMaxConnections(static_cast<unsigned>(limit));
    bool active = false;
    if (enabled) {
        modbus->Restart();
        active = ModbusListensOn(*modbus, port);
        // A port that is taken: the answer and the project tell that the server is not running.
        if (!active) log->addErrorFormat("HXP-Server: ERROR: Modbus server could not start on port %d", port);
    } else {
        modbus->Stop();
    }
    if (m_ProjectManager != nullptr) m_ProjectManager->modbusActive = active;
    QueueProjectRewrite();
}

void ComServer::ConfigGetModbus(const char*, char**) {
    Modbus::ModbusServer* modbus = Modbus::ModbusServer::Instance();
    const bool enabled = m_ProjectManager != nullptr && m_ProjectManager->modbusActive.load();
    SendToClient(std::string("CONFIG Modbus ") + (enabled ? "True" : "False") + " " +
                 std::to_string(modbus->GetPort()) + " " + std::to_string(modbus->GetMaxConnections()));
}

// ---------------------------------------------------------------- cloud link

void ComServer::ConfigSetCloudConnection(const char* message, char** save) {
    LogSingleton* log = LogSingleton::instance();
    if (m_Cloud == nullptr) return;
    try {
        const bool enabled = IsTrueWord(NextValueToken(save));
        const std::vector<std::string> pieces = SplitIgnoreEscaped(message, '"');
        const char* enabledText = enabled ? "true" : "false";
        if (pieces.size() == 1) {
            log->addFormat("HXP-Server: Received SetCloudConnection: enabled=%s", enabledText);
            m_Cloud->SetEnabled(enabled);
            return;
        }
        if (pieces.size() < 6) {
            log->add("HXP-Server: Could not parse CONFIG SetCloudConnection: Incomplete parameters");
            return;
        }
        const std::string& clientId = pieces[1];
        const std::string& user = pieces[3];
        const std::string& password = pieces[5];
        // The password itself is never logged.
        log->addFormat(
            "HXP-Server: Received SetCloudConnection: enabled=%s, client ID='%s', user name='%s', has password=%s",
            enabledText, clientId, user, password.empty() ? "no" : "yes");
        if (HasControlCharacter(clientId) || HasControlCharacter(user)) {
            log->addError("HXP-Server: Could not parse CONFIG SetCloudConnection: control characters in a name");
            return;
        }
        // A user name the link refuses changes nothing: the link stays as it was.
        if (!user.empty() && !password.empty() && !Cloud::MqttClient::CheckUserName(user)) {
            SendToClient("MESSAGE SetCloudConnection refused: invalid user name");
            return;
        }
        m_Cloud->SetEnabled(false);
        m_Cloud->SetClientId(clientId);
        if (!user.empty() && !password.empty()) {
            m_Cloud->SetCredentials(user, password);
            // Never on without credentials (they could not be stored).
            m_Cloud->SetEnabled(enabled && m_Cloud->AreCredentialsSet());
        } else {
            m_Cloud->ClearCredentials();
        }
        QueueProjectRewrite();
    } catch (const std::exception& e) {
        log->addFormat("HXP-Server: Could not parse CONFIG SetCloudConnection: %s", e.what());
    }
}

void ComServer::ConfigSetCloudInfo(const char* message, char**) {
    LogSingleton* log = LogSingleton::instance();
    if (m_Cloud == nullptr) return;
    try {
        const std::vector<std::string> pieces = SplitIgnoreEscaped(message, '"');
        std::string name;
        std::string owner;
        std::string environment;
        std::string workarea;
        if (pieces.size() > 3) {
            name = pieces[1];
            owner = pieces[3];
        } else {
            log->add("HXP-Server: Could not parse CONFIG SetCloudInfo: Incomplete parameters");
        }
        if (pieces.size() > 7) {
            environment = pieces[5];
            workarea = pieces[7];
        }
        for (const std::string* text : {&name, &owner, &environment, &workarea}) {
            // The names go into the project file: nothing unreadable is stored.
            if (HasControlCharacter(*text)) {
                log->addError("HXP-Server: Could not parse CONFIG SetCloudInfo: control characters in a name");
                return;
            }
        }
        m_Cloud->SetRobotName(name);
        m_Cloud->SetRobotOwner(owner);
        m_Cloud->SetCameraEnvironment(environment);
        m_Cloud->SetCameraWorkarea(workarea);
        log->addFormat(
            "HXP-Server: Received SetCloudInfo: robot name='%s', robot owner='%s', camera environment='%s', camera "
            "workarea='%s'",
            name, owner, environment, workarea);
        QueueProjectRewrite();
    } catch (const std::exception& e) {
        log->addFormat("HXP-Server: Could not parse CONFIG SetCloudInfo: %s", e.what());
    }
}

void ComServer::ConfigGetCloud(const char*, char**) { PublishCloudInfo(); }
