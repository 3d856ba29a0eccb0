#include "hardware/HardwareProtocolFactory.h"

#include "common/LogSingleton.h"
#include "hardware/HardwareProtocolCANopen.h"
#include "hardware/HardwareProtocolVQTCAN.h"
#include "hardware/HardwareProtocolVQTCANV2.h"

namespace Hardware {

HardwareProtocolFactory::Selection HardwareProtocolFactory::Select(const std::string& protocolName) {
    Selection selection;
    if (protocolName == "VQTCAN") {
        selection.driver = Selection::VQTCAN;
    } else if (protocolName == "VQTCANV2") {
        selection.driver = Selection::VQTCANV2;
        selection.protocolVersion = 2;
    } else if (protocolName == "VQTCANV3") {
        selection.driver = Selection::VQTCANV2;
        selection.protocolVersion = 3;
    } else if (protocolName == "CANopen_CSP") {
        selection.driver = Selection::CANopen;
        selection.profile = CANopenProfileCSP;
    } else if (protocolName == "CANopen_IPO" || protocolName == "CANopen") {
        selection.driver = Selection::CANopen;
        selection.profile = CANopenProfileIPO;
    } else if (protocolName == "CANopen_Position") {
        selection.driver = Selection::CANopen;
        selection.profile = CANopenProfilePosition;
    }
    return selection;
}

std::unique_ptr<HardwareProtocol> HardwareProtocolFactory::Create(const std::string& protocolName,
                                                                  RobotKinematic* kinematic) {
    std::unique_ptr<HardwareProtocol> driver;
    const Selection selection = Select(protocolName);
    switch (selection.driver) {
        case Selection::VQTCANV2:
            driver = std::make_unique<HardwareProtocolVQTCANV2>(kinematic);
            driver->protocolVersion = selection.protocolVersion;
            break;
        case Selection::VQTCAN:
            driver = std::make_unique<HardwareProtocolVQTCAN>(kinematic);
            break;
        case Selection::CANopen:
            driver = std::make_unique<HardwareProtocolCANopen>(kinematic, selection.profile);
            break;
        case Selection::None:
            break;
    }
    if (!driver) {
        LogSingleton* log = LogSingleton::instance();
        log->addError("RobotMaster: could not recognize protocol type " + protocolName);
        log->set_seriousFailReason("11 protocol type unknown");
        log->set_opMode(opModeSeriousFail);
    }
    return driver;
}

}  // namespace Hardware
