#pragma once
// A simulated CANopen device (CiA 301): the object dictionary of the SDO
// client's table plus 0x1000 (device type) and 0x6082, an SDO server with
// expedited transfers and the segmented upload of the device texts, NMT with
// boot-up, heartbeat, synchronous transmit and receive PDOs with their
// mapping checks, and emergencies kept in 0x1001 and 0x1003. A drive node
// (device type 402) and a CiA 401 I/O node with two input and two output
// groups are built from it; derived devices add their profile through the
// hooks below.

#include "korvella-cansim/Device.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace CanSim {

class SimCANopenNode : public Device {
public:
    enum class Kind { Drive, IO };
    struct Config {
        int nodeId = 1;
        Kind kind = Kind::Drive;
        std::string deviceName;       // 0x1008; default by kind
        std::string firmwareVersion;  // 0x100A
    };
    // NMT states as the heartbeat reports them.
    static constexpr uint8_t kBootUp = 0x00;
    static constexpr uint8_t kStopped = 0x04;
    static constexpr uint8_t kOperational = 0x05;
    static constexpr uint8_t kPreOperational = 0x7F;

    struct Snapshot {
        uint8_t nmtState = kBootUp;
        bool silent = false;
        bool heartbeatEnabled = true;
        uint64_t syncs = 0;
        uint64_t sdoRequests = 0;
        // Requests that came while the one before was still unanswered.
        uint64_t sdoOverruns = 0;
        bool sdoSilent = false;
        uint64_t pdosReceived = 0;
        uint64_t pdosDropped = 0;
        uint64_t heartbeats = 0;
        uint64_t emergencies = 0;
    };

    explicit SimCANopenNode(const Config& config);

    void OnFrame(const can_frame& frame, const timespec& time, Bus& bus) override;
    void OnTick(const timespec& now, Bus& bus) override;

    int NodeId() const { return m_Config.nodeId; }
    Kind GetKind() const { return m_Config.kind; }

    // Any thread.
    void SetSilent(bool silent);
    // The SDO server stops (or resumes) answering; NMT, PDOs and heartbeat go on.
    void SetSdoSilent(bool silent);
    // Power off and on: the dictionary back to its defaults, boot-up, pre-operational.
    void PowerCycle();
    void SetHeartbeatEnabled(bool enabled);
    // An emergency frame with the code and error register, kept in 0x1001 and 0x1003.
    void RaiseEmergency(uint16_t code, uint8_t errorRegister);
    // I/O node: the 64 input bits, one byte per 0x6000 subindex.
    void SetInputs(uint64_t bits);
    uint64_t Outputs() const;
    // Current value of an object; false when the node does not hold it.
    bool Read(int index, int subindex, uint32_t& value) const;
    // Sets an object as the device itself would (no access check).
    bool Write(int index, int subindex, uint32_t value);
    Snapshot GetSnapshot() const;

protected:
    struct Entry {
        uint32_t value = 0;
        int size = 4;  // bytes
        bool writable = true;
        bool mappable = true;
    };
    // Hooks for a device profile; called with the node's mutex held, on the hub thread.
    // After a download from the bus changed an object.
    virtual void OnObjectWritten(int index, int subindex, Bus& bus) {
        (void)index;
        (void)subindex;
        (void)bus;
    }
    // At each SYNC while operational, after the receive PDOs were applied and
    // before the transmit PDOs are sent.
    virtual void OnSync(Bus& bus) { (void)bus; }
    // About every millisecond while the node is up.
    virtual void OnProfileTick(int64_t nowUs, Bus& bus) {
        (void)nowUs;
        (void)bus;
    }
    // Back to power-on values of the profile (reset node).
    virtual void OnReset() {}
    // Abort code for a download the device profile refuses (value, state); 0 to accept.
    virtual uint32_t RefuseDownload(int index, int subindex, uint32_t value) const {
        (void)index;
        (void)subindex;
        (void)value;
        return 0;
    }

    Entry* Find(int index, int subindex);
    const Entry* Find(int index, int subindex) const;
    uint32_t Get(int index, int subindex) const;
    void Set(int index, int subindex, uint32_t value);
    // An emergency frame; caller holds the mutex.
    void SendEmergency(uint16_t code, uint8_t errorRegister, Bus& bus);
    void SendFrame(Bus& bus, int id, int dlc, const uint8_t* data);

    const Config m_Config;
    mutable std::mutex m_Mutex;

private:
    struct Segmented {
        bool active = false;
        int index = 0;
        int subindex = 0;
        std::string data;
        size_t offset = 0;
        int toggle = 0;
    };
    struct PendingEmergency {
        uint16_t code;
        uint8_t errorRegister;
    };

    void BuildDictionary();
    void ResetCommunication();
    void HandleNMT(const can_frame& frame);
    void HandleSDO(const can_frame& frame, Bus& bus);
    void Upload(int index, int subindex, Bus& bus);
    void UploadSegment(const can_frame& frame, Bus& bus);
    void Download(const can_frame& frame, Bus& bus);
    // Abort code of a download that the mapping rules refuse; 0 when allowed.
    uint32_t CheckMappingWrite(int index, int subindex, uint32_t value) const;
    void Abort(int index, int subindex, uint32_t code, Bus& bus);
    void HandleSync(Bus& bus);
    void HandleReceivePDO(int pdo, const can_frame& frame, Bus& bus);
    void ApplyReceivePDO(int pdo, const uint8_t* data);
    void SendTransmitPDO(int pdo, Bus& bus);
    // Mapped length in bits of a PDO mapping object.
    int MappedBits(int mappingIndex, int count) const;
    std::string Text(int index) const;

    std::map<uint32_t, Entry> m_Objects;
    Snapshot m_State;
    bool m_BootUpPending = true;
    int64_t m_NextHeartbeatUs = 0;
    int m_SyncCount[4] = {0, 0, 0, 0};
    std::vector<uint8_t> m_LastSent[4];
    std::vector<uint8_t> m_PendingRx[2];
    bool m_HasPendingRx[2] = {false, false};
    Segmented m_Segmented;
    // One transfer at a time: the request being served, answered at the next tick.
    bool m_SdoPending = false;
    can_frame m_SdoRequest{};
    std::vector<PendingEmergency> m_PendingEmergencies;
};

}  // namespace CanSim
