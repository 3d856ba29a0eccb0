#pragma once
// The Modbus TCP server for PLCs: one listener thread serves every client
// against one register image. Before the library answers a read, mapping
// callbacks fill the addressed part of the image from the live system; after
// it stored a write they act on the system.
//
// Threads: the listener runs the library's answers and every mapping callback.
// The robot thread reads and clears holding registers 181..186. The image is
// guarded by one mutex that is only ever held around copies, never while a
// callback calls into the rest of the system, so the robot thread waits at
// most for a short copy. Stop ends and joins the listener.

#include <modbus/modbus.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "PkgProgram/IPO.h"
#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "server/ModbusCallbacks.h"

class ProjectManager;

namespace Modbus {

constexpr uint16_t MODBUS_MAPPING_VERSION = 1;
constexpr int IOS_CNT = 64;
constexpr int SIGNALS_CNT = 100;

// Sizes of the register image.
constexpr int BitCount = 428;
constexpr int RegisterCount = 750;

class ModbusServer {
public:
    static ModbusServer* Instance();

    ~ModbusServer();
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    void Init(RobotMaster* robotMaster, ProjectManager* projectManager);
    void SetSoftwareInfo(int major, int minor, int patch);
    // Takes effect at the next context creation; 0 picks a free port.
    void SetPort(int port);
    int GetPort() const { return m_Port.load(); }
    void SetMaxConnections(unsigned int count);
    unsigned GetMaxConnections() const { return m_MaxConnections.load(); }
    // The port the listener is bound to; 0 while it is not listening.
    int GetBoundPort() const { return m_BoundPort.load(); }

    void Start();
    // Ends the listener and waits for it; the image is freed.
    void Stop();
    // A new context on the current port and limit, with the image kept.
    void Restart();
    bool IsRunning() const { return m_Running.load(); }
    bool IsListening() const { return m_BoundPort.load() != 0; }
    std::size_t GetClientCount() const;

    // Velocity of external axis 0..2 held in its two holding registers, times
    // 0.1; false (and 0) without a register image, for another axis, or when
    // both registers are 0.
    bool GetExternalJointVelocity(int axis, float& velocity);
    void ResetExternalJointVelocities();
    // Asks the project manager for a project-file rewrite.
    void SaveProject();

    int GetMajor() const { return m_Major; }
    int GetMinor() const { return m_Minor; }
    int GetPatch() const { return m_Patch; }

    // ---- Mapping callbacks (listener thread) ----
    void OnReadDiscreteInputs(unsigned short start, int count);
    void OnReadCoils(unsigned short start, int count);
    void OnWriteCoils(unsigned short start, int count);
    void OnReadInputRegisters(unsigned short start, int count);
    void OnReadHoldingRegisters(unsigned short start, int count);
    void OnWriteHoldingRegisters(unsigned short start, int count);

    const Callbacks& GetCallbacks() const { return m_Callbacks; }
    // Held around every access to the image; never while calling out.
    std::mutex& ImageMutex() { return m_ImageMutex; }

    // ---- Image access for callers outside the listener (copies under the lock) ----
    bool HasImage() const;
    uint16_t GetHoldingRegister(int address) const;
    uint16_t GetInputRegister(int address) const;
    uint8_t GetCoil(int address) const;

    // ---- Value conversions ----
    static uint16_t Lower16(int v) { return static_cast<uint16_t>(static_cast<uint32_t>(v) & 0xFFFFu); }
    static uint16_t Upper16(int v) { return static_cast<uint16_t>(static_cast<uint32_t>(v) >> 16); }
    static uint16_t Lower16(float v) { return Lower16(SaturateToInt(v)); }
    static uint16_t Upper16(float v) { return Upper16(SaturateToInt(v)); }
    static uint16_t Lower16(double v) { return Lower16(static_cast<float>(v)); }
    static int ToInt(unsigned short low, unsigned short high);
    static float ToFloat(unsigned short low, unsigned short high) { return static_cast<float>(ToInt(low, high)); }
    static void StringToRegisters(const std::string& s, unsigned short* regs, unsigned short n);
    static std::string StringFromRegisters(const unsigned short* regs, unsigned short n);
    static uint16_t FromMotionType(MotionType type);
    static MotionType ToMotionType(unsigned short value);
    static uint16_t FromReplayMode(IPO::ReplayMode mode);
    static IPO::ReplayMode ToReplayMode(unsigned short value);
    static uint16_t FromRunState(IPO::RunState state);
    static IPO::RunState ToRunState(unsigned short value);
    static uint16_t FromKinematicState(int state);
    static uint16_t FromIPOStopReason(IPO::StopReason reason);
    static uint16_t FromOperationMode(operationMode mode);
    // Toward zero, saturating at the 32-bit limits; NaN gives 0.
    static int32_t SaturateToInt(double v);
    // The source times f as an unsigned 32-bit integer (negative 0), low 16 bits.
    static uint16_t U16Scaled(double source, double f);
    // The source times f toward zero as a 32-bit integer, low 16 bits.
    static uint16_t S16Scaled(double source, double f) { return Lower16(SaturateToInt(source * f)); }
    // A number rounded to the nearest integer, low 16 bits.
    static uint16_t Rounded16(double v);

private:
    ModbusServer();

    struct Client;
    void Listener();
    // One context run: listen, serve until stopped or restarted. False when it could not listen.
    bool Serve();
    void AcceptClient(int listening);
    // Reads what the client sent and answers its complete requests; false when it is to be dropped.
    bool ServeClient(Client& client);
    void FreeImage();

    // Coil edges against the coils as the last write left them (listener thread).
    bool CoilChanged(const uint8_t* coils, int a) const { return coils[a] != m_PreviousCoils[static_cast<std::size_t>(a)]; }
    bool CoilRisingEdge(const uint8_t* coils, int a) const { return CoilChanged(coils, a) && coils[a] != 0; }
    bool CoilFallingEdge(const uint8_t* coils, int a) const { return CoilChanged(coils, a) && coils[a] == 0; }

    // Copies of image tables for the walks, and writing them back.
    std::vector<uint8_t> CopyBits(bool coils) const;
    void StoreBits(bool coils, const std::vector<uint8_t>& bits);
    std::vector<uint16_t> CopyRegisters(bool holding) const;
    // Stores the registers from `first` to `last` (inclusive).
    void StoreRegisters(bool holding, const std::vector<uint16_t>& regs, int first, int last);

    // Coils 100..104: the direct moves.
    void StartDirectMove(int coil, const std::vector<uint16_t>& holding);
    // Registers 267..330: a program name for the robot (main) or the logic interpreter.
    void LoadProgramFromRegisters(IPO& ipo, const std::vector<uint16_t>& holding, int base, bool logic);
    void SetBrowserCursor(IPO& ipo, int cursor);
    void ReadPositionVariable(const std::string& name, std::vector<uint16_t>& regs, int base);
    void WritePositionVariable(const std::string& name, const std::vector<uint16_t>& regs, int base);

    std::string m_Interface;
    std::atomic<int> m_Port{502};
    std::atomic<unsigned> m_MaxConnections{5};
    std::atomic<int> m_BoundPort{0};
    modbus_t* m_Context = nullptr;  // listener thread only
    modbus_mapping_t* m_Mapping = nullptr;  // guarded by m_ImageMutex
    mutable std::mutex m_ImageMutex;
    std::vector<uint8_t> m_PreviousCoils;  // listener thread only
    std::vector<Client> m_Clients;          // listener thread only
    std::atomic<std::size_t> m_ClientCount{0};
    std::atomic<bool> m_Running{false};
    std::atomic<bool> m_Restart{false};
    std::mutex m_LifecycleMutex;  // Start and Stop one at a time
    std::thread m_Listener;
    std::atomic<std::thread::id> m_ListenerId{};
    RobotMaster* m_RobotMaster = nullptr;
    ProjectManager* m_ProjectManager = nullptr;
    int m_Major = 980;
    int m_Minor = 0;
    int m_Patch = 0;
    Callbacks m_Callbacks;
};

// Fills the status bits of the bit map into a coil or discrete-input table.
void OnReadBits(RobotMaster* robotMaster, unsigned char* table, int tableSize, unsigned short start, int count);

}  // namespace Modbus
