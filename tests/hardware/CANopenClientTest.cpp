// The SDO client and PDO handler against the simulated CANopen nodes: device
// texts read by character, the mapping sequences accepted, transmit PDOs
// parsed every SYNC, inputs from the fault channel, outputs and set-points
// by PDO, aborts and emergencies logged.

#include "hardware/CANopenTestSupport.h"
#include "hardware/CANopenProfile.h"
#include "hardware/HardwareProtocolCANopenPDO.h"
#include "hardware/HardwareProtocolCANopenSDO.h"
#include "korvella-cansim/SimFaultChannel.h"

#include <atomic>
#include <chrono>
#include <thread>

using Hardware::HardwareProtocolCANopenPDO;
using Hardware::HardwareProtocolCANopenSDO;

namespace {

// What the driver's receive dispatch does, reduced to the client's part.
struct Dispatch {
    std::mutex mutex;
    HardwareProtocolCANopenSDO* sdo = nullptr;
    HardwareProtocolCANopenPDO* pdo = nullptr;
    Hardware::jointData* records[128] = {};
    std::atomic<int> transmitPDO1{0};
};

Dispatch& Shared() {
    static Dispatch* d = new Dispatch();
    return *d;
}

void OnFrame(int id, int dlc, const unsigned char* data, long reserved, timespec) {
    Dispatch& d = Shared();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.sdo == nullptr) return;
    const int node = id & 0x7F;
    Hardware::jointData* r = d.records[node];
    if (node == 0 || r == nullptr) return;
    const int base = id - node;
    if (base == 0x580) {
        d.sdo->ParseSDOAnswer(r, dlc, data, reserved);
    } else if (base == 0x80) {
        d.sdo->ParseEmergency(r, node, data);
    } else if (base == 0x180 || base == 0x280 || base == 0x380) {
        if (r->kind == 1) {
            d.pdo->ParseDIOPDO(*r, base, dlc, data, reserved);
        } else {
            d.pdo->ParsePDO(*r, base, dlc, data, reserved);
            if (base == 0x180) ++d.transmitPDO1;
        }
    }
}

class CANopenClient : public CANopenTest::BusFixture {
protected:
    void SetUp() override {
        CANopenTest::BusFixture::SetUp();
        sim = std::make_unique<CanSim::SimFaultChannel>(hub);
        CanSim::SimRobotConfig config;
        config.protocol = "CANopen_CSP";
        CanSim::SimRobotConfig::Joint joint;
        joint.canId = 3;
        config.joints.push_back(joint);
        config.dioModuleIds = {20};
        std::string error;
        ASSERT_TRUE(sim->Populate(config, error)) << error;
        sdo = std::make_unique<HardwareProtocolCANopenSDO>(can.get(), false);
        pdo = std::make_unique<HardwareProtocolCANopenPDO>(can.get(), sdo.get(), false);
        drive.canId = 3;
        drive.gearScale = 100.0f;
        drive.gearZero = 1000.0f;
        io.canId = 20;
        io.kind = 1;
        {
            std::lock_guard<std::mutex> lock(Shared().mutex);
            Shared().sdo = sdo.get();
            Shared().pdo = pdo.get();
            Shared().records[3] = &drive;
            Shared().records[20] = &io;
            Shared().transmitPDO1 = 0;
        }
        can->receiveCallback = OnFrame;
        // Both nodes have booted.
        ASSERT_TRUE(WaitUntil([&] {
            for (const auto& n : sim->Nodes())
                if (n->GetSnapshot().nmtState != CanSim::SimCANopenNode::kPreOperational) return false;
            return true;
        }));
    }
    void TearDown() override {
        can->receiveCallback = nullptr;
        {
            std::lock_guard<std::mutex> lock(Shared().mutex);
            Shared().sdo = nullptr;
            Shared().pdo = nullptr;
            for (auto*& r : Shared().records) r = nullptr;
        }
        CANopenTest::BusFixture::TearDown();
        sim.reset();
    }

    void Sync() {
        can->WriteMessage(0x80, 0, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }

    // Reads a device text the way the driver's connect does.
    std::string ReadText(Hardware::jointData& record, int index) {
        const auto text = [&] { return index == 0x1008 ? sdo->DeviceName(record) : sdo->FirmwareVersion(record); };
        for (int k = 0; k < 32; ++k) {
            sdo->RequestSDO(record.canId, index, k + 1);
            // The answer (or, past the end, the abort) on a loaded machine.
            if (!WaitUntil([&] { return static_cast<int>(text().size()) > k; }, 300)) break;
        }
        return text();
    }

    void ConfigureBoth() {
        sdo->RequestSDO(3, 0x3202, 0);
        sdo->RequestSDO(20, 0x6000, 0);
        sdo->RequestSDO(20, 0x6200, 0);
        ASSERT_TRUE(WaitUntil([&] { return drive.driveSubmode == 1 && io.inputGroups == 2 && io.outputGroups == 2; }));
        pdo->ConfigureDrivePDOs(drive, Hardware::CANopenProfileCSP);
        pdo->ConfigureIOModulePDOs(io);
        ASSERT_TRUE(WaitUntil([&] {
            for (const auto& n : sim->Nodes())
                if (n->GetSnapshot().nmtState != CanSim::SimCANopenNode::kOperational) return false;
            return true;
        }));
    }

    std::unique_ptr<CanSim::SimFaultChannel> sim;
    std::unique_ptr<HardwareProtocolCANopenSDO> sdo;
    std::unique_ptr<HardwareProtocolCANopenPDO> pdo;
    Hardware::jointData drive;
    Hardware::jointData io;
};

TEST_F(CANopenClient, DeviceTextsReadByCharacter) {
    EXPECT_EQ(ReadText(drive, 0x1008), "Korvella SimDrive");
    EXPECT_EQ(ReadText(drive, 0x100A), "KSD-v0100");
    EXPECT_EQ(ReadText(io, 0x1008), "Korvella SimIO");
    EXPECT_EQ(ReadText(io, 0x100A), "KSIO-v0100");
    // The abort past each text's end is not an error line.
    EXPECT_TRUE(log.StartingWith("CANopen SDO ERROR").empty());
}

TEST_F(CANopenClient, MappingSequencesAreAcceptedAndPDOsArriveEverySync) {
    ConfigureBoth();
    EXPECT_TRUE(log.StartingWith("CANopen SDO ERROR").empty());
    EXPECT_EQ(drive.pdosConfigured, 1);
    EXPECT_EQ(io.pdosConfigured, 1);

    sim->Node(3)->Write(0x6064, 0, 1500);
    const int before = Shared().transmitPDO1;
    for (int i = 0; i < 20; ++i) Sync();
    ASSERT_TRUE(WaitUntil([&] { return Shared().transmitPDO1 >= before + 20; }));
    EXPECT_EQ(sdo->StateText(drive), "switch_on_disabled");
    EXPECT_FLOAT_EQ(drive.actualPosition, 5.0f);
    // Transmit PDOs 2 and 3 on the 20th SYNC.
    ASSERT_TRUE(WaitUntil([&] { return drive.supply > 23.9f; }));
    EXPECT_NEAR(drive.temperature, 35.0f, 1e-3);
    Sync();
    ASSERT_TRUE(WaitUntil([&] { return Shared().transmitPDO1 >= before + 21; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Shared().transmitPDO1, before + 21) << "one transmit PDO 1 per SYNC";

    // Inputs set through the fault channel arrive with the next SYNC.
    EXPECT_EQ(sim->HandleLine("inputs 20 0x8001"), "OK");
    Sync();
    ASSERT_TRUE(WaitUntil([&] { return io.digitalInputs == 0x8001u; }));
    EXPECT_EQ(io.errorCode, 0u);

    // Outputs and the CSP set-point go out by PDO and apply at the next SYNC.
    io.digitalOutputs = 0x0201;
    pdo->SendDIOPDO(io);
    drive.profile = Hardware::CANopenProfileCSP;
    ASSERT_TRUE(pdo->SendPosPDO(drive, -2.7));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint32_t target = 0;
    ASSERT_TRUE(sim->Node(3)->Read(0x607A, 0, target));
    EXPECT_EQ(target, 0u) << "not before the SYNC";
    Sync();
    ASSERT_TRUE(WaitUntil([&] {
        return sim->Node(20)->Outputs() == 0x0201u && sim->Node(3)->Read(0x607A, 0, target) && target == 0xFFFFFFFEu;
    }));
}

TEST_F(CANopenClient, AbortsAndEmergenciesAreLogged) {
    sdo->SendSDO(3, 0x6041, 0, 0x06);  // the statusword is read-only on the device
    sdo->SendSDO(3, 0x6060, 0, 4, 8);  // one byte on the device
    ASSERT_TRUE(WaitUntil([&] {
        return log.Has("CANopen SDO ERROR: read only entry (object: 0x6041, subindex: 0, device ID: 3)") &&
               log.Has("CANopen SDO ERROR: parameter length too long (object: 0x6060, subindex: 0, device ID: 3)");
    }));

    EXPECT_EQ(sim->HandleLine("emcy 3 0x8611 0x21"), "OK");
    EXPECT_EQ(sim->HandleLine("emcy 20 0x1000 0x01"), "OK");
    ASSERT_TRUE(WaitUntil([&] {
        return log.Has("Received EMERGENCY message from joint 3: err reg 'GEN_PROF', err code 'error in position "
                       "monitoring: position lag too large', manufacturer err '0x0'") &&
               log.Has("Received EMERGENCY message from device 20 (not a motor): err reg '0x1', err code '0x1000', "
                       "manufacturer err '0x0'");
    }));
    // The error register and the newest error, as the driver asks for them after an emergency.
    sdo->RequestSDO(3, 0x1001, 0);
    ASSERT_TRUE(WaitUntil([&] { return drive.errorRegister == 0x21; }));
    sdo->RequestSDO(3, 0x1003, 0);
    ASSERT_TRUE(WaitUntil([&] { return drive.errorCount == 1; }));
    EXPECT_TRUE(log.Has("CANopen: Error #0 at joint 3: class='GEN_PROF' number='unknown 0xff' code='unknown 0xffff'"));
}

}  // namespace
