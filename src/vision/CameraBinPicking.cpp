#include "vision/CameraBinPicking.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "common/StringHelper.h"
#include "vision/CameraIFMO2D.h"
#include "vision/CameraTarget.h"
#include "vision/CameraXml.h"
#include "vision/ImageBitmap8BppIndexed.h"

namespace Camera {

const char* const CameraBinPicking::TYPE_ID = "SolutionBinPicking";

namespace {

const char* const kStart = "0000start";

}  // namespace

bool CameraBinPicking::ScanPassFields(const std::string& text, std::size_t from, double floats[3], int ints[4]) {
    // float, int, int, int, int, float, float
    static const bool isFloat[7] = {true, false, false, false, false, true, true};
    const char* p = text.c_str() + from;
    int f = 0, i = 0;
    for (int field = 0; field < 7; ++field) {
        char* end = nullptr;
        errno = 0;
        if (isFloat[field]) {
            const double value = std::strtod(p, &end);
            if (end == p) return true;
            if (!std::isfinite(value) || std::fabs(value) > FLT_MAX) return false;
            floats[f++] = static_cast<float>(value);
        } else {
            const long value = std::strtol(p, &end, 10);
            if (end == p) return true;
            if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
            ints[i++] = static_cast<int>(value);
        }
        p = end;
        if (field < 6) {
            if (*p != '#') return true;
            ++p;
        }
    }
    return true;
}

CameraBinPicking::CameraBinPicking(const std::string& cameraName, MonotonicClock monotonicClock)
    : CameraInterface(TYPE_ID, cameraName), clock(std::move(monotonicClock)) {}

CameraBinPicking::~CameraBinPicking() { Stop(); }

// ---------------------------------------------------------------- configuration

int CameraBinPicking::Read(tinyxml2::XMLElement& element) {
    LogSingleton* log = LogSingleton::instance();
    log->add("Camera BinPicking: Loading configuration");
    if (const char* text = element.Attribute("Name")) name = text;
    if (const char* text = element.Attribute("Description")) description = text;
    active = ContainsTrue(element, "Active");
    imageEnabled = ContainsTrue(element, "ImageEnabled");
    {
        std::lock_guard<std::mutex> lock(configMutex);
        if (const char* text = element.Attribute("IP")) ip = text;
        if (const char* text = element.Attribute("Port")) {
            errno = 0;
            char* end = nullptr;
            const long value = std::strtol(text, &end, 10);
            if (end != text && errno == 0 && value >= INT_MIN && value <= INT_MAX) port = static_cast<int>(value);
        }
        ReadCameraFrame(element, origin, look, up);
        ReadFinite(element, "ZDistance", zDistance);
    }
    log->add("Camera BinPicking '" + name + "': Configuration loaded");
    return 0;
}

tinyxml2::XMLElement* CameraBinPicking::Write(tinyxml2::XMLDocument& document) {
    tinyxml2::XMLElement* element = document.NewElement("HwCamera");
    std::lock_guard<std::mutex> lock(configMutex);
    element->SetAttribute("Type", TYPE_ID);
    element->SetAttribute("Name", name.c_str());
    element->SetAttribute("Active", active ? "True" : "False");
    element->SetAttribute("ImageEnabled", imageEnabled ? "True" : "False");
    element->SetAttribute("Description", description.c_str());
    element->SetAttribute("IP", ip.c_str());
    element->SetAttribute("Port", port);
    WriteCameraFrame(*element, origin, look, up);
    element->SetAttribute("ZDistance", zDistance);
    return element;
}

void CameraBinPicking::PrintConfig() const {
    LogSingleton* log = LogSingleton::instance();
    std::ostringstream first, second;
    std::lock_guard<std::mutex> lock(configMutex);
    first << "Camera BinPicking '" << name << "': Active=" << (active ? "true" : "false") << ", IP=" << ip
          << ", Port=" << port << ", Image enabled=" << (imageEnabled ? "true" : "false");
    second << "Camera BinPicking '" << name << ", Origin=" << origin.ToString() << ", Look=" << look.ToString()
           << ", Up=" << up.ToString() << ", ZDistance=" << zDistance;
    log->add(first.str());
    log->add(second.str());
}

std::string CameraBinPicking::GetHXPConfigString(int cameraCount) const {
    char text[512];
    std::lock_guard<std::mutex> lock(configMutex);
    std::snprintf(text, sizeof(text),
                  "CONFIG Camera %d %s %s %s %s %d %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %s", cameraCount,
                  typeId.c_str(), name.c_str(), active ? "True" : "False", ip.c_str(), port,
                  static_cast<double>(origin.x), static_cast<double>(origin.y), static_cast<double>(origin.z),
                  static_cast<double>(look.x), static_cast<double>(look.y), static_cast<double>(look.z),
                  static_cast<double>(up.x), static_cast<double>(up.y), static_cast<double>(up.z), zDistance,
                  imageEnabled ? "True" : "False");
    return text;
}

void CameraBinPicking::CreateTransferMatrix() {
    std::lock_guard<std::mutex> lock(configMutex);
    transferMatrixCreated = true;
    transferMatrix = CameraIFMO2D::BuildTransferMatrix(up, look, origin);
}

// ---------------------------------------------------------------- run control

void CameraBinPicking::Start() {
    if (thread.IsRunning() || !active) return;
    thread.Start([this] { ThreadMainLoop(); });
}

void CameraBinPicking::Stop() { thread.Stop(); }

int CameraBinPicking::GetStatus() const {
    if (!active) return 0;
    return connected ? 2 : 1;
}

void CameraBinPicking::ThreadMainLoop() {
    LogSingleton* log = LogSingleton::instance();
    connected = false;
    bool create = false;
    std::string host;
    int hostPort = 0;
    {
        std::lock_guard<std::mutex> lock(configMutex);
        create = !transferMatrixCreated;
        host = ip;
        hostPort = port;
    }
    if (create) CreateTransferMatrix();
    PrintConfig();
    log->add("Camera BinPicking '" + name + " connecting to " + host + " port " + std::to_string(hostPort));
    while (thread.IsRunning() && active) {
        log->add("Camera BinPicking '" + name + "' connecting");
        TCPClient client;
        if (!client.Setup(host, hostPort)) {
            thread.Pause(std::chrono::milliseconds(5000));
        } else {
            log->add("Camera BinPicking '" + name + "' connected");
            connected = true;
            lastDataSeconds = clock().tv_sec;
            ResetCollection();
            Connected(client);
        }
        client.Close();
        SetImage(nullptr);
        connected = false;
    }
    log->add("Camera BinPicking '" + name + "' stopped");
    thread.MarkEnded();
}

void CameraBinPicking::Connected(TCPClient& client) {
    LogSingleton* log = LogSingleton::instance();
    std::vector<char> received(kReceiveSize);
    std::chrono::steady_clock::time_point lastRequest{};
    while (thread.IsRunning() && active) {
        if (clock().tv_sec - lastDataSeconds > 4) {
            log->add("Camera BinPicking '" + name + "' timeout");
            return;
        }
        // A peer that answers at once would otherwise be polled as fast as the loop runs.
        const auto sinceRequest = std::chrono::steady_clock::now() - lastRequest;
        if (sinceRequest < kRequestInterval &&
            !thread.Pause(std::chrono::duration_cast<std::chrono::milliseconds>(kRequestInterval - sinceRequest) +
                          std::chrono::milliseconds(1)))
            return;
        lastRequest = std::chrono::steady_clock::now();
        client.Send("REQUEST");
        bool available = false;
        for (int attempt = 0; attempt < 10 && !available; ++attempt) {
            const timeval wait{0, 100000};
            available = client.DataAvailable(&wait);
            if (!available && !thread.Pause(std::chrono::milliseconds(100))) return;
        }
        if (!available) {
            log->add("Camera BinPicking failed to receive data!");
            continue;
        }
        const int count = client.ReadBytes(received.data(), static_cast<int>(received.size()));
        if (count <= 0) {
            // A closed connection stays readable; reconnect rather than poll it until the time-out.
            log->addError("Camera BinPicking '" + name + "': Connection closed");
            return;
        }
        lastDataSeconds = clock().tv_sec;
        Collect(received.data(), static_cast<std::size_t>(count));
    }
}

// ---------------------------------------------------------------- receiving

void CameraBinPicking::ResetCollection() {
    messageFill = 0;
    pictureExpected = false;
}

void CameraBinPicking::Collect(const char* data, std::size_t length) {
    if (data == nullptr || length == 0) return;
    if (message.size() < kMessageCapacity) message.resize(kMessageCapacity);
    if (messageFill > 0) {
        if (messageFill + length > kMessageCapacity) {
            ResetCollection();
            return;
        }
        std::memcpy(message.data() + messageFill, data, length);
        messageFill += length;
    } else {
        const int start = CameraIFMO2D::Find(data, 0, static_cast<int>(std::min<std::size_t>(length, INT_MAX)), kStart);
        if (start < 0) return;
        const std::size_t count = std::min(length - static_cast<std::size_t>(start), kMessageCapacity);
        std::memcpy(message.data(), data + start, count);
        messageFill = count;
    }
    while (messageFill >= 1) {
        const int fill = static_cast<int>(messageFill);
        if (!pictureExpected && messageFill < 8320 &&
            CameraIFMO2D::Find(message.data(), 0, std::min(fill, 128), "#BMP#") >= 0) {
            pictureExpected = true;
        }
        int end = -1;
        if (!pictureExpected) {
            end = CameraIFMO2D::Find(message.data(), 0, fill, "stop");
        } else if (messageFill > kPictureSize) {
            end = CameraIFMO2D::Find(message.data(), static_cast<int>(kPictureSize), fill, "stop");
        }
        if (end < 0) return;
        ParseMessage(message.data(), static_cast<std::size_t>(end));
        // Per message: otherwise every later result would wait for a picture's worth of bytes.
        pictureExpected = false;
        const int next = CameraIFMO2D::Find(message.data(), end, fill, kStart);
        if (next < 0) {
            messageFill = 0;
            return;
        }
        std::memmove(message.data(), message.data() + next, messageFill - static_cast<std::size_t>(next));
        messageFill -= static_cast<std::size_t>(next);
    }
}

void CameraBinPicking::ParseMessage(const char* bytes, std::size_t length) {
    const std::string text(bytes, length);
    const std::size_t pass = text.find("0000startPASS");
    if (text.find("0000startFAIL") != std::string::npos || pass == std::string::npos) {
        latest.Invalidate();
    } else {
        double floats[3] = {};
        int ints[4] = {};
        const bool readable = text.compare(pass, 14, "0000startPASS#") != 0 ||
                              ScanPassFields(text, pass + 14, floats, ints);
        if (!readable) {
            latest.Invalidate();
        } else {
            // Class and angle change together, so a reader never sees half a result.
            latest.Update([&](TargetResult& result) {
                result.modelClass = ints[1];
                result.angle = floats[1];
                result.valid = true;
            });
        }
    }
    newResult = true;

    if (!imageEnabled) return;
    const int mark = CameraIFMO2D::Find(bytes, 0, static_cast<int>(std::min<std::size_t>(length, 128)), "#BMP#");
    if (mark < 0) return;
    try {
        const std::size_t sizeAt = static_cast<std::size_t>(mark) + 5;
        const std::size_t hash = text.find('#', sizeAt);
        if (hash == std::string::npos) throw std::invalid_argument("picture size without end");
        const std::string digits = text.substr(sizeAt, hash - sizeAt);
        errno = 0;
        char* end = nullptr;
        const long size = std::strtol(digits.c_str(), &end, 10);
        const std::size_t data = hash + 1;
        // The picture must lie inside its message.
        if (end == digits.c_str() || errno != 0 || size <= 0 || static_cast<unsigned long>(size) > length - data)
            throw std::invalid_argument("picture outside its message");
        SetImage(std::make_shared<Imaging::ImageBitmap8BppIndexed>(reinterpret_cast<const unsigned char*>(bytes + data),
                                                                   static_cast<unsigned int>(size)));
    } catch (const std::exception&) {
        LogSingleton::instance()->addError("Camera BinPicking '" + name + "': parsing image failed");
    }
}

int CameraBinPicking::SetImageCoordinate(int /*x*/, int /*y*/, double angle) {
    latest.Update([&](TargetResult& result) {
        result.angle = angle;
        result.valid = true;
    });
    return 0;
}

bool CameraBinPicking::HasValidResult() const { return latest.IsValid(); }

bool CameraBinPicking::GetTargetPos(DataTypes::Vector3& position, DataTypes::Vector3& orientation,
                                    int& modelClass) const {
    return latest.Report(connected, position, orientation, modelClass);
}

}  // namespace Camera
