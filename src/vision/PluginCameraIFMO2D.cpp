#include "vision/PluginCameraIFMO2D.h"

#include <sys/time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>

#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "vision/CameraBinPicking.h"
#include "vision/CameraIFMO2D.h"
#include "vision/CameraTarget.h"
#include "vision/TCPClient.h"

namespace PluginFramework {

namespace {

float FloatAttribute(const tinyxml2::XMLElement& element, const char* name, float fallback) {
    float value = fallback;
    if (element.QueryFloatAttribute(name, &value) != tinyxml2::XML_SUCCESS || !std::isfinite(value)) return fallback;
    return value;
}

// Logs the text and sends it to the remote clients.
void Tell(const std::string& text) {
    LogSingleton* log = LogSingleton::instance();
    log->add(text);
    log->ServerSetMessage(text);
}

void ConfigFailure(const std::string& text, const char* reason) {
    LogSingleton* log = LogSingleton::instance();
    log->addError(text);
    log->ServerSetMessage(text);
    log->set_seriousFailReason(reason);
    log->set_opMode(opModeSeriousFail);
}

}  // namespace

void wait(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

CameraIFMO2D::CameraIFMO2D() : wallClock([] { return std::time(nullptr); }) {}

CameraIFMO2D::~CameraIFMO2D() { Stop(); }

void CameraIFMO2D::SetWallClock(WallClock clock) {
    std::lock_guard<std::mutex> lock(reportMutex);
    wallClock = std::move(clock);
}

std::string CameraIFMO2D::GetConfigFilePath() const {
    std::string root = LogSingleton::instance()->get_rootPath();
    while (!root.empty() && root.back() == '/') root.pop_back();
    return root + "/Data/Plugins/" + configFileName;
}

std::string CameraIFMO2D::GetIP() const {
    std::lock_guard<std::mutex> lock(mutex);
    return ip;
}

int CameraIFMO2D::GetPort() const {
    std::lock_guard<std::mutex> lock(mutex);
    return port;
}

bool CameraIFMO2D::ReadConfigFile() {
    LogSingleton* log = LogSingleton::instance();
    const std::string path = GetConfigFilePath();
    log->add("");
    log->add("Camera Client: reading config file...");
    log->add(path);
    if (!std::ifstream(path).good()) {
        log->addError("File " + path + " not available! Aborting read()");
        log->ServerSetMessage("Camera Ini file not found");
        log->set_seriousFailReason("81 Camera Ini file not found");
        log->set_opMode(opModeSeriousFail);
        return false;
    }
    tinyxml2::XMLDocument document;
    if (document.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        ConfigFailure("Could not read camera config file correctly! Aborting!", "82 Camera Ini file not valid");
        return false;
    }
    const tinyxml2::XMLElement* root = document.FirstChildElement("Configuration");
    if (root == nullptr) {
        ConfigFailure("Camera config file: line Configuration not found in project file!",
                      "83 Camera Ini file not complete");
        return false;
    }
    const tinyxml2::XMLElement* connection = root->FirstChildElement("Cam0Connection");
    if (connection == nullptr) {
        ConfigFailure("Camera config file: line \"Cam0Connection\" not found in file!",
                      "84 Camera Ini file not complete");
        return false;
    }
    // A missing address reads as empty: the connect then fails with its own message.
    const char* ipText = connection->Attribute("IP");
    const std::string newIp = ipText != nullptr ? ipText : "";
    const int newPort = connection->IntAttribute("Port", 0);
    const tinyxml2::XMLElement* geometry = root->FirstChildElement("Cam0Geometry");
    if (geometry == nullptr) {
        ConfigFailure("Camera config file: line \"Cam0Geometry\" not found in file!",
                      "85 Camera Ini file not complete");
        return false;
    }
    const float newWait = FloatAttribute(*geometry, "MaxWaitTime", 0.0f);
    const float newScaleX = FloatAttribute(*geometry, "ScaleX", 1.0f);
    const float newScaleY = FloatAttribute(*geometry, "ScaleY", 1.0f);
    DataTypes::Vector3 newOrigin(FloatAttribute(*geometry, "OriginX", 0.0f), FloatAttribute(*geometry, "OriginY", 0.0f),
                                 FloatAttribute(*geometry, "OriginZ", 0.0f));
    DataTypes::Vector3 newLook(FloatAttribute(*geometry, "LookX", 0.0f), FloatAttribute(*geometry, "LookY", 0.0f),
                               FloatAttribute(*geometry, "LookZ", 0.0f));
    DataTypes::Vector3 newUp(FloatAttribute(*geometry, "UpX", 0.0f), FloatAttribute(*geometry, "UpY", 0.0f),
                             FloatAttribute(*geometry, "UpZ", 0.0f));
    const float newZ = FloatAttribute(*geometry, "ZDistance", 0.0f);

    char text[1024];
    std::string lines[3];
    {
        std::lock_guard<std::mutex> lock(mutex);
        ip = newIp;
        port = newPort;
        maxWaitTime = newWait;
        scaleX = newScaleX;
        scaleY = newScaleY;
        origin = newOrigin;
        up = newUp;
        look = newLook;
        zDistance = newZ;
        transferMatrix = Camera::CameraIFMO2D::BuildTransferMatrix(up, look, origin);
        std::snprintf(text, sizeof(text), "Camera configuration: %s:%d", ip.c_str(), port);
        lines[0] = text;
        std::snprintf(text, sizeof(text), "Camera configuration:  Wait %.1lf  Scale %.2lf %.2lf",
                      static_cast<double>(maxWaitTime), static_cast<double>(scaleX), static_cast<double>(scaleY));
        lines[1] = text;
        std::snprintf(text, sizeof(text),
                      "Camera configuration:  Origin %.1lf %.1lf %.1lf  Look %.1lf %.1lf %.1lf  Up %.1lf %.1lf %.1lf  "
                      "ZDistance %.1lf",
                      static_cast<double>(origin.x), static_cast<double>(origin.y), static_cast<double>(origin.z),
                      static_cast<double>(look.x), static_cast<double>(look.y), static_cast<double>(look.z),
                      static_cast<double>(up.x), static_cast<double>(up.y), static_cast<double>(up.z),
                      static_cast<double>(zDistance));
        lines[2] = text;
    }
    for (const std::string& line : lines) {
        log->ServerSetMessage(line);
        log->add(line);
    }
    log->add("");
    return true;
}

void CameraIFMO2D::Start() {
    ReadConfigFile();
    std::lock_guard<std::mutex> lock(startMutex);
    // Never a second client beside a running one.
    if (threadRunning) return;
    if (thread.joinable()) thread.join();
    stopRequested = false;
    threadRunning = true;
    thread = std::thread(&CameraIFMO2D::ClientThread, this);
}

int CameraIFMO2D::Stop() {
    stopRequested = true;
    std::lock_guard<std::mutex> lock(startMutex);
    if (thread.joinable()) thread.join();
    return 0;
}

void CameraIFMO2D::ClientThread() {
    const std::string host = GetIP();
    const int hostPort = GetPort();
    char text[128];
    std::snprintf(text, sizeof(text), "Camera Client IFM O2D connecting to %s port %d", host.c_str(), hostPort);
    Tell(text);
    TCPClient client;
    if (!client.Setup(host, hostPort)) {
        Tell("IFM O2D Client: Could not connect to camera");
    } else {
        connected = true;
        char buffer[1024];
        // Waits with a time-out, so a stop is seen; a closed or failed connection ends the thread.
        while (!stopRequested) {
            const timeval timeout{0, 100000};
            if (!client.DataAvailable(&timeout)) continue;
            const int count = client.ReadBytes(buffer, sizeof(buffer));
            if (count <= 0) break;
            ParseMessage(std::string(buffer, static_cast<std::size_t>(count)));
        }
    }
    client.Close();
    Tell("IFM O2D Client: stopping com thread...");
    {
        std::lock_guard<std::mutex> lock(mutex);
        targetValid = false;
    }
    connected = false;
    threadRunning = false;
}

int CameraIFMO2D::ParseMessage(const std::string& text) {
    const std::size_t fail = text.find("000startFAIL");
    int result = -2;
    if (fail != std::string::npos && fail > 0) {
        result = -1;
    } else if (text.size() >= 13 && text.compare(1, 12, "000startPASS") == 0) {
        double floats[3] = {};
        int ints[4] = {};
        const bool hasFields = text.compare(13, 1, "#") == 0;
        if (!hasFields || Camera::CameraBinPicking::ScanPassFields(text, 14, floats, ints)) {
            // The rotation is a whole number of degrees, cut toward zero.
            if (std::fabs(floats[1]) < 2147483647.0) {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    modelClass = ints[1];
                }
                TransformPixelToMM(ints[2], ints[3], static_cast<int>(floats[1]));
                result = 0;
            }
        }
    }
    if (result != 0) {
        std::lock_guard<std::mutex> lock(mutex);
        targetValid = false;
    }
    logObjectInfo();
    return result;
}

int CameraIFMO2D::TransformPixelToMM(int x, int y, int degrees) {
    std::lock_guard<std::mutex> lock(mutex);
    const double dx = static_cast<double>(x) - pixelCentreX;
    const double dy = static_cast<double>(y) - pixelCentreY;
    const DataTypes::Vector3 p(static_cast<float>(scaleX * dx), static_cast<float>(scaleY * dy), zDistance);
    targetPosition = transferMatrix * p;
    pixelX = x;
    pixelY = y;
    rotation = static_cast<float>(degrees);
    targetValid = true;
    return 0;
}

bool CameraIFMO2D::GetTargetPos(float* position, float* rot, int* model) const {
    std::lock_guard<std::mutex> lock(mutex);
    if (!targetValid) return false;
    position[0] = targetPosition.x;
    position[1] = targetPosition.y;
    position[2] = targetPosition.z;
    *rot = static_cast<float>(Camera::FoldAngle(rotation));
    *model = modelClass;
    return true;
}

void CameraIFMO2D::logObjectInfo() {
    bool valid = false;
    char text[256];
    {
        std::lock_guard<std::mutex> lock(mutex);
        valid = targetValid;
        std::snprintf(text, sizeof(text),
                      "IFM O2D Client: Got target position  x=%3.2f y=%3.2f rot=%3.2f,  camera origin x=%dpx y=%dpx,  "
                      "type=%i",
                      static_cast<double>(targetPosition.x), static_cast<double>(targetPosition.y),
                      static_cast<double>(rotation), pixelX, pixelY, modelClass);
    }
    std::lock_guard<std::mutex> lock(reportMutex);
    const time_t now = wallClock();
    if (now <= lastReportTime + reportInterval && valid == lastReportedState) return;
    LogSingleton::instance()->ServerSetMessage(valid ? std::string(text) : "IFM O2D Client: No object recognized");
    lastReportedState = valid;
    lastReportTime = now;
}

}  // namespace PluginFramework
