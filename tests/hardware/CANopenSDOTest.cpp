// The CANopen SDO client and PDO handler against a plain bus participant:
// the exact frames they send and what they make of the frames devices send.

#include "hardware/CANopenTestSupport.h"
#include "hardware/CANopenProfile.h"
#include "hardware/HardwareProtocolCANopenPDO.h"
#include "hardware/HardwareProtocolCANopenSDO.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>
#include <thread>

using Hardware::HardwareProtocolCANopenPDO;
using Hardware::HardwareProtocolCANopenSDO;
using StringList = std::vector<std::string>;

namespace {

// The answers the test's device gives reach the client as the driver's read
// thread hands them over.
std::atomic<HardwareProtocolCANopenSDO*> g_Client{nullptr};
Hardware::jointData g_AnyNode;

void OnAnswer(int id, int dlc, const unsigned char* data, long reserved, timespec) {
    HardwareProtocolCANopenSDO* client = g_Client.load();
    if (client == nullptr || id < 0x581 || id > 0x5FF) return;
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    g_AnyNode.canId = static_cast<uint8_t>(id - 0x580);
    client->ParseSDOAnswer(&g_AnyNode, dlc, data, reserved);
}

class CANopenSDO : public CANopenTest::BusFixture {
protected:
    void SetUp() override {
        CANopenTest::BusFixture::SetUp();
        sdo = std::make_unique<HardwareProtocolCANopenSDO>(can.get(), false);
        pdo = std::make_unique<HardwareProtocolCANopenPDO>(can.get(), sdo.get(), false);
        pdo->SetSleepFunction([](int) {});
        g_Client = sdo.get();
        can->receiveCallback = OnAnswer;
        drive.canId = 3;
        drive.gearScale = 100.0f;
        drive.gearZero = 1000.0f;
        io.canId = 20;
        io.kind = 1;
    }
    void TearDown() override {
        StopAnswering();
        can->receiveCallback = nullptr;
        g_Client = nullptr;
        CANopenTest::BusFixture::TearDown();
    }

    // The peer plays every node: it confirms each request at once (uploads
    // with 0), so the client's one-at-a-time transfers go on; the frames it
    // saw are what DrainAnswered returns.
    void AnswerRequests() {
        answering = true;
        responder = std::thread([this] {
            can_frame f;
            while (answering) {
                if (!peer->Receive(f, 10)) continue;
                {
                    std::lock_guard<std::mutex> lock(seenMutex);
                    seen.push_back(f);
                }
                const int id = static_cast<int>(f.can_id);
                if (id < 0x601 || id > 0x67F || f.can_dlc != 8 || f.data[0] == 0x80) continue;
                can_frame a{};
                a.can_id = static_cast<canid_t>(id - 0x80);
                a.can_dlc = 8;
                a.data[0] = (f.data[0] & 0xE0) == 0x40 ? 0x43 : 0x60;
                a.data[1] = f.data[1];
                a.data[2] = f.data[2];
                a.data[3] = f.data[3];
                peer->Send(a);
            }
        });
    }
    void StopAnswering() {
        answering = false;
        if (responder.joinable()) responder.join();
    }
    StringList DrainAnswered(int quietMs = 100) {
        size_t last = 0;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(quietMs));
            std::lock_guard<std::mutex> lock(seenMutex);
            if (seen.size() == last) break;
            last = seen.size();
        }
        std::lock_guard<std::mutex> lock(seenMutex);
        StringList out;
        for (const can_frame& f : seen) out.push_back(CANopenTest::Text(f));
        seen.clear();
        return out;
    }

    // An answer from the device to the read it was asked (the request goes
    // out first and is taken off the bus), as the read thread hands it over.
    void Answer(Hardware::jointData& record, std::initializer_list<unsigned char> bytes) {
        unsigned char data[8] = {};
        int k = 0;
        for (unsigned char b : bytes) data[k++] = b;
        ASSERT_TRUE(sdo->RequestSDO(record.canId, data[1] | (data[2] << 8), data[3]));
        ASSERT_TRUE(WaitForId(0x600 + record.canId));
        sdo->ParseSDOAnswer(&record, 8, data, 0);
    }
    // An upload answer with a 32-bit value.
    void Value(Hardware::jointData& record, int index, int sub, uint32_t v) {
        Answer(record, {0x43, static_cast<unsigned char>(index & 0xFF), static_cast<unsigned char>(index >> 8),
                        static_cast<unsigned char>(sub), static_cast<unsigned char>(v & 0xFF),
                        static_cast<unsigned char>((v >> 8) & 0xFF), static_cast<unsigned char>((v >> 16) & 0xFF),
                        static_cast<unsigned char>(v >> 24)});
    }

    std::unique_ptr<HardwareProtocolCANopenSDO> sdo;
    std::unique_ptr<HardwareProtocolCANopenPDO> pdo;
    Hardware::jointData drive;
    Hardware::jointData io;
    std::atomic<bool> answering{false};
    std::thread responder;
    std::mutex seenMutex;
    std::vector<can_frame> seen;
};

TEST_F(CANopenSDO, ObjectTable) {
    const auto& table = HardwareProtocolCANopenSDO::KnownObjects();
    EXPECT_EQ(table.size(), 186u);
    struct Case {
        int index, sub, size;
        Hardware::sdoAccessType access;
    };
    const Case cases[] = {{0x1001, 0, 1, Hardware::sdoReadOnly}, {0x1008, 32, 1, Hardware::sdoReadOnly},
                          {0x3701, 0, 2, Hardware::sdoReadWrite}, {0x6040, 0, 2, Hardware::sdoReadWrite},
                          {0x6064, 0, 4, Hardware::sdoReadOnly},  {0x60C2, 2, 1, Hardware::sdoReadWrite},
                          {0x1A03, 4, 4, Hardware::sdoReadWrite}, {0x1803, 3, 2, Hardware::sdoReadWrite},
                          {0x3212, 1, 1, Hardware::sdoReadWrite}};
    for (const Case& c : cases) {
        const Hardware::SDOparameter* p = sdo->FindObject(c.index, c.sub);
        ASSERT_NE(p, nullptr) << std::hex << c.index;
        EXPECT_EQ(p->Size(), c.size) << std::hex << c.index;
        EXPECT_EQ(p->accessType, c.access) << std::hex << c.index;
    }
    EXPECT_EQ(sdo->FindObject(0x1003, 0)->objectType, Hardware::sdoObjectCount);
    EXPECT_EQ(sdo->FindObject(0x1A00, 1)->name, "Transmit PDO 1 Mapping - 1st Object");
    EXPECT_EQ(sdo->FindObject(0x1801, 1)->name, "Transmit PDO 2 Communication Parameter - COD-ID");
    EXPECT_EQ(sdo->FindObject(0x6082, 0), nullptr);
    EXPECT_EQ(sdo->FindObject(0x1A00, 5), nullptr);
}

TEST_F(CANopenSDO, DownloadsOfEverySizeAndUploadRequests) {
    AnswerRequests();
    sdo->debug = true;
    EXPECT_TRUE(sdo->SendSDO(5, 0x6060, 0, 8));
    EXPECT_TRUE(sdo->SendSDO(5, 0x60C2, 2, static_cast<unsigned>(-3)));
    EXPECT_TRUE(sdo->SendSDO(5, 0x6040, 0, 0x1234F));     // 16 bits: the high part is dropped
    EXPECT_TRUE(sdo->SendSDO(5, 0x607A, 0, 0xFFFFFFFE));  // 32 bits
    EXPECT_TRUE(sdo->SendSDO(5, 0x2000, 7, 3, 0xABCDEF));  // explicit size, outside the table
    EXPECT_TRUE(sdo->SendSDO(127, 0x6082, 0, 4, 0));
    EXPECT_TRUE(sdo->RequestSDO(5, 0x6064, 0));
    // In order per node, one after the other's answer.
    StringList node5, node127;
    for (const std::string& f : DrainAnswered()) {
        if (f.compare(0, 4, "605#") == 0) node5.push_back(f);
        if (f.compare(0, 4, "67F#") == 0) node127.push_back(f);
    }
    EXPECT_EQ(node5, (StringList{"605#2F60600008000000", "605#2FC26002FD000000", "605#2B4060004F230000",
                                 "605#237A6000FEFFFFFF", "605#27002007EFCDAB00", "605#4064600000000000"}));
    EXPECT_EQ(node127, StringList{"67F#2382600000000000"});
    EXPECT_TRUE(log.Has("Send SDO ID: 0x05 Index: 0x6060:00 value: 0x00000008"));
}

TEST_F(CANopenSDO, RequestsOutsideTheTableAndBadArgumentsSendNothing) {
    EXPECT_FALSE(sdo->RequestSDO(5, 0x6064, 1));
    EXPECT_TRUE(log.Has("RequestSDO Error: index 0x6064 with subindex 1 not defined!"));
    EXPECT_FALSE(sdo->SendSDO(5, 0x6082, 0, 0));
    EXPECT_TRUE(log.Has("ERROR - could not find SDO 0x6082, subindex 0 in list!"));
    EXPECT_FALSE(sdo->SendSDO(5, 0x1A00, 5, 0));
    EXPECT_TRUE(log.Has("ERROR - could not find SDO 0x1A00, subindex 5 in list!"));
    for (int size : {0, 5, -1}) EXPECT_FALSE(sdo->SendSDO(5, 0x6060, 0, size, 1)) << size;
    // Node ids from outside (the console) stay within the SDO range.
    EXPECT_FALSE(sdo->SendSDO(0, 0x6060, 0, 1));
    EXPECT_FALSE(sdo->SendSDO(128, 0x6060, 0, 1));
    EXPECT_FALSE(sdo->RequestSDO(-1, 0x6041, 0));
    EXPECT_FALSE(sdo->SendSDO(5, 0x10000, 0, 4, 1));
    EXPECT_FALSE(sdo->SendSDO(5, 0x6060, 256, 1, 1));
    EXPECT_TRUE(Drain().empty());
}

TEST_F(CANopenSDO, AbortTexts) {
    struct Case {
        uint32_t code;
        const char* text;
    };
    const Case cases[] = {{0x05030000, "toggle bit not changed (missing message)"},
                          {0x05040001, "command specifier unknown"},
                          {0x06010000, "unsupported access"},
                          {0x06010002, "read only entry"},
                          {0x06020000, "object not existing"},
                          {0x06040041, "object can not be pdo mapped"},
                          {0x06040042, "mapped pdo exceed pdo"},
                          {0x06070012, "parameter length too long"},
                          {0x06070013, "parameter length too short"},
                          {0x06090011, "subindex not existing"},
                          {0x06090031, "value too great"},
                          {0x06090032, "value too small"},
                          // The drives' most common refusals, and the client's own time-out.
                          {0x06090030, "value range exceeded"},
                          {0x06070010, "data type or length mismatch"},
                          {0x05040000, "SDO protocol timed out"},
                          {0x08000000, "general error"},
                          {0x08000022, "data cannot be read ot stored in this state (could not configure PDO)"},
                          {0x0800ABCD, "unknown error: 800abcd"}};
    for (const Case& c : cases) EXPECT_EQ(HardwareProtocolCANopenSDO::AbortCodeText(c.code), c.text);
}

TEST_F(CANopenSDO, AnAbortIsLoggedAndChangesNothing) {
    drive.actualPosition = 12.5f;
    Answer(drive, {0x80, 0x64, 0x60, 0x00, 0x00, 0x00, 0x02, 0x06});
    EXPECT_TRUE(log.Has("CANopen SDO ERROR: object not existing (object: 0x6064, subindex: 0, device ID: 3)"));
    EXPECT_FLOAT_EQ(drive.actualPosition, 12.5f) << "the abort code is no position";
    Answer(drive, {0x80, 0x02, 0x32, 0x00, 0x00, 0x00, 0x02, 0x06});
    EXPECT_TRUE(log.Has("CANopen SDO ERROR: object not existing (object: 0x3202, subindex: 0, device ID: 3)"));
    EXPECT_EQ(drive.driveSubmode, 0u);

    // A device text ends at the abort past its last character; no line for it.
    const char* name = "Drive";
    for (int k = 0; k < 5; ++k) Answer(drive, {0x4F, 0x08, 0x10, static_cast<unsigned char>(k + 1),
                                                static_cast<unsigned char>(name[k])});
    Answer(drive, {0x4F, 0x08, 0x10, 6, 'X'});
    EXPECT_EQ(sdo->DeviceName(drive), "DriveX");
    log.Clear();
    Answer(drive, {0x80, 0x08, 0x10, 6, 0x11, 0x00, 0x09, 0x06});
    EXPECT_EQ(sdo->DeviceName(drive), "Drive");
    EXPECT_TRUE(log.StartingWith("CANopen SDO ERROR").empty());
    // A character that cannot be printed ends it as well.
    Answer(drive, {0x4F, 0x0A, 0x10, 1, 'v'});
    Answer(drive, {0x4F, 0x0A, 0x10, 2, 0x07});
    EXPECT_EQ(sdo->FirmwareVersion(drive), "v");
}

// Responses that arrive on the bus when no transfer of that node and object is
// in progress: never asked, asked but given up after the time-out (and aborted
// on the bus), or a refused read of the mode. None of them changes the record;
// only a refused write of the mode clears the profile.
TEST_F(CANopenSDO, ResponsesThatBelongToNoTransferChangeNothing) {
    sdo->SetTimeoutMs(40);
    Hardware::jointData& node = g_AnyNode;
    const auto enabledAt12_5 = [&] {
        node.kind = 0;
        node.gearScale = 100.0f;
        node.gearZero = 0.0f;
        node.actualPosition = 12.5f;
        node.profile = Hardware::CANopenProfileCSP;
        sdo->SetStateText(node, "operation_enabled");
        sdo->SetDriveError(node, "");
    };
    const auto send = [&](const std::vector<unsigned char>& bytes) {
        can_frame f{};
        f.can_id = 0x583;
        f.can_dlc = 8;
        int k = 0;
        for (unsigned char b : bytes) f.data[k++] = b;
        ASSERT_TRUE(peer->Send(f));
    };
    // Asked, and the peer lets the request time out.
    const auto timedOut = [&](int index, int sub) {
        ASSERT_TRUE(sdo->RequestSDO(3, index, sub));
        ASSERT_TRUE(WaitUntil([&] {
            sdo->CheckTimeouts();
            return sdo->PendingTransfers(3) == 0;
        }));
    };
    struct Case {
        const char* what;
        std::function<void()> before;
        std::vector<unsigned char> response;
    };
    const Case cases[] = {
        {"a position nobody asked for", [] {}, {0x43, 0x64, 0x60, 0x00, 0x88, 0x13, 0x00, 0x00}},
        {"a late statusword of a timed-out read", [&] { timedOut(0x6041, 0); },
         {0x4B, 0x41, 0x60, 0x00, 0x18, 0x02, 0x00, 0x00}},
        {"a late position of a timed-out read", [&] { timedOut(0x6064, 0); },
         {0x43, 0x64, 0x60, 0x00, 0x88, 0x13, 0x00, 0x00}},
        {"an abort of the mode nobody asked for", [] {}, {0x80, 0x60, 0x60, 0x00, 0x30, 0x00, 0x09, 0x06}},
        {"a refused read of the mode", [&] { ASSERT_TRUE(sdo->RequestSDO(3, 0x6060, 0)); },
         {0x80, 0x60, 0x60, 0x00, 0x00, 0x00, 0x01, 0x06}},
    };
    unsigned char mark = 101;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        enabledAt12_5();
        c.before();
        send(c.response);
        // A read answered after it: the response before has been handled by then.
        Drain(20);
        ASSERT_TRUE(sdo->RequestSDO(3, 0x6098, 0));
        ASSERT_TRUE(WaitForId(0x603));
        send({0x4F, 0x98, 0x60, 0x00, mark});
        ASSERT_TRUE(WaitUntil([&] { return node.homingMethod == mark; }));
        ++mark;
        EXPECT_FLOAT_EQ(node.actualPosition, 12.5f);
        EXPECT_EQ(sdo->StateText(node), "operation_enabled");
        EXPECT_EQ(node.profile, Hardware::CANopenProfileCSP);
        EXPECT_EQ(sdo->DriveError(node), "");
    }

    // A refused write of the mode: the drive runs in none of ours.
    enabledAt12_5();
    ASSERT_TRUE(sdo->SendSDO(3, 0x6060, 0, 8));
    ASSERT_TRUE(WaitForId(0x603));
    send({0x80, 0x60, 0x60, 0x00, 0x30, 0x00, 0x09, 0x06});
    ASSERT_TRUE(WaitUntil([&] { return node.profile == Hardware::CANopenProfileNone; }));
    EXPECT_EQ(sdo->DriveError(node), "mode of operation refused: value range exceeded");
}

TEST_F(CANopenSDO, DriveAnswers) {
    Value(drive, 0x6064, 0, static_cast<uint32_t>(-1500));
    EXPECT_FLOAT_EQ(drive.actualPosition, -25.0f);  // (-1500 - 1000) / 100
    Value(drive, 0x6040, 0, 0x000F);
    EXPECT_EQ(drive.controlword, 0x000F);
    Value(drive, 0x6041, 0, 0x0627);
    EXPECT_EQ(sdo->StateText(drive), "operation_enabled");
    Value(drive, 0x6060, 0, 8);
    EXPECT_EQ(drive.profile, Hardware::CANopenProfileCSP);
    Value(drive, 0x6061, 0, 7);
    EXPECT_EQ(drive.actualProfile, Hardware::CANopenProfileIPO);
    EXPECT_TRUE(log.Has("CANopen: Actual profile 2 of joint 3 does not match target profile 3."));
    Value(drive, 0x607C, 0, static_cast<uint32_t>(-40));
    EXPECT_EQ(drive.homeOffset, -40);
    EXPECT_TRUE(log.Has("CANopen: Got homing offset of joint with id 3: -40"));
    Value(drive, 0x6098, 0, 35);
    EXPECT_EQ(drive.homingMethod, 35);
    EXPECT_TRUE(log.Has("CANopen: Got homing method of joint with ID 3: 35"));
    Value(drive, 0x3701, 0, 0xFFFF);
    EXPECT_EQ(drive.limitSwitchOption, -1);
    EXPECT_TRUE(log.Has("CANopen: Got limit switch error option code of joint with ID 3: -1"));
    Value(drive, 0x3243, 1, 2);
    EXPECT_TRUE(log.Has("CANopen: Got homing capture mode for joint with ID 3: falling edge"));
    Value(drive, 0x4014, 1, 24123);
    EXPECT_NEAR(drive.supply, 24.123f, 1e-4);
    Value(drive, 0x4014, 3, static_cast<uint32_t>(-55));
    EXPECT_NEAR(drive.temperature, -5.5f, 1e-4);

    // Open loop, then closed loop currents: components in A, current in mA.
    Value(drive, 0x3202, 0, 0x40);
    EXPECT_TRUE(log.Has("CANopen: Joint 3 in open loop mode"));
    EXPECT_TRUE(log.Has("CANopen: WARNING! Open loop current reduction not enabled for joint 3. Is this intended?"));
    EXPECT_TRUE(log.Has("CANopen: Joint 3 is in BLDC mode"));
    Value(drive, 0x2039, 3, 3000);
    Value(drive, 0x2039, 4, static_cast<uint32_t>(-4000));
    EXPECT_NEAR(drive.current, 5000.0f, 0.1f);
    Value(drive, 0x3202, 0, 0x09);
    EXPECT_TRUE(log.Has("CANopen: Joint 3 in closed loop mode"));
    Value(drive, 0x2039, 1, 3000);
    Value(drive, 0x2039, 2, 4000);
    EXPECT_NEAR(drive.current, 5000.0f / std::sqrt(2.0f), 0.1f);
}

TEST_F(CANopenSDO, IOModuleAnswers) {
    io.errorCode = 0x100;
    Value(io, 0x6000, 0, 2);
    EXPECT_EQ(io.errorCode, 0u);
    EXPECT_EQ(io.inputGroups, 2);
    EXPECT_TRUE(log.Has("CANopen: Got number of DIn subindices for module with ID 20: 2 (up to 16 inputs)"));
    Value(io, 0x6200, 0, 0);
    EXPECT_TRUE(log.Has("CANopen: Got number of DOut subindices for module with ID 20: 0 (up to 0 outputs)"));
    EXPECT_TRUE(log.Has("CANopen: No DOut on IO module with ID 20"));
    Value(io, 0x6000, 2, 0xA5);
    Value(io, 0x6000, 8, 0x01);
    EXPECT_EQ(io.digitalInputs, 0x010000000000A500ull);
}

TEST_F(CANopenSDO, ErrorTextsAndEmergencies) {
    EXPECT_EQ(HardwareProtocolCANopenSDO::ParseErrorRegister(0x21), "GEN_PROF");
    EXPECT_EQ(HardwareProtocolCANopenSDO::ParseErrorRegister(0x9E), "CUR_VOL_TEMP_COM_MAN");
    EXPECT_EQ(HardwareProtocolCANopenSDO::ParseErrorRegister(0x40), "UNKNOWN");
    EXPECT_EQ(HardwareProtocolCANopenSDO::ParseErrorRegister(0), "");
    EXPECT_EQ(HardwareProtocolCANopenSDO::ParseErrorCode(0x8611), "error in position monitoring: position lag too large");
    EXPECT_EQ(HardwareProtocolCANopenSDO::ParseErrorCode(0x8210), "PDO was not processed due to length error");
    EXPECT_EQ(HardwareProtocolCANopenSDO::ParseErrorCode(0x1234), "unknown 0x1234");
    EXPECT_EQ(HardwareProtocolCANopenSDO::ParseErrorNumber(21), "Nonvolatile memory full, restart required");
    EXPECT_EQ(HardwareProtocolCANopenSDO::ParseErrorNumber(27), "Unexpected Sync length");
    EXPECT_EQ(HardwareProtocolCANopenSDO::ParseErrorNumber(28), "unknown 0x1c");

    const unsigned char emergency[8] = {0x11, 0x86, 0x21, 0x00, 0x12, 0x34, 0x56, 0x78};
    sdo->ParseEmergency(&drive, 3, emergency);
    EXPECT_TRUE(log.Has("Received EMERGENCY message from joint 3: err reg 'GEN_PROF', err code 'error in position "
                        "monitoring: position lag too large', manufacturer err '0x12345678'"));
    sdo->ParseEmergency(&io, 20, emergency);
    EXPECT_TRUE(log.Has("Received EMERGENCY message from device 20 (not a motor): err reg '0x21', err code '0x8611', "
                        "manufacturer err '0x12345678'"));
    log.Clear();
    const unsigned char reset[8] = {};
    sdo->ParseEmergency(&drive, 3, reset);
    EXPECT_TRUE(log.Lines().empty());

    // Pre-defined errors: a class is logged once, across joints.
    Value(drive, 0x1003, 1, 0x0D218611);
    EXPECT_TRUE(log.Has("CANopen: Error #1 at joint 3: class='GEN_PROF' number='Fault due to following error' "
                        "code='error in position monitoring: position lag too large'"));
    Value(drive, 0x1003, 2, 0x0D218611);
    EXPECT_EQ(log.StartingWith("CANopen: Error #").size(), 1u);
    Value(drive, 0x1003, 0, 2);
    EXPECT_EQ(drive.errorCount, 2);
    // A non-zero error register asks for the newest error.
    Value(drive, 0x1001, 0, 0x08);
    EXPECT_EQ(drive.errorRegister, 0x08);
    EXPECT_TRUE(log.Has("CANopen: Error #0 at joint 3: class='TEMP' number='unknown 0xff' code='unknown 0xffff'"));
    EXPECT_EQ(DrainText(), StringList{"603#4003100100000000"});
}

TEST_F(CANopenSDO, StatusWordStates) {
    struct Case {
        unsigned sw;
        const char* text;
        int enabled;
    };
    const Case cases[] = {{0x0000, "not_ready_to_switch_on", 0}, {0x0250, "switch_on_disabled", 0},
                          {0x0231, "ready_to_switch_on", 0},     {0x0233, "switched_on", 0},
                          {0x0237, "operation_enabled", 1},      {0x1637, "operation_enabled", 1},
                          {0x0217, "quick_stop_active", 0},      {0x021F, "fault_reaction_active", 0},
                          {0x0218, "fault", 0},                  {0x0238, "fault", 0},
                          {0x0201, "start_up", 0}};
    for (const Case& c : cases) {
        drive.motorReady = 1 - c.enabled;
        EXPECT_EQ(sdo->ParseStatusWord(&drive, c.sw), c.text) << std::hex << c.sw;
        EXPECT_EQ(sdo->StateText(drive), c.text);
        EXPECT_EQ(drive.statusword, c.sw);
        EXPECT_EQ(drive.motorReady, static_cast<uint32_t>(c.enabled)) << c.text;
    }
    EXPECT_TRUE(Drain(30).empty()) << "no homing outside the homing profiles";
}

TEST_F(CANopenSDO, HomingProgress) {
    AnswerRequests();
    drive.profile = Hardware::CANopenProfileHoming;
    drive.homingStatus = 0xFFFF;
    drive.limitSwitchOption = -1;
    struct Step {
        unsigned sw;
        int state;
        const char* line;
    };
    const Step steps[] = {{0x0237, 4, "Joint 3: Homing active"},
                          {0x0637, 4, "Joint 3: Homing interrupted or not started"},
                          {0x2237, 7, "Joint 3: Homing error, motor still moving"},
                          {0x2637, 7, "Joint 3: Homing error, motor stopped"},
                          {0x1237, 6, "Joint 3: Homing confirmed but target not reached"},
                          {0x1637, 5, "Joint 3: Homing done"}};
    for (const Step& s : steps) {
        log.Clear();
        sdo->ParseStatusWord(&drive, s.sw);
        EXPECT_EQ(drive.referencingState, static_cast<uint32_t>(s.state)) << s.line;
        EXPECT_TRUE(log.Has(s.line)) << s.line;
    }
    EXPECT_EQ(drive.referenced, 1);
    EXPECT_EQ(log.Count("CANopen: Homing finished joint 3"), 1);
    // Finished twice (confirmed, then done): position request and option code each time.
    EXPECT_EQ(DrainAnswered(), (StringList{"603#4064600000000000", "603#2B013700FFFF0000", "603#4064600000000000",
                                       "603#2B013700FFFF0000"}));
    // The same bits again log nothing.
    log.Clear();
    sdo->ParseStatusWord(&drive, 0x1637);
    EXPECT_TRUE(log.StartingWith("Joint 3:").empty());
    // 0x3400 changes only the stored bits.
    sdo->ParseStatusWord(&drive, 0x3637);
    EXPECT_EQ(drive.homingStatus, 0x3400);
    EXPECT_EQ(drive.referencingState, 5u);
    EXPECT_TRUE(Drain(30).empty());
}

TEST_F(CANopenSDO, SetPointAndOutputPDOs) {
    drive.profile = Hardware::CANopenProfileCSP;
    EXPECT_TRUE(pdo->SendPosPDO(drive, -2.7));
    drive.profile = Hardware::CANopenProfileIPO;
    EXPECT_TRUE(pdo->SendPosPDO(drive, 1e12));  // saturates
    drive.profile = Hardware::CANopenProfileVelocity;
    EXPECT_FALSE(pdo->SendPosPDO(drive, 1.0));
    EXPECT_TRUE(pdo->SendVelPDO(drive, -1e12));
    drive.profile = Hardware::CANopenProfileCSV;
    EXPECT_FALSE(pdo->SendVelPDO(drive, 5.0));
    drive.profile = Hardware::CANopenProfilePosition;
    EXPECT_FALSE(pdo->SendPosPDO(drive, 5.0));
    io.outputGroups = 2;
    io.digitalOutputs = 0x1234ABCDull;
    pdo->SendDIOPDO(io);
    io.outputGroups = 0;
    pdo->SendDIOPDO(io);
    io.outputGroups = 12;
    pdo->SendDIOPDO(io);
    EXPECT_EQ(DrainText(), (StringList{"203#FEFFFFFF", "203#FFFFFF7F", "203#00000080", "214#CDAB",
                                       "214#CDAB341200000000"}));
}

TEST_F(CANopenSDO, TransmitPDOs) {
    drive.profile = Hardware::CANopenProfilePosition;  // parsed in every profile
    const unsigned char tpdo1[8] = {0x37, 0x02, 0x18, 0xFC, 0xFF, 0xFF, 0x00, 0x08};  // position -1000
    pdo->ParsePDO(drive, 0x180, 8, tpdo1, 0);
    EXPECT_EQ(sdo->StateText(drive), "operation_enabled");
    EXPECT_FLOAT_EQ(drive.actualPosition, -20.0f);
    EXPECT_EQ(drive.actualProfile, Hardware::CANopenProfileCSP);
    const unsigned char mode2[8] = {0x37, 0x02, 0, 0, 0, 0, 0x01, 0x02};
    pdo->ParsePDO(drive, 0x180, 8, mode2, 0);
    EXPECT_EQ(drive.actualProfile, Hardware::CANopenProfileNone);
    EXPECT_EQ(drive.errorRegister, 1);
    EXPECT_EQ(DrainText(), StringList{"603#4003100100000000"});

    const unsigned char tpdo2[8] = {0x3B, 0x5E, 0x00, 0x00, 0xC9, 0xFF, 0xFF, 0xFF};  // 24123 mV, -5.5 degC
    pdo->ParsePDO(drive, 0x280, 8, tpdo2, 0);
    EXPECT_NEAR(drive.supply, 24.123f, 1e-4);
    EXPECT_NEAR(drive.temperature, -5.5f, 1e-4);
    const unsigned char tpdo3[8] = {0x0C, 0xFE, 0xFF, 0xFF, 0xA0, 0x0F, 0x00, 0x00};  // -0.5 A, 4 A
    pdo->ParsePDO(drive, 0x380, 8, tpdo3, 0);
    EXPECT_NEAR(drive.currentA, -0.5f, 1e-6);
    EXPECT_NEAR(drive.current, 1000.0f * std::sqrt(16.25f), 0.1f);
    // Too short to carry its fields: ignored.
    const unsigned char shortFrame[8] = {0x08, 0x02};
    pdo->ParsePDO(drive, 0x180, 2, shortFrame, 0);
    EXPECT_EQ(sdo->StateText(drive), "operation_enabled");

    io.inputGroups = 2;
    const unsigned char inputs[8] = {0x01, 0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    io.errorCode = 0x100;
    pdo->ParseDIOPDO(io, 0x180, 8, inputs, 0);
    EXPECT_EQ(io.digitalInputs, 0x8001ull);
    EXPECT_EQ(io.errorCode, 0u);
    pdo->ParseDIOPDO(io, 0x180, 1, inputs, 0);  // shorter than its groups
    EXPECT_EQ(io.digitalInputs, 0x01ull);
    io.inputGroups = 255;
    pdo->ParseDIOPDO(io, 0x180, 8, inputs, 0);  // never past the eight bytes
    EXPECT_EQ(io.digitalInputs, 0xFFFFFFFFFFFF8001ull);
    pdo->ParseDIOPDO(io, 0x280, 8, tpdo1, 0);
    EXPECT_EQ(io.digitalInputs, 0xFFFFFFFFFFFF8001ull);
}

TEST_F(CANopenSDO, DriveMappingSequence) {
    AnswerRequests();
    drive.driveSubmode = 1;  // closed loop
    pdo->ConfigureDrivePDOs(drive, Hardware::CANopenProfileCSP);
    EXPECT_EQ(drive.pdosConfigured, 1);
    EXPECT_TRUE(log.Has("CANopen: Initializing PDOs for joint 3"));
    EXPECT_TRUE(log.Has("CANopen: NMT-Request ENTER_PREOPERATIONAL for device 3"));
    EXPECT_TRUE(log.Has("CANopen: NMT-Request ENTER_OPERATIONAL for device 3"));
    EXPECT_EQ(DrainAnswered(), (StringList{
                               "000#8003",
                               "603#2300180183010080", "603#2F00180201000000", "603#2F001A0000000000",
                               "603#23001A0110004160", "603#23001A0220006460", "603#23001A0308000110",
                               "603#23001A0408006160", "603#2F001A0004000000", "603#2300180183010000",
                               "603#2301180183020080", "603#2F01180214000000", "603#2F011A0000000000",
                               "603#23011A0120011440", "603#23011A0220031440", "603#2F011A0002000000",
                               "603#2301180183020000",
                               "603#2302180183030080", "603#2F02180214000000", "603#2F021A0000000000",
                               "603#23021A0120013920", "603#23021A0220023920", "603#2F021A0002000000",
                               "603#2302180183030000",
                               "603#2300140103020080", "603#2F00140200000000", "603#2F00160000000000",
                               "603#2300160120007A60", "603#2F00160001000000", "603#2300140103020000",
                               "000#0103",
                           }));

    // Profile position: no receive PDO; open loop: the a and b components.
    drive.driveSubmode = 0;
    pdo->ConfigureDrivePDOs(drive, Hardware::CANopenProfilePosition);
    const StringList frames = DrainAnswered();
    ASSERT_EQ(frames.size(), 25u);
    EXPECT_EQ(frames[20], "603#23021A0120033920");
    EXPECT_EQ(frames[24], "000#0103");
    for (const Hardware::CANopenProfile p : {Hardware::CANopenProfileIPO, Hardware::CANopenProfileVelocity}) {
        pdo->ConfigureDrivePDOs(drive, p);
        const StringList f = DrainAnswered();
        ASSERT_EQ(f.size(), 31u);
        EXPECT_EQ(f[25], "603#2F00140201000000") << "transmission type 1";
        EXPECT_EQ(f[27], p == Hardware::CANopenProfileIPO ? "603#230016012001C160" : "603#230016012000FF60")
            << static_cast<int>(p);
    }
}

TEST_F(CANopenSDO, IOModuleMappingSequence) {
    AnswerRequests();
    io.inputGroups = 2;
    io.outputGroups = 2;
    pdo->ConfigureIOModulePDOs(io);
    EXPECT_TRUE(log.Has("CANopen: Initializing PDOs for IO module 20"));
    EXPECT_EQ(io.pdosConfigured, 1);
    EXPECT_EQ(DrainAnswered(), (StringList{"000#8014",
                                       "614#2300140114020080", "614#2F00140200000000", "614#2F00160000000000",
                                       "614#2300160108010062", "614#2300160208020062", "614#2F00160002000000",
                                       "614#2300140114020000",
                                       "614#2300180194010080", "614#2F00180201000000", "614#2F001A0000000000",
                                       "614#23001A0108010060", "614#23001A0208020060", "614#2F001A0002000000",
                                       "614#2300180194010000",
                                       "000#0114"}));
    // More groups than the table's four mapping entries: the rest is refused,
    // and the receive PDO stays disabled instead of running on part of its mapping.
    io.outputGroups = 5;
    io.inputGroups = 0;
    EXPECT_FALSE(pdo->ConfigureIOModulePDOs(io));
    EXPECT_TRUE(log.Has("ERROR - could not find SDO 0x1600, subindex 5 in list!"));
    EXPECT_TRUE(log.HasError("CANopen: PDO mapping 0x1600 of node 20 refused, PDO left disabled"));
    EXPECT_EQ(io.pdosConfigured, 0);
    const StringList frames = DrainAnswered();
    ASSERT_EQ(frames.size(), 15u);
    EXPECT_EQ(frames[8], "614#2F00160005000000");
    EXPECT_EQ(frames[9], "614#2300180194010080") << "no enabling write of the receive PDO";
    EXPECT_EQ(frames[11], "614#2F001A0000000000") << "no input groups: none mapped";
}

}  // namespace
