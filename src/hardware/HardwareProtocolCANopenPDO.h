#pragma once
// Process data objects of the CANopen driver (CiA 301): the mapping
// sequences that configure a drive's or an I/O module's PDOs through the SDO
// client, the set-point and output PDOs sent every cycle, and the decoding of
// the transmit PDOs the devices send on SYNC.

#include "hardware/CANInterfaceSocketCAN.h"
#include "hardware/HardwareProtocolCANopenSDO.h"
#include "hardware/jointData.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace Hardware {

class HardwareProtocolCANopenPDO {
public:
    // Waits between the writes of a mapping sequence (ms); replaceable in tests.
    using SleepFunction = std::function<void(int ms)>;

    HardwareProtocolCANopenPDO(CANInterfaceSocketCAN* can, HardwareProtocolCANopenSDO* sdo, bool debug);

    // CiA 301 mapping value: index in the high 16 bits, subindex, length in bits.
    static uint32_t MappingValue(int index, int subindex, int bits);

    // Frame base + node with the first four data bytes, length 4.
    void SendPDO(int node, int base, const unsigned char* data, unsigned int length);
    // Set-point PDOs; false (nothing sent) for a record of another profile.
    bool SendPosPDO(jointData& record, double value);  // profiles 2 and 3
    bool SendVelPDO(jointData& record, double value);  // profile 4
    // The module's output groups (at most 8) as one frame; nothing without groups.
    void SendDIOPDO(const jointData& record);

    // Transmit PDOs of a drive (base 0x180, 0x280, 0x380) and of an I/O module (0x180).
    void ParsePDO(jointData& record, int base, int dlc, const unsigned char* data, long reserved);
    void ParseDIOPDO(jointData& record, int base, int dlc, const unsigned char* data, long reserved);

    // Mapping sequences, each write confirmed; both set the record's
    // PDOs-configured flag, and clear it again (false) when a write was refused.
    bool ConfigureDrivePDOs(jointData& record, uint32_t profile);
    bool ConfigureIOModulePDOs(jointData& record);

    void SetSleepFunction(SleepFunction sleep) { m_Sleep = std::move(sleep); }

    bool debug;

private:
    void Sleep(int ms);
    void NMT(int node, int command);
    bool Write(int node, int index, int subindex, unsigned int value);
    // One PDO's communication and mapping objects, the PDO disabled meanwhile;
    // it is enabled only when every write was confirmed.
    bool MapPDO(int node, int commIndex, int mappingIndex, uint32_t cobId, unsigned transmissionType,
                const std::vector<uint32_t>& entries, int waitMs);

    CANInterfaceSocketCAN* m_Can;
    HardwareProtocolCANopenSDO* m_Sdo;
    SleepFunction m_Sleep;
};

}  // namespace Hardware
