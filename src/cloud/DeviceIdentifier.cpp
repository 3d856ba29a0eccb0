#include "cloud/DeviceIdentifier.h"

#include <cstdlib>
#include <fstream>
#include <mutex>

#include "common/LogSingleton.h"

namespace Cloud {

namespace {

struct IdentifierSource {
    IdentifierSource() {
        const char* configured = std::getenv("KORVELLA_MACHINE_ID_FILE");
        path = configured != nullptr && *configured != '\0' ? configured : "/etc/machine-id";
    }

    std::mutex mutex;
    std::string path;
    bool read = false;
    std::string value;
};

IdentifierSource& Source() {
    static IdentifierSource source;
    return source;
}

}  // namespace

std::string GetDeviceIdentifier() {
    IdentifierSource& source = Source();
    std::lock_guard<std::mutex> lock(source.mutex);
    if (!source.read) {
        source.read = true;
        source.value.clear();
        std::ifstream in(source.path);
        if (!in || !std::getline(in, source.value)) {
            source.value.clear();
            LogSingleton::instance()->addErrorFormat("Cloud: Could not read the device identifier from '%s'",
                                                     source.path);
        }
    }
    return source.value;
}

void SetDeviceIdentifierFile(const std::string& path) {
    IdentifierSource& source = Source();
    std::lock_guard<std::mutex> lock(source.mutex);
    source.path = path;
    source.read = false;
}

}  // namespace Cloud
