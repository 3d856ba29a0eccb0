#include "vision/CameraIFMO2D.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
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
#include "vision/CameraTarget.h"
#include "vision/CameraXml.h"
#include "vision/ImageBitmap8BppIndexed.h"
#include "vision/ImageJPEG.h"

namespace Camera {

const char* const CameraIFMO2D::TYPE_ID = "IFMO2D";

namespace {

const char* const kResultPattern =
    "0000start?(?:([PASFIL]{4})#\\d{1,10}(?:\\.\\d{0,5})?#\\d{1,10}(#(\\d{1,10})#(\\d+)#(\\d+)#([\\+-]?\\d+(?:\\.\\d+)?)#"
    "\\d{1,3}(?:\\.\\d?)?)?(?:#([BMPRAW]{3})#(\\d{9})#)?)?(#(\\d)#([\\+-]?\\d{1,2})#([\\+-]?\\d{1,4})#([\\+-]?\\d{1,3})#"
    "(?:\\d\\.\\d{1,4})#(([\\+-]?\\d{1,3}\\.\\d{1,4})#([\\+-]?\\d{1,4})#([\\+-]?\\d{1,4})#(\\d\\.\\d{1,4})#)?stop)?((M(\\d{1,"
    "3})#(\\d{1,2})(O([\\+-]?\\d{1,5}(?:\\.\\d{1,9})?)#([\\+-]?\\d{1,5}(?:\\.\\d{1,9})?)#([\\+-]?\\d{1,5}(?:\\.\\d{1,9})?)#(["
    "\\+-]?\\d{1,5}(?:\\.\\d{1,9})?)#)*)+stop)?";
const char* const kModelPattern =
    "M(\\d{1,3})#\\d{1,2}O([\\+-]?\\d{1,5}(?:\\.\\d{1,9})?)#([\\+-]?\\d{1,5}(?:\\.\\d{1,9})?)#([\\+-]?\\d{1,5}(?:\\.\\d{1,"
    "9})?)#([\\+-]?\\d{1,5}(?:\\.\\d{1,9})?)#";
const char* const kDevicePattern = "IFM ELECTRONIC\\t(\\w+)\\t[^\\r\\n]*";

const char* const kStart = "0000star";
const std::string kPictureTicket = "1002";
const std::string kDeviceTicket = "1003";

// A decimal integer that fits an int; false for anything else.
bool ToInt(const std::string& text, int& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size() || parsed < INT_MIN || parsed > INT_MAX) return false;
    value = static_cast<int>(parsed);
    return true;
}

// A finite number; false for anything else.
bool ToFinite(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

}  // namespace

CameraIFMO2D::CameraIFMO2D(const std::string& cameraName, MonotonicClock monotonicClock)
    : CameraInterface(TYPE_ID, cameraName),
      resultPattern(kResultPattern, std::regex::ECMAScript),
      modelPattern(kModelPattern, std::regex::ECMAScript),
      devicePattern(kDevicePattern, std::regex::ECMAScript),
      clock(std::move(monotonicClock)) {}

CameraIFMO2D::~CameraIFMO2D() { Stop(); }

// ---------------------------------------------------------------- configuration

int CameraIFMO2D::Read(tinyxml2::XMLElement& element) {
    LogSingleton* log = LogSingleton::instance();
    log->add("Camera IFM O2D: Loading configuration");
    if (const char* text = element.Attribute("Name")) name = text;
    if (const char* text = element.Attribute("Description")) description = text;
    active = ContainsTrue(element, "Active");
    imageEnabled = ContainsTrue(element, "ImageEnabled");
    {
        std::lock_guard<std::mutex> lock(configMutex);
        if (const char* text = element.Attribute("IP")) ip = text;
        int number = 0;
        if (element.Attribute("Port") != nullptr && ToInt(AttributeText(element, "Port"), number)) port = number;
        coordinateType = AttributeText(element, "CoordinateType") == "RobotCoordinates" ? RobotCoordinates
                                                                                          : ImageCoordinates;
        ReadFinite(element, "ScaleX", scaleX);
        ReadFinite(element, "ScaleY", scaleY);
        ReadCameraFrame(element, origin, look, up);
        ReadFinite(element, "ZDistance", zDistance);
    }
    log->addFormat("Camera IFM O2D '%s': Configuration loaded", name);
    return 0;
}

tinyxml2::XMLElement* CameraIFMO2D::Write(tinyxml2::XMLDocument& document) {
    tinyxml2::XMLElement* element = document.NewElement("HwCamera");
    std::lock_guard<std::mutex> lock(configMutex);
    element->SetAttribute("Type", TYPE_ID);
    element->SetAttribute("Name", name.c_str());
    element->SetAttribute("Active", active ? "True" : "False");
    element->SetAttribute("ImageEnabled", imageEnabled ? "True" : "False");
    element->SetAttribute("Description", description.c_str());
    element->SetAttribute("IP", ip.c_str());
    element->SetAttribute("Port", port);
    element->SetAttribute("CoordinateType",
                          coordinateType == RobotCoordinates ? "RobotCoordinates" : "ImageCoordinates");
    element->SetAttribute("ScaleX", scaleX);
    element->SetAttribute("ScaleY", scaleY);
    WriteCameraFrame(*element, origin, look, up);
    element->SetAttribute("ZDistance", zDistance);
    return element;
}

void CameraIFMO2D::PrintConfig() const {
    LogSingleton* log = LogSingleton::instance();
    std::ostringstream first, second;
    std::lock_guard<std::mutex> lock(configMutex);
    first << "Camera IFM O2D '" << name << "': " << "Active=" << (active ? "true" : "false") << ", IP=" << ip
          << ", Port=" << port << ", Image enabled=" << (imageEnabled ? "true" : "false");
    second << "Camera IFM O2D '" << name << "': ";
    if (coordinateType == RobotCoordinates) {
        second << "RobotCoordinates";
    } else {
        second << "Scale x=" << scaleX << " y=" << scaleY << ", Origin=" << origin.ToString()
               << ", Look=" << look.ToString() << ", Up=" << up.ToString() << ", ZDistance=" << zDistance;
    }
    log->add(first.str());
    log->add(second.str());
}

std::string CameraIFMO2D::GetHXPConfigString(int cameraCount) const {
    std::lock_guard<std::mutex> lock(configMutex);
    return Format("CONFIG Camera %d %s %s %s %s %d %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %s %d",
                  cameraCount, typeId.c_str(), name.c_str(), active ? "True" : "False", ip.c_str(), port, scaleX,
                  scaleY, static_cast<double>(origin.x), static_cast<double>(origin.y),
                  static_cast<double>(origin.z), static_cast<double>(look.x), static_cast<double>(look.y),
                  static_cast<double>(look.z), static_cast<double>(up.x), static_cast<double>(up.y),
                  static_cast<double>(up.z), zDistance, imageEnabled ? "True" : "False",
                  coordinateType == RobotCoordinates ? 1 : 0);
}

// ---------------------------------------------------------------- run control

void CameraIFMO2D::Start() {
    if (thread.IsRunning() || !active) return;
    thread.Start([this] { MainLoop(); });
    if (imageEnabled) StartEncoding();
}

void CameraIFMO2D::Stop() {
    thread.Stop();
    StopEncoding();
}

int CameraIFMO2D::GetStatus() const {
    if (!active) return 0;
    if (!connected) return 1;
    return NowSeconds() - lastDataSeconds <= kTimeoutSeconds ? 2 : 1;
}

void CameraIFMO2D::SetModel(int newModel) {
    if (model.exchange(newModel) == newModel) return;
    latest.Invalidate();
}

void CameraIFMO2D::SetProtocolVersion(int version) {
    if (protocolVersion.exchange(version) == version) return;
    LogSingleton::instance()->addFormat("Camera IFM O2D '%s': Recognized message format of %s", name,
                                        version == 2 ? "O2D500" : "O2D200");
}

void CameraIFMO2D::MainLoop() {
    LogSingleton* log = LogSingleton::instance();
    connected = false;
    {
        bool create = false;
        {
            std::lock_guard<std::mutex> lock(configMutex);
            create = !transferMatrixCreated;
        }
        if (create) CreateTransferMatrix();
    }
    PrintConfig();
    std::string host;
    int hostPort = 0;
    {
        std::lock_guard<std::mutex> lock(configMutex);
        host = ip;
        hostPort = port;
    }
    log->addFormat("Camera IFM O2D '%s' connecting to %s port %d", name, host, hostPort);
    while (thread.IsRunning() && active) {
        log->addFormat("Camera IFM O2D '%s' connecting", name);
        TCPClient fresh;
        if (!fresh.Setup(host, hostPort)) {
            thread.Pause(std::chrono::milliseconds(5000));
        } else {
            {
                std::lock_guard<std::mutex> lock(clientMutex);
                client = std::move(fresh);
            }
            log->addFormat("Camera IFM O2D '%s' connected", name);
            // What a previous connection left half-received does not belong to this one.
            messageFill = 0;
            bytesAnnounced = 0;
            bytesReceived = 0;
            connectSeconds = NowSeconds();
            connected = true;
            try {
                Connected();
            } catch (const std::exception& e) {
                log->addErrorFormat("Camera IFM O2D '%s' exception: %s", name, e.what());
            }
        }
        connected = false;
        {
            std::lock_guard<std::mutex> lock(clientMutex);
            client.Close();
        }
        SetImage(nullptr);
    }
    StopEncoding();
    log->addFormat("Camera IFM O2D '%s' stopped", name);
    thread.MarkEnded();
}

void CameraIFMO2D::Connected() {
    LogSingleton* log = LogSingleton::instance();
    std::vector<char> chunk;
    while (thread.IsRunning() && active) {
        int64_t now = NowSeconds();
        if (now - lastDataSeconds > kTimeoutSeconds && now - connectSeconds > kTimeoutSeconds) {
            log->addErrorFormat("Camera IFM O2D '%s' timeout", name);
            return;
        }
        const timeval wait{0, 100000};
        if (client.DataAvailable(&wait)) {
            lastDataSeconds = NowSeconds();
            chunk.resize(NextReadSize());
            const int count = client.ReadBytes(chunk.data(), static_cast<int>(chunk.size()));
            HandleRead(chunk.data(), count > 0 ? static_cast<std::size_t>(count) : 0);
            // A closed or failed connection stays readable and would never time out.
            if (count <= 0) {
                log->addErrorFormat("Camera IFM O2D '%s': Connection closed", name);
                return;
            }
        } else {
            now = NowSeconds();
            if (now - lastDataSeconds > kTimeoutSeconds && now - connectSeconds > kTimeoutSeconds) {
                log->addErrorFormat("Camera IFM O2D '%s': Timeout", name);
                return;
            }
            if (now - lastDataSeconds > 3 && NowMs() - lastKeepaliveMs >= 1000) RequestKeepalive();
        }
        if (imageEnabled && NowMs() - lastPictureRequestMs > 1000) RequestPictureData();
        if (model == ModelUnknown && NowMs() - lastDeviceRequestMs > 2000) RequestDeviceInfo();
    }
}

std::size_t CameraIFMO2D::NextReadSize() const {
    if (!IsReadingImageData()) return 128;
    const std::size_t missing = bytesAnnounced - std::min(bytesReceived, bytesAnnounced);
    return std::min<std::size_t>(8192, std::max<std::size_t>(128, missing));
}

void CameraIFMO2D::HandleRead(const char* data, std::size_t length) {
    if (IsReadingImageData()) {
        if (length > 0) ConsumePartialImageData(data, length);
        return;
    }
    ConsumePartialMessage(data, length);
    ParsePartialMessage();
}

// ---------------------------------------------------------------- requests

void CameraIFMO2D::SendMessage(int ticket, const std::string& text) {
    LogSingleton* log = LogSingleton::instance();
    if (ticket < 1000 || ticket > 9999) {
        log->addErrorFormat(
            "Camera IFM O2D '%s': Bug while sending message '%s' to IFM O2D camera: ticket number %d is out of range",
            name, text, ticket);
        return;
    }
    if (!thread.IsRunning() || !connected) return;
    try {
        const std::string body = Format("%04d", ticket) + text + "\r\n";
        const std::string frame = Format("%04dL%09zu\r\n", ticket, body.size()) + body;
        std::lock_guard<std::mutex> lock(clientMutex);
        client.Send(frame);
    } catch (const std::exception& e) {
        log->addFormat("Camera IFM O2D '%s' exception: %s", name, e.what());
    }
}

void CameraIFMO2D::TriggerImageRecognition() {
    SetCameraResultFail();
    SendMessage(1000, "t");
}

void CameraIFMO2D::RequestKeepalive() {
    lastKeepaliveMs = NowMs();
    SendMessage(1001, "V?");
}

void CameraIFMO2D::RequestPictureData() {
    lastPictureRequestMs = NowMs();
    SendMessage(1002, protocolVersion == 1 ? "I?" : "I01?");
}

void CameraIFMO2D::RequestDeviceInfo() {
    lastDeviceRequestMs = NowMs();
    SendMessage(1003, "G?");
    SendMessage(1003, "D?");
}

// ---------------------------------------------------------------- receiving

int CameraIFMO2D::Find(const char* buffer, int from, int length, const std::string& pattern) {
    if (buffer == nullptr || pattern.empty() || from < 0 || length - from < static_cast<int>(pattern.size()))
        return -1;
    const char* end = buffer + length;
    const char* found = std::search(buffer + from, end, pattern.begin(), pattern.end());
    return found == end ? -1 : static_cast<int>(found - buffer);
}

void CameraIFMO2D::ConsumePartialMessage(const char* data, std::size_t length) {
    if (data == nullptr || length == 0) return;
    if (length >= kMessageBufferSize) {
        std::memcpy(messageBuffer, data + (length - kMessageBufferSize), kMessageBufferSize);
        messageFill = kMessageBufferSize;
        return;
    }
    if (messageFill + length > kMessageBufferSize) DropMessageFront(messageFill + length - kMessageBufferSize);
    std::memcpy(messageBuffer + messageFill, data, length);
    messageFill += length;
}

void CameraIFMO2D::DropMessageFront(std::size_t count) {
    count = std::min(count, messageFill);
    std::memmove(messageBuffer, messageBuffer + count, messageFill - count);
    messageFill -= count;
}

void CameraIFMO2D::ParsePartialMessage() {
    LogSingleton* log = LogSingleton::instance();
    const int fill = static_cast<int>(messageFill);
    int start = Find(messageBuffer, 0, fill, kStart);
    while (start >= 0) {
        if (start > 0) DropMessageFront(static_cast<std::size_t>(start));
        const int size = static_cast<int>(messageFill);
        const int next = Find(messageBuffer, 8, size, kStart);
        // Taken once it has an end: "stop", the next message, a line end (no result has one, every
        // framed reply does), a whole picture announcement, or a full buffer.
        const bool complete = size == static_cast<int>(kMessageBufferSize) || Find(messageBuffer, 8, size, "stop") >= 0 ||
                              next >= 0 ||
                              std::find_if(messageBuffer + 8, messageBuffer + std::max(size, 8), [](char c) {
                                  return c == '\r' || c == '\n';
                              }) != messageBuffer + std::max(size, 8) ||
                              [&] {
                                  for (const char* mark : {"#BMP#", "#RAW#"}) {
                                      const int at = Find(messageBuffer, 8, size, mark);
                                      if (at >= 0 && size >= at + 15) return true;
                                  }
                                  return false;
                              }();
        if (!complete) return;
        // A result ends where the next one starts: its digits must not take that one's zeros.
        const std::string text(messageBuffer,
                               next >= 0 ? ::strnlen(messageBuffer, static_cast<std::size_t>(next))
                                         : ::strnlen(messageBuffer, messageFill));
        std::smatch m;
        if (!std::regex_search(text, m, resultPattern) || m.position(0) != 0) {
            DropMessageFront(8);
            start = Find(messageBuffer, 0, static_cast<int>(messageFill), kStart);
            continue;
        }
        auto group = [&m](std::size_t i) { return i < m.size() ? m.str(i) : std::string(); };
        if (!group(1).empty()) {
            SetProtocolVersion(1);
            int x = 0, y = 0, modelClass = 0;
            double angle = 0.0;
            if (group(1) == "PASS" && !group(2).empty() && ToInt(group(3), modelClass) && ToInt(group(4), x) &&
                ToInt(group(5), y) && ToFinite(group(6), angle)) {
                SetCameraResultPass(x, y, static_cast<float>(angle), modelClass);
            } else {
                SetCameraResultFail();
            }
        } else if (!group(9).empty()) {
            SetProtocolVersion(2);
            double angle = 0.0, x = 0.0, y = 0.0;
            if (group(10) == "1") {
                if (!group(14).empty() && ToFinite(group(15), angle) && ToFinite(group(16), x) &&
                    ToFinite(group(17), y)) {
                    SetCameraResultPass(static_cast<int>(x), static_cast<int>(y), static_cast<float>(angle), 0);
                } else if (ToFinite(group(12), x) && ToFinite(group(13), y)) {
                    SetCameraResultPass(static_cast<int>(x), static_cast<int>(y), 0.0, 0);
                } else {
                    SetCameraResultError();
                }
            } else {
                SetCameraResultFail();
            }
        } else if (!group(19).empty()) {
            SetProtocolVersion(2);
            const std::string list = group(19);
            std::smatch found;
            double values[4] = {};
            int modelClass = 0;
            if (std::regex_search(list, found, modelPattern) && found.size() == 6 &&
                ToInt(found.str(1), modelClass) && ToFinite(found.str(2), values[0]) &&
                ToFinite(found.str(3), values[1]) && ToFinite(found.str(4), values[2]) &&
                ToFinite(found.str(5), values[3])) {
                SetCameraResultPass(DataTypes::Vector3(static_cast<float>(values[0]), static_cast<float>(values[1]),
                                                       static_cast<float>(values[2])),
                                    static_cast<float>(values[3]), modelClass);
            } else {
                SetCameraResultFail();
            }
        } else {
            SetCameraResultFail();
        }

        const std::size_t matched = static_cast<std::size_t>(m.length(0));
        if (group(7) == "BMP") {
            int announced = 0;
            if (!ToInt(group(8), announced) || announced <= 0) {
                // Dropped, or it would be parsed again at every read and hold up every later result.
                log->addErrorFormat("Camera IFM O2D '%s': Could not parse image data length!", name);
                bytesAnnounced = 0;
                DropMessageFront(matched);
                start = Find(messageBuffer, 0, static_cast<int>(messageFill), kStart);
                continue;
            }
            if (announced > kMaxImageSize) {
                messageFill = 0;
                log->addErrorFormat("Camera IFM O2D '%s': Image data too large! %d bytes", name, announced);
                bytesAnnounced = 0;
                return;
            }
            ReserveImageDataBuffer(static_cast<std::size_t>(announced));
            bytesAnnounced = static_cast<std::size_t>(announced);
            bytesReceived = 0;
            // Taken out first: a picture completed by these bytes hands what follows back to the buffer.
            const std::vector<char> rest(messageBuffer + matched, messageBuffer + messageFill);
            messageFill = 0;
            if (!rest.empty()) ConsumePartialImageData(rest.data(), rest.size());
            return;
        }
        DropMessageFront(matched);
        start = Find(messageBuffer, 0, static_cast<int>(messageFill), kStart);
    }
    if (imageEnabled && ParsePictureReply()) return;
    if (model == ModelUnknown) ParseDeviceInfo();
}

bool CameraIFMO2D::ParsePictureReply() {
    const int fill = static_cast<int>(messageFill);
    for (int hit = Find(messageBuffer, 0, fill, kPictureTicket); hit >= 0;
         hit = Find(messageBuffer, hit + 4, fill, kPictureTicket)) {
        const int available = fill - hit;
        if (available >= 6 && (messageBuffer[hit + 4] == 'L' || messageBuffer[hit + 4] == '!')) continue;
        if (available <= 16) continue;
        const std::string digits(messageBuffer + hit + 4, 9);
        if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
        int size = 0;
        if (!ToInt(digits, size) || size <= 0) continue;
        if (size > kMaxImageSize) {
            messageFill = 0;
            LogSingleton::instance()->addErrorFormat("Camera IFM O2D '%s': Image data too large! %d bytes", name,
                                                     size);
            bytesAnnounced = 0;
            return true;
        }
        ReserveImageDataBuffer(static_cast<std::size_t>(size));
        bytesAnnounced = static_cast<std::size_t>(size);
        bytesReceived = 0;
        const std::vector<char> rest(messageBuffer + hit + 13, messageBuffer + fill);
        messageFill = 0;
        if (!rest.empty()) ConsumePartialImageData(rest.data(), rest.size());
        return true;
    }
    return false;
}

bool CameraIFMO2D::ParseDeviceInfo() {
    LogSingleton* log = LogSingleton::instance();
    const int fill = static_cast<int>(messageFill);
    for (int hit = Find(messageBuffer, 0, fill, kDeviceTicket); hit >= 0;
         hit = Find(messageBuffer, hit + 4, fill, kDeviceTicket)) {
        const int available = fill - hit;
        if (available >= 6 && (messageBuffer[hit + 4] == 'L' || messageBuffer[hit + 4] == '?')) continue;
        if (available < 8) continue;
        if (std::memcmp(messageBuffer + hit + 4, "IFM", 3) != 0) continue;
        const std::string text(messageBuffer + hit + 4, static_cast<std::size_t>(fill - hit - 4));
        std::smatch m;
        if (!std::regex_search(text, m, devicePattern) || m.str(1).empty()) return false;
        const std::string modelName = m.str(1);
        if (modelName.compare(0, 4, "O2D2") == 0) {
            log->addFormat("Camera IFM O2D '%s': Model %s (200 series) recognized", name, modelName);
            SetModel(ModelO2D200);
        } else if (modelName.compare(0, 4, "O2D5") == 0) {
            log->addFormat("Camera IFM O2D '%s': Model %s (500 series) recognized", name, modelName);
            SetModel(ModelO2D500);
        } else {
            log->addErrorFormat("Camera IFM O2D '%s': Unknown camera model %s", name, modelName);
            SetModel(ModelUnknown);
        }
        // Handled once, not again at every read while it is in the buffer.
        DropMessageFront(static_cast<std::size_t>(hit + 4) + static_cast<std::size_t>(m.position(0) + m.length(0)));
        return true;
    }
    return false;
}

// ---------------------------------------------------------------- pictures

void CameraIFMO2D::ReserveImageDataBuffer(std::size_t size) {
    if (imageBuffer.size() >= size) return;
    imageBuffer.assign(size, 0);
}

void CameraIFMO2D::ConsumePartialImageData(const char* data, std::size_t length) {
    LogSingleton* log = LogSingleton::instance();
    if (imageBuffer.empty()) {
        DiscardImageData();
        log->addErrorFormat("Camera IFM O2D '%s': Bug: Image buffer not initialized, discarding image", name);
        return;
    }
    if (bytesReceived >= bytesAnnounced) {
        DiscardImageData();
        log->addErrorFormat("Camera IFM O2D '%s': Buffer overflow 3", name);
        return;
    }
    const std::size_t count = std::min(length, bytesAnnounced - bytesReceived);
    std::memcpy(imageBuffer.data() + bytesReceived, data, count);
    bytesReceived += count;
    if (bytesReceived != bytesAnnounced) return;
    AcceptImageData();
    if (length > count) {
        ConsumePartialMessage(data + count, length - count);
        ParsePartialMessage();
    }
}

void CameraIFMO2D::AcceptImageData() {
    LogSingleton* log = LogSingleton::instance();
    const std::size_t size = bytesAnnounced;
    bytesAnnounced = 0;
    bytesReceived = 0;
    const unsigned char* bytes = imageBuffer.data();
    for (std::size_t i = 0; i < 128; ++i) {
        if (i + 1 >= size) {
            log->addErrorFormat("Camera IFM O2D '%s': Got image data but could not recognize format", name);
            return;
        }
        const bool bmp = i + 2 < size && bytes[i] == 0x42 && bytes[i + 1] == 0x4D && bytes[i + 2] == 0x36;
        const bool jpeg = bytes[i] == 0xFF && bytes[i + 1] == 0xD8;
        if (!bmp && !jpeg) continue;
        try {
            const unsigned int length = static_cast<unsigned int>(size - i);
            if (bmp) {
                SetImage(std::make_shared<Imaging::ImageBitmap8BppIndexed>(bytes + i, length));
            } else {
                SetImage(std::make_shared<Imaging::ImageJPEG>(bytes + i, length));
            }
        } catch (const std::invalid_argument&) {
            log->addErrorFormat("Camera IFM O2D '%s': parsing image failed", name);
        }
        return;
    }
}

void CameraIFMO2D::DiscardImageData() {
    bytesAnnounced = 0;
    bytesReceived = 0;
    SetImage(nullptr);
}

// ---------------------------------------------------------------- results

void CameraIFMO2D::CreateTransferMatrix() {
    std::lock_guard<std::mutex> lock(configMutex);
    transferMatrixCreated = true;
    transferMatrix = BuildTransferMatrix(up, look, origin);
}

DataTypes::Matrix44 CameraIFMO2D::BuildTransferMatrix(DataTypes::Vector3& up, DataTypes::Vector3& look,
                                                      const DataTypes::Vector3& origin) {
    DataTypes::Vector3 side;
    DataTypes::Vector3::CreateCoordSystem(up, look, side);
    DataTypes::Matrix44 matrix;
    matrix.SetColumnVector(0, up);
    matrix.SetColumnVector(1, side);
    matrix.SetColumnVector(2, look);
    matrix.SetColumnVector(3, origin);
    return matrix;
}

DataTypes::Vector3 CameraIFMO2D::Transform(int x, int y) const {
    if (model == ModelO2D200) {
        x -= 320;
        y -= 240;
    }
    std::lock_guard<std::mutex> lock(configMutex);
    const DataTypes::Vector3 v(static_cast<float>(scaleX * x), static_cast<float>(scaleY * y),
                               static_cast<float>(zDistance));
    return transferMatrix * v;
}

void CameraIFMO2D::StoreResult(const TargetResult& stored) {
    latest.Store(stored);
    newResult = true;
}

int CameraIFMO2D::SetImageCoordinate(int x, int y, double angle) {
    const DataTypes::Vector3 target = Transform(x, y);
    latest.Update([&](TargetResult& result) {
        result.position = target;
        result.angle = angle;
        result.valid = true;
    });
    return 0;
}

int CameraIFMO2D::SetRobotCoordinate(const DataTypes::Vector3& position, double angle) {
    latest.Update([&](TargetResult& result) {
        result.position = position;
        result.angle = angle;
        result.valid = true;
    });
    return 0;
}

void CameraIFMO2D::SetCameraResultPass(int x, int y, double angle, int modelClass) {
    int kind = ImageCoordinates;
    {
        std::lock_guard<std::mutex> lock(configMutex);
        kind = coordinateType;
    }
    TargetResult stored;
    stored.position = kind == RobotCoordinates ? DataTypes::Vector3(static_cast<float>(x), static_cast<float>(y), 0.0f)
                                               : Transform(x, y);
    stored.angle = angle;
    stored.modelClass = modelClass;
    stored.valid = true;
    StoreResult(stored);
}

void CameraIFMO2D::SetCameraResultPass(const DataTypes::Vector3& position, double angle, int modelClass) {
    int kind = ImageCoordinates;
    {
        std::lock_guard<std::mutex> lock(configMutex);
        kind = coordinateType;
    }
    TargetResult stored;
    stored.position =
        kind == RobotCoordinates ? position : Transform(static_cast<int>(position.x), static_cast<int>(position.y));
    stored.angle = angle;
    stored.modelClass = modelClass;
    stored.valid = true;
    StoreResult(stored);
}

void CameraIFMO2D::SetCameraResultFail() {
    TargetResult stored;
    stored.valid = true;
    StoreResult(stored);
}

void CameraIFMO2D::SetCameraResultError() {
    DiscardImageData();
    StoreResult(TargetResult());
}

bool CameraIFMO2D::HasValidResult() const { return latest.IsValid(); }

bool CameraIFMO2D::GetTargetPos(DataTypes::Vector3& position, DataTypes::Vector3& orientation,
                                int& modelClass) const {
    return latest.Report(connected, position, orientation, modelClass);
}

}  // namespace Camera
