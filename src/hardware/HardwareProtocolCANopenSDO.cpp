#include "hardware/HardwareProtocolCANopenSDO.h"

#include "common/LogSingleton.h"
#include "hardware/CANopenProfile.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace Hardware {

namespace {

constexpr int kSdoRequest = 0x600;
constexpr unsigned char kDownloadConfirmed = 0x60;
constexpr unsigned char kAbort = 0x80;

void Add(std::vector<SDOparameter>& t, int index, int sub, const std::string& name, int bits, sdoAccessType access,
         sdoObjectType type = sdoObjectValue) {
    SDOparameter p;
    p.index = index;
    p.subindex = sub;
    p.name = name;
    p.objectType = type;
    p.dataType = bits == 8 ? sdoData8 : (bits == 16 ? sdoData16 : (bits == 24 ? sdoData24 : sdoData32));
    p.accessType = access;
    t.push_back(p);
}

std::vector<SDOparameter> BuildTable() {
    const sdoAccessType ro = sdoReadOnly;
    const sdoAccessType rw = sdoReadWrite;
    std::vector<SDOparameter> t;
    t.reserve(190);
    Add(t, 0x1001, 0, "Error Register", 8, ro);
    Add(t, 0x1003, 0, "Pre-defined Error Field - Number of Errors", 8, rw, sdoObjectCount);
    for (int s = 1; s <= 8; ++s) Add(t, 0x1003, s, "Pre-defined Error Field", 32, ro);
    for (int s = 0; s <= 32; ++s) Add(t, 0x1008, s, "Manufacturer Device Name", 8, ro);
    for (int s = 0; s <= 32; ++s) Add(t, 0x100A, s, "Manufacturer Software Version", 8, ro);
    Add(t, 0x2039, 1, "Motor Currents - I_d", 32, ro);
    Add(t, 0x2039, 2, "Motor Currents - I_q", 32, ro);
    Add(t, 0x2039, 3, "Motor Currents - I_a", 32, ro);
    Add(t, 0x2039, 4, "Motor Currents - I_b", 32, ro);
    Add(t, 0x2052, 0, "Encoder Resolution", 32, rw);
    Add(t, 0x3240, 1, "Digital inputs control - Special Function Enable", 32, rw);
    Add(t, 0x3240, 2, "Digital inputs control - Function Inverted", 32, rw);
    Add(t, 0x3240, 6, "Digital inputs control - Input Range Select", 32, rw);
    Add(t, 0x3243, 1, "Digital Input Homing Capture", 32, rw);
    Add(t, 0x3701, 0, "Limit Switch Error Option Code", 16, rw);
    Add(t, 0x4014, 1, "Voltage UB Power", 32, ro);
    Add(t, 0x4014, 2, "Voltage UB Logic", 32, ro);
    Add(t, 0x4014, 3, "Temperature PCB", 32, ro);
    Add(t, 0x6000, 0, "Read Digital Input 8 Bit - Number of indexes supported", 8, ro, sdoObjectCount);
    for (int s = 1; s <= 8; ++s) Add(t, 0x6000, s, "Read Digital Input 8 Bit", 8, ro);
    Add(t, 0x6200, 0, "Write Digital Output 8 Bit - Number of indexes supported", 8, ro, sdoObjectCount);
    for (int s = 1; s <= 8; ++s) Add(t, 0x6200, s, "Write Digital Output 8 Bit", 8, rw);
    Add(t, 0x6040, 0, "Controlword", 16, rw);
    Add(t, 0x6041, 0, "Statusword", 16, ro);
    Add(t, 0x6060, 0, "Mode of Operation", 8, rw);
    Add(t, 0x6061, 0, "Modes of operation display", 8, ro);
    Add(t, 0x6062, 0, "Position Demand Value", 32, ro);
    Add(t, 0x6063, 0, "Position Actual Internal Value", 32, ro);
    Add(t, 0x6064, 0, "Position Actual Value", 32, ro);
    Add(t, 0x6065, 0, "Following error window", 32, rw);
    Add(t, 0x6066, 0, "Following error time out", 16, rw);
    Add(t, 0x607A, 0, "Target Position", 32, rw);
    Add(t, 0x607B, 1, "Position Range Limit Min", 32, rw);
    Add(t, 0x607B, 2, "Position Range Limit Max", 32, rw);
    Add(t, 0x607D, 1, "Min Position Limit", 32, rw);
    Add(t, 0x607D, 2, "Max Position Limit", 32, rw);
    Add(t, 0x6081, 0, "Profile Velocity", 32, rw);
    Add(t, 0x6083, 0, "Profile Acceleration", 32, rw);
    Add(t, 0x6084, 0, "Profile Deceleration", 32, rw);
    Add(t, 0x607C, 0, "Home Offset", 32, rw);
    Add(t, 0x6098, 0, "Homing Method", 8, rw);
    Add(t, 0x6099, 1, "Speed during Search for Switch", 32, rw);
    Add(t, 0x6099, 2, "Speed during Search for Switch", 32, rw);
    Add(t, 0x60A9, 0, "SI Unit Velocity", 32, rw);
    Add(t, 0x60C1, 1, "1st set-point", 32, rw);
    Add(t, 0x60C2, 1, "Interpolation time unit", 8, rw);
    Add(t, 0x60C2, 2, "Interpolation time index", 8, rw);
    Add(t, 0x60C4, 6, "Buffer clear", 8, rw);
    Add(t, 0x60F2, 0, "Positioning Option Code", 16, rw);
    Add(t, 0x60FF, 0, "Target Velocity", 32, rw);
    static const char* const kOrdinal[4] = {"1st", "2nd", "3rd", "4th"};
    const auto mapping = [&](int index, const std::string& pdo) {
        Add(t, index, 0, pdo + " Mapping - Nr of objects", 8, rw);
        for (int s = 1; s <= 4; ++s) Add(t, index, s, pdo + " Mapping - " + kOrdinal[s - 1] + " Object", 32, rw);
    };
    mapping(0x1600, "Receive PDO 1");
    mapping(0x1601, "Receive PDO 2");
    mapping(0x1A00, "Transmit PDO 1");
    mapping(0x1A01, "Transmit PDO 2");
    mapping(0x1A02, "Transmit PDO 3");
    mapping(0x1A03, "Transmit PDO 4");
    for (int k = 0; k < 2; ++k) {
        const std::string pdo = "Receive PDO " + std::to_string(k + 1) + " Communication Parameter - ";
        Add(t, 0x1400 + k, 1, pdo + "COD-ID", 32, rw);
        Add(t, 0x1400 + k, 2, pdo + "Transmission Type", 8, rw);
    }
    for (int k = 0; k < 4; ++k) {
        const std::string pdo = "Transmit PDO " + std::to_string(k + 1) + " Communication Parameter - ";
        Add(t, 0x1800 + k, 1, pdo + "COD-ID", 32, rw);
        Add(t, 0x1800 + k, 2, pdo + "Transmission Type", 8, rw);
        Add(t, 0x1800 + k, 3, pdo + "Inhibit Time", 16, rw);
    }
    Add(t, 0x1017, 0, "Producer Heartbeat Time", 16, rw);
    Add(t, 0x3202, 0, "Motor Drive Submode Select", 32, rw);
    Add(t, 0x320A, 3, "Motor Drive Sensor Display Open Loop - Velocity", 32, rw);
    Add(t, 0x320A, 4, "Motor Drive Sensor Display Open Loop - Position", 32, rw);
    Add(t, 0x3212, 1, "Motor Drive Flags - Legacy Power Mode", 8, rw);
    return t;
}

uint16_t U16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t U32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

std::string Hex(const char* prefix, unsigned value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%s%x", prefix, value);
    return text;
}

// The record's state text; the caller holds the text mutex.
void SetText(jointData& record, const std::string& text) { record.errorText = text; }

}  // namespace

std::string addStringWithSeparator(const std::string& a, const std::string& b, const std::string& separator) {
    return a.empty() ? b : a + separator + b;
}

HardwareProtocolCANopenSDO::HardwareProtocolCANopenSDO(CANInterfaceSocketCAN* can, bool debug_)
    : debug(debug_), m_Can(can), m_Objects(KnownObjects()) {}

const std::vector<SDOparameter>& HardwareProtocolCANopenSDO::KnownObjects() {
    static const std::vector<SDOparameter> table = BuildTable();
    return table;
}

const SDOparameter* HardwareProtocolCANopenSDO::FindObject(int index, int subindex) const {
    for (const SDOparameter& p : m_Objects) {
        if (p.index == index && p.subindex == subindex) return &p;
    }
    return nullptr;
}

// ---------------------------------------------------------------- requests

namespace {

int64_t SteadyUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool HardwareProtocolCANopenSDO::RequestSDO(int node, int index, int subindex) {
    return Upload(node, index, subindex, false, nullptr);
}

bool HardwareProtocolCANopenSDO::RequestSDOAndWait(int node, int index, int subindex, uint32_t* abortCode) {
    return Upload(node, index, subindex, true, abortCode);
}

bool HardwareProtocolCANopenSDO::Upload(int node, int index, int subindex, bool wait, uint32_t* abortCode) {
    if (abortCode != nullptr) *abortCode = 0;
    if (FindObject(index, subindex) == nullptr) {
        LogSingleton::instance()->addFormat("RequestSDO Error: index 0x%02X with subindex %d not defined!", index,
                                            subindex);
        return false;
    }
    if (node < 1 || node > 127) {
        LogSingleton::instance()->addErrorFormat("CANopen: SDO request for node %d out of range (1..127)", node);
        return false;
    }
    const unsigned char data[8] = {0x40, static_cast<unsigned char>(index & 0xFF),
                                   static_cast<unsigned char>((index >> 8) & 0xFF),
                                   static_cast<unsigned char>(subindex & 0xFF), 0, 0, 0, 0};
    const uint64_t id = Enqueue(node, data, wait, abortCode);
    if (id == 0) return false;
    return wait ? Wait(id, abortCode) : true;
}

bool HardwareProtocolCANopenSDO::SendSDO(int node, int index, int subindex, unsigned int value) {
    const SDOparameter* p = FindObject(index, subindex);
    if (p == nullptr) {
        LogSingleton::instance()->addFormat("ERROR - could not find SDO 0x%X, subindex %d in list!", index, subindex);
        return false;
    }
    return Download(node, index, subindex, p->Size(), value, false, nullptr);
}

bool HardwareProtocolCANopenSDO::SendSDOConfirmed(int node, int index, int subindex, unsigned int value,
                                                  uint32_t* abortCode) {
    if (abortCode != nullptr) *abortCode = 0;
    const SDOparameter* p = FindObject(index, subindex);
    if (p == nullptr) {
        LogSingleton::instance()->addFormat("ERROR - could not find SDO 0x%X, subindex %d in list!", index, subindex);
        return false;
    }
    return Download(node, index, subindex, p->Size(), value, true, abortCode);
}

bool HardwareProtocolCANopenSDO::SendSDO(int node, int index, int subindex, int size, unsigned int value) {
    return Download(node, index, subindex, size, value, false, nullptr);
}

bool HardwareProtocolCANopenSDO::SendSDOConfirmed(int node, int index, int subindex, int size, unsigned int value,
                                                  uint32_t* abortCode) {
    return Download(node, index, subindex, size, value, true, abortCode);
}

bool HardwareProtocolCANopenSDO::Download(int node, int index, int subindex, int size, unsigned int value, bool wait,
                                          uint32_t* abortCode) {
    static const unsigned char kCommand[5] = {0, 0x2F, 0x2B, 0x27, 0x23};
    if (abortCode != nullptr) *abortCode = 0;
    if (size < 1 || size > 4) return false;
    if (node < 1 || node > 127 || index < 0 || index > 0xFFFF || subindex < 0 || subindex > 0xFF) {
        LogSingleton::instance()->addErrorFormat("CANopen: SDO download to node %d, 0x%X:%d out of range", node, index,
                                                 subindex);
        return false;
    }
    if (debug) {
        LogSingleton::instance()->addFormat("Send SDO ID: 0x%02X Index: 0x%04X:%02X value: 0x%08X", node, index,
                                            subindex, value);
    }
    unsigned char data[8] = {kCommand[size], static_cast<unsigned char>(index & 0xFF),
                             static_cast<unsigned char>((index >> 8) & 0xFF), static_cast<unsigned char>(subindex),
                             0, 0, 0, 0};
    for (int k = 0; k < size; ++k) data[4 + k] = static_cast<unsigned char>((value >> (8 * k)) & 0xFF);
    const uint64_t id = Enqueue(node, data, wait, abortCode);
    if (id == 0) return false;
    return wait ? Wait(id, abortCode) : true;
}

uint64_t HardwareProtocolCANopenSDO::Enqueue(int node, const unsigned char* frame, bool waited,
                                             uint32_t* abortCode) {
    CheckTimeouts();
    std::lock_guard<std::mutex> lock(m_QueueMutex);
    if (m_Skipped[node] && m_OperationDepth > 0) {
        m_SkippedInOperation[node] = true;
        if (abortCode != nullptr) *abortCode = AbortTimeout;
        return 0;
    }
    std::deque<Transfer>& queue = m_Queues[node];
    if (queue.size() >= MaxQueuedPerNode) {
        if (!m_QueueFullLogged[node]) {
            m_QueueFullLogged[node] = true;
            LogSingleton::instance()->addErrorFormat(
                "CANopen: SDO requests to node %d pile up unanswered, 0x%04X:%d and further ones dropped", node,
                frame[1] | (frame[2] << 8), static_cast<int>(frame[3]));
        }
        return 0;
    }
    Transfer t;
    t.id = m_NextId++;
    std::memcpy(t.frame, frame, 8);
    t.waited = waited;
    queue.push_back(t);
    if (waited) m_Results[t.id] = Result();
    SendNext(node);
    return t.id;
}

void HardwareProtocolCANopenSDO::SendNext(int node) {
    if (m_Outstanding[node] || m_Queues[node].empty()) return;
    m_Outstanding[node] = true;
    m_SentUs[node] = SteadyUs();
    if (m_Can != nullptr) m_Can->WriteMessage(kSdoRequest + node, 8, m_Queues[node].front().frame);
}

void HardwareProtocolCANopenSDO::Finish(int node, bool ok, uint32_t abortCode) {
    if (!m_Outstanding[node] || m_Queues[node].empty()) return;
    const Transfer t = m_Queues[node].front();
    m_Queues[node].pop_front();
    m_Outstanding[node] = false;
    if (m_Queues[node].empty()) m_QueueFullLogged[node] = false;
    if (t.waited) {
        auto it = m_Results.find(t.id);
        if (it != m_Results.end()) it->second = Result{true, ok, abortCode};
    }
    m_QueueChanged.notify_all();
    SendNext(node);
}

bool HardwareProtocolCANopenSDO::Wait(uint64_t id, uint32_t* abortCode) {
    std::unique_lock<std::mutex> lock(m_QueueMutex);
    while (true) {
        auto it = m_Results.find(id);
        if (it == m_Results.end()) return false;  // forgotten by a new connect
        if (it->second.done) {
            const Result r = it->second;
            m_Results.erase(it);
            if (abortCode != nullptr) *abortCode = r.abortCode;
            return r.ok;
        }
        m_QueueChanged.wait_for(lock, std::chrono::milliseconds(5));
        lock.unlock();
        CheckTimeouts();
        lock.lock();
    }
}

void HardwareProtocolCANopenSDO::CheckTimeouts() {
    const int64_t now = SteadyUs();
    const int64_t limit = static_cast<int64_t>(m_TimeoutMs.load()) * 1000;
    std::lock_guard<std::mutex> lock(m_QueueMutex);
    for (int node = 1; node < 128; ++node) {
        if (!m_Outstanding[node] || now - m_SentUs[node] <= limit) continue;
        const unsigned char* f = m_Queues[node].front().frame;
        const int index = f[1] | (f[2] << 8);
        LogSingleton::instance()->addErrorFormat(
            "CANopen SDO ERROR: %s (object: 0x%x, subindex: %d, device ID: %d)", AbortCodeText(AbortTimeout), index,
            static_cast<int>(f[3]), node);
        // The node learns that the client gave the transfer up.
        const unsigned char abort[8] = {0x80, f[1], f[2], f[3], 0x00, 0x00, 0x04, 0x05};
        if (m_Can != nullptr) m_Can->WriteMessage(kSdoRequest + node, 8, abort);
        if (m_OperationDepth > 0) SkipNode(node);
        Finish(node, false, AbortTimeout);
    }
}

void HardwareProtocolCANopenSDO::SkipNode(int node) {
    // Sending on would only wait one time-out per object for a node that does
    // not answer: what is queued behind the outstanding transfer fails now.
    m_Skipped[node] = true;
    m_SkippedInOperation[node] = true;
    std::deque<Transfer>& queue = m_Queues[node];
    const size_t skipped = queue.empty() ? 0 : queue.size() - 1;
    for (size_t k = 1; k < queue.size(); ++k) {
        if (!queue[k].waited) continue;
        auto it = m_Results.find(queue[k].id);
        if (it != m_Results.end()) it->second = Result{true, false, AbortTimeout};
    }
    if (!queue.empty()) queue.erase(queue.begin() + 1, queue.end());
    LogSingleton::instance()->addErrorFormat(
        "CANopen: Device %d does not answer SDO requests, skipped until it answers again (%d queued transfers dropped)",
        node, static_cast<int>(skipped));
}

void HardwareProtocolCANopenSDO::BeginOperation() {
    std::lock_guard<std::mutex> lock(m_QueueMutex);
    ++m_OperationDepth;
}

std::vector<int> HardwareProtocolCANopenSDO::EndOperation() {
    std::lock_guard<std::mutex> lock(m_QueueMutex);
    std::vector<int> skipped;
    if (m_OperationDepth > 0) --m_OperationDepth;
    if (m_OperationDepth > 0) return skipped;
    for (int node = 1; node < 128; ++node) {
        if (!m_SkippedInOperation[node]) continue;
        skipped.push_back(node);
        m_SkippedInOperation[node] = false;
    }
    return skipped;
}

void HardwareProtocolCANopenSDO::RetrySkippedNodes() {
    std::lock_guard<std::mutex> lock(m_QueueMutex);
    for (bool& skipped : m_Skipped) skipped = false;
}

bool HardwareProtocolCANopenSDO::Skipped(int node) const {
    if (node < 0 || node > 127) return false;
    std::lock_guard<std::mutex> lock(m_QueueMutex);
    return m_Skipped[node];
}

void HardwareProtocolCANopenSDO::ClearTransfers() {
    std::lock_guard<std::mutex> lock(m_QueueMutex);
    for (int node = 0; node < 128; ++node) {
        m_Queues[node].clear();
        m_Outstanding[node] = false;
        m_QueueFullLogged[node] = false;
        m_Skipped[node] = false;
        m_SkippedInOperation[node] = false;
    }
    m_Results.clear();
    m_QueueChanged.notify_all();
}

size_t HardwareProtocolCANopenSDO::PendingTransfers(int node) const {
    if (node < 0 || node > 127) return 0;
    std::lock_guard<std::mutex> lock(m_QueueMutex);
    return m_Queues[node].size();
}

// ---------------------------------------------------------------- answers

void HardwareProtocolCANopenSDO::ParseSDOAnswer(jointData* record, int dlc, const unsigned char* data, long) {
    if (record == nullptr || data == nullptr || dlc < 4) return;
    const int node = record->canId;
    if (node < 1 || node > 127) return;
    uint64_t answered = 0;
    bool download = false;
    {
        std::lock_guard<std::mutex> lock(m_QueueMutex);
        // Nothing asked (never, or given up after its time-out): a late or
        // stray frame that belongs to no transfer.
        if (!m_Outstanding[node]) return;
        const Transfer& t = m_Queues[node].front();
        const bool sameObject = t.frame[1] == data[1] && t.frame[2] == data[2] && t.frame[3] == data[3];
        const bool upload = (t.frame[0] & 0xE0) == 0x40;
        const bool fits = data[0] == kAbort || (upload ? (data[0] & 0xE0) == 0x40 : data[0] == kDownloadConfirmed);
        // Not the answer to what the node was asked.
        if (!sameObject || !fits) return;
        answered = t.id;
        download = !upload;
    }
    ParseAnswerFrame(record, dlc, data, download);
    std::lock_guard<std::mutex> lock(m_QueueMutex);
    if (m_Outstanding[node] && m_Queues[node].front().id == answered) {
        const uint32_t code = data[0] == kAbort ? U32(data + 4) : 0;
        Finish(node, data[0] != kAbort, code);
    }
    // It answers again.
    m_Skipped[node] = false;
}

void HardwareProtocolCANopenSDO::ParseAnswerFrame(jointData* record, int dlc, const unsigned char* data,
                                                  bool download) {
    if (record == nullptr || data == nullptr || dlc < 4) return;
    if (data[0] == kDownloadConfirmed) return;
    const int index = U16(data + 1);
    const int subindex = data[3];
    if (data[0] == kAbort) {
        const std::string text = ParseSDOError(*record, data);
        if (!text.empty()) LogSingleton::instance()->add("CANopen SDO ERROR: " + text);
        // A drive that refuses its mode of operation runs in none of ours; a
        // refused read of the mode changes nothing.
        if (index == 0x6060 && download && record->kind == 0) {
            record->profile = CANopenProfileNone;
            std::lock_guard<std::mutex> lock(m_TextMutex);
            record->driveError = "mode of operation refused: " + AbortCodeText(U32(data + 4));
        }
        // The abort code is no value of the object; it ends a device text, though.
        if ((index == 0x1008 || index == 0x100A) && subindex >= 1 && subindex <= 32) {
            std::lock_guard<std::mutex> lock(m_TextMutex);
            char* text = index == 0x1008 ? record->deviceName : record->firmwareVersion;
            text[subindex - 1] = 0;
        }
        return;
    }
    if (index >= 0x6000 && index < 0xA000) {
        if (record->kind == 1) {
            ParseSDOAnswerProfileIO(*record, data);
        } else {
            ParseSDOAnswerProfileMotors(*record, data);
        }
    } else {
        ParseSDOAnswerGeneral(*record, data);
    }
}

std::string HardwareProtocolCANopenSDO::AbortCodeText(uint32_t code) {
    switch (code) {
        case 0x05030000: return "toggle bit not changed (missing message)";
        case 0x05040000: return "SDO protocol timed out";
        case 0x05040001: return "command specifier unknown";
        case 0x06010000: return "unsupported access";
        case 0x06010002: return "read only entry";
        case 0x06020000: return "object not existing";
        case 0x06040041: return "object can not be pdo mapped";
        case 0x06040042: return "mapped pdo exceed pdo";
        case 0x06070010: return "data type or length mismatch";
        case 0x06070012: return "parameter length too long";
        case 0x06070013: return "parameter length too short";
        case 0x06090011: return "subindex not existing";
        case 0x06090030: return "value range exceeded";
        case 0x06090031: return "value too great";
        case 0x06090032: return "value too small";
        case 0x08000000: return "general error";
        case 0x08000022: return "data cannot be read ot stored in this state (could not configure PDO)";
        default: return Hex("unknown error: ", code);
    }
}

std::string HardwareProtocolCANopenSDO::ParseSDOError(const jointData& record, const unsigned char* data) const {
    const int index = U16(data + 1);
    if (index == 0x1008 || index == 0x100A) return std::string();
    char where[96];
    std::snprintf(where, sizeof(where), " (object: 0x%x, subindex: %d, device ID: %d)", index,
                  static_cast<int>(data[3]), static_cast<int>(record.canId));
    return AbortCodeText(U32(data + 4)) + where;
}

void HardwareProtocolCANopenSDO::ParseSDOAnswerProfileMotors(jointData& record, const unsigned char* data) {
    LogSingleton* log = LogSingleton::instance();
    const int index = U16(data + 1);
    const int id = record.canId;
    switch (index) {
        case 0x6040: record.controlword = U16(data + 4); break;
        case 0x6041: ParseStatusWord(&record, U16(data + 4)); break;
        case 0x6044: record.actualVelocity = static_cast<float>(static_cast<int16_t>(U16(data + 4))); break;
        case 0x6060: record.profile = CANopenProfileFromMode(static_cast<int8_t>(data[4])); break;
        case 0x6061: {
            const uint32_t actual = CANopenProfileFromMode(static_cast<int8_t>(data[4]));
            record.actualProfile = actual;
            if (actual != record.profile) {
                log->addFormat("CANopen: Actual profile %d of joint %d does not match target profile %d.",
                               static_cast<int>(actual), id, static_cast<int>(record.profile));
            }
            break;
        }
        case 0x6064:
            record.positionKnown = 1;
            record.actualPosition =
                (static_cast<float>(static_cast<int32_t>(U32(data + 4))) - record.gearZero) / record.gearScale;
            break;
        case 0x6078: record.current = static_cast<float>(U16(data + 4)); break;
        case 0x607C:
            record.homeOffset = static_cast<int32_t>(U32(data + 4));
            log->addFormat("CANopen: Got homing offset of joint with id %d: %d", id,
                           static_cast<int>(record.homeOffset));
            break;
        case 0x6098:
            record.homingMethod = data[4];
            log->addFormat("CANopen: Got homing method of joint with ID %d: %d", id, static_cast<int>(data[4]));
            break;
        default: break;
    }
}

void HardwareProtocolCANopenSDO::ParseSDOAnswerProfileIO(jointData& record, const unsigned char* data) {
    LogSingleton* log = LogSingleton::instance();
    record.errorCode = 0;
    const int index = U16(data + 1);
    const int subindex = data[3];
    const int id = record.canId;
    if (index == 0x6000 && subindex == 0) {
        record.inputGroups = data[4];
        log->addFormat("CANopen: Got number of DIn subindices for module with ID %d: %d (up to %d inputs)", id,
                       static_cast<int>(data[4]), data[4] * 8);
        if (data[4] < 1) log->addFormat("CANopen: No DIn on IO module with ID %d", id);
    } else if (index == 0x6000 && subindex >= 1 && subindex <= 8) {
        const int shift = 8 * (subindex - 1);
        uint64_t bits = record.digitalInputs;
        bits = (bits & ~(0xFFull << shift)) | (static_cast<uint64_t>(data[4]) << shift);
        record.digitalInputs = bits;
    } else if (index == 0x6200 && subindex == 0) {
        record.outputGroups = data[4];
        log->addFormat("CANopen: Got number of DOut subindices for module with ID %d: %d (up to %d outputs)", id,
                       static_cast<int>(data[4]), data[4] * 8);
        if (data[4] < 1) log->addFormat("CANopen: No DOut on IO module with ID %d", id);
    }
}

float HardwareProtocolCANopenSDO::MotorCurrent(uint32_t driveSubmode, float a, float b) {
    const double amps = std::sqrt(static_cast<double>(a) * a + static_cast<double>(b) * b);
    const double mA = (driveSubmode & 1) ? amps * 1000.0 / std::sqrt(2.0) : amps * 1000.0;
    return static_cast<float>(mA);
}

void HardwareProtocolCANopenSDO::ParseSDOAnswerGeneral(jointData& record, const unsigned char* data) {
    LogSingleton* log = LogSingleton::instance();
    const int index = U16(data + 1);
    const int subindex = data[3];
    const uint32_t value = U32(data + 4);
    const int id = record.canId;
    switch (index) {
        case 0x1001:
            record.errorRegister = data[4];
            if (data[4] != 0) {
                ParsePredefinedErrorField(record, 0, 0xFF, data[4], 0xFFFF);
                RequestSDO(id, 0x1003, 1);
            }
            break;
        case 0x1003:
            if (subindex == 0) {
                record.errorCount = data[4];
            } else {
                ParsePredefinedErrorField(record, static_cast<unsigned char>(subindex), data[7], data[6], U16(data + 4));
            }
            break;
        case 0x1008:
        case 0x100A:
            if (subindex >= 1 && subindex <= 32) {
                const char c = std::isprint(data[4]) ? static_cast<char>(data[4]) : 0;
                std::lock_guard<std::mutex> lock(m_TextMutex);
                (index == 0x1008 ? record.deviceName : record.firmwareVersion)[subindex - 1] = c;
            }
            break;
        case 0x2039: {
            const float component = static_cast<float>(static_cast<int32_t>(value)) / 1000.0f;
            if (subindex == 1 || subindex == 3) {
                record.currentA = component;
            } else if (subindex == 2 || subindex == 4) {
                record.currentB = component;
            } else {
                break;
            }
            record.current = MotorCurrent(record.driveSubmode, record.currentA, record.currentB);
            break;
        }
        case 0x3202:
            record.driveSubmode = value;
            log->addFormat((value & 1) ? "CANopen: Joint %d in closed loop mode" : "CANopen: Joint %d in open loop mode",
                           id);
            if ((value & 0x09) == 0) {
                log->addFormat("CANopen: WARNING! Open loop current reduction not enabled for joint %d. Is this intended?",
                               id);
            }
            if (value & 0x40) log->addFormat("CANopen: Joint %d is in BLDC mode", id);
            break;
        case 0x3243:
            if (subindex == 1) {
                static const char* const kModes[4] = {"deactivated", "rising edge", "falling edge", "both edges"};
                record.homingCaptureMode = value;
                log->addFormat("CANopen: Got homing capture mode for joint with ID %d: %s", id,
                               value < 4 ? kModes[value] : "unknown");
            }
            break;
        case 0x3701:
            record.limitSwitchOption = static_cast<int16_t>(U16(data + 4));
            log->addFormat("CANopen: Got limit switch error option code of joint with ID %d: %d", id,
                           static_cast<int>(record.limitSwitchOption));
            break;
        case 0x4014:
            if (subindex == 1) record.supply = static_cast<float>(value) * 0.001f;
            if (subindex == 3) record.temperature = static_cast<float>(static_cast<int32_t>(value)) * 0.1f;
            break;
        default: break;
    }
}

// ---------------------------------------------------------------- errors

std::string HardwareProtocolCANopenSDO::ParseErrorRegister(unsigned char errorRegister) {
    static const char* const kBits[8] = {"GEN", "CUR", "VOL", "TEMP", "COM", "PROF", nullptr, "MAN"};
    std::string text;
    for (int b = 0; b < 8; ++b) {
        if ((errorRegister & (1 << b)) && kBits[b] != nullptr) text = addStringWithSeparator(text, kBits[b], "_");
    }
    if (text.empty() && errorRegister != 0) text = "UNKNOWN";
    return text;
}

std::string HardwareProtocolCANopenSDO::ParseErrorCode(unsigned short code) {
    switch (code) {
        case 0x0000: return "n/a";
        case 0x1000: return "general error";
        case 0x2300: return "current too high at output of control";
        case 0x3100: return "over-/undercurrent at input of control";
        case 0x4200: return "temperature error";
        case 0x6010: return "software reset (watchdog)";
        case 0x6100: return "generic internal software error";
        case 0x6320: return "nominal current needs to be set (0x203B:01)";
        case 0x7121: return "motor blocked";
        case 0x7305: return "incremental or hall sensor faulty";
        case 0x7600: return "nonvolatile memory full or corrupt, restart needed";
        case 0x8000: return "error at field bus monitoring";
        case 0x8130: return "life guard or heart beat error";
        case 0x8200: return "slave needed too long to send PDO message";
        case 0x8210: return "PDO was not processed due to length error";
        case 0x8220: return "PDO length exceeded";
        case 0x8611: return "error in position monitoring: position lag too large";
        case 0x8612: return "error in position monitoring: end switch and tolerance zone exceeded";
        default: return Hex("unknown 0x", code);
    }
}

std::string HardwareProtocolCANopenSDO::ParseErrorNumber(unsigned char number) {
    static const char* const kTexts[28] = {
        "Watchdog-Reset",
        "Input voltage too high",
        "Output current too high",
        "Input voltage too low",
        "Error at field bus",
        "Motor turns in wrong direction",
        "Node guarding request from NMT master delayed",
        "Encoder error: electrical fault or defective hardware",
        "Encoder error: could not find index during auto-setup",
        "Error in AB spur",
        "Exceeded positive end switch and tolerance zone",
        "Exceeded negative end switch and tolerance zone",
        "Temperature limit exceeded",
        "Fault due to following error",
        "Nonvolatile memory full, restart required",
        "Motor blocked",
        "Nonvolatile memory damaged, restart required",
        "Slave needs too long to send PDO message",
        "Hall sensor faulty",
        "Could not parse PDO due to invalid length",
        "PDO length exceeded",
        "Nonvolatile memory full, restart required",
        "Nominal current needs to be set (0x203B:01)",
        "Encoder resolution, pole pair count and other values are incorrect",
        "Motor current too high, change PI parameter",
        "Generic internal software error",
        "Current at digital output too high",
        "Unexpected Sync length",
    };
    return number < 28 ? kTexts[number] : Hex("unknown 0x", number);
}

void HardwareProtocolCANopenSDO::ParsePredefinedErrorField(jointData& record, unsigned char subindex,
                                                           unsigned char number, unsigned char errorRegister,
                                                           unsigned short code) {
    const std::string numberText = ParseErrorNumber(number);
    std::string classText = ParseErrorRegister(errorRegister);
    if (classText.empty()) classText = "none";
    const std::string codeText = ParseErrorCode(code);
    {
        std::lock_guard<std::mutex> lock(m_TextMutex);
        if (classText == m_LastErrorClass) return;
        m_LastErrorClass = classText;
    }
    LogSingleton* log = LogSingleton::instance();
    const int id = record.canId;
    if (numberText != "n/a" || codeText != "n/a") {
        log->addFormat("CANopen: Error #%d at joint %d: class='%s' number='%s' code='%s'", static_cast<int>(subindex),
                       id, classText, numberText, codeText);
    } else {
        log->addFormat("CANopen: Error #%d at joint %d: class='%s'", static_cast<int>(subindex), id, classText);
    }
}

void HardwareProtocolCANopenSDO::ParseEmergency(jointData* record, int node, const unsigned char* data) {
    if (record == nullptr || data == nullptr) return;
    const unsigned short code = U16(data);
    const unsigned char reg = data[2];
    if (code == 0 && reg == 0) return;  // error reset
    const unsigned manufacturer = (static_cast<unsigned>(data[4]) << 24) | (static_cast<unsigned>(data[5]) << 16) |
                                  (static_cast<unsigned>(data[6]) << 8) | static_cast<unsigned>(data[7]);
    LogSingleton* log = LogSingleton::instance();
    if (record->kind == 1) {
        log->addFormat("Received EMERGENCY message from device %d (not a motor): err reg '0x%X', err code '0x%X', "
                       "manufacturer err '0x%X'",
                       node, static_cast<unsigned>(reg), static_cast<unsigned>(code), manufacturer);
    } else {
        std::string classText = ParseErrorRegister(reg);
        if (classText.empty()) classText = "none";
        log->addFormat("Received EMERGENCY message from joint %d: err reg '%s', err code '%s', manufacturer err '0x%X'",
                       node, classText, ParseErrorCode(code), manufacturer);
    }
}

// ---------------------------------------------------------------- statusword

std::string HardwareProtocolCANopenSDO::ParseStatusWord(jointData* record, long statusword) {
    if (record == nullptr) return std::string();
    const unsigned sw = static_cast<unsigned>(statusword) & 0xFFFF;
    const char* text;
    if ((sw & 0x4F) == 0x00) {
        text = "not_ready_to_switch_on";
    } else if ((sw & 0x4F) == 0x40) {
        text = "switch_on_disabled";
    } else if ((sw & 0x6F) == 0x21) {
        text = "ready_to_switch_on";
    } else if ((sw & 0x6F) == 0x23) {
        text = "switched_on";
    } else if ((sw & 0x6F) == 0x27) {
        text = "operation_enabled";
    } else if ((sw & 0x6F) == 0x07) {
        text = "quick_stop_active";
    } else if ((sw & 0x4F) == 0x0F) {
        text = "fault_reaction_active";
    } else if ((sw & 0x4F) == 0x08) {
        text = "fault";
    } else {
        text = "start_up";
    }
    record->statusword = static_cast<uint16_t>(sw);
    // Only a drive that follows its set-points counts as enabled: not one in
    // fault or on its way there.
    record->motorReady = (sw & 0x6F) == 0x27 ? 1 : 0;
    {
        std::lock_guard<std::mutex> lock(m_TextMutex);
        SetText(*record, text);
    }
    LogSingleton* log = LogSingleton::instance();
    const int id = record->canId;
    if (debug) log->addFormat("Status ID: 0x%02X Code: 0x%04X value: %s", id, sw, text);

    const uint32_t profile = record->profile;
    if (profile != CANopenProfileHoming && profile != CANopenProfileHomingSetToZero) return text;
    const uint16_t bits = static_cast<uint16_t>(sw & 0x3400);
    if (bits == record->homingStatus) return text;
    record->homingStatus = bits;
    bool finished = false;
    switch (bits) {
        case 0x0000:
            record->referencingState = 4;
            log->addFormat("Joint %d: Homing active", id);
            break;
        case 0x0400:
            record->referencingState = 4;
            log->addFormat("Joint %d: Homing interrupted or not started", id);
            break;
        case 0x1000:
            record->referencingState = 6;
            log->addFormat("Joint %d: Homing confirmed but target not reached", id);
            finished = true;
            break;
        case 0x1400:
            record->referencingState = 5;
            log->addFormat("Joint %d: Homing done", id);
            finished = true;
            break;
        case 0x2000:
            record->referencingState = 7;
            log->addFormat("Joint %d: Homing error, motor still moving", id);
            break;
        case 0x2400:
            record->referencingState = 7;
            log->addFormat("Joint %d: Homing error, motor stopped", id);
            break;
        default: break;
    }
    if (finished) {
        log->addFormat("CANopen: Homing finished joint %d", id);
        record->referenced = 1;
        RequestSDO(id, 0x6064, 0);
        SendSDO(id, 0x3701, 0, static_cast<unsigned>(static_cast<uint16_t>(record->limitSwitchOption)));
    }
    return text;
}

// ---------------------------------------------------------------- texts

void HardwareProtocolCANopenSDO::SetStateText(jointData& record, const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_TextMutex);
    SetText(record, text);
}

std::string HardwareProtocolCANopenSDO::StateText(const jointData& record) const {
    std::lock_guard<std::mutex> lock(m_TextMutex);
    return record.errorText;
}

std::string HardwareProtocolCANopenSDO::DeviceName(const jointData& record) const {
    std::lock_guard<std::mutex> lock(m_TextMutex);
    return std::string(record.deviceName, strnlen(record.deviceName, sizeof(record.deviceName)));
}

std::string HardwareProtocolCANopenSDO::FirmwareVersion(const jointData& record) const {
    std::lock_guard<std::mutex> lock(m_TextMutex);
    return std::string(record.firmwareVersion, strnlen(record.firmwareVersion, sizeof(record.firmwareVersion)));
}

std::string HardwareProtocolCANopenSDO::DriveError(const jointData& record) const {
    std::lock_guard<std::mutex> lock(m_TextMutex);
    return record.driveError;
}

void HardwareProtocolCANopenSDO::SetDriveError(jointData& record, const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_TextMutex);
    record.driveError = text;
}

void HardwareProtocolCANopenSDO::ClearDeviceTexts(jointData& record) const {
    std::lock_guard<std::mutex> lock(m_TextMutex);
    for (char& c : record.deviceName) c = 0;
    for (char& c : record.firmwareVersion) c = 0;
}

}  // namespace Hardware
