// Holding registers: the live values a PLC reads back and the actions of
// its writes (velocities, override, signals, outputs, program control and
// files, browser cursor, write variables).

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "PkgProgram/ProgramMemory.h"
#include "common/Filesystem.h"
#include "server/ModbusServer.h"
#include "server/ModbusWalk.h"

namespace Modbus {

namespace {

const char* const ReadWatchdog =
    "ERROR: Modbus Watchdog overflow detected: possible infinite loop while reading holding register %d. Leaving "
    "loop.";
const char* const ReadException = "Exception in Modbus::OnReadHoldingRegisters (address %d, num %d): %s";
const char* const WriteWatchdog =
    "ERROR: Modbus Watchdog overflow detected: possible infinite loop while writing holding register %d. Leaving "
    "loop.";
const char* const WriteException = "Exception in Modbus::OnWriteHoldingRegisters (address %d, num %d): %s";

std::string VariableName(const char* format, int n) {
    char name[16];
    std::snprintf(name, sizeof(name), format, n);
    return name;
}

}  // namespace

void ModbusServer::OnReadHoldingRegisters(unsigned short start, int count) {
    std::vector<uint16_t> regs = CopyRegisters(true);
    RobotMaster* rm = m_RobotMaster;
    if (regs.empty() || rm == nullptr) return;
    std::optional<DataTypes::RobotState> published;
    auto state = [&]() -> const DataTypes::RobotState& {
        if (!published) published = rm->GetRobotState();
        return *published;
    };
    auto set = [&](int a, uint16_t v) { regs[static_cast<std::size_t>(a)] = v; };
    auto bitsOf = [](const bool* values, int from, int to) {
        uint16_t bits = 0;
        for (int i = from; i < to; ++i)
            if (values[i]) bits = static_cast<uint16_t>(bits | (1u << (i - from)));
        return bits;
    };
    // Only what the walk filled goes back: the robot thread clears 181..186 meanwhile.
    int first = RegisterCount;
    int last = -1;

    MappingWalk(start, count, RegisterCount, ReadWatchdog, ReadException, [&](int a) -> int {
        int end = a;
        if (a >= 181 && a <= 186) {
            float v[3] = {};
            rm->GetVelocities(v[0], v[1], v[2]);
            for (int k = 0; k < 3; ++k) {
                const int32_t i = SaturateToInt(v[k] * 10.0);
                set(181 + 2 * k, Lower16(i));
                set(182 + 2 * k, Upper16(i));
            }
            a = 181;
            end = 186;
        } else if (a == 187) {
            set(a, U16Scaled(rm->override.load(), 100.0));
        } else if (a == 188) {
            set(a, FromMotionType(rm->GetMotionType()));
        } else if (a >= 200 && a <= 206) {
            const DataTypes::RobotState& s = state();
            for (int w = 0; w < 7; ++w) set(200 + w, bitsOf(s.globalSignals, 16 * w, std::min(16 * w + 16, SIGNALS_CNT)));
            a = 200;
            end = 206;
        } else if (a >= 207 && a <= 210) {
            const DataTypes::RobotState& s = state();
            for (int w = 0; w < 4; ++w) set(207 + w, bitsOf(s.digitalOutputs, 16 * w, 16 * w + 16));
            a = 207;
            end = 210;
        } else if (a == 260) {
            set(a, FromRunState(static_cast<IPO::RunState>(rm->ipoMain.GetRunState())));
        } else if (a == 261) {
            set(a, FromReplayMode(rm->ipoMain.replayMode.load()));
        } else if (a >= 267 && a <= 298) {
            StringToRegisters(rm->ipoMain.GetProgramFile(), &regs[267], 32);
            a = 267;
            end = 298;
        } else if (a >= 299 && a <= 330) {
            StringToRegisters(rm->ipoLogic.GetProgramFile(), &regs[299], 32);
            a = 299;
            end = 330;
        } else if (a == 332) {
            set(a, Lower16(rm->ipoMain.GetBrowserCursor()));
        } else if (a >= 440 && a <= 455) {
            set(a, Rounded16(rm->programMemory.GetVariable(VariableName("mb_num_w%d", a - 439)).number));
        } else if (a >= 456 && a <= 711) {
            const int n = (a - 456) / 16 + 1;
            const int base = 456 + 16 * (n - 1);
            ReadPositionVariable(VariableName("mb_pos_w%d", n), regs, base);
            a = base;
            end = base + 14;
            first = std::min(first, a);
            last = std::max(last, end);
            return base + 15;
        } else {
            return a;
        }
        first = std::min(first, a);
        last = std::max(last, end);
        return end;
    });
    if (last >= first) StoreRegisters(true, regs, first, last);
}

void ModbusServer::OnWriteHoldingRegisters(unsigned short start, int count) {
    std::vector<uint16_t> regs = CopyRegisters(true);
    RobotMaster* rm = m_RobotMaster;
    if (regs.empty() || rm == nullptr) return;
    auto reg = [&](int a) { return regs[static_cast<std::size_t>(a)]; };

    MappingWalk(start, count, RegisterCount, WriteWatchdog, WriteException, [&](int a) -> int {
        if (a >= 181 && a <= 186) {
            rm->SetVelocities(ToFloat(reg(181), reg(182)) * 0.1f, ToFloat(reg(183), reg(184)) * 0.1f,
                              ToFloat(reg(185), reg(186)) * 0.1f);
            return 186;
        }
        if (a == 187) {
            const float v = std::clamp(reg(a) * 0.01f, 0.0f, 100.0f);
            if (std::fabs(v - rm->override.load()) > 0.1f) {
                rm->override = v;
                SaveProject();
            }
            return a;
        }
        if (a == 188) {
            rm->motionType = ToMotionType(reg(a));
            return a;
        }
        if (a >= 200 && a <= 206) {
            const int bits = a == 206 ? 4 : 16;
            for (int b = 0; b < bits; ++b) rm->SetGlobalSignal(16 * (a - 200) + b, ((reg(a) >> b) & 1) != 0);
            return a;
        }
        if (a >= 207 && a <= 210) {
            for (int b = 0; b < 16; ++b) rm->SetManualDOut(16 * (a - 207) + b, ((reg(a) >> b) & 1) != 0);
            return a;
        }
        if (a == 260) {
            switch (ToRunState(reg(a))) {
                case IPO::RunStateRunning: rm->StartProgram(); break;
                case IPO::RunStatePaused: rm->PauseProgram(IPO::USER); break;
                default: rm->OperatorStop(IPO::USER); break;
            }
            return a;
        }
        if (a == 261) {
            const IPO::ReplayMode mode = ToReplayMode(reg(a));
            if (mode != rm->ipoMain.replayMode.load()) {
                rm->ipoMain.replayMode = mode;
                SaveProject();
            }
            return a;
        }
        if (a >= 267 && a <= 298) {
            LoadProgramFromRegisters(rm->ipoMain, regs, 267, false);
            return 298;
        }
        if (a >= 299 && a <= 330) {
            LoadProgramFromRegisters(rm->ipoLogic, regs, 299, true);
            return 330;
        }
        if (a == 332) {
            SetBrowserCursor(rm->ipoMain, reg(a));
            return a;
        }
        if (a >= 440 && a <= 455) {
            rm->programMemory.SetVariableSingle(VariableName("mb_num_w%d", a - 439), static_cast<int16_t>(reg(a)),
                                                true);
            return a;
        }
        if (a >= 456 && a <= 711) {
            const int n = (a - 456) / 16 + 1;
            const int base = 456 + 16 * (n - 1);
            WritePositionVariable(VariableName("mb_pos_w%d", n), regs, base);
            return base + 15;
        }
        return a;
    });
}

void ModbusServer::LoadProgramFromRegisters(IPO& ipo, const std::vector<uint16_t>& holding, int base, bool logic) {
    LogSingleton* log = LogSingleton::instance();
    const std::string name = StringFromRegisters(&holding[static_cast<std::size_t>(base)], 32);
    if (!name.empty()) {
        // A name from outside stays inside the programs directory.
        if (name[0] == '/' || name.find("..") != std::string::npos) {
            log->addFormat("Modbus: Program file name '%s' refused, it must name a file inside the programs directory",
                           name);
            return;
        }
        if (Filesystem::Exists(ipo.GetProgramsDirectoryAbsolute() + name)) {
            ipo.LoadProgram(name, false);
        } else {
            log->addFormat(logic ? "Modbus: Logic program file '%s' requested but does not exist, clearing loaded program"
                                 : "Modbus: Robot program file '%s' requested but does not exist, clearing loaded program",
                           name);
            ipo.DeleteAll();
        }
    }
    SaveProject();
}

void ModbusServer::SetBrowserCursor(IPO& ipo, int cursor) {
    // The browser moves one entry at a time and stops at either end of its listing.
    ipo.GetCurrentProgShowName();
    for (int steps = 0; steps < 65536; ++steps) {
        const int current = ipo.GetBrowserCursor();
        if (current == cursor) return;
        if (current < cursor) ipo.ProgShowCntIncrease();
        else ipo.ProgShowCntDecrease();
        if (ipo.GetBrowserCursor() == current) return;
    }
}

void ModbusServer::WritePositionVariable(const std::string& name, const std::vector<uint16_t>& regs, int base) {
    auto value = [&](int offset) { return static_cast<int16_t>(regs[static_cast<std::size_t>(base + offset)]) * 0.1f; };
    Programs::MemoryPosition variable = m_RobotMaster->programMemory.GetVariable(name);
    DataTypes::RobotState& s = variable.position;
    for (int j = 0; j < 9; ++j) s.jointSetPoint[j] = value(j);
    s.pose.SetTranslation(value(9), value(10), value(11));
    s.A = value(12);
    s.B = value(13);
    s.C = value(14);
    s.pose.SetRotationABCDeg2(s.A, s.B, s.C);
    switch (regs[static_cast<std::size_t>(base + 15)]) {
        case 0: m_RobotMaster->programMemory.SetVariable(variable, Programs::StoreBoth); break;
        case 1: m_RobotMaster->programMemory.SetVariable(variable, Programs::StoreJoints); break;
        case 2: m_RobotMaster->programMemory.SetVariable(variable, Programs::StoreCartesian); break;
        default: break;
    }
}

}  // namespace Modbus
