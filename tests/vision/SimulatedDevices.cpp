#include "SimulatedDevices.h"

#include <cstdio>
#include <cstdlib>

namespace VisionTest {

std::string AsText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string SmallBmp() {
    BmpLayout layout;
    layout.width = 16;
    layout.height = 16;
    layout.pixels = RandomBytes(256, 7);
    return AsText(MakeBmp(layout));
}

std::string FullBmp() {
    BmpLayout layout;
    layout.width = 640;
    layout.height = 480;
    layout.pixels = RandomBytes(640 * 480, 11);
    return AsText(MakeBmp(layout));
}

std::string JpegLike() { return std::string("\xFF\xD8\xFF\xE0", 4) + "JFIF-like bytes of a picture" + "\xFF\xD9"; }

std::string O2DFrame(int ticket, const std::string& body) {
    char head[32];
    std::snprintf(head, sizeof(head), "%04dL%09zu\r\n", ticket, body.size());
    return head + body;
}

std::string O2DPictureReply(const std::string& picture) {
    char size[16];
    std::snprintf(size, sizeof(size), "%09zu", picture.size());
    return O2DFrame(1002, "1002" + std::string(size) + picture + "\r\n");
}

std::string O2D200Pass(int modelClass, const std::string& x, const std::string& y, const std::string& angle) {
    return "0000startPASS#0.9#1#" + std::to_string(modelClass) + "#" + x + "#" + y + "#" + angle + "#80stop";
}

// ---------------------------------------------------------------- O2D

SimulatedO2D::SimulatedO2D() {
    server.SetHandler([this](const std::string& piece) { OnBytes(piece); });
}

SimulatedO2D::~SimulatedO2D() { server.SetHandler(nullptr); }

void SimulatedO2D::OnBytes(const std::string& piece) {
    std::vector<std::string> complete;
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending += piece;
        while (pending.size() >= 16) {
            const bool header = pending[4] == 'L' && pending[14] == '\r' && pending[15] == '\n' &&
                                pending.find_first_not_of("0123456789", 5) >= 14 &&
                                pending.find_first_not_of("0123456789") == 4;
            if (!header) {
                ++badFrames;
                pending.clear();
                break;
            }
            const std::size_t length = std::strtoul(pending.substr(5, 9).c_str(), nullptr, 10);
            if (pending.size() < 16 + length) break;
            const std::string ticket = pending.substr(0, 4);
            std::string body = pending.substr(16, length);
            pending.erase(0, 16 + length);
            if (body.size() < 6 || body.compare(body.size() - 2, 2, "\r\n") != 0 || body.compare(0, 4, ticket) != 0) {
                ++badFrames;
                continue;
            }
            body.resize(body.size() - 2);
            requests.push_back(body);
            complete.push_back(body);
        }
    }
    for (const std::string& request : complete) Answer(request);
}

void SimulatedO2D::Answer(const std::string& request) {
    std::string reply;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (silent) return;
        if (request == "1001V?") {
            reply = O2DFrame(1001, "1001*\r\n");
        } else if (request == "1003G?") {
            if (!deviceModel.empty())
                reply = O2DFrame(1003, "1003IFM ELECTRONIC\t" + deviceModel + "\tRevision 1.2\tSN 4711\r\n");
        } else if (request == "1003D?") {
            reply = O2DFrame(1003, "1003*\r\n");
        } else if (request == "1002I?" || request == "1002I01?") {
            reply = pictureReply;
        } else if (request == "1000t") {
            reply = triggerReply;
        }
    }
    if (!reply.empty()) server.Send(reply);
}

std::vector<std::string> SimulatedO2D::Requests() const {
    std::lock_guard<std::mutex> lock(mutex);
    return requests;
}

int SimulatedO2D::CountRequests(const std::string& text) const {
    int count = 0;
    for (const std::string& request : Requests()) count += request == text ? 1 : 0;
    return count;
}

int SimulatedO2D::BadFrames() const {
    std::lock_guard<std::mutex> lock(mutex);
    return badFrames;
}

void SimulatedO2D::SetDeviceModel(const std::string& model) {
    std::lock_guard<std::mutex> lock(mutex);
    deviceModel = model;
}

void SimulatedO2D::SetTriggerReply(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    triggerReply = bytes;
}

void SimulatedO2D::SetPictureReply(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    pictureReply = bytes;
}

void SimulatedO2D::SetSilent(bool value) {
    std::lock_guard<std::mutex> lock(mutex);
    silent = value;
}

// ---------------------------------------------------------------- bin picking

SimulatedBinPicking::SimulatedBinPicking() {
    server.SetHandler([this](const std::string& piece) { OnBytes(piece); });
}

SimulatedBinPicking::~SimulatedBinPicking() { server.SetHandler(nullptr); }

void SimulatedBinPicking::Queue(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    queued.push_back(bytes);
}

void SimulatedBinPicking::SetStanding(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    standing = bytes;
}

void SimulatedBinPicking::OnBytes(const std::string& piece) {
    std::size_t count = 0;
    for (std::size_t at = piece.find("REQUEST"); at != std::string::npos; at = piece.find("REQUEST", at + 7)) ++count;
    for (std::size_t i = 0; i < count; ++i) {
        std::string reply;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!queued.empty()) {
                reply = queued.front();
                queued.erase(queued.begin());
            } else {
                reply = standing;
            }
        }
        if (!reply.empty()) server.Send(reply);
    }
}

}  // namespace VisionTest
