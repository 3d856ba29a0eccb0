#include "hardware/HardwareProtocolCANopenPDO.h"

#include "common/LogSingleton.h"
#include "hardware/CANopenNMT.h"
#include "hardware/CANopenProfile.h"
#include "hardware/HardwareProtocol.h"
#include "hardware/VQTCANV2Codec.h"

namespace Hardware {

namespace {

constexpr int kTransmit1 = 0x180;
constexpr int kTransmit2 = 0x280;
constexpr int kTransmit3 = 0x380;
constexpr int kReceive1 = 0x200;
constexpr uint32_t kPdoDisabled = 0x80000000u;

uint32_t U32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

HardwareProtocolCANopenPDO::HardwareProtocolCANopenPDO(CANInterfaceSocketCAN* can, HardwareProtocolCANopenSDO* sdo,
                                                       bool debug_)
    : debug(debug_), m_Can(can), m_Sdo(sdo) {}

uint32_t HardwareProtocolCANopenPDO::MappingValue(int index, int subindex, int bits) {
    return (static_cast<uint32_t>(index & 0xFFFF) << 16) | (static_cast<uint32_t>(subindex & 0xFF) << 8) |
           static_cast<uint32_t>(bits & 0xFF);
}

void HardwareProtocolCANopenPDO::Sleep(int ms) {
    if (m_Sleep) {
        m_Sleep(ms);
    } else {
        HardwareProtocol::wait(ms);
    }
}

void HardwareProtocolCANopenPDO::NMT(int node, int command) {
    if (m_Can != nullptr) SendNMTFrame(*m_Can, node, static_cast<NMTFunction>(command), debug);
    Sleep(50);
}

bool HardwareProtocolCANopenPDO::Write(int node, int index, int subindex, unsigned int value) {
    return m_Sdo != nullptr && m_Sdo->SendSDOConfirmed(node, index, subindex, value);
}

// ---------------------------------------------------------------- sending

void HardwareProtocolCANopenPDO::SendPDO(int node, int base, const unsigned char* data, unsigned int length) {
    (void)length;  // every PDO sent here carries four bytes
    if (m_Can == nullptr || data == nullptr || node < 1 || node > 127) return;
    m_Can->WriteMessage(base + node, 4, data);
}

namespace {

void LittleEndian(int32_t value, unsigned char* out) {
    const uint32_t u = static_cast<uint32_t>(value);
    for (int k = 0; k < 4; ++k) out[k] = static_cast<unsigned char>((u >> (8 * k)) & 0xFF);
}

}  // namespace

bool HardwareProtocolCANopenPDO::SendPosPDO(jointData& record, double value) {
    if (record.profile != CANopenProfileIPO && record.profile != CANopenProfileCSP) return false;
    unsigned char data[4];
    LittleEndian(VQTCANV2Codec::SaturateToInt32(value), data);
    SendPDO(record.canId, kReceive1, data, 4);
    return true;
}

bool HardwareProtocolCANopenPDO::SendVelPDO(jointData& record, double value) {
    if (record.profile != CANopenProfileVelocity) return false;
    unsigned char data[4];
    LittleEndian(VQTCANV2Codec::SaturateToInt32(value), data);
    SendPDO(record.canId, kReceive1, data, 4);
    return true;
}

void HardwareProtocolCANopenPDO::SendDIOPDO(const jointData& record) {
    const int groups = record.outputGroups > 8 ? 8 : static_cast<int>(record.outputGroups);
    const int node = record.canId;
    if (m_Can == nullptr || groups < 1 || node < 1 || node > 127) return;
    unsigned char data[8] = {};
    const uint64_t bits = record.digitalOutputs;
    for (int k = 0; k < groups; ++k) data[k] = static_cast<unsigned char>((bits >> (8 * k)) & 0xFF);
    m_Can->WriteMessage(kReceive1 + node, groups, data);
}

// ---------------------------------------------------------------- receiving

void HardwareProtocolCANopenPDO::ParsePDO(jointData& record, int base, int dlc, const unsigned char* data, long) {
    // Every mapped field lies in the eight bytes: a shorter frame is not ours.
    if (data == nullptr || dlc < 8) return;
    switch (base) {
        case kTransmit1: {
            const uint16_t statusword = static_cast<uint16_t>(data[0] | (data[1] << 8));
            const int32_t position = static_cast<int32_t>(U32(data + 2));
            record.actualPosition = (static_cast<float>(position) - record.gearZero) / record.gearScale;
            record.positionKnown = 1;
            // The newest error is read once per change of the register, not on every SYNC.
            const bool changed = record.errorRegister != data[6];
            record.errorRegister = data[6];
            if (m_Sdo != nullptr) {
                m_Sdo->ParseStatusWord(&record, statusword);
                if (changed && data[6] != 0) m_Sdo->RequestSDO(record.canId, 0x1003, 1);
            }
            record.actualProfile = CANopenProfileFromMode(static_cast<int8_t>(data[7]));
            break;
        }
        case kTransmit2:
            record.supply = static_cast<float>(U32(data)) * 0.001f;
            record.temperature = static_cast<float>(static_cast<int32_t>(U32(data + 4))) * 0.1f;
            break;
        case kTransmit3:
            // Signed like the SDO answer: a negative component is no 4 million amperes.
            record.currentA = static_cast<float>(static_cast<int32_t>(U32(data))) / 1000.0f;
            record.currentB = static_cast<float>(static_cast<int32_t>(U32(data + 4))) / 1000.0f;
            record.current = HardwareProtocolCANopenSDO::MotorCurrent(record.driveSubmode, record.currentA,
                                                                      record.currentB);
            break;
        default: break;
    }
}

void HardwareProtocolCANopenPDO::ParseDIOPDO(jointData& record, int base, int dlc, const unsigned char* data, long) {
    if (base != kTransmit1 || data == nullptr) return;
    int n = record.inputGroups;
    if (dlc < n) n = dlc;
    if (n > 8) n = 8;
    uint64_t bits = 0;
    for (int k = 0; k < n; ++k) bits |= static_cast<uint64_t>(data[k]) << (8 * k);
    record.digitalInputs = bits;
    record.errorCode = 0;
}

// ---------------------------------------------------------------- mapping sequences

bool HardwareProtocolCANopenPDO::MapPDO(int node, int commIndex, int mappingIndex, uint32_t cobId,
                                        unsigned transmissionType, const std::vector<uint32_t>& entries, int waitMs) {
    // Disabled while its mapping changes, as CiA 301 asks.
    bool ok = Write(node, commIndex, 1, kPdoDisabled + cobId);
    ok = Write(node, commIndex, 2, transmissionType) && ok;
    ok = Write(node, mappingIndex, 0, 0) && ok;
    Sleep(waitMs);
    for (size_t k = 0; k < entries.size(); ++k)
        ok = Write(node, mappingIndex, static_cast<int>(k + 1), entries[k]) && ok;
    Sleep(waitMs);
    ok = Write(node, mappingIndex, 0, static_cast<unsigned>(entries.size())) && ok;
    if (!ok) {
        // Whatever part of the mapping took, the PDO stays off.
        LogSingleton::instance()->addErrorFormat("CANopen: PDO mapping 0x%04X of node %d refused, PDO left disabled",
                                                 mappingIndex, node);
        return false;
    }
    return Write(node, commIndex, 1, cobId);
}

bool HardwareProtocolCANopenPDO::ConfigureDrivePDOs(jointData& record, uint32_t profile) {
    const int node = record.canId;
    const uint32_t n = static_cast<uint32_t>(node);
    LogSingleton::instance()->addFormat("CANopen: Initializing PDOs for joint %d", node);
    record.pdosConfigured = 1;
    NMT(node, ENTER_PREOPERATIONAL);
    Sleep(20);
    // Statusword, position, error register and mode on every SYNC.
    bool ok = MapPDO(node, 0x1800, 0x1A00, kTransmit1 + n, 1,
                     {MappingValue(0x6041, 0, 16), MappingValue(0x6064, 0, 32), MappingValue(0x1001, 0, 8),
                      MappingValue(0x6061, 0, 8)},
                     5);
    // Supply and temperature, then the current components of the loop mode, every 20th SYNC.
    ok = MapPDO(node, 0x1801, 0x1A01, kTransmit2 + n, 20, {MappingValue(0x4014, 1, 32), MappingValue(0x4014, 3, 32)},
                5) &&
         ok;
    const bool closedLoop = (record.driveSubmode & 1) != 0;
    ok = MapPDO(node, 0x1802, 0x1A02, kTransmit3 + n, 20,
                {MappingValue(0x2039, closedLoop ? 1 : 3, 32), MappingValue(0x2039, closedLoop ? 2 : 4, 32)}, 5) &&
         ok;
    // The set-point of the profile.
    if (profile >= CANopenProfileIPO && profile <= CANopenProfileCSV) {
        uint32_t mapping = MappingValue(0x60FF, 0, 32);
        if (profile == CANopenProfileIPO) mapping = MappingValue(0x60C1, 1, 32);
        if (profile == CANopenProfileCSP) mapping = MappingValue(0x607A, 0, 32);
        ok = MapPDO(node, 0x1400, 0x1600, kReceive1 + n, profile == CANopenProfileCSP ? 0 : 1, {mapping}, 5) && ok;
        Sleep(profile == CANopenProfileIPO ? 100 : 10);
    }
    // A drive whose PDOs did not take is set up again next time.
    if (!ok) record.pdosConfigured = 0;
    NMT(node, ENTER_OPERATIONAL);
    return ok;
}

bool HardwareProtocolCANopenPDO::ConfigureIOModulePDOs(jointData& record) {
    const int node = record.canId;
    const uint32_t n = static_cast<uint32_t>(node);
    LogSingleton::instance()->addFormat("CANopen: Initializing PDOs for IO module %d", node);
    record.pdosConfigured = 1;
    NMT(node, ENTER_PREOPERATIONAL);
    Sleep(100);
    std::vector<uint32_t> outputs;
    for (int k = 1; k <= record.outputGroups; ++k) outputs.push_back(MappingValue(0x6200, k, 8));
    bool ok = MapPDO(node, 0x1400, 0x1600, kReceive1 + n, 0, outputs, 2);
    std::vector<uint32_t> inputs;
    for (int k = 1; k <= record.inputGroups; ++k) inputs.push_back(MappingValue(0x6000, k, 8));
    ok = MapPDO(node, 0x1800, 0x1A00, kTransmit1 + n, 1, inputs, 2) && ok;
    if (!ok) record.pdosConfigured = 0;
    Sleep(100);
    NMT(node, ENTER_OPERATIONAL);
    Sleep(100);
    return ok;
}

}  // namespace Hardware
