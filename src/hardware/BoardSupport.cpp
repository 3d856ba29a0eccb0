#include "hardware/BoardSupport.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace Hardware {

namespace {

std::atomic<int> g_BoardType{BoardSupport::Unknown};

std::mutex g_PathMutex;
std::string g_IssuePath = BoardSupport::DefaultIssuePath;
std::string g_ThermalPath = BoardSupport::DefaultThermalPath;

std::string PathOf(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_PathMutex);
    return path;
}

// Up to max characters of the file; false when it cannot be opened.
bool ReadHead(const std::string& path, size_t max, std::string& out) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return false;
    out.assign(max, '\0');
    const size_t n = std::fread(&out[0], 1, max, file);
    std::fclose(file);
    out.resize(n);
    return true;
}

}  // namespace

void BoardSupport::DetectBoardType() {
    g_BoardType = Unknown;
    std::string text;
    if (!ReadHead(PathOf(g_IssuePath), 1024, text) || text.empty()) return;
    if (text.find("Raspbian") != std::string::npos) {
        g_BoardType = Raspberry;
    } else if (text.find("Phytec") != std::string::npos) {
        g_BoardType = Phytec;
    }
}

BoardSupport::BoardType BoardSupport::GetBoardType() {
    if (g_BoardType.load() == Unknown) DetectBoardType();
    return static_cast<BoardType>(g_BoardType.load());
}

std::string BoardSupport::BoardTypeToString(int type) {
    switch (type) {
        case Phytec: return "Phytec";
        case Raspberry: return "Raspberry";
        default: return "unknown";
    }
}

double BoardSupport::GetCPUTemperature() {
    std::string text;
    if (!ReadHead(PathOf(g_ThermalPath), 16, text) || text.empty()) return 0.0;
    const long milli = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<double>(milli) / 1000.0;
}

void BoardSupport::SetIssuePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_PathMutex);
    g_IssuePath = path.empty() ? DefaultIssuePath : path;
}

void BoardSupport::SetThermalPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_PathMutex);
    g_ThermalPath = path.empty() ? DefaultThermalPath : path;
}

}  // namespace Hardware
