// The simulated CANopen nodes seen from a raw-frame participant: SDO server
// with expedited and segmented transfers and its aborts, NMT states with the
// boot-up frame, heartbeat period, PDO transmission types, receive PDOs,
// mapping refusals and emergencies, and the fault channel's node commands.

#include "hardware/CANopenTestSupport.h"
#include "korvella-cansim/SimFaultChannel.h"

#include <chrono>

using CanSim::SimCANopenNode;

namespace {

class CANopenNode : public HardwareTest::SimBusTest {
protected:
    void SetUp() override {
        HardwareTest::SimBusTest::SetUp();
        sim = std::make_unique<CanSim::SimFaultChannel>(hub);
        peer = ConnectPeer();
    }
    void TearDown() override {
        peer.reset();
        hub.Stop();
        sim.reset();
        HardwareTest::SimBusTest::TearDown();
    }

    std::shared_ptr<SimCANopenNode> AddNode(int id, SimCANopenNode::Kind kind = SimCANopenNode::Kind::Drive) {
        SimCANopenNode::Config c;
        c.nodeId = id;
        c.kind = kind;
        auto node = std::make_shared<SimCANopenNode>(c);
        sim->AddNode(node);
        can_frame boot;
        EXPECT_TRUE(Next(0x700 + id, boot));
        EXPECT_EQ(CANopenTest::Text(boot), CanIdText(0x700 + id) + "#00");
        return node;
    }

    static std::string CanIdText(int id) {
        char text[8];
        std::snprintf(text, sizeof(text), "%03X", id);
        return text;
    }

    void Send(const can_frame& f) { ASSERT_TRUE(peer->Send(f)); }
    void Send(int id, std::initializer_list<unsigned char> bytes) { Send(HardwareTest::MakeFrame(id, bytes)); }
    void Sync() { Send(HardwareTest::MakeFrame(0x80, 0, 0)); }
    void Nmt(int command, int node) { Send(0, {static_cast<unsigned char>(command), static_cast<unsigned char>(node)}); }

    // The next frame with this identifier; others are skipped (and kept in skipped when given).
    bool Next(int id, can_frame& out, int maxMs = HardwareTest::kWaitMs, std::vector<can_frame>* skipped = nullptr) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
        while (std::chrono::steady_clock::now() < until) {
            if (!peer->Receive(out, 10)) continue;
            if (static_cast<int>(out.can_id) == id) return true;
            if (skipped != nullptr) skipped->push_back(out);
        }
        return false;
    }
    // A request to node 5 and its answer, as text.
    std::string Sdo(std::initializer_list<unsigned char> request, int node = 5) {
        Send(0x600 + node, request);
        can_frame answer;
        if (!Next(0x580 + node, answer)) return "no answer";
        return CANopenTest::Text(answer);
    }
    // Frames with this identifier that come within ms.
    std::vector<can_frame> Collect(int id, int ms) {
        std::vector<can_frame> frames;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        can_frame f;
        while (std::chrono::steady_clock::now() < until)
            if (peer->Receive(f, 5) && static_cast<int>(f.can_id) == id) frames.push_back(f);
        return frames;
    }
    struct SdoCase {
        const char* what;
        std::initializer_list<unsigned char> request;
        const char* answer;
    };
    // Requests to node 5 and the answers they must get.
    template <size_t N>
    void Check(const SdoCase (&cases)[N]) {
        for (const SdoCase& c : cases) EXPECT_EQ(Sdo(c.request), c.answer) << c.what;
    }
    // Downloads to node 5 that it confirms.
    void Confirmed(const std::vector<std::vector<unsigned char>>& requests) {
        for (const auto& r : requests) {
            Send(HardwareTest::MakeFrame(0x605, {r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]}));
            can_frame f;
            ASSERT_TRUE(Next(0x585, f));
            EXPECT_EQ(f.data[0], 0x60) << CANopenTest::Text(f);
        }
    }
    void Drain() {
        can_frame f;
        while (peer->Receive(f, 20)) {
        }
    }

    std::unique_ptr<CanSim::SimFaultChannel> sim;
    std::unique_ptr<CanSim::Peer> peer;
};

TEST_F(CANopenNode, ExpeditedTransfersAndTheirAborts) {
    AddNode(5);
    const SdoCase cases[] = {
        {"device type 402", {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0}, "585#4300100092010200"},
        {"statusword", {0x40, 0x41, 0x60, 0x00, 0, 0, 0, 0}, "585#4B41600050020000"},
        {"one byte", {0x2F, 0x60, 0x60, 0x00, 0x08, 0, 0, 0}, "585#6060600000000000"},
        {"read back", {0x40, 0x60, 0x60, 0x00, 0, 0, 0, 0}, "585#4F60600008000000"},
        {"four bytes", {0x23, 0x82, 0x60, 0x00, 0x78, 0x56, 0x34, 0x12}, "585#6082600000000000"},
        {"no size given", {0x22, 0x7A, 0x60, 0x00, 0xFE, 0xFF, 0xFF, 0xFF}, "585#607A600000000000"},
        {"read back", {0x40, 0x7A, 0x60, 0x00, 0, 0, 0, 0}, "585#437A6000FEFFFFFF"},
        {"too long", {0x2B, 0x60, 0x60, 0x00, 0x08, 0, 0, 0}, "585#8060600012000706"},
        {"too short", {0x2F, 0x40, 0x60, 0x00, 0x06, 0, 0, 0}, "585#8040600013000706"},
        {"read only", {0x2B, 0x41, 0x60, 0x00, 0x06, 0, 0, 0}, "585#8041600002000106"},
        {"no object", {0x40, 0x34, 0x12, 0x00, 0, 0, 0, 0}, "585#8034120000000206"},
        {"no subindex", {0x40, 0x41, 0x60, 0x05, 0, 0, 0, 0}, "585#8041600511000906"},
        {"unknown command", {0xE0, 0x41, 0x60, 0x00, 0, 0, 0, 0}, "585#8041600001000405"},
        {"segment without upload", {0x60, 0x00, 0x00, 0x00, 0, 0, 0, 0}, "585#8000000001000405"},
    };
    Check(cases);
    uint32_t value = 0;
    ASSERT_TRUE(sim->Node(5)->Read(0x6082, 0, value));
    EXPECT_EQ(value, 0x12345678u);

    AddNode(20, SimCANopenNode::Kind::IO);
    EXPECT_EQ(Sdo({0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0}, 20), "594#430010009101" "0F00");
    EXPECT_EQ(Sdo({0x40, 0x00, 0x60, 0x00, 0, 0, 0, 0}, 20), "594#4F00600002000000");
    EXPECT_EQ(Sdo({0x40, 0x00, 0x62, 0x00, 0, 0, 0, 0}, 20), "594#4F00620002000000");
}

TEST_F(CANopenNode, DeviceTextsBySegmentedUploadAndByCharacter) {
    AddNode(5);
    // "Korvella SimDrive": 17 bytes in three segments.
    EXPECT_EQ(Sdo({0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0}), "585#4108100011000000");
    EXPECT_EQ(Sdo({0x60, 0, 0, 0, 0, 0, 0, 0}), "585#004B6F7276656C6C");
    EXPECT_EQ(Sdo({0x70, 0, 0, 0, 0, 0, 0, 0}), "585#1061205369" "6D4472");
    EXPECT_EQ(Sdo({0x60, 0, 0, 0, 0, 0, 0, 0}), "585#0969766500000000");  // 3 bytes, last
    // A segment after the last one: no transfer left.
    EXPECT_EQ(Sdo({0x70, 0, 0, 0, 0, 0, 0, 0}), "585#8000000001000405");

    // Toggle error: the second segment repeats toggle 0.
    EXPECT_EQ(Sdo({0x40, 0x0A, 0x10, 0x00, 0, 0, 0, 0}), "585#410A100009000000");
    EXPECT_EQ(Sdo({0x60, 0, 0, 0, 0, 0, 0, 0}), "585#004B53442D763031");
    EXPECT_EQ(Sdo({0x60, 0, 0, 0, 0, 0, 0, 0}), "585#800A100000000305");

    // Subindex k is the k-th character; past the end an abort.
    EXPECT_EQ(Sdo({0x40, 0x08, 0x10, 0x01, 0, 0, 0, 0}), "585#4F0810014B000000");
    EXPECT_EQ(Sdo({0x40, 0x0A, 0x10, 0x09, 0, 0, 0, 0}), "585#4F0A100930000000");
    EXPECT_EQ(Sdo({0x40, 0x0A, 0x10, 0x0A, 0, 0, 0, 0}), "585#800A100A11000906");
    // The texts cannot be written.
    EXPECT_EQ(Sdo({0x2F, 0x08, 0x10, 0x01, 0x41, 0, 0, 0}), "585#8008100102000106");
}

TEST_F(CANopenNode, NMTStatesAndHeartbeat) {
    AddNode(5);
    EXPECT_EQ(sim->Node(5)->GetSnapshot().nmtState, SimCANopenNode::kPreOperational);
    // 20 ms heartbeat.
    EXPECT_EQ(Sdo({0x2B, 0x17, 0x10, 0x00, 20, 0, 0, 0}), "585#6017100000000000");
    can_frame f;
    ASSERT_TRUE(Next(0x705, f));
    EXPECT_EQ(CANopenTest::Text(f), "705#7F");
    const auto start = std::chrono::steady_clock::now();
    const auto beats = Collect(0x705, 400);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    // About one per 20 ms; the machine may be loaded, so only the order of magnitude.
    EXPECT_GE(beats.size(), 8u);
    EXPECT_LE(static_cast<double>(beats.size()), ms / 20.0 + 2.0);

    struct Step {
        int command;
        const char* beat;
    };
    for (const Step& s : {Step{0x01, "705#05"}, Step{0x02, "705#04"}, Step{0x80, "705#7F"}}) {
        Nmt(s.command, 5);
        Drain();
        ASSERT_TRUE(Next(0x705, f));
        EXPECT_EQ(CANopenTest::Text(f), s.beat) << s.command;
        if (s.command == 0x02) {
            // Stopped: no SDO answers.
            Send(0x605, {0x40, 0x41, 0x60, 0x00, 0, 0, 0, 0});
            EXPECT_FALSE(Next(0x585, f, 100));
        }
    }
    // A command for another node, then one for all.
    Nmt(0x01, 6);
    Drain();
    ASSERT_TRUE(Next(0x705, f));
    EXPECT_EQ(CANopenTest::Text(f), "705#7F");
    Nmt(0x01, 0);
    Drain();
    ASSERT_TRUE(Next(0x705, f));
    EXPECT_EQ(CANopenTest::Text(f), "705#05");

    // The fault channel stops and resumes the heartbeat.
    EXPECT_EQ(sim->HandleLine("heartbeat 5 off"), "OK");
    Drain();
    EXPECT_TRUE(Collect(0x705, 100).empty());
    EXPECT_EQ(sim->HandleLine("heartbeat 5 on"), "OK");
    EXPECT_TRUE(Next(0x705, f));
    EXPECT_EQ(sim->HandleLine("heartbeat 9 on"), "ERROR no module with id 9");

    // Reset communication: boot-up, pre-operational, heartbeat off again.
    Nmt(0x82, 5);
    ASSERT_TRUE(Next(0x705, f));
    while (f.data[0] != 0 && Next(0x705, f)) {
    }
    EXPECT_EQ(CANopenTest::Text(f), "705#00");
    EXPECT_TRUE(Collect(0x705, 100).empty());
    EXPECT_EQ(sim->Node(5)->GetSnapshot().nmtState, SimCANopenNode::kPreOperational);
    // Reset node: the application objects are back at power-on values too.
    EXPECT_EQ(Sdo({0x23, 0x82, 0x60, 0x00, 1, 0, 0, 0}), "585#6082600000000000");
    Nmt(0x81, 5);
    ASSERT_TRUE(Next(0x705, f));
    EXPECT_EQ(Sdo({0x40, 0x82, 0x60, 0x00, 0, 0, 0, 0}), "585#4382600000000000");
}

TEST_F(CANopenNode, TransmitPDOsFollowTheirTransmissionType) {
    auto node = AddNode(5);
    // Transmit PDO 1: statusword every SYNC; PDO 2: supply every 3rd SYNC.
    const std::vector<std::vector<unsigned char>> setup = {
        {0x23, 0x00, 0x18, 0x01, 0x85, 0x01, 0x00, 0x80}, {0x2F, 0x00, 0x18, 0x02, 1, 0, 0, 0},
        {0x23, 0x00, 0x1A, 0x01, 0x10, 0x00, 0x41, 0x60}, {0x2F, 0x00, 0x1A, 0x00, 1, 0, 0, 0},
        {0x23, 0x00, 0x18, 0x01, 0x85, 0x01, 0x00, 0x00}, {0x23, 0x01, 0x18, 0x01, 0x85, 0x02, 0x00, 0x80},
        {0x2F, 0x01, 0x18, 0x02, 3, 0, 0, 0},             {0x23, 0x01, 0x1A, 0x01, 0x20, 0x01, 0x14, 0x40},
        {0x2F, 0x01, 0x1A, 0x00, 1, 0, 0, 0},             {0x23, 0x01, 0x18, 0x01, 0x85, 0x02, 0x00, 0x00},
    };
    Confirmed(setup);
    // Pre-operational: no PDOs.
    Sync();
    EXPECT_TRUE(Collect(0x185, 50).empty());
    Nmt(0x01, 5);
    std::vector<std::string> frames;
    std::vector<can_frame> others;
    for (int i = 0; i < 6; ++i) {
        Sync();
        can_frame f;
        ASSERT_TRUE(Next(0x185, f, HardwareTest::kWaitMs, &others)) << i;
        frames.push_back(CANopenTest::Text(f));
    }
    EXPECT_EQ(frames, std::vector<std::string>(6, "185#5002"));
    std::vector<can_frame> supply;
    for (const can_frame& f : others)
        if (f.can_id == 0x285) supply.push_back(f);
    for (const can_frame& f : Collect(0x285, 100)) supply.push_back(f);
    ASSERT_EQ(supply.size(), 2u);  // SYNC 3 and 6
    EXPECT_EQ(CANopenTest::Text(supply[0]), "285#C05D0000");

    // Acyclic synchronous (type 0): only when the data changed.
    EXPECT_EQ(Sdo({0x2F, 0x00, 0x18, 0x02, 0, 0, 0, 0}), "585#6000180200000000");
    Sync();
    Sync();
    EXPECT_EQ(Collect(0x185, 100).size(), 1u);
    node->Write(0x6041, 0, 0x0237);
    Sync();
    can_frame f;
    ASSERT_TRUE(Next(0x185, f));
    EXPECT_EQ(CANopenTest::Text(f), "185#3702");
}

TEST_F(CANopenNode, MappingRefusals) {
    AddNode(5);
    const SdoCase cases[] = {
        {"a text", {0x23, 0x00, 0x1A, 0x01, 0x08, 0x01, 0x08, 0x10}, "585#80001A0141000406"},
        {"wrong length", {0x23, 0x00, 0x1A, 0x01, 0x08, 0x00, 0x64, 0x60}, "585#80001A0141000406"},
        {"no such object", {0x23, 0x00, 0x1A, 0x01, 0x20, 0x00, 0x34, 0x12}, "585#80001A0100000206"},
        {"read-only into a receive PDO", {0x23, 0x00, 0x16, 0x01, 0x20, 0x00, 0x64, 0x60}, "585#8000160141000406"},
        {"32 bits", {0x23, 0x00, 0x1A, 0x01, 0x20, 0x00, 0x64, 0x60}, "585#60001A0100000000"},
        {"32 bits", {0x23, 0x00, 0x1A, 0x02, 0x20, 0x00, 0x62, 0x60}, "585#60001A0200000000"},
        {"32 bits", {0x23, 0x00, 0x1A, 0x03, 0x20, 0x00, 0x63, 0x60}, "585#60001A0300000000"},
        {"96 bits mapped", {0x2F, 0x00, 0x1A, 0x00, 3, 0, 0, 0}, "585#80001A0042000406"},
        {"64 bits mapped", {0x2F, 0x00, 0x1A, 0x00, 2, 0, 0, 0}, "585#60001A0000000000"},
    };
    Check(cases);
}

TEST_F(CANopenNode, ReceivePDOsApplyAtTheNextSync) {
    auto node = AddNode(5);
    const std::vector<std::vector<unsigned char>> setup = {
        {0x23, 0x00, 0x14, 0x01, 0x05, 0x02, 0x00, 0x80}, {0x2F, 0x00, 0x14, 0x02, 0, 0, 0, 0},
        {0x23, 0x00, 0x16, 0x01, 0x20, 0x00, 0x7A, 0x60}, {0x2F, 0x00, 0x16, 0x00, 1, 0, 0, 0},
        {0x23, 0x00, 0x14, 0x01, 0x05, 0x02, 0x00, 0x00},
    };
    Confirmed(setup);
    Nmt(0x01, 5);
    Send(0x205, {0xFE, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(Sdo({0x40, 0x7A, 0x60, 0x00, 0, 0, 0, 0}), "585#437A600000000000");
    Sync();
    EXPECT_EQ(Sdo({0x40, 0x7A, 0x60, 0x00, 0, 0, 0, 0}), "585#437A6000FEFFFFFF");

    // A short one is dropped with emergency 0x8210, kept in 0x1001 and 0x1003.
    Send(0x205, {0x01, 0x02});
    can_frame emcy;
    ASSERT_TRUE(Next(0x85, emcy));
    EXPECT_EQ(CANopenTest::Text(emcy), "085#1082110000000000");
    Sync();
    EXPECT_EQ(Sdo({0x40, 0x7A, 0x60, 0x00, 0, 0, 0, 0}), "585#437A6000FEFFFFFF");
    EXPECT_EQ(Sdo({0x40, 0x01, 0x10, 0x00, 0, 0, 0, 0}), "585#4F01100011000000");
    EXPECT_EQ(Sdo({0x40, 0x03, 0x10, 0x00, 0, 0, 0, 0}), "585#4F03100001000000");
    EXPECT_EQ(Sdo({0x40, 0x03, 0x10, 0x01, 0, 0, 0, 0}), "585#4303100110821100");
    EXPECT_EQ(node->GetSnapshot().pdosDropped, 1u);

    // The fault channel's emergency goes on top of the history; writing the count clears it.
    EXPECT_EQ(sim->HandleLine("emcy 5 0x8611 0x21"), "OK");
    ASSERT_TRUE(Next(0x85, emcy));
    EXPECT_EQ(CANopenTest::Text(emcy), "085#1186210000000000");
    EXPECT_EQ(Sdo({0x40, 0x03, 0x10, 0x02, 0, 0, 0, 0}), "585#4303100210821100");
    EXPECT_EQ(Sdo({0x40, 0x03, 0x10, 0x01, 0, 0, 0, 0}), "585#4303100111862100");
    EXPECT_EQ(Sdo({0x40, 0x01, 0x10, 0x00, 0, 0, 0, 0}), "585#4F01100021000000");
    EXPECT_EQ(Sdo({0x2F, 0x03, 0x10, 0x00, 0, 0, 0, 0}), "585#6003100000000000");
    EXPECT_EQ(Sdo({0x40, 0x03, 0x10, 0x00, 0, 0, 0, 0}), "585#4F03100000000000");
    EXPECT_EQ(sim->HandleLine("emcy 5 0x1000"), "OK");
    ASSERT_TRUE(Next(0x85, emcy));
    EXPECT_EQ(CANopenTest::Text(emcy), "085#0010010000000000");
    EXPECT_EQ(sim->HandleLine("emcy 200 1"), "ERROR usage: emcy <node id> <code> [<register>]");
}

TEST_F(CANopenNode, FaultChannelReachesTheNodes) {
    auto io = AddNode(20, SimCANopenNode::Kind::IO);
    EXPECT_EQ(sim->HandleLine("inputs 20 0x8000000000000001"), "OK");
    EXPECT_EQ(Sdo({0x40, 0x00, 0x60, 0x01, 0, 0, 0, 0}, 20), "594#4F00600101000000");
    EXPECT_EQ(Sdo({0x40, 0x00, 0x60, 0x08, 0, 0, 0, 0}, 20), "594#4F00600880000000");
    EXPECT_EQ(sim->HandleLine("inputs 20 -1"), "ERROR usage: inputs <id> <bits>");
    EXPECT_EQ(sim->HandleLine("inputs 21 1"), "ERROR no module with id 21");
    EXPECT_EQ(sim->HandleLine("silence 20"), "OK");
    Send(0x614, {0x40, 0x00, 0x60, 0x00, 0, 0, 0, 0});
    can_frame f;
    EXPECT_FALSE(Next(0x594, f, 100));
    EXPECT_EQ(sim->HandleLine("silence 20 off"), "OK");
    EXPECT_EQ(Sdo({0x40, 0x00, 0x60, 0x00, 0, 0, 0, 0}, 20), "594#4F00600002000000");
    const std::string list = sim->HandleLine("list");
    EXPECT_NE(list.find("nodes: 20"), std::string::npos) << list;
}

}  // namespace
