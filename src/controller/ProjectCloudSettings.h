#pragma once
// Cloud link settings of the project file ("Environment"/"Cloud"). The reader
// fills the record only from a complete element; the cloud client takes it
// over and writes its current values back here before a rewrite.

#include <string>

struct ProjectCloudSettings {
    bool enabled = false;
    std::string encryptedCredentials;  // kept as stored, already encrypted
    std::string clientId;
    std::string robotName;
    std::string robotOwner;
    std::string cameraEnvironment;
    std::string cameraWorkarea;
};
