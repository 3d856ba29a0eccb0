#include "korvella-cansim/SimCANopenNode.h"

#include <cstring>

namespace CanSim {

namespace {

constexpr uint32_t Key(int index, int subindex) {
    return (static_cast<uint32_t>(index & 0xFFFF) << 8) | static_cast<uint32_t>(subindex & 0xFF);
}

constexpr uint32_t kInvalid = 0x80000000u;

// Abort codes of CiA 301.
constexpr uint32_t kAbortToggle = 0x05030000;
constexpr uint32_t kAbortCommand = 0x05040001;
constexpr uint32_t kAbortUnsupported = 0x06010000;
constexpr uint32_t kAbortReadOnly = 0x06010002;
constexpr uint32_t kAbortNoObject = 0x06020000;
constexpr uint32_t kAbortNotMappable = 0x06040041;
constexpr uint32_t kAbortPdoTooLong = 0x06040042;
constexpr uint32_t kAbortTooLong = 0x06070012;
constexpr uint32_t kAbortTooShort = 0x06070013;
constexpr uint32_t kAbortNoSubindex = 0x06090011;
constexpr uint32_t kAbortValueTooGreat = 0x06090031;

int64_t Micros(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000; }

bool IsMappingObject(int index) {
    return (index >= 0x1600 && index <= 0x1601) || (index >= 0x1A00 && index <= 0x1A03);
}

uint32_t Mask(int size) { return size >= 4 ? 0xFFFFFFFFu : ((1u << (8 * size)) - 1u); }

}  // namespace

SimCANopenNode::SimCANopenNode(const Config& config) : m_Config(config) { BuildDictionary(); }

// ---------------------------------------------------------------- dictionary

namespace {

// The objects a device of this kind holds, with the sizes and access of CiA
// 301, 401 and 402 (and the maker's objects of the drives), independent of
// what the controller's SDO client believes about them.
struct ObjectSpec {
    int index;
    int firstSub;
    int lastSub;
    int size;
    bool writable;
    bool mappable;
};

const ObjectSpec kCommunication[] = {
    {0x1001, 0, 0, 1, false, true},   {0x1003, 0, 0, 1, true, false},  {0x1003, 1, 8, 4, false, false},
    {0x1017, 0, 0, 2, true, false},   {0x1400, 1, 1, 4, true, false},  {0x1400, 2, 2, 1, true, false},
    {0x1401, 1, 1, 4, true, false},   {0x1401, 2, 2, 1, true, false},  {0x1600, 0, 0, 1, true, false},
    {0x1600, 1, 4, 4, true, false},   {0x1601, 0, 0, 1, true, false},  {0x1601, 1, 4, 4, true, false},
    {0x1800, 1, 1, 4, true, false},   {0x1800, 2, 2, 1, true, false},  {0x1800, 3, 3, 2, true, false},
    {0x1801, 1, 1, 4, true, false},   {0x1801, 2, 2, 1, true, false},  {0x1801, 3, 3, 2, true, false},
    {0x1802, 1, 1, 4, true, false},   {0x1802, 2, 2, 1, true, false},  {0x1802, 3, 3, 2, true, false},
    {0x1803, 1, 1, 4, true, false},   {0x1803, 2, 2, 1, true, false},  {0x1803, 3, 3, 2, true, false},
    {0x1A00, 0, 0, 1, true, false},   {0x1A00, 1, 4, 4, true, false},  {0x1A01, 0, 0, 1, true, false},
    {0x1A01, 1, 4, 4, true, false},   {0x1A02, 0, 0, 1, true, false},  {0x1A02, 1, 4, 4, true, false},
    {0x1A03, 0, 0, 1, true, false},   {0x1A03, 1, 4, 4, true, false},
};

const ObjectSpec kDrive[] = {
    // The maker's objects.
    {0x2039, 1, 4, 4, false, true},   {0x2052, 0, 0, 4, true, true},   {0x3202, 0, 0, 4, true, true},
    {0x3212, 1, 1, 1, true, true},    {0x3240, 1, 2, 4, true, true},   {0x3240, 6, 6, 4, true, true},
    {0x320A, 3, 4, 4, true, true},    {0x3243, 1, 1, 4, true, true},   {0x3701, 0, 0, 2, true, true},
    {0x4014, 1, 3, 4, false, true},
    // CiA 402.
    {0x603F, 0, 0, 2, false, true},   {0x6040, 0, 0, 2, true, true},   {0x6041, 0, 0, 2, false, true},
    {0x605A, 0, 0, 2, true, false},   {0x605C, 0, 0, 2, true, false},  {0x6060, 0, 0, 1, true, true},
    {0x6061, 0, 0, 1, false, true},   {0x6062, 0, 0, 4, false, true},  {0x6063, 0, 0, 4, false, true},
    {0x6064, 0, 0, 4, false, true},   {0x6065, 0, 0, 4, true, true},   {0x6066, 0, 0, 2, true, true},
    {0x6078, 0, 0, 2, false, true},   {0x607A, 0, 0, 4, true, true},   {0x607B, 1, 2, 4, true, true},
    {0x607C, 0, 0, 4, true, true},    {0x607D, 1, 2, 4, true, true},   {0x6081, 0, 0, 4, true, true},
    {0x6082, 0, 0, 4, true, true},    {0x6083, 0, 0, 4, true, true},   {0x6084, 0, 0, 4, true, true},
    {0x6098, 0, 0, 1, true, true},    {0x6099, 1, 2, 4, true, true},   {0x60A9, 0, 0, 4, true, false},
    {0x60C1, 1, 1, 4, true, true},    {0x60C2, 1, 1, 1, true, false},  {0x60C2, 2, 2, 1, true, false},
    {0x60C4, 6, 6, 1, true, false},   {0x60F2, 0, 0, 2, true, true},   {0x60FF, 0, 0, 4, true, true},
};

const ObjectSpec kIO[] = {
    // CiA 401: eight groups of eight inputs and outputs.
    {0x6000, 0, 0, 1, false, false},  {0x6000, 1, 8, 1, false, true},  {0x6200, 0, 0, 1, false, false},
    {0x6200, 1, 8, 1, true, true},
};

}  // namespace

void SimCANopenNode::BuildDictionary() {
    m_Objects.clear();
    const auto add = [&](const ObjectSpec* specs, size_t n) {
        for (size_t k = 0; k < n; ++k) {
            for (int sub = specs[k].firstSub; sub <= specs[k].lastSub; ++sub)
                m_Objects[Key(specs[k].index, sub)] = Entry{0, specs[k].size, specs[k].writable, specs[k].mappable};
        }
    };
    add(kCommunication, sizeof(kCommunication) / sizeof(kCommunication[0]));
    if (m_Config.kind == Kind::Drive) {
        add(kDrive, sizeof(kDrive) / sizeof(kDrive[0]));
    } else {
        add(kIO, sizeof(kIO) / sizeof(kIO[0]));
    }
    // The device texts are strings (subindex 0); the maker's devices also hand
    // them out one character per subindex.
    for (int index : {0x1008, 0x100A}) {
        for (int sub = 0; sub <= 32; ++sub) m_Objects[Key(index, sub)] = Entry{0, 1, false, false};
    }
    const bool drive = m_Config.kind == Kind::Drive;
    m_Objects[Key(0x1000, 0)] = Entry{drive ? 0x00020192u : 0x000F0191u, 4, false, false};
    m_Objects[Key(0x6082, 0)] = Entry{0, 4, true, true};
    ResetCommunication();
    if (drive) {
        Set(0x6041, 0, 0x0250);  // switch_on_disabled
        Set(0x3202, 0, 0x01);    // closed loop
        Set(0x3701, 0, 0xFFFF);
        Set(0x4014, 1, 24000);   // mV
        Set(0x4014, 2, 24000);
        Set(0x4014, 3, 350);     // 0.1 degC
    } else {
        Set(0x6000, 0, 2);
        Set(0x6200, 0, 2);
    }
}

void SimCANopenNode::ResetCommunication() {
    const uint32_t id = static_cast<uint32_t>(m_Config.nodeId);
    for (int k = 0; k < 4; ++k) {
        Set(0x1800 + k, 1, kInvalid + 0x180 + 0x100 * static_cast<uint32_t>(k) + id);
        Set(0x1800 + k, 2, 255);
        Set(0x1800 + k, 3, 0);
        Set(0x1A00 + k, 0, 0);
        for (int s = 1; s <= 4; ++s) Set(0x1A00 + k, s, 0);
        m_SyncCount[k] = 0;
        m_LastSent[k].clear();
    }
    for (int k = 0; k < 2; ++k) {
        Set(0x1400 + k, 1, kInvalid + 0x200 + 0x100 * static_cast<uint32_t>(k) + id);
        Set(0x1400 + k, 2, 255);
        Set(0x1600 + k, 0, 0);
        for (int s = 1; s <= 4; ++s) Set(0x1600 + k, s, 0);
        m_HasPendingRx[k] = false;
    }
    Set(0x1017, 0, 0);
    Set(0x1001, 0, 0);
    Set(0x1003, 0, 0);
    m_Segmented = Segmented();
}

SimCANopenNode::Entry* SimCANopenNode::Find(int index, int subindex) {
    auto it = m_Objects.find(Key(index, subindex));
    return it == m_Objects.end() ? nullptr : &it->second;
}

const SimCANopenNode::Entry* SimCANopenNode::Find(int index, int subindex) const {
    auto it = m_Objects.find(Key(index, subindex));
    return it == m_Objects.end() ? nullptr : &it->second;
}

uint32_t SimCANopenNode::Get(int index, int subindex) const {
    const Entry* e = Find(index, subindex);
    return e == nullptr ? 0 : e->value;
}

void SimCANopenNode::Set(int index, int subindex, uint32_t value) {
    Entry* e = Find(index, subindex);
    if (e != nullptr) e->value = value & Mask(e->size);
}

std::string SimCANopenNode::Text(int index) const {
    const bool drive = m_Config.kind == Kind::Drive;
    if (index == 0x1008) {
        if (!m_Config.deviceName.empty()) return m_Config.deviceName;
        return drive ? "Korvella SimDrive" : "Korvella SimIO";
    }
    if (!m_Config.firmwareVersion.empty()) return m_Config.firmwareVersion;
    return drive ? "KSD-v0100" : "KSIO-v0100";
}

// ---------------------------------------------------------------- bus

void SimCANopenNode::SendFrame(Bus& bus, int id, int dlc, const uint8_t* data) {
    can_frame f;
    std::memset(&f, 0, sizeof(f));
    f.can_id = static_cast<canid_t>(id) & CAN_SFF_MASK;
    f.can_dlc = static_cast<__u8>(dlc);
    if (dlc > 0) std::memcpy(f.data, data, static_cast<size_t>(dlc));
    bus.Send(f);
}

void SimCANopenNode::OnFrame(const can_frame& frame, const timespec&, Bus& bus) {
    if ((frame.can_id & ~CAN_SFF_MASK) != 0) return;
    const int id = static_cast<int>(frame.can_id);
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_State.silent) return;
    if (id == 0) {
        HandleNMT(frame);
        return;
    }
    if (m_BootUpPending) return;
    if (id == 0x80 && frame.can_dlc == 0) {
        HandleSync(bus);
        return;
    }
    if (id == 0x600 + m_Config.nodeId) {
        if (m_State.nmtState == kStopped || m_State.sdoSilent) return;
        // The client gives its transfer up: nothing to answer.
        if (frame.can_dlc == 8 && frame.data[0] == 0x80) {
            m_SdoPending = false;
            m_Segmented.active = false;
            return;
        }
        // A server holds one transfer: a request before the answer overwrites it.
        if (m_SdoPending) ++m_State.sdoOverruns;
        m_SdoRequest = frame;
        m_SdoPending = true;
        return;
    }
    for (int k = 0; k < 2; ++k) {
        const uint32_t cob = Get(0x1400 + k, 1);
        if ((cob & kInvalid) == 0 && static_cast<int>(cob & 0x7FF) == id) {
            HandleReceivePDO(k, frame, bus);
            return;
        }
    }
}

void SimCANopenNode::OnTick(const timespec& now, Bus& bus) {
    const int64_t nowUs = Micros(now);
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_State.silent) return;
    if (m_BootUpPending) {
        m_BootUpPending = false;
        const uint8_t boot = kBootUp;
        SendFrame(bus, 0x700 + m_Config.nodeId, 1, &boot);
        m_State.nmtState = kPreOperational;
        m_NextHeartbeatUs = 0;
    }
    if (m_SdoPending) {
        m_SdoPending = false;
        if (m_State.nmtState != kStopped && !m_State.sdoSilent) HandleSDO(m_SdoRequest, bus);
    }
    for (const PendingEmergency& e : m_PendingEmergencies) {
        if (m_State.nmtState != kStopped) SendEmergency(e.code, e.errorRegister, bus);
    }
    m_PendingEmergencies.clear();

    const uint32_t period = Get(0x1017, 0);
    if (period == 0 || !m_State.heartbeatEnabled) {
        m_NextHeartbeatUs = 0;
    } else if (m_NextHeartbeatUs == 0) {
        m_NextHeartbeatUs = nowUs + static_cast<int64_t>(period) * 1000;
    } else if (nowUs >= m_NextHeartbeatUs) {
        m_NextHeartbeatUs += static_cast<int64_t>(period) * 1000;
        if (m_NextHeartbeatUs < nowUs) m_NextHeartbeatUs = nowUs + static_cast<int64_t>(period) * 1000;
        const uint8_t state = m_State.nmtState;
        SendFrame(bus, 0x700 + m_Config.nodeId, 1, &state);
        ++m_State.heartbeats;
    }
    OnProfileTick(nowUs, bus);
}

void SimCANopenNode::HandleNMT(const can_frame& frame) {
    if (frame.can_dlc < 2) return;
    const int node = frame.data[1];
    if (node != 0 && node != m_Config.nodeId) return;
    switch (frame.data[0]) {
        case 0x01:
            if (!m_BootUpPending) m_State.nmtState = kOperational;
            break;
        case 0x02:
            if (!m_BootUpPending) m_State.nmtState = kStopped;
            break;
        case 0x80:
            if (!m_BootUpPending) m_State.nmtState = kPreOperational;
            break;
        case 0x81:
            BuildDictionary();
            OnReset();
            m_State.nmtState = kBootUp;
            m_BootUpPending = true;
            break;
        case 0x82:
            ResetCommunication();
            m_State.nmtState = kBootUp;
            m_BootUpPending = true;
            break;
        default: break;
    }
}

// ---------------------------------------------------------------- SDO server

void SimCANopenNode::Abort(int index, int subindex, uint32_t code, Bus& bus) {
    const uint8_t data[8] = {0x80,
                             static_cast<uint8_t>(index & 0xFF),
                             static_cast<uint8_t>((index >> 8) & 0xFF),
                             static_cast<uint8_t>(subindex),
                             static_cast<uint8_t>(code & 0xFF),
                             static_cast<uint8_t>((code >> 8) & 0xFF),
                             static_cast<uint8_t>((code >> 16) & 0xFF),
                             static_cast<uint8_t>(code >> 24)};
    SendFrame(bus, 0x580 + m_Config.nodeId, 8, data);
}

void SimCANopenNode::HandleSDO(const can_frame& frame, Bus& bus) {
    ++m_State.sdoRequests;
    const int index = frame.data[1] | (frame.data[2] << 8);
    const int subindex = frame.data[3];
    if (frame.can_dlc != 8) {
        Abort(index, subindex, kAbortCommand, bus);
        return;
    }
    switch (frame.data[0] >> 5) {
        case 1: Download(frame, bus); break;
        case 2: Upload(index, subindex, bus); break;
        case 3: UploadSegment(frame, bus); break;
        case 4: m_Segmented.active = false; break;  // the client aborts
        default: Abort(index, subindex, kAbortCommand, bus); break;
    }
}

void SimCANopenNode::Upload(int index, int subindex, Bus& bus) {
    m_Segmented.active = false;
    uint8_t data[8] = {0, static_cast<uint8_t>(index & 0xFF), static_cast<uint8_t>((index >> 8) & 0xFF),
                       static_cast<uint8_t>(subindex), 0, 0, 0, 0};
    if (index == 0x1008 || index == 0x100A) {
        const std::string text = Text(index);
        if (subindex == 0) {
            // The whole text by segmented upload.
            m_Segmented.active = true;
            m_Segmented.index = index;
            m_Segmented.subindex = subindex;
            m_Segmented.data = text;
            m_Segmented.offset = 0;
            m_Segmented.toggle = 0;
            const uint32_t size = static_cast<uint32_t>(text.size());
            data[0] = 0x41;
            for (int k = 0; k < 4; ++k) data[4 + k] = static_cast<uint8_t>((size >> (8 * k)) & 0xFF);
            SendFrame(bus, 0x580 + m_Config.nodeId, 8, data);
            return;
        }
        // Subindex k: the k-th character.
        if (static_cast<size_t>(subindex) > text.size()) {
            Abort(index, subindex, kAbortNoSubindex, bus);
            return;
        }
        data[0] = 0x4F;
        data[4] = static_cast<uint8_t>(text[static_cast<size_t>(subindex) - 1]);
        SendFrame(bus, 0x580 + m_Config.nodeId, 8, data);
        return;
    }
    const Entry* e = Find(index, subindex);
    if (e == nullptr) {
        const bool indexExists = m_Objects.lower_bound(Key(index, 0)) != m_Objects.upper_bound(Key(index, 0xFF));
        Abort(index, subindex, indexExists ? kAbortNoSubindex : kAbortNoObject, bus);
        return;
    }
    data[0] = static_cast<uint8_t>(0x43 | ((4 - e->size) << 2));
    for (int k = 0; k < e->size; ++k) data[4 + k] = static_cast<uint8_t>((e->value >> (8 * k)) & 0xFF);
    SendFrame(bus, 0x580 + m_Config.nodeId, 8, data);
}

void SimCANopenNode::UploadSegment(const can_frame& frame, Bus& bus) {
    if (!m_Segmented.active) {
        Abort(0, 0, kAbortCommand, bus);
        return;
    }
    const int toggle = (frame.data[0] >> 4) & 1;
    if (toggle != m_Segmented.toggle) {
        m_Segmented.active = false;
        Abort(m_Segmented.index, m_Segmented.subindex, kAbortToggle, bus);
        return;
    }
    const size_t left = m_Segmented.data.size() - m_Segmented.offset;
    const size_t n = left < 7 ? left : 7;
    const bool last = m_Segmented.offset + n >= m_Segmented.data.size();
    uint8_t data[8] = {};
    data[0] = static_cast<uint8_t>((toggle << 4) | ((7 - static_cast<int>(n)) << 1) | (last ? 1 : 0));
    std::memcpy(data + 1, m_Segmented.data.data() + m_Segmented.offset, n);
    m_Segmented.offset += n;
    m_Segmented.toggle ^= 1;
    if (last) m_Segmented.active = false;
    SendFrame(bus, 0x580 + m_Config.nodeId, 8, data);
}

uint32_t SimCANopenNode::CheckMappingWrite(int index, int subindex, uint32_t value) const {
    if (!IsMappingObject(index)) return 0;
    if (subindex == 0) {
        if (value > 4) return kAbortValueTooGreat;
        return MappedBits(index, static_cast<int>(value)) > 64 ? kAbortPdoTooLong : 0;
    }
    if (value == 0) return 0;
    const int object = static_cast<int>(value >> 16);
    const int objectSub = static_cast<int>((value >> 8) & 0xFF);
    const int bits = static_cast<int>(value & 0xFF);
    const Entry* e = Find(object, objectSub);
    if (e == nullptr) return kAbortNoObject;
    if (!e->mappable || bits != 8 * e->size || (index < 0x1A00 && !e->writable)) return kAbortNotMappable;
    return 0;
}

int SimCANopenNode::MappedBits(int mappingIndex, int count) const {
    int bits = 0;
    for (int s = 1; s <= count && s <= 4; ++s) bits += static_cast<int>(Get(mappingIndex, s) & 0xFF);
    return bits;
}

void SimCANopenNode::Download(const can_frame& frame, Bus& bus) {
    const int index = frame.data[1] | (frame.data[2] << 8);
    const int subindex = frame.data[3];
    const uint8_t command = frame.data[0];
    const bool expedited = (command & 0x02) != 0;
    const bool sized = (command & 0x01) != 0;
    if (!expedited) {
        Abort(index, subindex, kAbortUnsupported, bus);  // segmented downloads are not served
        return;
    }
    Entry* e = Find(index, subindex);
    if (e == nullptr || index == 0x1008 || index == 0x100A) {
        const bool indexExists = m_Objects.lower_bound(Key(index, 0)) != m_Objects.upper_bound(Key(index, 0xFF));
        Abort(index, subindex, e != nullptr ? kAbortReadOnly : (indexExists ? kAbortNoSubindex : kAbortNoObject),
              bus);
        return;
    }
    if (!e->writable) {
        Abort(index, subindex, kAbortReadOnly, bus);
        return;
    }
    const int size = sized ? 4 - ((command >> 2) & 3) : e->size;
    if (size > e->size) {
        Abort(index, subindex, kAbortTooLong, bus);
        return;
    }
    if (size < e->size) {
        Abort(index, subindex, kAbortTooShort, bus);
        return;
    }
    uint32_t value = 0;
    for (int k = 0; k < size; ++k) value |= static_cast<uint32_t>(frame.data[4 + k]) << (8 * k);
    if (const uint32_t refusal = RefuseDownload(index, subindex, value)) {
        Abort(index, subindex, refusal, bus);
        return;
    }
    if (const uint32_t refusal = CheckMappingWrite(index, subindex, value)) {
        Abort(index, subindex, refusal, bus);
        return;
    }
    if (index == 0x1003 && subindex == 0) {
        for (int s = 1; s <= 8; ++s) Set(0x1003, s, 0);  // writing the count clears the history
        value = 0;
    }
    e->value = value & Mask(e->size);
    if (index == 0x1017) m_NextHeartbeatUs = 0;
    if (index >= 0x1800 && index <= 0x1803) {
        m_SyncCount[index - 0x1800] = 0;
        m_LastSent[index - 0x1800].clear();
    }
    const uint8_t confirm[8] = {0x60, frame.data[1], frame.data[2], frame.data[3], 0, 0, 0, 0};
    SendFrame(bus, 0x580 + m_Config.nodeId, 8, confirm);
    OnObjectWritten(index, subindex, bus);
}

// ---------------------------------------------------------------- PDOs

void SimCANopenNode::HandleSync(Bus& bus) {
    ++m_State.syncs;
    if (m_State.nmtState != kOperational) return;
    for (int k = 0; k < 2; ++k) {
        if (m_HasPendingRx[k]) {
            m_HasPendingRx[k] = false;
            ApplyReceivePDO(k, m_PendingRx[k].data());
            const int count = static_cast<int>(Get(0x1600 + k, 0));
            for (int s = 1; s <= count && s <= 4; ++s) {
                const uint32_t m = Get(0x1600 + k, s);
                OnObjectWritten(static_cast<int>(m >> 16), static_cast<int>((m >> 8) & 0xFF), bus);
            }
        }
    }
    OnSync(bus);
    for (int k = 0; k < 4; ++k) {
        const uint32_t cob = Get(0x1800 + k, 1);
        if (cob & kInvalid) continue;
        const uint32_t type = Get(0x1800 + k, 2);
        if (type >= 1 && type <= 240) {
            if (++m_SyncCount[k] >= static_cast<int>(type)) {
                m_SyncCount[k] = 0;
                SendTransmitPDO(k, bus);
            }
        } else if (type == 0) {
            SendTransmitPDO(k, bus);  // acyclic: only when the data changed
        }
    }
}

void SimCANopenNode::SendTransmitPDO(int pdo, Bus& bus) {
    const int count = static_cast<int>(Get(0x1A00 + pdo, 0));
    if (count == 0) return;  // nothing mapped: nothing to send
    std::vector<uint8_t> bytes;
    for (int s = 1; s <= count && s <= 4; ++s) {
        const uint32_t m = Get(0x1A00 + pdo, s);
        const uint32_t value = Get(static_cast<int>(m >> 16), static_cast<int>((m >> 8) & 0xFF));
        for (uint32_t b = 0; b < (m & 0xFF) / 8; ++b) bytes.push_back(static_cast<uint8_t>((value >> (8 * b)) & 0xFF));
    }
    if (bytes.size() > 8) bytes.resize(8);
    const uint32_t type = Get(0x1800 + pdo, 2);
    if (type == 0 && bytes == m_LastSent[pdo]) return;
    m_LastSent[pdo] = bytes;
    SendFrame(bus, static_cast<int>(Get(0x1800 + pdo, 1) & 0x7FF), static_cast<int>(bytes.size()), bytes.data());
}

void SimCANopenNode::HandleReceivePDO(int pdo, const can_frame& frame, Bus& bus) {
    if (m_State.nmtState != kOperational) return;
    const int count = static_cast<int>(Get(0x1600 + pdo, 0));
    if (count == 0) return;
    const int bytes = MappedBits(0x1600 + pdo, count) / 8;
    if (frame.can_dlc < bytes) {
        ++m_State.pdosDropped;
        SendEmergency(0x8210, 0x11, bus);
        return;
    }
    ++m_State.pdosReceived;
    const uint32_t type = Get(0x1400 + pdo, 2);
    if (type <= 240) {
        m_PendingRx[pdo].assign(frame.data, frame.data + 8);
        m_HasPendingRx[pdo] = true;
    } else {
        ApplyReceivePDO(pdo, frame.data);
        for (int s = 1; s <= count && s <= 4; ++s) {
            const uint32_t m = Get(0x1600 + pdo, s);
            OnObjectWritten(static_cast<int>(m >> 16), static_cast<int>((m >> 8) & 0xFF), bus);
        }
    }
}

void SimCANopenNode::ApplyReceivePDO(int pdo, const uint8_t* data) {
    const int count = static_cast<int>(Get(0x1600 + pdo, 0));
    int offset = 0;
    for (int s = 1; s <= count && s <= 4; ++s) {
        const uint32_t m = Get(0x1600 + pdo, s);
        const int n = static_cast<int>((m & 0xFF) / 8);
        uint32_t value = 0;
        for (int b = 0; b < n && offset + b < 8; ++b) value |= static_cast<uint32_t>(data[offset + b]) << (8 * b);
        offset += n;
        Set(static_cast<int>(m >> 16), static_cast<int>((m >> 8) & 0xFF), value);
    }
}

// ---------------------------------------------------------------- emergencies

void SimCANopenNode::SendEmergency(uint16_t code, uint8_t errorRegister, Bus& bus) {
    const uint8_t data[8] = {static_cast<uint8_t>(code & 0xFF), static_cast<uint8_t>(code >> 8), errorRegister, 0,
                             0, 0, 0, 0};
    SendFrame(bus, 0x80 + m_Config.nodeId, 8, data);
    ++m_State.emergencies;
    Set(0x1001, 0, errorRegister);
    if (code == 0) return;  // error reset: nothing to keep
    for (int s = 8; s > 1; --s) Set(0x1003, s, Get(0x1003, s - 1));
    Set(0x1003, 1, static_cast<uint32_t>(code) | (static_cast<uint32_t>(errorRegister) << 16));
    const uint32_t count = Get(0x1003, 0);
    Set(0x1003, 0, count < 8 ? count + 1 : 8);
}

// ---------------------------------------------------------------- fault channel

void SimCANopenNode::SetSilent(bool silent) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_State.silent = silent;
}

void SimCANopenNode::SetSdoSilent(bool silent) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_State.sdoSilent = silent;
    m_SdoPending = false;
}

void SimCANopenNode::PowerCycle() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    BuildDictionary();
    OnReset();
    m_SdoPending = false;
    m_PendingEmergencies.clear();
    m_State.nmtState = kBootUp;
    m_BootUpPending = true;
}

void SimCANopenNode::SetHeartbeatEnabled(bool enabled) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_State.heartbeatEnabled = enabled;
}

void SimCANopenNode::RaiseEmergency(uint16_t code, uint8_t errorRegister) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_PendingEmergencies.push_back(PendingEmergency{code, errorRegister});
}

void SimCANopenNode::SetInputs(uint64_t bits) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (int k = 0; k < 8; ++k) Set(0x6000, k + 1, static_cast<uint32_t>((bits >> (8 * k)) & 0xFF));
}

uint64_t SimCANopenNode::Outputs() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    uint64_t bits = 0;
    for (int k = 0; k < 8; ++k) bits |= static_cast<uint64_t>(Get(0x6200, k + 1) & 0xFF) << (8 * k);
    return bits;
}

bool SimCANopenNode::Read(int index, int subindex, uint32_t& value) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const Entry* e = Find(index, subindex);
    if (e == nullptr) return false;
    value = e->value;
    return true;
}

bool SimCANopenNode::Write(int index, int subindex, uint32_t value) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Entry* e = Find(index, subindex);
    if (e == nullptr) return false;
    e->value = value & Mask(e->size);
    return true;
}

SimCANopenNode::Snapshot SimCANopenNode::GetSnapshot() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_State;
}

}  // namespace CanSim
