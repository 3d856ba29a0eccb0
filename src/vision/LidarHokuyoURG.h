#pragma once
// Looks for a Hokuyo URG lidar on a USB serial port ("ttyACM" devices whose
// modalias names the maker's USB ids) and reports that it is not supported.

#include <string>
#include <vector>

namespace PluginFramework {

class LidarHokuyoURG {
public:
    LidarHokuyoURG() = default;
    virtual ~LidarHokuyoURG();

    void StartAutodetectSerial();
    // Logs that the lidar is not supported; -1.
    int StartSerial(const std::string& device, long baudRate);
    void Stop() {}
    bool IsConnected() const { return connected; }
    // Names of the directory's entries as listed, "." and ".." included; empty when it cannot be opened.
    std::vector<std::string> GetDirectoryEntries(const std::string& directory) const;
    // The serial device class directory, "/sys/class/tty/" unless a test names another.
    void SetTtyClassPath(const std::string& path) { ttyClassPath = path; }

private:
    bool connected = false;
    std::string ttyClassPath = "/sys/class/tty/";
};

}  // namespace PluginFramework
