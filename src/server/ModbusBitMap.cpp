// Coils and discrete inputs: the robot's status bits on a read, the actions
// of the coils on a write.

#include <algorithm>
#include <optional>

#include "controller/Shutdown.h"
#include "hardware/HardwareProtocol.h"
#include "server/ModbusServer.h"
#include "server/ModbusWalk.h"

namespace Modbus {

namespace {

const char* const ReadWatchdog =
    "ERROR: Modbus Watchdog overflow detected: possible infinite loop while reading coil/discrete input %d. Leaving "
    "loop.";
const char* const ReadException = "Exception in Modbus::OnReadBits (address %d, num %d): %s";
const char* const WriteWatchdog =
    "ERROR: Modbus Watchdog overflow detected: possible infinite loop while writing coil %d. Leaving loop.";
const char* const WriteException = "Exception in Modbus::OnWriteCoils (address %d, num %d): %s";

// Module counts of the driver, each limited to the places the map has for its kind.
struct Modules {
    int robot = 0, tool = 0, external = 0;
    explicit Modules(const Hardware::HardwareProtocol* hw) {
        if (hw == nullptr) return;
        robot = std::clamp(hw->robotJointCount, 0, 6);
        tool = std::clamp(hw->toolJointCount, 0, 3);
        external = std::clamp(hw->externalJointCount, 0, 3);
    }
};

}  // namespace

void OnReadBits(RobotMaster* rm, unsigned char* table, int tableSize, unsigned short start, int count) {
    if (rm == nullptr || table == nullptr) return;
    Hardware::HardwareProtocol* hw = rm->GetHardware();
    std::optional<DataTypes::RobotState> published;
    auto state = [&]() -> const DataTypes::RobotState& {
        if (!published) published = rm->GetRobotState();
        return *published;
    };
    auto set = [&](int a, bool value) {
        if (a >= 0 && a < tableSize) table[a] = value ? 1 : 0;
    };

    MappingWalk(start, count, tableSize, ReadWatchdog, ReadException, [&](int a) -> int {
        switch (a) {
            case 10: set(a, hw != nullptr && hw->robotJointCount > 0); return a;
            case 11: set(a, hw != nullptr && hw->externalJointCount > 0); return a;
            case 12: set(a, hw != nullptr && hw->toolJointCount > 0); return a;
            case 13: set(a, hw != nullptr && hw->platformJointCount > 0); return a;
            case 14: set(a, hw != nullptr && hw->dioModuleCount > 0); return a;
            case 50: set(a, hw != nullptr && hw->GetConnectionStatus()); return a;
            case 53: set(a, hw != nullptr && hw->GetMotorEnabled()); return a;
            case 54: set(a, LogSingleton::instance()->get_opMode() == opModeNormal); return a;
            case 60: set(a, hw != nullptr && hw->referencedAll.load()); return a;
            case 110: set(a, rm->IsZeroTorqueAllowed()); return a;
            case 111: set(a, rm->IsZeroTorqueEnabled()); return a;
            case 112: set(a, rm->IsMoving()); return a;
            case 120: set(a, rm->ipoMain.IsProgramLoaded()); return a;
            case 121: set(a, rm->ipoLogic.IsProgramLoaded()); return a;
            case 122: set(a, rm->ipoMain.GetRunState() == IPO::RunStateRunning); return a;
            case 123: set(a, rm->ipoMain.GetRunState() == IPO::RunStatePaused); return a;
            case 124: set(a, rm->ipoMain.GetRunState() == IPO::RunStateIdle); return a;
            case 132: set(a, rm->ipoMain.IsSelectedEntryAFile()); return a;
            default: break;
        }
        if (a >= 20 && a <= 30) {
            int errors = 0;
            for (int code : state().jointErrorCodes) errors |= code;
            set(20, errors == 0);
            for (int b = 0; b < 10; ++b) set(21 + b, ((errors >> b) & 1) != 0);
            return 30;
        }
        if (a >= 37 && a <= 44) {
            const int k = state().kinematicState;
            set(37, k == 0);
            set(38, k == 13);
            set(39, k == 14);
            set(40, k == 21);
            set(41, k == 22);
            set(42, k == 23);
            set(43, k >= 30 && k <= 35);
            set(44, k == 99);
            return 44;
        }
        if (a >= 61 && a <= 72) {
            for (int b = 61; b <= 72; ++b) set(b, false);
            const Modules modules(hw);
            for (int k = 0; k < modules.robot; ++k) set(61 + k, hw->jointData[k].referenced.load() != 0);
            for (int k = 0; k < modules.tool; ++k)
                set(70 + k, hw->jointData[hw->robotJointCount + k].referenced.load() != 0);
            const int firstExternal = hw == nullptr ? 0 : hw->robotJointCount + hw->toolJointCount;
            for (int k = 0; k < modules.external && firstExternal + k < Hardware::HardwareProtocol::MaxModules; ++k)
                set(67 + k, hw->jointData[firstExternal + k].referenced.load() != 0);
            return 72;
        }
        if (a >= 200 && a <= 299) {
            for (int s = 0; s < SIGNALS_CNT; ++s) set(200 + s, state().globalSignals[s]);
            return 299;
        }
        if (a >= 300 && a <= 363) {
            for (int o = 0; o < IOS_CNT; ++o) set(300 + o, state().digitalOutputs[o]);
            return 363;
        }
        if (a >= 364 && a <= 427) {
            for (int i = 0; i < IOS_CNT; ++i) set(364 + i, state().digitalInputs[i]);
            return 427;
        }
        return a;
    });
}

void ModbusServer::OnReadCoils(unsigned short start, int count) {
    std::vector<uint8_t> bits = CopyBits(true);
    if (bits.empty()) return;
    OnReadBits(m_RobotMaster, bits.data(), BitCount, start, count);
    StoreBits(true, bits);
}

void ModbusServer::OnReadDiscreteInputs(unsigned short start, int count) {
    std::vector<uint8_t> bits = CopyBits(false);
    if (bits.empty()) return;
    OnReadBits(m_RobotMaster, bits.data(), BitCount, start, count);
    StoreBits(false, bits);
}

void ModbusServer::OnWriteCoils(unsigned short start, int count) {
    std::vector<uint8_t> coils = CopyBits(true);
    if (coils.empty()) return;
    RobotMaster* rm = m_RobotMaster;
    const int lastWritten = start + count - 1;
    std::vector<uint16_t> holding;

    const bool walked = MappingWalk(start, count, BitCount, WriteWatchdog, WriteException, [&](int a) -> int {
        if (rm == nullptr) return a;
        Hardware::HardwareProtocol* hw = rm->GetHardware();
        const Modules modules(hw);
        const bool rises = CoilRisingEdge(coils.data(), a);
        const bool on = coils[static_cast<std::size_t>(a)] != 0;
        if (a >= 100 && a <= 104) {
            const int groupEnd = a <= 102 ? 102 : 104;
            if (rises) {
                if (holding.empty()) holding = CopyRegisters(true);
                StartDirectMove(a, holding);
            }
            return groupEnd;
        }
        if (a >= 200 && a <= 299) {
            const int last = std::min(lastWritten, 299);
            for (int c = a; c <= last; ++c) rm->SetGlobalSignal(c - 200, coils[static_cast<std::size_t>(c)] != 0);
            return last;
        }
        if (a >= 300 && a <= 363) {
            const int last = std::min(lastWritten, 363);
            for (int c = a; c <= last; ++c) rm->SetManualDOut(c - 300, coils[static_cast<std::size_t>(c)] != 0);
            return last;
        }
        if (a == 111) {
            rm->SetZeroTorqueMode(on);
            return a;
        }
        if (!rises) return a;
        switch (a) {
            case 51: Shutdown::ShutdownSystem(true); break;
            case 52: rm->Reset(); break;
            case 53:
                if (hw != nullptr && hw->GetMotorEnabled()) {
                    rm->EnableMotors(false);
                } else {
                    rm->Reset();
                    rm->EnableMotors(true);
                }
                break;
            case 60: rm->ReferenceAllJoints(); break;
            case 73: rm->ResetAllJointsToZero(); break;
            case 122: rm->StartProgram(); break;
            case 123: rm->PauseProgram(IPO::USER); break;
            case 124: rm->OperatorStop(IPO::USER); break;
            case 130: rm->ipoMain.ProgShowCntIncrease(); break;
            case 131: rm->ipoMain.ProgShowCntDecrease(); break;
            case 133: rm->ipoMain.LoadCurrentDirectoryOrProgram(); break;
            case 134: rm->ipoMain.GotoBasedir(); break;
            case 135:
                rm->ipoMain.DeleteAll();
                SaveProject();
                break;
            case 136:
                rm->ipoLogic.DeleteAll();
                SaveProject();
                break;
            default:
                // Referencing acts only on modules the driver has of that kind.
                if (a >= 61 && a <= 66 && a - 61 < modules.robot) rm->ReferenceJointAlt(a - 61);
                if (a >= 67 && a <= 69 && a - 67 < modules.external) rm->ReferenceJointAlt(a - 61);
                if (a >= 70 && a <= 72 && a - 70 < modules.tool) rm->ReferenceJoint(hw->robotJointCount + a - 70);
                break;
        }
        return a;
    });

    if (!walked) return;
    for (int a = start; a <= lastWritten && a < BitCount; ++a)
        m_PreviousCoils[static_cast<std::size_t>(a)] = coils[static_cast<std::size_t>(a)];
}

void ModbusServer::StartDirectMove(int coil, const std::vector<uint16_t>& holding) {
    // Targets are 32-bit values in hundredths, the velocity in tenths.
    auto value = [&](int address) {
        return ToFloat(holding[static_cast<std::size_t>(address)], holding[static_cast<std::size_t>(address + 1)]) *
               0.01f;
    };
    const float velocity = holding[180] * 0.1f;
    IPO& ipo = m_RobotMaster->ipoDirect;
    if (coil <= 102) {
        const DataTypes::Vector3 position(value(130), value(132), value(134));
        const DataTypes::Vector3 orientation(value(136), value(138), value(140));
        const DataTypes::Vector3 external(value(154), value(156), value(158));
        if (coil == 100) ipo.MoveLinear(position, orientation, external, velocity);
        else if (coil == 101) ipo.MoveRelativeBase(position, orientation, external, velocity);
        else ipo.MoveRelativeTool(position, orientation, external, velocity);
    } else {
        float joints[9];
        for (int j = 0; j < 9; ++j) joints[j] = value(142 + 2 * j);
        if (coil == 103) ipo.MoveJoint(joints, velocity);
        else ipo.MoveRelativeJoint(joints, velocity);
    }
    ipo.Start();
}

}  // namespace Modbus
