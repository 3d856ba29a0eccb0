#include "vision/LidarHokuyoURG.h"

#include <dirent.h>

#include <fstream>

#include "common/LogSingleton.h"

namespace PluginFramework {

LidarHokuyoURG::~LidarHokuyoURG() { Stop(); }

std::vector<std::string> LidarHokuyoURG::GetDirectoryEntries(const std::string& directory) const {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
    ::closedir(dir);
    return names;
}

void LidarHokuyoURG::StartAutodetectSerial() {
    LogSingleton* log = LogSingleton::instance();
    log->add("Lidar: Detecting device");
    std::string device;
    for (const std::string& name : GetDirectoryEntries(ttyClassPath)) {
        if (!device.empty()) break;
        if (name.compare(0, 6, "ttyACM") != 0) continue;
        std::ifstream modalias(ttyClassPath + name + "/device/modalias");
        std::string word;
        while (modalias >> word) {
            if (word.compare(0, 14, "usb:v15D1p0000") == 0) {
                device = "/dev/" + name;
                break;
            }
        }
    }
    if (device.empty()) {
        log->addError("Lidar: Could not find device");
        return;
    }
    log->add("Lidar: Found device on port " + device + ", connecting");
    StartSerial(device, 115200);
}

int LidarHokuyoURG::StartSerial(const std::string& /*device*/, long /*baudRate*/) {
    LogSingleton::instance()->addError("Lidar: not supported by Korvella");
    return -1;
}

}  // namespace PluginFramework
