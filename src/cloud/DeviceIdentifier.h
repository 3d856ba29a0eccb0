#pragma once
// The per-device identifier string: the first line of "/etc/machine-id".
// It is the fallback of the MQTT client ID, the "/Basics/DeviceID" payload
// and the key material of the stored cloud credentials.

#include <string>

namespace Cloud {

// Read once per file path; empty (with one error line) when unreadable.
std::string GetDeviceIdentifier();
// Test seam; the default comes from KORVELLA_MACHINE_ID_FILE, read once at
// start-up, or "/etc/machine-id".
void SetDeviceIdentifierFile(const std::string& path);

}  // namespace Cloud
