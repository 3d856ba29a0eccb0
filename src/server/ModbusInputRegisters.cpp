// Input registers: versions, statistics, module data, poses, program and
// browser state, the display message and the read variables.

#include <algorithm>
#include <cstdio>
#include <optional>

#include "hardware/HardwareProtocol.h"
#include "server/ModbusServer.h"
#include "server/ModbusWalk.h"

namespace Modbus {

namespace {

const char* const Watchdog =
    "ERROR: Modbus Watchdog overflow detected: possible infinite loop while reading input register %d. Leaving loop.";
const char* const Exception = "Exception in Modbus::OnReadInputRegisters (address %d, num %d): %s";

// Index of the first module of each kind in the driver's list, and how many
// the map has places for: robot joints, tool modules, external axes, platform, DIO.
struct ModuleKinds {
    int first[5] = {};
    int count[5] = {};
    explicit ModuleKinds(const Hardware::HardwareProtocol* hw) {
        if (hw == nullptr) return;
        const int counts[5] = {hw->robotJointCount, hw->toolJointCount, hw->externalJointCount,
                               hw->platformJointCount, hw->dioModuleCount};
        int next = 0;
        for (int k = 0; k < 5; ++k) {
            first[k] = next;
            count[k] = std::max(0, std::min(counts[k], Hardware::HardwareProtocol::MaxModules - next));
            next += std::max(0, counts[k]);
        }
    }
};
enum Kind { Robot = 0, Tool = 1, External = 2, Platform = 3, DIO = 4 };

// Register bases of the per-module groups, by kind, with the places each has.
struct Places {
    int base;
    int size;
};

// Fills one per-module group from a per-module value; places without a module of that kind read 0.
template <class Value>
void FillModules(std::vector<uint16_t>& regs, const ModuleKinds& kinds, int groupFirst, int groupLast,
                 std::initializer_list<std::pair<Kind, Places>> layout, Value value) {
    for (int a = groupFirst; a <= groupLast; ++a) regs[static_cast<std::size_t>(a)] = 0;
    for (const auto& entry : layout) {
        const Kind kind = entry.first;
        const int n = std::min(kinds.count[kind], entry.second.size);
        for (int k = 0; k < n; ++k)
            regs[static_cast<std::size_t>(entry.second.base + k)] = value(kinds.first[kind] + k);
    }
}

}  // namespace

void ModbusServer::OnReadInputRegisters(unsigned short start, int count) {
    std::vector<uint16_t> regs = CopyRegisters(false);
    if (regs.empty()) return;
    RobotMaster* rm = m_RobotMaster;
    LogSingleton* log = LogSingleton::instance();
    Hardware::HardwareProtocol* hw = rm == nullptr ? nullptr : rm->GetHardware();
    std::optional<DataTypes::RobotState> published;
    auto state = [&]() -> const DataTypes::RobotState& {
        if (!published) published = rm->GetRobotState();
        return *published;
    };
    auto set = [&](int a, uint16_t v) { regs[static_cast<std::size_t>(a)] = v; };
    auto set32 = [&](int a, double v) {
        const int32_t i = SaturateToInt(v);
        set(a, Lower16(i));
        set(a + 1, Upper16(i));
    };
    auto text = [&](int a, const std::string& s) { StringToRegisters(s, &regs[static_cast<std::size_t>(a)], 32); };

    MappingWalk(start, count, RegisterCount, Watchdog, Exception, [&](int a) -> int {
        switch (a) {
            case 0: set(a, Lower16(m_Major)); return a;
            case 1: set(a, Lower16(m_Minor)); return a;
            case 2: set(a, Lower16(m_Patch)); return a;
            case 3: set(a, MODBUS_MAPPING_VERSION); return a;
            case 96: set(a, FromOperationMode(log->get_opMode())); return a;
            default: break;
        }
        if (rm == nullptr) return a;
        switch (a) {
            case 4: set(a, Lower16(log->GetSystemVar(sysVarUpTimeComplete))); return a;
            case 6: set(a, Lower16(log->GetSystemVar(sysVarUpTimeLast))); return a;
            case 8: set(a, Lower16(log->GetSystemVar(sysVarUpTimeEnabled))); return a;
            case 10: set(a, Lower16(log->GetSystemVar(sysVarUpTimeMotion))); return a;
            case 12: set(a, Lower16(log->GetSystemVar(sysVarProgramStarts))); return a;
            case 13: set(a, U16Scaled(rm->GetCycleTime(), 10.0)); return a;
            case 14: set(a, U16Scaled(rm->GetMaxCycleTime(), 0.01)); return a;
            case 15: set(a, U16Scaled(rm->GetFrequency(), 100.0)); return a;
            case 16: set(a, U16Scaled(rm->GetWorkload(), 100.0)); return a;
            case 20: set(a, Lower16(hw != nullptr ? hw->robotJointCount : 0)); return a;
            case 21: set(a, Lower16(hw != nullptr ? hw->externalJointCount : 0)); return a;
            case 22: set(a, Lower16(hw != nullptr ? hw->toolJointCount : 0)); return a;
            case 23: set(a, Lower16(hw != nullptr ? hw->platformJointCount : 0)); return a;
            case 24: set(a, Lower16(hw != nullptr ? hw->dioModuleCount : 0)); return a;
            case 92: set(a, U16Scaled(hw != nullptr ? hw->GetSupplyVoltage() : 0.0f, 0.1)); return a;
            case 93: set(a, Lower16(state().currentAll)); return a;
            case 95: set(a, FromKinematicState(state().kinematicState)); return a;
            case 262: {
                auto lock = rm->ipoMain.LockPrograms();
                set(a, Lower16(static_cast<int>(rm->ipoMain.programs.size())));
                return a;
            }
            case 263: set(a, Lower16(rm->ipoMain.activeProgram.load())); return a;
            case 264: {
                auto lock = rm->ipoMain.LockPrograms();
                const int active = rm->ipoMain.activeProgram.load();
                const int programs = static_cast<int>(rm->ipoMain.programs.size());
                const int commands = active >= 0 && active < programs
                                         ? static_cast<int>(rm->ipoMain.programs[static_cast<std::size_t>(active)]
                                                                .commands.size())
                                         : 0;
                set(a, Lower16(commands));
                return a;
            }
            case 265: set(a, Lower16(rm->ipoMain.currentCommand.load())); return a;
            case 266: set(a, FromIPOStopReason(rm->ipoMain.lastStopReason.load())); return a;
            case 331:
                // The count is that of the listing as it is now.
                rm->ipoMain.GetCurrentProgShowName();
                set(a, Lower16(rm->ipoMain.GetBrowserEntryCount()));
                return a;
            case 332: set(a, Lower16(rm->ipoMain.GetBrowserCursor())); return a;
            default: break;
        }
        if (a >= 25 && a <= 43) {
            int codes[Hardware::HardwareProtocol::MaxModules] = {};
            if (hw != nullptr) hw->GetErrorHexCode(codes);
            FillModules(regs, ModuleKinds(hw), 25, 43,
                        {{Robot, {25, 6}}, {External, {31, 3}}, {Tool, {34, 3}}, {Platform, {37, 4}}, {DIO, {41, 3}}},
                        [&](int m) { return Lower16(codes[m]); });
            return 43;
        }
        if (a >= 44 && a <= 91) {
            // Board temperatures at 44, motor temperatures at 60, currents at 76: 16 registers each.
            const int group = (a - 44) / 16;
            const int first = 44 + 16 * group;
            const DataTypes::RobotState& s = state();
            FillModules(regs, ModuleKinds(hw), first, first + 15,
                        {{Robot, {first, 6}}, {External, {first + 6, 3}}, {Tool, {first + 9, 3}},
                         {Platform, {first + 12, 4}}},
                        [&](int m) {
                            if (group == 0) return S16Scaled(s.jointTemperatures[m], 10.0);
                            if (group == 1) return S16Scaled(s.jointTemperatures2[m], 10.0);
                            return Lower16(s.jointCurrents[m]);
                        });
            return first + 15;
        }
        if (a >= 130 && a <= 141) {
            const DataTypes::RobotState& s = state();
            const DataTypes::Vector3 t = s.pose.GetTranslation();
            const double values[6] = {t.x, t.y, t.z, s.A, s.B, s.C};
            for (int k = 0; k < 6; ++k) set32(130 + 2 * k, values[k] * 100.0);
            return 141;
        }
        if (a >= 142 && a <= 165) {
            const DataTypes::RobotState& s = state();
            for (int j = 0; j < 9; ++j) set32(142 + 2 * j, s.jointSetPoint[j] * 100.0);
            for (int p = 0; p < 3; ++p) set32(160 + 2 * p, s.platformSetPoint[p] * 100.0);
            return 165;
        }
        if (a >= 207 && a <= 210) {
            const DataTypes::RobotState& s = state();
            for (int w = 0; w < 4; ++w) {
                uint16_t bits = 0;
                for (int b = 0; b < 16; ++b)
                    if (s.digitalInputs[16 * w + b]) bits = static_cast<uint16_t>(bits | (1u << b));
                set(207 + w, bits);
            }
            return 210;
        }
        if (a >= 333 && a <= 364) {
            std::string name = rm->ipoMain.GetCurrentProgShowName();
            // A sub-directory keeps its own trailing '/'.
            if (name.size() > 2) {
                const std::size_t slash = name.find_last_of('/', name.size() - 2);
                if (slash != std::string::npos) name = name.substr(slash + 1);
            }
            text(333, name);
            return 364;
        }
        if (a >= 365 && a <= 396) {
            text(365, rm->ipoMain.GetBrowserDirectory());
            return 396;
        }
        if (a >= 400 && a <= 431) {
            std::string message;
            if (!log->DisplayGetMessage(&message)) message.clear();
            text(400, message);
            return 431;
        }
        if (a >= 440 && a <= 455) {
            char name[16];
            std::snprintf(name, sizeof(name), "mb_num_r%d", a - 440 + 1);
            set(a, Rounded16(rm->programMemory.GetVariable(name).number));
            return a;
        }
        if (a >= 456 && a <= 711) {
            const int n = (a - 456) / 16 + 1;
            const int base = 456 + 16 * (n - 1);
            char name[16];
            std::snprintf(name, sizeof(name), "mb_pos_r%d", n);
            ReadPositionVariable(name, regs, base);
            return base + 15;
        }
        return a;
    });
    StoreRegisters(false, regs, 0, RegisterCount - 1);
}

void ModbusServer::ReadPositionVariable(const std::string& name, std::vector<uint16_t>& regs, int base) {
    const Programs::MemoryPosition variable = m_RobotMaster->programMemory.GetVariable(name);
    const DataTypes::RobotState& s = variable.position;
    auto set = [&](int offset, double v) { regs[static_cast<std::size_t>(base + offset)] = S16Scaled(v, 10.0); };
    for (int j = 0; j < 9; ++j) set(j, s.jointSetPoint[j]);
    const DataTypes::Vector3 t = s.pose.GetTranslation();
    set(9, t.x);
    set(10, t.y);
    set(11, t.z);
    set(12, s.A);
    set(13, s.B);
    set(14, s.C);
}

}  // namespace Modbus
